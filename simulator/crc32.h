// The checksum the simulated drive keeps over its code blocks, its ISP and
// its flash file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/crc.h"

namespace kestrune::sim {

// The common CRC-32 (reflected, polynomial 0xEDB88320), as zlib computes it;
// `crc` is the value of the bytes before, to go on from.
inline uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc = 0) {
  bytes::Crc32 sum(crc);
  sum.Add(data, size);
  return sum.Value();
}

}  // namespace kestrune::sim
