// Flash configuration: capacity, mode byte, the two families' configuration
// records and the information page of controller 0x190.
#include <cstring>
#include <vector>

#include "device/bytes.h"
#include "device/commands.h"
#include "discovery/discovery.h"

namespace kestrune {

namespace {

constexpr uint32_t kConfigLengthA = 12;
constexpr uint32_t kConfigLengthB = 34;

// The page size a family-A configuration byte names; 0 when it names none.
uint32_t PageSizeFromFlagsA(uint8_t flags, uint16_t pagesPerBlock) {
  const bool large = (flags & 0x08) != 0;
  const bool small = (flags & 0x04) != 0;
  if (large && (flags & 0x10) != 0) return (flags & 0x20) != 0 ? 4096 : 2048;
  if (large && (flags & 0x80) != 0) return 2048;
  if (large) return (pagesPerBlock == 512 || pagesPerBlock == 64) ? 4096 : 2048;
  if (small && (flags & 0x10) != 0) return (flags & 0x20) != 0 ? 1024 : 512;
  if (small) return pagesPerBlock == 64 ? 1024 : 512;
  return 0;
}

// Zones set aside on the Toshiba parts; -1 when the maker leaves the field alone.
int ReservedZones(const DriveSlot& slot) {
  const uint8_t* id = slot.flashId;
  if (id[0] == 0x07) return -1;
  int reserved = 0;
  if (id[0] == 0x98 && (id[4] & 0x02) != 0) {
    if (slot.controllerId == kCtrl163) {
      reserved = slot.zoneCount % 8;
    } else {
      reserved = slot.zoneCount < 8 ? slot.zoneCount % 4 : slot.zoneCount % 8;
    }
  }
  static constexpr uint8_t kFourReserved[5] = {0x98, 0xD7, 0x95, 0x32, 0x7A};
  static constexpr uint8_t kNoneReserved[5] = {0x98, 0xD5, 0x94, 0x32, 0x76};
  if (std::memcmp(id, kFourReserved, 5) == 0) reserved = 4;
  if (std::memcmp(id, kNoneReserved, 5) == 0) reserved = 0;
  return reserved;
}

}  // namespace

bool QueryCapacity(Program& p, int index) {
  DriveSlot& slot = p.Slot(index);
  uint8_t reply[8] = {};
  const bool ok = device::ReadCapacity(p.link, reply, sizeof reply, slot.volumeHandle);
  slot.sectorCount = 0;
  slot.sectorSize = 0;
  if (ok) {
    slot.sectorSize = bytes::LoadBe16(reply + 6);
    slot.sectorCount = bytes::LoadBe32(reply);
  }
  if (slot.sectorSize == 0) slot.sectorSize = 512;
  return ok;
}

void QueryModeByte(Program& p, int index) {
  DriveSlot& slot = p.Slot(index);
  uint8_t reply = 0;
  if (device::ReadModeByte(p.link, &reply, 1, slot.volumeHandle)) slot.modeByte = reply;
}

bool ProbeFlashConfigA(Program& p, int index) {
  DriveSlot& slot = p.Slot(index);
  uint8_t reply[kConfigLengthA] = {};
  if (!device::ReadFlashConfig(p.link, reply, kConfigLengthA, slot.volumeHandle)) return false;

  slot.flashTypeHigh = reply[0] & 0xF0;
  slot.flashTypeLow = reply[0] & 0x0F;
  slot.cfgFlags = reply[1];
  slot.cisPagesPerBlock = reply[2];
  slot.blocksPerZone = bytes::LoadBe16(reply + 3);
  slot.zoneCount = reply[5];
  slot.ceCount = reply[6];
  slot.pagesPerBlock = bytes::LoadBe16(reply + 7);
  slot.usableBlocksPerZone = bytes::LoadBe16(reply + 9);

  // A record that names no page size leaves the drive without a usable
  // geometry: every page transfer would run on a size nobody reported.
  const uint32_t pageSize = PageSizeFromFlagsA(slot.cfgFlags, slot.pagesPerBlock);
  if (pageSize == 0) return false;
  slot.pageSize = pageSize;
  slot.sectorsPerPage = slot.sectorSize != 0 ? slot.pageSize / slot.sectorSize : 0;
  slot.sectorCount =
      uint32_t{slot.pagesPerBlock} * slot.usableBlocksPerZone * slot.zoneCount * slot.ceCount;
  return true;
}

bool ProbeFlashConfigB(Program& p, int index) {
  DriveSlot& slot = p.Slot(index);
  uint8_t reply[kConfigLengthB] = {};
  if (!device::ReadFlashConfig(p.link, reply, kConfigLengthB, slot.volumeHandle)) return false;
  if (slot.hasFlashId == 0) return false;

  slot.flashTypeHigh = reply[0] & 0xF0;
  slot.flashTypeLow = reply[0] & 0x0F;
  slot.cfgFlags = reply[1];
  slot.ceCount = reply[6];
  slot.zoneCount = reply[5];
  slot.blocksPerZone = bytes::LoadBe16(reply + 3);
  slot.usableBlocksPerZone = bytes::LoadBe16(reply + 9);
  const uint16_t cisPagesPerBlock = bytes::LoadBe16(reply + 12);
  slot.cisPagesPerBlock = cisPagesPerBlock != 0 ? cisPagesPerBlock : reply[2];
  slot.pagesPerBlock = bytes::LoadBe16(reply + 7);
  slot.pageSize = bytes::LoadBe16(reply + 22);

  slot.sectorSize = slot.pagesPerBlock == 0
                        ? 512
                        : uint32_t{slot.cisPagesPerBlock} * slot.pageSize / slot.pagesPerBlock;
  // A zero sector size (a zero page size, say) gives no sectors per page
  // rather than a division by zero; the probe then fails below.
  slot.sectorsPerPage = slot.sectorSize != 0 ? slot.pageSize / slot.sectorSize : 0;

  const int reserved = ReservedZones(slot);
  if (reserved >= 0) slot.reservedZones = static_cast<uint8_t>(reserved);
  const uint32_t r = reserved >= 0 ? static_cast<uint32_t>(reserved) : 0;

  if (slot.pagesPerBlock == 0) return false;
  // Page transfers and the pageBuffer trust this geometry from here on.
  if (slot.sectorSize == 0 || !IsUsablePageSize(slot.pageSize)) return false;
  // More reserved zones than zones leaves no data zone, not a wrapped count.
  const uint32_t dataZones = slot.zoneCount > r ? slot.zoneCount - r : 0;
  slot.sectorCount =
      dataZones * slot.ceCount * slot.usableBlocksPerZone * uint32_t{slot.pagesPerBlock};
  return true;
}

bool ReadExtraInfo(Program& p, int index) {
  DriveSlot& slot = p.Slot(index);
  if (slot.activeCis >= kCisCopies || !IsUsablePageSize(slot.pageSize)) return false;
  const uint32_t cisPage =
      slot.cis[slot.activeCis].cisPageOffset + (slot.sectorsPerPage == 1 ? 4 : 1);
  const uint32_t page = ToDevicePage(p, index, cisPage);
  if (page == kInvalidPage) return false;
  std::vector<uint8_t> buffer(slot.pageSize, 0);
  if (!device::ReadFlashPages(p.link, page, 1, slot.pageSize, 1, buffer.data(),
                              slot.volumeHandle)) {
    return false;
  }
  std::memcpy(p.extraInfo[index], buffer.data(), kExtraInfoSize);
  return true;
}

}  // namespace kestrune
