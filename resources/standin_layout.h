// Layout of the stand-in image payloads that the build generates when no
// real payloads are supplied (make_standins.py writes them; the simulated
// drive and the tests read them). Every stand-in is deterministic filler
// with these records laid over it. All integers are big-endian; every
// CRC is the common CRC-32 (simulator/crc32.h).
//
//   offset 0      image record: "KSTRIMG\0", name[16] (NUL-padded, upper
//                 case, e.g. "US1.BIN"), size u32, CRC-32 of bytes
//                 16384..size-1 u32
//   16384         ISP payload, 49,152 bytes: "KSTRISP\0", name[16], then
//                 filler; its last 4 bytes are the CRC-32 of the 49,148
//                 before them
//   5*4096,       code blocks 5 and 12 (4,096 bytes each, inside the ISP
//   12*4096       payload): "KSTRCODE", block number u8, name[16], filler;
//                 last 4 bytes the CRC-32 of the 4,092 before them.
//                 Written in every stand-in, before the ISP payload CRC.
//   65536         (131,072-byte images only) auxiliary code, 16,384 bytes:
//                 "KSTRAUX\0", name[16], filler; last 4 bytes the CRC-32 of
//                 the 16,380 before them
#pragma once

#include <cstdint>

namespace kestrune::standin {

inline constexpr char kImageMagic[8] = {'K', 'S', 'T', 'R', 'I', 'M', 'G', 0};
inline constexpr char kIspMagic[8] = {'K', 'S', 'T', 'R', 'I', 'S', 'P', 0};
inline constexpr char kCodeMagic[8] = {'K', 'S', 'T', 'R', 'C', 'O', 'D', 'E'};
inline constexpr char kAuxMagic[8] = {'K', 'S', 'T', 'R', 'A', 'U', 'X', 0};
inline constexpr uint32_t kNameLength = 16;

inline constexpr uint32_t kIspOffset = 16384;
inline constexpr uint32_t kIspSize = 49152;
inline constexpr uint32_t kCodeBlockSize = 4096;
inline constexpr uint32_t kAuxOffset = 65536;
inline constexpr uint32_t kAuxSize = 16384;

}  // namespace kestrune::standin
