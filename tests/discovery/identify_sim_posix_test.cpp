// Identification end to end: the scan against simulated drives of every
// controller, with the images extracted as at start-up so that the code
// drives get their working code.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "device/link.h"
#include "discovery/discovery.h"
#include "images/images.h"
#include "log/isp_log.h"
#include "platform/posix_platform.h"
#include "simulator/drive_description.h"
#include "simulator/virtual_drive.h"
#include "tests/discovery/harness.h"
#include "tests/support/device_temp_folder.h"
#include "tests/support/device_test_link.h"
#include "tests/support/recording_view.h"

namespace kestrune::testing {
namespace {

class RecordingPlatform : public platform::PosixPlatform {
 public:
  using PosixPlatform::PosixPlatform;
  void DebugOutput(const char* text) override { debug.emplace_back(text); }
  std::vector<std::string> debug;
};

class SimulatedScan : public ::testing::Test {
 protected:
  SimulatedScan() {
    folder_.Write("ISP.log", "");
    log.StartLog();
    ExtractImages(p.platform, p.images.get());
    for (int i = 0; i < kSlotCount; ++i) ResetSlot(p, i);
  }

  sim::VirtualDrive& Plug(char letter, const sim::DriveDescription& d) {
    std::string error;
    drives_.push_back(sim::VirtualDrive::FromDescription(d, &error));
    EXPECT_TRUE(drives_.back()) << error;
    volumes.Attach(letter, *drives_.back());
    return *drives_.back();
  }

  std::string LogText() const { return folder_.Read("ISP.log"); }

  TempFolder folder_;
  RecordingPlatform platform{FolderOptions(folder_.path())};
  sim::SimulatedVolumes volumes;
  testing::TestLink link{volumes};
  IspLog log{platform};
  RecordingView view;
  Program p{platform, link, log, view};
  std::vector<std::unique_ptr<sim::VirtualDrive>> drives_;
};

sim::DriveDescription FamilyA(uint16_t id, bool healthy) {
  sim::DriveDescription d;
  d.controllerId = id;
  d.revision = 3;
  d.pageSize = 2048;
  d.pagesPerBlock = 64;
  d.blocksPerZone = 128;
  d.zoneCount = 2;
  d.ceCount = 1;
  d.usableBlocksPerZone = 120;
  d.ispHealthy = healthy;
  d.headerPages = {sim::HeaderPage{}};
  return d;
}

sim::DriveDescription FamilyB(uint16_t id, bool healthy) {
  sim::DriveDescription d;
  d.controllerId = id;
  d.revision = 2;
  d.pageSize = 2048;
  d.pagesPerBlock = 64;
  d.cisPagesPerBlock = 64;
  d.blocksPerZone = 256;
  d.zoneCount = 2;
  d.ceCount = 1;
  d.usableBlocksPerZone = 250;
  d.ispHealthy = healthy;
  sim::CodeMarkCopy first;
  first.block = 2;
  sim::CodeMarkCopy second;
  second.block = 6;
  d.codeMarks = {first, second};
  return d;
}

struct ControllerCase {
  uint16_t id;
  bool healthy;
};

class EveryController : public SimulatedScan,
                        public ::testing::WithParamInterface<ControllerCase> {};

TEST_P(EveryController, IdentifiesGeometryCisAndVerdict) {
  const uint16_t id = GetParam().id;
  const bool familyA = IsFamilyA(id);
  sim::VirtualDrive& drive =
      Plug('F', familyA ? FamilyA(id, GetParam().healthy) : FamilyB(id, GetParam().healthy));
  ASSERT_EQ(drive.IspHealthy(), GetParam().healthy);

  ASSERT_EQ(CheckDriveExist(p), 1);
  const DriveSlot& slot = p.Slot(0);
  EXPECT_EQ(Val(slot.letter), 'F');
  EXPECT_EQ(Val(slot.controllerId), id);
  EXPECT_EQ(Val(slot.needsCodeInit), familyA ? 0 : 1);
  EXPECT_EQ(Val(slot.geometryValid), 1);
  EXPECT_EQ(Val(slot.pageSize), 2048u);
  EXPECT_EQ(Val(slot.pagesPerBlock), 64);
  EXPECT_EQ(Val(slot.capacityRead), 1);
  EXPECT_EQ(Val(slot.ispFound), 1);
  EXPECT_EQ(link.OpenVolumeCount(), 0u);

  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0].text, GetParam().healthy ? "ISP is OK!" : "ISP was borken!");
  EXPECT_EQ(p.ispHealthy, GetParam().healthy ? 1 : 0);

