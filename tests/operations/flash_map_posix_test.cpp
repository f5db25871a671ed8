// The copies' states the flash picture shows must agree with the flash: a
// broken drive's copies differ from the image, and right after Start Fix
// every copy matches it, whatever scheme laid the copy out.
#include <gtest/gtest.h>

#include <string>

#include "discovery/discovery.h"
#include "images/images.h"
#include "operations/flash_map.h"
#include "operations/operations.h"
#include "tests/support/ops_harness.h"
#include "tests/support/ready_made_drives.h"
#include "tests/support/sim_program.h"

namespace kestrune {
namespace {

using testing::kBrokenDrives;

// The image a fix of the selected drive would write.
std::string UpdateImageOf(Program& p) {
  const DriveSlot& slot = p.Selected();
  return slot.controllerId == kCtrl190
             ? ChooseUpdateImage190(p.platform, TraitsOf(slot))
             : ChooseUpdateImage(p.platform, TraitsOf(slot), slot.controllerId);
}

// The states of the marked areas, in the map's order.
std::vector<CopyState> MarkedStates(Program& p) {
  const FlashMap map = BuildFlashMap(p.Selected(), CompareIspCopies(p, 0, UpdateImageOf(p)));
  std::vector<CopyState> states;
  for (const MapMark& mark : map.marks) {
    EXPECT_TRUE(mark.inFlash) << MarkKindName(mark.kind) << " " << mark.copy;
    if (mark.kind != MarkKind::kCis) states.push_back(mark.state);
  }
  return states;
}

uint8_t Scan(Program& p) {
  for (int i = 0; i < kSlotCount; ++i) ResetSlot(p, i);
  const uint8_t found = CheckDriveExist(p);
  p.isAdmin = true;
  p.selectedDrive = 0;
  return found;
}

class BrokenDriveMap : public ::testing::TestWithParam<const char*> {};

TEST_P(BrokenDriveMap, CopiesDifferBeforeAFixAndMatchAfterIt) {
  testing::SimProgram sim;
  sim.PlugReady('E', GetParam());
  Program& p = sim.program;
  ExtractImages(p.platform, p.images.get());
  ASSERT_EQ(Scan(p), 1);
  const size_t areas =
      p.Selected().controllerId == kCtrl190 ? 2 * p.Selected().cisCount : p.Selected().cisCount;

  const std::vector<CopyState> before = MarkedStates(p);
  EXPECT_EQ(before, std::vector<CopyState>(areas, CopyState::kDiffers));

  testing::OpsDialog dialog;
  OnStartFix(p, dialog);
  if (p.Selected().controllerId != kCtrl190) RestartDrive(p, 0);
  ASSERT_TRUE(sim.drive('E').IspHealthy());
  // As a later run meets the drive: scanned afresh.
  ASSERT_EQ(Scan(p), 1);
  EXPECT_EQ(MarkedStates(p), std::vector<CopyState>(areas, CopyState::kMatches));
}

INSTANTIATE_TEST_SUITE_P(Drives, BrokenDriveMap, ::testing::ValuesIn(kBrokenDrives),
                         [](const auto& info) {
                           std::string name = info.param;
                           return name.substr(0, name.find('.'));
                         });

}  // namespace
}  // namespace kestrune
