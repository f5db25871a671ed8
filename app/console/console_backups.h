// `kestrune backups`: the saves the C: folder and its letter folders keep,
// per stick, with the one a restore of that stick takes.
#pragma once

#include "app/console/console_options.h"
#include "app/console/console_run.h"

namespace kestrune::console {

// Prints the saves (or, with --json, one document) and returns the exit
// code: 0, or 1 when a records document could not be read.
int RunBackups(const ConsoleOptions& options, const ConsoleStreams& io);

}  // namespace kestrune::console
