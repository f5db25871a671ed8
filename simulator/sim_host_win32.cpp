#include <windows.h>

#include <cstdlib>

#include "simulator/sim_host.h"

namespace kestrune::sim {

void KillProcess() {
  TerminateProcess(GetCurrentProcess(), 137);
  std::_Exit(137);
}


}  // namespace kestrune::sim
