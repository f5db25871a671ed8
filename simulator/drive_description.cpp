#include "simulator/drive_description.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <set>
#include <span>

#include "device/bytes.h"

namespace kestrune::sim {

using nlohmann::json;

namespace {

bool KnownController(uint16_t id) {
  switch (id) {
    case 0x161:
    case 0x162:
    case 0x163:
    case 0x165:
    case 0x168:
    case 0x169:
    case 0x190:
      return true;
    default:
      return false;
  }
}

char RevisionDigit(uint8_t revision) {
  return static_cast<char>(revision < 10 ? '0' + revision : 'A' + (revision - 10));
}

std::string Hex(std::span<const uint8_t> bytes) {
  std::string text;
  char piece[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(piece, sizeof piece, i == 0 ? "%02X" : " %02X", bytes[i]);
    text += piece;
  }
  return text;
}

std::string HexNumber(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

}  // namespace

uint8_t DriveDescription::CfgFlags() const {
  if (cfgFlags) return *cfgFlags;
  if (!FamilyA()) return 0;
  // Family A reports its page size only through these bits.
  switch (pageSize) {
    case 512:
      return 0x14;
    case 1024:
      return 0x34;
    case 4096:
      return 0x38;
    default:
      return 0x18;
  }
}

uint16_t DriveDescription::ReportedCisPagesPerBlock() const {
  if (FamilyA()) {
    return cisPagesPerBlockByte.value_or(static_cast<uint8_t>(
        cisPagesPerBlock.value_or(static_cast<uint16_t>(std::min<uint32_t>(pagesPerBlock, 255)))));
  }
  const uint16_t wide = cisPagesPerBlock.value_or(static_cast<uint16_t>(pagesPerBlock));
  if (wide != 0) return wide;
  return cisPagesPerBlockByte.value_or(0);
}

uint16_t DriveDescription::UsableBlocksPerZone() const {
  return usableBlocksPerZone.value_or(static_cast<uint16_t>(uint32_t{blocksPerZone} * 125 / 128));
}

std::vector<uint8_t> DriveDescription::ConfigRecord() const {
  if (configBytes) return *configBytes;
  std::vector<uint8_t> r(FamilyA() ? 12 : 34, 0);
  r[0] = flashType;
  r[1] = CfgFlags();
  bytes::StoreBe16(&r[3], blocksPerZone);
  r[5] = zoneCount;
  r[6] = ceCount;
  bytes::StoreBe16(&r[7], ReportedPagesPerBlock());
  bytes::StoreBe16(&r[9], UsableBlocksPerZone());
  if (FamilyA()) {
    r[2] = static_cast<uint8_t>(ReportedCisPagesPerBlock());
  } else {
    const uint16_t wide = cisPagesPerBlock.value_or(static_cast<uint16_t>(pagesPerBlock));
    r[2] = cisPagesPerBlockByte.value_or(static_cast<uint8_t>(wide));
    bytes::StoreBe16(&r[12], wide);
    r[21] = channelCount;
    bytes::StoreBe16(&r[22], configPageSize.value_or(static_cast<uint16_t>(pageSize)));
    r[31] = optionFlags;
  }
  return r;
}

std::string DriveDescription::IdentificationText(bool healthy) const {
  if (inquiryText) return healthy && healthyInquiryText ? *healthyInquiryText : *inquiryText;
  const std::string verdict = healthy ? "1100" : "0000";
  const std::string rev(1, RevisionDigit(revision));
  switch (controllerId) {
    case 0x168:
      return "Qzv" + rev + "KSTRUNE-" + verdict;
    case 0x161:
      return "UT0" + rev + "KSTRUNE-" + verdict;
    case 0x169:
      return "UT2" + rev + "KSTRUNE-" + verdict;
    default: {
      // Characters: 0-3 "Utff", 4-7 the code, 9 a digit, 10 'A' + revision.
      char code[8];
      std::snprintf(code, sizeof code, "U%03X", controllerId & 0xFFF);
      std::string text = std::string("Utff") + code + "S";
      text += static_cast<char>('0' + revision % 10);
      text += static_cast<char>('A' + revision);
      return text + "-" + verdict;
    }
  }
}

uint32_t DriveDescription::SectorsPerPage() const {
  uint32_t sectorSize = blockLength ? blockLength : 512;
  if (!FamilyA()) {
    const uint32_t ppb = ReportedPagesPerBlock();
    sectorSize = ppb == 0 ? 512 : uint32_t{ReportedCisPagesPerBlock()} * pageSize / ppb;
  }
  return sectorSize == 0 ? 0 : pageSize / sectorSize;
}

uint32_t DriveDescription::ToDevicePage(uint32_t cisPage) const {
  const uint32_t cppb = ReportedCisPagesPerBlock();
  if (cppb == 0) return 0xFFFFFFFF;
  return cisPage / cppb * ReportedPagesPerBlock() + cisPage % cppb;
}

uint32_t DriveDescription::ToCisPage(uint32_t page) const {
  const uint32_t ppb = ReportedPagesPerBlock();
  if (ppb == 0) return 0xFFFFFFFF;
  return page / ppb * ReportedCisPagesPerBlock() + page % ppb;
}

uint16_t DriveDescription::ZoneBlockCount(uint32_t unit, uint32_t zone) const {
  if (zoneBlockCounts) {
    if (unit < zoneBlockCounts->size() && zone < (*zoneBlockCounts)[unit].size()) {
      return (*zoneBlockCounts)[unit][zone];
    }
    return 0xFFFF;
  }
  return unit < ceCount && zone < zoneCount ? UsableBlocksPerZone() : 0xFFFF;
}

std::string ValidateDescription(const DriveDescription& d) {
  if (!d.inquiryText && !KnownController(d.controllerId)) {
    return "unknown controller without an identification text";
  }
  if ((d.inquiryText && d.inquiryText->size() > 143) ||
      (d.healthyInquiryText && d.healthyInquiryText->size() > 143)) {
    return "identification text too long";
  }
  if (d.healthyInquiryText && !d.inquiryText) return "a healthy text needs a broken one beside it";
  if (d.pageSize < 512 || d.pageSize > 32768 || d.pageSize % 512 != 0) {
    return "page size must be a multiple of 512 from 512 to 32768";
  }
  if (d.pagesPerBlock == 0 || d.pagesPerBlock > 4096) return "pages per block out of range";
  const uint64_t pages = uint64_t{d.BlockCount()} * d.pagesPerBlock;
  if (d.BlockCount() == 0 || pages > 0x7FFFFFFF) return "block count out of range";
  if (d.configBytes && d.configBytes->size() > 34) return "config record longer than 34 bytes";
  if (d.extraInfo.size() > 64) return "information page longer than 64 bytes";
  if (d.vendor.size() > 8 || d.cisVendor.size() > 8) return "vendor text longer than 8";
  if (d.product.size() > 16 || d.cisProduct.size() > 16) return "product text longer than 16";
  if (d.productRevision.size() > 4) return "product revision longer than 4";
  for (const auto& [address, data] : d.memory) {
    if (address > 0x10000 || data.size() > 0x10000 - address) return "memory patch beyond 64 KiB";
  }
  if (d.FamilyA()) {
    for (const auto& h : d.headerPages) {
      if (h.block > 1) return "family-A header pages lie in block 0 or 1";
      if (h.block + 2 > d.BlockCount()) return "header page outside the flash";
    }
  } else {
    if (d.ReportedCisPagesPerBlock() == 0) return "CIS pages per block is 0";
    for (const auto& c : d.codeMarks) {
      if (c.block >= d.BlockCount()) return "CodeMark block outside the flash";
      if (c.marker.size() != 8) return "CodeMark marker must have 8 characters";
    }
  }
  return {};
}

// --- JSON ---

namespace {

// Reads one JSON object and remembers which keys were used, so that unknown
// keys (typing errors) are reported instead of being silently ignored.
class ObjectReader {
 public:
  ObjectReader(const json& object, std::string where, std::string* error)
      : object_(object), where_(std::move(where)), error_(error) {
    if (!object_.is_object()) Fail("must be an object");
  }

