#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "discovery/discovery.h"
#include "tests/discovery/harness.h"

namespace kestrune::testing {
namespace {

TEST(VerifyCisPage, EachGroupMustSumToZeroModulo65536) {
  std::vector<uint8_t> page = MakeCodeMarkPage({});
  EXPECT_TRUE(VerifyCisPage(page.data()));
  for (size_t group = 0; group < 4; ++group) {
    std::vector<uint8_t> off = page;
    off[group * 128 + 101] ^= 0x01;  // one word of the group gains or loses 1
    EXPECT_FALSE(VerifyCisPage(off.data())) << "group " << group;
  }
  // Bytes past the first 512 are not checked.
  page[700] ^= 0xFF;
  EXPECT_TRUE(VerifyCisPage(page.data()));
}

TEST(VerifyCisPage, SumsWrapAt16Bits) {
  std::vector<uint8_t> page(512, 0);
  for (size_t group = 0; group < 4; ++group) {
    // 0x8000 + 0x7FFF + 0x0001 = 0x10000
    bytes::StoreBe16(page.data() + group * 128, 0x8000);
    bytes::StoreBe16(page.data() + group * 128 + 2, 0x7FFF);
    bytes::StoreBe16(page.data() + group * 128 + 4, 0x0001);
  }
  EXPECT_TRUE(VerifyCisPage(page.data()));
  bytes::StoreBe16(page.data() + 384 + 4, 0x0002);
  EXPECT_FALSE(VerifyCisPage(page.data()));
}

// A family-B drive on E: with 64-page blocks of 2048-byte pages, 16 blocks a
// zone, and its volume open.
class CodeMarkSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    drive_ = &b_.volumes.Attach('E');
    store_.pageSize = 2048;
    ServePages(*drive_, store_);
    b_.Open('E');
    DriveSlot& slot = b_.slot();
    slot.geometryValid = 1;
    slot.pageSize = 2048;
    slot.pagesPerBlock = 64;
    slot.cisPagesPerBlock = 64;
    slot.blocksPerZone = 16;
    slot.sectorsPerPage = 4;
  }
  void PutCodeMark(uint32_t block, uint16_t ispOffset, CodeMarkPage page = {}) {
    page.ispOffset = ispOffset;
    page.auxOffset = static_cast<uint16_t>(ispOffset + 0x40);
    store_.Put(block * 64, MakeCodeMarkPage(page));
  }
  std::vector<uint32_t> ReadPages() const {
    std::vector<uint32_t> pages;
    for (const auto& c : drive_->SeenWith(0xF8)) pages.push_back(c.pageAddress());
    return pages;
  }

  Bench b_;
  ScriptedDrive* drive_ = nullptr;
  PageStore store_;
};

TEST_F(CodeMarkSearch, RecordsTheFirstThreeCopies) {
  PutCodeMark(2, 0x100);
  PutCodeMark(5, 0x200);
  PutCodeMark(9, 0x300);
  PutCodeMark(12, 0x400);
  ASSERT_TRUE(LocateCodeMark(b_.p, 0));
  const DriveSlot& slot = b_.slot();
  EXPECT_EQ(Val(slot.cisCount), 3);
  const uint32_t blocks[3] = {2, 5, 9};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Val(slot.cis[i].present), 1);
    EXPECT_EQ(Val(slot.cis[i].page), blocks[i] * 64);
    EXPECT_EQ(Val(slot.cis[i].cisPageOffset), blocks[i] * 64);
    EXPECT_EQ(Val(slot.cis[i].ispOffset), 0x100u * (i + 1));
    EXPECT_EQ(Val(slot.cis[i].auxAreaOffset), 0x100u * (i + 1) + 0x40);
    EXPECT_EQ(b_.p.cisPageOffsets[i], static_cast<int32_t>(blocks[i] * 64));
    EXPECT_EQ(b_.p.ispOffsets[i], static_cast<int32_t>(0x100 * (i + 1)));
  }
  EXPECT_EQ(b_.p.ispOffsets[3], -1);
  // Block 12 is never read: the search ends at the third copy.
  EXPECT_EQ(ReadPages().back(), 9u * 64);
  EXPECT_EQ(b_.LogText(),
            "Start\r\n"
            "CIS PageO ffset = 80 \r\n\r\n"
            "ISP_Offset = 100 \r\n\r\n"
            "CIS PageO ffset = 140 \r\n\r\n"
            "ISP_Offset = 200 \r\n\r\n"
            "CIS PageO ffset = 240 \r\n\r\n"
            "ISP_Offset = 300 \r\n\r\n");
  EXPECT_TRUE(b_.platform.SawDebug("CIS PageO ffset = 140 \r\n"));
  EXPECT_TRUE(b_.platform.SawDebug("ISP_Offset = 300 \r\n"));
}

