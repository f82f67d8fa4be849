# Cross build for 64-bit Windows with Debian's g++-mingw-w64-x86-64.
set(BRANTCFG_MINGW_TRIPLE x86_64-w64-mingw32)
set(BRANTCFG_MINGW_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
