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
#include "operations/write_window.h"
#include "platform/platform.h"

namespace kestrune {

namespace {

void ShowError(Program& p, const std::string& text) {
  Fail(p, Outcome::kFailed, text, "ERROR", kMbIconError);
}

}  // namespace

DownloadOutcome DownloadIsp(Program& p, const std::string& path, uint32_t startPage,
                            BackupKind kind, const std::string& consequence) {
  return SaveCodeArea(p, path, startPage, kIspFile, kind, consequence);
}

void OnDestroyIsp(Program& p, CommandWindow& screen, bool ask) {
  if (!BeginDriveReport(p, "destroy")) return;
  if (RefuseUnwritableDrive(p)) return;
  if (ask && ShowBox(p, "Are you sure to destroy the ISP code ?", "Destroy ISP Warning",
                     kMbOkCancel | kMbIconExclamation | kMbTopmost) != kIdOk) {
    SettleReport(p, Outcome::kCancelled);
    return;
  }
  const int index = p.selectedDrive;
  DriveSlot& slot = p.Slot(index);

  // What the destroy overwrites is saved first, as before a fix; a save the
  // host cannot keep stops it before the first erase.
  SaveMark before = NewSave(p, index, "destroy", SaveRole::kBefore);
  before.changeBegun = false;
  if (!SaveDriveAreas(p, before, "C:\\ISP%d_Before.bin", "C:\\ISP%d_AuxBefore.bin",
                      kDestroyNotStarted, true)) {
    p.log.AppendLog(kDestroyStopped);
    return;
  }
  const ChangeMark change(p, before);
  if (platform::InterruptReceived()) {
    SettleReport(p, Outcome::kInterrupted);
    return;
  }

  if (slot.needsCodeInit) {
    UpdateIspCode(p, "", true);
    bool written = false;
    p.reports->Update([&written](const Report& report) { written = report.copiesWritten > 0; });
    if (written && !platform::InterruptReceived()) KeepAfterSave(p, before);
    return;
  }

  std::string failedErases;
  int erases = 0;
  WriteWindow window(p);
  {
    VolumeGuard volume(p, index);
    if (!OpenVolume(p, index)) {
      ShowError(p, "Open handle fail");
      return;
    }
    // Both copies go, or an interrupt waits until they have.
    if (!window.Open()) return;
    int erased = 0;
    for (int copy = 0; copy < 2; ++copy) {
      // Only a place that a header page or CodeMark search gave is erased.
      if (!IspOffsetSet(slot, copy)) continue;
      const uint32_t page = ToDevicePage(p, index, slot.cis[copy].ispOffset);
      if (page == kInvalidPage) continue;
      ++erases;
      const std::string step = FormatText("Erase ISP copy %d", copy);
      ReportStep(p, StepKind::kErase, StepState::kStarted, step, erased);
      const bool ok = device::EraseFlashBlock(p.link, page, slot.volumeHandle);
      ReportStep(p, StepKind::kErase, ok ? StepState::kDone : StepState::kFailed, step, ++erased);
      if (ok) {
        ReportCopies(p, 1, 0);
      } else {
        if (!failedErases.empty()) failedErases += ", ";
        failedErases += std::to_string(copy);
      }
    }
    window.WriteDone();
    if (erases == 0) {
      ShowError(p, kNothingToDestroy);
      return;
    }
  }
  // After an interrupt only the outcome of the erases is told. Otherwise
  // what the erases left is kept where they erased, before the code is
  // looked for again (it may be gone with them).
  if (!platform::InterruptReceived()) {
    KeepAfterSave(p, before);
    VolumeGuard volume(p, index);
    if (OpenVolume(p, index)) LocateCodeMark(p, index);
  }

  if (!platform::InterruptReceived() && slot.cisCount == 0) {
    ResetSlot(p, index);
    IdentifyDrive(p, index);
    screen.DrivesChanged();
  }
  if (!failedErases.empty()) {
    ShowError(p, FormatText(kDestroyEraseFailed, failedErases.c_str()));
  } else {
    ShowBox(p, "Destory ISP Success", "Success", kMbOk);
    SettleReport(p, Outcome::kSuccess);
  }
}

}  // namespace kestrune
