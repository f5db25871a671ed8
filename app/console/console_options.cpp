#include "app/console/console_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <ostream>
#include <string_view>
#include <type_traits>
#include <variant>
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

// The lambdas of one visit, as one callable.
template <class... Lambdas>
struct Overloaded : Lambdas... {
  using Lambdas::operator()...;
};
template <class... Lambdas>
Overloaded(Lambdas...) -> Overloaded<Lambdas...>;

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
  kTakesFolder = 1U << 7,          // a folder after it (images')
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
    {"restore", Command::kRestore, kTakesAll | kTakesRestoreFiles | kTakesOutput},
    {"backups", Command::kBackups, kTakesOutput},
    {"list", Command::kList, kTakesOutput},
    {"export-drive", Command::kExportDrive, kTakesFile | kTakesOutput},
    {"map", Command::kMap, kTakesAll | kTakesOutput},
    {"images", Command::kImages, kTakesFolder | kTakesOutput},
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
constexpr GoesWith kSaveGoesWith{kTakesRestoreFiles, "--save goes with the restore command only"};
constexpr GoesWith kAllGoesWith{kTakesAll,
                                "--all goes with scan, fix, backup, destroy, restore or map"};
// The commands --json and --quiet go with, as the refusal names them.
constexpr const char* kOutputCommands =
    "scan, fix, destroy, backup, restore, backups, list, map, images, export-drive or watch";

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
  // Each stick goes back to its own save; files or a save named by hand
  // belong to one drive.
  if (!options.restoreFiles.empty() || options.donor || !options.restoreSave.empty()) {
    return "--all restores each drive from its own save; --from, --donor and --save go with a "
           "restore of one drive";
  }
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

// What the command line holds besides the options themselves, for the
// steps below to read: the command, what follows it (export-drive's file, or
// the command watch runs) and the --drive texts.
struct Words {
  std::string command;
  std::string second;
  std::vector<std::string> drives;
};

// Where an option's value goes: a flag's bool, a value or a list of values.
using OptionTarget =
    std::variant<std::string Words::*, std::vector<std::string> Words::*, bool ConsoleOptions::*,
                 int ConsoleOptions::*, std::string ConsoleOptions::*,
                 std::vector<std::string> ConsoleOptions::*>;

// What an option's value is checked against while the line is read.
enum class OptionCheck { kNone, kCommandName, kListEntry };

struct OptionRow {
  const char* name;  // without dashes: a word in its place on the line
  OptionTarget target;
  const char* help;
  OptionCheck check = OptionCheck::kNone;
  const char* excludes = nullptr;  // an option above that cannot come with it
};

