#include "app/console/console_live.h"

#include <algorithm>
#include <utility>

#include "app/console/console_end.h"
#include "app/console/console_view.h"
#include "app/session/drive_job.h"
#include "discovery/discovery.h"

namespace kestrune::console {

struct JobRows::Row : ReportObserver {
  Row(JobRows& rows, const DriveJob& job)
      : rows(rows), job(job), id(rows.owner_.AddRow()), progress(rows.command_) {}

  void Step(const StepEvent& step) override {
    {
      const std::lock_guard<std::mutex> lock(rows.mutex_);
      progress.Apply(step);
      started = true;
    }
    rows.owner_.Wake();
  }

  JobRows& rows;
  const DriveJob& job;
  const TerminalOwner::RowId id;
  RowProgress progress;
  bool started = false;
  bool finished = false;
  LiveRow shown;
};

JobRows::JobRows(TerminalOwner& owner, session::JobCommand command)
    : owner_(owner), command_(command) {
  owner_.OnTick([this] { Refresh(); });
}

JobRows::~JobRows() { Stop(); }

ReportObserver& JobRows::Add(const DriveJob& job) {
  const std::lock_guard<std::mutex> lock(mutex_);
  rows_.push_back(std::make_unique<Row>(*this, job));
  return *rows_.back();
}

void JobRows::Stop() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
  }
  // The owner ticks a last time before it leaves the rows on screen, and
  // never after.
  owner_.Settle();
}

void JobRows::Refresh() {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& row : rows_) {
    if (!row->started || row->finished) continue;
    LiveRow& shown = row->shown;
    // The job's state is taken under its own locks, which its thread never
    // holds while it tells a step.
    const JobState state = row->job.State();
    shown.letter = state.letter != 0 ? state.letter : row->progress.letter();
    shown.port = state.port;
    shown.serial = state.serial;
    shown.stick = state.stick;
    for (const Report& report : state.reports) {
      if (!report.drive) continue;
      shown.model = RowText(report.drive->productId);
      if (shown.letter == 0) shown.letter = report.drive->letter;
      break;
    }
    shown.step = row->progress.step();
    shown.progress = row->progress.progress();
    shown.seconds = state.seconds;
    // As the run ends at once, a job still at work ends with it: its row
    // says what the run report makes of where it got.
    if (state.finished || owner_.Closing()) {
      shown.outcome = OutcomeShown(Summarize(state, state.letter != 0));
      row->finished = true;
      owner_.FinishRow(row->id, shown);
    } else {
      owner_.UpdateRow(row->id, shown);
    }
  }
}

bool LiveTableWanted(const ConsoleOptions& options, const ConsoleStreams& io) {
  if (options.json || options.quiet || options.verbose || !io.outputSize) return false;
  return io.outputSize().has_value();
}

}  // namespace kestrune::console
