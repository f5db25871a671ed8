// UpdateIspCode190: the update of controller 0x190, which carries a second
// code area per CIS copy and is restarted on its new code afterwards.
#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

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

void ShowError(Program& p, const std::string& text) {
  Fail(p, Outcome::kFailed, text, "ERROR", kMbIconError);
}

// Moves `bytes` in 4,096-byte steps from page `page` on, out of `source`
// when it is given, else into `target`; a page larger than a step carries
// the next pageSize buffer bytes.
bool TransferChunked(Program& p, uint32_t page, uint32_t bytes, const uint8_t* source,
                     uint8_t* target) {
  const DriveSlot& slot = p.Selected();
  const uint32_t pageSize = slot.pageSize;
  uint32_t count = kChunkBytes / pageSize;
  uint32_t length = kChunkBytes;
  if (count == 0) {
    count = 1;
    length = pageSize;
  }
  for (uint32_t position = 0; position < bytes; position += kChunkBytes) {
    bool ok = source != nullptr ? device::WriteFlashPages(p.link, page, count, length,
                                                          source + position, slot.volumeHandle)
                                : device::ReadFlashPages(p.link, page, count, length, kReadMode,
                                                         target + position, slot.volumeHandle);
    if (!ok) return false;
    page += count;
  }
  return true;
}

// Pages a chunked transfer of `bytes` reaches.
uint32_t ChunkedPageCount(uint32_t pageSize, uint32_t bytes) {
  const uint32_t perChunk = pageSize >= kChunkBytes ? 1 : kChunkBytes / pageSize;
  return bytes / kChunkBytes * perChunk;
}

struct AreaPass {
  const char* name;         // progress text
  const char* writeFailed;  // box texts
  const char* readFailed;
  uint32_t bytes;
  bool aux;
};

constexpr AreaPass kIspPass = {"ISP code", "Write ISP code to flash fail",
                               "Read ISP code from flash fail", kIspPayloadBytes, false};
constexpr AreaPass kAuxPass = {"auxiliary code", "Write 190 ISP code to flash fail",
                               "Read 190 ISP code from flash fail", kAuxAreaBytes, true};

// Steps of the two passes, counted across both.
struct PassSteps {
  int total = 0;
  int written = 0;
  int verified = 0;
};

// Writes every usable copy, then reads each back and compares. images[i]
// belongs to copies[i]. The copy numbers written and read back equal are
// added to `written` and `verified`. False after the failure box was shown.
bool WriteAndVerify(Program& p, const std::vector<CopyArea>& copies, const AreaPass& pass,
                    const std::vector<const uint8_t*>& images, uint8_t* readBack, PassSteps& steps,
                    std::set<int>& written, std::set<int>& verified) {
  const DriveSlot& slot = p.Selected();
  for (size_t i = 0; i < copies.size(); ++i) {
    const CopyArea& area = copies[i];
    if (!area.usable()) continue;
    const std::string step = FormatText("Write %s of copy %d", pass.name, area.copy);
    ReportStep(p, StepKind::kWrite, StepState::kStarted, step, steps.written, steps.total);
    // Pages programmed over a block that was not erased hold neither the
    // old code nor the new: the copy is not written on.
    bool ok = EraseArea(p, p.selectedDrive, area.devicePage,
                        ChunkedPageCount(slot.pageSize, pass.bytes)) &&
              TransferChunked(p, area.devicePage, pass.bytes, images[i], nullptr);
    if (ok) {
      written.insert(area.copy);
      ReportArea(p, area.copy, pass.aux, CopyState::kWritten);
    }
    ReportStep(p, StepKind::kWrite, ok ? StepState::kDone : StepState::kFailed, step,
               ++steps.written, steps.total);
    if (!ok) {
      ShowError(p, pass.writeFailed);
      return false;
    }
  }
  for (size_t i = 0; i < copies.size(); ++i) {
    const CopyArea& area = copies[i];
    if (!area.usable()) continue;
    const uint8_t* image = images[i];
    const std::string step = FormatText("Verify %s of copy %d", pass.name, area.copy);
    ReportStep(p, StepKind::kVerify, StepState::kStarted, step, steps.verified, steps.total);
    const bool readOk = TransferChunked(p, area.devicePage, pass.bytes, nullptr, readBack);
    const bool same = readOk && std::memcmp(readBack, image, pass.bytes) == 0;
    if (same) verified.insert(area.copy);
    ReportArea(p, area.copy, pass.aux,
               !readOk ? CopyState::kUnreadable
               : same  ? CopyState::kVerified
                       : CopyState::kDiffers);
    ReportStep(p, StepKind::kVerify, same ? StepState::kDone : StepState::kFailed, step,
               ++steps.verified, steps.total);
    if (!readOk) {
      ShowError(p, pass.readFailed);
      return false;
    }
    if (!same) {
      Fail(p, Outcome::kFailed, "Update ISP code fail", "ERROR", kMbIconError,
           DifferingReadBack(FormatText("the %s of copy %d", pass.name, area.copy), image, readBack,
                             pass.bytes));
      return false;
    }
  }
  return true;
}

}  // namespace

