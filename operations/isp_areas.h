// Helpers shared by the ISP operations: which ISP copies have a known place
// in flash, which page sizes each transfer scheme can carry, message texts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "discovery/discovery.h"
#include "discovery/program.h"

namespace kestrune {

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

// Erases the block at `startPage` and every further block that the
// `pageCount` pages from it reach, so that no page is programmed over old
// data when the area is larger than one block.
void EraseArea(Program& p, int slotIndex, uint32_t startPage, uint32_t pageCount);

// "5" or "5, 9"; past eight blocks the rest are counted, not listed.
std::string DescribeBlocks(const std::vector<uint32_t>& blocks);

// The warning box and log line after a verified write over an incomplete
// CodeMark search; nothing when the search was complete.
void WarnOfUnreadBlocks(Program& p, int slotIndex);

// Writes images[i] (kIspAreaBytes each) into the ISP area of copies[i], as
// the update lays an area out, then reads every usable copy back and
// compares; opens and closes the volume. Shows the box of the first failure
// and returns false; true once every usable copy was verified.
bool WriteIspAreas(Program& p, int slotIndex, const std::vector<CopyArea>& copies,
                   const std::vector<const uint8_t*>& images, uint8_t* readBack);

// The 0x190 scheme over given code: the ISP areas, then the auxiliary
// areas, each written in 4 KiB steps and read back, then the restart.
// images[i] belongs to copies[i] (ISP images hold kIspAreaBytes, the area
// and a page's reach behind it). False after the box of the first failure;
// `restarted` tells how the restart went.
bool WriteCodeAreas190(Program& p, int slotIndex, const std::vector<CopyArea>& ispCopies,
                       const std::vector<const uint8_t*>& ispImages,
                       const std::vector<CopyArea>& auxCopies,
                       const std::vector<const uint8_t*>& auxImages, uint8_t* readBack,
                       bool& restarted);
// After a restart that failed the controller may be left without working
// code: the volume is opened again and code block 5 loaded.
void ReloadWorkingCode(Program& p, int slotIndex);

std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ReadImageFile for the updates: on failure it shows the "cannot be opened"
// box, with a second line when the file differs from its image, and
// returns false.
bool ReadUpdateImage(Program& p, const std::string& path, std::vector<uint8_t>& bytes);

// With stand-ins, no real drive may be written. True ("stop") after one
// ERROR box asking for real images when the selected drive is reached
// through real pass-through (StandInsBarredFrom). Every operation that
// changes a drive's flash asks it first.
bool RefuseStandInImages(Program& p);

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
inline constexpr const char* kBackupPageSizeUnsupported =
    "Can't back up ISP to <%s>: flash page size %u is not supported.";
inline constexpr const char* kAuxWriteFailed = "Fail to write 16k auxiliary code to <%s>";
// Second and third lines of a "Fail" box about a file.
inline constexpr const char* kShortWriteCause = "Only %zu of %u bytes were written.";
inline constexpr const char* kNoCauseGiven = "The system gave no reason.";
inline constexpr const char* kOlderFileStays =
    "An older file of that name cannot be moved aside: %s";
inline constexpr const char* kNoFreeName = "no free name is left";
inline constexpr const char* kUpdateNotStarted =
    "The update was stopped before anything was written to the drive.";
// Log lines.
inline constexpr const char* kNoBackupMade =
    "No backup was made to <%s>: the flash could not be read.";
inline constexpr const char* kUpdateStopped =
    "Update stopped: a backup could not be saved, nothing was written to the drive.";
inline constexpr const char* kOlderFileKept = "Older file kept: <%s> is now <%s>";
inline constexpr const char* kInterruptedAfterWrite =
    "Interrupted: the run ended after the ISP write, no After backup was made.";
// After a verified update over an incomplete CodeMark search.
inline constexpr const char* kCisBlocksUnread =
    "The first page of block %s could not be read while the ISP copies were searched. A copy "
    "kept there, if any, was not rewritten.";
// The backup and restore commands.
inline constexpr const char* kNothingToBackUp =
    "No ISP copy of this drive has a known place in flash, nothing was saved.";
inline constexpr const char* kRestoreFileCount =
    "This drive needs %u backup files to be restored, %u were given. Nothing was written.";
inline constexpr const char* kRestoreWrongSize =
    "The file <%s> is not a backup of this area: it must hold exactly %u bytes. Nothing was "
    "written.";
inline constexpr const char* kRestoreConfirm =
    "Are you sure to restore the ISP code from the backup files ?";
inline constexpr const char* kRestoreSuccess =
    "Restore ISP code Success, please replug device to ensure it normal.";
inline constexpr const char* kRestoreReplug = "Restore ISP code Success, please replug the device";
// The records that tie backups to their drive.
inline constexpr const char* kRecordsUnreadable = "The backup records <%s> cannot be read: %s.";
inline constexpr const char* kRecordsNotReady =
    "The backup <%s> was not saved: its record cannot be kept in <%s>.";
inline constexpr const char* kRecordNotKept =
    "The backup <%s> was saved, but its record could not be kept in <%s>.";
inline constexpr const char* kNoDigest = "The system's SHA-256 service failed.";
inline constexpr const char* kNothingWritten = "Nothing was written.";
inline constexpr const char* kRestoreNoRecordedBackup =
    "No backup of ISP copy %d of this drive (%s) is recorded in <%s>. Nothing was written. A file "
    "of another drive, or of unknown origin, is written only when named with --from, with "
    "--donor.";
inline constexpr const char* kRestoreNoSerial =
    "This drive (%s) gives no USB serial, so its backups cannot be told from those of another "
    "stick of the same model. Nothing was written. Name the files with --from, with --donor.";
inline constexpr const char* kRestoreOtherModel =
    "The file <%s> was saved from another kind of drive: %s. This drive is %s. Nothing was "
    "written.";
inline constexpr const char* kRestoreMixedDrives =
    "The files <%s> and <%s> were saved from two different drives: %s; and %s. Nothing was "
    "written.";
inline constexpr const char* kRestoreNotThisDrive =
    "The file <%s> %s; this drive is %s. Nothing was written: a file that is not shown to be "
    "this drive's own backup of that copy is written only with --donor.";
// How the origin of a file without a usable record is told.
inline constexpr const char* kNoRecordOrigin =
    "has no record in <%s>, so the drive it came from is unknown";
inline constexpr const char* kChangedOrigin =
    "is not the file recorded under its name in <%s> (its size or SHA-256 differs), so the drive "
    "it came from is unknown";
// Follows one line per file that is not this drive's own backup.
inline constexpr const char* kRestoreDonorQuestion =
    "This drive is %s.\nWrite code saved from another drive, or of unknown origin, into it ?";

}  // namespace kestrune
