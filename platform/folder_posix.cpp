#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/folder.h"

namespace kestrune::platform {
namespace {

int Fd(intptr_t handle) { return static_cast<int>(handle); }

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
      const ssize_t n = ::read(fd_, out + done, size - done);
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
      const ssize_t n = ::write(fd_, in + done, size - done);
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

  std::string ErrorText() const override { return SystemErrorText(error_); }

  std::optional<FileOwner> OtherOwner() const override {
    struct stat st {};
    // An owner that cannot be told is nobody's to trust.
    if (::fstat(fd_, &st) != 0) return FileOwner{UINT32_MAX, "an owner the system does not tell"};
    if (st.st_uid == ::geteuid() || st.st_uid == 0) return std::nullopt;
    FileOwner owner{static_cast<uint32_t>(st.st_uid), "uid " + std::to_string(st.st_uid)};
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::vector<char> room(16384);
    if (::getpwuid_r(st.st_uid, &entry, room.data(), room.size(), &found) == 0 &&
        found != nullptr && found->pw_name != nullptr) {
      owner.name = "user " + std::string(found->pw_name) + " (" + owner.name + ")";
    }
    return owner;
  }

 private:
  int fd_;
  int error_ = 0;
};

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "is a directory";
  if (S_ISFIFO(mode)) return "is a FIFO";
  if (S_ISSOCK(mode)) return "is a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device";
  if (S_ISLNK(mode)) return "is a symbolic link";
  return "is not a regular file";
}

FolderCheck CheckStatus(const struct stat& st, FolderRule rule) {
  FolderCheck check;
  check.rule = rule;
  check.owner = st.st_uid;
  check.mode = st.st_mode & 07777;
  const bool writableByOthers = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  const uid_t user = ::geteuid();
  if (!S_ISDIR(st.st_mode)) {
    check.refusal = FolderRefusal::kNotFolder;
  } else if (rule == FolderRule::kShared) {
    // In a folder others may write, only the sticky bit keeps them from
    // renaming or removing this user's files.
    if (writableByOthers && (st.st_mode & S_ISVTX) == 0) {
      check.refusal = FolderRefusal::kWritableByOthers;
    }
  } else if (rule == FolderRule::kPrivate || rule == FolderRule::kOwn) {
    const bool owned = st.st_uid == user || (rule == FolderRule::kPrivate && st.st_uid == 0);
    if (!owned) {
      check.refusal = FolderRefusal::kOtherOwner;
    } else if (writableByOthers) {
      check.refusal = FolderRefusal::kWritableByOthers;
    }
  }
  return check;
}

// Why opening the folder `name` in `dirfd` failed with `error`.
FolderOpening RefusedOpening(int dirfd, const char* name, int error, FolderRule rule) {
  FolderOpening opening;
  opening.check.rule = rule;
  struct stat st {};
  if (error == ENOENT) {
    opening.check.refusal = FolderRefusal::kMissing;
  } else if (error == ELOOP ||
             (error == ENOTDIR && ::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
              S_ISLNK(st.st_mode))) {
    opening.check.refusal = FolderRefusal::kLink;
  } else if (error == ENOTDIR) {
    opening.check.refusal = FolderRefusal::kNotFolder;
  } else {
    opening.check.refusal = FolderRefusal::kSystem;
    opening.check.error = error;
  }
  return opening;
}

// Where the descriptor really is, for messages; `given` when the system
// cannot say.
std::string ShownPath(int fd, const std::string& given) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  std::string target(4096, '\0');
  const ssize_t n = ::readlink(link, target.data(), target.size());
  if (n > 0 && static_cast<size_t>(n) < target.size() && target[0] == '/') {
    target.resize(static_cast<size_t>(n));
    return target;
  }
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(given, error);
  return error ? given : absolute.lexically_normal().string();
}

// A name inside one folder: no separator, not the folder or its parent.
bool PlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool Failed(int* error, int code) {
  if (error != nullptr) *error = code;
  return false;
}

// The names in the folder, "." and ".." left out; empty when it cannot be
// read. The folder is read through a descriptor of its own, opened on the
// folder itself, so that no path is looked up again.
std::vector<std::string> Names(int dirfd) {
  std::vector<std::string> names;
  const int fd = ::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return names;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return names;
  }
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  ::closedir(dir);
  return names;
}

