# Cross-compiles the Windows build with the mingw-w64 toolchain (posix thread
# model). Everything is linked statically, so the executables need no DLL beyond
# those that ship with Windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VANTIDE_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VANTIDE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VANTIDE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VANTIDE_MINGW_PREFIX}-windres)

# Look for libraries and headers only in the target's tree; programs come from
# the host.
set(CMAKE_FIND_ROOT_PATH /usr/${VANTIDE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
