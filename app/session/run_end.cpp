#include "app/session/run_end.h"

#include <utility>

namespace kestrune::session {

void RunEnd::ProblemSaid(const std::string& text) {
  const std::lock_guard<std::mutex> lock(mutex_);
  problems_.push_back(text);
}

void RunEnd::OwnBox(const ShownBox& box) {
  const std::lock_guard<std::mutex> lock(mutex_);
  ownBoxes_.push_back(box);
}

RunEnd::Attachment RunEnd::Attach(std::vector<const DriveJob*> jobs, bool ran) {
  const std::lock_guard<std::mutex> lock(mutex_);
  jobs_ = std::move(jobs);
  ran_ = ran;
  return Attachment(*this);
}

// The jobs go: a last word still to come tells of none.
RunEnd::Attachment::~Attachment() {
  const std::lock_guard<std::mutex> lock(end_.mutex_);
  end_.jobs_.clear();
}

void RunEnd::SetJobs(std::vector<const DriveJob*> jobs, bool ran) {
  const std::lock_guard<std::mutex> lock(mutex_);
  jobs_ = std::move(jobs);
  ran_ = ran;
}

void RunEnd::LeftOut(const std::string& source, const std::string& why) {
  Say(why);
  const std::lock_guard<std::mutex> lock(mutex_);
  problems_.push_back(why);
  DriveSummary drive;
  drive.source = source;
  drive.outcome = Outcome::kRefused;
  drive.failure = why;
  leftOut_.push_back(std::move(drive));
}

void RunEnd::DriveDocument(const DriveJob& job) {
  const JobState state = job.State();
  const DriveSummary drive = Summary(state, true);
  const std::lock_guard<std::mutex> lock(mutex_);
  if (told_) return;
  PrintDrive(state, drive);
}

int RunEnd::End(int code) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (told_) return code_;
  std::vector<JobState> jobs;
  for (const DriveJob* job : jobs_) jobs.push_back(job->State());
  Print(jobs, code);
  told_ = true;
  code_ = code;
  return code;
}

int RunEnd::Finish() {
  std::vector<DriveSummary> drives;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const DriveJob* job : jobs_) drives.push_back(Summary(job->State(), named_));
    drives.insert(drives.end(), leftOut_.begin(), leftOut_.end());
  }
  return End(ExitCode(drives));
}

}  // namespace kestrune::session
