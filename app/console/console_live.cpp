#include "app/console/console_live.h"

#include <algorithm>
#include <chrono>
#include <ostream>
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

struct LiveBoard::Row : ReportObserver {
  Row(LiveBoard& board, const DriveJob& job) : board(board), job(job), progress(board.command_) {}

  void Step(const StepEvent& step) override {
    const std::lock_guard<std::mutex> lock(board.mutex_);
    progress.Apply(step);
    started = true;
    // The drive goes on: any question was answered.
    board.prompting_ = false;
    board.changed_ = true;
    board.wake_.notify_one();
  }

  LiveBoard& board;
  const DriveJob& job;
  RowProgress progress;
  bool started = false;
  LiveRow shown;
};

LiveBoard::LiveBoard(std::ostream& out, Command command, TerminalSizeSource size)
    : out_(out), command_(command), size_(std::move(size)), table_(out) {
  thread_ = std::thread([this] { Loop(); });
}

LiveBoard::~LiveBoard() { Stop(); }

ReportObserver& LiveBoard::Add(const DriveJob& job) {
  const std::lock_guard<std::mutex> lock(mutex_);
  rows_.push_back(std::make_unique<Row>(*this, job));
  return *rows_.back();
}

void LiveBoard::Line(std::ostream& to, const std::string& line) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (prompting_) {
    // The answer's line end came from the terminal; the table comes back
    // below this line.
    prompting_ = false;
    to << line << std::endl;
    DrawLocked();
    return;
  }
  if (&to == &out_) {
    table_.Line(line);
    return;
  }
  // The other stream shows on the same terminal: the table steps aside
  // while the line is written, then comes back below it.
  table_.Erase();
  out_ << std::flush;
  to << line << std::endl;
  table_.Redraw();
}

void LiveBoard::Partial(std::ostream& to, const std::string& text) {
  const std::lock_guard<std::mutex> lock(mutex_);
  table_.Erase();
  out_ << std::flush;
  to << text << std::flush;
  table_.Finish();
  prompting_ = true;
}

void LiveBoard::Stop() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable()) return;
    stopping_ = true;
    wake_.notify_one();
  }
  thread_.join();
  const std::lock_guard<std::mutex> lock(mutex_);
  prompting_ = false;
  DrawLocked();
  table_.Finish();
}

void LiveBoard::Loop() {
  using namespace std::chrono_literals;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    // Redrawn on a step, at most ten times a second, and at least twice a
    // second while a drive's seconds run.
    wake_.wait_for(lock, 500ms, [this] { return stopping_ || changed_; });
    if (stopping_) break;
    DrawLocked();
    wake_.wait_for(lock, 100ms, [this] { return stopping_; });
  }
}

void LiveBoard::DrawLocked() {
  changed_ = false;
  if (prompting_) return;
  std::vector<LiveRow> rows;
  for (const auto& row : rows_) {
    if (!row->started) continue;
    LiveRow& shown = row->shown;
    if (shown.outcome.empty()) {
      // The job's state is taken under its own locks, which its thread
      // never holds while it tells a step and waits for this board's.
      const JobState state = row->job.State();
      shown.letter = state.letter != 0 ? state.letter : row->progress.letter();
      for (const Report& report : state.reports) {
        if (!report.drive) continue;
        shown.model = RowText(report.drive->productId);
        if (shown.letter == 0) shown.letter = report.drive->letter;
        break;
      }
      shown.step = row->progress.step();
      shown.progress = row->progress.progress();
      shown.seconds = state.seconds;
      if (state.finished) shown.outcome = OutcomeText(Summarize(state, state.letter != 0).outcome);
    }
    rows.push_back(shown);
  }
  if (rows.empty()) return;
  const std::optional<platform::TerminalSize> size = size_ ? size_() : std::nullopt;
  const size_t columns = size && size->columns > 0 ? static_cast<size_t>(size->columns) : 80;
  // One line stays for the cursor, so that the table never scrolls itself.
  const size_t lines = size && size->lines > 1 ? static_cast<size_t>(size->lines) - 1 : 0;
  table_.Draw(rows, columns, lines);
}

BoardLines::~BoardLines() {
  if (!line_.empty()) board_.Line(to_, line_);
}

BoardLines::int_type BoardLines::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const char ch = traits_type::to_char_type(c);
  xsputn(&ch, 1);
  return c;
}

std::streamsize BoardLines::xsputn(const char* text, std::streamsize count) {
  for (std::streamsize i = 0; i < count; ++i) {
    if (text[i] == '\n') {
      board_.Line(to_, line_);
      line_.clear();
    } else {
      line_.push_back(text[i]);
    }
  }
  return count;
}

int BoardLines::sync() {
  if (!line_.empty()) {
    board_.Partial(to_, line_);
    line_.clear();
  }
  return 0;
}

bool LiveTableWanted(const ConsoleOptions& options, const ConsoleStreams& io) {
  if (options.json || options.quiet || options.verbose || !io.outputSize) return false;
  return io.outputSize().has_value();
}

}  // namespace kestrune::console
