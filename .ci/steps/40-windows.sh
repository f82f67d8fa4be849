#!/usr/bin/env bash
# Windows: cross-builds brantcfg.dll for 64-bit and 32-bit Windows with
# MinGW-w64, checks both export tables against the header and the .def, and
# runs the test suites under Wine. The 64-bit run must pass; the 32-bit run
# happens when Wine's 32-bit part can be installed here.
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

# Wine's 32-bit part needs the i386 architecture. Without it the 32-bit DLL
# is still built and its export table checked; only its tests cannot run.
wine32=yes
if [ ! -e /usr/lib/wine/wine ]; then
  if ! { { dpkg --print-foreign-architectures | grep -qx i386 ||
           { dpkg --add-architecture i386 && apt-get update -qq; }; } &&
         apt-get install -y -qq --no-install-recommends wine32:i386; }; then
    wine32=no
    echo "windows: Wine's 32-bit part could not be installed; the 32-bit tests will not run"
  fi
fi

# A Wine prefix of our own, made once (a fresh clone makes a fresh one).
# Wine's server and background services are started here, detached from
# every output: started by the first test program instead, they would hold
# its output open and ctest would wait for them until its timeout. They stay
# up for the whole run, which also spares each test program the start-up.
export WINEPREFIX="${WINEPREFIX:-$PWD/build/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
mkdir -p "$WINEPREFIX"
wineserver -p < /dev/null > /dev/null 2>&1
trap 'wineserver -k > /dev/null 2>&1 || true' EXIT
wineboot --init < /dev/null > /dev/null 2>&1

for preset in win64 win32; do
  case $preset in
    win64) objdump=x86_64-w64-mingw32-objdump ;;
    win32) objdump=i686-w64-mingw32-objdump ;;
  esac
  echo "== windows: $preset"
  cmake --preset "$preset" > /dev/null
  cmake --build --preset "$preset"
  cmake -DHEADER=include/brantcfg.h -DDEF=src/brantcfg.def \
        -DDLL="build/$preset/bin/brantcfg.dll" -DOBJDUMP="$objdump" -P tests/check_exports.cmake
  if [ "$preset" = win32 ] && [ "$wine32" = no ]; then
    continue
  fi
  ctest --preset "$preset"
done

echo "windows: done in $((SECONDS - started)) s"
