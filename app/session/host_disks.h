// The disks of the host that may be flash drives, as the host describes
// them, read without opening any.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrune::session {

struct HostDisk {
  std::string node;
  // The letter the host's own letter map gives it; 0 for none.
  char letter = 0;
  std::string vendor;
  std::string model;
  std::string serial;
  uint64_t sizeBytes = 0;
  bool removable = false;
  std::string usbPath;
  // What Windows answered for it, for list --json, so that a bench's
  // answers can be kept and replayed: its instance id, the devices above
  // it (nearest first) and its USB device's location paths. Empty
  // elsewhere, and for a disk Windows knows by its letter alone.
  std::string instanceId;
  std::vector<std::string> parents;
  std::vector<std::string> locationPaths;
};

// Where the host lists its block devices and keeps their nodes.
inline constexpr const char* kHostSysfsRoot = "/sys/block";
inline constexpr const char* kHostDevRoot = "/dev";

// The candidates below `sysfsRoot`, their nodes in `devRoot`. False with
// `problem` set where the host keeps no such list.
bool ListHostDisks(const std::string& sysfsRoot, const std::string& devRoot,
                   std::vector<HostDisk>& disks, std::string& problem);

// Where the candidates were looked for, as a run that found none says it:
// `sysfsRoot` on Linux, "Windows" on Windows.
std::string HostDiskListName(const std::string& sysfsRoot);

}  // namespace kestrune::session
