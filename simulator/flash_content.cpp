#include "simulator/flash_content.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "device/bytes.h"
#include "resources/standin_layout.h"
#include "simulator/crc32.h"

namespace kestrune::sim {

namespace {

constexpr uint32_t kCodeBlockCrcOffset = standin::kCodeBlockSize - 4;
constexpr uint32_t kIspCrcOffset = standin::kIspSize - 4;
constexpr uint32_t kCisImageBytes = 1024;

void PutName(uint8_t* at, const std::string& name) {
  std::memset(at, 0, standin::kNameLength);
  std::copy_n(name.begin(), std::min<size_t>(name.size(), standin::kNameLength), at);
}

uint32_t NameSeed(const std::string& name) {
  return Crc32(reinterpret_cast<const uint8_t*>(name.data()), name.size());
}

std::string BaseName(const std::string& name) {
  const size_t cut = name.find_last_of("\\/");
  std::string base = cut == std::string::npos ? name : name.substr(cut + 1);
  for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return base;
}

void WriteBytes(NandFlash& flash, uint32_t page, const std::vector<uint8_t>& data) {
  const uint32_t size = flash.PageSize();
  std::vector<uint8_t> chunk(size);
  for (size_t offset = 0; offset < data.size(); offset += size, ++page) {
    if (!flash.Contains(page)) return;
    std::fill(chunk.begin(), chunk.end(), 0xFF);
    std::copy_n(data.begin() + static_cast<ptrdiff_t>(offset),
                std::min<size_t>(size, data.size() - offset), chunk.begin());
    flash.Program(page, chunk.data(), nullptr);
  }
}

std::vector<uint8_t> ReadBytes(const NandFlash& flash, uint32_t page, uint32_t count) {
  std::vector<uint8_t> raw(flash.RawPageSize());
  std::vector<uint8_t> out;
  out.reserve(count);
  while (out.size() < count && flash.Contains(page)) {
    flash.Read(page++, raw.data());
    out.insert(out.end(), raw.begin(),
               raw.begin() + std::min<size_t>(flash.PageSize(), count - out.size()));
  }
  return out;
}

// Fixes the last 16-bit word of each 64-word group so that the group sums
// to 0 modulo 65536.
void FixCodeMarkGroups(uint8_t* page) {
  for (size_t group = 0; group < 4; ++group) {
    uint8_t* g = page + group * 128;
    uint32_t sum = 0;
    for (size_t w = 0; w < 63; ++w) sum += bytes::LoadBe16(g + 2 * w);
    bytes::StoreBe16(g + 126, static_cast<uint16_t>(0x10000 - (sum & 0xFFFF)));
  }
}

}  // namespace

void FillNoise(uint8_t* out, size_t size, uint32_t seed) {
  uint32_t x = seed | 1;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<uint8_t>(x >> 24);
  }
}

std::vector<uint8_t> BuildCodeBlock(uint8_t number, const std::string& imageName) {
  std::vector<uint8_t> block(standin::kCodeBlockSize);
  FillNoise(block.data(), block.size(), NameSeed(imageName) + number);
  std::memcpy(block.data(), standin::kCodeMagic, 8);
  block[8] = number;
  PutName(block.data() + 9, imageName);
  bytes::StoreBe32(block.data() + kCodeBlockCrcOffset, Crc32(block.data(), kCodeBlockCrcOffset));
  return block;
}

bool ParseCodeBlock(const uint8_t* block, uint8_t* number, std::string* name) {
  if (std::memcmp(block, standin::kCodeMagic, 8) != 0) return false;
  if (Crc32(block, kCodeBlockCrcOffset) != bytes::LoadBe32(block + kCodeBlockCrcOffset)) {
    return false;
  }
  *number = block[8];
  const uint8_t* text = block + 9;
  const uint8_t* end = std::find(text, text + standin::kNameLength, uint8_t{0});
  *name = std::string(text, end);
  return true;
}

