#include "app/console/console_all.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <istream>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "app/console/console_devices.h"
#include "app/console/console_json.h"
#include "app/console/console_view.h"
#include "app/dialog.h"
#include "device/link.h"
#include "device/trace.h"
#include "device/volume_map.h"
#include "discovery/discovery.h"
#include "discovery/program.h"
#include "log/isp_log.h"
#include "operations/operations.h"
#include "platform/folder.h"
#include "platform/platform.h"
#include "simulator/virtual_drive.h"

namespace kestrune::console {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Every drive's thread writes here; each line goes out whole, under one
// lock, so lines of two drives never interleave.
class SharedLines {
 public:
  void Write(std::ostream& to, const std::string& line) {
    const std::lock_guard<std::mutex> lock(mutex_);
    to << line << '\n' << std::flush;
  }

 private:
  std::mutex mutex_;
};

// Gathers what one drive writes into lines and hands each, behind the
// drive's letter ("E: "), to the shared lines when it is complete.
class PrefixedLineBuffer : public std::streambuf {
 public:
  PrefixedLineBuffer(SharedLines& lines, std::ostream& to, char letter)
      : lines_(lines), to_(to), prefix_{letter, ':', ' '} {}
  ~PrefixedLineBuffer() override { Finish(); }
  PrefixedLineBuffer(const PrefixedLineBuffer&) = delete;
  PrefixedLineBuffer& operator=(const PrefixedLineBuffer&) = delete;

  // A last line without its newline still goes out.
  void Finish() {
    if (!line_.empty()) Emit();
  }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    Put(traits_type::to_char_type(c));
    return c;
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    for (std::streamsize i = 0; i < count; ++i) Put(text[i]);
    return count;
  }

 private:
  void Put(char c) {
    if (c == '\n') {
      Emit();
    } else if (c != '\r') {  // debug texts end in CR LF
      line_.push_back(c);
    }
  }
  void Emit() {
    lines_.Write(to_, prefix_ + line_);
    line_.clear();
  }

  SharedLines& lines_;
  std::ostream& to_;
  std::string prefix_;
  std::string line_;
};

enum class Outcome : uint8_t {
  kSuccess,
  kFailed,
  kNotFound,
  kNotAdministrator,
  kCancelled,
  kInterrupted
};

const char* OutcomeText(Outcome outcome) {
  switch (outcome) {
    case Outcome::kSuccess:
      return "success";
    case Outcome::kFailed:
      return "failed";
    case Outcome::kNotFound:
      return "not found";
    case Outcome::kNotAdministrator:
      return "not administrator";
    case Outcome::kCancelled:
      return "cancelled";
    case Outcome::kInterrupted:
      return "interrupted";
  }
  return "failed";
}

// What one drive's run showed.
struct DriveResult {
  bool administrator = false;
  bool identified = false;
  bool healthyBefore = false;
  bool failureShown = false;
  bool cancelled = false;
  bool unsaved = false;
  // Its folders were refused before the question: nothing was done to it.
  bool refused = false;
  // An interrupt came while this drive's run went on: what it did is told,
  // but it was stopped before its next step.
  bool interrupted = false;
  int copiesVerified = 0;
  int backups = 0;
  double seconds = 0;
  // The first line of the first failure box, or why the run could not go on.
  std::string failure;
  DriveSlot slot{};

  Outcome outcome() const {
    if (refused) return Outcome::kFailed;
    if (!administrator) return Outcome::kNotAdministrator;
    if (!identified) return failureShown || unsaved ? Outcome::kFailed : Outcome::kNotFound;
    if (failureShown || unsaved) return Outcome::kFailed;
    if (interrupted) return Outcome::kInterrupted;
    if (cancelled) return Outcome::kCancelled;
    return Outcome::kSuccess;
  }
};

// The console view of one drive. Its OK/Cancel boxes are answered OK: the
// one confirmation for all drives was given before any thread started.
class DriveView : public ConsoleView {
 public:
  DriveView(std::ostream& boxes, std::istream& in, std::ostream& err, DriveResult& result,
            bool quiet, RunRecord* record)
      : ConsoleView(boxes, in, err, Answering::kAlwaysOk, quiet, record), result_(result) {}

  int ShowMessage(const std::string& text, const std::string& caption, unsigned style) override {
    if (IsFailureCaption(caption) && result_.failure.empty()) {
      result_.failure = text.substr(0, text.find('\n'));
    }
    return ConsoleView::ShowMessage(text, caption, style);
  }

