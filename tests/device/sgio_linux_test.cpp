#include "device/sgio_linux.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>

#include <sys/stat.h>
#include <sys/sysmacros.h>

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
  auto transport = SgioVolumes(options).Open('E').transport;
  ASSERT_NE(transport, nullptr);
  uint8_t cdb[6] = {0x12, 0, 0, 0, 36, 0};
  uint8_t data[36];
  std::fill(std::begin(data), std::end(data), 0x77);
  Request request{cdb, 6, Carrier::kIn, 36, 20, data};
  EXPECT_EQ(transport->Execute(request).outcome, Outcome::kOsError);
  EXPECT_EQ(data[0], 0x77);
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

// Two runs on one node: the second is told the drive is held, not that it
// is missing, and gets it once the first run has ended.
TEST_F(SysfsTest, ANodeOneRunOpenedIsHeldFromAnotherUntilThatRunEnds) {
  sysfs.Write("node", "");
  SgioOptions options;
  options.explicitMap['E'] = (sysfs.path() / "node").string();
  options.explicitMap['F'] = (sysfs.path() / "no-such-node").string();
  auto first = std::make_unique<SgioVolumes>(options);
  SgioVolumes second(options);
  ASSERT_NE(first->Open('E'), nullptr);
  // The lock outlives the volume: closed, it is still the first run's.
  EXPECT_NE(first->Open('e'), nullptr);
  const OpenResult held = second.Open('e');
  EXPECT_EQ(held, nullptr);
  EXPECT_EQ(held.holder, options.explicitMap['E']);
  const OpenResult missing = second.Open('F');
  EXPECT_EQ(missing, nullptr);
  EXPECT_EQ(missing.holder, "");
  first.reset();
  const OpenResult opened = second.Open('E');
  EXPECT_NE(opened, nullptr);
  EXPECT_EQ(opened.holder, "");
}

// One drive has two nodes, its disk and its SCSI generic node: a run on
// either holds it from a run on the other. A generic node without a disk
// stands for itself.
TEST_F(SysfsTest, ADiskAndItsGenericNodeAreOneDriveToTheLocks) {
  for (const char* node : {"dev/sdb", "dev/sg1", "dev/sg2"}) sysfs.Write(node, "");
  std::filesystem::create_directories(sysfs.path() / "class/sg1/device/block/sdb");
  const std::string dev = (sysfs.path() / "dev").string();
  SgioOptions options;
  options.genericRoot = (sysfs.path() / "class").string();
  options.explicitMap = {{'E', dev + "/sg1"}, {'F', dev + "/sg2"}};
  SgioVolumes first(options);
  ASSERT_NE(first.Open('E'), nullptr);
  options.explicitMap = {{'E', dev + "/sdb"}, {'F', dev + "/sg2"}};
  SgioVolumes second(options);
  const OpenResult held = second.Open('E');
  EXPECT_EQ(held, nullptr);
  EXPECT_EQ(held.holder, dev + "/sdb");
  EXPECT_NE(second.Open('F'), nullptr);
  EXPECT_EQ(LockNodeFor(dev + "/sg1", options.genericRoot), dev + "/sdb");
  EXPECT_EQ(LockNodeFor(dev + "/sg2", options.genericRoot), dev + "/sg2");
}

// A partition is its disk: sdb1, or a by-id "-part1" link to it, is sdb,
// found through sysfs where the partition's entry lies inside its disk's.
// Every open goes to the disk and takes its lock, so a run on the
// partition holds the drive from a run on the disk. A partition whose disk
// has no node is refused; a name sysfs does not list stands for itself.
struct PartitionCase {
  const char* given;
  const char* node;  // "": refused
};

