#include "app/console/console_run.h"

#include <algorithm>
#include <cstdio>
#include <istream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/console/console_all.h"
#include "app/console/console_devices.h"
#include "app/console/console_list.h"
#include "app/console/console_options.h"
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

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

std::string FieldText(const char* field, size_t size) {
  size_t length = 0;
  while (length < size && field[length] != '\0') ++length;
  return std::string(field, length);
}

nlohmann::json SlotJson(Program& p, int index, const std::string& line) {
  const DriveSlot& slot = p.Slot(index);
  nlohmann::json drive;
  drive["index"] = index;
  drive["letter"] = std::string(1, slot.letter);
  drive["line"] = line;
  drive["controllerId"] = Hex(slot.controllerId, 3);
  drive["revision"] = slot.revision;
  drive["vendorId"] = FieldText(slot.vendorId, sizeof slot.vendorId - 1);
  drive["productId"] = FieldText(slot.productId, sizeof slot.productId - 1);
  drive["inquiryText"] = FieldText(slot.inquiryText, sizeof slot.inquiryText - 1);
  std::string flashId;
  for (uint8_t byte : slot.flashId) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", byte);
    flashId += text;
  }
  drive["flashId"] = flashId;
  drive["capacityRead"] = slot.capacityRead != 0;
  if (slot.sectorCount == kNoSectorCount) {
    drive["sectorCount"] = nullptr;
  } else {
    drive["sectorCount"] = slot.sectorCount;
  }
  drive["sectorSize"] = slot.sectorSize;
  drive["geometryValid"] = slot.geometryValid != 0;
  if (slot.geometryValid != 0) {
    drive["pageSize"] = slot.pageSize;
    drive["pagesPerBlock"] = slot.pagesPerBlock;
    drive["cisPagesPerBlock"] = slot.cisPagesPerBlock;
    drive["ceCount"] = slot.ceCount;
    drive["zoneCount"] = slot.zoneCount;
    drive["blocksPerZone"] = slot.blocksPerZone;
  }
  drive["ispFound"] = slot.ispFound != 0;
  nlohmann::json copies = nlohmann::json::array();
  for (const CisCopy& copy : slot.cis) {
    if (copy.present == 0) continue;
    copies.push_back({{"page", copy.page},
                      {"cisPageOffset", copy.cisPageOffset},
                      {"ispOffset", copy.ispOffset}});
  }
  drive["cis"] = copies;
  return drive;
}

