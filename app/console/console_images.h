// `kestrune images [DIR]`: what a set of ISP images holds, file by file,
// and whether a run could write it into a real drive.
#pragma once

#include "app/console/console_options.h"
#include "app/console/console_run.h"
#include "app/settings.h"

namespace kestrune::console {

// Checks the folder images names (else --images, else the setting, else
// the images built into the program) and prints one block per catalogue
// file, or with --json one document. Returns 0 for a complete set of real
// images, kExitStandInImages for a complete set holding stand-ins, 1 for a
// set that lacks a file, holds one of the wrong size or one the program
// does not read, or a folder that cannot be used.
int RunImages(const ConsoleOptions& options, const ConsoleStreams& io, const Settings& settings);

// --version: the program's version and which images a run would write;
// with --json as a document.
int RunVersion(const ConsoleOptions& options, const ConsoleStreams& io, const Settings& settings);

}  // namespace kestrune::console
