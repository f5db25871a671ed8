// The ISP operations: Start Fix, the two updates, download and destroy.
// They act on the drive at p.selectedDrive and report through the view.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "discovery/program.h"

namespace kestrune {

// What the dialog lends the operations: its control handling and the
// refresh of the drive list.
class DialogControls {
 public:
  virtual ~DialogControls() = default;
  virtual void DisableInputs() = 0;
  virtual void EnableInputs() = 0;
  virtual void ShowControl(int id, bool show) = 0;
  virtual void FillDriveList() = 0;
};

void OnStartFix(Program& p, DialogControls& dialog);
void DumpPhysicalPage(Program& p, uint32_t page);
bool ReadPhysicalPage(Program& p, uint32_t page);

void UpdateIspCode(Program& p, const std::string& path, bool destroy);
void UpdateIspCode190(Program& p, const std::string& path);

// How a backup ended. kDriveFailed: the flash could not be read, so no
// backup of that copy exists, but a repair may go on. kHostFailed: the host
// could not keep the file (it cannot be created or written, the disk is
// full, the page size cannot be read, no memory), and nothing that changes
// the drive may follow.
enum class DownloadOutcome : uint8_t { kSaved, kDriveFailed, kHostFailed };

// `consequence`, when given, ends the box of a host-side failure.
DownloadOutcome DownloadIsp(Program& p, const std::string& path, uint32_t startPage,
                            const std::string& consequence = {});
void OnDestroyIsp(Program& p, DialogControls& dialog);

// Saves the ISP area of every present CIS copy to "C:\ISP%d_Backup.bin"
// (and, for controller 0x190, the auxiliary area to "C:\ISP%d_Aux.bin")
// without changing the drive.
void OnBackupIsp(Program& p);
// Writes backup files back into the copies: `files` in copy order (for
// controller 0x190 the ISP file and the auxiliary file of each copy), or
// the default names when empty.
void OnRestoreIsp(Program& p, DialogControls& dialog, const std::vector<std::string>& files);

}  // namespace kestrune
