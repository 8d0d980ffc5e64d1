# Front door: each target installs what is missing, configures if needed, and builds.
JOBS ?= $(shell nproc)
MAKEFLAGS += --no-print-directory

.PHONY: all deps build build-asan test test-default test-asan announce-default announce-asan test-windows demo bench crashtest faulttest fuzz \
        fuzz-build windows-check

all: build

deps:
	@bash scripts/deps.sh

build/default/CMakeCache.txt: | deps
	@cmake --preset default >/dev/null

build/asan/CMakeCache.txt: | deps
	@cmake --preset asan >/dev/null

build: deps build/default/CMakeCache.txt
	@cmake --build --preset default -j $(JOBS)

# The sanitizer build's scenarios talk to the default build's store stand-in.
build-asan: deps build/asan/CMakeCache.txt build/default/CMakeCache.txt
	@cmake --build --preset default -j $(JOBS) --target gildmark-storesim
	@cmake --build --preset asan -j $(JOBS)

# A line before each half's build, so that its minutes of compiling do not read as the end.
# Times as measured on two cores, the first time; later runs only rebuild what changed.
# The compiler cache makes later builds, and those of other clones, take seconds.
announce-default:
	@echo "== make test: building the suite (half 1 of 2); the first time on this machine about 2.5 minutes" \
	  "on two cores, then seconds"

announce-asan:
	@echo "== make test: building the suite again with Address and UndefinedBehavior sanitizers (half 2 of 2);" \
	  "the first time about 4 minutes more"

test-default: announce-default build
	@bash scripts/test_summary.sh default "running the suite (half 1 of 2), about a minute"

test-asan: announce-asan build-asan
	@bash scripts/test_summary.sh asan "running the suite again under the sanitizers (half 2 of 2), about 1.5 minutes"

# The suite, then the suite again under Address and UndefinedBehavior sanitizers, then one line
# for both; the sanitizer build compiles while the first half's tests run (scripts/make_test.sh).
test: announce-default build
	@bash scripts/make_test.sh

# The plugin, the stand-in host and the tests built for Windows with MinGW and run under Wine
# (a private Wine prefix in the build folder; its first start takes a few seconds). The WinHTTP
# test talks to the store stand-in, a Linux program of the default build.
WINE64 ?= /usr/lib/wine/wine64
test-windows: build/default/CMakeCache.txt
	@bash scripts/deps.sh windows
	@cmake --build --preset default -j $(JOBS) --target gildmark-storesim
	@[ -f build/windows/CMakeCache.txt ] || cmake --preset windows >/dev/null
	@cmake --build --preset windows -j $(JOBS)
	@[ -d build/windows/wine ] || WINEPREFIX=$(CURDIR)/build/windows/wine WINEDEBUG=-all $(WINE64) wineboot -i >/dev/null 2>&1
	@ctest --preset windows --parallel $(JOBS)

# The plugin delivering purchases on the built-in stand-ins; builds only what the demo runs.
demo:
	@bash scripts/deps.sh demo
	@[ -f build/default/CMakeCache.txt ] || cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS) --target Gildmark_DadUZ asa-devserver gildmark-storesim
	@bash scripts/demo.sh

# The game thread's cost of a delivery, idle cycles and signing; the table goes to bench/RESULTS.md.
bench: build
	@build/default/bench/gildmark_bench --benchmark_min_time=0.3 --results bench/RESULTS.md

# Kill the server at random moments, again and again: nothing lost, nothing run twice unexplained.
crashtest: build
	@build/default/tests/crash_campaign --kills 40

# Fail each file step of a delivery cycle in turn, and the whole folder for a while: nothing lost,
# nothing run twice unexplained, no rights left, polling never stopped.
faulttest: build
	@build/default/tests/fault_campaign

# Each fuzz target for FUZZ_SECONDS (default 60) with libFuzzer, clang and the sanitizers.
fuzz:
	@bash scripts/deps.sh fuzz
	@bash scripts/fuzz.sh

# The fuzz targets built with clang and libFuzzer, without running them (CI: they cannot break
# unseen).
fuzz-build:
	@bash scripts/deps.sh fuzz
	@cmake --preset fuzz >/dev/null
	@echo "building the fuzz targets with clang and libFuzzer (a few minutes)"
	@cmake --build --preset fuzz -j $(JOBS) >/dev/null
	@echo "fuzz targets built"

# The plugin's sources compiled for Windows with MinGW (syntax only), _WIN32 branches included.
windows-check:
	@bash scripts/windows_check.sh
