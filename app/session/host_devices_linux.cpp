#include <memory>
#include <utility>

#include "app/session/host_devices.h"
#include "device/sgio_linux.h"
#include "device/sysfs_linux.h"
#include "platform/platform.h"

namespace kestrune::session {

std::unique_ptr<device::VolumeOpener> MakeHostDevices(const std::map<char, std::string>& nodes,
                                                      std::string& problem) {
  (void)problem;
  device::SgioOptions options;
  options.explicitMap = nodes;
  return std::make_unique<device::SgioVolumes>(options);
}

std::string ResolveDriveNode(const std::string& path, std::string& problem) {
  return device::WholeDiskNode(path, problem);
}

std::string DriveLockNode(const std::string& path) {
  // A partition whose disk cannot be found is refused before any open; here
  // it stands for itself.
  std::string problem;
  const std::string node = device::WholeDiskNode(path, problem);
  return device::LockNodeFor(node.empty() ? path : node);
}

std::map<char, std::string> HostDriveNodes() {
  return device::SgioVolumes(device::SgioOptions{}).Volumes();
}

device::DriveFacts HostDriveFacts(char letter, const std::string& node) {
  device::DriveFacts facts;
  facts.node = node;
  if (facts.node.empty()) {
    const std::map<char, std::string> nodes = HostDriveNodes();
    const auto it = nodes.find(letter);
    if (it != nodes.end()) facts.node = it->second;
  }
  const device::SysfsRoots roots;
  for (const device::SgioCandidate& candidate : device::ListSgioCandidates(roots)) {
    if (candidate.node != facts.node) continue;
    facts.vendor = candidate.vendor;
    facts.model = candidate.model;
    facts.usbSerial = candidate.serial;
  }
  if (facts.usbSerial.empty() && !facts.node.empty()) {
    facts.usbSerial = device::UsbSerialOfNode(facts.node, roots);
  }
  return facts;
}

std::string DriveFoldersRefusal() { return {}; }

std::unique_ptr<platform::Platform> MakeDrivePlatform(const platform::PosixOptions& options,
                                                      std::function<void(const char*)> debug,
                                                      std::string& problem) {
  (void)problem;
  return platform::CreateDrivePlatform(options, std::move(debug));
}

}  // namespace kestrune::session
