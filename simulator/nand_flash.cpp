#include "simulator/nand_flash.h"

#include <algorithm>
#include <cstring>

namespace kestrune::sim {

NandFlash::NandFlash(uint32_t pageSize, uint32_t spareSize, uint32_t pagesPerBlock,
                     uint32_t blockCount)
    : pageSize_(pageSize),
      spareSize_(spareSize),
      pagesPerBlock_(pagesPerBlock),
      blockCount_(blockCount) {}

void NandFlash::Read(uint32_t page, uint8_t* out) const {
  const auto it = pages_.find(page);
  if (it == pages_.end()) {
    std::memset(out, 0xFF, RawPageSize());
  } else {
    std::memcpy(out, it->second.data(), RawPageSize());
  }
}

void NandFlash::Program(uint32_t page, const uint8_t* data, const uint8_t* spare) {
  auto [it, fresh] = pages_.try_emplace(page);
  if (fresh) it->second.assign(RawPageSize(), 0xFF);
  uint8_t* raw = it->second.data();
  for (uint32_t i = 0; i < pageSize_; ++i) raw[i] &= data[i];
  if (spare) {
    for (uint32_t i = 0; i < spareSize_; ++i) raw[pageSize_ + i] &= spare[i];
  }
  Normalise(page);
}

void NandFlash::EraseBlock(uint32_t block) {
  const uint32_t first = block * pagesPerBlock_;
  for (uint32_t p = first; p < first + pagesPerBlock_; ++p) pages_.erase(p);
}

void NandFlash::Store(uint32_t page, const uint8_t* raw) {
  pages_[page].assign(raw, raw + RawPageSize());
  Normalise(page);
}

void NandFlash::Normalise(uint32_t page) {
  // An all-0xFF page is the erased state; dropping it keeps the map sparse.
  auto it = pages_.find(page);
  if (it != pages_.end() &&
      std::all_of(it->second.begin(), it->second.end(), [](uint8_t b) { return b == 0xFF; })) {
    pages_.erase(it);
  }
}

}  // namespace kestrune::sim
