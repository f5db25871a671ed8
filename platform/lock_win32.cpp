#include <windows.h>

#include "platform/lock.h"

namespace kestrune::platform {

void HeldLock::Release() {
  if (handle_ == kNone) return;
  ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = kNone;
}

LockAttempt LockNamedMutex(const std::string& name) {
  // The mutex's existence is the lock, not its ownership: ownership belongs
  // to a thread, and the thread that first opens a drive need not be the
  // one that goes on to use it.
  HANDLE mutex = ::CreateMutexA(nullptr, FALSE, name.c_str());
  if (mutex == nullptr) {
    const bool denied = ::GetLastError() == ERROR_ACCESS_DENIED;
    return {denied ? LockState::kHeldElsewhere : LockState::kFailed, {}};
  }
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(mutex);
    return {LockState::kHeldElsewhere, {}};
  }
  return {LockState::kTaken, HeldLock(reinterpret_cast<intptr_t>(mutex))};
}

}  // namespace kestrune::platform
