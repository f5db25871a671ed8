// OnStartFix: the whole repair of the selected drive, and the CIS page
// reads that it records in the log before anything is written.
#include <cstring>
#include <functional>

#include "device/commands.h"
#include "discovery/discovery.h"
#include "images/images.h"
#include "operations/backup_files.h"
#include "operations/command_end.h"
#include "operations/isp_areas.h"
#include "operations/messages.h"
#include "operations/operations.h"
#include "operations/volume_guard.h"
#include "operations/write_window.h"
#include "platform/platform.h"

namespace kestrune {

namespace {

constexpr uint32_t kReadMode = 1;
constexpr int8_t kWorkingCodeBlock = 5;

bool NamesIspCopy(const DriveSlot& slot, uint32_t offset) {
  for (int copy = 0; copy < kCisCopies; ++copy) {
    if (IspOffsetSet(slot, copy) && slot.cis[copy].ispOffset == offset) return true;
  }
  return false;
}

// The device page of the ISP area list entry `offset` names; kInvalidPage
// when the list entry names no copy of the drive or no known place.
uint32_t ListedAreaPage(Program& p, uint32_t offset) {
  if (!NamesIspCopy(p.Selected(), offset) || offset == kUnsetOffset) return kInvalidPage;
  return ToDevicePage(p, p.selectedDrive, offset);
}

// One backup of a fix, told as a step as it starts and as it ends; `done`
// counts the backups ended so far.
template <typename Save>
DownloadOutcome BackupStep(Program& p, const std::string& name, int& done, int total, Save&& save) {
  const std::string step = "Backup " + name;
  ReportStep(p, StepKind::kBackup, StepState::kStarted, step, done, total);
  const DownloadOutcome outcome = save();
  ReportStep(p, StepKind::kBackup,
             outcome == DownloadOutcome::kSaved ? StepState::kDone : StepState::kFailed, step,
             ++done, total);
  return outcome;
}

// Saves the area of every ISP copy the lists name, at the page the update
// is about to write. With `stopOnHostFailure` the first backup the host
// could not keep ends the loop, and false tells the caller to write nothing.
bool BackUpIspAreas(Program& p, const char* nameFormat, BackupKind kind,
                    const std::string& consequence, bool stopOnHostFailure) {
  int total = 0;
  for (int i = 0; i < 4 && p.ispOffsets[i] != -1; ++i) {
    if (ListedAreaPage(p, static_cast<uint32_t>(p.ispOffsets[i])) != kInvalidPage) ++total;
  }
  int done = 0;
  bool kept = true;
  for (int i = 0; i < 4; ++i) {
    const int32_t entry = p.ispOffsets[i];
    if (entry == -1) break;
    const std::string name = FormatText(nameFormat, i);
    const uint32_t offset = static_cast<uint32_t>(entry);
    // The list outlives the search that filled it: an entry left from an
    // earlier drive or search names no area the update will write.
    if (!NamesIspCopy(p.Selected(), offset)) {
      p.log.Debug(FormatText("Backup %s skipped: offset %x is no ISP copy of the drive \r\n",
                             name.c_str(), static_cast<unsigned>(offset))
                      .c_str());
      continue;
    }
    const uint32_t page = ListedAreaPage(p, offset);
    if (page == kInvalidPage) {
      Fail(p, Outcome::kFailed, FormatText(kBackupSkipped, i, name.c_str()), "ERROR", kMbIconError,
           NamedFiles({name}));
      continue;
    }
    const DownloadOutcome outcome = BackupStep(
        p, name, done, total, [&] { return DownloadIsp(p, name, page, kind, consequence); });
    if (outcome == DownloadOutcome::kHostFailed) {
      kept = false;
      if (stopOnHostFailure) return false;
    }
  }
  return kept;
}

// The 0x190 backups of a fix: the ISP area and then the auxiliary area of
// every copy with a known place, in 4 KiB transfers as the update moves
// them. With `stopOnHostFailure` the first backup the host could not keep
// ends the loop, and false tells the caller to write nothing.
bool BackUpCodeAreas190(Program& p, bool before, const std::string& consequence,
                        bool stopOnHostFailure) {
  struct Pass {
    AreaKind area;
    const char* name;
    const AreaFile& file;
    BackupKind kind;
  };
  const Pass passes[] = {
      {AreaKind::kIsp, before ? "C:\\ISP%d_Before.bin" : "C:\\ISP%d_After.bin", kIspFile190,
       before ? BackupKind::kBefore : BackupKind::kAfter},
      {AreaKind::kAux, before ? "C:\\ISP%d_AuxBefore.bin" : "C:\\ISP%d_AuxAfter.bin", kAuxFile190,
       before ? BackupKind::kAuxBefore : BackupKind::kAuxAfter}};
  std::vector<CopyArea> lists[2];
  int total = 0;
  for (int i = 0; i < 2; ++i) {
    lists[i] = BuildCopyList(p, p.selectedDrive, passes[i].area);
    for (const CopyArea& area : lists[i]) total += area.usable() ? 1 : 0;
  }
  int done = 0;
  bool kept = true;
  for (int i = 0; i < 2; ++i) {
    for (const CopyArea& area : lists[i]) {
      const std::string name = FormatText(passes[i].name, area.copy);
      // The update leaves such a copy alone too.
      if (!area.usable()) {
        Fail(p, Outcome::kFailed, FormatText(kBackupSkipped, area.copy, name.c_str()), "ERROR",
             kMbIconError, NamedFiles({name}));
        continue;
      }
      const DownloadOutcome outcome = BackupStep(p, name, done, total, [&] {
        return SaveCodeArea(p, name, area.devicePage, passes[i].file, passes[i].kind, consequence);
      });
      if (outcome == DownloadOutcome::kHostFailed) {
        kept = false;
        if (stopOnHostFailure) return false;
      }
    }
  }
  return kept;
}

// Every copy was written and read back equal: the fix has done what was
// asked, and an After backup that cannot be made now (the stick was
// replugged, as the success box tells the technician to do) is a warning.
bool UpdateVerified(Program& p) {
  bool verified = false;
  p.reports->Update([&](Report& report) {
    verified = report.outcome == Outcome::kSuccess && report.copiesWritten > 0 &&
               report.copiesVerified == report.copiesWritten;
  });
  return verified;
}

// What sets one controller's fix apart; the steps around it are the same
// for every controller.
struct FixRoad {
  bool ask = true;      // the question comes first
  std::string logLine;  // for the log once the inputs are off; empty: none
  // Reads and names the image; false: it cannot be written, nothing is done.
  std::function<bool()> takeImage;
  // False: a backup the host could not keep, so nothing may be written.
  std::function<bool()> backUpBefore;
  std::function<void()> update;
  std::function<void()> backUpAfter;
};

// The question, the image, the Before backups, the update and, a second
// later, the After backups.
void RunFix(Program& p, CommandWindow& screen, const FixRoad& road) {
  if (road.ask && ShowBox(p, "Are you sure to update new ISP code ?", "Update ISP Warning",
                          kMbOkCancel | kMbIconExclamation | kMbTopmost) != kIdOk) {
    SettleReport(p, Outcome::kCancelled);
    return;
  }
  // An interrupt held while another drive of the run was writing ends this
  // one before anything is done to it.
  if (platform::InterruptReceived()) {
    SettleReport(p, Outcome::kInterrupted);
    return;
  }
  screen.DisableInputs();
  if (!road.logLine.empty()) p.log.AppendLog(road.logLine.c_str());
  // The image is read after the question, so a file changed while it waited
  // is what is judged, and named before the save of what it overwrites,
  // which keeps its name.
  if (!road.takeImage()) return;

  // A backup the host could not keep may be the only copy of the ISP there
  // is: nothing is erased without it. A flash read that fails is another
  // matter; the repair the user asked for goes on without that backup.
  SaveMark before = NewSave(p, p.selectedDrive, "fix", SaveRole::kBefore);
  before.changeBegun = false;
  // The image named above is kept with the save, as a device's update
  // history keeps what each update wrote.
  p.reports->Update([&before](const Report& report) {
    if (!report.image) return;
    before.imageFile = report.image->file;
    before.imageRow = report.image->row;
    before.imageSha256 = report.image->sha256;
  });
  bool kept = false;
  {
    const SaveScope scope(p, before);
    kept = road.backUpBefore();
  }
  if (!kept) {
    p.log.AppendLog(kUpdateStopped);
    return;
  }
  const ChangeMark change(p, before);
  road.update();
  // An interrupt held during the write ends the run here, its outcome shown:
  // no After backup is made.
  if (platform::InterruptReceived()) {
    bool written = false;
    p.reports->Update([&](Report& report) { written = report.writeWindowEntered; });
    if (written) p.log.AppendLog(kInterruptedAfterWrite);
    SettleReport(p, Outcome::kInterrupted);
    return;
  }
  p.platform.Sleep(1000);
  const FailuresWarn warn(p, UpdateVerified(p));
  SaveMark after = NewSave(p, p.selectedDrive, "fix", SaveRole::kAfter);
  after.changeOf = before.id;
  const SaveScope scope(p, after);
  road.backUpAfter();
}

}  // namespace

bool ReadPhysicalPage(Program& p, uint32_t page) {
  if (p.selectedDrive >= kSlotCount || !p.pageBuffer) return false;
  const int index = p.selectedDrive;
  const DriveSlot& slot = p.Slot(index);
  const uint32_t pageSize = slot.pageSize;
  if (!IsUsablePageSize(pageSize)) return false;
  std::memset(p.pageBuffer.get(), 0xFF, pageSize + 64);

  const uint32_t devicePage = ToDevicePage(p, index, page);
  if (devicePage == kInvalidPage) return false;
  if (!OpenVolume(p, index)) {
    Fail(p, Outcome::kFailed, "Open handle fail", "ERROR", kMbIconError);
    return false;
  }
  if (!device::ReadFlashPages(p.link, devicePage, 1, pageSize, kReadMode, p.pageBuffer.get(),
                              slot.volumeHandle)) {
    CloseVolume(p, index);
    return false;
  }
  if (!ReadSpareUnderCode(p, devicePage, index)) {
    CloseVolume(p, index);
    return false;
  }
  CloseVolume(p, index);
  return true;
}

void DumpPhysicalPage(Program& p, uint32_t page) {
  if (p.selectedDrive >= kSlotCount) return;
  if (!ReadPhysicalPage(p, page)) {
    Fail(p, Outcome::kFailed, "Read physical data fail", "ERROR", kMbIconError);
  }
  // Without the buffer, or with a page it cannot hold, there is nothing to dump.
  const uint32_t pageSize = p.Selected().pageSize;
  if (!p.pageBuffer || !IsUsablePageSize(pageSize)) return;
  p.log.DumpHexToLog(pageSize + kSparePadBytes, p.pageBuffer.get());
}

void OnStartFix(Program& p, CommandWindow& screen) {
  BeginReport(p, "fix");
  if (!p.isAdmin) {
    SettleReport(p, Outcome::kNotAdministrator);
    return;
  }
  CommandEnd end(screen);
  if (p.selectedDrive >= kSlotCount) {
    SettleReport(p, Outcome::kNotFound);
    return;
  }
  if (RefuseUnwritableDrive(p)) return;
  const DriveSlot& slot = p.Selected();

  p.pageBuffer = p.link.AllocBuffer(kPageBufferSize, 0);
  if (!p.pageBuffer) {
    Fail(p, Outcome::kFailed, "Can't allocate databuffer...", "Allocate Fail Warning",
         kMbIconExclamation);
    return;
  }
  const bool cis0 = slot.cis[0].present != 0;
  const bool cis1 = slot.cis[1].present != 0;
  // The warning is shown once: a second identical box tells the user nothing.
  if (!cis0 && !cis1) Warn(p, "CIS broken ! Maybe can't fix !!!", kAppTitle, kMbIconExclamation);
  p.log.AppendLog(cis0 ? "Check Before Update CIS0 -> ok\r\n"
                       : " Check Before Update CIS0 -> fail\r\n");
  DumpPhysicalPage(p, static_cast<uint32_t>(p.cisPageOffsets[0]));
  p.log.AppendLog(cis1 ? "Check Before Update CIS1 -> ok\r\n"
                       : "Check Before Update CIS1 -> fail\r\n");
  DumpPhysicalPage(p, static_cast<uint32_t>(p.cisPageOffsets[1]));
  p.pageBuffer.reset();

  // Controller 0x190: the dialog goes straight to the update, the console
  // asks first as for every controller; either way the areas are saved
  // before the first erase and again after the update.
  ChosenImage image;
  if (slot.controllerId == kCtrl190) {
    const UpdateImageChoice choice = ChooseUpdateImage190Row(p.platform, TraitsOf(slot));
    RunFix(p, screen,
           {p.confirmFix190, "", [&] { return TakeUpdateImage(p, choice, image); },
            [&] { return BackUpCodeAreas190(p, true, kUpdateNotStarted, true); },
            [&] { WriteUpdateImage190(p, image.bytes); },
            [&] {
              PrepareFlashReads190(p);
              BackUpCodeAreas190(p, false, "", false);
            }});
    return;
  }

  const UpdateImageChoice choice =
      ChooseUpdateImageRow(p.platform, TraitsOf(slot), slot.controllerId);
  const std::string& path = choice.path;
  p.log.Debug(FormatText("Will update ISP file -> %s \r\n", path.c_str()).c_str());
  RunFix(p, screen,
         {true, FormatText("Update ISP File --> %s \r\n", path.c_str()),
          [&] { return TakeUpdateImage(p, choice, image); },
          [&] {
            return BackUpIspAreas(p, "C:\\ISP%d_Before.bin", BackupKind::kBefore, kUpdateNotStarted,
                                  true);
          },
          [&] { WriteUpdateImage(p, &image.bytes); },
          [&] { BackUpIspAreas(p, "C:\\ISP%d_After.bin", BackupKind::kAfter, "", false); }});
}

}  // namespace kestrune
