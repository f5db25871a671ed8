#include "app/session/run_report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrune::session {
namespace {

// One drive's job as a row gives it: the outcome its last operation
// settled, whether the job is over, and whether an interrupt came while it
// was at work.
struct Drive {
  Outcome last = Outcome::kSuccess;
  bool finished = true;
  bool interrupted = false;
  bool noSuchEntry = false;
  // Its fix wrote both copies and read each back equal.
  bool verified = false;
  // Another run held it: the scan left it out, and nothing followed.
  bool held = false;
};

struct ExitCase {
  const char* name;
  std::vector<Drive> drives;
  int code;
  // The outcome the first drive's row and document say.
  Outcome first;
  // The first drive's repair stands though the run was cut short.
  bool repaired = false;
  // The drives are letters the run was asked to act on (--all).
  bool named = true;
};

std::string HeldText(const HeldDrive& drive) { return std::string(1, drive.letter) + ": held"; }

DriveWork WorkOf(const Drive& d, char letter) {
  DriveWork work;
  work.letter = letter;
  work.finished = d.finished;
  work.interrupted = d.interrupted;
  work.noSuchEntry = d.noSuchEntry;
  Report scan;
  scan.operation = "scan";
  scan.outcome = Outcome::kSuccess;
  if (d.held) {
    scan.outcome = Outcome::kNotFound;
    scan.held.push_back({letter, "another run"});
    work.reports.push_back(scan);
    return work;
  }
  work.reports.push_back(scan);
  Report last;
  last.operation = "fix";
  last.outcome = d.last;
  if (IsFailure(d.last)) last.failure = "it failed";
  last.copiesWritten = 2;
  last.copiesVerified = d.verified ? 2 : 1;
  work.reports.push_back(last);
  return work;
}

class RunExitCode : public testing::TestWithParam<ExitCase> {};

// The exit code is read from the drives' summaries alone, and an interrupt
// is one of a drive's facts: a run of one, of N and a watch give the same
// code for the same drives.
TEST_P(RunExitCode, FollowsFromTheDrivesAndTheInterrupt) {
  const ExitCase& c = GetParam();
  std::vector<DriveSummary> drives;
  char letter = 'E';
  for (const Drive& d : c.drives) {
    drives.push_back(Summarize(WorkOf(d, letter++), c.named, HeldText));
  }
  EXPECT_EQ(ExitCode(drives), c.code);
  if (!drives.empty()) {
    EXPECT_EQ(OutcomeText(drives.front().outcome), std::string(OutcomeText(c.first)));
    EXPECT_EQ(drives.front().changeStands != nullptr, c.repaired);
    // A stick's own document is one drive's run: its code follows from
    // that drive alone, and agrees with what its row says.
    EXPECT_EQ(ExitCode({drives.front()}) == kExitInterrupted,
              c.first == Outcome::kInterrupted || c.drives.front().interrupted);
  }
}

constexpr Drive kDone{};
constexpr Drive kHeld{Outcome::kSuccess, true, false, false, false, true};
constexpr Drive kInterruptedInTheWait{Outcome::kSuccess, true, true};

INSTANTIATE_TEST_SUITE_P(
    Rows, RunExitCode,
    testing::Values(
        ExitCase{"OneDriveFixed", {kDone}, kExitDone, Outcome::kSuccess},
        ExitCase{"EveryDriveFixed", {kDone, kDone}, kExitDone, Outcome::kSuccess},
        ExitCase{"NoDrive", {}, kExitNoDevice, Outcome::kNone},
        ExitCase{"NotFound", {{Outcome::kNotFound}}, kExitNoDevice, Outcome::kNotFound},
        // Held by another run: its own code for a run of that drive alone,
        // a failure among the letters of --all.
        ExitCase{"Held", {kHeld}, kExitHeld, Outcome::kNotFound, false, false},
        ExitCase{"OneOfTwoHeld", {kDone, kHeld}, kExitFailure, Outcome::kSuccess},
        ExitCase{"NotAdministrator",
                 {{Outcome::kNotAdministrator}},
                 kExitNotAdministrator,
                 Outcome::kNotAdministrator},
        ExitCase{"OneFailed", {kDone, {Outcome::kFailed}}, kExitFailure, Outcome::kSuccess},
        ExitCase{"OneOfTwoMissing", {kDone, {Outcome::kNotFound}}, kExitFailure, Outcome::kSuccess},
        ExitCase{"Cancelled", {{Outcome::kCancelled}}, kExitCancelled, Outcome::kCancelled},
        ExitCase{
            "NoSuchEntry", {{Outcome::kSuccess, true, false, true}}, kExitUsage, Outcome::kSuccess},
        // A verified write, then an interrupt in the second before the
        // After backups: the operation says success, the drive interrupted.
        ExitCase{"InterruptAfterAVerifiedWrite",
                 {kInterruptedInTheWait},
                 kExitInterrupted,
                 Outcome::kInterrupted},
        ExitCase{"InterruptAfterAVerifiedWriteOfOneOfTwo",
                 {kInterruptedInTheWait, kDone},
                 kExitInterrupted,
                 Outcome::kInterrupted},
        ExitCase{"InterruptSettledByTheFix",
                 {{Outcome::kInterrupted}},
                 kExitInterrupted,
                 Outcome::kInterrupted},
        ExitCase{"InterruptBeforeTheJobEnded",
                 {{Outcome::kNone, false}},
                 kExitInterrupted,
                 Outcome::kInterrupted},
        // A failure weighs more than the interrupt in the row; the run was
        // cut short all the same.
        ExitCase{"InterruptOfAFailingDrive",
                 {{Outcome::kFailed, true, true}},
                 kExitInterrupted,
                 Outcome::kFailed},
        ExitCase{"InterruptOutranksNoSuchEntry",
                 {{Outcome::kSuccess, true, true, true}},
                 kExitInterrupted,
                 Outcome::kInterrupted},
        ExitCase{"FinishedWithoutOutcome", {{Outcome::kNone}}, kExitFailure, Outcome::kFailed},
        // An interrupt that ends the run at once while the fix makes its
        // After backups: the fix had said success, the drive is cut short,
        // and its repair stands.
        ExitCase{"CutShortInTheAfterBackups",
                 {{Outcome::kSuccess, false, false, false, true}},
                 kExitInterrupted,
                 Outcome::kInterrupted,
                 true},
        ExitCase{"HeldOverAVerifiedWrite",
                 {{Outcome::kInterrupted, true, true, false, true}},
                 kExitInterrupted,
                 Outcome::kInterrupted,
                 true},
        // A copy that did not read back equal is no repair.
        ExitCase{"CutShortAfterAWriteThatDidNotVerify",
                 {{Outcome::kSuccess, false, false, false, false}},
                 kExitInterrupted,
                 Outcome::kInterrupted},
        ExitCase{"FailedAfterAVerifiedWrite",
                 {{Outcome::kFailed, true, true, false, true}},
                 kExitInterrupted,
                 Outcome::kFailed}),
    [](const testing::TestParamInfo<ExitCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrune::session
