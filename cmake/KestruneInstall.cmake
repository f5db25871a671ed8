# What `cmake --install` puts where.
#
# Linux: bin/kestrune, its man page (gzip'd), its bash completion, and the
# README and LICENSE under share/doc/kestrune.
# Windows: kestrune.exe and kestrune-cli.exe with README.txt and LICENSE.txt
# beside them.
# Tests, tools and benchmarks have no install rules, so they stay out.
include(GNUInstallDirs)

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
endif()
