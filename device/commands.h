// The vendor command set: one builder per command. Each fills a zeroed CDB,
// picks the carrier and the command's fixed timeout and returns the
// carrier's success flag; the flash page and spare reads succeed only when
// every byte came back. All device data is big-endian.
#pragma once

#include <cstdint>

#include "device/link.h"

namespace kestrune::device {

// Exchanges the two bytes of a 16-bit value.
uint32_t SwapBytes16(uint32_t value);

// Timeouts in seconds.
inline constexpr uint32_t kTimeoutInquiry = 20;
inline constexpr uint32_t kTimeoutShort = 2;           // capacity, mode byte, flash id, config
inline constexpr uint32_t kTimeoutController = 20000;  // reset, prepare code load, init flash
inline constexpr uint32_t kTimeoutMemory = 2000;       // controller memory read/write
inline constexpr uint32_t kTimeoutReadPages = 200;
inline constexpr uint32_t kTimeoutWritePages = 5000;
inline constexpr uint32_t kTimeoutSpareErase = 20;  // spare read, block erase

// Opcodes.
inline constexpr uint8_t kOpInquiry = 0x12;
inline constexpr uint8_t kOpReadCapacity = 0x25;
inline constexpr uint8_t kOpReadModeByte = 0xF3;
inline constexpr uint8_t kOpController = 0xFD;  // flash id, reset, code load, init, memory
inline constexpr uint8_t kOpReadFlashConfig = 0xF2;
inline constexpr uint8_t kOpReadFlashPages = 0xF8;
inline constexpr uint8_t kOpReadPageSpare = 0xF9;
inline constexpr uint8_t kOpWriteFlashPages = 0xFA;
inline constexpr uint8_t kOpEraseFlashBlock = 0xFE;

// Sub-codes of kOpController (CDB byte 1).
inline constexpr uint8_t kSubMemory = 0x00;  // byte 2: 0 read, 1 write
inline constexpr uint8_t kSubResetController = 0x06;
inline constexpr uint8_t kSubReadFlashId = 0x10;
inline constexpr uint8_t kSubInitFlash = 0x11;
inline constexpr uint8_t kSubPrepareCodeLoad = 0x14;

bool Inquiry(DeviceLink& link, uint8_t* buffer, uint32_t allocationLength, VolumeHandle handle);
bool ReadCapacity(DeviceLink& link, uint8_t* buffer, uint32_t length, VolumeHandle handle);
bool ReadModeByte(DeviceLink& link, uint8_t* buffer, uint32_t length, VolumeHandle handle);
bool ReadFlashId(DeviceLink& link, uint8_t* buffer, uint32_t length, VolumeHandle handle);
bool ResetController(DeviceLink& link, VolumeHandle handle);
bool PrepareCodeLoad(DeviceLink& link, VolumeHandle handle);
bool InitFlash(DeviceLink& link, uint32_t mode, VolumeHandle handle);
bool ReadControllerMemory(DeviceLink& link, uint32_t address, uint32_t length, uint8_t* buffer,
                          VolumeHandle handle);
// Always moves exactly 512 bytes from `data`, whatever `lengthField` says.
bool WriteControllerMemory(DeviceLink& link, uint32_t address, uint32_t lengthField,
                           uint32_t fillByte, const uint8_t* data, VolumeHandle handle);
bool ReadFlashConfig(DeviceLink& link, uint8_t* buffer, uint32_t length, VolumeHandle handle);
bool ReadFlashPages(DeviceLink& link, uint32_t pageAddress, uint32_t pageCount, uint32_t byteCount,
                    uint32_t readMode, uint8_t* buffer, VolumeHandle handle);
bool WriteFlashPages(DeviceLink& link, uint32_t pageAddress, uint32_t pageCount, uint32_t byteCount,
                     const uint8_t* data, VolumeHandle handle);
bool ReadPageSpare(DeviceLink& link, uint32_t pageAddress, uint32_t length, uint8_t* buffer,
                   VolumeHandle handle);
bool EraseFlashBlock(DeviceLink& link, uint32_t pageAddress, VolumeHandle handle);

}  // namespace kestrune::device
