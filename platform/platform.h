// The operating-system layer. Everything the program asks of the host goes
// through this interface; there is one Win32 and one POSIX implementation.
//
// Paths are passed in the program's own (Windows) spelling, for example
// "c:\\ISP.log" or "C:\\TEMP\\\\163A2C\\US.BIN". The Win32 implementation hands
// them to the system unchanged; the POSIX implementation maps them onto the
// host file system (see PosixOptions).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/lock.h"

namespace kestrune::platform {

// Files inside one folder (folder.h).
class Folder;
struct FolderOpening;
enum class FolderRule : uint8_t;

// File attribute bits, as the Win32 API numbers them.
inline constexpr uint32_t kFileAttributeReadOnly = 0x01;
inline constexpr uint32_t kFileAttributeHidden = 0x02;
inline constexpr uint32_t kFileAttributeSystem = 0x04;
inline constexpr uint32_t kFileAttributeArchive = 0x20;

// The owner of a file that belongs to another user.
struct FileOwner {
  uint32_t id = 0;
  std::string name;  // "user NAME (uid 1001)", or "uid 1001" when the system names none
};

// An open file. Writes are unbuffered: each Write reaches the operating
// system before it returns, so a log is complete up to its last line.
class File {
 public:
  virtual ~File() = default;
  // Returns the number of bytes read (0 at end of file or on error).
  virtual size_t Read(void* buffer, size_t size) = 0;
  // Returns the number of bytes written.
  virtual size_t Write(const void* data, size_t size) = 0;
  // Seeks from the start of the file.
  virtual bool Seek(uint64_t offset) = 0;
  // Puts what was written on the medium (fsync, FlushFileBuffers), so that a
  // file renamed afterwards survives a power cut. A file kept in memory has
  // nothing to put there.
  virtual bool Flush() { return true; }
  // Why the last Read, Write or Flush that fell short failed, in the
  // system's words; empty when the system gave no reason.
  virtual std::string ErrorText() const { return {}; }
  // Set when the open file belongs to another user than the one running,
  // root aside: what the run must not take for its own. POSIX asks the
  // open descriptor, so no name swapped in after the open changes the
  // answer. Windows tells no owners apart here: every file counts as the
  // user's own.
  virtual std::optional<FileOwner> OtherOwner() const { return std::nullopt; }
};

enum class OpenMode : uint8_t {
  kReadBinary,  // existing file, read only
  // A new file under the name. POSIX: the name is removed first and the file
  // created exclusively, so a link planted there is never followed and a
  // file another writer holds keeps its bytes; a name that cannot be removed
  // or that reappears makes the open fail. Windows: created, or truncated
  // when it exists.
  kWriteBinaryTruncate,
  // A new file only where the name is free; an existing name, a link
  // included, makes the open fail.
  kCreateNew,
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Debugger output (OutputDebugStringA on Windows; stderr on POSIX when asked).
  virtual void DebugOutput(const char* text) = 0;

  // Both fill `buffer` (of `size` characters, NUL-terminated) and return the
  // number of characters stored, or 0 on failure, as the Win32 calls do.
  // The temporary folder text ends in a backslash.
  virtual uint32_t GetWindowsDirectory(char* buffer, uint32_t size) = 0;
  virtual uint32_t GetTempPath(char* buffer, uint32_t size) = 0;

  // FindFirstFileA with the exact path as pattern, followed by FindClose:
  // true when something (file or folder) is there.
  virtual bool FindFile(const std::string& path) = 0;
  virtual bool SetFileAttributes(const std::string& path, uint32_t attributes) = 0;
  // Reads the attributes; nullopt when the path does not exist.
  virtual std::optional<uint32_t> GetFileAttributes(const std::string& path) = 0;
  virtual bool DeleteFile(const std::string& path) = 0;
  virtual bool CreateDirectory(const std::string& path) = 0;
  // CreateFileA for reading with read sharing, existing files only: true for
  // a regular file that can be opened for reading, false for a folder.
  virtual bool CanOpenForReading(const std::string& path) = 0;
  virtual std::unique_ptr<File> OpenFile(const std::string& path, OpenMode mode) = 0;

