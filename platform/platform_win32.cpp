#include <windows.h>
// The digest service needs the Windows types first.
#include <bcrypt.h>

// The Win32 headers spell these as macros; the interface's methods carry
// the plain names.
#undef CreateDirectory
#undef DeleteFile
#undef FindResource
#undef GetFileAttributes
#undef GetModuleFileName
#undef GetTempPath
#undef GetWindowsDirectory
#undef GetEnvironmentVariable
#undef MoveFile
#undef SetFileAttributes

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "platform/folder.h"
#include "platform/platform.h"

namespace kestrune::platform {
namespace {

std::string SystemText(DWORD error) { return SystemErrorText(static_cast<int>(error)); }

// The Administrators group SID, freed on every exit.
class AdminSid {
 public:
  AdminSid() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    if (!::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                    0, 0, 0, 0, 0, &sid_)) {
      sid_ = nullptr;
    }
  }
  ~AdminSid() {
    if (sid_ != nullptr) ::FreeSid(sid_);
  }
  AdminSid(const AdminSid&) = delete;
  AdminSid& operator=(const AdminSid&) = delete;
  PSID get() const { return sid_; }

 private:
  PSID sid_ = nullptr;
};

// With a C: folder, a file in the root of C: is the file of that folder
// instead ("C:\\ISP.log" -> "<folder>\\ISP.log"), and the temporary folder
// is the work folder given: one drive of --all keeps its files apart.
class Win32Platform : public Platform {
 public:
  Win32Platform() = default;
  Win32Platform(std::string cDrive, std::string temp, std::function<void(const char*)> debug)
      : cDrive_(std::move(cDrive)), temp_(std::move(temp)), debug_(std::move(debug)) {}

  void DebugOutput(const char* text) override {
    if (text == nullptr) return;
    if (debug_) {
      debug_(text);
    } else {
      ::OutputDebugStringA(text);
    }
  }

  uint32_t GetWindowsDirectory(char* buffer, uint32_t size) override {
    UINT n = ::GetWindowsDirectoryA(buffer, size);
    return n < size ? n : 0;
  }

  uint32_t GetTempPath(char* buffer, uint32_t size) override {
    if (!temp_.empty()) {
      const std::string folder = temp_ + (temp_.back() == '\\' ? "" : "\\");
      if (folder.size() >= size) return 0;
      std::copy(folder.begin(), folder.end(), buffer);
      buffer[folder.size()] = '\0';
      return static_cast<uint32_t>(folder.size());
    }
    DWORD n = ::GetTempPathA(size, buffer);
    return n < size ? n : 0;
  }

  bool FindFile(const std::string& given) override {
    const std::string path = Mapped(given);
    WIN32_FIND_DATAA data;
    HANDLE find = ::FindFirstFileA(path.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return false;
    ::FindClose(find);
    return true;
  }

  bool SetFileAttributes(const std::string& given, uint32_t attributes) override {
    const std::string path = Mapped(given);
    return ::SetFileAttributesA(path.c_str(), attributes) != 0;
  }

  std::optional<uint32_t> GetFileAttributes(const std::string& given) override {
    const std::string path = Mapped(given);
    DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return std::nullopt;
    return attributes;
  }

  bool DeleteFile(const std::string& given) override {
    const std::string path = Mapped(given);
    if (::DeleteFileA(path.c_str())) return true;
    lastError_ = ::GetLastError();
    return false;
  }

  bool CreateDirectory(const std::string& given) override {
    const std::string path = Mapped(given);
    return ::CreateDirectoryA(path.c_str(), nullptr) != 0;
  }

  bool CanOpenForReading(const std::string& given) override {
    const std::string path = Mapped(given);
    HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    ::CloseHandle(handle);
    return true;
  }

  std::unique_ptr<File> OpenFile(const std::string& given, OpenMode mode) override {
    const std::string path = Mapped(given);
    HANDLE handle = INVALID_HANDLE_VALUE;
    switch (mode) {
      case OpenMode::kReadBinary:
        handle = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        break;
      case OpenMode::kWriteBinaryTruncate:
        handle = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        break;
      case OpenMode::kCreateNew:
        // Deletable while open: an interrupt that ends the run removes the
        // temporary file being written, which goes once the handle closes.
        handle = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        break;
    }
    if (handle == INVALID_HANDLE_VALUE) {
      lastError_ = ::GetLastError();
      return nullptr;
    }
    return FileFromSystemHandle(reinterpret_cast<intptr_t>(handle));
  }

  bool MoveFile(const std::string& fromGiven, const std::string& toGiven) override {
    const std::string from = Mapped(fromGiven);
    const std::string to = Mapped(toGiven);
    // Without MOVEFILE_REPLACE_EXISTING an existing name is never replaced.
    if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
    lastError_ = ::GetLastError();
    return false;
  }

  bool ReplaceFile(const std::string& fromGiven, const std::string& toGiven) override {
    const std::string from = Mapped(fromGiven);
    const std::string to = Mapped(toGiven);
    if (::MoveFileExA(from.c_str(), to.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    lastError_ = ::GetLastError();
    return false;
  }

  HeldLock LockFolder(const std::string& folder, uint32_t waitMilliseconds) override {
    // Folders take no lock here: a file inside stands for the folder, held
    // by one handle that shares it with nobody and removes it on close.
    std::string path = Mapped(folder);
    if (!path.empty() && path.back() != '\\' && path.back() != '/' && path.back() != ':') {
      path += '\\';
    }
    path += "kestrune.lock";
    constexpr DWORD kStepMilliseconds = 20;
    for (uint32_t waited = 0;; waited += kStepMilliseconds) {
      HANDLE handle =
          ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY |
                            FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT,
                        nullptr);
      if (handle != INVALID_HANDLE_VALUE) return HeldLock(reinterpret_cast<intptr_t>(handle));
      const DWORD error = ::GetLastError();
      if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) ||
          waited >= waitMilliseconds) {
        lastError_ = error;
        return {};
      }
      ::Sleep(kStepMilliseconds);
    }
  }

