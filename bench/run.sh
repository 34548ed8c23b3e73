#!/usr/bin/env bash
# Measures SkarvelSync against the tools a player or admin would use instead,
# by hand (never run by ctest):
#
#   bench/run.sh                      # SCALE=1: about 1 GiB in 4,000 files
#   SCALE=0.05 RUNS=1 bench/run.sh    # a quick run while developing
#   ROWS=update,insert bench/run.sh   # only these rows (of cold, unchanged,
#                                     # verify, update, insert)
#   PUBLISH="--cut-average 16K" bench/run.sh   # other SkarvelPublish options
#
# Builds SkarvelSync and SkarvelPublish (RelWithDebInfo, no sanitizer) in
# build-bench, generates the tree (bench/generate.py), publishes it, serves
# the server folder with nginx and the tree with an rsync daemon, both on
# free ports of 127.0.0.1, and runs bench/compare.py, which prints a markdown
# table: cold install, unchanged rerun, --verify, a 1 % update and 4 KiB
# inserted at the front of the largest archive, each beside its peers, RUNS times (default 3), each command after SETTLE seconds
# (default 6) after flushing the disk. Everything lives in one temporary folder
# that is removed at the end, with both servers stopped, however the script
# ends (KEEP=1 keeps the folder, to look into a run). Needs about
# 4 x SCALE GiB of free space there ($TMPDIR or /tmp).
set -euo pipefail
cd "$(dirname "$0")/.."
scale=${SCALE:-1}
runs=${RUNS:-3}
settle=${SETTLE:-6}
seed=${SEED:-1}
rows=${ROWS:-cold,unchanged,verify,update,insert}
publish_args=${PUBLISH:-}

scripts/install-deps.sh
build=build-bench
cmake -S . -B "$build" -DSKARVEL_BENCH=ON -DSKARVEL_TESTS=OFF -DSKARVEL_SANITIZE= \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target SkarvelSync SkarvelPublish -j2 >/dev/null
bin="$(pwd)/$build/bin"
key="$(pwd)/tests/data/dev-signing-key.pem"
nginx=$(command -v nginx || echo /usr/sbin/nginx)

# Every background job gets its own process group (job control), so that
# stopping the measuring job stops whatever it is running too.
set -m
work=$(mktemp -d "${TMPDIR:-/tmp}/skarvel-syncbench.XXXXXX")
server_pids=()
compare_pid=""
cleanup() {
  local pid
  if [ -n "$compare_pid" ]; then
    kill -TERM -- "-$compare_pid" 2>/dev/null || true
    wait "$compare_pid" 2>/dev/null || true
  fi
  for pid in "${server_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if [ -n "${KEEP:-}" ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# A port nothing listens on now; the server that takes it is checked below.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

# Waits until something listens on 127.0.0.1:$1, or gives up after ten
# seconds or when the server process $2 has died.
wait_for_port() {
  for _ in $(seq 100); do
    kill -0 "$2" 2>/dev/null || { echo "run.sh: a server did not start" >&2; exit 1; }
    if python3 -c 'import socket, sys
socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1)' "$1" 2>/dev/null; then
      return 0
    fi
    sleep 0.1
  done
  echo "run.sh: nothing listens on port $1 after ten seconds" >&2
  exit 1
}

# Runs a command and says how long it took: timed LABEL COMMAND...
timed() {
  local label=$1 start=$SECONDS
  shift
  "$@"
  echo "$label in $((SECONDS - start)) s" >&2
}

tree="$work/tree"
server="$work/server"
echo "generating SCALE=$scale into $work" >&2
timed generated python3 bench/generate.py tree "$tree" --scale "$scale" --seed "$seed"
# shellcheck disable=SC2086 # the options are split as words on purpose
timed published "$bin/SkarvelPublish" release --server "$server" --key "$key" --version 1.1 \
  --sequence 1 --required "$tree" --quiet $publish_args

# nginx as scripts/serve.sh runs it (one process, blobs and bundles sent as
# stored with "Content-Encoding: gzip" or "zstd", lists gzipped on the fly), plus an
# access log: its byte counts are the bytes downloaded.
http_port=$(free_port)
mkdir -p "$work/nginx"
cat > "$work/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log stderr warn;
events { worker_connections 1024; }
http {
  log_format bench '\$status \$bytes_sent \$body_bytes_sent \$request_uri';
  access_log $work/nginx/access.log bench;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  sendfile on;
  tcp_nopush on;
  types { application/json json; application/x-ndjson ndjson; }
  default_type application/octet-stream;
  gzip on;
  gzip_types application/json application/x-ndjson;
  server {
    listen 127.0.0.1:$http_port;
    root $server;
    location ~ "^/(chunks|bundles|sections)/[0-9a-f]{2}/[0-9a-f]{2}/[0-9a-f]{64}\\.gz\$" {
      gzip off;
      types { }
      default_type application/octet-stream;
      add_header Content-Encoding gzip;
    }
    location ~ "^/(chunks|bundles|sections)/[0-9a-f]{2}/[0-9a-f]{2}/[0-9a-f]{64}\\.zst\$" {
      gzip off;
      types { }
      default_type application/octet-stream;
      add_header Content-Encoding zstd;
    }
  }
}
CONF
"$nginx" -p "$work/nginx/" -c "$work/nginx/nginx.conf" -e stderr &
server_pids+=($!)
wait_for_port "$http_port" "$!"

# The rsync daemon serves the tree itself, read-only, as this user (a daemon
# started by root would otherwise drop to nobody, who cannot enter $work).
rsync_port=$(free_port)
cat > "$work/rsyncd.conf" <<CONF
use chroot = no
uid = $(id -u)
gid = $(id -g)
pid file = $work/rsyncd.pid
log file = $work/rsyncd.log
[tree]
path = $tree
read only = yes
CONF
rsync --daemon --no-detach --config="$work/rsyncd.conf" --address=127.0.0.1 \
  --port="$rsync_port" &
server_pids+=($!)
wait_for_port "$rsync_port" "$!"

echo "machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)," \
  "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'); load average" \
  "$(cut -d' ' -f1-3 /proc/loadavg); SCALE=$scale, RUNS=$runs, $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "publisher options: ${publish_args:-(defaults)}"
echo "tree: $(find "$tree" -type f | wc -l) files in $(find "$tree" -mindepth 1 -type d | wc -l)" \
  "folders, $(du -sb "$tree" | awk '{printf "%.1f MiB", $1 / 1048576}'); server folder:" \
  "$(du -sb "$server" | awk '{printf "%.1f MiB", $1 / 1048576}')"
echo
# The cold install is also run with every flush skipped, to show what
# putting the installed files on the disk before the record costs.
cc -shared -fPIC -O2 -o "$work/noflush.so" bench/noflush.c
# In the background and waited for: a signal then ends the wait at once and
# the trap stops the measurements, instead of waiting for them to finish.
python3 bench/compare.py --no-flush "$work/noflush.so" --sync "$bin/SkarvelSync" \
  --publish "$bin/SkarvelPublish" --key "$key" \
  --generate bench/generate.py --tree "$tree" --server "$server" --work "$work" \
  --access-log "$work/nginx/access.log" --http-port "$http_port" --rsync-port "$rsync_port" \
  --runs "$runs" --settle "$settle" --rows "$rows" --publish-args "$publish_args" &
compare_pid=$!
status=0
wait "$compare_pid" || status=$?
compare_pid=""
exit "$status"
