#include "app/console/console_run.h"

#include <algorithm>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/console/console_all.h"
#include "app/console/console_devices.h"
#include "app/console/console_end.h"
#include "app/console/console_job.h"
#include "app/console/console_list.h"
#include "app/console/console_live.h"
#include "app/console/console_options.h"
#include "app/console/console_record.h"
#include "app/console/console_watch.h"
#include "app/console/terminal_owner.h"
#include "device/trace.h"
#include "device/volume_map.h"
#include "images/images.h"
#include "platform/drive_watch.h"
#include "platform/platform.h"
#include "simulator/device_clock.h"
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

  std::string Name() const { return path.empty() ? std::string("(built-in)") : path; }
};

// The images --images or KESTRUNE_IMAGES names (null: the built-in ones).
// False with `problem` set.
bool ChooseImages(platform::Platform& host, const ConsoleOptions& options, const Settings& settings,
                  std::shared_ptr<const ImageSet>& images, std::string& problem) {
  const std::string& folder =
      options.imagesFolder.empty() ? settings.imagesFolder : options.imagesFolder;
  return LoadNamedImages(host, folder, images, problem);
}

// One trace file for every drive of the run; its lines carry their letter.
class TraceFile {
 public:
  explicit TraceFile(const std::string& path) : file_(path, std::ios::app) {}
  bool ok() const { return static_cast<bool>(file_); }
  device::TraceSink Sink() {
    return [this](const std::string& line) {
      const std::lock_guard<std::mutex> lock(mutex_);
      file_ << line << '\n' << std::flush;
    };
  }

 private:
  std::ofstream file_;
  std::mutex mutex_;
};

// A drive plugged in during a watch: its node alone, on its letter, traced
// when the run traces.
class WatchedDrive : public device::VolumeOpener {
 public:
  WatchedDrive(std::unique_ptr<device::VolumeOpener> inner, TraceFile* trace)
      : inner_(std::move(inner)) {
    if (trace != nullptr) traced_.emplace(*inner_, trace->Sink());
  }
  device::OpenResult Open(char letter) override { return Used().Open(letter); }
  bool NeedsPrivilege() const override { return inner_->NeedsPrivilege(); }
  bool ServesRealDevice(char letter) const override { return inner_->ServesRealDevice(letter); }
  std::string UsbSerial(char letter) const override { return inner_->UsbSerial(letter); }
  std::string ReplayOf(char letter) const override { return inner_->ReplayOf(letter); }

 private:
  device::VolumeOpener& Used() {
    return traced_ ? static_cast<device::VolumeOpener&>(*traced_) : *inner_;
  }
  std::unique_ptr<device::VolumeOpener> inner_;
  std::optional<device::TracingVolumes> traced_;
};

std::unique_ptr<device::VolumeOpener> OpenWatchedDrive(char letter, const std::string& node,
                                                       TraceFile* trace, std::string& problem) {
  std::unique_ptr<device::VolumeOpener> devices = MakeHostDevices({{letter, node}}, problem);
  if (!devices) return nullptr;
  return std::make_unique<WatchedDrive>(std::move(devices), trace);
}

