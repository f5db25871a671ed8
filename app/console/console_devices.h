// The host's real drives, as the console's recording names them: the
// session's host factory under the console's names.
#pragma once

#include "app/session/host_devices.h"

namespace kestrune::console {

using session::HostDriveFacts;

}  // namespace kestrune::console
