# Cross-compiles the Windows build with the mingw-w64 toolchain. Everything is
# linked statically, so the executables need no DLL beyond those that ship with
# Windows.
#
# VANTIDE_MINGW_THREADS picks GCC's thread model: "posix" (the default) links
# winpthreads beneath the C++ run-time, which std::thread and the tests need;
# "win32" builds the C++ run-time on Windows' own calls and leaves winpthreads
# out, which suits a program that starts no thread (the release).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VANTIDE_MINGW_THREADS posix CACHE STRING "GCC thread model of the mingw-w64 cross compiler: posix or win32")
if(NOT VANTIDE_MINGW_THREADS MATCHES "^(posix|win32)$")
  message(FATAL_ERROR "VANTIDE_MINGW_THREADS is \"${VANTIDE_MINGW_THREADS}\"; it must be posix or win32")
endif()
# Test compilations read this file again and must pick the same compiler.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VANTIDE_MINGW_THREADS)

set(VANTIDE_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VANTIDE_MINGW_PREFIX}-gcc-${VANTIDE_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${VANTIDE_MINGW_PREFIX}-g++-${VANTIDE_MINGW_THREADS})
set(CMAKE_RC_COMPILER ${VANTIDE_MINGW_PREFIX}-windres)
# windres preprocesses with whichever "<prefix>-gcc" the host's alternatives
# point at; it gets the C compiler of the chosen model instead, with the
# arguments it would have given its own.
set(CMAKE_RC_FLAGS_INIT "--preprocessor=${CMAKE_C_COMPILER} --preprocessor-arg=-E --preprocessor-arg=-xc --preprocessor-arg=-DRC_INVOKED")

# Look for libraries and headers only in the target's tree; programs come from
# the host.
set(CMAKE_FIND_ROOT_PATH /usr/${VANTIDE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
