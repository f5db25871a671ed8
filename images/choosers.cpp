// Which image file serves a drive: the code image whose blocks run in the
// controller, and the update image whose ISP payload goes into the flash.
// Each choice is a table tried from the top; the first row that matches wins.
#include <algorithm>
#include <array>

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
};

constexpr CodeImageRow kCodeImageRows[] = {
    {[](const DriveTraits& s) { return s.controllerId == kCtrl162; }, "%s\\162.BIN", false},
    {[](const DriveTraits& s) {
       return s.controllerId == kCtrl190 && Bits23(s) != 0 && (s.flashId[3] & 0x02) != 0;
     },
     "%s\\cus6.BIN", false},
    {[](const DriveTraits& s) {
       return s.controllerId == kCtrl190 && Bits23(s) != 0 && (s.flashId[3] & 0x02) == 0;
     },
     "%s\\cus1.BIN", false},
    {[](const DriveTraits& s) {
       return s.controllerId == kCtrl190 && Bits23(s) == 0 && (s.flashId[3] & 0x02) != 0;
     },
     "%s\\cus5.BIN", false},
    {[](const DriveTraits& s) {
       return s.controllerId == kCtrl190 && Bits23(s) == 0 && (s.flashId[3] & 0x02) == 0;
     },
     "%s\\cus.BIN", false},
    {[](const DriveTraits& s) {
       return s.controllerId == kCtrl165 && s.flashId[0] == 0x98 &&
              (s.flashId[1] == 0xD5 || s.flashId[1] == 0xD7) && (s.flashId[3] & 0x02) != 0;
     },
     "%s\\165A9.BIN", false},
    {[](const DriveTraits& s) { return s.controllerId == kCtrl165; }, "%s\\165A0.BIN", true},
    {[](const DriveTraits& s) { return s.flashId[0] == 0x07 && s.revision == 2; }, "%s\\CAUR.BIN",
     false},
    {[](const DriveTraits& s) { return s.flashId[0] == 0x07; }, "%s\\BAUR.BIN", false},
    {[](const DriveTraits& s) { return IsUst(s.flashId[1]) && s.revision == 1; }, "%s\\BAUST.BIN",
     false},
    {[](const DriveTraits& s) { return IsUst(s.flashId[1]) && s.revision == 2; }, "%s\\CAUST.BIN",
     false},
    {[](const DriveTraits& s) { return IsUst(s.flashId[1]); }, "%s\\DAUST.BIN", false},
    {[](const DriveTraits& s) { return s.revision == 1; }, "%s\\BAUS.BIN", false},
    {[](const DriveTraits& s) { return s.revision == 2; }, "%s\\CAUS.BIN", false},
    {[](const DriveTraits&) { return true; }, "%s\\DAUS.BIN", false},
};
static_assert(std::size(kCodeImageRows) == 15);

struct UpdateImageRow {
  DriveTest matches;
  const char* name;  // empty: the folder itself is the candidate
};

constexpr UpdateImageRow kUpdateImageRows[] = {
    {[](const DriveTraits& s) { return s.flashId[0] == 0x07; }, "ur.bin"},
    {[](const DriveTraits& s) { return IsUst(s.flashId[1]); }, "ust.bin"},
    {[](const DriveTraits& s) {
       return s.inquiryText[10] == 'Q' && Bits23(s) == 0 && s.inquiryText[9] == '2';
     },
     "us.bin"},
    {[](const DriveTraits& s) { return s.inquiryText[10] == 'Q'; }, "us1.bin"},
    {[](const DriveTraits& s) {
       return (s.flashId[3] & 0x03) == 2 && s.inquiryText[10] != 'F' && Bits23(s) == 0;
     },
     "us5.bin"},
    {[](const DriveTraits& s) {
       return (s.flashId[3] & 0x03) == 2 && s.inquiryText[10] != 'F' && Bits23(s) == 4;
     },
     "us6.bin"},
    {[](const DriveTraits& s) { return (s.flashId[3] & 0x03) == 2 && s.inquiryText[10] != 'F'; },
     ""},
    {[](const DriveTraits& s) { return s.flashId[0] == 0x01; }, "us3.bin"},
    {[](const DriveTraits& s) { return s.flashId[0] == 0x92; }, "us7.bin"},
    {[](const DriveTraits& s) { return s.flashId[0] == 0x45 && (s.flashId[2] & 0x03) != 0; },
     "us2.bin"},
    {IsAd4Flash, "us4.bin"},
    {[](const DriveTraits& s) { return Bits23(s) == 0; }, "us.bin"},
    {[](const DriveTraits& s) { return Bits23(s) == 4; }, "us1.bin"},
    {[](const DriveTraits&) { return true; }, ""},
};
static_assert(std::size(kUpdateImageRows) == 14);

constexpr UpdateImageRow kUpdateImage190Rows[] = {
    {[](const DriveTraits& s) { return IsUst(s.flashId[1]); }, "cust.bin"},
    {[](const DriveTraits& s) { return s.flashId[0] == 0x92; }, "cus7.bin"},
    {[](const DriveTraits& s) { return s.flashId[0] == 0x45 && (s.flashId[2] & 0x03) != 0; },
     "cus2.bin"},
    {IsAd4Flash, "cus4.bin"},
    {[](const DriveTraits& s) { return Bits23(s) != 0 && (s.flashId[3] & 0x02) != 0; }, "cus6.bin"},
    {[](const DriveTraits& s) { return Bits23(s) != 0; }, "cus1.bin"},
    {[](const DriveTraits& s) { return (s.flashId[3] & 0x02) != 0; }, "cus5.bin"},
    {[](const DriveTraits&) { return true; }, "cus.bin"},
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

template <size_t N>
const char* FirstMatchingName(const UpdateImageRow (&rows)[N], const DriveTraits& drive) {
  for (const UpdateImageRow& row : rows) {
    if (row.matches(drive)) return row.name;
  }
  return "";  // unreachable: every table ends in a row for any drive
}

// Returns the candidate when it opens for reading, else the fallback in the
// candidate's folder. The fallback itself is not tested: the update that
// opens it reports a missing file.
std::string ExistingOrFallback(platform::Platform& platform, const std::string& folder,
                               const char* name, const char* fallback) {
  std::string candidate = folder + name;
  if (platform.CanOpenForReading(candidate)) return candidate;
  return folder + fallback;
}

}  // namespace

bool IsUstDeviceCode(uint8_t code) { return IsUst(code); }

CodeImageChoice CodeImageFor(platform::Platform& platform, const DriveTraits& drive) {
  for (const CodeImageRow& row : kCodeImageRows) {
    if (row.matches(drive)) return {ComposePath(row.pathFormat, WorkFolder(platform)), row.marksA0};
  }
  return {};  // unreachable: the last row matches any drive
}

std::string ChooseUpdateImage(platform::Platform& platform, const DriveTraits& drive,
                              ControllerId controllerId) {
  std::string folder = WorkFolder(platform);
  folder += controllerId == kCtrl163 ? SubFolder163(drive.inquiryText[10]) : "\\";
  return ExistingOrFallback(platform, folder, FirstMatchingName(kUpdateImageRows, drive),
                            "us1.bin");
}

std::string ChooseUpdateImage190(platform::Platform& platform, const DriveTraits& drive) {
  const std::string folder = WorkFolder(platform) + "\\";
  return ExistingOrFallback(platform, folder, FirstMatchingName(kUpdateImage190Rows, drive),
                            "cus1.bin");
}

}  // namespace kestrune
