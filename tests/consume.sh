#!/usr/bin/env bash
# Consumes brantcfg as a user would: installs it into a scratch prefix, then
# builds and runs the programs of examples/consumer against it through its
# CMake package, through pkg-config, and with add_subdirectory. Run by ctest
# (tests/packaging.cmake), one step per call:
#
#   consume.sh install BUILD_DIR PREFIX          install a configured build
#   consume.sh build-static SOURCE_DIR WORK PREFIX
#                                                build and install the static library
#   consume.sh find-package SOURCE_DIR WORK PREFIX
#   consume.sh pkg-config SOURCE_DIR WORK PREFIX [--static]
#   consume.sh add-subdirectory SOURCE_DIR WORK
#   consume.sh windows-zip SOURCE_DIR WORK UNPACKED TOOLCHAIN_FILE
#                                                an unpacked Windows zip of a release
#
# The compilers come from CC and CXX, extra flags from CFLAGS and CXXFLAGS,
# the generator from CMAKE_GENERATOR, as for any CMake project. Programs run
# under EMULATOR when it is set (a cross build's Wine).
set -euo pipefail
read -r -a emulator <<<"${EMULATOR:-}"

fail() {
    echo "consume.sh: $*" >&2
    exit 1
}

# Runs a settings program twice on a fresh file and checks that the second
# run read what the first one wrote, the quoted greeting included (a Windows
# program's CR LF line ends read as LF).
run_twice() {
    local program=$1 language=$2 file=$3
    rm -f "$file"
    "${emulator[@]}" "$program" "$file" >/dev/null || fail "$program: first run failed"
    local output
    output=$("${emulator[@]}" "$program" "$file" | tr -d '\r') || fail "$program: second run failed"
    echo "$output"
    grep -qx "run 2 of $file" <<<"$output" || fail "$program: the counter did not reach 2"
    grep -qxF "  [app] greeting = hello; from $language" <<<"$output" ||
        fail "$program: the greeting did not read back"
}

configure_consumer() {
    local source=$1 build=$2
    shift 2
    rm -rf "$build"
    cmake -S "$source/examples/consumer" -B "$build" -DCMAKE_BUILD_TYPE=Release "$@" >"$build.log" 2>&1 ||
        { cat "$build.log"; fail "configuring the consumer failed"; }
    cmake --build "$build" -j 1 >>"$build.log" 2>&1 || { cat "$build.log"; fail "building the consumer failed"; }
}

# The version an installed header declares: "MAJOR.MINOR.PATCH".
header_version() {
    sed -n 's/^#define BRANTCFG_VERSION_STRING "\([0-9.]*\)"$/\1/p' "$1/include/brantcfg.h"
}

find_pc_dir() {
    local pc
    pc=$(find "$1" -name brantcfg.pc -path '*/pkgconfig/*' | head -n 1)
    [ -n "$pc" ] || fail "no brantcfg.pc below $1"
    dirname "$pc"
}

