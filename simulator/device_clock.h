// Wall time for simulated drives that take as long as real ones: on a clock
// each command lasts the device time the timing model charges for it, so
// that runs over several drives can be measured as a bench of real sticks
// would feel them.
#pragma once

#include <cstdint>
#include <memory>

namespace kestrune::sim {

class DeviceClock {
 public:
  virtual ~DeviceClock() = default;
  virtual uint64_t NowNanoseconds() = 0;
  // Returns at once when `deadline` has passed.
  virtual void SleepUntilNanoseconds(uint64_t deadline) = 0;
};

// The steady clock of the host, sleeping the calling thread.
std::shared_ptr<DeviceClock> WallClock();

}  // namespace kestrune::sim
