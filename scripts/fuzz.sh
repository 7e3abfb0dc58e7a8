#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (clang, address and undefined-behaviour checks, leak
# checks at exit) in build-fuzz/ and runs each on its seeds from fuzz/corpus/.
#   scripts/fuzz.sh short [SECONDS]  each target for SECONDS (default 20): what CI runs
#   scripts/fuzz.sh long [RUNS [SECONDS]]  each target for RUNS executions (default 10 million),
#                                    or SECONDS when given and reached first, one after the
#                                    other, its corpus kept in build-fuzz/corpus/
# A crash, a sanitizer report or a leak makes the script end with status 1 (the other targets
# still run); the input that caused it is in build-fuzz/findings/<target>/. Once mended, it goes
# into fuzz/corpus/<target>/, where the normal build's test fuzz.<target> replays it. Each run's
# last line of figures goes to build-fuzz/<mode>-summary.txt.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-short}
build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DORDWIN_FUZZ=ON >/dev/null
cmake --build "$build"

targets=(GgSessionFuzz HttpRequestFuzz HttpPipelineFuzz LineModeFuzz HostsLinesFuzz SocksReplyFuzz DnsAnswerFuzz TlsReaderFuzz)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
summary="$build/$mode-summary.txt"
: >"$summary"
status=0
for target in "${targets[@]}"; do
  work="$build/corpus/$target"
  findings="$build/findings/$target"
  mkdir -p "$work" "$findings"
  # A long run leaves leak checks to a last pass over its corpus: some targets end most runs
  # with memory still held by caches (the resolver's, the loop's queue), and libFuzzer would
  # scan the whole heap for leaks after each of them.
  case "$mode" in
    short) limit=(-max_total_time="${2:-20}") ;;
    long) limit=(-runs="${2:-10000000}" -detect_leaks=0 ${3:+-max_total_time=$3}) ;;
    *) echo "usage: $0 short [SECONDS] | long [RUNS [SECONDS]]" >&2; exit 2 ;;
  esac
  # Inputs as long as the largest a target can use: GG packets and HTTP requests run to 64 KiB;
  # a line limit stays under 2 KiB, hosts files are short, a SOCKS reply is a few hundred bytes.
  case "$target" in
    LineModeFuzz | HostsLinesFuzz | SocksReplyFuzz) max_len=4096 ;;
    *) max_len=70000 ;;
  esac
  log="$build/$target-$mode.log"
  # New inputs go to the work folder (the first); the seeds in the tree stay as they are.
  if "$build/fuzz/$target" "${limit[@]}" -max_len=$max_len -timeout=20 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$findings/" "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
    tail -40 "$log" >&2
  fi
  if [ "$mode" = long ] && [ "$result" = ok ] &&
      ! "$build/fuzz/$target" -runs=0 -detect_leaks=1 -max_len=$max_len -artifact_prefix="$findings/" "$work" \
        >"$build/$target-leaks.log" 2>&1; then
    result="FAILED (leak pass)"
    status=1
    tail -40 "$build/$target-leaks.log" >&2
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
  echo "$target: $result, $runs executions, corpus $(find "$work" -type f | wc -l) inputs" | tee -a "$summary"
done
exit $status
