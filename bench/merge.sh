#!/usr/bin/env bash
# Times the tool's merge of 200 pairs into a 1 MiB file with hyperfine, and
# checks first that the merged file is what setting the same pairs one after
# another gives. Never part of ctest.
#
#   bash bench/merge.sh                 the tool of an optimised build (build/release)
#   bash bench/merge.sh OTHER...        also other brantcfg binaries, such as one
#                                       built from an earlier commit, side by side
#
# crudini, the usual Python tool, merges the same pairs beside it
# (crudini --merge FILE < pairs.ini), installed from Debian when missing.
#
# The file is made like the benchmark corpus (sections of 20 keys, lines of
# about 30 bytes in CR LF, a comment every few keys). The 200 pairs are
# spread over the whole file, a quarter of each kind: a longer value for a
# key, a value as long as the old one, a new key in a section, a new
# section. Results, in build/bench-merge/: merge.md and merge.json.
set -euo pipefail
cd "$(dirname "$0")/.."

printf 'hyperfine /usr/bin/hyperfine\ncrudini /usr/bin/crudini\n' | bash .ci/install-packages - ||
  echo "bench: hyperfine and crudini could not be installed" >&2
command -v hyperfine >/dev/null || exit 1

cmake --preset release >/dev/null
cmake --build --preset release --target brantcfg_tool
tool=$PWD/build/release/tools/brantcfg

work=build/bench-merge
mkdir -p "$work"
cd "$work"

awk -v target=1048576 'BEGIN {
  ORS = ""
  text = "# generated benchmark file\r\n"; size = length(text); print text
  for (s = 0; size < target; s++) {
    text = (s > 0 ? "\r\n" : "") sprintf("[section%05d]\r\n", s)
    for (k = 0; k < 20; k++) {
      if (k % 7 == 3) text = text "# note on the next key\r\n"
      text = text sprintf("key%02d=value-%05d-%02d-abcdefgh\r\n", k, s, k)
    }
    size += length(text); print text
  }
  print s > "sections.txt"
}' >pristine.ini
sections=$(cat sections.txt)
awk -v sections="$sections" 'BEGIN {
  for (i = 0; i < 200; i++) {
    s = int(i * sections / 200)
    if (i % 4 == 0) printf("[section%05d]\nkey%02d=a-longer-value-%05d\n", s, i % 20, i)
    else if (i % 4 == 1) printf("[section%05d]\nkey%02d=value-%05d-%02d-ABCDEFGH\n", s, i % 20, s, i % 20)
    else if (i % 4 == 2) printf("[section%05d]\nadded%03d=new-%d\n", s, i, i)
    else printf("[new%03d]\nkey=v%d\n", i, i)
  }
}' >pairs.ini

# The merged file against the pairs set one at a time by set.
cp pristine.ini merged.ini
"$tool" merge merged.ini pairs.ini
cp pristine.ini in-turn.ini
awk '/^\[/ { section = substr($0, 2, length($0) - 2); next }
     { split($0, pair, "="); print section "\t" pair[1] "\t" pair[2] }' pairs.ini |
  while IFS=$'\t' read -r section key value; do "$tool" set in-turn.ini "$section" "$key" "$value"; done
if ! cmp -s merged.ini in-turn.ini; then
  echo "bench: the merged file differs from the pairs set in turn" >&2
  exit 1
fi
echo "bench: $(wc -c <pristine.ini) bytes, $(grep -c = pairs.ini) pairs; merged file equals the pairs set in turn"

commands=("$tool merge work.ini pairs.ini")
for other in "$@"; do commands+=("$(realpath "$other") merge work.ini pairs.ini"); done
if command -v crudini >/dev/null; then commands+=("crudini --merge work.ini < pairs.ini"); fi
hyperfine --warmup 2 --runs 20 --prepare 'cp pristine.ini work.ini' \
  --export-markdown merge.md --export-json merge.json "${commands[@]}"
