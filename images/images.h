// ISP images: the embedded catalogue and its extraction, the image set of a
// run, reading image files, and the choice of image for a drive.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/drive_traits.h"
#include "device/controllers.h"
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

// Entry `entry`'s name as a set of images names its files, with '/'
// between folder and file: "CAUS.BIN", "163A2C/US.BIN".
std::string ImageName(int entry);

// The work folder text (temporary folder, Windows folder as fallback),
// ending in a backslash.
std::string WorkFolder(platform::Platform& platform);

// Applies a path format with one %s to the folder text, in a buffer of the
// system's path limit (260 characters; a longer result is cut).
std::string ComposePath(const char* format, const std::string& folder);

struct ImageSet;

// Copies every embedded image to the work folder: the payloads of `images`,
// or those built into the program when it is null.
void ExtractImages(platform::Platform& platform, const ImageSet* images);

class BinRes {
 public:
  virtual ~BinRes() = default;
  // Folder of the running executable, without a trailing backslash. Throws
  // std::runtime_error("Unable to get exe location") when there is none.
  static std::string GetExeFolder(platform::Platform& platform);
  static void ResourceToFile(platform::Platform& platform, std::string type, uint16_t id,
                             std::string path);
};

// --- the image set ---
// Either the payloads built into the program (Program::images null) or the
// 31 files of a folder named at start-up, read once and kept in memory.
struct ImageSet {
  std::string folder;                          // as it was named
  std::vector<std::vector<uint8_t>> payloads;  // in catalogue order
  // Whether a payload is a generated stand-in, worked out once, on the first
  // asking (ImagesAreStandIns), and kept for the run.
  mutable std::once_flag standInsChecked;
  mutable bool standIns = false;
};

// Reads the catalogue's files from `folder` (names matched without regard
// to case, the last eleven in its "163A2C" sub-folder). Null, with
// `problem` naming every missing, mis-sized, refused or misnamed file and
// every file that differs from the folder's SHA256SUMS (or why that cannot
// be used), unless all 31 are there as they should be.
std::shared_ptr<const ImageSet> LoadImageFolder(platform::Platform& platform,
                                                const std::string& folder, std::string& problem);

// --- what a set of images holds, file by file ---
enum class ImageFileState : uint8_t {
  kPresent,    // there, with the catalogue's size
  kMissing,    // no file under the name (or no built-in resource)
  kWrongSize,  // there, with another size
  kRefused,    // there, but not a file the program reads (a link, a device, unreadable)
  kDiffers,    // there, with its size, but the folder's SHA256SUMS lists another SHA-256
  kMisnamed,   // the generated stand-in of another catalogue file (its header names it)
};

// The file of an image folder that pins each image by its SHA-256, in the
// form sha256sum writes and `sha256sum -c` checks, and the most of it read.
inline constexpr const char* kSumsFileName = "SHA256SUMS";
inline constexpr size_t kMaxSumsBytes = 65536;

// What a SHA256SUMS text lists: per catalogue entry the SHA-256 it gives
// (lower-case hex; empty when it lists none), the names it lists that are
// no catalogue file (printable, at most a few), and why it cannot be used
// (empty when it can): a line not of the form "<64 hex>  <name>" or
// "<64 hex> *<name>" (blank lines and lines starting '#' are passed over),
// or one file listed twice with two digests.
struct ListedSums {
  std::vector<std::string> digests;
  std::vector<std::string> outside;
  std::string problem;
};
ListedSums ParseSums(std::string_view text);

struct ImageFileCheck {
  ImageFileState state = ImageFileState::kMissing;
  // The bytes found (present and wrong size); nullopt otherwise.
  std::optional<uint64_t> size;
  // SHA-256 of a present file, lower-case hex; empty otherwise.
  std::string sha256;
  // A present file that is one of the generated stand-ins, byte for byte
  // (or, misnamed, carries a stand-in's header).
  bool standIn = false;
  // Why a file was refused, differs or is misnamed.
  std::string why;
  // The SHA-256 the folder's SHA256SUMS lists for it; empty when none does.
  std::string listed;
  // A present file's bytes, for the set that is loaded from them.
  std::vector<uint8_t> bytes;
};

struct ImageSetCheck {
  std::string folder;  // empty: the images built into the program
  // The folder itself cannot be used (refused, or not there); `files` is
  // then empty.
  std::string problem;
  bool folderMissing = false;
  std::vector<ImageFileCheck> files;  // catalogue order
  // The folder holds a SHA256SUMS, and why it cannot be used (empty when it
  // can); the names it lists that are no catalogue file, which nothing
  // reads and so nothing checks.
  bool hasSums = false;
  std::string sumsProblem;
  std::vector<std::string> sumsOutside;
  // All 31 present (none differs from SHA256SUMS, none misnamed), and a
  // SHA256SUMS, when there is one, that can be used.
  bool Complete() const;
  bool HoldsStandIn() const;
};

