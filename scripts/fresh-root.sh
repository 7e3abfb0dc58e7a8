#!/usr/bin/env bash
# First contact as a new user meets it: a bare Debian 12 root (debootstrap's base system, made once
# and kept in /var/cache/ordwin/fresh-root), a clone of this repository's HEAD in it, and the
# README's two commands typed as written, in each of three roots of their own: by root, by a user
# with sudo, and by a user without sudo, who then types as root the line he was told and the
# command again. `./run` must start the program (its hints appear) without installing a test
# tool, `./test` must pass, and no service may be left enabled. Each step's time is printed; the
# three take about an hour on two cores, so CI tries only the user without sudo.
#
# Usage (as root): scripts/fresh-root.sh [root] [sudo] [user]      (all three by default)
# Environment: MIRROR (default the first Debian mirror of this machine's apt sources), KEEP=1 keeps
# the roots; logs stay in the folder printed at the start.
set -euo pipefail

[ "$(id -u)" -eq 0 ] || { echo "fresh-root: run it as root (debootstrap, chroot)" >&2; exit 1; }
SRC=$(cd "$(dirname "$0")/.." && pwd)
CACHE=/var/cache/ordwin/fresh-root
BASE=$CACHE/bookworm
WORK=$(mktemp -d /var/tmp/ordwin-fresh-root.XXXXXX)
scenarios=("$@")
[ ${#scenarios[@]} -gt 0 ] || scenarios=(root sudo user)
echo "fresh-root: logs in $WORK"

# The README's two commands, as its Commands section writes them.
mapfile -t commands < <(sed -n '/^## Commands/,/^## /p' "$SRC/README.md" | sed -n 's|^    \(\./[a-z]*\) .*|\1|p')
[ "${commands[*]}" = "./run ./test" ] || { echo "fresh-root: the README's commands are not ./run and ./test: ${commands[*]}" >&2; exit 1; }

stamp() { date +%s; }
# Prints one step's line: scenario, step, seconds since Start, and its outcome.
report() { printf '%-6s %-34s %6ss  %s\n' "$1" "$2" "$(($(stamp) - $3))" "$4" | tee -a "$WORK/summary"; }

if [ ! -d "$BASE" ]; then
  command -v debootstrap >/dev/null || apt-get install -y -qq debootstrap >/dev/null
  # A machine may have no sources.list beside its sources.list.d: grep's complaint about the
  # missing file must not add the default as a second line to the mirror it found.
  mirror=${MIRROR:-$(cat /etc/apt/sources.list /etc/apt/sources.list.d/* 2>/dev/null |
    grep -oE '^(URIs:|deb) +https?://[^ ]+/debian/?( |$)' | head -n 1 | grep -oE 'https?://[^ ]+' || true)}
  mirror=${mirror:-http://deb.debian.org/debian}
  start=$(stamp)
  mkdir -p "$CACHE"
  rm -rf "$BASE.new"
  debootstrap bookworm "$BASE.new" "$mirror" >"$WORK/debootstrap.log" 2>&1 ||
    { tail -n 20 "$WORK/debootstrap.log"; exit 1; }
  mv "$BASE.new" "$BASE"
  report base debootstrap "$start" "made $BASE"
fi

# A fresh copy of the base with this machine's way to its mirror (sources, settings that no package
# installed, name service); prints the root's path.
make_root() {
  local root=$WORK/$1.root
  cp -a "$BASE" "$root"
  cp -a /etc/apt/sources.list.d/. "$root/etc/apt/sources.list.d/"
  [ ! -f /etc/apt/sources.list ] || cp /etc/apt/sources.list "$root/etc/apt/"
  for f in /etc/apt/apt.conf.d/*; do dpkg -S "$f" >/dev/null 2>&1 || cp "$f" "$root/etc/apt/apt.conf.d/"; done
  cp /etc/resolv.conf /etc/hosts "$root/etc/"
  echo "$root"
}

# Runs Command (a bash command line) in Root as User, in a mount and process namespace of its own:
# whatever it leaves running ends with it.
in_root() {
  local root=$1 user=$2 command=$3
  unshare --mount --pid --fork --kill-child bash -c '
    set -e
    root=$1
    mount --make-rprivate /
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --rbind /sys "$root/sys"
    mount -t tmpfs tmpfs "$root/run"
    mount -t tmpfs tmpfs "$root/tmp"
    chmod 1777 "$root/tmp"
    if [ "$2" = root ]; then
      exec chroot "$root" env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin bash -lc "$3"
    fi
    exec chroot "$root" su - "$2" -c "$3"' in_root "$root" "$user" "$command"
}

# ./run in Home as User: returns once the program has written its hints (and is then stopped with
# SIGTERM, by its process group) or once ./run ended without them.
try_run() {
  local root=$1 user=$2 home=$3 log=$4
  in_root "$root" "$user" "cd $home/ordwin && { setsid ./run >/tmp/run.out 2>&1 & }; pid=\$!
    while kill -0 \$pid 2>/dev/null && ! grep -q 'By korzystać' /tmp/run.out; do sleep 2; done
    if grep -q 'By korzystać' /tmp/run.out; then kill -TERM -- -\$pid; fi
    status=0; wait \$pid || status=\$?; cp /tmp/run.out $home/run.out; exit \$status" >"$log.outer" 2>&1 || true
  cat "$root$home/run.out" "$log.outer" >"$log" 2>&1 || true
  grep -q 'By korzystać' "$log"
}

# ./test in Home as User; the log's last lines are CTest's summary.
try_test() {
  local root=$1 user=$2 home=$3 log=$4
  in_root "$root" "$user" "cd $home/ordwin && ./test" >"$log" 2>&1
}

# The line ./run or ./test told a user without sudo to type, run as root in the same folder.
type_told_line() {
  local root=$1 home=$2 log=$3 line
  line=$(sed -n "s/^    su -c '\(.*\)'\$/\1/p" "$log" | tail -n 1)
  [ -n "$line" ] || return 1
  in_root "$root" root "cd $home/ordwin && $line" >>"$log" 2>&1
}

services_left() {
  ls "$1"/etc/systemd/system/*.wants/ 2>/dev/null | grep -E '^(nginx|danted)\.service$' || true
}

status=0
for scenario in "${scenarios[@]}"; do
  case $scenario in
    root) user=root home=/root ;;
    sudo | user) user=newbie home=/home/newbie ;;
    *) echo "fresh-root: no scenario $scenario (root, sudo, user)" >&2; exit 2 ;;
  esac
  log=$WORK/$scenario
  start=$(stamp)
  root=$(make_root "$scenario")
  [ "$user" = root ] || in_root "$root" root "useradd -m -s /bin/bash newbie" >/dev/null
  # The clone as the user would make it: HEAD, in the home folder, the user's own.
  git clone --quiet "$SRC" "$root$home/ordwin"
  [ "$user" = root ] || chown -R --reference="$root$home" "$root$home/ordwin"
  if [ "$scenario" = sudo ]; then
    in_root "$root" root "apt-get update -qq && apt-get install -y -qq sudo && echo 'newbie ALL=(ALL) NOPASSWD: ALL' >/etc/sudoers.d/newbie" \
      >"$log.setup" 2>&1
  fi
  report "$scenario" "root ready" "$start" "$root"

  start=$(stamp)
  if [ "$scenario" = user ]; then
    if try_run "$root" "$user" "$home" "$log.run-told"; then
      outcome="FAIL: built without the packages"
    elif type_told_line "$root" "$home" "$log.run-told"; then
      outcome="told; typed as root: $(sed -n "s/^    su -c '\(.*\)'\$/\1/p" "$log.run-told" | tail -n 1)"
    else
      outcome="FAIL: not told what to type (see $log.run-told)"
    fi
    [[ $outcome != FAIL* ]] || status=1
    report "$scenario" "./run (told what to type)" "$start" "$outcome"
    start=$(stamp)
  fi
  if try_run "$root" "$user" "$home" "$log.run"; then outcome=started; else outcome="FAIL: no hints (see $log.run)"; status=1; fi
  if in_root "$root" root "dpkg-query -W -f='\${db:Status-Status}\n' nginx-light 2>/dev/null | grep -qx installed"; then
    outcome="FAIL: ./run installed nginx-light"
    status=1
  fi
  report "$scenario" "./run" "$start" "$outcome"

  start=$(stamp)
  if [ "$scenario" = user ]; then
    try_test "$root" "$user" "$home" "$log.test-told" || true
    type_told_line "$root" "$home" "$log.test-told" || { status=1; echo "user: ./test told nothing to type" >>"$WORK/summary"; }
    report "$scenario" "./test (told what to type)" "$start" "typed it"
    start=$(stamp)
  fi
  if try_test "$root" "$user" "$home" "$log.test"; then
    outcome=$(grep -E '^[0-9]+% tests passed' "$log.test" | tail -n 1)
  else
    outcome="FAIL: $(grep -E '^[0-9]+% tests passed' "$log.test" | tail -n 1) (see $log.test)"
    status=1
  fi
  report "$scenario" "./test" "$start" "$outcome"
  left=$(services_left "$root")
  [ -z "$left" ] || { status=1; echo "$scenario: services left enabled: $left" | tee -a "$WORK/summary"; }
  sed -n '/^Skipped tests and why:/,$p' "$log.test" | sed "s/^/$scenario /" | tee -a "$WORK/summary"

  # Only a root nothing is mounted in any more (the namespaces end with their last process).
  [ "${KEEP:-0}" = 1 ] || grep -q " $root/" /proc/mounts || rm -rf "$root"
done
echo "fresh-root: $([ $status = 0 ] && echo "every step held" || echo "FAILED"); logs in $WORK"
exit $status
