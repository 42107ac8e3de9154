# What the interface checks (check-*-interface.cmake, run with cmake -P)
# share.

# Stops the script unless every variable named after `script` was given.
function(ulo_require_defined script)
  foreach(var IN LISTS ARGN)
    if(NOT DEFINED ${var})
      message(FATAL_ERROR "${script}: ${var} not given")
    endif()
  endforeach()
endfunction()

# Sets `out` to what `tool option file` prints, as a list of lines;
# stops the script when the tool fails.
function(ulo_dump_lines out tool option file)
  execute_process(COMMAND ${tool} ${option} ${file} OUTPUT_VARIABLE dump
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${tool} ${option} ${file} failed")
  endif()
  string(REPLACE ";" "\\;" dump "${dump}")
  string(REPLACE "\n" ";" dump "${dump}")
  set(${out} "${dump}" PARENT_SCOPE)
endfunction()
