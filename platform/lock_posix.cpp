#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "platform/lock.h"

namespace kestrune::platform {

void HeldLock::Release() {
  if (handle_ == kNone) return;
  ::close(static_cast<int>(handle_));
  handle_ = kNone;
}

LockAttempt LockExclusively(HeldLock lock, int fd) {
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    return {errno == EWOULDBLOCK ? LockState::kHeldElsewhere : LockState::kFailed, {}};
  }
  return {LockState::kTaken, std::move(lock)};
}

LockAttempt LockNode(const std::string& path, std::chrono::milliseconds sharedWait) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return {};
  HeldLock lock(fd);
  const auto refused = [&lock](bool held) {
    lock.Release();
    return LockAttempt{held ? LockState::kHeldElsewhere : LockState::kFailed, {}};
  };
  const auto deadline = std::chrono::steady_clock::now() + sharedWait;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return {LockState::kTaken, std::move(lock)};
    if (errno != EWOULDBLOCK) return refused(false);
    // A shared lock that can be taken beside the holder's means no run of
    // kestrune holds the node, only a prober such as udevd: it is waited out.
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0) return refused(errno == EWOULDBLOCK);
    ::flock(fd, LOCK_UN);
    if (std::chrono::steady_clock::now() >= deadline) return refused(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace kestrune::platform
