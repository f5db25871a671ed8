# 64-bit Windows with MinGW-w64; test programs run under Wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KESTRUNE_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)

# The wrapper keeps its Wine prefix inside the build folder it runs from.
get_filename_component(CMAKE_CROSSCOMPILING_EMULATOR
                       ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run.sh ABSOLUTE)
