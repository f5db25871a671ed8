#include "device/commands.h"

namespace kestrune::device {
namespace {

uint8_t Byte(uint32_t value, int shift) { return static_cast<uint8_t>(value >> shift); }

void StorePage(uint8_t* cdb, uint32_t pageAddress) {
  cdb[2] = Byte(pageAddress, 24);
  cdb[3] = Byte(pageAddress, 16);
  cdb[4] = Byte(pageAddress, 8);
  cdb[5] = Byte(pageAddress, 0);
}

void StoreCount(uint8_t* cdb, uint32_t pageCount) {
  cdb[7] = Byte(pageCount, 8);
  cdb[8] = Byte(pageCount, 0);
}

// A command without a data phase: its own CDB storage stands in as buffer.
bool SendNoData(DeviceLink& link, uint8_t* cdb, uint8_t length, uint32_t timeout,
                VolumeHandle handle) {
  return link.SendCommandIn(cdb, length, 0, timeout, cdb, handle);
}

}  // namespace

uint32_t SwapBytes16(uint32_t value) { return ((value & 0xFF) << 8) | ((value >> 8) & 0xFF); }

bool Inquiry(DeviceLink& link, uint8_t* buffer, uint32_t allocationLength, VolumeHandle handle) {
  uint8_t cdb[6] = {kOpInquiry, 0, 0, 0, Byte(allocationLength, 0), 0};
  // The drive cannot send more than the one-byte allocation length asks for.
  return link.SendCommandIn(cdb, sizeof cdb, cdb[4], kTimeoutInquiry, buffer, handle);
}

bool ReadCapacity(DeviceLink& link, uint8_t* buffer, uint32_t length, VolumeHandle handle) {
  uint8_t cdb[10] = {kOpReadCapacity};
  return link.SendCommandIn(cdb, sizeof cdb, length, kTimeoutShort, buffer, handle);
}

bool ReadModeByte(DeviceLink& link, uint8_t* buffer, uint32_t length, VolumeHandle handle) {
  uint8_t cdb[6] = {kOpReadModeByte};
  return link.SendCommandIn(cdb, sizeof cdb, length, kTimeoutShort, buffer, handle);
}

bool ReadFlashId(DeviceLink& link, uint8_t* buffer, uint32_t length, VolumeHandle handle) {
  uint8_t cdb[10] = {kOpController, kSubReadFlashId};
  return link.SendCommandIn(cdb, sizeof cdb, length, kTimeoutShort, buffer, handle);
}

bool ResetController(DeviceLink& link, VolumeHandle handle) {
  uint8_t cdb[10] = {kOpController, kSubResetController, 0x07, 0x01};
  return SendNoData(link, cdb, sizeof cdb, kTimeoutController, handle);
}

bool PrepareCodeLoad(DeviceLink& link, VolumeHandle handle) {
  uint8_t cdb[10] = {kOpController, kSubPrepareCodeLoad};
  return SendNoData(link, cdb, sizeof cdb, kTimeoutController, handle);
}

bool InitFlash(DeviceLink& link, uint32_t mode, VolumeHandle handle) {
  uint8_t cdb[10] = {kOpController, kSubInitFlash, Byte(mode, 0)};
  return SendNoData(link, cdb, sizeof cdb, kTimeoutController, handle);
}

bool ReadControllerMemory(DeviceLink& link, uint32_t address, uint32_t length, uint8_t* buffer,
                          VolumeHandle handle) {
  uint8_t cdb[10] = {kOpController,
                     kSubMemory,
                     0x00,
                     Byte(address, 8),
                     Byte(address, 0),
                     0xFF,
                     Byte(address, 16),
                     0,
                     0,
                     0};
  StoreCount(cdb, length);
  // The length field is also the transfer length, so both are cut alike.
  return link.SendCommandIn(cdb, sizeof cdb, length & 0xFFFF, kTimeoutMemory, buffer, handle);
}

bool WriteControllerMemory(DeviceLink& link, uint32_t address, uint32_t lengthField,
                           uint32_t fillByte, const uint8_t* data, VolumeHandle handle) {
  uint8_t cdb[10] = {kOpController,
                     kSubMemory,
                     0x01,
                     Byte(address, 8),
                     Byte(address, 0),
                     Byte(fillByte, 0),
                     0x03,
                     0,
                     0,
                     0};
  StoreCount(cdb, lengthField);
  return link.SendCommandOut(cdb, sizeof cdb, 512, kTimeoutMemory, const_cast<uint8_t*>(data),
                             handle);
}

bool ReadFlashConfig(DeviceLink& link, uint8_t* buffer, uint32_t length, VolumeHandle handle) {
  uint8_t cdb[12] = {kOpReadFlashConfig};
  return link.SendCommandIn(cdb, sizeof cdb, length, kTimeoutShort, buffer, handle);
}

bool ReadFlashPages(DeviceLink& link, uint32_t pageAddress, uint32_t pageCount, uint32_t byteCount,
                    uint32_t readMode, uint8_t* buffer, VolumeHandle handle) {
  uint8_t cdb[10] = {kOpReadFlashPages, Byte(readMode << 1, 0)};
  StorePage(cdb, pageAddress);
  StoreCount(cdb, pageCount);
  // Flash is judged and kept byte for byte: a short reply is no reply.
  return link.ReceiveWhole(cdb, sizeof cdb, byteCount, kTimeoutReadPages, buffer, handle);
}

bool WriteFlashPages(DeviceLink& link, uint32_t pageAddress, uint32_t pageCount, uint32_t byteCount,
                     const uint8_t* data, VolumeHandle handle) {
  uint8_t cdb[10] = {kOpWriteFlashPages};
  StorePage(cdb, pageAddress);
  StoreCount(cdb, pageCount);
  return link.SendCommandOut(cdb, sizeof cdb, byteCount, kTimeoutWritePages,
                             const_cast<uint8_t*>(data), handle);
}

bool ReadPageSpare(DeviceLink& link, uint32_t pageAddress, uint32_t length, uint8_t* buffer,
                   VolumeHandle handle) {
  uint8_t cdb[10] = {kOpReadPageSpare};
  StorePage(cdb, pageAddress);
  return link.ReceiveWhole(cdb, sizeof cdb, length, kTimeoutSpareErase, buffer, handle);
}

bool EraseFlashBlock(DeviceLink& link, uint32_t pageAddress, VolumeHandle handle) {
  // The one reply byte lands in the command's own storage, behind the CDB,
  // and is dropped with it.
  uint8_t storage[11] = {kOpEraseFlashBlock};
  StorePage(storage, pageAddress);
  return link.SendCommandIn(storage, 10, 1, kTimeoutSpareErase, storage + 10, handle);
}

}  // namespace kestrune::device
