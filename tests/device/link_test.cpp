#include "device/link.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "device/commands.h"
#include "tests/support/device_test_link.h"
#include "tests/support/scripted_transport.h"

namespace kestrune::device {
namespace {

using testing::ScriptedDrive;
using testing::ScriptedVolumes;

// One drive on E: that fills every data-in with 0xA5.
class LinkTest : public ::testing::Test {
 protected:
  ScriptedVolumes volumes;
  ScriptedDrive& drive = volumes.Attach('E').On(testing::AnyCommand(), testing::Pattern({0xA5}));
  testing::TestLink link{volumes};
};

TEST_F(LinkTest, OpenStoresAFreshHandleAndCloseClearsIt) {
  VolumeHandle first = kNoVolume;
  VolumeHandle second = kNoVolume;
  ASSERT_TRUE(link.OpenVolume('E', first));
  ASSERT_TRUE(link.OpenVolume('E', second));
  EXPECT_NE(first, kNoVolume);
  EXPECT_NE(first, second);
  EXPECT_EQ(link.OpenVolumeCount(), 2u);

  link.CloseVolume(first);
  EXPECT_EQ(first, kNoVolume);
  EXPECT_EQ(volumes.liveTransports, 1);
  link.CloseVolume(first);  // closing a closed handle does nothing
  EXPECT_EQ(volumes.liveTransports, 1);
  EXPECT_EQ(link.OpenVolumeCount(), 1u);
}

TEST_F(LinkTest, FailedOpenLeavesTheHandleUnchanged) {
  VolumeHandle handle = 77;
  EXPECT_FALSE(link.OpenVolume('Q', handle));
  EXPECT_EQ(handle, 77u);
  EXPECT_EQ(link.OpenVolumeCount(), 0u);
}

TEST_F(LinkTest, OpenDoesNotCloseAHandleAlreadyStored) {
  VolumeHandle handle = kNoVolume;
  ASSERT_TRUE(link.OpenVolume('E', handle));
  VolumeHandle old = handle;
  ASSERT_TRUE(link.OpenVolume('E', handle));
  EXPECT_EQ(volumes.liveTransports, 2);
  uint8_t cdb[6] = {0x12};
  uint8_t buffer[4];
  EXPECT_TRUE(link.SendCommandIn(cdb, 6, 4, 20, buffer, old));
}

TEST_F(LinkTest, DestroyingTheLinkClosesWhatIsOpen) {
  {
    DeviceLink scoped(volumes);
    VolumeHandle handle = kNoVolume;
    ASSERT_TRUE(scoped.OpenVolume('E', handle));
  }
  EXPECT_EQ(volumes.liveTransports, 0);
}

struct CarrierCase {
  Carrier carrier;
  uint32_t length;
};

class CarrierTest : public LinkTest, public ::testing::WithParamInterface<CarrierCase> {};

// The transport sees the carrier and the length the caller gave, and a
// data-in below 512 bytes never reaches the caller when it fails, even when
// the transport scribbled into the data area.
TEST_P(CarrierTest, FailedRequestsLeaveBufferedDataInUntouched) {
  const CarrierCase& c = GetParam();
  VolumeHandle handle = kNoVolume;
  ASSERT_TRUE(link.OpenVolume('E', handle));
  drive.Then({Outcome::kScsiStatus, 2});
  std::vector<uint8_t> buffer(c.length + 1, 0x11);
  uint8_t cdb[10] = {0xF8};

  bool ok = c.carrier == Carrier::kIn
                ? link.SendCommandIn(cdb, 10, c.length, 200, buffer.data(), handle)
                : link.SendCommandOut(cdb, 10, c.length, 200, buffer.data(), handle);
  EXPECT_FALSE(ok);
  ASSERT_EQ(drive.seen.size(), 1u);
  EXPECT_EQ(drive.seen[0].carrier, c.carrier);
  EXPECT_EQ(drive.seen[0].transferLength, c.length);
  bool buffered = c.carrier == Carrier::kIn && c.length < 512;
  if (buffered) {
    EXPECT_EQ(buffer, std::vector<uint8_t>(c.length + 1, 0x11));
  } else if (c.carrier == Carrier::kIn) {
    EXPECT_EQ(buffer[0], 0xA5);  // direct data lands whatever the outcome
  }
  EXPECT_EQ(buffer[c.length], 0x11);  // never beyond the transfer length
}

TEST_P(CarrierTest, SuccessfulRequestsMoveTheCallersBytes) {
  const CarrierCase& c = GetParam();
  VolumeHandle handle = kNoVolume;
  ASSERT_TRUE(link.OpenVolume('E', handle));
  drive.On(testing::AnyCommand(), testing::Pattern({1, 2, 3}));
  std::vector<uint8_t> buffer(c.length + 1, 0x11);
  for (uint32_t i = 0; i < c.length; ++i) buffer[i] = static_cast<uint8_t>(i * 5);
  std::vector<uint8_t> sent(buffer.begin(), buffer.end() - 1);
  uint8_t cdb[10] = {0xF8};
  if (c.carrier == Carrier::kOut) {
    ASSERT_TRUE(link.SendCommandOut(cdb, 10, c.length, 200, buffer.data(), handle));
    EXPECT_EQ(drive.seen.at(0).dataOut, sent);
    return;
  }
  ASSERT_TRUE(link.SendCommandIn(cdb, 10, c.length, 200, buffer.data(), handle));
  for (uint32_t i = 0; i < c.length; ++i) ASSERT_EQ(buffer[i], (i % 3) + 1) << i;
  EXPECT_EQ(buffer[c.length], 0x11);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, CarrierTest,
    ::testing::Values(CarrierCase{Carrier::kIn, 0}, CarrierCase{Carrier::kIn, 1},
                      CarrierCase{Carrier::kIn, 511}, CarrierCase{Carrier::kIn, 512},
                      CarrierCase{Carrier::kIn, 65536}, CarrierCase{Carrier::kOut, 16},
                      CarrierCase{Carrier::kOut, 512}));

// A reply that came back short: the flash reads need every byte and fail,
// leaving a buffered reply untouched; the other commands take what came.
struct ShortReplyCase {
  const char* name;
  bool (*read)(DeviceLink& link, uint8_t* buffer, uint32_t length, VolumeHandle handle);
  uint32_t length;
  uint32_t residual;
  bool succeeds;
};

class ShortReply : public LinkTest, public ::testing::WithParamInterface<ShortReplyCase> {};

TEST_P(ShortReply, FailsWhereEveryByteIsNeeded) {
  const ShortReplyCase& c = GetParam();
  VolumeHandle handle = kNoVolume;
  ASSERT_TRUE(link.OpenVolume('E', handle));
  Result result{Outcome::kGood, 0};
  result.residual = c.residual;
  drive.Then(result);
  std::vector<uint8_t> buffer(c.length, 0x11);
  EXPECT_EQ(c.read(link, buffer.data(), c.length, handle), c.succeeds);
  const bool untouched = !c.succeeds && c.length < kBufferedLimit;
  EXPECT_EQ(buffer[0], untouched ? 0x11 : 0xA5);
}

bool Capacity(DeviceLink& link, uint8_t* buffer, uint32_t length, VolumeHandle handle) {
  return ReadCapacity(link, buffer, length, handle);
}
bool Spare(DeviceLink& link, uint8_t* buffer, uint32_t length, VolumeHandle handle) {
  return ReadPageSpare(link, 64, length, buffer, handle);
}
bool Pages(DeviceLink& link, uint8_t* buffer, uint32_t length, VolumeHandle handle) {
  return ReadFlashPages(link, 64, 1, length, 1, buffer, handle);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ShortReply,
    ::testing::Values(ShortReplyCase{"CapacityTakesWhatCame", Capacity, 8, 4, true},
                      ShortReplyCase{"SpareNeedsEveryByte", Spare, 16, 1, false},
                      ShortReplyCase{"PageNeedsEveryByte", Pages, 2048, 1, false},
                      ShortReplyCase{"WholePage", Pages, 2048, 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinkTest, RefusesMalformedRequestsWithoutTraffic) {
  VolumeHandle handle = kNoVolume;
  ASSERT_TRUE(link.OpenVolume('E', handle));
  uint8_t cdb[17] = {0x12};
  uint8_t buffer[16] = {};
  EXPECT_FALSE(link.SendCommandIn(cdb, 17, 4, 20, buffer, handle));
  EXPECT_FALSE(link.SendCommandIn(cdb, 0, 4, 20, buffer, handle));
  EXPECT_FALSE(link.SendCommandIn(nullptr, 6, 4, 20, buffer, handle));
  EXPECT_FALSE(link.SendCommandIn(cdb, 6, 4, 20, nullptr, handle));
  EXPECT_FALSE(link.SendCommandIn(cdb, 6, 4, 20, buffer, kNoVolume));
  EXPECT_TRUE(drive.seen.empty());
  EXPECT_TRUE(link.SendCommandIn(cdb, 16, 4, 20, buffer, handle));
}

TEST_F(LinkTest, AllocBufferAlignsAndHonoursTheFailureHook) {
  for (size_t alignment : {size_t{0}, size_t{1}, size_t{4}}) {
    HeapBlock block = link.AllocBuffer(65536, alignment);
    ASSERT_TRUE(block);
    if (alignment == 4) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(block.get()) & 4, 0u);
    }
    std::memset(block.get(), 0x5A, 65536);  // the whole size is usable
  }
  link.failAllocation = [](size_t size) { return size == 4096; };
  EXPECT_FALSE(link.AllocBuffer(4096, 4));
  EXPECT_TRUE(link.AllocBuffer(4097, 4));
  HeapBlock moved = link.AllocBuffer(8, 1);
  HeapBlock target = std::move(moved);
  EXPECT_FALSE(moved);
  EXPECT_TRUE(target);
  EXPECT_FALSE(link.AllocBuffer(SIZE_MAX, 4));
}

}  // namespace
}  // namespace kestrune::device
