# Tests of what users get: the export table of the shared library, and the
# installed package consumed as a user would (tests/consume.sh). Included
# from cmake/install.cmake, beside the rules it tests.

if(BUILD_SHARED_LIBS AND NOT WIN32 AND CMAKE_NM)
  add_test(NAME ExportTable.SharedObjectExportsExactlyTheTen
           COMMAND "${CMAKE_COMMAND}" -DNM=${CMAKE_NM} -DLIBRARY=$<TARGET_FILE:brantcfg>
                   -DHEADER=${PROJECT_SOURCE_DIR}/include/brantcfg.h
                   -P "${CMAKE_CURRENT_LIST_DIR}/check_exports.cmake")
  set_tests_properties(ExportTable.SharedObjectExportsExactlyTheTen PROPERTIES LABELS package)
endif()

# The shared library is bound at load time (BIND_NOW) with its relocations
# read-only after (GNU_RELRO), whoever links it.
if(BUILD_SHARED_LIBS AND NOT WIN32 AND NOT APPLE AND CMAKE_READELF)
  add_test(NAME ExportTable.SharedObjectBindsNow
           COMMAND "${CMAKE_READELF}" -d -l $<TARGET_FILE:brantcfg>)
  set_tests_properties(ExportTable.SharedObjectBindsNow PROPERTIES LABELS package
                       PASS_REGULAR_EXPRESSION "GNU_RELRO.*\\(FLAGS\\) +BIND_NOW")
endif()

# Consumer builds need a POSIX shell, pkg-config, and programs that run here.
find_program(BRANTCFG_PKG_CONFIG pkg-config)
find_program(BRANTCFG_BASH bash)
if(BUILD_SHARED_LIBS AND UNIX AND NOT CMAKE_CROSSCOMPILING AND BRANTCFG_PKG_CONFIG AND BRANTCFG_BASH)
  set(_work "${PROJECT_BINARY_DIR}/consumers")
  set(_consume "${BRANTCFG_BASH}" "${CMAKE_CURRENT_LIST_DIR}/consume.sh")
  set(_environment
      "CC=${CMAKE_C_COMPILER}" "CXX=${CMAKE_CXX_COMPILER}" "CMAKE_GENERATOR=${CMAKE_GENERATOR}"
      "CFLAGS=-Wall -Wextra -Wpedantic -Werror" "CXXFLAGS=-Wall -Wextra -Wpedantic -Werror")

  add_test(NAME Package.InstallsShared
           COMMAND ${_consume} install "${PROJECT_BINARY_DIR}" "${_work}/shared")
  set_tests_properties(Package.InstallsShared PROPERTIES FIXTURES_SETUP brantcfg_shared)
  add_test(NAME Package.InstallsStatic
           COMMAND ${_consume} build-static "${PROJECT_SOURCE_DIR}" "${_work}" "${_work}/static")
  set_tests_properties(Package.InstallsStatic PROPERTIES FIXTURES_SETUP brantcfg_static)

  foreach(_kind shared static)
    add_test(NAME Package.FindPackage.${_kind}
             COMMAND ${_consume} find-package "${PROJECT_SOURCE_DIR}" "${_work}" "${_work}/${_kind}")
    set_tests_properties(Package.FindPackage.${_kind} PROPERTIES FIXTURES_REQUIRED brantcfg_${_kind})
  endforeach()
  add_test(NAME Package.PkgConfig.shared
           COMMAND ${_consume} pkg-config "${PROJECT_SOURCE_DIR}" "${_work}" "${_work}/shared")
  set_tests_properties(Package.PkgConfig.shared PROPERTIES FIXTURES_REQUIRED brantcfg_shared)
  add_test(NAME Package.PkgConfig.static
           COMMAND ${_consume} pkg-config "${PROJECT_SOURCE_DIR}" "${_work}" "${_work}/static" --static)
  set_tests_properties(Package.PkgConfig.static PROPERTIES FIXTURES_REQUIRED brantcfg_static)
  add_test(NAME Package.AddSubdirectory
           COMMAND ${_consume} add-subdirectory "${PROJECT_SOURCE_DIR}" "${_work}")

  get_property(_consumer_tests DIRECTORY PROPERTY TESTS)
  list(FILTER _consumer_tests INCLUDE REGEX "^Package\\.(Installs|FindPackage|PkgConfig|AddSubdirectory)")
  set_tests_properties(${_consumer_tests} PROPERTIES
                       LABELS package ENVIRONMENT "${_environment}" TIMEOUT 600)
endif()
