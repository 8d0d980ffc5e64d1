#!/usr/bin/env bash
# Compiles every plugin source for Windows (MinGW, UNICODE, syntax only) against the stand-in's
# headers: the _WIN32 branches (DllMain, GetModuleHandleExA, localtime_s) are checked without
# the SDK. scripts/deps.sh installs the cross compiler.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cxx=x86_64-w64-mingw32-g++-posix
headers=$(mktemp -d)
trap 'rm -rf "$headers"' EXIT
cp -r /usr/include/spdlog /usr/include/fmt /usr/include/nlohmann "$headers"/
status=0
for f in $(git ls-files 'plugin/*.cpp'); do
  "$cxx" -std=c++20 -fsyntax-only -Wall -Wextra -DUNICODE -D_UNICODE -DFMT_HEADER_ONLY \
    -DSPDLOG_FMT_EXTERNAL -Isimhost/include -Iplugin -I"$headers" "$f" || { echo "windows-check: $f"; status=1; }
done
[ $status -eq 0 ] && echo "windows-check: every plugin source compiles for Windows"
exit $status
