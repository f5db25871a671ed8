// --all: every drive at once. Each drive gets a job of its own (program,
// drive table, lists, page buffer, log, view, C: folder and work folder) in
// a thread of its own, after one question for all; one summary ends the run.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "app/console/console_options.h"
#include "app/console/console_run.h"
#include "device/transport.h"
#include "platform/platform.h"

namespace kestrune {
struct ImageSet;
namespace sim {
class VirtualDrive;
}  // namespace sim
}  // namespace kestrune

namespace kestrune::console {

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

// Runs the command on every drive; returns the process exit code (see
// ExitCode): a drive named or found that was not processed fails the run.
int RunAllDrives(const AllDrivesRun& run);

// The problem when two letters are one file or device, empty when there is
// none: two threads would write one drive, and the later save of a virtual
// drive's flash would undo what the other letter wrote.
std::string SameDriveTwice(const std::vector<DriveArgument>& drives);

// Rows of cells in columns, each padded to its widest cell, two blanks apart.
void PrintColumns(std::ostream& out, const std::vector<std::vector<std::string>>& rows);

// The table that ends --all: a row per drive with the state it reached.
void PrintSummary(std::ostream& out, Command command, const std::vector<DriveSummary>& drives);

}  // namespace kestrune::console
