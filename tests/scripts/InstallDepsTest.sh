# The set-up script on a machine that misses two packages, with stand-ins for the package tools:
# as root it installs them, as a user with sudo through sudo, and as a user without sudo it says
# what is missing and the one command that installs it, and installs nothing.
. "$(dirname "$0")/../packaging/Checks.sh"

bin=$scratch/bin
log=$scratch/calls
mkdir -p "$bin"
for tool in env bash grep; do ln -s "$(command -v $tool)" "$bin/$tool"; done
cat >"$bin/dpkg-query" <<'FAKE'
#!/bin/bash
for p in $MISSING; do [ "$3" = "$p" ] && exit 1; done
printf 'install ok installed'
FAKE
cat >"$bin/id" <<'FAKE'
#!/bin/bash
echo "$USER_ID"
FAKE
cat >"$bin/apt-get" <<'FAKE'
#!/bin/bash
echo "${AS:-}apt-get $*" >>"$LOG"
FAKE
cat >"$bin/sudo" <<'FAKE'
#!/bin/bash
AS="sudo " exec "$@"
FAKE
chmod +x "$bin"/*

# Runs the script as user Id with only the stand-ins; sets $status, $out, $err and $calls.
run() {
  rm -f "$log"
  status=0
  env -i PATH="$bin" LOG="$log" USER_ID="$1" MISSING="$2" bash "$SOURCE/scripts/install-deps.sh" \
    >"$scratch/out" 2>"$scratch/err" || status=$?
  out=$(cat "$scratch/out")
  err=$(cat "$scratch/err")
  calls=$(cat "$log" 2>/dev/null || true)
}

run 0 ""
[ "$status/$out/$err/$calls" = "0///" ] || fail "with nothing missing: $status/$out/$err/$calls"

run 0 "curl lintian"
[ "$status" = 0 ] || fail "as root: status $status ($err)"
[ "$out" = "Installing: curl lintian" ] || fail "as root said: $out"
[ "$calls" = "apt-get update -qq
apt-get install -y -qq --no-install-recommends curl lintian" ] || fail "as root ran: $calls"

run 1000 "curl lintian"
[ "$status" = 0 ] || fail "with sudo: status $status ($err)"
[ "$calls" = "sudo apt-get update -qq
sudo apt-get install -y -qq --no-install-recommends curl lintian" ] || fail "with sudo ran: $calls"

mv "$bin/sudo" "$scratch/sudo"
run 1000 "curl lintian"
[ "$status" = 1 ] || fail "without sudo: status $status"
[ -z "$calls" ] || fail "without sudo ran: $calls"
[ -z "$out" ] || fail "without sudo said on standard output: $out"
[ "$err" = "Ordwin needs these Debian packages, which are not installed: curl lintian
Installing them needs root, and sudo is not here. Run this once, with root's password:
    su -c 'apt-get update && apt-get install -y --no-install-recommends curl lintian'" ] ||
  fail "without sudo said: $err"

finish
