# Cross-building for 32-bit Windows, down to Windows 98 and Me, with
# Debian's MinGW-w64 (g++-mingw-w64-i686-win32): its win32 thread model,
# because the posix one (winpthreads) imports functions Windows 98 lacks
# (AddVectoredExceptionHandler, GetTickCount64) or cannot perform
# (TryEnterCriticalSection). Everything is linked in statically; the
# programs are PE32 images marked for OS and subsystem version 4.0, which
# Windows 9x requires and every later Windows loads.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,--major-os-version,4,--minor-os-version,0,--major-subsystem-version,4,--minor-subsystem-version,0")
