cmake_minimum_required(VERSION 3.25)
# cmake -DEMULATOR=<wrapper> -DPROBE=<wine_probe.exe> -P check_wine_exit.cmake
# The Wine wrapper must hand the program's output and exact exit status to
# CTest: a failing test program that came back as 0 would pass unseen.
foreach(case "0;zero" "37;thirty-seven" "1;one")
  list(GET case 0 expected)
  list(GET case 1 text)
  execute_process(COMMAND ${EMULATOR} ${PROBE} ${expected} ${text}
                  OUTPUT_VARIABLE out RESULT_VARIABLE status)
  if(NOT status STREQUAL expected)
    message(FATAL_ERROR "exit status ${status}, expected ${expected}")
  endif()
  if(NOT out MATCHES "probe:${text}")
    message(FATAL_ERROR "output '${out}' lacks 'probe:${text}'")
  endif()
endforeach()
