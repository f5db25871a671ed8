#include "tests/e2e/e2e_exchange.h"

#include <cstdio>
#include <sstream>

#include "device/commands.h"

namespace kestrune::e2e {

std::vector<uint8_t> MemoryPattern() {
  std::vector<uint8_t> pattern(512);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 7 + 3);
  return pattern;
}

std::vector<Step> RunExchange(device::DeviceLink& link, device::VolumeHandle handle) {
  using namespace device;
  std::vector<Step> steps;
  auto add = [&](const char* name, bool ok, const uint8_t* data, size_t size) {
    steps.push_back({name, ok, std::vector<uint8_t>(data, data + size)});
  };
  std::vector<uint8_t> buffer(512, 0x5A);

  add("inquiry", Inquiry(link, buffer.data(), 180, handle), buffer.data(), 180);
  std::fill(buffer.begin(), buffer.end(), 0x5A);
  add("capacity", ReadCapacity(link, buffer.data(), 8, handle), buffer.data(), 8);
  add("prepare", PrepareCodeLoad(link, handle), nullptr, 0);
  std::vector<uint8_t> pattern = MemoryPattern();
  add("writemem", WriteControllerMemory(link, 0xF000, 0x200, 0xFF, pattern.data(), handle), nullptr,
      0);
  std::fill(buffer.begin(), buffer.end(), 0x5A);
  add("readmem", ReadControllerMemory(link, 0xF000, 512, buffer.data(), handle), buffer.data(),
      512);
  // Before working code is loaded the drive answers CHECK CONDITION.
  std::fill(buffer.begin(), buffer.end(), 0x5A);
  add("config", ReadFlashConfig(link, buffer.data(), 34, handle), buffer.data(), 34);
  // The drive file refuses every mode-byte request.
  std::fill(buffer.begin(), buffer.end(), 0x5A);
  add("modebyte", ReadModeByte(link, buffer.data(), 1, handle), buffer.data(), 1);
  add("initflash", InitFlash(link, 4, handle), nullptr, 0);
  return steps;
}

std::string FormatStep(const Step& step) {
  std::string line = step.name + (step.ok ? " ok " : " fail ");
  char hex[3];
  for (uint8_t b : step.data) {
    std::snprintf(hex, sizeof hex, "%02x", b);
    line += hex;
  }
  return line;
}

bool ParseStep(const std::string& line, Step& step) {
  std::istringstream in(line);
  std::string outcome;
  std::string hex;
  if (!(in >> step.name >> outcome)) return false;
  in >> hex;
  if ((outcome != "ok" && outcome != "fail") || hex.size() % 2 != 0) return false;
  step.ok = outcome == "ok";
  step.data.clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    step.data.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return true;
}

}  // namespace kestrune::e2e