void UpdateIspCode190(Program& p, const std::string& path) {
  if (p.selectedDrive >= kSlotCount) return;
  // Both codes are taken now, so that nothing but the drive is met once
  // the first area is erased.
  std::vector<uint8_t> image;
  if (!ReadUpdateImage(p, path, image)) return;
  WriteUpdateImage190(p, image);
}

void WriteUpdateImage190(Program& p, const std::vector<uint8_t>& image) {
  if (p.selectedDrive >= kSlotCount) return;
  const int index = p.selectedDrive;
  DriveSlot& slot = p.Slot(index);

  device::HeapBlock readBack = p.link.AllocBuffer(kIspAreaBytes, 0);
  device::HeapBlock expected = p.link.AllocBuffer(kIspAreaBytes, 0);
  device::HeapBlock auxExpected = p.link.AllocBuffer(kIspAreaBytes, 0);
  if (!readBack || !expected || !auxExpected) {
    Fail(p, Outcome::kFailed, "Can't allocate databuffer...", "Allocate Fail Warning",
         kMbIconExclamation);
    return;
  }
  std::memset(readBack.get(), 0, kIspAreaBytes);
  std::memset(expected.get(), 0, kIspAreaBytes);
  std::memset(auxExpected.get(), 0, kIspAreaBytes);

  // What a short file lacks stays zero.
  CopyImageBytes(image, kIspFileOffset, expected.get(), kIspPayloadBytes);
  CopyImageBytes(image, kAuxFileOffset, auxExpected.get(), kAuxAreaBytes);

  if (!PageSizeFitsChunked(slot.pageSize)) {
    ShowError(p, FormatText(kPageSizeUnsupported, static_cast<unsigned>(slot.pageSize)));
    return;
  }
  const std::vector<CopyArea> ispCopies = BuildCopyList(p, index, AreaKind::kIsp);
  const std::vector<CopyArea> auxCopies = BuildCopyList(p, index, AreaKind::kAux);
  const std::string ispSkipped = DescribeSkipped(ispCopies);
  const std::string auxSkipped = DescribeSkipped(auxCopies);
  if (!AnyUsable(ispCopies)) {
    ShowError(p, kNoIspCopyKnown);
    return;
  }

  bool restarted = false;
  WriteWindow window(p);
  if (!WriteCodeAreas190(p, index, ispCopies,
                         std::vector<const uint8_t*>(ispCopies.size(), expected.get()), auxCopies,
                         std::vector<const uint8_t*>(auxCopies.size(), auxExpected.get()),
                         readBack.get(), window, restarted)) {
    return;
  }

  const bool complete = ispSkipped.empty() && auxSkipped.empty();
  if (!ispSkipped.empty()) {
    ShowError(p, FormatText(kIspCopiesSkipped, ispSkipped.c_str()));
  } else if (!auxSkipped.empty()) {
    ShowError(p, FormatText(kAuxCopiesSkipped, auxSkipped.c_str()));
  } else {
    ShowBox(p, restarted ? kUpdateSuccess : kUpdateReplug, "SUCCESS", kMbOk | kBoxTellsReplug);
    SettleReport(p, Outcome::kSuccess);
  }
  if (complete) WarnOfUnreadBlocks(p, index);
  if (!restarted && !platform::InterruptReceived()) ReloadWorkingCode(p, index);
  if (complete) slot.capacityRead = 1;
}

