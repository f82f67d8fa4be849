# Holds the library to its promise that it allocates nothing: none of the
# symbols its code takes from elsewhere is a C allocator or an operator new
# or delete. Read with `nm --undefined-only`:
#
#   cmake -DNM=<nm> -DLIBRARY=<libbrantcfg.so> -P check_allocators.cmake
#   cmake -DNM=<nm> -DOBJECTS=<a.obj|b.obj|...> [-DPREFIX=_] -P check_allocators.cmake
#
# A shared object is read by its dynamic table: everything it was linked
# with counts. A Windows DLL is judged by the objects it is linked from
# (OBJECTS, separated by "|"): the MinGW runtime linked into every DLL (the
# CRT's table of exit handlers, thread-local storage, the thread library)
# imports malloc, calloc, realloc and free from msvcrt.dll whatever the
# library's own code does. PREFIX is what the compiler puts before C names
# (_ on 32-bit Windows). Fails with one line per allocator found.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/tool_output.cmake)

# The C allocators by name, and the mangled operators new (_Znw, _Zna) and
# delete (_Zdl, _Zda) in all their forms (sized, aligned, nothrow).
set(_allocators malloc calloc realloc reallocarray free aligned_alloc posix_memalign memalign valloc strdup
    strndup _strdup _aligned_malloc _aligned_free)
set(_operators "^_Zn[wa]|^_Zd[la]")

if(NOT NM OR (NOT LIBRARY AND NOT OBJECTS))
  message(FATAL_ERROR "check_allocators: give NM, and LIBRARY or OBJECTS")
endif()
if(LIBRARY)
  set(_checked "${LIBRARY}")
  _run(_lines "${NM}" -D --undefined-only "${LIBRARY}")
else()
  string(REPLACE "|" ";" _objects "${OBJECTS}")
  list(LENGTH _objects _count)
  set(_checked "the DLL's ${_count} objects")
  _run(_lines "${NM}" --undefined-only ${_objects})
endif()

set(_imported "")
foreach(_line IN LISTS _lines)
  # "                 U malloc@GLIBC_2.2.5": the name counts without its
  # version, and a DLL import (__imp_malloc) by the name it imports.
  if(_line MATCHES "^ *[A-Za-z] ([^ @]+)")
    set(_name "${CMAKE_MATCH_1}")
    string(REGEX REPLACE "^__imp_" "" _name "${_name}")
    if(PREFIX)
      string(REGEX REPLACE "^${PREFIX}" "" _name "${_name}")
    endif()
    list(APPEND _imported "${_name}")
  endif()
endforeach()
if(NOT _imported)
  message(FATAL_ERROR "check_allocators: ${_checked}: no symbol listed, the listing was not understood")
endif()

set(_found "")
foreach(_name IN LISTS _imported)
  if(_name IN_LIST _allocators OR _name MATCHES "${_operators}")
    list(APPEND _found "${_name}")
  endif()
endforeach()
if(_found)
  list(REMOVE_DUPLICATES _found)
  foreach(_name IN LISTS _found)
    message(SEND_ERROR "check_allocators: ${_checked}: ${_name} is imported")
  endforeach()
  message(FATAL_ERROR "check_allocators: the library must not allocate")
endif()
list(REMOVE_DUPLICATES _imported)
list(LENGTH _imported _count)
message(STATUS "check_allocators: ${_checked}: none of the ${_count} symbols taken from elsewhere allocates")
