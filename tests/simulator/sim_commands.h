// Hand-built CDBs for driving a virtual drive directly, byte for byte as the
// command table lays them out, without the program's link or builders.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "device/bytes.h"
#include "simulator/crc32.h"
#include "simulator/virtual_drive.h"

namespace kestrune::sim::cmd {

struct Reply {
  device::Result result;
  std::vector<uint8_t> data;
  bool ok() const { return result.Succeeded(); }
  bool check() const {
    return result.outcome == device::Outcome::kScsiStatus && result.scsiStatus == 0x02;
  }
  bool refused() const { return result.outcome == device::Outcome::kTransportError; }
};

inline Reply In(VirtualDrive& drive, std::vector<uint8_t> cdb, uint32_t length,
                uint8_t fill = 0xAA) {
  Reply reply;
  reply.data.assign(length, fill);
  device::Request r;
  r.cdb = cdb.data();
  r.cdbLength = static_cast<uint8_t>(cdb.size());
  r.carrier = device::Carrier::kIn;
  r.transferLength = length;
  r.data = length ? reply.data.data() : nullptr;
  reply.result = drive.Execute(r);
  return reply;
}

inline Reply Out(VirtualDrive& drive, std::vector<uint8_t> cdb, std::vector<uint8_t> data) {
  Reply reply;
  device::Request r;
  r.cdb = cdb.data();
  r.cdbLength = static_cast<uint8_t>(cdb.size());
  r.carrier = device::Carrier::kOut;
  r.transferLength = static_cast<uint32_t>(data.size());
  r.data = data.data();
  reply.result = drive.Execute(r);
  reply.data = std::move(data);
  return reply;
}

inline std::vector<uint8_t> PageCdb(uint8_t opcode, uint8_t byte1, uint32_t page, uint16_t count) {
  std::vector<uint8_t> c(10, 0);
  c[0] = opcode;
  c[1] = byte1;
  bytes::StoreBe32(&c[2], page);
  bytes::StoreBe16(&c[7], count);
  return c;
}

inline Reply Inquiry(VirtualDrive& d) { return In(d, {0x12, 0, 0, 0, 0xB4, 0}, 180); }
inline Reply Capacity(VirtualDrive& d) { return In(d, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8); }
inline Reply ModeByte(VirtualDrive& d) { return In(d, {0xF3, 0, 0, 0, 0, 0}, 1); }
inline Reply FlashId(VirtualDrive& d) { return In(d, {0xFD, 0x10, 0, 0, 0, 0, 0, 0, 0, 0}, 5); }
inline Reply Config(VirtualDrive& d, uint32_t length) {
  return In(d, {0xF2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, length);
}
inline Reply Reset(VirtualDrive& d) { return In(d, {0xFD, 0x06, 0x07, 0x01, 0, 0, 0, 0, 0, 0}, 0); }
inline Reply Prepare(VirtualDrive& d) { return In(d, {0xFD, 0x14, 0, 0, 0, 0, 0, 0, 0, 0}, 0); }
inline Reply InitFlash(VirtualDrive& d, uint8_t mode) {
  return In(d, {0xFD, 0x11, mode, 0, 0, 0, 0, 0, 0, 0}, 0);
}
inline Reply ReadMemory(VirtualDrive& d, uint32_t address, uint16_t length) {
  return In(d,
            {0xFD, 0x00, 0x00, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
             0xFF, static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(length >> 8),
             static_cast<uint8_t>(length), 0},
            length);
}
inline Reply WriteMemory(VirtualDrive& d, uint16_t address, std::vector<uint8_t> data512) {
  return Out(d,
             {0xFD, 0x00, 0x01, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
              0xFF, 0x03, 0x02, 0x00, 0},
             std::move(data512));
}
inline Reply ReadPages(VirtualDrive& d, uint32_t page, uint16_t count, uint32_t bytes) {
  return In(d, PageCdb(0xF8, 0x02, page, count), bytes);
}
inline Reply WritePages(VirtualDrive& d, uint32_t page, uint16_t count, std::vector<uint8_t> data) {
  return Out(d, PageCdb(0xFA, 0x00, page, count), std::move(data));
}
inline Reply ReadSpare(VirtualDrive& d, uint32_t page) {
  return In(d, PageCdb(0xF9, 0x00, page, 0), 16);
}
inline Reply Erase(VirtualDrive& d, uint32_t page) { return In(d, PageCdb(0xFE, 0, page, 0), 1); }

// A code block built here, independently of the drive's own builder:
// "KSTRCODE", number, name[16], filler, CRC-32 of the first 4,092 bytes.
inline std::vector<uint8_t> MakeCodeBlock(uint8_t number, const std::string& name) {
  std::vector<uint8_t> block(4096);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 31 + number);
  std::memcpy(block.data(), "KSTRCODE", 8);
  block[8] = number;
  std::memset(&block[9], 0, 16);
  std::memcpy(&block[9], name.data(), std::min<size_t>(name.size(), 16));
  bytes::StoreBe32(&block[4092], sim::Crc32(block.data(), 4092));
  return block;
}

// PrepareCodeLoad and eight 512-byte memory writes at 0xF000.., as the
// program sends a code block.
inline bool LoadCode(VirtualDrive& d, const std::vector<uint8_t>& block) {
  Prepare(d);
  bool ok = true;
  for (int k = 0; k < 8; ++k) {
    ok &= WriteMemory(d, static_cast<uint16_t>(0xF000 + 512 * k),
                      {block.begin() + 512 * k, block.begin() + 512 * (k + 1)})
              .ok();
  }
  return ok;
}

// Working code loaded and the flash initialised, as identification does it.
inline bool StartWorkingCode(VirtualDrive& d, const std::string& image = "CAUS.BIN") {
  return LoadCode(d, MakeCodeBlock(5, image)) && InitFlash(d, 0).ok();
}

// A valid ISP payload built here: "KSTRISP\0", name, filler, CRC-32 last.
inline std::vector<uint8_t> MakeIspPayload(const std::string& name) {
  std::vector<uint8_t> p(49152);
  for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>((i * 7) ^ (i >> 8));
  std::memcpy(p.data(), "KSTRISP", 8);
  std::memset(&p[8], 0, 16);
  std::memcpy(&p[8], name.data(), std::min<size_t>(name.size(), 16));
  bytes::StoreBe32(&p[49148], sim::Crc32(p.data(), 49148));
  return p;
}

inline std::string TextOf(const Reply& inquiry) {
  return std::string(reinterpret_cast<const char*>(inquiry.data.data()) + 36);
}

}  // namespace kestrune::sim::cmd
