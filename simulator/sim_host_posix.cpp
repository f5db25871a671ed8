#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "simulator/sim_host.h"

namespace kestrune::sim {

namespace {

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "is a directory";
  if (S_ISFIFO(mode)) return "is a FIFO";
  if (S_ISSOCK(mode)) return "is a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device";
  if (S_ISLNK(mode)) return "is a symbolic link";
  return "is not a regular file";
}

// Closes a descriptor on every way out.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// A descriptor kept open for its flock alone.
class FileLock : public device::HeldLock {
 public:
  explicit FileLock(int fd) : fd_(fd) {}
  ~FileLock() override { ::close(fd_); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_;
};

}  // namespace

ReadStatus ReadRegularFile(const std::string& path, uint64_t maxBytes, bool followLink,
                           std::vector<uint8_t>* bytes, std::string* error) {
  auto refuse = [&](const std::string& why) {
    *error = path + ": " + why;
    return ReadStatus::kRefused;
  };
  const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
  const Descriptor file(::open(path.c_str(), flags));
  if (file.get() < 0) {
    const int cause = errno;
    if (cause == ENOENT) return ReadStatus::kMissing;
    if (cause == ELOOP && !followLink) return refuse("is a symbolic link");
    // A socket cannot be opened at all; say what the name is when it can be told.
    struct stat info {};
    if (cause == ENXIO && ::stat(path.c_str(), &info) == 0) return refuse(KindOf(info.st_mode));
    return refuse(std::string("cannot be opened: ") + std::strerror(cause));
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) return refuse(std::strerror(errno));
  if (!S_ISREG(info.st_mode)) return refuse(std::string(KindOf(info.st_mode)) + ", not a file");
  const auto size = static_cast<uint64_t>(info.st_size);
  // A 32-bit build cannot hold more than its address space either.
  const uint64_t limit = std::min<uint64_t>(maxBytes, SIZE_MAX);
  if (size > limit) {
    return refuse("is " + std::to_string(size) + " bytes, over " + std::to_string(limit >> 20) +
                  " MiB");
  }
  bytes->assign(static_cast<size_t>(size), 0);
  size_t done = 0;
  while (done < bytes->size()) {
    const ssize_t got = ::read(file.get(), bytes->data() + done, bytes->size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return refuse(std::string("cannot be read: ") + std::strerror(errno));
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  // A file that shrank while it was read holds what was there.
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
  ::unlink(path.c_str());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (error) *error = path + ": cannot be created: " + std::strerror(errno);
    return file;
  }
  file.handle_ = fd;
  return file;
}

bool OutputFile::Write(const uint8_t* data, size_t size) {
  if (!IsOpen()) return false;
  while (size > 0) {
    const ssize_t put = ::write(static_cast<int>(handle_), data, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data += put;
    size -= static_cast<size_t>(put);
  }
  return true;
}

void OutputFile::Close() {
  if (IsOpen()) ::close(static_cast<int>(handle_));
  handle_ = kNone;
}

bool RenameOnto(const std::string& from, const std::string& to, std::string* error) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  if (error) *error = to + ": cannot be replaced: " + std::strerror(errno);
  return false;
}

void RemoveFile(const std::string& path) { ::unlink(path.c_str()); }

void KillProcess() {
  ::kill(::getpid(), SIGKILL);
  std::_Exit(137);
}

}  // namespace kestrune::sim

namespace kestrune::sim {

device::LockAttempt LockFile(const std::string& path, bool create) {
  using device::LockState;
  const int flags =
      O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (create ? O_CREAT | O_NOFOLLOW : 0);
  const int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) return {};
  struct stat info {};
  if (create && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
    // A file of our own making: anything else planted there is refused.
    ::close(fd);
    return {};
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool held = errno == EWOULDBLOCK;
    ::close(fd);
    return {held ? LockState::kHeldElsewhere : LockState::kFailed, nullptr};
  }
  return {LockState::kTaken, std::make_unique<FileLock>(fd)};
}

void SignalProcess(ProcessSignal signal) {
  const int number = signal == ProcessSignal::kInterrupt   ? SIGINT
                     : signal == ProcessSignal::kTerminate ? SIGTERM
                                                           : SIGHUP;
  // To the process, not this thread: whichever thread takes it may.
  ::kill(::getpid(), number);
}

}  // namespace kestrune::sim
