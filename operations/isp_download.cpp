// DownloadIsp saves 48 KiB of a drive's ISP code to a file; OnDestroyIsp
// makes the stored ISP unusable.
#include <cstring>
#include <memory>

#include "device/commands.h"
#include "discovery/discovery.h"
#include "images/images.h"
#include "operations/isp_areas.h"
#include "operations/operations.h"
#include "operations/volume_guard.h"

namespace kestrune {

namespace {

constexpr uint32_t kReadMode = 1;

void ShowError(Program& p, const std::string& text) {
  p.view.ShowMessage(text, "ERROR", kMbIconError);
}

}  // namespace

void DownloadIsp(Program& p, const std::string& path, uint32_t startPage) {
  if (p.selectedDrive >= kSlotCount) return;
  const int index = p.selectedDrive;
  const DriveSlot& slot = p.Slot(index);

  const std::string start = FormatText("DownLoad ISP  to file -> %s \r\n", path.c_str());
  p.log.AppendLog(start.c_str());
  p.log.Debug(start.c_str());

  device::HeapBlock buffer = p.link.AllocBuffer(kIspPayloadBytes, 0);
  device::HeapBlock second = p.link.AllocBuffer(kIspPayloadBytes, 0);
  if (!buffer || !second) {
    p.view.ShowMessage("Can't allocate databuffer...", "Allocate Fail Warning", kMbIconExclamation);
    return;
  }
  const uint32_t pageSize = slot.pageSize;
  if (!PageSizeFitsDownload(pageSize)) {
    ShowError(p, FormatText(kPageSizeUnsupported, static_cast<unsigned>(pageSize)));
    return;
  }
  {
    VolumeGuard volume(p, index);
    if (!OpenVolume(p, index)) {
      ShowError(p, "Download ISP fail because open handle fail ...");
      return;
    }
    // One read cannot show that its data came back wrong; a backup that is
    // trusted to restore a drive is only written when two reads agree.
    const uint32_t pages = kIspPayloadBytes / pageSize;
    // Different fills, so that a read delivering no data cannot agree.
    std::memset(buffer.get(), 0x00, kIspPayloadBytes);
    std::memset(second.get(), 0xFF, kIspPayloadBytes);
    if (!device::ReadFlashPages(p.link, startPage, pages, kIspPayloadBytes, kReadMode, buffer.get(),
                                slot.volumeHandle) ||
        !device::ReadFlashPages(p.link, startPage, pages, kIspPayloadBytes, kReadMode, second.get(),
                                slot.volumeHandle) ||
        std::memcmp(buffer.get(), second.get(), kIspPayloadBytes) != 0) {
      ShowError(p, "Read ISP code from flash fail");
      return;
    }
  }
  second.reset();

  // The file is made only now, so a failed read leaves none behind.
  std::unique_ptr<platform::File> file =
      p.platform.OpenFile(path, platform::OpenMode::kWriteBinaryTruncate);
  if (!file) {
    p.view.ShowMessage(FormatText("The file <%s> cannot be opened, please check.", path.c_str()),
                       "Fail", kMbIconError | kMbTopmost);
    return;
  }
  if (file->Write(buffer.get(), kIspPayloadBytes) == kIspPayloadBytes) {
    const std::string done = FormatText("DownLoad ISP  to file -> %s --->OK\r\n", path.c_str());
    p.log.Debug(done.c_str());
    p.log.AppendLog(done.c_str());
  } else {
    p.view.ShowMessage(FormatText("Fail to write 48k ISP code to <%s>", path.c_str()), "Fail",
                       kMbIconError | kMbTopmost);
  }
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
    if (erases == 0) {
      ShowError(p, kNothingToDestroy);
      return;
    }
    LocateCodeMark(p, index);
  }

  if (slot.cisCount == 0) {
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
