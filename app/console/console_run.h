// The console front end's whole run: options, drives, start-up, command,
// close. main() only hands it the process's streams.
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>

#include "app/settings.h"
#include "platform/terminal.h"

namespace kestrune::console {

struct ConsoleStreams {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  // Whether `in` is a terminal a question can be put to.
  bool inputIsTerminal = false;
  // The size of the terminal `out` shows on, asked afresh each time; null,
  // or nullopt from it: `out` is no terminal, and nothing is redrawn.
  std::function<std::optional<platform::TerminalSize>()> outputSize = nullptr;
  // Whether `out` is a terminal, which may be shown colours.
  bool outputIsTerminal = false;
};

// Returns the process exit code. `settings` are what main() read from the
// environment.
int RunConsole(int argc, const char* const* argv, const ConsoleStreams& io,
               const Settings& settings);

}  // namespace kestrune::console
