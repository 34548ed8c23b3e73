#!/usr/bin/env bash
# Installs what the build and the tests need, builds, and runs the whole test
# suite through ctest. Exits non-zero on any failure.
#
#   scripts/test.sh                      plain build in build/, then every fuzz
#                                        target briefly (scripts/fuzz-smoke.sh)
#   scripts/test.sh --sanitize address   AddressSanitizer + UBSan build in build-address/
#   scripts/test.sh --sanitize thread    ThreadSanitizer build in build-thread/
#   --tests "A B"   build and run only these test programs (e.g. SyncTransferTest)
#   extra arguments after -- go to ctest (e.g. -- -R Json)
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
tests=""
ctest_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) sanitize="$2"; shift 2 ;;
    --tests) tests="$2"; shift 2 ;;
    --) shift; ctest_args=("$@"); break ;;
    *) echo "usage: scripts/test.sh [--sanitize address|thread] [--tests \"A B\"] [-- ctest arguments]" >&2; exit 2 ;;
  esac
done

scripts/install-deps.sh

build_dir=build
[ -n "$sanitize" ] && build_dir="build-$sanitize"
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B "$build_dir" -DSKARVEL_SANITIZE="$sanitize" >/dev/null
if [ -n "$tests" ]; then
  read -r -a names <<< "$tests"
  cmake --build "$build_dir" -j "$jobs" --target "${names[@]}"
  ctest_args=(-R "^($(IFS='|'; echo "${names[*]}"))\$" "${ctest_args[@]}")
else
  cmake --build "$build_dir" -j "$jobs"
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
(cd "$build_dir" && ctest --output-on-failure -j "$jobs" "${ctest_args[@]}")

# The whole plain suite also runs the fuzzers for a short, bounded time on
# their committed seed corpora; the sanitizer and partial runs do not.
if [ -z "$sanitize" ] && [ -z "$tests" ] && [ ${#ctest_args[@]} -eq 0 ]; then
  scripts/fuzz-smoke.sh
fi
