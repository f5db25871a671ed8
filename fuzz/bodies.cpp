#include "fuzz/bodies.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/drive_session.h"
#include "device/commands.h"
#include "discovery/discovery.h"
#include "fuzz/fuzz_world.h"
#include "images/images.h"
#include "operations/isp_areas.h"
#include "operations/operations.h"
#include "simulator/virtual_drive.h"

namespace kestrune::fuzz {

namespace {

constexpr int8_t kWorkingCodeBlock = 5;

[[noreturn]] void Fail(const char* what, uint32_t a, uint32_t b) {
  std::fprintf(stderr, "fuzz: %s (%u, %u)\n", what, a, b);
  std::abort();
}

// Sets slot 0 up as identification would have left it before the probes.
bool PrepareSlot(Program& p, const SlotHeader& header) {
  p.Slot(0).letter = 'E';
  ResetSlot(p, 0);
  DriveSlot& slot = p.Slot(0);
  slot.controllerId = PickController(header.controller);
  std::memcpy(slot.flashId, header.flashId, sizeof slot.flashId);
  slot.hasFlashId = (slot.flashId[0] != 0 || slot.flashId[1] != 0) ? 1 : 0;
  slot.revision = header.revision;
  slot.needsCodeInit = IsFamilyB(slot.controllerId) ? 1 : 0;
  if (!OpenVolume(p, 0)) return false;
  slot.capacityRead = QueryCapacity(p, 0) ? 1 : 0;
  if (header.capacityRead & 1) slot.capacityRead = 1;
  if (slot.needsCodeInit) {
    if (!LoadCodeBlock(p, kWorkingCodeBlock, 0) ||
        !device::InitFlash(p.link, 0, slot.volumeHandle)) {
      CloseVolume(p, 0);
      return false;
    }
  }
  return true;
}

bool Probe(Program& p) {
  DriveSlot& slot = p.Slot(0);
  bool probed = false;
  if (IsFamilyA(slot.controllerId)) {
    QueryModeByte(p, 0);
    probed = ProbeFlashConfigA(p, 0);
  } else {
    probed = ProbeFlashConfigB(p, 0);
  }
  if (probed) slot.geometryValid = 1;
  return probed;
}

// A page inside the CIS part of its block survives the way there and back.
void CheckConversions(Program& p, uint32_t page) {
  const DriveSlot& slot = p.Slot(0);
  const uint32_t cis = ToCisPage(p, 0, page);
  if (cis == kInvalidPage) return;
  const uint64_t wide =
      uint64_t{page / slot.pagesPerBlock} * slot.cisPagesPerBlock + page % slot.pagesPerBlock;
  if (wide >= kInvalidPage || page % slot.pagesPerBlock >= slot.cisPagesPerBlock) return;
  const uint32_t back = ToDevicePage(p, 0, cis);
  if (back != page) Fail("page conversion does not return", page, back);
}

}  // namespace

SlotHeader SlotHeader::Read(ByteReader& reader) {
  SlotHeader header;
  header.controller = reader.Byte();
  reader.Copy(header.flashId, sizeof header.flashId);
  header.revision = reader.Byte();
  header.capacityRead = reader.Byte();
  for (uint32_t& page : header.pages) page = reader.Le32();
  return header;
}

void SlotHeader::Append(std::vector<uint8_t>& out) const {
  out.push_back(controller);
  out.insert(out.end(), flashId, flashId + sizeof flashId);
  out.push_back(revision);
  out.push_back(capacityRead);
  for (uint32_t page : pages) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(page >> shift));
  }
}

void RunIdentify(Program& p) {
  p.Slot(0).letter = 'E';
  ResetSlot(p, 0);
  IdentifyDrive(p, 0);
}

void RunGeometry(Program& p, const SlotHeader& header) {
  if (!PrepareSlot(p, header)) return;
  const bool probed = Probe(p);
  CloseVolume(p, 0);
  if (!probed) return;

  for (uint32_t page : header.pages) CheckConversions(p, page);
  DriveSlot& slot = p.Slot(0);
  // Copies at the header's pages, as a CIS search would have set them.
  for (int i = 0; i < kCisCopies; ++i) {
    slot.cis[i].present = 1;
    slot.cis[i].ispOffset = header.pages[i];
    slot.cis[i].auxAreaOffset = header.pages[(i + 1) % kCisCopies];
  }
  slot.cisCount = kCisCopies;
  BuildCopyList(p, 0, AreaKind::kIsp);
  BuildCopyList(p, 0, AreaKind::kAux);

  p.selectedDrive = 0;
  p.pageBuffer = p.link.AllocBuffer(kPageBufferSize, 0);
  DumpPhysicalPage(p, header.pages[0]);
  p.pageBuffer.reset();
  const uint32_t start = ToDevicePage(p, 0, header.pages[1]);
  if (start != kInvalidPage) DownloadIsp(p, "C:\\ISP0_Before.bin", start);
}

