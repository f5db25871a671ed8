// Where the drives come from: the simulated drive on E: when
// KESTRUNE_SIMULATE names a virtual-drive file (or "default"), the real
// pass-through volumes otherwise.
#pragma once

#include <memory>
#include <string>

#include "device/transport.h"
#include "simulator/virtual_drive.h"

namespace kestrune::win32 {

inline constexpr const char* kSimulateVariable = "KESTRUNE_SIMULATE";
inline constexpr char kSimulatedLetter = 'E';

class DriveSource {
 public:
  // `simulate` is the variable's value; null or empty selects the real
  // volumes. False with `error` set when the virtual drive cannot be loaded.
  bool Open(const char* simulate, std::string* error);

  device::VolumeOpener& opener() { return *opener_; }
  bool simulated() const { return drive_ != nullptr; }
  // Writes a simulated drive's flash to its file; true for real drives.
  bool Save();

 private:
  std::unique_ptr<sim::VirtualDrive> drive_;
  std::unique_ptr<device::VolumeOpener> opener_;
};

}  // namespace kestrune::win32
