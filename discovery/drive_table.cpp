// The drive table: the scan over the drive letters and the identification of
// one drive from its INQUIRY text.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "device/commands.h"
#include "discovery/discovery.h"
#include "images/images.h"

namespace kestrune {

const char kScanLetters[kSlotCount] = {'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K',
                                       'L', 'M', 'N', 'O', 'P', 'Q', 'R', 'S', 'T',
                                       'U', 'V', 'W', 'X', 'Y', 'Z', 'B'};

namespace {

constexpr uint32_t kInquiryLength = 180;
constexpr size_t kTextOffset = 36;
constexpr uint32_t kMemoryTestAddress = 0x1064;
constexpr uint32_t kMemoryTestLength = 512;
constexpr int8_t kWorkingCodeBlock = 5;

void DebugLine(Program& p, const char* format, unsigned value) {
  std::snprintf(p.log.debugLine, sizeof p.log.debugLine, format, value);
  p.log.Debug(p.log.debugLine);
}

void DebugText(Program& p, const char* text) {
  std::snprintf(p.log.debugLine, sizeof p.log.debugLine, "%s", text);
  p.log.Debug(p.log.debugLine);
}

bool Has(std::string_view text, std::string_view code) {
  return text.find(code) != std::string_view::npos;
}

// Picks the controller from the identification text; false when the text
// names none. The tests run in order and the first that matches decides.
bool ChooseController(Program& p, int index, std::string_view text) {
  DriveSlot& slot = p.Slot(index);
  // Two branches give 0x161 on purpose: the order of the tests decides.
  if (Has(text, "Qzv")) {
    slot.controllerId = kCtrl168;
  } else if (Has(text, "UT0")) {  // NOLINT(bugprone-branch-clone)
    slot.controllerId = kCtrl161;
  } else if (Has(text, "UT2")) {
    slot.controllerId = kCtrl169;
  } else if (Has(text, "Utff")) {
    if (Has(text, "U163") || Has(text, "0163")) {
      slot.needsCodeInit = 1;
      slot.controllerId = kCtrl163;
    } else if (Has(text, "U165") || Has(text, "0165")) {
      slot.needsCodeInit = 1;
      slot.controllerId = kCtrl165;
      // Some 0x162 parts answer with the 0x165 text; their memory tells them apart.
      std::vector<uint8_t> memory(kMemoryTestLength, 0);
      if (device::ReadControllerMemory(p.link, kMemoryTestAddress, kMemoryTestLength, memory.data(),
                                       slot.volumeHandle) &&
          memory[0] == 'b') {
        slot.controllerId = kCtrl162;
      }
    } else if (Has(text, "U190") || Has(text, "0190")) {
      slot.needsCodeInit = 1;
      slot.controllerId = kCtrl190;
    } else if (Has(text, "U162") || Has(text, "0162")) {
      slot.needsCodeInit = 1;
      slot.controllerId = kCtrl162;
    }
    // Otherwise the controller stays as it was and the drive is still taken.
  } else if (Has(text, "UT")) {
    slot.controllerId = kCtrl161;
  } else {
    return false;
  }
  return true;
}

// A text too short to hold characters 12 to 15 carries no healthy verdict:
// such a drive is reported broken, so that nothing treats it as sound.
bool IspBroken(std::string_view text) {
  if (text.size() < 16) return true;
  return text.substr(12, 4) == "0000";
}

void ReportVerdict(Program& p, std::string_view text) {
  if (IspBroken(text)) {
    std::snprintf(p.log.logLine, sizeof p.log.logLine, "%s", "ISP is borken !!! \r\n");
    p.view.StatusChanged("ISP Fail");
    p.ispHealthy = 0;
    ShowBox(p, "ISP was borken!", "Check ISP", kMbOk);
    p.log.AppendLog(p.log.logLine);
  } else {
    ShowBox(p, "ISP is OK!", "Check ISP", kMbOk);
    p.ispHealthy = 1;
  }
}

// Why the flash configuration gives no layout: the command that failed
// since `before`, or the record the drive gave.
FailureCause ConfigNotRead(Program& p, uint64_t before) {
  FailureCause cause = ExplainFailure(p.link.LastCommand(), before);
  const std::optional<device::CommandAnswer>& last = cause.command;
  if (last && last->sent && last->result.Complete()) {
    cause.line =
        "Why: the flash configuration the drive gave names no layout this program can "
        "use (the last command, " +
        device::CommandName(*last) + ", " + device::DescribeAnswer(*last) + ")";
  }
  return cause;
}

void IdentifyFamilyA(Program& p, int index) {
  DriveSlot& slot = p.Slot(index);
  QueryModeByte(p, index);
  const uint64_t before = p.link.CommandsAsked();
  if (!ProbeFlashConfigA(p, index)) {
    p.configNotRead[index] = ConfigNotRead(p, before);
    return;
  }
  slot.geometryValid = 1;

  uint32_t accepted = 0;
  bool found = ParseCisPageA(p, index, 0);
  if (!found) {
    accepted = slot.pagesPerBlock;
    found = ParseCisPageA(p, index, accepted);
  }
  slot.ispFound = found ? 1 : 0;
  if (!found) return;

  slot.cisCount = 1;
  slot.activeCis = 0;
  CisCopy& copy = slot.cis[0];
  copy.present = 1;
  copy.page = accepted;
  const uint32_t cisPage = ToCisPage(p, index, accepted);
  copy.cisPageOffset = cisPage & 0xFFFF;
  copy.auxAreaOffset = kUnsetOffset;
  copy.ispOffset = kUnsetOffset;
  // The ISP area of these controllers starts at the first page of the block
  // after the header page. Without a block size there is no such place.
  if (slot.cisPagesPerBlock == 0 || cisPage == kInvalidPage) return;
  copy.ispOffset = (cisPage / slot.cisPagesPerBlock + 1) * slot.cisPagesPerBlock;
  p.cisPageOffsets[0] = static_cast<int32_t>(copy.cisPageOffset);
  p.ispOffsets[0] = static_cast<int32_t>(copy.ispOffset);
}

void IdentifyFamilyB(Program& p, int index) {
  DriveSlot& slot = p.Slot(index);
  DebugText(p, "ID = 162,165,190,162");
  const uint64_t before = p.link.CommandsAsked();
  if (!ProbeFlashConfigB(p, index)) {
    p.configNotRead[index] = ConfigNotRead(p, before);
    return;
  }
  slot.geometryValid = 1;
  if (!LocateCodeMark(p, index)) return;

  bool accepted = false;
  for (int i = 0; i < kCisCopies; ++i) {
    if (slot.cis[i].present == 0) continue;
    if (!ParseCisPageB(p, index, slot.cis[i].page)) continue;
    slot.activeCis = static_cast<uint8_t>(i);
    if (slot.controllerId == kCtrl190) slot.extraInfoRead = ReadExtraInfo(p, index) ? 1 : 0;
    accepted = true;
    break;
  }
  slot.ispFound = accepted ? 1 : 0;
}

}  // namespace

void ResetSlot(Program& p, int index) {
  DriveSlot& slot = p.Slot(index);
  const char letter = slot.letter;
  std::memset(&slot, 0xCD, sizeof slot);
  std::memset(p.extraInfo[index], 0xCD, kExtraInfoSize);
  p.acceptedCisPage[index].clear();
  p.codeNotLoaded[index].clear();
  p.configNotRead[index].reset();
  slot.letter = letter;
  slot.hasFlashId = 0;
  slot.geometryValid = 0;
  slot.needsCodeInit = 0;
  slot.ispFound = 0;
  slot.capacityRead = 0;
  slot.extraInfoRead = 0;
  slot.cisCount = 0;
  for (CisCopy& copy : slot.cis) copy.present = 0;
  std::memset(slot.vendorId, 0, sizeof slot.vendorId);
  std::memset(slot.productId, 0, sizeof slot.productId);
  std::memset(slot.inquiryText, 0, sizeof slot.inquiryText);
  slot.volumeHandle = device::kNoVolume;
  p.cisUnreadBlocks[index].clear();
}

uint8_t CheckDriveExist(Program& p) {
  for (int32_t& offset : p.ispOffsets) offset = -1;
  p.unlisted.reset();
  ReportStep(p, {0, StepKind::kScan, StepState::kStarted, "Scan", 0, 1});
  uint8_t found = 0;
  for (int i = 0; i < kSlotCount; ++i) {
    DriveSlot& slot = p.Slot(found);
    slot.letter = kScanLetters[i];
    // Each letter starts from an empty slot: a field an earlier letter left
    // behind (a flash id above all, which later picks the image) must not
    // pass for this drive's.
    ResetSlot(p, found);
    DebugLine(p, "CheckDriveExist : DriverIndex -> %d", static_cast<unsigned>(i));
    if (IdentifyDrive(p, found)) {
      ++found;
      break;
    }
  }
  if (found != 0) {
    p.reports->Update([&](Report& report) {
      report.letter = p.Slot(0).letter;
      report.drive = p.Slot(0);
      report.healthy = p.ispHealthy != 0;
      report.codeNotLoaded = p.codeNotLoaded[0];
      report.ispOffsets.clear();
      for (const int32_t offset : p.ispOffsets) {
        if (offset == -1) break;
        report.ispOffsets.push_back(offset);
      }
    });
  }
  ReportStep(p, {found != 0 ? p.Slot(0).letter : '\0', StepKind::kScan,
                 found != 0 ? StepState::kDone : StepState::kFailed, "Scan", 1, 1});
  return found;
}

bool IdentifyDrive(Program& p, int index) {
  DriveSlot& slot = p.Slot(index);
  if (!OpenVolume(p, index)) return false;
  slot.capacityRead = QueryCapacity(p, index) ? 1 : 0;
  if (!ParseInquiryData(p, index)) {
    CloseVolume(p, index);
    DebugText(p, "ParseInquiryData FAIL");
    return false;
  }
  slot.geometryValid = 0;
  DebugLine(p, "ID = %x", slot.controllerId);
  // Without its working code the drive answers no flash command that
  // could be trusted: it is listed with what it told so far.
  if (!p.codeNotLoaded[index].empty()) {
    CloseVolume(p, index);
    return true;
  }
  if (IsFamilyA(slot.controllerId)) {
    IdentifyFamilyA(p, index);
  } else if (IsFamilyB(slot.controllerId)) {
    IdentifyFamilyB(p, index);
  }
  CloseVolume(p, index);
  return true;
}

// The stick of slot `index` answered and `step` failed: kept, the first
// one only, with the command that failed.
void NoteUnlisted(Program& p, int index, const char* step) {
  if (p.unlisted) return;
  p.unlisted =
      Program::UnlistedDrive{p.Slot(index).letter, step, ExplainFailure(p.link.LastCommand(), 0)};
}

bool ParseInquiryData(Program& p, int index) {
  DriveSlot& slot = p.Slot(index);
  std::vector<uint8_t> inquiry(kInquiryLength, 0);
  if (!device::Inquiry(p.link, inquiry.data(), kInquiryLength, slot.volumeHandle)) {
    // A status is an answer: a stick is there. A reply that never came
    // is no stick.
    const std::optional<device::CommandAnswer>& last = p.link.LastCommand();
    if (last && last->sent && last->result.outcome == device::Outcome::kScsiStatus) {
      NoteUnlisted(p, index, "its identification (INQUIRY)");
    }
    return false;
  }

  // The text runs from byte 36 to the first NUL, or to the end of the reply.
  const char* start = reinterpret_cast<const char*>(inquiry.data() + kTextOffset);
  const std::string_view text(start, strnlen(start, kInquiryLength - kTextOffset));
  slot.needsCodeInit = 0;
  p.codeNotLoaded[index].clear();
  if (!ChooseController(p, index, text)) return false;

  ReportVerdict(p, text);

  const uint8_t revisionByte = inquiry[39];
  slot.revision =
      static_cast<uint8_t>(revisionByte <= '9' ? revisionByte - 0x30 : revisionByte - 0x37);
  if (slot.needsCodeInit != 0) slot.revision = static_cast<uint8_t>(inquiry[46] - 0x41);

  CopyText(slot.inquiryText, inquiry.data() + 36);
  CopyText(slot.vendorId, inquiry.data() + 8);
  CopyText(slot.productId, inquiry.data() + 16);

  if (slot.controllerId != kCtrl168) {
    uint8_t flashId[5] = {};
    if (!device::ReadFlashId(p.link, flashId, sizeof flashId, slot.volumeHandle)) {
      NoteUnlisted(p, index, "reading its flash ID");
      return false;
    }
    std::memcpy(slot.flashId, flashId, sizeof flashId);
  }
  slot.hasFlashId = (slot.flashId[0] != 0 || slot.flashId[1] != 0) ? 1 : 0;

  if (slot.needsCodeInit != 0) {
    if (!LoadCodeBlock(p, kWorkingCodeBlock, index)) {
      DebugText(p, "Can't init Code to device .");
      // Code this run cannot load (stand-ins, a missing image) sent
      // nothing: the drive stays, with what it told without code. Any
      // other failure leaves it out.
      if (!p.codeNotLoaded[index].empty()) return true;
      NoteUnlisted(p, index, "loading its working code");
      return false;
    }
    if (!device::InitFlash(p.link, 0, slot.volumeHandle)) {
      DebugText(p, "Init Flash fail ");
      NoteUnlisted(p, index, "initialising its flash");
      return false;
    }
  }
  return true;
}

// Both conversions need both block sizes; a zero count names no block, and
// the conversion then fails like one on an unprobed slot.
uint32_t ToCisPage(Program& p, int index, uint32_t page) {
  const DriveSlot& slot = p.Slot(index);
  if (slot.geometryValid == 0 || slot.pagesPerBlock == 0 || slot.cisPagesPerBlock == 0) {
    return kInvalidPage;
  }
  return (page / slot.pagesPerBlock) * slot.cisPagesPerBlock + page % slot.pagesPerBlock;
}

uint32_t ToDevicePage(Program& p, int index, uint32_t cisPage) {
  return ToDevicePage(p.Slot(index), cisPage);
}

uint32_t ToDevicePage(const DriveSlot& slot, uint32_t cisPage) {
  if (slot.geometryValid == 0 || slot.pagesPerBlock == 0 || slot.cisPagesPerBlock == 0) {
    return kInvalidPage;
  }
  return (cisPage / slot.cisPagesPerBlock) * slot.pagesPerBlock + cisPage % slot.cisPagesPerBlock;
}

bool OpenVolume(Program& p, int index) {
  DriveSlot& slot = p.Slot(index);
  device::VolumeHandle handle = slot.volumeHandle;
  std::string holder;
  if (!p.link.OpenVolume(slot.letter, handle, &holder)) {
    // A drive another run holds is left out, never waited for; the user is
    // told why it is missing.
    if (!holder.empty()) {
      std::snprintf(p.log.debugLine, sizeof p.log.debugLine,
                    "OpenVolume : %c: is held by another run, left out", slot.letter);
      p.log.Debug(p.log.debugLine);
      ReportHeld(p, slot.letter, holder);
    }
    return false;
  }
  slot.volumeHandle = handle;
  return true;
}

void CloseVolume(Program& p, int index) {
  DriveSlot& slot = p.Slot(index);
  device::VolumeHandle handle = slot.volumeHandle;
  p.link.CloseVolume(handle);
  slot.volumeHandle = handle;
}

}  // namespace kestrune
