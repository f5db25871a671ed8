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
#include "app/session/run_report.h"
#include "base/report.h"
#include "operations/flash_map.h"
#include "platform/platform.h"

namespace kestrune::console {

using session::DriveSummary;
using session::ExitCode;

// The session's summary of a console job: a drive another run holds is
// named as the console names it.
DriveSummary Summarize(const JobState& job, bool named);


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
  // Ends with the code the jobs came to.
  int Finish();
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
