// Helpers shared by the ISP operations: which ISP copies have a known place
// in flash, which page sizes each transfer scheme can carry, message texts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "discovery/discovery.h"
#include "discovery/program.h"

namespace kestrune {

// What ResetSlot leaves in a 32-bit field that nothing has set since.
inline constexpr uint32_t kSlotFill32 = kUnsetOffset;

inline constexpr uint32_t kIspAreaBytes = 0x10000;
inline constexpr uint32_t kIspPayloadBytes = 0xC000;
inline constexpr uint32_t kIspFileOffset = 0x4000;
inline constexpr uint32_t kAuxFileOffset = 0x10000;
inline constexpr uint32_t kAuxAreaBytes = 0x4000;
inline constexpr uint32_t kLargePageThreshold = 4096;
inline constexpr uint32_t kChunkBytes = 4096;
inline constexpr uint32_t kSparePadBytes = 16;

// Whether copy `copy` of the slot carries an ISP offset that a CodeMark
// search or a family-A header page set: a stale offset of an absent copy or
// the reset fill must never be erased or written.
bool IspOffsetSet(const DriveSlot& slot, int copy);
bool AuxOffsetSet(const DriveSlot& slot, int copy);

// One present CIS copy as an update sees it: the device page its area
// starts at, or kInvalidPage when the copy has no usable place in flash.
struct CopyArea {
  int copy;
  uint32_t devicePage;
  bool usable() const { return devicePage != kInvalidPage; }
};

enum class AreaKind : uint8_t { kIsp, kAux };

// The present copies of the slot, in copy order, each with its start page.
std::vector<CopyArea> BuildCopyList(Program& p, int slotIndex, AreaKind kind);

// True when at least one entry has a place in flash to be written.
bool AnyUsable(const std::vector<CopyArea>& list);

// Copy numbers of the entries that are not usable, as "0" or "0, 2".
std::string DescribeSkipped(const std::vector<CopyArea>& list);

// Page sizes the transfer schemes can carry inside their 64 KiB buffers.
bool PageSizeFitsUpdate(uint32_t pageSize);
bool PageSizeFitsChunked(uint32_t pageSize);
bool PageSizeFitsDownload(uint32_t pageSize);
bool PageSizeFitsPageBuffer(uint32_t pageSize);

// Erases the block at `startPage` and every further block that the
// `pageCount` pages from it reach, so that no page is programmed over old
// data when the area is larger than one block.
void EraseArea(Program& p, int slotIndex, uint32_t startPage, uint32_t pageCount);

// Fills `buffer` with the complement of `expected`, so that a read which
// reports success but delivers no data can never pass for the expected bytes.
void FillUnlike(uint8_t* buffer, const uint8_t* expected, size_t count);

std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Texts of our own for cases that the plain flow would misreport.
inline constexpr const char* kPageSizeUnsupported =
    "Flash page size %u is not supported, the ISP was not touched.";
inline constexpr const char* kNoIspCopyKnown =
    "No ISP copy of this drive has a known place in flash, nothing was written.";
inline constexpr const char* kIspCopiesSkipped =
    "ISP copy %s was not written: its place in flash is unknown. The ISP is not fully updated.";
inline constexpr const char* kAuxCopiesSkipped =
    "The auxiliary code of ISP copy %s was not written: its place in flash is unknown. The ISP is "
    "not fully updated.";
inline constexpr const char* kNothingToDestroy =
    "No ISP copy of this drive has a known place in flash, nothing was erased.";
inline constexpr const char* kDestroyEraseFailed =
    "The erase of ISP copy %s failed, the ISP may not be destroyed.";
inline constexpr const char* kCisSearchIncomplete =
    "A CIS page could not be read while the ISP copies were searched, so a copy may not have been "
    "written. The ISP may not be fully updated.";
inline constexpr const char* kBackupSkipped =
    "Can't back up ISP %d to <%s>: its place in flash is unknown.";

}  // namespace kestrune
