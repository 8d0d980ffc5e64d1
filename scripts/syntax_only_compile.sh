#!/usr/bin/env bash
# Compiler launcher of the SDK layout check: runs the compile as a syntax check only and, when it
# passes, leaves an empty object where the build expects one. The build then skips the file until
# it or a header it includes changes (the compiler still writes the dependency file), while a
# first check costs no code generation.
set -euo pipefail
out=""
args=("$@")
for ((i = 0; i < ${#args[@]} - 1; i++)); do
  [ "${args[$i]}" = "-o" ] && out=${args[$((i + 1))]}
done
"$@" -fsyntax-only
if [ -n "$out" ]; then : >"$out"; fi
