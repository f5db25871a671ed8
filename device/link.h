// The device link: the only road from the program to a drive's controller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "device/answer.h"
#include "device/transport.h"

namespace kestrune::device {

// What the drive record keeps of an open volume: a small number naming the
// transport inside the link. 0 is "closed"; an invalid value is never stored.
using VolumeHandle = uint32_t;
inline constexpr VolumeHandle kNoVolume = 0;

// A heap block from AllocBuffer. Owns the block; the aligned address is what
// callers use.
class HeapBlock {
 public:
  HeapBlock() = default;
  HeapBlock(void* raw, uint8_t* aligned) : raw_(raw), aligned_(aligned) {}
  HeapBlock(HeapBlock&& other) noexcept;
  HeapBlock& operator=(HeapBlock&& other) noexcept;
  HeapBlock(const HeapBlock&) = delete;
  HeapBlock& operator=(const HeapBlock&) = delete;
  ~HeapBlock();

  uint8_t* get() const { return aligned_; }
  explicit operator bool() const { return aligned_ != nullptr; }
  void reset();

 private:
  void* raw_ = nullptr;
  uint8_t* aligned_ = nullptr;
};

class DeviceLink {
 public:
  explicit DeviceLink(VolumeOpener& opener);
  virtual ~DeviceLink();
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;

  // Opens the volume "\\.\X:" of `letter`. On success stores a fresh handle
  // in `handle` and returns true; on failure `handle` is left as it was, and
  // `holder`, when given, names the drive if another run holds it (else it
  // is emptied). A handle already stored is not closed.
  bool OpenVolume(char letter, VolumeHandle& handle, std::string* holder = nullptr);
  // Closes an open handle and sets it to kNoVolume; a closed one is left alone.
  void CloseVolume(VolumeHandle& handle);

  // The two carriers. True when the request was accepted and the SCSI status
  // is 0. A failed data-in below 512 bytes leaves `buffer` untouched.
  bool SendCommandIn(const uint8_t* cdb, uint8_t cdbLength, uint32_t transferLength,
                     uint32_t timeoutSeconds, void* buffer, VolumeHandle handle);
  bool SendCommandOut(const uint8_t* cdb, uint8_t cdbLength, uint32_t transferLength,
                      uint32_t timeoutSeconds, void* buffer, VolumeHandle handle);
  // SendCommandIn for a caller that needs every byte: a reply that came
  // back short (a residual) fails too, and leaves a buffer below 512 bytes
  // untouched as any failure does.
  bool ReceiveWhole(const uint8_t* cdb, uint8_t cdbLength, uint32_t transferLength,
                    uint32_t timeoutSeconds, void* buffer, VolumeHandle handle);

  // Heap memory for transfer buffers; contents are not cleared. With
  // alignment 0 the block comes straight from the heap, otherwise
  // size + alignment bytes are taken (size when alignment is 1) and the
  // address is rounded as (address + alignment) & ~alignment.
  virtual HeapBlock AllocBuffer(size_t size, size_t alignment);

  VolumeOpener& opener() { return opener_; }

  // The last command the link was asked to send and how it ended, kept
  // where it ran so that a caller told only false can say why; none
  // before the first. Its number counts every command asked for.
  const std::optional<CommandAnswer>& LastCommand() const { return last_; }
  uint64_t CommandsAsked() const { return asked_; }
  // The first command since the last MarkFailures that was not sent or
  // did not end GOOD with every byte: the cause of what went wrong after
  // it, where later commands (a read-back, a restart) may well succeed.
  const std::optional<CommandAnswer>& FirstFailure() const { return firstFailure_; }
  void MarkFailures() { firstFailure_.reset(); }
  // Page writes and block erases that may have reached a drive: every one
  // asked for but those the system refused before sending.
  uint64_t FlashChangesSent() const { return flashChangesSent_; }

 private:
  bool Send(Carrier carrier, const uint8_t* cdb, uint8_t cdbLength, uint32_t transferLength,
            uint32_t timeoutSeconds, void* buffer, VolumeHandle handle, bool whole = false);

  VolumeOpener& opener_;
  std::map<VolumeHandle, std::unique_ptr<Transport>> open_;
  VolumeHandle next_ = 1;
  std::optional<CommandAnswer> last_;
  std::optional<CommandAnswer> firstFailure_;
  uint64_t asked_ = 0;
  uint64_t flashChangesSent_ = 0;
};

}  // namespace kestrune::device
