#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "device/commands.h"
#include "discovery/discovery.h"
#include "images/images.h"
#include "tests/images/images_fixture.h"

namespace kestrune {
namespace {

using testing::ScriptedCommand;
using testing::ScriptedDrive;

constexpr size_t kBlock = 4096;

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 4096);
  return bytes;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
  return {bytes.begin() + from, bytes.begin() + from + count};
}

bool IsMemoryWrite(const ScriptedCommand& c) {
  return c.opcode() == 0xFD && c.at(1) == 0x00 && c.at(2) == 0x01;
}
bool IsPrepare(const ScriptedCommand& c) { return c.opcode() == 0xFD && c.at(1) == 0x14; }
bool IsReset(const ScriptedCommand& c) { return c.opcode() == 0xFD && c.at(1) == 0x06; }

class CodeLoadingTest : public ImagesTest {
 protected:
  void SetUp() override {
    DriveSlot& slot = p.Slot(kSlot);
    std::memset(&slot, 0, sizeof slot);
    slot.letter = 'E';
    // Code image BAUS.BIN, which the catalogue does not hold, so any bytes
    // put there by hand are taken as they are.
    slot.controllerId = kCtrl163;
    slot.revision = 1;
    slot.pageSize = 2048;
  }

  void WriteCodeImage(const std::vector<uint8_t>& bytes, const char* name = "\\BAUS.BIN") {
    ASSERT_TRUE(platform.WriteWholeFile(Work(name), bytes));
  }
  void Open() {
    device::VolumeHandle handle = 0;
    ASSERT_TRUE(link.OpenVolume('E', handle));
    p.Slot(kSlot).volumeHandle = handle;
  }

  // The code block the controller received, from each run of one
  // PrepareCodeLoad and the memory writes after it; checks the addressing.
  std::vector<std::vector<uint8_t>> LoadedBlocks() const {
    std::vector<std::vector<uint8_t>> blocks;
    uint32_t piece = 0;
    for (const ScriptedCommand& c : drive.seen) {
      if (IsPrepare(c)) {
        blocks.emplace_back();
        piece = 0;
      } else if (IsMemoryWrite(c)) {
        EXPECT_FALSE(blocks.empty()) << "memory write before PrepareCodeLoad";
        if (blocks.empty()) continue;
        const uint32_t address = (c.at(3) << 8) | c.at(4);
        EXPECT_EQ(address, 0xF000 + piece * 512);
        EXPECT_EQ(c.at(5), 0xFF) << "parameter byte";
        EXPECT_EQ((c.at(7) << 8) | c.at(8), 512) << "length field";
        EXPECT_EQ(c.dataOut.size(), 512u);
        blocks.back().insert(blocks.back().end(), c.dataOut.begin(), c.dataOut.end());
        ++piece;
      }
    }
    return blocks;
  }

  static constexpr int kSlot = 4;
  ScriptedDrive& drive = volumes.Attach('E');
};

TEST_F(CodeLoadingTest, SendsTheBlockInEightPiecesAtF000) {
  const auto image = Pattern(65536);
  WriteCodeImage(image);
  Open();
  drive.unmatched = testing::Good();

  EXPECT_TRUE(LoadCodeBlock(p, 5, kSlot));
  ASSERT_EQ(drive.seen.size(), 9u);
  EXPECT_TRUE(IsPrepare(drive.seen[0]));
  const auto blocks = LoadedBlocks();
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_TRUE(blocks[0] == Slice(image, 5 * kBlock, 4096));
  EXPECT_EQ(link.OpenVolumeCount(), 1u) << "the volume is the caller's";
}

TEST_F(CodeLoadingTest, FailedCommandsDoNotStopTheLoad) {
  WriteCodeImage(Pattern(65536));
  Open();
  drive.unmatched = testing::CheckCondition();
  EXPECT_TRUE(LoadCodeBlock(p, 12, kSlot));
  EXPECT_EQ(drive.seen.size(), 9u);
}

