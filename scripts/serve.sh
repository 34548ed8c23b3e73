#!/usr/bin/env bash
# Serves a SkarvelPublish server folder over HTTP on 127.0.0.1 with nginx, the
# way players' synchronisers expect it: blobs, bundles and list sections (single
# gzip members "*.gz", or zstd frames "*.zst", each) go out with
# "Content-Encoding: gzip" or "zstd" so the client decodes them, nothing is
# listed, and half-written or hidden files are never served.
#
#   scripts/serve.sh SERVER_FOLDER [PORT]     (default port 8080)
#
# Runs in the foreground until stopped (Ctrl-C, SIGTERM); then nginx finishes
# the requests in flight and the script removes its temporary files. It is a
# local server for development, tests and demos; README.md ("Deploying on a
# web server or CDN") has the same rules for a real deployment.
set -euo pipefail

usage() { echo "usage: scripts/serve.sh SERVER_FOLDER [PORT]" >&2; exit 2; }
fail() { echo "serve.sh: $*" >&2; exit 1; }

[ $# -ge 1 ] && [ $# -le 2 ] || usage
case "${1:-}" in -h|--help) echo "usage: scripts/serve.sh SERVER_FOLDER [PORT]"; exit 0 ;; esac
folder=$1
port=${2:-8080}
[[ "$port" =~ ^[0-9]+$ ]] && [ "$port" -ge 1 ] && [ "$port" -le 65535 ] || fail "the port must be a number from 1 to 65535, not '$port'"
[ -d "$folder" ] || fail "no such folder: $folder"
folder=$(cd "$folder" && pwd -P)
case "$folder" in *[\;\{\}\'\"\ \\]*) fail "the folder's path may not hold spaces, quotes, braces, semicolons or backslashes: $folder" ;; esac

nginx=$(command -v nginx || true)
[ -n "$nginx" ] || nginx=/usr/sbin/nginx
[ -x "$nginx" ] || fail "nginx is not installed (scripts/install-deps.sh installs it)"

work=$(mktemp -d "${TMPDIR:-/tmp}/skarvel-serve.XXXXXX")
nginx_pid=""
cleanup() { rm -rf "$work"; }
trap cleanup EXIT

cat > "$work/nginx.conf" <<CONF
# One process in the foreground: the script owns it and stops exactly it.
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx.pid;
error_log stderr warn;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/body;
  proxy_temp_path $work/proxy;
  fastcgi_temp_path $work/fastcgi;
  uwsgi_temp_path $work/uwsgi;
  scgi_temp_path $work/scgi;
  sendfile on;
  tcp_nopush on;
  server_tokens off;
  types { application/json json; application/x-ndjson ndjson; }
  default_type application/octet-stream;
  # The lists can be large and compress well; clients accept gzip.
  gzip on;
  gzip_types application/json application/x-ndjson;
  server {
    listen 127.0.0.1:$port;
    server_name localhost;
    root $folder;
    # No directory listings: a folder's address is simply not found.
    autoindex off;
    location ~ /\$ { return 404; }
    # The publish lock and anything else hidden, and the temporary names a
    # running publish writes under, are never served.
    location ~ /\\. { return 404; }
    location ~ \\.part\$ { return 404; }
    # Blobs and bundles are stored gzip-compressed: send the stored bytes as
    # they are and let the client decode them.
    location ~ "^/(chunks|bundles|sections)/[0-9a-f]{2}/[0-9a-f]{2}/[0-9a-f]{64}\\.gz\$" {
      gzip off;
      types { }
      default_type application/octet-stream;
      add_header Content-Encoding gzip;
    }
    # A release published with --compression zstd stores them as zstd frames.
    location ~ "^/(chunks|bundles|sections)/[0-9a-f]{2}/[0-9a-f]{2}/[0-9a-f]{64}\\.zst\$" {
      gzip off;
      types { }
      default_type application/octet-stream;
      add_header Content-Encoding zstd;
    }
    location ~ ^/(chunks|bundles|sections)/ { return 404; }
  }
}
CONF

"$nginx" -p "$work/" -c "$work/nginx.conf" -e stderr &
nginx_pid=$!
stop() { kill -QUIT "$nginx_pid" 2>/dev/null || true; }
trap stop INT TERM HUP

# nginx writes its pid file once its socket is bound; a port that is taken
# makes it exit instead. Wait at most ten seconds for either.
for _ in $(seq 100); do
  if ! kill -0 "$nginx_pid" 2>/dev/null; then
    wait "$nginx_pid" || true
    fail "nginx could not serve on 127.0.0.1:$port (see its message above)"
  fi
  [ -s "$work/nginx.pid" ] && break
  sleep 0.1
done
[ -s "$work/nginx.pid" ] || { stop; wait "$nginx_pid" || true; fail "nginx did not start within ten seconds"; }

echo "Serving $folder at http://127.0.0.1:$port/ (Ctrl-C to stop)"
status=0
# A signal interrupts wait; keep waiting until nginx has finished its
# requests and exited.
while kill -0 "$nginx_pid" 2>/dev/null; do
  wait "$nginx_pid" && status=0 || status=$?
done
echo "Stopped serving $folder"
# Stopped by a signal is the normal way to end.
[ "$status" -ge 128 ] && status=0
exit "$status"
