// kestrune.exe: the program's Windows front end, one modal dialog.
#include <windows.h>
// The common controls header needs the Windows types first.
#include <commctrl.h>

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/dialog.h"
#include "app/settings.h"
#include "app/win32/drive_source.h"
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
  settings.simulate =
      kestrune::platform::ReadEnvironmentVariable(kestrune::win32::kSimulateVariable).value_or("");
  kestrune::win32::DriveSource drives;
  std::string error;
  if (!drives.Open(settings, &error)) {
    view.ShowMessage("Cannot load the virtual drive: " + error, kestrune::kAppTitle,
                     kestrune::kMbIconError);
    return 1;
  }

  // The images go into the temporary folder before the scan; a folder that
  // is not there is named now, not found out by a scan that lists nothing.
  kestrune::platform::PosixOptions unused;
  std::string problem;
  if (!kestrune::platform::PrepareWorkFolder(unused, problem)) {
    problem[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(problem[0])));
    view.ShowMessage(problem + ".", "Fail", kestrune::kMbIconError | kestrune::kMbTopmost);
    return 1;
  }

  // KESTRUNE_RECORD=FILE keeps every command to the drives, with its reply,
  // in a new file (docs/recording.md).
  std::unique_ptr<kestrune::device::RecordingVolumes> recording;
  if (const std::string record =
          kestrune::platform::ReadEnvironmentVariable(kRecordVariable).value_or("");
      !record.empty()) {
    const kestrune::device::RecordingHeader header{
        kestrune::kProgramVersion, kestrune::UtcTimestamp(),
        kestrune::platform::SystemDescription(), CommandLineArguments()};
    auto writer = kestrune::device::RecordingWriter::Create(record, false, header, problem);
    if (!writer) {
      view.ShowMessage("Cannot record: " + problem + ".", "Fail",
                       kestrune::kMbIconError | kestrune::kMbTopmost);
      return 1;
    }
    recording =
        std::make_unique<kestrune::device::RecordingVolumes>(drives.opener(), [](char letter) {
          kestrune::device::DriveFacts facts;
          facts.node = std::string("\\\\.\\") + letter + ":";
          return facts;
        });
    recording->RecordAll(std::move(writer));
  }
  kestrune::device::VolumeOpener& opener =
      recording ? static_cast<kestrune::device::VolumeOpener&>(*recording) : drives.opener();

  std::unique_ptr<kestrune::platform::Platform> platform = kestrune::platform::CreateHostPlatform();
  kestrune::device::DeviceLink link(opener);
  kestrune::IspLog log(*platform);
  kestrune::Program program(*platform, link, log, view);
  program.imagesFolder = settings.imagesFolder;
  program.allowStandInImages = settings.allowStandInImages;
  program.imagesHint = kestrune::kDialogImagesHint;
  HICON icon = LoadIconA(instance, MAKEINTRESOURCEA(IDR_MAINFRAME));

  kestrune::win32::MainDialogHooks hooks;
  hooks.afterHandler = [&drives] { drives.Save(); };
  kestrune::CKestruneApp app(program, CommandLineArguments());
  app.InitInstance([&](kestrune::CKestruneDlg& dialog) {
    kestrune::win32::RunMainDialog(instance, nullptr, dialog, view, icon, hooks);
  });
  if (recording) {
    for (const std::string& broken : recording->Finish()) {
      view.ShowMessage("The recording is incomplete: " + broken + ".", kestrune::kAppTitle,
                       kestrune::kMbIconError);
    }
  }
  // The flash of a simulated drive is its only record: say so when it is lost.
  if (!drives.Save()) {
    view.ShowMessage("The simulated drive's flash could not be saved.", kestrune::kAppTitle,
                     kestrune::kMbIconError);
    return 1;
  }
  return 0;
}
