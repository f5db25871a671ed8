// The program over simulated drives through the SimProgram fixture: a
// broken drive is found, repaired, and found healthy by the next run on the
// same stick, because its flash persisted in between.
#include <gtest/gtest.h>

#include "discovery/discovery.h"
#include "images/images.h"
#include "operations/operations.h"
#include "tests/support/sim_program.h"

namespace kestrune::testing {
namespace {

// A window whose inputs and list nothing looks at.
using QuietDialog = CommandWindow;

uint8_t Scan(SimProgram& sim) {
  sim.log.StartLog();
  ExtractImages(sim.program.platform, sim.program.images.get());
  for (int i = 0; i < kSlotCount; ++i) ResetSlot(sim.program, i);
  return CheckDriveExist(sim.program);
}

class RepairAcrossRuns : public ::testing::TestWithParam<const char*> {};

TEST_P(RepairAcrossRuns, TheNextRunFindsTheIspHealthy) {
  SimProgram sim;
  sim.PlugReady('E', GetParam());
  ASSERT_EQ(Scan(sim), 1);
  EXPECT_TRUE(sim.view.Saw("ISP was borken!"));
  sim.program.isAdmin = true;
  sim.program.selectedDrive = 0;
  QuietDialog dialog;
  OnStartFix(sim.program, dialog);
  EXPECT_TRUE(sim.view.Saw("Update ISP code Success, please replug device to ensure it normal."))
      << ::testing::PrintToString(sim.view.BoxTexts());
  EXPECT_EQ(sim.link.OpenVolumeCount(), 0u);
  EXPECT_TRUE(sim.drive('E').FlashIspHealthy());

  // Unplug, plug in again, start again: the drive loads from its flash file.
  sim::VirtualDrive& again = sim.Replug('E');
  EXPECT_TRUE(again.IspHealthy());
  sim.view.boxes.clear();
  ASSERT_EQ(Scan(sim), 1);
  EXPECT_TRUE(sim.view.Saw("ISP is OK!")) << ::testing::PrintToString(sim.view.BoxTexts());
  EXPECT_FALSE(sim.view.Saw("ISP was borken!"));
}

INSTANTIATE_TEST_SUITE_P(Drives, RepairAcrossRuns,
                         ::testing::Values("ctrl161_broken.json", "ctrl163_broken.json",
                                           "ctrl165_small_pages_broken.json",
                                           "ctrl163_large_pages_broken.json"),
                         [](const auto& info) {
                           std::string name = info.param;
                           return name.substr(0, name.find('.'));
                         });

TEST(SimProgram, MapsProgramPathsOntoItsFolderWithoutRegardToCase) {
  SimProgram sim;
  sim.PlugDefault('E');
  ASSERT_EQ(Scan(sim), 1);
  EXPECT_EQ(sim.program.Slot(0).controllerId, kCtrl163);
  EXPECT_TRUE(sim.HostFileExists("c:\\ISP.log"));
  EXPECT_TRUE(sim.HostFileExists("C:\\isp.LOG"));
  EXPECT_FALSE(sim.HostFileExists("C:\\ISP0_Before.bin"));
  EXPECT_NE(sim.LogText().find("ISP is borken !!!"), std::string::npos) << sim.LogText();
}

}  // namespace
}  // namespace kestrune::testing
