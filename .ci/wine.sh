# Sourced by the steps that run Windows programs under Wine.
#
# 64-bit programs run under Wine's 64-bit loader itself, never through the
# `wine` command, so a 32-bit part that cannot start does not stop them.
wine64_loader=/usr/lib/wine/wine64

# start_wine: a Wine prefix of our own, made once (a fresh clone makes a
# fresh one). Wine's server and background services are started here,
# detached from every output: started by the first program instead, they
# would hold its output open and ctest would wait for them until its
# timeout. They stay up until stop_wine, which also spares each program the
# start-up.
start_wine() {
  export WINEPREFIX="${WINEPREFIX:-$PWD/build/wineprefix}"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
  mkdir -p "$WINEPREFIX"
  wineserver -p < /dev/null > /dev/null 2>&1
  "$wine64_loader" wineboot --init < /dev/null > /dev/null 2>&1
}

stop_wine() {
  wineserver -k > /dev/null 2>&1 || true
}