  // Every ISP offset found names an ISP area the drive itself has.
  const std::vector<uint32_t> areas = drive.IspAreaPages();
  if (familyA) {
    EXPECT_EQ(Val(slot.cisCount), 1);
    EXPECT_EQ(Val(slot.cis[0].page), 0u);
    EXPECT_EQ(Val(slot.cis[0].ispOffset), 64u);
    EXPECT_EQ(p.ispOffsets[0], 64);
    EXPECT_EQ(p.ispOffsets[1], -1);
    EXPECT_EQ(Val(slot.sectorCount), 64u * 120 * 2);
  } else {
    EXPECT_EQ(Val(slot.cisCount), 2);
    EXPECT_EQ(Val(slot.cis[0].page), 2u * 64);
    EXPECT_EQ(Val(slot.cis[1].page), 6u * 64);
    EXPECT_EQ(Val(slot.cis[0].ispOffset), 3u * 64);
    EXPECT_EQ(Val(slot.cis[1].ispOffset), 7u * 64);
    EXPECT_EQ(p.ispOffsets[2], -1);
    EXPECT_STREQ(slot.vendorId, "KSTRUNE");
    EXPECT_EQ(Val(slot.sectorCount), 64u * 250 * 2);
    EXPECT_NE(LogText().find("CIS PageO ffset = 80 \r\n"), std::string::npos);
    EXPECT_NE(LogText().find("ISP_Offset = c0 \r\n"), std::string::npos);
    EXPECT_TRUE(drive.FlashReady());
  }
  for (int i = 0; i < kCisCopies; ++i) {
    if (slot.cis[i].present == 0 || slot.cis[i].ispOffset == kUnsetOffset) continue;
    const uint32_t page = ToDevicePage(p, 0, slot.cis[i].ispOffset);
    EXPECT_NE(std::find(areas.begin(), areas.end(), page), areas.end()) << "copy " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Drives, EveryController,
                         ::testing::Values(ControllerCase{0x161, true},
                                           ControllerCase{0x168, false},
                                           ControllerCase{0x169, true}, ControllerCase{0x162, true},
                                           ControllerCase{0x163, false},
                                           ControllerCase{0x165, true},
                                           ControllerCase{0x190, false}));

TEST_F(SimulatedScan, Controller165WithMemoryByteBIs162) {
  sim::DriveDescription d = FamilyB(0x165, true);
  d.memory = {{0x1064, {'b', 'x'}}};
  Plug('E', d);
  ASSERT_EQ(CheckDriveExist(p), 1);
  EXPECT_EQ(Val(p.Slot(0).controllerId), kCtrl162);
  EXPECT_EQ(Val(p.Slot(0).ispFound), 1);
}

TEST_F(SimulatedScan, Controller190ReadsItsInformationPage) {
  sim::DriveDescription d = FamilyB(0x190, true);
  d.extraInfo.assign(64, 0);
  for (size_t i = 0; i < 64; ++i) d.extraInfo[i] = static_cast<uint8_t>(0xA0 + i);
  Plug('E', d);
  ASSERT_EQ(CheckDriveExist(p), 1);
  EXPECT_EQ(Val(p.Slot(0).extraInfoRead), 1);
  EXPECT_EQ(std::vector<uint8_t>(p.extraInfo[0], p.extraInfo[0] + 64), d.extraInfo);
}

TEST_F(SimulatedScan, FirstDriveWinsAndTheRestAreNotTouched) {
  Plug('E', FamilyA(0x161, true));
  sim::VirtualDrive& second = Plug('G', FamilyB(0x190, true));
  ASSERT_EQ(CheckDriveExist(p), 1);
  EXPECT_EQ(Val(p.Slot(0).letter), 'E');
  EXPECT_EQ(second.CommandCount(), 0u);
  EXPECT_EQ(platform.debug.front(), "CheckDriveExist : DriverIndex -> 0");
  EXPECT_NE(std::find(platform.debug.begin(), platform.debug.end(), "ID = 161"),
            platform.debug.end());
}

TEST_F(SimulatedScan, HeaderInBlockOneAndIspBehindIt) {
  sim::DriveDescription d = FamilyA(0x169, true);
  sim::HeaderPage rejected;
  rejected.secondGroupSum = 1;
  sim::HeaderPage accepted;
  accepted.block = 1;
  d.headerPages = {rejected, accepted};
  sim::VirtualDrive& drive = Plug('E', d);
  ASSERT_EQ(CheckDriveExist(p), 1);
  const DriveSlot& slot = p.Slot(0);
  EXPECT_EQ(Val(slot.cis[0].page), 64u);
  EXPECT_EQ(Val(slot.cis[0].ispOffset), 128u);
  const std::vector<uint32_t> areas = drive.IspAreaPages();
  EXPECT_NE(std::find(areas.begin(), areas.end(), 128u), areas.end());
}

TEST_F(SimulatedScan, UnpluggedDriveIsNotFound) {
  sim::VirtualDrive& drive = Plug('E', FamilyA(0x161, true));
  drive.SetVanished(true);
  EXPECT_EQ(CheckDriveExist(p), 0);
  EXPECT_TRUE(view.boxes.empty());
}

}  // namespace
}  // namespace kestrune::testing
