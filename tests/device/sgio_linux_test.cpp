#include "device/sgio_linux.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/device_temp_folder.h"

namespace kestrune::device {
namespace {

using testing::TempFolder;

struct SgCase {
  int rc;
  uint8_t status;
  uint16_t host;
  uint16_t driver;
  Outcome outcome;
};

class SgClassification : public ::testing::TestWithParam<SgCase> {};

TEST_P(SgClassification, ClassifiesInOnePlace) {
  const SgCase& c = GetParam();
  Result result = ClassifySgIo(c.rc, c.status, c.host, c.driver);
  EXPECT_EQ(result.outcome, c.outcome);
  EXPECT_EQ(result.Succeeded(), c.outcome == Outcome::kGood);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SgClassification,
    ::testing::Values(SgCase{0, 0, 0, 0, Outcome::kGood},
                      // CHECK CONDITION usually arrives with DRIVER_SENSE (0x08) set.
                      SgCase{0, 0x02, 0, 0x08, Outcome::kScsiStatus},
                      SgCase{0, 0, 0, 0x08, Outcome::kTransportError},
                      SgCase{0, 0x02, 0x07, 0x08, Outcome::kTransportError},
                      SgCase{0, 0x02, 0, 0, Outcome::kScsiStatus},
                      SgCase{0, 0x08, 0, 0, Outcome::kScsiStatus},
                      SgCase{0, 0, 0x03, 0, Outcome::kTransportError},  // DID_TIME_OUT
                      SgCase{0, 0, 0x01, 0, Outcome::kTransportError},  // DID_NO_CONNECT
                      SgCase{0, 0, 0, 0x06, Outcome::kTransportError},  // DRIVER_TIMEOUT
                      // Only the low nibble is the driver byte proper.
                      SgCase{0, 0, 0, 0x10, Outcome::kGood},
                      SgCase{-1, 0, 0, 0, Outcome::kOsError}));

class SysfsTest : public ::testing::Test {
 protected:
  // A block entry: removable flag, and optionally a device link into a USB
  // tree, as the kernel lays them out.
  void AddDisk(const std::string& name, bool removable, bool usb = false) {
    sysfs.Write("block/" + name + "/removable", removable ? "1\n" : "0\n");
    if (usb) {
      std::filesystem::create_directories(sysfs.path() / "devices/usb1/1-1" / name);
      std::filesystem::create_directory_symlink(sysfs.path() / "devices/usb1/1-1" / name,
                                                sysfs.path() / "block" / name / "device");
    }
  }
  SgioVolumes Volumes() {
    SgioOptions options;
    options.sysfsRoot = (sysfs.path() / "block").string();
    options.devRoot = "/devx";
    return SgioVolumes(options);
  }
  TempFolder sysfs;
};

TEST_F(SysfsTest, RemovableAndUsbDisksTakeLettersInNameOrder) {
  AddDisk("sda", false);  // the system disk
  AddDisk("sdc", true);
  AddDisk("sdb", false, true);  // USB, not flagged removable
  AddDisk("sdaa", true);
  AddDisk("sr0", true);   // not a SCSI disk
  AddDisk("sdb1", true);  // a partition name
  sysfs.Write("block/loop0/removable", "1\n");
  std::map<char, std::string> expected = {
      {'C', "/devx/sdb"}, {'D', "/devx/sdc"}, {'E', "/devx/sdaa"}};
  EXPECT_EQ(Volumes().Volumes(), expected);
}

TEST_F(SysfsTest, MissingSysfsServesNothing) {
  SgioOptions options;
  options.sysfsRoot = (sysfs.path() / "nowhere").string();
  SgioVolumes volumes(options);
  EXPECT_TRUE(volumes.Volumes().empty());
  EXPECT_EQ(volumes.Open('C'), nullptr);
  EXPECT_TRUE(volumes.NeedsPrivilege());
}

TEST_F(SysfsTest, ExplicitMapReplacesTheScan) {
  AddDisk("sdb", true);
  sysfs.Write("node", "");
  SgioOptions options;
  options.sysfsRoot = (sysfs.path() / "block").string();
  ASSERT_TRUE(ParseVolumeMapping("e=" + (sysfs.path() / "node").string(), options.explicitMap));
  SgioVolumes volumes(options);
  EXPECT_EQ(volumes.Volumes().size(), 1u);
  EXPECT_NE(volumes.Open('E'), nullptr);  // a plain file opens; SG_IO is refused later
  EXPECT_NE(volumes.Open('e'), nullptr);
  EXPECT_EQ(volumes.Open('C'), nullptr);
}

TEST_F(SysfsTest, PlainFileRefusesSgIoAsAnOsError) {
  sysfs.Write("node", "");
  SgioOptions options;
  options.explicitMap['E'] = (sysfs.path() / "node").string();
  auto transport = SgioVolumes(options).Open('E');
  ASSERT_NE(transport, nullptr);
  uint8_t cdb[6] = {0x12, 0, 0, 0, 36, 0};
  uint8_t data[36];
  std::fill(std::begin(data), std::end(data), 0x77);
  Request request{cdb, 6, Carrier::kIn, 36, 20, data};
  EXPECT_EQ(transport->Execute(request).outcome, Outcome::kOsError);
  EXPECT_EQ(data[0], 0x77);
}

// A stick on port 4 of a hub on port 1 of bus 2, laid out as the kernel
// lays it out: the block entry is a link into the device tree, and the USB
// device, its interface and the SCSI host sit between bus and disk.
TEST_F(SysfsTest, ListsWhatSysfsSaysOfAStickWithoutOpeningIt) {
  namespace fs = std::filesystem;
  const std::string usb = "devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1.4";
  const std::string disk = usb + "/2-1.4:1.0/host6/target6:0:0/6:0:0:0";
  sysfs.Write(usb + "/serial", "0019E06B1234\n");
  sysfs.Write("devices/pci0000:00/0000:00:14.0/usb2/2-1/serial", "HUB-SERIAL\n");
  sysfs.Write(disk + "/vendor", "Kingston\n");
  sysfs.Write(disk + "/model", "DataTraveler 3.0\n");
  sysfs.Write(disk + "/block/sdb/removable", "1\n");
  sysfs.Write(disk + "/block/sdb/size", "30277632\n");
  fs::create_directory_symlink(sysfs.path() / disk, sysfs.path() / disk / "block/sdb/device");
  fs::create_directories(sysfs.path() / "block");
  fs::create_directory_symlink(sysfs.path() / disk / "block/sdb", sysfs.path() / "block/sdb");
  AddDisk("sda", false);  // the system disk is no candidate

  SgioOptions options;
  options.sysfsRoot = (sysfs.path() / "block").string();
  options.devRoot = "/devx";
  const std::vector<SgioCandidate> list = ListSgioCandidates(options);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].letter, 'C');
  EXPECT_EQ(list[0].node, "/devx/sdb");
  EXPECT_EQ(list[0].vendor, "Kingston");
  EXPECT_EQ(list[0].model, "DataTraveler 3.0");
  EXPECT_EQ(list[0].serial, "0019E06B1234") << "the stick's own serial, not its hub's";
  EXPECT_EQ(list[0].sizeBytes, 30277632ull * 512);
  EXPECT_TRUE(list[0].removable);
  EXPECT_EQ(list[0].usbPath, "2-1.4") << "the stick, not its hub or its interface";
}

