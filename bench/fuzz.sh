#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang in build-fuzz and runs each
# for SECONDS (default 60) on a scratch copy of its seed corpus, one after
# the other. Prints a line per target with its executions, executions per
# second, coverage and peak memory, and exits non-zero when any target
# crashed, leaked, timed out or broke one of its checks.
#
#   bench/fuzz.sh [SECONDS] [TARGET...]     e.g. bench/fuzz.sh 600 JsonFuzz
#
# Crashing inputs are kept in build-fuzz/fuzz-artifacts/<target>/, each run's
# output in build-fuzz/fuzz-logs/<target>.log, the table in
# build-fuzz/fuzz-report.txt. The committed corpus is never written to: new
# inputs go to build-fuzz/fuzz-corpus/<target>/ (merge good ones by hand with
# the target's -merge=1). scripts/fuzz-smoke.sh runs this with 10 seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true
case "$seconds" in ''|*[!0-9]*) echo "usage: bench/fuzz.sh [SECONDS] [TARGET...]" >&2; exit 2 ;; esac

build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DSKARVEL_FUZZ=ON -DSKARVEL_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2 --target fuzzers >/dev/null

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for source in fuzz/*Fuzz.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
mkdir -p "$build/fuzz-logs"
report="$build/fuzz-report.txt"
printf '%-22s %8s %12s %9s %6s %6s %8s  %s\n' target seconds runs exec/s cov corpus rss_mb result \
  | tee "$report"

# One figure of libFuzzer's final statistics in a run's log.
final_stat() { sed -n "s/^stat::$2: *//p" "$1" | tail -1; }
# The last "<key>: N" of the progress lines; empty when the run never got
# that far. Guarded: grep finding nothing must not end the script.
last_figure() { { grep -o "$2: [0-9]*" "$1" || true; } | tail -1 | cut -d' ' -f2; }

failed=0
for target in "${targets[@]}"; do
  seeds="fuzz/corpus/$(echo "${target%Fuzz}" | tr '[:upper:]' '[:lower:]')"
  work="$build/fuzz-corpus/$target"
  artifacts="$build/fuzz-artifacts/$target"
  log="$build/fuzz-logs/$target.log"
  mkdir -p "$work" "$artifacts"
  # New inputs go to the first folder only; the seeds are read, never written.
  # The outer timeout is a backstop should libFuzzer itself hang.
  status=0
  timeout --kill-after=10 $((seconds + 120)) "$build/fuzz/$target" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" "$seeds" >"$log" 2>&1 \
    || status=$?
  coverage=$(last_figure "$log" cov)
  corpus=$(last_figure "$log" corp)
  result=ok
  if [ "$status" -ne 0 ]; then result="FAILED (exit $status, see $log)"; failed=1; fi
  printf '%-22s %8s %12s %9s %6s %6s %8s  %s\n' "$target" "$seconds" \
    "$(final_stat "$log" number_of_executed_units)" "$(final_stat "$log" average_exec_per_sec)" "${coverage:-?}" \
    "${corpus:-?}" "$(final_stat "$log" peak_rss_mb)" "$result" | tee -a "$report"
done
exit "$failed"
