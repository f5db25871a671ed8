// kestrune: the console front end.
#include <unistd.h>

#include <iostream>

#include "app/console/console_run.h"

int main(int argc, char** argv) {
  const kestrune::console::ConsoleStreams io{std::cin, std::cout, std::cerr, isatty(0) != 0};
  return kestrune::console::RunConsole(argc, argv, io);
}
