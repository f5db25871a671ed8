#include "app/session/host_disks.h"

namespace kestrune::session {

bool ListHostDisks(const std::string& sysfsRoot, const std::string& devRoot,
                   std::vector<HostDisk>& disks, std::string& problem) {
  (void)sysfsRoot;
  (void)devRoot;
  disks.clear();
  problem = "list reads the Linux sysfs; on Windows a drive is reached by its own letter";
  return false;
}

}  // namespace kestrune::session
