# Compares the dynamic symbol table of the built shared library with the ten
# exports, and both with the declarations of the public header. Any name
# missing, added or misspelt in either fails the test.
#   cmake -DNM=<nm> -DLIBRARY=<libbrantcfg.so> -DHEADER=<brantcfg.h> -P check_exports.cmake
set(_expected ini_browse ini_getbool ini_getf ini_getkey ini_getl ini_gets ini_getsection
    ini_putf ini_putl ini_puts)

foreach(_required NM LIBRARY HEADER)
  if(NOT ${_required})
    message(FATAL_ERROR "check_exports: ${_required} not given")
  endif()
endforeach()

# The header: every "BRANTCFG_API <type> BRANTCFG_CALL <name>(" declaration.
file(READ "${HEADER}" _text)
string(REGEX MATCHALL "BRANTCFG_CALL[ \t\r\n]+[A-Za-z_][A-Za-z_0-9]*[ \t\r\n]*\\(" _calls "${_text}")
set(_declared "")
foreach(_call IN LISTS _calls)
  string(REGEX REPLACE "^BRANTCFG_CALL[ \t\r\n]+([A-Za-z_0-9]+).*$" "\\1" _name "${_call}")
  list(APPEND _declared "${_name}")
endforeach()
list(SORT _declared)

# The library: every symbol it defines in its dynamic table.
execute_process(COMMAND "${NM}" -D --defined-only "${LIBRARY}"
                OUTPUT_VARIABLE _table RESULT_VARIABLE _status ERROR_VARIABLE _error)
if(NOT _status EQUAL 0)
  message(FATAL_ERROR "check_exports: ${NM} failed on ${LIBRARY}: ${_error}")
endif()
string(REPLACE "\n" ";" _lines "${_table}")
set(_exported "")
foreach(_line IN LISTS _lines)
  # A versioned name ("ini_gets@@V1") counts under its plain name.
  if(_line MATCHES "^[0-9A-Fa-f]* *[A-Za-z] ([^ @]+)")
    list(APPEND _exported "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT _exported)

set(_failed FALSE)
foreach(_pair "header;_declared" "library;_exported")
  list(GET _pair 0 _where)
  list(GET _pair 1 _variable)
  set(_extra ${${_variable}})
  list(REMOVE_ITEM _extra ${_expected})
  set(_missing ${_expected})
  list(REMOVE_ITEM _missing ${${_variable}})
  set(_all ${${_variable}})
  list(LENGTH _all _count)
  list(REMOVE_DUPLICATES _all)
  list(LENGTH _all _distinct)
  if(_extra OR _missing OR NOT _count EQUAL _distinct)
    message(SEND_ERROR "${_where}: ${_count} names; not among the ten: [${_extra}]; "
                       "missing: [${_missing}]; all: [${${_variable}}]")
    set(_failed TRUE)
  endif()
endforeach()
if(_failed)
  message(FATAL_ERROR "check_exports: the export table differs from the ten exports")
endif()
message(STATUS "check_exports: header and library agree on exactly the ten exports: ${_exported}")