  virtual void Sleep(uint32_t milliseconds) = 0;

  // Real membership of the local Administrators group (Windows: token
  // membership or elevation; POSIX: root or CAP_SYS_RAWIO).
  virtual bool IsAdministrator() = 0;

  // Full path of the running executable (GetModuleFileNameA), Windows spelling.
  virtual std::string GetModuleFileName() = 0;

  // The program's own embedded resource of `type` (compared without regard
  // to case) and integer id; nullopt when there is none.
  virtual std::optional<std::span<const uint8_t>> FindResource(const char* type, uint16_t id) = 0;

  // --- files the program keeps (backups, the log) ---
  // Renames `from` to `to` and never replaces an existing `to` (POSIX:
  // renameat2 RENAME_NOREPLACE, or link and unlink; Windows: MoveFileExA
  // without MOVEFILE_REPLACE_EXISTING). A host that cannot rename refuses.
  virtual bool MoveFile(const std::string& from, const std::string& to) {
    (void)from;
    (void)to;
    return false;
  }
  // Renames `from` to `to`, replacing an existing `to` in one step (POSIX:
  // rename; Windows: MoveFileExA with MOVEFILE_REPLACE_EXISTING), so that a
  // document rewritten whole is read either old or new, never half. A host
  // that cannot rename refuses.
  virtual bool ReplaceFile(const std::string& from, const std::string& to) {
    (void)from;
    (void)to;
    return false;
  }
  // An exclusive lock on the folder `folder` (its program path, ending in a
  // separator or not), for runs that change files in it together; another
  // run's lock is waited for up to `waitMilliseconds`. It leaves nothing
  // behind (POSIX: flock on the folder; Windows: a file inside it opened
  // for nobody else and deleted on close). Not held when it cannot be had
  // (LastErrorText says why).
  virtual HeldLock LockFolder(const std::string& folder, uint32_t waitMilliseconds) {
    (void)folder;
    (void)waitMilliseconds;
    return {};
  }
  // The absolute host path a program path denotes ("C:\\ISP0_Before.bin" ->
  // "/home/tech/ISP0_Before.bin"); on Windows the full path of the name.
  virtual std::string HostPath(const std::string& path) { return path; }
  // Why the last OpenFile, DeleteFile, MoveFile, ReplaceFile or LockFolder that failed did so, in
  // the system's words; empty when the system gave no reason.
  virtual std::string LastErrorText() { return {}; }
  // The folder a program path names, opened once and checked under `rule`,
  // for reading files from it (folder.h). By default the folder at HostPath.
  virtual FolderOpening OpenFolder(const std::string& path, FolderRule rule);
};

// Options of the POSIX implementation.
struct PosixOptions {
  // Folder that stands for drive C: ("c:\\ISP.log" -> <cDrive>/ISP.log).
  // Empty means the current directory.
  std::string cDriveFolder;
  // The work folder: the host folder that stands for the temporary folder
  // GetTempPath reports ("T:\\"). Empty means the default work folder,
  // kestrune-<uid> inside $TMPDIR or /tmp (see PrepareWorkFolder).
  std::string tempFolder;
  // The two folders, opened and checked once by PrepareCDriveFolder and
  // PrepareWorkFolder; every file of the program is then reached through
  // them. Null: the folder named above is opened at its first use, under
  // the same rule.
  std::shared_ptr<Folder> cDrive;
  std::shared_ptr<Folder> work;
  // Set by PrepareWorkFolder when the default work folder was not this
  // user's own: why. A folder made for this run stands in for it (named in
  // tempFolder) and goes with the last platform that uses it.
  std::string defaultWorkRefused;
  // Debug output to stderr.
  bool debugToStderr = false;
  // When false, Sleep only adds to SleptMilliseconds() (tests).
  bool realSleep = true;
};

// One resource linked into the program. On POSIX the build generates the
// table (resources/), and FindResource looks it up.
struct EmbeddedResource {
  const char* type;
  uint16_t id;
  const uint8_t* data;
  size_t size;
};
std::span<const EmbeddedResource> EmbeddedResources();

// Creates the implementation for the host the program was built for.
// On Windows the options are ignored.
std::unique_ptr<Platform> CreateHostPlatform(const PosixOptions& options = {});
// The platform of one drive of --all or watch: `options`' C: folder stands
// for C: and its work folder for the temporary folder, and its debug output
// goes to `debug`.
std::unique_ptr<Platform> CreateDrivePlatform(const PosixOptions& options,
                                              std::function<void(const char*)> debug);

#if !defined(_WIN32)
// POSIX only: how a program path is mapped onto the host. Backslashes become
// slashes, a leading drive C: becomes the C: folder, and each existing path
// component is matched without regard to case. Exposed for tests.
std::string MapToHostPath(const PosixOptions& options, const std::string& path);
#endif

// --- The work folder, the environment and digests ---

// Makes the work folder ready before the images are written into it, so
// that no other user can put or swap a file there.
// POSIX: the folder is options.tempFolder, or, when that is empty,
// kestrune-<uid> inside $TMPDIR (or /tmp), created with mode 0700 when
// missing. It is opened once, without following a link at its name, and
// refused when it is missing, a symbolic link, not a folder, owned by
// another user (root aside), writable by its group or by others, or not
// writable by the user; options.work and options.tempFolder are set to it.
// A folder that was named is never created, and its refusal ends here. A
// default folder that is refused is replaced for this run by a fresh one
// (kestrune-<uid>-XXXXXX beside it, made by mkdtemp), removed when the
// last platform that uses it goes; options.defaultWorkRefused says why.
// Windows: the temporary folder must exist as a folder; options are unused.
// False with `problem` set to a sentence that names the folder and the cause.
bool PrepareWorkFolder(PosixOptions& options, std::string& problem);

// POSIX: opens the C: folder (options.cDriveFolder, the current folder when
// empty) once, without following a link at its name, into options.cDrive.
// One that others may write must have the sticky bit. A folder that is not
// there yet is no refusal: the files the program keeps there then fail one
// by one, as on Windows. Windows: nothing to do.
// False with `problem` set to a sentence that names the folder and the cause.
bool PrepareCDriveFolder(PosixOptions& options, std::string& problem);

// The value of an environment variable; nullopt when it is not set.
std::optional<std::string> ReadEnvironmentVariable(const char* name);

// The operating system as it names itself ("Linux 6.1.0-18-amd64 x86_64",
// "Windows 10.0.19045"), for what a run writes down about where it ran.
std::string SystemDescription();

// SHA-256 over the pieces taken one after another; nullopt when the
// system's digest service fails.
using Sha256Digest = std::array<uint8_t, 32>;
std::optional<Sha256Digest> Sha256(std::span<const std::span<const uint8_t>> pieces);
// SHA-256 of what is left of `file`, read in steps of 64 KiB so that no
// more than one step is held; nullopt when a read fails or the service does.
std::optional<Sha256Digest> Sha256OfFile(File& file);

// --- Interrupts of a console program ---
//
// SIGINT, SIGTERM and SIGHUP on POSIX; Ctrl-C, Ctrl-Break and a closed
// console on Windows. A flash write cut off halfway leaves a drive that does
// not start, so the console holds interrupts while it writes, and a run
// interrupted elsewhere ends at once.

// What a hold is for: a flash write, which an end now could leave half
// done, or the telling of a finished write's outcome.
// A watch for drives holds while it lasts, so that an interrupt ends it
// once the work under way is over.
enum class HoldFor : uint8_t { kWrite, kOutcome, kWatch };

// The lines an interrupt prints on stderr while holds live, for one kind of
// hold (the write's while any write hold lives): on the first interrupt,
// on the second, and on the third, which ends the run at once. An empty
// line is not printed.
struct InterruptWords {
  std::string first;
  std::string second;
  std::string third;
};

// From now on an interrupt ends the process at once with `exitCode`, after
// the last words (see LastWords) and after removing the files
// RemoveOnInterrupt names (the volume is closed with the process). While an
// InterruptHold lives it is held instead, and InterruptReceived() turns
// true; what to do then is the caller's. The third interrupt held ends the
// process as one outside a hold does. Call once, before any other thread
// starts (POSIX: the signals are blocked in every thread and taken by one
// of the platform's own, so no device request returns early). Without this
// call holds change nothing and nothing is ever received.
// `watching`: the lines while only a watch's holds live.
void CatchInterrupts(const InterruptWords& writing, const InterruptWords& outcome, int exitCode,
                     const InterruptWords& watching = {});
// `notice` on the first interrupt held, whatever the hold; nothing more.
void CatchInterrupts(const char* notice, int exitCode);

// Holds interrupts from its construction to its end. Holds may nest and may
// live in several threads at once.
class InterruptHold {
 public:
  explicit InterruptHold(HoldFor purpose = HoldFor::kWrite);
  ~InterruptHold();
  InterruptHold(const InterruptHold&) = delete;
  InterruptHold& operator=(const InterruptHold&) = delete;

