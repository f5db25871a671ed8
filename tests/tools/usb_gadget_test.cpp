// The USB stick's Bulk-Only transport as usb-storage meets it: which command
// wrappers it takes, the status wrapper and residue it answers with, and the
// sense a failed command leaves for the REQUEST SENSE that follows.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tools/usb_gadget/bulk_only.h"

namespace kestrune::usb {
namespace {

std::vector<uint8_t> Wrapper(uint32_t tag, uint32_t length, bool in, std::vector<uint8_t> cdb,
                             uint8_t lun = 0) {
  std::vector<uint8_t> bytes(kCbwLength, 0);
  const uint8_t head[] = {'U', 'S', 'B', 'C'};
  std::copy(head, head + 4, bytes.begin());
  for (int i = 0; i < 4; ++i) {
    bytes[4 + i] = static_cast<uint8_t>(tag >> (8 * i));
    bytes[8 + i] = static_cast<uint8_t>(length >> (8 * i));
  }
  bytes[12] = in ? 0x80 : 0x00;
  bytes[13] = lun;
  bytes[14] = static_cast<uint8_t>(cdb.size());
  std::copy(cdb.begin(), cdb.begin() + std::min<size_t>(cdb.size(), 16), bytes.begin() + 15);
  return bytes;
}

struct WrapperCase {
  const char* name;
  std::vector<uint8_t> bytes;
  bool taken;
};

class CbwParsing : public ::testing::TestWithParam<WrapperCase> {};

TEST_P(CbwParsing, TakesOnlyAMeaningfulWrapper) {
  Cbw cbw;
  EXPECT_EQ(ParseCbw(GetParam().bytes.data(), GetParam().bytes.size(), &cbw), GetParam().taken);
}

std::vector<uint8_t> With(std::vector<uint8_t> bytes, size_t at, uint8_t value) {
  bytes[at] = value;
  return bytes;
}

const std::vector<uint8_t> kInquiry = Wrapper(7, 36, true, {0x12, 0, 0, 0, 36, 0});

INSTANTIATE_TEST_SUITE_P(
    Wrappers, CbwParsing,
    ::testing::Values(
        WrapperCase{"inquiry", kInquiry, true},
        WrapperCase{"sixteen_byte_cdb", Wrapper(1, 0, false, std::vector<uint8_t>(16)), true},
        WrapperCase{"bad_signature", With(kInquiry, 0, 'X'), false},
        WrapperCase{"short", std::vector<uint8_t>(kInquiry.begin(), kInquiry.end() - 1), false},
        WrapperCase{"no_cdb", With(kInquiry, 14, 0), false},
        WrapperCase{"cdb_of_17", With(kInquiry, 14, 17), false},
        WrapperCase{"second_lun", With(kInquiry, 13, 1), false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CbwParsing, ReadsTagLengthDirectionAndCdb) {
  Cbw cbw;
  ASSERT_TRUE(ParseCbw(kInquiry.data(), kInquiry.size(), &cbw));
  EXPECT_EQ(cbw.tag, 7u);
  EXPECT_EQ(cbw.transferLength, 36u);
  EXPECT_TRUE(cbw.dataIn);
  EXPECT_EQ(cbw.cdbLength, 6);
  EXPECT_EQ(cbw.cdb[0], 0x12);
  EXPECT_EQ(cbw.cdb[4], 36);
}

TEST(Csw, CarriesTagResidueAndStatus) {
  const auto csw = MakeCsw(0x01020304, 0x100, kCswFailed);
  const std::array<uint8_t, kCswLength> expected = {'U', 'S', 'B', 'S', 4, 3, 2, 1, 0, 1, 0, 0, 1};
  EXPECT_EQ(csw, expected);
}

class StickServing : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    drive_ = sim::VirtualDrive::FromFile(
        (std::filesystem::path(KESTRUNE_TEST_DRIVES) / "ctrl161_broken.json").string(), &error, "");
    ASSERT_TRUE(drive_) << error;
    lun_ = std::make_unique<tcmu::Lun>(*drive_);
    stick_ = std::make_unique<Stick>(*lun_);
  }
  Answer Serve(const std::vector<uint8_t>& wrapper, std::vector<uint8_t>& data) {
    Cbw cbw;
    EXPECT_TRUE(ParseCbw(wrapper.data(), wrapper.size(), &cbw));
    return stick_->Serve(cbw, data);
  }
  std::vector<uint8_t> Sense(uint32_t length = 18) {
    std::vector<uint8_t> data;
    const Answer answer = Serve(Wrapper(9, length, true, {0x03, 0, 0, 0, 18, 0}), data);
    EXPECT_EQ(answer.status, kCswPassed);
    EXPECT_EQ(data.size(), length);
    return data;
  }
  std::unique_ptr<sim::VirtualDrive> drive_;
  std::unique_ptr<tcmu::Lun> lun_;
  std::unique_ptr<Stick> stick_;
};

// A failed command's sense is what the next REQUEST SENSE gets, once.
TEST_F(StickServing, AFailedCommandLeavesItsSenseForOneRequestSense) {
  std::vector<uint8_t> data;
  const Answer failed = Serve(Wrapper(1, 0, false, {0xC5, 0, 0, 0, 0, 0, 0, 0, 0, 0}), data);
  EXPECT_EQ(failed.status, kCswFailed);
  const std::vector<uint8_t> sense = Sense();
  EXPECT_EQ(sense[0], 0x70);
  EXPECT_EQ(sense[2] & 0x0F, 0x05);
  EXPECT_EQ(sense[12], 0x20);
  EXPECT_EQ(Sense()[2] & 0x0F, 0x00) << "the sense was given twice";
}

TEST_F(StickServing, AGoodCommandClearsTheSenseBeforeIt) {
  std::vector<uint8_t> data;
  Serve(Wrapper(1, 0, false, {0xC5, 0, 0, 0, 0, 0, 0, 0, 0, 0}), data);
  EXPECT_EQ(Serve(Wrapper(2, 0, false, {0x00, 0, 0, 0, 0, 0}), data).status, kCswPassed);
  EXPECT_EQ(Sense()[2] & 0x0F, 0x00);
}

// What the drive did not send is padded and counted in the residue.
TEST_F(StickServing, AShortReplyIsPaddedAndItsResidueTold) {
  std::vector<uint8_t> data;
  const Answer answer = Serve(Wrapper(3, 64, true, {0xF2, 0, 0, 0, 0, 0, 0, 0, 0, 0}), data);
  EXPECT_EQ(answer.status, kCswPassed);
  ASSERT_EQ(data.size(), 64u);
  EXPECT_EQ(answer.residue, 64u - 12u);
  EXPECT_EQ(std::count(data.begin() + 12, data.end(), 0), 64 - 12);
}

TEST_F(StickServing, ARequestSenseShorterThanTheSenseGetsItsStart) {
  std::vector<uint8_t> data;
  Serve(Wrapper(1, 0, false, {0xC5, 0, 0, 0, 0, 0, 0, 0, 0, 0}), data);
  const std::vector<uint8_t> sense = Sense(4);
  EXPECT_EQ(sense[0], 0x70);
  EXPECT_EQ(sense[2] & 0x0F, 0x05);
}

// Data going the other way than the command's own is refused unseen.
TEST_F(StickServing, ADirectionTheCommandDoesNotHaveIsRefused) {
  std::vector<uint8_t> data(512, 0xAB);
  const Answer answer = Serve(Wrapper(4, 512, false, {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}), data);
  EXPECT_EQ(answer.status, kCswFailed);
  EXPECT_FALSE(answer.reply.reachedDrive);
  EXPECT_EQ(Sense()[12], 0x24);
}

TEST_F(StickServing, AFailedDataInSendsZerosAndCountsThemAll) {
  drive_->SetVanished(true);
  std::vector<uint8_t> data;
  const Answer answer = Serve(Wrapper(5, 512, true, {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}), data);
  EXPECT_EQ(answer.status, kCswFailed);
  EXPECT_EQ(answer.residue, 512u);
  ASSERT_EQ(data.size(), 512u);
  EXPECT_EQ(std::count(data.begin(), data.end(), 0), 512);
  EXPECT_EQ(Sense()[12], 0x3A);
}

// A wrapper asking for more than a stick moves takes no memory for it.
TEST_F(StickServing, ATransferTooLongIsRefusedWithoutItsData) {
  for (const bool in : {true, false}) {
    std::vector<uint8_t> data(16, 0xAB);
    const Answer answer =
        Serve(Wrapper(6, 0xFFFFFFF0u, in, {0x28, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0}), data);
    EXPECT_TRUE(answer.tooLong);
    EXPECT_EQ(answer.status, kCswFailed);
    EXPECT_EQ(answer.residue, 0xFFFFFFF0u);
    EXPECT_TRUE(data.empty());
    EXPECT_FALSE(answer.reply.reachedDrive);
    EXPECT_EQ(Sense()[12], 0x24);
  }
  std::vector<uint8_t> data;
  EXPECT_FALSE(
      Serve(Wrapper(7, kMaxTransfer, true, {0x28, 0, 0, 0, 0, 0, 0, 0x08, 0, 0}), data).tooLong);
}

TEST_F(StickServing, AResetForgetsThePendingSense) {
  std::vector<uint8_t> data;
  Serve(Wrapper(1, 0, false, {0xC5, 0, 0, 0, 0, 0, 0, 0, 0, 0}), data);
  stick_->Reset();
  EXPECT_EQ(Sense()[2] & 0x0F, 0x00);
}

}  // namespace
}  // namespace kestrune::usb
