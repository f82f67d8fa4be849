#!/usr/bin/env bash
# The whole test suite (fuzz seed replays included) under AddressSanitizer
# and UndefinedBehaviorSanitizer, then the threads test under
# ThreadSanitizer. Any report fails the run: every sanitizer is told to
# stop at its first finding.
set -euo pipefail
cd "$(dirname "$0")/../.."

cmake --workflow --preset asan
cmake --workflow --preset tsan
