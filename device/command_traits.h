// What each command of the set is, in one table: the recording, the tools
// and the fuzz drives ask here which way a command's data goes and whether
// it may change the drive, rather than each keeping its own list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "device/commands.h"

namespace kestrune::device {

// The way a command's data goes, seen from the host.
enum class DataDirection : uint8_t { kNone, kIn, kOut };

// What a command may leave changed behind it.
enum class Changes : uint8_t {
  kNothing,     // it only reads
  kController,  // the controller's memory or state, not the flash
  kFlash,       // flash pages or blocks
};

// Any value of a CDB byte.
inline constexpr int kAnyByte = -1;

struct CommandTraits {
  uint8_t opcode;
  // CDB byte 1 where the controller's commands share an opcode, and byte 2
  // where it tells a memory read from a write; kAnyByte elsewhere.
  int sub;
  int mode;
  std::string_view name;
  uint8_t cdbLength;  // the length the controller reads the command at
  DataDirection direction;
  Changes changes;
};

inline constexpr CommandTraits kCommandTraits[] = {
    {kOpInquiry, kAnyByte, kAnyByte, "INQUIRY", 6, DataDirection::kIn, Changes::kNothing},
    {kOpReadCapacity, kAnyByte, kAnyByte, "READ CAPACITY", 10, DataDirection::kIn,
     Changes::kNothing},
    {kOpReadFlashConfig, kAnyByte, kAnyByte, "flash configuration read", 12, DataDirection::kIn,
     Changes::kNothing},
    {kOpReadModeByte, kAnyByte, kAnyByte, "mode byte read", 6, DataDirection::kIn,
     Changes::kNothing},
    {kOpReadFlashPages, kAnyByte, kAnyByte, "flash page read", 10, DataDirection::kIn,
     Changes::kNothing},
    {kOpReadPageSpare, kAnyByte, kAnyByte, "page spare read", 10, DataDirection::kIn,
     Changes::kNothing},
    {kOpWriteFlashPages, kAnyByte, kAnyByte, "flash page write", 10, DataDirection::kOut,
     Changes::kFlash},
    // The erase answers one status byte.
    {kOpEraseFlashBlock, kAnyByte, kAnyByte, "block erase", 10, DataDirection::kIn,
     Changes::kFlash},
    {kOpController, kSubMemory, 0x00, "controller memory read", 10, DataDirection::kIn,
     Changes::kNothing},
    {kOpController, kSubMemory, 0x01, "controller memory write", 10, DataDirection::kOut,
     Changes::kController},
    {kOpController, kSubResetController, kAnyByte, "controller reset", 10, DataDirection::kNone,
     Changes::kController},
    {kOpController, kSubReadFlashId, kAnyByte, "flash id read", 10, DataDirection::kIn,
     Changes::kNothing},
    {kOpController, kSubInitFlash, kAnyByte, "flash init", 10, DataDirection::kNone,
     Changes::kController},
    {kOpController, kSubPrepareCodeLoad, kAnyByte, "code load preparation", 10,
     DataDirection::kNone, Changes::kController},
};

// The row of the command `cdb` is; null for a command the set does not
// hold. A command that shares its opcode is told by CDB bytes 1 and 2, so
// a CDB too short to hold them is none of them.
constexpr const CommandTraits* FindCommand(const uint8_t* cdb, size_t cdbLength) {
  if (cdb == nullptr || cdbLength == 0) return nullptr;
  for (const CommandTraits& row : kCommandTraits) {
    if (row.opcode != cdb[0]) continue;
    if (row.sub == kAnyByte && row.mode == kAnyByte) return &row;
    if (cdbLength < 3) return nullptr;
    if ((row.sub == kAnyByte || row.sub == cdb[1]) &&
        (row.mode == kAnyByte || row.mode == cdb[2])) {
      return &row;
    }
  }
  return nullptr;
}

// True for a command known to change nothing; a command the set does not
// hold may change anything.
constexpr bool OnlyReads(const uint8_t* cdb, size_t cdbLength) {
  const CommandTraits* traits = FindCommand(cdb, cdbLength);
  return traits != nullptr && traits->changes == Changes::kNothing;
}

// True for a page write or a block erase.
constexpr bool ChangesFlash(const uint8_t* cdb, size_t cdbLength) {
  const CommandTraits* traits = FindCommand(cdb, cdbLength);
  return traits != nullptr && traits->changes == Changes::kFlash;
}

// True for a command that sends data to the drive.
constexpr bool SendsData(const uint8_t* cdb, size_t cdbLength) {
  const CommandTraits* traits = FindCommand(cdb, cdbLength);
  return traits != nullptr && traits->direction == DataDirection::kOut;
}

}  // namespace kestrune::device
