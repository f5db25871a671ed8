// What the drive or the system answered one command, kept by the link for
// the last command it sent, and told in one line when a failure needs it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "device/transport.h"

namespace kestrune::device {

// The sense key, ASC and ASCQ of fixed (70h, 71h) or descriptor (72h, 73h)
// sense data; none for sense too short to hold them or of another format.
struct SenseFacts {
  uint8_t key = 0;
  uint8_t asc = 0;
  uint8_t ascq = 0;
};
std::optional<SenseFacts> ParseSense(const Result& result);

// "MEDIUM ERROR" for sense key 3; "RESERVED" for keys the standard leaves open.
const char* SenseKeyName(uint8_t key);
// A short meaning of an ASC/ASCQ pair ("write error"); null for one this
// table does not know.
const char* AdditionalSenseMeaning(uint8_t asc, uint8_t ascq);
// "CHECK CONDITION" for 02h; null for a status this table does not know.
const char* StatusName(uint8_t status);

// "good", "scsi status", "transport error", "os error".
const char* OutcomeName(Outcome outcome);

struct CommandAnswer {
  std::array<uint8_t, kMaxCdbLength> cdb{};
  uint8_t cdbLength = 0;
  Carrier carrier = Carrier::kIn;
  uint32_t transferLength = 0;
  // False when the command never left: its volume was not open.
  bool sent = true;
  Result result;
  // The command's number among those the link was asked to send, from 1.
  uint64_t number = 0;
};

// "flash page write (FA)", "controller reset (FD 06)", "command 1B" for one
// the set does not hold.
std::string CommandName(const CommandAnswer& answer);

// What the drive or the system answered, in words:
// "answered CHECK CONDITION, sense key 0x3 MEDIUM ERROR, ASC/ASCQ 0c/00 write
// error, residual 0 of 65536 bytes", "failed in transport (host status
// 0x07, driver status 0x00)", "was refused by the system: errno 5 (...)".
std::string DescribeAnswer(const CommandAnswer& answer);

}  // namespace kestrune::device
