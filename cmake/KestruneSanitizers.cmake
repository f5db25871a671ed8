# Sanitizer and fuzzing instrumentation for every target of the build.
#
# KESTRUNE_SANITIZE (e.g. "address,undefined") instruments all code, so a
# fault found through a fuzz target or a test points into our sources.
# KESTRUNE_BUILD_FUZZ adds libFuzzer's coverage hooks (clang only); the fuzz
# executables themselves link the fuzzer driver (kestrune_add_fuzzer).

if(KESTRUNE_SANITIZE)
  add_compile_options(-fsanitize=${KESTRUNE_SANITIZE} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${KESTRUNE_SANITIZE})
endif()

if(KESTRUNE_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "Fuzz targets need clang (use the fuzz preset)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
