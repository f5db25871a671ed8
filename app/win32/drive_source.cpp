#include "app/win32/drive_source.h"

#include "device/passthrough_win32.h"
#include "simulator/device_clock.h"

namespace kestrune::win32 {

bool DriveSource::Open(const Settings& settings, std::string* error) {
  const std::string& simulate = settings.simulate;
  if (simulate.empty()) {
    opener_ = std::make_unique<device::PassThroughVolumes>();
    return true;
  }
  std::string loadError;
  drive_ = simulate == "default" ? sim::VirtualDrive::Default()
                                 : sim::VirtualDrive::FromFile(simulate, &loadError);
  if (!drive_) {
    if (error) *error = loadError.empty() ? "the virtual drive cannot be loaded" : loadError;
    return false;
  }
  if (settings.simulatorRealTime) drive_->SetClock(sim::WallClock());
  auto volumes = std::make_unique<sim::SimulatedVolumes>();
  if (simulate == "default") {
    volumes->Attach(kSimulatedLetter, *drive_);
  } else {
    // Its flash file is shared with every other run on the same drive file.
    volumes->AttachLocked(kSimulatedLetter, *drive_, simulate);
  }
  opener_ = std::move(volumes);
  return true;
}

bool DriveSource::Save() { return drive_ == nullptr || drive_->Save(); }

}  // namespace kestrune::win32
