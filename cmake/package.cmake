# What a release adds to the install rules (cmake/install.cmake):
#
# - on Debian, three packages made by CPack and split as Debian splits a
#   library: the shared library (libbrantcfgMAJOR, named after its SONAME),
#   libbrantcfg-dev (headers, the .so link, the static library, the CMake
#   package, the pkg-config file) and brantcfg (the tool and its manual
#   page), each with its copyright file and changelogs;
# - on Windows, an installation that .ci/release packs into a zip: the DLL,
#   the tool, MinGW's and MSVC's import libraries, the .def, the headers and
#   the CMake package, with the README, the licence and the changelog.
#
# Every time stamp is SOURCE_DATE_EPOCH when it is set (.ci/release sets it
# to the last commit's time), so two runs give the same bytes.
set(_brantcfg_contact "the brantcfg authors <brantcfg@users.noreply.invalid>")

if(WIN32)
  # MSVC links against an import library of its own, made from the .def
  # with LLVM's dlltool (Debian's llvm); MinGW's libbrantcfg.dll.a comes
  # with the library's own install rule.
  find_program(BRANTCFG_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 llvm-dlltool-15 llvm-dlltool-16
               DOC "LLVM's dlltool, to make the MSVC import library brantcfg.lib")
  if(NOT BRANTCFG_DLLTOOL)
    message(FATAL_ERROR "brantcfg: a Windows release needs llvm-dlltool (Debian's llvm) "
                        "for the MSVC import library")
  endif()
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(_brantcfg_machine i386:x86-64)
  else()
    set(_brantcfg_machine i386)
  endif()
  set(_brantcfg_msvc_lib "${PROJECT_BINARY_DIR}/msvc/brantcfg.lib")
  add_custom_command(OUTPUT "${_brantcfg_msvc_lib}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${PROJECT_BINARY_DIR}/msvc"
    COMMAND "${BRANTCFG_DLLTOOL}" -m ${_brantcfg_machine} -D brantcfg.dll
            -d "${PROJECT_SOURCE_DIR}/src/brantcfg.def" -l "${_brantcfg_msvc_lib}"
    DEPENDS "${PROJECT_SOURCE_DIR}/src/brantcfg.def"
    COMMENT "Making the MSVC import library brantcfg.lib from brantcfg.def")
  add_custom_target(brantcfg_msvc_import_library ALL DEPENDS "${_brantcfg_msvc_lib}")
  install(FILES "${_brantcfg_msvc_lib}" "${PROJECT_SOURCE_DIR}/src/brantcfg.def"
          DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT development)
  install(FILES "${PROJECT_SOURCE_DIR}/README.md" "${PROJECT_SOURCE_DIR}/LICENSE"
                "${PROJECT_SOURCE_DIR}/CHANGELOG.md"
          DESTINATION . COMPONENT runtime)
  return()
endif()

# The static library beside the shared one, for programs linked with
# -static; the same objects, hidden symbols and all.
if(NOT BUILD_SHARED_LIBS)
  message(FATAL_ERROR "brantcfg: the Debian packages hold the shared library and the static one: "
                      "configure a release with BUILD_SHARED_LIBS=ON")
endif()
add_library(brantcfg_static STATIC $<TARGET_OBJECTS:brantcfg_objects>)
set_target_properties(brantcfg_static PROPERTIES OUTPUT_NAME brantcfg LINKER_LANGUAGE CXX)
install(TARGETS brantcfg_static ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT development)

set(_brantcfg_runtime_package "libbrantcfg${PROJECT_VERSION_MAJOR}")
set(_brantcfg_revision 1)
set(_brantcfg_debian_version "${PROJECT_VERSION}-${_brantcfg_revision}")

# What Debian asks of every package: /usr/share/doc/PACKAGE/ holds the
# copyright file (the MIT licence in Debian's machine-readable format),
# the Debian changelog and the project's own, both compressed with
# gzip -9n (no name, no time). The manual page is compressed the same way.
find_program(BRANTCFG_GZIP gzip REQUIRED)
set(_debian "${PROJECT_BINARY_DIR}/debian")
string(TIMESTAMP _brantcfg_year "%Y" UTC)
file(STRINGS "${PROJECT_SOURCE_DIR}/LICENSE" _licence_lines)
list(REMOVE_AT _licence_lines 0 1 2 3)  # the title and the copyright line
set(_licence "")
foreach(_line IN LISTS _licence_lines)
  if(_line STREQUAL "")
    string(APPEND _licence " .\n")
  else()
    string(APPEND _licence " ${_line}\n")
  endif()
endforeach()
file(WRITE "${_debian}/copyright"
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: brantcfg\n"
     "Upstream-Contact: ${_brantcfg_contact}\n"
     "\n"
     "Files: *\n"
     "Copyright: ${_brantcfg_year} the brantcfg authors\n"
     "License: MIT\n"
     "${_licence}")
string(TIMESTAMP _brantcfg_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE "${_debian}/changelog.Debian"
     "brantcfg (${_brantcfg_debian_version}) unstable; urgency=medium\n"
     "\n"
     "  * Release ${PROJECT_VERSION}, packaged from the project's own sources;\n"
     "    changelog.gz beside this file says what it changed.\n"
     "\n"
     " -- ${_brantcfg_contact}  ${_brantcfg_date}\n")
