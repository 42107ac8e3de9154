# Checks a shared library's binary interface from its symbol tables
# (readelf -sW):
#   EXPORTS  the symbols its dynamic symbol table must define, exactly (none
#            more, none fewer; comma-separated)
# and that no symbol in either table has unique binding (STB_GNU_UNIQUE): the
# dynamic loader never unloads a library that defines one.
# Usage: cmake -DREADELF=... -DLIBRARY=... -DEXPORTS=a,b
#              -P check-so-interface.cmake
include(${CMAKE_CURRENT_LIST_DIR}/binary-dump.cmake)
ulo_require_defined(check-so-interface READELF LIBRARY EXPORTS)
ulo_dump_lines(lines ${READELF} -sW ${LIBRARY})

# Symbol lines: Num: Value Size Type Bind Vis Ndx Name[@version]
set(table "")
set(exported "")
set(unique "")
foreach(line IN LISTS lines)
  if(line MATCHES "^Symbol table '([^']+)'")
    set(table "${CMAKE_MATCH_1}")
  elseif(line MATCHES
         "^ *[0-9]+: [0-9a-f]+ +[^ ]+ +[^ ]+ +([^ ]+) +[^ ]+ +([^ ]+) +([^ @]+)")
    set(bind "${CMAKE_MATCH_1}")
    set(section "${CMAKE_MATCH_2}")
    set(name "${CMAKE_MATCH_3}")
    if(bind MATCHES "UNIQUE")
      list(APPEND unique "${name}")
    endif()
    if(table STREQUAL ".dynsym" AND NOT section STREQUAL "UND"
       AND NOT bind STREQUAL "LOCAL")
      list(APPEND exported "${name}")
    endif()
  endif()
endforeach()

string(REPLACE "," ";" wanted "${EXPORTS}")
list(SORT wanted)
list(SORT exported)
list(REMOVE_DUPLICATES unique)
set(problems "")
if(NOT exported STREQUAL wanted)
  string(APPEND problems "\n  exports are [${exported}], expected [${wanted}]")
endif()
if(unique)
  string(APPEND problems "\n  unique symbols (keep it loaded): [${unique}]")
endif()
if(problems)
  message(FATAL_ERROR "${LIBRARY}:${problems}")
endif()
message(STATUS "${LIBRARY}: exports [${exported}], no unique symbols")
