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
#include "app/console/console_view.h"
#include "app/console/live_table.h"
#include "app/console/row_progress.h"
#include "app/console/terminal_owner.h"
#include "app/session/run_front.h"
#include "base/report.h"
#include "discovery/discovery.h"

namespace kestrune::console {

// The terminal's owner is the session's; the console draws through it.

using session::DriveJob;

// The rows of a run's jobs in the run's terminal owner: each job's row is
// shown from its first step on, moved on by the steps its reports tell,
// and finished with the outcome the job came to.
class JobRows : public session::DriveRows {
 public:
  JobRows(TerminalOwner& owner, session::JobCommand command);
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
  const session::JobCommand command_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Row>> rows_;
  bool stopped_ = false;
};

// Whether the run shows the live table: its output is a terminal and no
// other output was asked for.
bool LiveTableWanted(const ConsoleOptions& options, const ConsoleStreams& io);

// A drive's text field as a row or the summary shows it: printable, without
// its padding.
template <size_t N>
std::string RowText(const char (&field)[N]) {
  std::string text = PrintableText(FieldText(field));
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace kestrune::console
