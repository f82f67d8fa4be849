#!/usr/bin/env bash
# Readers beside a writer, a million reads at each place: a 400-byte value
# whose line crosses the 4 KiB boundary, and one that lies inside the first
# 512 bytes. Every value read must be one that was written (all 'A' or all
# 'B'). Never part of ctest: bench/ shows properties over many calls.
#
#   bash bench/torn_reads.sh [READS]     (default 1000000 at each place)
set -euo pipefail
cd "$(dirname "$0")/.."
reads=${1:-1000000}
cmake --preset bench >/dev/null
cmake --build --preset bench --target brantcfg_torn_reads >/dev/null
program=$PWD/build/bench/bench/brantcfg_torn_reads
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "| line starts at | reads | torn | writer: patched | rewritten | failed |"
echo "|---|---|---|---|---|---|"
status=0
for offset in 3900 40; do
  result=$("$program" "$work/t.ini" "$offset" "$reads") || status=1
  echo "$result" | awk '{ printf "| %s | %s | %s | %s | %s | %s |\n", $1, $2, $3, $4, $5, $6 }'
done
exit $status