bool SameImageName(const std::string& a, const std::string& b) {
  return BaseName(a) == BaseName(b);
}

std::vector<uint8_t> BuildIspPayload(const std::string& name) {
  std::vector<uint8_t> payload(standin::kIspSize);
  FillNoise(payload.data(), payload.size(), NameSeed(name));
  std::memcpy(payload.data(), standin::kIspMagic, 8);
  PutName(payload.data() + 8, name);
  // Code blocks 5 and 12 sit at image offsets n * 4096, inside the payload.
  for (uint8_t n : {uint8_t{5}, uint8_t{12}}) {
    const auto block = BuildCodeBlock(n, name);
    std::copy(block.begin(), block.end(),
              payload.begin() + (n * standin::kCodeBlockSize - standin::kIspOffset));
  }
  bytes::StoreBe32(payload.data() + kIspCrcOffset, Crc32(payload.data(), kIspCrcOffset));
  return payload;
}

bool IsValidIspPayload(const uint8_t* payload) {
  return std::memcmp(payload, standin::kIspMagic, 8) == 0 &&
         Crc32(payload, kIspCrcOffset) == bytes::LoadBe32(payload + kIspCrcOffset);
}

std::vector<uint8_t> BuildCodeMarkPage(const DriveDescription& d, const CodeMarkCopy& copy) {
  std::vector<uint8_t> page(kCisImageBytes, 0);
  std::memcpy(page.data(), copy.marker.data(), std::min<size_t>(copy.marker.size(), 8));
  page[83] = d.cisFlashType;
  std::memcpy(page.data() + 136, d.cisVendor.data(), std::min<size_t>(d.cisVendor.size(), 8));
  std::memcpy(page.data() + 144, d.cisProduct.data(), std::min<size_t>(d.cisProduct.size(), 16));
  bytes::StoreBe16(page.data() + 176, static_cast<uint16_t>(CopyIspOffset(d, copy)));
  bytes::StoreBe16(page.data() + 462, static_cast<uint16_t>(CopyAuxOffset(d, copy)));
  FixCodeMarkGroups(page.data());
  if (copy.badChecksum) {
    bytes::StoreBe16(page.data() + 126,
                     static_cast<uint16_t>(bytes::LoadBe16(page.data() + 126) + 1));
  }
  for (size_t u = 0; u < 16; ++u) {
    for (size_t z = 0; z < 16; ++z) {
      bytes::StoreBe16(page.data() + 512 + 128 * (u / 4) + 32 * (u % 4) + 2 * z,
                       d.ZoneBlockCount(static_cast<uint32_t>(u), static_cast<uint32_t>(z)));
    }
  }
  return page;
}

bool CheckCodeMarkGroups(const uint8_t* page) {
  for (size_t group = 0; group < 4; ++group) {
    uint32_t sum = 0;
    for (size_t w = 0; w < 64; ++w) sum += bytes::LoadBe16(page + group * 128 + 2 * w);
    if ((sum & 0xFFFF) != 0) return false;
  }
  return true;
}

std::vector<uint8_t> BuildHeaderPage(const DriveDescription& d, const HeaderPage& header) {
  std::vector<uint8_t> page(256, 0);
  page[0] = 0x1E;
  page[1] = 0x03;
  std::memcpy(page.data() + 8, d.vendor.data(), std::min<size_t>(d.vendor.size(), 8));
  std::memcpy(page.data() + 16, d.product.data(), std::min<size_t>(d.product.size(), 16));
  if (header.mark) std::memcpy(page.data() + 57, "mark", 4);
  page[62] = header.countsValid ? 0xFE : 0x00;
  // Some structure in the second group, then its last byte sets the sum.
  for (int i = 64; i < 96; ++i) page[i] = static_cast<uint8_t>(i * 7);
  uint32_t sum = 0;
  for (int i = 64; i < 127; ++i) sum += page[i];
  page[127] = static_cast<uint8_t>(header.secondGroupSum - sum);
  uint32_t first = 0;
  uint32_t second = 0;
  for (int i = 0; i < 64; ++i) first += page[i];
  for (int i = 64; i < 128; ++i) second += page[i];
  const uint16_t check =
      static_cast<uint16_t>((first & 0xFF) + (second & 0xFF) + (header.badCheckValue ? 1 : 0));
  bytes::StoreBe16(page.data() + 128, check);
  for (size_t c = 0; c < 4; ++c) {
    for (size_t z = 0; z < 8; ++z) {
      bytes::StoreBe16(page.data() + 192 + 16 * c + 2 * z,
                       d.ZoneBlockCount(static_cast<uint32_t>(c), static_cast<uint32_t>(z)));
    }
  }
  return page;
}

