#include "app/console/console_run.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/console/console_all.h"
#include "app/console/console_end.h"
#include "app/console/console_job.h"
#include "app/console/console_list.h"
#include "app/console/console_live.h"
#include "app/console/console_options.h"
#include "app/console/console_record.h"
#include "app/console/console_watch.h"
#include "app/console/terminal_owner.h"
#include "app/session/drive_source.h"
#include "app/session/host_devices.h"
#include "images/images.h"
#include "platform/drive_watch.h"
#include "platform/platform.h"

namespace kestrune::console {

// --simulate's drive is the session's built-in drive.
static_assert(kSimulateLetter == session::kBuiltInLetter);
static_assert(std::string_view(kDefaultDriveFlashFile) == session::kBuiltInFlashFile);
static_assert(std::string_view(kDefaultDriveLockFile) == session::kBuiltInLockFile);

namespace {

// The images --images or KESTRUNE_IMAGES names (null: the built-in ones).
// False with `problem` set.
bool ChooseImages(platform::Platform& host, const ConsoleOptions& options, const Settings& settings,
                  std::shared_ptr<const ImageSet>& images, std::string& problem) {
  const std::string& folder =
      options.imagesFolder.empty() ? settings.imagesFolder : options.imagesFolder;
  return LoadNamedImages(host, folder, images, problem);
}

// The drives --simulate and --drive name, the replays among them, and
// --record and --trace on top. False with the run's end said.
bool BuildDrives(const ConsoleOptions& options, const std::vector<std::string>& arguments,
                 const ConsoleStreams& io, const Settings& settings, session::DriveSource& source,
                 ReplayDrives& replays, std::string& problem) {
  // The built-in drive keeps its flash in the C: folder, so that a second
  // run sees what a fix wrote, as a replugged stick would.
  session::DriveRequest request;
  request.builtIn = options.simulate;
  request.builtInFolder = options.cDriveFolder.empty() ? "." : options.cDriveFolder;
  for (const DriveArgument& drive : options.drives) {
    if (drive.replay) continue;
    if (drive.simulated) {
      request.files.emplace_back(drive.letter, drive.path);
    } else {
      request.nodes[drive.letter] = drive.path;
    }
  }
  // --all takes the host's letters once, so that every drive's thread and
  // the confirmation see the same map.
  request.everyHostDrive = options.all && !options.watch;
  request.realTime = settings.simulatorRealTime;
  if (!source.Load(request, problem)) return false;
  if (!replays.Open(options, problem)) return false;
  for (const std::string& unchecked : replays.Unchecked()) {
    io.err << "kestrune: " << UncheckedWarning(unchecked) << std::endl;
  }
  replays.MapInto(source.volumes());
  if (!source.Connect(!replays.empty(), problem)) return false;
  source.Record(StartRecording(options, arguments, source.volumes(),
                               options.all ? source.Letters() : std::vector<char>{}, problem));
  if (!options.recordFile.empty() && !source.recording()) return false;
  return options.traceFile.empty() || source.Trace(options.traceFile, problem);
}

// From here on a --drive node is its whole disk, so that the lock, the
// check below and every command reach the drive itself. False with
// `problem` set.
bool ResolveDrives(ConsoleOptions& options, std::string& problem) {
  MarkReplays(options.drives);
  for (DriveArgument& drive : options.drives) {
    if (drive.simulated || drive.replay) continue;
    drive.path = session::ResolveDriveNode(drive.path, problem);
    if (drive.path.empty()) return false;
  }
  problem = SameDriveTwice(options.drives);
  return problem.empty();
}

// What every road of a run shares: its folders, its platform and images.
struct RunHost {
  platform::PosixOptions options;
  std::unique_ptr<platform::Platform> platform;
  std::shared_ptr<const ImageSet> images;
};

// --version: the program's and the images' versions.
int PrintVersion(const ConsoleOptions& options, const ConsoleStreams& io, const Settings& settings,
                 RunHost& host, RunEnd& end) {
  std::string problem;
  host.platform = platform::CreateHostPlatform(host.options);
  if (!ChooseImages(*host.platform, options, settings, host.images, problem)) {
    return end.Fail(kExitUsage, problem);
  }
  io.out << kVersionText << '\n' << DescribeImages(*host.platform, host.images.get()) << std::endl;
  return end.End(kExitDone);
}

// The images go into the work folder before the scan; a folder that cannot
// take them, or that others could change, stops the run here, as does a C:
// folder whose files others could swap. False with `problem` set.
bool PrepareHost(const ConsoleOptions& options, const ConsoleStreams& io, const Settings& settings,
                 RunHost& host, std::string& problem) {
  if (!platform::PrepareWorkFolder(host.options, problem)) return false;
  if (!host.options.defaultWorkRefused.empty()) {
    io.err << "kestrune: " << host.options.defaultWorkRefused << "; this run works in "
           << host.options.tempFolder << " instead and removes it at its end" << std::endl;
  }
  if (!platform::PrepareCDriveFolder(host.options, problem)) return false;
  host.platform = platform::CreateHostPlatform(host.options);
  return ChooseImages(*host.platform, options, settings, host.images, problem);
}

// watch: each drive plugged in gets its node alone, on a free letter.
int RunWatching(const ConsoleOptions& options, const ConsoleStreams& io, const Settings& settings,
                const RunHost& host, session::DriveSource& source, RunEnd& end) {
  std::string problem;
  auto watch = platform::WatchUsbDisks(options.includePresent, problem);
  if (!watch) return end.Fail(kExitUsage, problem);
  AllDrivesRun run{options, io, host.options, host.images, source.opener(), {}, &end};
  run.allowStandInImages = settings.allowStandInImages;
  WatchRun watching{run, *watch, nullptr};
  watching.open = [&source](char letter, const std::string& node, std::string& why) {
    return source.OpenPlugged(letter, node, why);
  };
  return RunWatch(watching);
}

// --all: every drive of the source, by letter.
int RunEveryDrive(const ConsoleOptions& options, const ConsoleStreams& io, const Settings& settings,
                  const RunHost& host, session::DriveSource& source, RunEnd& end) {
  AllDrivesRun run{options, io, host.options, host.images, source.opener(), {}, &end};
  run.allowStandInImages = settings.allowStandInImages;
  for (session::LoadedDrive& drive : source.drives()) {
    run.drives.push_back({drive.letter, drive.Name(), drive.drive.get()});
  }
  for (const auto& [letter, node] : source.nodes()) run.drives.push_back({letter, node, nullptr});
  std::sort(run.drives.begin(), run.drives.end(),
            [](const AllDrive& a, const AllDrive& b) { return a.letter < b.letter; });
  // The serial the summary shows: the stick's own word, read without
  // opening it, kept to printable text.
  for (AllDrive& drive : run.drives) {
    drive.serial = platform::BoundedDriveText(run.opener.UsbSerial(drive.letter));
  }
  const int code = RunAllDrives(run);
  for (const std::string& broken : source.FinishRecording()) {
    io.err << "kestrune: " << broken << std::endl;
  }
  return code;
}

// One drive: a job of its own that scans every letter, in this thread.
// Boxes leave stdout to the JSON document when it is asked for. A fix on a
// terminal shows its row of the live table, its lines above it.
int RunOneDrive(const ConsoleOptions& options, const ConsoleStreams& io, const Settings& settings,
                const RunHost& host, session::DriveSource& source, ReplayDrives& replays,
                RunEnd& end) {
  OwnedStream boxStream(end.terminal(), options.json ? io.err : io.out);
  OwnedStream errStream(end.terminal(), io.err);
  DriveJob job(0, {}, boxStream, errStream);
  std::optional<JobRows> rows;
  if (options.command == Command::kFix && LiveTableWanted(options, io)) {
    rows.emplace(end.terminal(), options.command);
    job.watcher = &rows->Add(job);
  }
  job.platform = host.platform.get();
  job.in = &io.in;
  job.answering = AnsweringOf(options, io);
  for (session::LoadedDrive& drive : source.drives()) {
    job.saves.emplace_back(drive.drive.get(), drive.Name());
  }
  const RunEnd::Attachment attached = end.Attach({&job}, true);
  job.Run(
      {options, host.images, source.opener(), settings.allowStandInImages, io.outputIsTerminal});
  boxStream.Finish();
  errStream.Finish();
  if (rows) rows->Stop();
  for (const std::string& broken : source.FinishRecording()) end.Problem(broken);
  // A replay that left its recording stopped the run there: what it did
  // before is told, and nothing after it happened.
  if (const std::optional<device::Divergence> left = replays.Finish()) {
    end.AddToDocument("divergence", DivergenceJson(*left));
    return end.Fail(kExitUsage, device::DescribeDivergence(*left));
  }
  return end.Finish();
}

int Run(ConsoleOptions& options, const std::vector<std::string>& arguments,
        const ConsoleStreams& io, const Settings& settings, RunEnd& end) {
  std::string problem;
  if (!ResolveDrives(options, problem)) return end.Fail(kExitUsage, problem);
  RunHost host;
  host.options.cDriveFolder = options.cDriveFolder;
  host.options.tempFolder = options.tempFolder;
  host.options.debugToStderr = options.verbose;
  if (options.version) return PrintVersion(options, io, settings, host, end);
  if (!PrepareHost(options, io, settings, host, problem)) return end.Fail(kExitUsage, problem);

  session::DriveSource source;
  ReplayDrives replays;
  if (!BuildDrives(options, arguments, io, settings, source, replays, problem)) {
    return end.Fail(kExitUsage, problem);
  }
  if (options.watch) return RunWatching(options, io, settings, host, source, end);
  if (options.all) return RunEveryDrive(options, io, settings, host, source, end);
  return RunOneDrive(options, io, settings, host, source, replays, end);
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
