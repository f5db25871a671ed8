// The disks of a Windows host as Windows answers for them, kept as plain
// data: the rows `list`, --all and watch are made of come from these
// answers by the same code on every host, so a bench's answers (list
// --json carries them) can be replayed where there is no Windows.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/drive_watch.h"

namespace kestrune::platform {

// One device of the tree: its instance id and, where Windows gives them,
// its location paths and its address on the hub above it.
struct WindowsDevice {
  std::string instanceId;                  // "USB\\VID_090C&PID_1000\\0019E06B1234"
  std::vector<std::string> locationPaths;  // "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(4)"
  std::optional<uint32_t> address;         // CM_DRP_ADDRESS
};

// A disk, and the devices above it, nearest first: the USB device that
// carries it, then its hubs, up to the host controller.
struct WindowsDisk {
  WindowsDevice disk;
  std::vector<WindowsDevice> parents;
  std::optional<uint32_t> deviceNumber;  // IOCTL_STORAGE_GET_DEVICE_NUMBER
  bool removableMedia = false;           // the storage descriptor's
  std::optional<uint32_t> busType;       // STORAGE_BUS_TYPE; 7 is USB
  std::string vendor;
  std::string product;
  uint64_t sizeBytes = 0;
};

// A letter, as GetDriveType and the storage device number of its volume
// answer for it.
struct WindowsLetter {
  char letter = 0;
  uint32_t driveType = 0;  // 2 removable, 3 fixed, ...
  // Device type, device number and partition number; none where the
  // volume did not say.
  std::optional<std::array<uint32_t, 3>> number;
  uint64_t sizeBytes = 0;
};

struct WindowsDiskAnswers {
  std::vector<WindowsDisk> disks;
  std::vector<WindowsLetter> letters;
};

inline constexpr uint32_t kWindowsDriveRemovable = 2;
inline constexpr uint32_t kWindowsBusUsb = 7;
inline constexpr uint32_t kWindowsDiskDeviceType = 7;

// A disk that may be a flash drive, as `list` shows it.
struct WindowsListedDisk {
  // "\\\\.\\PhysicalDrive2", or "\\\\.\\E:" for a disk known by its letter
  // alone.
  std::string node;
  char letter = 0;
  std::string vendor;
  std::string model;
  std::string serial;
  uint64_t sizeBytes = 0;
  bool removable = false;
  // The hub chain of its USB port ("1.4"); empty where Windows gave none.
  std::string port;
  // The answers it was made of.
  std::string instanceId;
  std::vector<std::string> parents;
  std::vector<std::string> locationPaths;
};

// The disks that may be flash drives: those attached through USB mass
// storage (USBSTOR, UASPSTOR, or a USB bus), each alone on its USB device
// (a reader of several cards carries several) and holding a medium. A
// disk of another bus, fixed or not, is left out. Where Windows lists no
// disk at all (Wine has no device tree), the removable letters stand for
// the disks. A letter is tied to a disk by its device number only where
// no other letter gives the same number and partition.
std::vector<WindowsListedDisk> ListWindowsDisks(const WindowsDiskAnswers& answers);

// The serial a USB device's instance id carries ("USB\\VID_x&PID_y\\<serial>");
// empty where Windows made the last part up (it holds an '&') or there is
// none.
std::string SerialOfInstanceId(std::string_view instanceId);

// The hub chain of a location path ("...#USBROOT(0)#USB(1)#USB(4)" ->
// "1.4"); empty for a path that does not go through a USB root.
std::string PortOfLocationPath(std::string_view path);

// The sticks plugged in and pulled out between two listings, as the watch
// runs on them: a stick is keyed by its port where it has one, else by its
// node, so one plugged into the same port again is a pull and a plug.
std::vector<DriveEvent> ListingChanges(const std::vector<WindowsListedDisk>& before,
                                       const std::vector<WindowsListedDisk>& after);

// Asks Windows (SetupAPI, the configuration manager, DeviceIoControl with
// handles opened for no access). False with `problem` set where it cannot.
bool AskWindowsDisks(WindowsDiskAnswers& answers, std::string& problem);

}  // namespace kestrune::platform
