# cmake -DSCDOC=... -DGZIP=... -DSOURCE=kestrune.1.scd -DPAGE=kestrune.1 -P build_man_page.cmake
# Renders the man page from its scdoc source, then a gzip'd copy beside it
# (no name or time stamp inside, so two builds give the same bytes).
execute_process(COMMAND ${SCDOC} INPUT_FILE ${SOURCE} OUTPUT_FILE ${PAGE}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${PAGE})
  message(FATAL_ERROR "scdoc failed on ${SOURCE}")
endif()
execute_process(COMMAND ${GZIP} -9 -n -c INPUT_FILE ${PAGE} OUTPUT_FILE ${PAGE}.gz
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${PAGE}.gz)
  message(FATAL_ERROR "gzip failed on ${PAGE}")
endif()
