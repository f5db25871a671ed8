// What the folder layer says in words, and the default way a platform
// opens a folder, the same on every host.
#include "platform/folder.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace kestrune::platform {

FolderOpening Platform::OpenFolder(const std::string& path, FolderRule rule) {
  return Folder::Open(HostPath(path), rule);
}

ReadStatus Folder::ReadWhole(const std::string& name, uint64_t maxBytes, bool followLink,
                             std::vector<uint8_t>* bytes, std::string* why) const {
  return ReadWhole(name, maxBytes, followLink, bytes, why, 0, nullptr);
}

ReadStatus Folder::ReadWhole(const std::string& name, uint64_t maxBytes, bool followLink,
                             std::vector<uint8_t>* bytes, std::string* why, size_t headBytes,
                             const HeadCheck& checkHead) const {
  OpenedFile opened = OpenForReading(name, followLink);
  if (opened.status != ReadStatus::kRead) {
    *why = opened.why;
    return opened.status;
  }
  size_t done = 0;
  if (checkHead) {
    // A file that is not what it claims is refused on its first bytes,
    // before the rest of it, however large, is read or even held.
    bytes->assign(static_cast<size_t>(std::min<uint64_t>(headBytes, opened.size)), 0);
    done = opened.file->Read(bytes->data(), bytes->size());
    std::string refusal = checkHead(std::span<const uint8_t>(bytes->data(), done));
    if (!refusal.empty()) {
      bytes->clear();
      *why = std::move(refusal);
      return ReadStatus::kRefused;
    }
  }
  // A 32-bit build cannot hold more than its address space either.
  const uint64_t limit = std::min<uint64_t>(maxBytes, SIZE_MAX);
  if (opened.size > limit) {
    bytes->clear();
    *why = "is " + std::to_string(opened.size) + " bytes, over " + std::to_string(limit >> 20) +
           " MiB";
    return ReadStatus::kRefused;
  }
  // Read on only after a head read in full: a file that shrank meanwhile
  // holds what was there.
  if (done == bytes->size()) {
    bytes->resize(static_cast<size_t>(opened.size));
    done += opened.file->Read(bytes->data() + done, bytes->size() - done);
  }
  if (done < bytes->size() && !opened.file->ErrorText().empty()) {
    *why = "cannot be read: " + opened.file->ErrorText();
    return ReadStatus::kRefused;
  }
  bytes->resize(done);
  return ReadStatus::kRead;
}

bool Folder::Replace(const std::string& name, std::span<const uint8_t> bytes, int* error) const {
  const std::string temporary = name + ".new";
  std::unique_ptr<File> file = CreateFresh(temporary, error, KeptMode(name, 0666));
  if (!file) return false;
  const bool whole = file->Write(bytes.data(), bytes.size()) == bytes.size() && file->Flush();
  file.reset();
  if (!whole) {
    Remove(temporary, nullptr);
    if (error != nullptr) *error = kWriteFailed;
    return false;
  }
  if (!RenameOnto(temporary, *this, name, error)) {
    Remove(temporary, nullptr);
    return false;
  }
  // The new name itself survives a power cut only once the folder is on
  // the medium too.
  Sync();
  return true;
}

FolderOfFile OpenFolderOf(const std::string& path, FolderRule rule, bool walked) {
  const std::filesystem::path named(path);
  std::string parent = named.parent_path().string();
  if (parent.empty()) parent = ".";
  return {walked ? Folder::OpenWalked(parent, rule) : Folder::Open(parent, rule),
          named.filename().string()};
}

std::string FolderOfFile::Refusal(const std::string& path) const {
  return DescribeFolderRefusal(path + ": its folder", opening.check);
}

std::string DescribeFolderRefusal(const std::string& what, const FolderCheck& check) {
  const bool own = check.rule == FolderRule::kPrivate || check.rule == FolderRule::kOwn;
  switch (check.refusal) {
    case FolderRefusal::kNone:
      return what;
    case FolderRefusal::kMissing:
      return what + " does not exist";
    case FolderRefusal::kLink:
      if (!check.at.empty()) {
        return what + ": " + check.at + " on its way is a symbolic link of another user (uid " +
               std::to_string(check.owner) + "); name the folder itself";
      }
      return what + " is a symbolic link" +
             (own ? "; it must be a folder of your own" : "; name the folder itself");
    case FolderRefusal::kNotFolder:
      return what + " is not a folder";
    case FolderRefusal::kOtherOwner:
      return what + " belongs to another user (uid " + std::to_string(check.owner) + ")";
    case FolderRefusal::kWritableByOthers: {
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(check.mode));
      if (!check.at.empty()) {
        return what + ": " + check.at + " on its way can be written by other users (mode " + mode +
               ") and has no sticky bit";
      }
      return what + " can be written by other users (mode " + mode + ")" +
             (check.rule == FolderRule::kShared ? " and has no sticky bit" : "");
    }
    case FolderRefusal::kCannotCreate:
      return "cannot create " + what + ": " + SystemErrorText(check.error);
    case FolderRefusal::kSystem:
      return what + ": " + SystemErrorText(check.error);
  }
  return what;
}

}  // namespace kestrune::platform