  void Progress(const std::string& step, StepState state) override {
    ConsoleView::Progress(step, state);
    // A copy counts once it was written and read back equal.
    if (state == StepState::kDone && step.rfind("Verify ISP ", 0) == 0) ++result_.copiesVerified;
  }

  void FileWritten(const WrittenFile& file) override {
    ConsoleView::FileWritten(file);
    const std::string& name = file.name;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".bin") == 0) ++result_.backups;
  }

 private:
  DriveResult& result_;
};

// One drive's part of the run; it lives at one address, since its streams
// and its platform's debug output point into it.
struct DriveJob {
  DriveJob(SharedLines& lines, std::ostream& boxesTo, std::ostream& errTo, const AllDrive& d)
      : drive(d), boxesBuffer(lines, boxesTo, d.letter), errBuffer(lines, errTo, d.letter) {}

  AllDrive drive;
  PrefixedLineBuffer boxesBuffer;
  PrefixedLineBuffer errBuffer;
  std::ostream boxes{&boxesBuffer};
  std::ostream err{&errBuffer};
  std::unique_ptr<platform::Platform> platform;
  // What the drive's run showed and kept, with --json.
  std::unique_ptr<RunRecord> record;
  // The drive's ISP.log was made empty, to turn its log on, by this run.
  bool madeLog = false;
  DriveResult result;
};

// What every drive's thread reads and none changes.
struct Shared {
  const ConsoleOptions& options;
  std::shared_ptr<const ImageSet> images;
  device::VolumeOpener& opener;
  bool allowStandInImages;
};

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

void RunDrive(DriveJob& job, const Shared& shared) {
  const Clock::time_point start = Clock::now();
  DriveResult& r = job.result;
  try {
    std::istringstream noInput;
    DriveView view(job.boxes, noInput, job.err, r, shared.options.quiet, job.record.get());
    // This drive's program sees its own letter only, so its scan finds
    // exactly this drive.
    device::VolumeMap own;
    own.Map(job.drive.letter, shared.opener);
    device::DeviceLink link(own);
    IspLog log(*job.platform);
    Program program(*job.platform, link, log, view);
    program.images = shared.images;
    program.allowStandInImages = shared.allowStandInImages;
    CKestruneApp app(program, DialogArguments(shared.options));
    app.InitInstance([&](CKestruneDlg& dialog) {
      const bool open = dialog.OnInitDialog();
      r.identified = dialog.driveCount > 0;
      if (r.identified) {
        r.slot = program.Slot(0);
        r.healthyBefore = program.ispHealthy != 0;
      }
      if (open) {
        switch (shared.options.command) {
          case Command::kFix:
            dialog.OnStartFix();
            break;
          case Command::kDestroy:
            dialog.OnDestroyIsp();
            break;
          case Command::kBackup:
            OnBackupIsp(program);
            break;
          default:
            break;
        }
      }
      // After an interrupt no further step, the restart on close included.
      r.interrupted = platform::InterruptReceived();
      if (!r.interrupted) dialog.OnClose();
    });
    r.administrator = program.isAdmin;
    r.failureShown = view.failureShown();
    r.cancelled = view.cancelled();
  } catch (const std::exception& e) {
    r.failureShown = true;
    if (r.failure.empty()) r.failure = e.what();
  }
  if (job.drive.simulated != nullptr && !job.drive.simulated->Save()) {
    r.unsaved = true;
    if (r.failure.empty()) r.failure = "the flash of the virtual drive could not be saved";
    const std::string problem = "cannot save the flash of the virtual drive " + job.drive.source;
    if (job.record) job.record->Problem(problem);
    job.err << "kestrune: " << problem << std::endl;
  }
  if (job.record) job.record->Finish();
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  job.boxesBuffer.Finish();
  job.errBuffer.Finish();
}

// The run's C: folder or work folder, as opened at its start; opened here
// when the run brought none (it was not there then).
struct RunFolder {
  std::shared_ptr<platform::Folder> folder;
  platform::FolderCheck check;
  std::string what;  // "the C: folder /x", for messages
};

RunFolder OpenRunFolder(const std::shared_ptr<platform::Folder>& opened, const std::string& path,
                        platform::FolderRule rule, const std::string& kind) {
  RunFolder run{opened, {}, kind + " " + path};
  if (!run.folder) {
    platform::FolderOpening opening = platform::Folder::Open(path, rule);
    run.folder = std::move(opening.folder);
    run.check = opening.check;
  }
  return run;
}