// Each of the 31 catalogue files of `folder` (names matched without regard
// to case, the last eleven in its "163A2C" sub-folder), checked against the
// folder's SHA256SUMS when it has one, or of the images built into the
// program when `folder` is empty.
ImageSetCheck CheckImages(platform::Platform& platform, const std::string& folder);

// Who sends a drive to a catalogue file: which chooser, the controllers
// it serves there, and the condition of its row in words. `row` counts
// from 1; 0 for the fallback of a file the chooser named but did not find.
enum class ImageChooser : uint8_t { kCode, kUpdate, kUpdate190 };
struct ImageUse {
  ImageChooser chooser;
  std::string controllers;
  std::string when;
  int row = 0;
};
const char* ImageChooserName(ImageChooser chooser);
std::vector<ImageUse> UsesOfImage(int entry);

// The image set of the folder named at start-up, or null (the built-in
// payloads) when none was named. False, with `problem` set, when the folder
// does not hold the images.
bool LoadNamedImages(platform::Platform& platform, const std::string& folder,
                     std::shared_ptr<const ImageSet>& images, std::string& problem);

// Catalogue entry `entry`'s bytes in the set (null: the built-in payloads);
// nullopt when a built-in resource is missing.
std::optional<std::span<const uint8_t>> ImagePayload(platform::Platform& platform,
                                                     const ImageSet* images, int entry);

// True when any payload of the set (null: the built-in payloads) equals one
// of the generated stand-ins, whatever its name or place in the set. The
// one decision every refusal and description goes by.
bool ImagesAreStandIns(const ImageSet* images);

// "stand-in images", or "images: " and the first 12 hex digits of the
// SHA-256 over the 31 payloads in catalogue order; either followed by
// " (from DIR)" for a folder.
std::string DescribeImages(platform::Platform& platform, const ImageSet* images);

// With stand-ins, no real drive may be written; this is the ERROR box's
// text that asks for real images. `howToName` is how the front end takes
// a folder of images ("with --images or KESTRUNE_IMAGES"); empty: it says
// nothing of how.
std::string StandInsRefusedText(const std::string& howToName);

// --- reading an image file ---
// Image files are read whole; none the program uses is larger than this.
inline constexpr size_t kMaxImageFileBytes = 131072;

enum class ImageFileRead : uint8_t { kRead, kCannotOpen, kDiffers };

// Reads the image file `path` into `bytes` (up to one byte more than
// kMaxImageFileBytes). A file whose name, relative to the work folder, is a
// catalogue entry must hold exactly that entry's payload in `images` (null:
// the built-in payloads), else kDiffers; files the catalogue does not hold
// are taken as they are. The caller uses these same bytes, so the file
// cannot change between check and use.
ImageFileRead ReadImageFile(platform::Platform& platform, const ImageSet* images,
                            const std::string& path, std::vector<uint8_t>& bytes);

// Bytes `offset` to `offset` + `count` - 1 of `image` into `out`; what the
// image does not hold leaves `out` as it was.
void CopyImageBytes(const std::vector<uint8_t>& image, size_t offset, uint8_t* out, size_t count);

// The catalogue entry that `path` names inside the work folder, or -1.
int CatalogueEntryOf(platform::Platform& platform, const std::string& path);
// The name `path` has in the set of images: its catalogue name
// ("163A2C/US.BIN"), else its place in the work folder ("A1/us1.bin").
std::string ImageNameOf(platform::Platform& platform, const std::string& path);

// --- choosers ---

struct CodeImageChoice {
  std::string path;
  // Controller 0x165 drives without the flash of 165A9.BIN: the caller
  // stamps "A0" into the slot's inquiryText[8..9].
  bool marksA0 = false;
};

// The code image whose blocks run in the drive's controller.
CodeImageChoice CodeImageFor(platform::Platform& platform, const DriveTraits& drive);
// The update image a chooser sends a drive to, and the row that sent it:
// its number (from 1), its condition in words and the file it names (empty
// for a row that names none). `fallback`: that file is not there, so the
// path is the chooser's fallback.
struct UpdateImageChoice {
  std::string path;
  ImageChooser chooser = ImageChooser::kUpdate;
  int row = 0;
  const char* when = "";
  const char* named = "";
  bool fallback = false;
};

// The update image for the drive; `controllerId` decides only whether the
// 0x163 sub-folder applies.
UpdateImageChoice ChooseUpdateImageRow(platform::Platform& platform, const DriveTraits& drive,
                                       ControllerId controllerId);
UpdateImageChoice ChooseUpdateImage190Row(platform::Platform& platform, const DriveTraits& drive);
// The paths alone.
std::string ChooseUpdateImage(platform::Platform& platform, const DriveTraits& drive,
                              ControllerId controllerId);
std::string ChooseUpdateImage190(platform::Platform& platform, const DriveTraits& drive);
// "update, controller 0x163, row 12: flash id byte 2 & 0x0C = 0", with
// "; its file us5.bin is not there, so the fallback" when it fell back.
std::string DescribeChoice(const UpdateImageChoice& choice, ControllerId controllerId);
bool IsUstDeviceCode(uint8_t code);

}  // namespace kestrune
