#include <gtest/gtest.h>

#include <vector>

#include "discovery/discovery.h"
#include "tests/discovery/harness.h"

namespace kestrune::testing {
namespace {

TEST(QueryCapacity, StoresBlockAddressAndLength) {
  Bench b;
  b.volumes.Attach('E').Reply(0x25, CapacityReply(0x00ABCDEF, 2048));
  b.Open('E');
  EXPECT_TRUE(QueryCapacity(b.p, 0));
  EXPECT_EQ(Val(b.slot().sectorCount), 0x00ABCDEFu);  // no 1 added
  EXPECT_EQ(Val(b.slot().sectorSize), 2048u);
}

TEST(QueryCapacity, FailureOrZeroLengthGivesFiveHundredTwelve) {
  Bench b;
  ScriptedDrive& drive = b.volumes.Attach('E');
  drive.Fail(0x25);
  b.Open('E');
  EXPECT_FALSE(QueryCapacity(b.p, 0));
  EXPECT_EQ(Val(b.slot().sectorCount), 0u);
  EXPECT_EQ(Val(b.slot().sectorSize), 512u);

  drive.Reply(0x25, CapacityReply(1000, 0));
  EXPECT_TRUE(QueryCapacity(b.p, 0));
  EXPECT_EQ(Val(b.slot().sectorCount), 1000u);
  EXPECT_EQ(Val(b.slot().sectorSize), 512u);
}

TEST(QueryModeByte, KeepsTheByteOnlyWhenTheCommandSucceeds) {
  Bench b;
  ScriptedDrive& drive = b.volumes.Attach('E');
  drive.Fail(0xF3);
  b.Open('E');
  QueryModeByte(b.p, 0);
  EXPECT_EQ(Val(b.slot().modeByte), 0xCD);
  drive.Reply(0xF3, {0x07});
  QueryModeByte(b.p, 0);
  EXPECT_EQ(Val(b.slot().modeByte), 0x07);
}

struct PageSizeCase {
  uint8_t flags;
  uint16_t pagesPerBlock;
  uint32_t pageSize;
};

class PageSizeA : public ::testing::TestWithParam<PageSizeCase> {};

TEST_P(PageSizeA, FirstRuleThatAppliesDecides) {
  Bench b;
  ConfigA config;
  config.flags = GetParam().flags;
  config.pagesPerBlock = GetParam().pagesPerBlock;
  b.volumes.Attach('E').Reply(0xF2, ConfigReplyA(config));
  b.Open('E');
  b.slot().sectorSize = 512;
  ASSERT_TRUE(ProbeFlashConfigA(b.p, 0));
  EXPECT_EQ(Val(b.slot().pageSize), GetParam().pageSize);
  EXPECT_EQ(Val(b.slot().sectorsPerPage), GetParam().pageSize / 512);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, PageSizeA,
    ::testing::Values(PageSizeCase{0x18, 128, 2048}, PageSizeCase{0x38, 128, 4096},
                      PageSizeCase{0x88, 64, 2048}, PageSizeCase{0x08, 64, 4096},
                      PageSizeCase{0x08, 512, 4096}, PageSizeCase{0x08, 128, 2048},
                      PageSizeCase{0x14, 64, 512}, PageSizeCase{0x34, 32, 1024},
                      PageSizeCase{0x04, 64, 1024}, PageSizeCase{0x04, 32, 512},
                      // 0x08 outranks 0x04; 0x10 outranks 0x80.
                      PageSizeCase{0x0C, 32, 2048}, PageSizeCase{0x98, 64, 2048},
                      PageSizeCase{0xB8, 64, 4096}));

TEST(ProbeFlashConfigA, StoresTheRecordAndComputesTheCapacity) {
  Bench b;
  ConfigA config;
  config.flashType = 0x6B;
  config.flags = 0x78;
  config.cisPagesPerBlock = 32;
  config.blocksPerZone = 0x0400;
  config.zoneCount = 4;
  config.ceCount = 2;
  config.pagesPerBlock = 128;
  config.usableBlocksPerZone = 1000;
  b.volumes.Attach('E').Reply(0xF2, ConfigReplyA(config));
  b.Open('E');
  b.slot().sectorSize = 512;
  ASSERT_TRUE(ProbeFlashConfigA(b.p, 0));
  const DriveSlot& slot = b.slot();
  EXPECT_EQ(Val(slot.flashTypeHigh), 0x60);
  EXPECT_EQ(Val(slot.flashTypeLow), 0x0B);
  EXPECT_EQ(Val(slot.cfgFlags), 0x78);
  EXPECT_EQ(Val(slot.cisPagesPerBlock), 32);
  EXPECT_EQ(Val(slot.blocksPerZone), 1024);
  EXPECT_EQ(Val(slot.zoneCount), 4);
  EXPECT_EQ(Val(slot.ceCount), 2);
  EXPECT_EQ(Val(slot.pagesPerBlock), 128);
  EXPECT_EQ(Val(slot.usableBlocksPerZone), 1000);
  EXPECT_EQ(Val(slot.pageSize), 4096u);
  EXPECT_EQ(Val(slot.sectorsPerPage), 8u);
  EXPECT_EQ(Val(slot.sectorCount), 128u * 1000 * 4 * 2);
}

// A record that names no page size would leave every transfer on the reset
// fill; the probe fails instead.
TEST(ProbeFlashConfigA, NoPageSizeBitIsNoGeometry) {
  Bench b;
  ConfigA config;
  config.flags = 0x30;
  b.volumes.Attach('E').Reply(0xF2, ConfigReplyA(config));
  b.Open('E');
  EXPECT_FALSE(ProbeFlashConfigA(b.p, 0));
  EXPECT_EQ(Val(b.slot().pageSize), 0xCDCDCDCDu);
}

TEST(ProbeFlashConfigA, FailedCommandLeavesTheSlot) {
  Bench b;
  b.volumes.Attach('E').Fail(0xF2);
  b.Open('E');
  EXPECT_FALSE(ProbeFlashConfigA(b.p, 0));
  EXPECT_EQ(Val(b.slot().pagesPerBlock), 0xCDCD);
}

class ProbeB : public ::testing::Test {
 protected:
  void Probe(const ConfigB& config, std::vector<uint8_t> flashId = {0xEC, 0xD3, 0x51, 0x95, 0x58},
             ControllerId id = kCtrl190) {
    drive_ = &b_.volumes.Attach('E');
    drive_->Reply(0xF2, ConfigReplyB(config));
    b_.Open('E');
    std::memcpy(b_.slot().flashId, flashId.data(), 5);
    b_.slot().hasFlashId = 1;
    b_.slot().controllerId = id;
    result_ = ProbeFlashConfigB(b_.p, 0);
  }
  Bench b_;
  ScriptedDrive* drive_ = nullptr;
  bool result_ = false;
};

TEST_F(ProbeB, StoresTheRecordAndDerivesSectors) {
  ConfigB config;
  config.pagesPerBlock = 256;
  config.cisPagesPerBlock = 128;
  config.pageSize = 4096;
  config.zoneCount = 3;
  config.ceCount = 2;
  config.usableBlocksPerZone = 990;
  config.blocksPerZone = 1024;
  config.flashType = 0x47;
  config.flags = 0x40;
  Probe(config);
  ASSERT_TRUE(result_);
  const DriveSlot& slot = b_.slot();
  EXPECT_EQ(Val(slot.sectorSize), 2048u);
  EXPECT_EQ(Val(slot.sectorsPerPage), 2u);
  EXPECT_EQ(Val(slot.pageSize), 4096u);
  EXPECT_EQ(Val(slot.blocksPerZone), 1024);
  EXPECT_EQ(Val(slot.flashTypeHigh), 0x40);
  EXPECT_EQ(Val(slot.flashTypeLow), 0x07);
  EXPECT_EQ(Val(slot.cfgFlags), 0x40);
  EXPECT_EQ(Val(slot.reservedZones), 0);
  EXPECT_EQ(Val(slot.sectorCount), 3u * 2 * 990 * 256);
  EXPECT_EQ(drive_->SeenWith(0xF2)[0].transferLength, 34u);
}

TEST_F(ProbeB, ZeroCisBlockSizeFallsBackToByteTwo) {
  ConfigB config;
  config.cisPagesPerBlock = 0;
  config.cisFallback = 0x80;
  Probe(config);
  ASSERT_TRUE(result_);
  EXPECT_EQ(Val(b_.slot().cisPagesPerBlock), 128);
}

TEST_F(ProbeB, ZeroPagesPerBlockFailsWithSectorSize512) {
  ConfigB config;
  config.pagesPerBlock = 0;
  Probe(config);
  EXPECT_FALSE(result_);
  EXPECT_EQ(Val(b_.slot().sectorSize), 512u);
  EXPECT_EQ(Val(b_.slot().pageSize), 2048u);
}

TEST(ProbeFlashConfigB, NoFlashIdKeepsTheEarlierGeometry) {
  Bench b;
  b.volumes.Attach('E').Reply(0xF2, ConfigReplyB({}));
  b.Open('E');
  b.slot().hasFlashId = 0;
  b.slot().pageSize = 512;
  EXPECT_FALSE(ProbeFlashConfigB(b.p, 0));
  EXPECT_EQ(Val(b.slot().pageSize), 512u);
  EXPECT_EQ(Val(b.slot().pagesPerBlock), 0xCDCD);
}

// Page sizes that a page transfer or the 64 KiB page buffer cannot carry,
// and a sector size of 0, never make usable geometry (nor a division by 0).
struct BadPageCase {
  uint16_t pageSize;
  uint16_t cisPagesPerBlock;
};

class UnusableGeometryB : public ProbeB, public ::testing::WithParamInterface<BadPageCase> {};

TEST_P(UnusableGeometryB, ProbeFails) {
  ConfigB config;
  config.pageSize = GetParam().pageSize;
  config.cisPagesPerBlock = GetParam().cisPagesPerBlock;
  config.cisFallback = 0;
  Probe(config);
  EXPECT_FALSE(result_);
}

INSTANTIATE_TEST_SUITE_P(Cases, UnusableGeometryB,
                         ::testing::Values(BadPageCase{0, 128}, BadPageCase{1000, 128},
                                           BadPageCase{65535, 128}, BadPageCase{640, 128},
                                           BadPageCase{2048, 0}));

TEST(PageSizeLimit, LargestUsablePageLeavesRoomForTheSpareBytes) {
  EXPECT_TRUE(IsUsablePageSize(512));
  EXPECT_TRUE(IsUsablePageSize(65024));
  EXPECT_FALSE(IsUsablePageSize(65536));
  EXPECT_FALSE(IsUsablePageSize(0));
  EXPECT_FALSE(IsUsablePageSize(2050));
  EXPECT_LE(65024u + 64, kPageBufferSize);
}

struct ReservedCase {
  std::vector<uint8_t> flashId;
  ControllerId id;
  uint8_t zoneCount;
  int reserved;  // -1: field left alone
};

class ReservedZones : public ProbeB, public ::testing::WithParamInterface<ReservedCase> {};

TEST_P(ReservedZones, TakenFromTheFlashId) {
  ConfigB config;
  config.zoneCount = GetParam().zoneCount;
  config.ceCount = 1;
  config.usableBlocksPerZone = 100;
  config.pagesPerBlock = 128;
  Probe(config, GetParam().flashId, GetParam().id);
  ASSERT_TRUE(result_);
  const int reserved = GetParam().reserved;
  EXPECT_EQ(Val(b_.slot().reservedZones), reserved < 0 ? 0xCD : reserved);
  const uint32_t r = reserved < 0 ? 0 : static_cast<uint32_t>(reserved);
  const uint32_t zones = GetParam().zoneCount > r ? GetParam().zoneCount - r : 0;
  EXPECT_EQ(Val(b_.slot().sectorCount), zones * 100 * 128);
}

INSTANTIATE_TEST_SUITE_P(
    Toshiba, ReservedZones,
    ::testing::Values(ReservedCase{{0x98, 0xDA, 0x00, 0x00, 0x02}, kCtrl190, 10, 2},
                      ReservedCase{{0x98, 0xDA, 0x00, 0x00, 0x02}, kCtrl163, 6, 6},
                      ReservedCase{{0x98, 0xDA, 0x00, 0x00, 0x02}, kCtrl165, 6, 2},
                      ReservedCase{{0x98, 0xDA, 0x00, 0x00, 0x02}, kCtrl163, 10, 2},
                      ReservedCase{{0x98, 0xDA, 0x00, 0x00, 0x00}, kCtrl190, 10, 0},
                      ReservedCase{{0x98, 0xD7, 0x95, 0x32, 0x7A}, kCtrl190, 7, 4},
                      ReservedCase{{0x98, 0xD7, 0x95, 0x32, 0x7A}, kCtrl190, 2, 4},
                      ReservedCase{{0x98, 0xD5, 0x94, 0x32, 0x76}, kCtrl190, 7, 0},
                      ReservedCase{{0xEC, 0xD5, 0x94, 0x32, 0x76}, kCtrl190, 7, 0},
                      ReservedCase{{0x07, 0xD5, 0x94, 0x32, 0x02}, kCtrl190, 7, -1}));

TEST(ReadExtraInfo, ReadsTheInformationPageBehindTheCisPage) {
  for (uint32_t sectorsPerPage : {1u, 4u}) {
    Bench b;
    ScriptedDrive& drive = b.volumes.Attach('E');
    PageStore store;
    store.pageSize = 2048;
    std::vector<uint8_t> info(2048);
    for (size_t i = 0; i < info.size(); ++i) info[i] = static_cast<uint8_t>(i * 7);
    const uint32_t expected = sectorsPerPage == 1 ? 256 + 4 : 256 + 1;
    store.Put(expected, info);
    ServePages(drive, store);
    b.Open('E');
    DriveSlot& slot = b.slot();
    slot.geometryValid = 1;
    slot.pageSize = 2048;
    slot.pagesPerBlock = 128;
    slot.cisPagesPerBlock = 128;
    slot.sectorsPerPage = sectorsPerPage;
    slot.activeCis = 1;
    slot.cis[1].cisPageOffset = 256;
    ASSERT_TRUE(ReadExtraInfo(b.p, 0));
    EXPECT_EQ(drive.SeenWith(0xF8)[0].pageAddress(), expected);
    EXPECT_EQ(std::vector<uint8_t>(b.p.extraInfo[0], b.p.extraInfo[0] + 64),
              std::vector<uint8_t>(info.begin(), info.begin() + 64));
    EXPECT_EQ(b.p.extraInfo[1][0], 0xCD);
  }
}

TEST(ReadExtraInfo, FailedReadLeavesTheBlock) {
  Bench b;
  b.volumes.Attach('E').Fail(0xF8);
  b.Open('E');
  DriveSlot& slot = b.slot();
  slot.geometryValid = 1;
  slot.pageSize = 2048;
  slot.pagesPerBlock = 128;
  slot.cisPagesPerBlock = 128;
  slot.sectorsPerPage = 4;
  slot.activeCis = 0;
  slot.cis[0].cisPageOffset = 0;
  EXPECT_FALSE(ReadExtraInfo(b.p, 0));
  EXPECT_EQ(b.p.extraInfo[0][0], 0xCD);
}

}  // namespace
}  // namespace kestrune::testing