// A stick plugged in during a run takes a name before the others; the
// letters of the run must stay on the drives they were given to.
TEST_F(SysfsTest, LettersAreTakenOnceForTheRun) {
  AddDisk("sdc", true);
  sysfs.Write("dev/sdc", "");
  SgioOptions options;
  options.sysfsRoot = (sysfs.path() / "block").string();
  options.devRoot = (sysfs.path() / "dev").string();
  SgioVolumes volumes(options);
  AddDisk("sdb", true);  // sdb's node does not exist: opening it would fail
  EXPECT_EQ(SgioVolumes(options).Volumes().at('C'), options.devRoot + "/sdb");
  EXPECT_EQ(volumes.Volumes().at('C'), options.devRoot + "/sdc");
  EXPECT_NE(volumes.Open('C'), nullptr);
}

struct NodeCase {
  const char* name;
  const char* link;    // made under by-id, pointing here; empty: none
  const char* asked;   // the path asked about, under the folder
  const char* answer;  // under the folder; empty: the path as asked
};

class ResolveNode : public ::testing::TestWithParam<NodeCase> {};

TEST_P(ResolveNode, FollowsLinksToTheNode) {
  TempFolder dev;
  dev.Write("sdb", "");
  std::filesystem::create_directories(dev.path() / "disk/by-id");
  if (*GetParam().link != '\0') {
    std::filesystem::create_symlink(GetParam().link, dev.path() / "disk/by-id/usb-stick");
  }
  const std::string asked = (dev.path() / GetParam().asked).string();
  const std::string expected =
      *GetParam().answer == '\0' ? asked : (dev.path() / GetParam().answer).string();
  EXPECT_EQ(ResolveDeviceNode(asked), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ResolveNode,
    ::testing::Values(NodeCase{"ByIdLink", "../../sdb", "disk/by-id/usb-stick", "sdb"},
                      NodeCase{"Node", "", "sdb", ""},
                      // A stick that is gone leaves a link to nothing: kept as
                      // given, so opening it fails and the letter stays empty.
                      NodeCase{"DanglingLink", "../../sdz", "disk/by-id/usb-stick", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParseVolumeMappingTest, AcceptsLetterEqualsPathOnly) {
  std::map<char, std::string> map;
  EXPECT_TRUE(ParseVolumeMapping("E=/dev/sdb", map));
  EXPECT_FALSE(ParseVolumeMapping("E:/dev/sdb", map));
  EXPECT_FALSE(ParseVolumeMapping("E=", map));
  EXPECT_FALSE(ParseVolumeMapping("1=/dev/sdb", map));
  EXPECT_EQ(map, (std::map<char, std::string>{{'E', "/dev/sdb"}}));
}

}  // namespace
}  // namespace kestrune::device
