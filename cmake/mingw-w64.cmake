# Cross-builds for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64-posix,
# whose threads are POSIX threads, as std::thread needs). The programs are
# linked statically, so that Quenwick.exe needs no DLL beside the system's,
# and the tests run under Wine (Debian: wine64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)  # GoogleTest's project asks for C too
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
find_program(CMAKE_STRIP x86_64-w64-mingw32-strip)  # cpack strips Quenwick.exe with it
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Each test program runs in the build's own Wine prefix, which the test
# fixture prepares (tests/wine/server).
find_program(QUENWICK_WINE64 wine64 PATHS /usr/lib/wine)
if(QUENWICK_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR env WINEPREFIX=${CMAKE_BINARY_DIR}/wine WINEDEBUG=-all ${QUENWICK_WINE64})
endif()
