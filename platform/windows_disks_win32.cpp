// What Windows says of its disks and letters, asked without opening any
// disk for reading: SetupAPI lists the disk interfaces, the configuration
// manager walks each disk's parents, and DeviceIoControl on handles opened
// for no access gives device numbers and storage descriptors.
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>
#include <winioctl.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/disk_interface_win32.h"
#include "platform/windows_disks.h"

namespace kestrune::platform {

namespace {

// The location paths property.
const DEVPROPKEY kLocationPaths = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 37};

// How far up the tree a disk's parents are asked: a stick behind five hubs
// is still within it.
constexpr int kParentLimit = 12;

std::string Narrow(const wchar_t* text, size_t length) {
  if (length == 0) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                         nullptr, nullptr);
  if (size <= 0) return {};
  std::string narrow(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), narrow.data(), size, nullptr,
                        nullptr);
  return narrow;
}

struct Handle {
  explicit Handle(HANDLE h) : handle(h) {}
  ~Handle() {
    if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE handle;
};

// Opened for no access: enough to ask, never enough to read or write.
HANDLE OpenToAsk(const std::wstring& path) {
  return ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

std::optional<std::array<uint32_t, 3>> DeviceNumberOf(HANDLE handle) {
  STORAGE_DEVICE_NUMBER number{};
  DWORD returned = 0;
  if (!::DeviceIoControl(handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                         sizeof number, &returned, nullptr) ||
      returned < sizeof number) {
    return std::nullopt;
  }
  return std::array<uint32_t, 3>{static_cast<uint32_t>(number.DeviceType),
                                 static_cast<uint32_t>(number.DeviceNumber),
                                 static_cast<uint32_t>(number.PartitionNumber)};
}

// A text of the descriptor at `offset`, within what was returned.
std::string DescriptorText(const std::vector<BYTE>& room, DWORD returned, DWORD offset) {
  if (offset == 0 || offset >= returned) return {};
  const char* start = reinterpret_cast<const char*>(room.data()) + offset;
  return BoundedDriveText(std::string(start, strnlen(start, returned - offset)));
}

void AskStorage(HANDLE handle, WindowsDisk& disk) {
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  std::vector<BYTE> room(1024);
  DWORD returned = 0;
  if (::DeviceIoControl(handle, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, room.data(),
                        static_cast<DWORD>(room.size()), &returned, nullptr) &&
      returned >= sizeof(STORAGE_DEVICE_DESCRIPTOR) && returned <= room.size()) {
    STORAGE_DEVICE_DESCRIPTOR descriptor;
    std::memcpy(&descriptor, room.data(), sizeof descriptor);
    disk.removableMedia = descriptor.RemovableMedia != FALSE;
    disk.busType = static_cast<uint32_t>(descriptor.BusType);
    disk.vendor = DescriptorText(room, returned, descriptor.VendorIdOffset);
    disk.product = DescriptorText(room, returned, descriptor.ProductIdOffset);
  }
  DISK_GEOMETRY_EX geometry{};
  if (::DeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geometry,
                        sizeof geometry, &returned, nullptr) &&
      returned >= offsetof(DISK_GEOMETRY_EX, DiskSize) + sizeof geometry.DiskSize &&
      geometry.DiskSize.QuadPart > 0) {
    disk.sizeBytes = static_cast<uint64_t>(geometry.DiskSize.QuadPart);
  }
}

WindowsDevice DeviceOf(DEVINST node) {
  WindowsDevice device;
  wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
  if (::CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS) {
    device.instanceId = Narrow(id, wcsnlen(id, MAX_DEVICE_ID_LEN));
  }
  DEVPROPTYPE type = 0;
  ULONG size = 0;
  if (::CM_Get_DevNode_PropertyW(node, &kLocationPaths, &type, nullptr, &size, 0) ==
          CR_BUFFER_SMALL &&
      type == DEVPROP_TYPE_STRING_LIST && size > 0 && size < 65536) {
    std::vector<wchar_t> paths(size / sizeof(wchar_t) + 2, L'\0');
    if (::CM_Get_DevNode_PropertyW(node, &kLocationPaths, &type,
                                   reinterpret_cast<PBYTE>(paths.data()), &size,
                                   0) == CR_SUCCESS) {
      // A list of texts, each ended by a NUL, the list by another.
      for (size_t at = 0; at < paths.size() && paths[at] != L'\0';) {
        const size_t length = wcsnlen(&paths[at], paths.size() - at);
        device.locationPaths.push_back(Narrow(&paths[at], length));
        at += length + 1;
      }
    }
  }
  DWORD address = 0;
  ULONG addressSize = sizeof address;
  if (::CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_ADDRESS, nullptr, &address, &addressSize,
                                          0) == CR_SUCCESS &&
      addressSize == sizeof address) {
    device.address = address;
  }
  return device;
}

void AskLetters(WindowsDiskAnswers& answers) {
  const DWORD present = ::GetLogicalDrives();
  for (int i = 0; i < 26; ++i) {
    if ((present & (DWORD{1} << i)) == 0) continue;
    WindowsLetter letter;
    letter.letter = static_cast<char>('A' + i);
    const std::string root = std::string(1, letter.letter) + ":\\";
    letter.driveType = ::GetDriveTypeA(root.c_str());
    ULARGE_INTEGER total{};
    if (::GetDiskFreeSpaceExA(root.c_str(), nullptr, &total, nullptr)) {
      letter.sizeBytes = total.QuadPart;
    }
    const Handle volume(OpenToAsk(std::wstring(L"\\\\.\\") + static_cast<wchar_t>(L'A' + i) + L":"));
    if (volume.handle != INVALID_HANDLE_VALUE) letter.number = DeviceNumberOf(volume.handle);
    answers.letters.push_back(letter);
  }
}

}  // namespace

bool AskWindowsDisks(WindowsDiskAnswers& answers, std::string& problem) {
  answers = {};
  AskLetters(answers);
  HDEVINFO set =
      ::SetupDiGetClassDevsW(&kDiskInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) {
    problem = "Windows lists no disks (SetupDiGetClassDevs failed, error " +
              std::to_string(::GetLastError()) + ")";
    return false;
  }
  const std::unique_ptr<void, decltype(&::SetupDiDestroyDeviceInfoList)> owned(
      set, &::SetupDiDestroyDeviceInfoList);
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA entry{};
    entry.cbSize = sizeof entry;
    if (!::SetupDiEnumDeviceInterfaces(set, nullptr, &kDiskInterface, index, &entry)) break;
    DWORD needed = 0;
    ::SetupDiGetDeviceInterfaceDetailW(set, &entry, nullptr, 0, &needed, nullptr);
    if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) || needed > 65536) continue;
    std::vector<BYTE> room(needed + sizeof(wchar_t));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(room.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    if (!::SetupDiGetDeviceInterfaceDetailW(set, &entry, detail, needed, nullptr, &info)) continue;

    WindowsDisk disk;
    disk.disk = DeviceOf(info.DevInst);
    DEVINST node = info.DevInst;
    for (int up = 0; up < kParentLimit; ++up) {
      DEVINST parent = 0;
      if (::CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) break;
      disk.parents.push_back(DeviceOf(parent));
      node = parent;
    }
    const Handle handle(OpenToAsk(detail->DevicePath));
    if (handle.handle != INVALID_HANDLE_VALUE) {
      if (const auto number = DeviceNumberOf(handle.handle)) disk.deviceNumber = (*number)[1];
      AskStorage(handle.handle, disk);
    }
    answers.disks.push_back(std::move(disk));
  }
  return true;
}

}  // namespace kestrune::platform
