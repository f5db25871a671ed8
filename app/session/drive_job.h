// One drive's part of a run: a drive session over its own program, link,
// log and view, the command, and what it reached. A run on
// one drive is a run of one job that scans every letter; --all runs one job
// per letter, each in a thread of its own.
#pragma once

#include <chrono>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/session/kept_files.h"
#include "app/session/restore_gate.h"
#include "app/session/run_front.h"
#include "app/session/run_report.h"
#include "app/session/run_request.h"
#include "base/drive_slot.h"
#include "base/report.h"
#include "device/transport.h"
#include "platform/platform.h"

namespace kestrune {
struct ImageSet;
struct Program;
class DriveSession;
namespace sim {
class VirtualDrive;
}  // namespace sim
}  // namespace kestrune

namespace kestrune::session {

// What every job of a run reads and none changes.
struct JobSetup {
  const RunRequest& request;
  // Where the job's view comes from, and what the front end alone draws.
  RunFront& front;
  std::shared_ptr<const ImageSet> images;
  // Serves the drive letters. Its Open is called from several threads at
  // once, each for its own letter.
  device::VolumeOpener& opener;
  // The run's test switch that lets stand-in images reach a real device.
  bool allowStandInImages = false;
  // The map command's picture may be coloured: the boxes show on a
  // terminal and one drive's lines are all it shows (not with --all).
  bool colour = false;
};

// What a job reached, taken at one moment from any thread.
struct JobState : session::DriveWork {
  // The problems it told on stderr ("kestrune: ..."), without that prefix.
  std::vector<std::string> problems;
  // The files it kept are read back through this platform; null once the
  // job has let go of its folders, and `measured` then tells of them.
  platform::Platform* files = nullptr;
  std::vector<DriveFile> measured;
};

// Where a letter's drive stands: its device node or virtual-drive file,
// the USB port it is plugged into and its serial (empty when unknown).
struct DrivePlace {
  char letter = 0;
  std::string source;
  std::string port;
  std::string serial;
};

// The line that names the drive a single-drive run acts on, before any
// question is asked of it: "Drive E: /dev/sdb, port 1-2, serial
// KST163BROKEN, controller 0x163, flash ID ECD3519558".
std::string IdentityLine(const DriveSlot& slot, const DrivePlace& place);

class DriveJob {
 public:
  // `boxes` and `err` are where its boxes and its other lines go. The job
  // of a single-drive run (letter 0) lists the drives, takes --select, may
  // run the prompt and asks before a destroy; a letter of --all answers OK
  // to every question (the one question for all was asked before).
  DriveJob(char letter, std::string source, std::ostream& boxes, std::ostream& err);

  // The platform its files go through, and the simulated drives whose
  // flash it keeps at its end, each with the name a problem gives it.
  platform::Platform* platform = nullptr;
  // The run's whole C: folder, when `platform`'s is the drive's letter
  // folder: where a restore looks for the stick's saves.
  platform::Platform* savesPlatform = nullptr;
  std::vector<std::pair<sim::VirtualDrive*, std::string>> saves;
  // How its OK/Cancel boxes are answered, and where answers are read.
  Answering answering = Answering::kAlwaysOk;
  std::istream* in = nullptr;
  // Told each step in the view's stead (the live table's row), and whether
  // the job's own lines are kept to what --quiet keeps; set before Run.
  ReportObserver* watcher = nullptr;
  bool quiet = false;
  // Where its OK/Cancel question waits for the run's one answer (a restore
  // of --all); null: the job answers its questions itself.
  RestoreGate* gate = nullptr;
  // Where the drive is plugged in and its serial, for its report; set
  // before Run.
  std::string port;
  std::string serial;
  int stick = 0;
  // A single-drive run: where each letter it may scan stands, for the
  // identity line and the report of the drive it acts on.
  std::vector<DrivePlace> places;

  char letter() const { return letter_; }
  // Not run at all: why, said on its stderr.
  void Refuse(const std::string& why);
  bool refused() const;
  // A problem said on its stderr ("kestrune: ...") and kept for the document.
  void Problem(const std::string& text);

  // Runs the command; every exception is caught and reported.
  void Run(const JobSetup& setup);

  JobState State() const;
  // The job is over and its folders go: what it kept is measured now, for
  // the documents that tell of it later, and `platform` is no longer used.
  void LetGoOfFiles();

 private:
  void RunCommand(const JobSetup& setup, DriveSession& session, JobView& view);
  // Names the drive a single-drive run acts on, and the drives it leaves.
  void NameTheDrive(const RunRequest& options, DriveSession& session);
  void DrawMap(const JobSetup& setup, Program& program);
  void SaveDrives();
  std::istream& Input() { return in != nullptr ? *in : noInput_; }

  const char letter_;
  std::string source_;
  std::ostream& boxes_;
  std::ostream& err_;
  std::istringstream noInput_;
  const std::shared_ptr<Reports> reports_ = std::make_shared<Reports>();
  mutable std::mutex mutex_;
  std::string refusal_;
  std::vector<std::string> problems_;
  bool noSuchEntry_ = false;
  bool unsaved_ = false;
  bool interrupted_ = false;
  bool started_ = false;
  bool finished_ = false;
  bool letGo_ = false;
  std::vector<DriveFile> measured_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point end_;
};

// Chooses list entry `entry` as a user would, which re-identifies the
// drive when the choice changes. False with `problem` set when the list
// has no such entry; `named` drives were given by name.
bool SelectEntry(DriveSession& session, int entry, size_t named, std::string& problem);

}  // namespace kestrune::session
