// The drives a run names, built into its drive source: their nodes made
// whole disks, the replays among them, and a recording and a trace laid on
// top.
#pragma once

#include <functional>
#include <istream>
#include <string>
#include <vector>

#include "app/session/drive_job.h"
#include "app/session/drive_runner.h"
#include "app/session/drive_source.h"
#include "app/session/recording_wiring.h"
#include "app/session/run_request.h"
#include "platform/platform.h"

namespace kestrune::session {

// From here on a node is its whole disk, so that the lock, the check for a
// drive named twice and every command reach the drive itself. False with
// `problem` set.
bool ResolveDrives(std::vector<DriveArgument>& drives, std::string& problem);

// Loads and connects the drives of `plan` into `source`, the replays among
// them into `replays`; `warn` is told of each recording replayed without
// checksums. `arguments` go into the recording. False with `problem` set.
bool BuildDrives(const RunRequest& plan, const std::vector<std::string>& arguments,
                 DriveSource& source, ReplayDrives& replays,
                 const std::function<void(const std::string&)>& warn, std::string& problem);

// Every drive of the source as a letter of a run of all drives, in the
// letters' order.
std::vector<AllDrive> AllDrivesOf(DriveSource& source);

// Where each letter of the source stands (node or file, port, serial),
// the host's own disks when the source names none.
std::vector<DrivePlace> PlacesOf(DriveSource& source);

// A run on one drive: a job of its own that scans every letter, in this
// thread.
struct OneDriveRun {
  const RunSetup& setup;
  // The run's own folders.
  platform::Platform& platform;
  DriveSource& source;
  ReplayDrives& replays;
  // Where the prompt and the questions are answered.
  std::istream& in;
  // The map command's picture may be coloured.
  bool colour = false;
  // Told where a replay left its recording, before the run ends with it.
  std::function<void(const device::Divergence&)> diverged = nullptr;
};

// Returns the exit code (see ExitCode). A fix shows its row of the front
// end's live table, when it gives one.
int RunOneDrive(const OneDriveRun& run);

}  // namespace kestrune::session
