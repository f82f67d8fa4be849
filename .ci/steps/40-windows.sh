#!/usr/bin/env bash
# Windows: cross-builds brantcfg.dll for 64-bit and 32-bit Windows with
# MinGW-w64, checks both export tables against the header and the .def, and
# runs the test suites under Wine. The 64-bit run must pass; the 32-bit run
# happens where this machine can run 32-bit x86 programs.
set -euo pipefail
cd "$(dirname "$0")/../.."
started=$SECONDS

# package                      file that shows it is installed
required="
g++-mingw-w64-x86-64-posix     /usr/bin/x86_64-w64-mingw32-g++-posix
g++-mingw-w64-i686-posix       /usr/bin/i686-w64-mingw32-g++-posix
binutils-mingw-w64-x86-64      /usr/bin/x86_64-w64-mingw32-objdump
binutils-mingw-w64-i686        /usr/bin/i686-w64-mingw32-objdump
googletest                     /usr/src/googletest/CMakeLists.txt
wine                           /usr/bin/wine
wine64                         /usr/lib/wine/wine64
"
bash .ci/install-packages - <<< "$required"

# Whether this machine runs 32-bit x86 programs at all: some kernels are
# built without that, and there installing Wine's 32-bit part breaks even
# Debian's `wine` command, which starts the 32-bit loader whenever it is
# installed. The probe is the smallest static i386 program, written byte by
# byte: an ELF header, one loadable segment of the whole file, and the code
# mov eax,1; xor ebx,ebx; int 0x80 (exit 0).
runs_i386() {
  local probe=build/i386-probe
  mkdir -p build
  printf '%b' \
    '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
    '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
    '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00' \
    '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' \
    '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
    '\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' > "$probe"
  chmod +x "$probe"
  "$probe" 2> /dev/null
}

# Wine's 32-bit part (the i386 architecture and wine32) is installed only
# where 32-bit programs run, and used only where its loader starts. Without
# it the 32-bit DLL is still built and its export table checked; only its
# tests do not run.
wine32=no
wine32_loader=/usr/lib/wine/wine
if ! runs_i386; then
  echo "windows: this machine cannot run 32-bit x86 programs: Wine's 32-bit part is left out and the win32 tests do not run"
elif ! bash .ci/install-packages - <<< "wine32:i386 $wine32_loader"; then
  echo "windows: Wine's 32-bit part could not be installed: the win32 tests do not run"
elif ! "$wine32_loader" --version > /dev/null 2>&1; then
  echo "windows: Wine's 32-bit loader does not start here: the win32 tests do not run"
else
  wine32=yes
fi

source .ci/wine.sh
start_wine
trap stop_wine EXIT

for preset in win64 win32; do
  case $preset in
    win64) objdump=x86_64-w64-mingw32-objdump; wine=$wine64_loader ;;
    win32) objdump=i686-w64-mingw32-objdump; wine=$(command -v wine) ;;
  esac
  echo "== windows: $preset"
  cmake --preset "$preset" -DBRANTCFG_WINE="$wine" > /dev/null
  cmake --build --preset "$preset"
  cmake -DHEADER=include/brantcfg.h -DDEF=src/brantcfg.def \
        -DDLL="build/$preset/bin/brantcfg.dll" -DOBJDUMP="$objdump" -P tests/check_exports.cmake
  if [ "$preset" = win32 ] && [ "$wine32" = no ]; then
    continue
  fi
  ctest --preset "$preset"
done

echo "windows: done in $((SECONDS - started)) s"
