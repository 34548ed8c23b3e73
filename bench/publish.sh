#!/usr/bin/env bash
# Times SkarvelPublish on generated content, by hand (never run by ctest):
#
#   bench/publish.sh [MIB] [SMALL_FILES]     # default 256 MiB in large files, 5000 small files
#
# Builds SkarvelPublish (in build-bench, or $SKARVEL_BENCH_BUILD), writes
# incompressible large files (MIB in all) and SMALL_FILES files of 1-16 KiB
# in 50 mod folders into a temporary folder, then publishes three times into
# a fresh server folder:
#   1. first release: everything hashed, compressed and written;
#   2. same content as a new release: everything hashed again, nothing written;
#   3. one mod changed: only its blobs and bundle written.
# Prints wall time and content throughput per run. Run on an idle machine;
# throughput grows with cores (--jobs defaults to all of them).
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-256}
small=${2:-5000}

build=${SKARVEL_BENCH_BUILD:-build-bench}   # another build folder, if you have one
cmake -S . -B "$build" -DSKARVEL_BENCH=ON >/dev/null
cmake --build "$build" --target SkarvelPublish -j2 >/dev/null
publish="$(pwd)/$build/bin/SkarvelPublish"
key="$(pwd)/tests/data/dev-signing-key.pem"

work=$(mktemp -d "${TMPDIR:-/tmp}/skarvel-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
content="$work/content"
mkdir -p "$content/mods/big"
for i in $(seq 1 $(( (mib + 63) / 64 ))); do
  head -c $(( 64 << 20 )) /dev/urandom > "$content/mods/big/archive$i.bsa"
done
python3 - "$content" "$small" <<'PY'
import os, random, sys
root, count = sys.argv[1], int(sys.argv[2])
random.seed(1)
for i in range(count):
    folder = os.path.join(root, "mods", "mod%02d" % (i % 50))
    os.makedirs(folder, exist_ok=True)
    size = random.randint(1024, 16384)
    with open(os.path.join(folder, "file%05d.esp" % i), "wb") as f:
        f.write(os.urandom(size // 2) + b"x" * (size - size // 2))
PY
bytes=$(du -sb "$content" | cut -f1)
echo "content: $(( bytes >> 20 )) MiB in $(find "$content" -type f | wc -l) files, $(nproc) cores"

run() {  # run LABEL VERSION SEQUENCE
  local start end
  start=$(date +%s.%N)
  "$publish" release --server "$work/server" --key "$key" --version "$2" --sequence "$3" \
    --required "$content" --quiet 2>/dev/null
  end=$(date +%s.%N)
  python3 -c "import sys; t=float(sys.argv[2])-float(sys.argv[1]); print('%-28s %6.2f s  %7.1f MiB/s' % (sys.argv[3], t, int(sys.argv[4])/t/1048576))" \
    "$start" "$end" "$1" "$bytes"
}
run "first release" 1.0 1
run "unchanged, new release" 1.1 2
for f in "$content"/mods/mod07/*.esp; do printf 'changed' >> "$f"; done
run "one mod changed" 1.2 3
