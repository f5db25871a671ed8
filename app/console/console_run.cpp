#include "app/console/console_run.h"

#include <algorithm>
#include <cstdio>
#include <istream>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/console/console_all.h"
#include "app/console/console_devices.h"
#include "app/console/console_json.h"
#include "app/console/console_list.h"
#include "app/console/console_options.h"
#include "app/console/console_record.h"
#include "app/console/console_view.h"
#include "app/dialog.h"
#include "app/isp_log.h"
#include "device/link.h"
#include "device/trace.h"
#include "device/volume_map.h"
#include "discovery/program.h"
#include "images/images.h"
#include "operations/operations.h"
#include "platform/platform.h"
#include "simulator/drive_description.h"
#include "simulator/virtual_drive.h"

namespace kestrune::console {

namespace {

struct LoadedDrive {
  char letter;
  std::string path;  // empty for the built-in drive
  std::unique_ptr<sim::VirtualDrive> drive;
  // The file whose lock keeps the drive to this run: the drive file, or the
  // built-in drive's lock file beside its flash.
  std::string lockPath;
};

// The scan's drive table in the document of a single-drive run. The
// scan stops at the first drive it identifies, so the list holds at most
// one, whose verdict is the program's.
void AddDriveTable(Json& document, Program& p, int driveCount) {
  Json drives = Json::array();
  for (int i = 0; i < driveCount && i < kSlotCount; ++i) {
    Json drive = Json::object();
    drive["index"] = i;
    drive.update(SlotJson(p.Slot(i), p.ispHealthy != 0));
    drives.push_back(std::move(drive));
  }
  document["drives"] = drives;
  document["selectedDrive"] = driveCount > 0 ? Json(p.selectedDrive) : Json();
  document["ispHealthy"] = driveCount > 0 && p.ispHealthy != 0;
  document["isAdmin"] = p.isAdmin;
  Json offsets = Json::array();
  for (int32_t offset : p.ispOffsets) {
    if (offset == -1) break;
    offsets.push_back(offset);
  }
  document["ispOffsets"] = offsets;
}

void PrintDriveList(std::ostream& out, ConsoleView& view) {
  const auto& lines = view.List(kIdcDriveList);
  const int selected = view.GetListSelection(kIdcDriveList);
  for (size_t i = 0; i < lines.size(); ++i) {
    // The line holds the drive's own vendor and product bytes.
    out << (static_cast<int>(i) == selected ? "* " : "  ") << i << " Drive Volume "
        << PrintableText(lines[i]) << std::endl;
  }
}

// Chooses list entry `entry` as a user would, which re-identifies the
// drive when the choice changes. False with `problem` set when the list
// has no such entry.
bool SelectEntry(CKestruneDlg& dialog, ConsoleView& view, int entry, std::string& problem) {
  const int count = static_cast<int>(view.List(kIdcDriveList).size());
  if (entry < 0 || entry >= count) {
    problem = "there is no drive-list entry " + std::to_string(entry) + " (the list holds " +
              std::to_string(count) + ")";
    return false;
  }
  view.SetListSelection(kIdcDriveList, entry);
  dialog.OnDriveSelChange();
  return true;
}

// The images --images or KESTRUNE_IMAGES names (null: the built-in ones).
// False with `problem` set.
bool ChooseImages(platform::Platform& host, const ConsoleOptions& options,
                  std::shared_ptr<const ImageSet>& images, std::string& problem) {
  if (options.imagesFolder.empty()) return LoadImagesFromEnvironment(host, images, problem);
  images = LoadImageFolder(host, options.imagesFolder, problem);
  return images != nullptr;
}

// The dialog's Destory ISP asks nothing; the console asks first, as it does
// before a fix, so that nothing is written unasked. A drive this build's
// images may not reach is refused before any question, as a fix is.
void DestroyAfterAsking(Program& p, CKestruneDlg& dialog) {
  const bool asked =
      p.isAdmin && p.selectedDrive < kSlotCount && !StandInsBarredFrom(p, p.selectedDrive);
  if (asked && p.view.ShowMessage("Are you sure to destroy the ISP code ?", "Destroy ISP Warning",
                                  kMbOkCancel | kMbIconExclamation | kMbTopmost) != kIdOk) {
    return;
  }
  dialog.OnDestroyIsp();
}

void Interactive(CKestruneDlg& dialog, ConsoleView& view, const ConsoleStreams& io) {
  const bool destroy = dialog.destroyMode != 0;
  const char* action = destroy ? "destroy" : "fix";
  const char* button = destroy ? "Destory ISP" : "Start Fix";
  const auto printCommands = [&] {
    io.out << "Commands: select N | " << action << " (" << button << ") | list | quit" << std::endl;
  };
  printCommands();
  for (;;) {
    io.out << "kestrune> " << std::flush;
    std::string line;
    if (!std::getline(io.in, line)) {
      io.out << std::endl;
      return;
    }
    std::istringstream words(line);
    std::string word;
    words >> word;
    if (word.empty()) continue;
    if (word == "quit" || word == "exit" || word == "q") return;
    if (word == "list") {
      // The list is rebuilt whenever it gets the focus.
      dialog.FillDriveList();
      PrintDriveList(io.out, view);
    } else if (word == "select") {
      int entry = -1;
      if (!(words >> entry)) {
        io.err << "select takes a drive-list entry number" << std::endl;
        continue;
      }
      std::string problem;
      if (SelectEntry(dialog, view, entry, problem)) {
        PrintDriveList(io.out, view);
      } else {
        io.err << "kestrune: " << problem << std::endl;
      }
    } else if (word == action) {
      if (destroy) {
        DestroyAfterAsking(dialog.program(), dialog);
      } else {
        dialog.OnStartFix();
      }
      // An interrupt held during the write ends the session.
      if (platform::InterruptReceived()) return;
    } else {
      io.err << "unknown command '" << word << "'" << std::endl;
      printCommands();
    }
  }
}

// How a single-drive run ends once its options are read: with --json the
// document goes out on every road, with --quiet one line says how the run
// ended. Both tell what the exit code says.
class RunEnd {
 public:
  RunEnd(const ConsoleOptions& options, const ConsoleStreams& io) : options_(options), io_(io) {}

