// The host's real drives, as the console reaches them.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "device/transport.h"

namespace kestrune::console {

// The opener of real drives. `nodes` maps letters to device nodes; when it
// is empty the host's own letter assignment is used. Null with `problem`
// set when the host cannot serve what was asked.
std::unique_ptr<device::VolumeOpener> MakeHostDevices(const std::map<char, std::string>& nodes,
                                                      std::string& problem);

}  // namespace kestrune::console
