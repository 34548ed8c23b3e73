#!/usr/bin/env bash
# The main job, end to end on this machine: build, publish a demo release,
# serve it on 127.0.0.1:8080, install it into a demo instance with
# SkarvelSync, run again (nothing to do), publish a second release with a
# changed, an added and a removed file, update to it, and stop the server.
# Everything it makes lies under build/demo/ (kept for a look afterwards).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
port=${SKARVEL_DEMO_PORT:-8080}
url="http://127.0.0.1:$port"

step() { printf '\n==> %s\n' "$*"; }

step "Installing missing packages and building"
scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target SkarvelSync SkarvelPublish >/dev/null

demo="$top/build/demo"
rm -rf "$demo"
mkdir -p "$demo"
server="$demo/server"
instance="$demo/instance"
key="$top/tests/data/dev-signing-key.pem"   # development key: never for real releases

publish() {  # publish VERSION SEQUENCE CONTENT_DIR
  build/bin/SkarvelPublish release --server "$server" --key "$key" \
    --version "$1" --sequence "$2" --required "$3" --optional demo/overhaul \
    --config-required demo/config-required.cfg --config-optional demo/config-optional.cfg \
    --credits demo/credits.json
}

step "Publishing release 1.0.0 into $server"
publish 1.0.0 1 demo/v1

step "Serving it with nginx on $url"
scripts/serve.sh "$server" "$port" &
serve_pid=$!
trap 'kill "$serve_pid" 2>/dev/null || true; wait "$serve_pid" 2>/dev/null || true' EXIT
for _ in $(seq 1 50); do
  curl -fsS "$url/current.json" >/dev/null 2>&1 && break
  sleep 0.2
done
curl -fsS "$url/current.json" >/dev/null

# The player's own copy of the base game; it is never downloaded.
export SKARVEL_DUSKMERE_DIR="$top/demo/base-game"

step "First sync: installing release 1.0.0 into $instance"
build/bin/SkarvelSync --root "$instance" --url "$url"

step "Second sync: nothing has changed"
build/bin/SkarvelSync --root "$instance" --url "$url"

step "Publishing release 1.1.0: one file changed, one mod added, one file removed"
next="$demo/content-1.1.0"
cp -R demo/v1 "$next"
cp -R demo/v2-changes/. "$next/"
rm "$next/mods/ashen-roads/readme.txt"
publish 1.1.0 2 "$next"

step "Third sync: updating to release 1.1.0"
build/bin/SkarvelSync --root "$instance" --url "$url"

step "The instance now holds"
(cd "$instance" && find content settings -type f -not -path 'content/cache/*' | sort)
printf '\nsettings/corvane.cfg:\n'
cat "$instance/settings/corvane.cfg"

step "Stopping the server"
