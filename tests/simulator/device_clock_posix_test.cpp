// A drive on a clock: each command lasts its modelled device time as wall
// time, of which the host's own time inside the command is a part. Shown on
// a fake clock, so nothing here is timed.
#include <gtest/gtest.h>

#include "simulator/device_clock.h"
#include "simulator/drive_description.h"
#include "simulator/virtual_drive.h"
#include "tests/simulator/sim_commands.h"

namespace kestrune::sim {
namespace {

using namespace cmd;

// Every reading of the clock costs `hostNs`: the host work a command does
// after the drive notes its start.
class FakeClock final : public DeviceClock {
 public:
  explicit FakeClock(uint64_t hostNs) : hostNs_(hostNs) {}
  uint64_t NowNanoseconds() override {
    const uint64_t t = now;
    now += hostNs_;
    return t;
  }
  void SleepUntilNanoseconds(uint64_t deadline) override {
    if (deadline > now) {
      slept += deadline - now;
      now = deadline;
    }
  }
  uint64_t now = 0;
  uint64_t slept = 0;

 private:
  uint64_t hostNs_;
};

struct Pace {
  const char* name;
  uint64_t hostNs;
  bool hostBound;  // the host is slower than every command
};

constexpr Pace kPaces[] = {
    {"HostFasterThanEveryCommand", 100'000, false},  // every command costs at least 200 us
    {"HostSlowerThanEveryCommand", 1'000'000'000, true},
};

void PrintTo(const Pace& pace, std::ostream* out) { *out << pace.name; }

class RealTime : public ::testing::TestWithParam<Pace> {};

TEST_P(RealTime, EachCommandLastsItsDeviceTimeOrTheHostTimeWhenLonger) {
  std::string error;
  auto drive = VirtualDrive::FromDescription(DefaultDescription(), &error);
  ASSERT_TRUE(drive) << error;
  auto clock = std::make_shared<FakeClock>(GetParam().hostNs);
  drive->SetClock(clock);

  ASSERT_TRUE(StartWorkingCode(*drive));
  const uint32_t area = drive->IspAreaPages().at(0);
  ASSERT_TRUE(Erase(*drive, area).ok());
  ASSERT_TRUE(WritePages(*drive, area, 32, std::vector<uint8_t>(65536, 0x5A)).ok());
  ASSERT_TRUE(ReadPages(*drive, area, 32, 65536).ok());
  ASSERT_TRUE(Inquiry(*drive).ok());

  const uint64_t device = drive->DeviceTimeNanoseconds();
  const uint64_t host = drive->CommandCount() * GetParam().hostNs;
  ASSERT_GT(device, 0u);
  if (GetParam().hostBound) {
    EXPECT_EQ(clock->now, host);
    EXPECT_EQ(clock->slept, 0u);
  } else {
    EXPECT_EQ(clock->now, device);
    EXPECT_EQ(clock->slept, device - host);
  }
}

INSTANTIATE_TEST_SUITE_P(Pacing, RealTime, ::testing::ValuesIn(kPaces),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrune::sim
