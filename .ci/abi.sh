#!/usr/bin/env bash
# The frozen ABI: compares the shared library of a release build with the
# description kept in abi/libbrantcfg.abi (abidw of abigail-tools, from
# the library's debugging information and the public headers) and fails on
# any difference abidiff reports: a function's type, a parameter, the
# callback type, an export added or gone, the SONAME.
# Usage: abi.sh [--update] [LIBRARY]   (default: build/release/src/libbrantcfg.so.VERSION,
#                                       which `bash .ci/workflow release` builds)
# --update writes the description afresh from LIBRARY: only with a new major
# version (docs/RELEASING.md).
set -euo pipefail
cd "$(dirname "$0")/.."
echo "abigail-tools /usr/bin/abidiff" | bash .ci/install-packages -

update=no
if [ "${1:-}" = --update ]; then update=yes; shift; fi
version=$(sed -n 's/^#define BRANTCFG_VERSION_STRING "\([0-9.]*\)"$/\1/p' include/brantcfg.h)
library=${1:-build/release/src/libbrantcfg.so.$version}
description=abi/libbrantcfg.abi
[ -f "$library" ] || { echo "abi: no $library: run bash .ci/workflow release first" >&2; exit 1; }

if [ "$update" = yes ]; then
  mkdir -p abi
  abidw --headers-dir include --drop-private-types --exported-interfaces-only --no-corpus-path --no-comp-dir-path \
        --no-show-locs --type-id-style hash --out-file "$description" "$library"
  echo "abi: $description written from $library"
  exit 0
fi

status=0
abidiff --headers-dir2 include --drop-private-types --exported-interfaces-only "$description" "$library" ||
  status=$?
if [ "$status" -ne 0 ]; then
  echo "abi: $library differs from $description (abidiff status $status; 4: a change, 8: an incompatible one)." >&2
  echo "abi: the ten exports and their types do not change within a major version (docs/RELEASING.md)." >&2
  exit 1
fi
echo "abi: $library matches $description"
