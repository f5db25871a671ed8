#include "operations/backup_records.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <span>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

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
// Version 2 adds the saves; a document of version 1 is read as one save
// per file. Version 3 writes one entry a line, leaves out what is empty,
// and gives a file's drive only where it is not its save's: a bench's
// folder of 20,000 saves is a third of its size, read in a third of the
// time.
constexpr int kFormatVersion = 3;
constexpr int kSavesFormatVersion = 2;
// Version 4 is version 3 with the token of the journal beside it: a
// program that reads no journal refuses it rather than miss its changes.
constexpr int kJournalFormatVersion = 4;
constexpr int kFirstFormatVersion = 1;

constexpr std::array<const char*, 3> kRoleNames = {"before", "after", "backup"};
constexpr std::array<const char*, 4> kSourceNames = {"real device", "simulated drive",
                                                     "exported drive", "replay"};

constexpr std::array<const char*, 6> kKindNames = {"Before", "After",     "Backup",
                                                   "Aux",    "AuxBefore", "AuxAfter"};

// A JSON text of `text`: the common one (printable ASCII) escaped here, at
// the speed a folder of many saves needs; any other through the library.
void AppendJsonText(std::string& out, const std::string& text) {
  const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F;
  });
  if (!plain) {
    out += Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
    return;
  }
  out += '"';
  // Runs between the characters that take a backslash go in whole.
  size_t from = 0;
  for (size_t at = text.find_first_of("\"\\"); at != std::string::npos;
       at = text.find_first_of("\"\\", at + 1)) {
    out.append(text, from, at - from);
    out += '\\';
    from = at;
  }
  out.append(text, from, std::string::npos);
  out += '"';
}

// One JSON object, written field by field into a document's text.
class ObjectWriter {
 public:
  explicit ObjectWriter(std::string& out) : out_(out) { out_ += '{'; }
  ~ObjectWriter() { out_ += '}'; }
  ObjectWriter(const ObjectWriter&) = delete;
  ObjectWriter& operator=(const ObjectWriter&) = delete;

  void Text(const char* key, const std::string& value) {
    Key(key);
    AppendJsonText(out_, value);
  }
  // Left out when empty: a reader takes an absent field for none.
  void OptionalText(const char* key, const std::string& value) {
    if (!value.empty()) Text(key, value);
  }
  void Number(const char* key, uint64_t value) {
    Key(key);
    out_ += std::to_string(value);
  }
  void Null(const char* key) {
    Key(key);
    out_ += "null";
  }
  void Boolean(const char* key, bool value) {
    Key(key);
    out_ += value ? "true" : "false";
  }
  // The key of a value the caller writes next.
  std::string& Key(const char* key) {
    if (!first_) out_ += ',';
    first_ = false;
    out_ += '"';
    out_ += key;
    out_ += "\":";
    return out_;
  }

 private:
  std::string& out_;
  bool first_ = true;
};

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

void WriteIdentity(std::string& out, const DriveIdentity& d) {
  ObjectWriter o(out);
  o.Text("controllerId", FormatText("0x%X", d.controllerId));
  o.Number("revision", d.revision);
  o.Text("flashId", FlashIdText(d.flashId));
  o.Number("pageSize", d.pageSize);
  o.Text("vendor", d.vendor);
  o.Text("product", d.product);
  o.Text("inquiryText", d.inquiryText);
  if (d.usbSerial.empty()) {
    o.Null("usbSerial");
  } else {
    o.Text("usbSerial", d.usbSerial);
  }
  o.OptionalText("cisSha256", d.cisSha256);
}

// `withDrive` false: the file's drive is its save's, and left out.
void WriteRecord(std::string& out, const BackupRecord& r, bool withSave, bool withDrive) {
  ObjectWriter o(out);
  o.Text("file", r.file);
  o.Text("kind", kKindNames[static_cast<size_t>(r.kind)]);
  if (r.copy >= 0) o.Number("copy", static_cast<uint64_t>(r.copy));
  o.Number("page", r.page);
  o.Number("size", r.size);
  o.Text("sha256", r.sha256);
  o.Text("savedAt", r.savedAt);
  o.Text("programVersion", r.programVersion);
  o.Number("sequence", r.sequence);
  if (withDrive) WriteIdentity(o.Key("drive"), r.drive);
  o.OptionalText("replayOf", r.replayOf);
  if (withSave) o.Text("save", r.save);
}

void WriteSave(std::string& out, const SaveMark& s) {
  ObjectWriter o(out);
  o.Text("id", s.id);
  o.Text("command", s.command);
  o.Text("role", kRoleNames[static_cast<size_t>(s.role)]);
  o.Text("savedAt", s.savedAt);
  o.Number("sequence", s.sequence);
  o.Text("source", kSourceNames[static_cast<size_t>(s.source)]);
  o.OptionalText("recording", s.recording);
  o.OptionalText("recordingFile", s.recordingFile);
  if (!s.missing.empty()) {
    std::string& text = o.Key("missing");
    text += '[';
    for (const SaveArea& area : s.missing) {
      if (&area != s.missing.data()) text += ',';
      ObjectWriter m(text);
      m.Number("copy", static_cast<uint64_t>(area.copy));
      m.Text("area", area.aux ? "auxiliary" : "ISP");
    }
    text += ']';
  }
  o.Boolean("changeBegun", s.changeBegun);
  o.OptionalText("changeOf", s.changeOf);
  if (s.letter != 0) o.Text("letter", std::string(1, s.letter));
  o.OptionalText("port", s.port);
  if (!s.imageSha256.empty()) {
    ObjectWriter image(o.Key("image"));
    image.Text("file", s.imageFile);
    image.Text("row", s.imageRow);
    image.Text("sha256", s.imageSha256);
  }
  if (s.copiesWritten >= 0) o.Number("copiesWritten", static_cast<uint64_t>(s.copiesWritten));
  if (s.copiesVerified >= 0) o.Number("copiesVerified", static_cast<uint64_t>(s.copiesVerified));
  if (s.areas > 0) o.Number("areas", static_cast<uint64_t>(s.areas));
  o.OptionalText("run", s.run);
  WriteIdentity(o.Key("drive"), s.drive);
}

