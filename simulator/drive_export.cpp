#include "simulator/drive_export.h"

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <queue>

#include "device/bytes.h"
#include "simulator/crc32.h"
#include "simulator/flash_content.h"
#include "simulator/flash_file.h"
#include "simulator/sim_host.h"
#include "simulator/virtual_drive.h"
#include "simulator/wire_codes.h"

namespace kestrune::sim {

namespace {

using namespace wire;  // NOLINT(google-build-using-namespace): the codes the controller answers

constexpr uint32_t kMemorySize = 0x10000;
constexpr size_t kTextOffset = 36;
constexpr size_t kConfigLengthA = 11;  // through the usable blocks per zone
constexpr size_t kConfigLengthB = 34;

constexpr std::array<uint16_t, 7> kControllers = {0x161, 0x162, 0x163, 0x165, 0x168, 0x169, 0x190};
// The part of an identification text that names the controller, for a text
// the simulated controller cannot derive: it then gives the text as it
// was, and the family follows the name.
struct TextCode {
  const char* code;
  uint16_t controller;
};
constexpr TextCode kTextCodes[] = {
    {"Qzv", 0x168},  {"UT0", 0x161},  {"UT2", 0x169},  {"U163", 0x163},
    {"0163", 0x163}, {"U165", 0x165}, {"0165", 0x165}, {"U190", 0x190},
    {"0190", 0x190}, {"U162", 0x162}, {"0162", 0x162}, {"UT", 0x161},
};

// Where the verdict sits in an identification text: "0000" is broken.
constexpr size_t kVerdictAt = 12;
constexpr size_t kVerdictLength = 4;

bool TextHealthy(const std::string& text) {
  return text.size() >= kVerdictAt + kVerdictLength &&
         text.compare(kVerdictAt, kVerdictLength, "0000") != 0;
}

std::string Field(const std::vector<uint8_t>& reply, size_t from, size_t to) {
  std::string text(reply.begin() + static_cast<ptrdiff_t>(from),
                   reply.begin() + static_cast<ptrdiff_t>(to));
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  return text;
}

bool Ascii(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The controller and revision whose derived text is `text` for the
// verdict it carries; false when none is.
bool DeriveText(const std::string& text, DriveDescription& d) {
  const bool healthy = TextHealthy(text);
  for (uint16_t controller : kControllers) {
    for (uint8_t revision = 0; revision < 36; ++revision) {
      DriveDescription probe;
      probe.controllerId = controller;
      probe.revision = revision;
      if (probe.IdentificationText(healthy) == text) {
        d.controllerId = controller;
        d.revision = revision;
        return true;
      }
    }
  }
  return false;
}

// The texts of a drive whose text the simulated controller does not derive:
// the one it gave, and the same with the other verdict in its place.
bool KeepText(const std::string& text, DriveDescription& d) {
  const TextCode* code = std::find_if(
      std::begin(kTextCodes), std::end(kTextCodes),
      [&text](const TextCode& entry) { return text.find(entry.code) != std::string::npos; });
  if (code == std::end(kTextCodes)) return false;
  d.controllerId = code->controller;
  d.inquiryText = text;
  if (text.size() >= kVerdictAt + kVerdictLength) {
    std::string broken = text;
    broken.replace(kVerdictAt, kVerdictLength, "0000");
    std::string healthy = text;
    if (!TextHealthy(text)) healthy.replace(kVerdictAt, kVerdictLength, "1100");
    d.inquiryText = broken;
    d.healthyInquiryText = healthy;
  }
  return true;
}

std::string Lacking(const char* command) {
  return std::string("the recording holds no ") + command +
         " the drive answered; record a scan of the drive and export that";
}

}  // namespace

bool DriveExport::Refuse(std::string why) {
  if (refusal_.empty()) refusal_ = std::move(why);
  return false;
}

bool DriveExport::WantsData(const uint8_t* cdb, size_t cdbLength) const {
  if (!refusal_.empty() || cdb == nullptr || cdbLength == 0) return false;
  switch (cdb[0]) {
    case kOpInquiry:
    case kOpReadCapacity:
    case kOpModeByte:
    case kOpConfig:
    case kOpController:
      return true;
    case kOpReadPages: {
      if (cdbLength < 9) return false;
      const uint32_t page = bytes::LoadBe32(cdb + 2);
      const uint32_t count = bytes::LoadBe16(cdb + 7);
      for (uint32_t i = 0; i < count && page + i >= page; ++i) {
        if (pages_.count(page + i) == 0) return true;
      }
      return false;
    }
    case kOpReadSpare:
      return cdbLength >= 9 && spares_.count(bytes::LoadBe32(cdb + 2)) == 0;
    default:
      return false;
  }
}

bool DriveExport::Observe(const device::Request& request, const device::Result& result,
                          std::span<const uint8_t> dataIn) {
  if (!refusal_.empty()) return false;
  ++order_;
  if (request.cdb == nullptr || request.cdbLength == 0) return true;
  const uint8_t* cdb = request.cdb;
  const bool good = result.Succeeded();
  const bool pageCommand = request.cdbLength >= 9;
  switch (cdb[0]) {
    case kOpInquiry:
      if (good && !inquiry_ && dataIn.size() > kTextOffset) {
        inquiry_.emplace(dataIn.begin(), dataIn.begin() + std::min<size_t>(dataIn.size(), 256));
      }
      break;
    case kOpReadCapacity:
      // The polls after a restart tell how long the drive stays away.
      if (afterReset_ && !notReadyPolls_) {
        if (good) {
          notReadyPolls_ = polls_;
        } else {
          ++polls_;
        }
      }
      if (good && !capacity_ && dataIn.size() >= 8)
        capacity_.emplace(dataIn.begin(), dataIn.begin() + 8);
      break;
    case kOpModeByte:
      if (good && !modeByte_ && !dataIn.empty()) modeByte_ = dataIn[0];
      break;
    case kOpConfig:
      // The longest reply; no field lies beyond the family-B record.
      if (good && dataIn.size() > configLength_) {
        configLength_ = dataIn.size();
        config_.assign(dataIn.begin(), dataIn.begin() + std::min(dataIn.size(), kConfigLengthB));
      }
      break;
    case kOpReadPages: {
      if (!good || !pageCommand) break;
      const uint32_t page = bytes::LoadBe32(cdb + 2);
      const uint32_t count = bytes::LoadBe16(cdb + 7);
      if (count == 0 || request.transferLength % count != 0 ||
          dataIn.size() != request.transferLength) {
        break;
      }
      const uint32_t size = request.transferLength / count;
      // A page no flash of the family has is kept nowhere.
      if (size < 512 || size > 32768 || size % 512 != 0) break;
      if (pageSize_ == 0) pageSize_ = size;
      if (size != pageSize_) break;
      for (uint32_t i = 0; i < count && page + i >= page; ++i) {
        if (pages_.count(page + i) != 0) continue;
        pageBytes_ += size;
        if (pageBytes_ > kMostPageBytes) {
          return Refuse("it reads over " + std::to_string(kMostPageBytes >> 20) +
                        " MiB of distinct flash pages, more than any run reads of a drive");
        }
        const auto slice = dataIn.subspan(size_t{i} * size, size);
        // An erased page is the flash's own state: nothing of it is kept.
        const bool erased =
            std::all_of(slice.begin(), slice.end(), [](uint8_t b) { return b == 0xFF; });
        PageRead& read = pages_[page + i];
        read.order = order_;
        if (!erased) read.data.assign(slice.begin(), slice.end());
      }
      break;
    }
    case kOpReadSpare:
      if (good && pageCommand && !dataIn.empty()) {
        const uint32_t page = bytes::LoadBe32(cdb + 2);
        if (spares_.count(page) != 0) break;
        pageBytes_ += kSpareSize;
        if (pageBytes_ > kMostPageBytes) {
          return Refuse("it reads over " + std::to_string(kMostPageBytes >> 20) +
                        " MiB of distinct flash pages, more than any run reads of a drive");
        }
        const auto spare = dataIn.first(std::min<size_t>(dataIn.size(), kSpareSize));
        spares_.emplace(page, PageRead{order_, {spare.begin(), spare.end()}});
      }
      break;
    case kOpWritePages:
      // A write turned down may still have changed the page.
      if (pageCommand) {
        changes_.push_back({order_, bytes::LoadBe32(cdb + 2), bytes::LoadBe16(cdb + 7)});
      }
      break;
    case kOpErase:
      if (pageCommand) changes_.push_back({order_, bytes::LoadBe32(cdb + 2), 0});
      break;
    case kOpController:
      if (!ObserveController(request, dataIn)) return false;
      if (good && request.cdbLength >= 2 && cdb[1] == kSubFlashId && !flashId_ &&
          dataIn.size() >= 5) {
        flashId_.emplace(dataIn.begin(), dataIn.begin() + 5);
      }
      break;
    default:
      break;
  }
  return true;
}

bool DriveExport::ObserveController(const device::Request& request,
                                    std::span<const uint8_t> dataIn) {
  const uint8_t* cdb = request.cdb;
  if (request.cdbLength < 10) return true;
  if (cdb[1] == kSubReset && cdb[2] == 0x07 && cdb[3] == 0x01) {
    if (!afterReset_ && !notReadyPolls_) {
      afterReset_ = true;
      polls_ = 0;
    }
    return true;
  }
  if (cdb[1] != kSubMemory) return true;
  if (cdb[2] == 0x00) {
    const uint32_t address = (uint32_t{cdb[6]} << 16) | (uint32_t{cdb[3]} << 8) | cdb[4];
    // Only what the drive held at power-on is of use: the first read of an
    // address before anything was written over it, within its 64 KiB.
    if (address >= kMemorySize || dataIn.empty()) return true;
    const size_t length = std::min<size_t>(dataIn.size(), kMemorySize - address);
    const auto from = memoryWritten_.begin() + address;
    const bool overwritten = std::find(from, from + static_cast<ptrdiff_t>(length), true) !=
                             from + static_cast<ptrdiff_t>(length);
    if (overwritten || !memoryAddresses_.insert(address).second) return true;
    memoryBytes_ += length;
    if (memoryBytes_ > kMostMemoryBytes) {
      return Refuse("it reads over " + std::to_string(kMostMemoryBytes >> 20) +
                    " MiB of controller memory, of a controller that has 64 KiB");
    }
    memoryReads_.push_back({order_, address, {dataIn.begin(), dataIn.begin() + length}});
    return true;
  }
  if (cdb[2] != 0x01 || request.carrier != device::Carrier::kOut || request.data == nullptr) {
    return true;
  }
  const uint32_t address = bytes::LoadBe16(cdb + 3);
  const size_t written = std::min<size_t>(request.transferLength, kMemorySize - address);
  std::fill_n(memoryWritten_.begin() + address, written, true);
  // Working code is loaded into the top 4 KiB; its name is what the
  // controller accepts.
  if (address < kCodeAddress) return true;
  const size_t length = std::min<size_t>(request.transferLength, kMemorySize - address);
  std::copy_n(request.data, length, code_.begin() + (address - kCodeAddress));
  uint8_t number = 0;
  std::string name;
  if (codeImage_.empty() && ParseCodeBlock(code_.data(), &number, &name)) codeImage_ = name;
  return true;
}

namespace {

// The first change that reached each page, found for pages asked in rising
// order: erases are looked up by block, and writes (ranges of pages) enter
// as the pages reach their start and leave once passed, so each change is
// weighed once whatever the number of pages read.
class FirstChanges {
 public:
  template <typename Change>
  FirstChanges(const std::vector<Change>& changes, uint32_t pagesPerBlock)
      : pagesPerBlock_(pagesPerBlock) {
    for (const Change& change : changes) {
      if (change.count == 0) {
        const uint32_t block = change.page / pagesPerBlock;
        const auto [at, fresh] = erased_.emplace(block, change.order);
        if (!fresh) at->second = std::min(at->second, change.order);
      } else {
        writes_.push_back({change.page, uint64_t{change.page} + change.count, change.order});
      }
    }
    std::sort(writes_.begin(), writes_.end(),
              [](const Write& a, const Write& b) { return a.start < b.start; });
  }

