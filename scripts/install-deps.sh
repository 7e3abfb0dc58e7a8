#!/usr/bin/env bash
# Installs the Debian packages Ordwin needs: what building and running it take, and with --tests
# also the tools the test suite and the package build use. Safe to run again: it does nothing when
# everything is already there. A package it installs never leaves a service started or enabled:
# nginx would hold port 80, and the tests start their own nginx and danted.
#
# Usage: scripts/install-deps.sh [--tests]
set -euo pipefail

build_packages=(
  make g++ cmake ninja-build pkg-config
  qt6-base-dev libgl-dev fonts-dejavu-core
  libc-ares-dev libsqlite3-dev libssl-dev librsvg2-bin
  netbase
)
test_packages=(
  clang clang-format libgtest-dev libgmock-dev libgadu-dev openssl
  curl nginx-light microsocks dante-server
  iproute2 util-linux procps libcap2-bin python3
  file dpkg-dev desktop-file-utils lintian man-db groff-base systemd xvfb
)

packages=("${build_packages[@]}")
purpose="to build and run Ordwin"
case "${1:-}" in
  "") ;;
  --tests)
    packages+=("${test_packages[@]}")
    purpose="to build, run and test Ordwin"
    ;;
  *)
    echo "usage: $0 [--tests]" >&2
    exit 2
    ;;
esac

# The installed packages among those named, or all of them.
installed() {
  dpkg-query -W -f='${db:Status-Status} ${Package}\n' "$@" 2>/dev/null | sed -n 's/^installed //p' | sort -u || true
}

present=$(installed "${packages[@]}")
missing=()
for p in "${packages[@]}"; do
  grep -qx "$p" <<<"$present" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  self=$(readlink -f "$0")
  echo "Ordwin needs these Debian packages $purpose, which are not installed: ${missing[*]}" >&2
  if command -v sudo >/dev/null; then
    echo "Installing them needs root: asking sudo." >&2
    # sudo -v asks for the password where sudo wants one, and fails for a user it does not serve.
    if sudo -v; then exec sudo "$self" "$@"; fi
    echo "sudo did not let you. Run this once, with root's password, and then the same command again:" >&2
  else
    echo "Installing them needs root, and sudo is not here. Run this once, with root's password, and then the same command again:" >&2
  fi
  echo "    su -c '$self${1:+ $1}'" >&2
  exit 1
fi

echo "Installing ${#missing[@]} Debian packages $purpose: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp /tmp/ordwin-install-deps.XXXXXX.log)
# While installing, no package's service starts (policy-rc.d answers 101, "not allowed"), unless
# the machine has a policy of its own, which is left as it is.
before=$(installed)
policy=${DPKG_ROOT:-}/usr/sbin/policy-rc.d
own_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' >"$policy"
  chmod 755 "$policy"
  own_policy=1
fi
trap '[ "$own_policy" = 0 ] || rm -f "$policy"' EXIT
if ! { apt-get update -qq && apt-get install -y -qq -o Dpkg::Use-Pty=0 --no-install-recommends "${missing[@]}"; } \
  >"$log" 2>&1; then
  tail -n 30 "$log" >&2
  echo "Installing failed; the whole output is in $log" >&2
  exit 1
fi
rm -f "$log"

# The services that the new packages brought, their dependencies' included (nginx-light's comes
# with nginx-common), are disabled, and stopped had a policy let them start; a package upgrade
# keeps them disabled. systemctl does this with or without a running systemd.
mapfile -t new < <(comm -13 <(echo "$before") <(installed))
for unit in $(dpkg-query -L "${new[@]}" 2>/dev/null | grep -E '^(/usr)?/lib/systemd/system/[^/@]+\.service$' | sort -u); do
  unit=${unit##*/}
  [ "$(systemctl is-enabled "$unit" 2>/dev/null)" = enabled ] || continue
  systemctl --quiet disable "$unit" 2>/dev/null || true
  if [ -d /run/systemd/system ]; then systemctl --quiet stop "$unit" 2>/dev/null || true; fi
  echo "Left disabled and stopped: $unit"
done
