// Where the ISP lives on a drive's flash: the chip enables, zones and
// blocks its geometry gives, the blocks of the CIS pages and of each ISP
// copy and auxiliary area, and what is known of each copy's content. The
// picture and the document are both drawn from this one set of facts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/drive_slot.h"
#include "base/report.h"
#include "base/table_rows.h"
#include "operations/isp_areas.h"

namespace kestrune {

// "unchecked", "matches", "differs", "unreadable", "written", "verified".
constexpr const char* CopyStateName(CopyState state) { return RowOf(state).name; }

enum class MarkKind : uint8_t { kCis, kIsp, kAux };

// How each kind of mark is named and drawn. One row a kind, in its order.
struct MarkKindRow {
  MarkKind kind;
  const char* name;   // "cis": documents and data attributes
  char letter;        // 'C': one block in the picture or on a terminal
  const char* title;  // "CIS page": the map's lines
};

inline constexpr MarkKindRow kMarkKindRows[] = {
    {MarkKind::kCis, "cis", 'C', "CIS page"},
    {MarkKind::kIsp, "isp", 'I', "ISP copy"},
    {MarkKind::kAux, "aux", 'A', "auxiliary area"},
};

// The row of `kind`; a value outside the enumeration reads as kCis.
constexpr const MarkKindRow& RowOf(MarkKind kind) { return RowFor(kMarkKindRows, kind); }
static_assert(RowsInOrder(kMarkKindRows, &MarkKindRow::kind, MarkKind::kAux),
              "one row per mark kind, in the enumeration's order");

// "cis", "isp", "aux".
constexpr const char* MarkKindName(MarkKind kind) { return RowOf(kind).name; }

// The states of the areas of each CIS copy, by copy number.
struct CopyStates {
  CopyState isp[kCisCopies] = {};
  CopyState aux[kCisCopies] = {};
};

// One marked run of blocks. Blocks are counted as the controller numbers
// them: device page / pages per block, chip enable after chip enable.
struct MapMark {
  MarkKind kind = MarkKind::kCis;
  int copy = 0;
  uint32_t firstBlock = 0;
  uint32_t blockCount = 0;
  // Always kUnchecked for a CIS page.
  CopyState state = CopyState::kUnchecked;
  // The run lies within the blocks the geometry describes.
  bool inFlash = false;
};

struct FlashMap {
  // The geometry is known and describes at least one block.
  bool valid = false;
  uint32_t ceCount = 0;
  uint32_t zoneCount = 0;
  uint32_t blocksPerZone = 0;
  uint32_t pagesPerBlock = 0;
  // CIS pages first, then ISP areas, then auxiliary areas, each in copy order.
  std::vector<MapMark> marks;

  uint64_t BlockCount() const { return uint64_t{ceCount} * zoneCount * blocksPerZone; }
  uint32_t BlocksPerCe() const { return zoneCount * blocksPerZone; }
};

// The states the reports learned, the latest report's last word on an area
// counting.
CopyStates StatesOf(const std::vector<Report>& reports);

// The pages an update writes into one area of the slot's drive.
uint32_t AreaPageCount(const DriveSlot& slot, AreaKind kind);

// The map of an identified drive's slot. Copies without a known place are
// left out; a drive's replies may describe anything, so nothing here
// trusts them beyond arithmetic that cannot overflow.
FlashMap BuildFlashMap(const DriveSlot& slot, const CopyStates& states);

// Reads every ISP copy (and for 0x190 every auxiliary area) of the slot's
// drive and compares it with what a fix would write there from the image at
// `path`; changes nothing on the drive. Areas not read stay kUnchecked, and
// so do all when the image cannot be read.
CopyStates CompareIspCopies(Program& p, int slotIndex, const std::string& path);

// The map command: reads and compares the copies as CompareIspCopies does,
// with the image a fix of the selected drive would write, and reports each
// area's state. Writes nothing to the drive.
void OnMapIsp(Program& p);

}  // namespace kestrune