  // The order of the first change to `page`, or none; `page` never falls.
  std::optional<uint64_t> At(uint32_t page) {
    while (next_ < writes_.size() && writes_[next_].start <= page) live_.push(writes_[next_++]);
    // The earliest write still reaching this page; one passed is dropped
    // only when it comes to the top, and every one below it is later.
    while (!live_.empty() && live_.top().end <= page) live_.pop();
    std::optional<uint64_t> first;
    if (!live_.empty()) first = live_.top().order;
    if (const auto erase = erased_.find(page / pagesPerBlock_); erase != erased_.end()) {
      first = first ? std::min(*first, erase->second) : erase->second;
    }
    return first;
  }

 private:
  struct Write {
    uint64_t start;
    uint64_t end;  // one past the last page
    uint64_t order;
  };
  struct Later {
    bool operator()(const Write& a, const Write& b) const { return a.order > b.order; }
  };
  uint32_t pagesPerBlock_;
  std::map<uint32_t, uint64_t> erased_;
  std::vector<Write> writes_;
  size_t next_ = 0;
  std::priority_queue<Write, std::vector<Write>, Later> live_;
};

// Read before anything changed the page: what the drive held.
bool Original(std::optional<uint64_t> firstChange, uint64_t order) {
  return !firstChange || *firstChange >= order;
}

}  // namespace

std::optional<ExportedDrive> DriveExport::Finish(const std::string& usbSerial,
                                                 std::string& problem) const {
  const char* lacking = !inquiry_                         ? "INQUIRY (12)"
                        : !capacity_                      ? "READ CAPACITY (25)"
                        : config_.size() < kConfigLengthA ? "flash configuration (F2)"
                        : pages_.empty()                  ? "flash page read (F8)"
                                                          : nullptr;
  if (lacking != nullptr) {
    problem = Lacking(lacking);
    return std::nullopt;
  }

  DriveDescription d;
  const std::vector<uint8_t>& q = *inquiry_;
  d.vendor = Field(q, 8, 16);
  d.product = Field(q, 16, 32);
  d.productRevision = Field(q, 32, kTextOffset);
  const auto textEnd = std::find(q.begin() + kTextOffset, q.end(), 0);
  const std::string text(q.begin() + kTextOffset, textEnd);
  const bool healthy = TextHealthy(text);
  if (!Ascii(text) || !Ascii(d.vendor + d.product + d.productRevision)) {
    problem = "the drive's INQUIRY texts hold bytes a virtual-drive file does not carry";
    return std::nullopt;
  }
  if (!DeriveText(text, d) && !KeepText(text, d)) {
    problem = "the identification text \"" + text + "\" names no controller of the family";
    return std::nullopt;
  }
  d.usbSerial = usbSerial;
  d.codeImage = codeImage_;
  if (flashId_) std::copy_n(flashId_->begin(), 5, d.flashId.begin());
  if (modeByte_) d.modeByte = *modeByte_;
  if (notReadyPolls_) d.notReadyPolls = std::min<uint32_t>(*notReadyPolls_, 1000);

  // The configuration record as the drive answered it, and its fields, by
  // which the simulated controller finds its CIS pages and ISP areas.
  const std::vector<uint8_t>& c = config_;
  d.configBytes = std::vector<uint8_t>(c.begin(), c.begin() + std::min(c.size(), kConfigLengthB));
  d.flashType = c[0];
  d.cfgFlags = c[1];
  d.cisPagesPerBlockByte = c[2];
  d.blocksPerZone = bytes::LoadBe16(&c[3]);
  d.zoneCount = c[5];
  d.ceCount = c[6];
  d.configPagesPerBlock = bytes::LoadBe16(&c[7]);
  d.usableBlocksPerZone = bytes::LoadBe16(&c[9]);
  if (!d.FamilyA()) {
    d.cisPagesPerBlock = c.size() >= 14 ? bytes::LoadBe16(&c[12]) : 0;
    if (c.size() >= 22) d.channelCount = c[21];
    if (c.size() >= 24) d.configPageSize = bytes::LoadBe16(&c[22]);
    if (c.size() >= 32) d.optionFlags = c[31];
  }
  const std::vector<uint8_t>& capacity = *capacity_;
  d.lastLba = bytes::LoadBe32(&capacity[0]);
  d.blockLength = bytes::LoadBe16(&capacity[6]);

  d.pageSize = pageSize_;
  d.pagesPerBlock = *d.configPagesPerBlock;
  if (d.pagesPerBlock == 0 || d.pagesPerBlock > 4096) {
    problem = "the flash configuration (F2) gives " + std::to_string(d.pagesPerBlock) +
              " pages per block";
    return std::nullopt;
  }
  // A configuration that contradicts itself makes a drive that scans as
  // the recorded one did and that a fix, writing where the record says the
  // CIS pages and ISP areas go, then leaves broken.
  const uint32_t cisPages =
      d.FamilyA() ? c[2] : (*d.cisPagesPerBlock != 0 ? *d.cisPagesPerBlock : uint32_t{c[2]});
  if (cisPages > d.pagesPerBlock) {
    problem = "the flash configuration (F2) contradicts itself: it counts " +
              std::to_string(cisPages) + " CIS pages per block in blocks of " +
              std::to_string(d.pagesPerBlock) + " pages";
    return std::nullopt;
  }
  if (*d.usableBlocksPerZone > d.blocksPerZone) {
    problem = "the flash configuration (F2) contradicts itself: it gives " +
              std::to_string(*d.usableBlocksPerZone) + " usable blocks in zones of " +
              std::to_string(d.blocksPerZone) + " blocks";
    return std::nullopt;
  }
  uint32_t lastPage = pages_.rbegin()->first;
  if (!spares_.empty()) lastPage = std::max(lastPage, spares_.rbegin()->first);
  const uint64_t blocks = std::max<uint64_t>(uint64_t{d.blocksPerZone} * d.zoneCount * d.ceCount,
                                             uint64_t{lastPage} / d.pagesPerBlock + 1);
  if (blocks * d.pagesPerBlock > 0x7FFFFFFF) {
    problem = "the drive's flash, " + std::to_string(blocks) + " blocks, is too large to simulate";
    return std::nullopt;
  }
  d.blockCount = static_cast<uint32_t>(blocks);

  // Controller memory as it was at power-on: what was read before anything
  // was written over it.
  // (Observe kept only such reads, each address once.)
  for (const MemoryRead& read : memoryReads_) {
    std::vector<uint8_t> bytes = read.data;
    while (!bytes.empty() && bytes.back() == 0) bytes.pop_back();
    if (!bytes.empty()) d.memory.emplace_back(read.address, std::move(bytes));
  }

  if (std::string why = ValidateDescription(d); !why.empty()) {
    problem = "the drive's answers make no virtual drive: " + why;
    return std::nullopt;
  }
  NandFlash flash(d.pageSize, kSpareSize, d.pagesPerBlock, d.blockCount);
  std::vector<uint8_t> raw(flash.RawPageSize());
  uint32_t stored = 0;
  const auto store = [&](uint32_t page, const PageRead* data, const PageRead* spare) {
    std::fill(raw.begin(), raw.end(), 0xFF);
    if (data != nullptr) std::copy(data->data.begin(), data->data.end(), raw.begin());
    if (spare != nullptr)
      std::copy(spare->data.begin(), spare->data.end(), raw.begin() + d.pageSize);
    flash.Store(page, raw.data());
    ++stored;
  };
  FirstChanges ofPages(changes_, d.pagesPerBlock);
  for (const auto& [page, read] : pages_) {
    if (!flash.Contains(page)) continue;
    const std::optional<uint64_t> changed = ofPages.At(page);
    if (!Original(changed, read.order)) continue;
    const auto spare = spares_.find(page);
    const bool spareOriginal = spare != spares_.end() && Original(changed, spare->second.order);
    store(page, &read, spareOriginal ? &spare->second : nullptr);
  }
  FirstChanges ofSpares(changes_, d.pagesPerBlock);
  for (const auto& [page, spare] : spares_) {
    if (pages_.count(page) != 0 || !flash.Contains(page) ||
        !Original(ofSpares.At(page), spare.order)) {
      continue;
    }
    store(page, nullptr, &spare);
  }

  // The simulated controller judges the areas it finds as the drive did,
  // for as long as they hold what was read of them.
  const std::vector<uint32_t> areas = FindIspAreas(d, flash);
  if (areas.empty() && healthy) {
    problem =
        "the pages read hold no ISP area the simulated controller finds, so it could not give "
        "the healthy verdict the drive gave";
    return std::nullopt;
  }
  for (uint32_t area : areas) {
    const std::vector<uint8_t> payload = ReadIspPayload(flash, area);
    if (payload.empty()) continue;
    d.judgedAreas.push_back({area, Crc32(payload.data(), payload.size()), healthy});
  }

  ExportedDrive drive{d, std::move(flash), DescriptionText(d), healthy, stored};
  std::string why;
  if (!ParseDescription(drive.json, &drive.description, &why)) {
    problem = "the description made of the recording does not load: " + why;
    return std::nullopt;
  }
  if (JudgeIsp(drive.description, drive.flash) != healthy ||
      drive.description.IdentificationText(healthy) != text) {
    problem = "the drive made of the recording would not give the verdict the drive gave";
    return std::nullopt;
  }
  return drive;
}

bool WriteExportedDrive(const std::string& jsonPath, const ExportedDrive& drive,
                        std::string& problem) {
  const std::string flashPath = FlashPathFor(jsonPath);
  OutputFile json = OutputFile::CreatePrivate(jsonPath, &problem);
  if (!json.IsOpen()) return false;
  OutputFile flash = OutputFile::CreatePrivate(flashPath, &problem);
  if (!flash.IsOpen()) {
    json.Close();
    RemoveFile(jsonPath);
    return false;
  }
  const std::vector<uint8_t> snapshot = SnapshotBytes(drive.flash);
  if (!flash.Write(snapshot.data(), snapshot.size()) ||
      !json.Write(reinterpret_cast<const uint8_t*>(drive.json.data()), drive.json.size())) {
    json.Close();
    flash.Close();
    RemoveFile(jsonPath);
    RemoveFile(flashPath);
    problem = jsonPath + ": the drive could not be written";
    return false;
  }
  return true;
}

}  // namespace kestrune::sim
