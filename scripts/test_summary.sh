#!/usr/bin/env bash
# Runs one half of `make test` under a heading and keeps ctest's count for the closing line.
# usage: test_summary.sh PRESET "heading"   |   test_summary.sh --summary
set -uo pipefail
cd "$(dirname "$0")/.."
counts=build/.test-counts
if [ "$1" = --summary ]; then
  default=$(sed -n 's/^default //p' "$counts" 2>/dev/null)
  asan=$(sed -n 's/^asan //p' "$counts" 2>/dev/null)
  echo "make test: passed, ${default:-?} tests and ${asan:-?} again under the sanitizers (the SDK layout check runs once)"
  exit 0
fi
preset=$1
echo "== make test: $2"
echo "== ctest names each test as it starts; the longest, devserver_tests, takes about 2 minutes (4 to 5 under the sanitizers)"
output=$(mktemp)
ctest --preset "$preset" 2>&1 | tee "$output"
status=${PIPESTATUS[0]}
total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$output" | tail -n1)
rm -f "$output"
mkdir -p build
{ grep -v "^$preset " "$counts" 2>/dev/null; echo "$preset ${total:-?}"; } > "$counts.new" && mv "$counts.new" "$counts"
exit "$status"
