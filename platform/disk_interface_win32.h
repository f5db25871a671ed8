// The device interface class of disks, which the listing of disks and the
// watch for their arrival both name.
#pragma once

#include <windows.h>

namespace kestrune::platform {

inline constexpr GUID kDiskInterface = {
    0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

}  // namespace kestrune::platform