TEST_F(CodeMarkSearch, SearchesTheFirstPageOfEachBlockOfTheFirstZone) {
  PutCodeMark(16, 0x100);                        // first block of zone 1: beyond the search
  store_.Put(3 * 64 + 1, MakeCodeMarkPage({}));  // not a block's first page
  EXPECT_FALSE(LocateCodeMark(b_.p, 0));
  std::vector<uint32_t> expected;
  for (uint32_t block = 0; block < 16; ++block) expected.push_back(block * 64);
  EXPECT_EQ(ReadPages(), expected);
  EXPECT_EQ(Val(b_.slot().cisCount), 0);
  EXPECT_EQ(Val(b_.slot().cis[0].page), 0xFFFFu);
  EXPECT_EQ(b_.p.ispOffsets[0], -1);
}

TEST_F(CodeMarkSearch, ZeroPagesPerBlockSearchesNothing) {
  b_.slot().pagesPerBlock = 0;
  EXPECT_FALSE(LocateCodeMark(b_.p, 0));
  EXPECT_TRUE(ReadPages().empty());
}

TEST_F(CodeMarkSearch, PageThatFailsTheCheckIsSkipped) {
  CodeMarkPage broken;
  std::vector<uint8_t> bad = MakeCodeMarkPage(broken);
  bad[300] ^= 0x10;
  store_.Put(1 * 64, bad);
  PutCodeMark(4, 0x180);
  ASSERT_TRUE(LocateCodeMark(b_.p, 0));
  EXPECT_EQ(Val(b_.slot().cisCount), 1);
  EXPECT_EQ(Val(b_.slot().cis[0].page), 4u * 64);
  EXPECT_EQ(Val(b_.slot().cis[0].ispOffset), 0x180u);
  EXPECT_EQ(Val(b_.slot().cis[1].present), 0);
}

TEST_F(CodeMarkSearch, LowerCaseMarkerIsNotFound) {
  CodeMarkPage lower;
  lower.mark = "codemark";
  store_.Put(2 * 64, MakeCodeMarkPage(lower));
  EXPECT_FALSE(LocateCodeMark(b_.p, 0));
  // The parser takes the same page.
  EXPECT_TRUE(ParseCisPageB(b_.p, 0, 2 * 64));
}

TEST_F(CodeMarkSearch, ReadFailureSkipsTheBlock) {
  PutCodeMark(1, 0x100);
  PutCodeMark(2, 0x200);
  drive_->Fail(MatchPage(0xF8, 64));
  ASSERT_TRUE(LocateCodeMark(b_.p, 0));
  EXPECT_EQ(Val(b_.slot().cis[0].page), 128u);
}

