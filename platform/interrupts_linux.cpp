// Interrupts on Linux. SIGINT, SIGTERM and SIGHUP are blocked in every
// thread, so no system call of the program (an SG_IO request above all) is
// ever cut short by one. A thread of the platform's own waits on a signalfd
// and takes each signal under the same lock that holds begin and end under:
// a signal taken while a hold lives is held (up to the third), any other
// ends the run.
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
  InterruptWords writing;
  InterruptWords outcome;
  InterruptWords watching;
  int holds = 0;
  int writeHolds = 0;
  int watchHolds = 0;
  int held = 0;  // interrupts held so far
  std::vector<std::string> removals;
  const std::function<int()>* lastWords = nullptr;
  const std::function<void(const std::string&)>* say = nullptr;
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

// With the lock held: takes the pending interrupts; how many there were.
int TakePending(InterruptState& s) {
  int taken = 0;
  signalfd_siginfo info;
  while (::read(s.fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) ++taken;
  return taken;
}

// With the lock held, so no hold can begin meanwhile.
[[noreturn]] void EndNow(InterruptState& s) {
  const int code = s.lastWords != nullptr ? (*s.lastWords)() : s.exitCode;
  for (const std::string& path : s.removals) ::unlink(path.c_str());
  ::_exit(code);
}

// With the lock held, while a hold lives: the first and second interrupt
// are said and held, the third ends the run.
void NoteHeld(InterruptState& s) {
  received = true;
  const InterruptWords& words = s.writeHolds > 0         ? s.writing
                                : s.holds > s.watchHolds ? s.outcome
                                                         : s.watching;
  ++s.held;
  const std::string& line = s.held == 1 ? words.first : s.held == 2 ? words.second : words.third;
  if (!line.empty() && s.say != nullptr) {
    (*s.say)(line);
  } else if (!line.empty()) {
    WriteAll(STDERR_FILENO, line + "\n");
  }
  if (s.held >= 3) EndNow(s);
}

// With the lock held: what to do with `taken` interrupts.
void Take(InterruptState& s, int taken) {
  for (int i = 0; i < taken; ++i) {
    if (s.holds == 0) EndNow(s);
    NoteHeld(s);
  }
}

void Watch(InterruptState* s) {
  pollfd ready{s->fd, POLLIN, 0};
  for (;;) {
    if (::poll(&ready, 1, -1) < 0) continue;
    std::lock_guard<std::mutex> lock(s->mutex);
    // A hold that ended meanwhile may have taken the signal already.
    Take(*s, TakePending(*s));
  }
}

}  // namespace

void CatchInterrupts(const char* notice, int exitCode) {
  const InterruptWords words{notice != nullptr ? notice : "", "", ""};
  CatchInterrupts(words, words, exitCode);
}

void CatchInterrupts(const InterruptWords& writing, const InterruptWords& outcome, int exitCode,
                     const InterruptWords& watching) {
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
  s.writing = writing;
  s.outcome = outcome;
  s.watching = watching;
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

InterruptHold::InterruptHold(HoldFor purpose) : purpose_(purpose) {
  InterruptState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  // A signal that came before the hold, and that the watching thread has not
  // taken yet, ends the run now: it must not pass for one the hold kept.
  if (s.fd >= 0 && s.holds == 0 && TakePending(s) > 0) EndNow(s);
  ++s.holds;
  if (purpose_ == HoldFor::kWrite) ++s.writeHolds;
  if (purpose_ == HoldFor::kWatch) ++s.watchHolds;
}

InterruptHold::~InterruptHold() {
  InterruptState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  // A signal that came during the hold and was not taken yet is the hold's.
  if (s.fd >= 0) {
    for (int taken = TakePending(s); taken > 0; --taken) NoteHeld(s);
  }
  --s.holds;
  if (purpose_ == HoldFor::kWrite) --s.writeHolds;
  if (purpose_ == HoldFor::kWatch) --s.watchHolds;
}

InterruptLines::InterruptLines(std::function<void(const std::string&)> say) : say_(std::move(say)) {
  InterruptState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  previous_ = s.say;
  s.say = &say_;
}

InterruptLines::~InterruptLines() {
  InterruptState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.say = previous_;
}

LastWords::LastWords(std::function<int()> words) : words_(std::move(words)) {
  InterruptState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  previous_ = s.lastWords;
  s.lastWords = &words_;
}

LastWords::~LastWords() {
  InterruptState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.lastWords = previous_;
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
