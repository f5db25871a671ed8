#include "app/console/console_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <ostream>
#include <string_view>
#include <vector>

namespace kestrune::console {

namespace {

bool EndsWith(const std::string& path, const std::string& ending) {
  if (path.size() < ending.size()) return false;
  std::string tail = path.substr(path.size() - ending.size());
  for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == ending;
}

bool EndsWithJson(const std::string& path) { return EndsWith(path, ".json"); }

// What a command takes besides the options every command takes.
enum Takes : unsigned {
  kTakesNothing = 0,
  kTakesAll = 1U << 0,             // --all
  kTakesMap = 1U << 1,             // --map
  kTakesRestoreFiles = 1U << 2,    // --from, --donor
  kTakesIncludePresent = 1U << 3,  // --include-present
  kTakesFile = 1U << 4,            // a file name after it (export-drive's)
  kTakesCommand = 1U << 5,         // a command after it (watch's)
  kTakesOutput = 1U << 6,          // --json, --quiet
};

struct CommandRow {
  std::string_view name;
  Command command;
  unsigned takes;
};

// The commands, and what each takes. Without a command the prompt runs,
// which takes nothing of these.
constexpr CommandRow kCommands[] = {
    {"scan", Command::kScan, kTakesAll | kTakesMap | kTakesOutput},
    {"fix", Command::kFix, kTakesAll | kTakesMap | kTakesOutput},
    {"destroy", Command::kDestroy, kTakesAll | kTakesOutput},
    {"backup", Command::kBackup, kTakesAll | kTakesOutput},
    {"restore", Command::kRestore, kTakesRestoreFiles | kTakesOutput},
    {"list", Command::kList, kTakesOutput},
    {"export-drive", Command::kExportDrive, kTakesFile | kTakesOutput},
    {"map", Command::kMap, kTakesAll | kTakesOutput},
    // What it runs on each drive decides the rest.
    {"watch", Command::kScan, kTakesCommand | kTakesIncludePresent | kTakesOutput},
};
constexpr CommandRow kInteractiveRow{"", Command::kInteractive, kTakesNothing};
// What watch runs on each drive plugged in; the first when it names none.
constexpr CommandRow kWatched[] = {kCommands[0], kCommands[1], kCommands[3]};

// An option that goes with some commands only, and what is said when it
// comes with another.
struct GoesWith {
  unsigned takes;
  const char* refusal;
};
constexpr GoesWith kFromGoesWith{kTakesRestoreFiles, "--from goes with the restore command only"};
constexpr GoesWith kDonorGoesWith{kTakesRestoreFiles, "--donor goes with the restore command only"};
constexpr GoesWith kIncludePresentGoesWith{kTakesIncludePresent,
                                           "--include-present goes with watch only"};
constexpr GoesWith kMapGoesWith{kTakesMap,
                                "--map goes with scan or fix (the map command draws without it)"};
constexpr GoesWith kAllGoesWith{kTakesAll, "--all goes with scan, fix, backup, destroy or map"};

template <size_t N>
const CommandRow* FindCommand(const CommandRow (&rows)[N], std::string_view name) {
  for (const CommandRow& row : rows) {
    if (row.name == name) return &row;
  }
  return nullptr;
}

template <size_t N>
std::vector<std::string> CommandNames(const CommandRow (&rows)[N]) {
  std::vector<std::string> names;
  for (const CommandRow& row : rows) names.emplace_back(row.name);
  return names;
}

// "X=PATH" -> letter and path; false with `problem` set when malformed.
bool ParseDriveArgument(const std::string& text, DriveArgument& drive, std::string& problem) {
  if (text.size() < 3 || text[1] != '=' || !std::isalpha(static_cast<unsigned char>(text[0]))) {
    problem = "--drive takes X=PATH, a drive letter and a device node or virtual-drive file: '" +
              text + "'";
    return false;
  }
  drive.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  // The scan never looks at A:, so a drive there would silently go unused.
  if (drive.letter == 'A') {
    problem = "--drive A=... is never scanned; use a letter from B to Z";
    return false;
  }
  drive.path = text.substr(2);
  drive.simulated = EndsWithJson(drive.path);
  drive.replay = EndsWith(drive.path, kRecordingExtension);
  return true;
}

// What --all cannot be combined with.
std::optional<std::string> AllProblem(const ConsoleOptions& options, unsigned takes,
                                      bool selectGiven) {
  if (!options.all) return std::nullopt;
  if ((takes & kAllGoesWith.takes) == 0) return kAllGoesWith.refusal;
  // Every drive is acted on; a list entry would pick one.
  if (selectGiven) return "--all acts on every drive; --select picks one";
  return std::nullopt;
}

// What export-drive, --record and a replay cannot be combined with.
std::optional<std::string> RecordingProblem(const ConsoleOptions& options) {
  const bool exporting = options.command == Command::kExportDrive;
  if (exporting != !options.exportFile.empty()) {
    return exporting ? "export-drive takes the name of the virtual-drive file to write"
                     : "only export-drive takes a file name after the command";
  }
  if (exporting && !EndsWithJson(options.exportFile)) {
    return "export-drive writes a virtual-drive file, whose name ends in .json: '" +
           options.exportFile + "'";
  }
  if (exporting && (options.all || !options.recordFile.empty())) {
    return "export-drive goes with one --drive X=FILE naming a recording, and nothing of a run";
  }
  if (options.recordOverwrite && options.recordFile.empty()) {
    return "--record-overwrite goes with --record";
  }
  const bool replaying = std::any_of(options.drives.begin(), options.drives.end(),
                                     [](const DriveArgument& d) { return d.replay; });
  if (replaying && options.all) {
    return "--all does not replay; replay each letter's recording in a run of its own";
  }
  return std::nullopt;
}

}  // namespace

const char* CommandName(Command command) {
  for (const CommandRow& row : kCommands) {
    if (row.command == command) return row.name.data();
  }
  return "";
}

std::vector<std::string> DialogArguments(const ConsoleOptions& options) {
  if (options.command == Command::kDestroy) return {"-d"};
  return {};
}

std::optional<int> ParseConsoleOptions(int argc, const char* const* argv, ConsoleOptions& options,
                                       std::ostream& out, std::ostream& err) {
  CLI::App app{"Checks and repairs the ISP of USB flash drives.", "kestrune"};

  std::string command;
  // What follows the command: export-drive's file, or the command watch runs.
  std::string second;
  std::vector<std::string> drives;
  app.add_option("command", command,
                 "scan: start up and list the drives; fix: Start Fix on the selected drive; "
                 "destroy: Destory ISP on the selected drive; backup: save the ISP areas of the "
                 "selected drive to ISP<n>_Backup.bin; restore: write backup files back; list: "
                 "the candidate disks as sysfs describes them, none opened; export-drive OUT.json: "
                 "a virtual drive made of the recording --drive names; map: draw the selected "
                 "drive's flash, its ISP copies compared with the image, into ISP_Map.svg; watch "
                 "[scan|fix|backup]: the command on each USB drive as it is plugged in; none: "
                 "interactive")
      ->check(CLI::IsMember(CommandNames(kCommands)));
  app.add_option("argument", second,
                 "with export-drive: the virtual-drive file to write (its flash goes beside it, "
                 "in OUT.json.flash); with watch: the command each USB drive plugged in gets "
                 "(scan, fix or backup; default scan), in a thread of its own as with --all");
  app.add_flag("--include-present", options.includePresent,
               "with watch: also the drives plugged in before the watch began");
  app.add_option("--drive", drives,
                 "X=PATH: drive letter X is a device node (or a /dev/disk/by-id or by-path link "
                 "to one) or a virtual-drive file (*.json); repeatable; replaces the /sys/block "
                 "letter map")
      ->allow_extra_args(false)
      ->take_all();
  app.add_flag("--simulate", options.simulate, "the built-in default simulated drive, on E:");
  CLI::Option* select =
      app.add_option("--select", options.select, "drive-list entry to act on (default 0)")
          ->check(CLI::Range(0, 24));
  app.add_flag("--yes", options.yes, "answer OK to OK/Cancel boxes");
  app.add_option("--c-drive", options.cDriveFolder,
                 "the folder that stands for drive C: (default: the current directory)");
  app.add_option("--temp", options.tempFolder,
                 "the work folder, where the images are written: an existing folder of your own "
                 "that no other user can write (default: kestrune-<uid> in $TMPDIR or /tmp)");
  app.add_option("--images", options.imagesFolder,
                 "a folder holding the 31 ISP images under their catalogue names, written "
                 "instead of the built-in ones (also KESTRUNE_IMAGES=DIR)");
  app.add_option("--trace", options.traceFile, "one line per device command to FILE");
  app.add_option("--record", options.recordFile,
                 "every command sent to the drive, with its reply, to FILE (a new file, see "
                 "docs/recording.md); with --all one file per letter, the letter before FILE's "
                 "extension (run.krec: run.E.krec); replay it with --drive X=FILE");
  app.add_flag("--record-overwrite", options.recordOverwrite,
               "with --record: replace a file already there");
  CLI::Option* verbose = app.add_flag("--verbose", options.verbose, "the debug channel to stderr");
  app.add_flag("--json", options.json,
               "with a command: one JSON document on stdout, and nothing else there (see "
               "docs/json.md)");
  app.add_flag("--quiet", options.quiet,
               "with a command: only errors, warnings, the questions --yes does not answer, and "
               "a last line with the outcome")
      ->excludes(verbose);
  app.add_flag("--all", options.all,
               "with scan, fix, backup or destroy: every drive at once, each in a thread of its "
               "own, its files in a folder named by its letter inside the C: folder");
  app.add_option("--from", options.restoreFiles,
                 "with restore: a backup file, one per ISP copy in copy order (0x190: the ISP "
                 "file, then the auxiliary file of each copy); repeatable; default: the newest "
                 "ISP<n>_Before*.bin (0x190: ISP<n>_Backup*.bin and ISP<n>_Aux*.bin) that "
                 "kestrune-backups.json in the C: folder records for this drive")
      ->allow_extra_args(false);
  app.add_flag("--donor", options.donor,
               "with restore: also write backup files that are not shown to be this drive's own "
               "(of another stick of the same model, or of unknown origin), after a question "
               "that names where each came from");
  app.add_flag("--map", options.map,
               "with scan or fix: also draw each drive's flash into ISP_Map.svg in its C: "
               "folder, as the map command does");
  app.add_flag("--version", options.version,
               "the version, and which ISP images this run would write");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e, out, err);
  } catch (const CLI::ParseError& e) {
    err << "kestrune: " << e.what() << "\nRun with --help for the usage." << std::endl;
    options.problem = e.what();
    // The line could not be read, but a document was asked for.
    for (int i = 1; i < argc; ++i) options.json = options.json || std::string(argv[i]) == "--json";
    return kExitUsage;
  }
  // Every later problem is said, and kept for the document.
  const auto usage = [&options, &err](const std::string& problem) {
    err << "kestrune: " << problem << std::endl;
    options.problem = problem;
    return kExitUsage;
  };

  const CommandRow* row = command.empty() ? &kInteractiveRow : FindCommand(kCommands, command);
  if (row == nullptr) row = &kInteractiveRow;  // the check above let none other through
  options.command = row->command;
  unsigned takes = row->takes;
  if ((row->takes & kTakesCommand) != 0) {
    options.watch = true;
    const CommandRow* watched = second.empty() ? &kWatched[0] : FindCommand(kWatched, second);
    if (watched == nullptr) {
      return usage("watch runs scan, fix or backup on each drive: '" + second + "'");
    }
    options.command = watched->command;
    // A watch takes what it takes, and what the command it runs takes.
    takes |= watched->takes;
  }
  // An option that goes with other commands only.
  const auto refused = [&takes](bool given, const GoesWith& rule) -> std::optional<std::string> {
    if (given && (takes & rule.takes) == 0) return std::string(rule.refusal);
    return std::nullopt;
  };

  for (const std::string& text : drives) {
    DriveArgument drive;
    std::string problem;
    if (!ParseDriveArgument(text, drive, problem)) return usage(problem);
    for (const DriveArgument& other : options.drives) {
      if (other.letter == drive.letter) {
        return usage(std::string("drive ") + drive.letter + ": is given twice");
      }
    }
    if (options.simulate && drive.letter == kSimulateLetter) {
      return usage(std::string("--simulate already puts a drive on ") + kSimulateLetter + ":");
    }
    options.drives.push_back(drive);
  }

  if (auto problem = refused(!options.restoreFiles.empty(), kFromGoesWith)) return usage(*problem);
  if (auto problem = refused(options.donor, kDonorGoesWith)) return usage(*problem);
  if (!options.watch) options.exportFile = second;
  if (auto problem = refused(options.includePresent, kIncludePresentGoesWith)) {
    return usage(*problem);
  }
  if (options.watch) {
    // The drives come as they are plugged in, never from a letter map.
    if (options.all) return usage("watch runs every drive plugged in; --all is implied");
    if (!options.drives.empty() || options.simulate) {
      return usage("watch takes the USB drives plugged in; --drive and --simulate name others");
    }
    if (!options.recordFile.empty())
      return usage("watch records nothing; --record goes with a run");
    options.all = true;
  }
  if (auto problem = RecordingProblem(options)) return usage(*problem);
  if (auto problem = refused(options.map, kMapGoesWith)) return usage(*problem);
  if (auto problem = AllProblem(options, takes, select->count() > 0)) return usage(*problem);
  // The prompt talks with its user in lines of its own.
  if ((takes & kTakesOutput) == 0 && (options.json || options.quiet)) {
    return usage(std::string(options.json ? "--json" : "--quiet") +
                 " goes with a command: scan, fix, destroy, backup, restore, list or map");
  }
  return std::nullopt;
}

}  // namespace kestrune::console
