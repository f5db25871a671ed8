// NAND flash as the controller sees it: pages of data plus spare bytes,
// erased to 0xFF a block at a time, programmed by clearing bits. Only pages
// that hold something other than 0xFF are stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace kestrune::sim {

class NandFlash {
 public:
  NandFlash(uint32_t pageSize, uint32_t spareSize, uint32_t pagesPerBlock, uint32_t blockCount);

  uint32_t PageSize() const { return pageSize_; }
  uint32_t SpareSize() const { return spareSize_; }
  uint32_t RawPageSize() const { return pageSize_ + spareSize_; }
  uint32_t PagesPerBlock() const { return pagesPerBlock_; }
  uint32_t BlockCount() const { return blockCount_; }
  uint32_t PageCount() const { return pagesPerBlock_ * blockCount_; }
  bool Contains(uint32_t page, uint32_t count = 1) const {
    return count <= PageCount() && page <= PageCount() - count;
  }

  // Data and spare bytes of one page into `out` (RawPageSize bytes).
  void Read(uint32_t page, uint8_t* out) const;
  // Programs data (and spare, when given) of one page: every bit goes to the
  // AND of what the page held and what is written, so a page that was not
  // erased since its last program keeps the zeros it had.
  void Program(uint32_t page, const uint8_t* data, const uint8_t* spare);
  // Sets the whole block holding `page` to 0xFF.
  void EraseBlock(uint32_t block);
  // Replaces a page outright (data and spare), bypassing NAND rules.
  void Store(uint32_t page, const uint8_t* raw);

  size_t StoredPages() const { return pages_.size(); }
  const std::unordered_map<uint32_t, std::vector<uint8_t>>& Pages() const { return pages_; }
  void Clear() { pages_.clear(); }

 private:
  void Normalise(uint32_t page);

  uint32_t pageSize_;
  uint32_t spareSize_;
  uint32_t pagesPerBlock_;
  uint32_t blockCount_;
  std::unordered_map<uint32_t, std::vector<uint8_t>> pages_;
};

}  // namespace kestrune::sim
