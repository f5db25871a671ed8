#include "app/dialog.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "discovery/discovery.h"
#include "images/images.h"

namespace kestrune {

namespace {

constexpr const char* kNotAdministratorText = "Is Not the Administrator ! ";
constexpr const char* kNoFileText = "Not any file selected.";
constexpr const char* kBrowseFilter = "FW Files (*.bin)|*.bin|*.*||";
// OFN_FILEMUSTEXIST | OFN_EXPLORER | OFN_LONGNAMES.
constexpr uint32_t kBrowseFlags = 0x00281000;

// The controls a running operation must not let the user touch.
constexpr int kInputControls[] = {kIdcStartFix, kIdcBrowse, kIdcImagePath, kIdcDriveList};

// The vendor text with runs of blanks folded: a blank followed by another
// blank is dropped. Only the first seven characters count; the eighth is
// looked at only as the follower of the seventh.
std::string VendorText(const DriveSlot& slot) {
  std::string text;
  for (int i = 0; i < 7; ++i) {
    const char c = slot.vendorId[i];
    if (c == '\0') break;
    if (c == ' ' && slot.vendorId[i + 1] == ' ') continue;
    text.push_back(c);
  }
  return text;
}

}  // namespace

bool SelectsDestroyMode(const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments) {
    // An empty argument has no second character and selects nothing.
    if (argument.empty()) continue;
    if (argument[0] == '-' || (argument.size() > 1 && argument[1] == 'd')) return true;
  }
  return false;
}

// "%7.2fMB" without its leading blanks. Capacities too large for the
// seven-place field are shown in full rather than cut.
std::string FormatCapacity(const DriveSlot& slot) {
  uint64_t bytes = 0;
  if (slot.sectorCount != kNoSectorCount) {
    bytes = static_cast<uint64_t>(slot.sectorCount) * slot.sectorSize;
  }
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%7.2fMB", static_cast<double>(bytes) / 1024.0 / 1024.0);
  const char* text = buffer;
  while (*text == ' ') ++text;
  return text;
}

std::string FormatDriveLine(const DriveSlot& slot) {
  std::string line = "[";
  line.push_back(slot.letter);
  line += "]: ";
  line += FormatCapacity(slot);
  line += ' ';
  line += VendorText(slot);
  line += ' ';
  line += FieldText(slot.productId);
  return line;
}

// --- CKestruneApp ---

CKestruneApp::CKestruneApp(Program& program, std::vector<std::string> arguments)
    : p_(program), arguments_(std::move(arguments)) {}

bool CKestruneApp::InitInstance(const ModalLoop& runModal) {
  CKestruneDlg dialog(p_, arguments_);
  mainWindow_ = &dialog;
  if (runModal) runModal(dialog);
  mainWindow_ = nullptr;
  return false;
}

// --- CKestruneDlg ---

CKestruneDlg::CKestruneDlg(Program& program, std::vector<std::string> arguments)
    : p_(program), arguments_(std::move(arguments)) {}

bool CKestruneDlg::IsAdministrator() {
  // A simulated drive takes vendor commands without any privilege; a real
  // one needs the rights the host reports.
  const bool privileged = !p_.link.opener().NeedsPrivilege() || p_.platform.IsAdministrator();
  if (!privileged) return false;
  p_.isAdmin = true;
  return true;
}

bool CKestruneDlg::OnInitDialog() {
  BeginReport(p_, "scan");
  if (!IsAdministrator()) {
    Fail(p_, Outcome::kNotAdministrator, kNotAdministratorText, "ERROR", kMbIconError);
  }

  StartLogAndScan();
  const bool administrator = p_.isAdmin;
  p_.reports->Update([&](Report& report) { report.administrator = administrator; });
  if (imagesRefused_) {
    CloseMainWindow();
    return false;
  }

  std::snprintf(p_.log.debugLine, sizeof p_.log.debugLine, "MaxVolumes = %d \r\n", driveCount);
  p_.log.Debug(p_.log.debugLine);

  if (!p_.isAdmin) {
    CloseMainWindow();
    return false;
  }
  if (driveCount == 0) {
    // A drive left out because this build may not load its code into it
    // is named as the cause, not taken for a missing drive.
    if (p_.standInCodeRefused) {
      Fail(p_, Outcome::kRefused, StandInsRefusedText(p_.imagesHint), "ERROR", kMbIconError);
    } else {
      ShowBox(p_, kNoDeviceText, kAppTitle, kMbOk);
      SettleReport(p_, Outcome::kNotFound);
    }
    CloseMainWindow();
    return false;
  }
  SettleReport(p_, Outcome::kSuccess);

  comboIndex = 0;
  lastComboIndex = 0;
  p_.selectedDrive = 0;
  FillDriveList();
  p_.view.SetListSelection(kIdcDriveList, 0);
  // A drive whose working code this run cannot load is listed all the
  // same, and told why it goes no further.
  if (!p_.codeNotLoaded[0].empty()) {
    Warn(p_, CodeNotLoadedText(p_, 0), "Warning", kMbIconExclamation);
  }

  destroyMode = SelectsDestroyMode(arguments_) ? 1 : 0;
  ShowControl(kIdcStartFix, destroyMode == 0);
  ShowControl(kIdcDestroyIsp, destroyMode != 0);
  return true;
}

