#!/usr/bin/env bash
# Counts the system calls of one call of each kind on the suite's 16 KiB
# file with strace: a lookup, then every kind of setter, from an unchanged
# value to a missing file created. Never part of ctest.
#
#   bash bench/syscalls.sh             prints one line per kind: the count, then by name
#
# The 16 KiB file is the one bench/run.sh generates; run that first (or
# bash bench/run.sh --quick --benchmark_filter=floor/open).
set -euo pipefail
cd "$(dirname "$0")/.."

printf 'strace /usr/bin/strace\n' | bash .ci/install-packages - || exit 1
cmake --preset bench >/dev/null
cmake --build --preset bench --target brantcfg_syscalls >/dev/null
program=$PWD/build/bench/bench/brantcfg_syscalls
source=$PWD/build/bench/data/corpus-16KiB.ini
[ -f "$source" ] || { echo "bench: $source is missing; run bash bench/run.sh first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

count() {
  local label=$1
  shift
  cp "$source" t.ini
  rm -f new.ini
  strace -f -o trace.log "$program" "$@" || { echo "bench: $label failed" >&2; exit 1; }
  # The calls between the two getppid markers, by name.
  awk '/getppid/ { marks++; next } marks == 1' trace.log | sed -E 's/^[0-9]+ +//; s/\(.*//' >names
  printf '| %s | %d | %s |\n' "$label" "$(wc -l <names)" \
    "$(sort names | uniq -c | sort -k1,1nr -k2 | awk '{ printf "%s%s %s", sep, $2, $1; sep = ", " }')"
}

echo "| call | system calls | by name |"
echo "|---|---|---|"
count "lookup (ini_gets)" t.ini get section00023 key19
count "unchanged value" t.ini set section00012 key10 value-00012-10-abcdefgh
count "value of the same length: patch" t.ini set section00012 key10 VALUE-00012-10-abcdefgh
count "longer value: splice" t.ini set section00012 key10 a-longer-value-than-before-it-was
count "new key: splice" t.ini set section00012 newkey v
count "key deleted: splice" t.ini delete section00012 key10
count "new section: splice" t.ini set newsection k v
count "missing file: created" new.ini set s k v
