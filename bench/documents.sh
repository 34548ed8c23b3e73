#!/usr/bin/env bash
# What the documents of a small update cost in a pack of many files, by hand
# (never run by ctest):
#
#   bench/documents.sh                    # 100,000 tiny files, one changed
#   FILES=20000 bench/documents.sh        # a smaller pack
#   BIN=build/bin bench/documents.sh      # binaries already built
#
# Generates the pack (bench/generate.py many), publishes it twice into two
# server folders, once as SkarvelPublish does by default (lists cut into
# sections) and once with --whole-lists (the lists whole, as releases were
# before sections), serves both with nginx as bench/run.sh does, installs
# each into an instance, changes one file (bench/generate.py change-one),
# publishes the next release into both folders and updates both instances.
# For each update it prints, from nginx's access log, the bytes of
# documents (pointer, manifest, lists, sections) and of blobs and bundles
# the update downloaded, and its requests. Everything lives in one
# temporary folder that is removed at the end, nginx stopped, however the
# script ends (KEEP=1 keeps the folder).
set -euo pipefail
cd "$(dirname "$0")/.."
files=${FILES:-100000}
seed=${SEED:-1}
publish_args=${PUBLISH:-}

if [ -z "${BIN:-}" ]; then
  build=build-bench
  cmake -S . -B "$build" -DSKARVEL_BENCH=ON -DSKARVEL_TESTS=OFF -DSKARVEL_SANITIZE= \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" --target SkarvelSync SkarvelPublish -j2 >/dev/null
  BIN="$build/bin"
fi
bin="$(cd "$BIN" && pwd)"
key="$(pwd)/tests/data/dev-signing-key.pem"
nginx=$(command -v nginx || echo /usr/sbin/nginx)

set -m
work=$(mktemp -d "${TMPDIR:-/tmp}/skarvel-docbench.XXXXXX")
nginx_pid=""
cleanup() {
  if [ -n "$nginx_pid" ]; then
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  if [ -n "${KEEP:-}" ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])')

tree="$work/tree"
echo "generating $files files into $work" >&2
python3 bench/generate.py many "$tree" --files "$files" --seed "$seed"

publish() {  # publish FOLDER VERSION SEQUENCE [options]
  local folder=$1 version=$2 sequence=$3
  shift 3
  # shellcheck disable=SC2086 # the options are split as words on purpose
  "$bin/SkarvelPublish" release --server "$work/$folder" --key "$key" --version "$version" \
    --sequence "$sequence" --required "$tree" --quiet $publish_args "$@"
}
publish sectioned 1 1
publish whole 1 1 --whole-lists

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
  types { application/json json; application/x-ndjson ndjson; }
  default_type application/octet-stream;
  gzip on;
  gzip_types application/json application/x-ndjson;
  server {
    listen 127.0.0.1:$port;
    root $work;
    location ~ "/(chunks|bundles|sections)/[0-9a-f]{2}/[0-9a-f]{2}/[0-9a-f]{64}\\.gz\$" {
      gzip off;
      types { }
      default_type application/octet-stream;
      add_header Content-Encoding gzip;
    }
  }
}
CONF
"$nginx" -p "$work/nginx/" -c "$work/nginx/nginx.conf" -e stderr &
nginx_pid=$!
for _ in $(seq 100); do
  python3 -c 'import socket, sys
socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1)' "$port" 2>/dev/null && break
  sleep 0.1
done

# sync FOLDER: brings the instance of FOLDER up to date; prints what it cost.
sync() {
  local folder=$1
  : > "$work/nginx/access.log"
  "$bin/SkarvelSync" --root "$work/instance-$folder" --url "http://127.0.0.1:$port/$folder" \
    > "$work/sync-$folder.log" || { cat "$work/sync-$folder.log" >&2; exit 1; }
  awk -v folder="$folder" '
    $4 ~ /\/(chunks|bundles)\// { bodies += $2; next }
    { documents += $2; requests++ }
    END { printf "%s: documents %.1f KiB in %d requests, blobs and bundles %.1f KiB (%d requests in all)\n",
          folder, documents / 1024, requests, bodies / 1024, NR }' "$work/nginx/access.log"
}

echo "install:" >&2
sync sectioned >&2
sync whole >&2
changed=$(python3 bench/generate.py change-one "$tree" --seed "$seed")
echo "changed $changed" >&2
publish sectioned 2 2
publish whole 2 2 --whole-lists
echo "manifest: sectioned $(stat -c %s "$work/sectioned/manifest/2/manifest.json") bytes," \
  "whole $(stat -c %s "$work/whole/manifest/2/manifest.json") bytes" \
  "($(ls "$work/sectioned/sections"/*/*/ | grep -c gz) section objects stored)"
echo "one changed file in a $files-file pack (bytes sent, headers included):"
sync sectioned
sync whole