// Removes everything in the folder, never following a link; a folder of
// one run holds two levels at most, and deeper trees are left as they are.
void RemoveContents(int dirfd, int depth) {
  for (const std::string& name : Names(dirfd)) {
    struct stat st {};
    if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (depth >= 4) continue;
      const int sub =
          ::openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0) continue;
      RemoveContents(sub, depth + 1);
      ::close(sub);
      ::unlinkat(dirfd, name.c_str(), AT_REMOVEDIR);
    } else {
      ::unlinkat(dirfd, name.c_str(), 0);
    }
  }
}

}  // namespace

std::string SystemErrorText(int error) { return error == 0 ? std::string() : std::strerror(error); }

namespace {

// Fills `st` for the file open at `fd`; false, with the reason in `opened`,
// when it cannot be told or is not a regular file.
bool RegularFileOpen(int fd, struct stat& st, OpenedFile& opened) {
  if (::fstat(fd, &st) != 0) {
    opened.error = errno;
    opened.why = SystemErrorText(opened.error);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    opened.error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    opened.why = std::string(KindOf(st.st_mode)) + ", not a file";
    return false;
  }
  return true;
}

}  // namespace

const int kWriteFailed = EIO;

std::unique_ptr<File> FileFromSystemHandle(intptr_t handle) {
  return std::make_unique<PosixFile>(Fd(handle));
}

FolderOpening Folder::Adopt(intptr_t handle, std::string path, FolderRule rule) {
  FolderOpening opening;
  struct stat st {};
  if (::fstat(Fd(handle), &st) != 0) {
    opening.check.rule = rule;
    opening.check.refusal = FolderRefusal::kSystem;
    opening.check.error = errno;
  } else {
    opening.check = CheckStatus(st, rule);
  }
  if (opening.check.refusal != FolderRefusal::kNone) {
    ::close(Fd(handle));
    return opening;
  }
  opening.folder.reset(new Folder(handle, std::move(path)));
  return opening;
}

FolderOpening Folder::Open(const std::string& path, FolderRule rule) {
  // A slash at the end would make the system follow a link at the name.
  std::string at = path.empty() ? std::string(".") : path;
  while (at.size() > 1 && at.back() == '/') at.pop_back();
  const int flags =
      O_RDONLY | O_DIRECTORY | O_CLOEXEC | (rule == FolderRule::kFollowed ? 0 : O_NOFOLLOW);
  const int fd = ::open(at.c_str(), flags);
  if (fd < 0) return RefusedOpening(AT_FDCWD, at.c_str(), errno, rule);
  return Adopt(fd, ShownPath(fd, at), rule);
}

FolderOpening Folder::OpenWalked(const std::string& path, FolderRule rule) {
  const std::string given = path.empty() ? std::string(".") : path;
  // The names still to walk, the next one last.
  std::vector<std::string> pending;
  const auto push = [&pending](const std::string& text) {
    std::vector<std::string> parts;
    size_t from = 0;
    while (from <= text.size()) {
      const size_t to = std::min(text.find('/', from), text.size());
      if (to > from) parts.push_back(text.substr(from, to - from));
      from = to + 1;
    }
    pending.insert(pending.end(), parts.rbegin(), parts.rend());
  };
  const auto join = [](const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder.back() == '/' ? folder + name : folder + "/" + name;
  };
  push(given);
  int fd = ::open(given[0] == '/' ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return RefusedOpening(AT_FDCWD, ".", errno, rule);
  std::string shown = given[0] == '/' ? "/" : ".";
  const uid_t user = ::geteuid();
  // As the system itself gives up on a path of more links than this.
  constexpr int kMostLinks = 40;
  int links = 0;
  const auto refuse = [&fd](FolderOpening opening, std::string at) {
    ::close(fd);
    opening.check.at = std::move(at);
    return opening;
  };
  while (!pending.empty()) {
    const std::string name = pending.back();
    pending.pop_back();
    if (name == ".") continue;
    // Whoever may write the folder reached so far may swap what comes next
    // in it between this look and the next.
    struct stat folder {};
    if (::fstat(fd, &folder) != 0) return refuse(RefusedOpening(fd, ".", errno, rule), shown);
    if ((folder.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (folder.st_mode & S_ISVTX) == 0) {
      FolderOpening opening;
      opening.check = CheckStatus(folder, FolderRule::kShared);
      return refuse(opening, shown);
    }
    const std::string here = join(shown, name);
    struct stat st {};
    if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      FolderOpening opening = RefusedOpening(fd, name.c_str(), errno, rule);
      ::close(fd);
      return opening;
    }
    if (S_ISLNK(st.st_mode)) {
      if (st.st_uid != user && st.st_uid != 0) {
        FolderOpening opening;
        opening.check.rule = rule;
        opening.check.refusal = FolderRefusal::kLink;
        opening.check.owner = st.st_uid;
        return refuse(opening, here);
      }
      std::string target(4096, '\0');
      const ssize_t n = ::readlinkat(fd, name.c_str(), target.data(), target.size());
      if (n <= 0 || static_cast<size_t>(n) >= target.size() || ++links > kMostLinks) {
        FolderOpening opening;
        opening.check.rule = rule;
        opening.check.refusal = FolderRefusal::kSystem;
        opening.check.error = n < 0 ? errno : ELOOP;
        return refuse(opening, here);
      }
      target.resize(static_cast<size_t>(n));
      if (target[0] == '/') {
        const int root = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (root < 0) return refuse(RefusedOpening(AT_FDCWD, "/", errno, rule), "/");
        ::close(fd);
        fd = root;
        shown = "/";
      }
      push(target);
      continue;
    }
    const int sub = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0) {
      FolderOpening opening = RefusedOpening(fd, name.c_str(), errno, rule);
      ::close(fd);
      return opening;
    }
    ::close(fd);
    fd = sub;
    shown = here;
  }
  return Adopt(fd, ShownPath(fd, given), rule);
}

