#include "app/win32/drive_source.h"

#include <cstring>

#include "device/passthrough_win32.h"

namespace kestrune::win32 {

bool DriveSource::Open(const char* simulate, std::string* error) {
  if (simulate == nullptr || simulate[0] == '\0') {
    opener_ = std::make_unique<device::PassThroughVolumes>();
    return true;
  }
  std::string loadError;
  drive_ = std::strcmp(simulate, "default") == 0
               ? sim::VirtualDrive::Default()
               : sim::VirtualDrive::FromFile(simulate, &loadError);
  if (!drive_) {
    if (error) *error = loadError.empty() ? "the virtual drive cannot be loaded" : loadError;
    return false;
  }
  auto volumes = std::make_unique<sim::SimulatedVolumes>();
  if (std::strcmp(simulate, "default") == 0) {
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
