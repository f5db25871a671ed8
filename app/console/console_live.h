// The live table of a run on a terminal: each drive's job gets a row in the
// run's terminal owner, moved on by the steps its reports tell.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/console/console_options.h"
#include "app/console/console_run.h"
#include "app/console/live_table.h"
#include "app/console/terminal_owner.h"
#include "app/session/run_front.h"
#include "base/report.h"

namespace kestrune::console {

using session::DriveJob;

// What a row shows of the steps an operation told: the step under way, and
// the share of the operation's steps taken. The operation's steps are taken
// in a known order; a step of a kind that comes earlier (the backups after
// a write) changes the step shown, never the share.
class RowProgress {
 public:
  explicit RowProgress(Command command) : command_(command) {}
  void Apply(const StepEvent& step);
  const char* step() const;
  double progress() const;
  char letter() const { return letter_; }

 private:
  Command command_;
  std::optional<StepKind> shown_;
  int phase_ = -1;  // the furthest step kind reached, as an index of the operation's order
  double share_ = 0;
  char letter_ = 0;
};

// The rows of a run's jobs in the run's terminal owner: each job's row is
// shown from its first step on, moved on by the steps its reports tell,
// and finished with the outcome the job came to.
class JobRows : public session::DriveRows {
 public:
  JobRows(TerminalOwner& owner, Command command);
  ~JobRows() override;
  JobRows(const JobRows&) = delete;
  JobRows& operator=(const JobRows&) = delete;

  // A row for `job`; the observer returned lives as long as these rows and
  // takes the job's steps.
  ReportObserver& Add(const DriveJob& job) override;
  // The rows tell their jobs' last state and stay on screen.
  void Stop() override;

 private:
  struct Row;
  // Takes each job's state into its row; called by the owner, outside its
  // lock.
  void Refresh();

  TerminalOwner& owner_;
  const Command command_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Row>> rows_;
  bool stopped_ = false;
};

// Whether the run shows the live table: its output is a terminal and no
// other output was asked for.
bool LiveTableWanted(const ConsoleOptions& options, const ConsoleStreams& io);

}  // namespace kestrune::console
