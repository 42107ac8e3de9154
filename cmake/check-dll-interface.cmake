# Checks a DLL's binary interface from its PE headers (objdump -p). Lists are
# comma-separated:
#   EXPORTS          the names it must export, exactly (none more, none fewer)
#   EXPORTS_INCLUDE  names it must export among others
#   IMPORTS          the DLLs it may import from; any other (a MinGW runtime
#                    DLL such as libgcc_s, libstdc++ or libwinpthread) is an
#                    error
#   LIMITED_DLL, LIMITED_NAMES  optional: the only functions it may import
#                    from that DLL
# Usage: cmake -DOBJDUMP=... -DDLL=... -DIMPORTS=x.dll,y.dll [-DEXPORTS=a,b]
#              [-DEXPORTS_INCLUDE=a,b] [-DLIMITED_DLL=z.dll -DLIMITED_NAMES=f,g]
#              -P check-dll-interface.cmake
include(${CMAKE_CURRENT_LIST_DIR}/binary-dump.cmake)
ulo_require_defined(check-dll-interface OBJDUMP DLL IMPORTS)
ulo_dump_lines(lines ${OBJDUMP} -p ${DLL})

set(section "")
set(dll "")
set(exported "")
set(imported_dlls "")
foreach(line IN LISTS lines)
  if(line MATCHES "^\tDLL Name: (.+)$")
    set(section imports)
    set(dll "${CMAKE_MATCH_1}")
    list(APPEND imported_dlls "${dll}")
    set(functions_${dll} "")
  elseif(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
    set(section exports)
  elseif(line MATCHES "^[^\t ]")
    set(section "")
  elseif(section STREQUAL "imports" AND line MATCHES
                                        "^\t[0-9a-f]+\t +[0-9]+  ([^ ]+)")
    list(APPEND functions_${dll} "${CMAKE_MATCH_1}")
  elseif(section STREQUAL "exports" AND line MATCHES "^\t\\[ *[0-9]+\\] (.+)$")
    list(APPEND exported "${CMAKE_MATCH_1}")
  endif()
endforeach()

set(exact_exports ${EXPORTS})
foreach(var EXPORTS EXPORTS_INCLUDE IMPORTS LIMITED_NAMES)
  string(REPLACE "," ";" ${var} "${${var}}")
endforeach()

set(problems "")
list(SORT exported)
set(wanted_exports ${EXPORTS})
list(SORT wanted_exports)
if(exact_exports AND NOT exported STREQUAL wanted_exports)
  string(APPEND problems
         "\n  exports are [${exported}], expected [${wanted_exports}]")
endif()
foreach(name IN LISTS EXPORTS_INCLUDE)
  list(FIND exported "${name}" found)
  if(found EQUAL -1)
    string(APPEND problems "\n  does not export ${name}")
  endif()
endforeach()
foreach(dll IN LISTS imported_dlls)
  list(FIND IMPORTS "${dll}" allowed)
  if(allowed EQUAL -1)
    string(APPEND problems "\n  imports from ${dll} (not allowed)")
  endif()
endforeach()
foreach(function IN LISTS functions_${LIMITED_DLL})
  list(FIND LIMITED_NAMES "${function}" known)
  if(known EQUAL -1)
    string(APPEND problems "\n  imports ${function} from ${LIMITED_DLL}")
  endif()
endforeach()

if(problems)
  message(FATAL_ERROR "${DLL}:${problems}")
endif()
list(LENGTH exported export_count)
message(STATUS "${DLL}: ${export_count} exports, imports from "
               "[${imported_dlls}]: as expected")
