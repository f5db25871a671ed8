// Helpers shared by the ISP operations: which ISP copies have a known place
// in flash, which page sizes each transfer scheme can carry, the writers of
// the ISP areas. Their texts are in operations/messages.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/program.h"
#include "discovery/discovery.h"
#include "images/images.h"

namespace kestrune {

class WriteWindow;

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

// Page sizes the transfer schemes can carry inside their 64 KiB buffers:
// usable pages (IsUsablePageSize) that the scheme's steps divide evenly.
bool PageSizeFitsUpdate(uint32_t pageSize);
bool PageSizeFitsChunked(uint32_t pageSize);

// Erases the block at `startPage` and every further block that the
// `pageCount` pages from it reach, so that no page is programmed over old
// data when the area is larger than one block.
// False when an erase was not sent or did not end GOOD.
bool EraseArea(Program& p, int slotIndex, uint32_t startPage, uint32_t pageCount);

// Why a copy that read back without a failed command is not what was
// written: `what` ("ISP copy 0") and the first byte that differs, at
// `offset` plus its place in the `bytes` compared.
FailureCause DifferingReadBack(const std::string& what, const uint8_t* written, const uint8_t* read,
                               size_t bytes, size_t offset = 0);

// "5" or "5, 9"; past eight blocks the rest are counted, not listed.
std::string DescribeBlocks(const std::vector<uint32_t>& blocks);

// The warning box and log line after a verified write over an incomplete
// CodeMark search; nothing when the search was complete.
void WarnOfUnreadBlocks(Program& p, int slotIndex);

// Writes images[i] (kIspAreaBytes each) into the ISP area of copies[i], as
// the update lays an area out, then reads every usable copy back and
// compares; opens and closes the volume. Shows the box of the first failure
// and returns false; true once every usable copy was verified.
// The write takes place inside `window`, which the caller keeps open until
// it has told the outcome.
bool WriteIspAreas(Program& p, int slotIndex, const std::vector<CopyArea>& copies,
                   const std::vector<const uint8_t*>& images, uint8_t* readBack,
                   WriteWindow& window);

// The 0x190 scheme over given code: the ISP areas, then the auxiliary
// areas, each written in 4 KiB steps and read back, then the restart.
// images[i] belongs to copies[i] (ISP images hold kIspAreaBytes, the area
// and a page's reach behind it). False after the box of the first failure;
// `restarted` tells how the restart went.
bool WriteCodeAreas190(Program& p, int slotIndex, const std::vector<CopyArea>& ispCopies,
                       const std::vector<const uint8_t*>& ispImages,
                       const std::vector<CopyArea>& auxCopies,
                       const std::vector<const uint8_t*>& auxImages, uint8_t* readBack,
                       WriteWindow& window, bool& restarted);
// After a restart that failed the controller may be left without working
// code: the volume is opened again and code block 5 loaded.
void ReloadWorkingCode(Program& p, int slotIndex);
// A restarted 0x190 answers flash reads again only on its working code,
// loaded and started on the selected drive as identification does.
void PrepareFlashReads190(Program& p);

std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ReadImageFile for the updates: on failure it shows the "cannot be opened"
// box, with a second line when the file differs from its image, and
// returns false.
bool ReadUpdateImage(Program& p, const std::string& path, std::vector<uint8_t>& bytes);

// The update image of a fix, read once: the bytes the update writes and
// what names them.
struct ChosenImage {
  std::vector<uint8_t> bytes;
  WrittenImage named;
};

// Reads the image `choice` names for the selected drive (ReadUpdateImage),
// then reports it and logs it with its chooser row and SHA-256, before
// anything the fix overwrites is saved. False after the box of a file
// that cannot be read, or differs.
bool TakeUpdateImage(Program& p, const UpdateImageChoice& choice, ChosenImage& image);

// The sentence that names what reaches the selected drive when no save can:
// the fix, with the image it would write, or nothing when that image is
// not among the run's.
std::string HowToReach(Program& p);

}  // namespace kestrune
