// Linux SG_IO pass-through: volumes are SCSI disk nodes, found under sysfs
// or given explicitly by letter.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

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
  // Where the SCSI generic nodes are listed, each with a link to its disk.
  std::string genericRoot = "/sys/class/scsi_generic";
  // Where every block device is listed by name, partitions among them.
  std::string classBlockRoot = "/sys/class/block";
  // Letter -> device path. When not empty it replaces the sysfs scan.
  std::map<char, std::string> explicitMap;
};

// A disk that may be a flash drive, as sysfs describes it, read without
// opening its node.
struct SgioCandidate {
  // The letter the sysfs scan gives it (C, D, ... in name order); 0 when
  // the letters ran out.
  char letter = 0;
  std::string node;  // devRoot + "/sdb"
  std::string vendor;
  std::string model;
  std::string serial;  // the USB device's serial number; empty when it has none
  uint64_t sizeBytes = 0;
  bool removable = false;
  // Where it is plugged in, as the kernel names the USB device: bus, then
  // the port at each hub ("2-1.4": bus 2, port 1, port 4). Empty off USB.
  std::string usbPath;
};

// The removable or USB SCSI disks under options.sysfsRoot, in letter order
// (sdb before sdaa). The explicit map plays no part here.
std::vector<SgioCandidate> ListSgioCandidates(const SgioOptions& options);

// The device node behind `path`: a link such as /dev/disk/by-id/... or
// /dev/disk/by-path/... is followed to the node it names; any other path,
// and a link that leads nowhere, is returned as given.
std::string ResolveDeviceNode(const std::string& path);

// The node of the whole disk `path` names: a link is followed
// (ResolveDeviceNode), and a partition's node (sdb1, a by-id "-part1" link)
// gives way to its disk's node (sdb) in the same folder. sysfs tells a
// partition: <classBlockRoot>/<name>/partition exists, and the folder above
// that entry is its disk. A name sysfs does not list is taken as it is.
// Empty, with `problem` naming the path, for a partition whose disk has no
// node beside it.
std::string WholeDiskNode(const std::string& path, std::string& problem,
                          const std::string& classBlockRoot = SgioOptions{}.classBlockRoot);

// The node whose lock stands for the drive at `node`. One drive has two
// nodes, its disk (sdX) and its SCSI generic node (sgN); a generic node is
// locked through its disk's node, found in the same folder, so that runs
// reaching the drive by either name see each other. Any other node, and a
// generic node without a disk, stands for itself.
std::string LockNodeFor(const std::string& node,
                        const std::string& genericRoot = SgioOptions{}.genericRoot);

// The serial of the USB device that carries the drive at `node` (a disk,
// a partition or a SCSI generic node, by its name under classBlockRoot or
// genericRoot); empty when sysfs names none.
std::string UsbSerialOfNode(const std::string& node, const SgioOptions& options);

// An exclusive flock on a device node, never waited for.
LockAttempt LockDeviceNode(const std::string& node);

class SgioVolumes : public VolumeOpener {
 public:
  // Takes the letter map once: a disk plugged in or pulled later must not
  // move a letter onto another drive between two opens of one run.
  explicit SgioVolumes(SgioOptions options = {});
  // Opens the whole disk's node (WholeDiskNode) under the lock of
  // LockNodeFor(that node), which is taken at the first open and kept while
  // this opener lives. A partition whose disk cannot be found is not opened;
  // a drive another run holds is named by that lock node.
  OpenResult Open(char letter) override;
  bool NeedsPrivilege() const override { return true; }
  std::string UsbSerial(char letter) const override;

  // The letters and device paths this opener serves: the explicit map (each
  // path as WholeDiskNode gives it), or
  // removable or USB SCSI disks found under sysfsRoot when it was made,
  // given the letters C, D, ... in name order (sdb before sdaa).
  const std::map<char, std::string>& Volumes() const { return volumes_; }

 private:
  std::map<char, std::string> volumes_;
  std::string genericRoot_;
  std::string classBlockRoot_;
  DriveLocks locks_;
};

// Parses "E=/dev/sdb" into the map; false on a malformed entry.
bool ParseVolumeMapping(const std::string& text, std::map<char, std::string>& map);

}  // namespace kestrune::device
