// Interrupts of a console program, each case in a child process of its own
// (the handling lasts for the rest of a process): held while a hold lives,
// else the end of the run with the chosen code and without the temporary
// file being written.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace kestrune::platform {
namespace {

namespace fs = std::filesystem;

constexpr int kExitCode = 42;
constexpr int kCarriedOn = 7;
// A child that neither ends nor goes on is ended by SIGALRM, which is not
// one of the signals caught, so a fault shows as a failure, not a hang.
constexpr unsigned kGuardSeconds = 30;

// Waits for the platform's thread to end the process; the signals are
// blocked in this one.
[[noreturn]] void Wait() {
  for (;;) ::pause();
}

class Interrupts : public ::testing::TestWithParam<int> {};

TEST_P(Interrupts, AreHeldWhileAHoldLivesAndSaidOnce) {
  EXPECT_EXIT(
      {
        ::alarm(kGuardSeconds);
        CatchInterrupts("held-notice", kExitCode);
        {
          const InterruptHold hold;
          ::kill(::getpid(), GetParam());
          // The second comes after the first was taken, so both are seen.
          while (!InterruptReceived()) std::this_thread::yield();
          ::kill(::getpid(), GetParam());
        }
        std::exit(InterruptReceived() ? kCarriedOn : 0);
      },
      ::testing::ExitedWithCode(kCarriedOn), "^held-notice\n$");
}

TEST_P(Interrupts, OutsideAHoldEndTheRunAndTakeTheTemporaryFile) {
  const fs::path partial = fs::absolute("interrupt-partial.tmp");
  const fs::path kept = fs::absolute("interrupt-kept.bin");
  fs::remove(partial);
  std::ofstream(kept) << "complete";
  EXPECT_EXIT(
      {
        ::alarm(kGuardSeconds);
        CatchInterrupts("held-notice", kExitCode);
        // A hold that saw nothing leaves interrupts as they were.
        { const InterruptHold hold; }
        std::ofstream(partial) << "half";
        const RemoveOnInterrupt removal(partial.string());
        ::kill(::getpid(), GetParam());
        Wait();
      },
      ::testing::ExitedWithCode(kExitCode), "^$");
  EXPECT_FALSE(fs::exists(partial));
  EXPECT_TRUE(fs::exists(kept));
  fs::remove(kept);
}

// Sent just before a write begins, an interrupt ends the run, however late
// the platform's thread gets to it: it must not pass for one the hold kept.
TEST_P(Interrupts, ComingJustBeforeAHoldEndTheRun) {
  EXPECT_EXIT(
      {
        ::alarm(kGuardSeconds);
        CatchInterrupts("held-notice", kExitCode);
        ::kill(::getpid(), GetParam());
        const InterruptHold hold;
        std::exit(kCarriedOn);
      },
      ::testing::ExitedWithCode(kExitCode), "^$");
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupts, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const auto& info) {
                           return std::string(info.param == SIGINT    ? "SIGINT"
                                              : info.param == SIGTERM ? "SIGTERM"
                                                                      : "SIGHUP");
                         });

}  // namespace
}  // namespace kestrune::platform
