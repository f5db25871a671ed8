#include <fcntl.h>
#include <openssl/evp.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/utsname.h>
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

bool IsReadOnlyMode(uint32_t mode) { return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

// The system folder that holds the default work folder.
std::string TemporaryBase() {
  const char* tmp = std::getenv("TMPDIR");
  std::string base = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base;
}

std::string DefaultWorkName() { return "kestrune-" + std::to_string(::geteuid()); }

// kestrune-<uid> inside the system's temporary folder: a folder of this
// user's own, so that other users of a shared /tmp cannot reach the images.
std::string DefaultWorkFolder() {
  const std::string base = TemporaryBase();
  return base + (base == "/" ? "" : "/") + DefaultWorkName();
}

// The components of a program path after its drive, "." left out.
std::vector<std::string> Components(const std::string& rest) {
  std::vector<std::string> parts;
  std::string current;
  for (const char c : rest) {
    if (c == '\\' || c == '/') {
      if (!current.empty() && current != ".") parts.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty() && current != ".") parts.push_back(current);
  return parts;
}

// The system's code for a folder that was refused.
int ErrorOf(const FolderCheck& check) {
  switch (check.refusal) {
    case FolderRefusal::kNone:
      return 0;
    case FolderRefusal::kMissing:
      return ENOENT;
    case FolderRefusal::kLink:
      return ELOOP;
    case FolderRefusal::kNotFolder:
      return ENOTDIR;
    case FolderRefusal::kOtherOwner:
    case FolderRefusal::kWritableByOthers:
      return EACCES;
    case FolderRefusal::kCannotCreate:
    case FolderRefusal::kSystem:
      return check.error;
  }
  return EACCES;
}

FolderOpening RefusedFor(int error, FolderRule rule) {
  FolderOpening opening;
  opening.check.rule = rule;
  opening.check.error = error;
  opening.check.refusal = error == ENOENT    ? FolderRefusal::kMissing
                          : error == ELOOP   ? FolderRefusal::kLink
                          : error == ENOTDIR ? FolderRefusal::kNotFolder
                                             : FolderRefusal::kSystem;
  return opening;
}

}  // namespace

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

std::shared_ptr<Folder> PosixPlatform::Root(bool cDrive, int& error) {
  std::shared_ptr<Folder>& held = cDrive ? options_.cDrive : options_.work;
  if (held) return held;
  const std::string path = cDrive                        ? options_.cDriveFolder
                           : options_.tempFolder.empty() ? DefaultWorkFolder()
                                                         : options_.tempFolder;
  FolderOpening opening = Folder::Open(path, cDrive ? FolderRule::kShared : FolderRule::kPrivate);
  if (!opening.folder) {
    error = ErrorOf(opening.check);
    return nullptr;
  }
  held = std::move(opening.folder);
  return held;
}

PosixPlatform::Place PosixPlatform::Locate(const std::string& path) {
  Place place;
  std::string rest = path;
  std::shared_ptr<Folder> folder;
  const bool drive = rest.size() >= 2 && rest[1] == ':';
  if (drive) {
    const char letter = static_cast<char>(rest[0] | 0x20);
    if (letter != 'c' && letter != 't') {
      place.error = ENOENT;  // no other drive letter exists on this host
      return place;
    }
    const bool cDrive = letter == 'c';
    place.text = cDrive ? (options_.cDriveFolder.empty() ? "." : options_.cDriveFolder)
                 : options_.tempFolder.empty() ? DefaultWorkFolder()
                                               : options_.tempFolder;
    folder = Root(cDrive, place.error);
    rest.erase(0, 2);
  }
  const std::vector<std::string> parts = Components(rest);
  if (!drive) {
    // A path of the host's own, named by the user or the system: links on
    // its way are followed, the last component is looked at as it is.
    const bool absolute = !rest.empty() && (rest[0] == '\\' || rest[0] == '/');
    if (!absolute && parts.empty()) {
      place.error = ENOENT;
      return place;
    }
    std::string folderText = absolute ? "/" : "";
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
      folderText += (folderText.empty() || folderText.back() == '/' ? "" : "/") + parts[i];
    }
    place.text = folderText;
    if (parts.empty()) {
      place.folder = Folder::Open("/", FolderRule::kFollowed).folder;
      if (!place.folder) place.error = ENOENT;
      return place;
    }
    FolderOpening opening =
        Folder::Open(folderText.empty() ? "." : folderText, FolderRule::kFollowed);
    folder = opening.folder;
    if (!folder) place.error = ErrorOf(opening.check);
    const std::string& leaf = parts.back();
    place.name = folder ? folder->Find(leaf).value_or(leaf) : leaf;
    place.text += (place.text.empty() || place.text.back() == '/' ? "" : "/") + place.name;
    place.folder = std::move(folder);
    return place;
  }
  // Below the C: folder and the work folder every component is opened in
  // turn, relative to the one before, and none may be a link.
  for (size_t i = 0; i < parts.size(); ++i) {
    const std::string& part = parts[i];
    std::string name = part;
    if (part == "..") {
      if (folder) place.error = EACCES;  // nothing above the folder is reached
      folder.reset();
    } else if (folder) {
      name = folder->Find(part).value_or(part);
    }
    place.text += "/" + name;
    if (i + 1 == parts.size()) {
      place.name = name;
      break;
    }
    if (folder) {
      FolderOpening sub = folder->OpenSub(name, FolderRule::kNoLink, false);
      folder = std::move(sub.folder);
      if (!folder) place.error = ErrorOf(sub.check);
    }
  }
  place.folder = std::move(folder);
  return place;
}

