// What each fuzz target runs on the program. The seed generator runs the
// same bodies against simulated drives, recording their answers.
#pragma once

#include <cstdint>
#include <vector>

#include "base/program.h"
#include "fuzz/reply_stream.h"
#include "simulator/nand_flash.h"

namespace kestrune::fuzz {

// The slot a geometry or CIS input starts from, ahead of the replies.
struct SlotHeader {
  uint8_t controller = 0;  // PickController
  uint8_t flashId[5] = {};
  uint8_t revision = 0;
  uint8_t capacityRead = 0;
  uint32_t pages[3] = {};  // pages the conversions and page reads are tried on

  static SlotHeader Read(ByteReader& reader);
  void Append(std::vector<uint8_t>& out) const;
};

// IdentifyDrive on drive E.
void RunIdentify(Program& p);
// Capacity and configuration of the header's drive, the page conversions,
// and the page transfers that size their buffers from the geometry.
void RunGeometry(Program& p, const SlotHeader& header);
// The CIS search and parsing of the header's drive.
void RunCis(Program& p, const SlotHeader& header);
// The scan, then Start Fix (and, with `destroy`, Destroy ISP) on what it found.
// `flashChanges` counts the page writes and erases the drives were asked
// for; with `cancelled` the update's question was answered Cancel. Aborts
// when flash was changed although the user declined or no ISP copy had a
// known place, and when a success box follows no change of flash at all.
// `after` adds the dialog's Check ISP (bit 0) and its restart on close (bit 1).
void RunScan(Program& p, bool destroy, bool cancelled, const uint32_t& flashChanges,
             uint8_t after = 0);

// The ready-made drives whose geometry a flash-file input is read against.
inline constexpr const char* kFlashFileDrives[] = {
    "ctrl165_small_pages_broken.json",
    "ctrl163_broken.json",
    "ctrl190_broken.json",
};
// An erased flash of the geometry of kFlashFileDrives[selector % count].
sim::NandFlash BlankFlashOf(uint8_t selector);

}  // namespace kestrune::fuzz
