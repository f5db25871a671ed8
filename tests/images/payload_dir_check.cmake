# Script test (cmake -P) of the image payload folder: the stand-in generator
# gives the same bytes on every run, the folder check accepts a complete set
# and names each missing or mis-sized file, and configuring the project
# with a bad KESTRUNE_IMAGE_DIR stops with that message.
#
#   cmake -DSOURCE_DIR=<src> -DPYTHON=<python3> -DBUILT_PAYLOADS=<dir>
#         -DWORK_DIR=<scratch> [-DGENERATOR=<cmake generator>] -P payload_dir_check.cmake

include(${SOURCE_DIR}/resources/payloads.cmake)

# expect(<what is checked> <if() condition>...)
function(expect text)
  if(NOT (${ARGN}))
    message(SEND_ERROR "FAILED: ${text}")
    set(failures TRUE PARENT_SCOPE)
  endif()
endfunction()

kestrune_read_catalogue(${SOURCE_DIR}/resources/catalogue.csv CAT)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

foreach(run a b)
  execute_process(
    COMMAND ${PYTHON} ${SOURCE_DIR}/resources/make_standins.py
            --catalogue ${SOURCE_DIR}/resources/catalogue.csv --out ${WORK_DIR}/${run}
    RESULT_VARIABLE rc)
  expect("generator run ${run} exits 0" rc EQUAL 0)
endforeach()

# Same bytes on every run, and the same as the build embedded.
foreach(path IN LISTS CAT_PATHS)
  file(SHA256 ${WORK_DIR}/a/${path} first)
  file(SHA256 ${WORK_DIR}/b/${path} second)
  expect("${path} is the same on a second run" first STREQUAL second)
  if(BUILT_PAYLOADS AND EXISTS ${BUILT_PAYLOADS}/${path})
    file(SHA256 ${BUILT_PAYLOADS}/${path} built)
    expect("${path} equals the build's stand-in" first STREQUAL built)
  endif()
endforeach()

kestrune_check_payload_dir(${WORK_DIR}/a CAT problem)
expect("a complete folder passes (${problem})" "x${problem}" STREQUAL "x")

file(REMOVE ${WORK_DIR}/a/163A2C/UST.BIN)
file(WRITE ${WORK_DIR}/a/CUS8.BIN "short")
kestrune_check_payload_dir(${WORK_DIR}/a CAT problem)
string(FIND "${problem}" "missing: 163A2C/UST.BIN" at)
expect("the missing sub-folder file is named: ${problem}" NOT at EQUAL -1)
string(FIND "${problem}" "wrong size: CUS8.BIN has 5 bytes, expected 131072" at)
expect("the short file is named: ${problem}" NOT at EQUAL -1)
string(FIND "${problem}" "US1.BIN" at)
expect("files that are fine are not named" at EQUAL -1)

kestrune_check_payload_dir(${WORK_DIR}/none CAT problem)
string(FIND "${problem}" "is not a folder" at)
expect("a folder that does not exist is reported" NOT at EQUAL -1)

# Configuring the project itself stops with the message.
set(generator_args)
if(GENERATOR)
  set(generator_args -G ${GENERATOR})
endif()
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/configure ${generator_args}
          -DKESTRUNE_IMAGE_DIR=${WORK_DIR}/a -DKESTRUNE_BUILD_TESTS=OFF
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
expect("configuring with a bad KESTRUNE_IMAGE_DIR fails" NOT rc EQUAL 0)
# CMake wraps long messages, so compare with the white space folded.
string(REGEX REPLACE "[ \t\r\n]+" " " flat "${err}")
string(FIND "${flat}" "does not hold the image payloads" at)
expect("configure names the problem: ${err}" NOT at EQUAL -1)

file(REMOVE_RECURSE ${WORK_DIR})
if(failures)
  message(FATAL_ERROR "payload folder checks failed")
endif()
message(STATUS "payload folder checks passed")
