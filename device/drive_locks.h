// One run per drive. An opener takes an exclusive lock on each drive at its
// first open and keeps it to the end of the run; a lock another run holds
// is never waited for: that drive is left out instead.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "platform/lock.h"

namespace kestrune::device {

// The locks one opener holds, by drive (a device node, a file). Threads that
// share the opener share its locks: a drive's lock belongs to whatever in
// this process opened it first.
class DriveLocks {
 public:
  enum class Claim : unsigned char { kFirst, kAgain, kHeldElsewhere, kFailed };

  // Takes the lock of `key` with `take` unless it is held here already.
  template <typename Take>
  Claim Acquire(const std::string& key, Take&& take) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (held_.count(key) != 0) return Claim::kAgain;
    platform::LockAttempt attempt = std::forward<Take>(take)();
    if (attempt.state == platform::LockState::kHeldElsewhere) return Claim::kHeldElsewhere;
    if (attempt.state != platform::LockState::kTaken || !attempt.lock) return Claim::kFailed;
    held_.emplace(key, std::move(attempt.lock));
    return Claim::kFirst;
  }

  // Gives a lock back, for a drive that turned out not to be there after all.
  void Release(const std::string& key) {
    std::lock_guard<std::mutex> guard(mutex_);
    held_.erase(key);
  }

 private:
  std::mutex mutex_;
  std::map<std::string, platform::HeldLock> held_;
};

}  // namespace kestrune::device
