// What the environment sets for a run. Only main() reads it, once, and
// hands the values down to what they steer.
#pragma once

#include <string>

#include "platform/platform.h"

namespace kestrune {

// How the dialog program takes a folder of images, for the box that refuses
// stand-ins: where a technician puts the files, or the setting.
inline constexpr const char* kDialogImagesHint =
    "(put the files in a folder named images beside kestrune.exe, the last eleven in its "
    "sub-folder 163A2C, or name their folder in the setting KESTRUNE_IMAGES)";
// The folder beside the dialog program that it takes its images from.
inline constexpr const char* kImagesBesideProgram = "images";

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

// The folder named images beside the program whose full path is
// `modulePath`, spelled as that path is; empty when the path names no
// folder.
std::string ImagesBesideProgram(const std::string& modulePath);

// The folder of images the dialog takes: the setting when it names one;
// else `besideProgram` when something stands there (a folder the image
// check then refuses is named in its refusal, not passed over); else none,
// the images built into the program.
std::string DialogImagesFolder(const Settings& settings, const std::string& besideProgram,
                               platform::Platform& platform);

}  // namespace kestrune
