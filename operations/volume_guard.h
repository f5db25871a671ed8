// Closes a drive's volume on every way out of an operation.
#pragma once

#include "discovery/discovery.h"

namespace kestrune {

class VolumeGuard {
 public:
  VolumeGuard(Program& p, int slotIndex) : p_(p), slotIndex_(slotIndex) {}
  VolumeGuard(const VolumeGuard&) = delete;
  VolumeGuard& operator=(const VolumeGuard&) = delete;
  ~VolumeGuard() { CloseVolume(p_, slotIndex_); }

 private:
  Program& p_;
  int slotIndex_;
};

// Reads up to `size` bytes, calling Read until the file ends; returns the
// number read.
inline size_t ReadUpTo(platform::File& file, uint8_t* buffer, size_t size) {
  size_t total = 0;
  while (total < size) {
    size_t got = file.Read(buffer + total, size - total);
    if (got == 0) break;
    total += got;
  }
  return total;
}

}  // namespace kestrune
