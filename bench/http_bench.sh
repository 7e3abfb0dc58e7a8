#!/bin/sh
# HTTP benchmark: builds in Release, then in a private network namespace starts `ordwin
# --headless` (its HTTP server on port 80, the address 127.0.0.1) and nginx from Debian with one
# worker (a `return 200` location with the same body, port 8080), both on core 0, and runs
# bench/http_load on core 1 against both in turn: a new connection per request, every reply
# checked. With --auto, nginx with one worker per core (port 8081) is measured too; its workers
# share core 1 with the load generator. A benchmark, not a test: it reports, it asserts no timing.
#
# Usage: bench/http_bench.sh [--auto] [http_load options...]   (for example --inflight 1,64 --rounds 5)
# Environment: BUILD_DIR (default build-httpbench in the source tree).
# Needs root (or unprivileged user namespaces) for unshare, and `ip`, `taskset`, nginx and curl.
set -eu

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$SRC/build-httpbench}
AUTO=0
if [ "${1:-}" = "--auto" ]; then AUTO=1; shift; fi

cmake -S "$SRC" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" -j2 --target ordwin http_load >/dev/null

WORK=$(mktemp -d /tmp/ordwin-http-bench.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/home/.config/Malvory" "$WORK/one" "$WORK/auto"
printf '[ustawienia]\nadres=127.0.0.1\n' >"$WORK/home/.config/Malvory/RIDuziva.conf"
for kind in one auto; do
  workers=1; port=8080
  [ $kind = auto ] && { workers=auto; port=8081; }
  cat >"$WORK/$kind/nginx.conf" <<CONF
worker_processes $workers;
daemon off;
pid $WORK/$kind/nginx.pid;
error_log $WORK/$kind/error.log error;
events { worker_connections 8192; }
http {
  access_log off;
  client_body_temp_path $WORK/$kind/body;
  proxy_temp_path $WORK/$kind/proxy;
  fastcgi_temp_path $WORK/$kind/fastcgi;
  uwsgi_temp_path $WORK/$kind/uwsgi;
  scgi_temp_path $WORK/$kind/scgi;
  default_type text/data;
  server {
    listen 127.0.0.1:$port;
    location / { return 200 "0 0 127.0.0.1:8074 127.0.0.1"; }
  }
}
CONF
done

export ORDWIN="$BUILD_DIR/app/ordwin" LOAD="$BUILD_DIR/bench/http_load" WORK AUTO
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)

status=0
unshare -n sh -s -- "$@" <<'EOF' || status=$?
set -eu
ip link set lo up
HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/.config" taskset -c 0 "$ORDWIN" --headless >"$WORK/ordwin.log" 2>&1 &
ORDWIN_PID=$!
taskset -c 0 nginx -c "$WORK/one/nginx.conf" -p "$WORK/one" &
NGINX_PID=$!
targets=""
if [ "$AUTO" = 1 ]; then
  nginx -c "$WORK/auto/nginx.conf" -p "$WORK/auto" &
  AUTO_PID=$!
fi
for port in 80 8080 $([ "$AUTO" = 1 ] && echo 8081); do
  i=0
  until curl -s -o /dev/null "http://127.0.0.1:$port/"; do
    i=$((i + 1)); [ $i -lt 100 ] || { echo "nothing answers on port $port" >&2; exit 1; }
    sleep 0.1
  done
done
# The worker is the process that answers; it is the master's only child.
NGINX_WORKER=$(pgrep -P "$NGINX_PID" | head -1)
targets="--target ordwin:80:$ORDWIN_PID:exact --target nginx-1-worker:8080:$NGINX_WORKER:body"
[ "$AUTO" = 1 ] && targets="$targets --target nginx-auto:8081:0:body"
status=0
taskset -c 1 "$LOAD" --reply "$(printf 'HTTP/1.0 200 OK\r\nContent-Type: text/data\r\n\r\n0 0 127.0.0.1:8074 127.0.0.1')" \
  $targets "$@" || status=$?
kill -QUIT "$NGINX_PID" ${AUTO_PID:-} 2>/dev/null || true
kill -TERM "$ORDWIN_PID"
rc=0
wait "$ORDWIN_PID" || rc=$?
echo "ordwin exit status after SIGTERM: $rc"
wait
exit $status
EOF

echo "load average before the run: $LOAD_BEFORE (2 cores; 'oth' is other work on the machine during each measurement)"
exit $status
