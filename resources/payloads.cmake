# Reading the image catalogue and checking a folder of payload files against
# it. Used while configuring (resources/CMakeLists.txt) and by the script
# test of the payload-folder check (cmake -P).

# Sets <prefix>_IDS, <prefix>_SIZES and <prefix>_PATHS (backslash paths
# inside the work folder) in the caller's scope, in extraction order.
function(kestrune_read_catalogue file prefix)
  file(STRINGS ${file} lines)
  set(ids)
  set(sizes)
  set(paths)
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line STREQUAL "" OR line MATCHES "^#")
      continue()
    endif()
    if(NOT line MATCHES "^([0-9]+),([0-9]+),([^,]+)$")
      message(FATAL_ERROR "Malformed catalogue row in ${file}: '${line}'")
    endif()
    list(APPEND ids ${CMAKE_MATCH_1})
    list(APPEND sizes ${CMAKE_MATCH_2})
    # A backslash would be an escape in a CMake list; keep it as a slash here.
    string(REPLACE "\\" "/" path "${CMAKE_MATCH_3}")
    list(APPEND paths ${path})
  endforeach()
  set(${prefix}_IDS ${ids} PARENT_SCOPE)
  set(${prefix}_SIZES ${sizes} PARENT_SCOPE)
  set(${prefix}_PATHS ${paths} PARENT_SCOPE)
endfunction()

# Checks that <dir> holds every catalogue file under its name (the
# sub-folder ones in the sub-folder) with exactly the listed size. Sets
# <result> to an empty string when all is well, else to a message naming
# every file that is missing or has the wrong size.
function(kestrune_check_payload_dir dir prefix result)
  set(problems)
  if(NOT IS_DIRECTORY "${dir}")
    set(${result} "KESTRUNE_IMAGE_DIR '${dir}' is not a folder" PARENT_SCOPE)
    return()
  endif()
  foreach(path size IN ZIP_LISTS ${prefix}_PATHS ${prefix}_SIZES)
    set(file "${dir}/${path}")
    if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
      string(APPEND problems "\n  missing: ${path}")
      continue()
    endif()
    file(SIZE "${file}" actual)
    if(NOT actual EQUAL size)
      string(APPEND problems "\n  wrong size: ${path} has ${actual} bytes, expected ${size}")
    endif()
  endforeach()
  if(problems)
    set(${result} "KESTRUNE_IMAGE_DIR '${dir}' does not hold the image payloads:${problems}"
        PARENT_SCOPE)
  else()
    set(${result} "" PARENT_SCOPE)
  endif()
endfunction()
