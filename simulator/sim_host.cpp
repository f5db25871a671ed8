#include "simulator/sim_host.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <utility>

#include "platform/platform.h"

namespace kestrune::sim {

namespace {

// The folder that holds the file at `path` (links on the way followed: the
// user named the path), and the file's name in it.
struct NamedFile {
  std::shared_ptr<platform::Folder> folder;
  platform::FolderCheck check;
  std::string name;
};

NamedFile Split(const std::string& path) {
  platform::FolderOfFile file = platform::OpenFolderOf(path, platform::FolderRule::kFollowed);
  return {std::move(file.opening.folder), file.opening.check, std::move(file.name)};
}

// Why the folder of a file could not be opened, after the file's path.
std::string FolderProblem(const std::string& path, const NamedFile& file) {
  return platform::DescribeFolderRefusal(path + ": its folder", file.check);
}

}  // namespace

ReadStatus ReadRegularFile(const std::string& path, uint64_t maxBytes, bool followLink,
                           std::vector<uint8_t>* bytes, std::string* error) {
  return ReadRegularFile(path, maxBytes, followLink, bytes, error, 0, nullptr);
}

ReadStatus ReadRegularFile(const std::string& path, uint64_t maxBytes, bool followLink,
                           std::vector<uint8_t>* bytes, std::string* error, size_t headBytes,
                           const platform::Folder::HeadCheck& checkHead) {
  const NamedFile file = Split(path);
  if (!file.folder) {
    if (file.check.refusal == platform::FolderRefusal::kMissing) return ReadStatus::kMissing;
    *error = FolderProblem(path, file);
    return ReadStatus::kRefused;
  }
  std::string why;
  const ReadStatus status =
      file.folder->ReadWhole(file.name, maxBytes, followLink, bytes, &why, headBytes, checkHead);
  if (status == ReadStatus::kRefused) *error = path + ": " + why;
  return status;
}

OutputFile OutputFile::CreateFresh(const std::string& path, std::string* error) {
  return CreateReplacement(path, path, error);
}

OutputFile OutputFile::CreateReplacement(const std::string& path, const std::string& replaced,
                                         std::string* error) {
  OutputFile out;
  const NamedFile file = Split(path);
  int code = 0;
  if (file.folder) {
    const std::string keptFrom = std::filesystem::path(replaced).filename().string();
    out.file_ = file.folder->CreateFresh(file.name, &code, file.folder->KeptMode(keptFrom, 0666));
  }
  if (!out.file_ && error != nullptr) {
    *error = file.folder ? path + ": cannot be created: " + platform::SystemErrorText(code)
                         : FolderProblem(path, file);
  }
  return out;
}

OutputFile OutputFile::CreatePrivate(const std::string& path, std::string* error) {
  OutputFile out;
  const NamedFile file = Split(path);
  int code = 0;
  if (file.folder) out.file_ = file.folder->CreateNew(file.name, &code, 0600);
  if (!out.file_ && error != nullptr) {
    if (!file.folder) {
      *error = FolderProblem(path, file);
    } else if (file.folder->Look(file.name, nullptr)) {
      *error = path + " exists; name a new file";
    } else {
      *error = path + ": cannot be created: " + platform::SystemErrorText(code);
    }
  }
  return out;
}

bool OutputFile::Write(const uint8_t* data, size_t size) {
  return file_ != nullptr && file_->Write(data, size) == size;
}

bool RenameOnto(const std::string& from, const std::string& to, std::string* error) {
  const NamedFile source = Split(from);
  const NamedFile target = Split(to);
  int code = 0;
  if (source.folder && target.folder &&
      source.folder->RenameOnto(source.name, *target.folder, target.name, &code)) {
    return true;
  }
  if (error != nullptr) {
    *error = !source.folder   ? FolderProblem(from, source)
             : !target.folder ? FolderProblem(to, target)
                              : to + ": cannot be replaced: " + platform::SystemErrorText(code);
  }
  return false;
}

void RemoveFile(const std::string& path) {
  const NamedFile file = Split(path);
  if (file.folder) file.folder->Remove(file.name, nullptr);
}

platform::LockAttempt LockFile(const std::string& path, bool create) {
  const NamedFile file = Split(path);
  if (!file.folder) return {};
  return file.folder->Lock(file.name, create);
}

}  // namespace kestrune::sim

namespace kestrune::sim {

void SignalProcess(ProcessSignal signal) {
  platform::SendInterrupt(signal == ProcessSignal::kInterrupt   ? platform::InterruptKind::kInterrupt
                          : signal == ProcessSignal::kTerminate ? platform::InterruptKind::kTerminate
                                                                : platform::InterruptKind::kHangUp);
}

}  // namespace kestrune::sim

namespace kestrune::sim {

void PauseUntilTheProcessEnds(const std::string& marker) {
  std::ofstream(marker).close();
  // Waits for nothing this process does: whoever reads the marker ends it.
  std::this_thread::sleep_for(std::chrono::minutes(1));
}

}  // namespace kestrune::sim
