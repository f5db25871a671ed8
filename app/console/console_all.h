// --all: every drive at once. Each drive gets a program of its own (drive
// table, lists, page buffer, log, view, C: folder and work folder) and a
// thread of its own, in which the single-drive logic runs unchanged.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
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
  // The run's test switch that lets stand-in images reach a real device.
  bool allowStandInImages = false;
};

// Runs the command on every drive; returns the process exit code: 0 when
// every drive found ended in success, 1 when any failed, 3 when none was
// found, 5 when the one confirmation was cancelled.
int RunAllDrives(const AllDrivesRun& run);

// The problem when two letters are one file or device, empty when there is
// none: two threads would write one drive, and the later save of a virtual
// drive's flash would undo what the other letter wrote.
std::string SameDriveTwice(const std::vector<DriveArgument>& drives);

// Rows of cells in columns, each padded to its widest cell, two blanks apart.
void PrintColumns(std::ostream& out, const std::vector<std::vector<std::string>>& rows);

}  // namespace kestrune::console
