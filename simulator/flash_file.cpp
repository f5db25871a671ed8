#include "simulator/flash_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "device/bytes.h"

namespace kestrune::sim {

namespace {

constexpr char kMagic[8] = {'K', 'S', 'T', 'R', 'F', 'L', 'S', 'H'};
constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderSize = 8 + 5 * 4;

void PutBe32(std::vector<uint8_t>& out, uint32_t v) {
  uint8_t b[4];
  bytes::StoreBe32(b, v);
  out.insert(out.end(), b, b + 4);
}

}  // namespace

bool SaveFlashFile(const std::string& path, const NandFlash& flash, std::string* error) {
  std::vector<uint32_t> numbers;
  numbers.reserve(flash.Pages().size());
  for (const auto& entry : flash.Pages()) numbers.push_back(entry.first);
  std::sort(numbers.begin(), numbers.end());

  std::vector<uint8_t> out(kMagic, kMagic + 8);
  PutBe32(out, kVersion);
  PutBe32(out, flash.PageSize());
  PutBe32(out, flash.SpareSize());
  PutBe32(out, flash.PageCount());
  PutBe32(out, static_cast<uint32_t>(numbers.size()));
  out.reserve(out.size() + numbers.size() * (4 + flash.RawPageSize()) + 4);
  for (uint32_t page : numbers) {
    PutBe32(out, page);
    const auto& raw = flash.Pages().at(page);
    out.insert(out.end(), raw.begin(), raw.end());
  }
  PutBe32(out, bytes::Crc32(out.data(), out.size()));

  const std::string temp = path + ".tmp";
  {
    std::ofstream file(temp, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
    if (!file.good()) {
      if (error) *error = "cannot write " + temp;
      file.close();
      std::remove(temp.c_str());
      return false;
    }
  }
  bool renamed = std::rename(temp.c_str(), path.c_str()) == 0;
  if (!renamed) {
    // Windows renames only onto a free name: make room and try once more.
    std::remove(path.c_str());
    renamed = std::rename(temp.c_str(), path.c_str()) == 0;
  }
  if (!renamed) {
    if (error) *error = "cannot replace " + path;
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

bool LoadFlashFile(const std::string& path, NandFlash& flash, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = path + ": " + why;
    return false;
  };
  std::ifstream file(path, std::ios::binary);
  if (!file) return fail("cannot be opened");
  const std::vector<uint8_t> in((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
  if (in.size() < kHeaderSize + 4 || std::memcmp(in.data(), kMagic, 8) != 0) {
    return fail("not a flash file");
  }
  const size_t body = in.size() - 4;
  if (bytes::Crc32(in.data(), body) != bytes::LoadBe32(in.data() + body)) {
    return fail("damaged (CRC mismatch)");
  }
  const uint8_t* h = in.data() + 8;
  if (bytes::LoadBe32(h) != kVersion) return fail("unknown version");
  if (bytes::LoadBe32(h + 4) != flash.PageSize() || bytes::LoadBe32(h + 8) != flash.SpareSize() ||
      bytes::LoadBe32(h + 12) != flash.PageCount()) {
    return fail("made for another flash geometry; delete it to start from the description");
  }
  const uint64_t stored = bytes::LoadBe32(h + 16);
  const uint64_t record = 4 + uint64_t{flash.RawPageSize()};
  if (kHeaderSize + stored * record != body) return fail("truncated");

  NandFlash loaded(flash.PageSize(), flash.SpareSize(), flash.PagesPerBlock(), flash.BlockCount());
  const uint8_t* p = in.data() + kHeaderSize;
  for (uint64_t i = 0; i < stored; ++i, p += record) {
    const uint32_t page = bytes::LoadBe32(p);
    if (!loaded.Contains(page)) return fail("page outside the flash");
    loaded.Store(page, p + 4);
  }
  flash = std::move(loaded);
  return true;
}

}  // namespace kestrune::sim