std::string MapToHostPath(const PosixOptions& options, const std::string& path) {
  PosixPlatform platform(options);
  return platform.Locate(path).text;
}

void PosixPlatform::DebugOutput(const char* text) {
  if (!options_.debugToStderr || text == nullptr) return;
  std::fputs(text, stderr);
  // Each message is a line of its own, as a debugger shows it.
  const size_t length = std::strlen(text);
  if (length == 0 || text[length - 1] != '\n') std::fputc('\n', stderr);
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
  const Place place = Locate(path);
  if (!place.folder) return false;
  // A link is an entry of its own, as FindFirstFileA sees it, even when it
  // leads nowhere.
  if (place.name.empty() || place.folder->Look(place.name, nullptr)) return true;
  // A pattern in the last component is matched like FindFirstFileA would.
  if (place.name.find_first_of("*?") == std::string::npos) return false;
  return place.folder->AnyMatches(place.name);
}

bool PosixPlatform::SetFileAttributes(const std::string& path, uint32_t attributes) {
  const Place place = Locate(path);
  if (!place.folder || place.name.empty()) return false;
  const std::optional<FolderEntry> entry = place.folder->Look(place.name, nullptr);
  if (!entry || entry->kind == FolderEntry::Kind::kLink) return false;
  uint32_t mode = entry->mode;
  if (attributes & kFileAttributeReadOnly) {
    mode &= ~static_cast<uint32_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  } else if (IsReadOnlyMode(mode)) {
    mode |= S_IWUSR;
  }
  if (mode != entry->mode && !place.folder->SetMode(place.name, mode, nullptr)) return false;
  sideAttributes_[place.text] =
      attributes & (kFileAttributeHidden | kFileAttributeSystem | kFileAttributeArchive);
  return true;
}

