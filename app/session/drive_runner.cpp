#include "app/session/drive_runner.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "app/drive_session.h"
#include "app/session/drive_folders.h"
#include "app/session/drive_job.h"
#include "app/session/host_devices.h"
#include "log/isp_log.h"
#include "platform/folder.h"
#include "platform/platform.h"
#include "simulator/virtual_drive.h"

namespace kestrune::session {

namespace {

namespace fs = std::filesystem;

// One letter's job, with the streams that put its letter before each of
// its lines, and its own platform over its own folders.
struct AllJob {
  AllJob(RunFront& front, const AllDrive& d)
      : drive(d),
        boxes(front.Lines(RunFront::Output::kBoxes, {d.letter, ':', ' '})),
        err(front.Lines(RunFront::Output::kErrors, {d.letter, ':', ' '})),
        job(d.letter, d.source, *boxes, *err) {
    job.port = d.port;
    job.serial = d.serial;
    job.stick = d.stick;
  }

  AllDrive drive;
  std::unique_ptr<LineStream> boxes;
  std::unique_ptr<LineStream> err;
  std::unique_ptr<platform::Platform> platform;
  std::unique_ptr<platform::Platform> tree;
  // The drive's ISP.log was made empty, to turn its log on, by this run.
  bool madeLog = false;
  DriveJob job;
};

// The drive's folders, platform and log (see DriveFolders::Prepare). False
// with `problem` set: the drive is then left alone.
bool PrepareDrive(const RunSetup& run, const DriveFolders& folders, platform::Platform& host,
                  AllJob& job, std::string& problem) {
  const bool verbose = run.request.verbose;
  std::ostream* err = job.err.get();
  job.platform = folders.Prepare(
      job.drive.letter, host,
      [verbose, err](const char* text) {
        if (!verbose) return;
        // Each message is a line of its own, as a debugger shows it.
        const std::string_view message(text);
        *err << message << (message.empty() || message.back() != '\n' ? "\n" : "");
      },
      job.madeLog, problem);
  if (!job.platform) return false;
  job.job.platform = job.platform.get();
  if (run.request.command == JobCommand::kRestore) {
    job.tree = folders.Tree(job.drive.letter, problem);
    if (!job.tree) return false;
    job.job.savesPlatform = job.tree.get();
  }
  if (job.drive.simulated != nullptr)
    job.job.saves.emplace_back(job.drive.simulated, job.drive.source);
  return true;
}

// The one question for every drive, before any is touched. True for OK;
// commands that change no drive ask nothing.
bool Confirm(const RunSetup& run, const std::vector<const AllDrive*>& drives, std::ostream& boxes) {
  const JobCommand command = run.request.command;
  struct Asked {
    JobCommand command;
    const char* heading;
    const char* question;  // the count goes between its two parts
    const char* questionEnd;
    const char* caption;
  };
  static constexpr Asked kAsked[] = {
      {JobCommand::kFix, "Drives to fix:", "Are you sure to update new ISP code on these ",
       " drives ?", "Update ISP Warning"},
      {JobCommand::kDestroy, "Drives whose ISP to destroy:",
       "Are you sure to destroy the ISP of these ", " drives ?", "Destory ISP Warning"},
      // A restore asks once its drives have chosen their saves (AskAtGate).
  };
  const Asked* asked = nullptr;
  for (const Asked& row : kAsked) {
    if (row.command == command) asked = &row;
  }
  if (asked == nullptr) return true;
  if (drives.empty()) return true;  // nothing will be done to any drive
  // The drives belong to the question: shown with it, or not at all.
  if (!run.request.quiet || ShownWhenQuiet(kQuestionStyle, run.request.answering)) {
    boxes << asked->heading << '\n';
    for (const AllDrive* drive : drives) {
      boxes << "  " << drive->letter << ": " << drive->source << '\n';
    }
  }
  const std::string text = asked->question + std::to_string(drives.size()) + asked->questionEnd;
  return AskOnce(run, boxes, text, asked->caption);
}

}  // namespace

bool AskOnce(const RunSetup& run, std::ostream& boxes, const std::string& text,
             const std::string& caption) {
  const std::unique_ptr<LineStream> err = run.front.Lines(RunFront::Output::kErrors);
  const std::unique_ptr<JobView> asker =
      run.front.MakeView(boxes, run.front.Input(), *err, run.request.answering, run.request.quiet);
  const int answer = asker->ShowMessage(text, caption, kQuestionStyle);
  run.end.OwnBox({caption, text, kQuestionStyle, answer, std::nullopt, {}});
  return answer == kIdOk;
}

std::string SameDriveTwice(const std::vector<DriveArgument>& drives) {
  for (size_t i = 0; i < drives.size(); ++i) {
    for (size_t j = i + 1; j < drives.size(); ++j) {
      std::error_code error;
      // Links are followed: a by-id link and its node are one drive, and so
      // are a disk's node and its SCSI generic node.
      const bool nodes = !drives[i].simulated && !drives[j].simulated;
      if ((fs::equivalent(drives[i].path, drives[j].path, error) && !error) ||
          (nodes && DriveLockNode(drives[i].path) == DriveLockNode(drives[j].path))) {
        return std::string("drives ") + drives[i].letter + ": and " + drives[j].letter +
               ": are one drive (" + drives[j].path + ")";
      }
    }
  }
  return {};
}

// One letter's job, with the streams that put its letter before each of
// its lines, its own platform over its own folders, and what it runs with.
struct DriveRunner::Job : AllJob {
  using AllJob::AllJob;
  std::optional<JobSetup> setup;
  std::thread thread;
};

DriveRunner::DriveRunner(const RunSetup& run)
    : run_(run),
      end_(run.end),
      host_(platform::CreateHostPlatform(run.host)),
      folders_(std::make_unique<DriveFolders>(run.host)),
      board_(run.front.Rows()) {}

DriveRunner::~DriveRunner() {
  // No job is left waiting for an answer that will not come.
  if (gate_) gate_->Answer(false);
  Join();
}

DriveJob& DriveRunner::Prepare(const AllDrive& drive) {
  auto job = std::make_unique<Job>(run_.front, drive);
  std::string problem;
  if (!PrepareDrive(run_, *folders_, *host_, *job, problem)) job->job.Refuse(problem);
  if (board_) {
    // The row tells the steps and the outcome; lines are left for what
    // must be read: failures, warnings and questions.
    job->job.watcher = &board_->Add(job->job);
    job->job.quiet = true;
  }
  jobs_.push_back(std::move(job));
  ListJobsForTheLastWord();
  return jobs_.back()->job;
}

void DriveRunner::ListJobsForTheLastWord() {
  std::vector<const DriveJob*> told;
  for (const auto& one : jobs_) told.push_back(&one->job);
  if (!attached_) attached_.emplace(end_);
  end_.SetJobs(std::move(told), started_);
}

void DriveRunner::Start(DriveJob& job, device::VolumeOpener* opener) {
  if (!started_) {
    started_ = true;
    ListJobsForTheLastWord();
  }
  if (job.refused() || opener == nullptr) return;
  for (const auto& one : jobs_) {
    if (&one->job != &job) continue;
    one->setup.emplace(
        JobSetup{run_.request, run_.front, run_.images, *opener, run_.allowStandInImages});
    const JobSetup* setup = &*one->setup;
    DriveJob* drive = &one->job;
    RestoreGate* gate = gate_ ? &*gate_ : nullptr;
    if (gate != nullptr) {
      gate->Expect(drive->letter());
      drive->gate = gate;
    }
    try {
      one->thread = std::thread([drive, setup, gate] {
        drive->Run(*setup);
        if (gate != nullptr) gate->Leave(drive->letter());
      });
    } catch (const std::system_error& e) {
      drive->Refuse(std::string("no thread for the drive: ") + e.what());
      if (gate != nullptr) gate->Leave(drive->letter());
    }
  }
}

bool DriveRunner::AskAtGate(std::ostream& boxes) {
  if (!gate_) return true;
  std::vector<std::pair<char, std::string>> waiting = gate_->Wait();
  if (waiting.empty()) return true;
  std::sort(waiting.begin(), waiting.end());
  // The drives belong to the question: shown with it, or not at all.
  if (!run_.request.quiet || ShownWhenQuiet(kQuestionStyle, run_.request.answering)) {
    boxes << "Drives to restore, each from its own save:\n";
    for (const auto& [letter, save] : waiting) {
      std::string source;
      for (const auto& job : jobs_) {
        if (job->drive.letter == letter) source = job->drive.source;
      }
      boxes << "  " << letter << ": " << source << ": " << (save.empty() ? "files" : save) << '\n';
    }
  }
  // Two drives that would take one save are sticks of one batch, which no
  // record tells apart: neither is restored.
  for (size_t i = 0; i < waiting.size(); ++i) {
    for (size_t j = i + 1; j < waiting.size(); ++j) {
      if (waiting[i].second.empty() || waiting[i].second != waiting[j].second) continue;
      const std::string text =
          std::string(1, waiting[i].first) + ": and " + waiting[j].first + ": would both take " +
          waiting[i].second +
          ": they are sticks of one batch (one USB serial and CIS page), which their saves do "
          "not tell apart. Nothing was written. Restore each alone, naming its save with --save "
          "(backups lists each save with the letter and port it was made at).";
      end_.OwnBox({"Fail", text, kMbIconError, kIdOk, std::nullopt, {}});
      boxes << "[Fail] " << text << std::endl;
      gate_->Answer(false);
      ambiguous_ = true;
      return false;
    }
  }
  const bool ok = AskOnce(run_, boxes,
                          "Are you sure to restore the ISP code of these " +
                              std::to_string(waiting.size()) + " drives ?",
                          "Restore ISP Warning");
  gate_->Answer(ok);
  return ok;
}

void DriveRunner::Release(DriveJob& job) {
  for (const auto& one : jobs_) {
    if (&one->job != &job) continue;
    if (one->thread.joinable()) one->thread.join();
    one->boxes->Finish();
    one->err->Finish();
    job.LetGoOfFiles();
    one->setup.reset();
    one->platform.reset();
  }
}

std::vector<const AllDrive*> DriveRunner::Accepted() const {
  std::vector<const AllDrive*> accepted;
  for (const auto& job : jobs_) {
    if (!job->job.refused()) accepted.push_back(&job->drive);
  }
  return accepted;
}

void DriveRunner::Cancel() {
  // A run that ends before the drives' threads leaves no empty log behind.
  for (const auto& job : jobs_) {
    if (job->madeLog) job->platform->DeleteFile(kIspLogPath);
  }
}

void DriveRunner::Join() {
  for (const auto& job : jobs_) {
    if (job->thread.joinable()) job->thread.join();
  }
  if (board_) board_->Stop();
  for (const auto& job : jobs_) {
    job->boxes->Finish();
    job->err->Finish();
  }
}

int RunAllDrives(const AllDrivesRun& all) {
  const RunSetup& run = all.setup;
  RunEnd& end = run.end;
  const std::unique_ptr<LineStream> shown = run.front.Lines(RunFront::Output::kBoxes);
  std::ostream& boxes = *shown;

  if (all.drives.empty()) {
    end.OwnBox({kAppTitle, kNoDeviceText, kMbOk, kIdOk, std::nullopt, {}});
    if (!run.request.quiet) boxes << "[" << kAppTitle << "] " << kNoDeviceText << std::endl;
    return end.End(kExitNoDevice);
  }
  // A host that cannot give a drive folders of its own refuses here,
  // before any folder is made.
  if (const std::string refusal = DriveFoldersRefusal(); !refusal.empty()) {
    return end.Fail(kExitUsage, refusal);
  }
  DriveRunner runner(run);
  // A drive whose folders are refused is left alone and reported failed;
  // the others go on.
  std::vector<DriveJob*> jobs;
  for (const AllDrive& drive : all.drives) jobs.push_back(&runner.Prepare(drive));
  const bool restore = run.request.command == JobCommand::kRestore;
  if (!restore && !Confirm(run, runner.Accepted(), boxes)) {
    runner.Cancel();
    return end.End(kExitCancelled);
  }
  if (restore) runner.GateQuestions();
  for (DriveJob* job : jobs) runner.Start(*job, &all.opener);
  const bool asked = runner.AskAtGate(boxes);
  runner.Join();
  if (runner.ambiguous()) return end.End(kExitFailure);
  return asked ? end.Finish() : end.End(kExitCancelled);
}

}  // namespace kestrune::session
