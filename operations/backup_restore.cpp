// OnBackupIsp keeps the code of every ISP copy of a drive in files without
// touching the drive; OnRestoreIsp writes such files back and proves them
// by reading them back, as the updates do.
#include <cstring>
#include <string>
#include <vector>

#include "discovery/discovery.h"
#include "images/images.h"
#include "operations/backup_files.h"
#include "operations/isp_areas.h"
#include "operations/operations.h"
#include "platform/platform.h"

namespace kestrune {

namespace {

constexpr const char* kBackupName = "C:\\ISP%d_Backup.bin";
constexpr const char* kAuxName = "C:\\ISP%d_Aux.bin";
constexpr const char* kBeforeName = "C:\\ISP%d_Before.bin";

void ShowError(Program& p, const std::string& text) {
  p.view.ShowMessage(text, "ERROR", kMbIconError);
}

// Whatever road the restore takes, the dialog ends with its inputs enabled
// and the status text hidden, as after Start Fix.
class RestoreEnd {
 public:
  explicit RestoreEnd(DialogControls& dialog) : dialog_(dialog) {}
  RestoreEnd(const RestoreEnd&) = delete;
  RestoreEnd& operator=(const RestoreEnd&) = delete;
  ~RestoreEnd() {
    dialog_.EnableInputs();
    dialog_.ShowControl(kIdcStatus, false);
  }

