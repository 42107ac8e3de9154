# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (package
# g++-mingw-w64-x86-64-posix), as mingw-w64-i686.cmake does for 32 bits. The
# product is the 32-bit build; this one runs the same test suite under 64-bit
# Wine where 32-bit programs cannot run.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(ULO_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ULO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ULO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ULO_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ULO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler's runtime is linked statically, as in the 32-bit build.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Wine's 64-bit loader itself (Debian keeps it in /usr/lib/wine): Debian's
# `wine` command starts the 32-bit loader whenever wine32 is installed, even
# where it cannot run.
find_program(ULO_WINE wine64 PATHS /usr/lib/wine)
if(ULO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ULO_WINE})
endif()