  bool ok() const { return ok_; }

  const json* Find(const char* key) {
    used_.insert(key);
    if (!ok_ || !object_.contains(key)) return nullptr;
    return &object_[key];
  }

  template <typename T>
  bool Number(const char* key, T* out, uint64_t max) {
    const json* v = Find(key);
    if (!v) return false;
    uint64_t value = 0;
    if (!ToNumber(*v, &value) || value > max) {
      Fail(std::string("\"") + key + "\" must be a number from 0 to " + std::to_string(max));
      return false;
    }
    *out = static_cast<T>(value);
    return true;
  }
  template <typename T>
  void Optional(const char* key, std::optional<T>* out, uint64_t max) {
    T value{};
    if (Number(key, &value, max)) *out = value;
  }
  void Text(const char* key, std::string* out) {
    const json* v = Find(key);
    if (!v) return;
    if (!v->is_string()) return Fail(std::string("\"") + key + "\" must be text");
    *out = v->get<std::string>();
  }
  void Flag(const char* key, bool* out) {
    const json* v = Find(key);
    if (!v) return;
    if (!v->is_boolean()) return Fail(std::string("\"") + key + "\" must be true or false");
    *out = v->get<bool>();
  }
  // Bytes as hex text ("98 DC 90 26 76") or as an array of numbers.
  bool Bytes(const char* key, std::vector<uint8_t>* out) {
    const json* v = Find(key);
    if (!v) return false;
    if (!ToBytes(*v, out)) {
      Fail(std::string("\"") + key + "\" must be hex text or an array of bytes");
      return false;
    }
    return true;
  }

