#include <memory>

#include "app/console/console_devices.h"
#include "device/sgio_linux.h"

namespace kestrune::console {

std::unique_ptr<device::VolumeOpener> MakeHostDevices(const std::map<char, std::string>& nodes,
                                                      std::string& problem) {
  (void)problem;
  device::SgioOptions options;
  options.explicitMap = nodes;
  return std::make_unique<device::SgioVolumes>(options);
}

}  // namespace kestrune::console
