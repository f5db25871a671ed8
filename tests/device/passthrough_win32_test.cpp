#include "device/passthrough_win32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace kestrune::device {
namespace {

// Offsets of the structure's fields in this program's ABI.
#if defined(_WIN64)
constexpr size_t kDataField = 24;  // ULONG_PTR / PVOID after 4 bytes of padding
constexpr size_t kSenseField = 32;
constexpr size_t kCdbField = 36;
constexpr uint16_t kStructureLength = 56;
constexpr uint32_t kBufferedSense = 60;
constexpr uint32_t kBufferedData = 92;
constexpr uint32_t kDirectSize = 96;
#else
constexpr size_t kDataField = 20;
constexpr size_t kSenseField = 24;
constexpr size_t kCdbField = 28;
constexpr uint16_t kStructureLength = 44;
constexpr uint32_t kBufferedSense = 48;
constexpr uint32_t kBufferedData = 80;
constexpr uint32_t kDirectSize = 80;
#endif

uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// The header bytes every block starts with.
void ExpectHeader(const uint8_t* b, uint8_t cdbLength, uint8_t dataIn, uint32_t length,
                  uint32_t timeout) {
  EXPECT_EQ(b[0] | (b[1] << 8), kStructureLength);
  EXPECT_EQ(b[2], 0);  // status on entry
  EXPECT_EQ(b[3], 0);  // PathId
  EXPECT_EQ(b[4], 1);  // TargetId
  EXPECT_EQ(b[5], 0);  // Lun
  EXPECT_EQ(b[6], cdbLength);
  EXPECT_EQ(b[7], 24);  // SenseInfoLength
  EXPECT_EQ(b[8], dataIn);
  EXPECT_EQ(Load32(b + 12), length);
  EXPECT_EQ(Load32(b + 16), timeout);
}

TEST(PassThroughBlockTest, BufferedInquiryBlockBytes) {
  const uint8_t cdb[6] = {0x12, 0, 0, 0, 0xB4, 0};
  Request request{cdb, 6, Carrier::kIn, 180, 20, nullptr};
  BufferedBlock block{};
  DWORD in = 0, out = 0;
  FillBufferedBlock(block, request, in, out);
  const auto* b = reinterpret_cast<const uint8_t*>(&block);

  ExpectHeader(b, 6, 1, 180, 20);
  EXPECT_EQ(Load32(b + kDataField), kBufferedData);
  EXPECT_EQ(Load32(b + kSenseField), kBufferedSense);
  EXPECT_EQ(std::vector<uint8_t>(b + kCdbField, b + kCdbField + 16),
            (std::vector<uint8_t>{0x12, 0, 0, 0, 0xB4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(in, kStructureLength);
  EXPECT_EQ(out, kBufferedData + 180);
  EXPECT_EQ(offsetof(BufferedBlock, sense), kBufferedSense);
  EXPECT_EQ(offsetof(BufferedBlock, data), kBufferedData);
}

TEST(PassThroughBlockTest, CommandWithoutDataIsBufferedDataInOfLengthZero) {
  const uint8_t cdb[10] = {0xFD, 0x11, 0x04};
  Request request{cdb, 10, Carrier::kIn, 0, 20000, nullptr};
  BufferedBlock block{};
  DWORD in = 0, out = 0;
  FillBufferedBlock(block, request, in, out);
  ExpectHeader(reinterpret_cast<const uint8_t*>(&block), 10, 1, 0, 20000);
  EXPECT_EQ(out, kBufferedData);
}

TEST(PassThroughBlockTest, DirectBlocksPointAtTheCallersBuffer) {
  const uint8_t cdb[10] = {0xFA, 0, 0, 0, 0x01, 0x00, 0, 0, 0x20, 0};
  std::vector<uint8_t> data(65536);
  for (Carrier carrier : {Carrier::kOut, Carrier::kIn}) {
    Request request{cdb, 10, carrier, 65536, 5000, data.data()};
    DirectBlock block{};
    DWORD in = 0, out = 0;
    FillDirectBlock(block, request, in, out);
    const auto* b = reinterpret_cast<const uint8_t*>(&block);
    ExpectHeader(b, 10, carrier == Carrier::kOut ? 0 : 1, 65536, 5000);
    void* pointer = nullptr;
    std::memcpy(&pointer, b + kDataField, sizeof pointer);
    EXPECT_EQ(pointer, data.data());
    EXPECT_EQ(Load32(b + kSenseField), kBufferedSense);
    EXPECT_EQ(b[kCdbField], 0xFA);
    EXPECT_EQ(b[kCdbField + 8], 0x20);
    EXPECT_EQ(b[kCdbField + 10], 0);
    EXPECT_EQ(in, kDirectSize);
    EXPECT_EQ(out, kDirectSize);
  }
  EXPECT_EQ(sizeof(DirectBlock), kDirectSize);
}

TEST(PassThroughBlockTest, OutcomeClassification) {
  EXPECT_EQ(ClassifyPassThrough(TRUE, 0, 0).outcome, Outcome::kGood);
  Result check = ClassifyPassThrough(TRUE, 0, 2);
  EXPECT_EQ(check.outcome, Outcome::kScsiStatus);
  EXPECT_EQ(check.scsiStatus, 2);
  EXPECT_EQ(ClassifyPassThrough(FALSE, ERROR_SEM_TIMEOUT, 0).outcome, Outcome::kTransportError);
  EXPECT_EQ(ClassifyPassThrough(FALSE, ERROR_INVALID_FUNCTION, 0).outcome, Outcome::kOsError);
  EXPECT_FALSE(ClassifyPassThrough(FALSE, ERROR_NOT_SUPPORTED, 0).Succeeded());
}

TEST(PassThroughVolumesTest, LetterWithoutAVolumeDoesNotOpen) {
  PassThroughVolumes volumes;
  EXPECT_TRUE(volumes.NeedsPrivilege());
  const OpenResult missing = volumes.Open('Q');
  EXPECT_EQ(missing, nullptr);
  // A missing volume is no drive of another run's, and keeps no lock.
  EXPECT_EQ(missing.holder, "");
  EXPECT_EQ(LockVolumeLetter('Q').state, platform::LockState::kTaken);
}

// One letter, one run: a second lock of the letter is refused, in any
// letter case, until the first goes.
TEST(PassThroughVolumesTest, ALetterIsLockedByOneRunAtATime) {
  platform::LockAttempt first = LockVolumeLetter('R');
  ASSERT_EQ(first.state, platform::LockState::kTaken);
  EXPECT_EQ(LockVolumeLetter('r').state, platform::LockState::kHeldElsewhere);
  first.lock.Release();
  EXPECT_EQ(LockVolumeLetter('R').state, platform::LockState::kTaken);
}

}  // namespace
}  // namespace kestrune::device