std::optional<uint32_t> PosixPlatform::GetFileAttributes(const std::string& path) {
  const Place place = Locate(path);
  if (!place.folder) return std::nullopt;
  if (place.name.empty()) return kFileAttributeDirectory;
  const std::optional<FolderEntry> entry = place.folder->Look(place.name, nullptr);
  if (!entry) return std::nullopt;
  const bool folder = entry->kind == FolderEntry::Kind::kFolder;
  uint32_t attributes = 0;
  auto side = sideAttributes_.find(place.text);
  if (side != sideAttributes_.end()) {
    attributes = side->second;
  } else if (!folder) {
    attributes = kFileAttributeArchive;
  }
  if (folder) attributes |= kFileAttributeDirectory;
  if (IsReadOnlyMode(entry->mode)) attributes |= kFileAttributeReadOnly;
  return attributes;
}

bool PosixPlatform::DeleteFile(const std::string& path) {
  const Place place = Locate(path);
  if (!place.folder) return Fail(place.error);
  if (place.name.empty()) return Fail(EISDIR);
  int error = 0;
  const std::optional<FolderEntry> entry = place.folder->Look(place.name, &error);
  if (!entry) return Fail(error);
  if (entry->kind == FolderEntry::Kind::kFolder) return Fail(EISDIR);
  if (entry->kind == FolderEntry::Kind::kFile && IsReadOnlyMode(entry->mode)) return Fail(EACCES);
  if (!place.folder->Remove(place.name, &error)) return Fail(error);
  sideAttributes_.erase(place.text);
  return true;
}

bool PosixPlatform::CreateDirectory(const std::string& path) {
  const Place place = Locate(path);
  return place.folder && !place.name.empty() && place.folder->MakeFolder(place.name, nullptr);
}

bool PosixPlatform::CanOpenForReading(const std::string& path) {
  const Place place = Locate(path);
  return place.folder && !place.name.empty() &&
         place.folder->OpenForReading(place.name).status == ReadStatus::kRead;
}

std::unique_ptr<File> PosixPlatform::OpenFile(const std::string& path, OpenMode mode) {
  const Place place = Locate(path);
  if (!place.folder) {
    Fail(place.error);
    return nullptr;
  }
  if (place.name.empty()) {
    Fail(EISDIR);
    return nullptr;
  }
  int error = 0;
  std::unique_ptr<File> file;
  if (mode == OpenMode::kReadBinary) {
    // Opened without blocking, so that a FIFO planted under an image or
    // backup name cannot hang the run; only a regular file is read.
    OpenedFile opened = place.folder->OpenForReading(place.name);
    file = std::move(opened.file);
    error = opened.status == ReadStatus::kMissing ? ENOENT : opened.error;
    // "is a FIFO, not a file" says more than the code it carries.
    if (!file && opened.status == ReadStatus::kRefused && !opened.why.empty()) {
      Fail(error);
      lastWhy_ = opened.why;
      return nullptr;
    }
  } else {
    if (mode == OpenMode::kWriteBinaryTruncate) {
      if (const auto entry = place.folder->Look(place.name, nullptr)) {
        if (entry->kind == FolderEntry::Kind::kFolder) {
          Fail(EISDIR);
          return nullptr;
        }
        // Read-only files are kept, as Windows keeps them.
        if (entry->kind == FolderEntry::Kind::kFile && IsReadOnlyMode(entry->mode)) {
          Fail(EACCES);
          return nullptr;
        }
      }
      file = place.folder->CreateFresh(place.name, &error);
    } else {
      file = place.folder->CreateNew(place.name, &error);
    }
    if (file) sideAttributes_.erase(place.text);
  }
  if (!file) Fail(error);
  return file;
}

bool PosixPlatform::MoveFile(const std::string& from, const std::string& to) {
  const Place source = Locate(from);
  const Place target = Locate(to);
  if (!source.folder) return Fail(source.error);
  if (!target.folder) return Fail(target.error);
  if (source.name.empty() || target.name.empty()) return Fail(EISDIR);
  int error = 0;
  if (!source.folder->RenameNew(source.name, *target.folder, target.name, &error)) {
    return Fail(error);
  }
  auto side = sideAttributes_.find(source.text);
  if (side != sideAttributes_.end()) {
    sideAttributes_[target.text] = side->second;
    sideAttributes_.erase(source.text);
  }
  return true;
}