TEST_F(CodeLoadingTest, ShortAndEmptyImagesGiveFFBytes) {
  Open();
  drive.unmatched = testing::Good();

  const auto shortImage = Pattern(5 * kBlock + 100);
  WriteCodeImage(shortImage);
  ASSERT_TRUE(LoadCodeBlock(p, 5, kSlot));
  ASSERT_TRUE(LoadCodeBlock(p, 12, kSlot));  // wholly past the end
  WriteCodeImage({});
  ASSERT_TRUE(LoadCodeBlock(p, 0, kSlot));

  const auto blocks = LoadedBlocks();
  ASSERT_EQ(blocks.size(), 3u);
  std::vector<uint8_t> expected(4096, 0xFF);
  std::memcpy(expected.data(), shortImage.data() + 5 * kBlock, 100);
  EXPECT_TRUE(blocks[0] == expected);
  EXPECT_TRUE(blocks[1] == std::vector<uint8_t>(4096, 0xFF));
  EXPECT_TRUE(blocks[2] == std::vector<uint8_t>(4096, 0xFF));
}

TEST_F(CodeLoadingTest, NothingIsSentWithoutImageBufferOrValidBlock) {
  Open();
  drive.unmatched = testing::Good();
  EXPECT_FALSE(LoadCodeBlock(p, 5, kSlot)) << "no BAUS.BIN yet";

  WriteCodeImage(Pattern(65536));
  link.failAllocation = [](size_t size) { return size == 4096; };
  EXPECT_FALSE(LoadCodeBlock(p, 5, kSlot));
  link.failAllocation = nullptr;

  // A negative block would seek before the file start.
  EXPECT_FALSE(LoadCodeBlock(p, -1, kSlot));
  EXPECT_TRUE(drive.seen.empty());
}

// A changed catalogue code image would put other code into the controller
// than the image the program carries.
TEST_F(CodeLoadingTest, ACodeImageThatDiffersFromItsImageIsNotLoaded) {
  p.Slot(kSlot).controllerId = kCtrl162;  // 162.BIN, a catalogue file
  ExtractImages(p.platform, p.images.get());
  auto bytes = platform.ReadWholeFile(Work("\\162.BIN"));
  ASSERT_TRUE(bytes.has_value());
  (*bytes)[5 * kBlock + 7] ^= 0xFF;
  WriteCodeImage(*bytes, "\\162.BIN");
  Open();
  drive.unmatched = testing::Good();

  EXPECT_FALSE(LoadCodeBlock(p, 5, kSlot));
  EXPECT_TRUE(drive.seen.empty());
}

TEST_F(CodeLoadingTest, Missing165A9SendsNothingAndKeepsTheText) {
  DriveSlot& slot = p.Slot(kSlot);
  slot.controllerId = kCtrl165;
  const uint8_t flash[5] = {0x98, 0xD7, 0x00, 0x02, 0x00};
  std::memcpy(slot.flashId, flash, 5);
  std::memcpy(slot.inquiryText, "0123456789ABCDEF", 16);
  ExtractImages(p.platform, p.images.get());
  Open();
  drive.unmatched = testing::Good();

  EXPECT_FALSE(LoadCodeBlock(p, 5, kSlot));
  EXPECT_TRUE(drive.seen.empty());
  EXPECT_STREQ(slot.inquiryText, "0123456789ABCDEF");
}

TEST_F(CodeLoadingTest, Row165A0StampsTheTextEvenWhenTheLoadFails) {
  DriveSlot& slot = p.Slot(kSlot);
  slot.controllerId = kCtrl165;
  std::memcpy(slot.inquiryText, "0123456789ABCDEF", 16);
  Open();
  drive.unmatched = testing::Good();

  EXPECT_FALSE(LoadCodeBlock(p, 5, kSlot)) << "no images extracted";
  EXPECT_STREQ(slot.inquiryText, "01234567A0ABCDEF");
  EXPECT_TRUE(drive.seen.empty());

  std::memcpy(slot.inquiryText, "0123456789ABCDEF", 16);
  const auto payload = platform.FindResource(kResourceType, 128);  // 165A0.BIN
  ASSERT_TRUE(payload.has_value());
  const std::vector<uint8_t> image(payload->begin(), payload->end());
  WriteCodeImage(image, "\\165A0.BIN");
  EXPECT_TRUE(LoadCodeBlock(p, 5, kSlot));
  EXPECT_STREQ(slot.inquiryText, "01234567A0ABCDEF");
  const auto blocks = LoadedBlocks();
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_TRUE(blocks[0] == Slice(image, 5 * kBlock, 4096));
}

// --- RestartDrive ---

struct Poll {
  bool ok;
  uint16_t sectorSize;
};

struct RestartCase {
  const char* label;
  std::vector<Poll> polls;  // answers in order; later polls repeat the last
  bool ready;
  size_t pollsSent;
};
void PrintTo(const RestartCase& c, std::ostream* os) { *os << c.label; }

