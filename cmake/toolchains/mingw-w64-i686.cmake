# Cross build for 32-bit Windows with Debian's g++-mingw-w64-i686, where the
# exports' calling convention (cdecl) and undecorated names matter.
set(BRANTCFG_MINGW_TRIPLE i686-w64-mingw32)
set(BRANTCFG_MINGW_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
