// kestrune.exe: the program's Windows front end, one modal dialog.
#include <windows.h>
// The common controls header needs the Windows types first.
#include <commctrl.h>

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/dialog/dialog.h"
#include "app/session/drive_source.h"
#include "app/settings.h"
#include "app/win32/main_dialog.h"
#include "app/win32/win32_view.h"
#include "base/program.h"
#include "device/link.h"
#include "images/images.h"
#include "log/isp_log.h"
#include "operations/backup_records.h"
#include "platform/platform.h"
#include "program_version.h"
#include "recording/recorder.h"
#include "resources/resource.h"

namespace {

constexpr const char* kSimulateVariable = "KESTRUNE_SIMULATE";
constexpr const char* kRecordVariable = "KESTRUNE_RECORD";

// The application profile: the class library only names its registry path
// at start-up. The program keeps no settings, so nothing is ever written there.
struct ApplicationProfile {
  std::string registryKey;
  void SetRegistryKey(const char* company, const char* application) {
    registryKey = std::string("Software\\") + company + "\\" + application;
  }
};

// The arguments after the program name, split by the C runtime's rules.
std::vector<std::string> CommandLineArguments() {
  std::vector<std::string> arguments;
  for (int i = 1; i < __argc; ++i) arguments.emplace_back(__argv[i] ? __argv[i] : "");
  return arguments;
}

// KESTRUNE_SIMULATE names a virtual-drive file, or "default" for the
// built-in drive; served on the built-in drive's letter. Without it the real
// volumes are. False with the box shown.
bool OpenDrives(const kestrune::Settings& settings, kestrune::session::DriveSource& drives,
                kestrune::win32::Win32View& view) {
  kestrune::session::RunRequest request;
  if (settings.simulate == "default") {
    request.builtIn = true;
  } else if (!settings.simulate.empty()) {
    request.drives.push_back({kestrune::session::kBuiltInLetter, settings.simulate, true, false});
  }
  request.realTime = settings.simulatorRealTime;
  std::string problem;
  if (!drives.Load(request, problem) || !drives.Connect(false, problem)) {
    const std::string& error = drives.loadError().empty() ? problem : drives.loadError();
    view.ShowMessage("Cannot load the virtual drive: " + error, kestrune::kAppTitle,
                     kestrune::kMbIconError);
    return false;
  }
  return true;
}

// KESTRUNE_RECORD=FILE keeps every command to the drives, with its reply,
// in a new file (docs/recording.md). False with the box shown.
bool StartRecording(kestrune::session::DriveSource& drives, kestrune::win32::Win32View& view) {
  const std::string record =
      kestrune::platform::ReadEnvironmentVariable(kRecordVariable).value_or("");
  if (record.empty()) return true;
  const kestrune::device::RecordingHeader header{
      kestrune::kProgramVersion, kestrune::UtcTimestamp(), kestrune::platform::SystemDescription(),
      CommandLineArguments()};
  std::string problem;
  if (drives.RecordAll(record, header, problem)) return true;
  view.ShowMessage("Cannot record: " + problem + ".", "Fail",
                   kestrune::kMbIconError | kestrune::kMbTopmost);
  return false;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  INITCOMMONCONTROLSEX controls = {};
  controls.dwSize = 8;
  controls.dwICC = ICC_WIN95_CLASSES;
  InitCommonControlsEx(&controls);
  ApplicationProfile profile;
  profile.SetRegistryKey("Local AppWizard-Generated Applications", kestrune::kAppTitle);

  kestrune::win32::Win32View view;
  kestrune::Settings settings = kestrune::ReadSettings();
  settings.simulate = kestrune::platform::ReadEnvironmentVariable(kSimulateVariable).value_or("");
  kestrune::session::DriveSource drives;
  if (!OpenDrives(settings, drives, view)) return 1;

  // The images go into the temporary folder before the scan; a folder that
  // is not there is named now, not found out by a scan that lists nothing.
  kestrune::platform::PosixOptions unused;
  std::string problem;
  if (!kestrune::platform::PrepareWorkFolder(unused, problem)) {
    problem[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(problem[0])));
    view.ShowMessage(problem + ".", "Fail", kestrune::kMbIconError | kestrune::kMbTopmost);
    return 1;
  }

  if (!StartRecording(drives, view)) return 1;
  kestrune::device::VolumeOpener& opener = drives.opener();

  std::unique_ptr<kestrune::platform::Platform> platform = kestrune::platform::CreateHostPlatform();
  kestrune::device::DeviceLink link(opener);
  kestrune::IspLog log(*platform);
  kestrune::Program program(*platform, link, log, view);
  // The setting wins; else a folder named images beside kestrune.exe.
  program.imagesFolder = kestrune::DialogImagesFolder(
      settings, kestrune::ImagesBesideProgram(platform->GetModuleFileName()), *platform);
  program.allowStandInImages = settings.allowStandInImages;
  program.imagesHint = kestrune::kDialogImagesHint;
  HICON icon = LoadIconA(instance, MAKEINTRESOURCEA(IDR_MAINFRAME));

  kestrune::win32::MainDialogHooks hooks;
  hooks.afterHandler = [&drives] { drives.SaveAll(); };
  kestrune::CKestruneApp app(program, view, CommandLineArguments());
  app.InitInstance([&](kestrune::CKestruneDlg& dialog) {
    kestrune::win32::RunMainDialog(instance, nullptr, dialog, view, icon, hooks);
  });
  for (const std::string& broken : drives.FinishRecording()) {
    view.ShowMessage("The recording is incomplete: " + broken + ".", kestrune::kAppTitle,
                     kestrune::kMbIconError);
  }
  // The flash of a simulated drive is its only record: say so when it is lost.
  if (!drives.SaveAll()) {
    view.ShowMessage("The simulated drive's flash could not be saved.", kestrune::kAppTitle,
                     kestrune::kMbIconError);
    return 1;
  }
  return 0;
}