const RestartCase kRestartCases[] = {
    {"ready_at_once", {{true, 512}}, true, 1},
    {"ready_with_2048", {{true, 2048}}, true, 1},
    {"zero_size_reads_as_512", {{true, 0}}, true, 1},
    {"failures_then_ready", {{false, 0}, {false, 512}, {true, 512}}, true, 3},
    {"failure_with_512_is_not_ready", {{false, 512}}, false, 10},
    {"odd_size_is_not_ready", {{true, 520}}, false, 10},
    {"size_below_512_is_not_ready", {{true, 256}}, false, 10},
    {"ready_on_the_tenth",
     {{false, 0},
      {false, 0},
      {false, 0},
      {false, 0},
      {false, 0},
      {false, 0},
      {false, 0},
      {false, 0},
      {false, 0},
      {true, 4096}},
     true,
     10},
};

class RestartDriveTest : public CodeLoadingTest,
                         public ::testing::WithParamInterface<RestartCase> {};

TEST_P(RestartDriveTest, ReadyOnlyOnASuccessfulQueryWithWholeSectors) {
  const RestartCase& c = GetParam();
  WriteCodeImage(Pattern(65536));
  drive.unmatched = testing::Good();
  auto polls = std::make_shared<size_t>(0);
  drive.On(testing::MatchOpcode(0x25), [c, polls](const device::Request&, std::span<uint8_t> data) {
    const Poll& poll = c.polls[std::min(*polls, c.polls.size() - 1)];
    ++*polls;
    const uint8_t reply[8] = {0x00,
                              0x3B,
                              0xFF,
                              0xFF,
                              0x00,
                              0x00,
                              static_cast<uint8_t>(poll.sectorSize >> 8),
                              static_cast<uint8_t>(poll.sectorSize)};
    std::memcpy(data.data(), reply, std::min(data.size(), sizeof reply));
    return poll.ok ? testing::Good() : testing::CheckCondition();
  });

  EXPECT_EQ(RestartDrive(p, kSlot), c.ready);
  EXPECT_EQ(*polls, c.pollsSent);
  EXPECT_EQ(link.OpenVolumeCount(), 0u);
  EXPECT_EQ(p.Slot(kSlot).volumeHandle, device::kNoVolume);

  // Block 12 goes in before the reset, and the reset before the polls.
  const auto blocks = LoadedBlocks();
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_TRUE(blocks[0] == Slice(Pattern(65536), 12 * kBlock, 4096));
  ASSERT_EQ(drive.seen.size(), 10 + c.pollsSent);
  EXPECT_TRUE(IsReset(drive.seen[9]));
}

