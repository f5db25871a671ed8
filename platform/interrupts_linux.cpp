// Interrupts on Linux. SIGINT, SIGTERM and SIGHUP are blocked in every
// thread, so no system call of the program (an SG_IO request above all) is
// ever cut short by one. A thread of the platform's own waits on a signalfd
// and hands each signal to the policy under its lock (interrupts.cpp).
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <thread>

#include "platform/interrupt_policy.h"

namespace kestrune::platform::interrupts {
namespace {

// The signalfd, once the handler is installed; read under the policy's lock.
int signals = -1;

sigset_t InterruptSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

void Watch(int fd) {
  State& s = TheState();
  pollfd ready{fd, POLLIN, 0};
  for (;;) {
    if (::poll(&ready, 1, -1) < 0) continue;
    std::lock_guard<std::mutex> lock(s.mutex);
    // A hold that ended meanwhile may have taken the signal already.
    Take(s, TakePending());
  }
}

}  // namespace

bool InstallHandler() {
  sigset_t set = InterruptSignals();
  sigset_t previous;
  if (::pthread_sigmask(SIG_BLOCK, &set, &previous) != 0) return false;
  const int fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd < 0) {
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return false;
  }
  signals = fd;
  try {
    std::thread(Watch, fd).detach();
  } catch (const std::system_error&) {
    // Without the thread nothing would ever take a signal: leave them as
    // the system delivers them.
    ::close(fd);
    signals = -1;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return false;
  }
  return true;
}

int TakePending() {
  if (signals < 0) return 0;
  int taken = 0;
  signalfd_siginfo info;
  while (::read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) ++taken;
  return taken;
}

void WriteLine(const std::string& line) {
  const std::string text = line + "\n";
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    done += static_cast<size_t>(put);
  }
}

void Raise(InterruptKind kind) {
  const int number = kind == InterruptKind::kInterrupt   ? SIGINT
                     : kind == InterruptKind::kTerminate ? SIGTERM
                                                         : SIGHUP;
  // To the process, not this thread: the platform's thread takes it.
  ::kill(::getpid(), number);
}

void RemoveFile(const std::string& hostPath) { ::unlink(hostPath.c_str()); }

void EndProcess(int code) { ::_exit(code); }

}  // namespace kestrune::platform::interrupts
