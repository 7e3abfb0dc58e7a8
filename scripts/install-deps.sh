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
  netbase iproute2 util-linux procps
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
