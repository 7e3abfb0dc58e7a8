#!/bin/sh
# GG soak: builds in Release, starts `ordwin --headless` in a private network namespace (its log
# going to a file) and runs bench/gg_soak.py against it: a few hundred clients of every dialect
# doing random things for ten minutes, then the checks of gg_soak.py (no message acknowledged
# as delivered lost, none between staying clients refused, memory flat after the warm-up, the
# server still answering). Not a test: a long run by hand; it prints figures.
#
# Usage: bench/gg_soak.sh [gg_soak.py options...]   (for example --seconds 60 --warmup 20)
# Environment: BUILD_DIR (default build-ggbench in the source tree).
# Needs root (or unprivileged user namespaces) for unshare, and `ip` and `prlimit`.
set -eu

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$SRC/build-ggbench}
LOG=$(mktemp /tmp/ordwin-gg-soak.XXXXXX.log)
trap '[ "${KEEP_LOG:-0}" = 1 ] || rm -f "$LOG"' EXIT

cmake -S "$SRC" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" -j2 --target ordwin >/dev/null
ORDWIN=$BUILD_DIR/app/ordwin
SOAK=$SRC/bench/gg_soak.py
export ORDWIN SOAK LOG

echo "load average before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
unshare -n sh -s -- "$@" <<'INNER'
set -eu
ip link set lo up
"$ORDWIN" --headless >"$LOG" 2>&1 &
SERVER=$!
i=0
while ! grep -q . "$LOG" && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
status=0
prlimit --nofile=4096:4096 python3 "$SOAK" --server-pid "$SERVER" "$@" || status=$?
if kill -TERM "$SERVER" 2>/dev/null; then
  wait "$SERVER" || true
else
  echo "the server was no longer running at the end (crashed?)"
  status=1
fi
exit $status
INNER
status=$?
echo "server log: $(wc -l <"$LOG") lines$([ "${KEEP_LOG:-0}" = 1 ] && echo " in $LOG")"
exit $status