int Run(ConsoleOptions& options, const std::vector<std::string>& arguments,
        const ConsoleStreams& io, const Settings& settings, RunEnd& end) {
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
    if (!ChooseImages(*host, options, settings, images, problem)) {
      return end.Fail(kExitUsage, problem);
    }
    io.out << kVersionText << '\n' << DescribeImages(*host, images.get()) << std::endl;
    return end.End(kExitDone);
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
  if (!ChooseImages(*host, options, settings, images, problem)) {
    return end.Fail(kExitUsage, problem);
  }

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
  if (options.all && !options.watch && nodes.empty() && loaded.empty()) nodes = HostDriveNodes();

  device::VolumeMap volumes;
  ReplayDrives replays;
  if (!replays.Open(options, problem)) return end.Fail(kExitUsage, problem);
  for (const std::string& unchecked : replays.Unchecked()) {
    io.err << "kestrune: " << UncheckedWarning(unchecked) << std::endl;
  }
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
  const std::unique_ptr<device::RecordingVolumes> recording = StartRecording(
      options, arguments, volumes, options.all ? allLetters : std::vector<char>{}, problem);
  if (!options.recordFile.empty() && !recording) return end.Fail(kExitUsage, problem);
  device::VolumeOpener& recorded =
      recording ? static_cast<device::VolumeOpener&>(*recording) : volumes;

  if (settings.simulatorRealTime) {
    for (LoadedDrive& drive : loaded) drive.drive->SetClock(sim::WallClock());
  }

  std::optional<TraceFile> traceFile;
  std::optional<device::TracingVolumes> tracing;
  if (!options.traceFile.empty()) {
    traceFile.emplace(options.traceFile);
    if (!traceFile->ok()) {
      return end.Fail(kExitUsage, "cannot write the trace file " + options.traceFile);
    }
    tracing.emplace(recorded, traceFile->Sink());
  }
  device::VolumeOpener& opener = tracing ? static_cast<device::VolumeOpener&>(*tracing) : recorded;

  if (options.watch) {
    auto watch = platform::WatchUsbDisks(options.includePresent, problem);
    if (!watch) return end.Fail(kExitUsage, problem);
    AllDrivesRun run{options, io, hostOptions, images, opener, {}, &end};
    run.allowStandInImages = settings.allowStandInImages;
    WatchRun watching{run, *watch, nullptr};
    TraceFile* trace = traceFile ? &*traceFile : nullptr;
    watching.open = [trace](char letter, const std::string& node, std::string& why) {
      return OpenWatchedDrive(letter, node, trace, why);
    };
    return RunWatch(watching);
  }
  if (options.all) {
    AllDrivesRun run{options, io, hostOptions, images, opener, {}, &end};
    run.allowStandInImages = settings.allowStandInImages;
    for (LoadedDrive& drive : loaded) {
      run.drives.push_back({drive.letter, drive.Name(), drive.drive.get()});
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

  // One drive: a job of its own that scans every letter, in this thread.
  // Boxes leave stdout to the JSON document when it is asked for. A fix on
  // a terminal shows its row of the live table, its lines above it.
  OwnedStream boxStream(end.terminal(), options.json ? io.err : io.out);
  OwnedStream errStream(end.terminal(), io.err);
  DriveJob job(0, {}, boxStream, errStream);
  std::optional<JobRows> rows;
  if (options.command == Command::kFix && LiveTableWanted(options, io)) {
    rows.emplace(end.terminal(), options.command);
    job.watcher = &rows->Add(job);
  }
  job.platform = host.get();
  job.in = &io.in;
  job.answering = options.yes          ? Answering::kAlwaysOk
                  : io.inputIsTerminal ? Answering::kAsk
                                       : Answering::kNeverAsk;
  for (LoadedDrive& drive : loaded) job.saves.emplace_back(drive.drive.get(), drive.Name());
  const RunEnd::Attachment attached = end.Attach({&job}, true);
  job.Run({options, images, opener, settings.allowStandInImages, io.outputIsTerminal});
  boxStream.Finish();
  errStream.Finish();
  if (rows) rows->Stop();
  if (recording) {
    for (const std::string& broken : recording->Finish()) end.Problem(broken);
  }
  // A replay that left its recording stopped the run there: what it did
  // before is told, and nothing after it happened.
  if (const std::optional<device::Divergence> left = replays.Finish()) {
    end.AddToDocument("divergence", DivergenceJson(*left));
    return end.Fail(kExitUsage, device::DescribeDivergence(*left));
  }
  return end.Finish();
}

}  // namespace

int RunConsole(int argc, const char* const* argv, const ConsoleStreams& io,
               const Settings& settings) {
  ConsoleOptions options;
  if (auto stop = ParseConsoleOptions(argc, argv, options, io.out, io.err)) {
    // A command line that could not be read still gets its document.
    if (*stop != kExitDone && options.json) {
      RunEnd end(options, io);
      end.ProblemSaid(options.problem);
      return end.End(*stop);
    }
    return *stop;
  }
  if (options.command == Command::kList) return RunList(options, io);
  if (options.command == Command::kExportDrive) return RunExportDrive(options, io);
  RunEnd end(options, io);
  // An interrupt that ends the run at once still prints its last word.
  const platform::LastWords lastWords([&end] { return end.LastWords(); });
  // What an interrupt says goes above the rows, as every other line does.
  const platform::InterruptLines said(
      [&end, &io](const std::string& line) { end.terminal().Line(io.err, line); });
  try {
    return Run(options, {argv + 1, argv + argc}, io, settings, end);
  } catch (const std::exception& e) {
    return end.Fail(kExitFailure, e.what());
  }
}

}  // namespace kestrune::console
