cmake_minimum_required(VERSION 3.25)
# cmake -DOBJDUMP=<objdump> -DFILE=<program.exe> -P check_imports.cmake
# Fails unless every DLL the program imports ships with Windows itself: the
# programs are copied alone onto a technician's machine, with no MinGW
# runtime DLLs beside them, and imports nothing Windows 7 lacks.
if(NOT OBJDUMP OR NOT FILE)
  message(FATAL_ERROR "OBJDUMP and FILE must be given")
endif()
execute_process(COMMAND ${OBJDUMP} -p ${FILE} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${FILE} failed (${status})")
endif()
if(NOT dump MATCHES "PE32")
  message(FATAL_ERROR "${FILE} is not a PE program")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" lines "${dump}")
if(NOT lines)
  message(FATAL_ERROR "${FILE} imports no DLL at all; the import table was not read")
endif()
set(system_dlls
    advapi32 bcrypt cfgmgr32 comctl32 comdlg32 crypt32 dbghelp gdi32 imm32 kernel32 msvcrt
    ntdll ole32 oleaut32 rpcrt4 setupapi shell32 shlwapi ucrtbase user32 userenv uxtheme
    version winmm ws2_32)
set(foreign)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "DLL Name: *" "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" lower)
  string(REGEX REPLACE "\\.dll$" "" base "${lower}")
  if(base MATCHES "^api-ms-win-" OR base IN_LIST system_dlls)
    message(STATUS "${dll}")
  else()
    list(APPEND foreign ${dll})
  endif()
endforeach()
if(foreign)
  message(FATAL_ERROR "${FILE} needs DLLs that Windows does not ship: ${foreign}")
endif()
# The programs start on Windows 7: a function Windows added later is reached
# through GetProcAddress, never imported, or the program would not load.
foreach(later CM_Register_Notification CM_Unregister_Notification)
  if(dump MATCHES "[ \t]${later}[\r\n]")
    message(FATAL_ERROR "${FILE} imports ${later}, which Windows 7 lacks")
  endif()
endforeach()
