// The console front end's whole run: options, drives, start-up, command,
// close. main() only hands it the process's streams.
#pragma once

#include <iosfwd>

#include "app/settings.h"

namespace kestrune::console {

struct ConsoleStreams {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  // Whether `in` is a terminal a question can be put to.
  bool inputIsTerminal = false;
  // Whether `out` is a terminal, which may be shown colours.
  bool outputIsTerminal = false;
};

// Returns the process exit code. `settings` are what main() read from the
// environment.
int RunConsole(int argc, const char* const* argv, const ConsoleStreams& io,
               const Settings& settings);

}  // namespace kestrune::console
