// The one JSON document a console run prints with --json: the program's
// version, the drives, every message box shown, every file kept, how the
// run ended and its exit code. docs/json.md describes it.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "app/console/console_options.h"
#include "app/session/kept_files.h"
#include "base/drive_slot.h"
#include "base/report.h"
#include "operations/flash_map.h"
#include "view/view.h"

namespace kestrune::console {

// Members keep the order they were added in, so "version" leads.
using Json = nlohmann::ordered_json;

// A box the run showed: `drive` is the letter of --all whose run showed it,
// 0 for the run's own and for every box of a single-drive run.
struct DriveBox {
  char drive = 0;
  ShownBox box;
};

using session::DriveFile;
using session::MeasureFile;
using session::MeasureKeptFiles;

// "success", "failed", "usage error", "not found", "not administrator",
// "cancelled", "interrupted" or, for images, "stand-in images".
const char* OutcomeOfExitCode(int exitCode);

// "version", "command" and "all"; the last two only once the command line
// named a command.
Json DocumentHead(const ConsoleOptions& options);
Json BoxesJson(const std::vector<DriveBox>& boxes);
Json FilesJson(const std::vector<DriveFile>& files);
// One identified drive as the scan left its slot, with the map of its
// flash. `healthy` is the verdict of its identification; `states` what the
// operations learned of its copies.
Json SlotJson(const DriveSlot& slot, bool healthy, const CopyStates& states = {});
// Where a drive is plugged in: "port" (the USB port as the kernel names
// it), "serial" (the drive's USB serial) and "stick" (with watch, the
// how-many-th stick in that port), each null when the host did not say.
Json PlaceJson(const std::string& port, const std::string& serial, int stick);
// The marks of a flash picture, as the picture places them.
Json MapJson(const FlashMap& map);

// Adds "errors", "outcome" and "exitCode", and prints the document with
// nothing else on `out`. Drive texts may hold any bytes: invalid UTF-8 is
// replaced rather than thrown on.
// `indent` as nlohmann's dump takes it: -1 puts the document on one line.
void PrintDocument(std::ostream& out, Json document, const std::vector<std::string>& errors,
                   int exitCode, int indent = 2);

// export-drive's end: each `kestrune: ...` line said on stderr, and with
// --json its document, which tells the drive made of the recording and
// the two files written (named as the command line named them).
class ExportEnd {
 public:
  ExportEnd(const ConsoleOptions& options, std::ostream& out, std::ostream& err)
      : options_(options), out_(out), err_(err) {}
  void Say(const std::string& line);
  // The drive made: its letter in the recording, the recording, its
  // controller, its verdict and the pages the recording read of it.
  void Exported(char letter, const std::string& source, const std::string& controllerId,
                bool healthy, uint32_t pagesRead, uint32_t commands);
  void Wrote(const std::string& name);
  // Prints the document with --json; returns `code`.
  int End(int code);
  int Fail(int code, const std::string& problem) {
    Say(problem);
    return End(code);
  }

 private:
  const ConsoleOptions& options_;
  std::ostream& out_;
  std::ostream& err_;
  std::vector<std::string> said_;
  Json exported_;
  Json files_ = Json::array();
};

// Texts of a drive shared by the table of --all and the document.
std::string ControllerText(const DriveSlot& slot);
// The flash id in hex; empty when the drive gave none.
std::string FlashIdHex(const DriveSlot& slot);

}  // namespace kestrune::console
