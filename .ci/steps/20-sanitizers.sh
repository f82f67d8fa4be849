#!/usr/bin/env bash
# The whole test suite (fuzz seed replays included) under AddressSanitizer
# and UndefinedBehaviorSanitizer, then the threads test under
# ThreadSanitizer. Any report fails the run: every sanitizer is told to
# stop at its first finding. The package tests are left out of the ASan run:
# they build consumer programs without the sanitizer against the installed
# library, which then cannot load its sanitizer runtime first.
set -euo pipefail
cd "$(dirname "$0")/../.."

bash .ci/workflow asan
bash .ci/workflow tsan
