#include "app/console/console_end.h"

#include <ostream>
#include <set>
#include <sstream>
#include <utility>

#include "app/console/console_json.h"
#include "app/console/console_live.h"
#include "app/console/console_summary.h"
#include "app/console/console_view.h"
#include "platform/platform.h"

namespace kestrune::console {

namespace {

std::string LetterPrefix(char letter) {
  return letter != 0 ? std::string(1, letter) + ": " : std::string();
}

const char* VerdictText(const DriveSummary& drive) { return drive.healthy ? "healthy" : "broken"; }

// What a restore wrote, or was about to: its save and each file's area.
Json RestoreJson(const DriveSummary& d) {
  if (!d.restoreSource) return Json();
  const RestoreSource& r = *d.restoreSource;
  Json files = Json::array();
  for (const RestoreFile& file : r.files) {
    files.push_back(
        {{"file", file.file}, {"copy", file.copy}, {"area", file.aux ? "auxiliary" : "ISP"}});
  }
  if (r.save.empty()) return Json{{"save", nullptr}, {"files", std::move(files)}};
  return Json{{"save", r.save},       {"command", r.command}, {"role", r.role},
              {"savedAt", r.savedAt}, {"source", r.source},   {"files", std::move(files)}};
}

// How a drive's run went: where it stands and what the command did to it,
// alike with one drive and with --all.
Json DriveRunJson(const DriveSummary& d) {
  Json drive = Json::object();
  drive["source"] = d.source;
  drive.update(PlaceJson(d.port, d.serial, d.stick));
  drive["identified"] = d.drive.has_value();
  drive["outcome"] = d.changeStands != nullptr ? d.changeStands : OutcomeText(d.outcome);
  drive["copiesWritten"] = d.copiesWritten;
  drive["copiesVerified"] = d.copiesVerified;
  drive["backups"] = d.backups;
  drive["seconds"] = d.seconds;
  drive["failure"] = d.failure.empty() ? Json() : Json(d.failure);
  drive["warnings"] = d.warnings;
  drive["codeNotLoaded"] = d.codeNotLoaded.empty() ? Json() : Json(d.codeNotLoaded);
  drive["image"] =
      d.image ? Json{{"file", d.image->file}, {"row", d.image->row}, {"sha256", d.image->sha256}}
              : Json();
  return drive;
}

Json AllDriveJson(const DriveSummary& d) {
  Json drive = Json::object();
  drive["letter"] = std::string(1, d.letter);
  drive["verdict"] = d.drive ? Json(VerdictText(d)) : Json();
  drive.update(DriveRunJson(d));
  if (d.restoreSource) drive["restore"] = RestoreJson(d);
  if (d.drive) {
    Json slot = SlotJson(*d.drive, d.healthy, d.states);
    slot.erase("letter");
    slot.erase("verdict");
    drive.update(slot);
  }
  return drive;
}

// The scan's table of a single-drive run: the drive it identified, or none.
void AddScanTable(Json& document, const DriveSummary& d) {
  Json drives = Json::array();
  if (d.drive) {
    Json drive = Json::object();
    drive["index"] = 0;
    Json slot = SlotJson(*d.drive, d.healthy, d.states);
    drive["letter"] = slot["letter"];
    drive["verdict"] = slot["verdict"];
    drive.update(DriveRunJson(d));
    drive.update(slot);
    drives.push_back(std::move(drive));
  }
  document["drives"] = drives;
  document["selectedDrive"] = d.drive ? Json(0) : Json();
  document["ispHealthy"] = d.drive.has_value() && d.healthy;
  document["isAdmin"] = d.administrator;
  document["ispOffsets"] = d.ispOffsets;
}

}  // namespace

DriveSummary Summarize(const JobState& job, bool named) {
  return session::Summarize(job, named, HeldDriveText);
}

RunEnd::RunEnd(const ConsoleOptions& options, const ConsoleStreams& io)
    : session::RunEnd(options.all, HeldDriveText),
      options_(options),
      io_(io),
      terminal_(io.out, io.outputSize) {}

void RunEnd::Say(const std::string& problem) { terminal_.Line(io_.err, "kestrune: " + problem); }

void RunEnd::AddToDocument(const std::string& key, Json value) {
  const std::lock_guard<std::mutex> hold(lock());
  extras_[key] = std::move(value);
}

void RunEnd::PrintDrive(const JobState& job, const DriveSummary& drive) {
  // The question of the run belongs to the summary, not to each drive.
  PrintDocument({job}, {drive}, ExitCode({drive}), false);
}

void RunEnd::SayInterrupt(const std::string& line) {
  interruptSaid_ = true;
  terminal_.Line(io_.err, line);
}

int RunEnd::LastWords() {
  // The boxes the drives earned first, as their jobs would have shown them.
  terminal_.ShowAllHeldText();
  if (!interruptSaid_) SayInterrupt(kInterruptStopNotice);
  // The drives' threads write no more lines: this is the run's last word.
  terminal_.StopOtherWriters();
  return End(kExitInterrupted);
}

void RunEnd::Print(const std::vector<JobState>& jobs, int code) {
  std::vector<DriveSummary> drives;
  drives.reserve(jobs.size());
  for (const JobState& job : jobs) drives.push_back(Summarize(job, options_.all));
  if (options_.json) {
    PrintDocument(jobs, drives, code);
  } else if (options_.all && ran()) {
    // The summary of --all is its last word, with --quiet too.
    std::ostringstream summary;
    PrintSummary(summary, options_.command, drives, terminal_.Columns());
    terminal_.LastWord(io_.out, summary.str());
  } else if (options_.quiet || (code == kExitInterrupted && !RowShown())) {
    // The quiet run's last line, and that of an interrupted run without a
    // live row: what the drive's row and the document say of it, not a
    // second reading of the code.
    std::ostringstream line;
    const bool one = !options_.all && !drives.empty() && drives.front().drive;
    if (one) {
      // The verdict is the scan's, before the command acted: labelled so,
      // it is not read as what a fix left.
      line << drives.front().drive->letter << ": scan found ISP " << VerdictText(drives.front())
           << "; ";
    }
    line << CommandName(options_.command) << ": "
         << LastOutcome(one ? &drives.front() : nullptr, code);
    terminal_.LastWord(io_.out, line.str() + '\n');
  }
}

bool RunEnd::RowShown() const {
  return options_.command == Command::kFix && LiveTableWanted(options_, io_);
}

void RunEnd::PrintDocument(const std::vector<JobState>& jobs,
                           const std::vector<DriveSummary>& drives, int code, bool ownBoxes) {
  Json document = DocumentHead(options_);
  // A stick's line names its port and serial, so that a line is read
  // without its drives' table.
  if (!ownBoxes) {
    document["watch"] = "drive";
    if (!drives.empty()) {
      const DriveSummary& stick = drives.front();
      document.update(PlaceJson(stick.port, stick.serial, stick.stick));
    }
  }
  std::vector<DriveBox> boxes;
  if (ownBoxes) {
    for (const ShownBox& box : session::RunEnd::ownBoxes()) boxes.push_back({0, box});
  }
  std::vector<DriveFile> files;
  std::vector<std::string> errors;
  Json table = Json::array();
  for (size_t i = 0; i < jobs.size(); ++i) {
    const JobState& job = jobs[i];
    const std::string prefix = LetterPrefix(job.letter);
    for (const Report& report : job.reports) {
      // A box that tells to pull the stick is shown once its command is
      // over (ConsoleView holds it): the document keeps that order.
      for (const bool replug : {false, true}) {
        for (const ShownBox& box : report.boxes) {
          if (((box.style & kBoxTellsReplug) != 0) == replug) boxes.push_back({job.letter, box});
        }
      }
      for (const HeldDrive& held : report.held) errors.push_back(prefix + HeldDriveText(held));
    }
    // A job whose folders were let go measured its files as it did so.
    const std::vector<DriveFile> kept =
        job.files != nullptr ? MeasureKeptFiles(*job.files, job.letter, job.reports) : job.measured;
    files.insert(files.end(), kept.begin(), kept.end());
    if (!job.refusal.empty()) errors.push_back(prefix + job.refusal);
    for (const std::string& problem : job.problems) errors.push_back(prefix + problem);
    if (options_.all) {
      table.push_back(AllDriveJson(drives[i]));
    } else if (!job.reports.empty()) {
      AddScanTable(document, drives[i]);
      if (drives[i].restoreSource) document["restore"] = RestoreJson(drives[i]);
    }
  }
  if (ownBoxes) errors.insert(errors.end(), problems().begin(), problems().end());
  // With --all, the drives once their work began; before, and without a
  // scan, none. A list that ended before it read sysfs lists no disk.
  if (options_.command == Command::kList) {
    document["devices"] = Json::array();
  } else if (options_.command == Command::kBackups) {
    document["sticks"] = Json::array();
  } else if (options_.all) {
    document["drives"] = ran() ? table : Json::array();
  } else if (!document.contains("drives")) {
    document["drives"] = Json::array();
  }
  document.update(extras_);
  document["messages"] = BoxesJson(boxes);
  document["files"] = FilesJson(files);
  // watch --json: JSON Lines, one document a line.
  std::ostringstream text;
  ::kestrune::console::PrintDocument(text, std::move(document), errors, code,
                                     options_.watch ? -1 : 2);
  // The run's own document is its last word; a drive's is one line of a
  // watch.
  if (ownBoxes) {
    terminal_.LastWord(io_.out, text.str());
  } else {
    terminal_.Text(io_.out, text.str());
  }
}

std::string LastOutcome(const DriveSummary* drive, int code) {
  // Before its command ran the drive has no outcome of its own.
  if (drive == nullptr || drive->outcome == Outcome::kNone) return OutcomeOfExitCode(code);
  std::string text = OutcomeShown(*drive);
  if (code == kExitInterrupted && text.rfind(OutcomeOfExitCode(code), 0) != 0) {
    text += "; interrupted";
  }
  return text;
}

std::string OutcomeShown(const DriveSummary& drive) {
  std::string text =
      drive.changeStands != nullptr ? drive.changeStands : OutcomeText(drive.outcome);
  const size_t warnings = drive.warnings.size();
  if (warnings > 0) {
    text += " (" + std::to_string(warnings) + (warnings == 1 ? " warning)" : " warnings)");
  }
  return text;
}

}  // namespace kestrune::console
