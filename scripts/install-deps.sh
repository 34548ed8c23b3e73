#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the demo, the server and
# the benchmarks need, when any is missing. As root it runs apt-get;
# otherwise it prints the one command to run and stops.
set -euo pipefail

# ca-certificates: a minimal Debian has no trusted certificates at all, and
# the HTTPS tests that use the system's trust store need them. binutils
# (objdump) reads the install folder's symbol versions; mount (unshare's
# partner) hides the trust store from a test's own namespace.
# varnish: the caching proxy the CDN test puts in front of nginx.
# zlib1g-dev and libzstd-dev: the publisher compresses objects with either;
# libisal-dev: the synchroniser inflates gzip bodies with ISA-L (zstd ones
# with libzstd).
packages=(g++ cmake make pkg-config openssl libssl-dev libcurl4-openssl-dev
          libgtest-dev zlib1g-dev libzstd-dev libisal-dev nginx-light python3
          file procps curl clang libclang-rt-14-dev
          rsync time ca-certificates binutils mount varnish)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
# Any nginx flavour serves our folder; only install one when none is there.
if command -v nginx >/dev/null 2>&1 || [ -x /usr/sbin/nginx ]; then
  missing=("${missing[@]/nginx-light}")
fi
read -r -a missing <<< "${missing[*]:-}"
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages. Run as root:" >&2
  echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# nginx's and varnish's packages try to start their system services;
# policy-rc.d keeps them from grabbing ports on a machine that only runs our
# test servers.
policy=/usr/sbin/policy-rc.d
created_policy=0
if [ ! -e "$policy" ]; then printf '#!/bin/sh\nexit 101\n' > "$policy"; chmod +x "$policy"; created_policy=1; fi
apt-get install -y -qq --no-install-recommends "${missing[@]}"
[ "$created_policy" = 1 ] && rm -f "$policy"
exit 0