  void Fail(const std::string& message) {
    if (ok_) *error_ = where_ + ": " + message;
    ok_ = false;
  }

  // Call after every key was read.
  bool Finish() {
    if (!ok_) return false;
    for (const auto& item : object_.items()) {
      if (!used_.count(item.key())) {
        Fail("unknown key \"" + item.key() + "\"");
        return false;
      }
    }
    return true;
  }

  static bool ToNumber(const json& v, uint64_t* out) {
    if (v.is_number_unsigned()) {
      *out = v.get<uint64_t>();
      return true;
    }
    if (v.is_number_integer()) {
      const int64_t s = v.get<int64_t>();
      if (s < 0) return false;
      *out = static_cast<uint64_t>(s);
      return true;
    }
    if (v.is_string()) {
      const std::string s = v.get<std::string>();
      if (s.empty()) return false;
      size_t used = 0;
      try {
        *out = std::stoull(s, &used, 0);
      } catch (...) {
        return false;
      }
      return used == s.size();
    }
    return false;
  }

  static bool ToBytes(const json& v, std::vector<uint8_t>* out) {
    out->clear();
    if (v.is_array()) {
      for (const auto& e : v) {
        uint64_t b = 0;
        if (!ToNumber(e, &b) || b > 255) return false;
        out->push_back(static_cast<uint8_t>(b));
      }
      return true;
    }
    if (!v.is_string()) return false;
    std::string digits;
    for (char c : v.get<std::string>()) {
      if (c == ' ' || c == ':' || c == '-') continue;
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
      digits += c;
    }
    if (digits.size() % 2 != 0) return false;
    for (size_t i = 0; i < digits.size(); i += 2) {
      out->push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return true;
  }

 private:
  const json& object_;
  std::string where_;
  std::string* error_;
  std::set<std::string> used_;
  bool ok_ = true;
};

struct ContentName {
  IspContent content;
  const char* name;
};
constexpr ContentName kContentNames[] = {
    {IspContent::kValid, "valid"},   {IspContent::kCorrupt, "corrupt"},
    {IspContent::kZeros, "zeros"},   {IspContent::kGarbage, "garbage"},
    {IspContent::kErased, "erased"},
};

bool ReadContent(ObjectReader& r, const char* key, std::optional<IspContent>* out) {
  std::string text;
  r.Text(key, &text);
  if (text.empty()) return true;
  for (const auto& entry : kContentNames) {
    if (text == entry.name) {
      *out = entry.content;
      return true;
    }
  }
  r.Fail(std::string("\"") + key + "\" must be valid, corrupt, zeros, garbage or erased");
  return false;
}

bool ReadZoneCounts(ObjectReader& r, DriveDescription* d) {
  const json* v = r.Find("zoneBlockCounts");
  if (!v) return true;
  if (!v->is_array()) {
    r.Fail("\"zoneBlockCounts\" must be an array of arrays");
    return false;
  }
  std::vector<std::vector<uint16_t>> table;
  for (const auto& row : *v) {
    if (!row.is_array()) {
      r.Fail("\"zoneBlockCounts\" must be an array of arrays");
      return false;
    }
    std::vector<uint16_t> counts;
    for (const auto& e : row) {
      uint64_t n = 0;
      if (!ObjectReader::ToNumber(e, &n) || n > 0xFFFF) {
        r.Fail("zone block counts are 16-bit numbers");
        return false;
      }
      counts.push_back(static_cast<uint16_t>(n));
    }
    table.push_back(std::move(counts));
  }
  d->zoneBlockCounts = std::move(table);
  return true;
}

bool ReadFaults(ObjectReader& r, DriveDescription* d, std::string* error) {
  const json* v = r.Find("faults");
  if (!v) return true;
  if (!v->is_array()) {
    r.Fail("\"faults\" must be an array");
    return false;
  }
  int index = 0;
  for (const auto& item : *v) {
    ObjectReader f(item, "faults[" + std::to_string(index++) + "]", error);
    if (!f.ok()) return false;
    FaultRule rule;
    f.Optional("opcode", &rule.opcode, 0xFF);
    f.Optional("sub", &rule.sub, 0xFF);
    f.Number("nth", &rule.nth, UINT64_MAX);
    f.Optional("overall", &rule.overall, UINT64_MAX);
    f.Flag("repeat", &rule.repeat);
    f.Number("byte", &rule.byteOffset, 0xFFFFFFFF);
    std::string action = "check";
    f.Text("action", &action);
    std::string sense;
    f.Text("sense", &sense);
    if (f.ok() && !sense.empty()) {
      unsigned key = 0;
      unsigned asc = 0;
      unsigned ascq = 0;
      char end = 0;
      if (std::sscanf(sense.c_str(), "%x/%x/%x%c", &key, &asc, &ascq, &end) != 3 || key > 0xF ||
          asc > 0xFF || ascq > 0xFF) {
        f.Fail("\"sense\" is KEY/ASC/ASCQ in hex, such as \"3/0c/00\"");
      } else {
        rule.sense = std::array<uint8_t, 3>{static_cast<uint8_t>(key), static_cast<uint8_t>(asc),
                                            static_cast<uint8_t>(ascq)};
      }
    }
    if (f.ok() && !ParseFaultAction(action, &rule.action)) {
      f.Fail(
          "\"action\" must be check, refuse, corrupt, drop-write, kill, interrupt, terminate or "
          "hangup");
    }
    if (f.ok() && !rule.opcode && !rule.overall) f.Fail("a fault names an opcode or \"overall\"");
    if (f.ok() && rule.nth == 0) f.Fail("\"nth\" counts from 1");
    if (!f.Finish()) return false;
    d->faults.push_back(rule);
  }
  return true;
}

}  // namespace

bool ParseDescription(const std::string& jsonText, DriveDescription* out, std::string* error) {
  std::string scratch;
  if (!error) error = &scratch;
  const json root = json::parse(jsonText, nullptr, false);
  if (root.is_discarded()) {
    *error = "not valid JSON";
    return false;
  }
  DriveDescription d;
  ObjectReader r(root, "drive", error);
  if (!r.ok()) return false;

  if (!r.Number("controller", &d.controllerId, 0xFFFF)) {
    if (r.ok()) r.Fail("\"controller\" is required");
    return false;
  }
  r.Number("revision", &d.revision, 0xFF);
  r.Text("vendor", &d.vendor);
  r.Text("product", &d.product);
  r.Text("productRevision", &d.productRevision);
  r.Text("usbSerial", &d.usbSerial);
  if (const json* from = r.Find("exportedFrom")) {
    ObjectReader e(*from, "exportedFrom", error);
    if (!e.ok()) return false;
    e.Text("recording", &d.exportedFromFile);
    e.Text("sha256", &d.exportedFromSha256);
    if (!e.Finish()) return false;
  }
  if (const json* t = r.Find("inquiryText")) {
    if (t->is_string()) {
      d.inquiryText = t->get<std::string>();
    } else if (t->is_object()) {
      ObjectReader s(*t, "inquiryText", error);
      std::string broken;
      std::string healthy;
      s.Text("broken", &broken);
      s.Text("healthy", &healthy);
      if (!s.Finish()) return false;
      d.inquiryText = broken;
      d.healthyInquiryText = healthy;
    } else {
      r.Fail("\"inquiryText\" must be text, or an object of a broken and a healthy text");
    }
  }
  r.Text("codeImage", &d.codeImage);
  if (const json* n = r.Find("needsCode")) {
    if (!n->is_boolean())
      r.Fail("\"needsCode\" must be true or false");
    else
      d.needsCode = n->get<bool>();
  }
  std::vector<uint8_t> id;
  if (r.Bytes("flashId", &id)) {
    if (id.size() != 5)
      r.Fail("\"flashId\" has 5 bytes");
    else
      std::copy(id.begin(), id.end(), d.flashId.begin());
  }
  r.Number("modeByte", &d.modeByte, 0xFF);
  r.Number("notReadyPolls", &d.notReadyPolls, 1000);
  r.Optional("vanishAt", &d.vanishAtCommand, UINT64_MAX);
  ReadZoneCounts(r, &d);
  r.Bytes("extraInfo", &d.extraInfo);

  if (const json* g = r.Find("geometry")) {
    ObjectReader s(*g, "geometry", error);
    s.Number("pageSize", &d.pageSize, 0xFFFFFFFF);
    s.Number("pagesPerBlock", &d.pagesPerBlock, 0xFFFFFFFF);
    s.Number("blockCount", &d.blockCount, 0xFFFFFFFF);
    if (!s.Finish()) return false;
  }
  if (const json* c = r.Find("config")) {
    ObjectReader s(*c, "config", error);
    s.Number("flashType", &d.flashType, 0xFF);
    s.Optional("cfgFlags", &d.cfgFlags, 0xFF);
    s.Optional("cisPagesPerBlockByte", &d.cisPagesPerBlockByte, 0xFF);
    s.Number("blocksPerZone", &d.blocksPerZone, 0xFFFF);
    s.Number("zoneCount", &d.zoneCount, 0xFF);
    s.Number("ceCount", &d.ceCount, 0xFF);
    s.Optional("pagesPerBlock", &d.configPagesPerBlock, 0xFFFF);
    s.Optional("usableBlocksPerZone", &d.usableBlocksPerZone, 0xFFFF);
    s.Optional("cisPagesPerBlock", &d.cisPagesPerBlock, 0xFFFF);
    s.Number("channelCount", &d.channelCount, 0xFF);
    s.Optional("pageSize", &d.configPageSize, 0xFFFF);
    s.Number("optionFlags", &d.optionFlags, 0xFF);
    std::vector<uint8_t> raw;
    if (s.Bytes("raw", &raw)) d.configBytes = raw;
    if (!s.Finish()) return false;
  }
  if (const json* c = r.Find("capacity")) {
    ObjectReader s(*c, "capacity", error);
    s.Optional("lastLba", &d.lastLba, 0xFFFFFFFF);
    s.Number("blockLength", &d.blockLength, 0xFFFF);
    if (!s.Finish()) return false;
  }
  if (const json* m = r.Find("memory")) {
    if (!m->is_array()) {
      r.Fail("\"memory\" must be an array");
    } else {
      int index = 0;
      for (const auto& item : *m) {
        ObjectReader s(item, "memory[" + std::to_string(index++) + "]", error);
        uint32_t address = 0;
        if (!s.Number("address", &address, 0xFFFF)) s.Fail("\"address\" is required");
        std::vector<uint8_t> data;
        std::string text;
        s.Text("text", &text);
        if (!s.Bytes("hex", &data)) data.assign(text.begin(), text.end());
        if (!s.Finish()) return false;
        d.memory.emplace_back(address, std::move(data));
      }
    }
  }
  if (const json* i = r.Find("isp")) {
    ObjectReader s(*i, "isp", error);
    s.Flag("healthy", &d.ispHealthy);
    ReadContent(s, "content", &d.ispContent);
    s.Text("image", &d.ispImage);
    if (!s.Finish()) return false;
  }
  if (const json* c = r.Find("codeMarks")) {
    ObjectReader s(*c, "codeMarks", error);
    s.Text("vendor", &d.cisVendor);
    s.Text("product", &d.cisProduct);
    s.Number("flashType", &d.cisFlashType, 0xFF);
    if (const json* copies = s.Find("copies")) {
      if (!copies->is_array()) {
        s.Fail("\"copies\" must be an array");
      } else {
        int index = 0;
        for (const auto& item : *copies) {
          ObjectReader k(item, "codeMarks.copies[" + std::to_string(index++) + "]", error);
          CodeMarkCopy copy;
          if (!k.Number("block", &copy.block, 0xFFFFFFFF)) k.Fail("\"block\" is required");
          k.Optional("ispOffset", &copy.ispOffset, 0xFFFF);
          k.Optional("auxOffset", &copy.auxOffset, 0xFFFF);
          k.Text("marker", &copy.marker);
          k.Flag("badChecksum", &copy.badChecksum);
          ReadContent(k, "content", &copy.content);
          if (!k.Finish()) return false;
          d.codeMarks.push_back(copy);
        }
      }
    }
    if (!s.Finish()) return false;
  }
  if (const json* h = r.Find("header")) {
    ObjectReader s(*h, "header", error);
    if (const json* pages = s.Find("pages")) {
      if (!pages->is_array()) {
        s.Fail("\"pages\" must be an array");
      } else {
        int index = 0;
        for (const auto& item : *pages) {
          ObjectReader k(item, "header.pages[" + std::to_string(index++) + "]", error);
          HeaderPage page;
          k.Number("block", &page.block, 0xFFFFFFFF);
          k.Flag("mark", &page.mark);
          k.Flag("countsValid", &page.countsValid);
          k.Number("secondGroupSum", &page.secondGroupSum, 0xFF);
          k.Flag("badCheckValue", &page.badCheckValue);
          if (!k.Finish()) return false;
          d.headerPages.push_back(page);
        }
      }
    }
    if (!s.Finish()) return false;
  }
  if (const json* v = r.Find("ispVerdicts")) {
    if (!v->is_array()) {
      r.Fail("\"ispVerdicts\" must be an array");
      return false;
    }
    int index = 0;
    for (const auto& item : *v) {
      ObjectReader k(item, "ispVerdicts[" + std::to_string(index++) + "]", error);
      DriveDescription::JudgedArea area;
      if (!k.Number("page", &area.page, 0xFFFFFFFF)) k.Fail("\"page\" is required");
      if (!k.Number("crc32", &area.crc32, 0xFFFFFFFF)) k.Fail("\"crc32\" is required");
      k.Flag("healthy", &area.healthy);
      if (!k.Finish()) return false;
      d.judgedAreas.push_back(area);
    }
  }
  if (!ReadFaults(r, &d, error)) return false;
  if (!r.Finish()) return false;

  const std::string problem = ValidateDescription(d);
  if (!problem.empty()) {
    *error = problem;
    return false;
  }
  *out = std::move(d);
  return true;
}

std::string DescriptionText(const DriveDescription& d) {
  // The keys in the order they are set, as a person reading the file
  // expects them.
  using Json = nlohmann::ordered_json;
  Json j = Json::object();
  j["controller"] = HexNumber(d.controllerId);
  j["revision"] = d.revision;
  j["vendor"] = d.vendor;
  j["product"] = d.product;
  j["productRevision"] = d.productRevision;
  j["usbSerial"] = d.usbSerial;
  if (!d.exportedFromSha256.empty()) {
    j["exportedFrom"] = {{"recording", d.exportedFromFile}, {"sha256", d.exportedFromSha256}};
  }
  if (d.inquiryText && d.healthyInquiryText) {
    j["inquiryText"] = {{"broken", *d.inquiryText}, {"healthy", *d.healthyInquiryText}};
  } else if (d.inquiryText) {
    j["inquiryText"] = *d.inquiryText;
  }
  if (!d.codeImage.empty()) j["codeImage"] = d.codeImage;
  j["flashId"] = Hex(d.flashId);
  j["modeByte"] = d.modeByte;
  j["notReadyPolls"] = d.notReadyPolls;
  j["geometry"] = {
      {"pageSize", d.pageSize}, {"pagesPerBlock", d.pagesPerBlock}, {"blockCount", d.blockCount}};
  Json config = Json::object();
  config["flashType"] = d.flashType;
  config["cfgFlags"] = HexNumber(d.cfgFlags.value_or(0));
  if (d.cisPagesPerBlockByte) config["cisPagesPerBlockByte"] = *d.cisPagesPerBlockByte;
  config["blocksPerZone"] = d.blocksPerZone;
  config["zoneCount"] = d.zoneCount;
  config["ceCount"] = d.ceCount;
  if (d.configPagesPerBlock) config["pagesPerBlock"] = *d.configPagesPerBlock;
  if (d.usableBlocksPerZone) config["usableBlocksPerZone"] = *d.usableBlocksPerZone;
  if (d.cisPagesPerBlock) config["cisPagesPerBlock"] = *d.cisPagesPerBlock;
  config["channelCount"] = d.channelCount;
  if (d.configPageSize) config["pageSize"] = *d.configPageSize;
  config["optionFlags"] = d.optionFlags;
  if (d.configBytes) config["raw"] = Hex(*d.configBytes);
  j["config"] = config;
  j["capacity"] = {{"lastLba", d.lastLba.value_or(0)}, {"blockLength", d.blockLength}};
  if (!d.memory.empty()) {
    Json memory = Json::array();
    for (const auto& [address, data] : d.memory) {
      memory.push_back({{"address", HexNumber(address)}, {"hex", Hex(data)}});
    }
    j["memory"] = memory;
  }
  Json verdicts = Json::array();
  for (const auto& area : d.judgedAreas) {
    verdicts.push_back(
        {{"page", area.page}, {"crc32", HexNumber(area.crc32)}, {"healthy", area.healthy}});
  }
  j["ispVerdicts"] = verdicts;
  return j.dump(2) + "\n";
}

DriveDescription DefaultDescription() {
  DriveDescription d;
  d.controllerId = 0x163;
  d.revision = 2;
  d.codeImage = "CAUS.BIN";
  d.flashId = {0xEC, 0xD3, 0x51, 0x95, 0x58};
  d.pageSize = 2048;
  d.pagesPerBlock = 64;
  d.cisPagesPerBlock = 16;
  d.blocksPerZone = 1024;
  d.zoneCount = 4;
  d.ceCount = 1;
  d.usableBlocksPerZone = 1000;
  d.ispHealthy = false;
  d.ispContent = IspContent::kGarbage;
  CodeMarkCopy first;
  first.block = 2;
  CodeMarkCopy second;
  second.block = 5;
  d.codeMarks = {first, second};
  d.usbSerial = "KSTDEFAULT0163";
  return d;
}

}  // namespace kestrune::sim
