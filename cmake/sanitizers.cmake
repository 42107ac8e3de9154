# Sanitizer and fuzzing builds (clang only).
#   ULO_SANITIZE    what -fsanitize gets: "address,undefined" or "thread".
#   ULO_BUILD_FUZZ  coverage instrumentation for libFuzzer and the targets in
#                   fuzz/ (with ULO_SANITIZE=address,undefined).
# With address+undefined every library and program uses the sanitizer's
# shared runtime: libzempro.so links with --no-undefined and the driver
# library leaves symbols open, so the runtime's symbols must come from a
# library both can see. Programs find that runtime through their run path.
set(ULO_SANITIZE "" CACHE STRING "Sanitizers to build with (-fsanitize=...)")
option(ULO_BUILD_FUZZ "Build the libFuzzer targets in fuzz/" OFF)

if(NOT ULO_SANITIZE AND NOT ULO_BUILD_FUZZ)
  return()
endif()
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "ULO_SANITIZE and ULO_BUILD_FUZZ need clang")
endif()

if(ULO_SANITIZE MATCHES "thread")
  # The thread sanitizer's shared runtime needs the C++ library and starts
  # after it, too late for the library's own start-up: programs take the
  # static runtime, and shared libraries leave its symbols to the program
  # (a last -z undefs lifts libzempro.so's --no-undefined for this build).
  add_compile_options(-fsanitize=${ULO_SANITIZE} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${ULO_SANITIZE})
  string(APPEND CMAKE_CXX_CREATE_SHARED_LIBRARY " -Wl,-z,undefs")
elseif(ULO_SANITIZE)
  add_compile_options(-fsanitize=${ULO_SANITIZE} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${ULO_SANITIZE} -shared-libsan)
endif()
if(ULO_BUILD_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

execute_process(
  COMMAND ${CMAKE_CXX_COMPILER} -print-runtime-dir
  OUTPUT_VARIABLE ULO_SANITIZER_RUNTIME_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)
add_link_options(LINKER:-rpath,${ULO_SANITIZER_RUNTIME_DIR})