  // Names a problem on stderr, and in the document.
  void Problem(const std::string& text) {
    io_.err << "kestrune: " << text << std::endl;
    errors_.push_back(text);
  }
  int Fail(int code, const std::string& problem) {
    Problem(problem);
    return End(code);
  }

  int End(int code) {
    // --version prints its own text and nothing else.
    if (options_.version) return code;
    if (options_.json) {
      Json document = DocumentHead(options_);
      document["drives"] = Json::array();
      document.update(table);
      std::vector<std::string> errors;
      if (record) {
        record->Finish();
        document["messages"] = BoxesJson(record->boxes());
        document["files"] = FilesJson(record->files());
        errors = record->problems();
      } else {
        document["messages"] = Json::array();
        document["files"] = Json::array();
      }
      errors.insert(errors.end(), errors_.begin(), errors_.end());
      PrintDocument(io_.out, std::move(document), errors, code);
    } else if (options_.quiet) {
      if (letter != 0) {
        io_.out << letter << ": ISP " << (healthy ? "healthy" : "broken") << "; ";
      }
      io_.out << CommandName(options_.command) << ": " << OutcomeOfExitCode(code) << std::endl;
    }
    return code;
  }

  // Filled as the run goes: what the program showed and kept, the drive
  // table after the scan, and the drive the command acted on.
  std::unique_ptr<RunRecord> record;
  Json table = Json::object();
  char letter = 0;
  bool healthy = false;

