# Shared part of the MinGW-w64 cross toolchains; the per-target files set
# BRANTCFG_MINGW_TRIPLE first and include this one.
#
# The posix threading variant of the compilers is used: GoogleTest needs
# std::mutex, which the win32 variant of GCC 12 lacks. Everything but
# Windows' own DLLs is linked statically (libgcc, libstdc++ and
# libwinpthread), so the DLL and the test programs need nothing beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${BRANTCFG_MINGW_PROCESSOR})

set(CMAKE_C_COMPILER ${BRANTCFG_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BRANTCFG_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${BRANTCFG_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${BRANTCFG_MINGW_TRIPLE}-objdump CACHE FILEPATH "objdump of the target")

set(CMAKE_FIND_ROOT_PATH /usr/${BRANTCFG_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine when it is there.
find_program(BRANTCFG_WINE NAMES wine)
if(BRANTCFG_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${BRANTCFG_WINE})
endif()
