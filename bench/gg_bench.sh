#!/bin/sh
# GG server benchmark: builds in Release and measures `ordwin --headless` (its log going to a
# file) beside bench/gg_floor, the least a GG relay can do (C, no log): the floor one core of this
# machine reaches for the same work. Each round starts each server in
# a private network namespace (port 8074 free, all traffic on that namespace's loopback), the
# server on core 0 and bench/gg_load on core 1, and runs every case of the table against it with
# 6.0 clients (gg_floor speaks no other dialect); the table gives the median of the rounds for
# both and Ordwin's figure over gg_floor's, with each server's CPU seconds per million messages
# (log-ins, notifications) and the shares of a core the server and gg_load used; where gg_load
# used more than 90 % of its core the figure is marked, being its limit as much as the server's.
# A second table gives the log's share: the relay cases again against gg_floor --log, which
# writes each message's line as Ordwin's log shows it to a file of its own (emptied before each
# case, as Ordwin's is), the least a relay that logs can do. A third splits each server's CPU per
# message in the relay cases into user and system time: the log file's page-cache work is system
# time, and so is, on loopback, the receiving side's TCP work.
# Every message and notification is checked for loss, duplication and order in every round;
# faults are printed after the table.
# A benchmark, not a test: it reports, it asserts no timing. Three rounds take about two minutes.
#
# Usage: bench/gg_bench.sh [gg_load options...]         the comparison table; the options (for
#                                                       example --seconds 2) go to every case
#        bench/gg_bench.sh --full [gg_load options...]  Ordwin alone, gg_load's own table of every
#                                                       phase, 6.0 and GG 11 clients
# Environment: ROUNDS (default 3); BUILD_DIR (default build-ggbench in the source tree); LOG,
# Ordwin's log file (default a temporary file, emptied before each case and removed afterwards;
# with KEEP_LOG=1 it keeps every line and stays); FREE_PAGE_REPORTING=keep (see below).
# Needs root (or unprivileged user namespaces) for unshare, and `ip`, `prlimit`, `taskset`.
set -eu

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$SRC/build-ggbench}
ROUNDS=${ROUNDS:-3}
LOG=${LOG:-$(mktemp /tmp/ordwin-gg-bench.XXXXXX.log)}
WORK=$(mktemp -d /tmp/ordwin-gg-bench.XXXXXX)
REPORTING_WAS=
# However the run ends: the work folder, the log unless it is to be kept, and the kernel's
# setting put back.
clean_up() {
  rm -rf "$WORK"
  [ "${KEEP_LOG:-0}" = 1 ] || rm -f "$LOG"
  [ -z "$REPORTING_WAS" ] || { echo "$REPORTING_WAS" >"$REPORTING_ORDER"; } 2>/dev/null || true
}
trap clean_up EXIT
trap 'exit 130' INT TERM
FULL=0
if [ "${1:-}" = "--full" ]; then FULL=1; shift; fi

cmake -S "$SRC" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" -j2 --target ordwin gg_load gg_floor >/dev/null

ORDWIN=$BUILD_DIR/app/ordwin
LOAD=$BUILD_DIR/bench/gg_load
FLOOR=$BUILD_DIR/bench/gg_floor
export ORDWIN LOAD FLOOR LOG WORK

# Both cores are used: whatever else runs on the machine shows up in the figures.
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)

