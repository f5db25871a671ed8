// The terminal the program's standard output is shown on, for output that
// redraws itself in place.
#pragma once

#include <optional>

namespace kestrune::platform {

struct TerminalSize {
  int columns = 0;
  int lines = 0;
};

// The size of the terminal standard output writes to, read afresh at each
// call (a window may be resized). Nullopt when standard output is no
// terminal, or one that cannot take ANSI cursor sequences.
std::optional<TerminalSize> OutputTerminalSize();

}  // namespace kestrune::platform
