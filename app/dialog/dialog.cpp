#include "app/dialog/dialog.h"

#include <utility>

namespace kestrune {

namespace {

constexpr const char* kNoFileText = "Not any file selected.";
constexpr const char* kBrowseFilter = "FW Files (*.bin)|*.bin|*.*||";
// OFN_FILEMUSTEXIST | OFN_EXPLORER | OFN_LONGNAMES.
constexpr uint32_t kBrowseFlags = 0x00281000;

// The controls a running operation must not let the user touch.
constexpr int kInputControls[] = {kIdcStartFix, kIdcBrowse, kIdcImagePath, kIdcDriveList};

}  // namespace

bool SelectsDestroyMode(const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments) {
    // An empty argument has no second character and selects nothing.
    if (argument.empty()) continue;
    if (argument[0] == '-' || (argument.size() > 1 && argument[1] == 'd')) return true;
  }
  return false;
}

// --- CKestruneApp ---

CKestruneApp::CKestruneApp(Program& program, WindowControls& controls,
                           std::vector<std::string> arguments)
    : p_(program), controls_(controls), arguments_(std::move(arguments)) {}

bool CKestruneApp::InitInstance(const ModalLoop& runModal) {
  CKestruneDlg dialog(p_, controls_, arguments_);
  mainWindow_ = &dialog;
  if (runModal) runModal(dialog);
  mainWindow_ = nullptr;
  return false;
}

// --- CKestruneDlg ---

CKestruneDlg::CKestruneDlg(Program& program, WindowControls& controls,
                           std::vector<std::string> arguments)
    : session_(program), controls_(controls), arguments_(std::move(arguments)) {}

bool CKestruneDlg::OnInitDialog() {
  if (!session_.Start(*this)) {
    CloseMainWindow();
    return false;
  }
  destroyMode = SelectsDestroyMode(arguments_) ? 1 : 0;
  ShowControl(kIdcStartFix, destroyMode == 0);
  ShowControl(kIdcDestroyIsp, destroyMode != 0);
  return true;
}

void CKestruneDlg::FillDriveList() {
  controls_.ResetList(kIdcDriveList);
  const std::vector<std::string> lines = session_.DriveLines();
  for (const std::string& line : lines) controls_.AddListString(kIdcDriveList, line);
  if (!lines.empty()) controls_.SetListSelection(kIdcDriveList, session_.lastComboIndex);
}

void CKestruneDlg::OnDriveSelChange() {
  HideStatus();
  session_.Select(controls_.GetListSelection(kIdcDriveList));
}

void CKestruneDlg::OnBrowse() {
  imagePath.clear();
  imagePath = controls_.BrowseForFile(kBrowseFilter, kBrowseFlags);
  if (imagePath.empty()) {
    ShowBox(program(), kNoFileText, "Error", kMbIconError | kMbTopmost);
  }
  controls_.SetControlText(kIdcImagePath, imagePath);
}

void CKestruneDlg::OnCheckIsp() { session_.Rescan(); }

void CKestruneDlg::OnStartFix() { session_.Fix(*this); }

void CKestruneDlg::OnDestroyIsp(bool ask) { session_.Destroy(*this, ask); }

void CKestruneDlg::OnClose() { session_.Close(destroyMode != 0); }

bool CKestruneDlg::OnSysCommand(uint32_t command) { return (command & 0xFFF0) == kAboutCommand; }

void CKestruneDlg::DisableInputs() {
  for (int id : kInputControls) controls_.EnableControl(id, false);
}

void CKestruneDlg::EnableInputs() {
  for (int id : kInputControls) controls_.EnableControl(id, true);
}

void CKestruneDlg::HideStatus() { ShowControl(kIdcStatus, false); }

void CKestruneDlg::ShowControl(int id, bool show) { controls_.ShowControl(id, show); }

void CKestruneDlg::CloseMainWindow() { controls_.CloseMainWindow(); }

}  // namespace kestrune