Folder::~Folder() {
  const int fd = Fd(handle_);
  if (parent_) {
    RemoveContents(fd, 0);
    // Only while the name still stands for this very folder.
    struct stat own {};
    struct stat named {};
    if (::fstat(fd, &own) == 0 &&
        ::fstatat(Fd(parent_->handle_), name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        own.st_dev == named.st_dev && own.st_ino == named.st_ino) {
      ::unlinkat(Fd(parent_->handle_), name_.c_str(), AT_REMOVEDIR);
    }
  }
  ::close(fd);
}

std::string Folder::PathOf(const std::string& name) const {
  return path_.empty() || path_.back() == '/' ? path_ + name : path_ + "/" + name;
}

FolderOpening Folder::OpenSub(const std::string& name, FolderRule rule, bool create) const {
  const int fd = Fd(handle_);
  if (!PlainName(name)) return RefusedOpening(fd, ".", EINVAL, rule);
  if (create && ::mkdirat(fd, name.c_str(), 0700) != 0 && errno != EEXIST) {
    FolderOpening opening;
    opening.check.rule = rule;
    opening.check.refusal = FolderRefusal::kCannotCreate;
    opening.check.error = errno;
    return opening;
  }
  const int flags =
      O_RDONLY | O_DIRECTORY | O_CLOEXEC | (rule == FolderRule::kFollowed ? 0 : O_NOFOLLOW);
  const int sub = ::openat(fd, name.c_str(), flags);
  if (sub < 0) return RefusedOpening(fd, name.c_str(), errno, rule);
  return Adopt(sub, PathOf(name), rule);
}

FolderCheck Folder::Check(FolderRule rule) const {
  struct stat st {};
  if (::fstat(Fd(handle_), &st) == 0) return CheckStatus(st, rule);
  FolderCheck check;
  check.rule = rule;
  check.refusal = FolderRefusal::kSystem;
  check.error = errno;
  return check;
}

bool Folder::Writable(int* error) const {
  if (::faccessat(Fd(handle_), ".", W_OK | X_OK, 0) == 0) return true;
  return Failed(error, errno);
}

std::optional<std::string> Folder::Find(const std::string& name) const {
  if (!PlainName(name)) return std::nullopt;
  struct stat st {};
  if (::fstatat(Fd(handle_), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return name;
  for (const std::string& entry : Names(Fd(handle_))) {
    if (::strcasecmp(entry.c_str(), name.c_str()) != 0) continue;
    // A name that differs from ours only in case stands for ours only when
    // it is this user's (or root's): another user's is never renamed, read
    // or written as if it were the program's own file.
    struct stat other {};
    if (::fstatat(Fd(handle_), entry.c_str(), &other, AT_SYMLINK_NOFOLLOW) == 0 &&
        other.st_uid != ::geteuid() && other.st_uid != 0) {
      continue;
    }
    return entry;
  }
  return std::nullopt;
}

bool Folder::AnyMatches(const std::string& pattern) const {
  const std::vector<std::string> names = Names(Fd(handle_));
  return std::any_of(names.begin(), names.end(), [&pattern](const std::string& name) {
    return ::fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD) == 0;
  });
}

std::optional<FolderEntry> Folder::Look(const std::string& name, int* error) const {
  struct stat st {};
  if (::fstatat(Fd(handle_), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    Failed(error, errno);
    return std::nullopt;
  }
  FolderEntry entry;
  entry.mode = st.st_mode & 07777;
  entry.kind = S_ISREG(st.st_mode)   ? FolderEntry::Kind::kFile
               : S_ISDIR(st.st_mode) ? FolderEntry::Kind::kFolder
               : S_ISLNK(st.st_mode) ? FolderEntry::Kind::kLink
                                     : FolderEntry::Kind::kOther;
  return entry;
}

OpenedFile Folder::OpenForReading(const std::string& name, bool followLink) const {
  OpenedFile opened;
  const int dirfd = Fd(handle_);
  const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
  const int fd = ::openat(dirfd, name.c_str(), flags);
  if (fd < 0) {
    opened.error = errno;
    if (opened.error == ENOENT) {
      opened.status = ReadStatus::kMissing;
      return opened;
    }
    struct stat st {};
    if (opened.error == ELOOP && !followLink) {
      opened.why = "is a symbolic link";
    } else if (opened.error == ENXIO &&
               ::fstatat(dirfd, name.c_str(), &st, followLink ? 0 : AT_SYMLINK_NOFOLLOW) == 0) {
      // A socket cannot be opened at all; say what the name is.
      opened.why = KindOf(st.st_mode);
    } else {
      opened.why = "cannot be opened: " + SystemErrorText(opened.error);
    }
    return opened;
  }
  auto file = std::make_unique<PosixFile>(fd);
  struct stat st {};
  if (!RegularFileOpen(fd, st, opened)) return opened;
  // Reads of the file itself wait as reads of a file do.
  ::fcntl(fd, F_SETFL, O_RDONLY);
  opened.status = ReadStatus::kRead;
  opened.size = static_cast<uint64_t>(st.st_size);
  opened.file = std::move(file);
  return opened;
}

OpenedFile Folder::OpenForAppending(const std::string& name, uint32_t mode) const {
  OpenedFile opened;
  if (!PlainName(name)) {
    opened.error = EINVAL;
    opened.why = "cannot be opened: " + SystemErrorText(opened.error);
    return opened;
  }
  const int dirfd = Fd(handle_);
  // Without O_NONBLOCK a FIFO with no reader would hold the run here.
  const int flags = O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  const int fd = ::openat(dirfd, name.c_str(), flags, static_cast<mode_t>(mode));
  if (fd < 0) {
    opened.error = errno;
    struct stat st {};
    // A link of another user in a sticky folder is refused by the system
    // itself (protected symlinks) before O_NOFOLLOW is looked at.
    const bool there = ::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (opened.error == ELOOP || (there && S_ISLNK(st.st_mode))) {
      opened.why = "is a symbolic link";
    } else if (there && !S_ISREG(st.st_mode)) {
      opened.why = std::string(KindOf(st.st_mode)) + ", not a file";
    } else {
      opened.why = "cannot be opened: " + SystemErrorText(opened.error);
    }
    return opened;
  }
  auto file = std::make_unique<PosixFile>(fd);
  struct stat st {};
  if (!RegularFileOpen(fd, st, opened)) return opened;
  if (st.st_uid != ::geteuid()) {
    opened.error = EPERM;
    opened.why = "belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    return opened;
  }
  if (st.st_nlink > 1) {
    opened.error = EMLINK;
    opened.why = "has another name as well (a hard link)";
    return opened;
  }
  // Appends to the file itself wait as writes to a file do.
  ::fcntl(fd, F_SETFL, O_WRONLY | O_APPEND);
  opened.status = ReadStatus::kRead;
  opened.size = static_cast<uint64_t>(st.st_size);
  opened.file = std::move(file);
  return opened;
}

std::unique_ptr<File> Folder::CreateFresh(const std::string& name, int* error,
                                          uint32_t mode) const {
  if (!PlainName(name)) {
    Failed(error, EINVAL);
    return nullptr;
  }
  const uint32_t kept = KeptMode(name, mode);
  // The name is removed, never written through.
  if (::unlinkat(Fd(handle_), name.c_str(), 0) != 0 && errno != ENOENT) {
    Failed(error, errno);
    return nullptr;
  }
  return CreateNew(name, error, kept);
}

uint32_t Folder::KeptMode(const std::string& name, uint32_t mode) const {
  const std::optional<FolderEntry> entry = Look(name, nullptr);
  if (!entry || entry->kind != FolderEntry::Kind::kFile) return mode;
  return mode & entry->mode & 0777;
}

std::unique_ptr<File> Folder::CreateNew(const std::string& name, int* error, uint32_t mode) const {
  if (!PlainName(name)) {
    Failed(error, EINVAL);
    return nullptr;
  }
  const int fd =
      ::openat(Fd(handle_), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
               static_cast<mode_t>(mode));
  if (fd < 0) {
    Failed(error, errno);
    return nullptr;
  }
  return std::make_unique<PosixFile>(fd);
}

void Folder::Sync() const { ::fsync(Fd(handle_)); }

bool Folder::RenameOnto(const std::string& from, const Folder& target, const std::string& to,
                        int* error) const {
  if (::renameat(Fd(handle_), from.c_str(), Fd(target.handle_), to.c_str()) == 0) return true;
  return Failed(error, errno);
}

bool Folder::RenameNew(const std::string& from, const Folder& target, const std::string& to,
                       int* error) const {
  const int source = Fd(handle_);
  const int destination = Fd(target.handle_);
  if (::renameat2(source, from.c_str(), destination, to.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return Failed(error, errno);
  // A file system without the flag: a new hard link cannot replace a name
  // either, and the old name goes once the new one stands.
  if (::linkat(source, from.c_str(), destination, to.c_str(), 0) != 0) return Failed(error, errno);
  if (::unlinkat(source, from.c_str(), 0) != 0) {
    const int cause = errno;
    ::unlinkat(destination, to.c_str(), 0);
    return Failed(error, cause);
  }
  return true;
}

bool Folder::Remove(const std::string& name, int* error) const {
  if (::unlinkat(Fd(handle_), name.c_str(), 0) == 0) return true;
  return Failed(error, errno);
}

bool Folder::MakeFolder(const std::string& name, int* error) const {
  if (!PlainName(name)) return Failed(error, EINVAL);
  if (::mkdirat(Fd(handle_), name.c_str(), 0700) == 0) return true;
  return Failed(error, errno);
}

bool Folder::SetMode(const std::string& name, uint32_t mode, int* error) const {
  if (::fchmodat(Fd(handle_), name.c_str(), static_cast<mode_t>(mode), AT_SYMLINK_NOFOLLOW) == 0) {
    return true;
  }
  return Failed(error, errno);
}

LockAttempt Folder::Lock(const std::string& name, bool create) const {
  const int flags =
      O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (create ? O_CREAT | O_NOFOLLOW : 0);
  const int fd = ::openat(Fd(handle_), name.c_str(), flags, 0644);
  if (fd < 0) return {};
  HeldLock lock(fd);
  struct stat st {};
  // A file of our own making: anything else planted there is refused.
  if (create && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) return {};
  return LockExclusively(std::move(lock), fd);
}

LockAttempt Folder::LockItself() const {
  // An open of its own, not a copy of the folder's descriptor: a lock taken
  // through a copy belongs to the folder's open and outlives the copy, so
  // a later run through another open of the same folder would wait for it
  // as long as this folder object lives.
  const int fd = ::openat(Fd(handle_), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return {};
  return LockExclusively(HeldLock(fd), fd);
}

std::string Folder::LockHolder() const {
  struct stat st {};
  if (::fstat(Fd(handle_), &st) != 0) return {};
  // /proc/locks: "1: FLOCK  ADVISORY  WRITE 4242 08:01:1234 0 EOF", the
  // device's major and minor number in hex and the inode in decimal.
  char id[64];
  std::snprintf(id, sizeof id, "%02x:%02x:%llu", ::major(st.st_dev), ::minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, advisory, access, pid, where;
    if (!(fields >> number >> kind)) continue;
    // A lock waited for is shown as "-> FLOCK ...", with one field more.
    if (kind == "->") fields >> kind;
    if (kind != "FLOCK" || !(fields >> advisory >> access >> pid >> where) || where != id) {
      continue;
    }
    std::string holder;
    struct stat process {};
    if (::stat(("/proc/" + pid).c_str(), &process) == 0) {
      struct passwd entry {};
      struct passwd* found = nullptr;
      char names[1024];
      const bool named =
          ::getpwuid_r(process.st_uid, &entry, names, sizeof names, &found) == 0 && found;
      holder = "user " + (named ? std::string(found->pw_name) + " " : std::string()) + "(uid " +
               std::to_string(process.st_uid) + "), ";
    }
    std::string command;
    std::getline(std::ifstream("/proc/" + pid + "/comm"), command);
    return holder + "process " + (command.empty() ? "" : command + " ") + "(pid " + pid + ")";
  }
  return {};
}

}  // namespace kestrune::platform