TEST_F(CodeMarkSearch, OffsetAbove0x8000EndsTheSearchWithFalse) {
  DriveSlot& slot = b_.slot();
  slot.blocksPerZone = 1024;
  slot.cisCount = 2;  // from an earlier search
  PutCodeMark(3, 0x100);
  PutCodeMark(600, 0x200);  // CIS page 600 * 64 = 0x9600
  PutCodeMark(700, 0x300);
  EXPECT_FALSE(LocateCodeMark(b_.p, 0));
  EXPECT_EQ(Val(slot.cis[0].present), 1);
  EXPECT_EQ(Val(slot.cis[1].present), 0);
  EXPECT_EQ(Val(slot.cisCount), 2);
  EXPECT_EQ(b_.p.ispOffsets[0], 0x100);
  EXPECT_EQ(ReadPages().back(), 600u * 64);
}

TEST_F(CodeMarkSearch, ExactlyAtTheLimitIsStillTaken) {
  DriveSlot& slot = b_.slot();
  slot.blocksPerZone = 1024;
  PutCodeMark(512, 0x100);  // CIS page 0x8000
  ASSERT_TRUE(LocateCodeMark(b_.p, 0));
  EXPECT_EQ(Val(slot.cis[0].cisPageOffset), 0x8000u);
}

TEST_F(CodeMarkSearch, ConvertsToCisNumbering) {
  DriveSlot& slot = b_.slot();
  slot.pagesPerBlock = 64;
  slot.cisPagesPerBlock = 128;
  PutCodeMark(3, 0x100);
  ASSERT_TRUE(LocateCodeMark(b_.p, 0));
  EXPECT_EQ(Val(slot.cis[0].page), 192u);
  EXPECT_EQ(Val(slot.cis[0].cisPageOffset), 384u);
  EXPECT_EQ(b_.p.cisPageOffsets[0], 384);
}

class ParseB : public CodeMarkSearch {
 protected:
  void SetUp() override {
    CodeMarkSearch::SetUp();
    DriveSlot& slot = b_.slot();
    slot.controllerId = kCtrl190;
    slot.revision = 3;
    slot.ceCount = 2;
    slot.zoneCount = 2;
    slot.reservedZones = 0;
    slot.capacityRead = 1;
    slot.sectorCount = 12345;
    const uint8_t id[5] = {0xEC, 0xD3, 0x51, 0x95, 0x58};
    std::memcpy(slot.flashId, id, 5);
  }
};

TEST_F(ParseB, TakesTextsFlashTypeZoneTablesAndCapacity) {
  CodeMarkPage page;
  page.flashType = 0xA5;
  page.vendor = "KESTVEND";
  page.product = "KEST PRODUCT 16C";
  // unit 0 zones 0,1; unit 1 zones 0,1 (row 1 of table 0); a zone beyond the count.
  page.zoneEntries = {{0, 1000}, {1, 990}, {16, 980}, {17, 0xFFFF}, {2, 5000}};
  store_.Put(64, MakeCodeMarkPage(page));
  ASSERT_TRUE(ParseCisPageB(b_.p, 0, 64));
  const DriveSlot& slot = b_.slot();
  EXPECT_EQ(Val(slot.flashTypeHigh), 0xA0);
  EXPECT_EQ(Val(slot.flashTypeLow), 0x05);
  EXPECT_STREQ(slot.vendorId, "KESTVEND");
  EXPECT_STREQ(slot.productId, "KEST PRODUCT 16C");
  EXPECT_EQ(Val(slot.zoneTables[0][0][0]), 1000);
  EXPECT_EQ(Val(slot.zoneTables[0][1][0]), 980);
  EXPECT_EQ(Val(slot.zoneTables[3][3][15]), 0xFFFF);
  EXPECT_EQ(Val(slot.sectorCount), 64u * (1000 + 990 + 980));
}

TEST_F(ParseB, WithoutCapacityTheSectorCountStays) {
  b_.slot().capacityRead = 0;
  CodeMarkPage page;
  page.zoneEntries = {{0, 1000}};
  store_.Put(64, MakeCodeMarkPage(page));
  ASSERT_TRUE(ParseCisPageB(b_.p, 0, 64));
  EXPECT_EQ(Val(b_.slot().sectorCount), 12345u);
}

