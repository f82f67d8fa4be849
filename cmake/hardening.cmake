# Release builds for Debian take Debian's own build flags from
# dpkg-buildflags, every hardening feature on: the stack protector,
# _FORTIFY_SOURCE, format checks, and full RELRO with -z now; with them the
# path of the source folder is written as "." into the objects, so a build
# does not depend on where the sources lie. They come before the flags of
# the build type, as Debian's own builds give them.
find_program(BRANTCFG_DPKG_BUILDFLAGS dpkg-buildflags DOC "Debian's dpkg-buildflags, for release builds")
if(NOT BRANTCFG_DPKG_BUILDFLAGS)
  message(FATAL_ERROR "brantcfg: a release build for Debian takes its flags from dpkg-buildflags: "
                      "install dpkg-dev, or configure with -DBRANTCFG_RELEASE=OFF")
endif()
foreach(_kind CFLAGS CXXFLAGS CPPFLAGS LDFLAGS)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                          "${BRANTCFG_DPKG_BUILDFLAGS}" --get ${_kind}
                  WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
                  OUTPUT_VARIABLE _brantcfg_${_kind} OUTPUT_STRIP_TRAILING_WHITESPACE
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
string(PREPEND CMAKE_C_FLAGS "${_brantcfg_CFLAGS} ${_brantcfg_CPPFLAGS} ")
string(PREPEND CMAKE_CXX_FLAGS "${_brantcfg_CXXFLAGS} ${_brantcfg_CPPFLAGS} ")
foreach(_kind EXE SHARED MODULE)
  string(PREPEND CMAKE_${_kind}_LINKER_FLAGS "${_brantcfg_LDFLAGS} ")
endforeach()
message(STATUS "brantcfg: Debian's build flags: ${_brantcfg_CXXFLAGS} ${_brantcfg_CPPFLAGS} | ${_brantcfg_LDFLAGS}")
