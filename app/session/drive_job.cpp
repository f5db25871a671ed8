#include "app/session/drive_job.h"

#include <cstdio>
#include <exception>
#include <istream>
#include <ostream>
#include <sstream>

#include "app/drive_session.h"
#include "base/program.h"
#include "device/link.h"
#include "device/volume_map.h"
#include "log/isp_log.h"
#include "operations/flash_map.h"
#include "operations/operations.h"
#include "platform/text.h"
#include "recording/replay.h"
#include "simulator/virtual_drive.h"

namespace kestrune::session {

namespace {

using Clock = std::chrono::steady_clock;

// The view, and the live table's row when there is one: the row then
// shows the steps, which the view's lines would only repeat.
class BothObservers : public ReportObserver {
 public:
  BothObservers(ReportObserver& first, ReportObserver* second) : first_(first), second_(second) {}
  void Step(const StepEvent& step) override {
    if (second_ != nullptr) {
      second_->Step(step);
    } else {
      first_.Step(step);
    }
  }
  void FileKept(const KeptFile& file) override {
    first_.FileKept(file);
    if (second_ != nullptr) second_->FileKept(file);
  }
  void DriveHeld(const HeldDrive& drive) override {
    first_.DriveHeld(drive);
    if (second_ != nullptr) second_->DriveHeld(drive);
  }
  // The line goes under the box, which only the view shows.
  void Explained(const FailureCause& why) override { first_.Explained(why); }
  void ImageChosen(const WrittenImage& image) override { first_.ImageChosen(image); }

 private:
  ReportObserver& first_;
  ReportObserver* second_;
};

// The observer goes with the view it is part of; the reports live on.
class ObserverScope {
 public:
  ObserverScope(Reports& reports, ReportObserver& observer) : reports_(reports) {
    reports_.SetObserver(&observer);
  }
  ~ObserverScope() { reports_.SetObserver(nullptr); }
  ObserverScope(const ObserverScope&) = delete;
  ObserverScope& operator=(const ObserverScope&) = delete;

 private:
  Reports& reports_;
};

constexpr unsigned kMbTypeMask = 0xF;
constexpr unsigned kMbIconMask = 0xF0;

}  // namespace

bool ShownWhenQuiet(unsigned style, Answering answering) {
  // A question must be seen to be answered, and one answered Cancel for
  // want of a terminal says what was not done.
  if ((style & kMbTypeMask) == kMbOkCancel) return answering != Answering::kAlwaysOk;
  const unsigned icon = style & kMbIconMask;
  return icon == kMbIconError || icon == kMbIconExclamation;
}

std::string IdentityLine(const DriveSlot& slot, const DrivePlace& place) {
  const auto known = [](const std::string& text) { return text.empty() ? "unknown" : text; };
  char controller[8];
  std::snprintf(controller, sizeof controller, "0x%03X", static_cast<unsigned>(slot.controllerId));
  const std::string flash =
      slot.hasFlashId != 0
          ? platform::HexText(slot.flashId, sizeof slot.flashId, platform::HexCase::kUpper)
          : "none";
  return std::string("Drive ") + slot.letter + ": " + known(platform::PrintableText(place.source)) +
         ", port " + known(place.port) + ", serial " + known(place.serial) + ", controller " +
         controller + ", flash ID " + flash;
}

bool SelectEntry(DriveSession& session, int entry, size_t named, std::string& problem) {
  const int count = static_cast<int>(session.DriveLines().size());
  if (entry < 0 || entry >= count) {
    problem = "there is no drive-list entry " + std::to_string(entry) + " (the list holds " +
              std::to_string(count) + ")";
    // The list is the scan's: it ends with the first drive identified.
    if (named > static_cast<size_t>(count)) {
      problem += "; the scan lists the drives up to the first one it identifies, so of the " +
                 std::to_string(named) +
                 " drives named the others are not listed: name one drive, or take them all "
                 "with --all";
    }
    return false;
  }
  session.Select(entry);
  return true;
}

DriveJob::DriveJob(char letter, std::string source, std::ostream& boxes, std::ostream& err)
    : letter_(letter), source_(std::move(source)), boxes_(boxes), err_(err) {}

void DriveJob::Refuse(const std::string& why) {
  err_ << "kestrune: " << why << std::endl;
  const std::lock_guard<std::mutex> lock(mutex_);
  refusal_ = why;
}

bool DriveJob::refused() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return !refusal_.empty();
}

