#!/usr/bin/env bash
# Measures how well `SkarvelSync --max-rate` holds the rate it is given,
# beside `curl --limit-rate` fetching one file of the same size, by hand
# (never run by ctest):
#
#   bench/rate.sh                       # 24 MiB at 1M and 4M
#   SIZE=48 RATES="2M 8M" bench/rate.sh
#   BIN=build/bin bench/rate.sh         # use programs already built there
#
# Publishes SIZE MiB of random bytes (1 MiB files, so that the bytes on the
# wire are the bytes stored) with SkarvelPublish, serves the server folder
# with scripts/serve.sh on a free port of 127.0.0.1, and for each rate runs a
# cold install with --max-rate (six workers sharing the limit) and curl with
# --limit-rate over one file of SIZE MiB from the same nginx. Prints a
# markdown table: bytes received, wall time, the rate that came out and its
# ratio to the rate asked (for SkarvelSync, over its wall time less that of
# the same install without a limit). Everything lives in one temporary
# folder, removed at the end with the server stopped, however the script ends.
set -euo pipefail
cd "$(dirname "$0")/.."

size=${SIZE:-24}
rates=${RATES:-1M 4M}
bin=${BIN:-}
if [ -z "$bin" ]; then
  scripts/install-deps.sh
  cmake -S . -B build-bench -DSKARVEL_BENCH=ON -DSKARVEL_TESTS=OFF -DSKARVEL_SANITIZE= \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build-bench --target SkarvelSync SkarvelPublish -j2 >/dev/null
  bin=build-bench/bin
fi
bin=$(cd "$bin" && pwd)
key="$(pwd)/tests/data/dev-signing-key.pem"

set -m
work=$(mktemp -d "${TMPDIR:-/tmp}/skarvel-ratebench.XXXXXX")
serve_pid=""
cleanup() {
  if [ -n "$serve_pid" ]; then
    kill -TERM -- "-$serve_pid" 2>/dev/null || true
    wait "$serve_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

mkdir -p "$work/tree/mods"
for i in $(seq "$size"); do head -c 1048576 /dev/urandom > "$work/tree/mods/part$i.bin"; done
"$bin/SkarvelPublish" release --server "$work/server" --key "$key" --version 1.0 --sequence 1 \
  --required "$work/tree" --quiet 2>/dev/null
cat "$work"/tree/mods/*.bin > "$work/server/same-size.bin"

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])')
scripts/serve.sh "$work/server" "$port" >"$work/serve.log" 2>&1 &
serve_pid=$!
for _ in $(seq 100); do
  python3 -c 'import socket, sys
socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1)' "$port" 2>/dev/null && break
  sleep 0.1
done
url="http://127.0.0.1:$port"

now() { date +%s.%N; }
bytes_of() {  # rate text -> bytes per second
  python3 -c 'import sys; t = sys.argv[1]; u = {"K": 1024, "M": 1048576}.get(t[-1].upper(), 1)
print(int(t.rstrip("KkMm")) * u)' "$1"
}
row() {  # tool rate bytes seconds overhead-seconds
  python3 -c 'import sys
tool, rate, got, secs, fixed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5])
net = secs - fixed
print("| %s | %.2f | %.2f | %.2f | %.2f | %.3f |" % (tool, rate / 1048576, got / 1048576, secs,
      got / net / 1048576, got / net / rate))' "$@"
}
# A cold install into a fresh instance; prints its wall time, leaves its
# report in sync.log.
cold_install() {
  rm -rf "$work/instance"
  local start end
  start=$(now)
  "$bin/SkarvelSync" --root "$work/instance" --url "$url" "$@" > "$work/sync.log"
  end=$(now)
  python3 -c "print($end - $start)"
}

# What a run costs besides receiving (start, documents, assembly, records):
# the same install without a limit, on loopback where receiving is nearly
# free. It is taken off SkarvelSync's wall time before the rate is worked out.
fixed=$(cold_install)
echo "| tool | asked MiB/s | received MiB | wall s | got MiB/s | got / asked |"
echo "|---|---|---|---|---|---|"
for rate in $rates; do
  per_second=$(bytes_of "$rate")
  secs=$(cold_install --max-rate "$rate")
  got=$(python3 -c 'import sys, re
text = open(sys.argv[1]).read()
print(int(float(re.search(r"downloaded ([0-9.]+) MB", text).group(1)) * 1048576))' "$work/sync.log")
  row "SkarvelSync --max-rate $rate (6 workers)" "$per_second" "$got" "$secs" "$fixed"
  start=$(now)
  got=$(curl -s --limit-rate "$rate" -o /dev/null -w '%{size_download}' "$url/same-size.bin")
  end=$(now)
  row "curl --limit-rate $rate (one file)" "$per_second" "$got" \
    "$(python3 -c "print($end - $start)")" 0
done
echo "(SkarvelSync without a limit: $fixed s, taken off its rows' wall time for the rate)"
