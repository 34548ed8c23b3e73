#!/usr/bin/env bash
# Builds Skarvel and SkarvelSync without sanitizers and lays out the
# self-contained install folder in DIR (see README, "Install folder").
#
#   scripts/package.sh DIR [BUILD_DIR]     BUILD_DIR defaults to build/
set -euo pipefail
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: scripts/package.sh DIR [BUILD_DIR]" >&2
  exit 2
fi
mkdir -p "$1"
dest=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."
build=${2:-build}

scripts/install-deps.sh
# A sanitizer build links its runtime and a shared C++ library into the
# bootstrap; a shipped folder must never hold one.
cmake -S . -B "$build" -DSKARVEL_SANITIZE= >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target Skarvel SkarvelSync
cmake --install "$build" --prefix "$dest"
echo "Install folder ready: $dest"