void DriveJob::Problem(const std::string& text) {
  err_ << "kestrune: " << text << std::endl;
  const std::lock_guard<std::mutex> lock(mutex_);
  problems_.push_back(text);
}

void DriveJob::Run(const JobSetup& setup) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    started_ = true;
    start_ = Clock::now();
  }
  try {
    const std::unique_ptr<JobView> shown =
        setup.front.MakeView(boxes_, Input(), err_, answering, setup.request.quiet || quiet);
    JobView& view = *shown;
    if (gate != nullptr) {
      // The save the question names, as the restore told it before asking.
      view.SetQuestionGate([this] {
        std::string save;
        for (const Report& report : reports_->Snapshot()) {
          if (!report.restoreSource || report.restoreSource->save.empty()) continue;
          const RestoreSource& s = *report.restoreSource;
          save = "save " + s.save + " (" + s.command + ", " + s.role + ", " + s.savedAt + ")";
        }
        return gate->Arrive(letter_, save);
      });
    }
    // A letter's program sees its own letter only, so its scan finds
    // exactly that drive.
    device::VolumeMap own;
    if (letter_ != 0) own.Map(letter_, setup.opener);
    device::DeviceLink link(letter_ != 0 ? own : setup.opener);
    IspLog log(*platform);
    Program program(*platform, link, log, view);
    program.reports = reports_;
    BothObservers observers(view, watcher);
    const ObserverScope observing(*reports_, observers);
    program.images = setup.images;
    program.allowStandInImages = setup.allowStandInImages;
    program.imagesHint = setup.request.imagesHint;
    program.donorFilesHint = setup.request.donorFilesHint;
    program.donorHint = setup.request.donorHint;
    program.runId = setup.request.runId;
    if (!setup.request.fixHint.empty()) program.fixHint = setup.request.fixHint;
    program.savesPlatform = savesPlatform;
    // A run asks before every fix, a 0x190 update's included.
    program.confirmFix190 = true;
    DriveSession session(program);
    // The console has no window: its commands' inputs, status line and
    // list are nobody's.
    CommandWindow noWindow;
    if (session.Start(noWindow)) RunCommand(setup, session, view);
    // After an interrupt nothing more is done to the drives, the restart
    // on close included.
    if (!platform::InterruptReceived()) session.Close(setup.request.destroyMode);
  } catch (const device::ReplayStopped&) {
    // The replay keeps where and why it stopped; nothing more reaches a
    // drive or is shown.
  } catch (const std::exception& e) {
    Problem(e.what());
    reports_->Update([&](Report& report) { Settle(report, Outcome::kFailed, e.what()); });
  }
  SaveDrives();
  const std::lock_guard<std::mutex> lock(mutex_);
  // An interrupt that came while the job was at work is its own, whatever
  // its operations made of it after.
  interrupted_ = platform::InterruptReceived();
  finished_ = true;
  end_ = Clock::now();
}

void DriveJob::RunCommand(const JobSetup& setup, DriveSession& session, JobView& view) {
  Program& program = session.program();
  CommandWindow noWindow;
  const RunRequest& options = setup.request;
  const bool single = letter_ == 0;
  if (single) {
    std::string problem;
    if (options.select != 0 &&
        !SelectEntry(session, options.select, options.drives.size(), problem)) {
      Problem(problem);
      const std::lock_guard<std::mutex> lock(mutex_);
      noSuchEntry_ = true;
      return;
    }
    if (!options.json && !options.quiet) setup.front.ShowDriveList(session, boxes_);
    NameTheDrive(options, session);
  }
  switch (options.command) {
    case JobCommand::kScan:
      break;
    case JobCommand::kFix:
      session.Fix(noWindow);
      break;
    case JobCommand::kDestroy:
      session.Destroy(noWindow, single);
      break;
    case JobCommand::kBackup:
      session.Backup();
      break;
    case JobCommand::kRestore:
      session.Restore(noWindow, {options.restoreFiles, options.donor, true, options.restoreSave});
      break;
    case JobCommand::kMap:
      session.Map();
      break;
    case JobCommand::kPrompt:
      setup.front.Prompt(session, options.destroyMode, view, Input(), boxes_, err_);
      break;
  }
  if (options.command == JobCommand::kMap || options.map) DrawMap(setup, program);
}

