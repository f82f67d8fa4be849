#!/usr/bin/env bash
# Builds and runs the benchmark suite, then draws the plot and writes the
# table from the results.
#
#   bash bench/run.sh                  the full run (1 KiB, 16 KiB, 1 MiB, 16 MiB; a few minutes)
#   bash bench/run.sh --quick          1 KiB to 1 MiB, fewer repetitions
#   bash bench/run.sh ARGS...          extra Google Benchmark flags, such as
#                                      --benchmark_filter=W1
#
# Results, in build/bench/results/: results.json (Google Benchmark's JSON),
# table.md and performance.png, both made from the JSON by bench/plot.py.
# docs/PERFORMANCE.md shows a full run's table and plot; to refresh its plot:
#   python3 bench/plot.py build/bench/results/results.json --png docs/performance.png
set -euo pipefail
cd "$(dirname "$0")/.."

# The peers and the tools come from Debian packages; a peer that cannot be
# installed is left out of the comparison.
packages=(cmake g++ make pkg-config libbenchmark-dev libinih-dev libsimpleini-dev
          libiniparser-dev libglib2.0-dev python3-matplotlib)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" ||
      echo "bench: some packages could not be installed: ${missing[*]}" >&2
  else
    echo "bench: not root, so not installing: ${missing[*]}" >&2
  fi
fi

# Repetitions of every benchmark run in a random order among all of them,
# so a slow spell of the machine (a disk that syncs slower for a minute)
# falls on floors and subjects alike and the ratios stay fair.
sizes=1KiB,16KiB,1MiB,16MiB
repetitions=9
if [ "${1:-}" = "--quick" ]; then
  shift
  sizes=1KiB,16KiB,1MiB
  repetitions=5
fi

cmake --preset bench >/dev/null
cmake --build --preset bench

results=build/bench/results
mkdir -p "$results" build/bench/data
build/bench/bench/brantcfg_bench \
  --bench_dir=build/bench/data --bench_sizes="$sizes" \
  --benchmark_min_time=0.1 --benchmark_repetitions="$repetitions" \
  --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true \
  --benchmark_out="$results/results.json" --benchmark_out_format=json "$@"

# The plot wants matplotlib; Debian's python3 has it once python3-matplotlib
# is installed, whatever python3 comes first on the PATH.
for python in python3 /usr/bin/python3; do
  if "$python" -c "import matplotlib" 2>/dev/null; then
    "$python" bench/plot.py "$results/results.json" --png "$results/performance.png" --table "$results/table.md"
    echo "bench: $results/table.md and $results/performance.png written"
    exit 0
  fi
done
echo "bench: no python3 with matplotlib; the table and plot were not made" >&2
