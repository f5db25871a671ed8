// Files inside one folder, reached through that folder alone.
//
// POSIX: the folder is opened once as a directory descriptor, without
// following a link at its own name; its owner and mode are checked on that
// descriptor, and every file is then read, created, renamed and removed
// relative to it. Neither a rename of a parent nor a link swapped in after
// the check can send a write elsewhere. Windows: the same operations by
// path, as the Win32 program has always made them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/lock.h"
#include "platform/platform.h"

namespace kestrune::platform {

// Who may have made the folder and who may change it. Every rule but
// kFollowed refuses a link at the folder's own name.
enum class FolderRule : uint8_t {
  // The folder of a file the user named: links on the way are followed.
  kFollowed,
  // Any folder: its name is not a link.
  kNoLink,
  // Writable by group or others only with the sticky bit, so that nobody
  // else can rename or remove what this user put there (the C: folder).
  kShared,
  // Owned by this user or root and writable by nobody else (the work
  // folder, the image folder).
  kPrivate,
  // Owned by this user and writable by nobody else (a drive's own folder).
  kOwn,
};

// Why a folder was not opened.
enum class FolderRefusal : uint8_t {
  kNone,
  kMissing,
  kLink,
  kNotFolder,
  kOtherOwner,
  kWritableByOthers,  // by group or others (under kShared: without the sticky bit)
  kCannotCreate,      // `error` says why
  kSystem,            // `error` says why
};

enum class ReadStatus : uint8_t {
  kRead,     // the file was opened (read)
  kMissing,  // no file by that name
  kRefused,  // `why` says why: not a regular file, a link, too large, unreadable
};

class Folder;

// How a folder measured up to its rule.
struct FolderCheck {
  FolderRefusal refusal = FolderRefusal::kNone;
  FolderRule rule = FolderRule::kNoLink;
  int error = 0;       // the system's code, for kCannotCreate and kSystem
  uint32_t owner = 0;  // for kOtherOwner
  uint32_t mode = 0;   // permission bits, for kWritableByOthers
  // Set by Folder::OpenWalked when a folder or link on the way, not the
  // folder itself, was refused: that one, as the path named it.
  std::string at;
};

struct FolderOpening {
  std::shared_ptr<Folder> folder;  // null when refused
  FolderCheck check;
};

// A file opened for reading.
struct OpenedFile {
  std::unique_ptr<File> file;  // set for kRead
  ReadStatus status = ReadStatus::kRefused;
  uint64_t size = 0;  // its size when it was opened
  int error = 0;      // the system's code, when it gave one
  std::string why;    // for kRefused: "is a FIFO, not a file", "is a symbolic link", ...
};

// What is at a name, looked at without following a link.
struct FolderEntry {
  enum class Kind : uint8_t { kFile, kFolder, kLink, kOther } kind = Kind::kOther;
  uint32_t mode = 0;  // permission bits
};

class Folder {
 public:
  ~Folder();
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  // Opens `path` as a folder under `rule`.
  static FolderOpening Open(const std::string& path, FolderRule rule);
  // Opens `path` one folder at a time, each relative to the one before, for
  // a file the user named that a run with more rights than others will
  // make or replace: a folder on the way that others may change (writable
  // by group or others without the sticky bit), or a link on the way that
  // belongs to another user than this one or root, is refused, and the
  // folder itself must pass `rule` (kShared or stricter). Windows: Open.
  static FolderOpening OpenWalked(const std::string& path, FolderRule rule);

  // The folder as messages name it: absolute, resolved when it was opened.
  const std::string& path() const { return path_; }
  // `name` inside the folder, as messages name it.
  std::string PathOf(const std::string& name) const;

  // The sub-folder `name`, opened and checked under `rule`; with `create`,
  // made first (mode 0700) when it is missing.
  FolderOpening OpenSub(const std::string& name, FolderRule rule, bool create) const;
  // This folder under `rule`, as it is now.
  FolderCheck Check(FolderRule rule) const;
  // The user may create files here.
  bool Writable(int* error) const;

  // The name of an entry spelled as `name` without regard to case: the
  // exact name when it is there, else the first that matches; nullopt when
  // none does.
  std::optional<std::string> Find(const std::string& name) const;
  // True when an entry's name matches `pattern` (* and ?, without regard
  // to case).
  bool AnyMatches(const std::string& pattern) const;
  std::optional<FolderEntry> Look(const std::string& name, int* error) const;

  // A regular file, opened without blocking (a FIFO without a writer would
  // wait forever) and, unless `followLink`, without following a link; its
  // kind and size are checked on the open file.
  OpenedFile OpenForReading(const std::string& name, bool followLink = false) const;
  // The whole of a regular file of at most `maxBytes`, read once.
  ReadStatus ReadWhole(const std::string& name, uint64_t maxBytes, bool followLink,
                       std::vector<uint8_t>* bytes, std::string* why) const;
  // Looks at the first bytes of a file before the rest is read; empty when
  // the file may be read on, else why it is refused.
  using HeadCheck = std::function<std::string(std::span<const uint8_t> head)>;
  // ReadWhole, with the first `headBytes` (fewer when the file is shorter)
  // read and judged by `checkHead` before anything more is read.
  ReadStatus ReadWhole(const std::string& name, uint64_t maxBytes, bool followLink,
                       std::vector<uint8_t>* bytes, std::string* why, size_t headBytes,
                       const HeadCheck& checkHead) const;

