#!/usr/bin/env bash
# Installs every Debian package Ordwin needs to build, run and test. Safe to run again:
# it does nothing when everything is already there.
set -euo pipefail

packages=(
  g++ clang cmake ninja-build make pkg-config
  libgtest-dev libgmock-dev
  qt6-base-dev libgl-dev fonts-dejavu-core
  libc-ares-dev
  libgadu-dev
  curl nginx-light
  microsocks dante-server
  netbase iproute2 util-linux procps libcap2-bin python3
  librsvg2-bin file dpkg-dev desktop-file-utils lintian man-db groff-base systemd xvfb
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

export DEBIAN_FRONTEND=noninteractive
if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null; then
  as_root=(sudo)
else
  echo "Ordwin needs these Debian packages, which are not installed: ${missing[*]}" >&2
  echo "Installing them needs root, and sudo is not here. Run this once, with root's password:" >&2
  echo "    su -c 'apt-get update && apt-get install -y --no-install-recommends ${missing[*]}'" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
