#include "app/console/console_json.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <ostream>

#include "app/drive_session.h"
#include "app/session/kept_files.h"
#include "discovery/discovery.h"
#include "platform/folder.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace kestrune::console {

namespace {

constexpr unsigned kMbTypeMask = 0xF;
constexpr unsigned kMbIconMask = 0xF0;

std::string Trimmed(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

Json Nullable(const std::optional<std::string>& text) { return text ? Json(*text) : Json(); }

Json IconName(unsigned style) {
  switch (style & kMbIconMask) {
    case kMbIconError:
      return "error";
    case kMbIconExclamation:
      return "exclamation";
    case kMbIconInformation:
      return "information";
    default:
      return nullptr;
  }
}

Json AnswerName(int answer) {
  if (answer == kIdOk) return "OK";
  if (answer == kIdCancel) return "Cancel";
  return nullptr;
}

Json DriveName(char drive) { return drive != 0 ? Json(std::string(1, drive)) : Json(); }

// Why a failure box was shown, from what the link kept of the command.
Json WhyJson(const FailureCause& why) {
  Json cause = {{"line", why.line},        {"command", nullptr},    {"opcode", nullptr},
                {"outcome", "none sent"},  {"scsiStatus", nullptr}, {"senseKey", nullptr},
                {"senseKeyName", nullptr}, {"asc", nullptr},        {"ascq", nullptr},
                {"meaning", nullptr},      {"sense", nullptr},      {"residual", nullptr},
                {"systemError", nullptr}};
  if (why.ownCheck) cause["outcome"] = "check failed";
  if (!why.command) return cause;
  const device::CommandAnswer& answer = *why.command;
  const device::Result& result = answer.result;
  cause["command"] = device::CommandName(answer);
  if (answer.cdbLength != 0) cause["opcode"] = answer.cdb[0];
  if (!answer.sent) {
    cause["outcome"] = "not sent";
    return cause;
  }
  cause["outcome"] = device::OutcomeName(result.outcome);
  cause["residual"] = result.residual;
  if (result.outcome == device::Outcome::kScsiStatus) cause["scsiStatus"] = result.scsiStatus;
  if (const std::optional<device::SenseFacts> sense = device::ParseSense(result);
      sense && result.outcome == device::Outcome::kScsiStatus) {
    cause["senseKey"] = sense->key;
    cause["senseKeyName"] = device::SenseKeyName(sense->key);
    cause["asc"] = sense->asc;
    cause["ascq"] = sense->ascq;
    const char* meaning = device::AdditionalSenseMeaning(sense->asc, sense->ascq);
    cause["meaning"] = meaning != nullptr ? Json(meaning) : Json();
  }
  if (result.senseLength != 0) {
    cause["sense"] = platform::HexText(result.sense.data(),
                                       std::min<size_t>(result.senseLength, result.sense.size()),
                                       platform::HexCase::kLower);
  }
  if (result.systemError != 0) cause["systemError"] = result.systemError;
  return cause;
}

}  // namespace

const char* OutcomeOfExitCode(int exitCode) {
  switch (exitCode) {
    case kExitDone:
      return "success";
    case kExitUsage:
      return "usage error";
    case kExitHeld:
      return "held by another run";
    case kExitNoDevice:
      return "not found";
    case kExitNotAdministrator:
      return "not administrator";
    case kExitCancelled:
      return "cancelled";
    case kExitInterrupted:
      return "interrupted";
    case kExitStandInImages:
      return "stand-in images";
    default:
      return "failed";
  }
}

Json DocumentHead(const ConsoleOptions& options) {
  Json head = Json::object();
  head["version"] = kVersionNumber;
  if (options.command == Command::kInteractive) return head;
  head["command"] = CommandName(options.command);
  // A watch is a run of --all whatever else its command line held.
  head["all"] = options.all || options.watch;
  if (options.watch) head["watch"] = "summary";
  return head;
}

Json BoxesJson(const std::vector<DriveBox>& boxes) {
  Json list = Json::array();
  for (const auto& [drive, box] : boxes) {
    const bool question = (box.style & kMbTypeMask) == kMbOkCancel;
    Json message = {{"drive", DriveName(drive)},
                    {"caption", box.caption},
                    {"text", box.text},
                    {"icon", IconName(box.style)},
                    {"answer", question ? AnswerName(box.answer) : Json()}};
    if (box.why) message["why"] = WhyJson(*box.why);
    if (!box.files.empty()) {
      Json files = Json::array();
      for (const BoxFile& file : box.files) {
        files.push_back({{"name", file.name}, {"path", file.hostPath}});
      }
      message["files"] = std::move(files);
    }
    list.push_back(std::move(message));
  }
  return list;
}

Json FilesJson(const std::vector<DriveFile>& files) {
  Json list = Json::array();
  for (const DriveFile& kept : files) {
    list.push_back({{"drive", DriveName(kept.drive)},
                    {"name", kept.file.name},
                    {"path", kept.file.hostPath},
                    {"size", kept.file.size ? Json(*kept.file.size) : Json()},
                    {"sha256", Nullable(kept.sha256)}});
  }
  return list;
}

Json PlaceJson(const std::string& port, const std::string& serial, int stick) {
  Json place = Json::object();
  place["port"] = port.empty() ? Json() : Json(port);
  place["serial"] = serial.empty() ? Json() : Json(serial);
  place["stick"] = stick > 0 ? Json(stick) : Json();
  return place;
}

Json SlotJson(const DriveSlot& slot, bool healthy, const CopyStates& states) {
  Json drive = Json::object();
  drive["letter"] = std::string(1, slot.letter);
  drive["verdict"] = healthy ? "healthy" : "broken";
  drive["line"] = FormatDriveLine(slot);
  drive["controllerId"] = ControllerText(slot);
  drive["revision"] = slot.revision;
  drive["vendorId"] = Trimmed(FieldText(slot.vendorId));
  drive["productId"] = Trimmed(FieldText(slot.productId));
  drive["inquiryText"] = FieldText(slot.inquiryText);
  const std::string flashId = FlashIdHex(slot);
  drive["flashId"] = flashId.empty() ? Json() : Json(flashId);
  drive["capacity"] = FormatCapacity(slot);
  drive["capacityRead"] = slot.capacityRead != 0;
  drive["sectorCount"] = slot.sectorCount == kNoSectorCount ? Json() : Json(slot.sectorCount);
  drive["sectorSize"] = slot.sectorSize;
  drive["geometryValid"] = slot.geometryValid != 0;
  if (slot.geometryValid != 0) {
    drive["pageSize"] = slot.pageSize;
    drive["pagesPerBlock"] = slot.pagesPerBlock;
    drive["cisPagesPerBlock"] = slot.cisPagesPerBlock;
    drive["ceCount"] = slot.ceCount;
    drive["zoneCount"] = slot.zoneCount;
    drive["blocksPerZone"] = slot.blocksPerZone;
  }
  drive["ispFound"] = slot.ispFound != 0;
  Json copies = Json::array();
  for (const CisCopy& copy : slot.cis) {
    if (copy.present == 0) continue;
    copies.push_back({{"page", copy.page},
                      {"cisPageOffset", copy.cisPageOffset},
                      {"ispOffset", copy.ispOffset}});
  }
  drive["cis"] = copies;
  drive["map"] = MapJson(BuildFlashMap(slot, states));
  return drive;
}

Json MapJson(const FlashMap& map) {
  Json marks = Json::array();
  for (const MapMark& mark : map.marks) {
    marks.push_back({{"kind", MarkKindName(mark.kind)},
                     {"copy", mark.copy},
                     {"firstBlock", mark.firstBlock},
                     {"blocks", mark.blockCount},
                     {"inFlash", mark.inFlash},
                     {"state", mark.kind == MarkKind::kCis ? Json() : CopyStateName(mark.state)}});
  }
  return {{"blocks", map.valid ? Json(map.BlockCount()) : Json()}, {"marks", marks}};
}

void PrintDocument(std::ostream& out, Json document, const std::vector<std::string>& errors,
                   int exitCode, int indent) {
  document["errors"] = errors;
  document["outcome"] = OutcomeOfExitCode(exitCode);
  document["exitCode"] = exitCode;
  out << document.dump(indent, ' ', false, Json::error_handler_t::replace) << std::endl;
}

void ExportEnd::Say(const std::string& line) {
  err_ << "kestrune: " << line << std::endl;
  said_.push_back(line);
}

void ExportEnd::Exported(char letter, const std::string& source, const std::string& controllerId,
                         bool healthy, uint32_t pagesRead, uint32_t commands) {
  exported_ = {{"letter", std::string(1, letter)}, {"source", source},
               {"controllerId", controllerId},     {"verdict", healthy ? "healthy" : "broken"},
               {"pagesRead", pagesRead},           {"commands", commands}};
}

void ExportEnd::Wrote(const std::string& name) {
  Json file = {
      {"drive", nullptr}, {"name", name}, {"path", name}, {"size", nullptr}, {"sha256", nullptr}};
  const std::filesystem::path path(name);
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (!error) file["path"] = absolute.string();
  // Read back through its folder, as the program reads any file: a regular
  // file only, never waited on.
  const std::string parent = path.parent_path().string();
  const platform::FolderOpening opening =
      platform::Folder::Open(parent.empty() ? "." : parent, platform::FolderRule::kFollowed);
  if (opening.folder) {
    platform::OpenedFile opened = opening.folder->OpenForReading(path.filename().string());
    if (opened.file) {
      const std::optional<platform::Sha256Digest> digest = platform::Sha256OfFile(*opened.file);
      const uintmax_t size = std::filesystem::file_size(path, error);
      if (!error) file["size"] = size;
      if (digest && !error) file["sha256"] = session::HexText(digest->data(), digest->size());
    }
  }
  files_.push_back(std::move(file));
}

int ExportEnd::End(int code) {
  if (!options_.json) return code;
  Json document = DocumentHead(options_);
  // No drive is scanned: the drive is made of what the recording holds.
  document["drives"] = Json::array();
  if (!exported_.is_null()) document["exported"] = exported_;
  document["messages"] = Json::array();
  document["files"] = files_;
  PrintDocument(out_, std::move(document), said_, code);
  return code;
}

std::string ControllerText(const DriveSlot& slot) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%03X", static_cast<unsigned>(slot.controllerId));
  return text;
}

std::string FlashIdHex(const DriveSlot& slot) {
  if (slot.hasFlashId == 0) return {};
  return platform::HexText(slot.flashId, sizeof slot.flashId, platform::HexCase::kUpper);
}

}  // namespace kestrune::console
