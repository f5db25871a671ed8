// The live table of a run on a terminal: each drive's job gets a row, moved
// on by the steps its reports tell, and redrawn in place by a thread of the
// table's own until the run's work is over.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "app/console/console_options.h"
#include "app/console/console_run.h"
#include "app/console/live_table.h"
#include "base/report.h"
#include "platform/terminal.h"

namespace kestrune::console {

class DriveJob;

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

// Where the table asks the terminal's size; null: 80 columns, no limit.
using TerminalSizeSource = std::function<std::optional<platform::TerminalSize>()>;

class LiveBoard {
 public:
  LiveBoard(std::ostream& out, Command command, TerminalSizeSource size);
  ~LiveBoard();
  LiveBoard(const LiveBoard&) = delete;
  LiveBoard& operator=(const LiveBoard&) = delete;

  // A row for `job`, drawn from its first step on; the observer returned
  // lives as long as the board and takes the job's steps.
  ReportObserver& Add(const DriveJob& job);
  // A line that must stay on screen, written to `to` above the table.
  void Line(std::ostream& to, const std::string& line);
  // The start of a line that waits for an answer (a prompt): written to
  // `to` where the table was, which is drawn again below the answer.
  void Partial(std::ostream& to, const std::string& text);
  // Draws the table a last time and leaves it on screen.
  void Stop();

 private:
  struct Row;
  void Loop();
  void DrawLocked();

  std::ostream& out_;
  const Command command_;
  TerminalSizeSource size_;
  LiveTable table_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<std::unique_ptr<Row>> rows_;
  bool changed_ = false;
  bool stopping_ = false;
  bool prompting_ = false;
  std::thread thread_;
};

// The stream of a single-drive run's lines while its row is shown: each
// line goes above the table, and a prompt flushed without its line's end
// takes the table's place until it is answered.
class BoardLines : public std::streambuf {
 public:
  BoardLines(LiveBoard& board, std::ostream& to) : board_(board), to_(to) {}
  ~BoardLines() override;
  BoardLines(const BoardLines&) = delete;
  BoardLines& operator=(const BoardLines&) = delete;

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  int sync() override;

 private:
  LiveBoard& board_;
  std::ostream& to_;
  std::string line_;
};

// Whether the run shows the live table: its output is a terminal and no
// other output was asked for.
bool LiveTableWanted(const ConsoleOptions& options, const ConsoleStreams& io);

}  // namespace kestrune::console
