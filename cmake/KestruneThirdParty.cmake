# Header-only libraries from the build machine's Debian packages, usable by
# native and cross builds alike.
#
# Natively the packages' own CMake configs are used. A cross build cannot add
# /usr/include to its search path (the C library headers there would shadow
# MinGW's), so the library's own header folder is copied into the build tree
# and offered as an imported interface target of the same name.

set(KESTRUNE_HOST_INCLUDE_DIR /usr/include CACHE PATH
    "Where the build machine keeps the header-only libraries")
set(KESTRUNE_HEADER_COPY_DIR ${CMAKE_BINARY_DIR}/host-headers)

# kestrune_header_only(<package> <target> <header folder> <probe header>)
function(kestrune_header_only package target folder probe)
  if(TARGET ${target})
    return()
  endif()
  if(NOT CMAKE_CROSSCOMPILING)
    find_package(${package} CONFIG QUIET)
    if(TARGET ${target})
      return()
    endif()
  endif()
  set(source ${KESTRUNE_HOST_INCLUDE_DIR}/${folder})
  if(NOT EXISTS ${source}/${probe})
    message(FATAL_ERROR "${package}: ${source}/${probe} not found; run tools/setup.sh")
  endif()
  file(COPY ${source} DESTINATION ${KESTRUNE_HEADER_COPY_DIR})
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${KESTRUNE_HEADER_COPY_DIR}
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${KESTRUNE_HEADER_COPY_DIR})
endfunction()

kestrune_header_only(nlohmann_json nlohmann_json::nlohmann_json nlohmann json.hpp)
kestrune_header_only(CLI11 CLI11::CLI11 CLI CLI.hpp)
