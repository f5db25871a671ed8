# Helpers for the tests that CTest runs.
#
# Test labels in use (tools/run-tests.sh runs them by label):
#   unit       one GoogleTest program per source folder
#   e2e        end-to-end runs over the real transports and the simulated drive
#   gui        the Win32 program driven through its dialog under Wine
#   faults     every command of the repair workflows failed in turn (POSIX)
#   toolchain  checks of the build itself (static imports, Wine pass-through)
#   fuzz       bounded libFuzzer runs (fuzz preset)
#   bench      short benchmark runs (bench preset), where registered

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
