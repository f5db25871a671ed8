// The rows Windows' answers become, over recorded tables: what a bench
// with a hub, a card reader and Wine's empty device tree give.
#include "platform/windows_disks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrune::platform {
namespace {

WindowsDevice Usb(const std::string& id, std::vector<std::string> paths = {},
                  std::optional<uint32_t> address = std::nullopt) {
  return {id, std::move(paths), address};
}

const WindowsDevice kRootHub = Usb("USB\\ROOT_HUB30\\4&1A2B3C&0&0");

// A stick behind a hub on port 1, in the hub's port 4.
WindowsDisk StickBehindHub() {
  WindowsDisk disk;
  disk.disk.instanceId = "USBSTOR\\DISK&VEN_KSTRUNE&PROD_USB_DISK_163&REV_1.00\\0019E06B1234&0";
  disk.parents = {Usb("USB\\VID_090C&PID_1000\\0019E06B1234",
                      {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(4)"}, 4),
                  Usb("USB\\VID_05E3&PID_0608\\5&2C3D&0&1", {}, 1), kRootHub};
  disk.deviceNumber = 2;
  disk.removableMedia = true;
  disk.busType = kWindowsBusUsb;
  disk.vendor = "KSTRUNE ";
  disk.product = "USB DISK 163    ";
  disk.sizeBytes = 131072000;
  return disk;
}

// A stick without a serial in root port 2, whose port only its address gives.
WindowsDisk StickWithoutSerial() {
  WindowsDisk disk;
  disk.disk.instanceId = "USBSTOR\\DISK&VEN_KSTRUNE&PROD_USB_DISK_165&REV_1.00\\7&1F2E&0&0";
  disk.parents = {Usb("USB\\VID_1234&PID_5678\\5&2A3B&0&2", {}, 2), kRootHub};
  disk.deviceNumber = 3;
  disk.removableMedia = true;
  disk.sizeBytes = 65536000;
  return disk;
}

WindowsDiskAnswers Bench() {
  WindowsDiskAnswers answers;
  answers.disks = {StickBehindHub(), StickWithoutSerial()};
  // A reader of two cards: two disks on one USB device.
  for (const char* lun : {"&0", "&1"}) {
    WindowsDisk slot;
    slot.disk.instanceId = std::string("USBSTOR\\DISK&VEN_GENERIC&PROD_SD_MMC\\000000001") + lun;
    slot.parents = {Usb("USB\\VID_0BDA&PID_0158\\000000001", {}, 3), kRootHub};
    slot.deviceNumber = lun[1] == '0' ? 4 : 5;
    slot.removableMedia = true;
    slot.sizeBytes = 1u << 30;
    answers.disks.push_back(slot);
  }
  WindowsDisk fixed;
  fixed.disk.instanceId = "SCSI\\DISK&VEN_NVME&PROD_SAMSUNG\\5&1234&0&000000";
  fixed.deviceNumber = 0;
  fixed.busType = 17;
  fixed.sizeBytes = uint64_t{512} << 30;
  answers.disks.push_back(fixed);
  answers.letters = {{'C', 3, {{7, 0, 3}}, 0},
                     {'E', 2, {{7, 2, 1}}, 0},
                     {'G', 2, {{7, 3, 2}}, 0},
                     {'F', 2, {{7, 3, 1}}, 0}};
  return answers;
}

TEST(WindowsDisks, ABenchListsEachStickByItsPortAndSerial) {
  const std::vector<WindowsListedDisk> rows = ListWindowsDisks(Bench());
  ASSERT_EQ(rows.size(), 2u);  // the card reader and the fixed disk are left out
  EXPECT_EQ(rows[0].node, "\\\\.\\PhysicalDrive2");
  EXPECT_EQ(rows[0].letter, 'E');
  EXPECT_EQ(rows[0].port, "1.4");
  EXPECT_EQ(rows[0].serial, "0019E06B1234");
  EXPECT_EQ(rows[0].vendor, "KSTRUNE");
  EXPECT_EQ(rows[0].model, "USB DISK 163");
  EXPECT_EQ(rows[0].parents.size(), 3u);
  EXPECT_EQ(rows[0].locationPaths.size(), 1u);
  // Two volumes: the first letter names the disk.
  EXPECT_EQ(rows[1].letter, 'F');
  EXPECT_EQ(rows[1].port, "2");
  EXPECT_EQ(rows[1].serial, "");
}

// Wine has no device tree, and answers 7/1/1 for every letter: the
// removable letters stand for the disks, each on its own.
TEST(WindowsDisks, WithoutATreeTheRemovableLettersAreTheDisks) {
  WindowsDiskAnswers wine;
  wine.letters = {{'C', 3, {{7, 1, 1}}, 0},
                  {'D', 5, {{7, 1, 1}}, 0},
                  {'F', 2, {{7, 1, 1}}, 2048},
                  {'E', 2, {{7, 1, 1}}, 1024}};
  const std::vector<WindowsListedDisk> rows = ListWindowsDisks(wine);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].node, "\\\\.\\E:");
  EXPECT_EQ(rows[0].sizeBytes, 1024u);
  EXPECT_EQ(rows[1].node, "\\\\.\\F:");

  // Where a tree answers but every letter gives one number, no letter is
  // tied to a disk by it.
  WindowsDiskAnswers tree = Bench();
  for (WindowsLetter& letter : tree.letters) letter.number = {{7, 2, 1}};
  for (const WindowsListedDisk& row : ListWindowsDisks(tree)) EXPECT_EQ(row.letter, 0) << row.node;
}

TEST(WindowsDisks, InstanceIdsAndLocationPathsAreReadOrRefused) {
  const std::pair<const char*, const char*> serials[] = {
      {"USB\\VID_090C&PID_1000\\0019E06B1234", "0019E06B1234"},
      {"USB\\VID_090C&PID_1000\\5&2A3B&0&2", ""},  // made up by Windows
      {"USB\\VID_090C&PID_1000\\", ""},
      {"no separator", ""},
  };
  for (const auto& [id, serial] : serials) EXPECT_EQ(SerialOfInstanceId(id), serial) << id;
  const std::pair<const char*, const char*> ports[] = {
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(4)", "1.4"},
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(12)", "12"},
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USBMI(0)", "1"},
      {"PCIROOT(0)#PCI(1F02)#ATA(C0T0L0)", ""},
      {"PCIROOT(0)#USBROOT(0)#USB(1)#USB(x)", ""},
      {"PCIROOT(0)#USBROOT(0)#USB(1", ""},
  };
  for (const auto& [path, port] : ports) EXPECT_EQ(PortOfLocationPath(path), port) << path;
}

// Two listings a tick apart become the plugs and pulls the watch runs on.
TEST(WindowsDisks, ListingsTellPlugsAndPulls) {
  const std::vector<WindowsListedDisk> bench = ListWindowsDisks(Bench());
  const auto kinds = [](const std::vector<DriveEvent>& events) {
    std::string told;
    for (const DriveEvent& e : events) {
      told += (e.kind == DriveEvent::Kind::kAdded ? "+" : "-") + e.hostName + ";";
    }
    return told;
  };
  EXPECT_EQ(kinds(ListingChanges({}, bench)), "+port 1.4;+port 2;");
  EXPECT_EQ(kinds(ListingChanges(bench, {bench[1]})), "-port 1.4;");
  EXPECT_EQ(kinds(ListingChanges(bench, bench)), "");
  // Another stick in the same port between two ticks: a pull and a plug,
  // though no notification came.
  std::vector<WindowsListedDisk> swapped = bench;
  swapped[0].serial = "OTHER";
  swapped[0].instanceId += "X";
  const std::vector<DriveEvent> events = ListingChanges(bench, swapped);
  EXPECT_EQ(kinds(events), "-port 1.4;+port 1.4;");
  EXPECT_EQ(events[1].serial, "OTHER");
  EXPECT_EQ(events[1].letter, 'E');
  // Without ports, letters keyed by their nodes.
  WindowsDiskAnswers wine;
  wine.letters = {{'E', 2, std::nullopt, 0}};
  EXPECT_EQ(kinds(ListingChanges({}, ListWindowsDisks(wine))), "+\\\\.\\E:;");
}

}  // namespace
}  // namespace kestrune::platform
