#include "device/link.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "device/command_traits.h"

namespace kestrune::device {

HeapBlock::HeapBlock(HeapBlock&& other) noexcept : raw_(other.raw_), aligned_(other.aligned_) {
  other.raw_ = nullptr;
  other.aligned_ = nullptr;
}

HeapBlock& HeapBlock::operator=(HeapBlock&& other) noexcept {
  if (this != &other) {
    reset();
    raw_ = other.raw_;
    aligned_ = other.aligned_;
    other.raw_ = nullptr;
    other.aligned_ = nullptr;
  }
  return *this;
}

HeapBlock::~HeapBlock() { reset(); }

void HeapBlock::reset() {
  std::free(raw_);
  raw_ = nullptr;
  aligned_ = nullptr;
}

DeviceLink::DeviceLink(VolumeOpener& opener) : opener_(opener) {}

DeviceLink::~DeviceLink() = default;

bool DeviceLink::OpenVolume(char letter, VolumeHandle& handle, std::string* holder) {
  OpenResult opened = opener_.Open(letter);
  if (holder != nullptr) *holder = opened.holder;
  std::unique_ptr<Transport> transport = std::move(opened.transport);
  if (!transport) return false;
  // Handles are never reused while open and never 0.
  while (next_ == kNoVolume || open_.count(next_) != 0) ++next_;
  VolumeHandle fresh = next_++;
  open_.emplace(fresh, std::move(transport));
  handle = fresh;
  return true;
}

void DeviceLink::CloseVolume(VolumeHandle& handle) {
  if (handle == kNoVolume) return;
  open_.erase(handle);
  handle = kNoVolume;
}

bool DeviceLink::SendCommandIn(const uint8_t* cdb, uint8_t cdbLength, uint32_t transferLength,
                               uint32_t timeoutSeconds, void* buffer, VolumeHandle handle) {
  return Send(Carrier::kIn, cdb, cdbLength, transferLength, timeoutSeconds, buffer, handle);
}

bool DeviceLink::SendCommandOut(const uint8_t* cdb, uint8_t cdbLength, uint32_t transferLength,
                                uint32_t timeoutSeconds, void* buffer, VolumeHandle handle) {
  return Send(Carrier::kOut, cdb, cdbLength, transferLength, timeoutSeconds, buffer, handle);
}

bool DeviceLink::ReceiveWhole(const uint8_t* cdb, uint8_t cdbLength, uint32_t transferLength,
                              uint32_t timeoutSeconds, void* buffer, VolumeHandle handle) {
  return Send(Carrier::kIn, cdb, cdbLength, transferLength, timeoutSeconds, buffer, handle, true);
}

bool DeviceLink::Send(Carrier carrier, const uint8_t* cdb, uint8_t cdbLength,
                      uint32_t transferLength, uint32_t timeoutSeconds, void* buffer,
                      VolumeHandle handle, bool whole) {
  CommandAnswer& answer = last_.emplace();
  answer.number = ++asked_;
  answer.cdbLength = cdb != nullptr ? std::min(cdbLength, kMaxCdbLength) : 0;
  if (answer.cdbLength != 0) std::copy_n(cdb, answer.cdbLength, answer.cdb.begin());
  answer.carrier = carrier;
  answer.transferLength = transferLength;
  auto open = open_.find(handle);
  if (open == open_.end()) {
    answer.sent = false;
    if (!firstFailure_) firstFailure_ = answer;
    return false;
  }
  // The transport refuses a malformed request (a CDB that does not fit the
  // 16-byte field is refused rather than cut) and keeps the buffered rule.
  const Request request{
      cdb,  cdbLength, carrier, transferLength, timeoutSeconds, static_cast<uint8_t*>(buffer),
      whole};
  answer.result = open->second->Execute(request);
  if (answer.result.outcome != Outcome::kOsError && ChangesFlash(cdb, cdbLength)) {
    ++flashChangesSent_;
  }
  if (!answer.result.Complete() && !firstFailure_) firstFailure_ = answer;
  return whole ? answer.result.Complete() : answer.result.Succeeded();
}

HeapBlock DeviceLink::AllocBuffer(size_t size, size_t alignment) {
  if (alignment == 0) {
    void* raw = std::malloc(size == 0 ? 1 : size);
    return raw ? HeapBlock(raw, static_cast<uint8_t*>(raw)) : HeapBlock();
  }
  // The rounding below can move the address forward by up to `alignment`
  // bytes, so that many extra bytes are always taken (also for 1, where the
  // heap's own alignment makes the move 0 in practice).
  if (size > std::numeric_limits<size_t>::max() - alignment) return {};
  void* raw = std::malloc(size + alignment);
  if (raw == nullptr) return {};
  auto address = reinterpret_cast<uintptr_t>(raw);
  auto aligned = (address + alignment) & ~static_cast<uintptr_t>(alignment);
  return HeapBlock(raw, static_cast<uint8_t*>(raw) + (aligned - address));
}

}  // namespace kestrune::device
