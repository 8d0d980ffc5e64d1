#!/usr/bin/env bash
# Lays the stand-in's headers out as the real SDK folder is laid out (Core/Public with json.hpp
# at its top, API/UE, Logger with spdlog under it) and runs the product DLL's CMake path against
# it: configure with ASAAPI_SDK, then compile every plugin source for Windows with MinGW (syntax
# only, nothing to link). A wrong include folder, include name or flag fails here rather than on
# an admin's machine. The work folder is kept, and the headers are copied with their times and
# only when newer, so that a later run checks again only the batches whose sources changed.
# Usage: sdk_layout_check.sh [work folder]
set -euo pipefail
cd "$(dirname "$0")/.."
work=${1:-$(mktemp -d /tmp/gildmark-sdk.XXXXXX)}
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  echo "sdk-layout: x86_64-w64-mingw32-g++-posix is missing (scripts/deps.sh installs it)" >&2
  exit 1
fi
# Names the SDK does not have, which the copies below would still resolve.
if grep -rnE '#include [<"](nlohmann/|fmt/)' plugin; then
  echo "sdk-layout: the SDK has json.hpp and <spdlog/fmt/fmt.h>, not these" >&2
  exit 1
fi
sdk=$work/sdk
# A header removed from the stand-in must not linger in the copy.
if [ -d "$sdk/Core/Public" ] &&
   ! diff -rq --exclude=sim --exclude=Logger simhost/include "$sdk/Core/Public" 2>/dev/null | grep -q '^Only in'; then :
else
  rm -rf "$sdk" "$work/build"
fi
mkdir -p "$sdk/Core/Public/Logger" "$work/third_party"
cp -a -u simhost/include/. "$sdk/Core/Public/"
rm -rf "$sdk/Core/Public/sim"  # the stand-in's own control API is no part of the SDK
cp -a -u /usr/include/spdlog "$sdk/Core/Public/Logger/"
# What the SDK bundles as single files or inside spdlog, Debian has as folders of its own.
cp -a -u /usr/include/fmt /usr/include/nlohmann "$work/third_party/"

# Configured every time (seconds once the compiler is known), so that a folder an older check
# left behind gets today's options.
cmake -S . -B "$work/build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-posix.cmake -DCMAKE_BUILD_TYPE= \
  -DASAAPI_SDK="$sdk" -DASAAPI_FMT_INCLUDE="$work/third_party" -DGILDMARK_SYNTAX_ONLY=ON \
  -DCMAKE_CXX_FLAGS="-DSPDLOG_FMT_EXTERNAL -DFMT_HEADER_ONLY -Werror" >"$work/configure.log" 2>&1 ||
  { rm -rf "$work/build"; cat "$work/configure.log"; exit 1; }
status=0
cmake --build "$work/build" -j "$(nproc)" >"$work/build.log" 2>&1 || status=$?
if [ $status -ne 0 ]; then
  grep -v '^\[' "$work/build.log" | head -n 60
  if grep -q 'error: redefinition' "$work/build.log"; then
    echo "sdk-layout: sources are checked in batches (cmake/product_dll.cmake): a name local to one" \
         "source must not repeat one of another" >&2
  fi
  exit 1
fi
echo "sdk-layout: every plugin source compiles against the SDK folder layout"
