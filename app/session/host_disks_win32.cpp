#include "app/session/host_disks.h"
#include "platform/windows_disks.h"

namespace kestrune::session {

bool ListHostDisks(const std::string& sysfsRoot, const std::string& devRoot,
                   std::vector<HostDisk>& disks, std::string& problem) {
  (void)sysfsRoot;
  (void)devRoot;
  disks.clear();
  platform::WindowsDiskAnswers answers;
  if (!platform::AskWindowsDisks(answers, problem)) return false;
  for (platform::WindowsListedDisk& d : platform::ListWindowsDisks(answers)) {
    disks.push_back({d.node, d.letter, d.vendor, d.model, d.serial, d.sizeBytes, d.removable,
                     d.port, d.instanceId, d.parents, d.locationPaths});
  }
  return true;
}

std::string HostDiskListName(const std::string& sysfsRoot) {
  (void)sysfsRoot;
  return "Windows";
}

}  // namespace kestrune::session
