#include "operations/write_window.h"

#include "discovery/discovery.h"
#include "images/images.h"

namespace kestrune {

bool RefuseStandInImages(Program& p) {
  if (!StandInsBarredFrom(p, p.selectedDrive)) return false;
  Fail(p, Outcome::kRefused, StandInsRefusedText(p.imagesHint), "ERROR", kMbIconError);
  return true;
}

bool WriteWindow::Open() {
  outcome_.emplace(platform::HoldFor::kOutcome);
  write_.emplace(platform::HoldFor::kWrite);
  if (platform::InterruptReceived()) {
    SettleReport(p_, Outcome::kInterrupted);
    return false;
  }
  p_.reports->Update([](Report& report) { report.writeWindowEntered = true; });
  return true;
}

}  // namespace kestrune
