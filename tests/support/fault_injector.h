// A volume opener that wraps another and makes one chosen command go wrong:
// the k-th command carried (counting from 0 over every volume it opened).
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "device/transport.h"

namespace kestrune::testing {

enum class Fault : uint8_t {
  kNone,
  kCheckCondition,  // the command completes with CHECK CONDITION, nothing done
  kRefused,         // the request is not accepted, nothing done
  kCorruptRead,     // a data-in command succeeds but one byte of its data is wrong
  kLostWrite,       // a data-out command reports success but nothing reaches the drive
  kVanish,          // from this command on every command is refused and open fails
  kUntouchedRead,   // a data-in command succeeds but no data arrives (all of it residual)
};

const char* FaultName(Fault fault);

// What the injector saw of one command.
struct SeenCommand {
  uint8_t opcode;
  uint8_t sub;  // CDB byte 1
  device::Carrier carrier;
  uint32_t transferLength;
  bool faulted;
  // Page address (CDB bytes 2..5) and page count (bytes 7..8) of a 10-byte
  // CDB; meaningful for the flash page and erase commands only.
  uint32_t page = 0;
  uint16_t pageCount = 0;
  // The drive received the command (false for a refused or faulted one and
  // for a lost write).
  bool delivered = false;
};

// Thrown by the injector when a run carries more commands than its budget:
// a loop that never ends is caught instead of hanging the test.
class CommandBudgetExceeded : public std::runtime_error {
 public:
  CommandBudgetExceeded() : std::runtime_error("command budget exceeded") {}
};

class FaultInjector : public device::VolumeOpener {
 public:
  FaultInjector(device::VolumeOpener& inner, Fault fault, uint64_t atCommand)
      : inner_(inner), fault_(fault), at_(atCommand) {}

  device::OpenResult Open(char letter) override;
  bool NeedsPrivilege() const override { return inner_.NeedsPrivilege(); }
  bool ServesRealDevice(char letter) const override {
    return realDevice || inner_.ServesRealDevice(letter);
  }
  std::string UsbSerial(char letter) const override { return inner_.UsbSerial(letter); }
  std::string UsbPort(char letter) const override { return inner_.UsbPort(letter); }
  std::string ReplayOf(char letter) const override { return inner_.ReplayOf(letter); }
  // Makes every drive behind the injector count as a real device.
  bool realDevice = false;

  // Called by the transports it hands out.
  device::Result Carry(device::Transport& inner, const device::Request& request);

  uint64_t CommandCount() const { return count_; }
  // Starts counting afresh (commands carried so far, say by identification,
  // no longer count) and aims `fault` at command `atCommand` from here.
  void Arm(Fault fault, uint64_t atCommand);
  // More than `budget` commands since the last Arm (or since the start)
  // throw CommandBudgetExceeded. 0 means no limit.
  void SetCommandBudget(uint64_t budget) { budget_ = budget; }
  // True once the fault has been applied (a fault aimed at a command of the
  // wrong kind, say a lost write at a data-in, is applied as nothing).
  bool Fired() const { return fired_; }
  const std::vector<SeenCommand>& Seen() const { return seen_; }

 private:
  device::VolumeOpener& inner_;
  Fault fault_;
  uint64_t at_;
  uint64_t count_ = 0;
  bool fired_ = false;
  bool vanished_ = false;
  uint64_t budget_ = 0;
  std::vector<SeenCommand> seen_;
};

}  // namespace kestrune::testing
