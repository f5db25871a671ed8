// The texts the operations show and log beyond the plain flow's own: box
// texts, log lines and the parts they are made of. Formats take their
// arguments through FormatText (operations/isp_areas.h).
#pragma once

#include <string_view>

namespace kestrune {

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
inline constexpr const char* kShortWriteCause = "Only %u of %u bytes were written.";
inline constexpr const char* kNoCauseGiven = "The system gave no reason.";
inline constexpr const char* kOlderFileStays =
    "An older file of that name cannot be moved aside: %s";
inline constexpr const char* kNoFreeName = "no free name is left";
// A drive whose flash configuration the scan could not read.
inline constexpr const char* kConfigNotRead =
    "Read flash configuration fail: the drive's page size and blocks are unknown. Nothing was "
    "written.";
inline constexpr const char* kUpdateNotStarted =
    "The update was stopped before anything was written to the drive.";
// A Before backup whose read failed: the change goes on, its save does not
// count as whole.
inline constexpr const char* kSaveLacksArea =
    "The backup of %s could not be made: save %s lacks it, so no restore takes that save whole.";
// Log lines.
inline constexpr const char* kNoBackupMade =
    "No backup was made to <%s>: the flash could not be read.";
inline constexpr const char* kReadingAgain =
    "No two reads for <%s> agree yet: reading the area again (read %d).";
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
    "This drive needs %u backup files to be restored, %u %s given. Nothing was written.";
inline constexpr const char* kRestoreWrongSize =
    "The file <%s> is not a backup of this area: it must hold exactly %u bytes. Nothing was "
    "written.";
inline constexpr const char* kRestoreConfirm =
    "Are you sure to restore the ISP code from the backup files ?";
inline constexpr const char* kRestoreSuccess =
    "Restore ISP code Success, please replug device to ensure it normal.";
inline constexpr const char* kRestoreReplug = "Restore ISP code Success, please replug the device";
// The boxes of a fix that has written and verified every copy.
inline constexpr const char* kUpdateSuccess =
    "Update ISP code Success, please replug device to ensure it normal.";
inline constexpr const char* kUpdateReplug = "Update ISP code Success, please replug the device";

// The records that tie backups to their drive.
inline constexpr const char* kRecordsUnreadable = "The backup records <%s> cannot be read: %s.";
inline constexpr const char* kRecordsNotReady =
    "The backup <%s> was not saved: its record cannot be kept in <%s>.";
inline constexpr const char* kRecordNotKept =
    "The backup <%s> was saved, but its record could not be kept in <%s>.";
inline constexpr const char* kNoDigest = "The system's SHA-256 service failed.";
// The mark that a change's Before save is the way back from a change that
// went out to the drive.
inline constexpr const char* kChangeMarkNotKept =
    "The save %s cannot be marked as the way back from this change.";
inline constexpr const char* kNothingErased = "Nothing was erased or written.";
inline constexpr const char* kChangeCountsNotKept =
    "What the change of save %s wrote could not be added to its record: %s";
inline constexpr const char* kChangeMarkStays =
    "The save %s stays marked as the way back of a change, though nothing was written: %s";
inline constexpr const char* kNothingWritten = "Nothing was written.";
inline constexpr const char* kRestoreNoSerial =
    "This drive (%s) gives no USB serial, so its backups cannot be told from those of another "
    "stick of the same model. Nothing was written. Name the files %s.";
inline constexpr const char* kRestoreOtherModel =
    "The file <%s> was saved from another kind of drive: %s. This drive is %s. Nothing was "
    "written.";
inline constexpr const char* kRestoreMixedDrives =
    "The files <%s> and <%s> were saved from two different drives: %s; and %s. Nothing was "
    "written.";
inline constexpr const char* kRestoreNotThisDrive =
    "The file <%s> %s; this drive is %s. Nothing was written: a file that is not shown to be "
    "this drive's own backup of that copy is written only %s.";
// How the origin of a file without a usable record is told.
inline constexpr const char* kNoRecordOrigin =
    "has no record in <%s>, so the drive it came from is unknown";
inline constexpr const char* kChangedOrigin =
    "is not the file recorded under its name in <%s> (its size or SHA-256 differs), so the drive "
    "it came from is unknown";
inline constexpr const char* kRecordsFull =
    "The records there are numbered up to the last sequence a run may give, so no newer backup "
    "can be told from them.";
inline constexpr const char* kRestoreOtherUsersRecords =
    "The backup records <%s> belong to %s, not to this user, so no backup in them counts as this "
    "drive's own. Nothing was written. Name the files %s.";
// Added to the origin of a file the records alone would take for this
// drive's.
inline constexpr const char* kOtherUsersFile = "; the file belongs to %s, not to this user";
inline constexpr const char* kOtherUsersRecordsOrigin =
    "has no record this user can trust: <%s> belongs to %s";
inline constexpr const char* kKeptByReplay =
    ", kept by a replay of the recording with SHA-256 %s, not read from the stick";
inline constexpr const char* kOtherCisPage =
    " (the same USB serial, but that stick's CIS page has SHA-256 %s and this drive's %s: another "
    "stick of that serial)";
inline constexpr const char* kNoCisPageRecorded =
    " (recorded without the digest of its CIS page, so it cannot be told from another stick of "
    "that serial)";
// The saves a restore takes.
inline constexpr const char* kRestoreWritesSave = "Restore writes save %s (%s, %s, %s%s):";
inline constexpr const char* kRestoreWritesFiles = "Restore writes the files named by hand:";
inline constexpr const char* kRestoreNoSave =
    "No save of this drive (%s) made before a change is recorded in the C: folder. Nothing was "
    "written. A file of another drive, or of unknown origin, is written only when named %s.";
inline constexpr const char* kRestoreNoSuchSave =
    "No save %s is recorded in the C: folder. Nothing was written.";
inline constexpr const char* kRestoreSaveIncomplete =
    "The save %s (%s, %s) in <%s> lacks %s. Nothing was written: a restore writes one save whole "
    "and never fills a gap from another.";
inline constexpr const char* kRestoreNotAsLeft =
    "This drive's %s is not what the %s of save %s left on a stick with its serial and CIS page: "
    "it may be another stick of the same batch, or it was changed since. Nothing was written. To "
    "write that save all the same, name it: --save %s.";
inline constexpr const char* kRestoreTwoSaves =
    "Two saves of this drive were made at the same time: %s in <%s> and %s in <%s> (%s). Nothing "
    "was written: pick one with --save.";
inline constexpr const char* kRestoreLookAlike =
    "Saves of this drive's identity (%s) were made of two sticks in one run:%s\nSticks of one "
    "batch share a USB serial and CIS page, and their saves do not tell them apart. Nothing was "
    "written: name the save to write with --save (backups lists each save with the letter and "
    "port it was made at).";
inline constexpr const char* kRestoreOtherSource =
    "No save of this drive (%s) made before a change was read from it: save %s was made from %s, "
    "and this drive is a %s. Nothing was written. Such files are written only when named %s.";
inline constexpr const char* kRestoreSaveOfAnotherStick =
    "No save of this drive (%s, CIS page SHA-256 %s) made before a change is recorded in the C: "
    "folder: save %s of its USB serial comes from a stick whose CIS page has SHA-256 %s, which is "
    "another stick of that serial. Nothing was written. Its files are written only when named %s.";
inline constexpr const char* kRestoreFlashChanged =
    "The saves of this stick's USB serial and CIS page were made while it was %s (save %s the "
    "newest); it is now %s. Code saved for another flash, revision or page size does not run on "
    "this one, so no restore writes it, not even %s. Nothing was written. %s";
// What reaches a drive whose saves no restore may write.
inline constexpr const char* kFixReachesIt =
    "%s writes the ISP image chosen for the drive as it is now: %s (%s).";
inline constexpr const char* kNothingReachesIt =
    "No command of this program reaches it: the ISP image chosen for the drive as it is now, %s, "
    "is not among the images of this run.";
inline constexpr const char* kRestoreNotStarted =
    "The restore was stopped before anything was written to the drive.";
inline constexpr const char* kDestroyNotStarted =
    "The destroy was stopped before anything was written to the drive.";
inline constexpr const char* kRestoreStopped =
    "Restore stopped: a backup could not be saved, nothing was written to the drive.";
inline constexpr const char* kDestroyStopped =
    "Destroy stopped: a backup could not be saved, nothing was written to the drive.";
// Follows one line per file that is not this drive's own backup.
inline constexpr const char* kRestoreDonorQuestion =
    "This drive is %s.\nWrite code saved from another drive, or of unknown origin, into it ?";

}  // namespace kestrune
