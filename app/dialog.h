// The application object and the main dialog's logic, above the view.
// The Win32 front end forwards window messages to these handlers; the
// console front end calls them from its commands.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/program.h"
#include "operations/operations.h"
#include "view/view.h"

namespace kestrune {

// What the program says when a scan finds no drive, in the dialog and in a
// run of every drive alike.
inline constexpr const char* kNoDeviceText = "Can't find any device !";

class CAboutDlg {
 public:
  // The About box is a template of its own; the front end shows it.
  static constexpr int kTemplateId = 100;
};

class CKestruneDlg : public DialogControls {
 public:
  static constexpr int kTemplateId = 102;
  static constexpr uint32_t kAboutCommand = 0x0010;

  // `arguments` are the command-line arguments after the program name.
  CKestruneDlg(Program& program, std::vector<std::string> arguments);

  // Runs the initialisation in its order; false when the dialog closed itself.
  bool OnInitDialog();
  void StartLogAndScan();
  bool IsAdministrator();
  // Takes the images of the folder the run's settings name, unless the
  // front end chose them already. False after a "Fail" box when that folder
  // does not hold them; the dialog then closes before any drive is scanned.
  bool ChooseImages();
  void ExtractImages();
  // Which images the run writes, for the About box.
  std::string ImagesText();

  void FillDriveList() override;
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
  void ShowControl(int id, bool show) override;
  void CloseMainWindow();

  Program& program() { return p_; }

  uint8_t driveCount = 0;
  uint8_t comboIndex = 0;
  uint8_t lastComboIndex = 0;
  uint8_t destroyMode = 0;
  std::string imagePath;

 private:
  Program& p_;
  std::vector<std::string> arguments_;
  bool imagesRefused_ = false;
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
  CKestruneApp(Program& program, std::vector<std::string> arguments);

  // Runs the dialog modally. Returns false, so the application ends when the
  // dialog closes.
  bool InitInstance(const ModalLoop& runModal);

  // The dialog while the modal loop runs; null before and after.
  CKestruneDlg* mainWindow() { return mainWindow_; }

 private:
  Program& p_;
  std::vector<std::string> arguments_;
  CKestruneDlg* mainWindow_ = nullptr;
};

// The capacity as the drive list shows it, "7800.00MB" (0.00MB when the
// capacity was never read).
std::string FormatCapacity(const DriveSlot& slot);

// Formats one drive-list line, "[E]: 7800.00MB Vendor Product".
std::string FormatDriveLine(const DriveSlot& slot);

// The command-line rule: an argument whose first character is '-' or whose
// second character is 'd' selects destroy mode.
bool SelectsDestroyMode(const std::vector<std::string>& arguments);

}  // namespace kestrune
