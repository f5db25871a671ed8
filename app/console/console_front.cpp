#include "app/console/console_front.h"

#include <istream>
#include <ostream>
#include <random>
#include <sstream>

#include "app/console/console_live.h"
#include "app/console/console_map.h"
#include "app/console/console_view.h"
#include "app/drive_session.h"
#include "app/session/drive_job.h"
#include "operations/backup_records.h"
#include "platform/platform.h"

namespace kestrune::console {

namespace {

void PrintDriveList(std::ostream& out, const DriveSession& session) {
  const std::vector<std::string> lines = session.DriveLines();
  const int selected = session.lastComboIndex;
  for (size_t i = 0; i < lines.size(); ++i) {
    // The line holds the drive's own vendor and product bytes.
    out << (static_cast<int>(i) == selected ? "* " : "  ") << i << " Drive Volume "
        << PrintableText(lines[i]) << std::endl;
  }
}

void Interactive(DriveSession& session, bool destroy, session::JobView& view, std::istream& in,
                 std::ostream& out, std::ostream& err) {
  const char* action = destroy ? "destroy" : "fix";
  const char* button = destroy ? "Destory ISP" : "Start Fix";
  const auto printCommands = [&] {
    out << "Commands: select N | " << action << " (" << button << ") | list | quit" << std::endl;
  };
  printCommands();
  for (;;) {
    out << "kestrune> " << std::flush;
    std::string line;
    if (!std::getline(in, line)) {
      out << std::endl;
      return;
    }
    std::istringstream words(line);
    std::string word;
    words >> word;
    if (word.empty()) continue;
    if (word == "quit" || word == "exit" || word == "q") return;
    if (word == "list") {
      PrintDriveList(out, session);
    } else if (word == "select") {
      int entry = -1;
      if (!(words >> entry)) {
        err << "select takes a drive-list entry number" << std::endl;
        continue;
      }
      std::string problem;
      if (session::SelectEntry(session, entry, 0, problem)) {
        PrintDriveList(out, session);
      } else {
        err << "kestrune: " << problem << std::endl;
      }
    } else if (word == action) {
      // The console has no window for a command to close and open.
      CommandWindow noWindow;
      if (destroy) {
        session.Destroy(noWindow, true);
      } else {
        session.Fix(noWindow);
      }
      view.CommandEnded();
      // An interrupt held during the write ends the session.
      if (platform::InterruptReceived()) return;
    } else {
      err << "unknown command '" << word << "'" << std::endl;
      printCommands();
    }
  }
}

session::JobCommand JobCommandOf(Command command) {
  switch (command) {
    case Command::kInteractive:
      return session::JobCommand::kPrompt;
    case Command::kFix:
      return session::JobCommand::kFix;
    case Command::kDestroy:
      return session::JobCommand::kDestroy;
    case Command::kBackup:
      return session::JobCommand::kBackup;
    case Command::kRestore:
      return session::JobCommand::kRestore;
    case Command::kMap:
      return session::JobCommand::kMap;
    case Command::kScan:
    case Command::kList:
    case Command::kExportDrive:
    case Command::kImages:
    case Command::kBackups:
      break;
  }
  // list, backups, export-drive and images run no job; what one would do is a scan's.
  return session::JobCommand::kScan;
}

}  // namespace

std::unique_ptr<session::JobView> ConsoleFront::MakeView(std::ostream& boxes, std::istream& in,
                                                         std::ostream& err,
                                                         session::Answering answering, bool quiet) {
  auto view = std::make_unique<ConsoleView>(boxes, in, err, answering, quiet);
  // A command's own run ends with its job; the interactive prompt runs
  // many, and shows what it held as each ends (CommandEnded).
  view->HoldReplugBoxes(true);
  return view;
}

void ConsoleFront::ShowDriveList(const DriveSession& session, std::ostream& out) {
  PrintDriveList(out, session);
}

void ConsoleFront::Prompt(DriveSession& session, bool destroy, session::JobView& view,
                          std::istream& in, std::ostream& out, std::ostream& err) {
  Interactive(session, destroy, view, in, out, err);
}

bool ConsoleFront::KeepMap(Program& program, const FlashMap& map, std::string* text, bool colour,
                           std::string& problem) {
  const MapCaption caption = CaptionOf(program);
  const bool kept = KeepFlashMap(program, map, caption, problem);
  if (text != nullptr) *text = FlashMapText(map, caption, colour);
  return kept;
}

std::unique_ptr<session::LineStream> ConsoleFront::Lines(Output output, std::string prefix) {
  // With --json stdout holds the document alone.
  std::ostream& to = output == Output::kBoxes && !options_.json ? io_.out : io_.err;
  return std::make_unique<OwnedStream>(terminal_, to, std::move(prefix));
}

std::unique_ptr<session::DriveRows> ConsoleFront::Rows() {
  // The live table: on a terminal, and when no other output was asked for.
  if (!LiveTableWanted(options_, io_)) return nullptr;
  return std::make_unique<JobRows>(terminal_, JobCommandOf(options_.command));
}

session::Answering AnsweringOf(const ConsoleOptions& options, const ConsoleStreams& io) {
  return options.yes          ? Answering::kAlwaysOk
         : io.inputIsTerminal ? Answering::kAsk
                              : Answering::kNeverAsk;
}

session::RunRequest RequestOf(const ConsoleOptions& options, const ConsoleStreams& io,
                              const Settings& settings) {
  session::RunRequest request;
  request.drives = options.drives;
  request.builtIn = options.simulate;
  // The built-in drive keeps its flash in the C: folder, so that a second
  // run sees what a fix wrote, as a replugged stick would.
  request.builtInFolder = options.cDriveFolder.empty() ? "." : options.cDriveFolder;
  request.all = options.all;
  // --all takes the host's letters once, so that every drive's thread and
  // the confirmation see the same map.
  request.everyHostDrive = options.all && !options.watch;
  request.realTime = settings.simulatorRealTime;
  request.recordFile = options.recordFile;
  request.recordOverwrite = options.recordOverwrite;
  request.traceFile = options.traceFile;
  request.command = JobCommandOf(options.command);
  request.select = options.select;
  request.destroyMode = options.command == Command::kDestroy;
  request.restoreFiles = options.restoreFiles;
  request.donor = options.donor;
  request.restoreSave = options.restoreSave;
  request.map = options.map;
  request.answering = AnsweringOf(options, io);
  request.quiet = options.quiet;
  request.json = options.json;
  request.verbose = options.verbose;
  request.imagesHint = kConsoleImagesHint;
  request.donorFilesHint = kConsoleDonorFilesHint;
  request.donorHint = kConsoleDonorHint;
  request.fixHint = kConsoleFixHint;
  // One id for every drive of this run: the time, and randomness enough
  // that two runs of one second never share it.
  std::random_device random;
  request.runId = UtcTimestamp() + FormatText("-%08x", static_cast<unsigned>(random()));
  return request;
}

}  // namespace kestrune::console
