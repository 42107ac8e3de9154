# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (package
# g++-mingw-w64-x86-64-posix). The product is the 32-bit build; this one runs
# the same test suite under 64-bit Wine where 32-bit programs cannot run.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(ULO_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

# Wine's 64-bit loader itself (Debian keeps it in /usr/lib/wine): Debian's
# `wine` command starts the 32-bit loader whenever wine32 is installed, even
# where it cannot run.
find_program(ULO_WINE wine64 PATHS /usr/lib/wine)
if(ULO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ULO_WINE})
endif()