// The drive table as a scan leaves it. Drive texts come from the drive and
// may hold any bytes, so invalid UTF-8 is replaced rather than thrown on.
std::string DriveTableJson(Program& p, const CKestruneDlg& dialog) {
  nlohmann::json table;
  nlohmann::json drives = nlohmann::json::array();
  const int count = dialog.driveCount;
  for (int i = 0; i < count && i < kSlotCount; ++i) {
    drives.push_back(SlotJson(p, i, FormatDriveLine(p.Slot(i))));
  }
  table["drives"] = drives;
  table["selectedDrive"] = p.selectedDrive;
  table["ispHealthy"] = count > 0 && p.ispHealthy != 0;
  table["isAdmin"] = p.isAdmin;
  nlohmann::json offsets = nlohmann::json::array();
  for (int32_t offset : p.ispOffsets) {
    if (offset == -1) break;
    offsets.push_back(offset);
  }
  table["ispOffsets"] = offsets;
  return table.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

void PrintDriveList(std::ostream& out, ConsoleView& view) {
  const auto& lines = view.List(kIdcDriveList);
  const int selected = view.GetListSelection(kIdcDriveList);
  for (size_t i = 0; i < lines.size(); ++i) {
    out << (static_cast<int>(i) == selected ? "* " : "  ") << i << " Drive Volume " << lines[i]
        << std::endl;
  }
}

// Chooses list entry `entry` as a user would, which re-identifies the
// drive when the choice changes.
bool SelectEntry(CKestruneDlg& dialog, ConsoleView& view, int entry, std::ostream& err) {
  const int count = static_cast<int>(view.List(kIdcDriveList).size());
  if (entry < 0 || entry >= count) {
    err << "kestrune: there is no drive-list entry " << entry << " (the list holds " << count << ")"
        << std::endl;
    return false;
  }
  view.SetListSelection(kIdcDriveList, entry);
  dialog.OnDriveSelChange();
  return true;
}

// The images --images or KESTRUNE_IMAGES names (null: the built-in ones).
// False after naming the problem on `err`.
bool ChooseImages(platform::Platform& host, const ConsoleOptions& options,
                  std::shared_ptr<const ImageSet>& images, std::ostream& err) {
  std::string problem;
  if (options.imagesFolder.empty()) {
    if (LoadImagesFromEnvironment(host, images, problem)) return true;
  } else {
    images = LoadImageFolder(host, options.imagesFolder, problem);
    if (images) return true;
  }
  err << "kestrune: " << problem << std::endl;
  return false;
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
      if (SelectEntry(dialog, view, entry, io.err)) PrintDriveList(io.out, view);
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

}  // namespace

int RunConsole(int argc, const char* const* argv, const ConsoleStreams& io) {
  ConsoleOptions options;
  if (auto stop = ParseConsoleOptions(argc, argv, options, io.out, io.err)) return *stop;
  if (options.command == Command::kList) return RunList(options, io);
  if (!DrivesAreDistinct(options.drives, io.err)) return kExitUsage;

  platform::PosixOptions hostOptions;
  hostOptions.cDriveFolder = options.cDriveFolder;
  hostOptions.tempFolder = options.tempFolder;
  hostOptions.debugToStderr = options.verbose;
  std::shared_ptr<const ImageSet> images;
  if (options.version) {
    std::unique_ptr<platform::Platform> host = platform::CreateHostPlatform(hostOptions);
    if (!ChooseImages(*host, options, images, io.err)) return kExitUsage;
    io.out << kVersionText << '\n' << DescribeImages(*host, images.get()) << std::endl;
    return kExitDone;
  }
  // The images go into the work folder before the scan; a folder that
  // cannot take them, or that others could change, stops the run here.
  std::string problem;
  if (!platform::PrepareWorkFolder(hostOptions, problem)) {
    io.err << "kestrune: " << problem << std::endl;
    return kExitUsage;
  }
  std::unique_ptr<platform::Platform> host = platform::CreateHostPlatform(hostOptions);
  if (!ChooseImages(*host, options, images, io.err)) return kExitUsage;

  // Boxes leave stdout to the JSON table when it is asked for.
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
    if (!builtIn) {
      io.err << "kestrune: cannot load the built-in drive: " << error << std::endl;
      return kExitUsage;
    }
    loaded.push_back(
        {kSimulateLetter, "", std::move(builtIn), folder + "/" + kDefaultDriveLockFile});
  }
  std::map<char, std::string> nodes;
  for (const DriveArgument& drive : options.drives) {
    if (!drive.simulated) {
      nodes[drive.letter] = ResolveDriveNode(drive.path);
      continue;
    }
    std::string error;
    auto virtualDrive = sim::VirtualDrive::FromFile(drive.path, &error);
    if (!virtualDrive) {
      io.err << "kestrune: cannot load the virtual drive " << drive.path << ": " << error
             << std::endl;
      return kExitUsage;
    }
    loaded.push_back({drive.letter, drive.path, std::move(virtualDrive), drive.path});
  }

  // --all takes the host's letters once, so that every drive's thread and
  // the confirmation see the same map.
  if (options.all && nodes.empty() && loaded.empty()) nodes = HostDriveNodes();

  device::VolumeMap volumes;
  sim::SimulatedVolumes simulated;
  for (LoadedDrive& drive : loaded) {
    // Another run may use the same file: the drive opens only under its lock.
    simulated.AttachLocked(drive.letter, *drive.drive, drive.lockPath, drive.path.empty());
    volumes.Map(drive.letter, simulated);
  }
  std::unique_ptr<device::VolumeOpener> devices;
  if (!nodes.empty() || loaded.empty()) {
    std::string problem;
    devices = MakeHostDevices(nodes, problem);
    if (!devices) {
      io.err << "kestrune: " << problem << std::endl;
      return kExitUsage;
    }
    if (nodes.empty()) {
      volumes.SetFallback(devices.get());
    } else {
      for (const auto& [letter, path] : nodes) volumes.Map(letter, *devices);
    }
  }
  if (options.all) {
    AllDrivesRun run{options, io, hostOptions, images, volumes, {}};
    for (LoadedDrive& drive : loaded) {
      run.drives.push_back(
          {drive.letter, drive.path.empty() ? "(built-in)" : drive.path, drive.drive.get()});
    }
    for (const auto& [letter, node] : nodes) run.drives.push_back({letter, node, nullptr});
    std::sort(run.drives.begin(), run.drives.end(),
              [](const AllDrive& a, const AllDrive& b) { return a.letter < b.letter; });
    return RunAllDrives(run);
  }

  std::unique_ptr<device::TracingVolumes> tracing;
  if (!options.traceFile.empty()) {
    tracing = std::make_unique<device::TracingVolumes>(volumes, options.traceFile);
    if (!tracing->ok()) {
      io.err << "kestrune: cannot write the trace file " << options.traceFile << std::endl;
      return kExitUsage;
    }
  }
  device::VolumeOpener& opener = tracing ? static_cast<device::VolumeOpener&>(*tracing) : volumes;

  const Answering answering = options.yes          ? Answering::kAlwaysOk
                              : io.inputIsTerminal ? Answering::kAsk
                                                   : Answering::kNeverAsk;
  ConsoleView view(boxes, io.in, io.err, answering);
  device::DeviceLink link(opener);
  IspLog log(*host);
  Program program(*host, link, log, view);
  program.images = images;
  CKestruneApp app(program, DialogArguments(options));

  int driveCount = 0;
  bool actionRefused = false;
  std::string json;
  app.InitInstance([&](CKestruneDlg& dialog) {
    const bool open = dialog.OnInitDialog();
    driveCount = dialog.driveCount;
    if (open) {
      if (options.select != 0 && !SelectEntry(dialog, view, options.select, io.err)) {
        actionRefused = true;
      } else {
        if (!options.json) PrintDriveList(io.out, view);
        switch (options.command) {
          case Command::kScan:
          case Command::kList:
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
            OnRestoreIsp(program, dialog, options.restoreFiles);
            break;
          case Command::kInteractive:
            Interactive(dialog, view, io);
            break;
        }
      }
    }
    if (options.json) json = DriveTableJson(program, dialog);
    // After an interrupt nothing more is done to the drives.
    if (!platform::InterruptReceived()) dialog.OnClose();
  });
  if (options.json) io.out << json << std::endl;

  bool saved = true;
  for (LoadedDrive& drive : loaded) {
    if (!drive.drive->Save()) {
      io.err << "kestrune: cannot save the flash of the virtual drive "
             << (drive.path.empty() ? std::string("(built-in)") : drive.path) << std::endl;
      saved = false;
    }
  }

  if (platform::InterruptReceived()) return kExitInterrupted;
  if (!program.isAdmin) return kExitNotAdministrator;
  // With no drive listed, only the refusal of stand-in code shows a failure.
  if (driveCount == 0) return view.failureShown() ? kExitFailure : kExitNoDevice;
  if (actionRefused) return kExitUsage;
  if (view.failureShown() || !saved) return kExitFailure;
  if (view.cancelled()) return kExitCancelled;
  return kExitDone;
}

}  // namespace kestrune::console
