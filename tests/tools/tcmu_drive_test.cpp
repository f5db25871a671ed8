// The LUN handler as the kernel's target meets it: the commands the kernel
// sends on its own, the vendor commands it trims, the disk it reads its
// partition table from, hold rules, and the ring at its wrap.
#include <gtest/gtest.h>
#include <sys/uio.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "device/bytes.h"
#include "tools/tcmu_drive/lun.h"
#include "tools/tcmu_drive/ring.h"
#include "tools/tcmu_drive/ring_layout.h"

namespace kestrune::tcmu {
namespace {

std::unique_ptr<sim::VirtualDrive> FamilyADrive() {
  std::string error;
  auto drive = sim::VirtualDrive::FromFile(
      (std::filesystem::path(KESTRUNE_TEST_DRIVES) / "ctrl161_broken.json").string(), &error, "");
  EXPECT_TRUE(drive) << error;
  return drive;
}

struct CommandCase {
  const char* name;
  std::vector<uint8_t> cdb;  // as the target hands it on
  size_t transfer;
  bool vanished;
  uint8_t status;
  uint8_t senseKey;
  uint8_t asc;
  uint32_t residual;  // what the drive's reply fell short of the transfer
};

class LunAnswers : public ::testing::TestWithParam<CommandCase> {};

TEST_P(LunAnswers, AsTheStickWould) {
  const CommandCase& c = GetParam();
  auto drive = FamilyADrive();
  drive->SetVanished(c.vanished);
  Lun lun(*drive);
  std::vector<uint8_t> data(c.transfer, 0xEE);
  const Reply reply = lun.Answer(c.cdb.data(), c.cdb.size(), data);
  EXPECT_EQ(reply.status, c.status);
  EXPECT_EQ(reply.SenseKey(), c.senseKey);
  EXPECT_EQ(reply.AdditionalSenseCode(), c.asc);
  EXPECT_EQ(reply.residual, c.residual);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, LunAnswers,
    ::testing::Values(
        // The kernel probes a disk for vital product data only where it may.
        CommandCase{"inquiry_vpd", {0x12, 0x01, 0x00, 0x00, 0xFF, 0x00}, 255, false, 2, 5, 0x24, 0},
        // The target trims every vendor opcode to 10 bytes; the controller
        // still answers its 12-byte configuration read (a family A record
        // is 12 bytes) and 6-byte mode byte.
        CommandCase{
            "config_as_10_bytes", {0xF2, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 34, false, 0, 0, 0, 22},
        CommandCase{
            "mode_byte_as_10_bytes", {0xF3, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 1, false, 0, 0, 0, 0},
        CommandCase{
            "unknown_vendor_sub", {0xFD, 0x7E, 0, 0, 0, 0, 0, 0, 0, 0}, 0, false, 2, 5, 0x24, 0},
        // The drive's own sense goes on as it came.
        CommandCase{
            "unknown_vendor_opcode", {0xC5, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, false, 2, 5, 0x20, 0},
        CommandCase{"capacity_16",
                    {0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0},
                    32,
                    false,
                    2,
                    5,
                    0x20,
                    0},
        CommandCase{"ready", {0x00, 0, 0, 0, 0, 0}, 0, false, 0, 0, 0, 0},
        CommandCase{"unplugged_not_ready", {0x00, 0, 0, 0, 0, 0}, 0, true, 2, 2, 0x3A, 0},
        // A drive that is gone fails inside: a target can say so only by status.
        CommandCase{"unplugged_vendor", {0xF3, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 1, true, 2, 4, 0x44, 0}),
    [](const auto& info) { return std::string(info.param.name); });

std::vector<uint8_t> Read10(uint32_t lba, uint16_t blocks) {
  std::vector<uint8_t> cdb = {0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  bytes::StoreBe32(&cdb[2], lba);
  bytes::StoreBe16(&cdb[7], blocks);
  return cdb;
}

TEST(LunDisk, CarriesOnePartitionInsideTheCapacityTheDriveReports) {
  auto drive = FamilyADrive();
  Lun lun(*drive);
  const std::vector<uint8_t> capacity = {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  std::vector<uint8_t> reply(8);
  ASSERT_EQ(lun.Answer(capacity.data(), capacity.size(), reply).status, kGoodStatus);
  const uint32_t lastLba = bytes::LoadBe32(reply.data());
  const uint32_t blockLength = bytes::LoadBe32(reply.data() + 4);
  ASSERT_EQ(blockLength, 512u);

  std::vector<uint8_t> block0(512);
  const std::vector<uint8_t> first = Read10(0, 1);
  ASSERT_EQ(lun.Answer(first.data(), first.size(), block0).status, kGoodStatus);
  EXPECT_EQ(block0[510], 0x55);
  EXPECT_EQ(block0[511], 0xAA);
  uint32_t start, count;
  std::memcpy(&start, &block0[446 + 8], 4);
  std::memcpy(&count, &block0[446 + 12], 4);
  EXPECT_NE(block0[446 + 4], 0) << "no partition";
  EXPECT_LE(uint64_t{start} + count, uint64_t{lastLba} + 1);

  std::vector<uint8_t> last(512);
  const std::vector<uint8_t> atEnd = Read10(lastLba, 1);
  EXPECT_EQ(lun.Answer(atEnd.data(), atEnd.size(), last).status, kGoodStatus);
  const std::vector<uint8_t> pastEnd = Read10(lastLba, 2);
  std::vector<uint8_t> two(1024);
  const Reply refused = lun.Answer(pastEnd.data(), pastEnd.size(), two);
  EXPECT_EQ(refused.AdditionalSenseCode(), 0x21);

  // What the kernel writes it reads back.
  std::vector<uint8_t> written(512, 0x5A);
  std::vector<uint8_t> write = Read10(40, 1);
  write[0] = 0x2A;
  ASSERT_EQ(lun.Answer(write.data(), write.size(), written).status, kGoodStatus);
  std::vector<uint8_t> back(512);
  const std::vector<uint8_t> read = Read10(40, 1);
  ASSERT_EQ(lun.Answer(read.data(), read.size(), back).status, kGoodStatus);
  EXPECT_EQ(back, std::vector<uint8_t>(512, 0x5A));
}

TEST(LunHold, OnlyTheChosenCommandCountedFromTheRuleIsHeld) {
  std::vector<HoldRule> rules;
  std::string error;
  ASSERT_TRUE(ParseHoldRules("# timeout\nhold 25 2 4000\nhold fd/10 1 3000\n", &rules, &error))
      << error;
  auto drive = FamilyADrive();
  Lun lun(*drive);
  const std::vector<uint8_t> capacity = {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const std::vector<uint8_t> flashId = {0xFD, 0x10, 0, 0, 0, 0, 0, 0, 0, 0};
  const std::vector<uint8_t> initFlash = {0xFD, 0x11, 0, 0, 0, 0, 0, 0, 0, 0};
  std::vector<uint8_t> data(8);
  // Before the rule: not counted.
  EXPECT_EQ(lun.Answer(capacity.data(), capacity.size(), data).holdMilliseconds, 0u);
  lun.SetHoldRules(rules);
  std::vector<uint32_t> held;
  for (const auto* cdb : {&capacity, &initFlash, &flashId, &capacity, &capacity}) {
    held.push_back(lun.Answer(cdb->data(), cdb->size(), data).holdMilliseconds);
  }
  EXPECT_EQ(held, (std::vector<uint32_t>{0, 0, 3000, 4000, 0}));

  for (const char* bad :
       {"hold 25", "hold zz 1 5", "wait 25 1 5", "hold 25 0 5", "hold 25 1 5 x", "hold 125 1 5"}) {
    EXPECT_FALSE(ParseHoldRules(bad, &rules, &error)) << bad;
  }
}

// A ring laid out as the kernel lays it: mailbox, command ring, data area.
class FakeRing {
 public:
  static constexpr uint32_t kRingOffset = 128;
  static constexpr uint32_t kRingSize = 512;
  static constexpr uint32_t kDataOffset = kRingOffset + kRingSize;

  FakeRing() : memory_(kDataOffset + 4096, 0) {
    Put<uint16_t>(0, kRingLayout.mailboxVersion);
    Put<uint32_t>(kRingLayout.ringOffsetField, kRingOffset);
    Put<uint32_t>(kRingLayout.ringSizeField, kRingSize);
  }
  void SetMailboxFlags(uint16_t flags) { Put<uint16_t>(kRingLayout.mailboxFlagsField, flags); }
  void SetTail(uint32_t at) {
    Put<uint32_t>(kRingLayout.tailField, at);
    head_ = at;
    Advance(0);
  }
  void AddPad() {
    const uint32_t length = kRingSize - head_;
    Put<uint32_t>(kRingOffset + head_, length | kRingLayout.opPad);
    Advance(length);
  }
  // A command whose CDB, then its data, lie in the data area at `dataAt`.
  void AddCommand(const std::vector<uint8_t>& cdb, uint32_t dataAt,
                  const std::vector<uint8_t>& data) {
    const uint32_t length = 160;
    const uint32_t entry = kRingOffset + head_;
    Put<uint32_t>(entry, length | kRingLayout.opCommand);
    Put<uint32_t>(entry + kRingLayout.iovCountField, data.empty() ? 0 : 1);
    Put<uint64_t>(entry + kRingLayout.cdbOffsetField, kDataOffset + dataAt);
    std::memcpy(&memory_[kDataOffset + dataAt], cdb.data(), cdb.size());
    if (!data.empty()) {
      const iovec piece{reinterpret_cast<void*>(uintptr_t{kDataOffset + dataAt + 32}), data.size()};
      Put<iovec>(entry + kRingLayout.iovField, piece);
      std::memcpy(&memory_[kDataOffset + dataAt + 32], data.data(), data.size());
    }
    Advance(length);
  }
  void SetIov(uint32_t entryAt, const iovec& piece) {
    Put<iovec>(kRingOffset + entryAt + kRingLayout.iovField, piece);
  }
  uint32_t Tail() const { return Get32(kRingLayout.tailField); }
  uint32_t Head() const { return Get32(kRingLayout.headField); }
  uint8_t* Base() { return memory_.data(); }
  size_t Size() const { return memory_.size(); }
  uint8_t At(size_t at) const { return memory_[at]; }

 private:
  uint32_t Get32(size_t at) const {
    uint32_t value;
    std::memcpy(&value, &memory_[at], 4);
    return value;
  }
  template <typename T>
  void Put(size_t at, const T& value) {
    std::memcpy(&memory_[at], &value, sizeof value);
  }
  void Advance(uint32_t length) {
    head_ = (head_ + length) % kRingSize;
    Put<uint32_t>(kRingLayout.headField, head_);
  }
  std::vector<uint8_t> memory_;
  uint32_t head_ = 0;
};

TEST(Ring, AnswersEveryCommandInOrderAcrossTheWrap) {
  ASSERT_LE(kRingLayout.mailboxSize, FakeRing::kRingOffset);
  FakeRing ring;
  ring.SetTail(384);
  ring.AddPad();
  ring.AddCommand({0xFA, 0, 0, 0, 0, 0x40, 0, 0, 1, 0}, 0, std::vector<uint8_t>(16, 0x11));
  ring.AddCommand({0x12, 0, 0, 0, 36, 0}, 256, std::vector<uint8_t>(36, 0));

  std::vector<std::string> seen;
  int kicks = 0;
  const int answered = ServeRing(
      ring.Base(), ring.Size(),
      [&](const uint8_t* cdb, size_t length, std::vector<uint8_t>& data) {
        seen.push_back(std::to_string(cdb[0]) + "/" + std::to_string(length) + "/" +
                       std::to_string(data.size()) + "/" + std::to_string(data.at(0)));
        Reply reply;
        if (cdb[0] == 0x12) {
          data[0] = 0x42;
        } else {
          reply.status = kCheckCondition;
          reply.sense[2] = 0x05;
        }
        return reply;
      },
      [&] { ++kicks; });

  EXPECT_EQ(answered, 2);
  EXPECT_EQ(kicks, 2);
  EXPECT_EQ(seen, (std::vector<std::string>{"250/10/16/17", "18/6/36/0"}));
  EXPECT_EQ(ring.Tail(), ring.Head());
  // The first answer is a CHECK CONDITION with its sense, the second carries its data.
  EXPECT_EQ(ring.At(FakeRing::kRingOffset + kRingLayout.statusField), kCheckCondition);
  EXPECT_EQ(ring.At(FakeRing::kRingOffset + kRingLayout.senseField + 2), 0x05);
  EXPECT_EQ(ring.At(FakeRing::kDataOffset + 256 + 32), 0x42);
}

// A short data-in reply is told to a kernel that takes its length, and to
// no other.
class RingReadLength : public ::testing::TestWithParam<bool> {};

TEST_P(RingReadLength, TellsAShortReplyWhereTheKernelTakesIt) {
  const bool capable = GetParam();
  FakeRing ring;
  ring.SetMailboxFlags(capable ? kRingLayout.capReadLength : 0);
  ring.SetTail(0);
  ring.AddCommand({0x12, 0, 0, 0, 180, 0}, 0, std::vector<uint8_t>(180, 0));
  ASSERT_EQ(ServeRing(
                ring.Base(), ring.Size(),
                [](const uint8_t*, size_t, std::vector<uint8_t>&) {
                  Reply reply;
                  reply.residual = 144;
                  return reply;
                },
                [] {}),
            1);
  const size_t entry = FakeRing::kRingOffset;
  uint32_t readLength = 0;
  std::memcpy(&readLength, ring.Base() + entry + kRingLayout.readLengthField, sizeof readLength);
  EXPECT_EQ((ring.At(entry + kRingLayout.userFlagsField) & kRingLayout.userReadLength) != 0,
            capable);
  EXPECT_EQ(readLength, capable ? 36u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Kernels, RingReadLength, ::testing::Bool());

TEST(Ring, RefusesAnEntryThatLeavesTheMapping) {
  FakeRing ring;
  ring.SetTail(0);
  ring.AddCommand({0x12, 0, 0, 0, 36, 0}, 0, std::vector<uint8_t>(36, 0));
  ring.SetIov(0, iovec{reinterpret_cast<void*>(uintptr_t{1} << 40), 36});
  bool called = false;
  EXPECT_EQ(ServeRing(
                ring.Base(), ring.Size(),
                [&](const uint8_t*, size_t, std::vector<uint8_t>&) {
                  called = true;
                  return Reply{};
                },
                [] {}),
            -1);
  EXPECT_FALSE(called);
  EXPECT_EQ(ring.Tail(), 0u);
}

}  // namespace
}  // namespace kestrune::tcmu
