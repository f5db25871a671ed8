#include "operations/flash_map.h"

#include <algorithm>
#include <cstring>

#include "device/commands.h"
#include "discovery/discovery.h"
#include "images/images.h"
#include "operations/volume_guard.h"

namespace kestrune {

namespace {

constexpr uint32_t kReadMode = 1;
constexpr uint32_t kLargePageWrites = kIspAreaBytes / kLargePageThreshold;

// The update of 0x190 moves its areas in 4 KiB steps; the others write the
// whole 64 KiB ISP area, or 16 pages of 4 KiB each on large pages.
bool Chunked(const DriveSlot& slot) { return slot.controllerId == kCtrl190; }

uint32_t ChunkedPages(uint32_t pageSize, uint32_t bytes) {
  const uint32_t perChunk = pageSize >= kChunkBytes ? 1 : kChunkBytes / pageSize;
  return bytes / kChunkBytes * perChunk;
}

void AddMark(FlashMap& map, const DriveSlot& slot, MarkKind kind, int copy, uint32_t devicePage,
             uint32_t pages, CopyState state) {
  if (devicePage == kInvalidPage || slot.pagesPerBlock == 0) return;
  MapMark mark;
  mark.kind = kind;
  mark.copy = copy;
  mark.state = state;
  mark.firstBlock = devicePage / slot.pagesPerBlock;
  const uint64_t last =
      (uint64_t{devicePage} + std::max<uint32_t>(pages, 1) - 1) / slot.pagesPerBlock;
  mark.blockCount = static_cast<uint32_t>(last - mark.firstBlock + 1);
  mark.inFlash = map.valid && last < map.BlockCount();
  map.marks.push_back(mark);
}

// Reads the first `bytes` of an area as the update lays it out, into `out`
// (kIspAreaBytes). Large pages outside the chunked scheme carry 4 KiB each.
bool ReadArea(Program& p, const DriveSlot& slot, uint32_t page, uint32_t bytes, uint8_t* out,
              uint8_t* pageBuffer) {
  const uint32_t pageSize = slot.pageSize;
  if (!Chunked(slot) && pageSize <= kLargePageThreshold) {
    return device::ReadFlashPages(p.link, page, kIspAreaBytes / pageSize, kIspAreaBytes, kReadMode,
                                  out, slot.volumeHandle);
  }
  // Chunked: 4 KiB steps of several pages, or one page per step on pages
  // of 4 KiB and more; unchunked large pages: 4 KiB at the start of each.
  const uint32_t count = Chunked(slot) && pageSize < kChunkBytes ? kChunkBytes / pageSize : 1;
  const uint32_t length = Chunked(slot) && pageSize < kChunkBytes ? kChunkBytes : pageSize;
  for (uint32_t position = 0; position < bytes; position += kChunkBytes, page += count) {
    if (!device::ReadFlashPages(p.link, page, count, length, kReadMode, pageBuffer,
                                slot.volumeHandle)) {
      return false;
    }
    std::memcpy(out + position, pageBuffer, kChunkBytes);
  }
  return true;
}

}  // namespace

uint32_t AreaPageCount(const DriveSlot& slot, AreaKind kind) {
  const uint32_t pageSize = slot.pageSize;
  if (!IsUsablePageSize(pageSize)) return 1;
  if (Chunked(slot)) {
    return ChunkedPages(pageSize, kind == AreaKind::kIsp ? kIspPayloadBytes : kAuxAreaBytes);
  }
  return pageSize > kLargePageThreshold ? kLargePageWrites : kIspAreaBytes / pageSize;
}

FlashMap BuildFlashMap(const DriveSlot& slot, const CopyStates& states) {
  FlashMap map;
  if (slot.geometryValid != 0 && slot.pagesPerBlock != 0) {
    map.ceCount = slot.ceCount;
    map.zoneCount = slot.zoneCount;
    map.blocksPerZone = slot.blocksPerZone;
    map.pagesPerBlock = slot.pagesPerBlock;
    map.valid = map.BlockCount() != 0;
  }
  for (int copy = 0; copy < kCisCopies; ++copy) {
    const CisCopy& cis = slot.cis[copy];
    if (cis.present == 1 && cis.page != 0xFFFF) {
      AddMark(map, slot, MarkKind::kCis, copy, cis.page, 1, CopyState::kUnchecked);
    }
  }
  for (int copy = 0; copy < kCisCopies; ++copy) {
    if (!IspOffsetSet(slot, copy)) continue;
    AddMark(map, slot, MarkKind::kIsp, copy, ToDevicePage(slot, slot.cis[copy].ispOffset),
            AreaPageCount(slot, AreaKind::kIsp), states.isp[copy]);
  }
  if (slot.controllerId != kCtrl190) return map;
  for (int copy = 0; copy < kCisCopies; ++copy) {
    if (!AuxOffsetSet(slot, copy)) continue;
    AddMark(map, slot, MarkKind::kAux, copy, ToDevicePage(slot, slot.cis[copy].auxAreaOffset),
            AreaPageCount(slot, AreaKind::kAux), states.aux[copy]);
  }
  return map;
}

CopyStates StatesOf(const std::vector<Report>& reports) {
  CopyStates states;
  for (const Report& report : reports) {
    for (const AreaState& area : report.areas) {
      if (area.copy < 0 || area.copy >= kCisCopies) continue;
      (area.aux ? states.aux : states.isp)[area.copy] = area.state;
    }
  }
  return states;
}

CopyStates CompareIspCopies(Program& p, int slotIndex, const std::string& path) {
  CopyStates states;
  if (slotIndex < 0 || slotIndex >= kSlotCount) return states;
  const DriveSlot& slot = p.Slot(slotIndex);
  const bool chunked = Chunked(slot);
  const bool fits =
      chunked ? PageSizeFitsChunked(slot.pageSize) : PageSizeFitsUpdate(slot.pageSize);
  std::vector<uint8_t> image;
  if (!fits || ReadImageFile(p.platform, p.images.get(), path, image) != ImageFileRead::kRead) {
    return states;
  }
  // The code a fix writes; what it puts behind the code is no part of it.
  std::vector<uint8_t> isp(kIspAreaBytes, 0);
  std::vector<uint8_t> aux(kIspAreaBytes, 0);
  CopyImageBytes(image, kIspFileOffset, isp.data(), kIspPayloadBytes);
  CopyImageBytes(image, kAuxFileOffset, aux.data(), kAuxAreaBytes);
  std::vector<uint8_t> readBack(kIspAreaBytes);
  std::vector<uint8_t> pageBuffer(kPageBufferSize);

  VolumeGuard volume(p, slotIndex);
  if (!OpenVolume(p, slotIndex)) return states;
  struct Pass {
    AreaKind kind;
    const std::vector<uint8_t>& expected;
    uint32_t bytes;
    CopyState* out;
  };
  const Pass passes[] = {
      {AreaKind::kIsp, isp, kIspPayloadBytes, states.isp},
      {AreaKind::kAux, aux, kAuxAreaBytes, states.aux},
  };
  for (const Pass& pass : passes) {
    if (pass.kind == AreaKind::kAux && !chunked) break;
    for (const CopyArea& area : BuildCopyList(p, slotIndex, pass.kind)) {
      if (!area.usable()) continue;
      std::fill(readBack.begin(), readBack.end(), uint8_t{0});
      if (!ReadArea(p, slot, area.devicePage, pass.bytes, readBack.data(), pageBuffer.data())) {
        pass.out[area.copy] = CopyState::kUnreadable;
        continue;
      }
      const bool same =
          std::equal(readBack.begin(), readBack.begin() + pass.bytes, pass.expected.begin());
      pass.out[area.copy] = same ? CopyState::kMatches : CopyState::kDiffers;
    }
  }
  return states;
}

void OnMapIsp(Program& p) {
  if (!BeginDriveReport(p, "map")) return;
  const int index = p.selectedDrive;
  const DriveSlot& slot = p.Slot(index);
  const std::string path = slot.controllerId == kCtrl190
                               ? ChooseUpdateImage190(p.platform, TraitsOf(slot))
                               : ChooseUpdateImage(p.platform, TraitsOf(slot), slot.controllerId);
  const CopyStates states = CompareIspCopies(p, index, path);
  for (int copy = 0; copy < kCisCopies; ++copy) {
    if (states.isp[copy] != CopyState::kUnchecked) ReportArea(p, copy, false, states.isp[copy]);
    if (states.aux[copy] != CopyState::kUnchecked) ReportArea(p, copy, true, states.aux[copy]);
  }
  SettleReport(p, Outcome::kSuccess);
}

}  // namespace kestrune