void CKestruneDlg::StartLogAndScan() {
  if (!p_.isAdmin) return;
  ShowControl(kIdcStatus, false);
  p_.log.StartLog();
  if (p_.log.logEnabled) {
    ReportFile(p_, {kIspLogPath, p_.platform.HostPath(kIspLogPath), std::nullopt, FileKind::kLog});
  }
  if (!ChooseImages()) return;
  ExtractImages();
  for (int i = 0; i < kSlotCount; ++i) ResetSlot(p_, i);
  driveCount = 0;
  driveCount = CheckDriveExist(p_);
}

bool CKestruneDlg::ChooseImages() {
  if (p_.images) return true;
  std::string problem;
  if (LoadNamedImages(p_.platform, p_.imagesFolder, p_.images, problem)) return true;
  Fail(p_, Outcome::kFailed, problem, "Fail", kMbIconError | kMbTopmost);
  imagesRefused_ = true;
  return false;
}

void CKestruneDlg::ExtractImages() { ::kestrune::ExtractImages(p_.platform, p_.images.get()); }

std::string CKestruneDlg::ImagesText() { return DescribeImages(p_.platform, p_.images.get()); }

void CKestruneDlg::FillDriveList() {
  p_.view.ResetList(kIdcDriveList);
  for (int i = 0; i < driveCount && i < kSlotCount; ++i) {
    p_.view.AddListString(kIdcDriveList, FormatDriveLine(p_.Slot(i)));
  }
  if (driveCount != 0) p_.view.SetListSelection(kIdcDriveList, lastComboIndex);
}

void CKestruneDlg::OnDriveSelChange() {
  ShowControl(kIdcStatus, false);
  const int selection = p_.view.GetListSelection(kIdcDriveList);
  // The list holds at most one line per slot; anything else is not a slot
  // this dialog can act on.
  if (selection >= kSlotCount) return;
  comboIndex = selection < 0 ? 0 : static_cast<uint8_t>(selection);
  if (comboIndex == lastComboIndex) return;

  lastComboIndex = comboIndex;
  p_.selectedDrive = comboIndex;
  // The slot just emptied is the one identified again: the operations act
  // on selectedDrive, so identifying any other slot would leave them a
  // blank record.
  ResetSlot(p_, comboIndex);
  IdentifyDrive(p_, comboIndex);
}

void CKestruneDlg::OnBrowse() {
  imagePath.clear();
  imagePath = p_.view.BrowseForFile(kBrowseFilter, kBrowseFlags);
  if (imagePath.empty()) {
    ShowBox(p_, kNoFileText, "Error", kMbIconError | kMbTopmost);
  }
  p_.view.SetControlText(kIdcImagePath, imagePath);
}

void CKestruneDlg::OnCheckIsp() {
  BeginReport(p_, "scan");
  RestartDrive(p_, 0);
  // The rescan's count is not kept: the list still shows what start-up found.
  CheckDriveExist(p_);
}

void CKestruneDlg::OnStartFix() { ::kestrune::OnStartFix(p_, *this); }

void CKestruneDlg::OnDestroyIsp(bool ask) { ::kestrune::OnDestroyIsp(p_, *this, ask); }

void CKestruneDlg::OnClose() {
  // A drive whose ISP is broken, or was just destroyed, must not be asked
  // to restart into it.
  if (destroyMode != 0 || p_.ispHealthy == 0) return;
  for (int i = 0; i < driveCount && i < kSlotCount; ++i) RestartDrive(p_, i);
}

bool CKestruneDlg::OnSysCommand(uint32_t command) { return (command & 0xFFF0) == kAboutCommand; }

void CKestruneDlg::DisableInputs() {
  for (int id : kInputControls) p_.view.EnableControl(id, false);
}

void CKestruneDlg::EnableInputs() {
  for (int id : kInputControls) p_.view.EnableControl(id, true);
}

void CKestruneDlg::ShowControl(int id, bool show) { p_.view.ShowControl(id, show); }

void CKestruneDlg::CloseMainWindow() { p_.view.CloseMainWindow(); }

}  // namespace kestrune
