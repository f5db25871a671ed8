// The files that keep a drive's ISP code on the host: the code read the way
// the updates lay it out in flash, saved so that a file appears only when
// complete and never replaces an older one, and loaded back for a restore.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/program.h"
#include "operations/backup_records.h"
#include "operations/isp_areas.h"
#include "operations/messages.h"
#include "operations/operations.h"

namespace kestrune {

// One kind of backup file: how many bytes of code, whether the area is
// moved in 4 KiB commands (the 0x190 scheme), and the box of a short write.
struct AreaFile {
  uint32_t bytes;
  bool chunked;
  const char* writeFailed;  // one %s, the path
};

inline constexpr AreaFile kIspFile = {kIspPayloadBytes, false,
                                      "Fail to write 48k ISP code to <%s>"};
inline constexpr AreaFile kIspFile190 = {kIspPayloadBytes, true,
                                         "Fail to write 48k ISP code to <%s>"};
inline constexpr AreaFile kAuxFile190 = {kAuxAreaBytes, true, kAuxWriteFailed};

// While it lives, the backups of the run join `save` (see Program::openSave).
class SaveScope {
 public:
  SaveScope(Program& p, SaveMark& save) : p_(p), was_(p.openSave) { p.openSave = &save; }
  ~SaveScope() { p_.openSave = was_; }
  SaveScope(const SaveScope&) = delete;
  SaveScope& operator=(const SaveScope&) = delete;

 private:
  Program& p_;
  SaveMark* was_;
};

// Keeps `save` in the records of `folder` as it now stands (the areas it
// lacks included), under the folder's lock. False with `cause` set, and
// `named` (when given) the file it names.
bool KeepSave(Program& p, const std::string& folder, const SaveMark& save, std::string& cause,
              NamedFiles* named = nullptr);

// While it lives, the change under way is the one `before` (a Before save,
// kept in C:) was made for. The save is kept as not begun; right before
// the first erase (WriteWindow::Open) Begin marks it begun, and at the end,
// when no write or erase went out after all (the stick gone, the handle
// not opened), it is marked not begun again. A run cut off in between
// leaves it begun: a change that may have reached the flash is never
// taken for one that did not.
class ChangeMark {
 public:
  ChangeMark(Program& p, SaveMark& before);
  ~ChangeMark();
  ChangeMark(const ChangeMark&) = delete;
  ChangeMark& operator=(const ChangeMark&) = delete;

  // False, after the box that says why, when the mark cannot be kept:
  // nothing may be erased then.
  bool Begin();

 private:
  Program& p_;
  SaveMark& before_;
  ChangeMark* was_;
  uint64_t sentAtBegin_ = 0;
};

// Whether the code of such an area can be read on pages of this size. Pages
// above 4 KiB carry 4 KiB of code each, at their start.
bool PageSizeFitsBackup(uint32_t pageSize, const AreaFile& kind);

// How many times an area is read, at most, for two reads that agree.
inline constexpr int kAreaReadAttempts = 4;

// Saves the code of the area at `startPage` of the selected drive to
// `path`: reads until two agree (at most kAreaReadAttempts), then the file
// and its record as a backup of `backup` kind. Shows the box of the step
// that failed; `consequence`, when given, ends the box of a host-side
// failure, and with `mustKeep` that of a read failure too: the operation
// stops rather than go on without this backup.
DownloadOutcome SaveCodeArea(Program& p, const std::string& path, uint32_t startPage,
                             const AreaFile& kind, BackupKind backup,
                             const std::string& consequence, bool mustKeep = false);

// Saves every area of the selected drive with a known place (the ISP area
// of each copy, and for a 0x190 then the auxiliary area of each copy) into
// `save`, under `ispName` and `auxName` (one %d, the copy), each told as a
// backup step. A copy without a known place is named in a box and left out.
// False when the host could not keep a file: nothing may then change the
// drive. With `whole` an area whose flash could not be read is no less
// missing: the first area not kept ends the saving, and false tells the
// caller to write nothing.
// Keeps what the change of `before` (a destroy or a restore) left on the
// selected drive, as its After save (ISP<n>_After.bin, ...): a later default
// restore of `before` writes it only to a stick that still holds that, so
// that another stick of the same batch is not taken for this one. The
// change is over: an area that cannot be kept is a warning.
void KeepAfterSave(Program& p, const SaveMark& before);
bool SaveDriveAreas(Program& p, SaveMark& save, const char* ispName, const char* auxName,
                    const std::string& consequence, bool whole);

// Writes `size` bytes to `path` through a temporary name in the same
// folder, flushed before it takes the name; an older file of that name is
// first moved to the first free numbered name. Under the folder's record
// lock, the records follow: the older file's record moves with it, and
// `record`, completed with the name, size, digest, time and version, is
// kept for the new file. Reports the kept file to the view. False after
// the "Fail" box of what went wrong, the record included: a backup whose
// origin cannot be shown is no backup to go on from.
// The file joins `save`, which is kept beside it.
bool WriteBackupFile(Program& p, const std::string& path, const uint8_t* bytes, uint32_t size,
                     const char* writeFailed, const std::string& consequence, BackupRecord record,
                     const SaveMark& save);

// "C:\\ISP0_Before.bin", 2 -> "C:\\ISP0_Before.2.bin".
std::string NumberedName(const std::string& path, unsigned number);

// Loads a backup file that must hold exactly `bytes` bytes into `out`,
// which has room for one byte more. False after its "Fail" box, which
// refuses the operation. `owner`, when given, receives the file's owner
// when that is another user.
bool LoadBackupFile(Program& p, platform::Platform& host, const std::string& path, uint32_t bytes,
                    uint8_t* out, std::optional<platform::FileOwner>* owner = nullptr);

// A "Fail" box about `files`: the first line, the cause when there is one,
// and what it means for the operation when given. The operation's report
// takes `outcome`.
void ShowFileFailure(Program& p, const NamedFiles& files, const std::string& first,
                     const std::string& cause, const std::string& consequence,
                     Outcome outcome = Outcome::kFailed);

}  // namespace kestrune