configure_file("${PROJECT_SOURCE_DIR}/CHANGELOG.md" "${_debian}/changelog" COPYONLY)
configure_file("${PROJECT_SOURCE_DIR}/docs/brantcfg.1" "${_debian}/brantcfg.1" COPYONLY)
set(_compressed "")
foreach(_file changelog.Debian changelog brantcfg.1)
  add_custom_command(OUTPUT "${_debian}/${_file}.gz"
    COMMAND "${BRANTCFG_GZIP}" -9nf -k "${_debian}/${_file}"
    DEPENDS "${_debian}/${_file}"
    COMMENT "Compressing ${_file} for the Debian packages")
  list(APPEND _compressed "${_debian}/${_file}.gz")
endforeach()
add_custom_target(brantcfg_debian_files ALL DEPENDS ${_compressed})

foreach(_component runtime development tool)
  if(_component STREQUAL "runtime")
    set(_package ${_brantcfg_runtime_package})
  elseif(_component STREQUAL "development")
    set(_package libbrantcfg-dev)
  else()
    set(_package brantcfg)
  endif()
  install(FILES "${_debian}/copyright" "${_debian}/changelog.Debian.gz" "${_debian}/changelog.gz"
          DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${_package}" COMPONENT ${_component})
endforeach()
if(TARGET brantcfg_tool)
  install(FILES "${_debian}/brantcfg.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT tool)
endif()

# The symbols file: the ten exports the .def lists, each there since the
# first version of this SONAME. dpkg-shlibdeps reads it (or the shlibs file
# CPack writes) when a program is built against the library. The triggers
# file has ldconfig run once the package is in place.
string(CONCAT _symbols "libbrantcfg.so.${PROJECT_VERSION_MAJOR} ${_brantcfg_runtime_package} #MINVER#\n"
              "* Build-Depends-Package: libbrantcfg-dev\n")
file(STRINGS "${PROJECT_SOURCE_DIR}/src/brantcfg.def" _exports REGEX "^[ \t]*[A-Za-z_][A-Za-z_0-9]*[ \t]+@[0-9]+")
foreach(_export IN LISTS _exports)
  string(REGEX REPLACE "^[ \t]*([A-Za-z_0-9]+).*" "\\1" _name "${_export}")
  string(APPEND _symbols " ${_name}@Base ${PROJECT_VERSION_MAJOR}.0.0\n")
endforeach()
file(WRITE "${_debian}/symbols" "${_symbols}")
file(WRITE "${_debian}/triggers" "activate-noawait ldconfig\n")

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${_brantcfg_revision})
set(CPACK_DEBIAN_PACKAGE_SOURCE brantcfg)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${_brantcfg_contact}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${_brantcfg_runtime_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "${_debian}/symbols" "${_debian}/triggers")
# Each package's description begins with its own synopsis line.
string(CONCAT _about "brantcfg reads and writes INI configuration files through ten C functions.\n"
           "Every call is a complete transaction on one file named by path; writes\n"
           "keep every other byte as it was and replace a file only by an atomic\n"
           "rename of a synced copy.\n.\n")
string(CONCAT CPACK_DEBIAN_RUNTIME_DESCRIPTION
       "library to read and write INI files through a plain C ABI\n" "${_about}"
       "This package holds the shared library.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libbrantcfg-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${_brantcfg_runtime_package} (= ${_brantcfg_debian_version})")
string(CONCAT CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
    "library to read and write INI files through a plain C ABI - development files\n" "${_about}"
    "This package holds the C header brantcfg.h, the C++17 layer brantcfg.hpp,\n"
    "the static library, the CMake package (find_package(brantcfg)) and the\n"
    "pkg-config file.")
set(CPACK_DEBIAN_TOOL_PACKAGE_NAME brantcfg)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
string(CONCAT CPACK_DEBIAN_TOOL_DESCRIPTION
    "read and change INI files from the shell\n"
    "brantcfg gets, sets and deletes values of INI configuration files, lists\n"
    "their sections and keys, dumps them as INI, JSON, lines or shell\n"
    "variables, and merges one file into another in a single rewrite.")
set(CPACK_COMPONENTS_ALL runtime development)
if(TARGET brantcfg_tool)
  list(APPEND CPACK_COMPONENTS_ALL tool)
endif()

set(CPACK_PACKAGE_NAME brantcfg)
set(CPACK_PACKAGE_VENDOR "the brantcfg authors")
set(CPACK_PACKAGE_CONTACT "${_brantcfg_contact}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
# CPack puts the project's summary before each Debian package's own
# description, whose first line is its synopsis, unless the summary is
# CPack's default one.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_STRIP_FILES ON)
# CPack's Debian generator gives every entry SOURCE_DATE_EPOCH as its time;
# cpack run by hand, without it, takes the time of the configuration.
set(CPACK_BRANTCFG_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
if(NOT CPACK_BRANTCFG_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  string(TIMESTAMP CPACK_BRANTCFG_SOURCE_DATE_EPOCH "%s" UTC)
endif()
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/package_epoch.cmake")
include(CPack)