# A virtual machine's kernel may hand the memory it frees back to the host (free page
# reporting), and each page it takes again is then a fault in the host. Each case's log is
# emptied, and the gigabytes that frees went back that way, so that every server that logs paid
# the host for its next log pages: on one such machine gg_floor --log cost 1.65-1.93 x gg_floor's
# CPU per message with it, 1.33-1.47 x without. For the run the kernel reports no free memory
# (only blocks larger than any it makes), and the setting is put back at the end;
# FREE_PAGE_REPORTING=keep leaves it on.
REPORTING_ORDER=/sys/module/page_reporting/parameters/page_reporting_order
REPORTING_NOTE=
if [ -r "$REPORTING_ORDER" ]; then
  was=$(cat "$REPORTING_ORDER")
  left_on="a server that logs pays the host for its fresh log pages"
  # The orders the buddy allocator has: the counts after "Node 0, zone NAME".
  past_largest=$(awk 'NR == 1 { print NF - 4 }' /proc/buddyinfo)
  if [ "${FREE_PAGE_REPORTING:-hold}" = keep ]; then
    REPORTING_NOTE="on (order $was, FREE_PAGE_REPORTING=keep): $left_on"
  else
    REPORTING_WAS=$was
    if { echo "$past_largest" >"$REPORTING_ORDER"; } 2>/dev/null && [ "$(cat "$REPORTING_ORDER")" = "$past_largest" ]; then
      REPORTING_NOTE="held for the run (order $was -> $past_largest, set back at the end)"
    else
      REPORTING_NOTE="on (order $was, could not be held): $left_on"
    fi
  fi
fi