// The command line, in the order --help lists it. Which options go with
// which command, and with each other, is checked after the line is read,
// so that each refusal is said in words of its own.
constexpr OptionRow kOptions[] = {
    {"command", &Words::command,
     "scan: start up and list the drives; fix: Start Fix on the selected drive; "
     "destroy: Destory ISP on the selected drive; backup: save the ISP areas of the "
     "selected drive to ISP<n>_Backup.bin; restore: write one save of the drive back (by "
     "default the one made before the last change Kestrune made to it); backups: the "
     "saves the C: folder keeps, per stick, and which one restore takes; list: "
     "the candidate disks as sysfs describes them, none opened; export-drive OUT.json: "
     "a virtual drive made of the recording --drive names; map: draw the selected "
     "drive's flash, its ISP copies compared with the image, into ISP_Map.svg; watch "
     "[scan|fix|backup]: the command on each USB drive as it is plugged in; images [DIR]: "
     "check a set of ISP images (DIR, else --images or KESTRUNE_IMAGES, else the built-in "
     "ones), file by file; none: interactive",
     OptionCheck::kCommandName},
    {"argument", &Words::second,
     "with export-drive: the virtual-drive file to write (its flash goes beside it, "
     "in OUT.json.flash); with watch: the command each USB drive plugged in gets "
     "(scan, fix or backup; default scan), in a thread of its own as with --all; with "
     "images: the folder to check"},
    {"--include-present", &ConsoleOptions::includePresent,
     "with watch: also the drives plugged in before the watch began"},
    {"--drive", &Words::drives,
     "X=PATH: drive letter X is a device node (or a /dev/disk/by-id or by-path link "
     "to one) or a virtual-drive file (*.json); repeatable; replaces the /sys/block "
     "letter map"},
    {"--simulate", &ConsoleOptions::simulate, "the built-in default simulated drive, on E:"},
    {"--select", &ConsoleOptions::select, "drive-list entry to act on (default 0)",
     OptionCheck::kListEntry},
    {"--yes", &ConsoleOptions::yes, "answer OK to OK/Cancel boxes"},
    {"--c-drive", &ConsoleOptions::cDriveFolder,
     "the folder that stands for drive C: (default: the current directory)"},
    {"--temp", &ConsoleOptions::tempFolder,
     "the work folder, where the images are written: an existing folder of your own "
     "that no other user can write (default: kestrune-<uid> in $TMPDIR or /tmp)"},
    {"--images", &ConsoleOptions::imagesFolder,
     "a folder holding the 31 ISP images under their catalogue names, written "
     "instead of the built-in ones (also KESTRUNE_IMAGES=DIR)"},
    {"--trace", &ConsoleOptions::traceFile, "one line per device command to FILE"},
    {"--record", &ConsoleOptions::recordFile,
     "every command sent to the drive, with its reply, to FILE (a new file, see "
     "docs/recording.md); with --all one file per letter, the letter before FILE's "
     "extension (run.krec: run.E.krec); replay it with --drive X=FILE"},
    {"--record-overwrite", &ConsoleOptions::recordOverwrite,
     "with --record: replace a file already there"},
    {"--verbose", &ConsoleOptions::verbose, "the debug channel to stderr"},
    {"--json", &ConsoleOptions::json,
     "with a command: one JSON document on stdout, and nothing else there (see "
     "docs/json.md)"},
    {"--quiet", &ConsoleOptions::quiet,
     "with a command: only errors, warnings, the questions --yes does not answer, and "
     "a last line with the outcome",
     OptionCheck::kNone, "--verbose"},
    {"--all", &ConsoleOptions::all,
     "with scan, fix, backup, destroy, restore or map: every drive at once, each in a thread "
     "of its own, its files in a folder named by its letter inside the C: folder; "
     "restore writes each stick's own save, found by the stick in any of those folders"},
    {"--from", &ConsoleOptions::restoreFiles,
     "with restore: a backup file chosen by hand, one per ISP copy in copy order "
     "(0x190: the ISP file, then the auxiliary file of each copy); repeatable; default: "
     "every file of the save made before the last fix, destroy or restore of this "
     "stick, found by the stick in the C: folder and its letter folders"},
    {"--save", &ConsoleOptions::restoreSave,
     "with restore: the id of the save to write (see the backups command), whole, "
     "instead of the default one"},
    {"--donor", &ConsoleOptions::donor,
     "with restore: also write backup files that are not shown to be this drive's own "
     "(of another stick of the same model, or of unknown origin), after a question "
     "that names where each came from"},
    {"--map", &ConsoleOptions::map,
     "with scan or fix: also draw each drive's flash into ISP_Map.svg in its C: "
     "folder, as the map command does"},
    {"--version", &ConsoleOptions::version,
     "the version, and which ISP images this run would write (with --json as a document)"},
};

// Adds one row of kOptions to `app`, its value going into `words` or
// `options`. A list takes one value each time it is given.
void AddOption(CLI::App& app, const OptionRow& row, Words& words, ConsoleOptions& options) {
  const auto add = [&app, &row](auto& target) {
    using Value = std::remove_reference_t<decltype(target)>;
    if constexpr (std::is_same_v<Value, bool>) {
      return app.add_flag(row.name, target, row.help);
    } else if constexpr (std::is_same_v<Value, std::vector<std::string>>) {
      return app.add_option(row.name, target, row.help)->allow_extra_args(false)->take_all();
    } else {
      return app.add_option(row.name, target, row.help);
    }
  };
  CLI::Option* option =
      std::visit(Overloaded{[&](auto Words::*member) { return add(words.*member); },
                            [&](auto ConsoleOptions::*member) { return add(options.*member); }},
                 row.target);
  if (row.check == OptionCheck::kCommandName) {
    option->check(CLI::IsMember(CommandNames(kCommands)));
  } else if (row.check == OptionCheck::kListEntry) {
    option->check(CLI::Range(0, 24));
  }
  if (row.excludes != nullptr) option->excludes(row.excludes);
}

// The command, and for a watch the command it runs; `takes` gets what the
// two take together.
std::optional<std::string> TakeCommand(const Words& words, ConsoleOptions& options,
                                       unsigned& takes) {
  const CommandRow* row =
      words.command.empty() ? &kInteractiveRow : FindCommand(kCommands, words.command);
  if (row == nullptr) row = &kInteractiveRow;  // the check on the line let none other through
  options.command = row->command;
  takes = row->takes;
  if ((row->takes & kTakesCommand) == 0) return std::nullopt;
  options.watch = true;
  const CommandRow* watched =
      words.second.empty() ? &kWatched[0] : FindCommand(kWatched, words.second);
  if (watched == nullptr) {
    return "watch runs scan, fix or backup on each drive: '" + words.second + "'";
  }
  options.command = watched->command;
  // A watch takes what it takes, and what the command it runs takes.
  takes |= watched->takes;
  return std::nullopt;
}

