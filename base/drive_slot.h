// The per-drive record of the drive table, laid out field by field.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/controllers.h"
#include "device/link.h"

namespace kestrune {

inline constexpr int kSlotCount = 25;
inline constexpr int kCisCopies = 3;
inline constexpr uint32_t kInvalidPage = 0xFFFFFFFF;
inline constexpr uint32_t kNoSectorCount = 0xCDCDCDCD;

#pragma pack(push, 1)

// One CIS page found in flash.
struct CisCopy {
  uint8_t present;
  uint32_t page;           // ReadFlashPages page address; 0xFFFF when none
  uint32_t cisPageOffset;  // page in CIS numbering, kept to 16 bits
  uint32_t ispOffset;      // CIS numbering
  uint32_t auxAreaOffset;  // CIS numbering
  uint8_t unused[4];
};

struct DriveSlot {
  char letter;
  uint8_t modeByte;
  uint8_t flashId[5];
  uint8_t hasFlashId;
  device::VolumeHandle volumeHandle;
  ControllerId controllerId;
  uint8_t needsCodeInit;
  uint8_t revision;
  char vendorId[9];
  char productId[17];
  char inquiryText[17];
  uint8_t geometryValid;
  uint8_t ceCount;
  uint8_t zoneCount;
  uint8_t reservedZones;
  uint16_t blocksPerZone;
  uint16_t usableBlocksPerZone;
  uint16_t cisPagesPerBlock;
  uint16_t pagesPerBlock;
  uint32_t pageSize;
  uint32_t sectorSize;
  uint32_t sectorCount;
  uint8_t cfgFlags;
  uint8_t flashTypeHigh;
  uint8_t flashTypeLow;
  uint32_t sectorsPerPage;
  uint8_t ispFound;
  uint8_t capacityRead;
  uint8_t extraInfoRead;
  CisCopy cis[kCisCopies];
  uint8_t activeCis;
  uint8_t cisCount;
  uint16_t zoneTables[4][4][16];
};

#pragma pack(pop)

static_assert(sizeof(device::VolumeHandle) == 4);
static_assert(sizeof(CisCopy) == 21);
static_assert(offsetof(CisCopy, page) == 1);
static_assert(offsetof(CisCopy, auxAreaOffset) == 13);
static_assert(offsetof(DriveSlot, flashId) == 2);
static_assert(offsetof(DriveSlot, volumeHandle) == 8);
static_assert(offsetof(DriveSlot, controllerId) == 12);
static_assert(offsetof(DriveSlot, vendorId) == 16);
static_assert(offsetof(DriveSlot, productId) == 25);
static_assert(offsetof(DriveSlot, inquiryText) == 42);
static_assert(offsetof(DriveSlot, geometryValid) == 59);
static_assert(offsetof(DriveSlot, blocksPerZone) == 63);
static_assert(offsetof(DriveSlot, pageSize) == 71);
static_assert(offsetof(DriveSlot, sectorCount) == 79);
static_assert(offsetof(DriveSlot, sectorsPerPage) == 86);
static_assert(offsetof(DriveSlot, cis) == 93);
static_assert(offsetof(DriveSlot, activeCis) == 156);
static_assert(offsetof(DriveSlot, zoneTables) == 158);
static_assert(sizeof(DriveSlot) == 670);

inline constexpr size_t kExtraInfoSize = 64;

}  // namespace kestrune
