#include "app/drive_session.h"

#include <cstdio>

#include "discovery/discovery.h"
#include "images/images.h"
#include "operations/flash_map.h"
#include "operations/isp_areas.h"

namespace kestrune {

namespace {

constexpr const char* kNotAdministratorText = "Is Not the Administrator ! ";
constexpr const char* kUnlistedDriveText =
    "Drive %c: answered, but %s failed, so it is not listed. Nothing was written to it.";

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

// The drives the scan left to another run that holds them, a line each;
// empty when it left none.
std::string HeldText(Program& p) {
  std::vector<HeldDrive> held;
  p.reports->Update([&](Report& report) { held = report.held; });
  std::string text;
  for (const HeldDrive& drive : held) {
    if (!text.empty()) text += '\n';
    text += std::string("Drive ") + drive.letter + ": (" + drive.holder +
            ") is held by another run of kestrune; nothing was done to it.";
  }
  return text;
}

}  // namespace

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

bool DriveSession::IsAdministrator() {
  // A simulated drive takes vendor commands without any privilege; a real
  // one needs the rights the host reports.
  const bool privileged = !p_.link.opener().NeedsPrivilege() || p_.platform.IsAdministrator();
  if (!privileged) return false;
  p_.isAdmin = true;
  return true;
}

bool DriveSession::Start(CommandWindow& window) {
  BeginReport(p_, "scan");
  if (!IsAdministrator()) {
    Fail(p_, Outcome::kNotAdministrator, kNotAdministratorText, "ERROR", kMbIconError);
  }

  StartLogAndScan(window);
  const bool administrator = p_.isAdmin;
  p_.reports->Update([&](Report& report) { report.administrator = administrator; });
  if (imagesRefused_) return false;

  std::snprintf(p_.log.debugLine, sizeof p_.log.debugLine, "MaxVolumes = %d \r\n", driveCount);
  p_.log.Debug(p_.log.debugLine);

  if (!p_.isAdmin) return false;
  if (driveCount == 0) {
    // A drive left out because this build may not load its code into it
    // is named as the cause, not taken for a missing drive.
    if (p_.standInCodeRefused) {
      Fail(p_, Outcome::kRefused, StandInsRefusedText(p_.imagesHint), "ERROR", kMbIconError);
    } else if (p_.unlisted) {
      // A stick answered: it is named, with what failed, not taken for
      // one that is not there.
      Fail(p_, Outcome::kFailed,
           FormatText(kUnlistedDriveText, p_.unlisted->letter, p_.unlisted->step.c_str()), "ERROR",
           kMbIconError, p_.unlisted->why);
    } else if (const std::string held = HeldText(p_); !held.empty()) {
      // A drive another run holds was asked nothing: it is named, not
      // taken for one that is not there. The outcome stays not found.
      ShowBox(p_, held, kAppTitle, kMbOk);
      SettleReport(p_, Outcome::kNotFound);
    } else {
      ShowBox(p_, kNoDeviceText, kAppTitle, kMbOk);
      SettleReport(p_, Outcome::kNotFound);
    }
    return false;
  }
  SettleReport(p_, Outcome::kSuccess);

  comboIndex = 0;
  lastComboIndex = 0;
  p_.selectedDrive = 0;
  window.DrivesChanged();
  // A drive whose working code this run cannot load is listed all the
  // same, and told why it goes no further.
  if (!p_.codeNotLoaded[0].empty()) {
    Warn(p_, CodeNotLoadedText(p_, 0), "Warning", kMbIconExclamation);
  }
  return true;
}

void DriveSession::StartLogAndScan(CommandWindow& window) {
  if (!p_.isAdmin) return;
  window.HideStatus();
  p_.log.StartLog();
  if (p_.log.logEnabled) {
    ReportFile(p_, {kIspLogPath, p_.platform.HostPath(kIspLogPath), std::nullopt, FileKind::kLog});
  }
  if (!ChooseImages()) return;
  ExtractImages(p_.platform, p_.images.get());
  for (int i = 0; i < kSlotCount; ++i) ResetSlot(p_, i);
  driveCount = 0;
  driveCount = CheckDriveExist(p_);
}

bool DriveSession::ChooseImages() {
  if (p_.images) return true;
  std::string problem;
  if (LoadNamedImages(p_.platform, p_.imagesFolder, p_.images, problem)) return true;
  Fail(p_, Outcome::kFailed, problem, "Fail", kMbIconError | kMbTopmost);
  imagesRefused_ = true;
  return false;
}

std::string DriveSession::ImagesText() { return DescribeImages(p_.platform, p_.images.get()); }

std::vector<std::string> DriveSession::DriveLines() const {
  std::vector<std::string> lines;
  for (int i = 0; i < driveCount && i < kSlotCount; ++i) {
    lines.push_back(FormatDriveLine(p_.Slot(i)));
  }
  return lines;
}

void DriveSession::Select(int entry) {
  // The list holds at most one line per slot; anything else is not a slot
  // this run can act on.
  if (entry >= kSlotCount) return;
  comboIndex = entry < 0 ? 0 : static_cast<uint8_t>(entry);
  if (comboIndex == lastComboIndex) return;

  lastComboIndex = comboIndex;
  p_.selectedDrive = comboIndex;
  // The slot just emptied is the one identified again: the operations act
  // on selectedDrive, so identifying any other slot would leave them a
  // blank record.
  ResetSlot(p_, comboIndex);
  IdentifyDrive(p_, comboIndex);
}

void DriveSession::Rescan() {
  BeginReport(p_, "scan");
  RestartDrive(p_, 0);
  // The rescan's count is not kept: the list still shows what start-up found.
  CheckDriveExist(p_);
}

void DriveSession::Fix(CommandWindow& window) { OnStartFix(p_, window); }

void DriveSession::Destroy(CommandWindow& window, bool ask) { OnDestroyIsp(p_, window, ask); }

RestoreOutcome DriveSession::Restore(CommandWindow& window, const RestoreRequest& request) {
  return OnRestoreIsp(p_, window, request);
}

void DriveSession::Backup() { OnBackupIsp(p_); }

void DriveSession::Map() { OnMapIsp(p_); }

void DriveSession::Close(bool destroyMode) {
  // A drive whose ISP is broken, or was just destroyed, must not be asked
  // to restart into it.
  if (destroyMode || p_.ispHealthy == 0) return;
  for (int i = 0; i < driveCount && i < kSlotCount; ++i) RestartDrive(p_, i);
}

}  // namespace kestrune
