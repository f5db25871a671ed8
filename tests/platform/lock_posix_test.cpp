#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/lock.h"
#include "tests/support/device_temp_folder.h"

namespace kestrune::platform {
namespace {

using testing::TempFolder;

// udevd holds a shared lock on a disk while it probes it: a run that comes
// then waits it out and takes the drive, where a run's own exclusive lock
// is reported at once; a shared lock never let go counts as held in the end.
TEST(NodeLock, ASharedLockIsWaitedOutAndARunsOwnIsNot) {
  TempFolder folder;
  folder.Write("node", "");
  const std::string node = (folder.path() / "node").string();
  const int prober = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(prober, 0);
  ASSERT_EQ(::flock(prober, LOCK_SH | LOCK_NB), 0);
  std::thread letGo([prober] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::close(prober);
  });
  // The bound only keeps a lock that is never let go from hanging the
  // test: however slow the machine, the prober lets go well within it.
  LockAttempt waited = LockNode(node, std::chrono::minutes(1));
  letGo.join();
  EXPECT_EQ(waited.state, LockState::kTaken);

  // Were an exclusive holder waited for, this would hang for a minute.
  EXPECT_EQ(LockNode(node, std::chrono::minutes(1)).state, LockState::kHeldElsewhere);

  waited.lock.Release();
  const int stuck = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(stuck, LOCK_SH | LOCK_NB), 0);
  EXPECT_EQ(LockNode(node, std::chrono::milliseconds(100)).state, LockState::kHeldElsewhere);
  ::close(stuck);
  EXPECT_EQ(LockNode(node, std::chrono::milliseconds(100)).state, LockState::kTaken);
}

}  // namespace
}  // namespace kestrune::platform
