// What the discovery tests share: a program over scripted drives and an
// in-memory host, and builders for the replies and flash pages of a drive.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/bytes.h"
#include "device/link.h"
#include "discovery/discovery.h"
#include "base/program.h"
#include "log/isp_log.h"
#include "platform/platform.h"
#include "tests/support/device_test_link.h"
#include "tests/support/memory_platform.h"
#include "tests/support/recording_view.h"
#include "tests/support/scripted_transport.h"

namespace kestrune::testing {

// DriveSlot is packed: its fields go to the assertions by value, never bound
// to a reference at an odd address.
template <class T>
constexpr T Val(T value) {
  return value;
}

// A program over scripted volumes, with logging on and every slot reset.
struct Bench {
  MemoryPlatform platform;
  ScriptedVolumes volumes;
  testing::TestLink link{volumes};
  IspLog log{platform};
  RecordingView view;
  Program p{platform, link, log, view};

  Bench() {
    platform.File(kIspLogPath) = "";
    log.StartLog();
    for (int i = 0; i < kSlotCount; ++i) ResetSlot(p, i);
  }
  std::string LogText() { return platform.File(kIspLogPath); }
  DriveSlot& slot(int index = 0) { return p.Slot(index); }
  // Puts `letter` into slot `index` and opens its volume.
  void Open(char letter, int index = 0) {
    p.Slot(index).letter = letter;
    ASSERT_TRUE(OpenVolume(p, index));
  }
};

// The 180-byte INQUIRY reply: vendor at 8, product at 16, identification text at 36.
inline std::vector<uint8_t> InquiryReply(const std::string& text,
                                         const std::string& vendor = "VENDOR  ",
                                         const std::string& product = "PRODUCT NAME    ") {
  std::vector<uint8_t> reply(180, 0);
  std::memcpy(reply.data() + 8, vendor.data(), std::min<size_t>(vendor.size(), 8));
  std::memcpy(reply.data() + 16, product.data(), std::min<size_t>(product.size(), 16));
  std::memcpy(reply.data() + 36, text.data(), std::min<size_t>(text.size(), 144));
  return reply;
}

// Identification texts of 16 characters: the controller code, then the
// verdict characters 12 to 15.
inline std::string HealthyText(const std::string& code) {
  std::string text = code;
  text.resize(12, ' ');
  return text + "1234";
}
inline std::string BrokenText(const std::string& code) {
  std::string text = code;
  text.resize(12, ' ');
  return text + "0000";
}

inline std::vector<uint8_t> CapacityReply(uint32_t lastBlock, uint16_t blockLength) {
  std::vector<uint8_t> reply(8, 0);
  bytes::StoreBe32(reply.data(), lastBlock);
  bytes::StoreBe16(reply.data() + 6, blockLength);
  return reply;
}

struct ConfigA {
  uint8_t flashType = 0x21;
  uint8_t flags = 0x18;
  uint8_t cisPagesPerBlock = 64;
  uint16_t blocksPerZone = 1024;
  uint8_t zoneCount = 2;
  uint8_t ceCount = 1;
  uint16_t pagesPerBlock = 64;
  uint16_t usableBlocksPerZone = 1000;
};

inline std::vector<uint8_t> ConfigReplyA(const ConfigA& c) {
  std::vector<uint8_t> reply(12, 0);
  reply[0] = c.flashType;
  reply[1] = c.flags;
  reply[2] = c.cisPagesPerBlock;
  bytes::StoreBe16(reply.data() + 3, c.blocksPerZone);
  reply[5] = c.zoneCount;
  reply[6] = c.ceCount;
  bytes::StoreBe16(reply.data() + 7, c.pagesPerBlock);
  bytes::StoreBe16(reply.data() + 9, c.usableBlocksPerZone);
  return reply;
}

struct ConfigB {
  uint8_t flashType = 0x32;
  uint8_t flags = 0x00;
  uint8_t cisFallback = 0;
  uint16_t blocksPerZone = 16;
  uint8_t zoneCount = 2;
  uint8_t ceCount = 1;
  uint16_t pagesPerBlock = 128;
  uint16_t usableBlocksPerZone = 1000;
  uint16_t cisPagesPerBlock = 128;
  uint16_t pageSize = 2048;
};

inline std::vector<uint8_t> ConfigReplyB(const ConfigB& c) {
  std::vector<uint8_t> reply(34, 0);
  reply[0] = c.flashType;
  reply[1] = c.flags;
  reply[2] = c.cisFallback;
  bytes::StoreBe16(reply.data() + 3, c.blocksPerZone);
  reply[5] = c.zoneCount;
  reply[6] = c.ceCount;
  bytes::StoreBe16(reply.data() + 7, c.pagesPerBlock);
  bytes::StoreBe16(reply.data() + 9, c.usableBlocksPerZone);
  bytes::StoreBe16(reply.data() + 12, c.cisPagesPerBlock);
  bytes::StoreBe16(reply.data() + 22, c.pageSize);
  return reply;
}

// Flash served to F8 (read pages) from a page map; pages not in the map
// read as erased (0xFF).
struct PageStore {
  uint32_t pageSize = 2048;
  std::map<uint32_t, std::vector<uint8_t>> pages;

  void Put(uint32_t page, std::vector<uint8_t> bytes) {
    bytes.resize(pageSize, 0xFF);
    pages[page] = std::move(bytes);
  }
  // Spreads `bytes` over consecutive pages from `page` on.
  void PutSpanning(uint32_t page, const std::vector<uint8_t>& bytes) {
    for (size_t at = 0; at < bytes.size(); at += pageSize, ++page) {
      std::vector<uint8_t> part(
          bytes.begin() + static_cast<std::ptrdiff_t>(at),
          bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), at + pageSize)));
      Put(page, part);
    }
  }
};

