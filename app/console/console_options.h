// The command line of the console front end.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/session/run_report.h"
#include "app/session/run_request.h"
#include "program_version.h"

namespace kestrune::console {

// How the console takes what the operations' boxes ask for: a folder of
// images (its option and the setting both programs read), and files of
// another drive for a restore.
inline constexpr const char* kConsoleImagesHint = "with --images or KESTRUNE_IMAGES";
inline constexpr const char* kConsoleDonorFilesHint = "with --from, with --donor";
inline constexpr const char* kConsoleDonorHint = "with --donor";
inline constexpr const char* kConsoleFixHint = "kestrune fix";

enum class Command {
  kInteractive,
  kScan,
  kFix,
  kDestroy,
  kBackup,
  kRestore,
  kList,
  kExportDrive,
  kMap,
  kImages,
  kBackups,
};

// One --drive X=PATH: a virtual-drive file (*.json), a recording to replay
// (*.krec, or any file that starts as one) or a device node.
using session::DriveArgument;

struct ConsoleOptions {
  Command command = Command::kInteractive;
  std::vector<DriveArgument> drives;
  bool simulate = false;
  int select = 0;
  bool yes = false;
  std::string cDriveFolder;
  std::string tempFolder;
  std::string imagesFolder;
  std::string traceFile;
  // --record: every command to the drives, with its reply, to this file.
  std::string recordFile;
  bool recordOverwrite = false;
  // export-drive: the virtual-drive file to make of a recording.
  std::string exportFile;
  // images DIR: the folder whose images are checked.
  std::string checkFolder;
  bool verbose = false;
  bool json = false;
  // Only errors, warnings, the questions a user must answer and the final
  // outcome.
  bool quiet = false;
  // --all: every drive at once, each in a thread of its own.
  bool all = false;
  // watch: the command runs on each USB drive as it is plugged in, as a
  // letter of --all (`all` is set with it); --include-present: the drives
  // plugged in before the watch began too.
  bool watch = false;
  bool includePresent = false;
  // restore --from: the backup files in copy order; empty for the default names.
  std::vector<std::string> restoreFiles;
  // restore --donor: files not shown to be this drive's own may be written,
  // after a question.
  bool donor = false;
  // restore --save ID: the save to write instead of the default one.
  std::string restoreSave;
  bool version = false;
  // --map: scan and fix also draw each drive's flash into its C: folder.
  bool map = false;
  // Why the command line was refused, when it was.
  // With --json --help: the usage, told in the document instead of as text.
  std::string help;
  std::string problem;
};

// The exit codes are the run report's.
using session::kExitCancelled;
using session::kExitDone;
using session::kExitFailure;
using session::kExitHeld;
using session::kExitInterrupted;
using session::kExitNoDevice;
using session::kExitNotAdministrator;
using session::kExitUsage;
// images: the set is whole but holds generated stand-ins, which serve
// tests and simulated drives only.
inline constexpr int kExitStandInImages = 6;

// Said on the first, second and third interrupt while the ISP is being
// written; the third ends the run at once.
inline constexpr const char* kInterruptNotice =
    "interrupt received; finishing the write of the ISP so the drive stays usable";
inline constexpr const char* kInterruptAgain =
    "interrupt received again; a third stops the run at once and may leave the drive half written";
inline constexpr const char* kInterruptForced =
    "stopped at once: the drive may be left half written";
// Said on an interrupt while a watch waits for drives.
inline constexpr const char* kInterruptWatchNotice =
    "interrupt received; the watch ends once the drives under way are done";
inline constexpr const char* kInterruptWatchAgain =
    "interrupt received again; a third stops the run at once";
inline constexpr const char* kInterruptWatchForced = "stopped at once";
// The same once the write is over and its outcome is being told.
inline constexpr const char* kInterruptOutcomeNotice =
    "interrupt received; the ISP write is over, the run ends once its outcome is told";
inline constexpr const char* kInterruptOutcomeAgain =
    "interrupt received again; a third stops the run at once";
inline constexpr const char* kInterruptOutcomeForced = "stopped at once";
// Said when an interrupt ends the run at once, no write under way.
inline constexpr const char* kInterruptStopNotice =
    "interrupt received; the run stops now, each drive where it got";

inline constexpr const char* kVersionText = "Kestrune v1.0.0.7";
// The version alone, as the JSON document gives it.
inline constexpr const char* kVersionNumber = kProgramVersion;
static_assert(std::string_view(kVersionText).ends_with(kVersionNumber));
// The name ending that makes a --drive file a recording to replay.
inline constexpr const char* kRecordingExtension = ".krec";
// The letter --simulate puts the built-in drive on.
inline constexpr char kSimulateLetter = 'E';
// Where --simulate keeps the built-in drive's flash, inside the C: folder.
inline constexpr const char* kDefaultDriveFlashFile = "kestrune-default-drive.flash";
// The file beside it whose lock keeps the built-in drive to one run: the
// flash file itself is replaced whenever it is compacted.
inline constexpr const char* kDefaultDriveLockFile = "kestrune-default-drive.lock";

// Parses the command line into `options`. Returns an exit code when the
// program is to stop here (kExitDone after --help, kExitUsage after a
// message on `err`), nullopt when it is to go on. --version only sets
// options.version: what it prints depends on the images chosen.
std::optional<int> ParseConsoleOptions(int argc, const char* const* argv, ConsoleOptions& options,
                                       std::ostream& out, std::ostream& err);

// The command's name on the command line ("" for the prompt); a watch's
// is that of the command it runs.
const char* CommandName(Command command);

}  // namespace kestrune::console
