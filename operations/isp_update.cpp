// UpdateIspCode: rewrites (or zeroes) the 64 KiB ISP area of every present
// CIS copy of the selected drive and proves each by reading it back.
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "device/commands.h"
#include "discovery/discovery.h"
#include "images/images.h"
#include "operations/isp_areas.h"
#include "operations/messages.h"
#include "operations/operations.h"
#include "operations/volume_guard.h"
#include "operations/write_window.h"
#include "platform/platform.h"

namespace kestrune {

namespace {

constexpr uint32_t kReadMode = 1;
constexpr uint32_t kInitFlashMode = 4;
constexpr int8_t kWorkingCodeBlock = 5;
constexpr uint32_t kLargePageWrites = kIspAreaBytes / kLargePageThreshold;  // 16

void ShowError(Program& p, const std::string& text) {
  Fail(p, Outcome::kFailed, text, "ERROR", kMbIconError);
}

void ShowError(Program& p, const std::string& text, const FailureCause& why) {
  Fail(p, Outcome::kFailed, text, "ERROR", kMbIconError, why);
}

// Page k of a large-page area: 4,096 image bytes, then zeros.
void StageLargePage(uint8_t* page, uint32_t pageSize, const uint8_t* image, uint32_t k) {
  std::memset(page, 0, pageSize);
  std::memcpy(page, image + size_t{k} * kLargePageThreshold, kLargePageThreshold);
}

}  // namespace

void UpdateIspCode(Program& p, const std::string& path, bool destroy) {
  if (p.selectedDrive >= kSlotCount) return;
  if (destroy) {
    WriteUpdateImage(p, nullptr);
    return;
  }
  std::vector<uint8_t> image;
  if (!ReadUpdateImage(p, path, image)) return;
  WriteUpdateImage(p, &image);
}

void WriteUpdateImage(Program& p, const std::vector<uint8_t>* image) {
  if (p.selectedDrive >= kSlotCount) return;
  const bool destroy = image == nullptr;
  const int index = p.selectedDrive;
  DriveSlot& slot = p.Slot(index);

  device::HeapBlock readBack = p.link.AllocBuffer(kIspAreaBytes, 0);
  device::HeapBlock expected = p.link.AllocBuffer(kIspAreaBytes, 0);
  if (!readBack || !expected) {
    Fail(p, Outcome::kFailed, "Can't allocate databuffer...", "Allocate Fail Warning",
         kMbIconExclamation);
    return;
  }
  // Destroy mode writes this buffer as it stands: zeros everywhere.
  std::memset(expected.get(), 0, kIspAreaBytes);
  // A short file is no error: what it lacks is written as zeros.
  if (!destroy) CopyImageBytes(*image, kIspFileOffset, expected.get(), kIspPayloadBytes);

  const uint32_t pageSize = slot.pageSize;
  if (!PageSizeFitsUpdate(pageSize)) {
    ShowError(p, FormatText(kPageSizeUnsupported, pageSize));
    return;
  }

  const std::vector<CopyArea> copies = BuildCopyList(p, index, AreaKind::kIsp);
  const std::string skipped = DescribeSkipped(copies);
  if (!AnyUsable(copies)) {
    // Nothing would be written, so no success may be claimed either.
    ShowError(p, kNoIspCopyKnown);
    return;
  }

  const std::vector<const uint8_t*> images(copies.size(), expected.get());
  WriteWindow window(p);
  if (!WriteIspAreas(p, index, copies, images, readBack.get(), window)) return;

  if (!skipped.empty()) {
    ShowError(p, FormatText(kIspCopiesSkipped, skipped.c_str()));
    return;
  }
  if (destroy) {
    // A copy the search could not see may still hold a working ISP.
    if (!p.cisUnreadBlocks[index].empty()) {
      ShowError(p, kCisSearchIncomplete);
      return;
    }
    ShowBox(p, "Destory ISP Success", "Success", kMbOk);
    SettleReport(p, Outcome::kSuccess);
  } else {
    ShowBox(p, kUpdateSuccess, "SUCCESS", kMbIconInformation | kBoxTellsReplug);
    SettleReport(p, Outcome::kSuccess);
    p.log.AppendLog("ISP Update success ");
    WarnOfUnreadBlocks(p, index);
  }
}

bool WriteIspAreas(Program& p, int slotIndex, const std::vector<CopyArea>& copies,
                   const std::vector<const uint8_t*>& images, uint8_t* readBack,
                   WriteWindow& window) {
  DriveSlot& slot = p.Slot(slotIndex);
  const uint32_t pageSize = slot.pageSize;
  const bool largePages = pageSize > kLargePageThreshold;
  device::HeapBlock staging;
  device::HeapBlock comparison;
  if (largePages) {
    staging = p.link.AllocBuffer(pageSize, 0);
    comparison = p.link.AllocBuffer(pageSize, 0);
    if (!staging || !comparison) {
      Fail(p, Outcome::kFailed, "Can't allocate databuffer...", "Allocate Fail Warning",
           kMbIconExclamation);
      return false;
    }
  }

  VolumeGuard volume(p, slotIndex);
  if (!OpenVolume(p, slotIndex)) {
    ShowError(p, "Update ISP fail because open handle fail ...");
    return false;
  }
  // Drives that run on loaded code answer flash commands only while their
  // working code is in the controller; a restart in between replaces it.
  if (slot.needsCodeInit) LoadCodeBlock(p, kWorkingCodeBlock, slotIndex);
  device::InitFlash(p.link, kInitFlashMode, slot.volumeHandle);

  // From the first erase to the end of the read-back an interrupt waits: a
  // copy cut off halfway would leave a drive that does not start.
  if (!window.Open()) return false;
  const int total = static_cast<int>(
      std::count_if(copies.begin(), copies.end(), [](const CopyArea& a) { return a.usable(); }));
  int written = 0;
  for (size_t i = 0; i < copies.size(); ++i) {
    const CopyArea& area = copies[i];
    if (!area.usable()) continue;
    const uint8_t* image = images[i];
    const std::string step = FormatText("Write ISP copy %d", area.copy);
    ReportStep(p, StepKind::kWrite, StepState::kStarted, step, written, total);
    // Pages programmed over a block that was not erased hold neither the
    // old code nor the new: the copy is not written on.
    bool ok = EraseArea(p, slotIndex, area.devicePage,
                        largePages ? kLargePageWrites : kIspAreaBytes / pageSize);
    if (ok && !largePages) {
      ok = device::WriteFlashPages(p.link, area.devicePage, kIspAreaBytes / pageSize, kIspAreaBytes,
                                   image, slot.volumeHandle);
    } else if (ok) {
      for (uint32_t k = 0; k < kLargePageWrites && ok; ++k) {
        StageLargePage(staging.get(), pageSize, image, k);
        ok = device::WriteFlashPages(p.link, area.devicePage + k, 1, pageSize, staging.get(),
                                     slot.volumeHandle);
      }
    }
    if (ok) {
      ReportCopies(p, 1, 0);
      ReportArea(p, area.copy, false, CopyState::kWritten);
    }
    ReportStep(p, StepKind::kWrite, ok ? StepState::kDone : StepState::kFailed, step, ++written,
               total);
    if (!ok) {
      ShowError(p, "Write ISP code to flash fail");
      return false;
    }
  }
  int verified = 0;

  for (size_t i = 0; i < copies.size(); ++i) {
    const CopyArea& area = copies[i];
    if (!area.usable()) continue;
    const uint8_t* image = images[i];
    const std::string step = FormatText("Verify ISP copy %d", area.copy);
    ReportStep(p, StepKind::kVerify, StepState::kStarted, step, verified, total);
    bool readOk = true;
    bool same = true;
    std::optional<FailureCause> differs;
    const std::string copyName = FormatText("ISP copy %d", area.copy);
    if (!largePages) {
      readOk = device::ReadFlashPages(p.link, area.devicePage, kIspAreaBytes / pageSize,
                                      kIspAreaBytes, kReadMode, readBack, slot.volumeHandle);
      same = readOk && std::memcmp(readBack, image, kIspAreaBytes) == 0;
      if (readOk && !same) differs = DifferingReadBack(copyName, image, readBack, kIspAreaBytes);
    } else {
      for (uint32_t k = 0; k < kLargePageWrites && readOk && same; ++k) {
        StageLargePage(comparison.get(), pageSize, image, k);
        readOk = device::ReadFlashPages(p.link, area.devicePage + k, 1, pageSize, kReadMode,
                                        readBack, slot.volumeHandle);
        same = readOk && std::memcmp(readBack, comparison.get(), pageSize) == 0;
        if (readOk && !same) {
          differs = DifferingReadBack(copyName, comparison.get(), readBack, pageSize,
                                      size_t{k} * pageSize);
        }
      }
    }
    if (readOk && same) ReportCopies(p, 0, 1);
    ReportArea(p, area.copy, false,
               !readOk ? CopyState::kUnreadable
               : same  ? CopyState::kVerified
                       : CopyState::kDiffers);
    ReportStep(p, StepKind::kVerify, readOk && same ? StepState::kDone : StepState::kFailed, step,
               ++verified, total);
    if (!readOk) {
      ShowError(p, "Read ISP code from flash fail");
      return false;
    }
    if (!same) {
      ShowError(p, "Update ISP code fail", *differs);
      return false;
    }
  }
  window.WriteDone();

  comparison.reset();
  slot.capacityRead = QueryCapacity(p, slotIndex) ? 1 : 0;
  return true;
}

}  // namespace kestrune
