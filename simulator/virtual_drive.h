// The simulated drive: a virtual USB flash drive with a controller of the
// family and NAND flash, set up from a virtual-drive file (JSON).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/transport.h"

namespace kestrune::sim {

class VirtualDrive {
 public:
  virtual ~VirtualDrive() = default;

  // Loads a virtual-drive file. The flash contents persist in a file beside
  // it (see the README), so a second run sees what the first one wrote.
  // Null with `error` set when the file is unusable.
  static std::unique_ptr<VirtualDrive> FromFile(const std::string& path, std::string* error);
  // A drive described by JSON text; its flash lives in memory only.
  static std::unique_ptr<VirtualDrive> FromJsonText(const std::string& json, std::string* error);
  // The built-in default drive (broken ISP, so that a fix has work to do).
  static std::unique_ptr<VirtualDrive> Default();

  // Answers one command. Keeps the buffered rule of the link: a data-in
  // request below 512 bytes that does not succeed leaves the data untouched.
  virtual device::Result Execute(const device::Request& request) = 0;

  // Simulated device time charged so far, in nanoseconds.
  virtual uint64_t DeviceTimeNanoseconds() const = 0;
  // Number of commands answered so far.
  virtual uint64_t CommandCount() const = 0;

  // Writes the flash contents to their file (no-op for in-memory drives).
  virtual bool Save() = 0;

  // --- inspection, for tests and tools ---
  virtual uint32_t PageSize() const = 0;
  virtual uint32_t PageCount() const = 0;
  // Data and spare bytes of one page (pageSize + 16 bytes).
  virtual std::vector<uint8_t> ReadRawPage(uint32_t page) const = 0;
  virtual void WriteRawPage(uint32_t page, const std::vector<uint8_t>& bytes) = 0;
  // Whether the identification text now reports a healthy ISP.
  virtual bool IspHealthy() const = 0;
  // The drive is unplugged: every command is refused and open fails.
  virtual void SetVanished(bool vanished) = 0;
  virtual bool Vanished() const = 0;
};

// A transport over one virtual drive, not owning it.
std::unique_ptr<device::Transport> MakeTransport(VirtualDrive& drive);

// Volumes served by virtual drives, by letter.
class SimulatedVolumes : public device::VolumeOpener {
 public:
  void Attach(char letter, VirtualDrive& drive) { drives_[letter] = &drive; }
  std::unique_ptr<device::Transport> Open(char letter) override;
  bool NeedsPrivilege() const override { return false; }

 private:
  std::map<char, VirtualDrive*> drives_;
};

}  // namespace kestrune::sim