INSTANTIATE_TEST_SUITE_P(Polls, RestartDriveTest, ::testing::ValuesIn(kRestartCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(CodeLoadingTest, RestartStopsAtTheFirstFailureAndCloses) {
  drive.unmatched = testing::Good();

  drive.present = false;
  EXPECT_FALSE(RestartDrive(p, kSlot));
  drive.present = true;

  EXPECT_FALSE(RestartDrive(p, kSlot)) << "no code image";
  EXPECT_TRUE(drive.seen.empty());
  EXPECT_EQ(link.OpenVolumeCount(), 0u);

  WriteCodeImage(Pattern(65536));
  drive.Fail(testing::MatchCdb({0xFD, 0x06}));
  EXPECT_FALSE(RestartDrive(p, kSlot));
  EXPECT_EQ(drive.CountOf(0x25), 0u) << "no polls after a failed reset";
  EXPECT_EQ(drive.CountOf(0xFD, 0x06), 1u);
  EXPECT_EQ(link.OpenVolumeCount(), 0u);

  // A volume left open by the caller is not leaked by the restart.
  drive.Clear();
  drive.unmatched = testing::Good();
  Open();
  RestartDrive(p, kSlot);
  EXPECT_EQ(link.OpenVolumeCount(), 0u);
}

// --- ReadSpareUnderCode ---

class SpareTest : public CodeLoadingTest {
 protected:
  void SetUp() override {
    CodeLoadingTest::SetUp();
    p.pageBuffer = link.AllocBuffer(kPageBufferSize, 0);
    std::memset(p.pageBuffer.get(), 0xEE, kPageBufferSize);
    image = Pattern(65536);
    WriteCodeImage(image);
    drive.unmatched = testing::Good();
    drive.On(testing::MatchPage(0xF9, 0x1234), [](const device::Request&, std::span<uint8_t> d) {
      for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>(0xA0 + i);
      return testing::Good();
    });
  }
  std::vector<uint8_t> SpareInBuffer() {
    const uint8_t* at = p.pageBuffer.get() + p.Slot(kSlot).pageSize;
    return {at, at + 16};
  }
  static std::vector<uint8_t> ExpectedSpare() {
    std::vector<uint8_t> spare(16);
    for (size_t i = 0; i < 16; ++i) spare[i] = static_cast<uint8_t>(0xA0 + i);
    return spare;
  }
  std::vector<uint8_t> image;
};

TEST_F(SpareTest, WithoutCodeInitOnlyTheSpareReadIsSent) {
  Open();
  EXPECT_TRUE(ReadSpareUnderCode(p, 0x1234, kSlot));
  ASSERT_EQ(drive.seen.size(), 1u);
  EXPECT_EQ(drive.seen[0].opcode(), 0xF9);
  EXPECT_EQ(drive.seen[0].transferLength, 16u);
  EXPECT_TRUE(SpareInBuffer() == ExpectedSpare());
  EXPECT_EQ(p.pageBuffer.get()[2047], 0xEE) << "page data left alone";
  EXPECT_EQ(p.pageBuffer.get()[2048 + 16], 0xEE);
  EXPECT_EQ(link.OpenVolumeCount(), 1u) << "stays open on success";
}

TEST_F(SpareTest, UnderCodeTheReadSitsBetweenBlocks12And5) {
  p.Slot(kSlot).needsCodeInit = 1;
  Open();
  EXPECT_TRUE(ReadSpareUnderCode(p, 0x1234, kSlot));
  ASSERT_EQ(drive.seen.size(), 19u);
  EXPECT_EQ(drive.seen[9].opcode(), 0xF9);
  const auto blocks = LoadedBlocks();
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_TRUE(blocks[0] == Slice(image, 12 * kBlock, 4096));
  EXPECT_TRUE(blocks[1] == Slice(image, 5 * kBlock, 4096));
  EXPECT_TRUE(SpareInBuffer() == ExpectedSpare());
}

TEST_F(SpareTest, FailedReadStillRestoresWorkingCodeAndCloses) {
  p.Slot(kSlot).needsCodeInit = 1;
  drive.Fail(testing::MatchOpcode(0xF9));
  Open();
  EXPECT_FALSE(ReadSpareUnderCode(p, 0x1234, kSlot));
  EXPECT_EQ(LoadedBlocks().size(), 2u);
  EXPECT_EQ(link.OpenVolumeCount(), 0u);
  EXPECT_TRUE(SpareInBuffer() == std::vector<uint8_t>(16, 0xEE));
}

TEST_F(SpareTest, MissingCodeImageClosesBeforeTheRead) {
  p.Slot(kSlot).needsCodeInit = 1;
  p.Slot(kSlot).revision = 3;  // DAUS.BIN, which nobody wrote
  Open();
  EXPECT_FALSE(ReadSpareUnderCode(p, 0x1234, kSlot));
  EXPECT_TRUE(drive.seen.empty());
  EXPECT_EQ(link.OpenVolumeCount(), 0u);
}

TEST_F(SpareTest, RefusesABufferThatCannotHoldPageAndSpare) {
  Open();
  p.Slot(kSlot).pageSize = kPageBufferSize - 8;
  EXPECT_FALSE(ReadSpareUnderCode(p, 0x1234, kSlot));
  EXPECT_EQ(link.OpenVolumeCount(), 0u);

  Open();
  p.Slot(kSlot).pageSize = 0xCDCDCDCD;  // a reset slot
  EXPECT_FALSE(ReadSpareUnderCode(p, 0x1234, kSlot));

  Open();
  p.Slot(kSlot).pageSize = kPageBufferSize - 16;  // just fits
  EXPECT_TRUE(ReadSpareUnderCode(p, 0x1234, kSlot));
  CloseVolume(p, kSlot);

  Open();
  p.pageBuffer.reset();
  EXPECT_FALSE(ReadSpareUnderCode(p, 0x1234, kSlot));
  EXPECT_EQ(drive.CountOf(0xF9), 1u) << "only the read that fit was sent";
  EXPECT_EQ(link.OpenVolumeCount(), 0u);
}

}  // namespace
}  // namespace kestrune
