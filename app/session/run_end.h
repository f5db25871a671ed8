// How a run ends, kept from every thread: the problems, the run's own
// boxes and the drives it told of or left out, from which the one exit code
// follows; and the last word, told once on every road out. The front end
// says the problems and prints the last word.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "app/session/drive_job.h"
#include "app/session/run_report.h"
#include "base/report.h"

namespace kestrune::session {

class RunEnd {
 public:
  // `named`: the drives are letters the run was asked to act on (see
  // Summarize); `heldText` names a drive another run holds.
  RunEnd(bool named, HeldText heldText) : named_(named), heldText_(heldText) {}
  virtual ~RunEnd() = default;
  RunEnd(const RunEnd&) = delete;
  RunEnd& operator=(const RunEnd&) = delete;

  // Names a problem of the run where its problems are read, and keeps it.
  void Problem(const std::string& text) {
    Say(text);
    ProblemSaid(text);
  }
  // One named already, kept for the last word.
  void ProblemSaid(const std::string& text);
  // A box of the run's own (the one question of --all).
  void OwnBox(const ShownBox& box);
  // The jobs the last word tells of, in order, while the returned object
  // lives (their owner keeps both). `ran`: the drives' work began.
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
  void SetJobs(std::vector<const DriveJob*> jobs, bool ran);
  // A drive the run did not take: named, and counted as a drive not
  // processed.
  void LeftOut(const std::string& source, const std::string& why);
  // One drive's word, as soon as its job is over, unless the last word was
  // told already.
  void DriveDocument(const DriveJob& job);

  // Tells the last word once, for `code`, and returns `code` (or the code
  // it was told for).
  int End(int code);
  int Fail(int code, const std::string& problem) {
    Problem(problem);
    return End(code);
  }
  // Ends with the code the jobs came to.
  int Finish();

  DriveSummary Summary(const JobState& job, bool named) const {
    return Summarize(job, named, heldText_);
  }

 protected:
  // Where the user reads the run's problems.
  virtual void Say(const std::string& problem) = 0;
  // The last word, for `code`; called once, under the end's lock.
  virtual void Print(const std::vector<JobState>& jobs, int code) = 0;
  // One drive's word (see DriveDocument), under the end's lock.
  virtual void PrintDrive(const JobState& job, const DriveSummary& drive) = 0;

  // What the last word tells of, read under the lock.
  std::mutex& lock() { return mutex_; }
  const std::vector<std::string>& problems() const { return problems_; }
  const std::vector<ShownBox>& ownBoxes() const { return ownBoxes_; }
  bool ran() const { return ran_; }

 private:
  const bool named_;
  const HeldText heldText_;
  std::mutex mutex_;
  std::vector<std::string> problems_;
  std::vector<ShownBox> ownBoxes_;
  std::vector<DriveSummary> leftOut_;
  std::vector<const DriveJob*> jobs_;
  bool ran_ = false;
  bool told_ = false;
  int code_ = 0;
};

}  // namespace kestrune::session
