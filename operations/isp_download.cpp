// DownloadIsp saves 48 KiB of a drive's ISP code to a file; OnDestroyIsp
// makes the stored ISP unusable.
#include <cstring>
#include <memory>

#include "device/commands.h"
#include "discovery/discovery.h"
#include "images/images.h"
#include "operations/backup_files.h"
#include "operations/isp_areas.h"
#include "operations/messages.h"
#include "operations/operations.h"
#include "operations/volume_guard.h"
#include "platform/platform.h"

namespace kestrune {

namespace {

void ShowError(Program& p, const std::string& text) {
  p.view.ShowMessage(text, "ERROR", kMbIconError);
}

}  // namespace

DownloadOutcome DownloadIsp(Program& p, const std::string& path, uint32_t startPage,
                            BackupKind kind, const std::string& consequence) {
  return SaveCodeArea(p, path, startPage, kIspFile, kind, consequence);
}

void OnDestroyIsp(Program& p, DialogControls& dialog) {
  if (!p.isAdmin) return;
  if (p.selectedDrive >= kSlotCount) return;
  if (RefuseStandInImages(p)) return;
  const int index = p.selectedDrive;
  DriveSlot& slot = p.Slot(index);

  if (slot.needsCodeInit) {
    UpdateIspCode(p, "", true);
    return;
  }

  std::string failedErases;
  int erases = 0;
  {
    VolumeGuard volume(p, index);
    if (!OpenVolume(p, index)) {
      ShowError(p, "Open handle fail");
      return;
    }
    {
      // Both copies go, or an interrupt waits until they have.
      const platform::InterruptHold hold;
      // An interrupt taken while another drive of the run was writing ends
      // this one before its first erase.
      if (platform::InterruptReceived()) return;
      for (int copy = 0; copy < 2; ++copy) {
        // Only a place that a header page or CodeMark search gave is erased.
        if (!IspOffsetSet(slot, copy)) continue;
        const uint32_t page = ToDevicePage(p, index, slot.cis[copy].ispOffset);
        if (page == kInvalidPage) continue;
        ++erases;
        if (!device::EraseFlashBlock(p.link, page, slot.volumeHandle)) {
          if (!failedErases.empty()) failedErases += ", ";
          failedErases += std::to_string(copy);
        }
      }
    }
    if (erases == 0) {
      ShowError(p, kNothingToDestroy);
      return;
    }
    // After an interrupt only the outcome of the erases is told.
    if (!platform::InterruptReceived()) LocateCodeMark(p, index);
  }

  if (!platform::InterruptReceived() && slot.cisCount == 0) {
    ResetSlot(p, index);
    IdentifyDrive(p, index);
    dialog.FillDriveList();
  }
  if (!failedErases.empty()) {
    ShowError(p, FormatText(kDestroyEraseFailed, failedErases.c_str()));
  } else {
    p.view.ShowMessage("Destory ISP Success", "Success", kMbOk);
  }
}

}  // namespace kestrune
