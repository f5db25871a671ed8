// The CIS pages the drive lays into flash, checked the way the program will
// check them, with the sums computed here.
#include <gtest/gtest.h>

#include "simulator/flash_content.h"
#include "simulator/virtual_drive.h"
#include "tests/simulator/sim_commands.h"

namespace kestrune::sim {
namespace {

using namespace cmd;

uint16_t GroupSum(const std::vector<uint8_t>& p, int group) {
  uint16_t sum = 0;
  for (int w = 0; w < 64; ++w) {
    sum = static_cast<uint16_t>(sum + ((p[group * 128 + 2 * w] << 8) | p[group * 128 + 2 * w + 1]));
  }
  return sum;
}

DriveDescription FamilyB(uint32_t pageSize, uint32_t ppb, uint16_t cisPpb) {
  DriveDescription d = DefaultDescription();
  d.pageSize = pageSize;
  d.pagesPerBlock = ppb;
  d.cisPagesPerBlock = cisPpb;
  d.blocksPerZone = 512;
  d.zoneCount = 3;
  d.ceCount = 2;
  d.usableBlocksPerZone = 500;
  d.cisVendor = "VENDOR";
  d.cisProduct = "PRODUCT-TEXT";
  d.cisFlashType = 0x25;
  d.codeMarks.clear();
  return d;
}

struct Geometry {
  uint32_t pageSize;
  uint32_t ppb;
  uint16_t cisPpb;
};
class CodeMarkPage : public ::testing::TestWithParam<Geometry> {};

TEST_P(CodeMarkPage, PassesTheChecksAndCarriesItsFields) {
  const Geometry g = GetParam();
  DriveDescription d = FamilyB(g.pageSize, g.ppb, g.cisPpb);
  CodeMarkCopy copy;
  copy.block = 3;
  d.codeMarks = {copy};
  std::string error;
  auto drive = VirtualDrive::FromDescription(d, &error);
  ASSERT_TRUE(drive) << error;
  ASSERT_TRUE(StartWorkingCode(*drive));
  // The program reads two pages of small-page flash so that 1,024 bytes
  // are present.
  const uint32_t pages = g.pageSize == 512 ? 2 : 1;
  const Reply r = ReadPages(*drive, 3 * g.ppb, pages, pages * g.pageSize);
  ASSERT_TRUE(r.ok());
  const auto& p = r.data;
  EXPECT_EQ(std::string(p.begin(), p.begin() + 8), "CodeMark");
  for (int group = 0; group < 4; ++group) EXPECT_EQ(GroupSum(p, group), 0) << group;
  EXPECT_EQ(p[83], 0x25);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&p[136])), "VENDOR");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&p[144])), "PRODUCT-TEXT");
  const uint32_t isp = bytes::LoadBe16(&p[176]);
  EXPECT_EQ(isp, 4u * g.cisPpb);
  EXPECT_EQ(bytes::LoadBe16(&p[462]), 5u * g.cisPpb);
  // Zone tables: unit u, zone z at 512 + 128 * (u / 4) + 32 * (u % 4) + 2z.
  for (uint32_t u = 0; u < 16; ++u) {
    for (uint32_t z = 0; z < 16; ++z) {
      const uint16_t entry = bytes::LoadBe16(&p[512 + 128 * (u / 4) + 32 * (u % 4) + 2 * z]);
      EXPECT_EQ(entry, u < 2 && z < 3 ? 500 : 0xFFFF) << u << "," << z;
    }
  }
  // The ISP area is where the offset says, after the page conversion.
  const uint32_t device = isp / g.cisPpb * g.ppb + isp % g.cisPpb;
  EXPECT_EQ(drive->IspAreaPages(), std::vector<uint32_t>{device});
}

INSTANTIATE_TEST_SUITE_P(Geometries, CodeMarkPage,
                         ::testing::Values(Geometry{512, 128, 128}, Geometry{2048, 64, 16},
                                           Geometry{4096, 128, 64}, Geometry{8192, 64, 64}));

TEST(CodeMarkOptions, LowerCaseMarkerBadChecksumAndFarCopies) {
  DriveDescription d = FamilyB(2048, 64, 256);
  d.blocksPerZone = 1024;
  CodeMarkCopy lower;
  lower.block = 1;
  lower.marker = "codemark";
  CodeMarkCopy bad;
  bad.block = 4;
  bad.badChecksum = true;
  CodeMarkCopy far;
  far.block = 129;  // CIS page offset 129 * 256 = 0x8100
  far.ispOffset = 130 * 256;
  d.codeMarks = {lower, bad, far};
  std::string error;
  auto drive = VirtualDrive::FromDescription(d, &error);
  ASSERT_TRUE(drive) << error;
  ASSERT_TRUE(StartWorkingCode(*drive));
  const auto l = ReadPages(*drive, 64, 1, 2048).data;
  EXPECT_EQ(std::string(l.begin(), l.begin() + 8), "codemark");
  for (int group = 0; group < 4; ++group) EXPECT_EQ(GroupSum(l, group), 0);
  const auto b = ReadPages(*drive, 4 * 64, 1, 2048).data;
  EXPECT_EQ(GroupSum(b, 0), 1);
  const auto f = ReadPages(*drive, 129 * 64, 1, 2048).data;
  EXPECT_EQ(std::string(f.begin(), f.begin() + 8), "CodeMark");
  EXPECT_GT(uint32_t{129} * 256, 0x8000u);
  // The controller itself boots from the one well-formed copy only.
  EXPECT_EQ(drive->IspAreaPages(), std::vector<uint32_t>{130 * 64});
}

