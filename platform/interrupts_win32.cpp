// Interrupts of a Windows console program: Ctrl-C, Ctrl-Break and the end
// of the console (closed window, logoff, shutdown) reach a handler that the
// system runs in a thread of its own. It decides under the same lock that
// holds begin and end under: held while a hold lives (up to the third),
// else the end of the run. A program without a console (the dialog) never
// installs it.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kestrune::platform {
namespace {

struct InterruptState {
  std::mutex mutex;
  std::condition_variable holdsOver;
  bool caught = false;
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

// Never destroyed: the system may still run the handler while the process
// runs its exit handlers.
InterruptState& State() {
  static auto* state = new InterruptState;
  return *state;
}

// With the lock held, so no hold can begin meanwhile.
void EndNow(InterruptState& s) {
  const int code = s.lastWords != nullptr ? (*s.lastWords)() : s.exitCode;
  for (const std::string& path : s.removals) ::DeleteFileA(path.c_str());
  // At once, as a signal ends a POSIX process: the handles close with it.
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(code));
}

// With the lock held, while a hold lives: the first and second interrupt
// are said and held, the third ends the run.
void NoteHeld(InterruptState& s) {
  received = true;
  const InterruptWords& words = s.writeHolds > 0         ? s.writing
                                : s.holds > s.watchHolds ? s.outcome
                                                         : s.watching;
  ++s.held;
  const std::string& said = s.held == 1 ? words.first : s.held == 2 ? words.second : words.third;
  if (!said.empty() && s.say != nullptr) {
    (*s.say)(said);
  } else if (!said.empty()) {
    const std::string line = said + "\r\n";
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()),
                &written, nullptr);
  }
  if (s.held >= 3) EndNow(s);
}

BOOL WINAPI OnConsoleControl(DWORD event) {
  InterruptState& s = State();
  std::unique_lock<std::mutex> lock(s.mutex);
  if (s.holds == 0) EndNow(s);
  NoteHeld(s);
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  // The end of the console ends the process as soon as this handler
  // returns, so it waits for the write to be over and then for the program
  // to end itself; the system ends it after its own time limit at the latest.
  s.holdsOver.wait(lock, [&] { return s.holds == 0; });
  lock.unlock();
  ::Sleep(INFINITE);
  return TRUE;
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
  if (s.caught) return;
  s.exitCode = exitCode;
  s.writing = writing;
  s.outcome = outcome;
  s.watching = watching;
  s.caught = ::SetConsoleCtrlHandler(OnConsoleControl, TRUE) != 0;
}

InterruptHold::InterruptHold(HoldFor purpose) : purpose_(purpose) {
  InterruptState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.holds;
  if (purpose_ == HoldFor::kWrite) ++s.writeHolds;
  if (purpose_ == HoldFor::kWatch) ++s.watchHolds;
}

InterruptHold::~InterruptHold() {
  InterruptState& s = State();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    --s.holds;
    if (purpose_ == HoldFor::kWrite) --s.writeHolds;
    if (purpose_ == HoldFor::kWatch) --s.watchHolds;
  }
  s.holdsOver.notify_all();
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
