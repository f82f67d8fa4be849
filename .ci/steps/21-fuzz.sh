#!/usr/bin/env bash
# Short fuzz runs: builds the libFuzzer targets with clang and runs each for
# $BRANTCFG_FUZZ_SECONDS (default 60) from its seeds, its regression inputs
# and the real-world corpus beside the repository. A crash or a broken
# invariant fails the step; the input that caused it is kept under
# build/fuzz/. Prints executions and the library's edge coverage per target.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${BRANTCFG_FUZZ_SECONDS:-60}

cmake --workflow --preset fuzz

extra=()
[ -d ../shared/corpus ] && extra+=("$(cd ../shared/corpus && pwd)")
for target in read write; do
  work=build/fuzz/run-$target
  mkdir -p "$work/corpus"
  log=$work/fuzz.log
  echo "-- fuzz_$target for ${seconds}s"
  if ! build/fuzz/fuzz/brantcfg_fuzz_$target -max_total_time="$seconds" -max_len=8192 \
        -print_final_stats=1 -artifact_prefix="$work/" \
        "$work/corpus" "fuzz/seeds/$target" "fuzz/regressions/$target" "${extra[@]}" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz_$target found a failure; the input is in $work/"
    exit 1
  fi
  grep -E '^#[0-9]+[[:space:]]+DONE' "$log" || true
  grep -E '^stat::number_of_executed_units' "$log" || true
  # Edge coverage of the library's own code by every input the run ended with.
  build/fuzz/fuzz/brantcfg_fuzz_$target -runs=0 -print_coverage=1 \
      "$work/corpus" "fuzz/seeds/$target" "fuzz/regressions/$target" "${extra[@]}" 2>&1 |
    awk '/_FUNC: hits:.*\/src\/[a-z_]+\.cpp/ {
           split($5, e, "/"); covered += e[1]; total += e[2]
         }
         END { if (total) printf "library edges covered: %d of %d (%.0f%%)\n", covered, total, 100 * covered / total }'
done
