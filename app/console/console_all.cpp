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
#include <nlohmann/json.hpp>
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
#include "app/console/console_view.h"
#include "app/dialog.h"
#include "app/isp_log.h"
#include "device/link.h"
#include "device/trace.h"
#include "device/volume_map.h"
#include "discovery/program.h"
#include "operations/operations.h"
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
  DriveView(std::ostream& boxes, std::istream& in, std::ostream& err, DriveResult& result)
      : ConsoleView(boxes, in, err, Answering::kAlwaysOk), result_(result) {}

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
  DriveResult result;
};

// What every drive's thread reads and none changes.
struct Shared {
  const ConsoleOptions& options;
  std::shared_ptr<const ImageSet> images;
  device::VolumeOpener& opener;
};

// A fixed-size text field of the drive, up to its first NUL, without the
// blanks that pad it.
std::string FieldText(const char* field, size_t size) {
  std::string text = PrintableText(std::string_view(field, strnlen(field, size)));
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// "-" when the drive gave none: the slot then holds its empty fill.
std::string FlashIdText(const DriveSlot& slot) {
  if (slot.hasFlashId == 0) return "-";
  std::string text;
  for (uint8_t byte : slot.flashId) {
    char piece[4];
    std::snprintf(piece, sizeof piece, "%02X", byte);
    text += piece;
  }
  return text;
}

std::string ControllerText(const DriveSlot& slot) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%03X", static_cast<unsigned>(slot.controllerId));
  return text;
}

std::string CapacityText(const DriveSlot& slot) {
  uint64_t bytes = 0;
  if (slot.sectorCount != kNoSectorCount) {
    bytes = static_cast<uint64_t>(slot.sectorCount) * slot.sectorSize;
  }
  char text[48];
  std::snprintf(text, sizeof text, "%.2fMB", static_cast<double>(bytes) / 1024.0 / 1024.0);
  return text;
}

void RunDrive(DriveJob& job, const Shared& shared) {
  const Clock::time_point start = Clock::now();
  DriveResult& r = job.result;
  try {
    std::istringstream noInput;
    DriveView view(job.boxes, noInput, job.err, r);
    // This drive's program sees its own letter only, so its scan finds
    // exactly this drive.
    device::VolumeMap own;
    own.Map(job.drive.letter, shared.opener);
    device::DeviceLink link(own);
    IspLog log(*job.platform);
    Program program(*job.platform, link, log, view);
    program.images = shared.images;
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
    job.err << "kestrune: cannot save the flash of the virtual drive " << job.drive.source
            << std::endl;
  }
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  job.boxesBuffer.Finish();
  job.errBuffer.Finish();
}

// A folder of the drive's own inside one of the run's. One that is there
// must be a real folder: a link would send the drive's files elsewhere.
bool MakeDriveFolder(const std::string& path, bool privateFolder, std::string& problem) {
  std::error_code error;
  const fs::file_status status = fs::symlink_status(path, error);
  if (fs::exists(status)) {
    if (fs::is_directory(status)) return true;
    problem = path + " is in the way: it is not a folder";
    return false;
  }
  if (!fs::create_directory(path, error)) {
    problem = "cannot create the folder " + path + ": " + error.message();
    return false;
  }
  if (privateFolder) fs::permissions(path, fs::perms::owner_all, fs::perm_options::replace, error);
  if (error) {
    problem = "cannot make the folder " + path + " private: " + error.message();
    return false;
  }
  return true;
}

