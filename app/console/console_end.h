// How a console run ends: what each drive came to, made from the reports
// of its operations; the one exit code that follows from that; and the last
// word the run prints (the --json document, the --quiet line or the --all
// summary), once, on every road out, an interrupt that ends the run at once
// included.
#pragma once

#include <string>
#include <vector>

#include "app/console/console_json.h"
#include "app/console/console_options.h"
#include "app/console/console_run.h"
#include "app/console/terminal_owner.h"
#include "app/session/drive_job.h"
#include "app/session/run_end.h"
#include "app/session/run_report.h"
#include "base/report.h"
#include "operations/flash_map.h"
#include "platform/platform.h"

namespace kestrune::console {

// The terminal's owner is the session's; the console draws through it.

using session::DriveJob;
using session::DriveSummary;
using session::ExitCode;
using session::JobState;

// The session's summary of a console job: a drive another run holds is
// named as the console names it.
DriveSummary Summarize(const JobState& job, bool named);

// A drive's outcome as its row and the summary show it: with the number of
// warnings it came with ("success (1 warning)"), so a fix whose After
// backups could not be made says so where it says success.
std::string OutcomeShown(const DriveSummary& drive);
// The outcome a run's last line gives: the drive's as its row shows it
// (warnings and an interrupted repair that stands included), or, without
// a drive whose command ran, the exit code's.
std::string LastOutcome(const DriveSummary* drive, int code);

class RunEnd : public session::RunEnd {
 public:
  RunEnd(const ConsoleOptions& options, const ConsoleStreams& io);

  // A field of the document beyond the drives' own (where a replay left
  // its recording).
  void AddToDocument(const std::string& key, Json value);
  // For an interrupt that ends the run now: the notice, unless an
  // interrupt said its own already, the rows finished, and the last word as
  // far as the run got, unless it was printed already; returns the exit
  // code.
  int LastWords();
  // A line an interrupt says, above the rows. Called, as LastWords is,
  // under the interrupts' own lock.
  void SayInterrupt(const std::string& line);

  // The run's one writer to the terminal: every line and table of the run
  // goes through it.
  TerminalOwner& terminal() { return terminal_; }

 private:
  // "kestrune: ..." on stderr.
  void Say(const std::string& problem) override;
  // The --json document, the --quiet line or the --all summary.
  void Print(const std::vector<JobState>& jobs, int code) override;
  // With watch --json: the document of one drive's job, on a line of its
  // own.
  void PrintDrive(const JobState& job, const DriveSummary& drive) override;
  void PrintDocument(const std::vector<JobState>& jobs, const std::vector<DriveSummary>& drives,
                     int code, bool ownBoxes = true);
  // A fix on a terminal shows its drive's live row, which ends with the
  // drive's outcome.
  bool RowShown() const;

  const ConsoleOptions& options_;
  const ConsoleStreams& io_;
  TerminalOwner terminal_;
  Json extras_ = Json::object();
  bool interruptSaid_ = false;
};

}  // namespace kestrune::console
