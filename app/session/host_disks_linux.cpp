#include "app/session/host_disks.h"
#include "device/sysfs_linux.h"

namespace kestrune::session {

bool ListHostDisks(const std::string& sysfsRoot, const std::string& devRoot,
                   std::vector<HostDisk>& disks, std::string& problem) {
  (void)problem;
  device::SysfsRoots where;
  where.sysfsRoot = sysfsRoot;
  where.devRoot = devRoot;
  disks.clear();
  for (const device::SgioCandidate& c : device::ListSgioCandidates(where)) {
    disks.push_back(
        {c.node, c.letter, c.vendor, c.model, c.serial, c.sizeBytes, c.removable, c.usbPath});
  }
  return true;
}

std::string HostDiskListName(const std::string& sysfsRoot) { return sysfsRoot; }

}  // namespace kestrune::session