// The drive's C: folder and work folder, its platform, and its log when
// the run's C: folder holds ISP.log. False with `problem` set.
bool PrepareDrive(const AllDrivesRun& run, platform::Platform& host, DriveJob& job,
                  std::string& problem) {
  const char letter[2] = {job.drive.letter, '\0'};
  platform::PosixOptions options = run.host;
  options.cDriveFolder =
      (run.host.cDriveFolder.empty() ? "." : run.host.cDriveFolder) + "/" + letter;
  options.tempFolder = run.host.tempFolder + "/" + letter;
  // A host that cannot give a drive folders of its own refuses here,
  // before any folder is made.
  const bool verbose = run.options.verbose;
  std::ostream* err = &job.err;
  job.platform = MakeDrivePlatform(
      options,
      [verbose, err](const char* text) {
        if (verbose) *err << text;
      },
      problem);
  if (!job.platform) return false;
  if (!MakeDriveFolder(options.cDriveFolder, false, problem)) return false;
  if (!MakeDriveFolder(options.tempFolder, true, problem)) return false;
  // The drive's work folder passes the checks the run's own passed.
  if (!platform::PrepareWorkFolder(options, problem)) return false;

  // The log is on for a drive when it is on for the run: the drive's log
  // starts only where its file exists.
  if (host.FindFile(kIspLogPath) && !job.platform->FindFile(kIspLogPath)) {
    if (!job.platform->OpenFile(kIspLogPath, platform::OpenMode::kCreateNew)) {
      problem = "cannot create " + job.platform->HostPath(kIspLogPath) + ": " +
                job.platform->LastErrorText();
      return false;
    }
  }
  return true;
}

// The one question for every drive, before any is touched. True for OK;
// commands that change no drive ask nothing.
bool Confirm(const AllDrivesRun& run, std::ostream& boxes) {
  const Command command = run.options.command;
  if (command != Command::kFix && command != Command::kDestroy) return true;
  const bool fix = command == Command::kFix;
  boxes << (fix ? "Drives to fix:" : "Drives whose ISP to destroy:") << '\n';
  for (const AllDrive& drive : run.drives) {
    boxes << "  " << drive.letter << ": " << drive.source << '\n';
  }
  const Answering answering = run.options.yes          ? Answering::kAlwaysOk
                              : run.io.inputIsTerminal ? Answering::kAsk
                                                       : Answering::kNeverAsk;
  ConsoleView asker(boxes, run.io.in, run.io.err, answering);
  const std::string count = std::to_string(run.drives.size());
  const std::string text =
      fix ? "Are you sure to update new ISP code on these " + count + " drives ?"
          : "Are you sure to destroy the ISP of these " + count + " drives ?";
  return asker.ShowMessage(text, fix ? "Update ISP Warning" : "Destory ISP Warning",
                           kMbOkCancel | kMbIconExclamation | kMbTopmost) == kIdOk;
}

