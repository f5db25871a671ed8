// CIS pages: the CodeMark search of family B, the page check and the two
// parsers that take the ISP position and the capacity from a CIS page.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#include "device/bytes.h"
#include "device/commands.h"
#include "discovery/discovery.h"

namespace kestrune {

namespace {

constexpr char kCodeMark[] = "CodeMark";
constexpr size_t kMarkLength = 8;
// The parsers look at the first 1024 bytes of a CIS page; a buffer never
// holds less, whatever the page size.
constexpr size_t kCisBytes = 1024;
constexpr size_t kIspOffsetAt = 176;
constexpr size_t kAuxOffsetAt = 462;
constexpr size_t kFlashTypeAt = 83;
constexpr size_t kVendorAt = 136;
constexpr size_t kProductAt = 144;
constexpr size_t kZoneTablesAt = 512;
constexpr size_t kBlockCountsAt = 192;

uint16_t Word(const uint8_t* at) { return bytes::LoadBe16(at); }

bool SameLettersIgnoringCase(const uint8_t* text, const char* mark, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (std::tolower(text[i]) != std::tolower(static_cast<unsigned char>(mark[i]))) return false;
  }
  return true;
}

// Reads a CIS page for parsing: two pages on small-page flash, so that its
// first 1024 bytes are present. `dataBytes` is what the drive delivered.
bool ReadCisPage(Program& p, int index, uint32_t page, std::vector<uint8_t>& buffer,
                 size_t& dataBytes) {
  const DriveSlot& slot = p.Slot(index);
  if (!IsUsablePageSize(slot.pageSize)) return false;
  const uint32_t pages = slot.sectorsPerPage == 1 ? 2 : 1;
  dataBytes = size_t{slot.pageSize} * pages;
  buffer.assign(std::max(dataBytes, kCisBytes), 0);
  return device::ReadFlashPages(p.link, page, pages, static_cast<uint32_t>(dataBytes), 1,
                                buffer.data(), slot.volumeHandle);
}

uint8_t ByteSum(const uint8_t* from, size_t count) {
  unsigned sum = 0;
  for (size_t i = 0; i < count; ++i) sum += from[i];
  return static_cast<uint8_t>(sum);
}

void LogOffset(Program& p, const char* format, uint32_t value) {
  std::snprintf(p.log.debugLine, sizeof p.log.debugLine, format, value);
  p.log.Debug(p.log.debugLine);
  std::snprintf(p.log.logLine, sizeof p.log.logLine, format, value);
  p.log.AppendLog(p.log.logLine);
}

// The page identification goes on with; its bytes identify the stick
// beside its serial.
void KeepAcceptedPage(Program& p, int index, const uint8_t* bytes) {
  p.acceptedCisPage[index].assign(bytes, bytes + kCisBytes);
}

}  // namespace

bool VerifyCisPage(const uint8_t* page) {
  for (size_t group = 0; group < 4; ++group) {
    uint16_t sum = 0;
    for (size_t word = 0; word < 64; ++word) sum += Word(page + group * 128 + word * 2);
    if (sum != 0) return false;
  }
  return true;
}

bool LocateCodeMark(Program& p, int index) {
  DriveSlot& slot = p.Slot(index);
  std::vector<uint32_t>& unread = p.cisUnreadBlocks[index];
  unread.clear();
  for (CisCopy& copy : slot.cis) {
    copy.present = 0;
    copy.page = 0xFFFF;
  }
  if (!IsUsablePageSize(slot.pageSize)) {
    slot.cisCount = 0;
    return false;
  }
  std::vector<uint8_t> buffer(std::max<size_t>(slot.pageSize, kCisBytes));
  std::vector<uint8_t> again;  // second read of a page whose sums fail

  uint8_t found = 0;
  const uint32_t pagesPerBlock = slot.pagesPerBlock;
  // Below 65,535 × 65,535, so the step cannot wrap; a zero block size gives
  // a zero limit and no search at all.
  const uint32_t limit = pagesPerBlock * uint32_t{slot.blocksPerZone};
  for (uint32_t page = 0; page < limit && found < kCisCopies; page += pagesPerBlock) {
    // The checks below read only the first kCisBytes; clearing a whole large
    // page for each of up to 65,535 blocks made a zone of big pages cost
    // gigabytes of memory traffic before a single marker was compared.
    std::fill(buffer.begin(), buffer.begin() + kCisBytes, 0);
    if (!device::ReadFlashPages(p.link, page, 1, slot.pageSize, 1, buffer.data(),
                                slot.volumeHandle)) {
      unread.push_back(page / pagesPerBlock);
      continue;
    }
    if (std::memcmp(buffer.data(), kCodeMark, kMarkLength) != 0) continue;
    const uint32_t cisPage = ToCisPage(p, index, page);
    if (cisPage > 0x8000) return false;
    CisCopy& copy = slot.cis[found];
    copy.page = page;
    if (!VerifyCisPage(buffer.data())) {
      // A broken copy reads the same twice; a read that came back wrong
      // does not, and then a good copy may have been passed over.
      again.resize(buffer.size());
      std::fill(again.begin(), again.begin() + kCisBytes, 0);
      if (!device::ReadFlashPages(p.link, page, 1, slot.pageSize, 1, again.data(),
                                  slot.volumeHandle) ||
          std::memcmp(again.data(), buffer.data(), kCisBytes) != 0) {
        unread.push_back(page / pagesPerBlock);
      }
      continue;
    }

    copy.present = 1;
    copy.cisPageOffset = cisPage & 0xFFFF;
    copy.ispOffset = Word(buffer.data() + kIspOffsetAt);
    p.cisPageOffsets[found] = static_cast<int32_t>(copy.cisPageOffset);
    LogOffset(p, "CIS PageO ffset = %x \r\n", copy.cisPageOffset);
    LogOffset(p, "ISP_Offset = %x \r\n", copy.ispOffset);
    p.ispOffsets[found] = static_cast<int32_t>(copy.ispOffset);
    copy.auxAreaOffset = Word(buffer.data() + kAuxOffsetAt);
    ++found;
  }
  slot.cisCount = found;
  return found > 0;
}

