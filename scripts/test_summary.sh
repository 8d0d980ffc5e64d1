#!/usr/bin/env bash
# Runs one half of `make test` under a heading and keeps ctest's count for the closing line.
# usage: test_summary.sh [--add] PRESET "heading" [ctest arguments]   |   test_summary.sh --summary
# --add: the count adds to what an earlier part of the same half counted.
set -uo pipefail
cd "$(dirname "$0")/.."
counts=build/.test-counts
if [ "$1" = --summary ]; then
  default=$(sed -n 's/^default //p' "$counts" 2>/dev/null)
  asan=$(sed -n 's/^asan //p' "$counts" 2>/dev/null)
  echo "make test: passed, ${default:-?} tests and ${asan:-?} again under the sanitizers (the SDK layout check runs once)"
  exit 0
fi
# While ctest prints nothing (tests that run for a minute), a line every 25 s says which tests
# are running and since when, so that a quiet minute does not read as a hang.
tell_while_quiet() {
  local file=$1 size=-1 quiet=0
  while sleep 5; do
    kill -0 $$ 2>/dev/null || return 0  # the script is gone (interrupted)
    local now_size
    now_size=$(stat -c %s "$file" 2>/dev/null || echo 0)
    if [ "$now_size" != "$size" ]; then
      size=$now_size
      quiet=0
      continue
    fi
    quiet=$((quiet + 5))
    [ $((quiet % 25)) -eq 0 ] || continue
    # Started and not yet finished, by ctest's numbers.
    local running
    running=$(awk '/^ *Start +[0-9]+: / {sub(":", "", $2); started[$2] = $3}
                   / Test +#[0-9]+: / {n = $0; sub(/.*Test +#/, "", n); sub(/:.*/, "", n); delete started[n]}
                   END {for (n in started) printf "%s ", started[n]}' "$file")
    [ -n "$running" ] && echo "   ... still running ($quiet s without news): $running"
  done
}

add=
if [ "$1" = --add ]; then add=1; shift; fi
preset=$1
echo "== make test: $2"
shift 2
# Two tests per core: most of the suite's time is scenarios waiting on a simulated server or the
# store stand-in (a first run on two cores used about 60% of them with one test per core).
jobs=$((2 * $(nproc)))
echo "== ctest runs $jobs tests at a time and names each as it starts; the longest, the simulated servers' scenarios, take up to half a minute each"
output=$(mktemp)
tell_while_quiet "$output" &
ticker=$!
trap 'kill "$ticker" 2>/dev/null' EXIT
ctest --preset "$preset" --parallel "$jobs" "$@" 2>&1 | tee "$output"
status=${PIPESTATUS[0]}
kill "$ticker" 2>/dev/null
wait "$ticker" 2>/dev/null
total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$output" | tail -n1)
rm -f "$output"
if [ -n "$add" ]; then
  before=$(sed -n "s/^$preset //p" "$counts" 2>/dev/null)
  if [[ "$before" =~ ^[0-9]+$ && "$total" =~ ^[0-9]+$ ]]; then total=$((before + total)); else total="?"; fi
fi
mkdir -p build
{ grep -v "^$preset " "$counts" 2>/dev/null; echo "$preset ${total:-?}"; } > "$counts.new" && mv "$counts.new" "$counts"
exit "$status"
