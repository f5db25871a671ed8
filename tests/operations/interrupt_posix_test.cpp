// In a run on several drives, an interrupt held while one drive was writing
// must not let another drive begin a write afterwards. Each case runs in a
// child process, since interrupt handling lasts for the rest of a process;
// the child's exit code is the number of commands that changed the drive.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <thread>

#include "device/commands.h"
#include "operations/operations.h"
#include "platform/platform.h"
#include "tests/support/ops_harness.h"

namespace kestrune {
namespace {

using testing::OpsFlash;
using testing::OpsHarness;

constexpr unsigned kGuardSeconds = 30;

struct WindowRow {
  const char* name;
  ControllerId controller;
  std::function<void(OpsHarness&)> run;
};

class InterruptTakenElsewhere : public ::testing::TestWithParam<WindowRow> {};

TEST_P(InterruptTakenElsewhere, NoWriteWindowBeginsAfterIt) {
  const WindowRow& row = GetParam();
  EXPECT_EXIT(
      {
        ::alarm(kGuardSeconds);
        platform::CatchInterrupts("held", 99);
        {
          // Another drive's write, during which the interrupt came.
          const platform::InterruptHold other;
          ::kill(::getpid(), SIGINT);
          while (!platform::InterruptReceived()) std::this_thread::yield();
        }
        OpsHarness h;
        OpsFlash flash(h.drive, 2048, 64);
        h.SetUpSlot(row.controller, 2048, 64, 64);
        h.p.Slot(0).needsCodeInit = row.controller == kCtrl161 ? 0 : 1;
        h.AddCopy(0, 64, 128);
        row.run(h);
        const size_t changes =
            h.Seen(device::kOpEraseFlashBlock).size() + h.Seen(device::kOpWriteFlashPages).size();
        std::exit(static_cast<int>(changes));
      },
      ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(
    Windows, InterruptTakenElsewhere,
    ::testing::Values(WindowRow{"Update", kCtrl163,
                                [](OpsHarness& h) {
                                  h.WriteImage("IMAGE.BIN", 0x10000);
                                  UpdateIspCode(h.p, "C:\\IMAGE.BIN", false);
                                }},
                      WindowRow{"Update190", kCtrl190,
                                [](OpsHarness& h) {
                                  h.WriteImage("IMAGE.BIN", 0x20000);
                                  UpdateIspCode190(h.p, "C:\\IMAGE.BIN");
                                }},
                      WindowRow{"DestroyByErase", kCtrl161,
                                [](OpsHarness& h) { OnDestroyIsp(h.p, h.dialog); }}),
    [](const ::testing::TestParamInfo<WindowRow>& info) { return info.param.name; });

}  // namespace
}  // namespace kestrune
