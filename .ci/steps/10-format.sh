#!/usr/bin/env bash
# Every C and C++ file of the repository is as .clang-format lays it out:
# the check fails on the first file clang-format would change, and says
# which.
set -euo pipefail
cd "$(dirname "$0")/../.."
echo "clang-format /usr/bin/clang-format" | bash .ci/install-packages -
git ls-files -z '*.c' '*.cpp' '*.h' '*.hpp' | xargs -0 clang-format --dry-run -Werror
echo "format: $(git ls-files '*.c' '*.cpp' '*.h' '*.hpp' | wc -l) files as .clang-format lays them out"