# Checks what an installation holds: the headers, the library (for a shared
# one the SONAME chain libbrantcfg.so -> .so.MAJOR -> .so.VERSION), the package
# files, the pkg-config file naming the prefix it was installed to, and
# nothing of the unit tests.
check_installation() {
    local prefix=$1 kind=$2
    local pc_dir libdir
    pc_dir=$(find_pc_dir "$prefix")
    libdir=$(dirname "$pc_dir")
    for header in brantcfg.h brantcfg.hpp; do
        [ -f "$prefix/include/$header" ] || fail "$header is not installed"
    done
    for file in brantcfgConfig.cmake brantcfgConfigVersion.cmake brantcfgTargets.cmake; do
        [ -f "$libdir/cmake/brantcfg/$file" ] || fail "$file is not installed"
    done
    local version major
    version=$(header_version "$prefix")
    major=${version%%.*}
    [ -n "$major" ] || fail "brantcfg.h declares no version"
    if [ "$kind" = shared ]; then
        [ "$(readlink "$libdir/libbrantcfg.so")" = "libbrantcfg.so.$major" ] ||
            fail "libbrantcfg.so does not link to .so.$major"
        [ "$(readlink "$libdir/libbrantcfg.so.$major")" = "libbrantcfg.so.$version" ] ||
            fail "libbrantcfg.so.$major does not link to .so.$version"
        [ -f "$libdir/libbrantcfg.so.$version" ] || fail "libbrantcfg.so.$version is not installed"
        readelf -d "$libdir/libbrantcfg.so.$version" | grep -q "SONAME.*\[libbrantcfg\.so\.$major\]" ||
            fail "the library's SONAME is not libbrantcfg.so.$major"
    else
        [ -f "$libdir/libbrantcfg.a" ] || fail "libbrantcfg.a is not installed"
        [ ! -e "$libdir/libbrantcfg.so" ] || fail "a static build installed a shared library"
    fi
    if find "$prefix" -name '*internal*' | grep -q .; then fail "the unit tests' archive was installed"; fi
    # The tool comes with its manual page.
    if [ -e "$prefix/bin/brantcfg" ] && [ ! -f "$prefix/share/man/man1/brantcfg.1" ]; then
        fail "the tool is installed without its manual page"
    fi
    # An installed program (the command-line tool) finds the library it was
    # linked with from where it is installed, without any search path set.
    for program in "$prefix"/bin/*; do
        [ -f "$program" ] || continue
        if env -u LD_LIBRARY_PATH ldd "$program" | grep -q 'not found'; then
            fail "$program does not find its libraries"
        fi
    done
    local named
    named=$(PKG_CONFIG_PATH="$pc_dir" pkg-config --variable=prefix brantcfg)
    [ "$named" = "$prefix" ] || fail "brantcfg.pc names prefix '$named', not '$prefix'"
    PKG_CONFIG_PATH="$pc_dir" pkg-config --exists "brantcfg >= $major.0" ||
        fail "pkg-config does not find brantcfg >= $major.0"
    grep -qx 'License: MIT' "$pc_dir/brantcfg.pc" || fail "brantcfg.pc names no licence"
    echo "installed into $prefix:"
    (cd "$prefix" && find . ! -type d | sort | sed 's|^\./|  |')
}

step=${1:-}
case "$step" in
install)
    build_dir=$2 prefix=$3
    rm -rf "$prefix"
    cmake --install "$build_dir" --prefix "$prefix" >/dev/null || fail "cmake --install failed"
    check_installation "$prefix" shared
    ;;

build-static)
    # Absolute install directories, as distributions pass them: the package
    # files and brantcfg.pc must name them as given.
    source_dir=$2 work=$3 prefix=$4
    build="$work/static-build"
    rm -rf "$build" "$prefix"
    mkdir -p "$work"
    cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
        -DBRANTCFG_BUILD_TESTS=OFF -DBRANTCFG_BUILD_EXAMPLES=OFF -DBRANTCFG_BUILD_TOOLS=OFF \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR="$prefix/lib" \
        -DCMAKE_INSTALL_INCLUDEDIR="$prefix/include" >"$build.log" 2>&1 ||
        { cat "$build.log"; fail "configuring the static build failed"; }
    cmake --build "$build" -j 1 >>"$build.log" 2>&1 || { cat "$build.log"; fail "building the static library failed"; }
    cmake --install "$build" >/dev/null || fail "installing the static library failed"
    check_installation "$prefix" static
    grep -q "^libdir=$prefix/lib\$" "$prefix/lib/pkgconfig/brantcfg.pc" || fail "brantcfg.pc lost the absolute libdir"
    ;;

find-package)
    source_dir=$2 work=$3 prefix=$4
    build="$work/find-package-$(basename "$prefix")"
    mkdir -p "$work"
    configure_consumer "$source_dir" "$build" -DCMAKE_PREFIX_PATH="$prefix"
    run_twice "$build/settings_c" C "$build/c.ini"
    run_twice "$build/settings_cpp" C++ "$build/cpp.ini"
    # The version file: any MAJOR.x answers a request for MAJOR.0, and a
    # request for the next major version finds nothing.
    major=$(header_version "$prefix")
    major=${major%%.*}
    probe="$work/version-probe-$(basename "$prefix")"
    rm -rf "$probe" && mkdir -p "$probe/src"
    printf 'cmake_minimum_required(VERSION 3.16)\nproject(probe LANGUAGES C)\nfind_package(brantcfg ${WANT} CONFIG REQUIRED)\nmessage(STATUS "brantcfg ${brantcfg_VERSION}")\n' \
        >"$probe/src/CMakeLists.txt"
    cmake -S "$probe/src" -B "$probe/ok" -DWANT="$major.0" -DCMAKE_PREFIX_PATH="$prefix" >"$probe/ok.log" 2>&1 ||
        { cat "$probe/ok.log"; fail "find_package(brantcfg $major.0) failed"; }
    grep -q "brantcfg $major\." "$probe/ok.log" || fail "the package reported no $major.x version"
    if cmake -S "$probe/src" -B "$probe/too-new" -DWANT="$((major + 1)).0" -DCMAKE_PREFIX_PATH="$prefix" \
        >/dev/null 2>&1; then
        fail "find_package(brantcfg $((major + 1)).0) accepted a $major.x package"
    fi
    ;;

pkg-config)
    # The build lines the README gives, with a run path so the programs
    # find a shared library outside the system directories.
    source_dir=$2 work=$3 prefix=$4 static=${5:-}
    out="$work/pkg-config-$(basename "$prefix")"
    rm -rf "$out" && mkdir -p "$out"
    export PKG_CONFIG_PATH
    PKG_CONFIG_PATH=$(find_pc_dir "$prefix")
    # shellcheck disable=SC2046,SC2086
    ${CC:-cc} ${CFLAGS:-} -std=c99 -o "$out/settings_c" "$source_dir/examples/consumer/settings.c" \
        $(pkg-config --cflags --libs $static brantcfg) \
        -Wl,-rpath,"$(pkg-config --variable=libdir brantcfg)" || fail "the C program did not build"
    # shellcheck disable=SC2046,SC2086
    ${CXX:-c++} ${CXXFLAGS:-} -std=c++17 -o "$out/settings_cpp" "$source_dir/examples/consumer/settings.cpp" \
        $(pkg-config --cflags --libs $static brantcfg) \
        -Wl,-rpath,"$(pkg-config --variable=libdir brantcfg)" || fail "the C++ program did not build"
    run_twice "$out/settings_c" C "$out/c.ini"
    run_twice "$out/settings_cpp" C++ "$out/cpp.ini"
    ;;

add-subdirectory)
    source_dir=$2 work=$3
    build="$work/add-subdirectory"
    mkdir -p "$work"
    configure_consumer "$source_dir" "$build" -DBRANTCFG_SOURCE_DIR="$source_dir"
    run_twice "$build/settings_c" C "$build/c.ini"
    run_twice "$build/settings_cpp" C++ "$build/cpp.ini"
    ;;

windows-zip)
    # As a Windows developer uses the zip: a C and a C++ program through its
    # CMake package, and the C program linked straight against the MSVC
    # import library and against MinGW's; each runs with the DLL beside it.
    # Files are named relative to the programs' folder, which Wine maps.
    source_dir=$2 work=$3 unpacked=$4 toolchain=$5
    build="$work/windows-zip"
    mkdir -p "$work"
    for file in bin/brantcfg.dll bin/brantcfg.exe lib/brantcfg.lib lib/libbrantcfg.dll.a lib/brantcfg.def \
        include/brantcfg.h include/brantcfg.hpp lib/cmake/brantcfg/brantcfgConfig.cmake LICENSE CHANGELOG.md \
        README.md; do
        [ -f "$unpacked/$file" ] || fail "the zip holds no $file"
    done
    configure_consumer "$source_dir" "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -Dbrantcfg_DIR="$unpacked/lib/cmake/brantcfg"
    cp "$unpacked/bin/brantcfg.dll" "$build/"
    for import in brantcfg.lib libbrantcfg.dll.a; do
        # shellcheck disable=SC2086
        ${CC:?CC names the cross compiler} ${CFLAGS:-} -std=c99 -o "$build/settings_c_${import%%.*}.exe" \
            "$source_dir/examples/consumer/settings.c" -I"$unpacked/include" "$unpacked/lib/$import" ||
            fail "the C program did not link against $import"
    done
    cd "$build"
    run_twice ./settings_c.exe C c.ini
    run_twice ./settings_cpp.exe C++ cpp.ini
    run_twice ./settings_c_brantcfg.exe C msvc-import.ini
    run_twice ./settings_c_libbrantcfg.exe C mingw-import.ini
    version=$(header_version "$unpacked")
    [ "$("${emulator[@]}" "$unpacked/bin/brantcfg.exe" --version | tr -d '\r')" = "brantcfg $version" ] ||
        fail "brantcfg.exe --version does not print brantcfg $version"
    ;;

*)
    echo "usage: consume.sh install|build-static|find-package|pkg-config|add-subdirectory|windows-zip ARGS..." >&2
    exit 2
    ;;
esac
echo "consume.sh $step: passed"
