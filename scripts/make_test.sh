#!/usr/bin/env bash
# `make test` once the default build is made: half 1's tests run while the sanitizer build
# compiles beside them at a lower priority (those tests mostly wait on a simulated server, and
# leave the cores idle half of the time); the test that measures the game thread's longest call
# waits for that build to end, so that it runs alone; then half 2's tests, and one line for both.
set -uo pipefail
cd "$(dirname "$0")/.."
log=build/asan-build.log
mkdir -p build
echo "== make test: building the suite again with Address and UndefinedBehavior sanitizers (half 2 of 2)" \
     "beside half 1's tests, at a lower priority; the first time on this machine about 5 minutes," \
     "then seconds; its output goes to $log"
# A process group of its own (job control on for the start), so that stopping it stops its
# compilers too.
set -m
nice -n 10 make --no-print-directory build-asan >"$log" 2>&1 &
builder=$!
set +m
stop_builder() { kill -- "-$builder" 2>/dev/null; wait "$builder" 2>/dev/null; }
trap 'stop_builder; exit 130' INT TERM

if ! bash scripts/test_summary.sh default "running the suite (half 1 of 2), about a minute" -LE '^alone$'; then
  stop_builder
  exit 1
fi

# While the build goes on, a line every 25 s says so, with its latest step.
waited=0
while kill -0 "$builder" 2>/dev/null; do
  sleep 1
  waited=$((waited + 1))
  if [ $((waited % 25)) -eq 0 ]; then
    echo "   ... still building the sanitizer suite ($waited s after half 1's tests): $(grep '^\[' "$log" | tail -n1)"
  fi
done
if ! wait "$builder"; then
  grep -v '^\[' "$log" | tail -n 60
  echo "make test: the sanitizer build failed (all of its output: $log)"
  exit 1
fi
echo "== make test: the sanitizer build is done"

bash scripts/test_summary.sh --add default "the game thread's longest call, measured with nothing beside it" \
  -L '^alone$' || exit 1
bash scripts/test_summary.sh asan "running the suite again under the sanitizers (half 2 of 2), about 1.5 minutes" ||
  exit 1
bash scripts/test_summary.sh --summary
