#include "operations/write_window.h"

#include "discovery/discovery.h"
#include "operations/backup_files.h"
#include "images/images.h"

namespace kestrune {

bool RefuseUnwritableDrive(Program& p) {
  if (StandInsBarredFrom(p, p.selectedDrive)) {
    Fail(p, Outcome::kRefused, StandInsRefusedText(p.imagesHint), "ERROR", kMbIconError);
    return true;
  }
  // A drive that runs without its working code has no known flash to act on.
  if (p.selectedDrive < kSlotCount && !p.codeNotLoaded[p.selectedDrive].empty()) {
    Fail(p, Outcome::kRefused, CodeNotLoadedText(p, p.selectedDrive) + " Nothing was written.",
         "ERROR", kMbIconError);
    return true;
  }
  // Nor does one whose flash configuration the scan could not read: its
  // pages and blocks are unknown, and no question is asked about them.
  if (p.selectedDrive < kSlotCount && p.configNotRead[p.selectedDrive]) {
    Fail(p, Outcome::kFailed, kConfigNotRead, "ERROR", kMbIconError,
         *p.configNotRead[p.selectedDrive]);
    return true;
  }
  return false;
}

bool WriteWindow::Open() {
  outcome_.emplace(platform::HoldFor::kOutcome);
  write_.emplace(platform::HoldFor::kWrite);
  if (platform::InterruptReceived()) {
    SettleReport(p_, Outcome::kInterrupted);
    return false;
  }
  // The change's Before save is marked begun before anything is erased.
  if (p_.openChange != nullptr && !p_.openChange->Begin()) return false;
  p_.reports->Update([](Report& report) { report.writeWindowEntered = true; });
  return true;
}

}  // namespace kestrune
