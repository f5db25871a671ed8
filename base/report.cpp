#include "base/report.h"

#include "base/program.h"

namespace kestrune {

namespace {

// How much an outcome weighs when another comes on top of it.
int Weight(Outcome outcome) {
  switch (outcome) {
    case Outcome::kNone:
      return 0;
    case Outcome::kSuccess:
      return 1;
    case Outcome::kNotFound:
      return 2;
    case Outcome::kCancelled:
      return 3;
    case Outcome::kInterrupted:
      return 4;
    case Outcome::kFailed:
    case Outcome::kRefused:
    case Outcome::kNotAdministrator:
      return 5;
  }
  return 5;
}

// The files a box names, each with where it is on this host.
std::vector<BoxFile> BoxFiles(Program& p, const NamedFiles& files) {
  std::vector<BoxFile> named;
  for (const std::string& name : files.paths) named.push_back({name, p.HostPathOf(name)});
  return named;
}

// The letter of the selected drive, once the scan has put one there.
char SelectedLetter(Program& p) {
  if (p.selectedDrive >= kSlotCount) return 0;
  const char letter = p.Selected().letter;
  return letter >= 'A' && letter <= 'Z' ? letter : 0;
}

}  // namespace

const char* OutcomeText(Outcome outcome) {
  switch (outcome) {
    case Outcome::kNone:
      return "";
    case Outcome::kSuccess:
      return "success";
    case Outcome::kFailed:
      return "failed";
    case Outcome::kRefused:
      return "refused";
    case Outcome::kCancelled:
      return "cancelled";
    case Outcome::kInterrupted:
      return "interrupted";
    case Outcome::kNotFound:
      return "not found";
    case Outcome::kNotAdministrator:
      return "not administrator";
  }
  return "";
}

void Reports::Begin(std::string operation, char letter) {
  const std::lock_guard<std::mutex> lock(mutex_);
  Report& report = reports_.emplace_back();
  report.operation = std::move(operation);
  report.letter = letter;
}

std::vector<Report> Reports::Snapshot() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return reports_;
}

void Settle(Report& report, Outcome outcome, const std::string& failure) {
  // Among failures the first decides; anything else gives way to a heavier
  // outcome only.
  if (Weight(outcome) <= Weight(report.outcome)) return;
  report.outcome = outcome;
  if (IsFailure(outcome)) report.failure = failure;
}

void BeginReport(Program& p, const char* operation) {
  p.reports->Begin(operation, SelectedLetter(p));
  p.link.MarkFailures();
  const uint64_t asked = p.link.CommandsAsked();
  p.reports->Update([asked](Report& report) { report.commandsBefore = asked; });
}

FailureCause ExplainFailure(const std::optional<device::CommandAnswer>& last, uint64_t before,
                            const std::optional<device::CommandAnswer>& firstFailed) {
  FailureCause cause;
  if (!last || last->number <= before) {
    cause.line = "Why: no command to the drive failed (none was sent for this)";
    return cause;
  }
  const bool lastFailed = !last->sent || !last->result.Complete();
  const bool earlierFailed = !lastFailed && firstFailed && firstFailed->number > before;
  const device::CommandAnswer& named = earlierFailed ? *firstFailed : *last;
  cause.command = named;
  cause.line = lastFailed || earlierFailed
                   ? "Why: " + device::CommandName(named) + " " + device::DescribeAnswer(named)
                   : "Why: no command to the drive failed (the last, " +
                         device::CommandName(named) + ", " + device::DescribeAnswer(named) + ")";
  return cause;
}

bool BeginDriveReport(Program& p, const char* operation) {
  BeginReport(p, operation);
  if (!p.isAdmin) {
    SettleReport(p, Outcome::kNotAdministrator);
    return false;
  }
  if (p.selectedDrive >= kSlotCount) {
    SettleReport(p, Outcome::kNotFound);
    return false;
  }
  return true;
}

