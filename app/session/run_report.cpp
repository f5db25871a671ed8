#include "app/session/run_report.h"

namespace kestrune::session {

namespace {

constexpr const char* kUnsavedText = "the flash of the virtual drive could not be saved";
constexpr const char* kNoOutcomeText = "the operation ended without an outcome";

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// An operation with no outcome yet was cut off when its job is still under
// way; one that ended without any is taken for a failure, never a success.
Outcome Reached(Outcome outcome, bool finished) {
  if (outcome != Outcome::kNone) return outcome;
  return finished ? Outcome::kFailed : Outcome::kInterrupted;
}

// What the scan, the first report, learned of the drive.
void TakeScan(DriveSummary& summary, const Report& report) {
  summary.administrator = report.administrator;
  summary.drive = report.drive;
  summary.healthy = report.healthy;
  summary.ispOffsets = report.ispOffsets;
  summary.codeNotLoaded = report.codeNotLoaded;
}

// The last change of the job was done and no failure came after: a fix or
// restore wrote every copy and read each back equal; a destroy said it
// was done. What its outcome shows, or null.
const char* ChangeStands(const std::vector<Report>& reports) {
  for (size_t i = reports.size(); i-- > 0;) {
    const Report& report = reports[i];
    const bool fix = report.operation == "fix";
    const bool restore = report.operation == "restore";
    if (!fix && !restore && report.operation != "destroy") continue;
    if (!report.failure.empty() || IsFailure(report.outcome)) return nullptr;
    if (!fix && !restore) return report.outcome == Outcome::kSuccess ? kDestroyStandsText : nullptr;
    if (report.copiesWritten == 0 || report.copiesVerified != report.copiesWritten) return nullptr;
    return fix ? kRepairStandsText : kRestoreStandsText;
  }
  return nullptr;
}

}  // namespace

DriveSummary Summarize(const DriveWork& job, bool named, HeldText heldText) {
  DriveSummary summary;
  summary.letter = job.letter;
  summary.source = job.source;
  summary.port = job.port;
  summary.serial = job.serial;
  summary.stick = job.stick;
  summary.seconds = job.seconds;
  summary.noSuchEntry = job.noSuchEntry;
  Report whole;
  if (!job.refusal.empty()) {
    Settle(whole, Outcome::kFailed, job.refusal);
  } else if (job.reports.empty()) {
    Settle(whole, Reached(Outcome::kNone, job.finished), kNoOutcomeText);
  }
  for (size_t i = 0; i < job.reports.size() && job.refusal.empty(); ++i) {
    const Report& report = job.reports[i];
    Outcome outcome = Reached(report.outcome, job.finished);
    std::string failure = report.outcome == Outcome::kNone ? kNoOutcomeText : report.failure;
    if (i == 0) {
      TakeScan(summary, report);
      // A letter the run was asked to act on is not simply missing when
      // another run holds its drive.
      summary.held = outcome == Outcome::kNotFound && !report.held.empty();
      if (summary.held && named) {
        outcome = Outcome::kFailed;
        failure = heldText(report.held.front());
      }
    }
    Settle(whole, outcome, failure);
    summary.copiesWritten += report.copiesWritten;
    summary.copiesVerified += report.copiesVerified;
    for (const KeptFile& file : report.files) summary.backups += file.kind == FileKind::kBackup;
    summary.warnings.insert(summary.warnings.end(), report.warnings.begin(), report.warnings.end());
    if (report.restoreSource) summary.restoreSource = report.restoreSource;
    if (report.image) summary.image = report.image;
  }
  if (job.refusal.empty()) summary.states = StatesOf(job.reports);
  if (job.unsaved) Settle(whole, Outcome::kFailed, kUnsavedText);
  // A job still under way is told of only when an interrupt ends the run at
  // once: its work was cut short, whatever it had settled so far.
  // A job refused never runs, and is never cut short by finishing late.
  const bool cut = job.interrupted || (!job.finished && job.refusal.empty());
  if (cut && job.refusal.empty()) Settle(whole, Outcome::kInterrupted);
  summary.outcome = whole.outcome;
  summary.interrupted = cut || whole.outcome == Outcome::kInterrupted;
  if (summary.outcome == Outcome::kInterrupted) summary.changeStands = ChangeStands(job.reports);
  summary.failure = FirstLine(whole.failure);
  return summary;
}

int ExitCode(const std::vector<DriveSummary>& drives) {
  bool found = false;
  bool failed = false;
  bool missing = false;
  bool held = false;
  bool notAdministrator = false;
  bool cancelled = false;
  for (const DriveSummary& drive : drives) {
    if (drive.interrupted) return kExitInterrupted;
  }
  for (const DriveSummary& drive : drives) {
    if (drive.noSuchEntry) return kExitUsage;
    switch (drive.outcome) {
      case Outcome::kSuccess:
      case Outcome::kInterrupted:
        found = true;
        break;
      case Outcome::kCancelled:
        found = true;
        cancelled = true;
        break;
      case Outcome::kNone:
      case Outcome::kFailed:
      case Outcome::kRefused:
        failed = true;
        break;
      case Outcome::kNotAdministrator:
        notAdministrator = true;
        break;
      case Outcome::kNotFound:
        missing = true;
        held = held || drive.held;
        break;
    }
  }
  if (!found && !failed) {
    if (notAdministrator) return kExitNotAdministrator;
    return held ? kExitHeld : kExitNoDevice;
  }
  if (failed || notAdministrator || missing) return kExitFailure;
  if (cancelled) return kExitCancelled;
  return kExitDone;
}

}  // namespace kestrune::session
