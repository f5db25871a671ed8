#include <windows.h>

#include <cstdlib>

#include "simulator/sim_host.h"

namespace kestrune::sim {

void KillProcess() {
  TerminateProcess(GetCurrentProcess(), 137);
  std::_Exit(137);
}

void SignalProcess(ProcessSignal signal) {
  GenerateConsoleCtrlEvent(signal == ProcessSignal::kInterrupt ? CTRL_C_EVENT : CTRL_BREAK_EVENT,
                           0);
}

}  // namespace kestrune::sim