int ShowBox(Program& p, const std::string& text, const std::string& caption, unsigned style,
            const NamedFiles& files) {
  std::vector<BoxFile> named = BoxFiles(p, files);
  const int answer = p.view.ShowMessageNaming(text, caption, style, named);
  p.reports->Update([&](Report& report) {
    report.boxes.push_back({caption, text, style, answer, std::nullopt, std::move(named)});
  });
  return answer;
}

void Fail(Program& p, Outcome outcome, const std::string& text, const std::string& caption,
          unsigned style, const NamedFiles& files) {
  // The cause is what the link holds at the failure, before the box.
  uint64_t before = 0;
  p.reports->Update([&](Report& report) { before = report.commandsBefore; });
  Fail(p, outcome, text, caption, style,
       ExplainFailure(p.link.LastCommand(), before, p.link.FirstFailure()), files);
}

void Fail(Program& p, Outcome outcome, const std::string& text, const std::string& caption,
          unsigned style, const FailureCause& why, const NamedFiles& files) {
  std::vector<BoxFile> named = BoxFiles(p, files);
  const int answer = p.view.ShowMessageNaming(text, caption, style, named);
  if (ReportObserver* observer = p.reports->observer()) observer->Explained(why);
  p.log.AppendLog(why.line.c_str());
  p.reports->Update([&](Report& report) {
    report.boxes.push_back({caption, text, style, answer, why, std::move(named)});
    if (p.failuresWarn) {
      report.warnings.push_back(text);
    } else {
      Settle(report, outcome, text);
    }
  });
}

FailuresWarn::FailuresWarn(Program& p, bool when) : p_(p), was_(p.failuresWarn) {
  p_.failuresWarn = was_ || when;
}

FailuresWarn::~FailuresWarn() { p_.failuresWarn = was_; }

void Warn(Program& p, const std::string& text, const std::string& caption, unsigned style,
          const NamedFiles& files) {
  ShowBox(p, text, caption, style, files);
  p.reports->Update([&](Report& report) { report.warnings.push_back(text); });
}

void SettleReport(Program& p, Outcome outcome) {
  p.reports->Update([&](Report& report) { Settle(report, outcome); });
}

void ReportStep(Program& p, StepKind kind, StepState state, const std::string& text, int done,
                int total) {
  ReportStep(p, {SelectedLetter(p), kind, state, text, done, total});
}

void ReportStep(Program& p, const StepEvent& step) {
  // A step's failure is its own: one an earlier step met and got past
  // (a backup read again) is not its cause.
  if (step.state == StepState::kStarted) p.link.MarkFailures();
  if (ReportObserver* observer = p.reports->observer()) observer->Step(step);
}

void ReportFile(Program& p, const KeptFile& file) {
  p.reports->Update([&](Report& report) { report.files.push_back(file); });
  if (ReportObserver* observer = p.reports->observer()) observer->FileKept(file);
}

std::string ImageLine(const WrittenImage& image) {
  return "ISP image: " + image.file + ", SHA-256 " + image.sha256 + " (" + image.row + ")";
}

void ReportImage(Program& p, const WrittenImage& image) {
  p.reports->Update([&](Report& report) { report.image = image; });
  if (ReportObserver* observer = p.reports->observer()) observer->ImageChosen(image);
}

void ReportCopies(Program& p, int written, int verified) {
  p.reports->Update([&](Report& report) {
    report.copiesWritten += written;
    report.copiesVerified += verified;
  });
}

void ReportArea(Program& p, int copy, bool aux, CopyState state) {
  p.reports->Update([&](Report& report) {
    for (AreaState& area : report.areas) {
      if (area.copy == copy && area.aux == aux) {
        area.state = state;
        return;
      }
    }
    report.areas.push_back({copy, aux, state});
  });
}

void ReportHeld(Program& p, char letter, const std::string& holder) {
  bool told = false;
  p.reports->Update([&](Report& report) {
    for (const HeldDrive& held : report.held) told = told || held.letter == letter;
    if (!told) report.held.push_back({letter, holder});
  });
  if (told) return;
  if (ReportObserver* observer = p.reports->observer()) observer->DriveHeld({letter, holder});
}

}  // namespace kestrune