 private:
  const ConsoleOptions& options_;
  const ConsoleStreams& io_;
  std::vector<std::string> errors_;
};

// The exit code says how the restore ended, whatever its boxes said.
int RestoreExitCode(RestoreOutcome outcome) {
  switch (outcome) {
    case RestoreOutcome::kRestored:
      return kExitDone;
    case RestoreOutcome::kCancelled:
      return kExitCancelled;
    default:
      return kExitFailure;
  }
}

}  // namespace

int RunConsole(int argc, const char* const* argv, const ConsoleStreams& io) {
  ConsoleOptions options;
  if (auto stop = ParseConsoleOptions(argc, argv, options, io.out, io.err)) return *stop;
  if (options.command == Command::kList) return RunList(options, io);
  if (options.command == Command::kExportDrive) return RunExportDrive(options, io);
  RunEnd end(options, io);
  std::string problem;
  MarkReplays(options.drives);
  // From here on a --drive node is its whole disk, so that the lock, the
  // check below and every command reach the drive itself.
  for (DriveArgument& drive : options.drives) {
    if (drive.simulated || drive.replay) continue;
    drive.path = ResolveDriveNode(drive.path, problem);
    if (drive.path.empty()) return end.Fail(kExitUsage, problem);
  }
  if (const std::string twice = SameDriveTwice(options.drives); !twice.empty()) {
    return end.Fail(kExitUsage, twice);
  }

  platform::PosixOptions hostOptions;
  hostOptions.cDriveFolder = options.cDriveFolder;
  hostOptions.tempFolder = options.tempFolder;
  hostOptions.debugToStderr = options.verbose;
  std::shared_ptr<const ImageSet> images;
  if (options.version) {
    std::unique_ptr<platform::Platform> host = platform::CreateHostPlatform(hostOptions);
    if (!ChooseImages(*host, options, images, problem)) return end.Fail(kExitUsage, problem);
    io.out << kVersionText << '\n' << DescribeImages(*host, images.get()) << std::endl;
    return kExitDone;
  }
  // The images go into the work folder before the scan; a folder that
  // cannot take them, or that others could change, stops the run here, as
  // does a C: folder whose files others could swap.
  if (!platform::PrepareWorkFolder(hostOptions, problem)) return end.Fail(kExitUsage, problem);
  if (!hostOptions.defaultWorkRefused.empty()) {
    io.err << "kestrune: " << hostOptions.defaultWorkRefused << "; this run works in "
           << hostOptions.tempFolder << " instead and removes it at its end" << std::endl;
  }
  if (!platform::PrepareCDriveFolder(hostOptions, problem)) return end.Fail(kExitUsage, problem);
  std::unique_ptr<platform::Platform> host = platform::CreateHostPlatform(hostOptions);
  if (!ChooseImages(*host, options, images, problem)) return end.Fail(kExitUsage, problem);

  // Boxes leave stdout to the JSON document when it is asked for.
  std::ostream& boxes = options.json ? io.err : io.out;

  // Simulated drives and device nodes are served by letter; without either,
  // the host's own drives are.
  std::vector<LoadedDrive> loaded;
  if (options.simulate) {
    // The built-in drive keeps its flash in the C: folder, so that a second
    // run sees what a fix wrote, as a replugged stick would.
    const std::string folder = options.cDriveFolder.empty() ? "." : options.cDriveFolder;
    std::string error;
    auto builtIn = sim::VirtualDrive::FromDescription(sim::DefaultDescription(), &error,
                                                      folder + "/" + kDefaultDriveFlashFile);
    if (!builtIn) return end.Fail(kExitUsage, "cannot load the built-in drive: " + error);
    loaded.push_back(
        {kSimulateLetter, "", std::move(builtIn), folder + "/" + kDefaultDriveLockFile});
  }
  std::map<char, std::string> nodes;
  for (const DriveArgument& drive : options.drives) {
    if (drive.replay) continue;
    if (!drive.simulated) {
      nodes[drive.letter] = drive.path;
      continue;
    }
    std::string error;
    auto virtualDrive = sim::VirtualDrive::FromFile(drive.path, &error);
    if (!virtualDrive) {
      return end.Fail(kExitUsage, "cannot load the virtual drive " + drive.path + ": " + error);
    }
    loaded.push_back({drive.letter, drive.path, std::move(virtualDrive), drive.path});
  }

  // --all takes the host's letters once, so that every drive's thread and
  // the confirmation see the same map.
  if (options.all && nodes.empty() && loaded.empty()) nodes = HostDriveNodes();

  device::VolumeMap volumes;
  ReplayDrives replays;
  if (!replays.Open(options, problem)) return end.Fail(kExitUsage, problem);
  replays.MapInto(volumes);
  sim::SimulatedVolumes simulated;
  for (LoadedDrive& drive : loaded) {
    // Another run may use the same file: the drive opens only under its lock.
    simulated.AttachLocked(drive.letter, *drive.drive, drive.lockPath, drive.path.empty());
    volumes.Map(drive.letter, simulated);
  }
  std::unique_ptr<device::VolumeOpener> devices;
  if (!nodes.empty() || (loaded.empty() && replays.empty())) {
    devices = MakeHostDevices(nodes, problem);
    if (!devices) return end.Fail(kExitUsage, problem);
    if (nodes.empty()) {
      volumes.SetFallback(devices.get());
    } else {
      for (const auto& [letter, path] : nodes) volumes.Map(letter, *devices);
    }
  }
  std::vector<char> allLetters;
  for (const LoadedDrive& drive : loaded) allLetters.push_back(drive.letter);
  for (const auto& [letter, node] : nodes) allLetters.push_back(letter);
  const std::unique_ptr<device::RecordingVolumes> recording =
      StartRecording(options, {argv + 1, argv + argc}, volumes,
                     options.all ? allLetters : std::vector<char>{}, problem);
  if (!options.recordFile.empty() && !recording) return end.Fail(kExitUsage, problem);
  device::VolumeOpener& recorded =
      recording ? static_cast<device::VolumeOpener&>(*recording) : volumes;
  if (options.all) {
    AllDrivesRun run{options, io, hostOptions, images, recorded, {}};
    for (LoadedDrive& drive : loaded) {
      run.drives.push_back(
          {drive.letter, drive.path.empty() ? "(built-in)" : drive.path, drive.drive.get()});
    }
    for (const auto& [letter, node] : nodes) run.drives.push_back({letter, node, nullptr});
    std::sort(run.drives.begin(), run.drives.end(),
              [](const AllDrive& a, const AllDrive& b) { return a.letter < b.letter; });
    const int code = RunAllDrives(run);
    if (recording) {
      for (const std::string& broken : recording->Finish()) {
        io.err << "kestrune: " << broken << std::endl;
      }
    }
    return code;
  }

  std::unique_ptr<device::TracingVolumes> tracing;
  if (!options.traceFile.empty()) {
    tracing = std::make_unique<device::TracingVolumes>(recorded, options.traceFile);
    if (!tracing->ok()) {
      return end.Fail(kExitUsage, "cannot write the trace file " + options.traceFile);
    }
  }
  device::VolumeOpener& opener = tracing ? static_cast<device::VolumeOpener&>(*tracing) : recorded;

  const Answering answering = options.yes          ? Answering::kAlwaysOk
                              : io.inputIsTerminal ? Answering::kAsk
                                                   : Answering::kNeverAsk;
  if (options.json) end.record = std::make_unique<RunRecord>(*host);
  ConsoleView view(boxes, io.in, io.err, answering, options.quiet, end.record.get());
  device::DeviceLink link(opener);
  IspLog log(*host);
  Program program(*host, link, log, view);
  program.images = images;
  CKestruneApp app(program, DialogArguments(options));

  int driveCount = 0;
  bool actionRefused = false;
  std::optional<RestoreOutcome> restored;
  RunUntilReplayStops(app, [&](CKestruneDlg& dialog) {
    const bool open = dialog.OnInitDialog();
    driveCount = dialog.driveCount;
    std::string noEntry;
    if (open) {
      if (options.select != 0 && !SelectEntry(dialog, view, options.select, noEntry)) {
        actionRefused = true;
        end.Problem(noEntry);
      } else {
        if (!options.json && !options.quiet) PrintDriveList(io.out, view);
        switch (options.command) {
          case Command::kScan:
          case Command::kList:
          case Command::kExportDrive:
            break;
          case Command::kFix:
            dialog.OnStartFix();
            break;
          case Command::kDestroy:
            DestroyAfterAsking(program, dialog);
            break;
          case Command::kBackup:
            OnBackupIsp(program);
            break;
          case Command::kRestore:
            restored = OnRestoreIsp(program, dialog, {options.restoreFiles, options.donor});
            break;
          case Command::kInteractive:
            Interactive(dialog, view, io);
            break;
        }
      }
    }
    if (driveCount > 0 && program.selectedDrive < kSlotCount) {
      end.letter = program.Slot(program.selectedDrive).letter;
      end.healthy = program.ispHealthy != 0;
    }
    if (options.json) AddDriveTable(end.table, program, driveCount);
    // After an interrupt nothing more is done to the drives.
    if (!platform::InterruptReceived()) dialog.OnClose();
  });

  bool saved = true;
  for (LoadedDrive& drive : loaded) {
    if (!drive.drive->Save()) {
      end.Problem("cannot save the flash of the virtual drive " +
                  (drive.path.empty() ? std::string("(built-in)") : drive.path));
      saved = false;
    }
  }

  if (recording) {
    for (const std::string& broken : recording->Finish()) end.Problem(broken);
  }
  // A replay that left its recording stopped the run there: what it did
  // before is told, and nothing after it happened.
  if (const std::optional<device::Divergence> left = replays.Finish()) {
    end.table["divergence"] = DivergenceJson(*left);
    return end.Fail(kExitUsage, device::DescribeDivergence(*left));
  }
  if (platform::InterruptReceived()) return end.End(kExitInterrupted);
  if (!program.isAdmin) return end.End(kExitNotAdministrator);
  // With no drive listed, only the refusal of stand-in code shows a failure.
  if (driveCount == 0) return end.End(view.failureShown() ? kExitFailure : kExitNoDevice);
  if (actionRefused) return end.End(kExitUsage);
  if (!saved) return end.End(kExitFailure);
  if (restored) return end.End(RestoreExitCode(*restored));
  if (view.failureShown()) return end.End(kExitFailure);
  if (view.cancelled()) return end.End(kExitCancelled);
  return end.End(kExitDone);
}

}  // namespace kestrune::console
