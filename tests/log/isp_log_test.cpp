#include "log/isp_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/memory_platform.h"

namespace kestrune {
namespace {

class IspLogTest : public ::testing::Test {
 protected:
  void StartWithOldLog() {
    platform.File(kIspLogPath) = "old text of an earlier run\r\n";
    log.StartLog();
  }
  const std::string& LogText() { return platform.File(kIspLogPath); }

  testing::MemoryPlatform platform;
  IspLog log{platform};
};

TEST_F(IspLogTest, ExistingLogIsStartedAfresh) {
  StartWithOldLog();
  EXPECT_TRUE(log.logEnabled);
  EXPECT_EQ(LogText(), "Start\r\n");
  EXPECT_EQ(log.AppendLog("ISP is borken !!! \r\n"), 0);
  EXPECT_EQ(LogText(), "Start\r\nISP is borken !!! \r\n\r\n");
}

TEST_F(IspLogTest, WithoutALogNothingIsCreated) {
  log.StartLog();
  EXPECT_FALSE(log.logEnabled);
  EXPECT_EQ(log.AppendLog("line"), 1);
  std::vector<uint8_t> page(528, 0x41);
  log.DumpHexToLog(528, page.data());
  EXPECT_TRUE(platform.files.empty());
  EXPECT_EQ(platform.createCalls, 0);
}

TEST_F(IspLogTest, LogThatCannotBeMadeAnewTurnsLoggingOff) {
  platform.File(kIspLogPath) = "kept";
  platform.Lock(kIspLogPath);
  log.StartLog();
  EXPECT_FALSE(log.logEnabled);
  EXPECT_EQ(log.AppendLog("line"), 1);
  log.DumpHexToLog(16, reinterpret_cast<const uint8_t*>("0123456789abcdef"));
  EXPECT_EQ(LogText(), "kept");
}

TEST_F(IspLogTest, OverlongLinesAreCutAtTheBufferSize) {
  StartWithOldLog();
  std::string longText(400, 'x');
  log.AppendLog(longText.c_str());
  log.AppendLogFormat("Update ISP File --> %s \r\n", longText.c_str());
  std::string expected = "Start\r\n" + std::string(kMaxLogLineLength, 'x') + "\r\n" +
                         ("Update ISP File --> " + longText).substr(0, kMaxLogLineLength) + "\r\n";
  EXPECT_EQ(LogText(), expected);
}

TEST_F(IspLogTest, DebugLinesGoToTheDebugChannelOnly) {
  StartWithOldLog();
  std::snprintf(log.debugLine, sizeof log.debugLine, "ID = %x", 0x163);
  log.Debug(log.debugLine);
  log.Debug("Init Flash fail ");
  EXPECT_EQ(platform.debug, (std::vector<std::string>{"ID = 163", "Init Flash fail "}));
  EXPECT_EQ(LogText(), "Start\r\n");
}

const char kHeader[] =
    "--------------------------------------------------------------------------------\r\n"
    " HEX|                      HEX DATA                     |       ASCII      |HEX \r\n"
    "ADDR| 00 01 02 03 04 05 06 07   08 09 0A 0B 0C 0D 0E 0F | 0123456789ABCDEF |ADDR\r\n"
    "--------------------------------------------------------------------------------\r\n";
const std::string kRule = std::string(79, '-') + "\r\n";

TEST_F(IspLogTest, PageDumpHasHeaderRowsAndRule) {
  StartWithOldLog();
  std::vector<uint8_t> page(528);
  for (size_t i = 0; i < page.size(); ++i) page[i] = static_cast<uint8_t>(i);
  log.DumpHexToLog(528, page.data());

  std::string text = LogText().substr(7);  // after "Start"
  ASSERT_EQ(text.size(), 4 * 82 + 33 * 82 + 81);
  EXPECT_EQ(text.substr(0, 4 * 82), kHeader);
  EXPECT_EQ(text.substr(4 * 82 + 82, 82),
            "0010| 10 11 12 13 14 15 16 17 : 18 19 1A 1B 1C 1D 1E 1F | ................ |0010\r\n");
  EXPECT_EQ(text.substr(4 * 82 + 6 * 82, 82),
            "0060| 60 61 62 63 64 65 66 67 : 68 69 6A 6B 6C 6D 6E 6F | `abcdefghijklmno |0060\r\n");
  EXPECT_EQ(text.substr(4 * 82 + 7 * 82, 82),
            "0070| 70 71 72 73 74 75 76 77 : 78 79 7A 7B 7C 7D 7E 7F | pqrstuvwxyz{|}~. |0070\r\n");
  EXPECT_EQ(text.substr(4 * 82 + 32 * 82, 82),
            "0200| 00 01 02 03 04 05 06 07 : 08 09 0A 0B 0C 0D 0E 0F | ................ |0200\r\n");
  EXPECT_EQ(text.substr(4 * 82 + 33 * 82), kRule);
}

TEST_F(IspLogTest, AsciiColumnShowsOnlyPrintableBytes) {
  const uint8_t row[16] = {0x1F, 0x20, 0x7E, 0x7F, 0x41, 0x50, 0x00, 0xFF,
                           0x80, 0x2E, 0x30, 0x39, 0x61, 0x7A, 0x0D, 0x0A};
  EXPECT_EQ(FormatHexDump(16, row).substr(4 * 82),
            "0000| 1F 20 7E 7F 41 50 00 FF : 80 2E 30 39 61 7A 0D 0A | . ~.AP....09az.. |0000\r\n");
}

TEST_F(IspLogTest, IncompleteLastRowIsFollowedDirectlyByTheRule) {
  StartWithOldLog();
  std::vector<uint8_t> bytes(20, 0x41);
  log.DumpHexToLog(20, bytes.data());
  std::string expected =
      "Start\r\n" + std::string(kHeader) +
      "0000| 41 41 41 41 41 41 41 41 : 41 41 41 41 41 41 41 41 | AAAAAAAAAAAAAAAA "
      "|0000\r\n"
      "0010| 41 41 41 41 " +
      kRule;
  EXPECT_EQ(LogText(), expected);
  EXPECT_EQ(FormatHexDump(0, bytes.data()), kHeader);
}

}  // namespace
}  // namespace kestrune