void RunCis(Program& p, const SlotHeader& header) {
  if (!PrepareSlot(p, header)) return;
  DriveSlot& slot = p.Slot(0);
  if (Probe(p)) {
    if (IsFamilyA(slot.controllerId)) {
      if (!ParseCisPageA(p, 0, 0)) ParseCisPageA(p, 0, slot.pagesPerBlock);
    } else if (LocateCodeMark(p, 0)) {
      for (int i = 0; i < kCisCopies; ++i) {
        if (slot.cis[i].present == 0 || !ParseCisPageB(p, 0, slot.cis[i].page)) continue;
        slot.activeCis = static_cast<uint8_t>(i);
        ReadExtraInfo(p, 0);
        break;
      }
      if (slot.cisCount > kCisCopies)
        Fail("more CIS copies than the table holds", slot.cisCount, 0);
    }
  }
  CloseVolume(p, 0);
}

void RunScan(Program& p, bool destroy, bool cancelled, const uint32_t& flashChanges,
             uint8_t after) {
  // The main dialog's list shows the texts and capacity taken from the replies.
  DriveSession session(p);
  session.driveCount = CheckDriveExist(p);
  if (session.driveCount == 0) return;
  if (session.DriveLines().size() != session.driveCount) Fail("a listed drive has no line", 0, 0);
  p.isAdmin = true;
  p.selectedDrive = 0;
  const DriveSlot& slot = p.Slot(0);
  bool placeKnown = false;
  for (int i = 0; i < kCisCopies; ++i) {
    placeKnown = placeKnown || IspOffsetSet(slot, i) || AuxOffsetSet(slot, i);
  }
  const uint32_t before = flashChanges;
  auto* view = dynamic_cast<OkView*>(&p.view);
  const int successesBefore = view ? view->successes : 0;
  CommandWindow window;
  session.Fix(window);
  // A repair that claims success has written the flash.
  if (view && view->successes != successesBefore && flashChanges == before) {
    Fail("update reported success without writing", 0, 0);
  }
  // The 0x190 update asks nothing before it writes.
  if (cancelled && slot.controllerId != kCtrl190 && flashChanges != before) {
    Fail("flash changed after the update was declined", flashChanges - before, 0);
  }
  if (destroy) {
    const uint32_t beforeDestroy = flashChanges;
    const int successesBeforeDestroy = view ? view->successes : 0;
    session.Destroy(window, false);
    if (view && view->successes != successesBeforeDestroy && flashChanges == beforeDestroy) {
      Fail("destroy reported success without erasing or writing", 0, 0);
    }
  }
  if (!placeKnown && flashChanges != before) {
    Fail("flash changed with no ISP copy at a known place", flashChanges - before, 0);
  }
  if (after & 1) session.Rescan();
  if (after & 2) session.Close(false);
}

sim::NandFlash BlankFlashOf(uint8_t selector) {
  constexpr size_t kCount = std::size(kFlashFileDrives);
  // Each description is read once; the fuzzer calls this for every input.
  static std::unique_ptr<sim::VirtualDrive> drives[kCount];
  const size_t index = selector % kCount;
  std::unique_ptr<sim::VirtualDrive>& drive = drives[index];
  if (!drive) {
    std::string error;
    drive = sim::VirtualDrive::FromFile(
        std::string(KESTRUNE_FUZZ_DRIVES) + "/" + kFlashFileDrives[index], &error, std::string());
    if (!drive) {
      std::fprintf(stderr, "fuzz: %s: %s\n", kFlashFileDrives[index], error.c_str());
      std::abort();
    }
  }
  const sim::DriveDescription& d = drive->Description();
  return sim::NandFlash(d.pageSize, sim::kSpareSize, d.pagesPerBlock, d.BlockCount());
}

}  // namespace kestrune::fuzz
