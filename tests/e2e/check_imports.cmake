# Fails unless every DLL that EXECUTABLE imports ships with Windows itself.
#   cmake -DOBJDUMP=<objdump> -DEXECUTABLE=<file.exe> -P check_imports.cmake
cmake_minimum_required(VERSION 3.25)

set(system_dlls kernel32.dll crypt32.dll advapi32.dll msvcrt.dll ntdll.dll user32.dll)

execute_process(COMMAND "${OBJDUMP}" -p "${EXECUTABLE}"
                OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${EXECUTABLE}")
endif()

string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${dump}")
if(NOT imports)
  message(FATAL_ERROR "no import table found in ${EXECUTABLE}")
endif()
set(foreign "")
foreach(line IN LISTS imports)
  string(REGEX REPLACE "^DLL Name: " "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" dll_lower)
  message(STATUS "imports ${dll}")
  if(NOT dll_lower IN_LIST system_dlls AND NOT dll_lower MATCHES "^api-ms-win-")
    list(APPEND foreign "${dll}")
  endif()
endforeach()
if(foreign)
  message(FATAL_ERROR "imports DLLs that Windows does not ship: ${foreign}")
endif()
