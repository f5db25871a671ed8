#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/terminal.h"

namespace kestrune::platform {

std::optional<TerminalSize> OutputTerminalSize() {
  winsize size{};
  if (isatty(STDOUT_FILENO) == 0 || ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 ||
      size.ws_col == 0) {
    return std::nullopt;
  }
  return TerminalSize{size.ws_col, size.ws_row};
}

}  // namespace kestrune::platform