  std::string HostPath(const std::string& given) override {
    const std::string path = Mapped(given);
    const DWORD needed = ::GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return path;
    std::vector<char> buffer(needed);
    const DWORD length = ::GetFullPathNameA(path.c_str(), needed, buffer.data(), nullptr);
    if (length == 0 || length >= needed) return path;
    return std::string(buffer.data(), length);
  }

  std::string LastErrorText() override { return SystemText(lastError_); }

  void Sleep(uint32_t milliseconds) override { ::Sleep(milliseconds); }

  bool IsAdministrator() override {
    AdminSid admins;
    if (admins.get() == nullptr) return false;
    BOOL member = FALSE;
    if (!::CheckTokenMembership(nullptr, admins.get(), &member)) return false;
    return member != FALSE;
  }

  std::string GetModuleFileName() override {
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
      DWORD n = ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
      if (n == 0) return {};
      if (n < buffer.size()) return std::string(buffer.data(), n);
      buffer.resize(buffer.size() * 2);
    }
  }

  std::optional<std::span<const uint8_t>> FindResource(const char* type, uint16_t id) override {
    if (type == nullptr) return std::nullopt;
    HRSRC found = ::FindResourceExA(nullptr, type, MAKEINTRESOURCEA(id),
                                    MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_TRADITIONAL));
    if (found == nullptr) found = ::FindResourceA(nullptr, MAKEINTRESOURCEA(id), type);
    if (found == nullptr) return std::nullopt;
    HGLOBAL loaded = ::LoadResource(nullptr, found);
    if (loaded == nullptr) return std::nullopt;
    const void* bytes = ::LockResource(loaded);
    DWORD size = ::SizeofResource(nullptr, found);
    if (bytes == nullptr) return std::nullopt;
    return std::span<const uint8_t>(static_cast<const uint8_t*>(bytes), size);
  }

 private:
  std::string Mapped(const std::string& path) const {
    if (cDrive_.empty() || path.size() < 2 || (path[0] != 'C' && path[0] != 'c') || path[1] != ':') {
      return path;
    }
    std::string rest = path.substr(2);
    while (!rest.empty() && (rest.front() == '\\' || rest.front() == '/')) rest.erase(0, 1);
    // The program keeps its own files in the root of C:; a path deeper in
    // C: is the system's (the temporary folder, a folder of images) and
    // names what it names.
    if (rest.find_first_of("\\/") != std::string::npos) return path;
    return cDrive_ + (cDrive_.back() == '\\' ? "" : "\\") + rest;
  }

  std::string cDrive_;
  std::string temp_;
  std::function<void(const char*)> debug_;
  DWORD lastError_ = 0;
};

}  // namespace

std::unique_ptr<Platform> CreateHostPlatform(const PosixOptions& options) {
  // A C: folder given (the console's --c-drive) stands for C:; without one
  // C: is the system's own.
  return std::make_unique<Win32Platform>(options.cDriveFolder, std::string(), nullptr);
}

std::unique_ptr<Platform> CreateDrivePlatform(const PosixOptions& options,
                                              std::function<void(const char*)> debug) {
  return std::make_unique<Win32Platform>(options.cDriveFolder, options.tempFolder,
                                         std::move(debug));
}

