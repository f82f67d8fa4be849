# Install rules: the public headers, the library, the command-line tool and
# its manual page when it is built, a CMake package (find_package(brantcfg
# CONFIG) gives the targets brantcfg::brantcfg and brantcfg::cxx, the same
# names add_subdirectory users get) and a pkg-config file. The unit tests'
# static archive is never installed.
include(CMakePackageConfigHelpers)

set(BRANTCFG_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/brantcfg"
    CACHE STRING "Where the CMake package files of brantcfg are installed")

install(TARGETS brantcfg brantcfg_cxx EXPORT brantcfgTargets
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}")
install(FILES
  "${PROJECT_SOURCE_DIR}/include/brantcfg.h"
  "${PROJECT_SOURCE_DIR}/include/brantcfg.hpp"
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")

if(TARGET brantcfg_tool)
  # The installed tool finds the shared library beside its own directory,
  # wherever the prefix is moved.
  get_target_property(_brantcfg_tool_rpath brantcfg_tool INSTALL_RPATH)
  if(UNIX AND NOT APPLE AND NOT _brantcfg_tool_rpath)
    file(RELATIVE_PATH _brantcfg_bin_to_lib "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_LIBDIR}")
    set_target_properties(brantcfg_tool PROPERTIES INSTALL_RPATH "$ORIGIN/${_brantcfg_bin_to_lib}")
  endif()
  install(TARGETS brantcfg_tool RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
  if(NOT WIN32)
    install(FILES "${PROJECT_SOURCE_DIR}/docs/brantcfg.1" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
  endif()
endif()

# CMake package: brantcfgConfig.cmake, its version file (any 1.x satisfies a
# request for 1.0) and the exported target.
install(EXPORT brantcfgTargets
  NAMESPACE brantcfg::
  FILE brantcfgTargets.cmake
  DESTINATION "${BRANTCFG_INSTALL_CMAKEDIR}")
configure_package_config_file("${CMAKE_CURRENT_LIST_DIR}/brantcfgConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/brantcfgConfig.cmake"
  INSTALL_DESTINATION "${BRANTCFG_INSTALL_CMAKEDIR}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/brantcfgConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}"
  COMPATIBILITY SameMajorVersion)
install(FILES
  "${PROJECT_BINARY_DIR}/brantcfgConfig.cmake"
  "${PROJECT_BINARY_DIR}/brantcfgConfigVersion.cmake"
  DESTINATION "${BRANTCFG_INSTALL_CMAKEDIR}")

# pkg-config file. It is written at install time, so that the prefix given
# to "cmake --install --prefix" is the one it names. Relative install
# directories are spelled from ${prefix}; absolute ones are kept as given.
foreach(_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_dir}}")
    set(_brantcfg_pc_${_dir} "${CMAKE_INSTALL_${_dir}}")
  else()
    set(_brantcfg_pc_${_dir} "\${prefix}/${CMAKE_INSTALL_${_dir}}")
  endif()
endforeach()
set(_brantcfg_pc_libs_private "")
if(BUILD_SHARED_LIBS)
  set(_brantcfg_pc_cflags "")
else()
  # The static library is C++ inside: a C program linking it needs the C++
  # runtime (exception personality and unwinding).
  set(_brantcfg_pc_cflags " -DBRANTCFG_STATIC")
  if(APPLE)
    set(_brantcfg_pc_libs_private "-lc++")
  elseif(NOT MSVC)
    set(_brantcfg_pc_libs_private "-lstdc++")
  endif()
endif()
set(_brantcfg_pc_file "${PROJECT_BINARY_DIR}/brantcfg.pc")
install(CODE "
  set(BRANTCFG_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(BRANTCFG_PC_LIBDIR [[${_brantcfg_pc_LIBDIR}]])
  set(BRANTCFG_PC_INCLUDEDIR [[${_brantcfg_pc_INCLUDEDIR}]])
  set(BRANTCFG_PC_CFLAGS [[${_brantcfg_pc_cflags}]])
  set(BRANTCFG_PC_LIBS_PRIVATE [[${_brantcfg_pc_libs_private}]])
  set(PROJECT_DESCRIPTION [[${PROJECT_DESCRIPTION}]])
  set(PROJECT_VERSION [[${PROJECT_VERSION}]])
  configure_file([[${CMAKE_CURRENT_LIST_DIR}/brantcfg.pc.in]] [[${_brantcfg_pc_file}]] @ONLY)
")
install(FILES "${_brantcfg_pc_file}" DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")

# What users get is tested with the unit tests: the export table and the
# installed package, consumed as a user would.
if(BRANTCFG_BUILD_TESTS)
  include("${PROJECT_SOURCE_DIR}/tests/packaging.cmake")
endif()