  // A new file under `name`: whatever is there is removed first and the file
  // made exclusively, so no link is followed and no file another writer
  // holds is truncated. A name that reappears makes it fail. POSIX: made
  // with the permission bits `mode` (less the umask), narrowed to those of
  // the file it replaces.
  std::unique_ptr<File> CreateFresh(const std::string& name, int* error,
                                    uint32_t mode = 0666) const;
  // The permission bits a file that takes the place of `name` is made with:
  // `mode`, narrowed to those of the regular file there, so that a file
  // rewritten is never readable by more users than it was (Windows: `mode`).
  uint32_t KeptMode(const std::string& name, uint32_t mode) const;
  // A file that grows by appends, made when missing: a link at the name is
  // refused, not followed; a FIFO or device there is refused without
  // waiting for its other end, and so is a file of another user or one
  // with a second name (a hard link), so nothing is appended to a file
  // someone else placed there. kRead when opened; `file` writes at its end.
  OpenedFile OpenForAppending(const std::string& name, uint32_t mode = 0666) const;
  // A new file only where the name is free; a link there makes it fail.
  std::unique_ptr<File> CreateNew(const std::string& name, int* error, uint32_t mode = 0666) const;
  // Puts `bytes` under `name` in one step: written under a temporary name,
  // put on the medium, then renamed over the old file.
  bool Replace(const std::string& name, std::span<const uint8_t> bytes, int* error) const;
  // Renames `from` here to `to` in `target`, replacing what is there (a link
  // is replaced, not followed).
  bool RenameOnto(const std::string& from, const Folder& target, const std::string& to,
                  int* error) const;
  // The same, but an existing `to` is never replaced (POSIX: renameat2
  // RENAME_NOREPLACE, or a new link and the removal of the old name).
  bool RenameNew(const std::string& from, const Folder& target, const std::string& to,
                 int* error) const;
  bool Remove(const std::string& name, int* error) const;
  // A folder under `name`, mode 0700; false when something is there.
  bool MakeFolder(const std::string& name, int* error) const;
  // Sets the permission bits of the file `name`; a link is refused.
  bool SetMode(const std::string& name, uint32_t mode, int* error) const;

  // An exclusive lock on the file `name`, never waited for. With `create` a
  // missing file is made, and a link or anything but a file at the name is
  // refused; without it links are followed.
  LockAttempt Lock(const std::string& name, bool create) const;
  // An exclusive lock on the folder itself, never waited for (POSIX: flock
  // on its descriptor; Windows has no such lock and refuses).
  LockAttempt LockItself() const;
  // Who holds a lock on the folder itself, as far as the system tells
  // ("user bob (uid 1001), process flock (pid 4242)"); empty when it does not.
  std::string LockHolder() const;

  // This folder, which is `name` in `parent`, goes with all it holds when
  // the object goes: for a folder made for one run.
  void RemoveWhenClosed(std::shared_ptr<const Folder> parent, std::string name) {
    parent_ = std::move(parent);
    name_ = std::move(name);
  }

 private:
  Folder(intptr_t handle, std::string path) : handle_(handle), path_(std::move(path)) {}
  // Puts what the folder holds on the medium.
  void Sync() const;
  // Takes an opened folder when it passes `rule`; closes it otherwise.
  static FolderOpening Adopt(intptr_t handle, std::string path, FolderRule rule);

  intptr_t handle_;
  std::string path_;
  // Set by RemoveWhenClosed.
  std::shared_ptr<const Folder> parent_;
  std::string name_;
};

// The system's words for an error code; empty for 0.
std::string SystemErrorText(int error);
// The code of a write that fell short (EIO; ERROR_WRITE_FAULT).
extern const int kWriteFailed;

// A sentence for a refused folder, after `what` ("the work folder /tmp/w").
std::string DescribeFolderRefusal(const std::string& what, const FolderCheck& check);

// The folder that holds the file at `path` (the current folder for a bare
// name) and the file's name in it.
struct FolderOfFile {
  FolderOpening opening;  // the folder, or why it was refused
  std::string name;
  // "PATH: its folder ..." for a refused folder.
  std::string Refusal(const std::string& path) const;
};
// Opens the folder of `path` under `rule`: as Folder::Open does, or with
// `walked` as Folder::OpenWalked does.
FolderOfFile OpenFolderOf(const std::string& path, FolderRule rule, bool walked = false);

// Wraps a handle the system gave (a descriptor; a HANDLE) in a File that
// owns it.
std::unique_ptr<File> FileFromSystemHandle(intptr_t handle);

}  // namespace kestrune::platform
