#include "simulator/device_clock.h"

#include <chrono>
#include <thread>

namespace kestrune::sim {

namespace {

class SteadyClock final : public DeviceClock {
 public:
  uint64_t NowNanoseconds() override {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  }
  void SleepUntilNanoseconds(uint64_t deadline) override {
    const std::chrono::steady_clock::time_point when{
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::nanoseconds(deadline))};
    std::this_thread::sleep_until(when);
  }
};

}  // namespace

std::shared_ptr<DeviceClock> WallClock() {
  static const std::shared_ptr<DeviceClock> clock = std::make_shared<SteadyClock>();
  return clock;
}

}  // namespace kestrune::sim
