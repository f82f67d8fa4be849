# Holds the public header, the Windows .def file and a built library to one
# export table: exactly the ten functions, by undecorated name; in the .def
# and a DLL also with the fixed ordinals (alphabetical order, from 1).
#
#   cmake -DHEADER=<brantcfg.h>
#         [-DDEF=<brantcfg.def>]
#         [-DNM=<nm> -DLIBRARY=<libbrantcfg.so>]
#         [-DOBJDUMP=<objdump> -DDLL=<brantcfg.dll>]
#         -P check_exports.cmake
#
# The header is always read; each of the others is checked when given. Any
# name missing, added or misspelt, or any ordinal out of place, fails with
# one line per disagreement.
cmake_minimum_required(VERSION 3.25)

set(_ten ini_browse ini_getbool ini_getf ini_getkey ini_getl ini_gets ini_getsection
    ini_putf ini_putl ini_puts)
# "name@ordinal" for each: its place in alphabetical order, from 1.
set(_numbered "")
set(_ordinal 0)
foreach(_name IN LISTS _ten)
  math(EXPR _ordinal "${_ordinal} + 1")
  list(APPEND _numbered "${_name}@${_ordinal}")
endforeach()
list(JOIN _numbered " " _numbered_shown)

set(_failures "")
set(_checked "")

# Compares a list of names, or of "name@ordinal", with what it should be.
function(_compare where actual expected)
  list(SORT actual)
  if(NOT actual STREQUAL expected)
    list(JOIN actual " " _shown)
    list(JOIN expected " " _wanted)
    set(_failures ${_failures} "${where}: [${_shown}], expected [${_wanted}]" PARENT_SCOPE)
  endif()
endfunction()

include(${CMAKE_CURRENT_LIST_DIR}/tool_output.cmake)

if(NOT HEADER OR NOT EXISTS "${HEADER}")
  message(FATAL_ERROR "check_exports: HEADER must name the public header")
endif()

# The header: every declaration that carries BRANTCFG_API must also carry
# BRANTCFG_CALL before its name.
file(READ "${HEADER}" _text)
string(REGEX MATCHALL "\nBRANTCFG_API [^;]*" _declarations "${_text}")
set(_declared "")
foreach(_declaration IN LISTS _declarations)
  if(_declaration MATCHES "BRANTCFG_CALL[ \t\r\n]+([A-Za-z_][A-Za-z_0-9]*)[ \t\r\n]*\\(")
    list(APPEND _declared "${CMAKE_MATCH_1}")
  else()
    string(REGEX REPLACE "[ \t\r\n]+" " " _declaration "${_declaration}")
    list(APPEND _failures "header: export without BRANTCFG_CALL:${_declaration}")
  endif()
endforeach()
_compare("header declares" "${_declared}" "${_ten}")
list(APPEND _checked "header")

# The .def: "name @ordinal" lines below EXPORTS; ";" starts a comment.
if(DEF)
  file(STRINGS "${DEF}" _lines)
  set(_listed "")
  set(_in_exports OFF)
  foreach(_line IN LISTS _lines)
    string(REGEX REPLACE ";.*$" "" _line "${_line}")
    string(STRIP "${_line}" _line)
    if(_line STREQUAL "EXPORTS")
      set(_in_exports ON)
    elseif(_in_exports AND NOT _line STREQUAL "")
      if(_line MATCHES "^([A-Za-z_][A-Za-z_0-9]*)[ \t]+@([0-9]+)$")
        list(APPEND _listed "${CMAKE_MATCH_1}@${CMAKE_MATCH_2}")
      else()
        list(APPEND _failures "def: not a \"name @ordinal\" line: ${_line}")
      endif()
    endif()
  endforeach()
  _compare("def lists" "${_listed}" "${_numbered}")
  list(APPEND _checked ".def")
endif()

# A shared object: every symbol it defines in its dynamic table.
if(LIBRARY)
  _run(_lines "${NM}" -D --defined-only "${LIBRARY}")
  set(_exported "")
  foreach(_line IN LISTS _lines)
    # A versioned name ("ini_gets@@V1") counts under its plain name.
    if(_line MATCHES "^[0-9A-Fa-f]* *[A-Za-z] ([^ @]+)")
      list(APPEND _exported "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  _compare("${LIBRARY} exports" "${_exported}" "${_ten}")
  list(APPEND _checked "${LIBRARY}")
endif()

# A DLL: objdump -p lists the ordinal base, the size of the export address
# table, the names with their places in it, and the DLLs it imports.
if(DLL)
  _run(_lines "${OBJDUMP}" -p "${DLL}")
  set(_base "")
  set(_addresses "")
  set(_in_names OFF)
  set(_exported "")
  foreach(_line IN LISTS _lines)
    if(_line MATCHES "Ordinal Base ([0-9]+)" AND _base STREQUAL "")
      set(_base "${CMAKE_MATCH_1}")
    elseif(_line MATCHES "^\tExport Address Table[ \t]+([0-9a-fA-F]+)$" AND _addresses STREQUAL "")
      math(EXPR _addresses "0x${CMAKE_MATCH_1}")
    elseif(_line MATCHES "DLL Name: (lib(gcc|stdc\\+\\+|winpthread).*)$")
      list(APPEND _failures "${DLL} imports ${CMAKE_MATCH_1}: the compiler's runtime must be linked in")
    elseif(_line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
      set(_in_names ON)
    elseif(_in_names)
      # Older objdump prints the place in the address table ("[   0] name"),
      # newer ones the ordinal and the place ("[   1] +base[   0] ... name").
      if(_line MATCHES "^\t\\[ *([0-9]+)\\] \\+base\\[ *[0-9]+\\] +[0-9a-fA-F]+ +([^ ]+)$")
        list(APPEND _exported "${CMAKE_MATCH_2}@${CMAKE_MATCH_1}")
      elseif(_line MATCHES "^\t\\[ *([0-9]+)\\] ([^ ]+)$" AND NOT _base STREQUAL "")
        math(EXPR _ordinal "${CMAKE_MATCH_1} + ${_base}")
        list(APPEND _exported "${CMAKE_MATCH_2}@${_ordinal}")
      else()
        set(_in_names OFF)
      endif()
    endif()
  endforeach()
  if(NOT _addresses STREQUAL "10")
    list(APPEND _failures "${DLL}: '${_addresses}' exported addresses, 10 expected")
  endif()
  _compare("${DLL} exports" "${_exported}" "${_numbered}")
  list(APPEND _checked "${DLL}")
endif()

if(_failures)
  foreach(_failure IN LISTS _failures)
    message(SEND_ERROR "check_exports: ${_failure}")
  endforeach()
  message(FATAL_ERROR "check_exports: the export table differs from the ten exports")
endif()
list(JOIN _checked ", " _checked)
if(DEF OR DLL)
  message(STATUS "check_exports: ${_checked} agree on exactly the ten exports: ${_numbered_shown}")
else()
  list(JOIN _ten " " _shown)
  message(STATUS "check_exports: ${_checked} agree on exactly the ten exports: ${_shown}")
endif()