class PartitionNode : public SysfsTest, public ::testing::WithParamInterface<PartitionCase> {
 protected:
  void SetUp() override {
    root = std::filesystem::canonical(sysfs.path());
    const std::filesystem::path block = root / "devices/usb1/1-1/host6/block";
    for (const char* partition : {"sdb/sdb1", "sdc/sdc1"}) {
      sysfs.Write("devices/usb1/1-1/host6/block/" + std::string(partition) + "/partition", "1\n");
    }
    std::filesystem::create_directories(root / "class/block");
    for (const char* entry : {"sdb", "sdb/sdb1", "sdc/sdc1"}) {
      std::filesystem::create_directory_symlink(
          block / entry, root / "class/block" / std::filesystem::path(entry).filename());
    }
    for (const char* node : {"dev/sdb", "dev/sdb1", "dev/sdc1", "dev/sg1"}) sysfs.Write(node, "");
    std::filesystem::create_directories(root / "dev/disk/by-id");
    std::filesystem::create_symlink("../../sdb1", root / "dev/disk/by-id/usb-KSTRUNE-0:0-part1");
  }
  std::filesystem::path root;
};

TEST_P(PartitionNode, StandsForItsWholeDisk) {
  const PartitionCase& c = GetParam();
  const std::string given = (root / c.given).string();
  const std::string node = *c.node != '\0' ? (root / c.node).string() : "";
  std::string problem;
  EXPECT_EQ(WholeDiskNode(given, problem, (root / "class/block").string()), node);
  EXPECT_EQ(problem.empty(), !node.empty()) << problem;

  SgioOptions options;
  options.classBlockRoot = (root / "class/block").string();
  options.explicitMap = {{'E', given}};
  SgioVolumes first(options);
  if (node.empty()) {
    EXPECT_NE(problem.find(given), std::string::npos) << problem;
    EXPECT_EQ(first.Open('E'), nullptr);
    return;
  }
  ASSERT_NE(first.Open('E'), nullptr);
  options.explicitMap = {{'E', node}};
  SgioVolumes second(options);
  const OpenResult held = second.Open('E');
  EXPECT_EQ(held, nullptr);
  EXPECT_EQ(held.holder, node);
}

INSTANTIATE_TEST_SUITE_P(
    Nodes, PartitionNode,
    ::testing::Values(PartitionCase{"dev/sdb", "dev/sdb"}, PartitionCase{"dev/sdb1", "dev/sdb"},
                      PartitionCase{"dev/disk/by-id/usb-KSTRUNE-0:0-part1", "dev/sdb"},
                      PartitionCase{"dev/sdc1", ""}, PartitionCase{"dev/sg1", "dev/sg1"}));

// While the kernel reads a partition table again, sysfs has no entry for the
// partition, but its node may still be there: the device number alone tells
// that sdb1 (8:17) is a partition of sdb (8:16), whatever sysfs shows.
TEST_F(PartitionNode, IsToldByItsDeviceNumberWhileSysfsHasNoEntry) {
  const std::filesystem::path dev = root / "blockdev";
  std::filesystem::create_directories(dev);
  if (::mknod((dev / "sdx").c_str(), S_IFBLK | 0600, makedev(8, 16)) != 0 ||
      ::mknod((dev / "sdx1").c_str(), S_IFBLK | 0600, makedev(8, 17)) != 0 ||
      ::mknod((dev / "lonely3").c_str(), S_IFBLK | 0600, makedev(8, 35)) != 0) {
    GTEST_SKIP() << "block nodes cannot be made here";
  }
  std::filesystem::create_symlink("sdx1", dev / "usb-KSTRUNE-0:0-part1");
  std::string problem;
  const std::string noSysfs = (root / "nothing").string();
  EXPECT_EQ(WholeDiskNode((dev / "usb-KSTRUNE-0:0-part1").string(), problem, noSysfs),
            (dev / "sdx").string());
  EXPECT_EQ(WholeDiskNode((dev / "sdx").string(), problem, noSysfs), (dev / "sdx").string());
  EXPECT_TRUE(problem.empty()) << problem;
  EXPECT_EQ(WholeDiskNode((dev / "lonely3").string(), problem, noSysfs), "");
  EXPECT_NE(problem.find("lonely3"), std::string::npos) << problem;
}