bool WriteCodeAreas190(Program& p, int slotIndex, const std::vector<CopyArea>& ispCopies,
                       const std::vector<const uint8_t*>& ispImages,
                       const std::vector<CopyArea>& auxCopies,
                       const std::vector<const uint8_t*>& auxImages, uint8_t* readBack,
                       WriteWindow& window, bool& restarted) {
  restarted = false;
  DriveSlot& slot = p.Slot(slotIndex);
  {
    VolumeGuard volume(p, slotIndex);
    if (!OpenVolume(p, slotIndex)) {
      ShowError(p, "Update ISP fail because open handle fail ...");
      return false;
    }
    LoadCodeBlock(p, kWorkingCodeBlock, slotIndex);
    device::InitFlash(p.link, kInitFlashMode, slot.volumeHandle);
    // Both areas of every copy are written and read back before an
    // interrupt is let through.
    if (!window.Open()) return false;
    const auto usable = [](const std::vector<CopyArea>& copies) {
      return static_cast<int>(std::count_if(copies.begin(), copies.end(),
                                            [](const CopyArea& a) { return a.usable(); }));
    };
    PassSteps steps;
    steps.total = usable(ispCopies) + usable(auxCopies);
    // A copy counts once both of its areas are written, and again once both
    // read back equal.
    std::set<int> ispWritten, ispVerified, auxWritten, auxVerified;
    const bool ispDone =
        WriteAndVerify(p, ispCopies, kIspPass, ispImages, readBack, steps, ispWritten, ispVerified);
    const bool auxDone = ispDone && WriteAndVerify(p, auxCopies, kAuxPass, auxImages, readBack,
                                                   steps, auxWritten, auxVerified);
    const auto both = [](const std::set<int>& a, const std::set<int>& b) {
      return static_cast<int>(std::count_if(a.begin(), a.end(), [&](int c) { return b.count(c); }));
    };
    ReportCopies(p, both(ispWritten, auxWritten), both(ispVerified, auxVerified));
    if (!auxDone) return false;
    window.WriteDone();
  }
  // An interrupt held meanwhile ends the run before the restart.
  if (platform::InterruptReceived()) return true;
  ReportStep(p, StepKind::kRestart, StepState::kStarted, "Restart drive", 0, 1);
  restarted = RestartDrive(p, slotIndex);
  ReportStep(p, StepKind::kRestart, restarted ? StepState::kDone : StepState::kFailed,
             "Restart drive", 1, 1);
  return true;
}

void PrepareFlashReads190(Program& p) {
  const int index = p.selectedDrive;
  VolumeGuard volume(p, index);
  if (!OpenVolume(p, index)) return;
  if (LoadCodeBlock(p, kWorkingCodeBlock, index)) {
    device::InitFlash(p.link, 0, p.Slot(index).volumeHandle);
  }
}

void ReloadWorkingCode(Program& p, int slotIndex) {
  CloseVolume(p, slotIndex);
  VolumeGuard volume(p, slotIndex);
  if (OpenVolume(p, slotIndex)) LoadCodeBlock(p, kWorkingCodeBlock, slotIndex);
}

}  // namespace kestrune
