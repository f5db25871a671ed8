#include "app/console/console_run.h"

#include <exception>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/console/console_backups.h"
#include "app/console/console_end.h"
#include "app/console/console_front.h"
#include "app/console/console_images.h"
#include "app/console/console_list.h"
#include "app/console/console_options.h"
#include "app/console/console_record.h"
#include "app/console/terminal_owner.h"
#include "app/session/drive_job.h"
#include "app/session/drive_runner.h"
#include "app/session/drive_source.h"
#include "app/session/run_drives.h"
#include "app/session/watch_runner.h"
#include "images/images.h"
#include "platform/drive_watch.h"
#include "platform/folder.h"
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
// --record and --trace on top. False with `problem` set.
bool BuildDrives(const session::RunRequest& plan, const std::vector<std::string>& arguments,
                 const ConsoleStreams& io, session::DriveSource& source, ReplayDrives& replays,
                 std::string& problem) {
  return session::BuildDrives(
      plan, arguments, source, replays,
      [&io](const std::string& warning) { io.err << "kestrune: " << warning << std::endl; },
      problem);
}

// What every road of a run shares: its folders, its platform and images.
struct RunHost {
  platform::PosixOptions options;
  std::unique_ptr<platform::Platform> platform;
  std::shared_ptr<const ImageSet> images;
};

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

// The session's side of the run, made of the options once.
struct SessionRun {
  SessionRun(const ConsoleOptions& options, const ConsoleStreams& io, const Settings& settings,
             const RunHost& host, RunEnd& end)
      : request(RequestOf(options, io, settings)),
        front(end.terminal(), options, io),
        setup{request, front, end, host.options, host.images, settings.allowStandInImages} {}
  const session::RunRequest request;
  ConsoleFront front;
  const session::RunSetup setup;
};

// watch: each drive plugged in gets its node alone, on a free letter.
int RunWatching(const ConsoleOptions& options, const SessionRun& run, session::DriveSource& source,
                RunEnd& end) {
  std::string problem;
  auto watch = platform::WatchUsbDisks(options.includePresent, problem);
  if (!watch) return end.Fail(kExitUsage, problem);
  session::WatchRun watching{run.setup, *watch, nullptr};
  watching.open = [&source](char letter, const std::string& node, std::string& why) {
    return source.OpenPlugged(letter, node, why);
  };
  return session::RunWatch(watching);
}

// --all: every drive of the source, by letter.
int RunEveryDrive(const ConsoleStreams& io, const SessionRun& run, session::DriveSource& source) {
  const session::AllDrivesRun all{run.setup, source.opener(), session::AllDrivesOf(source)};
  const int code = session::RunAllDrives(all);
  for (const std::string& broken : source.FinishRecording()) {
    io.err << "kestrune: " << broken << std::endl;
  }
  return code;
}

int Run(ConsoleOptions& options, const std::vector<std::string>& arguments,
        const ConsoleStreams& io, const Settings& settings, RunEnd& end) {
  std::string problem;
  if (!session::ResolveDrives(options.drives, problem)) return end.Fail(kExitUsage, problem);
  RunHost host;
  host.options.cDriveFolder = options.cDriveFolder;
  host.options.tempFolder = options.tempFolder;
  host.options.debugToStderr = options.verbose;
  if (!PrepareHost(options, io, settings, host, problem)) return end.Fail(kExitUsage, problem);

  SessionRun run(options, io, settings, host, end);
  session::DriveSource source;
  ReplayDrives replays;
  if (!BuildDrives(run.request, arguments, io, source, replays, problem)) {
    return end.Fail(kExitUsage, problem);
  }
  if (options.watch) return RunWatching(options, run, source, end);
  if (options.all) return RunEveryDrive(io, run, source);
  // Boxes leave stdout to the JSON document when it is asked for.
  return session::RunOneDrive({run.setup, *host.platform, source, replays, io.in,
                               io.outputIsTerminal, [&end](const device::Divergence& left) {
                                 end.AddToDocument("divergence", DivergenceJson(left));
                               }});
}

}  // namespace

int RunConsole(int argc, const char* const* argv, const ConsoleStreams& io,
               const Settings& settings) {
  ConsoleOptions options;
  if (auto stop = ParseConsoleOptions(argc, argv, options, io.out, io.err)) {
    // A command line that could not be read still gets its document, and
    // so does the usage.
    if (options.json && (*stop != kExitDone || !options.help.empty())) {
      RunEnd end(options, io);
      if (options.help.empty()) {
        end.ProblemSaid(options.problem);
      } else {
        end.AddToDocument("help", options.help);
      }
      return end.End(*stop);
    }
    return *stop;
  }
  if (options.version) return RunVersion(options, io, settings);
  // backups and restore only read saves: a C: folder named that is not
  // there holds none, and saying "no save" would hide the mistyped name.
  if ((options.command == Command::kBackups || options.command == Command::kRestore) &&
      !options.cDriveFolder.empty() &&
      platform::Folder::Open(options.cDriveFolder, platform::FolderRule::kShared).check.refusal ==
          platform::FolderRefusal::kMissing) {
    RunEnd end(options, io);
    return end.Fail(kExitUsage, "the C: folder " + options.cDriveFolder +
                                    " does not exist: no save is read "
                                    "from a folder that is not there");
  }
  if (options.command == Command::kImages) return RunImages(options, io, settings);
  if (options.command == Command::kList) return RunList(options, io);
  if (options.command == Command::kBackups) return RunBackups(options, io);
  if (options.command == Command::kExportDrive) return RunExportDrive(options, io);
  RunEnd end(options, io);
  // An interrupt that ends the run at once still prints its last word.
  const platform::LastWords lastWords([&end] { return end.LastWords(); });
  // What an interrupt says goes above the rows, as every other line does.
  const platform::InterruptLines said([&end](const std::string& line) { end.SayInterrupt(line); });
  try {
    return Run(options, {argv + 1, argv + argc}, io, settings, end);
  } catch (const std::exception& e) {
    return end.Fail(kExitFailure, e.what());
  }
}

}  // namespace kestrune::console
