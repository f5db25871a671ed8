// The plan of one run, as a front end fills it once from its own options:
// where its drives come from, what records them, the command each drive's
// job runs and how it is shown. The drive source, the recording, the
// runner and the jobs all read it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kestrune::session {

// The command a drive's job runs.
enum class JobCommand {
  kPrompt,  // commands typed at a prompt, one after another
  kScan,
  kFix,
  kDestroy,
  kBackup,
  kRestore,
  kMap,
};

// How an OK/Cancel box is answered.
enum class Answering {
  kAsk,       // ask on the terminal
  kAlwaysOk,  // --yes
  kNeverAsk,  // no terminal and no --yes: Cancel, so nothing is written unasked
};

// One drive named by its letter: a virtual-drive file (*.json), a
// recording to replay (*.krec, or any file that starts as one) or a device
// node.
struct DriveArgument {
  char letter = 0;
  std::string path;
  bool simulated = false;
  bool replay = false;
};

struct RunRequest {
  // The drives named, by letter; replays among them.
  std::vector<DriveArgument> drives;
  // The built-in drive, its flash file and lock in `builtInFolder`, so that
  // a second run sees what a fix wrote, as a replugged stick would.
  bool builtIn = false;
  std::string builtInFolder = ".";
  // Every drive at once: each letter is recorded into a file of its own.
  bool all = false;
  // Without any drive named, the host's own drives, read once, so that
  // every drive's thread and a question see one map.
  bool everyHostDrive = false;
  // Simulated drives run on the wall clock.
  bool realTime = false;
  // Every command to the drives goes to `recordFile` (with its reply) and
  // to `traceFile`; empty: not.
  std::string recordFile;
  bool recordOverwrite = false;
  std::string traceFile;

  JobCommand command = JobCommand::kPrompt;
  // The drive-list entry a single-drive run takes (0: the first).
  int select = 0;
  // The prompt offers destroy instead of fix.
  bool destroyMode = false;
  // restore: the backup files in copy order (empty: the default names), and
  // whether files not shown to be the drive's own may be written.
  std::vector<std::string> restoreFiles;
  bool donor = false;
  // restore: the save to write instead of the default one (empty: default).
  std::string restoreSave;
  // scan and fix also draw each drive's flash into its C: folder.
  bool map = false;
  // How the run's own question is answered.
  Answering answering = Answering::kNeverAsk;
  // Only errors, warnings, the questions a user must answer and the outcome.
  bool quiet = false;
  // The front end's output holds documents: boxes go to its error stream,
  // the drive list and the map are not shown, and a watch tells each drive
  // as its job ends.
  bool json = false;
  // Each drive's debug messages are shown.
  bool verbose = false;
  // How the front end takes what the operations' boxes ask for.
  std::string imagesHint;
  std::string donorFilesHint;
  std::string donorHint;
  // The run every save of this run is made in (see Program::runId).
  std::string runId;
  std::string fixHint;
};

}  // namespace kestrune::session
