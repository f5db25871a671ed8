// Where the drives come from: the simulated drive on E: when the settings
// name a virtual-drive file (or "default"), the real pass-through volumes
// otherwise.
#pragma once

#include <memory>
#include <string>

#include "app/settings.h"
#include "device/transport.h"
#include "simulator/virtual_drive.h"

namespace kestrune::win32 {

inline constexpr const char* kSimulateVariable = "KESTRUNE_SIMULATE";
inline constexpr char kSimulatedLetter = 'E';

class DriveSource {
 public:
  // settings.simulate empty selects the real volumes; a simulated drive
  // runs on the wall clock when settings.simulatorRealTime is set. False
  // with `error` set when the virtual drive cannot be loaded.
  bool Open(const Settings& settings, std::string* error);

  device::VolumeOpener& opener() { return *opener_; }
  bool simulated() const { return drive_ != nullptr; }
  // Writes a simulated drive's flash to its file; true for real drives.
  bool Save();

 private:
  std::unique_ptr<sim::VirtualDrive> drive_;
  std::unique_ptr<device::VolumeOpener> opener_;
};

}  // namespace kestrune::win32
