# The distribution's hardening flags for the Linux program, taken from
# dpkg-buildflags as Debian builds its own packages: fortified libc calls,
# the stack protector, format checks, relocations made read-only and bound
# at start (RELRO with BIND_NOW), and a position-independent executable.
# The program runs as root and writes firmware into drives.
#
# Set KESTRUNE_HARDEN=ON (the package preset does). The build type still
# chooses the optimisation: its flags come after these.
option(KESTRUNE_HARDEN "Build with the hardening flags of dpkg-buildflags (Linux)" OFF)

if(KESTRUNE_HARDEN AND NOT WIN32)
  find_program(KESTRUNE_DPKG_BUILDFLAGS dpkg-buildflags)
  if(NOT KESTRUNE_DPKG_BUILDFLAGS)
    message(FATAL_ERROR "dpkg-buildflags not found (package dpkg-dev); run tools/setup.sh")
  endif()
  foreach(kind CPPFLAGS CFLAGS CXXFLAGS LDFLAGS)
    # Run from the source folder, so that its file-prefix map names it.
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
              ${KESTRUNE_DPKG_BUILDFLAGS} --get ${kind}
      WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
      OUTPUT_VARIABLE hardening_${kind}
      OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
  string(APPEND CMAKE_C_FLAGS " ${hardening_CPPFLAGS} ${hardening_CFLAGS}")
  string(APPEND CMAKE_CXX_FLAGS " ${hardening_CPPFLAGS} ${hardening_CXXFLAGS}")
  string(APPEND CMAKE_EXE_LINKER_FLAGS " ${hardening_LDFLAGS}")
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  include(CheckPIESupported)
  check_pie_supported()
  message(STATUS "Hardening flags: ${hardening_CPPFLAGS} ${hardening_CXXFLAGS} ${hardening_LDFLAGS}")
endif()
