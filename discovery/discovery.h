// Drive discovery: the drive table, identification, flash configuration,
// CIS and CodeMark location. Every operation takes the program and, where
// it works on one drive, the slot index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "base/program.h"
#include "images/images.h"

namespace kestrune {

// The letter order of the scan: C..Z, then B.
extern const char kScanLetters[kSlotCount];

// The fill of a reset slot; an ispOffset or auxAreaOffset holding it was set
// by no search or header page and names no flash area.
inline constexpr uint32_t kUnsetOffset = 0xCDCDCDCD;

// Largest page a drive may report: one page and its spare bytes (written
// behind the page, up to 64 of them) must fit the 64 KiB pageBuffer.
inline constexpr uint32_t kMaxPageSize = kPageBufferSize - 64;

// A page size that whole-sector transfers and the pageBuffer can carry:
// a non-zero multiple of 512 no larger than kMaxPageSize.
constexpr bool IsUsablePageSize(uint32_t pageSize) {
  return pageSize != 0 && pageSize % 512 == 0 && pageSize <= kMaxPageSize;
}

// Copies a text field of a drive's reply into a slot field, which holds one
// character more for the terminating NUL.
template <size_t N>
void CopyText(char (&to)[N], const uint8_t* from) {
  std::memcpy(to, from, N - 1);
  to[N - 1] = '\0';
}

// The text of a slot field, up to its first NUL and never past the field's
// own characters: a slot filled by hand or from a reply may lack the NUL.
template <size_t N>
std::string FieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N - 1));
}

// --- drive table and identification ---
void ResetSlot(Program& p, int index);
uint8_t CheckDriveExist(Program& p);
bool IdentifyDrive(Program& p, int index);
bool ParseInquiryData(Program& p, int index);
uint32_t ToCisPage(Program& p, int index, uint32_t page);
uint32_t ToDevicePage(Program& p, int index, uint32_t cisPage);
uint32_t ToDevicePage(const DriveSlot& slot, uint32_t cisPage);

// Slot-level wrappers of the link.
bool OpenVolume(Program& p, int index);
void CloseVolume(Program& p, int index);

// --- flash configuration ---
bool QueryCapacity(Program& p, int index);
void QueryModeByte(Program& p, int index);
bool ProbeFlashConfigA(Program& p, int index);
bool ProbeFlashConfigB(Program& p, int index);
bool ReadExtraInfo(Program& p, int index);

// --- CIS and CodeMark ---
bool LocateCodeMark(Program& p, int index);
bool VerifyCisPage(const uint8_t* page);
bool ParseCisPageA(Program& p, int index, uint32_t page);
bool ParseCisPageB(Program& p, int index, uint32_t page);
// Running zone sum of ParseCisPageB.
void AddZoneEntry(Program& p, int index, uint32_t unit, uint32_t zone, uint32_t& sum);
void AddZoneEntryAlt(Program& p, int index, uint32_t unit, uint32_t zone, uint32_t& sum);

// --- code loading and restart ---
// What the image choosers go by, from the slot.
DriveTraits TraitsOf(const DriveSlot& slot);
// The code image for the slot's drive. Controller 0x165 drives without the
// flash of 165A9.BIN also get "A0" in inquiryText[8..9].
std::string ChooseCodeImage(Program& p, int slotIndex);
// Stand-in images must not reach a real drive: true when the slot's drive
// is reached through real pass-through and this run's images are stand-ins,
// unless the run's test switch (Program::allowStandInImages) lifts it. A
// slot that is not there counts as real.
bool StandInsBarredFrom(Program& p, int slotIndex);
bool LoadCodeBlock(Program& p, int8_t block, int slotIndex);
// What is said of a drive whose working code could not be loaded
// (Program::codeNotLoaded): why, and what that leaves of it.
std::string CodeNotLoadedText(Program& p, int slotIndex);
bool RestartDrive(Program& p, int slotIndex);
bool ReadSpareUnderCode(Program& p, uint32_t page, int slotIndex);

}  // namespace kestrune
