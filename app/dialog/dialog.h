// The application object and the main dialog: the window's adapter over
// the drive session. The Win32 front end forwards window messages to these
// handlers; they turn them into the session's calls and its results into
// the window's controls.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/dialog/window_controls.h"
#include "app/drive_session.h"
#include "base/program.h"
#include "operations/operations.h"
#include "view/view.h"

namespace kestrune {

class CAboutDlg {
 public:
  // The About box is a template of its own; the front end shows it.
  static constexpr int kTemplateId = 100;
};

class CKestruneDlg : public CommandWindow {
 public:
  static constexpr int kTemplateId = 102;
  static constexpr uint32_t kAboutCommand = 0x0010;

  // `arguments` are the command-line arguments after the program name.
  CKestruneDlg(Program& program, WindowControls& controls, std::vector<std::string> arguments);

  // Runs the initialisation in its order; false when the dialog closed itself.
  bool OnInitDialog();
  // Which images the run writes, for the About box.
  std::string ImagesText() { return session_.ImagesText(); }

  void FillDriveList();
  void OnDriveSelChange();
  void OnBrowse();
  void OnCheckIsp();
  void OnStartFix();
  // With `ask`, a question comes first (see ::kestrune::OnDestroyIsp).
  void OnDestroyIsp(bool ask = false);
  // Restarts the listed drives after a healthy verdict; the front end then
  // closes the window.
  void OnClose();
  // True when the command opens the About box (the front end shows it).
  bool OnSysCommand(uint32_t command);

  void DisableInputs() override;
  void EnableInputs() override;
  void HideStatus() override;
  void DrivesChanged() override { FillDriveList(); }
  void ShowControl(int id, bool show);
  void CloseMainWindow();

  Program& program() { return session_.program(); }
  DriveSession& session() { return session_; }

  uint8_t destroyMode = 0;
  std::string imagePath;

 private:
  DriveSession session_;
  WindowControls& controls_;
  std::vector<std::string> arguments_;
};

// The application object. What it does off Windows is to build the main
// dialog and hand it to the front end's modal loop; the front end registers
// the common controls and the profile key itself before calling in.
class CKestruneApp {
 public:
  // Shows the dialog (which then calls OnInitDialog) and returns once the
  // window has closed.
  using ModalLoop = std::function<void(CKestruneDlg& dialog)>;

  // `arguments` are the command-line arguments after the program name.
  CKestruneApp(Program& program, WindowControls& controls, std::vector<std::string> arguments);

  // Runs the dialog modally. Returns false, so the application ends when the
  // dialog closes.
  bool InitInstance(const ModalLoop& runModal);

  // The dialog while the modal loop runs; null before and after.
  CKestruneDlg* mainWindow() { return mainWindow_; }

 private:
  Program& p_;
  WindowControls& controls_;
  std::vector<std::string> arguments_;
  CKestruneDlg* mainWindow_ = nullptr;
};

// The command-line rule: an argument whose first character is '-' or whose
// second character is 'd' selects destroy mode.
bool SelectsDestroyMode(const std::vector<std::string>& arguments);

}  // namespace kestrune
