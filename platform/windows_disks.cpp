#include "platform/windows_disks.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>

namespace kestrune::platform {

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view start) {
  return text.size() >= start.size() &&
         std::equal(start.begin(), start.end(), text.begin(), [](char a, char b) {
           return std::toupper(static_cast<unsigned char>(a)) ==
                  std::toupper(static_cast<unsigned char>(b));
         });
}

// The USB device a disk hangs from: the nearest parent of the USB bus that
// is no hub's root.
const WindowsDevice* UsbDeviceOf(const WindowsDisk& disk) {
  for (const WindowsDevice& parent : disk.parents) {
    if (StartsWithNoCase(parent.instanceId, "USB\\") &&
        !StartsWithNoCase(parent.instanceId, "USB\\ROOT_HUB")) {
      return &parent;
    }
  }
  return nullptr;
}

bool OverUsb(const WindowsDisk& disk) {
  return StartsWithNoCase(disk.disk.instanceId, "USBSTOR\\") ||
         StartsWithNoCase(disk.disk.instanceId, "UASPSTOR\\") ||
         disk.busType == kWindowsBusUsb;
}

// The hub chain from the addresses of the USB devices up to the root: the
// port of each on the hub above it, the root's first.
std::string PortOfAddresses(const WindowsDisk& disk) {
  const WindowsDevice* usb = UsbDeviceOf(disk);
  std::vector<uint32_t> chain;
  bool below = false;
  for (const WindowsDevice& parent : disk.parents) {
    if (&parent == usb) below = true;
    if (!below) continue;
    if (StartsWithNoCase(parent.instanceId, "USB\\ROOT_HUB")) break;
    if (!StartsWithNoCase(parent.instanceId, "USB\\") || !parent.address) return {};
    chain.push_back(*parent.address);
  }
  std::string port;
  for (auto at = chain.rbegin(); at != chain.rend(); ++at) {
    port += (port.empty() ? "" : ".") + std::to_string(*at);
  }
  return port;
}

std::string PortOf(const WindowsDisk& disk) {
  if (const WindowsDevice* usb = UsbDeviceOf(disk)) {
    for (const std::string& path : usb->locationPaths) {
      if (std::string port = PortOfLocationPath(path); !port.empty()) return port;
    }
  }
  return PortOfAddresses(disk);
}

std::string Trimmed(const std::string& text) { return BoundedDriveText(text); }

std::string VolumeNode(char letter) { return std::string("\\\\.\\") + letter + ":"; }

}  // namespace

std::string SerialOfInstanceId(std::string_view instanceId) {
  const size_t cut = instanceId.rfind('\\');
  if (cut == std::string_view::npos) return {};
  const std::string_view last = instanceId.substr(cut + 1);
  if (last.empty() || last.find('&') != std::string_view::npos) return {};
  return BoundedDriveText(last);
}