FolderOpening PosixPlatform::OpenFolder(const std::string& path, FolderRule rule) {
  const Place place = Locate(path);
  if (!place.folder) return RefusedFor(place.error, rule);
  if (!place.name.empty()) return place.folder->OpenSub(place.name, rule, false);
  FolderOpening opening;
  opening.check = place.folder->Check(rule);
  if (opening.check.refusal == FolderRefusal::kNone) opening.folder = place.folder;
  return opening;
}

bool PosixPlatform::ReplaceFile(const std::string& from, const std::string& to) {
  const Place source = Locate(from);
  const Place target = Locate(to);
  if (!source.folder) return Fail(source.error);
  if (!target.folder) return Fail(target.error);
  if (source.name.empty() || target.name.empty()) return Fail(EISDIR);
  int error = 0;
  if (!source.folder->RenameOnto(source.name, *target.folder, target.name, &error)) {
    return Fail(error);
  }
  sideAttributes_.erase(target.text);
  return true;
}

HeldLock PosixPlatform::LockFolder(const std::string& folder, uint32_t waitMilliseconds) {
  const Place place = Locate(folder.empty() ? "." : folder);
  if (!place.folder) {
    Fail(place.error);
    return {};
  }
  std::shared_ptr<Folder> target = place.folder;
  if (!place.name.empty()) {
    FolderOpening sub = place.folder->OpenSub(place.name, FolderRule::kNoLink, false);
    if (!sub.folder) {
      Fail(ErrorOf(sub.check));
      return {};
    }
    target = std::move(sub.folder);
  }
  constexpr uint32_t kStepMilliseconds = 20;
  for (uint32_t waited = 0;; waited += kStepMilliseconds) {
    LockAttempt attempt = target->LockItself();
    if (attempt.state == LockState::kTaken) return std::move(attempt.lock);
    if (attempt.state != LockState::kHeldElsewhere || waited >= waitMilliseconds) {
      const bool held = attempt.state == LockState::kHeldElsewhere;
      Fail(held ? EWOULDBLOCK : EIO);
      // Anyone who may read the folder may lock it: the message names who
      // does, so that the user can ask them to stop.
      if (held) {
        const std::string holder = target->LockHolder();
        if (!holder.empty()) lastErrorDetail_ = "the folder is locked by " + holder;
      }
      return {};
    }
    ::usleep(kStepMilliseconds * 1000);
  }
}

std::string PosixPlatform::HostPath(const std::string& path) {
  const Place place = Locate(path);
  if (place.folder) {
    return place.name.empty() ? place.folder->path() : place.folder->PathOf(place.name);
  }
  // A folder that is not there yet: the path as it would be.
  if (place.text.empty()) return {};
  namespace fs = std::filesystem;
  std::error_code error;
  fs::path absolute = fs::absolute(fs::path(place.text), error);
  if (error) return place.text;
  absolute = absolute.lexically_normal();
  fs::path folder = fs::weakly_canonical(absolute.parent_path(), error);
  if (error) return absolute.string();
  return (folder / absolute.filename()).string();
}

std::string PosixPlatform::LastErrorText() {
  const std::string text = lastWhy_.empty() ? SystemErrorText(lastError_) : lastWhy_;
  return lastErrorDetail_.empty() ? text : text + "; " + lastErrorDetail_;
}