// Each --drive X=PATH, into options.drives until one is refused.
std::optional<std::string> TakeDrives(const std::vector<std::string>& texts,
                                      ConsoleOptions& options) {
  for (const std::string& text : texts) {
    DriveArgument drive;
    std::string problem;
    if (!ParseDriveArgument(text, drive, problem)) return problem;
    for (const DriveArgument& other : options.drives) {
      if (other.letter == drive.letter) {
        return std::string("drive ") + drive.letter + ": is given twice";
      }
    }
    if (options.simulate && drive.letter == kSimulateLetter) {
      return std::string("--simulate already puts a drive on ") + kSimulateLetter + ":";
    }
    options.drives.push_back(drive);
  }
  return std::nullopt;
}

// What a check of images cannot be combined with: it opens no drive.
std::optional<std::string> ImagesProblem(const ConsoleOptions& options) {
  if (options.command != Command::kImages) return std::nullopt;
  if (!options.checkFolder.empty() && !options.imagesFolder.empty()) {
    return "images checks one folder: name it after the command or with --images, not both";
  }
  if (!options.drives.empty() || options.simulate || options.all || !options.recordFile.empty() ||
      !options.traceFile.empty()) {
    return "images checks a set of images and opens no drive: --drive, --simulate, --all, "
           "--record and --trace go with a run";
  }
  return std::nullopt;
}

// What a watch cannot be combined with; a watch that passes is run as --all.
std::optional<std::string> WatchProblem(ConsoleOptions& options) {
  if (!options.watch) return std::nullopt;
  // The drives come as they are plugged in, never from a letter map.
  if (options.all) return "watch runs every drive plugged in; --all is implied";
  if (!options.drives.empty() || options.simulate) {
    return "watch takes the USB drives plugged in; --drive and --simulate name others";
  }
  if (!options.recordFile.empty()) return "watch records nothing; --record goes with a run";
  options.all = true;
  return std::nullopt;
}

// The options that do not go with the command, or not with each other;
// `second` is what followed the command, export-drive's file unless it is a
// watch.
std::optional<std::string> CombinationProblem(ConsoleOptions& options, const std::string& second,
                                              unsigned takes, bool selectGiven) {
  // An option that goes with other commands only.
  const auto refused = [takes](bool given, const GoesWith& rule) -> std::optional<std::string> {
    if (given && (takes & rule.takes) == 0) return std::string(rule.refusal);
    return std::nullopt;
  };
  if (auto problem = refused(!options.restoreFiles.empty(), kFromGoesWith)) return problem;
  if (auto problem = refused(options.donor, kDonorGoesWith)) return problem;
  if (auto problem = refused(!options.restoreSave.empty(), kSaveGoesWith)) return problem;
  if (!options.restoreSave.empty() && !options.restoreFiles.empty()) {
    return std::string("--save and --from each say what restore writes; give one");
  }
  if (options.command == Command::kImages) {
    options.checkFolder = second;
  } else if (!options.watch) {
    options.exportFile = second;
  }
  if (auto problem = ImagesProblem(options)) return problem;
  if (auto problem = refused(options.includePresent, kIncludePresentGoesWith)) return problem;
  if (auto problem = WatchProblem(options)) return problem;
  if (auto problem = RecordingProblem(options)) return problem;
  if (auto problem = refused(options.map, kMapGoesWith)) return problem;
  if (auto problem = AllProblem(options, takes, selectGiven)) return problem;
  // The prompt talks with its user in lines of its own; --version prints
  // its own text or document.
  if ((takes & kTakesOutput) == 0 && (options.json || options.quiet) && !options.version) {
    return std::string(options.json ? "--json" : "--quiet") +
           " goes with a command: " + kOutputCommands;
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

std::optional<int> ParseConsoleOptions(int argc, const char* const* argv, ConsoleOptions& options,
                                       std::ostream& out, std::ostream& err) {
  CLI::App app{"Checks and repairs the ISP of USB flash drives.", "kestrune"};
  Words words;
  for (const OptionRow& row : kOptions) AddOption(app, row, words, options);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    // A document was asked for: the usage is one.
    for (int i = 1; i < argc; ++i) options.json = options.json || std::string(argv[i]) == "--json";
    if (!options.json) return app.exit(e, out, err);
    options.help = app.help();
    return kExitDone;
  } catch (const CLI::ParseError& e) {
    err << "kestrune: " << e.what() << "\nRun with --help for the usage." << std::endl;
    options.problem = e.what();
    // The line could not be read, but a document was asked for.
    for (int i = 1; i < argc; ++i) options.json = options.json || std::string(argv[i]) == "--json";
    return kExitUsage;
  }
  // Every later problem is said, and kept for the document.
  unsigned takes = kTakesNothing;
  std::optional<std::string> problem = TakeCommand(words, options, takes);
  if (!problem) problem = TakeDrives(words.drives, options);
  if (!problem) {
    problem = CombinationProblem(options, words.second, takes, app.count("--select") > 0);
  }
  if (!problem) return std::nullopt;
  err << "kestrune: " << *problem << std::endl;
  options.problem = *problem;
  return kExitUsage;
}

}  // namespace kestrune::console
