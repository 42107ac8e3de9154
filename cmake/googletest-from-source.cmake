# GoogleTest for a cross build, compiled from the sources Debian's googletest
# package installs; it defines the same GTest::gtest and GTest::gtest_main
# targets find_package(GTest) gives.
set(ULO_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH
    "GoogleTest sources (Debian package googletest)")
if(NOT EXISTS ${ULO_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in "
          "${ULO_GOOGLETEST_SOURCE}: install the googletest package")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
add_subdirectory(${ULO_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest
                 EXCLUDE_FROM_ALL SYSTEM)