bool PosixPlatform::Fail(int error) {
  lastError_ = error;
  lastErrorDetail_.clear();
  lastWhy_.clear();
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

namespace {

class DrivePlatform : public PosixPlatform {
 public:
  DrivePlatform(PosixOptions options, std::function<void(const char*)> debug)
      : PosixPlatform(std::move(options)), debug_(std::move(debug)) {}

  void DebugOutput(const char* text) override {
    if (debug_ && text != nullptr) debug_(text);
  }

 private:
  std::function<void(const char*)> debug_;
};

}  // namespace

std::unique_ptr<Platform> CreateDrivePlatform(const PosixOptions& options,
                                              std::function<void(const char*)> debug) {
  return std::make_unique<DrivePlatform>(options, std::move(debug));
}

bool PrepareWorkFolder(PosixOptions& options, std::string& problem) {
  const auto take = [&](const FolderOpening& opening, const std::string& what) {
    int error = 0;
    if (!opening.folder) {
      problem = DescribeFolderRefusal(what, opening.check);
    } else if (!opening.folder->Writable(&error)) {
      problem = what + " cannot be written: " + SystemErrorText(error);
    } else {
      options.work = opening.folder;
      return true;
    }
    return false;
  };
  if (!options.tempFolder.empty()) {
    return take(Folder::Open(options.tempFolder, FolderRule::kPrivate),
                "the work folder " + options.tempFolder);
  }

  const std::string base = TemporaryBase();
  const FolderOpening parent = Folder::Open(base, FolderRule::kFollowed);
  if (!parent.folder) {
    problem = DescribeFolderRefusal("the temporary folder " + base, parent.check);
    return false;
  }
  const std::string name = DefaultWorkName();
  const std::string folder = DefaultWorkFolder();
  const FolderOpening opening = parent.folder->OpenSub(name, FolderRule::kPrivate, true);
  if (opening.check.refusal == FolderRefusal::kCannotCreate) {
    problem = DescribeFolderRefusal("the work folder " + folder, opening.check);
    return false;
  }
  if (take(opening, "the work folder " + folder)) {
    options.tempFolder = folder;
    return true;
  }
  // Someone else's folder, or a link, stands under the default name: this
  // run makes a fresh folder of its own instead of stopping.
  const std::string refused = problem;
  std::string made = folder + "-XXXXXX";
  if (::mkdtemp(made.data()) == nullptr) {
    problem = "cannot create a work folder in " + base + ": " + std::strerror(errno);
    return false;
  }
  const std::string leaf = made.substr(made.rfind('/') + 1);
  const FolderOpening fresh = parent.folder->OpenSub(leaf, FolderRule::kPrivate, false);
  if (!take(fresh, "the work folder " + made)) return false;
  fresh.folder->RemoveWhenClosed(parent.folder, leaf);
  options.tempFolder = made;
  options.defaultWorkRefused = refused;
  problem.clear();
  return true;
}

bool PrepareCDriveFolder(PosixOptions& options, std::string& problem) {
  const std::string path = options.cDriveFolder.empty() ? "." : options.cDriveFolder;
  const FolderOpening opening = Folder::Open(path, FolderRule::kShared);
  if (opening.folder) {
    options.cDrive = opening.folder;
    return true;
  }
  // A link, or a folder whose files others could swap, is refused at once;
  // a folder that is not there fails each file the run would keep in it.
  const FolderRefusal refusal = opening.check.refusal;
  if (refusal != FolderRefusal::kLink && refusal != FolderRefusal::kWritableByOthers) return true;
  problem = DescribeFolderRefusal("the C: folder " + path, opening.check);
  return false;
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

std::optional<Sha256Digest> Sha256OfFile(File& file) {
  struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
  };
  std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return std::nullopt;
  std::vector<uint8_t> step(64 * 1024);
  for (;;) {
    const size_t got = file.Read(step.data(), step.size());
    if (got > 0 && EVP_DigestUpdate(context.get(), step.data(), got) != 1) return std::nullopt;
    if (got < step.size()) break;
  }
  if (!file.ErrorText().empty()) return std::nullopt;
  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != digest.size()) {
    return std::nullopt;
  }
  return digest;
}

std::string SystemDescription() {
  struct utsname name {};
  if (::uname(&name) != 0) return "unknown";
  return std::string(name.sysname) + " " + name.release + " " + name.machine;
}

}  // namespace kestrune::platform
