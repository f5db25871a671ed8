// The files a drive's job kept, as the run's documents name them: each
// read back through the platform that wrote it, for its size and digest as
// it is when the document is made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/report.h"
#include "platform/text.h"

namespace kestrune {
namespace platform {
class Platform;
}  // namespace platform
}  // namespace kestrune

namespace kestrune::session {

// A file the run keeps: `drive` is the letter of the job that kept it, 0
// for a single-drive run.
struct DriveFile {
  char drive = 0;
  KeptFile file;
  std::optional<std::string> sha256;  // lower-case hex
};

// Digests are named in lower-case hex, as the documents name them.
using platform::HexText;

// Reads `file` back through `files`, the platform that wrote it (so a FIFO
// or a folder put under its name is refused, never waited on): its size and
// digest now. One that cannot be read keeps the size it was written with.
DriveFile MeasureFile(platform::Platform& files, char drive, const KeptFile& file);
// Every file the reports kept, measured through `files`; a file that grows
// to the end of the run (the log, the records) is named once.
std::vector<DriveFile> MeasureKeptFiles(platform::Platform& files, char drive,
                                        const std::vector<Report>& reports);

}  // namespace kestrune::session
