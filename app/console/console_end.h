// How a console run ends: what each drive came to, made from the reports
// of its operations; the one exit code that follows from that; and the last
// word the run prints (the --json document, the --quiet line or the --all
// summary), once, on every road out, an interrupt that ends the run at once
// included.
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/console/console_job.h"
#include "app/console/console_json.h"
#include "app/console/console_options.h"
#include "app/console/console_run.h"
#include "app/console/terminal_owner.h"
#include "base/report.h"
#include "operations/flash_map.h"
#include "platform/platform.h"

namespace kestrune::console {

// What one drive's job came to.
struct DriveSummary {
  char letter = 0;  // 0: the job of a single-drive run
  std::string source;
  Outcome outcome = Outcome::kNone;
  // The first line of what decided a failure; empty otherwise.
  std::string failure;
  // The scan's verdict.
  bool administrator = false;
  std::optional<DriveSlot> drive;
  bool healthy = false;
  std::vector<int32_t> ispOffsets;
  // What the command did.
  int copiesWritten = 0;
  int copiesVerified = 0;
  int backups = 0;
  // What the operations learned of each copy's areas.
  CopyStates states;
  std::vector<std::string> warnings;
  double seconds = 0;
  bool noSuchEntry = false;
};

// `named`: the job of a letter of --all, which the run was asked to act on;
// a drive there that another run holds fails, as one whose folders were
// refused does. A job still under way has been cut short: interrupted.
DriveSummary Summarize(const JobState& job, bool named);

// The one mapping onto the exit code: 130 after an interrupt; 2 when
// --select named no entry; 3 (4 without the rights) when no drive was
// found and nothing failed; 1 when any drive failed or, among drives that
// were found, one was not; 5 when a question was answered Cancel; else 0.
int ExitCode(const std::vector<DriveSummary>& drives, bool interrupted);

class RunEnd {
 public:
  RunEnd(const ConsoleOptions& options, const ConsoleStreams& io);

  // Names a problem of the run on stderr, and in the document.
  void Problem(const std::string& text);
  // One stderr named already, for the document.
  void ProblemSaid(const std::string& text);
  // A field of the document beyond the drives' own (where a replay left
  // its recording).
  void AddToDocument(const std::string& key, Json value);
  // A box of the run's own (the one question of --all).
  void OwnBox(const ShownBox& box);
  // The jobs the last word tells of, in order, while the returned object
  // lives (their owner keeps both). `ran`: the drives' work began (with
  // --all, the table is then printed).
  class Attachment {
   public:
    explicit Attachment(RunEnd& end) : end_(end) {}
    ~Attachment();
    Attachment(const Attachment&) = delete;
    Attachment& operator=(const Attachment&) = delete;

   private:
    RunEnd& end_;
  };
  [[nodiscard]] Attachment Attach(std::vector<const DriveJob*> jobs, bool ran);
  // The jobs told of from now on, under an attachment that lives.
  void Retell(std::vector<const DriveJob*> jobs, bool ran);
  // A drive the run did not take: named on stderr and in the document, and
  // counted as a drive not processed.
  void LeftOut(const std::string& source, const std::string& why);
  // With watch --json: the document of one drive's job, on a line of its
  // own, as soon as the job is over.
  void DriveDocument(const DriveJob& job);

  // Prints the last word once, for `code`, and returns `code`.
  int End(int code);
  int Fail(int code, const std::string& problem) {
    Problem(problem);
    return End(code);
  }
  // Ends with the code the jobs came to. `interrupted`: an interrupt ended
  // the run (a watch, which only an interrupt ends, tells none).
  int Finish(bool interrupted);
  int Finish() { return Finish(platform::InterruptReceived()); }
  // For an interrupt that ends the run now: the last word as far as the
  // run got, unless it was printed already; returns the exit code.
  int LastWords();

  // The run's one writer to the terminal: every line and table of the run
  // goes through it.
  TerminalOwner& terminal() { return terminal_; }

 private:
  void Print(const std::vector<JobState>& jobs, int code);
  void PrintDocument(const std::vector<JobState>& jobs, const std::vector<DriveSummary>& drives,
                     int code, bool ownBoxes = true);

  const ConsoleOptions& options_;
  const ConsoleStreams& io_;
  TerminalOwner terminal_;
  std::mutex mutex_;
  std::vector<std::string> problems_;
  std::vector<ShownBox> ownBoxes_;
  std::vector<DriveSummary> leftOut_;
  Json extras_ = Json::object();
  std::vector<const DriveJob*> jobs_;
  bool ran_ = false;
  bool told_ = false;
  int code_ = 0;
};

}  // namespace kestrune::console
