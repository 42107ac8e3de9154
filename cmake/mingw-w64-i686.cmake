# Cross-compiles for 32-bit Windows with Debian's MinGW-w64 (package
# g++-mingw-w64-i686). Test programs run under Wine.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(ULO_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

find_program(ULO_WINE wine)
if(ULO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ULO_WINE})
endif()
