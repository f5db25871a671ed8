# 32-bit Windows with MinGW-w64. Built and linked only: the build machines'
# kernels do not run 32-bit code, so there is no emulator.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KESTRUNE_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
