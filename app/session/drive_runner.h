// --all: every drive at once. Each drive gets a job of its own (program,
// drive table, lists, page buffer, log, view, C: folder and work folder) in
// a thread of its own, after one question for all; one summary ends the run.
#pragma once

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/session/run_end.h"
#include "app/session/run_front.h"
#include "app/session/run_request.h"
#include "device/transport.h"
#include "platform/platform.h"

namespace kestrune {
struct ImageSet;
namespace sim {
class VirtualDrive;
}  // namespace sim
}  // namespace kestrune

namespace kestrune::session {

class DriveFolders;

// One letter of --all and what stands behind it.
struct AllDrive {
  char letter = 0;
  // The device node or virtual-drive file, as the confirmation names it.
  std::string source;
  // The simulated drive behind the letter, whose flash is kept when its
  // thread ends; null for a device node.
  sim::VirtualDrive* simulated = nullptr;
  // Where it is plugged in and its serial (see session::DriveWork); a
  // letter of --all may leave them out.
  std::string port{};
  std::string serial{};
  int stick = 0;
};

// What every run of several drives shares.
struct RunSetup {
  const RunRequest& request;
  // The front end's views, streams and rows.
  RunFront& front;
  // Where the run's last word is told.
  RunEnd& end;
  // The run's C: folder and its checked work folder; each drive gets a
  // folder named by its letter inside both.
  platform::PosixOptions host;
  std::shared_ptr<const ImageSet> images;
  // The run's test switch that lets stand-in images reach a real device.
  bool allowStandInImages = false;
};

struct AllDrivesRun {
  const RunSetup& setup;
  // Serves every letter below. Its Open is called from several threads at
  // once, each for its own letter.
  device::VolumeOpener& opener;
  std::vector<AllDrive> drives;
};

// The drives of a run, each in folders of its own and in a thread of its
// own: --all prepares them all, asks once and starts them; watch prepares
// and starts each as it is plugged in. The front end's rows, when it
// gives any, show them as a live table.
class DriveRunner {
 public:
  explicit DriveRunner(const RunSetup& run);
  ~DriveRunner();
  DriveRunner(const DriveRunner&) = delete;
  DriveRunner& operator=(const DriveRunner&) = delete;

  // The drive's folders, platform and log; a drive whose folders are
  // refused gets a job that is refused, and is told of all the same.
  DriveJob& Prepare(const AllDrive& drive);
  // Runs a prepared job in a thread of its own, its letter served by
  // `opener` (which must outlive the job); a refused job is not run.
  void Start(DriveJob& job, device::VolumeOpener* opener);
  // The drives prepared and not refused.
  std::vector<const AllDrive*> Accepted() const;
  // The run ends before any drive was started.
  void Cancel();
  // Every job started from now on waits at its question for the one
  // answer AskAtGate gives (a restore of --all).
  void GateQuestions() { gate_.emplace(); }
  // Once every job started has come to its question or ended: lists those
  // that came with the save each will write and asks once. False when the
  // answer was Cancel; true when it was OK or no job came.
  bool AskAtGate(std::ostream& boxes);
  // AskAtGate found two drives that would take one save, and refused both.
  bool ambiguous() const { return ambiguous_; }
  // Waits for every job started; the live table stays on screen.
  void Join();
  // A finished job lets go of its thread, folders and platform, so that a
  // run that takes drive after drive holds only what the drives at work
  // need. What it kept stays told.
  void Release(DriveJob& job);

 private:
  struct Job;
  // The run's last word tells of every job prepared so far.
  void ListJobsForTheLastWord();

  const RunSetup& run_;
  RunEnd& end_;
  std::unique_ptr<platform::Platform> host_;
  std::unique_ptr<DriveFolders> folders_;
  std::unique_ptr<DriveRows> board_;
  std::vector<std::unique_ptr<Job>> jobs_;
  // Goes before the jobs do, so that no last word tells of them after.
  std::optional<RunEnd::Attachment> attached_;
  std::optional<RestoreGate> gate_;
  bool ambiguous_ = false;
  bool started_ = false;
};

// The style of the one question a run asks before any drive.
inline constexpr unsigned kQuestionStyle = kMbOkCancel | kMbIconExclamation | kMbTopmost;

// Asks the run's one question before any drive, and keeps it for the run's
// last word. True for OK.
bool AskOnce(const RunSetup& run, std::ostream& boxes, const std::string& text,
             const std::string& caption);

// Runs the command on every drive; returns the process exit code (see
// ExitCode): a drive named or found that was not processed fails the run.
int RunAllDrives(const AllDrivesRun& run);

// The problem when two letters are one file or device, empty when there is
// none: two threads would write one drive, and the later save of a virtual
// drive's flash would undo what the other letter wrote.
std::string SameDriveTwice(const std::vector<DriveArgument>& drives);

}  // namespace kestrune::session
