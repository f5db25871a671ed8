// A USB mass-storage stick's Bulk-Only transport as the stick meets it: the
// 31-byte command block wrapper the host sends, the 13-byte status wrapper
// the stick answers with, and the sense a failed command leaves for the
// REQUEST SENSE the host's driver sends after it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "tools/tcmu_drive/lun.h"

namespace kestrune::usb {

inline constexpr size_t kCbwLength = 31;
inline constexpr size_t kCswLength = 13;
inline constexpr uint8_t kCswPassed = 0;
inline constexpr uint8_t kCswFailed = 1;
// The most a command moves; usb-storage sends at most 120 KiB.
inline constexpr uint32_t kMaxTransfer = 1u << 20;

struct Cbw {
  uint32_t tag = 0;
  uint32_t transferLength = 0;
  bool dataIn = false;
  uint8_t lun = 0;
  uint8_t cdbLength = 0;
  std::array<uint8_t, 16> cdb{};
};

// False for anything but a meaningful wrapper of exactly kCbwLength bytes
// addressed to LUN 0 (the stick has one).
bool ParseCbw(const uint8_t* bytes, size_t length, Cbw* cbw);

std::array<uint8_t, kCswLength> MakeCsw(uint32_t tag, uint32_t residue, uint8_t status);

// What the stick answers to one wrapper, besides the data it moves.
struct Answer {
  uint8_t status = kCswPassed;
  uint32_t residue = 0;
  uint32_t holdMilliseconds = 0;
  // Longer than kMaxTransfer: refused unseen, its data phase to be stalled
  // (`data` is left empty).
  bool tooLong = false;
  // For the log: what the drive behind the bridge said.
  tcmu::Reply reply;
};

class Stick {
 public:
  explicit Stick(tcmu::Lun& lun) : lun_(lun) {}

  // Answers `cbw`. `data` comes in with the bytes the host sent (data-out)
  // and leaves holding exactly cbw.transferLength bytes to send (data-in),
  // padded with zeros past what the drive gave.
  Answer Serve(const Cbw& cbw, std::vector<uint8_t>& data);

  // The host reset the transport: nothing is pending any more.
  void Reset() { pending_.reset(); }

 private:
  tcmu::Lun& lun_;
  // The sense of the last failed command, until a REQUEST SENSE takes it or
  // another command replaces it.
  std::optional<std::array<uint8_t, tcmu::kSenseLength>> pending_;
};

}  // namespace kestrune::usb