void DriveJob::NameTheDrive(const RunRequest& options, DriveSession& session) {
  Program& program = session.program();
  if (program.selectedDrive >= kSlotCount || session.driveCount == 0) return;
  const DriveSlot& slot = program.Selected();
  DrivePlace place{slot.letter, {}, {}, {}};
  std::string others;
  size_t otherCount = 0;
  for (const DrivePlace& each : places) {
    if (each.letter == slot.letter) {
      place = each;
    } else {
      others += std::string(otherCount++ == 0 ? "" : ", ") + each.letter + ":";
    }
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    source_ = place.source;
    port = place.port;
    serial = place.serial;
  }
  if (!options.json && !options.quiet) boxes_ << IdentityLine(slot, place) << std::endl;
  // The scan ends at the first drive it identifies: the others named are
  // not listed, and no --select reaches them.
  if (options.drives.size() > 1 && !others.empty()) {
    Problem(std::to_string(options.drives.size()) +
            " drives were named without --all: this run acts on " + slot.letter +
            ": alone, the first the scan identifies; " + others +
            (otherCount == 1 ? " is reached with --all, or by a run that names it alone"
                             : " are reached with --all, or by a run that names one of them "
                               "alone"));
  }
}

void DriveJob::DrawMap(const JobSetup& setup, Program& program) {
  const RunRequest& options = setup.request;
  if (program.selectedDrive >= kSlotCount || platform::InterruptReceived()) return;
  // A scan learns nothing of the copies' content: it compares them as map
  // does. A fix draws what it wrote and proved.
  if (options.command == JobCommand::kScan) OnMapIsp(program);
  const FlashMap map = BuildFlashMap(program.Selected(), StatesOf(reports_->Snapshot()));
  const bool shown =
      options.command == JobCommand::kMap && letter_ == 0 && !options.json && !options.quiet;
  std::string text;
  std::string problem;
  if (!setup.front.KeepMap(program, map, shown ? &text : nullptr, setup.colour, problem)) {
    Problem(problem);
    // The picture is what map is for; a fix that drew none still fixed.
    if (options.command != JobCommand::kFix) {
      reports_->Update([&](Report& report) { Settle(report, Outcome::kFailed, problem); });
    }
  }
  if (shown) boxes_ << text << std::flush;
}

void DriveJob::SaveDrives() {
  for (const auto& [drive, name] : saves) {
    if (drive->Save()) continue;
    Problem("cannot save the flash of the virtual drive " + name);
    const std::lock_guard<std::mutex> lock(mutex_);
    unsaved_ = true;
  }
}

void DriveJob::LetGoOfFiles() {
  std::vector<DriveFile> measured;
  if (platform != nullptr) measured = MeasureKeptFiles(*platform, letter_, reports_->Snapshot());
  const std::lock_guard<std::mutex> lock(mutex_);
  measured_ = std::move(measured);
  letGo_ = true;
}

JobState DriveJob::State() const {
  JobState state;
  state.letter = letter_;
  state.source = source_;
  state.port = port;
  state.serial = serial;
  state.stick = stick;
  state.reports = reports_->Snapshot();
  const std::lock_guard<std::mutex> lock(mutex_);
  state.files = letGo_ ? nullptr : platform;
  state.measured = measured_;
  state.refusal = refusal_;
  state.problems = problems_;
  state.noSuchEntry = noSuchEntry_;
  state.unsaved = unsaved_;
  state.interrupted = interrupted_;
  state.finished = finished_;
  if (started_) {
    state.seconds =
        std::chrono::duration<double>((finished_ ? end_ : Clock::now()) - start_).count();
  }
  return state;
}

}  // namespace kestrune::session
