#include <memory>

#include "app/session/host_devices.h"
#include "device/passthrough_win32.h"

namespace kestrune::session {

std::unique_ptr<device::VolumeOpener> MakeHostDevices(const std::map<char, std::string>& nodes,
                                                      std::string& problem) {
  // Windows reaches a drive through the volume of its own letter; there is
  // no device node to put behind another one.
  if (!nodes.empty()) {
    problem = "device nodes are a Linux matter; on Windows a drive is reached by its own letter";
    return nullptr;
  }
  return std::make_unique<device::PassThroughVolumes>();
}

std::string ResolveDriveNode(const std::string& path, std::string& problem) {
  (void)problem;
  return path;
}

std::string DriveLockNode(const std::string& path) { return path; }

std::map<char, std::string> HostDriveNodes() { return {}; }

device::DriveFacts HostDriveFacts(char letter, const std::string& node) {
  device::DriveFacts facts;
  facts.node = node.empty() ? std::string("\\\\.\\") + letter + ":" : node;
  return facts;
}

std::string DriveFoldersRefusal() {
  // Every drive would write its backups and log to the one real C:\.
  return "--all needs a C: folder for each drive, which only the Linux console gives";
}

std::unique_ptr<platform::Platform> MakeDrivePlatform(const platform::PosixOptions& options,
                                                      std::function<void(const char*)> debug,
                                                      std::string& problem) {
  (void)options;
  (void)debug;
  problem = DriveFoldersRefusal();
  return nullptr;
}

}  // namespace kestrune::session
