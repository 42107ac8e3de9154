# Cross-compiles for 32-bit Windows with Debian's MinGW-w64 (package
# g++-mingw-w64-i686). The posix-threads variant of the compiler gives the
# C++ standard library its std::thread and std::mutex (the stand-in host
# runtime and the tests use them); the driver itself uses only Win32 threads.
# Test programs run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(ULO_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${ULO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ULO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ULO_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ULO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program and library links the compiler's runtime (libgcc, libstdc++,
# winpthread) statically, so the DLLs and programs need no MinGW DLLs beside
# them: they import only from Windows' own DLLs and from each other.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

find_program(ULO_WINE wine)
if(ULO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ULO_WINE})
endif()
