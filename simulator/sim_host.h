// What the simulated drive needs of the operating system: its files, opened
// with the care a program run as root beside other users' files must take,
// the lock that keeps a drive to one run, and an abrupt end of the process
// or an interrupt for the tests. The files are reached through the folder
// layer of the platform, relative to the folder that holds them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/folder.h"
#include "platform/lock.h"

namespace kestrune::sim {

// kRead: `bytes` holds the whole file; kMissing: no file by that name;
// kRefused: `error` says why (not a regular file, too large, unreadable).
using platform::ReadStatus;

// Reads a whole regular file of at most `maxBytes`. The file is opened
// without blocking (a FIFO without a writer would wait forever) and its kind
// and size are checked on the open file before a byte is read. With
// `followLink` false, a symbolic link at the name is refused.
ReadStatus ReadRegularFile(const std::string& path, uint64_t maxBytes, bool followLink,
                           std::vector<uint8_t>* bytes, std::string* error);
// The same, with the first `headBytes` judged by `checkHead` before the
// size is weighed or anything more is read.
ReadStatus ReadRegularFile(const std::string& path, uint64_t maxBytes, bool followLink,
                           std::vector<uint8_t>* bytes, std::string* error, size_t headBytes,
                           const platform::Folder::HeadCheck& checkHead);

// A file being written, closed when the object goes.
class OutputFile {
 public:
  OutputFile() = default;

  // Creates `path` afresh: a file or link at that name is removed first and
  // the new file made exclusively, so no link is followed and no file that
  // another writer holds is truncated.
  static OutputFile CreateFresh(const std::string& path, std::string* error);
  // CreateFresh of `path`, a file that is to be renamed onto `replaced` in
  // the same folder: it gets no wider permissions than `replaced` has.
  static OutputFile CreateReplacement(const std::string& path, const std::string& replaced,
                                      std::string* error);
  // Creates `path` only where the name is free (a link there included),
  // readable by its owner alone.
  static OutputFile CreatePrivate(const std::string& path, std::string* error);

  bool IsOpen() const { return file_ != nullptr; }
  // Writes all of `data` after what was written before; false on any error.
  bool Write(const uint8_t* data, size_t size);
  void Close() { file_.reset(); }

 private:
  std::unique_ptr<platform::File> file_;
};

// Puts `from` in the place of `to` in one step; a link at `to` is replaced,
// not followed.
bool RenameOnto(const std::string& from, const std::string& to, std::string* error);
void RemoveFile(const std::string& path);

// Ends the process at once, as pulling the plug would: no destructor runs
// and no buffer is flushed (SIGKILL where the system has it).
[[noreturn]] void KillProcess();

// An exclusive lock on the file at `path`, never waited for: POSIX flock;
// on Windows LockFileEx on a byte far past the end, so that the file stays
// readable to everyone. With `create` a missing file is made, and a link at
// the name is refused rather than followed.
platform::LockAttempt LockFile(const std::string& path, bool create);

// Interrupts a user or the system sends a console program.
enum class ProcessSignal : uint8_t { kInterrupt, kTerminate, kHangUp };

// Sends this process `signal` and returns once the process has taken it
// (or at once, where it catches no interrupt), so an interrupt at a command
// lands right after it on any machine. POSIX: SIGINT, SIGTERM or SIGHUP to
// the whole process. Windows: Ctrl-C for an interrupt, Ctrl-Break for the
// others, to every process of the console.
void SignalProcess(ProcessSignal signal);

// Creates the file `marker` and returns only when the process ends, or
// after a minute, so that a test that never ends it still finishes.
void PauseUntilTheProcessEnds(const std::string& marker);

}  // namespace kestrune::sim