bool ParseCisPageA(Program& p, int index, uint32_t page) {
  DriveSlot& slot = p.Slot(index);
  std::vector<uint8_t> buffer;
  size_t dataBytes = 0;
  if (!ReadCisPage(p, index, page, buffer, dataBytes)) return false;
  const uint8_t* bytes = buffer.data();

  const uint8_t firstSum = ByteSum(bytes, 64);
  const uint8_t secondSum = ByteSum(bytes + 64, 64);
  if (secondSum != 0) return false;
  if (bytes[0] != 0x1E || bytes[1] != 0x03) return false;

  const bool counted = std::memcmp(bytes + 57, "mark", 4) == 0 &&
                       (slot.controllerId == kCtrl161 || slot.controllerId == kCtrl169) &&
                       bytes[62] == 0xFE && Word(bytes + 128) == firstSum + secondSum;
  // With bit 0x40 the counts follow layouts this program does not read; the
  // capacity of the configuration record then stands.
  KeepAcceptedPage(p, index, bytes);
  if (!counted || (slot.cfgFlags & 0x40) != 0) return true;

  // Every zone of every unit counts, as the units' rows of eight entries
  // lie one after the other; only the bytes the drive delivered are read.
  uint32_t sum = 0;
  for (uint32_t unit = 0; unit < slot.ceCount; ++unit) {
    for (uint32_t zone = 0; zone < slot.zoneCount; ++zone) {
      const size_t at = kBlockCountsAt + 16 * size_t{unit} + 2 * size_t{zone};
      if (at + 2 > dataBytes) break;
      const uint16_t count = Word(bytes + at);
      if (count != 0xFFFF) sum += count;
    }
  }
  slot.sectorCount = uint32_t{slot.pagesPerBlock} * sum;
  return true;
}

bool ParseCisPageB(Program& p, int index, uint32_t page) {
  DriveSlot& slot = p.Slot(index);
  std::vector<uint8_t> buffer;
  size_t dataBytes = 0;
  if (!ReadCisPage(p, index, page, buffer, dataBytes)) return false;
  const uint8_t* bytes = buffer.data();

  if (!SameLettersIgnoringCase(bytes, kCodeMark, kMarkLength)) return false;
  if (!VerifyCisPage(bytes)) return false;
  KeepAcceptedPage(p, index, bytes);

  slot.flashTypeHigh = bytes[kFlashTypeAt] & 0xF0;
  slot.flashTypeLow = bytes[kFlashTypeAt] & 0x0F;
  for (size_t t = 0; t < 4; ++t) {
    for (size_t r = 0; r < 4; ++r) {
      for (size_t e = 0; e < 16; ++e) {
        slot.zoneTables[t][r][e] = Word(bytes + kZoneTablesAt + 128 * t + 32 * r + 2 * e);
      }
    }
  }

  // The flash type keeps its high nibble unshifted, so no type reads as 6
  // here and the zone sum always runs.
  uint32_t zones = slot.zoneCount;
  if (slot.flashId[0] == 0x98 && (slot.flashId[4] & 0x02) != 0) {
    zones = static_cast<uint8_t>(slot.zoneCount - slot.reservedZones);
  }
  const bool alternative = slot.controllerId == kCtrl163 && slot.revision < 2;
  uint32_t sum = 0;
  for (uint32_t unit = 0; unit < slot.ceCount; ++unit) {
    for (uint32_t zone = 0; zone < zones; ++zone) {
      if (alternative) {
        AddZoneEntryAlt(p, index, unit, zone, sum);
      } else {
        AddZoneEntry(p, index, unit, zone, sum);
      }
    }
  }
  if (slot.capacityRead == 1) slot.sectorCount = uint32_t{slot.pagesPerBlock} * sum;

  CopyText(slot.vendorId, bytes + kVendorAt);
  CopyText(slot.productId, bytes + kProductAt);
  return true;
}

// A table row has 16 entries; units and zones beyond the tables add nothing.
void AddZoneEntry(Program& p, int index, uint32_t unit, uint32_t zone, uint32_t& sum) {
  if (unit > 15 || zone > 15) return;
  const uint16_t entry = p.Slot(index).zoneTables[unit / 4][unit % 4][zone];
  if (entry != 0xFFFF) sum += entry;
}

// The older 0x163 layout: zones 0 to 15 from table 0, 16 to 31 from table 1,
// rows by unit modulo 4. The entry tested is the entry added.
void AddZoneEntryAlt(Program& p, int index, uint32_t unit, uint32_t zone, uint32_t& sum) {
  if (zone > 31) return;
  // Counted in words from the start of the first table: at most 64 + 79.
  const uint32_t word = (zone < 16 ? 0 : 64) + 16 * (unit % 4) + zone;
  const uint16_t entry = p.Slot(index).zoneTables[word / 64][(word / 16) % 4][word % 16];
  if (entry != 0xFFFF) sum += entry;
}

}  // namespace kestrune
