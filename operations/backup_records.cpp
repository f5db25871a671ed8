#include "operations/backup_records.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <span>

#include "operations/isp_areas.h"
#include "operations/messages.h"
#include "operations/volume_guard.h"
#include "platform/platform.h"

namespace kestrune {

namespace {

// Written in the order of the fields; read into plain objects, whose keys
// are found in logarithmic time however many a planted document holds.
using Json = nlohmann::ordered_json;
using ReadJson = nlohmann::json;

constexpr const char* kFormatName = "kestrune-backup-records";
constexpr int kFormatVersion = 1;

constexpr std::array<const char*, 6> kKindNames = {"Before", "After",     "Backup",
                                                   "Aux",    "AuxBefore", "AuxAfter"};

Json TextOrNull(const std::string& text) { return text.empty() ? Json() : Json(text); }

// Drive texts reach the document and the terminal: anything that is not
// printable ASCII becomes '?', and the padding blanks go.
std::string Printable(const char* field, size_t size) {
  std::string text = platform::PrintableText({field, strnlen(field, size)});
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string Printable(const std::string& text) { return Printable(text.data(), text.size()); }

std::string FlashIdText(const std::array<uint8_t, 5>& id) {
  return platform::HexText(id.data(), id.size(), platform::HexCase::kUpper, ' ');
}

bool ParseFlashId(const std::string& text, std::array<uint8_t, 5>& id) {
  unsigned bytes[5];
  char tail = 0;
  if (text.size() != 14 || std::sscanf(text.c_str(), "%2x %2x %2x %2x %2x%c", &bytes[0], &bytes[1],
                                       &bytes[2], &bytes[3], &bytes[4], &tail) != 5) {
    return false;
  }
  for (size_t i = 0; i < id.size(); ++i) id[i] = static_cast<uint8_t>(bytes[i]);
  return true;
}

Json IdentityJson(const DriveIdentity& d) {
  return Json{{"controllerId", FormatText("0x%X", d.controllerId)},
              {"revision", d.revision},
              {"flashId", FlashIdText(d.flashId)},
              {"pageSize", d.pageSize},
              {"vendor", d.vendor},
              {"product", d.product},
              {"inquiryText", d.inquiryText},
              {"usbSerial", TextOrNull(d.usbSerial)},
              {"cisSha256", TextOrNull(d.cisSha256)}};
}

Json RecordJson(const BackupRecord& r) {
  return Json{{"file", r.file},
              {"kind", kKindNames[static_cast<size_t>(r.kind)]},
              {"copy", r.copy < 0 ? Json() : Json(r.copy)},
              {"page", r.page},
              {"size", r.size},
              {"sha256", r.sha256},
              {"savedAt", r.savedAt},
              {"programVersion", r.programVersion},
              {"sequence", r.sequence},
              {"drive", IdentityJson(r.drive)},
              {"replayOf", TextOrNull(r.replayOf)}};
}

// Field readers that hold every value of a document read from disk to its
// type and range; the first that does not sets `ok` false.
struct Reader {
  const ReadJson& object;
  bool ok = true;

  const ReadJson* Field(const char* key) {
    const auto it = object.find(key);
    if (it == object.end()) {
      ok = false;
      return nullptr;
    }
    return &*it;
  }
  std::string Text(const char* key) {
    const ReadJson* v = Field(key);
    if (v == nullptr || !v->is_string()) {
      ok = false;
      return {};
    }
    return Printable(v->get_ref<const std::string&>());
  }
  uint64_t Number(const char* key, uint64_t max) {
    const ReadJson* v = Field(key);
    if (v == nullptr || !v->is_number_unsigned() || v->get<uint64_t>() > max) {
      ok = false;
      return 0;
    }
    return v->get<uint64_t>();
  }
  // A field later versions added: absent and null are both "none".
  bool OptionalText(const char* key, std::string& text) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return true;
    if (!it->is_string()) return false;
    text = Printable(it->get_ref<const std::string&>());
    return true;
  }
};

bool ParseIdentity(const ReadJson& j, DriveIdentity& d) {
  if (!j.is_object()) return false;
  Reader r{j};
  const std::string controller = r.Text("controllerId");
  char* end = nullptr;
  const unsigned long id = std::strtoul(controller.c_str(), &end, 16);
  if (controller.size() < 3 || controller.compare(0, 2, "0x") != 0 || *end != '\0' || id > 0xFFFF) {
    return false;
  }
  d.controllerId = static_cast<uint16_t>(id);
  d.revision = static_cast<uint8_t>(r.Number("revision", 0xFF));
  if (!ParseFlashId(r.Text("flashId"), d.flashId)) return false;
  d.pageSize = static_cast<uint32_t>(r.Number("pageSize", UINT32_MAX));
  d.vendor = r.Text("vendor");
  d.product = r.Text("product");
  d.inquiryText = r.Text("inquiryText");
  if (!r.OptionalText("cisSha256", d.cisSha256)) return false;
  const ReadJson* serial = r.Field("usbSerial");
  if (serial != nullptr && serial->is_string()) {
    d.usbSerial = Printable(serial->get_ref<const std::string&>());
  } else if (serial == nullptr || !serial->is_null()) {
    return false;
  }
  return r.ok;
}

// False with `why` set when the entry is no record this program writes.
bool ParseRecord(const ReadJson& j, BackupRecord& record, std::string& why) {
  why = "it is not a backup record document";
  if (!j.is_object()) return false;
  Reader r{j};
  record.file = r.Text("file");
  // A record names a file in its own folder; a path would send a restore
  // to files, and records, elsewhere.
  if (r.ok && !IsPlainFileName(record.file)) {
    why = FormatText("a record names <%s>, which is no plain file name in its folder",
                     record.file.c_str());
    return false;
  }
  const std::string kind = r.Text("kind");
  const auto named = std::find_if(kKindNames.begin(), kKindNames.end(),
                                  [&kind](const char* name) { return kind == name; });
  if (named == kKindNames.end()) return false;
  record.kind = static_cast<BackupKind>(named - kKindNames.begin());
  const ReadJson* copy = r.Field("copy");
  if (copy != nullptr && copy->is_number_unsigned() && copy->get<uint64_t>() < kCisCopies) {
    record.copy = static_cast<int>(copy->get<uint64_t>());
  } else if (copy == nullptr || !copy->is_null()) {
    return false;
  }
  record.page = static_cast<uint32_t>(r.Number("page", UINT32_MAX));
  record.size = static_cast<uint32_t>(r.Number("size", UINT32_MAX));
  record.sha256 = r.Text("sha256");
  record.savedAt = r.Text("savedAt");
  record.programVersion = r.Text("programVersion");
  record.sequence = r.Number("sequence", UINT64_MAX);
  if (r.ok && record.sequence > kMaxRecordSequence) {
    why = FormatText("the record of <%s> has the sequence %llu, which no run makes",
                     record.file.c_str(), static_cast<unsigned long long>(record.sequence));
    return false;
  }
  if (!r.OptionalText("replayOf", record.replayOf)) return false;
  const ReadJson* drive = r.Field("drive");
  return r.ok && !record.file.empty() && drive != nullptr && ParseIdentity(*drive, record.drive);
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

DriveIdentity IdentityOf(Program& p, int slotIndex) {
  const DriveSlot& slot = p.Slot(slotIndex);
  DriveIdentity d;
  d.controllerId = slot.controllerId;
  d.revision = slot.revision;
  std::copy(std::begin(slot.flashId), std::end(slot.flashId), d.flashId.begin());
  d.pageSize = slot.pageSize;
  d.vendor = Printable(slot.vendorId, sizeof slot.vendorId);
  d.product = Printable(slot.productId, sizeof slot.productId);
  d.inquiryText = Printable(slot.inquiryText, sizeof slot.inquiryText);
  d.usbSerial = Printable(p.link.opener().UsbSerial(slot.letter));
  const std::vector<uint8_t>& cis = p.acceptedCisPage[slotIndex];
  if (!cis.empty()) {
    const std::span<const uint8_t> page(cis);
    // Without the digest the stick cannot be told from another of its
    // serial: its backups then count as no stick's own.
    if (const std::optional<platform::Sha256Digest> digest = platform::Sha256({&page, 1})) {
      d.cisSha256 = HexText(digest->data(), digest->size());
    }
  }
  return d;
}

std::string DescribeIdentity(const DriveIdentity& d) {
  return FormatText("controller 0x%X rev %u, flash %s, page size %u, ", d.controllerId,
                    static_cast<unsigned>(d.revision), FlashIdText(d.flashId).c_str(),
                    static_cast<unsigned>(d.pageSize)) +
         (d.usbSerial.empty() ? std::string("no USB serial") : "USB serial " + d.usbSerial);
}

const BackupRecord* RecordBook::Find(const std::string& file) const {
  for (const BackupRecord& record : records) {
    if (SameName(record.file, file)) return &record;
  }
  return nullptr;
}

bool RecordBook::Put(BackupRecord record) {
  uint64_t next = 1;
  for (const BackupRecord& r : records) {
    if (r.sequence >= kMaxRecordSequence) return false;
    next = std::max(next, r.sequence + 1);
  }
  record.sequence = next;
  records.erase(
      std::remove_if(records.begin(), records.end(),
                     [&record](const BackupRecord& r) { return SameName(r.file, record.file); }),
      records.end());
  records.push_back(std::move(record));
  return true;
}

void RecordBook::Rename(const std::string& from, const std::string& to) {
  records.erase(std::remove_if(records.begin(), records.end(),
                               [&to](const BackupRecord& r) { return SameName(r.file, to); }),
                records.end());
  for (BackupRecord& record : records) {
    if (SameName(record.file, from)) record.file = to;
  }
}

std::string FolderOf(const std::string& path) {
  const size_t end = path.find_last_of("\\/:");
  return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

std::string LeafOf(const std::string& path) {
  const size_t end = path.find_last_of("\\/:");
  return end == std::string::npos ? path : path.substr(end + 1);
}

bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\\:") == std::string::npos;
}

bool ReadRecordBook(Program& p, const std::string& folder, RecordBook& book, std::string& problem) {
  book.records.clear();
  book.otherOwner.reset();
  const std::string path = folder + kRecordDocumentName;
  if (!p.platform.FindFile(path)) return true;
  // Opened without waiting, so a FIFO or device under the name is refused
  // with what it is instead of holding the run (and the folder's lock).
  std::unique_ptr<platform::File> file = p.platform.OpenFile(path, platform::OpenMode::kReadBinary);
  if (!file) {
    problem = FormatText(kRecordsUnreadable, path.c_str(), p.platform.LastErrorText().c_str());
    return false;
  }
  // Another user's document (a shared folder lets anyone put one there)
  // says nothing about this user's backups: it is not even read.
  book.otherOwner = file->OtherOwner();
  if (book.otherOwner) return true;
  // Read in steps, so that only a document's own size is ever held.
  constexpr size_t kStep = 64 * 1024;
  std::string text;
  for (;;) {
    const size_t held = text.size();
    text.resize(held + kStep);
    const size_t got = ReadUpTo(*file, reinterpret_cast<uint8_t*>(text.data() + held), kStep);
    text.resize(held + got);
    if (text.size() > kMaxRecordDocumentBytes) {
      problem = FormatText(kRecordsUnreadable, path.c_str(), "it is too large");
      return false;
    }
    if (got < kStep) break;
  }
  const ReadJson root = ReadJson::parse(text, nullptr, false);
  bool valid = root.is_object() && root.value("format", ReadJson()) == kFormatName &&
               root.value("version", ReadJson()) == kFormatVersion && root.contains("files") &&
               root["files"].is_array();
  std::string why = "it is not a backup record document";
  if (valid) {
    for (const ReadJson& entry : root["files"]) {
      BackupRecord record;
      if (!ParseRecord(entry, record, why)) {
        valid = false;
        break;
      }
      book.records.push_back(std::move(record));
    }
  }
  if (!valid) {
    book.records.clear();
    problem = FormatText(kRecordsUnreadable, path.c_str(), why.c_str());
    return false;
  }
  return true;
}

bool WriteRecordBook(Program& p, const std::string& folder, const RecordBook& book,
                     std::string& cause) {
  Json files = Json::array();
  for (const BackupRecord& record : book.records) files.push_back(RecordJson(record));
  const std::string text =
      Json{{"format", kFormatName}, {"version", kFormatVersion}, {"files", std::move(files)}}.dump(
          2, ' ', false, Json::error_handler_t::replace) +
      "\n";

  const std::string path = folder + kRecordDocumentName;
  std::random_device random;
  const std::string temporary = path + FormatText(".%08x.tmp", static_cast<unsigned>(random()));
  const platform::RemoveOnInterrupt removal(p.platform.HostPath(temporary));
  std::unique_ptr<platform::File> file =
      p.platform.OpenFile(temporary, platform::OpenMode::kCreateNew);
  if (!file) {
    cause = p.platform.LastErrorText();
    return false;
  }
  const bool complete = file->Write(text.data(), text.size()) == text.size() && file->Flush();
  cause = file->ErrorText();
  file.reset();
  if (complete && p.platform.ReplaceFile(temporary, path)) return true;
  if (complete) cause = p.platform.LastErrorText();
  p.platform.DeleteFile(temporary);
  return false;
}

std::string UtcTimestamp() {
  using namespace std::chrono;
  const auto now = floor<seconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss time{now - day};
  return FormatText("%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                    static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                    static_cast<int>(time.hours().count()),
                    static_cast<int>(time.minutes().count()),
                    static_cast<int>(time.seconds().count()));
}


bool SameModel(const DriveIdentity& a, const DriveIdentity& b) {
  return a.controllerId == b.controllerId && a.revision == b.revision && a.flashId == b.flashId &&
         a.pageSize == b.pageSize;
}

bool SameStick(const DriveIdentity& a, const DriveIdentity& b) {
  return SameModel(a, b) && !a.usbSerial.empty() && a.usbSerial == b.usbSerial &&
         !a.cisSha256.empty() && a.cisSha256 == b.cisSha256;
}

FileOrigin ClassifyFile(const BackupRecord* record, uint32_t size, const std::string& sha256,
                        const DriveIdentity& drive, int copy, uint32_t page) {
  if (record == nullptr || record->size != size || record->sha256 != sha256) {
    return FileOrigin::kUnknown;
  }
  if (!SameModel(record->drive, drive)) return FileOrigin::kOtherModel;
  // What a replay read was the recording's answer, not this stick's flash.
  if (!record->replayOf.empty() || !SameStick(record->drive, drive)) return FileOrigin::kDonor;
  return record->copy == copy && record->page == page ? FileOrigin::kThisDrive : FileOrigin::kDonor;
}

}  // namespace kestrune