// Answers F8 from `store` (which must outlive the drive's use).
inline void ServePages(ScriptedDrive& drive, PageStore& store) {
  drive.On(MatchOpcode(0xF8), [&store](const device::Request& r, std::span<uint8_t> data) {
    const uint32_t first = bytes::LoadBe32(r.cdb + 2);
    const uint32_t count = bytes::LoadBe16(r.cdb + 7);
    for (uint32_t i = 0; i < count; ++i) {
      const size_t at = size_t{i} * store.pageSize;
      if (at >= data.size()) break;
      const size_t n = std::min<size_t>(store.pageSize, data.size() - at);
      auto page = store.pages.find(first + i);
      if (page == store.pages.end()) {
        std::fill_n(data.begin() + static_cast<std::ptrdiff_t>(at), n, 0xFF);
      } else {
        std::copy_n(page->second.begin(), n, data.begin() + static_cast<std::ptrdiff_t>(at));
      }
    }
    return Good();
  });
}

// Makes each 128-byte group of the first 512 bytes sum to 0 in big-endian
// words, by its last word.
inline void SealCodeMarkGroups(std::vector<uint8_t>& page) {
  for (size_t group = 0; group < 4; ++group) {
    uint16_t sum = 0;
    const size_t base = group * 128;
    for (size_t w = 0; w < 63; ++w) sum += bytes::LoadBe16(page.data() + base + 2 * w);
    bytes::StoreBe16(page.data() + base + 126, static_cast<uint16_t>(0x10000 - sum));
  }
}

struct CodeMarkPage {
  std::string mark = "CodeMark";
  uint16_t ispOffset = 0x0100;
  uint16_t auxOffset = 0x0200;
  uint8_t flashType = 0x32;
  std::string vendor = "CISVEND ";
  std::string product = "CIS PRODUCT TEXT";
  // zoneTables[t][r][e]; entries not given are 0xFFFF.
  std::map<int, uint16_t> zoneEntries;  // key: t * 64 + r * 16 + e
};

// A family-B CIS page of 1024 bytes (the caller pads it to the page size).
inline std::vector<uint8_t> MakeCodeMarkPage(const CodeMarkPage& c) {
  std::vector<uint8_t> page(1024, 0);
  std::memcpy(page.data(), c.mark.data(), std::min<size_t>(c.mark.size(), 8));
  page[83] = c.flashType;
  std::memcpy(page.data() + 136, c.vendor.data(), std::min<size_t>(c.vendor.size(), 8));
  std::memcpy(page.data() + 144, c.product.data(), std::min<size_t>(c.product.size(), 16));
  bytes::StoreBe16(page.data() + 176, c.ispOffset);
  bytes::StoreBe16(page.data() + 462, c.auxOffset);
  for (int i = 0; i < 256; ++i) {
    auto e = c.zoneEntries.find(i);
    bytes::StoreBe16(page.data() + 512 + 2 * i, e == c.zoneEntries.end() ? 0xFFFF : e->second);
  }
  SealCodeMarkGroups(page);
  return page;
}

struct HeaderPage {
  bool marked = true;  // "mark", 0xFE and the check value
  uint8_t secondGroupSum = 0;
  // Block counts by unit, 8 per unit, from byte 192 on; absent ones 0xFFFF.
  std::vector<std::vector<uint16_t>> counts;
};

// A family-A header page of 1024 bytes.
inline std::vector<uint8_t> MakeHeaderPage(const HeaderPage& h) {
  std::vector<uint8_t> page(1024, 0);
  page[0] = 0x1E;
  page[1] = 0x03;
  page[10] = 0x41;
  if (h.marked) {
    std::memcpy(page.data() + 57, "mark", 4);
    page[62] = 0xFE;
  }
  // Bytes 64..127 sum to the wanted value modulo 256.
  page[64] = 0x80;
  page[65] = static_cast<uint8_t>(h.secondGroupSum - 0x80);
  unsigned first = 0;
  for (int i = 0; i < 64; ++i) first += page[i];
  if (h.marked)
    bytes::StoreBe16(page.data() + 128, static_cast<uint16_t>((first & 0xFF) + h.secondGroupSum));
  for (size_t i = 192; i < 1024; ++i) page[i] = 0xFF;
  for (size_t u = 0; u < h.counts.size(); ++u) {
    for (size_t z = 0; z < h.counts[u].size() && z < 8; ++z) {
      bytes::StoreBe16(page.data() + 192 + 16 * u + 2 * z, h.counts[u][z]);
    }
  }
  return page;
}

// A drive that identifies as `text` with the given flash id; capacity
// answers too. Configuration and flash are left to the test.
inline ScriptedDrive& AttachDrive(ScriptedVolumes& volumes, char letter, const std::string& text,
                                  std::vector<uint8_t> flashId = {0x98, 0xDA, 0x10, 0x95, 0x44}) {
  ScriptedDrive& drive = volumes.Attach(letter);
  drive.Reply(0x12, InquiryReply(text));
  drive.Reply(0x25, CapacityReply(0x003BFFFF, 512));
  drive.Reply(MatchCdb({0xFD, 0x10}), std::move(flashId));
  drive.Reply(0xF3, {0x5A});
  return drive;
}

}  // namespace kestrune::testing
