// Interrupts on Linux. SIGINT, SIGTERM and SIGHUP are blocked in every
// thread, so no system call of the program (an SG_IO request above all) is
// ever cut short by one. A thread of the platform's own waits on a signalfd
// and takes each signal under the same lock that holds begin and end under:
// a signal taken while a hold lives is held, any other ends the run.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace kestrune::platform {
namespace {

struct InterruptState {
  std::mutex mutex;
  int fd = -1;  // the signalfd, once CatchInterrupts has run
  int exitCode = 0;
  std::string notice;
  int holds = 0;
  bool noticed = false;
  std::vector<std::string> removals;
};

std::atomic<bool> received{false};

// Never destroyed: the watching thread may still use it while the process
// runs its exit handlers.
InterruptState& State() {
  static auto* state = new InterruptState;
  return *state;
}

sigset_t InterruptSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    done += static_cast<size_t>(put);
  }
}

// With the lock held: takes every pending interrupt; true when there was one.
bool TakePending(InterruptState& s) {
  bool any = false;
  signalfd_siginfo info;
  while (::read(s.fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) any = true;
  return any;
}

// With the lock held.
void NoteHeld(InterruptState& s) {
  received = true;
  if (s.noticed) return;
  s.noticed = true;
  WriteAll(STDERR_FILENO, s.notice + "\n");
}

// With the lock held, so no hold can begin meanwhile.
[[noreturn]] void EndNow(InterruptState& s) {
  for (const std::string& path : s.removals) ::unlink(path.c_str());
  ::_exit(s.exitCode);
}

void Watch(InterruptState* s) {
  pollfd ready{s->fd, POLLIN, 0};
  for (;;) {
    if (::poll(&ready, 1, -1) < 0) continue;
    std::lock_guard<std::mutex> lock(s->mutex);
    // A hold that ended meanwhile may have taken the signal already.
    if (!TakePending(*s)) continue;
    if (s->holds == 0) EndNow(*s);
    NoteHeld(*s);
  }
}

}  // namespace

void CatchInterrupts(const char* notice, int exitCode) {
  InterruptState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.fd >= 0) return;
  sigset_t set = InterruptSignals();
  sigset_t previous;
  if (::pthread_sigmask(SIG_BLOCK, &set, &previous) != 0) return;
  const int fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd < 0) {
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return;
  }
  s.fd = fd;
  s.exitCode = exitCode;
  s.notice = notice != nullptr ? notice : "";
  try {
    std::thread(Watch, &s).detach();
  } catch (const std::system_error&) {
    // Without the thread nothing would ever take a signal: leave them as
    // the system delivers them.
    ::close(fd);
    s.fd = -1;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
}

InterruptHold::InterruptHold() {
  InterruptState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  // A signal that came before the hold, and that the watching thread has not
  // taken yet, ends the run now: it must not pass for one the hold kept.
  if (s.fd >= 0 && s.holds == 0 && TakePending(s)) EndNow(s);
  ++s.holds;
}

InterruptHold::~InterruptHold() {
  InterruptState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  // A signal that came during the hold and was not taken yet is the hold's.
  if (s.fd >= 0 && TakePending(s)) NoteHeld(s);
  --s.holds;
}

bool InterruptReceived() { return received; }

RemoveOnInterrupt::RemoveOnInterrupt(std::string hostPath) : hostPath_(std::move(hostPath)) {
  if (hostPath_.empty()) return;
  InterruptState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.removals.push_back(hostPath_);
}

RemoveOnInterrupt::~RemoveOnInterrupt() {
  if (hostPath_.empty()) return;
  InterruptState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  const auto found = std::find(s.removals.begin(), s.removals.end(), hostPath_);
  if (found != s.removals.end()) s.removals.erase(found);
}

}  // namespace kestrune::platform