// A folder of the drive's own inside one of the run's, made 0700 when it is
// missing. One that is there must be a folder of this user's that nobody
// else may write: another user could swap or read what the drive keeps
// there. It is opened once, here, before the question, and used through
// that descriptor to the end, whatever is renamed or linked meanwhile.
std::shared_ptr<platform::Folder> OpenDriveFolder(const RunFolder& parent, char letter,
                                                  std::string& problem) {
  if (!parent.folder) {
    problem = platform::DescribeFolderRefusal(parent.what, parent.check);
    return nullptr;
  }
  const std::string name(1, letter);
  const platform::FolderOpening opening =
      parent.folder->OpenSub(name, platform::FolderRule::kOwn, true);
  int error = 0;
  const std::string what = "the drive folder " + parent.folder->PathOf(name);
  if (!opening.folder) {
    problem = platform::DescribeFolderRefusal(what, opening.check);
    return nullptr;
  }
  if (!opening.folder->Writable(&error)) {
    problem = what + " cannot be written: " + platform::SystemErrorText(error);
    return nullptr;
  }
  return opening.folder;
}

// The drive's C: folder and work folder, its platform, and its log when
// the run's C: folder holds ISP.log. False with `problem` set: the drive is
// then left alone.
bool PrepareDrive(const AllDrivesRun& run, const RunFolder& cDrive, const RunFolder& work,
                  platform::Platform& host, DriveJob& job, std::string& problem) {
  platform::PosixOptions options = run.host;
  options.cDrive = OpenDriveFolder(cDrive, job.drive.letter, problem);
  if (!options.cDrive) return false;
  options.work = OpenDriveFolder(work, job.drive.letter, problem);
  if (!options.work) return false;
  options.cDriveFolder = options.cDrive->path();
  options.tempFolder = options.work->path();
  const bool verbose = run.options.verbose;
  std::ostream* err = &job.err;
  job.platform = MakeDrivePlatform(
      options,
      [verbose, err](const char* text) {
        if (verbose) *err << text;
      },
      problem);
  if (!job.platform) return false;
  if (run.options.json) job.record = std::make_unique<RunRecord>(*job.platform, job.drive.letter);

  // The log is on for a drive when it is on for the run: the drive's log
  // starts only where its file exists.
  if (host.FindFile(kIspLogPath) && !job.platform->FindFile(kIspLogPath)) {
    if (!job.platform->OpenFile(kIspLogPath, platform::OpenMode::kCreateNew)) {
      problem = "cannot create " + job.platform->HostPath(kIspLogPath) + ": " +
                job.platform->LastErrorText();
      return false;
    }
    job.madeLog = true;
  }
  return true;
}

// The one question for every drive, before any is touched. True for OK;
// commands that change no drive ask nothing.
bool Confirm(const AllDrivesRun& run, const std::vector<const AllDrive*>& drives,
             std::ostream& boxes, RunRecord* record) {
  const Command command = run.options.command;
  if (command != Command::kFix && command != Command::kDestroy) return true;
  if (drives.empty()) return true;  // nothing will be done to any drive
  const bool fix = command == Command::kFix;
  const Answering answering = run.options.yes          ? Answering::kAlwaysOk
                              : run.io.inputIsTerminal ? Answering::kAsk
                                                       : Answering::kNeverAsk;
  const unsigned style = kMbOkCancel | kMbIconExclamation | kMbTopmost;
  // The drives belong to the question: shown with it, or not at all.
  if (!run.options.quiet || ShownWhenQuiet(style, answering)) {
    boxes << (fix ? "Drives to fix:" : "Drives whose ISP to destroy:") << '\n';
    for (const AllDrive* drive : drives) {
      boxes << "  " << drive->letter << ": " << drive->source << '\n';
    }
  }
  ConsoleView asker(boxes, run.io.in, run.io.err, answering, run.options.quiet, record);
  const std::string count = std::to_string(drives.size());
  const std::string text =
      fix ? "Are you sure to update new ISP code on these " + count + " drives ?"
          : "Are you sure to destroy the ISP of these " + count + " drives ?";
  return asker.ShowMessage(text, fix ? "Update ISP Warning" : "Destory ISP Warning", style) ==
         kIdOk;
}

