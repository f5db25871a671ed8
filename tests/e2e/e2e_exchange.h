// The exchange both end-to-end paths run against the drive of
// e2e_drive.json: one line per command, "<name> <ok|fail> <hex bytes>".
// The native SG_IO test runs it in process; the Windows probe runs it
// under Wine and prints it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/link.h"

namespace kestrune::e2e {

struct Step {
  std::string name;
  bool ok;
  std::vector<uint8_t> data;  // the caller's buffer after the command
};

// The bytes the exchange writes into controller memory at 0xF000.
std::vector<uint8_t> MemoryPattern();

// Runs the exchange on an open volume.
std::vector<Step> RunExchange(device::DeviceLink& link, device::VolumeHandle handle);

std::string FormatStep(const Step& step);
// Parses FormatStep's lines; false on a malformed line.
bool ParseStep(const std::string& line, Step& step);

}  // namespace kestrune::e2e
