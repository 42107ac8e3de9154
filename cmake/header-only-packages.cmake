# For a cross build: the header-only libraries the tools use (CLI11,
# toml++, nlohmann/json), taken from Debian's packages for the build machine.
# Their own package files point at /usr/include, which also holds glibc's
# headers and must stay out of a MinGW build, so each gets a package file of
# our own whose include folder holds only a link to that library's headers.
# find_package(CLI11), find_package(tomlplusplus) and
# find_package(nlohmann_json) then work as on Linux.
set(ulo_cross_include ${CMAKE_BINARY_DIR}/cross-packages/include)
set(ulo_cross_config ${CMAKE_BINARY_DIR}/cross-packages/config)

# name: package; header: its folder under /usr/include; definitions: extra.
function(ulo_header_only_package name target header definitions)
  if(NOT EXISTS /usr/include/${header})
    return()  # not installed: find_package reports it as usual
  endif()
  file(MAKE_DIRECTORY ${ulo_cross_include} ${ulo_cross_config}/${name})
  if(NOT EXISTS ${ulo_cross_include}/${header})
    file(CREATE_LINK /usr/include/${header} ${ulo_cross_include}/${header}
         SYMBOLIC)
  endif()
  file(WRITE ${ulo_cross_config}/${name}/${name}Config.cmake
       "if(NOT TARGET ${target})\n"
       "  add_library(${target} INTERFACE IMPORTED)\n"
       "  set_target_properties(${target} PROPERTIES\n"
       "    INTERFACE_INCLUDE_DIRECTORIES \"${ulo_cross_include}\"\n"
       "    INTERFACE_COMPILE_DEFINITIONS \"${definitions}\")\n"
       "endif()\n")
  set(${name}_DIR ${ulo_cross_config}/${name} CACHE PATH "" FORCE)
endfunction()

ulo_header_only_package(CLI11 CLI11::CLI11 CLI "")
# Debian builds toml++ as a shared library for Linux; here it is compiled
# from its headers into whatever uses it.
ulo_header_only_package(tomlplusplus tomlplusplus::tomlplusplus toml++
                        TOML_HEADER_ONLY=1)
ulo_header_only_package(nlohmann_json nlohmann_json::nlohmann_json nlohmann "")
