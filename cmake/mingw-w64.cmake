# What both MinGW-w64 toolchain files share: Debian's compilers for
# ULO_MINGW_TRIPLET (the posix-threads variant gives the C++ standard library
# its std::thread and std::mutex, which the stand-in host runtime and the
# tests use; the driver itself uses only Win32 threads), the target's own
# libraries and headers, and a statically linked compiler runtime.
set(CMAKE_SYSTEM_NAME Windows)

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
