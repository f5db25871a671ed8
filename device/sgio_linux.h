// Linux SG_IO pass-through: volumes are SCSI disk nodes, found under sysfs
// (device/sysfs_linux.h) or given explicitly by letter.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "device/drive_locks.h"
#include "device/sysfs_linux.h"
#include "device/transport.h"

namespace kestrune::device {

// The one place an SG_IO outcome is classified: the ioctl's return value,
// then host and driver status (a refusal by the adapter or driver, or a
// timeout), then the SCSI status.
Result ClassifySgIo(int ioctlResult, uint8_t scsiStatus, uint16_t hostStatus,
                    uint16_t driverStatus);

// A transport over one open SG_IO-capable descriptor (owned).
std::unique_ptr<Transport> MakeSgioTransport(int fd);

// Where the opener finds its drives: sysfs, unless given a map.
struct SgioOptions : SysfsRoots {
  // Letter -> device path. When not empty it replaces the sysfs scan.
  std::map<char, std::string> explicitMap;
};

// How long a shared lock on a disk is waited out: udevd takes one while it
// probes a disk just plugged in or closed after a write, for a moment.
inline constexpr std::chrono::milliseconds kSharedLockWait{5000};

class SgioVolumes : public VolumeOpener {
 public:
  // Takes the letter map once: a disk plugged in or pulled later must not
  // move a letter onto another drive between two opens of one run.
  explicit SgioVolumes(SgioOptions options = {});
  // Opens the whole disk's node (WholeDiskNode) under the lock of
  // LockNodeFor(that node), which is taken at the first open and kept while
  // this opener lives: an exclusive flock, with a shared holder waited out
  // for up to kSharedLockWait (platform::LockNode). Commands to a disk go
  // through its SCSI generic node when it has one (GenericNodeOf): the
  // block layer raises an SG_IO timeout below 7 s on a disk node to 7 s,
  // the generic node keeps each command's own. A partition whose disk
  // cannot be found is not opened; a drive another run holds is named by
  // that lock node.
  OpenResult Open(char letter) override;
  bool NeedsPrivilege() const override { return true; }
  std::string UsbSerial(char letter) const override;
  std::string UsbPort(char letter) const override;

  // The letters and device paths this opener serves: the explicit map (each
  // path as WholeDiskNode gives it), or
  // removable or USB SCSI disks found under sysfsRoot when it was made,
  // given the letters C, D, ... in name order (sdb before sdaa).
  const std::map<char, std::string>& Volumes() const { return volumes_; }

 private:
  // What `ask` tells of the node of `letter`, under these sysfs roots;
  // empty for a letter without one.
  std::string AskSysfs(char letter,
                       std::string (*ask)(const std::string&, const SysfsRoots&)) const;

  std::map<char, std::string> volumes_;
  std::string genericRoot_;
  std::string classBlockRoot_;
  DriveLocks locks_;
};

// Parses "E=/dev/sdb" into the map; false on a malformed entry.
bool ParseVolumeMapping(const std::string& text, std::map<char, std::string>& map);

}  // namespace kestrune::device
