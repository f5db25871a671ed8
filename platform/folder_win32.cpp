#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "platform/folder.h"

namespace kestrune::platform {
namespace {

HANDLE Handle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// A file handle owned for the life of the object; WriteFile goes to the
// system on every call.
class Win32File : public File {
 public:
  explicit Win32File(HANDLE handle) : handle_(handle) {}
  ~Win32File() override { ::CloseHandle(handle_); }
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;

  size_t Read(void* buffer, size_t size) override {
    size_t done = 0;
    auto* out = static_cast<uint8_t*>(buffer);
    while (done < size) {
      DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
      DWORD got = 0;
      if (!::ReadFile(handle_, out + done, chunk, &got, nullptr)) error_ = ::GetLastError();
      if (got == 0) break;
      done += got;
    }
    return done;
  }

  size_t Write(const void* data, size_t size) override {
    size_t done = 0;
    const auto* in = static_cast<const uint8_t*>(data);
    while (done < size) {
      DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
      DWORD put = 0;
      if (!::WriteFile(handle_, in + done, chunk, &put, nullptr)) error_ = ::GetLastError();
      if (put == 0) break;
      done += put;
    }
    return done;
  }

  bool Seek(uint64_t offset) override {
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    return ::SetFilePointerEx(handle_, distance, nullptr, FILE_BEGIN) != 0;
  }

  bool Flush() override {
    if (::FlushFileBuffers(handle_)) return true;
    error_ = ::GetLastError();
    return false;
  }

  std::string ErrorText() const override { return SystemErrorText(static_cast<int>(error_)); }

 private:
  HANDLE handle_;
  DWORD error_ = 0;
};

// The byte locked: far past the end of any file, so that locking it keeps
// no one from reading the file.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool Failed(int* error, DWORD code) {
  if (error != nullptr) *error = static_cast<int>(code);
  return false;
}

bool IsMissing(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

}  // namespace

std::string SystemErrorText(int error) {
  if (error == 0) return {};
  char* text = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result =
      length != 0 && text != nullptr ? std::string(text, length) : "error " + std::to_string(error);
  if (text != nullptr) ::LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                             result.back() == ' ' || result.back() == '.')) {
    result.pop_back();
  }
  return result;
}

const int kWriteFailed = ERROR_WRITE_FAULT;

std::unique_ptr<File> FileFromSystemHandle(intptr_t handle) {
  return std::make_unique<Win32File>(Handle(handle));
}

FolderOpening Folder::Adopt(intptr_t handle, std::string path, FolderRule rule) {
  FolderOpening opening;
  opening.check.rule = rule;
  opening.folder.reset(new Folder(handle, std::move(path)));
  return opening;
}

FolderOpening Folder::Open(const std::string& path, FolderRule rule) {
  std::string at = path.empty() ? std::string(".") : path;
  // Without its last backslash, so that a file of that name is seen as one.
  while (at.size() > 3 && (at.back() == '\\' || at.back() == '/')) at.pop_back();
  FolderOpening opening;
  opening.check.rule = rule;
  const DWORD attributes = ::GetFileAttributesA(at.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = ::GetLastError();
    opening.check.refusal = IsMissing(code) ? FolderRefusal::kMissing : FolderRefusal::kSystem;
    opening.check.error = static_cast<int>(code);
    return opening;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    opening.check.refusal = FolderRefusal::kNotFolder;
    return opening;
  }
  return Adopt(-1, at, rule);
}

FolderOpening Folder::OpenWalked(const std::string& path, FolderRule rule) {
  return Open(path, rule);
}

