// `kestrune list`: the disks that may be flash drives, as the host
// describes them, without opening any.
#pragma once

#include <string>

#include "app/console/console_options.h"
#include "app/console/console_run.h"
#include "app/session/host_disks.h"

namespace kestrune::console {

// Prints one row per candidate (or, with --json, one document) and returns
// the exit code: 0, or 3 when there is none. `sysfsRoot` and `devRoot` say
// where the host lists its block devices and keeps their nodes.
int RunList(const ConsoleOptions& options, const ConsoleStreams& io,
            const std::string& sysfsRoot = session::kHostSysfsRoot,
            const std::string& devRoot = session::kHostDevRoot);

}  // namespace kestrune::console
