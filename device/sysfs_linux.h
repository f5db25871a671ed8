// What Linux tells of its disks without opening them: the removable or USB
// SCSI disks sysfs lists, the node a by-id link or a partition stands for,
// the disk behind a SCSI generic node, and the serial of the USB stick that
// carries a disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrune::device {

// Where sysfs and the device nodes are; tests point them at a folder of
// their own.
struct SysfsRoots {
  // Where the block devices are listed ("/sys/block"), and where their
  // nodes live ("/dev").
  std::string sysfsRoot = "/sys/block";
  std::string devRoot = "/dev";
  // Where the SCSI generic nodes are listed, each with a link to its disk.
  std::string genericRoot = "/sys/class/scsi_generic";
  // Where every block device is listed by name, partitions among them.
  std::string classBlockRoot = "/sys/class/block";
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

// The removable or USB SCSI disks under roots.sysfsRoot, in letter order
// (sdb before sdaa).
std::vector<SgioCandidate> ListSgioCandidates(const SysfsRoots& roots);

// The device node behind `path`: a link such as /dev/disk/by-id/... or
// /dev/disk/by-path/... is followed to the node it names; any other path,
// and a link that leads nowhere, is returned as given.
std::string ResolveDeviceNode(const std::string& path);

// The node of the whole disk `path` names: a link is followed
// (ResolveDeviceNode), and a partition's node (sdb1, a by-id "-part1" link)
// gives way to its disk's node (sdb) in the same folder. A SCSI disk's
// partition is told by its device number (the disk's minor, plus 1 to 15),
// which holds while the kernel reads the partition table again; otherwise
// sysfs tells a partition: <classBlockRoot>/<name>/partition exists, and the folder above
// that entry is its disk. A name sysfs does not list is taken as it is.
// Empty, with `problem` naming the path, for a partition whose disk has no
// node beside it.
std::string WholeDiskNode(const std::string& path, std::string& problem,
                          const std::string& classBlockRoot = SysfsRoots{}.classBlockRoot);

// The node whose lock stands for the drive at `node`. One drive has two
// nodes, its disk (sdX) and its SCSI generic node (sgN); a generic node is
// locked through its disk's node, found in the same folder, so that runs
// reaching the drive by either name see each other. Any other node, and a
// generic node without a disk, stands for itself.
std::string LockNodeFor(const std::string& node,
                        const std::string& genericRoot = SysfsRoots{}.genericRoot);

// The SCSI generic node of the disk at `node` (sdX): <classBlockRoot>/sdX/
// device/scsi_generic names it, and it lies in the same folder as the disk's
// node. Empty when sysfs names none or no such node is there.
std::string GenericNodeOf(const std::string& node,
                          const std::string& classBlockRoot = SysfsRoots{}.classBlockRoot);

// The serial of the USB device that carries the drive at `node` (a disk,
// a partition or a SCSI generic node, by its name under classBlockRoot or
// genericRoot); empty when sysfs names none.
std::string UsbSerialOfNode(const std::string& node, const SysfsRoots& roots);
// The USB port ("2-1.4") of that device, the same way; empty without one.
std::string UsbPortOfNode(const std::string& node, const SysfsRoots& roots);

// Whether the open file `fd` is a partition of a SCSI disk, told by its
// device number.
bool IsScsiPartition(int fd);

}  // namespace kestrune::device