Folder::~Folder() {
  if (parent_) {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
}

std::string Folder::PathOf(const std::string& name) const {
  return path_.empty() || path_.back() == '\\' || path_.back() == '/' ? path_ + name
                                                                      : path_ + "\\" + name;
}

FolderOpening Folder::OpenSub(const std::string& name, FolderRule rule, bool create) const {
  if (create && !::CreateDirectoryA(PathOf(name).c_str(), nullptr) &&
      ::GetLastError() != ERROR_ALREADY_EXISTS) {
    FolderOpening opening;
    opening.check.rule = rule;
    opening.check.refusal = FolderRefusal::kCannotCreate;
    opening.check.error = static_cast<int>(::GetLastError());
    return opening;
  }
  return Open(PathOf(name), rule);
}

FolderCheck Folder::Check(FolderRule rule) const {
  FolderOpening opening = Open(path_, rule);
  return opening.check;
}

bool Folder::Writable(int* error) const {
  (void)error;
  return true;
}

void Folder::Sync() const {}

std::optional<std::string> Folder::Find(const std::string& name) const {
  // Names are matched without regard to case by the system itself.
  if (::GetFileAttributesA(PathOf(name).c_str()) == INVALID_FILE_ATTRIBUTES) return std::nullopt;
  return name;
}

bool Folder::AnyMatches(const std::string& pattern) const {
  WIN32_FIND_DATAA data;
  HANDLE find = ::FindFirstFileA(PathOf(pattern).c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  ::FindClose(find);
  return true;
}

std::optional<FolderEntry> Folder::Look(const std::string& name, int* error) const {
  const DWORD attributes = ::GetFileAttributesA(PathOf(name).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    Failed(error, ::GetLastError());
    return std::nullopt;
  }
  FolderEntry entry;
  entry.mode = (attributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  entry.kind = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? FolderEntry::Kind::kLink
               : (attributes & FILE_ATTRIBUTE_DIRECTORY)   ? FolderEntry::Kind::kFolder
                                                           : FolderEntry::Kind::kFile;
  return entry;
}

OpenedFile Folder::OpenForReading(const std::string& name, bool followLink) const {
  OpenedFile opened;
  const std::string path = PathOf(name);
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  const HANDLE handle =
      ::CreateFileA(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD cause = ::GetLastError();
    opened.error = static_cast<int>(cause);
    if (IsMissing(cause)) {
      opened.status = ReadStatus::kMissing;
      return opened;
    }
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    opened.why = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
                     ? "is a directory, not a file"
                     : "cannot be opened: " + SystemErrorText(opened.error);
    return opened;
  }
  std::unique_ptr<File> file = FileFromSystemHandle(reinterpret_cast<intptr_t>(handle));
  // Pipes, consoles and devices open like files; only a disk file is one.
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    opened.why = "is a device, not a file";
  } else if (!::GetFileInformationByHandle(handle, &info)) {
    opened.error = static_cast<int>(::GetLastError());
    opened.why = SystemErrorText(opened.error);
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    opened.error = ERROR_DIRECTORY;
    opened.why = "is a directory, not a file";
  } else if (!followLink && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    opened.why = "is a symbolic link";
  } else {
    opened.status = ReadStatus::kRead;
    opened.size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    opened.file = std::move(file);
  }
  return opened;
}

uint32_t Folder::KeptMode(const std::string&, uint32_t mode) const { return mode; }

// Windows files take the folder's access rules; `mode` has no meaning here.
std::unique_ptr<File> Folder::CreateFresh(const std::string& name, int* error, uint32_t) const {
  ::DeleteFileA(PathOf(name).c_str());
  // Sharing delete lets the finished file be renamed while it stays open;
  // others may open it as they could on POSIX systems.
  const HANDLE handle = ::CreateFileA(PathOf(name).c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    Failed(error, ::GetLastError());
    return nullptr;
  }
  return FileFromSystemHandle(reinterpret_cast<intptr_t>(handle));
}

OpenedFile Folder::OpenForAppending(const std::string& name, uint32_t) const {
  OpenedFile opened;
  const std::string path = PathOf(name);
  // FILE_APPEND_DATA alone: every write lands at the end of the file.
  const HANDLE handle =
      ::CreateFileA(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    opened.error = static_cast<int>(::GetLastError());
    opened.why = "cannot be opened: " + SystemErrorText(opened.error);
    return opened;
  }
  std::unique_ptr<File> file = FileFromSystemHandle(reinterpret_cast<intptr_t>(handle));
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    opened.why = "is a device, not a file";
  } else if (!::GetFileInformationByHandle(handle, &info)) {
    opened.error = static_cast<int>(::GetLastError());
    opened.why = SystemErrorText(opened.error);
  } else if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
    opened.why = "is a link or a directory, not a file";
  } else if (info.nNumberOfLinks > 1) {
    opened.why = "has another name as well (a hard link)";
  } else {
    opened.status = ReadStatus::kRead;
    opened.size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    opened.file = std::move(file);
  }
  return opened;
}

std::unique_ptr<File> Folder::CreateNew(const std::string& name, int* error, uint32_t) const {
  // Deletable while open: an interrupt that ends the run removes the
  // temporary file being written, which goes once the handle closes.
  const HANDLE handle = ::CreateFileA(PathOf(name).c_str(), GENERIC_WRITE, FILE_SHARE_DELETE,
                                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    Failed(error, ::GetLastError());
    return nullptr;
  }
  return FileFromSystemHandle(reinterpret_cast<intptr_t>(handle));
}

bool Folder::RenameOnto(const std::string& from, const Folder& target, const std::string& to,
                        int* error) const {
  if (::MoveFileExA(PathOf(from).c_str(), target.PathOf(to).c_str(), MOVEFILE_REPLACE_EXISTING)) {
    return true;
  }
  return Failed(error, ::GetLastError());
}

bool Folder::RenameNew(const std::string& from, const Folder& target, const std::string& to,
                       int* error) const {
  // Without MOVEFILE_REPLACE_EXISTING an existing name is never replaced.
  if (::MoveFileExA(PathOf(from).c_str(), target.PathOf(to).c_str(), MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  return Failed(error, ::GetLastError());
}

bool Folder::Remove(const std::string& name, int* error) const {
  if (::DeleteFileA(PathOf(name).c_str())) return true;
  return Failed(error, ::GetLastError());
}

bool Folder::MakeFolder(const std::string& name, int* error) const {
  if (::CreateDirectoryA(PathOf(name).c_str(), nullptr)) return true;
  return Failed(error, ::GetLastError());
}

bool Folder::SetMode(const std::string& name, uint32_t mode, int* error) const {
  const std::string path = PathOf(name);
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Failed(error, ::GetLastError());
  const DWORD wanted = (mode & 0222) != 0 ? attributes & ~DWORD{FILE_ATTRIBUTE_READONLY}
                                          : attributes | FILE_ATTRIBUTE_READONLY;
  if (::SetFileAttributesA(path.c_str(), wanted)) return true;
  return Failed(error, ::GetLastError());
}

LockAttempt Folder::Lock(const std::string& name, bool create) const {
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | (create ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  const HANDLE handle = ::CreateFileA(PathOf(name).c_str(), GENERIC_READ, kShareAll, nullptr,
                                      create ? OPEN_ALWAYS : OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return {};
  HeldLock lock(reinterpret_cast<intptr_t>(handle));
  if (create) {
    // A file of our own making: a device or a link planted there is refused.
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
      return {};
    }
  }
  OVERLAPPED at{};
  at.OffsetHigh = kLockOffsetHigh;
  if (!::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    const bool held = ::GetLastError() == ERROR_LOCK_VIOLATION;
    return {held ? LockState::kHeldElsewhere : LockState::kFailed, {}};
  }
  return {LockState::kTaken, std::move(lock)};
}

LockAttempt Folder::LockItself() const { return {}; }

std::string Folder::LockHolder() const { return {}; }

}  // namespace kestrune::platform
