# Install rules: the public headers, the library, the command-line tool and
# its manual page when it is built, a CMake package (find_package(brantcfg
# CONFIG) gives the targets brantcfg::brantcfg and brantcfg::cxx, the same
# names add_subdirectory users get) and a pkg-config file. The unit tests'
# static archive is never installed. Each file belongs to one of three
# components, the three Debian packages of a release (cmake/package.cmake):
# runtime (the shared library), development (headers, link, package files)
# and tool (the command-line tool and its manual page).
include(CMakePackageConfigHelpers)

set(BRANTCFG_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/brantcfg"
    CACHE STRING "Where the CMake package files of brantcfg are installed")

install(TARGETS brantcfg brantcfg_cxx EXPORT brantcfgTargets
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT runtime
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT development)
install(FILES
  "${PROJECT_SOURCE_DIR}/include/brantcfg.h"
  "${PROJECT_SOURCE_DIR}/include/brantcfg.hpp"
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}" COMPONENT development)

if(TARGET brantcfg_tool)
  # The tool carries the library's objects itself (tools/CMakeLists.txt), so
  # it needs no search path for a shared library wherever it is installed.
  install(TARGETS brantcfg_tool RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT tool)
  # A release for Debian installs the page compressed (cmake/package.cmake).
  if(NOT WIN32 AND NOT BRANTCFG_RELEASE)
    install(FILES "${PROJECT_SOURCE_DIR}/docs/brantcfg.1" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1"
            COMPONENT tool)
  endif()
endif()

# CMake package: brantcfgConfig.cmake, its version file (any 1.x satisfies a
# request for 1.0) and the exported target.
install(EXPORT brantcfgTargets
  NAMESPACE brantcfg::
  FILE brantcfgTargets.cmake
  DESTINATION "${BRANTCFG_INSTALL_CMAKEDIR}"
  COMPONENT development)
configure_package_config_file("${CMAKE_CURRENT_LIST_DIR}/brantcfgConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/brantcfgConfig.cmake"
  INSTALL_DESTINATION "${BRANTCFG_INSTALL_CMAKEDIR}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/brantcfgConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}"
  COMPATIBILITY SameMajorVersion)
install(FILES
  "${PROJECT_BINARY_DIR}/brantcfgConfig.cmake"
  "${PROJECT_BINARY_DIR}/brantcfgConfigVersion.cmake"
  DESTINATION "${BRANTCFG_INSTALL_CMAKEDIR}"
  COMPONENT development)

# pkg-config file. It is written at install time, so that the prefix given
# to "cmake --install --prefix" is the one it names; on Windows, where a
# package is unpacked anywhere, the prefix is found from the file's own
# place instead. Relative install directories are spelled from ${prefix};
# absolute ones are kept as given.
foreach(_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_dir}}")
    set(_brantcfg_pc_${_dir} "${CMAKE_INSTALL_${_dir}}")
  else()
    set(_brantcfg_pc_${_dir} "\${prefix}/${CMAKE_INSTALL_${_dir}}")
  endif()
endforeach()
set(_brantcfg_pc_libs_private "")
set(_brantcfg_pc_cflags "")
if(NOT BUILD_SHARED_LIBS)
  set(_brantcfg_pc_cflags " -DBRANTCFG_STATIC")
endif()
# The static library (the only one, or the one a Debian release installs
# beside the shared one) is C++ inside: a C program linking it needs the C++
# runtime (exception personality and unwinding).
if(NOT BUILD_SHARED_LIBS OR (BRANTCFG_RELEASE AND NOT WIN32))
  if(APPLE)
    set(_brantcfg_pc_libs_private "-lc++")
  elseif(NOT MSVC)
    set(_brantcfg_pc_libs_private "-lstdc++")
  endif()
endif()
set(_brantcfg_pc_file "${PROJECT_BINARY_DIR}/brantcfg.pc")
if(WIN32)
  set(_brantcfg_pc_prefix "\\\${pcfiledir}/../..")
else()
  set(_brantcfg_pc_prefix "\${CMAKE_INSTALL_PREFIX}")
endif()
install(CODE "
  set(BRANTCFG_PC_PREFIX \"${_brantcfg_pc_prefix}\")
  set(BRANTCFG_PC_LIBDIR [[${_brantcfg_pc_LIBDIR}]])
  set(BRANTCFG_PC_INCLUDEDIR [[${_brantcfg_pc_INCLUDEDIR}]])
  set(BRANTCFG_PC_CFLAGS [[${_brantcfg_pc_cflags}]])
  set(BRANTCFG_PC_LIBS_PRIVATE [[${_brantcfg_pc_libs_private}]])
  set(PROJECT_DESCRIPTION [[${PROJECT_DESCRIPTION}]])
  set(PROJECT_VERSION [[${PROJECT_VERSION}]])
  configure_file([[${CMAKE_CURRENT_LIST_DIR}/brantcfg.pc.in]] [[${_brantcfg_pc_file}]] @ONLY)
" COMPONENT development)
install(FILES "${_brantcfg_pc_file}" DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig" COMPONENT development)

# What users get is tested with the unit tests: the export table and the
# installed package, consumed as a user would.
if(BRANTCFG_BUILD_TESTS)
  include("${PROJECT_SOURCE_DIR}/tests/packaging.cmake")
endif()
