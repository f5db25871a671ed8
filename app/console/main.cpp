// kestrune: the console front end.
#include <unistd.h>

#include <iostream>

#include "app/console/console_options.h"
#include "app/console/console_run.h"
#include "app/settings.h"
#include "platform/platform.h"
#include "platform/terminal.h"

int main(int argc, char** argv) {
  // Before anything else, so that every thread of the run inherits it.
  namespace console = kestrune::console;
  kestrune::platform::CatchInterrupts(
      {console::kInterruptNotice, console::kInterruptAgain, console::kInterruptForced},
      {console::kInterruptOutcomeNotice, console::kInterruptOutcomeAgain,
       console::kInterruptOutcomeForced},
      console::kExitInterrupted,
      {console::kInterruptWatchNotice, console::kInterruptWatchAgain,
       console::kInterruptWatchForced});
  const kestrune::console::ConsoleStreams io{
      std::cin,      std::cout, std::cerr, isatty(0) != 0, kestrune::platform::OutputTerminalSize,
      isatty(1) != 0};
  return kestrune::console::RunConsole(argc, argv, io, kestrune::ReadSettings());
}
