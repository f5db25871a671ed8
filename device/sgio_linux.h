// Linux SG_IO pass-through: volumes are SCSI disk nodes, found under sysfs
// or given explicitly by letter.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "device/drive_locks.h"
#include "device/transport.h"

namespace kestrune::device {

// The one place an SG_IO outcome is classified: the ioctl's return value,
// then host and driver status (a refusal by the adapter or driver, or a
// timeout), then the SCSI status.
Result ClassifySgIo(int ioctlResult, uint8_t scsiStatus, uint16_t hostStatus,
                    uint16_t driverStatus);

// A transport over one open SG_IO-capable descriptor (owned).
std::unique_ptr<Transport> MakeSgioTransport(int fd);

struct SgioOptions {
  // Where the block devices are listed ("/sys/block"), and where their
  // nodes live ("/dev").
  std::string sysfsRoot = "/sys/block";
  std::string devRoot = "/dev";
  // Letter -> device path. When not empty it replaces the sysfs scan.
  std::map<char, std::string> explicitMap;
};

// An exclusive flock on a device node, never waited for.
LockAttempt LockDeviceNode(const std::string& node);

class SgioVolumes : public VolumeOpener {
 public:
  explicit SgioVolumes(SgioOptions options = {});
  // Opens the node under its lock (LockDeviceNode), which is taken at the
  // first open and kept while this opener lives.
  std::unique_ptr<Transport> Open(char letter) override;
  bool NeedsPrivilege() const override { return true; }
  std::string HeldElsewhere(char letter) const override;

  // The letters and device paths this opener serves: the explicit map, or
  // removable or USB SCSI disks found under sysfsRoot, given the letters
  // C, D, ... in name order (sdb before sdaa).
  std::map<char, std::string> Volumes() const;

 private:
  SgioOptions options_;
  DriveLocks locks_;
};

// Parses "E=/dev/sdb" into the map; false on a malformed entry.
bool ParseVolumeMapping(const std::string& text, std::map<char, std::string>& map);

}  // namespace kestrune::device
