# Helpers for the programs that CTest runs: fuzz targets and benchmarks.
#
# Test labels in use (tools/run-tests.sh runs them by label):
#   unit       one GoogleTest program per source folder
#   e2e        end-to-end runs of the front ends over the simulated drive
#   toolchain  checks of the build itself (static imports, Wine pass-through)
#   fuzz       bounded libFuzzer runs (fuzz preset)
#   bench      benchmark programs, run briefly so that they keep working

set(KESTRUNE_FUZZ_SECONDS 20 CACHE STRING "How long each fuzz target runs under CTest")
set(KESTRUNE_BENCH_MIN_TIME 0.05 CACHE STRING "--benchmark_min_time for CTest runs")

# kestrune_add_fuzzer(<name> SOURCES <file>... [LIBS <lib>...] [CORPUS <dir>]
#                     [DICT <file>] [SECONDS <n>])
# Builds a libFuzzer target linked with the program's libraries and registers
# a bounded run labelled "fuzz". New inputs go to a corpus folder in the build
# tree; the seed CORPUS folder in the source tree is only read. Crash inputs
# are left in the build folder as <name>-crash-*.
function(kestrune_add_fuzzer name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "CORPUS;DICT;SECONDS" "SOURCES;LIBS")
  if(NOT arg_SOURCES)
    message(FATAL_ERROR "kestrune_add_fuzzer(${name}): SOURCES missing")
  endif()
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE kestrune_core kestrune_sim ${arg_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  if(NOT arg_SECONDS)
    set(arg_SECONDS ${KESTRUNE_FUZZ_SECONDS})
  endif()
  set(work ${CMAKE_CURRENT_BINARY_DIR}/${name}-corpus)
  file(MAKE_DIRECTORY ${work})
  set(command ${name} -max_total_time=${arg_SECONDS} -print_final_stats=1
              -artifact_prefix=${CMAKE_CURRENT_BINARY_DIR}/${name}-)
  if(arg_DICT)
    list(APPEND command -dict=${arg_DICT})
  endif()
  list(APPEND command ${work})
  if(arg_CORPUS)
    list(APPEND command ${arg_CORPUS})
  endif()
  add_test(NAME fuzz_${name} COMMAND ${command})
  set_tests_properties(fuzz_${name} PROPERTIES LABELS fuzz
                       TIMEOUT ${KESTRUNE_TEST_TIMEOUT_FUZZ})
endfunction()
math(EXPR KESTRUNE_TEST_TIMEOUT_FUZZ "${KESTRUNE_FUZZ_SECONDS} * 3 + 60")

# kestrune_add_benchmark(<name> SOURCES <file>... [LIBS <lib>...])
# Builds a Google Benchmark program (with its own main) and registers a short
# run labelled "bench". The figures are printed; nothing is timed as a test.
function(kestrune_add_benchmark name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LIBS")
  if(NOT arg_SOURCES)
    message(FATAL_ERROR "kestrune_add_benchmark(${name}): SOURCES missing")
  endif()
  if(NOT TARGET benchmark::benchmark_main)
    find_package(benchmark REQUIRED)
  endif()
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE kestrune_core kestrune_sim ${arg_LIBS}
                        benchmark::benchmark_main)
  add_test(NAME bench_${name} COMMAND ${name} --benchmark_min_time=${KESTRUNE_BENCH_MIN_TIME})
  set_tests_properties(bench_${name} PROPERTIES LABELS bench)
endfunction()

# kestrune_executables(<out var> <source dir>)
# Every executable target that the default build makes, defined in <source dir>
# or the folders below it so far.
function(kestrune_executables out dir)
  set(found)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(dir_excluded DIRECTORY ${dir} PROPERTY EXCLUDE_FROM_ALL)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    get_target_property(excluded ${target} EXCLUDE_FROM_ALL)
    if(type STREQUAL "EXECUTABLE" AND NOT excluded AND NOT dir_excluded)
      list(APPEND found ${target})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    kestrune_executables(below ${subdir})
    list(APPEND found ${below})
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()
