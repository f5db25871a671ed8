# What `cmake --install` puts where, and the packages CPack makes from it.
#
# Linux: bin/kestrune, its man page (gzip'd), its bash completion, the
# README, LICENSE, Debian's copyright file and changelog under
# share/doc/kestrune, and lintian's overrides; CPack makes
# kestrune_<version>_<arch>.deb.
# Windows: kestrune.exe and kestrune-cli.exe with README.txt and LICENSE.txt
# beside them; CPack makes kestrune-<version>-win64.zip (or -win32.zip).
# Tests, tools and benchmarks have no install rules, so they stay out.
include(GNUInstallDirs)

set(KESTRUNE_PACKAGE_MAINTAINER "Kestrune maintainers <kestrune@example.org>" CACHE STRING
    "The Maintainer field of the Debian package")

if(WIN32)
  install(TARGETS kestrune_gui kestrune RUNTIME DESTINATION . COMPONENT kestrune)
  # Plain text with Windows line ends, so that any editor shows it as written.
  foreach(text README.md LICENSE)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                 ${CMAKE_SOURCE_DIR}/${text})
    file(READ ${CMAKE_SOURCE_DIR}/${text} content)
    string(REPLACE "\r\n" "\n" content "${content}")
    string(REPLACE "\n" "\r\n" content "${content}")
    get_filename_component(stem ${text} NAME_WE)
    file(WRITE ${CMAKE_BINARY_DIR}/package/${stem}.txt "${content}")
    install(FILES ${CMAKE_BINARY_DIR}/package/${stem}.txt DESTINATION . COMPONENT kestrune)
  endforeach()
else()
  # The man page is kept as scdoc source and built with the program.
  find_program(KESTRUNE_SCDOC scdoc)
  if(NOT KESTRUNE_SCDOC)
    message(FATAL_ERROR "scdoc not found (it builds the man page); run tools/setup.sh")
  endif()
  find_program(KESTRUNE_GZIP gzip REQUIRED)
  set(man_source ${CMAKE_SOURCE_DIR}/docs/kestrune.1.scd)
  set(KESTRUNE_MAN_PAGE ${CMAKE_BINARY_DIR}/docs/kestrune.1)
  add_custom_command(
    OUTPUT ${KESTRUNE_MAN_PAGE} ${KESTRUNE_MAN_PAGE}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/docs
    COMMAND ${CMAKE_COMMAND} -DSCDOC=${KESTRUNE_SCDOC} -DGZIP=${KESTRUNE_GZIP}
            -DSOURCE=${man_source} -DPAGE=${KESTRUNE_MAN_PAGE}
            -P ${CMAKE_SOURCE_DIR}/cmake/build_man_page.cmake
    DEPENDS ${man_source} ${CMAKE_SOURCE_DIR}/cmake/build_man_page.cmake
    COMMENT "Building the man page kestrune(1)"
    VERBATIM)
  add_custom_target(kestrune_man_page ALL DEPENDS ${KESTRUNE_MAN_PAGE}.gz)

  install(TARGETS kestrune RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT kestrune)
  install(FILES ${KESTRUNE_MAN_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT kestrune)
  install(FILES ${CMAKE_SOURCE_DIR}/tools/completion/kestrune.bash
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME kestrune
          COMPONENT kestrune)
  set(docs ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE)
  # The JSON schema, when the tree has it.
  if(EXISTS ${CMAKE_SOURCE_DIR}/docs/json.md)
    list(APPEND docs ${CMAKE_SOURCE_DIR}/docs/json.md)
  endif()
  install(FILES ${docs} DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT kestrune)

  # Debian looks for the licence in doc/<package>/copyright, in its
  # machine-readable form; the text is LICENSE's, so the two cannot drift.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/LICENSE)
  file(READ ${CMAKE_SOURCE_DIR}/LICENSE licence)
  string(REGEX REPLACE "^MIT License\n\n" "" licence "${licence}")
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${licence}")
  set(holder "${CMAKE_MATCH_1}")
  string(REGEX REPLACE "^Copyright[^\n]*\n\n" "" licence "${licence}")
  string(STRIP "${licence}" licence)
  string(REPLACE "\n\n" "\n.\n" licence "${licence}")
  string(REPLACE "\n" "\n " licence "${licence}")
  file(WRITE ${CMAKE_BINARY_DIR}/package/copyright
       "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
       "Upstream-Name: kestrune\n\n"
       "Files: *\n"
       "Copyright: ${holder}\n"
       "License: Expat\n"
       " ${licence}\n")
  install(FILES ${CMAKE_BINARY_DIR}/package/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR}
          COMPONENT kestrune)

  # Debian keeps a package's history beside its copyright file, compressed
  # as lintian asks (gzip -9n); a package that is its own upstream, as this
  # one is, calls it changelog.gz. The entry is made from the project's
  # version; its date is the configure time, or SOURCE_DATE_EPOCH when set.
  string(TIMESTAMP changed "%a, %d %b %Y %H:%M:%S +0000" UTC)
  file(WRITE ${CMAKE_BINARY_DIR}/package/changelog
       "kestrune (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
       "  * Kestrune ${PROJECT_VERSION}: the console program, its man page and its bash\n"
       "    completion.\n\n"
       " -- ${KESTRUNE_PACKAGE_MAINTAINER}  ${changed}\n")
  execute_process(COMMAND ${KESTRUNE_GZIP} -9 -n -c INPUT_FILE ${CMAKE_BINARY_DIR}/package/changelog
                  OUTPUT_FILE ${CMAKE_BINARY_DIR}/package/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${CMAKE_BINARY_DIR}/package/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR}
          COMPONENT kestrune)

  # What lintian is told to let pass, each with its reason.
  install(FILES ${CMAKE_SOURCE_DIR}/cmake/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME kestrune
          COMPONENT kestrune)
endif()

# --- packages ---
set(CPACK_PACKAGE_NAME kestrune)
set(CPACK_PACKAGE_VENDOR "The Kestrune developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${KESTRUNE_PACKAGE_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "check and repair the ISP firmware of USB flash drive controllers")
# Lines of at most 72 characters, as dpkg shows them.
set(description
    "Kestrune checks and repairs the ISP of USB flash drives built on one\n"
    "controller family: the firmware the drive's controller keeps in its own\n"
    "flash and starts from. It finds the drive and says whether the ISP is\n"
    "healthy. On request it saves the ISP to backup files, rewrites every\n"
    "copy of it from an image built into the program and reads each copy\n"
    "back to prove it. It also backs up and restores the ISP, and works on\n"
    "every drive of a hub at once. Real drives are reached through SG_IO\n"
    "pass-through and need root. A simulated drive is built in for trying\n"
    "it out: kestrune --simulate scan.\n")
if(KESTRUNE_IMAGE_DIR)
  list(APPEND description
       "\n"
       "This build carries the ISP images it was built with; kestrune --version\n"
       "names them.")
else()
  list(APPEND description
       "\n"
       "This build carries generated stand-in images instead of the real ISP\n"
       "images. Only the simulated drive understands them, so this build\n"
       "refuses to fix, destroy or restore the ISP of a real drive.")
endif()
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${description})
set(CPACK_COMPONENTS_ALL kestrune)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "64")
    set(windows_flavour win64)
  else()
    set(windows_flavour win32)
  endif()
  set(CPACK_PACKAGE_FILE_NAME kestrune-${PROJECT_VERSION}-${windows_flavour})
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KESTRUNE_PACKAGE_MAINTAINER}")
  # The completion is read by bash-completion when it is there.
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
  set(CPACK_DEB_COMPONENT_INSTALL OFF)
endif()
include(CPack)
