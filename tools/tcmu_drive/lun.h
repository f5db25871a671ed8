// One logical unit of the kernel's SCSI target, answered from a simulated
// drive: what a USB stick's bridge and controller would answer to every
// command the kernel or a program sends it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "simulator/virtual_drive.h"

namespace kestrune::tcmu {

inline constexpr uint8_t kGoodStatus = 0x00;
inline constexpr uint8_t kCheckCondition = 0x02;
inline constexpr size_t kSenseLength = 18;

// How one command ended, as the target hands it back to the kernel.
struct Reply {
  uint8_t status = kGoodStatus;
  // Fixed-format sense data; meaningful with kCheckCondition.
  std::array<uint8_t, kSenseLength> sense{};
  // Bytes at the end of a good data-in reply that the drive did not send.
  uint32_t residual = 0;
  // How long the answer is held back after the command was carried out.
  uint32_t holdMilliseconds = 0;
  // The command went on to the simulated drive (it was not answered here).
  bool reachedDrive = false;
  uint8_t SenseKey() const { return sense[2] & 0x0F; }
  uint8_t AdditionalSenseCode() const { return sense[12]; }
};

// A chosen command is answered late: the nth one (counted from when the rule
// was set) whose opcode, and CDB byte 1 when given, match.
struct HoldRule {
  uint8_t opcode = 0;
  std::optional<uint8_t> sub;
  uint64_t nth = 1;
  uint32_t milliseconds = 0;
};

// Parses rule lines "hold OPCODE[/SUB] NTH MILLISECONDS" (hex opcode and sub,
// '#' starts a comment line). False with `error` naming the bad line.
bool ParseHoldRules(const std::string& text, std::vector<HoldRule>* rules, std::string* error);

class Lun {
 public:
  explicit Lun(sim::VirtualDrive& drive);

  // Answers one command. `cdb` is as the target hands it on (vendor opcodes
  // always 10 bytes long); `data` holds the data-out bytes on entry and, for
  // a data-in command, receives the reply (its size is the transfer length).
  Reply Answer(const uint8_t* cdb, size_t cdbLength, std::vector<uint8_t>& data);

  // Replaces the hold rules; their counts start again.
  void SetHoldRules(const std::vector<HoldRule>& rules);

  // Whether the command moves data from the host to the drive.
  static bool IsDataOut(const uint8_t* cdb, size_t cdbLength);

 private:
  Reply Answered(const uint8_t* cdb, size_t cdbLength, std::vector<uint8_t>& data);
  Reply ToDrive(const uint8_t* cdb, size_t cdbLength, std::vector<uint8_t>& data);
  Reply ReadBlocks(uint64_t lba, uint32_t count, std::vector<uint8_t>& data) const;
  Reply WriteBlocks(uint64_t lba, uint32_t count, const std::vector<uint8_t>& data);
  bool InRange(uint64_t lba, uint32_t count) const;

  sim::VirtualDrive& drive_;
  // The disk as the kernel's own reads and writes see it: a partition table
  // in block 0, zeros elsewhere, and what was written since.
  uint32_t blockLength_ = 512;
  std::optional<uint64_t> blockCount_;  // from the drive's last READ CAPACITY
  std::map<uint64_t, std::vector<uint8_t>> blocks_;
  struct Hold {
    HoldRule rule;
    uint64_t seen = 0;
  };
  std::vector<Hold> holds_;
};

}  // namespace kestrune::tcmu
