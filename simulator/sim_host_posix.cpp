#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include "simulator/sim_host.h"

namespace kestrune::sim {

void KillProcess() {
  ::kill(::getpid(), SIGKILL);
  std::_Exit(137);
}

void SignalProcess(ProcessSignal signal) {
  const int number = signal == ProcessSignal::kInterrupt   ? SIGINT
                     : signal == ProcessSignal::kTerminate ? SIGTERM
                                                           : SIGHUP;
  // To the process, not this thread: whichever thread takes it may.
  ::kill(::getpid(), number);
}

}  // namespace kestrune::sim
