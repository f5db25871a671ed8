#include "app/session/watch_runner.h"

#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "app/drive_session.h"
#include "app/session/drive_job.h"
#include "app/session/host_devices.h"
#include "platform/platform.h"

namespace kestrune::session {

namespace {

// A drive the watch saw plugged in.
struct SeenDrive {
  std::string hostName;
  std::string node;
  std::string port;
  char letter = 0;
  DriveJob* job = nullptr;
  std::unique_ptr<device::VolumeOpener> opener;
  bool plugged = true;
  bool told = false;      // its JSON line was printed
  bool released = false;  // its thread, folders and opener are gone
};

// The first letter no drive holds: one holds its letter while it is
// plugged in, and after that until its job is over.
char FreeLetter(const std::vector<std::unique_ptr<SeenDrive>>& seen) {
  for (char letter = kFirstWatchLetter; letter <= kLastWatchLetter; ++letter) {
    bool taken = false;
    for (const auto& drive : seen) {
      if (drive->letter != letter) continue;
      taken = taken || drive->plugged || !drive->job->State().finished;
    }
    if (!taken) return letter;
  }
  return 0;
}

// The letter a stick plugged in runs on: where the host gives it one of
// its own (Windows), that one, while no drive of the watch still holds it;
// elsewhere a free one. 0 for none.
char LetterFor(const std::vector<std::unique_ptr<SeenDrive>>& seen,
               const platform::DriveEvent& event) {
  if (event.letter == 0) return FreeLetter(seen);
  for (const auto& drive : seen) {
    if (drive->letter == event.letter && (drive->plugged || !drive->job->State().finished)) {
      return 0;
    }
  }
  return event.letter;
}

// The how-many-th stick of the watch that `port` takes, 1 for its first;
// 0 when the host named no port.
int StickInPort(const std::vector<std::unique_ptr<SeenDrive>>& seen, const std::string& port) {
  if (port.empty()) return 0;
  int stick = 1;
  for (const auto& drive : seen) stick += drive->port == port;
  return stick;
}

// The one question, before any drive; commands that change no drive ask
// nothing. True for OK.
bool ConfirmWatch(const RunSetup& run, std::ostream& boxes) {
  if (run.request.command != JobCommand::kFix) return true;
  return AskOnce(run, boxes, kWatchQuestion, "Update ISP Warning");
}

}  // namespace

std::string PresentLeftAloneText(size_t count) {
  if (count == 1) {
    return "1 USB drive was plugged in before the watch began: it is left alone "
           "(--include-present takes it too)";
  }
  return std::to_string(count) +
         " USB drives were plugged in before the watch began: they are left alone "
         "(--include-present takes them too)";
}

int RunWatch(const WatchRun& watch) {
  const RunSetup& run = watch.run;
  RunEnd& end = run.end;
  const std::unique_ptr<LineStream> boxes = run.front.Lines(RunFront::Output::kBoxes);
  if (const std::string refusal = DriveFoldersRefusal(); !refusal.empty()) {
    return end.Fail(kExitUsage, refusal);
  }
  if (!ConfirmWatch(run, *boxes)) return end.End(kExitCancelled);

  // The openers outlive the runner's threads, which use them.
  std::vector<std::unique_ptr<SeenDrive>> seen;
  DriveRunner runner(run);
  // The watch ends by an interrupt: one that comes while a drive's work is
  // under way lets that work end first, as the write's own hold does. Held
  // before the watch says it watches, so that an interrupt sent once it
  // said so ends it as its way out.
  const platform::InterruptHold watching(platform::HoldFor::kWatch);
  if (!run.request.quiet) run.front.Note(kWatchingText);
  // A watch that seems to see nothing says why when sticks were there.
  if (const size_t present = watch.watch.LeftPresent(); present > 0) {
    end.Problem(PresentLeftAloneText(present));
  }
  const auto tellFinished = [&] {
    if (!run.request.json) return;
    for (const auto& drive : seen) {
      if (drive->told || !drive->job->State().finished) continue;
      end.DriveDocument(*drive->job);
      drive->told = true;
    }
  };
  // A stick whose job is over and that was pulled out keeps nothing: a
  // watch that runs all day holds only what the sticks plugged in need.
  const auto release = [&] {
    for (const auto& drive : seen) {
      if (drive->released || drive->plugged || !drive->job->State().finished) continue;
      if (run.request.json && !drive->told) continue;
      runner.Release(*drive->job);
      drive->opener.reset();
      drive->released = true;
    }
  };
  while (!(watch.stop ? watch.stop() : platform::InterruptReceived())) {
    tellFinished();
    release();
    const std::optional<platform::DriveEvent> event = watch.watch.Next(watch.waitMilliseconds);
    if (!event) continue;
    if (event->kind == platform::DriveEvent::Kind::kRemoved) {
      for (const auto& drive : seen) {
        if (drive->plugged && drive->hostName == event->hostName) drive->plugged = false;
      }
      continue;
    }
    const char letter = LetterFor(seen, *event);
    if (letter == 0) {
      const std::string port = event->port.empty() ? "" : " in port " + event->port;
      end.LeftOut(event->node, "no free letter for the drive at " + event->node + port +
                                   "; left alone: plug it in again once a drive is unplugged");
      continue;
    }
    auto drive = std::make_unique<SeenDrive>();
    drive->hostName = event->hostName;
    drive->node = event->node;
    drive->port = event->port;
    drive->letter = letter;
    std::string problem;
    drive->opener = watch.open(letter, event->node, problem);
    drive->job = &runner.Prepare(
        {letter, event->node, nullptr, event->port, event->serial, StickInPort(seen, event->port)});
    if (!drive->opener && !drive->job->refused()) drive->job->Refuse(problem);
    SeenDrive& started = *drive;
    seen.push_back(std::move(drive));
    runner.Start(*started.job, started.opener.get());
  }
  runner.Join();
  tellFinished();
  // Ended by an interrupt, as a watch always is: the run counts as cut
  // short only when the interrupt came to a drive's own work.
  return end.Finish();
}

}  // namespace kestrune::session
