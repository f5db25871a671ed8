// A fresh host folder for one test, removed with everything in it.
#pragma once

#include <filesystem>
#include <string>

#include "platform/platform.h"

namespace kestrune::testing {

class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  // Writes `text` to the file `name` under the folder (parents created).
  void Write(const std::string& name, const std::string& text) const;
  // The file's bytes, or "<missing>".
  std::string Read(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

// Host options whose C: folder and temporary folder are both `folder`,
// with the program's waits skipped.
inline platform::PosixOptions FolderOptions(const std::filesystem::path& folder) {
  platform::PosixOptions options;
  options.cDriveFolder = folder.string();
  options.tempFolder = folder.string();
  options.realSleep = false;
  return options;
}

}  // namespace kestrune::testing
