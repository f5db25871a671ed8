// Which image file serves a drive: the code image whose blocks run in the
// controller, and the update image whose ISP payload goes into the flash.
// Each choice is a table tried from the top; the first row that matches wins.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <string_view>

#include "images/images.h"

namespace kestrune {

namespace {

using DriveTest = bool (*)(const DriveTraits&);

constexpr std::array<uint8_t, 10> kUstDeviceCodes = {0x33, 0x35, 0x36, 0x66, 0x71,
                                                     0x73, 0x75, 0x76, 0x78, 0x79};

constexpr bool IsUst(uint8_t code) {
  return std::find(kUstDeviceCodes.begin(), kUstDeviceCodes.end(), code) != kUstDeviceCodes.end();
}

// Flash id bits the tables test.
constexpr uint8_t Bits23(const DriveTraits& s) { return s.flashId[2] & 0x0C; }
constexpr bool IsAd4Flash(const DriveTraits& s) {
  return Bits23(s) == 4 && s.flashId[0] == 0xAD && (s.flashId[4] == 0x64 || s.flashId[4] == 0x68);
}

struct CodeImageRow {
  DriveTest matches;
  const char* pathFormat;
  bool marksA0;  // the row that also stamps "A0" into inquiryText[8..9]
  // Who the row serves, in words: the controllers it can match and its
  // condition, read as "when no row above matched".
  const char* controllers;
  const char* when;
};

constexpr CodeImageRow kCodeImageRows[] = {
    {[](const DriveTraits& s) { return s.controllerId == kCtrl162; }, "%s\\162.BIN", false, "0x162",
     "any flash"},
    {[](const DriveTraits& s) {
       return s.controllerId == kCtrl190 && Bits23(s) != 0 && (s.flashId[3] & 0x02) != 0;
     },
     "%s\\cus6.BIN", false, "0x190", "flash id byte 2 & 0x0C not 0, byte 3 & 0x02 set"},
    {[](const DriveTraits& s) {
       return s.controllerId == kCtrl190 && Bits23(s) != 0 && (s.flashId[3] & 0x02) == 0;
     },
     "%s\\cus1.BIN", false, "0x190", "flash id byte 2 & 0x0C not 0, byte 3 & 0x02 clear"},
    {[](const DriveTraits& s) {
       return s.controllerId == kCtrl190 && Bits23(s) == 0 && (s.flashId[3] & 0x02) != 0;
     },
     "%s\\cus5.BIN", false, "0x190", "flash id byte 2 & 0x0C = 0, byte 3 & 0x02 set"},
    {[](const DriveTraits& s) {
       return s.controllerId == kCtrl190 && Bits23(s) == 0 && (s.flashId[3] & 0x02) == 0;
     },
     "%s\\cus.BIN", false, "0x190", "flash id byte 2 & 0x0C = 0, byte 3 & 0x02 clear"},
    {[](const DriveTraits& s) {
       return s.controllerId == kCtrl165 && s.flashId[0] == 0x98 &&
              (s.flashId[1] == 0xD5 || s.flashId[1] == 0xD7) && (s.flashId[3] & 0x02) != 0;
     },
     "%s\\165A9.BIN", false, "0x165", "flash 98 D5 or 98 D7, id byte 3 & 0x02 set"},
    {[](const DriveTraits& s) { return s.controllerId == kCtrl165; }, "%s\\165A0.BIN", true,
     "0x165", "any other flash"},
    {[](const DriveTraits& s) { return s.flashId[0] == 0x07 && s.revision == 2; }, "%s\\CAUR.BIN",
     false, "0x161, 0x163, 0x168, 0x169", "flash maker 0x07, revision 2"},
    {[](const DriveTraits& s) { return s.flashId[0] == 0x07; }, "%s\\BAUR.BIN", false,
     "0x161, 0x163, 0x168, 0x169", "flash maker 0x07, any other revision"},
    {[](const DriveTraits& s) { return IsUst(s.flashId[1]) && s.revision == 1; }, "%s\\BAUST.BIN",
     false, "0x161, 0x163, 0x168, 0x169", "a UST device code, revision 1"},
    {[](const DriveTraits& s) { return IsUst(s.flashId[1]) && s.revision == 2; }, "%s\\CAUST.BIN",
     false, "0x161, 0x163, 0x168, 0x169", "a UST device code, revision 2"},
    {[](const DriveTraits& s) { return IsUst(s.flashId[1]); }, "%s\\DAUST.BIN", false,
     "0x161, 0x163, 0x168, 0x169", "a UST device code, any other revision"},
    {[](const DriveTraits& s) { return s.revision == 1; }, "%s\\BAUS.BIN", false,
     "0x161, 0x163, 0x168, 0x169", "revision 1"},
    {[](const DriveTraits& s) { return s.revision == 2; }, "%s\\CAUS.BIN", false,
     "0x161, 0x163, 0x168, 0x169", "revision 2"},
    {[](const DriveTraits&) { return true; }, "%s\\DAUS.BIN", false, "0x161, 0x163, 0x168, 0x169",
     "any other revision"},
};
static_assert(std::size(kCodeImageRows) == 15);

struct UpdateImageRow {
  DriveTest matches;
  const char* name;  // empty: the folder itself is the candidate
  const char* when;  // its condition in words, read as "when no row above matched"
  // The row asks for INQUIRY character 10 'Q', which sends a 0x163 drive to
  // a sub-folder of its own ("BCD\\").
  bool onlyQ = false;
};

constexpr UpdateImageRow kUpdateImageRows[] = {
    {[](const DriveTraits& s) { return s.flashId[0] == 0x07; }, "ur.bin", "flash maker 0x07"},
    {[](const DriveTraits& s) { return IsUst(s.flashId[1]); }, "ust.bin", "a UST device code"},
    {[](const DriveTraits& s) {
       return s.inquiryText[10] == 'Q' && Bits23(s) == 0 && s.inquiryText[9] == '2';
     },
     "us.bin", "INQUIRY character 10 'Q', character 9 '2', flash id byte 2 & 0x0C = 0", true},
    {[](const DriveTraits& s) { return s.inquiryText[10] == 'Q'; }, "us1.bin",
     "INQUIRY character 10 'Q'", true},
    {[](const DriveTraits& s) {
       return (s.flashId[3] & 0x03) == 2 && s.inquiryText[10] != 'F' && Bits23(s) == 0;
     },
     "us5.bin", "flash id byte 3 & 0x03 = 2, byte 2 & 0x0C = 0 (INQUIRY character 10 not 'F')"},
    {[](const DriveTraits& s) {
       return (s.flashId[3] & 0x03) == 2 && s.inquiryText[10] != 'F' && Bits23(s) == 4;
     },
     "us6.bin", "flash id byte 3 & 0x03 = 2, byte 2 & 0x0C = 4 (INQUIRY character 10 not 'F')"},
    {[](const DriveTraits& s) { return (s.flashId[3] & 0x03) == 2 && s.inquiryText[10] != 'F'; },
     "", "flash id byte 3 & 0x03 = 2 (INQUIRY character 10 not 'F'): no file named, the fallback"},
    {[](const DriveTraits& s) { return s.flashId[0] == 0x01; }, "us3.bin", "flash maker 0x01"},
    {[](const DriveTraits& s) { return s.flashId[0] == 0x92; }, "us7.bin", "flash maker 0x92"},
    {[](const DriveTraits& s) { return s.flashId[0] == 0x45 && (s.flashId[2] & 0x03) != 0; },
     "us2.bin", "flash maker 0x45, id byte 2 & 0x03 not 0"},
    {IsAd4Flash, "us4.bin", "flash AD .. 4x .. 64 or 68 (id byte 2 & 0x0C = 4)"},
    {[](const DriveTraits& s) { return Bits23(s) == 0; }, "us.bin", "flash id byte 2 & 0x0C = 0"},
    {[](const DriveTraits& s) { return Bits23(s) == 4; }, "us1.bin", "flash id byte 2 & 0x0C = 4"},
    {[](const DriveTraits&) { return true; }, "", "any other flash: no file named, the fallback"},
};
static_assert(std::size(kUpdateImageRows) == 14);

constexpr UpdateImageRow kUpdateImage190Rows[] = {
    {[](const DriveTraits& s) { return IsUst(s.flashId[1]); }, "cust.bin", "a UST device code"},
    {[](const DriveTraits& s) { return s.flashId[0] == 0x92; }, "cus7.bin", "flash maker 0x92"},
    {[](const DriveTraits& s) { return s.flashId[0] == 0x45 && (s.flashId[2] & 0x03) != 0; },
     "cus2.bin", "flash maker 0x45, id byte 2 & 0x03 not 0"},
    {IsAd4Flash, "cus4.bin", "flash AD .. 4x .. 64 or 68 (id byte 2 & 0x0C = 4)"},
    {[](const DriveTraits& s) { return Bits23(s) != 0 && (s.flashId[3] & 0x02) != 0; }, "cus6.bin",
     "flash id byte 2 & 0x0C not 0, byte 3 & 0x02 set"},
    {[](const DriveTraits& s) { return Bits23(s) != 0; }, "cus1.bin",
     "flash id byte 2 & 0x0C not 0"},
    {[](const DriveTraits& s) { return (s.flashId[3] & 0x02) != 0; }, "cus5.bin",
     "flash id byte 3 & 0x02 set"},
    {[](const DriveTraits&) { return true; }, "cus.bin", "any other flash"},
};
static_assert(std::size(kUpdateImage190Rows) == 8);

struct SubFolderRow {
  char key;
  const char* folder;
};
constexpr SubFolderRow kSubFolders163[] = {
    {'B', "A1\\"}, {'C', "163A2C\\"}, {'D', "A2D\\"}, {'F', "FP\\"}, {'Q', "BCD\\"},
};
constexpr const char* kDefaultSubFolder163 = "A1\\";

const char* SubFolder163(char key) {
  for (const SubFolderRow& row : kSubFolders163) {
    if (row.key == key) return row.folder;
  }
  return kDefaultSubFolder163;
}

// The first row of `rows` that matches the drive, counted from 0.
template <size_t N>
size_t FirstMatchingRow(const UpdateImageRow (&rows)[N], const DriveTraits& drive) {
  for (size_t r = 0; r < N; ++r) {
    if (rows[r].matches(drive)) return r;
  }
  return N - 1;  // unreachable: every table ends in a row for any drive
}

// The candidate of the matching row when it opens for reading, else the
// fallback in the candidate's folder. The fallback itself is not tested:
// the update that opens it reports a missing file.
template <size_t N>
UpdateImageChoice ExistingOrFallback(platform::Platform& platform, const std::string& folder,
                                     const UpdateImageRow (&rows)[N], ImageChooser chooser,
                                     const DriveTraits& drive, const char* fallback) {
  const size_t r = FirstMatchingRow(rows, drive);
  UpdateImageChoice choice;
  choice.path = folder + rows[r].name;
  choice.chooser = chooser;
  choice.row = static_cast<int>(r + 1);
  choice.when = rows[r].when;
  choice.named = rows[r].name;
  if (platform.CanOpenForReading(choice.path)) return choice;
  choice.path = folder + fallback;
  choice.fallback = true;
  return choice;
}

}  // namespace

bool IsUstDeviceCode(uint8_t code) { return IsUst(code); }

CodeImageChoice CodeImageFor(platform::Platform& platform, const DriveTraits& drive) {
  for (const CodeImageRow& row : kCodeImageRows) {
    if (row.matches(drive)) return {ComposePath(row.pathFormat, WorkFolder(platform)), row.marksA0};
  }
  return {};  // unreachable: the last row matches any drive
}

UpdateImageChoice ChooseUpdateImageRow(platform::Platform& platform, const DriveTraits& drive,
                                       ControllerId controllerId) {
  std::string folder = WorkFolder(platform);
  folder += controllerId == kCtrl163 ? SubFolder163(drive.inquiryText[10]) : "\\";
  return ExistingOrFallback(platform, folder, kUpdateImageRows, ImageChooser::kUpdate, drive,
                            "us1.bin");
}

UpdateImageChoice ChooseUpdateImage190Row(platform::Platform& platform, const DriveTraits& drive) {
  const std::string folder = WorkFolder(platform) + "\\";
  return ExistingOrFallback(platform, folder, kUpdateImage190Rows, ImageChooser::kUpdate190, drive,
                            "cus1.bin");
}

std::string ChooseUpdateImage(platform::Platform& platform, const DriveTraits& drive,
                              ControllerId controllerId) {
  return ChooseUpdateImageRow(platform, drive, controllerId).path;
}

std::string ChooseUpdateImage190(platform::Platform& platform, const DriveTraits& drive) {
  return ChooseUpdateImage190Row(platform, drive).path;
}

std::string DescribeChoice(const UpdateImageChoice& choice, ControllerId controllerId) {
  char controller[8];
  std::snprintf(controller, sizeof controller, "0x%03X", static_cast<unsigned>(controllerId));
  std::string text = std::string(ImageChooserName(choice.chooser)) + ", controller " + controller +
                     ", row " + std::to_string(choice.row) + ": " + choice.when;
  // A row without a file of its own says so in its condition.
  if (choice.fallback && *choice.named != '\0') {
    text += "; its file " + std::string(choice.named) + " is not there, so the fallback";
  }
  return text;
}

namespace {

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Who the update chooser sends to the top of the work folder, and who to
// the one sub-folder the catalogue fills.
constexpr const char* kTopUpdateControllers = "0x161, 0x162, 0x165, 0x168, 0x169";
constexpr const char* kSubUpdateControllers = "0x163 with INQUIRY character 10 'C'";
constexpr const char* kFallbackWhen = "the file its row named is not there";

template <size_t N>
void AddUpdateUses(const UpdateImageRow (&rows)[N], ImageChooser chooser, const char* controllers,
                   bool subFolder, std::string_view name, const char* fallback,
                   std::vector<ImageUse>& uses) {
  for (size_t r = 0; r < N; ++r) {
    const UpdateImageRow& row = rows[r];
    if (*row.name == '\0' || !SameName(row.name, name) || (subFolder && row.onlyQ)) continue;
    uses.push_back({chooser, controllers, row.when, static_cast<int>(r + 1)});
  }
  if (SameName(fallback, name)) uses.push_back({chooser, controllers, kFallbackWhen, 0});
}

}  // namespace

const char* ImageChooserName(ImageChooser chooser) {
  switch (chooser) {
    case ImageChooser::kCode:
      return "code";
    case ImageChooser::kUpdate:
      return "update";
    case ImageChooser::kUpdate190:
      return "update 0x190";
  }
  return "";
}

std::vector<ImageUse> UsesOfImage(int entry) {
  std::vector<ImageUse> uses;
  if (entry < 0 || entry >= static_cast<int>(std::size(kCatalogue))) return uses;
  const std::string_view relative = kCatalogue[entry].pathFormat + 3;
  const size_t slash = relative.find('\\');
  const bool subFolder = slash != std::string_view::npos;
  const std::string_view name = subFolder ? relative.substr(slash + 1) : relative;
  if (!subFolder) {
    for (size_t r = 0; r < std::size(kCodeImageRows); ++r) {
      const CodeImageRow& row = kCodeImageRows[r];
      if (SameName(row.pathFormat + 3, name)) {
        uses.push_back({ImageChooser::kCode, row.controllers, row.when, static_cast<int>(r + 1)});
      }
    }
  }
  AddUpdateUses(kUpdateImageRows, ImageChooser::kUpdate,
                subFolder ? kSubUpdateControllers : kTopUpdateControllers, subFolder, name,
                "us1.bin", uses);
  if (!subFolder) {
    AddUpdateUses(kUpdateImage190Rows, ImageChooser::kUpdate190, "0x190", false, name, "cus1.bin",
                  uses);
  }
  return uses;
}

}  // namespace kestrune
