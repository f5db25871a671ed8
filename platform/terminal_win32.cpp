#include <windows.h>

#include "platform/terminal.h"

namespace kestrune::platform {

std::optional<TerminalSize> OutputTerminalSize() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (out == INVALID_HANDLE_VALUE || out == nullptr || !GetConsoleMode(out, &mode) ||
      !GetConsoleScreenBufferInfo(out, &info)) {
    return std::nullopt;
  }
  // A console that will not read cursor sequences would print them.
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0 &&
      !SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
    return std::nullopt;
  }
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  const int lines = info.srWindow.Bottom - info.srWindow.Top + 1;
  if (columns <= 0) return std::nullopt;
  return TerminalSize{columns, lines};
}

}  // namespace kestrune::platform