const char* VerdictText(const DriveResult& r) {
  if (!r.identified) return "-";
  return r.healthyBefore ? "healthy" : "broken";
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

void PrintSummary(std::ostream& out, Command command,
                  const std::vector<std::unique_ptr<DriveJob>>& jobs) {
  std::vector<std::vector<std::string>> rows;
  if (command == Command::kScan) {
    rows.push_back(
        {"drive", "verdict", "capacity", "vendor", "product", "controller", "flash id", "outcome"});
    for (const auto& job : jobs) {
      const DriveResult& r = job->result;
      const DriveSlot& s = r.slot;
      if (!r.identified) {
        rows.push_back({std::string(1, job->drive.letter) + ":", "-", "-", "-", "-", "-", "-",
                        OutcomeText(r.outcome())});
        continue;
      }
      rows.push_back({std::string(1, job->drive.letter) + ":", VerdictText(r), FormatCapacity(s),
                      TableText(s.vendorId), TableText(s.productId), ControllerText(s),
                      FlashIdText(s), OutcomeText(r.outcome())});
    }
  } else {
    rows.push_back(
        {"drive", "verdict before", "outcome", "copies verified", "backups", "seconds", "failure"});
    for (const auto& job : jobs) {
      const DriveResult& r = job->result;
      rows.push_back({std::string(1, job->drive.letter) + ":", VerdictText(r),
                      OutcomeText(r.outcome()), std::to_string(r.copiesVerified),
                      std::to_string(r.backups), Seconds(r.seconds), r.failure});
    }
  }
  PrintColumns(out, rows);
}

Json DriveJson(const DriveJob& job) {
  const DriveResult& r = job.result;
  Json drive = Json::object();
  drive["letter"] = std::string(1, job.drive.letter);
  drive["verdict"] = r.identified ? Json(VerdictText(r)) : Json();
  drive["source"] = job.drive.source;
  drive["identified"] = r.identified;
  drive["outcome"] = OutcomeText(r.outcome());
  drive["copiesVerified"] = r.copiesVerified;
  drive["backups"] = r.backups;
  drive["seconds"] = r.seconds;
  drive["failure"] = r.failure.empty() ? Json() : Json(r.failure);
  if (r.identified) {
    Json slot = SlotJson(r.slot, r.healthyBefore);
    slot.erase("letter");
    slot.erase("verdict");
    drive.update(slot);
  }
  return drive;
}

// The run's own boxes come first (the question), then each drive's, in
// letter order; each names its drive.
void PrintJson(std::ostream& out, const ConsoleOptions& options, const RunRecord& own,
               const std::vector<std::unique_ptr<DriveJob>>& jobs,
               const std::vector<std::string>& runErrors, int exitCode) {
  Json document = DocumentHead(options);
  Json drives = Json::array();
  std::vector<ShownBox> boxes = own.boxes();
  std::vector<KeptFile> files = own.files();
  std::vector<std::string> errors = own.problems();
  for (const auto& job : jobs) {
    drives.push_back(DriveJson(*job));
    if (!job->record) continue;
    const RunRecord& record = *job->record;
    boxes.insert(boxes.end(), record.boxes().begin(), record.boxes().end());
    files.insert(files.end(), record.files().begin(), record.files().end());
    for (const std::string& problem : record.problems()) {
      errors.push_back(std::string(1, job->drive.letter) + ": " + problem);
    }
  }
  errors.insert(errors.end(), runErrors.begin(), runErrors.end());
  document["drives"] = drives;
  document["messages"] = BoxesJson(boxes);
  document["files"] = FilesJson(files);
  PrintDocument(out, std::move(document), errors, exitCode);
}

int ExitCode(const std::vector<std::unique_ptr<DriveJob>>& jobs) {
  bool found = false;
  bool failed = false;
  bool notAdministrator = false;
  bool cancelled = false;
  for (const auto& job : jobs) {
    switch (job->result.outcome()) {
      case Outcome::kSuccess:
        found = true;
        break;
      case Outcome::kFailed:
        found = true;
        failed = true;
        break;
      case Outcome::kCancelled:
        found = true;
        cancelled = true;
        break;
      case Outcome::kInterrupted:
        found = true;
        break;
      case Outcome::kNotAdministrator:
        notAdministrator = true;
        break;
      case Outcome::kNotFound:
        break;
    }
  }
  if (!found) return notAdministrator ? kExitNotAdministrator : kExitNoDevice;
  if (failed || notAdministrator) return kExitFailure;
  if (cancelled) return kExitCancelled;
  return kExitDone;
}

}  // namespace

void PrintColumns(std::ostream& out, const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()), 0);
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out << line << '\n';
  }
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
          (nodes && DriveLockNode(drives[i].path) == DriveLockNode(drives[j].path))) {
        return std::string("drives ") + drives[i].letter + ": and " + drives[j].letter +
               ": are one drive (" + drives[j].path + ")";
      }
    }
  }
  return {};
}

