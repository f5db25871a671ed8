// Locks that keep a drive, a file or a folder to one run. Each is a handle
// of the system's (a descriptor; a HANDLE) kept open for its lock alone:
// the lock goes with the handle, and with the process however it ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

namespace kestrune::platform {

enum class LockState : uint8_t {
  kTaken,          // this process holds the lock now
  kHeldElsewhere,  // another run holds it
  kFailed,         // it cannot be had: nothing is there, or the system refused
};

// A lock this process holds until the object goes or Release is called.
// Moved, never copied: one handle, one owner.
class HeldLock {
 public:
  HeldLock() = default;
  // Takes the handle; closing it is what gives the lock back.
  explicit HeldLock(intptr_t handle) : handle_(handle) {}
  HeldLock(HeldLock&& other) noexcept : handle_(std::exchange(other.handle_, kNone)) {}
  HeldLock& operator=(HeldLock&& other) noexcept {
    if (this != &other) {
      Release();
      handle_ = std::exchange(other.handle_, kNone);
    }
    return *this;
  }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
  ~HeldLock() { Release(); }

  // True while the lock is held.
  explicit operator bool() const { return handle_ != kNone; }
  // Gives the lock back now.
  void Release();

 private:
  static constexpr intptr_t kNone = -1;
  intptr_t handle_ = kNone;
};

// What an attempt to take a lock came to.
struct LockAttempt {
  LockState state = LockState::kFailed;
  HeldLock lock;  // held for kTaken
};

#if !defined(_WIN32)
// An exclusive flock on the node or file at `path`, on a descriptor of its
// own, so that the lock outlives whatever else is opened under it. One that
// is held exclusively elsewhere is never waited for; shared holders alone
// are waited out for up to `sharedWait`, after which it counts as held.
LockAttempt LockNode(const std::string& path, std::chrono::milliseconds sharedWait);
// The exclusive flock of the descriptor `lock` holds, taken at once or not
// at all; the descriptor is closed unless it is taken.
LockAttempt LockExclusively(HeldLock lock, int fd);
#else
// A named mutex seen by every session: its existence is the lock, never
// waited for. A name this user may not open belongs to another user's run.
LockAttempt LockNamedMutex(const std::string& name);
#endif

}  // namespace kestrune::platform
