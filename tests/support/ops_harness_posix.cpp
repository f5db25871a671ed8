#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "device/bytes.h"
#include "device/commands.h"
#include "discovery/discovery.h"
#include "images/images.h"
#include "tests/support/ops_harness.h"

namespace kestrune::testing {

uint8_t ImageByte(uint32_t i) { return static_cast<uint8_t>((i * 7 + (i >> 8) * 13 + 1) & 0xFF); }

OpsFlash::OpsFlash(ScriptedDrive& drive, uint32_t pageSize, uint32_t pagesPerBlock)
    : pageSize_(pageSize), pagesPerBlock_(pagesPerBlock) {
  Install(drive);
}

std::vector<uint8_t> OpsFlash::Page(uint32_t page) const {
  auto found = pages_.find(page);
  if (found == pages_.end()) return std::vector<uint8_t>(pageSize_, 0xFF);
  return found->second;
}

std::vector<uint8_t> OpsFlash::Bytes(uint32_t page, uint32_t bytes) const {
  std::vector<uint8_t> out;
  while (out.size() < bytes) {
    std::vector<uint8_t> one = Page(page++);
    out.insert(out.end(), one.begin(), one.end());
  }
  out.resize(bytes);
  return out;
}

void OpsFlash::Put(uint32_t page, const std::vector<uint8_t>& bytes) {
  for (uint32_t at = 0; at < bytes.size(); at += pageSize_, ++page) {
    std::vector<uint8_t> one(pageSize_, 0xFF);
    std::copy_n(bytes.begin() + at, std::min<size_t>(pageSize_, bytes.size() - at), one.begin());
    pages_[page] = one;
  }
}

void OpsFlash::Install(ScriptedDrive& drive) {
  // Page commands must move whole pages and stay inside the flash.
  auto inRange = [this](const device::Request& r, uint32_t& page, uint32_t& count) {
    page = bytes::LoadBe32(r.cdb + 2);
    count = bytes::LoadBe16(r.cdb + 7);
    return count > 0 && r.transferLength == count * pageSize_ && page + count <= pageCount;
  };
  drive.On(MatchOpcode(device::kOpReadFlashPages),
           [this, inRange](const device::Request& r, std::span<uint8_t> data) {
             uint32_t page = 0;
             uint32_t count = 0;
             if (!inRange(r, page, count)) return CheckCondition();
             std::vector<uint8_t> bytes = Bytes(page, count * pageSize_);
             std::copy(bytes.begin(), bytes.end(), data.begin());
             return Good();
           });
  drive.On(MatchOpcode(device::kOpWriteFlashPages),
           [this, inRange](const device::Request& r, std::span<uint8_t> data) {
             uint32_t page = 0;
             uint32_t count = 0;
             if (!inRange(r, page, count)) return CheckCondition();
             Put(page, std::vector<uint8_t>(data.begin(), data.end()));
             return Good();
           });
  drive.On(MatchOpcode(device::kOpEraseFlashBlock),
           [this](const device::Request& r, std::span<uint8_t>) {
             uint32_t page = bytes::LoadBe32(r.cdb + 2);
             if (page >= pageCount) return CheckCondition();
             uint32_t first = page - page % pagesPerBlock_;
             for (uint32_t i = 0; i < pagesPerBlock_; ++i) pages_.erase(first + i);
             return Good();
           });
  drive.On(MatchOpcode(device::kOpReadPageSpare),
           [this](const device::Request&, std::span<uint8_t> data) {
             std::copy_n(spare.begin(), std::min(spare.size(), data.size()), data.begin());
             return Good();
           });
  drive.Reply(MatchOpcode(device::kOpReadCapacity),
              {0x00, 0x0F, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00});
  // Controller commands without a reply: accepted.
  auto accept = [](const device::Request&, std::span<uint8_t>) { return Good(); };
  drive.On(MatchCdb({device::kOpController, device::kSubInitFlash}), accept);
  drive.On(MatchCdb({device::kOpController, device::kSubPrepareCodeLoad}), accept);
  drive.On(MatchCdb({device::kOpController, device::kSubMemory, 0x01}), accept);
  drive.On(MatchCdb({device::kOpController, device::kSubResetController}), accept);
}

OpsHarness::OpsHarness(bool logging)
    : platform(FolderOptions(folder.path())),
      drive(volumes.Attach('E')),
      link(volumes),
      log(platform),
      p(platform, link, log, view) {
  if (logging) {
    folder.Write("ISP.log", "");
    log.StartLog();
  }
  p.isAdmin = true;
  p.selectedDrive = 0;
}

DriveSlot& OpsHarness::SetUpSlot(ControllerId id, uint32_t pageSize, uint16_t pagesPerBlock,
                                 uint16_t cisPagesPerBlock) {
  p.Slot(0).letter = 'E';
  ResetSlot(p, 0);
  DriveSlot& slot = p.Slot(0);
  slot.controllerId = id;
  slot.needsCodeInit = 0;
  slot.geometryValid = 1;
  slot.pageSize = pageSize;
  slot.pagesPerBlock = pagesPerBlock;
  slot.cisPagesPerBlock = cisPagesPerBlock;
  slot.sectorsPerPage = pageSize / 512;
  slot.blocksPerZone = 16;
  std::memset(slot.flashId, 0, sizeof slot.flashId);
  slot.hasFlashId = 1;
  slot.revision = 2;
  return slot;
}

void OpsHarness::AddCopy(int copy, uint32_t ispOffset, uint32_t auxOffset) {
  CisCopy& cis = p.Slot(0).cis[copy];
  cis.present = 1;
  cis.ispOffset = ispOffset;
  cis.auxAreaOffset = auxOffset;
  p.Slot(0).cisCount = static_cast<uint8_t>(std::max<int>(p.Slot(0).cisCount, copy + 1));
}

std::vector<uint8_t> OpsHarness::WriteImage(const std::string& name, uint32_t size) {
  std::vector<uint8_t> bytes(size);
  for (uint32_t i = 0; i < size; ++i) bytes[i] = ImageByte(i);
  // The folder is also the work folder, where a catalogue file must hold
  // its built-in image or the updates refuse it.
  const int entry = CatalogueEntryOf(platform, "T:\\" + name);
  if (entry >= 0 && kCatalogue[entry].size == size) {
    const auto payload = platform.FindResource(kResourceType, kCatalogue[entry].resourceId);
    if (payload) bytes.assign(payload->begin(), payload->end());
  }
  folder.Write(name, std::string(bytes.begin(), bytes.end()));
  return bytes;
}

std::vector<uint8_t> OpsHarness::HostFile(const std::string& name) const {
  std::ifstream in(folder.path() / name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool OpsHarness::HostFileExists(const std::string& name) const {
  return std::filesystem::exists(folder.path() / name);
}

std::string OpsHarness::LogText() const { return folder.Read("ISP.log"); }

}  // namespace kestrune::testing
