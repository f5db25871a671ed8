// UpdateIspCode190: the update of controller 0x190, which carries a second
// code area per CIS copy and is restarted on its new code afterwards.
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
constexpr uint32_t kInitFlashMode = 4;
constexpr int8_t kWorkingCodeBlock = 5;

void ShowError(Program& p, const std::string& text) {
  p.view.ShowMessage(text, "ERROR", kMbIconError);
}

// Moves `bytes` of `buffer` in 4,096-byte steps from page `page` on; a page
// larger than a step carries the next pageSize buffer bytes.
bool TransferChunked(Program& p, uint32_t page, uint8_t* buffer, uint32_t bytes, bool write) {
  const DriveSlot& slot = p.Selected();
  const uint32_t pageSize = slot.pageSize;
  uint32_t count = kChunkBytes / pageSize;
  uint32_t length = kChunkBytes;
  if (count == 0) {
    count = 1;
    length = pageSize;
  }
  for (uint32_t position = 0; position < bytes; position += kChunkBytes) {
    bool ok = write ? device::WriteFlashPages(p.link, page, count, length, buffer + position,
                                              slot.volumeHandle)
                    : device::ReadFlashPages(p.link, page, count, length, kReadMode,
                                             buffer + position, slot.volumeHandle);
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
};

constexpr AreaPass kIspPass = {"ISP code", "Write ISP code to flash fail",
                               "Read ISP code from flash fail", kIspPayloadBytes};
constexpr AreaPass kAuxPass = {"auxiliary code", "Write 190 ISP code to flash fail",
                               "Read 190 ISP code from flash fail", kAuxAreaBytes};

// Writes every usable copy, then reads each back and compares. False after
// the failure box was shown.
bool WriteAndVerify(Program& p, const std::vector<CopyArea>& copies, const AreaPass& pass,
                    uint8_t* expected, uint8_t* readBack) {
  const DriveSlot& slot = p.Selected();
  for (const CopyArea& area : copies) {
    if (!area.usable()) continue;
    const std::string step = FormatText("Write %s of copy %d", pass.name, area.copy);
    p.view.Progress(step, false);
    EraseArea(p, p.selectedDrive, area.devicePage, ChunkedPageCount(slot.pageSize, pass.bytes));
    bool ok = TransferChunked(p, area.devicePage, expected, pass.bytes, true);
    p.view.Progress(step, true);
    if (!ok) {
      ShowError(p, pass.writeFailed);
      return false;
    }
  }
  for (const CopyArea& area : copies) {
    if (!area.usable()) continue;
    const std::string step = FormatText("Verify %s of copy %d", pass.name, area.copy);
    p.view.Progress(step, false);
    // Unlike the expected bytes, so a chunk that delivers no data fails.
    FillUnlike(readBack, expected, pass.bytes);
    bool ok = TransferChunked(p, area.devicePage, readBack, pass.bytes, false);
    p.view.Progress(step, true);
    if (!ok) {
      ShowError(p, pass.readFailed);
      return false;
    }
    if (std::memcmp(readBack, expected, pass.bytes) != 0) {
      ShowError(p, "Update ISP code fail");
      return false;
    }
  }
  return true;
}

}  // namespace

void UpdateIspCode190(Program& p, const std::string& path) {
  if (p.selectedDrive >= kSlotCount) return;
  const int index = p.selectedDrive;
  DriveSlot& slot = p.Slot(index);

  device::HeapBlock readBack = p.link.AllocBuffer(kIspAreaBytes, 0);
  device::HeapBlock expected = p.link.AllocBuffer(kIspAreaBytes, 0);
  if (!readBack || !expected) {
    p.view.ShowMessage("Can't allocate databuffer...", "Allocate Fail Warning", kMbIconExclamation);
    return;
  }
  std::memset(readBack.get(), 0, kIspAreaBytes);
  std::memset(expected.get(), 0, kIspAreaBytes);

  std::vector<uint8_t> image;
  if (!ReadUpdateImage(p, path, image)) return;
  CopyImageBytes(image, kIspFileOffset, expected.get(), kIspPayloadBytes);

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

  VolumeGuard volume(p, index);
  if (!OpenVolume(p, index)) {
    ShowError(p, "Update ISP fail because open handle fail ...");
    return;
  }
  LoadCodeBlock(p, kWorkingCodeBlock, index);
  device::InitFlash(p.link, kInitFlashMode, slot.volumeHandle);

  if (!WriteAndVerify(p, ispCopies, kIspPass, expected.get(), readBack.get())) return;

  std::memset(expected.get(), 0, kIspAreaBytes);
  CopyImageBytes(image, kAuxFileOffset, expected.get(), kAuxAreaBytes);
  if (!WriteAndVerify(p, auxCopies, kAuxPass, expected.get(), readBack.get())) return;

  CloseVolume(p, index);
  p.view.Progress("Restart drive", false);
  const bool restarted = RestartDrive(p, index);
  p.view.Progress("Restart drive", true);

  if (!ispSkipped.empty()) {
    ShowError(p, FormatText(kIspCopiesSkipped, ispSkipped.c_str()));
  } else if (!auxSkipped.empty()) {
    ShowError(p, FormatText(kAuxCopiesSkipped, auxSkipped.c_str()));
  } else if (p.cisSearchIncomplete[index]) {
    ShowError(p, kCisSearchIncomplete);
  } else if (restarted) {
    p.view.ShowMessage("Update ISP code Success, please replug device to ensure it normal.",
                       "SUCCESS", kMbOk);
  } else {
    p.view.ShowMessage("Update ISP code Success, please replug the device", "SUCCESS", kMbOk);
  }
  if (!restarted) {
    // The controller may be left without working code; give it block 5 back.
    CloseVolume(p, index);
    if (OpenVolume(p, index)) LoadCodeBlock(p, kWorkingCodeBlock, index);
  }
  if (ispSkipped.empty() && auxSkipped.empty() && !p.cisSearchIncomplete[index]) {
    slot.capacityRead = 1;
  }
}

}  // namespace kestrune
