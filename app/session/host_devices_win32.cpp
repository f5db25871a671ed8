#include <memory>

#include "app/session/host_devices.h"
#include "app/session/host_disks.h"
#include "device/passthrough_win32.h"

namespace kestrune::session {

std::unique_ptr<device::VolumeOpener> MakeHostDevices(const std::map<char, std::string>& nodes,
                                                      std::string& problem) {
  // Windows reaches a drive through the volume of its own letter; there is
  // no device node to put behind another one. A node Windows itself listed
  // for the letter (a watch's stick) is that letter's drive.
  for (const auto& [letter, node] : nodes) {
    (void)letter;
    if (node.rfind("\\\\.\\", 0) != 0) {
      problem = "device nodes are a Linux matter; on Windows a drive is reached by its own letter";
      return nullptr;
    }
  }
  return std::make_unique<device::PassThroughVolumes>();
}

std::string ResolveDriveNode(const std::string& path, std::string& problem) {
  (void)problem;
  return path;
}

std::string DriveLockNode(const std::string& path) { return path; }

std::map<char, std::string> HostDriveNodes() {
  // The sticks Windows lists with a letter, each by the node it was listed
  // under; the drive is reached through its letter all the same.
  std::map<char, std::string> nodes;
  std::vector<HostDisk> disks;
  std::string problem;
  if (!ListHostDisks(kHostSysfsRoot, kHostDevRoot, disks, problem)) return nodes;
  for (const HostDisk& disk : disks) {
    if (disk.letter != 0) nodes.emplace(disk.letter, disk.node);
  }
  return nodes;
}

device::DriveFacts HostDriveFacts(char letter, const std::string& node) {
  device::DriveFacts facts;
  facts.node = node.empty() ? std::string("\\\\.\\") + letter + ":" : node;
  return facts;
}

std::string DriveFoldersRefusal() { return {}; }

std::unique_ptr<platform::Platform> MakeDrivePlatform(const platform::PosixOptions& options,
                                                      std::function<void(const char*)> debug,
                                                      std::string& problem) {
  (void)problem;
  // C:\\<letter>\\ and the drive's work folder stand for its C: and
  // temporary folder, as on Linux.
  return platform::CreateDrivePlatform(options, std::move(debug));
}

}  // namespace kestrune::session