template <size_t N>
bool NameIndex(const std::array<const char*, N>& names, const std::string& text, size_t& index) {
  for (index = 0; index < N; ++index) {
    if (text == names[index]) return true;
  }
  return false;
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
// `compact`: a version 3 entry, whose empty fields may be left out and
// whose drive is its save's where none is given (`ownDrive` false).
bool ParseRecord(const ReadJson& j, BackupRecord& record, std::string& why, bool compact,
                 bool& ownDrive) {
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
  const auto copy = j.find("copy");
  if (copy != j.end() && copy->is_number_unsigned() && copy->get<uint64_t>() < kCisCopies) {
    record.copy = static_cast<int>(copy->get<uint64_t>());
  } else if (copy == j.end() ? !compact : !copy->is_null()) {
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
  if (!r.OptionalText("replayOf", record.replayOf) || !r.OptionalText("save", record.save)) {
    return false;
  }
  const auto drive = j.find("drive");
  ownDrive = drive != j.end();
  if (!ownDrive) return r.ok && compact && !record.file.empty();
  return r.ok && !record.file.empty() && ParseIdentity(*drive, record.drive);
}

bool ParseSave(const ReadJson& j, SaveMark& save, bool compact) {
  if (!j.is_object()) return false;
  Reader r{j};
  save.id = r.Text("id");
  save.command = r.Text("command");
  size_t role = 0;
  size_t source = 0;
  if (!NameIndex(kRoleNames, r.Text("role"), role) ||
      !NameIndex(kSourceNames, r.Text("source"), source)) {
    return false;
  }
  save.role = static_cast<SaveRole>(role);
  save.source = static_cast<SaveSource>(source);
  save.savedAt = r.Text("savedAt");
  save.sequence = r.Number("sequence", kMaxRecordSequence);
  if (!r.OptionalText("recording", save.recording) ||
      !r.OptionalText("recordingFile", save.recordingFile) ||
      !r.OptionalText("changeOf", save.changeOf)) {
    return false;
  }
  // Fields later versions added: absent or null is none.
  std::string letter;
  if (!r.OptionalText("letter", letter) || !r.OptionalText("port", save.port) ||
      !r.OptionalText("run", save.run) ||
      letter.size() > 1 || (letter.size() == 1 && !std::isalpha(static_cast<unsigned char>(letter[0])))) {
    return false;
  }
  save.letter = letter.empty() ? 0 : letter[0];
  if (const auto image = j.find("image"); image != j.end() && !image->is_null()) {
    if (!image->is_object()) return false;
    Reader i{*image};
    save.imageFile = i.Text("file");
    save.imageRow = i.Text("row");
    save.imageSha256 = i.Text("sha256");
    if (!i.ok) return false;
  }
  for (auto [key, count] : {std::pair{"copiesWritten", &save.copiesWritten},
                            std::pair{"copiesVerified", &save.copiesVerified},
                            std::pair{"areas", &save.areas}}) {
    const auto found = j.find(key);
    if (found == j.end() || found->is_null()) continue;
    if (!found->is_number_unsigned() || found->get<uint64_t>() > 64) return false;
    *count = static_cast<int>(found->get<uint64_t>());
  }
  // Absent from documents older than it: those saves count as begun.
  if (const auto begun = j.find("changeBegun"); begun != j.end()) {
    if (!begun->is_boolean()) return false;
    save.changeBegun = begun->get<bool>();
  }
  const auto missing = j.find("missing");
  if (missing == j.end() ? !compact : !missing->is_array()) return false;
  const ReadJson none = ReadJson::array();
  for (const ReadJson& entry : missing == j.end() ? none : *missing) {
    if (!entry.is_object()) return false;
    Reader m{entry};
    SaveArea area;
    area.copy = static_cast<int>(m.Number("copy", kCisCopies - 1));
    const std::string kind = m.Text("area");
    if (!m.ok || (kind != "ISP" && kind != "auxiliary")) return false;
    area.aux = kind == "auxiliary";
    save.missing.push_back(area);
  }
  const ReadJson* drive = r.Field("drive");
  return r.ok && !save.id.empty() && drive != nullptr && ParseIdentity(*drive, save.drive);
}

// A record of a document older than saves is a save of its own.
SaveMark LegacySave(const BackupRecord& record) {
  SaveMark save;
  save.id = FormatText("legacy-%llu", static_cast<unsigned long long>(record.sequence));
  save.role = RoleOf(record.kind);
  save.command = save.role == SaveRole::kBackup ? "backup" : "fix";
  save.savedAt = record.savedAt;
  save.sequence = record.sequence;
  save.drive = record.drive;
  save.source = record.replayOf.empty() ? SaveSource::kRealDevice : SaveSource::kReplay;
  save.recording = record.replayOf;
  save.legacy = true;
  return save;
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Gives `record` the drive of its save where it gives none of its own.
// False with `why` set when it names a save `book` does not hold (`ids`:
// the index of each save by id); `named`: a document whose records name
// their saves.
bool ResolveSave(BackupRecord& record, bool ownDrive, bool named, const RecordBook& book,
                 const std::unordered_map<std::string, size_t>& ids, std::string& why) {
  const auto save = record.save.empty() ? ids.end() : ids.find(record.save);
  if (named && !record.save.empty() && save == ids.end()) {
    why = FormatText("the record of <%s> names the save %s, which it does not hold",
                     record.file.c_str(), record.save.c_str());
    return false;
  }
  if (!ownDrive) {
    // Version 3 gives the drive of a file only where its save's is not
    // the file's; a file of no save has one of its own.
    if (save == ids.end()) return false;
    record.drive = book.saves[save->second].drive;
  }
  return true;
}

// Sixteen lower-case hex digits.
bool IsJournalToken(const std::string& text) {
  return text.size() == 16 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// The journal line of `record` as `book` holds it: its drive left out
// where its save's is the same, as in the document.
std::string JournalFileLine(const RecordBook& book, const BackupRecord& record) {
  const SaveMark* save = book.FindSave(record.save);
  const bool saved = save != nullptr && !save->legacy;
  std::string line = "{\"file\":";
  WriteRecord(line, record, saved, !saved || !(save->drive == record.drive));
  line += '}';
  return line;
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
  if (!journalOf.empty()) journalLines.push_back(JournalFileLine(*this, record));
  records.push_back(std::move(record));
  return true;
}

const SaveMark* RecordBook::FindSave(const std::string& id) const {
  for (const SaveMark& save : saves) {
    if (save.id == id) return &save;
  }
  return nullptr;
}

void RecordBook::PutSave(SaveMark save) {
  SaveMark* kept = nullptr;
  for (SaveMark& s : saves) {
    if (s.id == save.id) kept = &s;
  }
  if (kept != nullptr) {
    save.sequence = kept->sequence;
    *kept = std::move(save);
  } else {
    uint64_t next = 1;
    for (const BackupRecord& r : records) next = std::max(next, r.sequence + 1);
    for (const SaveMark& s : saves) next = std::max(next, s.sequence + 1);
    save.sequence = std::min(next, kMaxRecordSequence);
    saves.push_back(std::move(save));
    kept = &saves.back();
  }
  if (journalOf.empty() || kept->legacy) return;
  std::string line = "{\"save\":";
  WriteSave(line, *kept);
  line += '}';
  journalLines.push_back(std::move(line));
}

std::vector<const BackupRecord*> RecordBook::FilesOf(const std::string& id) const {
  std::vector<const BackupRecord*> files;
  for (const BackupRecord& record : records) {
    if (record.save == id) files.push_back(&record);
  }
  return files;
}

void RecordBook::Rename(const std::string& from, const std::string& to) {
  records.erase(std::remove_if(records.begin(), records.end(),
                               [&to](const BackupRecord& r) { return SameName(r.file, to); }),
                records.end());
  for (BackupRecord& record : records) {
    if (SameName(record.file, from)) record.file = to;
  }  if (journalOf.empty()) return;
  std::string line = "{\"rename\":";
  {
    ObjectWriter o(line);
    o.Text("from", from);
    o.Text("to", to);
  }
  line += '}';
  journalLines.push_back(std::move(line));
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

namespace {

constexpr const char* kJournalFormatName = "kestrune-backup-journal";

// The documents read or written lately, each with the book it holds. A run
// reads its folder's records again before every file it keeps, and the
// document of a busy bench (20,000 saves) takes a third of a second to
// parse: a book is taken from here only for the very texts it was read
// from (the document's, and its journal's as the file holds it), so what
// it gives is what reading those texts gives.
class ParsedDocumentMemo {
 public:
  // With `take` the book leaves the memo (a run that changes the records
  // writes them again at once, and keeps the book it wrote): copying the
  // book of a large folder costs as much as writing it.
  bool Find(const std::string& key, const std::string& document, const std::string& journal,
            RecordBook& book, bool take) {
    const std::lock_guard<std::mutex> hold(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->key != key || it->journal != journal || *it->book.documentText != document) continue;
      if (take) {
        book = std::move(it->book);
        entries_.erase(it);
      } else {
        book = it->book;
        entries_.splice(entries_.begin(), entries_, it);
      }
      return true;
    }
    return false;
  }

  void Forget(const std::string& key) {
    const std::lock_guard<std::mutex> hold(mutex_);
    std::erase_if(entries_, [&key](const Entry& entry) { return entry.key == key; });
  }

  // `book.documentText` is the document's text; `journal` the text of the
  // file beside it, if any.
  void Keep(const std::string& key, std::string journal, RecordBook book) {
    const std::lock_guard<std::mutex> hold(mutex_);
    std::erase_if(entries_, [&key](const Entry& entry) { return entry.key == key; });
    if (!book.documentText || book.documentText->size() > kMemoBytes) return;
    entries_.push_front({key, std::move(journal), std::move(book)});
    size_t bytes = 0;
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      bytes += it->book.documentText->size() + it->journal.size();
      if (bytes > kMemoBytes) {
        entries_.erase(it, entries_.end());
        break;
      }
    }
  }

 private:
  // The texts held, all told: the books they make take some three times
  // as much.
  static constexpr size_t kMemoBytes = size_t{64} << 20;
  struct Entry {
    std::string key;
    std::string journal;
    RecordBook book;
  };
  std::mutex mutex_;
  std::list<Entry> entries_;
};

ParsedDocumentMemo& ParsedDocuments() {
  static ParsedDocumentMemo memo;
  return memo;
}

// Reads the entries of one document into `book`, as its head tells them.
class DocumentReader {
 public:
  DocumentReader(RecordBook& book, std::string& why) : book_(book), why_(why) {
    book_.records.clear();
    book_.saves.clear();
    why_ = "it is not a backup record document";
  }

  // `root`: the document's object, whose entries need not be read yet.
  // Sets `token` to the journal's, empty where it keeps none.
  bool Head(const ReadJson& root, std::string& token) {
    token.clear();
    const ReadJson version = root.is_object() ? root.value("version", ReadJson()) : ReadJson();
    first_ = version == kFirstFormatVersion;
    const bool journaled = version == kJournalFormatVersion;
    compact_ = version == kFormatVersion || journaled;
    if (!root.is_object() || root.value("format", ReadJson()) != kFormatName ||
        !(first_ || compact_ || version == kSavesFormatVersion) || !root.contains("files") ||
        !root["files"].is_array() ||
        !(first_ || (root.contains("saves") && root["saves"].is_array()))) {
      return false;
    }
    if (!journaled) return true;
    const ReadJson mark = root.value("journal", ReadJson());
    if (!mark.is_string() || !IsJournalToken(mark.get_ref<const std::string&>())) return false;
    token = mark.get<std::string>();
    return true;
  }

  bool Save(const ReadJson& entry) {
    // A document older than saves holds none: any it names are not read.
    if (first_) return true;
    SaveMark save;
    if (!ParseSave(entry, save, compact_) ||
        !ids_.emplace(save.id, book_.saves.size()).second) {
      return false;
    }
    book_.saves.push_back(std::move(save));
    return true;
  }

  bool File(const ReadJson& entry) {
    BackupRecord record;
    bool ownDrive = false;
    if (!ParseRecord(entry, record, why_, compact_, ownDrive) ||
        !ResolveSave(record, ownDrive, !first_, book_, ids_, why_)) {
      return false;
    }
    if (first_ || record.save.empty()) {
      SaveMark legacy = LegacySave(record);
      record.save = legacy.id;
      ids_.emplace(legacy.id, book_.saves.size());
      book_.saves.push_back(std::move(legacy));
    }
    book_.records.push_back(std::move(record));
    return true;
  }

 private:
  RecordBook& book_;
  std::string& why_;
  bool first_ = false;
  bool compact_ = false;
  // The saves read so far by id: a document of many saves is read in time
  // linear in its size.
  std::unordered_map<std::string, size_t> ids_;
};

enum class LineRead : uint8_t { kRead, kRefused, kOtherLayout };

// Reads a document in the layout this program writes, an entry a line:
// half the time of the whole text at once, and a small part of its
// memory. Any other layout (a document edited by hand) is left to the
// reader of the whole text, which gives the same book for the same JSON.
LineRead ReadByLines(const std::string& text, DocumentReader& reader, std::string& token) {
  std::vector<std::string_view> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    lines.emplace_back(text.data() + at, end - at);
    at = end + 1;
  }
  // The head, the two arrays' openings and closings, and an entry a line.
  if (lines.size() < 5 || lines[0].empty() || lines[0].back() != ',' ||
      lines[1] != "\"saves\":[" || lines.back() != "]}") {
    return LineRead::kOtherLayout;
  }
  const auto closing = std::find(lines.begin() + 2, lines.end(), "],");
  if (closing == lines.end() || closing + 1 == lines.end() || closing[1] != "\"files\":[") {
    return LineRead::kOtherLayout;
  }
  // Each entry but the last of an array ends with the comma between them.
  for (const auto& [from, to] : {std::pair{lines.begin() + 2, closing},
                                 std::pair{closing + 2, lines.end() - 1}}) {
    for (auto line = from; line != to; ++line) {
      const bool last = line + 1 == to;
      if (line->size() < 2 || line->front() != '{' || (line->back() == ',') == last) {
        return LineRead::kOtherLayout;
      }
    }
  }
  const ReadJson head =
      ReadJson::parse(std::string(lines[0]) + "\"saves\":[],\"files\":[]}", nullptr, false);
  const ReadJson version = head.is_object() ? head.value("version", ReadJson()) : ReadJson();
  if (version != kFormatVersion && version != kJournalFormatVersion) return LineRead::kOtherLayout;
  if (!reader.Head(head, token)) return LineRead::kRefused;
  for (auto line = lines.begin() + 2; line != lines.end() - 1; ++line) {
    if (line == closing || line == closing + 1) continue;
    const std::string_view body = line->back() == ',' ? line->substr(0, line->size() - 1) : *line;
    const ReadJson entry = ReadJson::parse(body.begin(), body.end(), nullptr, false);
    if (!entry.is_object()) return LineRead::kOtherLayout;
    if (!(line < closing ? reader.Save(entry) : reader.File(entry))) return LineRead::kRefused;
  }
  return LineRead::kRead;
}

// The book a document's text holds, and the token its journal carries
// (empty: it keeps none); false with `why` set when it is none.
bool ParseRecordText(const std::string& text, RecordBook& book, std::string& why,
                     std::string& token) {
  {
    DocumentReader reader(book, why);
    const LineRead byLines = ReadByLines(text, reader, token);
    if (byLines != LineRead::kOtherLayout) return byLines == LineRead::kRead;
  }
  DocumentReader reader(book, why);
  const ReadJson root = ReadJson::parse(text, nullptr, false);
  if (!reader.Head(root, token)) return false;
  if (root.contains("saves")) {
    for (const ReadJson& entry : root["saves"]) {
      if (!reader.Save(entry)) return false;
    }
  }
  for (const ReadJson& entry : root["files"]) {
    if (!reader.File(entry)) return false;
  }
  return true;
}

// The book a reader makes of the text `book` is written as: a save of an
// older document is no entry of its own, and comes back after the others,
// made again from its file's record.
RecordBook AsRead(RecordBook read) {
  read.otherOwner.reset();
  std::erase_if(read.saves, [](const SaveMark& save) { return save.legacy; });
  std::unordered_set<std::string> kept;
  for (const SaveMark& save : read.saves) kept.insert(save.id);
  for (BackupRecord& record : read.records) {
    if (kept.contains(record.save)) continue;
    SaveMark legacy = LegacySave(record);
    record.save = legacy.id;
    read.saves.push_back(std::move(legacy));
  }
  return read;
}

// One change of a journal: a save or a file put in place of any of its
// id or name, or a file's record renamed.
bool ApplyJournalLine(const ReadJson& line, RecordBook& book,
                      std::unordered_map<std::string, size_t>& ids, std::string& why) {
  if (!line.is_object() || line.size() != 1) return false;
  if (const auto save = line.find("save"); save != line.end()) {
    SaveMark mark;
    if (!ParseSave(*save, mark, true)) return false;
    const auto [at, added] = ids.emplace(mark.id, book.saves.size());
    if (added) {
      book.saves.push_back(std::move(mark));
    } else {
      book.saves[at->second] = std::move(mark);
    }
    return true;
  }
  if (const auto file = line.find("file"); file != line.end()) {
    BackupRecord record;
    bool ownDrive = false;
    if (!ParseRecord(*file, record, why, true, ownDrive) ||
        !ResolveSave(record, ownDrive, true, book, ids, why)) {
      return false;
    }
    std::erase_if(book.records,
                  [&record](const BackupRecord& r) { return SameName(r.file, record.file); });
    book.records.push_back(std::move(record));
    return true;
  }
  const auto rename = line.find("rename");
  if (rename == line.end() || !rename->is_object()) return false;
  Reader r{*rename};
  const std::string from = r.Text("from");
  const std::string to = r.Text("to");
  if (!r.ok || !IsPlainFileName(from) || !IsPlainFileName(to)) return false;
  book.Rename(from, to);
  return true;
}

// Applies `journal`, the text of the file beside a document whose journal
// token is `token`, to the document's `book`. A journal of another token
// is an older document's, left over, and says nothing. False with `why`
// set when the text is no journal, or a line of it is no change this
// program writes.
bool ApplyJournal(const std::string& journal, const std::string& token, RecordBook& book,
                  std::string& why) {
  why = "it is not a journal of backup records";
  const size_t headEnd = journal.find('\n');
  if (headEnd == std::string::npos) return false;
  const ReadJson head = ReadJson::parse(journal.begin(), journal.begin() + headEnd, nullptr, false);
  if (!head.is_object() || head.value("format", ReadJson()) != kJournalFormatName ||
      !head.value("of", ReadJson()).is_string()) {
    return false;
  }
  if (head["of"] != token) return true;
  std::unordered_map<std::string, size_t> ids;
  for (size_t i = 0; i < book.saves.size(); ++i) ids.emplace(book.saves[i].id, i);
  // Every line is written whole: one without its end is no line of ours.
  for (size_t at = headEnd + 1; at < journal.size();) {
    const size_t end = journal.find('\n', at);
    if (end == std::string::npos) return false;
    const ReadJson line = ReadJson::parse(journal.begin() + static_cast<ptrdiff_t>(at),
                                          journal.begin() + static_cast<ptrdiff_t>(end), nullptr,
                                          false);
    at = end + 1;
    if (!ApplyJournalLine(line, book, ids, why)) return false;
  }
  book = AsRead(std::move(book));
  book.journalText = journal;
  return true;
}

// A file of the C: tree as read: whether it is there, whose it is (set
// when another user's: then it was not read) and its text.
struct FileText {
  bool found = false;
  std::optional<platform::FileOwner> otherOwner;
  std::string text;
};

// Reads the file at `path`, up to `limit` bytes; false with `problem` set
// when it cannot be read or is larger.
bool ReadWholeFile(platform::Platform& host, const std::string& path, uint64_t limit,
                   FileText& out, std::string& problem) {
  out = {};
  if (!host.FindFile(path)) return true;
  out.found = true;
  // Opened without waiting, so a FIFO or device under the name is refused
  // with what it is instead of holding the run (and the folder's lock).
  std::unique_ptr<platform::File> file = host.OpenFile(path, platform::OpenMode::kReadBinary);
  if (!file) {
    problem = FormatText(kRecordsUnreadable, path.c_str(), host.LastErrorText().c_str());
    return false;
  }
  out.otherOwner = file->OtherOwner();
  if (out.otherOwner) return true;
  // Read in steps, so that only a file's own size is ever held.
  constexpr size_t kStep = 64 * 1024;
  for (;;) {
    const size_t held = out.text.size();
    out.text.resize(held + kStep);
    const size_t got = ReadUpTo(*file, reinterpret_cast<uint8_t*>(out.text.data() + held), kStep);
    out.text.resize(held + got);
    if (out.text.size() > limit) {
      problem = FormatText(kRecordsUnreadable, path.c_str(), "it is too large");
      return false;
    }
    if (got < kStep) break;
  }
  return true;
}

// The book of a document's text and of the journal file beside it (`journal`
// as read, with `journalProblem` when it could not be); false with
// `problem` set, and `named` (when given) the file it names.
bool ParseRecords(const std::string& folder, const std::string& document, const FileText& journal,
                  bool journalRead, const std::string& journalProblem, RecordBook& book,
                  std::string& problem, NamedFiles* named = nullptr) {
  std::string why;
  std::string token;
  const std::string journalPath = folder + kRecordJournalName;
  if (!ParseRecordText(document, book, why, token)) {
    problem = FormatText(kRecordsUnreadable, (folder + kRecordDocumentName).c_str(), why.c_str());
    if (named != nullptr) *named = NamedFiles({folder + kRecordDocumentName});
    return false;
  }
  if (!token.empty() && journal.found) {
    if (named != nullptr) *named = NamedFiles({journalPath});
    if (!journalRead) {
      problem = journalProblem;
      return false;
    }
    // A journal another user put beside this user's document is none of
    // its changes.
    if (journal.otherOwner) {
      problem = FormatText(kRecordsUnreadable, journalPath.c_str(),
                           ("it belongs to " + journal.otherOwner->name).c_str());
      return false;
    }
    if (!ApplyJournal(journal.text, token, book, why)) {
      problem = FormatText(kRecordsUnreadable, journalPath.c_str(), why.c_str());
      return false;
    }
  }
  if (named != nullptr) *named = NamedFiles();
  book.journalOf = token;
  return true;
}

}  // namespace

bool ReadRecordBook(platform::Platform& host, const std::string& folder, RecordBook& book,
                    std::string& problem, RecordUse use, NamedFiles* named) {
  book = RecordBook();
  const std::string path = folder + kRecordDocumentName;
  FileText document;
  if (!ReadWholeFile(host, path, kMaxRecordDocumentBytes, document, problem)) {
    if (named != nullptr) *named = NamedFiles({path});
    return false;
  }
  if (!document.found) return true;
  // Another user's document (a shared folder lets anyone put one there)
  // says nothing about this user's backups: it is not even read.
  book.otherOwner = document.otherOwner;
  if (book.otherOwner) return true;
  // A journal is read for a document that keeps one; the limit leaves room
  // for the last changes a run adds past kMaxJournalBytes.
  FileText journal;
  std::string journalProblem;
  const bool journalRead = ReadWholeFile(host, folder + kRecordJournalName, 2 * kMaxJournalBytes,
                                         journal, journalProblem);
  const std::string hostPath = host.HostPath(path);
  if (journalRead && !journal.otherOwner &&
      ParsedDocuments().Find(hostPath, document.text, journal.text, book,
                             use == RecordUse::kChange)) {
    return true;
  }
  if (!ParseRecords(folder, document.text, journal, journalRead, journalProblem, book, problem,
                    named)) {
    book = RecordBook();
    return false;
  }
  book.documentText = std::make_shared<const std::string>(std::move(document.text));
  // A book read to be changed is kept when it is written.
  if (use == RecordUse::kLook && journalRead && !journal.otherOwner) {
    ParsedDocuments().Keep(hostPath, journal.text, book);
  }
  return true;
}

bool ReadRecordBook(Program& p, const std::string& folder, RecordBook& book, std::string& problem,
                    RecordUse use, NamedFiles* named) {
  return ReadRecordBook(p.platform, folder, book, problem, use, named);
}

namespace {

// Keeps `read`, the book of its document's text and journal, for the next
// read of the document at `hostPath`.
void KeepWritten(const std::string& hostPath, [[maybe_unused]] const std::string& folder,
                 RecordBook read) {
#ifndef NDEBUG
  // Debug builds prove, on every document and journal a test writes, that
  // the book kept for the texts is the one reading them gives.
  RecordBook parsed;
  std::string problem;
  const FileText written{!read.journalText.empty(), std::nullopt, read.journalText};
  assert(ParseRecords(folder, *read.documentText, written, true, "", parsed, problem) &&
         parsed.saves == read.saves && parsed.records == read.records &&
         parsed.journalOf == read.journalOf);
#endif
  std::string journal = read.journalText;
  ParsedDocuments().Keep(hostPath, std::move(journal), std::move(read));
}

std::string NewJournalToken() {
  std::random_device random;
  return FormatText("%08x%08x", static_cast<unsigned>(random()), static_cast<unsigned>(random()));
}

std::string DocumentHead(const std::string& token) {
  if (token.empty()) {
    return FormatText("{\"format\":\"%s\",\"version\":%d,\n", kFormatName, kFormatVersion);
  }
  return FormatText("{\"format\":\"%s\",\"version\":%d,\"journal\":\"%s\",\n", kFormatName,
                    kJournalFormatVersion, token.c_str());
}

std::string JournalHead(const std::string& token) {
  return FormatText("{\"format\":\"%s\",\"of\":\"%s\"}\n", kJournalFormatName, token.c_str());
}

// The saves and files of `book`, one entry a line, without the fields that
// are empty: the records of a busy bench's folder stay small, and each
// save is one line to grep.
void WriteEntries(const RecordBook& book, std::string& text) {
  std::unordered_map<std::string, const SaveMark*> kept;
  text.reserve(1024 * (book.saves.size() + book.records.size()));
  text += "\"saves\":[";
  const char* separator = "\n";
  for (const SaveMark& save : book.saves) {
    // A save of an older document lives on in its file's record alone.
    if (save.legacy) continue;
    kept.emplace(save.id, &save);
    text += separator;
    WriteSave(text, save);
    separator = ",\n";
  }
  text += "\n],\n\"files\":[";
  separator = "\n";
  for (const BackupRecord& record : book.records) {
    const auto save = kept.find(record.save);
    const bool saved = save != kept.end();
    text += separator;
    WriteRecord(text, record, saved, !saved || !(save->second->drive == record.drive));
    separator = ",\n";
  }
  text += "\n]}\n";
}

// Writes `text` whole under a temporary name, flushed, then renamed over
// `path`; false with `cause` set.
bool ReplaceWhole(Program& p, const std::string& path, const std::string& text,
                  std::string& cause) {
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

// Writes the document of `folder` whole, under a new journal token when it
// is large enough to keep a journal.
bool WriteWhole(Program& p, const std::string& folder, RecordBook& book, std::string& cause) {
  std::string entries;
  WriteEntries(book, entries);
  const std::string token = entries.size() >= kJournalFromBytes ? NewJournalToken() : "";
  std::string text = DocumentHead(token);
  text += entries;
  // What could not be read back is not written: the records stay as they
  // were, and the run says its record was not kept.
  if (text.size() > kMaxRecordDocumentBytes) {
    cause = FormatText("the records would pass %u MiB",
                       static_cast<unsigned>(kMaxRecordDocumentBytes >> 20));
    return false;
  }
  if (!ReplaceWhole(p, folder + kRecordDocumentName, text, cause)) return false;
  // The journal beside it is an older document's now, and goes.
  const std::string journal = folder + kRecordJournalName;
  if (p.platform.FindFile(journal)) p.platform.DeleteFile(journal);
  book.journalOf = token;
  book.journalText.clear();
  book.journalLines.clear();
  book.documentText = std::make_shared<const std::string>(std::move(text));
  return true;
}

// Whether the document and journal of `folder` are as `book` was read or
// last written: the document of its token, the journal of its text.
bool JournalStands(Program& p, const std::string& folder, const RecordBook& book) {
  FileText journal;
  std::string problem;
  if (!ReadWholeFile(p.platform, folder + kRecordJournalName, kMaxJournalBytes, journal,
                     problem) ||
      journal.otherOwner || journal.text != book.journalText) {
    return false;
  }
  const std::string head = DocumentHead(book.journalOf);
  std::unique_ptr<platform::File> document =
      p.platform.OpenFile(folder + kRecordDocumentName, platform::OpenMode::kReadBinary);
  std::string start(head.size(), '\0');
  return document != nullptr && !document->OtherOwner() &&
         ReadUpTo(*document, reinterpret_cast<uint8_t*>(start.data()), start.size()) ==
             start.size() &&
         start == head;
}

// Adds the changes of `book` to the journal of its document. False with
// `whole` set when the document is to be written whole instead (it keeps
// no journal, the journal would grow too large, or the files are not as
// the book was read); false with `cause` set when the journal could not be
// written.
bool AddToJournal(Program& p, const std::string& folder, RecordBook& book, bool& whole,
                  std::string& cause) {
  whole = true;
  if (book.journalOf.empty() || !book.documentText) return false;
  std::string journal = book.journalText.empty() ? JournalHead(book.journalOf) : book.journalText;
  size_t added = 0;
  for (const std::string& line : book.journalLines) added += line.size() + 1;
  if (journal.size() + added > kMaxJournalBytes || !JournalStands(p, folder, book)) return false;
  whole = false;
  for (const std::string& line : book.journalLines) {
    journal += line;
    journal += '\n';
  }
  if (!ReplaceWhole(p, folder + kRecordJournalName, journal, cause)) return false;
  book.journalText = std::move(journal);
  book.journalLines.clear();
  return true;
}

bool WriteRecords(Program& p, const std::string& folder, RecordBook& book, std::string& cause) {
  bool whole = true;
  if (AddToJournal(p, folder, book, whole, cause)) return true;
  return whole && WriteWhole(p, folder, book, cause);
}

}  // namespace

bool WriteRecordBook(Program& p, const std::string& folder, RecordBook& book,
                     std::string& cause) {
  // The caller goes on with its book, and writes it again before any run
  // reads it: no copy is kept.
  ParsedDocuments().Forget(p.platform.HostPath(folder + kRecordDocumentName));
  return WriteRecords(p, folder, book, cause);
}

bool WriteRecordBook(Program& p, const std::string& folder, RecordBook&& book,
                     std::string& cause) {
  const std::string hostPath = p.platform.HostPath(folder + kRecordDocumentName);
  ParsedDocuments().Forget(hostPath);
  if (!WriteRecords(p, folder, book, cause)) return false;
  KeepWritten(hostPath, folder, AsRead(std::move(book)));
  return true;
}

std::string UtcTimestamp() {
  // The same instant to the second: "2024-05-01T09:30:00Z".
  const std::string withMilliseconds = UtcTimestampMilliseconds();
  return withMilliseconds.substr(0, 19) + "Z";
}

std::string UtcTimestampMilliseconds() {
  using namespace std::chrono;
  const auto now = floor<milliseconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss time{now - day};
  return FormatText(
      "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
      static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
      static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
      static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
}

std::string DescribeArea(const SaveArea& area) {
  return area.aux ? FormatText("auxiliary area of copy %d", area.copy)
                  : FormatText("ISP copy %d", area.copy);
}

const char* SourceName(SaveSource source) { return kSourceNames[static_cast<size_t>(source)]; }
const char* RoleName(SaveRole role) { return kRoleNames[static_cast<size_t>(role)]; }

SaveRole RoleOf(BackupKind kind) {
  switch (kind) {
    case BackupKind::kBefore:
    case BackupKind::kAuxBefore:
      return SaveRole::kBefore;
    case BackupKind::kAfter:
    case BackupKind::kAuxAfter:
      return SaveRole::kAfter;
    case BackupKind::kBackup:
    case BackupKind::kAux:
      break;
  }
  return SaveRole::kBackup;
}

BackupKind KindFor(SaveRole role, bool aux) {
  switch (role) {
    case SaveRole::kBefore:
      return aux ? BackupKind::kAuxBefore : BackupKind::kBefore;
    case SaveRole::kAfter:
      return aux ? BackupKind::kAuxAfter : BackupKind::kAfter;
    case SaveRole::kBackup:
      break;
  }
  return aux ? BackupKind::kAux : BackupKind::kBackup;
}

std::string DescribePlace(const SaveMark& save) {
  if (save.letter == 0) return {};
  std::string place = FormatText(", %c:", save.letter);
  if (!save.port.empty()) place += " port " + save.port;
  return place;
}

std::string DescribeChange(const SaveMark& save) {
  if (save.role != SaveRole::kBefore) return {};
  std::vector<std::string> parts;
  if (!save.imageSha256.empty()) {
    parts.push_back("image " + save.imageFile + ", SHA-256 " + save.imageSha256);
  }
  if (!save.changeBegun) {
    parts.push_back("nothing went out to the stick");
  } else if (save.copiesWritten >= 0) {
    parts.push_back(FormatText("wrote %d %s, %d read back equal", save.copiesWritten,
                               save.copiesWritten == 1 ? "copy" : "copies",
                               std::max(save.copiesVerified, 0)));
  }
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : "; ") + part;
  return text;
}

std::string DescribeSource(const SaveMark& save) {
  switch (save.source) {
    case SaveSource::kRealDevice:
      return "a real device";
    case SaveSource::kSimulatedDrive:
      return "a simulated drive";
    case SaveSource::kExportedDrive:
      return FormatText("the drive exported from the recording <%s> (SHA-256 %s)",
                        save.recordingFile.c_str(), save.recording.c_str());
    case SaveSource::kReplay:
      break;
  }
  return FormatText("a replay of the recording with SHA-256 %s", save.recording.c_str());
}

std::vector<std::string> SaveFolders(platform::Platform& host, bool letterFolders) {
  std::vector<std::string> folders{"C:\\"};
  if (letterFolders) {
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
      const std::string folder = std::string("C:\\") + letter + "\\";
      if (host.FindFile(folder + kRecordDocumentName)) folders.push_back(folder);
    }
  }
  return folders;
}

bool IsChangeSave(const SaveMark& save) {
  return save.role == SaveRole::kBefore && save.changeBegun &&
         (save.command == "fix" || save.command == "destroy" || save.command == "restore");
}

bool OwnSave(const SaveMark& save, const DriveIdentity& drive, SaveSource source,
             const std::string& recording) {
  return !save.legacy && save.source != SaveSource::kReplay && save.source == source &&
         save.recording == recording && SameStick(save.drive, drive);
}

std::vector<const SaveMark*> LookAlikeSaves(const std::vector<const SaveMark*>& saves) {
  // The first place each run was seen at, and the saves of runs seen at two.
  std::unordered_map<std::string, const SaveMark*> firstOfRun;
  std::vector<const SaveMark*> shown;
  std::unordered_set<const SaveMark*> listed;
  const auto list = [&](const SaveMark* save) {
    if (listed.insert(save).second) shown.push_back(save);
  };
  for (const SaveMark* save : saves) {
    if (save->run.empty()) continue;
    const auto [first, added] = firstOfRun.emplace(save->run, save);
    if (added) continue;
    const SaveMark& was = *first->second;
    const bool elsewhere = !was.port.empty() && !save->port.empty() ? was.port != save->port
                                                                    : was.letter != save->letter;
    if (!elsewhere) continue;
    list(&was);
    list(save);
  }
  return shown;
}

DefaultSave NewestChangeSave(const std::vector<SaveInFolder>& candidates) {
  DefaultSave result;
  if (candidates.empty()) return result;
  std::vector<const SaveMark*> saves;
  for (const SaveInFolder& candidate : candidates) saves.push_back(candidate.save);
  result.lookAlikes = LookAlikeSaves(saves);
  if (!result.lookAlikes.empty()) return result;
  size_t chosen = 0;
  for (size_t i = 1; i < candidates.size(); ++i) {
    if (NewerSave(candidates[i].folder, *candidates[i].save, candidates[chosen].folder,
                  *candidates[chosen].save)) {
      chosen = i;
    }
  }
  result.newest = chosen;
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (candidates[i].folder != candidates[chosen].folder &&
        candidates[i].save->savedAt == candidates[chosen].save->savedAt) {
      result.tie = i;
      break;
    }
  }
  return result;
}

bool NewerSave(std::string_view folderA, const SaveMark& a, std::string_view folderB,
               const SaveMark& b) {
  if (folderA == folderB) return a.sequence > b.sequence;
  return a.savedAt > b.savedAt;
}

SaveSource SourceOf(Program& p, int slotIndex, std::string& recording, std::string& recordingFile) {
  const char letter = p.Slot(slotIndex).letter;
  const device::VolumeOpener& opener = p.link.opener();
  recording = opener.ReplayOf(letter);
  recordingFile.clear();
  if (!recording.empty()) return SaveSource::kReplay;
  if (opener.ServesRealDevice(letter)) return SaveSource::kRealDevice;
  std::tie(recordingFile, recording) = opener.ExportedFrom(letter);
  return recording.empty() ? SaveSource::kSimulatedDrive : SaveSource::kExportedDrive;
}

SaveMark NewSave(Program& p, int slotIndex, const std::string& command, SaveRole role) {
  SaveMark save;
  save.command = command;
  save.role = role;
  save.savedAt = UtcTimestampMilliseconds();
  std::random_device random;
  // The time to the second, then enough randomness that two runs of one
  // second, in one folder or two, never share an id.
  std::string compact;
  for (const char c : save.savedAt.substr(0, 19)) {
    if (c != '-' && c != ':') compact += c;
  }
  save.id = compact + FormatText("Z-%04x", static_cast<unsigned>(random() & 0xFFFF));
  save.drive = IdentityOf(p, slotIndex);
  save.source = SourceOf(p, slotIndex, save.recording, save.recordingFile);
  save.letter = p.Slot(slotIndex).letter;
  save.port = Printable(p.link.opener().UsbPort(save.letter));
  save.run = p.runId;
  return save;
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