 private:
  DialogControls& dialog_;
};

void SaveAreas(Program& p, const std::vector<CopyArea>& areas, const char* nameFormat,
               const AreaFile& kind) {
  for (const CopyArea& area : areas) {
    const std::string name = FormatText(nameFormat, area.copy);
    if (!area.usable()) {
      ShowError(p, FormatText(kBackupSkipped, area.copy, name.c_str()));
      continue;
    }
    const std::string step = "Backup " + name;
    p.view.Progress(step, StepState::kStarted);
    const DownloadOutcome outcome = SaveCodeArea(p, name, area.devicePage, kind, "");
    p.view.Progress(step,
                    outcome == DownloadOutcome::kSaved ? StepState::kDone : StepState::kFailed);
  }
}

// The code a restore writes into one area: the file's bytes, then zeros
// over the rest of the 64 KiB buffer the transfer schemes read from.
struct RestoreImage {
  std::string file;
  device::HeapBlock bytes;
};

// Loads the file of every usable area, before any command reaches the
// drive. False after the box of the first file that cannot serve.
bool LoadImages(Program& p, const std::vector<CopyArea>& areas,
                const std::vector<std::string>& files, uint32_t bytes,
                std::vector<RestoreImage>& images) {
  images.clear();
  for (size_t i = 0; i < areas.size(); ++i) {
    RestoreImage image;
    image.file = files[i];
    if (areas[i].usable()) {
      image.bytes = p.link.AllocBuffer(kIspAreaBytes, 0);
      if (!image.bytes) {
        p.view.ShowMessage("Can't allocate databuffer...", "Allocate Fail Warning",
                           kMbIconExclamation);
        return false;
      }
      std::memset(image.bytes.get(), 0, kIspAreaBytes);
      if (!LoadBackupFile(p, image.file, bytes, image.bytes.get())) return false;
    }
    images.push_back(std::move(image));
  }
  return true;
}

std::vector<const uint8_t*> Pointers(const std::vector<RestoreImage>& images) {
  std::vector<const uint8_t*> pointers;
  pointers.reserve(images.size());
  for (const RestoreImage& image : images) pointers.push_back(image.bytes.get());
  return pointers;
}

}  // namespace

void OnBackupIsp(Program& p) {
  if (!p.isAdmin) return;
  if (p.selectedDrive >= kSlotCount) return;
  const int index = p.selectedDrive;
  const bool is190 = p.Slot(index).controllerId == kCtrl190;

  const std::vector<CopyArea> isp = BuildCopyList(p, index, AreaKind::kIsp);
  if (!AnyUsable(isp)) {
    ShowError(p, kNothingToBackUp);
    return;
  }
  SaveAreas(p, isp, kBackupName, is190 ? kIspFile190 : kIspFile);
  if (is190) SaveAreas(p, BuildCopyList(p, index, AreaKind::kAux), kAuxName, kAuxFile190);
}

void OnRestoreIsp(Program& p, DialogControls& dialog, const std::vector<std::string>& files) {
  if (!p.isAdmin) return;
  if (p.selectedDrive >= kSlotCount) return;
  // A build without real images must not touch a real drive at all, even
  // with backup files of its own.
  if (RefuseStandInImages(p)) return;
  const int index = p.selectedDrive;
  const DriveSlot& slot = p.Slot(index);
  const bool is190 = slot.controllerId == kCtrl190;

  const std::vector<CopyArea> isp = BuildCopyList(p, index, AreaKind::kIsp);
  const std::vector<CopyArea> aux =
      is190 ? BuildCopyList(p, index, AreaKind::kAux) : std::vector<CopyArea>{};
  if (!AnyUsable(isp)) {
    ShowError(p, kNoIspCopyKnown);
    return;
  }

  // One file per present copy, in copy order; a 0x190 copy takes its ISP
  // file and then its auxiliary file. Start Fix keeps no backup of a 0x190
  // drive, so its files are those of the backup command.
  std::vector<std::string> ispFiles;
  std::vector<std::string> auxFiles;
  const size_t needed = isp.size() * (is190 ? 2 : 1);
  if (files.empty()) {
    for (const CopyArea& area : isp) {
      ispFiles.push_back(FormatText(is190 ? kBackupName : kBeforeName, area.copy));
    }
    for (const CopyArea& area : aux) auxFiles.push_back(FormatText(kAuxName, area.copy));
  } else if (files.size() != needed) {
    p.view.ShowMessage(FormatText(kRestoreFileCount, static_cast<unsigned>(needed),
                                  static_cast<unsigned>(files.size())),
                       "Fail", kMbIconError | kMbTopmost);
    return;
  } else {
    for (size_t i = 0; i < files.size(); ++i) {
      (is190 && i % 2 == 1 ? auxFiles : ispFiles).push_back(files[i]);
    }
  }

  // Every file is read and its size checked before any command.
  std::vector<RestoreImage> ispImages;
  std::vector<RestoreImage> auxImages;
  if (!LoadImages(p, isp, ispFiles, kIspPayloadBytes, ispImages)) return;
  if (!LoadImages(p, aux, auxFiles, kAuxAreaBytes, auxImages)) return;
  const uint32_t pageSize = slot.pageSize;
  if (!(is190 ? PageSizeFitsChunked(pageSize) : PageSizeFitsUpdate(pageSize))) {
    ShowError(p, FormatText(kPageSizeUnsupported, static_cast<unsigned>(pageSize)));
    return;
  }

  if (p.view.ShowMessage(kRestoreConfirm, "Restore ISP Warning",
                         kMbOkCancel | kMbIconExclamation | kMbTopmost) != kIdOk) {
    return;
  }
  RestoreEnd end(dialog);
  dialog.DisableInputs();
  for (const RestoreImage& image : ispImages) {
    p.log.AppendLogFormat("Restore ISP File --> %s ", image.file.c_str());
  }
  for (const RestoreImage& image : auxImages) {
    p.log.AppendLogFormat("Restore ISP File --> %s ", image.file.c_str());
  }

  device::HeapBlock readBack = p.link.AllocBuffer(kIspAreaBytes, 0);
  if (!readBack) {
    p.view.ShowMessage("Can't allocate databuffer...", "Allocate Fail Warning", kMbIconExclamation);
    return;
  }
  const std::string ispSkipped = DescribeSkipped(isp);
  const std::string auxSkipped = DescribeSkipped(aux);
  bool restarted = true;
  if (is190) {
    if (!WriteCodeAreas190(p, index, isp, Pointers(ispImages), aux, Pointers(auxImages),
                           readBack.get(), restarted)) {
      return;
    }
  } else if (!WriteIspAreas(p, index, isp, Pointers(ispImages), readBack.get())) {
    return;
  }

  if (!ispSkipped.empty()) {
    ShowError(p, FormatText(kIspCopiesSkipped, ispSkipped.c_str()));
  } else if (!auxSkipped.empty()) {
    ShowError(p, FormatText(kAuxCopiesSkipped, auxSkipped.c_str()));
  } else {
    p.view.ShowMessage(restarted ? kRestoreSuccess : kRestoreReplug, "SUCCESS",
                       is190 ? kMbOk : kMbIconInformation);
    p.log.AppendLog("ISP Restore success ");
    WarnOfUnreadBlocks(p, index);
  }
  if (!restarted && !platform::InterruptReceived()) ReloadWorkingCode(p, index);
}

}  // namespace kestrune
