// What an interrupt does, the same on every system (interrupts.cpp), and
// the few hooks each system gives it (interrupts_linux.cpp,
// interrupts_win32.cpp). The policy decides under one lock, the same that
// holds begin and end under: an interrupt while a hold lives is said and
// held (up to the third), any other ends the run.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kestrune::platform::interrupts {

struct State {
  std::mutex mutex;
  // Told each time a hold ends.
  std::condition_variable holdsOver;
  bool caught = false;  // the system's handler is installed
  int exitCode = 0;
  InterruptWords writing;
  InterruptWords outcome;
  InterruptWords watching;
  int holds = 0;
  int writeHolds = 0;
  int watchHolds = 0;
  int held = 0;  // interrupts held so far
  // Interrupts this process sent itself, and interrupts taken (said and
  // held); told each time one is taken.
  uint64_t sent = 0;
  uint64_t taken = 0;
  std::condition_variable takenMore;
  std::vector<std::string> removals;
  const std::function<int()>* lastWords = nullptr;
  const std::function<void(const std::string&)>* say = nullptr;
};

// Never destroyed: the system's handler may still use it while the process
// runs its exit handlers.
State& TheState();

// With the lock held, so no hold can begin meanwhile: the last words,
// the removals, and the end of the process.
[[noreturn]] void EndNow(State& s);
// With the lock held, while a hold lives: the first and second interrupt
// are said and held, the third ends the run.
void NoteHeld(State& s);
// With the lock held: what to do with `taken` interrupts.
void Take(State& s, int taken);

// --- The hooks, one set per system ---

// With the lock held, the words stored: installs the system's handler,
// which hands interrupts to Take under the lock; true when it is in place.
bool InstallHandler();
// With the lock held: interrupts the system delivered that its handler has
// not taken yet.
int TakePending();
// Writes one line the policy says on stderr, the system's line end added.
void WriteLine(const std::string& line);
// Sends this process `kind` as the system would deliver it from outside.
void Raise(InterruptKind kind);
// Removes the file at `hostPath`, as far as the system lets it.
void RemoveFile(const std::string& hostPath);
// Ends the process at once with `code`: no exit handler runs.
[[noreturn]] void EndProcess(int code);

}  // namespace kestrune::platform::interrupts
