// The POSIX implementation of the platform layer, for the console program
// and the tests. Programs usually get it from CreateHostPlatform; tests that
// need its counters construct it directly.
//
// Attributes: read-only is the absence of every write permission bit.
// Hidden, system and archive have no POSIX meaning; the bits last set are
// kept in memory by this object (keyed by host path) and reported back by
// GetFileAttributes, so they live for one run and vanish with the file.
// Like Windows, a read-only file can be neither deleted nor opened for
// writing, even by root.
//
// Files are reached through the C: folder and the work folder, each opened
// once (PosixOptions) and kept; sub-folders are opened relative to them and
// no link at any name below them is followed.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform/folder.h"
#include "platform/platform.h"

namespace kestrune::platform {

inline constexpr uint32_t kFileAttributeDirectory = 0x10;

class PosixPlatform : public Platform {
 public:
  explicit PosixPlatform(PosixOptions options);

  void DebugOutput(const char* text) override;
  uint32_t GetWindowsDirectory(char* buffer, uint32_t size) override;
  uint32_t GetTempPath(char* buffer, uint32_t size) override;
  bool FindFile(const std::string& path) override;
  bool SetFileAttributes(const std::string& path, uint32_t attributes) override;
  std::optional<uint32_t> GetFileAttributes(const std::string& path) override;
  bool DeleteFile(const std::string& path) override;
  bool CreateDirectory(const std::string& path) override;
  bool CanOpenForReading(const std::string& path) override;
  std::unique_ptr<File> OpenFile(const std::string& path, OpenMode mode) override;
  void Sleep(uint32_t milliseconds) override;
  bool IsAdministrator() override;
  std::string GetModuleFileName() override;
  std::optional<std::span<const uint8_t>> FindResource(const char* type, uint16_t id) override;
  bool MoveFile(const std::string& from, const std::string& to) override;
  bool ReplaceFile(const std::string& from, const std::string& to) override;
  HeldLock LockFolder(const std::string& folder, uint32_t waitMilliseconds) override;
  std::string HostPath(const std::string& path) override;
  std::string LastErrorText() override;
  FolderOpening OpenFolder(const std::string& path, FolderRule rule) override;

  // Milliseconds asked of Sleep so far (whether or not it really slept).
  uint64_t SleptMilliseconds() const { return slept_; }
  const PosixOptions& options() const { return options_; }

 private:
  friend std::string MapToHostPath(const PosixOptions& options, const std::string& path);

  // Where a program path leads: the folder that holds its last component,
  // and that component as it exists (or as given when nothing matches).
  struct Place {
    std::shared_ptr<Folder> folder;  // null with `error` set
    std::string name;                // empty when the path is the folder itself
    std::string text;                // the host path, spelled as the options give the folders
    int error = 0;
  };
  Place Locate(const std::string& path);
  // The C: folder or the work folder, opened at first use when the options
  // bring none.
  std::shared_ptr<Folder> Root(bool cDrive, int& error);
  // Keeps `error` for LastErrorText; returns false.
  bool Fail(int error);

  PosixOptions options_;
  uint64_t slept_ = 0;
  int lastError_ = 0;
  // Said after the error's text: who holds a folder lock that was waited for.
  std::string lastErrorDetail_;
  // The refused file's own words, when an open gave them.
  std::string lastWhy_;
  // Hidden/system/archive bits by host path (see above).
  std::map<std::string, uint32_t> sideAttributes_;
};

// True when a /proc/<pid>/status text shows CAP_SYS_RAWIO (bit 17) in the
// effective capability set.
bool StatusHasRawIo(std::string_view statusText);

}  // namespace kestrune::platform
