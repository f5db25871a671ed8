#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <openssl/evp.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/posix_platform.h"

namespace kestrune::platform {
namespace {

std::string ErrnoText(int error) { return error == 0 ? std::string() : std::strerror(error); }

// A descriptor owned for the life of the object.
class PosixFile : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { ::close(fd_); }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  size_t Read(void* buffer, size_t size) override {
    size_t done = 0;
    auto* out = static_cast<uint8_t*>(buffer);
    while (done < size) {
      ssize_t n = ::read(fd_, out + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) error_ = errno;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    return done;
  }

  size_t Write(const void* data, size_t size) override {
    size_t done = 0;
    const auto* in = static_cast<const uint8_t*>(data);
    while (done < size) {
      ssize_t n = ::write(fd_, in + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) error_ = errno;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    return done;
  }

  bool Seek(uint64_t offset) override {
    return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
  }

  bool Flush() override {
    if (::fsync(fd_) == 0) return true;
    error_ = errno;
    return false;
  }

  std::string ErrorText() const override { return ErrnoText(error_); }

 private:
  int fd_;
  int error_ = 0;
};

bool IsReadOnlyMode(mode_t mode) { return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

// kestrune-<uid> inside the system's temporary folder: a folder of this
// user's own, so that other users of a shared /tmp cannot reach the images.
std::string DefaultWorkFolder() {
  const char* tmp = std::getenv("TMPDIR");
  const std::string base = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
  return base + (base.back() == '/' ? "" : "/") + "kestrune-" + std::to_string(::geteuid());
}

// Appends `component` to the host folder `base`, matching an existing entry
// without regard to case when there is no exact one. Sets `exists` to
// whether the result names something that exists.
std::string JoinCaseBlind(const std::string& base, const std::string& component, bool& exists) {
  std::string joined =
      base.empty() || base.back() == '/' ? base + component : base + "/" + component;
  struct stat st;
  if (!exists) return joined;
  if (::lstat(joined.c_str(), &st) == 0) return joined;
  DIR* dir = ::opendir(base.empty() ? "/" : base.c_str());
  if (dir != nullptr) {
    while (const dirent* entry = ::readdir(dir)) {
      if (::strcasecmp(entry->d_name, component.c_str()) == 0) {
        joined = (base.empty() || base.back() == '/' ? base : base + "/") + entry->d_name;
        ::closedir(dir);
        return joined;
      }
    }
    ::closedir(dir);
  }
  exists = false;
  return joined;
}

}  // namespace

std::string MapToHostPath(const PosixOptions& options, const std::string& path) {
  std::string rest = path;
  std::string root;
  if (rest.size() >= 2 && rest[1] == ':') {
    char drive = static_cast<char>(rest[0] | 0x20);
    if (drive == 'c') {
      root = options.cDriveFolder.empty() ? "." : options.cDriveFolder;
    } else if (drive == 't') {
      root = options.tempFolder.empty() ? DefaultWorkFolder() : options.tempFolder;
    } else {
      return {};  // no other drive letter exists on this host
    }
    rest.erase(0, 2);
  } else if (!rest.empty() && (rest[0] == '\\' || rest[0] == '/')) {
    root = "/";
  }
  if (root.empty() && rest.empty()) return {};

  std::vector<std::string> parts;
  std::string current;
  for (char c : rest) {
    if (c == '\\' || c == '/') {
      if (!current.empty()) parts.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) parts.push_back(current);

  std::string mapped = root;
  bool exists = true;
  for (const std::string& part : parts) {
    if (part == ".") continue;
    if (part == "..") {
      mapped += mapped.empty() || mapped.back() == '/' ? ".." : "/..";
      continue;
    }
    mapped = JoinCaseBlind(mapped, part, exists);
  }
  return mapped.empty() ? std::string(".") : mapped;
}

bool StatusHasRawIo(std::string_view statusText) {
  constexpr std::string_view kKey = "CapEff:";
  size_t at = statusText.find(kKey);
  if (at == std::string_view::npos) return false;
  std::string hex(statusText.substr(at + kKey.size(), 32));
  char* end = nullptr;
  unsigned long long caps = std::strtoull(hex.c_str(), &end, 16);
  if (end == hex.c_str()) return false;
  return (caps >> 17) & 1u;
}

PosixPlatform::PosixPlatform(PosixOptions options) : options_(std::move(options)) {}

std::string PosixPlatform::Map(const std::string& path) const {
  return MapToHostPath(options_, path);
}

void PosixPlatform::DebugOutput(const char* text) {
  if (options_.debugToStderr && text != nullptr) std::fputs(text, stderr);
}

namespace {
uint32_t CopyOut(const char* text, char* buffer, uint32_t size) {
  size_t length = std::strlen(text);
  if (buffer == nullptr || size == 0 || length + 1 > size) return 0;
  std::memcpy(buffer, text, length + 1);
  return static_cast<uint32_t>(length);
}
}  // namespace

uint32_t PosixPlatform::GetWindowsDirectory(char* buffer, uint32_t size) {
  return CopyOut("C:\\WINDOWS", buffer, size);
}

uint32_t PosixPlatform::GetTempPath(char* buffer, uint32_t size) {
  return CopyOut("T:\\", buffer, size);
}

bool PosixPlatform::FindFile(const std::string& path) {
  std::string host = Map(path);
  if (host.empty()) return false;
  // A link is an entry of its own, as FindFirstFileA sees it, even when it
  // leads nowhere.
  struct stat st;
  if (::lstat(host.c_str(), &st) == 0) return true;
  // A pattern in the last component is matched like FindFirstFileA would.
  size_t slash = host.rfind('/');
  std::string folder = slash == std::string::npos ? "." : host.substr(0, slash == 0 ? 1 : slash);
  std::string pattern = slash == std::string::npos ? host : host.substr(slash + 1);
  if (pattern.find_first_of("*?") == std::string::npos) return false;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    if (::fnmatch(pattern.c_str(), entry->d_name, FNM_CASEFOLD) == 0) {
      found = true;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

bool PosixPlatform::SetFileAttributes(const std::string& path, uint32_t attributes) {
  std::string host = Map(path);
  struct stat st;
  if (host.empty() || ::stat(host.c_str(), &st) != 0) return false;
  mode_t mode = st.st_mode & 07777;
  if (attributes & kFileAttributeReadOnly) {
    mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  } else if (IsReadOnlyMode(mode)) {
    mode |= S_IWUSR;
  }
  if (mode != (st.st_mode & 07777) && ::chmod(host.c_str(), mode) != 0) return false;
  sideAttributes_[host] =
      attributes & (kFileAttributeHidden | kFileAttributeSystem | kFileAttributeArchive);
  return true;
}

std::optional<uint32_t> PosixPlatform::GetFileAttributes(const std::string& path) {
  std::string host = Map(path);
  struct stat st;
  if (host.empty() || ::stat(host.c_str(), &st) != 0) return std::nullopt;
  uint32_t attributes = 0;
  auto side = sideAttributes_.find(host);
  if (side != sideAttributes_.end()) {
    attributes = side->second;
  } else if (!S_ISDIR(st.st_mode)) {
    attributes = kFileAttributeArchive;
  }
  if (S_ISDIR(st.st_mode)) attributes |= kFileAttributeDirectory;
  if (IsReadOnlyMode(st.st_mode)) attributes |= kFileAttributeReadOnly;
  return attributes;
}

bool PosixPlatform::DeleteFile(const std::string& path) {
  std::string host = Map(path);
  struct stat st;
  if (host.empty()) return Fail(ENOENT);
  if (::lstat(host.c_str(), &st) != 0) return Fail(errno);
  if (S_ISDIR(st.st_mode)) return Fail(EISDIR);
  if (IsReadOnlyMode(st.st_mode)) return Fail(EACCES);
  if (::unlink(host.c_str()) != 0) return Fail(errno);
  sideAttributes_.erase(host);
  return true;
}

bool PosixPlatform::CreateDirectory(const std::string& path) {
  std::string host = Map(path);
  return !host.empty() && ::mkdir(host.c_str(), 0777) == 0;
}

bool PosixPlatform::CanOpenForReading(const std::string& path) {
  std::string host = Map(path);
  if (host.empty()) return false;
  int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  ::close(fd);
  return regular;
}

std::unique_ptr<File> PosixPlatform::OpenFile(const std::string& path, OpenMode mode) {
  std::string host = Map(path);
  if (host.empty()) {
    Fail(ENOENT);
    return nullptr;
  }
  struct stat st = {};
  int fd = -1;
  if (mode == OpenMode::kReadBinary) {
    // Opened without blocking, so that a FIFO planted under an image or
    // backup name cannot hang the run; only a regular file is read.
    fd = ::open(host.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 &&
        (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::fcntl(fd, F_SETFL, O_RDONLY) != 0)) {
      const int error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
      ::close(fd);
      Fail(error);
      return nullptr;
    }
  } else {
    if (mode == OpenMode::kWriteBinaryTruncate && ::lstat(host.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) {
        Fail(EISDIR);
        return nullptr;
      }
      // Read-only files are kept, as Windows keeps them.
      if (S_ISREG(st.st_mode) && IsReadOnlyMode(st.st_mode)) {
        Fail(EACCES);
        return nullptr;
      }
      // The name is removed, never written through: a link there is not
      // followed, and a file another writer holds keeps its bytes.
      if (::unlink(host.c_str()) != 0 && errno != ENOENT) {
        Fail(errno);
        return nullptr;
      }
    }
    // Exclusive: a name that came back after the removal is not opened.
    fd = ::open(host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) sideAttributes_.erase(host);
  }
  if (fd < 0) {
    Fail(errno);
    return nullptr;
  }
  return std::make_unique<PosixFile>(fd);
}

bool PosixPlatform::MoveFile(const std::string& from, const std::string& to) {
  const std::string source = Map(from);
  const std::string target = Map(to);
  if (source.empty() || target.empty()) return Fail(ENOENT);
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return Fail(errno);
    // A file system without the flag: a new hard link cannot replace a name
    // either, and the old name goes once the new one stands.
    if (::link(source.c_str(), target.c_str()) != 0) return Fail(errno);
    if (::unlink(source.c_str()) != 0) {
      const int error = errno;
      ::unlink(target.c_str());
      return Fail(error);
    }
  }
  auto side = sideAttributes_.find(source);
  if (side != sideAttributes_.end()) {
    sideAttributes_[target] = side->second;
    sideAttributes_.erase(source);
  }
  return true;
}

bool PosixPlatform::ReplaceFile(const std::string& from, const std::string& to) {
  const std::string source = Map(from);
  const std::string target = Map(to);
  if (source.empty() || target.empty()) return Fail(ENOENT);
  if (::rename(source.c_str(), target.c_str()) != 0) return Fail(errno);
  sideAttributes_.erase(target);
  return true;
}

namespace {

// A folder's descriptor kept open for its flock alone.
class PosixFileLock : public FileLock {
 public:
  explicit PosixFileLock(int fd) : fd_(fd) {}
  ~PosixFileLock() override { ::close(fd_); }
  PosixFileLock(const PosixFileLock&) = delete;
  PosixFileLock& operator=(const PosixFileLock&) = delete;

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<FileLock> PosixPlatform::LockFolder(const std::string& folder,
                                                    uint32_t waitMilliseconds) {
  const std::string host = Map(folder.empty() ? "." : folder);
  if (host.empty()) {
    Fail(ENOENT);
    return nullptr;
  }
  const int fd = ::open(host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    Fail(errno);
    return nullptr;
  }
  constexpr uint32_t kStepMilliseconds = 20;
  for (uint32_t waited = 0;; waited += kStepMilliseconds) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return std::make_unique<PosixFileLock>(fd);
    const int error = errno;
    if ((error != EWOULDBLOCK && error != EINTR) || waited >= waitMilliseconds) {
      ::close(fd);
      Fail(error);
      return nullptr;
    }
    ::usleep(kStepMilliseconds * 1000);
  }
}

std::string PosixPlatform::HostPath(const std::string& path) {
  std::string host = Map(path);
  if (host.empty()) return {};
  namespace fs = std::filesystem;
  std::error_code error;
  fs::path absolute = fs::absolute(fs::path(host), error);
  if (error) return host;
  absolute = absolute.lexically_normal();
  // The folder with its links resolved, the name as it is: the last
  // component is never followed.
  fs::path folder = fs::weakly_canonical(absolute.parent_path(), error);
  if (error) return absolute.string();
  return (folder / absolute.filename()).string();
}

std::string PosixPlatform::LastErrorText() { return ErrnoText(lastError_); }

bool PosixPlatform::Fail(int error) {
  lastError_ = error;
  return false;
}

void PosixPlatform::Sleep(uint32_t milliseconds) {
  slept_ += milliseconds;
  if (!options_.realSleep) return;
  timespec wait{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (::nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

bool PosixPlatform::IsAdministrator() {
  if (::geteuid() == 0) return true;
  std::ifstream status("/proc/self/status");
  if (!status) return false;
  std::stringstream text;
  text << status.rdbuf();
  return StatusHasRawIo(text.str());
}

std::string PosixPlatform::GetModuleFileName() {
  std::vector<char> buffer(4096);
  ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return {};
  std::string path(buffer.data(), static_cast<size_t>(n));
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

std::optional<std::span<const uint8_t>> PosixPlatform::FindResource(const char* type, uint16_t id) {
  if (type == nullptr) return std::nullopt;
  for (const EmbeddedResource& resource : EmbeddedResources()) {
    if (resource.id == id && resource.type != nullptr && ::strcasecmp(resource.type, type) == 0) {
      return std::span<const uint8_t>(resource.data, resource.size);
    }
  }
  return std::nullopt;
}

std::unique_ptr<Platform> CreateHostPlatform(const PosixOptions& options) {
  return std::make_unique<PosixPlatform>(options);
}

bool PrepareWorkFolder(PosixOptions& options, std::string& problem) {
  const bool named = !options.tempFolder.empty();
  const std::string folder = named ? options.tempFolder : DefaultWorkFolder();
  const std::string name = "the work folder " + folder;
  if (!named && ::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    problem = "cannot create " + name + ": " + std::strerror(errno);
    return false;
  }
  // lstat, not stat: a link planted under the folder's name would send
  // every image to wherever it points.
  struct stat st;
  if (::lstat(folder.c_str(), &st) != 0) {
    problem = errno == ENOENT ? name + " does not exist" : name + ": " + std::strerror(errno);
    return false;
  }
  if (S_ISLNK(st.st_mode)) {
    problem = name + " is a symbolic link; it must be a folder of your own";
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    problem = name + " is not a folder";
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    problem = name + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    problem = name + " can be written by other users (mode " + mode + ")";
    return false;
  }
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    problem = name + " cannot be written: " + std::strerror(errno);
    return false;
  }
  options.tempFolder = folder;
  return true;
}

std::optional<std::string> ReadEnvironmentVariable(const char* name) {
  const char* value = name != nullptr ? std::getenv(name) : nullptr;
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::optional<Sha256Digest> Sha256(std::span<const std::span<const uint8_t>> pieces) {
  struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
  };
  std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return std::nullopt;
  for (const std::span<const uint8_t>& piece : pieces) {
    if (EVP_DigestUpdate(context.get(), piece.data(), piece.size()) != 1) return std::nullopt;
  }
  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != digest.size()) {
    return std::nullopt;
  }
  return digest;
}

}  // namespace kestrune::platform