TEST_F(ParseB, ToshibaPartsLeaveOutTheReservedZones) {
  DriveSlot& slot = b_.slot();
  const uint8_t id[5] = {0x98, 0xDA, 0x00, 0x00, 0x02};
  std::memcpy(slot.flashId, id, 5);
  slot.ceCount = 1;
  slot.zoneCount = 4;
  slot.reservedZones = 2;
  CodeMarkPage page;
  page.zoneEntries = {{0, 100}, {1, 200}, {2, 400}, {3, 800}};
  store_.Put(64, MakeCodeMarkPage(page));
  ASSERT_TRUE(ParseCisPageB(b_.p, 0, 64));
  EXPECT_EQ(Val(slot.sectorCount), 64u * 300);
}

TEST_F(ParseB, SmallPageFlashReadsTwoPages) {
  DriveSlot& slot = b_.slot();
  slot.pageSize = 512;
  slot.sectorsPerPage = 1;
  store_.pageSize = 512;
  CodeMarkPage page;
  page.zoneEntries = {{0, 700}};
  store_.PutSpanning(64, MakeCodeMarkPage(page));
  ASSERT_TRUE(ParseCisPageB(b_.p, 0, 64));
  auto reads = drive_->SeenWith(0xF8);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].at(8), 2);
  EXPECT_EQ(reads[0].transferLength, 1024u);
  EXPECT_EQ(Val(slot.sectorCount), 64u * 700);
}

TEST_F(ParseB, RejectsMissingMarkerBadCheckAndFailedRead) {
  CodeMarkPage other;
  other.mark = "CodeMarx";
  store_.Put(64, MakeCodeMarkPage(other));
  EXPECT_FALSE(ParseCisPageB(b_.p, 0, 64));
  std::vector<uint8_t> bad = MakeCodeMarkPage({});
  bad[20] ^= 1;
  store_.Put(128, bad);
  EXPECT_FALSE(ParseCisPageB(b_.p, 0, 128));
  drive_->Fail(MatchPage(0xF8, 192));
  store_.Put(192, MakeCodeMarkPage({}));
  EXPECT_FALSE(ParseCisPageB(b_.p, 0, 192));
  EXPECT_EQ(Val(b_.slot().vendorId[0]), 0);
}

// zoneCount comes from the drive unchecked; zones past a table row add nothing.
TEST_F(ParseB, ZonesBeyondATableRowAreNotRead) {
  DriveSlot& slot = b_.slot();
  slot.ceCount = 1;
  slot.zoneCount = 200;
  CodeMarkPage page;
  page.zoneEntries = {{0, 10}, {15, 20}, {16, 4000}};  // 16 is unit 1's first zone
  store_.Put(64, MakeCodeMarkPage(page));
  ASSERT_TRUE(ParseCisPageB(b_.p, 0, 64));
  EXPECT_EQ(Val(slot.sectorCount), 64u * 30);
}

struct ZoneEntryCase {
  uint32_t unit;
  uint32_t zone;
  uint32_t word;  // flat word of zoneTables expected to be added; 999: none
};

class ZoneEntry : public ::testing::TestWithParam<ZoneEntryCase> {};

void SetFlatWord(DriveSlot& slot, uint32_t word, uint16_t value) {
  slot.zoneTables[word / 64][(word / 16) % 4][word % 16] = value;
}

TEST_P(ZoneEntry, AddsTheNamedEntry) {
  Bench b;
  DriveSlot& slot = b.slot();
  for (uint32_t w = 0; w < 256; ++w) SetFlatWord(slot, w, static_cast<uint16_t>(w + 1));
  uint32_t sum = 5;
  AddZoneEntry(b.p, 0, GetParam().unit, GetParam().zone, sum);
  EXPECT_EQ(sum, GetParam().word == 999 ? 5u : 5u + GetParam().word + 1);
  if (GetParam().word != 999) {
    SetFlatWord(slot, GetParam().word, 0xFFFF);
    sum = 5;
    AddZoneEntry(b.p, 0, GetParam().unit, GetParam().zone, sum);
    EXPECT_EQ(sum, 5u);
  }
}