bool PrepareWorkFolder(PosixOptions& options, std::string& problem) {
  // The user's own temporary folder is private on Windows; it only has to
  // be there, or no image can be written into it.
  char folder[MAX_PATH + 1] = {};
  const DWORD length = ::GetTempPathA(sizeof folder, folder);
  if (length == 0 || length >= sizeof folder) {
    problem = "the temporary folder cannot be found";
    return false;
  }
  // Without its last backslash, so that a file of that name is seen as one.
  std::string bare = folder;
  if (bare.size() > 3 && (bare.back() == '\\' || bare.back() == '/')) bare.pop_back();
  const DWORD attributes = ::GetFileAttributesA(bare.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    problem = std::string("the work folder ") + folder + " does not exist";
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    problem = std::string("the work folder ") + folder + " is not a folder";
    return false;
  }
  // The folder each drive of --all works in is made inside it.
  if (options.tempFolder.empty()) options.tempFolder = bare;
  return true;
}

bool PrepareCDriveFolder(PosixOptions& options, std::string&) {
  // Drive C: is the system's own, where each drive of --all keeps a folder
  // of its own.
  if (options.cDriveFolder.empty()) options.cDriveFolder = "C:\\";
  return true;
}

std::optional<std::string> ReadEnvironmentVariable(const char* name) {
  if (name == nullptr) return std::nullopt;
  std::vector<char> value(256);
  for (;;) {
    const DWORD n = ::GetEnvironmentVariableA(name, value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();
    }
    if (n < value.size()) return std::string(value.data(), n);
    value.resize(n);
  }
}

namespace {

// The algorithm provider and the hash object, each closed on every exit.
class HashAlgorithm {
 public:
  HashAlgorithm() {
    if (::BCryptOpenAlgorithmProvider(&handle_, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
      handle_ = nullptr;
    }
  }
  ~HashAlgorithm() {
    if (handle_ != nullptr) ::BCryptCloseAlgorithmProvider(handle_, 0);
  }
  HashAlgorithm(const HashAlgorithm&) = delete;
  HashAlgorithm& operator=(const HashAlgorithm&) = delete;
  BCRYPT_ALG_HANDLE get() const { return handle_; }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

class HashObject {
 public:
  explicit HashObject(BCRYPT_ALG_HANDLE algorithm) {
    if (::BCryptCreateHash(algorithm, &handle_, nullptr, 0, nullptr, 0, 0) != 0) {
      handle_ = nullptr;
    }
  }
  ~HashObject() {
    if (handle_ != nullptr) ::BCryptDestroyHash(handle_);
  }
  HashObject(const HashObject&) = delete;
  HashObject& operator=(const HashObject&) = delete;
  BCRYPT_HASH_HANDLE get() const { return handle_; }

 private:
  BCRYPT_HASH_HANDLE handle_ = nullptr;
};

}  // namespace

std::optional<Sha256Digest> Sha256(std::span<const std::span<const uint8_t>> pieces) {
  HashAlgorithm algorithm;
  if (algorithm.get() == nullptr) return std::nullopt;
  HashObject hash(algorithm.get());
  if (hash.get() == nullptr) return std::nullopt;
  for (const std::span<const uint8_t>& piece : pieces) {
    // BCryptHashData takes at most 4 GiB at a time; the images are far smaller.
    size_t done = 0;
    while (done < piece.size()) {
      const ULONG chunk = static_cast<ULONG>(std::min<size_t>(piece.size() - done, 1u << 30));
      if (::BCryptHashData(hash.get(), const_cast<PUCHAR>(piece.data() + done), chunk, 0) != 0) {
        return std::nullopt;
      }
      done += chunk;
    }
  }
  Sha256Digest digest{};
  if (::BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0) != 0) {
    return std::nullopt;
  }
  return digest;
}

std::optional<Sha256Digest> Sha256OfFile(File& file) {
  HashAlgorithm algorithm;
  if (algorithm.get() == nullptr) return std::nullopt;
  HashObject hash(algorithm.get());
  if (hash.get() == nullptr) return std::nullopt;
  std::vector<uint8_t> step(64 * 1024);
  for (;;) {
    const size_t got = file.Read(step.data(), step.size());
    if (got > 0 && ::BCryptHashData(hash.get(), step.data(), static_cast<ULONG>(got), 0) != 0) {
      return std::nullopt;
    }
    if (got < step.size()) break;
  }
  if (!file.ErrorText().empty()) return std::nullopt;
  Sha256Digest digest{};
  if (::BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0) != 0) {
    return std::nullopt;
  }
  return digest;
}

std::string SystemDescription() {
  // The version the system itself reports, whatever the program's manifest
  // declares: GetVersionEx would answer for the newest system it names.
  using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
  const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  const FARPROC found = ntdll != nullptr ? ::GetProcAddress(ntdll, "RtlGetVersion") : nullptr;
  const auto getVersion = reinterpret_cast<RtlGetVersionFunction>(reinterpret_cast<void*>(found));
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (getVersion == nullptr || getVersion(&info) != 0) return "Windows";
  return "Windows " + std::to_string(info.dwMajorVersion) + "." +
         std::to_string(info.dwMinorVersion) + "." + std::to_string(info.dwBuildNumber);
}

}  // namespace kestrune::platform