// Backups are told apart by the stick's serial: it is the serial of the
// USB device that carries the disk, whatever node names the disk, never a
// hub's on the way; none where the stick gives none or is not on USB.
// A disk's commands go through its SCSI generic node, whose SG_IO keeps
// each command's own timeout; the disk node still takes the lock. Here the
// disk node is a folder, which opens for a lock but never for commands, so
// only a transport over the generic node can open.
TEST_F(SysfsTest, ADiskIsSentToThroughItsGenericNode) {
  namespace fs = std::filesystem;
  const fs::path root = sysfs.path();
  fs::create_directories(root / "dev/sdb");
  fs::create_directories(root / "dev/sdc");
  sysfs.Write("dev/sg1", "");
  fs::create_directories(root / "class/block/sdb/device/scsi_generic/sg1");
  fs::create_directories(root / "class/block/sdc/device/scsi_generic/sg7");  // no node
  const std::string dev = (root / "dev").string();
  EXPECT_EQ(GenericNodeOf(dev + "/sdb", (root / "class/block").string()), dev + "/sg1");
  EXPECT_EQ(GenericNodeOf(dev + "/sdc", (root / "class/block").string()), "");
  EXPECT_EQ(GenericNodeOf(dev + "/sdd", (root / "class/block").string()), "");

  SgioOptions options;
  options.classBlockRoot = (root / "class/block").string();
  options.genericRoot = (root / "class/generic").string();
  options.explicitMap = {{'E', dev + "/sdb"}, {'F', dev + "/sdc"}};
  SgioVolumes first(options);
  EXPECT_NE(first.Open('E'), nullptr);
  EXPECT_EQ(first.Open('F'), nullptr);
  // The lock is the disk node's, as a run naming either node takes it.
  options.explicitMap = {{'E', dev + "/sdb"}};
  SgioVolumes second(options);
  const OpenResult held = second.Open('E');
  EXPECT_EQ(held, nullptr);
  EXPECT_EQ(held.holder, dev + "/sdb");
}

TEST_F(SysfsTest, TheSerialOfANodeIsItsSticksOwn) {
  namespace fs = std::filesystem;
  const fs::path root = sysfs.path();
  const fs::path hub = root / "devices/usb1/1-1";
  const fs::path scsi = hub / "1-1.2/1-1.2:1.0/host0/target0/0:0:0:0";
  const fs::path bare = root / "devices/usb1/1-3/1-3:1.0/host1/target1/1:0:0:0";
  const fs::path internal = root / "devices/pci0/ata1/host2/target2/2:0:0:0";
  sysfs.Write("devices/usb1/1-1/serial", "HUB\n");
  sysfs.Write("devices/usb1/1-1/1-1.2/serial", "SN-STICK  \n");
  for (const fs::path& device : {scsi, bare, internal}) fs::create_directories(device / "block");
  fs::create_directories(scsi / "block/sdb/sdb1");
  fs::create_directories(scsi / "scsi_generic/sg1");
  fs::create_directories(root / "class/block");
  fs::create_directories(root / "class/generic");
  const auto disk = [&](const std::string& name, const fs::path& device) {
    fs::create_directories(device / "block" / name);
    fs::create_directory_symlink(device / "block" / name, root / "class/block" / name);
    fs::create_directory_symlink(device, device / "block" / name / "device");
  };
  disk("sdb", scsi);
  disk("sdc", bare);
  disk("sda", internal);
  fs::create_directory_symlink(scsi / "block/sdb/sdb1", root / "class/block/sdb1");
  fs::create_directory_symlink(scsi / "scsi_generic/sg1", root / "class/generic/sg1");
  fs::create_directory_symlink(scsi, scsi / "scsi_generic/sg1/device");

  SgioOptions options;
  options.classBlockRoot = (root / "class/block").string();
  options.genericRoot = (root / "class/generic").string();
  options.explicitMap = {{'E', "/dev/sdb"}, {'F', "/dev/sdb1"}, {'G', "/dev/sg1"},
                         {'H', "/dev/sdc"}, {'I', "/dev/sda"},  {'J', "/dev/sdz"}};
  const SgioVolumes volumes(options);
  const std::map<char, std::string> expected = {
      {'E', "SN-STICK"}, {'F', "SN-STICK"}, {'G', "SN-STICK"}, {'H', ""}, {'I', ""}, {'J', ""}};
  for (const auto& [letter, serial] : expected) {
    EXPECT_EQ(volumes.UsbSerial(letter), serial) << letter;
  }
  EXPECT_EQ(volumes.UsbSerial('K'), "");
}

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
