#include "log/isp_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace kestrune {
namespace {

// Files in memory; a file marked locked can be found but neither deleted
// nor created again.
class MemoryPlatform : public platform::Platform {
 public:
  class MemoryFile : public platform::File {
   public:
    explicit MemoryFile(std::string& contents) : contents_(contents) {}
    size_t Read(void*, size_t) override { return 0; }
    size_t Write(const void* data, size_t size) override {
      contents_.append(static_cast<const char*>(data), size);
      ++writes;
      return size;
    }
    bool Seek(uint64_t) override { return false; }
    int writes = 0;

   private:
    std::string& contents_;
  };

  std::map<std::string, std::string> files;
  std::map<std::string, bool> locked;
  std::vector<std::string> debug;
  int createCalls = 0;

  void DebugOutput(const char* text) override { debug.emplace_back(text); }
  uint32_t GetWindowsDirectory(char*, uint32_t) override { return 0; }
  uint32_t GetTempPath(char*, uint32_t) override { return 0; }
  bool FindFile(const std::string& path) override { return files.count(path) != 0; }
  bool SetFileAttributes(const std::string&, uint32_t) override { return false; }
  std::optional<uint32_t> GetFileAttributes(const std::string&) override { return std::nullopt; }
  bool DeleteFile(const std::string& path) override {
    if (locked[path]) return false;
    return files.erase(path) != 0;
  }
  bool CreateDirectory(const std::string&) override { return false; }
  bool CanOpenForReading(const std::string&) override { return false; }
  std::unique_ptr<platform::File> OpenFile(const std::string& path,
                                           platform::OpenMode mode) override {
    if (mode != platform::OpenMode::kWriteBinaryTruncate || locked[path]) return nullptr;
    ++createCalls;
    files[path].clear();
    return std::make_unique<MemoryFile>(files[path]);
  }
  void Sleep(uint32_t) override {}
  bool IsAdministrator() override { return false; }
  std::string GetModuleFileName() override { return {}; }
  std::optional<std::span<const uint8_t>> FindResource(const char*, uint16_t) override {
    return std::nullopt;
  }
};

class IspLogTest : public ::testing::Test {
 protected:
  void StartWithOldLog() {
    platform.files[kIspLogPath] = "old text of an earlier run\r\n";
    log.StartLog();
  }
  const std::string& LogText() { return platform.files[kIspLogPath]; }

  MemoryPlatform platform;
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
  platform.files[kIspLogPath] = "kept";
  platform.locked[kIspLogPath] = true;
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
