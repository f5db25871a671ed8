// The folders of the drives of a run that takes several at once: each
// drive gets a C: folder and a work folder of its own, named by its letter,
// inside the run's, and a platform over them.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/folder.h"
#include "platform/platform.h"

namespace kestrune::session {

// The run's C: folder or work folder, as opened at its start; opened here
// when the run brought none (it was not there then).
struct RunFolder {
  std::shared_ptr<platform::Folder> folder;
  platform::FolderCheck check;
  std::string what;  // "the C: folder /x", for messages
};

class DriveFolders {
 public:
  // Opens the run's C: folder and work folder once, for every drive.
  explicit DriveFolders(const platform::PosixOptions& run);

  // The drive's C: folder and work folder, its platform (its debug output
  // to `debug`), and its log when the run's C: folder (seen through `host`)
  // holds ISP.log; `madeLog` is set when this made the drive's empty log.
  // Null with `problem` set: the drive is then left alone.
  std::unique_ptr<platform::Platform> Prepare(char letter, platform::Platform& host,
                                              std::function<void(const char*)> debug, bool& madeLog,
                                              std::string& problem) const;
  // A platform over the run's whole C: folder (and the drive's work folder),
  // through which a drive's restore finds saves kept under other letters.
  // Null with `problem` set.
  std::unique_ptr<platform::Platform> Tree(char letter, std::string& problem) const;

 private:
  platform::PosixOptions run_;
  RunFolder cDrive_;
  RunFolder work_;
};

}  // namespace kestrune::session
