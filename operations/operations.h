// The ISP operations: Start Fix, the two updates, download and destroy.
// They act on the drive at p.selectedDrive and report through the view.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/program.h"

namespace kestrune {

// What a command tells the screen it runs under: that the inputs are
// closed while it works and open again after, that the status line goes
// when it ends, and that the drive list changed. A screen without inputs
// or a list ignores them.
class CommandWindow {
 public:
  virtual ~CommandWindow() = default;
  virtual void DisableInputs() {}
  virtual void EnableInputs() {}
  virtual void HideStatus() {}
  virtual void DrivesChanged() {}
};

// Start Fix. A 0x190 drive gets the confirmation box of the other
// controllers only when `p.confirmFix190` is set (the console sets it; the
// dialog keeps its flow without one); its Before backups are made either way.
void OnStartFix(Program& p, CommandWindow& screen);
void DumpPhysicalPage(Program& p, uint32_t page);
bool ReadPhysicalPage(Program& p, uint32_t page);

void UpdateIspCode(Program& p, const std::string& path, bool destroy);
void UpdateIspCode190(Program& p, const std::string& path);
// The updates over an image already read (a fix reads and names it before
// its Before backups); null: the destroy's zeros.
void WriteUpdateImage(Program& p, const std::vector<uint8_t>* image);
void WriteUpdateImage190(Program& p, const std::vector<uint8_t>& image);

// How a backup ended. kDriveFailed: the flash could not be read, so no
// backup of that copy exists, but a repair may go on. kHostFailed: the host
// could not keep the file (it cannot be created or written, the disk is
// full, the page size cannot be read, no memory), and nothing that changes
// the drive may follow.
enum class DownloadOutcome : uint8_t { kSaved, kDriveFailed, kHostFailed };

// Which backup a file is: the ISP area before or after a fix, or saved by
// the backup command (the ISP area, or the auxiliary area of 0x190), or the
// auxiliary area of 0x190 before or after a fix.
enum class BackupKind : uint8_t { kBefore, kAfter, kBackup, kAux, kAuxBefore, kAuxAfter };

// Whether a backup of `kind` holds the auxiliary area of a 0x190 copy.
constexpr bool IsAuxKind(BackupKind kind) {
  return kind == BackupKind::kAux || kind == BackupKind::kAuxBefore ||
         kind == BackupKind::kAuxAfter;
}

// `consequence`, when given, ends the box of a host-side failure. The file
// is recorded as a backup of `kind` of the selected drive.
DownloadOutcome DownloadIsp(Program& p, const std::string& path, uint32_t startPage,
                            BackupKind kind = BackupKind::kBefore,
                            const std::string& consequence = {});
// With `ask`, an OK/Cancel question comes first (the dialog's button asks
// nothing; the console asks as it does before a fix).
void OnDestroyIsp(Program& p, CommandWindow& screen, bool ask = false);

// Saves the ISP area of every present CIS copy to "C:\ISP%d_Backup.bin"
// (and, for controller 0x190, the auxiliary area to "C:\ISP%d_Aux.bin")
// without changing the drive.
void OnBackupIsp(Program& p);
// What a restore is asked to write.
struct RestoreRequest {
  // In copy order (for controller 0x190 the ISP file and the auxiliary file
  // of each copy); empty: this drive's newest recorded backups.
  std::vector<std::string> files;
  // Files that cannot be shown to be this drive's (of another stick of the
  // same model, or of unknown origin) may be written, after a question.
  bool donor = false;
  // Without files: also look in C:\\<letter>\\, where the console's --all
  // keeps the backups of the drive on that letter.
  bool letterFolder = false;
  // Without files: the id of the save to write instead of the default one.
  std::string save;
};

// How a restore ended.
enum class RestoreOutcome : uint8_t {
  kNotStarted,  // no administrator, or no drive
  kRestored,    // every copy written and verified
  kIncomplete,  // verified, but a copy without a known place was left out
  kFailed,      // a write, a read-back or the comparison failed
  kCancelled,   // a question was answered Cancel
  // Refused, nothing written: the drive cannot take a restore (stand-in
  // images on a real drive, no copy with a known place, a page size the
  // transfer cannot carry);
  kRefusedDrive,
  // a file is missing, of the wrong size, or given in the wrong number, or
  // the records cannot be read;
  kRefusedFiles,
  // a copy has no backup of this drive on record;
  kRefusedNoBackup,
  // a file was saved from another kind of drive, or the files come from
  // two different drives;
  kRefusedOtherDrive,
  // a file is not shown to be this drive's own, and donor files were not
  // allowed.
  kRefusedDonor,
};

// Writes backup files back into the copies. Every refusal comes before
// the first question and before any command reaches the drive.
RestoreOutcome OnRestoreIsp(Program& p, CommandWindow& screen, const RestoreRequest& request);

}  // namespace kestrune
