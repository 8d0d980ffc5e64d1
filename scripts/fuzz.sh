#!/usr/bin/env bash
# Runs each libFuzzer target for a while (FUZZ_SECONDS each, default 60), two at a time, on a
# copy of its seed corpus; a crash, a sanitizer report or an escaped exception stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-"get_reply config response journal installation"}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" >/dev/null
mkdir -p build/fuzz/runs
export TMPDIR=${TMPDIR:-/dev/shm}
run() {
  local t=$1 corpus=build/fuzz/runs/corpus_$1
  mkdir -p "$corpus"
  cp -n tests/fuzz/corpus_"$t"/* "$corpus"/ 2>/dev/null || true
  if build/fuzz/tests/fuzz_"$t" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
       -artifact_prefix=build/fuzz/runs/"$t"- "$corpus" > build/fuzz/runs/"$t".log 2>&1; then
    echo "fuzz_$t: $(grep -E 'stat::number_of_executed_units' build/fuzz/runs/"$t".log | awk '{print $2}') executions, no finding"
  else
    echo "fuzz_$t: FINDING, see build/fuzz/runs/$t.log"; return 1
  fi
}
status=0
set -- $targets
while [ $# -gt 0 ]; do
  run "$1" & a=$!
  b=
  if [ $# -gt 1 ]; then run "$2" & b=$!; fi
  wait $a || status=1
  [ -n "$b" ] && { wait $b || status=1; }
  shift; [ $# -gt 0 ] && shift
done
exit $status
