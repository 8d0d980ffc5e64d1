#!/usr/bin/env bash
# Installs the Debian packages the build, tests and tools need, and only those that are missing.
# Idempotent and quiet when everything is already there.
set -euo pipefail

packages=(
  g++ make cmake pkg-config
  nlohmann-json3-dev libspdlog-dev libfmt-dev
  libcurl4-openssl-dev libcpp-httplib-dev libssl-dev openssl curl
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "deps: installing ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq >/dev/null
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
