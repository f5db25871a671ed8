#include <memory>

#include "app/console/console_devices.h"
#include "device/passthrough_win32.h"

namespace kestrune::console {

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

}  // namespace kestrune::console