int RunAllDrives(const AllDrivesRun& run) {
  const ConsoleOptions& options = run.options;
  std::ostream& boxes = options.json ? run.io.err : run.io.out;
  SharedLines lines;
  std::unique_ptr<platform::Platform> host = platform::CreateHostPlatform(run.host);
  RunRecord own(*host);
  std::vector<std::string> errors;
  const std::vector<std::unique_ptr<DriveJob>> none;
  // A run that ends before any drive's thread: the document, or with
  // --quiet one line, says how.
  const auto endEarly = [&](int code) {
    if (options.json) {
      PrintJson(run.io.out, options, own, none, errors, code);
    } else if (options.quiet) {
      run.io.out << CommandName(options.command) << ": " << OutcomeOfExitCode(code) << std::endl;
    }
    return code;
  };
  const auto fail = [&](int code, const std::string& problem) {
    run.io.err << "kestrune: " << problem << std::endl;
    errors.push_back(problem);
    return endEarly(code);
  };

  if (run.drives.empty()) {
    const char* noDevice = "Can't find any device !";
    own.Box(noDevice, kAppTitle, kMbOk, 0);
    if (!options.quiet) boxes << "[" << kAppTitle << "] " << noDevice << std::endl;
    return endEarly(kExitNoDevice);
  }
  // A host that cannot give a drive folders of its own refuses here,
  // before any folder is made.
  if (const std::string refusal = DriveFoldersRefusal(); !refusal.empty()) {
    return fail(kExitUsage, refusal);
  }
  std::vector<std::unique_ptr<DriveJob>> jobs;
  // A run that ends before the drives' threads leaves no empty log behind.
  const auto unmakeLogs = [&jobs] {
    for (const auto& job : jobs) {
      if (job->madeLog) job->platform->DeleteFile(kIspLogPath);
    }
  };
  const RunFolder cDrive =
      OpenRunFolder(run.host.cDrive, run.host.cDriveFolder.empty() ? "." : run.host.cDriveFolder,
                    platform::FolderRule::kShared, "the C: folder");
  const RunFolder work = OpenRunFolder(run.host.work, run.host.tempFolder,
                                       platform::FolderRule::kPrivate, "the work folder");
  // A drive whose folders are refused is left alone and reported failed;
  // the others go on.
  std::vector<const AllDrive*> accepted;
  for (const AllDrive& drive : run.drives) {
    auto job = std::make_unique<DriveJob>(lines, boxes, run.io.err, drive);
    std::string problem;
    if (PrepareDrive(run, cDrive, work, *host, *job, problem)) {
      accepted.push_back(&job->drive);
    } else {
      job->result.refused = true;
      job->result.failure = problem;
      job->err << "kestrune: " << problem << std::endl;
      errors.push_back(std::string(1, drive.letter) + ": " + problem);
    }
    jobs.push_back(std::move(job));
  }

  if (!Confirm(run, accepted, boxes, &own)) {
    unmakeLogs();
    return endEarly(kExitCancelled);
  }

  // One trace file for all drives; its lines carry their letter already.
  std::ofstream traceFile;
  std::mutex traceMutex;
  std::optional<device::TracingVolumes> tracing;
  if (!options.traceFile.empty()) {
    traceFile.open(options.traceFile, std::ios::app);
    if (!traceFile) {
      unmakeLogs();
      return fail(kExitUsage, "cannot write the trace file " + options.traceFile);
    }
    tracing.emplace(run.opener, [&traceFile, &traceMutex](const std::string& line) {
      const std::lock_guard<std::mutex> lock(traceMutex);
      traceFile << line << '\n' << std::flush;
    });
  }
  const Shared shared{options, run.images,
                      tracing ? static_cast<device::VolumeOpener&>(*tracing) : run.opener,
                      run.allowStandInImages};

  std::vector<std::thread> threads;
  threads.reserve(jobs.size());
  for (auto& job : jobs) {
    DriveJob* one = job.get();
    if (one->result.refused) continue;
    try {
      threads.emplace_back([one, &shared] { RunDrive(*one, shared); });
    } catch (const std::system_error& e) {
      one->result.administrator = true;
      one->result.failureShown = true;
      one->result.failure = std::string("no thread for the drive: ") + e.what();
    }
  }
  for (std::thread& thread : threads) thread.join();
  const int code = platform::InterruptReceived() ? kExitInterrupted : ExitCode(jobs);

  if (options.json) {
    PrintJson(run.io.out, options, own, jobs, errors, code);
  } else {
    PrintSummary(run.io.out, options.command, jobs);
  }
  return code;
}

}  // namespace kestrune::console
