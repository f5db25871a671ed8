// --all: every drive at once. Each drive gets a job of its own (program,
// drive table, lists, page buffer, log, view, C: folder and work folder) in
// a thread of its own, after one question for all; one summary ends the run.
#pragma once

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/console/console_end.h"
#include "app/console/console_options.h"
#include "app/console/console_run.h"
#include "app/console/console_view.h"
#include "device/transport.h"
#include "platform/platform.h"

namespace kestrune {
struct ImageSet;
namespace session {
class DriveFolders;
}  // namespace session
namespace sim {
class VirtualDrive;
}  // namespace sim
}  // namespace kestrune

namespace kestrune::console {

class DriveJob;
class JobRows;
class RunEnd;
struct DriveSummary;

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

struct AllDrivesRun {
  const ConsoleOptions& options;
  const ConsoleStreams& io;
  // The run's C: folder and its checked work folder; each drive gets a
  // folder named by its letter inside both.
  platform::PosixOptions host;
  std::shared_ptr<const ImageSet> images;
  // Serves every letter below. Its Open is called from several threads at
  // once, each for its own letter.
  device::VolumeOpener& opener;
  std::vector<AllDrive> drives;
  // Where the run's last word is printed; null: a run of its own.
  RunEnd* end = nullptr;
  // The run's test switch that lets stand-in images reach a real device.
  bool allowStandInImages = false;
};

// The drives of a run, each in folders of its own and in a thread of its
// own: --all prepares them all, asks once and starts them; watch prepares
// and starts each as it is plugged in. On a terminal, and without --json,
// --quiet or --verbose, they are shown as the live table.
class DriveRunner {
 public:
  DriveRunner(const AllDrivesRun& run, RunEnd& end);
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
  // Waits for every job started; the live table stays on screen.
  void Join();
  // A finished job lets go of its thread, folders and platform, so that a
  // run that takes drive after drive holds only what the drives at work
  // need. What it kept stays told.
  void Release(DriveJob& job);

 private:
  struct Job;
  // The run's last word tells of every job prepared so far.
  void Tell();

  const AllDrivesRun& run_;
  RunEnd& end_;
  std::ostream& boxes_;
  std::unique_ptr<platform::Platform> host_;
  std::unique_ptr<session::DriveFolders> folders_;
  std::unique_ptr<JobRows> board_;
  std::vector<std::unique_ptr<Job>> jobs_;
  // Goes before the jobs do, so that no last word tells of them after.
  std::optional<RunEnd::Attachment> attached_;
  bool started_ = false;
};

// How a run's OK/Cancel boxes are answered: OK with --yes, asked on a
// terminal, Cancel without one.
Answering AnsweringOf(const ConsoleOptions& options, const ConsoleStreams& io);

// The style of the one question a run asks before any drive.
inline constexpr unsigned kQuestionStyle = kMbOkCancel | kMbIconExclamation | kMbTopmost;

// Asks the run's one question before any drive, and keeps it for the run's
// last word. True for OK.
bool AskOnce(const AllDrivesRun& run, std::ostream& boxes, RunEnd& end, const std::string& text,
             const std::string& caption);

// Runs the command on every drive; returns the process exit code (see
// ExitCode): a drive named or found that was not processed fails the run.
int RunAllDrives(const AllDrivesRun& run);

// The problem when two letters are one file or device, empty when there is
// none: two threads would write one drive, and the later save of a virtual
// drive's flash would undo what the other letter wrote.
std::string SameDriveTwice(const std::vector<DriveArgument>& drives);

// Rows of cells in columns, each padded to its widest cell, two blanks apart.
void PrintColumns(std::ostream& out, const std::vector<std::vector<std::string>>& rows);

// The table that ends --all: a row per drive with the state it reached,
// each line narrower than `columns` (0: no limit), columns given up whole.
void PrintSummary(std::ostream& out, Command command, const std::vector<DriveSummary>& drives,
                  size_t columns = 0);

}  // namespace kestrune::console
