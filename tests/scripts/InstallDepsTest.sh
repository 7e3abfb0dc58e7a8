# The set-up script with stand-ins for the package tools: as root, or through sudo, it installs what
# is missing with no service allowed to start and disables the services they bring; a user whom sudo
# does not serve, or who has none, is told what to type. Without --tests test tools are not sought.
. "$(dirname "$0")/../packaging/Checks.sh"

bin=$scratch/bin
log=$scratch/calls
root=$scratch/root
mkdir -p "$bin" "$root/usr/sbin"
for tool in env bash grep sed readlink mktemp chmod rm tail sort comm cat; do ln -s "$(command -v $tool)" "$bin/$tool"; done
# Writes the stand-in Name from standard input.
fake() {
  cat >"$bin/$1"
  chmod +x "$bin/$1"
}
# Installed: every package but those in $MISSING, and those apt-get has installed since ($STATE).
fake dpkg-query <<'FAKE'
#!/bin/bash
if [ "$1" = -L ]; then
  for p in "${@:2}"; do [ "$p" = nginx-common ] && printf '/usr/sbin/nginx\n/lib/systemd/system/nginx.service\n'; done
  exit 0
fi
for p in "${@:3}" $([ $# -gt 2 ] || echo bash $MISSING); do
  [[ " $MISSING " = *" $p "* ]] && ! grep -qx "$p" "$STATE" 2>/dev/null || echo "installed $p"
done
cat "$STATE" 2>/dev/null | sed 's/^/installed /'
FAKE
fake id <<'FAKE'
#!/bin/bash
echo "$USER_ID"
FAKE
fake apt-get <<'FAKE'
#!/bin/bash
echo "${AS:-}apt-get $* (policy: $("$DPKG_ROOT/usr/sbin/policy-rc.d" x start; echo $?))" >>"$LOG"
[ "$1" = install ] || exit 0
for p in "$@"; do [[ $p = -* ]] || echo "$p"; done | sed 's/^nginx-light$/&\nnginx-common/' >>"$STATE"
FAKE
fake systemctl <<'FAKE'
#!/bin/bash
[ "$1" = is-enabled ] && echo enabled && exit 0
echo "${AS:-}systemctl $*" >>"$LOG"
FAKE
fake sudo <<'FAKE'
#!/bin/bash
[ "$1" = -v ] && exit "$SUDO_REFUSES"
USER_ID=0 AS="sudo " exec "$@"
FAKE

# Runs the script with Arguments as user Id with only the stand-ins, Missing not installed; sets
# $status, $out, $err and $calls.
run() {
  local user=$1 missing=$2
  shift 2
  rm -f "$log" "$scratch/state"
  status=0
  env -i PATH="$bin" LOG="$log" STATE="$scratch/state" USER_ID="$user" MISSING="$missing" SUDO_REFUSES="${SUDO_REFUSES:-0}" \
    DPKG_ROOT="$root" bash "$SOURCE/scripts/install-deps.sh" "$@" >"$scratch/out" 2>"$scratch/err" || status=$?
  out=$(cat "$scratch/out")
  err=$(cat "$scratch/err")
  calls=$(cat "$log" 2>/dev/null || true)
  [ ! -e "$root/usr/sbin/policy-rc.d" ] || fail "policy-rc.d left behind by: $user $missing $*"
}

run 0 "" --tests
[ "$status/$out/$err/$calls" = "0///" ] || fail "with nothing missing: $status/$out/$err/$calls"
run 0 "lintian nginx-light"
[ "$status/$out/$err/$calls" = "0///" ] || fail "test tools missing, none asked for: $status/$out/$err/$calls"

installs="apt-get update -qq (policy: 101)
apt-get install -y -qq -o Dpkg::Use-Pty=0 --no-install-recommends cmake nginx-light (policy: 101)
systemctl --quiet disable nginx.service"
for user in 0 1000; do
  run $user "cmake nginx-light" --tests
  [ "$status" = 0 ] || fail "as $user: status $status ($err)"
  [ "$out" = "Installing 2 Debian packages to build, run and test Ordwin: cmake nginx-light
Left disabled and stopped: nginx.service" ] || fail "as $user said: $out"
  expected=$installs
  [ $user = 0 ] || expected=$(sed 's/^/sudo /' <<<"$installs")
  [ "$calls" = "$expected" ] || fail "as $user ran: $calls"
done

# Told, on standard error, what is missing and what to type: where sudo refuses, and without sudo.
for told in "1|Installing them needs root: asking sudo.
sudo did not let you." "|Installing them needs root, and sudo is not here."; do
  SUDO_REFUSES=${told%%|*}
  [ -n "$SUDO_REFUSES" ] || mv "$bin/sudo" "$scratch/sudo"
  run 1000 "cmake lintian" --tests
  [ "$status/$calls/$out" = "1//" ] || fail "told: status $status, ran $calls, said $out"
  [ "$err" = "Ordwin needs these Debian packages to build, run and test Ordwin, which are not installed: cmake lintian
${told#*|} Run this once, with root's password, and then the same command again:
    su -c '$(readlink -f "$SOURCE/scripts/install-deps.sh") --tests'" ] || fail "told: $err"
done
unset SUDO_REFUSES

finish
