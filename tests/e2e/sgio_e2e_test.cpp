// The native SG_IO transport against a simulated drive behind a plain file:
// run with LD_PRELOAD=libkestrune_sgio_preload.so and KESTRUNE_SGIO_FILE,
// KESTRUNE_SGIO_DRIVE and KESTRUNE_SGIO_LOG set (CTest does).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "device/sgio_linux.h"
#include "simulator/virtual_drive.h"
#include "tests/e2e/e2e_exchange.h"
#include "tests/e2e/e2e_sgio_log.h"

namespace kestrune::e2e {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

class SgioEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    file = Env("KESTRUNE_SGIO_FILE");
    drive = Env("KESTRUNE_SGIO_DRIVE");
    log = Env("KESTRUNE_SGIO_LOG");
    if (file.empty() || drive.empty() || log.empty() || Env("LD_PRELOAD").empty()) {
      GTEST_SKIP() << "needs the SG_IO preload library and its environment";
    }
    std::ofstream(log, std::ios::trunc).flush();
  }

  std::vector<Step> RunOverSgio() {
    device::SgioOptions options;
    options.explicitMap['E'] = file;
    device::SgioVolumes volumes(options);
    device::DeviceLink link(volumes);
    device::VolumeHandle handle = device::kNoVolume;
    EXPECT_TRUE(link.OpenVolume('E', handle));
    if (handle == device::kNoVolume) return {};
    std::vector<Step> steps = RunExchange(link, handle);
    link.CloseVolume(handle);
    return steps;
  }

  // The drive the preload library serves, made afresh in this process.
  std::unique_ptr<sim::VirtualDrive> LocalDrive() {
    std::ifstream in(drive);
    std::stringstream json;
    json << in.rdbuf();
    std::string error;
    auto virtualDrive = sim::VirtualDrive::FromJsonText(json.str(), &error);
    EXPECT_NE(virtualDrive, nullptr) << error;
    return virtualDrive;
  }

  // The same drive, answered in this process without any transport between.
  std::vector<Step> RunInProcess() {
    auto virtualDrive = LocalDrive();
    if (!virtualDrive) return {};
    sim::SimulatedVolumes volumes;
    volumes.Attach('E', *virtualDrive);
    device::DeviceLink link(volumes);
    device::VolumeHandle handle = device::kNoVolume;
    EXPECT_TRUE(link.OpenVolume('E', handle));
    return RunExchange(link, handle);
  }

  std::string file, drive, log;
};

TEST_F(SgioEndToEnd, AnswersMatchTheDriveInProcess) {
  std::vector<Step> sgio = RunOverSgio();
  std::vector<Step> local = RunInProcess();
  ASSERT_EQ(sgio.size(), local.size());
  for (size_t i = 0; i < sgio.size(); ++i) {
    EXPECT_EQ(FormatStep(sgio[i]), FormatStep(local[i]));
  }
  ASSERT_EQ(sgio.size(), 8u);
  EXPECT_TRUE(sgio[0].ok);                                  // INQUIRY, buffered data-in
  EXPECT_TRUE(sgio[3].ok);                                  // data-out into controller memory
  EXPECT_EQ(sgio[4].data, MemoryPattern());                 // read back through a direct data-in
  EXPECT_FALSE(sgio[5].ok);                                 // CHECK CONDITION
  EXPECT_EQ(sgio[5].data, std::vector<uint8_t>(34, 0x5A));  // buffer untouched
  EXPECT_FALSE(sgio[6].ok);                                 // refused by the drive
  EXPECT_EQ(sgio[6].data, std::vector<uint8_t>(1, 0x5A));
}

TEST_F(SgioEndToEnd, DevicesSeeDirectionsTimeoutsAndStatuses) {
  RunOverSgio();
  std::vector<SgioLogLine> lines = ReadSgioLog(log);
  ASSERT_EQ(lines.size(), 8u);
  struct Expected {
    const char* cdbStart;
    const char* direction;
    unsigned length, timeoutMs, status, host;
  };
  const Expected expected[] = {
      {"12 00 00 00 b4 00", "from", 180, 20000, 0, 0},
      {"25 00", "from", 8, 2000, 0, 0},
      {"fd 14", "none", 0, 20000000, 0, 0},
      {"fd 00 01 f0 00 ff 03 02 00 00", "to", 512, 2000000, 0, 0},
      {"fd 00 00 f0 00 ff 00 02 00 00", "from", 512, 2000000, 0, 0},
      {"f2 00", "from", 34, 2000, 2, 0},
      {"f3 00", "from", 1, 2000, 0, 7},
      {"fd 11 04", "none", 0, 20000000, 2, 0},
  };
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i].cdb);
    EXPECT_EQ(lines[i].cdb.rfind(expected[i].cdbStart, 0), 0u);
    EXPECT_EQ(lines[i].direction, expected[i].direction);
    EXPECT_EQ(lines[i].length, expected[i].length);
    EXPECT_EQ(lines[i].timeoutMs, expected[i].timeoutMs);
    EXPECT_EQ(lines[i].senseMax, 32u);
    EXPECT_EQ(lines[i].status, expected[i].status);
    EXPECT_EQ(lines[i].host, expected[i].host);
    // CHECK CONDITION comes with sense data, flagged by the driver byte.
    EXPECT_EQ(lines[i].driver, expected[i].status != 0 ? 8u : 0u);
  }
}

// What a drive reports besides its status, the residual of a short reply
// and the sense of a CHECK CONDITION, crosses SG_IO as the drive gave it.
TEST_F(SgioEndToEnd, ResidualAndSenseCrossAsTheDriveGaveThem) {
  auto local = LocalDrive();
  ASSERT_NE(local, nullptr);
  device::SgioOptions options;
  options.explicitMap['E'] = file;
  device::SgioVolumes volumes(options);
  std::unique_ptr<device::Transport> sgio = volumes.Open('E').transport;
  ASSERT_NE(sgio, nullptr);

  const std::vector<std::vector<uint8_t>> cdbs = {
      {0x12, 0, 0, 0, 36, 0},                    // INQUIRY cut by its allocation length
      {0xF2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}};  // config before working code: CHECK
  for (const std::vector<uint8_t>& cdb : cdbs) {
    SCOPED_TRACE(cdb[0]);
    std::vector<uint8_t> buffer(180);
    device::Request request{
        cdb.data(), static_cast<uint8_t>(cdb.size()), device::Carrier::kIn, 180, 20, buffer.data()};
    const device::Result want = local->Execute(request);
    const device::Result got = sgio->Execute(request);
    EXPECT_EQ(got.outcome, want.outcome);
    EXPECT_EQ(got.residual, want.residual);
    ASSERT_EQ(got.senseLength, want.senseLength);
    EXPECT_TRUE(
        std::equal(got.sense.begin(), got.sense.begin() + got.senseLength, want.sense.begin()));
  }
}

TEST_F(SgioEndToEnd, MissingNodeLeavesTheHandleAlone) {
  device::SgioOptions options;
  options.explicitMap['E'] = file + ".missing";
  device::SgioVolumes volumes(options);
  device::DeviceLink link(volumes);
  device::VolumeHandle handle = 5;
  EXPECT_FALSE(link.OpenVolume('E', handle));
  EXPECT_EQ(handle, 5u);
  EXPECT_TRUE(ReadSgioLog(log).empty());
}

}  // namespace
}  // namespace kestrune::e2e
