// The interrupt policy of a console program, over the hooks of
// interrupt_policy.h.
#include <algorithm>
#include <atomic>
#include <chrono>

#include "platform/interrupt_policy.h"

namespace kestrune::platform {
namespace interrupts {
namespace {

std::atomic<bool> received{false};

}  // namespace

void EndNow(State& s) {
  const int code = s.lastWords != nullptr ? (*s.lastWords)() : s.exitCode;
  for (const std::string& path : s.removals) RemoveFile(path);
  EndProcess(code);
}

void NoteHeld(State& s) {
  received = true;
  const InterruptWords& words = s.writeHolds > 0         ? s.writing
                                : s.holds > s.watchHolds ? s.outcome
                                                         : s.watching;
  ++s.held;
  ++s.taken;
  s.takenMore.notify_all();
  const std::string& line = s.held == 1 ? words.first : s.held == 2 ? words.second : words.third;
  if (!line.empty() && s.say != nullptr) {
    (*s.say)(line);
  } else if (!line.empty()) {
    WriteLine(line);
  }
  if (s.held >= 3) EndNow(s);
}

State& TheState() {
  static auto* state = new State;
  return *state;
}

void Take(State& s, int taken) {
  for (int i = 0; i < taken; ++i) {
    if (s.holds == 0) EndNow(s);
    NoteHeld(s);
  }
}

}  // namespace interrupts

using interrupts::State;
using interrupts::TheState;

void CatchInterrupts(const char* notice, int exitCode) {
  const InterruptWords words{notice != nullptr ? notice : "", "", ""};
  CatchInterrupts(words, words, exitCode);
}

void CatchInterrupts(const InterruptWords& writing, const InterruptWords& outcome, int exitCode,
                     const InterruptWords& watching) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.caught) return;
  s.exitCode = exitCode;
  s.writing = writing;
  s.outcome = outcome;
  s.watching = watching;
  s.caught = interrupts::InstallHandler();
}

InterruptHold::InterruptHold(HoldFor purpose) : purpose_(purpose) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  // An interrupt that came before the hold, and that the system's handler
  // has not taken yet, ends the run now: it must not pass for one the hold
  // kept.
  if (s.caught && s.holds == 0 && interrupts::TakePending() > 0) interrupts::EndNow(s);
  ++s.holds;
  if (purpose_ == HoldFor::kWrite) ++s.writeHolds;
  if (purpose_ == HoldFor::kWatch) ++s.watchHolds;
}

InterruptHold::~InterruptHold() {
  State& s = TheState();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    // An interrupt that came during the hold and was not taken yet is the
    // hold's.
    if (s.caught) {
      for (int taken = interrupts::TakePending(); taken > 0; --taken) interrupts::NoteHeld(s);
    }
    --s.holds;
    if (purpose_ == HoldFor::kWrite) --s.writeHolds;
    if (purpose_ == HoldFor::kWatch) --s.watchHolds;
  }
  s.holdsOver.notify_all();
}

LastWords::LastWords(std::function<int()> words) : words_(std::move(words)) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  previous_ = s.lastWords;
  s.lastWords = &words_;
}

LastWords::~LastWords() {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.lastWords = previous_;
}

InterruptLines::InterruptLines(std::function<void(const std::string&)> say) : say_(std::move(say)) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  previous_ = s.say;
  s.say = &say_;
}

InterruptLines::~InterruptLines() {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.say = previous_;
}

bool InterruptReceived() { return interrupts::received; }

void SendInterrupt(InterruptKind kind) {
  State& s = TheState();
  std::unique_lock<std::mutex> lock(s.mutex);
  if (!s.caught) {
    lock.unlock();
    interrupts::Raise(kind);
    return;
  }
  const uint64_t mine = ++s.sent;
  lock.unlock();
  interrupts::Raise(kind);
  lock.lock();
  // The handler takes it on a thread of its own; one that ends the process
  // never comes back here. The bound only keeps a system that drops the
  // signal from hanging the run.
  s.takenMore.wait_for(lock, std::chrono::seconds(60), [&] { return s.taken >= mine; });
}

RemoveOnInterrupt::RemoveOnInterrupt(std::string hostPath) : hostPath_(std::move(hostPath)) {
  if (hostPath_.empty()) return;
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.removals.push_back(hostPath_);
}

RemoveOnInterrupt::~RemoveOnInterrupt() {
  if (hostPath_.empty()) return;
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  const auto found = std::find(s.removals.begin(), s.removals.end(), hostPath_);
  if (found != s.removals.end()) s.removals.erase(found);
}

}  // namespace kestrune::platform
