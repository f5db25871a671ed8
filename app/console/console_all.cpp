#include "app/console/console_all.h"

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

#include "app/console/console_end.h"
#include "app/console/console_job.h"
#include "app/console/console_json.h"
#include "app/console/console_live.h"
#include "app/console/console_view.h"
#include "app/console/live_table.h"
#include "app/console/terminal_owner.h"
#include "app/dialog.h"
#include "app/session/drive_folders.h"
#include "app/session/host_devices.h"
#include "discovery/discovery.h"
#include "log/isp_log.h"
#include "platform/folder.h"
#include "platform/platform.h"
#include "simulator/virtual_drive.h"

namespace kestrune::console {

namespace {

namespace fs = std::filesystem;

// One letter's job, with the streams that put its letter before each of
// its lines, and its own platform over its own folders.
struct AllJob {
  AllJob(TerminalOwner& owner, std::ostream& boxesTo, std::ostream& errTo, const AllDrive& d)
      : drive(d),
        boxes(owner, boxesTo, {d.letter, ':', ' '}),
        err(owner, errTo, {d.letter, ':', ' '}),
        job(d.letter, d.source, boxes, err) {
    job.port = d.port;
    job.serial = d.serial;
    job.stick = d.stick;
  }

  AllDrive drive;
  OwnedStream boxes;
  OwnedStream err;
  std::unique_ptr<platform::Platform> platform;
  // The drive's ISP.log was made empty, to turn its log on, by this run.
  bool madeLog = false;
  DriveJob job;
};

// The drive's folders, platform and log (see DriveFolders::Prepare). False
// with `problem` set: the drive is then left alone.
bool PrepareDrive(const AllDrivesRun& run, const session::DriveFolders& folders,
                  platform::Platform& host, AllJob& job, std::string& problem) {
  const bool verbose = run.options.verbose;
  std::ostream* err = &job.err;
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
  if (job.drive.simulated != nullptr)
    job.job.saves.emplace_back(job.drive.simulated, job.drive.source);
  return true;
}

// The one question for every drive, before any is touched. True for OK;
// commands that change no drive ask nothing.
bool Confirm(const AllDrivesRun& run, const std::vector<const AllDrive*>& drives,
             std::ostream& boxes, RunEnd& end) {
  const Command command = run.options.command;
  if (command != Command::kFix && command != Command::kDestroy) return true;
  if (drives.empty()) return true;  // nothing will be done to any drive
  const bool fix = command == Command::kFix;
  // The drives belong to the question: shown with it, or not at all.
  if (!run.options.quiet || ShownWhenQuiet(kQuestionStyle, AnsweringOf(run.options, run.io))) {
    boxes << (fix ? "Drives to fix:" : "Drives whose ISP to destroy:") << '\n';
    for (const AllDrive* drive : drives) {
      boxes << "  " << drive->letter << ": " << drive->source << '\n';
    }
  }
  const std::string count = std::to_string(drives.size());
  const std::string text =
      fix ? "Are you sure to update new ISP code on these " + count + " drives ?"
          : "Are you sure to destroy the ISP of these " + count + " drives ?";
  return AskOnce(run, boxes, end, text, fix ? "Update ISP Warning" : "Destory ISP Warning");
}

// A text field of the drive as the table shows it: without the blanks that
// pad it, nothing that steers a terminal.
template <size_t N>
std::string TableText(const char (&field)[N]) {
  std::string text = PrintableText(FieldText(field));
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// "-" when the drive gave none: the slot then holds its empty fill.
std::string FlashIdText(const DriveSlot& slot) {
  const std::string hex = FlashIdHex(slot);
  return hex.empty() ? "-" : hex;
}

// A column no drive fills (the port, where the host named none) is left out
// of the table, and of the order in which columns give way.
void LeaveOutColumn(std::vector<std::vector<std::string>>& rows, std::vector<size_t>& dropped,
                    size_t column) {
  for (auto& row : rows) {
    if (column < row.size()) row.erase(row.begin() + static_cast<std::ptrdiff_t>(column));
  }
  std::vector<size_t> kept;
  for (const size_t index : dropped) {
    if (index != column) kept.push_back(index > column ? index - 1 : index);
  }
  dropped = std::move(kept);
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

}  // namespace

Answering AnsweringOf(const ConsoleOptions& options, const ConsoleStreams& io) {
  return options.yes          ? Answering::kAlwaysOk
         : io.inputIsTerminal ? Answering::kAsk
                              : Answering::kNeverAsk;
}

bool AskOnce(const AllDrivesRun& run, std::ostream& boxes, RunEnd& end, const std::string& text,
             const std::string& caption) {
  OwnedStream err(end.terminal(), run.io.err);
  ConsoleView asker(boxes, run.io.in, err, AnsweringOf(run.options, run.io), run.options.quiet);
  const int answer = asker.ShowMessage(text, caption, kQuestionStyle);
  end.OwnBox({caption, text, kQuestionStyle, answer});
  return answer == kIdOk;
}

void PrintSummary(std::ostream& out, Command command, const std::vector<DriveSummary>& drives,
                  size_t columns) {
  std::vector<std::vector<std::string>> rows;
  // What a narrow terminal gives up first, whole: the drive's names, then
  // what a technician can read again in the document.
  std::vector<size_t> dropped;
  size_t portColumn = 0;
  bool failures = false;
  // The port tells apart two sticks that one letter took in turn: of the
  // two, it goes last.
  if (command == Command::kScan || command == Command::kMap) {
    dropped = {3, 4, 9, 6, 5, 2, 1, 8};
    portColumn = 8;
    rows.push_back({"drive", "verdict", "capacity", "vendor", "product", "controller", "flash id",
                    "outcome", "port", "serial"});
    for (const DriveSummary& d : drives) {
      const std::string letter = std::string(1, d.letter) + ":";
      if (!d.drive) {
        rows.push_back({letter, "-", "-", "-", "-", "-", "-", OutcomeText(d.outcome),
                        PortText(d.port, d.stick), SerialText(d.serial)});
        continue;
      }
      const DriveSlot& s = *d.drive;
      rows.push_back({letter, d.healthy ? "healthy" : "broken", FormatCapacity(s),
                      TableText(s.vendorId), TableText(s.productId), ControllerText(s),
                      FlashIdText(s), OutcomeText(d.outcome), PortText(d.port, d.stick),
                      SerialText(d.serial)});
    }
  } else {
    rows.push_back({"drive", "verdict before", "outcome", "copies verified", "backups", "seconds",
                    "port", "serial", "failure"});
    for (const DriveSummary& d : drives) {
      rows.push_back(
          {std::string(1, d.letter) + ":", d.drive ? (d.healthy ? "healthy" : "broken") : "-",
           OutcomeText(d.outcome), std::to_string(d.copiesVerified), std::to_string(d.backups),
           Seconds(d.seconds), PortText(d.port, d.stick), SerialText(d.serial), d.failure});
      failures = failures || !d.failure.empty();
    }
    dropped = {8, 5, 7, 4, 3, 1, 6};
    portColumn = 6;
  }
  const bool ports = std::any_of(drives.begin(), drives.end(),
                                 [](const DriveSummary& d) { return !d.port.empty(); });
  if (!ports) LeaveOutColumn(rows, dropped, portColumn);
  const std::vector<std::string> lines = ColumnLines(rows, columns, dropped);
  for (const std::string& line : lines) out << line << '\n';
  // A failure the table had no room for follows it, in whole words.
  if (failures && columns > 0 && !lines.empty() &&
      lines.front().find("failure") == std::string::npos) {
    for (const DriveSummary& d : drives) {
      if (d.failure.empty()) continue;
      // Behind the letter, the port that tells apart the sticks it named.
      const std::string drive = std::string(1, d.letter) + ":" +
                                (d.port.empty() ? "" : " (" + PortText(d.port, d.stick) + ")");
      for (const std::string& line : WrappedWords(drive + " " + d.failure, columns))
        out << line << '\n';
    }
  }
  out << std::flush;
}

void PrintColumns(std::ostream& out, const std::vector<std::vector<std::string>>& rows) {
  for (const std::string& line : ColumnLines(rows)) out << line << '\n';
  out << std::flush;
}

std::string SameDriveTwice(const std::vector<DriveArgument>& drives) {
  for (size_t i = 0; i < drives.size(); ++i) {
    for (size_t j = i + 1; j < drives.size(); ++j) {
      std::error_code error;
      // Links are followed: a by-id link and its node are one drive, and so
      // are a disk's node and its SCSI generic node.
      const bool nodes = !drives[i].simulated && !drives[j].simulated;
      if ((fs::equivalent(drives[i].path, drives[j].path, error) && !error) ||
          (nodes &&
           session::DriveLockNode(drives[i].path) == session::DriveLockNode(drives[j].path))) {
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

DriveRunner::DriveRunner(const AllDrivesRun& run, RunEnd& end)
    : run_(run),
      end_(end),
      boxes_(run.options.json ? run.io.err : run.io.out),
      host_(platform::CreateHostPlatform(run.host)),
      folders_(std::make_unique<session::DriveFolders>(run.host)) {
  // The live table: on a terminal, and when no other output was asked for.
  if (LiveTableWanted(run.options, run.io)) {
    board_ = std::make_unique<JobRows>(end.terminal(), run.options.command);
  }
}

DriveRunner::~DriveRunner() { Join(); }

DriveJob& DriveRunner::Prepare(const AllDrive& drive) {
  auto job = std::make_unique<Job>(end_.terminal(), boxes_, run_.io.err, drive);
  std::string problem;
  if (!PrepareDrive(run_, *folders_, *host_, *job, problem)) job->job.Refuse(problem);
  if (board_) {
    // The row tells the steps and the outcome; lines are left for what
    // must be read: failures, warnings and questions.
    job->job.watcher = &board_->Add(job->job);
    job->job.quiet = true;
  }
  jobs_.push_back(std::move(job));
  Tell();
  return jobs_.back()->job;
}

void DriveRunner::Tell() {
  std::vector<const DriveJob*> told;
  for (const auto& one : jobs_) told.push_back(&one->job);
  if (!attached_) attached_.emplace(end_);
  end_.Retell(std::move(told), started_);
}

void DriveRunner::Start(DriveJob& job, device::VolumeOpener* opener) {
  if (!started_) {
    started_ = true;
    Tell();
  }
  if (job.refused() || opener == nullptr) return;
  for (const auto& one : jobs_) {
    if (&one->job != &job) continue;
    one->setup.emplace(JobSetup{run_.options, run_.images, *opener, run_.allowStandInImages});
    const JobSetup* setup = &*one->setup;
    DriveJob* drive = &one->job;
    try {
      one->thread = std::thread([drive, setup] { drive->Run(*setup); });
    } catch (const std::system_error& e) {
      drive->Refuse(std::string("no thread for the drive: ") + e.what());
    }
  }
}

void DriveRunner::Release(DriveJob& job) {
  for (const auto& one : jobs_) {
    if (&one->job != &job) continue;
    if (one->thread.joinable()) one->thread.join();
    one->boxes.Finish();
    one->err.Finish();
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
    job->boxes.Finish();
    job->err.Finish();
  }
}

int RunAllDrives(const AllDrivesRun& run) {
  const ConsoleOptions& options = run.options;
  std::optional<RunEnd> ownEnd;
  if (run.end == nullptr) ownEnd.emplace(options, run.io);
  RunEnd& end = run.end != nullptr ? *run.end : *ownEnd;
  OwnedStream boxes(end.terminal(), options.json ? run.io.err : run.io.out);

  if (run.drives.empty()) {
    end.OwnBox({kAppTitle, kNoDeviceText, kMbOk, kIdOk});
    if (!options.quiet) boxes << "[" << kAppTitle << "] " << kNoDeviceText << std::endl;
    return end.End(kExitNoDevice);
  }
  // A host that cannot give a drive folders of its own refuses here,
  // before any folder is made.
  if (const std::string refusal = session::DriveFoldersRefusal(); !refusal.empty()) {
    return end.Fail(kExitUsage, refusal);
  }
  DriveRunner runner(run, end);
  // A drive whose folders are refused is left alone and reported failed;
  // the others go on.
  std::vector<DriveJob*> jobs;
  for (const AllDrive& drive : run.drives) jobs.push_back(&runner.Prepare(drive));
  if (!Confirm(run, runner.Accepted(), boxes, end)) {
    runner.Cancel();
    return end.End(kExitCancelled);
  }
  for (DriveJob* job : jobs) runner.Start(*job, &run.opener);
  runner.Join();
  return end.Finish();
}

}  // namespace kestrune::console
