// Simulated device time per command, in nanoseconds. Figures for a USB 2.0
// high-speed bulk-only drive with a single-plane NAND array. The drive adds
// them up for the benchmarks; only a drive on a clock (real-time mode) waits
// them out.
#pragma once

#include <cstdint>

namespace kestrune::sim::timing {

// CBW out, CSW in and the host controller's microframe scheduling.
inline constexpr uint64_t kRoundTripNs = 200'000;
// Effective bulk payload rate: 36 MB/s.
inline constexpr uint64_t kBytesPerSecond = 36'000'000;
// NAND array operations.
inline constexpr uint64_t kPageReadNs = 50'000;
inline constexpr uint64_t kPageProgramNs = 300'000;
inline constexpr uint64_t kBlockEraseNs = 2'000'000;
// Controller operations.
inline constexpr uint64_t kInitFlashNs = 5'000'000;
inline constexpr uint64_t kResetNs = 20'000'000;

inline constexpr uint64_t TransferNs(uint64_t bytes) {
  return bytes * 1'000'000'000 / kBytesPerSecond;
}

}  // namespace kestrune::sim::timing