INSTANTIATE_TEST_SUITE_P(Units, ZoneEntry,
                         ::testing::Values(ZoneEntryCase{0, 0, 0}, ZoneEntryCase{1, 3, 19},
                                           ZoneEntryCase{5, 2, 64 + 16 + 2},
                                           ZoneEntryCase{15, 15, 255}, ZoneEntryCase{16, 0, 999},
                                           ZoneEntryCase{0, 16, 999}, ZoneEntryCase{2, 200, 999}));

class ZoneEntryAlt : public ::testing::TestWithParam<ZoneEntryCase> {};

TEST_P(ZoneEntryAlt, OlderLayoutWrapsUnitsAndSpillsIntoTableOne) {
  Bench b;
  DriveSlot& slot = b.slot();
  for (uint32_t w = 0; w < 256; ++w) SetFlatWord(slot, w, static_cast<uint16_t>(w + 1));
  uint32_t sum = 0;
  AddZoneEntryAlt(b.p, 0, GetParam().unit, GetParam().zone, sum);
  EXPECT_EQ(sum, GetParam().word == 999 ? 0u : GetParam().word + 1);
  if (GetParam().word != 999) {
    SetFlatWord(slot, GetParam().word, 0xFFFF);
    sum = 0;
    AddZoneEntryAlt(b.p, 0, GetParam().unit, GetParam().zone, sum);
    EXPECT_EQ(sum, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Units, ZoneEntryAlt,
                         ::testing::Values(ZoneEntryCase{0, 0, 0}, ZoneEntryCase{1, 15, 31},
                                           ZoneEntryCase{1, 16, 64 + 32},
                                           ZoneEntryCase{3, 31, 64 + 48 + 31},
                                           ZoneEntryCase{5, 2, 16 + 2}, ZoneEntryCase{0, 32, 999}));

TEST_F(ParseB, Older163UsesTheAlternativeLayout) {
  DriveSlot& slot = b_.slot();
  slot.controllerId = kCtrl163;
  slot.revision = 1;
  slot.ceCount = 1;
  slot.zoneCount = 18;
  CodeMarkPage page;
  page.zoneEntries = {{0, 10}, {64 + 16, 100}, {64 + 17, 1000}};
  store_.Put(64, MakeCodeMarkPage(page));
  ASSERT_TRUE(ParseCisPageB(b_.p, 0, 64));
  EXPECT_EQ(Val(slot.sectorCount), 64u * 1110);
  slot.revision = 2;  // from revision 2 on: the common layout
  ASSERT_TRUE(ParseCisPageB(b_.p, 0, 64));
  EXPECT_EQ(Val(slot.sectorCount), 64u * 10);
}

class ParseA : public CodeMarkSearch {
 protected:
  void SetUp() override {
    CodeMarkSearch::SetUp();
    DriveSlot& slot = b_.slot();
    slot.controllerId = kCtrl161;
    slot.cfgFlags = 0x18;
    slot.ceCount = 2;
    slot.zoneCount = 2;
    slot.sectorCount = 4242;
  }
};

TEST_F(ParseA, SecondGroupMustSumToZeroModulo256) {
  HeaderPage wraps;
  wraps.secondGroupSum = 0;  // 0x80 + 0x80 = 0x100
  store_.Put(0, MakeHeaderPage(wraps));
  EXPECT_TRUE(ParseCisPageA(b_.p, 0, 0));
  HeaderPage off;
  off.secondGroupSum = 1;
  store_.Put(64, MakeHeaderPage(off));
  EXPECT_FALSE(ParseCisPageA(b_.p, 0, 64));
}

TEST_F(ParseA, NeedsTheHeaderBytes) {
  std::vector<uint8_t> page = MakeHeaderPage({});
  page[1] = 0x04;
  store_.Put(0, page);
  EXPECT_FALSE(ParseCisPageA(b_.p, 0, 0));
}

TEST_F(ParseA, MarkedPageRecomputesTheCapacity) {
  HeaderPage header;
  header.counts = {{1000, 990, 500}, {980, 0xFFFF}};
  store_.Put(0, MakeHeaderPage(header));
  ASSERT_TRUE(ParseCisPageA(b_.p, 0, 0));
  EXPECT_EQ(Val(b_.slot().sectorCount), 64u * (1000 + 990 + 980));
}

TEST_F(ParseA, CapacityStaysWithoutTheMarkOrForOtherControllers) {
  HeaderPage unmarked;
  unmarked.marked = false;
  unmarked.counts = {{1000}};
  store_.Put(0, MakeHeaderPage(unmarked));
  ASSERT_TRUE(ParseCisPageA(b_.p, 0, 0));
  EXPECT_EQ(Val(b_.slot().sectorCount), 4242u);

  HeaderPage marked;
  marked.counts = {{1000}};
  store_.Put(64, MakeHeaderPage(marked));
  b_.slot().controllerId = kCtrl168;
  ASSERT_TRUE(ParseCisPageA(b_.p, 0, 64));
  EXPECT_EQ(Val(b_.slot().sectorCount), 4242u);

  std::vector<uint8_t> wrongCheck = MakeHeaderPage(marked);
  wrongCheck[129] ^= 1;
  store_.Put(128, wrongCheck);
  b_.slot().controllerId = kCtrl169;
  ASSERT_TRUE(ParseCisPageA(b_.p, 0, 128));
  EXPECT_EQ(Val(b_.slot().sectorCount), 4242u);
}

// The layouts behind bit 0x40 are not read; the configuration's capacity stands.
TEST_F(ParseA, Bit40KeepsTheConfiguredCapacity) {
  b_.slot().cfgFlags = 0x58;
  HeaderPage header;
  header.counts = {{1000, 990}, {980, 970}};
  store_.Put(0, MakeHeaderPage(header));
  ASSERT_TRUE(ParseCisPageA(b_.p, 0, 0));
  EXPECT_EQ(Val(b_.slot().sectorCount), 4242u);
}

// A drive with more than eight zones a unit: every zone counts, the
// entries past the eighth being those that follow in the page.
TEST_F(ParseA, EveryZoneOfAUnitIsSummed) {
  DriveSlot& slot = b_.slot();
  slot.ceCount = 1;
  slot.zoneCount = 10;
  HeaderPage header;
  header.counts = {{100, 100, 100, 100, 100, 100, 100, 100}, {7, 5, 1000}};
  store_.Put(0, MakeHeaderPage(header));
  ASSERT_TRUE(ParseCisPageA(b_.p, 0, 0));
  EXPECT_EQ(Val(slot.sectorCount), 64u * (800 + 7 + 5));
}

// Counts and units come from the drive: nothing past the bytes read.
TEST_F(ParseA, LargeCountsStayInsideThePage) {
  DriveSlot& slot = b_.slot();
  slot.zoneCount = 255;
  slot.ceCount = 255;
  slot.pageSize = 512;
  slot.sectorsPerPage = 4;  // one page read: 512 bytes
  store_.pageSize = 512;
  std::vector<uint8_t> page = MakeHeaderPage({});
  for (size_t i = 192; i < 512; i += 2) bytes::StoreBe16(page.data() + i, 1);
  store_.Put(0, std::vector<uint8_t>(page.begin(), page.begin() + 512));
  ASSERT_TRUE(ParseCisPageA(b_.p, 0, 0));
  // Unit u starts 16u bytes further in, so it has 160 - 8u entries inside
  // the 512 bytes: units 0 to 19 count.
  uint32_t entries = 0;
  for (uint32_t unit = 0; unit < 20; ++unit) entries += 160 - 8 * unit;
  EXPECT_EQ(Val(slot.sectorCount), 64u * entries);
}

}  // namespace
}  // namespace kestrune::testing
