#include "device/answer.h"

#include <cctype>
#include <cstdio>

#include "device/command_traits.h"
#include "platform/folder.h"

namespace kestrune::device {

namespace {

constexpr const char* kSenseKeys[16] = {
    "NO SENSE",       "RECOVERED ERROR", "NOT READY",      "MEDIUM ERROR",
    "HARDWARE ERROR", "ILLEGAL REQUEST", "UNIT ATTENTION", "DATA PROTECT",
    "BLANK CHECK",    "VENDOR SPECIFIC", "COPY ABORTED",   "ABORTED COMMAND",
    "RESERVED",       "VOLUME OVERFLOW", "MISCOMPARE",     "COMPLETED",
};

struct SenseMeaning {
  uint8_t asc;
  int ascq;  // -1: any
  const char* meaning;
};

// The answers a USB stick's controller gives in practice.
constexpr SenseMeaning kSenseMeanings[] = {
    {0x00, 0x00, "no additional sense information"},
    {0x03, 0x00, "peripheral device write fault"},
    {0x04, 0x00, "not ready, cause not reportable"},
    {0x04, 0x01, "becoming ready"},
    {0x04, -1, "not ready"},
    {0x0C, 0x00, "write error"},
    {0x0C, -1, "write error"},
    {0x11, 0x00, "unrecovered read error"},
    {0x11, -1, "read error"},
    {0x1A, 0x00, "parameter list length error"},
    {0x20, 0x00, "invalid command operation code"},
    {0x21, 0x00, "logical block address out of range"},
    {0x24, 0x00, "invalid field in CDB"},
    {0x25, 0x00, "logical unit not supported"},
    {0x26, 0x00, "invalid field in parameter list"},
    {0x27, 0x00, "write protected"},
    {0x28, 0x00, "medium may have changed"},
    {0x29, -1, "power on, reset or bus device reset"},
    {0x31, 0x00, "medium format corrupted"},
    {0x3A, -1, "medium not present"},
    {0x44, 0x00, "internal target failure"},
    {0x47, 0x00, "SCSI parity error"},
    {0x4B, 0x00, "data phase error"},
};

struct StatusText {
  uint8_t status;
  const char* name;
};
constexpr StatusText kStatuses[] = {
    {0x02, "CHECK CONDITION"},      {0x04, "CONDITION MET"}, {0x08, "BUSY"},
    {0x18, "RESERVATION CONFLICT"}, {0x28, "TASK SET FULL"}, {0x30, "ACA ACTIVE"},
    {0x40, "TASK ABORTED"},
};

std::string Hex2(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02x", value & 0xFF);
  return text;
}

// A sense key as the standard writes it: "0xb".
std::string HexDigit(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%x", value & 0xF);
  return text;
}

std::string Residual(const CommandAnswer& answer) {
  return "residual " + std::to_string(answer.result.residual) + " of " +
         std::to_string(answer.transferLength) + " bytes";
}

std::string SystemError(int error) {
  if (error == 0) return {};
  // errno on POSIX, GetLastError on Windows, in the system's own words.
  return "system error " + std::to_string(error) + " (" + platform::SystemErrorText(error) + ")";
}

}  // namespace

std::optional<SenseFacts> ParseSense(const Result& result) {
  const uint8_t length = result.senseLength;
  if (length == 0) return std::nullopt;
  const auto& sense = result.sense;
  const uint8_t format = sense[0] & 0x7F;
  if ((format == 0x70 || format == 0x71) && length >= 14) {
    return SenseFacts{static_cast<uint8_t>(sense[2] & 0x0F), sense[12], sense[13]};
  }
  if ((format == 0x72 || format == 0x73) && length >= 4) {
    return SenseFacts{static_cast<uint8_t>(sense[1] & 0x0F), sense[2], sense[3]};
  }
  return std::nullopt;
}

const char* SenseKeyName(uint8_t key) { return kSenseKeys[key & 0x0F]; }

const char* AdditionalSenseMeaning(uint8_t asc, uint8_t ascq) {
  for (const SenseMeaning& row : kSenseMeanings) {
    if (row.asc == asc && (row.ascq < 0 || row.ascq == ascq)) return row.meaning;
  }
  return nullptr;
}

const char* StatusName(uint8_t status) {
  for (const StatusText& row : kStatuses) {
    if (row.status == status) return row.name;
  }
  return nullptr;
}

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kGood:
      return "good";
    case Outcome::kScsiStatus:
      return "scsi status";
    case Outcome::kTransportError:
      return "transport error";
    case Outcome::kOsError:
      return "os error";
  }
  return "os error";
}

std::string CommandName(const CommandAnswer& answer) {
  if (answer.cdbLength == 0) return "an empty command";
  const CommandTraits* traits = FindCommand(answer.cdb.data(), answer.cdbLength);
  std::string code = Hex2(answer.cdb[0]);
  for (char& c : code) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (traits == nullptr) return "command " + code;
  if (traits->sub != kAnyByte && answer.cdbLength >= 2) {
    std::string sub = Hex2(answer.cdb[1]);
    for (char& c : sub) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    code += " " + sub;
  }
  return std::string(traits->name) + " (" + code + ")";
}

std::string DescribeAnswer(const CommandAnswer& answer) {
  if (!answer.sent) return "was not sent: the drive's volume was not open";
  const Result& result = answer.result;
  std::string text;
  switch (result.outcome) {
    case Outcome::kGood:
      text = "answered GOOD";
      if (result.residual != 0) text += ", " + Residual(answer);
      return text;
    case Outcome::kScsiStatus: {
      const char* name = StatusName(result.scsiStatus);
      text =
          "answered " + (name != nullptr ? std::string(name) : "status " + Hex2(result.scsiStatus));
      if (const std::optional<SenseFacts> sense = ParseSense(result)) {
        const char* meaning = AdditionalSenseMeaning(sense->asc, sense->ascq);
        text += ", sense key 0x" + HexDigit(sense->key) + " " + SenseKeyName(sense->key) +
                ", ASC/ASCQ " + Hex2(sense->asc) + "/" + Hex2(sense->ascq) + " " +
                (meaning != nullptr ? meaning : "(meaning not known here)");
      } else {
        text += ", no sense data";
      }
      text += ", " + Residual(answer);
      break;
    }
    case Outcome::kTransportError:
      text = "failed in transport";
      // Only SG_IO names the adapter's and driver's part.
      if (result.hostStatus != 0 || result.driverStatus != 0) {
        text += " (host status 0x" + Hex2(result.hostStatus) + ", driver status 0x" +
                Hex2(result.driverStatus) + ")";
      }
      break;
    case Outcome::kOsError:
      text = "was refused by the system";
      if (result.systemError == 0) text += " (it gave no error code)";
      break;
  }
  if (result.systemError != 0) text += ", " + SystemError(result.systemError);
  return text;
}

}  // namespace kestrune::device
