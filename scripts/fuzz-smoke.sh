#!/usr/bin/env bash
# The fuzzers' short run for CI: installs what the build needs, builds only
# the libFuzzer targets in build-fuzz with clang, and runs each for 10 seconds
# on its committed seed corpus (ASan and UBSan on, 2 GiB memory limit). Exits
# non-zero on any crash, leak, time-out or broken check; the crashing input
# is then in build-fuzz/fuzz-artifacts/<target>/. Longer runs: bench/fuzz.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
exec bench/fuzz.sh 10