TEST(InformationPage, SitsOneCisPageBehindOrFourOnSmallPages) {
  for (const Geometry g : {Geometry{2048, 64, 16}, Geometry{512, 128, 128}}) {
    DriveDescription d = FamilyB(g.pageSize, g.ppb, g.cisPpb);
    d.controllerId = 0x190;
    d.codeImage = "CUS6.BIN";
    d.extraInfo = {0x19, 0x90, 0xAB};
    CodeMarkCopy copy;
    copy.block = 2;
    d.codeMarks = {copy};
    std::string error;
    auto drive = VirtualDrive::FromDescription(d, &error);
    ASSERT_TRUE(drive) << error;
    ASSERT_TRUE(StartWorkingCode(*drive, "CUS6.BIN"));
    const uint32_t cis = 2 * g.cisPpb + (g.pageSize / 512 == 1 ? 4 : 1);
    const uint32_t page = cis / g.cisPpb * g.ppb + cis % g.cisPpb;
    const auto info = ReadPages(*drive, page, 1, g.pageSize).data;
    EXPECT_EQ(info[0], 0x19) << g.pageSize;
    EXPECT_EQ(info[1], 0x90);
    EXPECT_EQ(info[2], 0xAB);
    EXPECT_EQ(info[3], 0x00);
  }
}

struct HeaderCase {
  HeaderPage header;
  bool accepted;
};
class FamilyAHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(FamilyAHeader, SumsAsTheProgramChecksThem) {
  DriveDescription d;
  d.controllerId = 0x169;
  d.pageSize = 512;
  d.pagesPerBlock = 128;
  d.blocksPerZone = 256;
  d.zoneCount = 2;
  d.ceCount = 2;
  d.usableBlocksPerZone = 250;
  d.headerPages = {GetParam().header};
  std::string error;
  auto drive = VirtualDrive::FromDescription(d, &error);
  ASSERT_TRUE(drive) << error;
  const auto r = ReadPages(*drive, 0, 2, 1024);
  ASSERT_TRUE(r.ok());
  const auto& p = r.data;
  uint8_t first = 0;
  uint8_t second = 0;
  for (int i = 0; i < 64; ++i) first = static_cast<uint8_t>(first + p[i]);
  for (int i = 64; i < 128; ++i) second = static_cast<uint8_t>(second + p[i]);
  EXPECT_EQ(second == 0 && p[0] == 0x1E && p[1] == 0x03, GetParam().accepted);
  const HeaderPage& h = GetParam().header;
  EXPECT_EQ(second, h.secondGroupSum);
  EXPECT_EQ(std::string(p.begin() + 57, p.begin() + 61) == "mark", h.mark);
  EXPECT_EQ(p[62] == 0xFE, h.countsValid);
  EXPECT_EQ(bytes::LoadBe16(&p[128]) == first + second, !h.badCheckValue);
  for (uint32_t c = 0; c < 4; ++c) {
    for (uint32_t z = 0; z < 8; ++z) {
      EXPECT_EQ(bytes::LoadBe16(&p[192 + 16 * c + 2 * z]), c < 2 && z < 2 ? 250 : 0xFFFF);
    }
  }
  EXPECT_EQ(drive->IspAreaPages().size(), GetParam().accepted ? 1u : 0u);
}

HeaderPage With(bool mark, bool counts, uint8_t sum, bool badCheck) {
  HeaderPage h;
  h.mark = mark;
  h.countsValid = counts;
  h.secondGroupSum = sum;
  h.badCheckValue = badCheck;
  return h;
}

INSTANTIATE_TEST_SUITE_P(Headers, FamilyAHeader,
                         ::testing::Values(HeaderCase{With(true, true, 0, false), true},
                                           HeaderCase{With(false, true, 0, false), true},
                                           HeaderCase{With(true, false, 0, false), true},
                                           HeaderCase{With(true, true, 0, true), true},
                                           HeaderCase{With(true, true, 1, false), false}));

}  // namespace
}  // namespace kestrune::sim
