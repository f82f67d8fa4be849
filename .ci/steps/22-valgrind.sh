#!/usr/bin/env bash
# Valgrind memcheck over the test programs of the ci build: every gtest
# program once (all its cases in one process, far quicker than one valgrind
# start per case) and both fuzz replays over their seeds and the corpus.
# Left out: the heap and stack footprint test, which brings its own malloc
# and thread stacks and would measure valgrind's instead. The crash test runs a few kills only.
# Any memcheck error or definite leak fails the step.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build/ci
[ -d "$build/tests" ] || cmake --workflow --preset ci

memcheck=(valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite
          --show-leak-kinds=definite --track-fds=no)
corpus=()
[ -d ../shared/corpus ] && corpus+=(../shared/corpus)

failed=0
run() {
  local name=$1; shift
  local start=$SECONDS
  if "${memcheck[@]}" "$@" >"$build/memcheck-$name.log" 2>&1; then
    echo "memcheck clean: $name ($((SECONDS - start)) s)"
  else
    echo "memcheck FAILED: $name"; tail -n 40 "$build/memcheck-$name.log"; failed=1
  fi
}

export BRANTCFG_CRASH_KILLS=3
for program in "$build"/tests/brantcfg_test_*; do
  [ -x "$program" ] && [ -f "$program" ] || continue
  name=$(basename "$program")
  case "$name" in brantcfg_test_footprint) continue ;; esac
  if [ "$name" = brantcfg_test_c_header ]; then
    run "$name" "$program" "$build/tests/memcheck_c_header.ini"
  else
    run "$name" "$program" --gtest_brief=1
  fi
done
run fuzz_read "$build/fuzz/brantcfg_fuzz_read" fuzz/seeds/read fuzz/regressions/read "${corpus[@]}"
run fuzz_write "$build/fuzz/brantcfg_fuzz_write" fuzz/seeds/write fuzz/regressions/write "${corpus[@]}"
exit $failed
