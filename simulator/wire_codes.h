// The opcodes and controller sub-codes the virtual controller answers, as
// the wire carries them. The simulator keeps its own copy of them rather
// than the host side's, so that a wrong code there cannot be mirrored here.
#pragma once

#include <cstdint>

namespace kestrune::sim::wire {

inline constexpr uint8_t kOpInquiry = 0x12;
inline constexpr uint8_t kOpReadCapacity = 0x25;
inline constexpr uint8_t kOpModeByte = 0xF3;
inline constexpr uint8_t kOpController = 0xFD;
inline constexpr uint8_t kOpConfig = 0xF2;
inline constexpr uint8_t kOpReadPages = 0xF8;
inline constexpr uint8_t kOpReadSpare = 0xF9;
inline constexpr uint8_t kOpWritePages = 0xFA;
inline constexpr uint8_t kOpErase = 0xFE;

inline constexpr uint8_t kSubMemory = 0x00;
inline constexpr uint8_t kSubReset = 0x06;
inline constexpr uint8_t kSubFlashId = 0x10;
inline constexpr uint8_t kSubInitFlash = 0x11;
inline constexpr uint8_t kSubPrepare = 0x14;

}  // namespace kestrune::sim::wire
