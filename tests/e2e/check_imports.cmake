# Fails unless every DLL that EXECUTABLE imports ships with Windows itself.
#   cmake -DOBJDUMP=<objdump> -DEXECUTABLE=<file.exe> -P check_imports.cmake
#   cmake -DDUMPBIN=<dumpbin> -DEXECUTABLE=<file.exe> -P check_imports.cmake
# GNU or LLVM objdump reads a MinGW build's imports; Visual Studio's dumpbin
# an MSVC build's, where a DLL run-time (VCRUNTIME140.dll) would show.
cmake_minimum_required(VERSION 3.25)

set(system_dlls kernel32.dll crypt32.dll advapi32.dll msvcrt.dll ntdll.dll user32.dll)

if(DUMPBIN)
  execute_process(COMMAND "${DUMPBIN}" /nologo /dependents "${EXECUTABLE}"
                  OUTPUT_VARIABLE dump RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "dumpbin failed on ${EXECUTABLE}")
  endif()
  # The names are indented lines under "Image has the following
  # dependencies:" (and "... delay load dependencies:"), before "Summary".
  set(imports "")
  string(FIND "${dump}" "Image has the following" start)
  if(start GREATER_EQUAL 0)
    string(SUBSTRING "${dump}" ${start} -1 listed)
    string(REGEX REPLACE "\n *Summary.*$" "" listed "${listed}")
    string(REGEX MATCHALL "\n +[^ \r\n]+\\.[Dd][Ll][Ll]" imports "${listed}")
  endif()
elseif(OBJDUMP)
  execute_process(COMMAND "${OBJDUMP}" -p "${EXECUTABLE}"
                  OUTPUT_VARIABLE dump RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "objdump failed on ${EXECUTABLE}")
  endif()
  string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${dump}")
else()
  message(FATAL_ERROR "name the reader of the import table: -DOBJDUMP=... or -DDUMPBIN=...")
endif()

if(NOT imports)
  message(FATAL_ERROR "no import table found in ${EXECUTABLE}")
endif()
set(foreign "")
foreach(line IN LISTS imports)
  string(REGEX REPLACE "^(DLL Name: |\n)" "" dll "${line}")
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
