// Defines a drive letter in a running Wine, as plugging a stick in does:
// its mount point (a folder) and its device (the plain file the preload
// library answers pass-through on), typed removable. Wine's mount manager
// takes this request; Windows has no such one.
//
//   wine_define_drive.exe <letter> <unix folder> <unix device file>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Wine's mount manager extension, as Wine defines it.
struct UnixDrive {
  ULONG size;
  ULONG type;
  ULONG fsType;
  DWORD serial;
  ULONGLONG unixDevice;
  WCHAR letter;
  USHORT mountPointOffset;
  USHORT deviceOffset;
  USHORT labelOffset;
};
constexpr DWORD kDefineUnixDrive = (0x6D << 16) | (3 << 14) | (32 << 2);

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || std::strlen(argv[1]) != 1) {
    std::fprintf(stderr, "usage: wine_define_drive <letter> <folder> <device file>\n");
    return 2;
  }
  const size_t folder = std::strlen(argv[2]) + 1;
  const size_t device = std::strlen(argv[3]) + 1;
  std::vector<char> room(sizeof(UnixDrive) + folder + device);
  UnixDrive drive{};
  drive.size = static_cast<ULONG>(room.size());
  drive.type = DRIVE_REMOVABLE;
  drive.letter = static_cast<WCHAR>(argv[1][0] | 0x20);
  drive.mountPointOffset = static_cast<USHORT>(sizeof drive);
  drive.deviceOffset = static_cast<USHORT>(sizeof drive + folder);
  std::memcpy(room.data(), &drive, sizeof drive);
  std::memcpy(room.data() + drive.mountPointOffset, argv[2], folder);
  std::memcpy(room.data() + drive.deviceOffset, argv[3], device);
  HANDLE manager = ::CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
  if (manager == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "no mount manager (error %lu)\n", ::GetLastError());
    return 1;
  }
  DWORD returned = 0;
  const BOOL ok = ::DeviceIoControl(manager, kDefineUnixDrive, room.data(),
                                    static_cast<DWORD>(room.size()), nullptr, 0, &returned, nullptr);
  const DWORD error = ::GetLastError();
  ::CloseHandle(manager);
  if (!ok) {
    std::fprintf(stderr, "the mount manager refused %s: (error %lu)\n", argv[1], error);
    return 1;
  }
  return 0;
}
