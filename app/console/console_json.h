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
#include "discovery/drive_slot.h"
#include "view/view.h"

namespace kestrune {
namespace platform {
class Platform;
}  // namespace platform
}  // namespace kestrune

namespace kestrune::console {

// Members keep the order they were added in, so "version" leads.
using Json = nlohmann::ordered_json;

// A message box as it was shown, and the answer it got.
struct ShownBox {
  std::string caption;
  std::string text;
  unsigned style = 0;
  // kIdOk or kIdCancel for an OK/Cancel box; 0 for the others.
  int answer = 0;
  // The drive of --all whose run showed it; 0 for the run's own.
  char drive = 0;
};

// A file the run wrote and keeps.
struct KeptFile {
  std::string name;  // as the program spells it: "C:\\ISP0_Before.bin"
  std::string path;  // where it really is
  std::optional<uint64_t> size;
  std::optional<std::string> sha256;  // lower-case hex
  char drive = 0;
};

// What one program of the run showed and kept, for the document. The files
// are read back through `files`, the platform that wrote them.
class RunRecord {
 public:
  explicit RunRecord(platform::Platform& files, char drive = 0);

  void Box(const std::string& text, const std::string& caption, unsigned style, int answer);
  // A file complete when it is named is measured at once; the log, which
  // grows to the end of the run, by Finish.
  void File(const WrittenFile& file);
  void Finish();
  // A line the run printed on stderr about what it could not do.
  void Problem(const std::string& text) { problems_.push_back(text); }

  const std::vector<ShownBox>& boxes() const { return boxes_; }
  const std::vector<KeptFile>& files() const { return files_; }
  const std::vector<std::string>& problems() const { return problems_; }

 private:
  void Measure(KeptFile& file);

  platform::Platform& platform_;
  char drive_;
  std::vector<ShownBox> boxes_;
  std::vector<KeptFile> files_;
  std::vector<size_t> growing_;
  std::vector<std::string> problems_;
};

const char* CommandName(Command command);
// "success", "failed", "usage error", "not found", "not administrator",
// "cancelled" or "interrupted".
const char* OutcomeOfExitCode(int exitCode);

// "version", "command" and "all".
Json DocumentHead(const ConsoleOptions& options);
Json BoxesJson(const std::vector<ShownBox>& boxes);
Json FilesJson(const std::vector<KeptFile>& files);
// One identified drive as the scan left its slot. `healthy` is the
// verdict of its identification.
Json SlotJson(const DriveSlot& slot, bool healthy);

// Adds "errors", "outcome" and "exitCode", and prints the document with
// nothing else on `out`. Drive texts may hold any bytes: invalid UTF-8 is
// replaced rather than thrown on.
void PrintDocument(std::ostream& out, Json document, const std::vector<std::string>& errors,
                   int exitCode);

// Texts of a drive shared by the table of --all and the document.
std::string ControllerText(const DriveSlot& slot);
// The flash id in hex; empty when the drive gave none.
std::string FlashIdHex(const DriveSlot& slot);

}  // namespace kestrune::console
