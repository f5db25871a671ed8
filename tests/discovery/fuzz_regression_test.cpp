// Drive replies found by fuzzing that once made identification crawl: a
// configuration claiming a full zone of the largest blocks.
#include <gtest/gtest.h>

#include <vector>

#include "discovery/discovery.h"
#include "tests/discovery/harness.h"

namespace kestrune::testing {
namespace {

// 65,535 blocks of 65,535 pages: the last block starts just below 2^32, so
// a search whose page address wrapped would never end.
TEST(FuzzRegression, CodeMarkSearchOverAFullZoneOfTheLargestBlocksEnds) {
  Bench b;
  ScriptedDrive& drive = b.volumes.Attach('E');
  drive.On(MatchOpcode(0xF8), [](const device::Request&, std::span<uint8_t>) { return Good(); });
  b.Open('E');
  DriveSlot& slot = b.slot();
  slot.geometryValid = 1;
  slot.pageSize = 512;
  slot.sectorsPerPage = 1;
  slot.pagesPerBlock = 0xFFFF;
  slot.cisPagesPerBlock = 0xFFFF;
  slot.blocksPerZone = 0xFFFF;

  EXPECT_FALSE(LocateCodeMark(b.p, 0));
  EXPECT_EQ(Val(slot.cisCount), 0);
  const std::vector<ScriptedCommand> reads = drive.SeenWith(0xF8);
  ASSERT_EQ(reads.size(), 0xFFFFu);
  EXPECT_EQ(reads.front().pageAddress(), 0u);
  EXPECT_EQ(reads.back().pageAddress(), 0xFFFEu * 0xFFFFu);
  for (size_t k = 1; k < reads.size(); ++k) {
    ASSERT_EQ(reads[k].pageAddress() - reads[k - 1].pageAddress(), 0xFFFFu) << "read " << k;
  }
  for (int i = 0; i < kCisCopies; ++i) EXPECT_EQ(Val(slot.cis[i].present), 0);
}

}  // namespace
}  // namespace kestrune::testing