const char* CommandName(Command command) {
  switch (command) {
    case Command::kScan:
      return "scan";
    case Command::kFix:
      return "fix";
    case Command::kDestroy:
      return "destroy";
    case Command::kBackup:
      return "backup";
    default:
      return "";
  }
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
      rows.push_back({std::string(1, job->drive.letter) + ":", VerdictText(r), CapacityText(s),
                      FieldText(s.vendorId, sizeof s.vendorId - 1),
                      FieldText(s.productId, sizeof s.productId - 1), ControllerText(s),
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

nlohmann::json DriveJson(const DriveJob& job) {
  const DriveResult& r = job.result;
  nlohmann::json drive;
  drive["letter"] = std::string(1, job.drive.letter);
  drive["source"] = job.drive.source;
  drive["identified"] = r.identified;
  drive["outcome"] = OutcomeText(r.outcome());
  drive["verdictBefore"] = r.identified ? nlohmann::json(VerdictText(r)) : nlohmann::json();
  drive["copiesVerified"] = r.copiesVerified;
  drive["backups"] = r.backups;
  drive["seconds"] = r.seconds;
  drive["failure"] = r.failure.empty() ? nlohmann::json() : nlohmann::json(r.failure);
  if (r.identified) {
    const DriveSlot& s = r.slot;
    drive["line"] = FormatDriveLine(s);
    drive["controllerId"] = ControllerText(s);
    drive["vendorId"] = FieldText(s.vendorId, sizeof s.vendorId - 1);
    drive["productId"] = FieldText(s.productId, sizeof s.productId - 1);
    drive["flashId"] = FlashIdText(s);
    drive["capacity"] = CapacityText(s);
  }
  return drive;
}

void PrintJson(std::ostream& out, Command command, bool cancelled,
               const std::vector<std::unique_ptr<DriveJob>>& jobs) {
  nlohmann::json document;
  document["command"] = CommandName(command);
  document["cancelled"] = cancelled;
  nlohmann::json drives = nlohmann::json::array();
  for (const auto& job : jobs) drives.push_back(DriveJson(*job));
  document["drives"] = drives;
  out << document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
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

std::string PrintableText(std::string_view text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    shown.push_back(byte >= 0x20 && byte < 0x7F ? c : '?');
  }
  return shown;
}

bool DrivesAreDistinct(const std::vector<DriveArgument>& drives, std::ostream& err) {
  for (size_t i = 0; i < drives.size(); ++i) {
    for (size_t j = i + 1; j < drives.size(); ++j) {
      std::error_code error;
      // Links are followed: a by-id link and its node are one drive.
      if (fs::equivalent(drives[i].path, drives[j].path, error) && !error) {
        err << "kestrune: drives " << drives[i].letter << ": and " << drives[j].letter
            << ": are one drive (" << drives[j].path << ")" << std::endl;
        return false;
      }
    }
  }
  return true;
}

int RunAllDrives(const AllDrivesRun& run) {
  const ConsoleOptions& options = run.options;
  std::ostream& boxes = options.json ? run.io.err : run.io.out;
  SharedLines lines;

  std::vector<std::unique_ptr<DriveJob>> jobs;
  if (run.drives.empty()) {
    boxes << "[" << kAppTitle << "] Can't find any device !" << std::endl;
    if (options.json) PrintJson(run.io.out, options.command, false, jobs);
    return kExitNoDevice;
  }
  std::unique_ptr<platform::Platform> host = platform::CreateHostPlatform(run.host);
  for (const AllDrive& drive : run.drives) {
    auto job = std::make_unique<DriveJob>(lines, boxes, run.io.err, drive);
    std::string problem;
    if (!PrepareDrive(run, *host, *job, problem)) {
      run.io.err << "kestrune: " << problem << std::endl;
      return kExitUsage;
    }
    jobs.push_back(std::move(job));
  }

  if (!Confirm(run, boxes)) {
    if (options.json) PrintJson(run.io.out, options.command, true, {});
    return kExitCancelled;
  }

  // One trace file for all drives; its lines carry their letter already.
  std::ofstream traceFile;
  std::mutex traceMutex;
  std::optional<device::TracingVolumes> tracing;
  if (!options.traceFile.empty()) {
    traceFile.open(options.traceFile, std::ios::app);
    if (!traceFile) {
      run.io.err << "kestrune: cannot write the trace file " << options.traceFile << std::endl;
      return kExitUsage;
    }
    tracing.emplace(run.opener, [&traceFile, &traceMutex](const std::string& line) {
      const std::lock_guard<std::mutex> lock(traceMutex);
      traceFile << line << '\n' << std::flush;
    });
  }
  const Shared shared{options, run.images,
                      tracing ? static_cast<device::VolumeOpener&>(*tracing) : run.opener};

  std::vector<std::thread> threads;
  threads.reserve(jobs.size());
  for (auto& job : jobs) {
    DriveJob* one = job.get();
    try {
      threads.emplace_back([one, &shared] { RunDrive(*one, shared); });
    } catch (const std::system_error& e) {
      one->result.administrator = true;
      one->result.failureShown = true;
      one->result.failure = std::string("no thread for the drive: ") + e.what();
    }
  }
  for (std::thread& thread : threads) thread.join();
  const bool interrupted = platform::InterruptReceived();

  if (options.json) {
    PrintJson(run.io.out, options.command, false, jobs);
  } else {
    PrintSummary(run.io.out, options.command, jobs);
  }
  return interrupted ? kExitInterrupted : ExitCode(jobs);
}

}  // namespace kestrune::console
