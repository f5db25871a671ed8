#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "simulator/sim_host.h"

namespace kestrune::sim {

namespace {

// Closes a handle on every way out.
class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

std::string ErrorText(DWORD code) { return "system error " + std::to_string(code); }

// The byte locked: far past the end of any drive file, so that locking it
// keeps no one from reading the file.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

// A handle kept open for its lock alone; closing it releases the lock.
class FileLock : public device::HeldLock {
 public:
  explicit FileLock(HANDLE handle) : handle_(handle) {}
  ~FileLock() override { CloseHandle(handle_); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  HANDLE handle_;
};

}  // namespace

ReadStatus ReadRegularFile(const std::string& path, uint64_t maxBytes, bool followLink,
                           std::vector<uint8_t>* bytes, std::string* error) {
  auto refuse = [&](const std::string& why) {
    *error = path + ": " + why;
    return ReadStatus::kRefused;
  };
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  const Handle file(CreateFileA(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, flags, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    const DWORD cause = GetLastError();
    if (cause == ERROR_FILE_NOT_FOUND || cause == ERROR_PATH_NOT_FOUND) {
      return ReadStatus::kMissing;
    }
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      return refuse("is a directory, not a file");
    }
    return refuse("cannot be opened: " + ErrorText(cause));
  }
  // Pipes, consoles and devices open like files; only a disk file is one.
  if (GetFileType(file.get()) != FILE_TYPE_DISK) return refuse("is a device, not a file");
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file.get(), &info)) return refuse(ErrorText(GetLastError()));
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return refuse("is a directory, not a file");
  if (!followLink && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return refuse("is a symbolic link");
  }
  const uint64_t size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  // A 32-bit build cannot hold more than its address space either.
  const uint64_t limit = std::min<uint64_t>(maxBytes, SIZE_MAX);
  if (size > limit) {
    return refuse("is " + std::to_string(size) + " bytes, over " + std::to_string(limit >> 20) +
                  " MiB");
  }
  bytes->assign(static_cast<size_t>(size), 0);
  size_t done = 0;
  while (done < bytes->size()) {
    const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes->size() - done, 1u << 30));
    DWORD got = 0;
    if (!ReadFile(file.get(), bytes->data() + done, want, &got, nullptr)) {
      return refuse("cannot be read: " + ErrorText(GetLastError()));
    }
    if (got == 0) break;
    done += got;
  }
  bytes->resize(done);
  return ReadStatus::kRead;
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = kNone;
  }
  return *this;
}

OutputFile OutputFile::CreateFresh(const std::string& path, std::string* error) {
  OutputFile file;
  DeleteFileA(path.c_str());
  // Sharing delete lets the finished file be renamed while it stays open;
  // others may open it as they could on POSIX systems.
  const HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    if (error) *error = path + ": cannot be created: " + ErrorText(GetLastError());
    return file;
  }
  file.handle_ = reinterpret_cast<intptr_t>(handle);
  return file;
}

bool OutputFile::Write(const uint8_t* data, size_t size) {
  if (!IsOpen()) return false;
  const HANDLE handle = reinterpret_cast<HANDLE>(handle_);
  while (size > 0) {
    const DWORD want = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
    DWORD put = 0;
    if (!::WriteFile(handle, data, want, &put, nullptr) || put == 0) return false;
    data += put;
    size -= put;
  }
  return true;
}

void OutputFile::Close() {
  if (IsOpen()) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = kNone;
}

bool RenameOnto(const std::string& from, const std::string& to, std::string* error) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  if (error) *error = to + ": cannot be replaced: " + ErrorText(GetLastError());
  return false;
}

void RemoveFile(const std::string& path) { DeleteFileA(path.c_str()); }

void KillProcess() {
  TerminateProcess(GetCurrentProcess(), 137);
  std::_Exit(137);
}

device::LockAttempt LockFile(const std::string& path, bool create) {
  using device::LockState;
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | (create ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  const HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    create ? OPEN_ALWAYS : OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return {};
  auto lock = std::make_unique<FileLock>(handle);
  if (create) {
    // A file of our own making: a device or a link planted there is refused.
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
      return {};
    }
  }
  OVERLAPPED at{};
  at.OffsetHigh = kLockOffsetHigh;
  if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    const bool held = GetLastError() == ERROR_LOCK_VIOLATION;
    return {held ? LockState::kHeldElsewhere : LockState::kFailed, nullptr};
  }
  return {LockState::kTaken, std::move(lock)};
}

void SignalProcess(ProcessSignal signal) {
  GenerateConsoleCtrlEvent(signal == ProcessSignal::kInterrupt ? CTRL_C_EVENT : CTRL_BREAK_EVENT,
                           0);
}

}  // namespace kestrune::sim
