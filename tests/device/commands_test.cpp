#include "device/commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "device/command_traits.h"
#include "tests/support/scripted_transport.h"

namespace kestrune::device {
namespace {

using testing::ScriptedDrive;
using testing::ScriptedVolumes;

struct CommandCase {
  const char* name;
  std::function<bool(DeviceLink&, uint8_t*, VolumeHandle)> issue;
  std::vector<uint8_t> cdb;
  Carrier carrier;
  uint32_t transferLength;
  uint32_t timeout;
};

class CommandTable : public ::testing::TestWithParam<CommandCase> {};

TEST_P(CommandTable, BuildsExactCdbCarrierLengthAndTimeout) {
  const CommandCase& c = GetParam();
  ScriptedVolumes volumes;
  ScriptedDrive& drive = volumes.Attach('E');
  drive.unmatched = testing::Good();
  DeviceLink link(volumes);
  VolumeHandle handle = kNoVolume;
  ASSERT_TRUE(link.OpenVolume('E', handle));
  std::vector<uint8_t> buffer(70000, 0);

  EXPECT_TRUE(c.issue(link, buffer.data(), handle));

  ASSERT_EQ(drive.seen.size(), 1u);
  const auto& seen = drive.seen[0];
  EXPECT_EQ(seen.cdb, c.cdb);
  EXPECT_EQ(seen.carrier, c.carrier);
  EXPECT_EQ(seen.transferLength, c.transferLength);
  EXPECT_EQ(seen.timeoutSeconds, c.timeout);
}

const CommandCase kCommands[] = {
    {"Inquiry180",
     [](DeviceLink& l, uint8_t* b, VolumeHandle h) { return Inquiry(l, b, 180, h); },
     {0x12, 0, 0, 0, 0xB4, 0},
     Carrier::kIn,
     180,
     20},
    {"InquiryCutToLowByte",
     [](DeviceLink& l, uint8_t* b, VolumeHandle h) { return Inquiry(l, b, 0x124, h); },
     {0x12, 0, 0, 0, 0x24, 0},
     Carrier::kIn,
     0x24,
     20},
    {"ReadCapacity",
     [](DeviceLink& l, uint8_t* b, VolumeHandle h) { return ReadCapacity(l, b, 8, h); },
     {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0},
     Carrier::kIn,
     8,
     2},
    {"ReadModeByte",
     [](DeviceLink& l, uint8_t* b, VolumeHandle h) { return ReadModeByte(l, b, 1, h); },
     {0xF3, 0, 0, 0, 0, 0},
     Carrier::kIn,
     1,
     2},
    {"ReadFlashId",
     [](DeviceLink& l, uint8_t* b, VolumeHandle h) { return ReadFlashId(l, b, 5, h); },
     {0xFD, 0x10, 0, 0, 0, 0, 0, 0, 0, 0},
     Carrier::kIn,
     5,
     2},
    {"ResetController",
     [](DeviceLink& l, uint8_t*, VolumeHandle h) { return ResetController(l, h); },
     {0xFD, 0x06, 0x07, 0x01, 0, 0, 0, 0, 0, 0},
     Carrier::kIn,
     0,
     20000},
    {"PrepareCodeLoad",
     [](DeviceLink& l, uint8_t*, VolumeHandle h) { return PrepareCodeLoad(l, h); },
     {0xFD, 0x14, 0, 0, 0, 0, 0, 0, 0, 0},
     Carrier::kIn,
     0,
     20000},
    {"InitFlashMode4",
     [](DeviceLink& l, uint8_t*, VolumeHandle h) { return InitFlash(l, 4, h); },
     {0xFD, 0x11, 0x04, 0, 0, 0, 0, 0, 0, 0},
     Carrier::kIn,
     0,
     20000},
    {"InitFlashModeCut",
     [](DeviceLink& l, uint8_t*, VolumeHandle h) { return InitFlash(l, 0x1FF, h); },
     {0xFD, 0x11, 0xFF, 0, 0, 0, 0, 0, 0, 0},
     Carrier::kIn,
     0,
     20000},
    {"ReadControllerMemory",
     [](DeviceLink& l, uint8_t* b, VolumeHandle h) {
       return ReadControllerMemory(l, 0x1064, 512, b, h);
     },
     {0xFD, 0x00, 0x00, 0x10, 0x64, 0xFF, 0x00, 0x02, 0x00, 0x00},
     Carrier::kIn,
     512,
     2000},
    {"ReadControllerMemoryHighByte",
     [](DeviceLink& l, uint8_t* b, VolumeHandle h) {
       return ReadControllerMemory(l, 0xAB1234, 16, b, h);
     },
     {0xFD, 0x00, 0x00, 0x12, 0x34, 0xFF, 0xAB, 0x00, 0x10, 0x00},
     Carrier::kIn,
     16,
     2000},
    {"WriteControllerMemory",
     [](DeviceLink& l, uint8_t* b, VolumeHandle h) {
       return WriteControllerMemory(l, 0xF200, 0x0200, 0xFF, b, h);
     },
     {0xFD, 0x00, 0x01, 0xF2, 0x00, 0xFF, 0x03, 0x02, 0x00, 0x00},
     Carrier::kOut,
     512,
     2000},
    {"WriteControllerMemoryAlways512",
     [](DeviceLink& l, uint8_t* b, VolumeHandle h) {
       return WriteControllerMemory(l, 0xF000, 0x0010, 0x1AB, b, h);
     },
     {0xFD, 0x00, 0x01, 0xF0, 0x00, 0xAB, 0x03, 0x00, 0x10, 0x00},
     Carrier::kOut,
     512,
     2000},
    {"ReadFlashConfig34",
     [](DeviceLink& l, uint8_t* b, VolumeHandle h) { return ReadFlashConfig(l, b, 34, h); },
     {0xF2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
     Carrier::kIn,
     34,
     2},
    {"ReadFlashPages",
     [](DeviceLink& l, uint8_t* b, VolumeHandle h) {
       return ReadFlashPages(l, 0x40, 2, 4096, 1, b, h);
     },
     {0xF8, 0x02, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x02, 0x00},
     Carrier::kIn,
     4096,
     200},
    {"ReadFlashPagesFieldsCut",
     [](DeviceLink& l, uint8_t* b, VolumeHandle h) {
       return ReadFlashPages(l, 0x12345678, 0x10020, 65536, 0x81, b, h);
     },
     {0xF8, 0x02, 0x12, 0x34, 0x56, 0x78, 0x00, 0x00, 0x20, 0x00},
     Carrier::kIn,
     65536,
     200},
    {"WriteFlashPages",
     [](DeviceLink& l, uint8_t* b, VolumeHandle h) {
       return WriteFlashPages(l, 0x100, 32, 65536, b, h);
     },
     {0xFA, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x20, 0x00},
     Carrier::kOut,
     65536,
     5000},
    {"WriteFlashPagesSmallStillOut",
     [](DeviceLink& l, uint8_t* b, VolumeHandle h) { return WriteFlashPages(l, 7, 1, 16, b, h); },
     {0xFA, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x01, 0x00},
     Carrier::kOut,
     16,
     5000},
    {"ReadPageSpare",
     [](DeviceLink& l, uint8_t* b, VolumeHandle h) { return ReadPageSpare(l, 0x1FF, 16, b, h); },
     {0xF9, 0x00, 0x00, 0x00, 0x01, 0xFF, 0x00, 0x00, 0x00, 0x00},
     Carrier::kIn,
     16,
     20},
    {"EraseFlashBlock",
     [](DeviceLink& l, uint8_t*, VolumeHandle h) { return EraseFlashBlock(l, 0xC0FFEE, h); },
     {0xFE, 0x00, 0x00, 0xC0, 0xFF, 0xEE, 0x00, 0x00, 0x00, 0x00},
     Carrier::kIn,
     1,
     20},
};

// The recording puts a command on the medium before it is sent, and the
// kernel-stage target moves its data, by what the table says of it: the
// table must say what the builders send.
TEST_P(CommandTable, TheTraitsTableKnowsEachCommandAsItIsBuilt) {
  const CommandCase& c = GetParam();
  const CommandTraits* traits = FindCommand(c.cdb.data(), c.cdb.size());
  ASSERT_NE(traits, nullptr) << "no row for the command";
  EXPECT_EQ(traits->cdbLength, c.cdb.size()) << traits->name;
  const DataDirection sent = c.transferLength == 0        ? DataDirection::kNone
                             : c.carrier == Carrier::kOut ? DataDirection::kOut
                                                          : DataDirection::kIn;
  EXPECT_EQ(traits->direction, sent) << traits->name;
  // What sends data changes the drive: none of the set sends data to read.
  if (sent == DataDirection::kOut) {
    EXPECT_FALSE(OnlyReads(c.cdb.data(), c.cdb.size())) << traits->name;
  }
}

INSTANTIATE_TEST_SUITE_P(Builders, CommandTable, ::testing::ValuesIn(kCommands),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CommandTraitsTest, EveryRowIsACommandTheProgramBuilds) {
  for (const CommandTraits& row : kCommandTraits) {
    const bool built = std::any_of(std::begin(kCommands), std::end(kCommands), [&](const auto& c) {
      return FindCommand(c.cdb.data(), c.cdb.size()) == &row;
    });
    EXPECT_TRUE(built) << row.name;
  }
}

class CommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    drive.unmatched = testing::Good();
    ASSERT_TRUE(link.OpenVolume('E', handle));
  }
  ScriptedVolumes volumes;
  ScriptedDrive& drive = volumes.Attach('E');
  DeviceLink link{volumes};
  VolumeHandle handle = kNoVolume;
};

TEST_F(CommandsTest, WriteControllerMemorySendsTheCallersBytes) {
  std::vector<uint8_t> data(512);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(WriteControllerMemory(link, 0xF000, 0x200, 0xFF, data.data(), handle));
  EXPECT_EQ(drive.seen.at(0).dataOut, data);
}

TEST_F(CommandsTest, CommandsWithoutDataStillHandOverStorage) {
  ASSERT_TRUE(ResetController(link, handle));
  ASSERT_TRUE(PrepareCodeLoad(link, handle));
  ASSERT_TRUE(InitFlash(link, 0, handle));
  for (const auto& seen : drive.seen) {
    EXPECT_EQ(seen.transferLength, 0u);
    EXPECT_EQ(seen.carrier, Carrier::kIn);
  }
}

TEST_F(CommandsTest, BuildersPassTheCarrierFailureThrough) {
  drive.Then({Outcome::kScsiStatus, 2}).Then({Outcome::kTransportError, 0});
  uint8_t buffer[8] = {};
  EXPECT_FALSE(ReadCapacity(link, buffer, 8, handle));
  EXPECT_FALSE(EraseFlashBlock(link, 0, handle));
  EXPECT_TRUE(ReadCapacity(link, buffer, 8, handle));
}

TEST_F(CommandsTest, ClosedHandleIsRefusedWithoutTraffic) {
  uint8_t buffer[8] = {};
  EXPECT_FALSE(ReadCapacity(link, buffer, 8, handle + 100));
  EXPECT_TRUE(drive.seen.empty());
}

TEST(SwapBytes16Test, ExchangesTheLowTwoBytesOnly) {
  EXPECT_EQ(SwapBytes16(0x1234), 0x3412u);
  EXPECT_EQ(SwapBytes16(0x00FF), 0xFF00u);
  EXPECT_EQ(SwapBytes16(0xABCD1234) & 0xFFFF, 0x3412u);
}

}  // namespace
}  // namespace kestrune::device