# Starts one server (ordwin or gg_floor) in a namespace of its own and runs the given cases
# against it, one gg_load each; a case is "name|gg_load options". gg_load's lines go to
# $WORK/<server>.<round>.
run_server() {
  server=$1
  round=$2
  shift 2
  SERVER_KIND=$server ROUND=$round unshare -n sh -s -- "$@" <<'EOF'
set -eu
ip link set lo up
OUT=$WORK/$SERVER_KIND.$ROUND
: >"$OUT"
# Each gets 20,000 descriptors (10,000 clients need more than 1024).
if [ "$SERVER_KIND" = ordwin ]; then
  prlimit --nofile=20000:20000 taskset -c 0 "$ORDWIN" --headless >>"$LOG" 2>&1 &
elif [ "$SERVER_KIND" = gg_floor_log ]; then
  prlimit --nofile=20000:20000 taskset -c 0 "$FLOOR" -p 8074 --log "$WORK/floor.log" >/dev/null 2>&1 &
else
  prlimit --nofile=20000:20000 taskset -c 0 "$FLOOR" -p 8074 >/dev/null 2>&1 &
fi
SERVER=$!
status=0
empty_logs() {
  if [ "$SERVER_KIND" = ordwin ] && [ "${KEEP_LOG:-0}" != 1 ]; then
    wc -lc <"$LOG" >>"$WORK/log-counts"
    : >"$LOG"
  fi
  if [ "$SERVER_KIND" = gg_floor_log ]; then : >"$WORK/floor.log"; fi
}
for entry in "$@"; do
  name=${entry%%|*}
  # Each case starts with the log lines of the ones before it on disk: the kernel's write-back of
  # them would otherwise take its time from whichever case runs next.
  sync
  # And with an empty log file (its lines counted first), unless the whole log is to be kept:
  # on this machine every write to a file slows down by a third once a few GB of it are in the
  # page cache (so too on tmpfs, not for /dev/null), which charged Ordwin, the only server that
  # logs, for the volume of the cases before it. The server appends, so it goes on at the new end.
  empty_logs

  # shellcheck disable=SC2086 # the case's options are words
  prlimit --nofile=20000:20000 taskset -c 1 "$LOAD" --server-pid "$SERVER" ${entry#*|} \
    2>"$WORK/case.err" >"$WORK/case.out" ||
    { status=1; echo "$SERVER_KIND $name: gg_load stopped: $(tail -n 1 "$WORK/case.err")" >>"$WORK/faults"; }
  sed -n "s/^gg_load: /$name /p" "$WORK/case.err" >>"$OUT"
  sed -n '/^ *every message/,$p' "$WORK/case.out" | sed -n "s/^ \{4\}/$SERVER_KIND $name: /p" >>"$WORK/faults"
done
# Nor does a server leave its last case's lines to the next server's writes.
empty_logs
if kill -TERM "$SERVER" 2>/dev/null; then
  i=0
  while kill -0 "$SERVER" 2>/dev/null && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
  if kill -0 "$SERVER" 2>/dev/null; then
    echo "$SERVER_KIND did not stop within 10 s of SIGTERM; killed" >>"$WORK/faults"
    kill -KILL "$SERVER"
    status=1
  fi
  wait "$SERVER" || true
else
  echo "$SERVER_KIND was no longer running at the end (crashed?)" >>"$WORK/faults"
  status=1
fi
exit $status
EOF
}

status=0
if [ "$FULL" = 1 ]; then
  unshare -n sh -s -- "$@" <<'EOF' || status=$?
set -eu
ip link set lo up
prlimit --nofile=20000:20000 taskset -c 0 "$ORDWIN" --headless >"$LOG" 2>&1 &
SERVER=$!
status=0
prlimit --nofile=20000:20000 taskset -c 1 "$LOAD" --server-pid "$SERVER" "$@" || status=$?
kill -TERM "$SERVER"
rc=0
wait "$SERVER" || rc=$?
echo "server exit status after SIGTERM: $rc"
exit $status
EOF
else
  # The cases of the table. Log-ins come first, on a fresh server, so that the memory per
  # client is what 10,000 log-ins add to a server that has served nobody yet.
  set -- \
    "login10000|--logins 10000 --connect-window 8 --pairs 0 --fanout 0 --dialects 6.0 $*" \
    "login1000|--logins 1000 --connect-window 8 --pairs 0 --fanout 0 --dialects 6.0 $*" \
    "relay100|--logins 0 --pairs 100 --windows 32 --fanout 0 --dialects 6.0 $*" \
    "relay1000|--logins 0 --pairs 1000 --windows 32 --fanout 0 --dialects 6.0 $*" \
    "latency2|--logins 0 --pairs 2 --windows 1 --fanout 0 --dialects 6.0 $*" \
    "fanout1000|--logins 0 --pairs 0 --fanout 1000 --fanout-windows 32 --dialects 6.0 $*"
  : >"$WORK/faults"
  round=1
  while [ $round -le "$ROUNDS" ]; do
    run_server ordwin $round "$@" || status=$?
    run_server gg_floor $round "$@" || status=$?
    run_server gg_floor_log $round "$3" "$4" || status=$?  # the relay cases
    round=$((round + 1))
  done
  # Medians over the rounds: rates from the rate field, the latency case by its p99, memory from
  # the bytes per client of the large log-in; for every case the server's CPU seconds per million
  # of the case's unit (messages, log-ins, notifications) and both processes' shares of a core
  # while measuring, the generator's marked where it passed 90 %.
  awk -v rounds="$ROUNDS" '
    function median(list,   n, a, i, j, t) {
      n = split(list, a, " ")
      for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] + 0 < a[i] + 0) { t = a[i]; a[i] = a[j]; a[j] = t }
      if (n == 0) return ""
      return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    function field(pattern, skip,   v) {
      if (!match($0, pattern)) return ""
      v = substr($0, RSTART + skip, RLENGTH - skip); sub(/[^0-9.-].*/, "", v)
      return v
    }
    function add(key, v) { if (v != "") vals[server, key] = vals[server, key] " " v }
    FNR == 1 { n = split(FILENAME, parts, "/"); split(parts[n], kind, "."); server = kind[1] }
    {
      name = $1
      add(name "/rate", field(": [0-9.]+ ", 2))
      add(name "/p99", field("p99 [0-9.]+", 4))
      add(name "/mem", field(": -?[0-9]+ B per client", 2))
      add(name "/srv", field("cpu server [0-9.]+", 11))
      add(name "/gen", field("generator [0-9.]+ %", 10))
      add(name "/spm", field("server [0-9.]+ s per million", 7))
      add(name "/sys", field("system [0-9.]+\\)", 7))
    }
    # One side of a row: the figure, and where the case was timed the server s per million, the
    # server share and the generator share.
    function side(key, name,   f, spm, srv, gen) {
      f = median(vals[key, name "/" figureKind]); if (f == "") return sprintf("%35s", "-")
      spm = median(vals[key, name "/spm"]); srv = median(vals[key, name "/srv"]); gen = median(vals[key, name "/gen"])
      figures[key] = f
      if (figureKind == "mem" || spm == "") return sprintf("%13.0f %21s", f, "")
      costs[key] = spm
      if (gen + 0 > 90) bound = 1
      return sprintf("%13.0f %8.3g %5.0f %5.0f%s", f, spm, srv, gen, gen + 0 > 90 ? "*" : " ")
    }
    function row(label, name, kind, lowerIsBetter,   o, r, ratio, cpu) {
      figureKind = kind; delete figures; delete costs
      o = side("ordwin", name); r = side("gg_floor", name)
      if (!("ordwin" in figures)) return
      ratio = ("gg_floor" in figures) && figures["gg_floor"] > 0 ? sprintf("%7.2f%s", figures["ordwin"] / figures["gg_floor"], lowerIsBetter ? " x" : "  ") : sprintf("%9s", "-")
      cpu = ("ordwin" in costs) && costs["gg_floor"] > 0 ? sprintf("%7.2f x", costs["ordwin"] / costs["gg_floor"]) : ""
      printf "%-56s %s  %s %s %s\n", label, o, r, ratio, cpu
    }
    END {
      printf "\nGG relay against gg_floor, 6.0 clients, median of %d rounds (server on core 0, load on core 1)\n\n", rounds
      printf "%-56s %35s  %35s %9s %9s\n", "", "Ordwin", "gg_floor", "Ordwin /", "Ordwin /"
      printf "%-56s %13s %8s %5s %5s   %13s %8s %5s %5s  %9s %9s\n", "case", "figure", "srv s/M", "srv%", "gen%", "figure", "srv s/M", "srv%", "gen%", "gg_floor", "CPU"
      row("100 clients in pairs, 32 in flight (msg/s)", "relay100", "rate")
      row("1,000 clients in pairs, 32 in flight (msg/s)", "relay1000", "rate")
      row("2 clients, 1 in flight: p99 latency (us)", "latency2", "p99", 1)
      row("1,000 clients logging in, 8 at once (log-ins/s)", "login1000", "rate")
      row("10,000 clients logging in, 8 at once (log-ins/s)", "login10000", "rate")
      row("status fan-out, 1,000 clients, 32 in flight (notif./s)", "fanout1000", "rate")
      row("memory per logged-in client (B of server RSS)", "login10000", "mem", 1)
      printf "\nsrv s/M: the server'"'"'s CPU seconds (user and system, /proc/PID/stat) per million of the "
      printf "case'"'"'s unit;\nsrv%%, gen%%: per cent of a core used by the server and by gg_load while measuring"
      printf " (on loopback a sender'"'"'s system time holds the receiver'"'"'s TCP work);\n"
      printf "CPU: Ordwin'"'"'s srv s/M over gg_floor'"'"'s"
      if (bound) printf ";\n* generator-bound: gg_load used more than 90 %% of its core, so that figure may be gg_load'"'"'s limit, not the server'"'"'s"
      printf "\n"
      printf "\nThe log'"'"'s share: the relay cases against gg_floor --log, each message'"'"'s line written to a file as Ordwin'"'"'s\n\n"
      printf "%-56s %35s  %35s %9s %9s\n", "", "gg_floor --log", "gg_floor", "--log /", "--log /"
      printf "%-56s %13s %8s %5s %5s   %13s %8s %5s %5s  %9s %9s\n", "case", "figure", "srv s/M", "srv%", "gen%", "figure", "srv s/M", "srv%", "gen%", "gg_floor", "CPU"
      logRow("100 clients in pairs, 32 in flight (msg/s)", "relay100")
      logRow("1,000 clients in pairs, 32 in flight (msg/s)", "relay1000")
      printf "\n%-56s %35s  %35s %9s %9s\n", "", "Ordwin", "gg_floor --log", "Ordwin /", "Ordwin /"
      logRow("100 clients in pairs, 32 in flight (msg/s)", "relay100", "ordwin")
      logRow("1,000 clients in pairs, 32 in flight (msg/s)", "relay1000", "ordwin")
      printf "\nWhere the relay'"'"'s CPU goes: each server'"'"'s user and system seconds per million messages\n\n"
      printf "%-56s %17s  %17s  %17s\n", "", "Ordwin", "gg_floor", "gg_floor --log"
      printf "%-56s %8s %8s  %8s %8s  %8s %8s\n", "case", "user", "system", "user", "system", "user", "system"
      splitRow("100 clients in pairs, 32 in flight", "relay100")
      splitRow("1,000 clients in pairs, 32 in flight", "relay1000")
      printf "\nsystem: in the kernel, which on loopback holds the receivers'"'"' TCP work, and for a server that logs the\n"
      printf "page cache'"'"'s part in writing the log file\n"
    }
    # A row of the third table: user and system s/M of each server, the medians of each.
    function splitRow(label, name,   line, i, key, spm, sys) {
      line = sprintf("%-56s", label)
      for (i = 1; i <= 3; i++) {
        key = i == 1 ? "ordwin" : i == 2 ? "gg_floor" : "gg_floor_log"
        spm = median(vals[key, name "/spm"]); sys = median(vals[key, name "/sys"])
        line = line (spm == "" || sys == "" ? sprintf(" %17s ", "-") : sprintf(" %8.3f %8.3f ", spm - sys, sys))
      }
      print line
    }
    # A row of the second table: gg_floor --log against gg_floor, or Ordwin against gg_floor --log.
    function logRow(label, name, left,   l, r, ratio, cpu) {
      figureKind = "rate"; delete figures; delete costs
      if (left == "") { l = side("gg_floor_log", name); r = side("gg_floor", name); left = "gg_floor_log"; right = "gg_floor" }
      else { l = side(left, name); r = side("gg_floor_log", name); right = "gg_floor_log" }
      if (!(left in figures) || !(right in figures)) return
      ratio = figures[right] > 0 ? sprintf("%7.2f  ", figures[left] / figures[right]) : sprintf("%9s", "-")
      cpu = costs[right] > 0 ? sprintf("%7.2f x", costs[left] / costs[right]) : ""
      printf "%-56s %s  %s %s %s\n", label, l, r, ratio, cpu
    }' "$WORK"/ordwin.* "$WORK"/gg_floor.* "$WORK"/gg_floor_log.*
  echo
  echo "every round's figures:"
  for f in "$WORK"/ordwin.* "$WORK"/gg_floor.* "$WORK"/gg_floor_log.*; do
    [ -f "$f" ] && sed "s|^|  $(basename "$f") |" "$f"
  done
  if grep -q . "$WORK/faults"; then
    echo "FAULTS (lost, duplicated or reordered messages, servers that stopped):"
    sed 's/^/  /' "$WORK/faults"
    status=1
  else
    echo "every message and notification checked in every round: none lost, duplicated or out of order"
  fi
fi

wc -lc <"$LOG" >>"$WORK/log-counts"
awk '{ lines += $1; bytes += $2 } END { printf "Ordwin'"'"'s log: %d lines, %.1f GB", lines, bytes / 1e9 }' "$WORK/log-counts"
[ "${KEEP_LOG:-0}" = 1 ] && printf ' in %s' "$LOG"
echo
echo "load average before the run: $LOAD_BEFORE (2 cores)"
[ -z "$REPORTING_NOTE" ] || echo "free page reporting to the host: $REPORTING_NOTE"
exit $status
