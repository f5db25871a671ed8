// What the environment sets for a run. Only main() reads it, once, and
// hands the values down to what they steer.
#pragma once

#include <string>

namespace kestrune {

// How the dialog program takes a folder of images, for the box that refuses
// stand-ins: the setting alone.
inline constexpr const char* kDialogImagesHint = "in the setting KESTRUNE_IMAGES";

inline constexpr const char* kImagesVariable = "KESTRUNE_IMAGES";
inline constexpr const char* kAllowStandInsVariable = "KESTRUNE_ALLOW_STANDIN_IMAGES";
inline constexpr const char* kSimRealTimeVariable = "KESTRUNE_SIM_REALTIME";

struct Settings {
  // KESTRUNE_IMAGES: a folder of the 31 ISP images; empty for the payloads
  // built into the program.
  std::string imagesFolder;
  // KESTRUNE_ALLOW_STANDIN_IMAGES=1, a test switch: stand-in images may
  // reach a drive served through real pass-through.
  bool allowStandInImages = false;
  // KESTRUNE_SIM_REALTIME=1: simulated drives take the device time of each
  // command as wall time, as real sticks would.
  bool simulatorRealTime = false;
  // KESTRUNE_SIMULATE, read by the Windows program only: a virtual-drive
  // file, or "default"; empty for the real volumes.
  std::string simulate;
};

// The settings the environment gives; a switch is on only when it is "1".
Settings ReadSettings();

}  // namespace kestrune
