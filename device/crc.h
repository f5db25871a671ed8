// Reflected, table-driven CRCs: CRC-32 (polynomial 0xEDB88320, as zlib
// computes it), which the simulated drive keeps over its code, its ISP and
// its flash file, and CRC-32C (Castagnoli, 0x82F63B78), which a recording
// keeps over each of its records and over the whole file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrune::bytes {

template <uint32_t kPolynomial>
class ReflectedCrc {
 public:
  // Goes on from `previous`, the value of the bytes before (0: none).
  explicit ReflectedCrc(uint32_t previous = 0) : state_(~previous) {}

  void Add(const uint8_t* data, size_t size) {
    uint32_t crc = state_;
    for (size_t i = 0; i < size; ++i) crc = kTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    state_ = crc;
  }
  void Add(uint8_t byte) { state_ = kTable[(state_ ^ byte) & 0xFF] ^ (state_ >> 8); }
  uint32_t Value() const { return ~state_; }
  void Reset() { state_ = 0xFFFFFFFFu; }

 private:
  static constexpr std::array<uint32_t, 256> kTable = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? kPolynomial ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();

  uint32_t state_;
};

using Crc32c = ReflectedCrc<0x82F63B78u>;
using Crc32 = ReflectedCrc<0xEDB88320u>;

inline uint32_t Crc32cOf(const uint8_t* data, size_t size) {
  Crc32c crc;
  crc.Add(data, size);
  return crc.Value();
}

}  // namespace kestrune::bytes