std::string PortOfLocationPath(std::string_view path) {
  size_t at = 0;
  for (size_t found; (found = path.find("USBROOT(", at)) != std::string_view::npos;) {
    at = found + 1;
  }
  if (at == 0) return {};
  std::string port;
  for (size_t found; (found = path.find("#USB(", at)) != std::string_view::npos;) {
    const size_t open = found + 5;
    const size_t close = path.find(')', open);
    const std::string_view number = path.substr(open, close - open);
    if (close == std::string_view::npos || number.empty() || number.size() > 3 ||
        !std::all_of(number.begin(), number.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
      return {};
    }
    port += (port.empty() ? "" : ".") + std::string(number);
    at = close;
  }
  return port;
}

std::vector<WindowsListedDisk> ListWindowsDisks(const WindowsDiskAnswers& answers) {
  // A number and partition that two letters give ties neither (Wine
  // answers 7/1/1 for every letter).
  std::map<std::array<uint32_t, 3>, int> givenBy;
  for (const WindowsLetter& letter : answers.letters) {
    if (letter.number) ++givenBy[*letter.number];
  }
  const auto letterOf = [&givenBy, &answers](uint32_t deviceNumber) {
    char first = 0;
    for (const WindowsLetter& letter : answers.letters) {
      if (!letter.number || (*letter.number)[0] != kWindowsDiskDeviceType ||
          (*letter.number)[1] != deviceNumber || givenBy[*letter.number] != 1) {
        continue;
      }
      if (first == 0 || letter.letter < first) first = letter.letter;
    }
    return first;
  };

  std::vector<WindowsListedDisk> listed;
  if (answers.disks.empty()) {
    for (const WindowsLetter& letter : answers.letters) {
      if (letter.driveType != kWindowsDriveRemovable ||
          !std::isalpha(static_cast<unsigned char>(letter.letter))) {
        continue;
      }
      WindowsListedDisk row;
      row.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter.letter)));
      row.node = VolumeNode(row.letter);
      row.sizeBytes = letter.sizeBytes;
      row.removable = true;
      listed.push_back(std::move(row));
    }
    std::sort(listed.begin(), listed.end(),
              [](const auto& a, const auto& b) { return a.letter < b.letter; });
    return listed;
  }

  // How many disks each USB device carries: a reader of several cards is
  // no flash drive.
  std::map<std::string, int> disksOf;
  for (const WindowsDisk& disk : answers.disks) {
    if (const WindowsDevice* usb = UsbDeviceOf(disk)) ++disksOf[usb->instanceId];
  }
  for (const WindowsDisk& disk : answers.disks) {
    const WindowsDevice* usb = UsbDeviceOf(disk);
    if (!OverUsb(disk) || disk.sizeBytes == 0 || (usb != nullptr && disksOf[usb->instanceId] > 1)) {
      continue;
    }
    WindowsListedDisk row;
    row.letter = disk.deviceNumber ? letterOf(*disk.deviceNumber) : 0;
    if (disk.deviceNumber) {
      row.node = "\\\\.\\PhysicalDrive" + std::to_string(*disk.deviceNumber);
    } else if (row.letter != 0) {
      row.node = VolumeNode(row.letter);
    } else {
      continue;
    }
    row.vendor = Trimmed(disk.vendor);
    row.model = Trimmed(disk.product);
    row.serial = usb != nullptr ? SerialOfInstanceId(usb->instanceId) : std::string();
    row.sizeBytes = disk.sizeBytes;
    row.removable = disk.removableMedia;
    row.port = PortOf(disk);
    row.instanceId = disk.disk.instanceId;
    for (const WindowsDevice& parent : disk.parents) row.parents.push_back(parent.instanceId);
    if (usb != nullptr) row.locationPaths = usb->locationPaths;
    listed.push_back(std::move(row));
  }
  return listed;
}

std::vector<DriveEvent> ListingChanges(const std::vector<WindowsListedDisk>& before,
                                       const std::vector<WindowsListedDisk>& after) {
  const auto keyOf = [](const WindowsListedDisk& disk) {
    return disk.port.empty() ? disk.node : "port " + disk.port;
  };
  const auto same = [](const WindowsListedDisk& a, const WindowsListedDisk& b) {
    return a.node == b.node && a.serial == b.serial && a.letter == b.letter &&
           a.instanceId == b.instanceId;
  };
  const auto find = [&](const std::vector<WindowsListedDisk>& list, const std::string& key) {
    return std::find_if(list.begin(), list.end(),
                        [&](const WindowsListedDisk& d) { return keyOf(d) == key; });
  };
  std::vector<DriveEvent> events;
  for (const WindowsListedDisk& was : before) {
    const auto now = find(after, keyOf(was));
    if (now != after.end() && same(was, *now)) continue;
    DriveEvent pulled;
    pulled.kind = DriveEvent::Kind::kRemoved;
    pulled.node = was.node;
    pulled.hostName = keyOf(was);
    pulled.letter = was.letter;
    events.push_back(std::move(pulled));
  }
  for (const WindowsListedDisk& is : after) {
    const auto was = find(before, keyOf(is));
    if (was != before.end() && same(*was, is)) continue;
    DriveEvent plugged;
    plugged.node = is.node;
    plugged.hostName = keyOf(is);
    plugged.serial = is.serial;
    plugged.model = is.model;
    plugged.port = is.port;
    plugged.letter = is.letter;
    events.push_back(std::move(plugged));
  }
  return events;
}

}  // namespace kestrune::platform