bool HeaderPageAccepted(const uint8_t* page) {
  uint32_t second = 0;
  for (int i = 64; i < 128; ++i) second += page[i];
  return (second & 0xFF) == 0 && page[0] == 0x1E && page[1] == 0x03;
}

uint32_t CopyIspOffset(const DriveDescription& d, const CodeMarkCopy& copy) {
  return copy.ispOffset.value_or((copy.block + 1) * d.ReportedCisPagesPerBlock());
}

uint32_t CopyAuxOffset(const DriveDescription& d, const CodeMarkCopy& copy) {
  return copy.auxOffset.value_or((copy.block + 2) * d.ReportedCisPagesPerBlock());
}

void WriteIspArea(NandFlash& flash, uint32_t page, const std::vector<uint8_t>& area) {
  const uint32_t size = flash.PageSize();
  if (size <= 4096) {
    WriteBytes(flash, page, area);
    return;
  }
  std::vector<uint8_t> chunk(size);
  for (uint32_t k = 0; k < kIspAreaBytes / 4096; ++k) {
    if (!flash.Contains(page + k)) return;
    std::fill(chunk.begin(), chunk.end(), 0);
    const size_t from = size_t{k} * 4096;
    if (from < area.size()) {
      std::copy_n(area.begin() + static_cast<ptrdiff_t>(from),
                  std::min<size_t>(4096, area.size() - from), chunk.begin());
    }
    flash.Program(page + k, chunk.data(), nullptr);
  }
}

std::vector<uint8_t> ReadIspPayload(const NandFlash& flash, uint32_t page) {
  const uint32_t size = flash.PageSize();
  if (size <= 4096) {
    if (!flash.Contains(page, standin::kIspSize / size)) return {};
    return ReadBytes(flash, page, standin::kIspSize);
  }
  const uint32_t pages = standin::kIspSize / 4096;
  if (!flash.Contains(page, pages)) return {};
  std::vector<uint8_t> out;
  std::vector<uint8_t> raw(flash.RawPageSize());
  for (uint32_t k = 0; k < pages; ++k) {
    flash.Read(page + k, raw.data());
    out.insert(out.end(), raw.begin(), raw.begin() + 4096);
  }
  return out;
}

std::vector<uint8_t> MakeIspArea(IspContent content, const std::string& imageName, uint32_t seed) {
  std::vector<uint8_t> area(kIspAreaBytes, 0);
  switch (content) {
    case IspContent::kValid:
    case IspContent::kCorrupt: {
      const auto payload = BuildIspPayload(imageName);
      std::copy(payload.begin(), payload.end(), area.begin());
      if (content == IspContent::kCorrupt) area[1000 + seed % 1000] ^= 0x5A;
      break;
    }
    case IspContent::kZeros:
      break;
    case IspContent::kGarbage:
      FillNoise(area.data(), area.size(), 0x6A4B3C2D + seed);
      break;
    case IspContent::kErased:
      std::fill(area.begin(), area.end(), 0xFF);
      break;
  }
  return area;
}

