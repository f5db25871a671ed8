// ISP images: the embedded catalogue and its extraction, the choice of image
// for a drive, and the loading of working code into the controller.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "discovery/program.h"
#include "platform/platform.h"

namespace kestrune {

// --- catalogue ---
struct CatalogueEntry {
  uint16_t resourceId;
  uint32_t size;
  const char* pathFormat;  // one %s, the work folder text
};
// The 31 entries in extraction order; entries from kFirstSubFolderEntry on
// live in the "163A2C" sub-folder, created before them.
extern const CatalogueEntry kCatalogue[31];
inline constexpr int kFirstSubFolderEntry = 20;
inline constexpr const char* kSubFolderFormat = "%s\\163A2C";
inline constexpr const char* kResourceType = "BinaryFile";
inline constexpr uint32_t kCatalogueBytes = 2686976;

// The work folder text (temporary folder, Windows folder as fallback),
// ending in a backslash.
std::string WorkFolder(platform::Platform& platform);

// Applies a path format with one %s to the folder text, in a buffer of the
// system's path limit (260 characters; a longer result is cut).
std::string ComposePath(const char* format, const std::string& folder);

// Copies every embedded image to the work folder.
void ExtractImages(Program& p);

class BinRes {
 public:
  virtual ~BinRes() = default;
  // Folder of the running executable, without a trailing backslash. Throws
  // std::runtime_error("Unable to get exe location") when there is none.
  static std::string GetExeFolder(platform::Platform& platform);
  static void ResourceToFile(platform::Platform& platform, std::string type, uint16_t id,
                             std::string path);
};

// --- choosers ---
// The code image for the slot's drive. Controller 0x165 drives without the
// flash of 165A9.BIN also get "A0" in inquiryText[8..9].
std::string ChooseCodeImage(Program& p, int slotIndex);
std::string ChooseUpdateImage(Program& p, ControllerId controllerId);
std::string ChooseUpdateImage190(Program& p);
bool IsUstDeviceCode(uint8_t code);

// --- code loading and restart ---
bool LoadCodeBlock(Program& p, int8_t block, int slotIndex);
bool RestartDrive(Program& p, int slotIndex);
bool ReadSpareUnderCode(Program& p, uint32_t page, int slotIndex);

}  // namespace kestrune
