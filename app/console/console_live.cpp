#include "app/console/console_live.h"

#include <algorithm>
#include <span>
#include <utility>

#include "app/console/console_end.h"
#include "app/console/console_job.h"
#include "app/console/console_view.h"
#include "discovery/discovery.h"

namespace kestrune::console {

namespace {

// The steps each command takes, in their order.
std::span<const StepKind> StepsOf(Command command) {
  static constexpr StepKind kScan[] = {StepKind::kScan};
  static constexpr StepKind kBackup[] = {StepKind::kScan, StepKind::kBackup};
  static constexpr StepKind kFix[] = {StepKind::kScan,  StepKind::kBackup, StepKind::kErase,
                                      StepKind::kWrite, StepKind::kVerify, StepKind::kRestart};
  static constexpr StepKind kDestroy[] = {StepKind::kScan, StepKind::kErase, StepKind::kRestart};
  static constexpr StepKind kRestore[] = {StepKind::kScan, StepKind::kErase, StepKind::kWrite,
                                          StepKind::kVerify, StepKind::kRestart};
  switch (command) {
    case Command::kBackup:
      return kBackup;
    case Command::kFix:
      return kFix;
    case Command::kDestroy:
      return kDestroy;
    case Command::kRestore:
      return kRestore;
    default:
      return kScan;
  }
}

const char* StepName(StepKind kind) {
  switch (kind) {
    case StepKind::kScan:
      return "scan";
    case StepKind::kBackup:
      return "backup";
    case StepKind::kErase:
      return "erase";
    case StepKind::kWrite:
      return "write";
    case StepKind::kVerify:
      return "verify";
    case StepKind::kRestart:
      return "restart";
  }
  return "";
}

// A drive's text field as a row shows it: printable, without its padding.
template <size_t N>
std::string RowText(const char (&field)[N]) {
  std::string text = PrintableText(FieldText(field));
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

void RowProgress::Apply(const StepEvent& step) {
  if (step.letter != 0) letter_ = step.letter;
  shown_ = step.kind;
  const std::span<const StepKind> steps = StepsOf(command_);
  const auto at = std::find(steps.begin(), steps.end(), step.kind);
  if (at == steps.end()) return;
  const int phase = static_cast<int>(at - steps.begin());
  if (phase < phase_) return;
  double within = 0;
  if (step.total > 0) {
    within = std::clamp(static_cast<double>(step.done) / step.total, 0.0, 1.0);
  } else if (step.state != StepState::kStarted) {
    within = 1;
  }
  const double share = (phase + within) / static_cast<double>(steps.size());
  phase_ = phase;
  share_ = std::max(share_, share);
}

const char* RowProgress::step() const { return shown_ ? StepName(*shown_) : ""; }

double RowProgress::progress() const { return share_; }

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

JobRows::JobRows(TerminalOwner& owner, Command command) : owner_(owner), command_(command) {
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
    if (state.finished) {
      shown.outcome = OutcomeText(Summarize(state, state.letter != 0).outcome);
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
