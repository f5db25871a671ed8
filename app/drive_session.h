// One run of the program over its drives, below every front end: the
// start (rights, log, images and the scan), the drives it found, the
// choice of one, the commands on the chosen drive and the close. The
// window's dialog and the console both drive it; what it shows goes
// through the program's view, and what a command tells the screen through
// the CommandWindow it is given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/program.h"
#include "operations/operations.h"

namespace kestrune {

// What the program says when a scan finds no drive, in the dialog and in a
// run of every drive alike.
inline constexpr const char* kNoDeviceText = "Can't find any device !";

// The capacity as the drive list shows it, "7800.00MB" (0.00MB when the
// capacity was never read).
std::string FormatCapacity(const DriveSlot& slot);

// Formats one drive-list line, "[E]: 7800.00MB Vendor Product".
std::string FormatDriveLine(const DriveSlot& slot);

class DriveSession {
 public:
  explicit DriveSession(Program& program) : p_(program) {}

  // Checks the rights, starts the log, takes the images and scans. The
  // window is told the drive list changed once the drives are known, before
  // a warning about the first drive. False when the run goes no further
  // (no rights, no images, no drive); the box that says why was shown.
  bool Start(CommandWindow& window);
  bool IsAdministrator();
  // Takes the images of the folder the run's settings name, unless the
  // front end chose them already. False after a "Fail" box when that folder
  // does not hold them.
  bool ChooseImages();
  // Which images the run writes, for the About box.
  std::string ImagesText();

  // One line per drive found, in the table's order.
  std::vector<std::string> DriveLines() const;
  // Chooses the drive of list entry `entry`; a new choice identifies that
  // drive again. An entry past the table is ignored, a negative one is the
  // first.
  void Select(int entry);

  // Check ISP: the first drive restarted and the drives scanned again.
  void Rescan();
  void Fix(CommandWindow& window);
  // With `ask`, a question comes first (see ::kestrune::OnDestroyIsp).
  void Destroy(CommandWindow& window, bool ask);
  RestoreOutcome Restore(CommandWindow& window, const RestoreRequest& request);
  void Backup();
  void Map();
  // Restarts the listed drives after a healthy verdict; not after a destroy
  // (`destroyMode`), nor into an ISP found broken.
  void Close(bool destroyMode);

  Program& program() { return p_; }

  uint8_t driveCount = 0;
  uint8_t comboIndex = 0;
  uint8_t lastComboIndex = 0;

 private:
  void StartLogAndScan(CommandWindow& window);

  Program& p_;
  bool imagesRefused_ = false;
};

}  // namespace kestrune