void BuildInitialFlash(const DriveDescription& d, NandFlash& flash) {
  const uint32_t ppb = flash.PagesPerBlock();
  if (d.FamilyA()) {
    for (const auto& header : d.headerPages) {
      WriteBytes(flash, header.block * ppb, BuildHeaderPage(d, header));
    }
    uint32_t seed = 0;
    for (uint32_t area : FindIspAreas(d, flash)) {
      WriteIspArea(flash, area, MakeIspArea(d.Content(), d.ispImage, seed++));
    }
    return;
  }
  const uint32_t sectorsPerPage = d.SectorsPerPage();
  uint32_t seed = 0;
  for (const auto& copy : d.codeMarks) {
    const uint32_t cisPage = copy.block * ppb;
    WriteBytes(flash, cisPage, BuildCodeMarkPage(d, copy));
    const uint32_t isp = d.ToDevicePage(CopyIspOffset(d, copy));
    WriteIspArea(flash, isp, MakeIspArea(copy.content.value_or(d.Content()), d.ispImage, seed++));
    if (d.controllerId == 0x190) {
      // The auxiliary area holds 16 KiB of code; the information page sits
      // just behind the CIS page in CIS numbering.
      std::vector<uint8_t> aux(16384);
      FillNoise(aux.data(), aux.size(), 0x190 + seed);
      WriteBytes(flash, d.ToDevicePage(CopyAuxOffset(d, copy)), aux);
      std::vector<uint8_t> info(64);
      if (d.extraInfo.empty()) {
        for (size_t i = 0; i < info.size(); ++i) info[i] = static_cast<uint8_t>(0x90 + i);
      } else {
        std::copy(d.extraInfo.begin(), d.extraInfo.end(), info.begin());
      }
      const uint32_t infoCis = d.ToCisPage(cisPage) + (sectorsPerPage == 1 ? 4 : 1);
      WriteBytes(flash, d.ToDevicePage(infoCis), info);
    }
  }
}

std::vector<uint32_t> FindIspAreas(const DriveDescription& d, const NandFlash& flash) {
  std::vector<uint32_t> areas;
  const uint32_t ppb = flash.PagesPerBlock();
  std::vector<uint8_t> raw(flash.RawPageSize());
  if (d.FamilyA()) {
    for (uint32_t block = 0; block < 2; ++block) {
      if (!flash.Contains(block * ppb)) break;
      flash.Read(block * ppb, raw.data());
      if (!HeaderPageAccepted(raw.data())) continue;
      const uint32_t cppb = d.ReportedCisPagesPerBlock();
      if (cppb == 0) break;
      areas.push_back(d.ToDevicePage((d.ToCisPage(block * ppb) / cppb + 1) * cppb));
      break;
    }
    return areas;
  }
  const uint32_t blocks = std::min<uint32_t>(d.blocksPerZone, flash.BlockCount());
  for (uint32_t block = 0; block < blocks && areas.size() < 3; ++block) {
    flash.Read(block * ppb, raw.data());
    if (std::memcmp(raw.data(), "CodeMark", 8) != 0 || !CheckCodeMarkGroups(raw.data())) continue;
    areas.push_back(d.ToDevicePage(bytes::LoadBe16(raw.data() + 176)));
  }
  return areas;
}

bool JudgeIsp(const DriveDescription& d, const NandFlash& flash) {
  const auto areas = FindIspAreas(d, flash);
  if (areas.empty()) return false;
  for (uint32_t area : areas) {
    const auto payload = ReadIspPayload(flash, area);
    if (payload.size() != standin::kIspSize) return false;
    const uint32_t crc = Crc32(payload.data(), payload.size());
    const auto judged =
        std::find_if(d.judgedAreas.begin(), d.judgedAreas.end(),
                     [&](const auto& seen) { return seen.page == area && seen.crc32 == crc; });
    if (judged != d.judgedAreas.end()) {
      if (!judged->healthy) return false;
      continue;
    }
    if (!IsValidIspPayload(payload.data())) return false;
  }
  return true;
}

}  // namespace kestrune::sim