 private:
  HoldFor purpose_;
};

// While it lives, an interrupt that ends the process first calls `words`,
// which may print what the run reached and returns the exit code the
// process ends with. It runs on whichever thread ends the process, while no
// hold can begin or end, and must not wait for anything a hold guards. The
// latest that lives is the one called.
class LastWords {
 public:
  explicit LastWords(std::function<int()> words);
  ~LastWords();
  LastWords(const LastWords&) = delete;
  LastWords& operator=(const LastWords&) = delete;

 private:
  std::function<int()> words_;
  const std::function<int()>* previous_ = nullptr;
};

// While it lives, the lines an interrupt prints go to `say` instead of
// straight to stderr, so that a program that draws on its terminal keeps
// them apart from what it draws. `say` runs under the interrupts' own lock,
// on whichever thread takes the interrupt, and must not wait for a hold.
// The latest that lives is the one called.
class InterruptLines {
 public:
  explicit InterruptLines(std::function<void(const std::string&)> say);
  ~InterruptLines();
  InterruptLines(const InterruptLines&) = delete;
  InterruptLines& operator=(const InterruptLines&) = delete;

 private:
  std::function<void(const std::string&)> say_;
  const std::function<void(const std::string&)>* previous_ = nullptr;
};

// True once an interrupt came while a hold lived.
bool InterruptReceived();

// What a user or the system sends: Ctrl-C (SIGINT), SIGTERM, SIGHUP (on
// Windows Ctrl-Break for both).
enum class InterruptKind : uint8_t { kInterrupt, kTerminate, kHangUp };

// Sends this process `kind` and returns once it is taken: said and held
// under a hold, or the process ended. A simulated drive that interrupts its
// host after a command so puts the interrupt right there, however busy the
// machine. Without CatchInterrupts the system's own handling applies and it
// returns once the signal is sent.
void SendInterrupt(InterruptKind kind);

// While it lives, an interrupt that ends the process removes the file at
// `hostPath` first: a file being written under a temporary name, which
// must not stay behind. Removal is tried, not promised (Windows removes no
// file another handle holds open).
class RemoveOnInterrupt {
 public:
  explicit RemoveOnInterrupt(std::string hostPath);
  ~RemoveOnInterrupt();
  RemoveOnInterrupt(const RemoveOnInterrupt&) = delete;
  RemoveOnInterrupt& operator=(const RemoveOnInterrupt&) = delete;

 private:
  std::string hostPath_;
};

}  // namespace kestrune::platform
