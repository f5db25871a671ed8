// The simulated drive: a virtual USB flash drive with a controller of the
// family and NAND flash, set up from a virtual-drive file (JSON).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/drive_locks.h"
#include "device/transport.h"
#include "simulator/device_clock.h"
#include "simulator/drive_description.h"
#include "simulator/fault_plan.h"

namespace kestrune::sim {

// What the drive did, for benchmarks and tests.
struct DriveCounters {
  uint64_t pagesRead = 0;
  uint64_t pagesProgrammed = 0;
  uint64_t blocksErased = 0;
  uint64_t checkConditions = 0;
  uint64_t refused = 0;
};

class VirtualDrive {
 public:
  virtual ~VirtualDrive() = default;

  // Loads a virtual-drive file. The flash contents persist in a file beside
  // it (see the README), so a second run sees what the first one wrote.
  // Null with `error` set when the file is unusable: not a regular file, over
  // kMaxDriveFileBytes, not a valid description, or its flash file is.
  static std::unique_ptr<VirtualDrive> FromFile(const std::string& path, std::string* error);
  // A drive described by JSON text; its flash lives in memory only.
  static std::unique_ptr<VirtualDrive> FromJsonText(const std::string& json, std::string* error);
  // The built-in default drive (broken ISP, so that a fix has work to do).
  static std::unique_ptr<VirtualDrive> Default();
  // A drive from a description. With a non-empty `flashPath` the flash is
  // loaded from that file when it exists, and each erase and page program
  // reaches it as the command completes. The drive answers at once until it
  // is given a clock (SetClock).
  static std::unique_ptr<VirtualDrive> FromDescription(const DriveDescription& description,
                                                       std::string* error,
                                                       const std::string& flashPath = {});
  // Like FromFile, with the flash kept in `flashPath` (empty: memory only),
  // so tests can use a ready-made file without writing beside it.
  static std::unique_ptr<VirtualDrive> FromFile(const std::string& path, std::string* error,
                                                const std::string& flashPath);

  // Answers one command. Keeps the buffered rule of the link: a data-in
  // request below 512 bytes that does not succeed leaves the data untouched.
  // A reply shorter than the transfer reports the rest as its residual, a
  // command turned down all of it; a CHECK CONDITION carries fixed-format
  // sense (ILLEGAL REQUEST).
  virtual device::Result Execute(const device::Request& request) = 0;

  // Simulated device time charged so far, in nanoseconds.
  virtual uint64_t DeviceTimeNanoseconds() const = 0;
  // Number of commands answered so far.
  virtual uint64_t CommandCount() const = 0;

  // Compacts the flash file to a single snapshot (no-op for in-memory
  // drives). False when the flash could not be kept in its file.
  virtual bool Save() = 0;

  // For a drive another run may use at the same time: until Claim, the
  // flash file is neither written (Save and every command leave it alone)
  // nor trusted. Claim, called once the drive's lock is held, loads the flash
  // file again, since a run that held the lock before may have changed it
  // after this drive was loaded; false with `error` when the file is now
  // unusable. A drive is claimed from the start.
  virtual void Unclaim() = 0;
  virtual bool Claim(std::string* error) = 0;

  // With a clock, each command lasts at least its device time on it: the
  // drive sleeps what the host did not already spend. Null: answers at once.
  virtual void SetClock(std::shared_ptr<DeviceClock> clock) = 0;
  virtual bool RealTime() const = 0;

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

  // --- additions for tests, tools and benchmarks ---
  virtual const DriveDescription& Description() const = 0;
  // The identification text INQUIRY answers now.
  virtual std::string IdentificationText() const = 0;
  // The verdict the controller would reach from its flash now (the text
  // changes only at power-on and after a re-enumeration).
  virtual bool FlashIspHealthy() const = 0;
  // Device pages of the ISP areas the controller finds in its flash now.
  virtual std::vector<uint32_t> IspAreaPages() const = 0;
  // Unplug and plug in again: loaded code is gone, the verdict recomputed.
  virtual void PowerCycle() = 0;
  // Working code is loaded and the flash initialised (always true for
  // controllers that need no code).
  virtual bool FlashReady() const = 0;
  virtual std::vector<uint8_t> ReadMemory(uint32_t address, uint32_t length) const = 0;
  virtual void AddFault(const FaultRule& rule) = 0;
  virtual void ClearFaults() = 0;
  virtual DriveCounters Counters() const = 0;
  // Where the flash persists; empty for in-memory drives.
  virtual std::string FlashPath() const = 0;
};

// The largest virtual-drive file read; a description takes a few KiB.
inline constexpr uint64_t kMaxDriveFileBytes = 16u << 20;

// The flash file that belongs to a virtual-drive file.
inline std::string FlashPathFor(const std::string& drivePath) { return drivePath + ".flash"; }

// A transport over one virtual drive, not owning it.
std::unique_ptr<device::Transport> MakeTransport(VirtualDrive& drive);

// Volumes served by virtual drives, by letter.
class SimulatedVolumes : public device::VolumeOpener {
 public:
  SimulatedVolumes() = default;
  SimulatedVolumes(const SimulatedVolumes&) = delete;
  SimulatedVolumes& operator=(const SimulatedVolumes&) = delete;
  // Gives up the drives' files before their locks (see AttachLocked).
  ~SimulatedVolumes() override;

  // `drive` must outlive this object.
  void Attach(char letter, VirtualDrive& drive) { drives_[letter] = {&drive, {}, false}; }
  // A drive whose files other runs may use too: it opens only under an
  // exclusive lock on the file `lockPath` (made when missing with
  // `createLockFile`), taken at its first open and kept while this object
  // lives. Until then the drive keeps off its flash file
  // (VirtualDrive::Unclaim); at that first open it loads the file again.
  void AttachLocked(char letter, VirtualDrive& drive, std::string lockPath,
                    bool createLockFile = false);
  void Detach(char letter) { drives_.erase(letter); }
  // A drive another run holds is named by its lock file.
  device::OpenResult Open(char letter) override;
  bool NeedsPrivilege() const override { return false; }
  // The serial of the drive's description.
  std::string UsbSerial(char letter) const override;
  // The recording the drive's description says it was made from.
  std::pair<std::string, std::string> ExportedFrom(char letter) const override;

 private:
  struct Entry {
    VirtualDrive* drive = nullptr;
    std::string lockPath;  // empty: no lock
    bool createLockFile = false;
  };
  std::map<char, Entry> drives_;
  device::DriveLocks locks_;
};

}  // namespace kestrune::sim
