#!/bin/sh
# GG server benchmark: builds in Release, starts `ordwin --headless` (its log going to a file) in
# a private network namespace, so port 8074 is free and all traffic stays on that namespace's
# loopback, runs bench/gg_load against it (6.0 clients, then GG 11 clients; --dialects picks),
# stops the server with SIGTERM and prints the figures.
# A benchmark, not a test: it reports, it asserts no timing. A full run takes about two minutes.
#
# Usage: bench/gg_bench.sh [gg_load options...]    (for example --seconds 2 --logins 2000)
# Environment: BUILD_DIR (default build-ggbench in the source tree); LOG, the server's log file
# (default a temporary file, removed afterwards unless KEEP_LOG=1).
# Needs root (or unprivileged user namespaces) for unshare, and `ip`, `prlimit` and `taskset`.
set -eu

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$SRC/build-ggbench}
LOG=${LOG:-$(mktemp /tmp/ordwin-gg-bench.XXXXXX.log)}
TABLE=$(mktemp /tmp/ordwin-gg-bench.XXXXXX.txt)
trap 'rm -f "$TABLE"' EXIT

cmake -S "$SRC" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" -j2 --target ordwin gg_load >/dev/null

ORDWIN=$BUILD_DIR/app/ordwin
LOAD=$BUILD_DIR/bench/gg_load
export ORDWIN LOAD LOG TABLE

# Both cores are used: whatever else runs on the machine shows up in the figures.
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)

# Inside the namespace: the server on core 0, the load generator on core 1, so neither takes
# the other's time. Each gets 20,000 descriptors (10,000 clients need more than 1024).
status=0
unshare -n sh -s -- "$@" <<'EOF' || status=$?
set -eu
ip link set lo up
prlimit --nofile=20000:20000 taskset -c 0 "$ORDWIN" --headless >"$LOG" 2>&1 &
SERVER=$!
status=0
prlimit --nofile=20000:20000 taskset -c 1 "$LOAD" --server-pid "$SERVER" "$@" >"$TABLE" || status=$?
if kill -TERM "$SERVER" 2>/dev/null; then
  i=0
  while kill -0 "$SERVER" 2>/dev/null && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
  if kill -0 "$SERVER" 2>/dev/null; then
    echo "the server did not stop within 10 s of SIGTERM; killed" >>"$TABLE"
    kill -KILL "$SERVER"
    status=1
  fi
  rc=0
  wait "$SERVER" || rc=$?
  echo "server exit status after SIGTERM: $rc" >>"$TABLE"
else
  echo "the server was no longer running at the end (crashed?)" >>"$TABLE"
  status=1
fi
exit $status
EOF

cat "$TABLE"
echo "server log: $(wc -l <"$LOG") lines, $(du -h "$LOG" | cut -f1)$([ "${KEEP_LOG:-0}" = 1 ] && echo " in $LOG")"
echo "load average before the run: $LOAD_BEFORE (2 cores; column 'oth' shows other work during each measurement)"
[ "${KEEP_LOG:-0}" = 1 ] || rm -f "$LOG"
exit $status
