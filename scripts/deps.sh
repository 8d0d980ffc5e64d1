#!/usr/bin/env bash
# Installs the Debian packages the build, tests and tools need, and only those that are missing.
# Idempotent and silent when everything is there. Needs root or sudo, and a Debian package mirror.
#   deps.sh demo      what `make demo` builds with (the compiler, CMake, the libraries)
#   deps.sh           and what the suite needs: the test libraries, the Windows cross compiler
#                     for the SDK layout check, Node.js with npm and the npm package
#                     rcon-client (a real RCON client for the RCON session test)
#   deps.sh fuzz      and clang with its sanitizer runtime (`make fuzz`)
#   deps.sh windows   and Wine with GoogleTest's source (`make test-windows`)
set -euo pipefail

packages=(
  g++ make cmake pkg-config ccache
  nlohmann-json3-dev libspdlog-dev libfmt-dev
  libcurl4-openssl-dev libcpp-httplib-dev libssl-dev openssl curl ca-certificates
  # Small, and the default build's configuration looks for them even when only the demo is built.
  libgtest-dev libgmock-dev libbenchmark-dev
)
case "${1:-}" in
  demo) ;;
  "") packages+=(g++-mingw-w64-x86-64-posix nodejs npm) ;;
  fuzz) packages+=(g++-mingw-w64-x86-64-posix clang libclang-rt-14-dev) ;;
  windows) packages+=(g++-mingw-w64-x86-64-posix wine64 googletest) ;;
  *) echo "deps: unknown set '$1' (demo, fuzz, windows, or none)" >&2; exit 2 ;;
esac

# Why each package is here: which command needs it.
declare -A why=(
  [g++]="the compiler, for every build" [make]="the front door's targets" [cmake]="the build's configuration"
  [pkg-config]="finding the libraries" [ccache]="the compiler cache: later builds and other clones reuse objects" [nlohmann-json3-dev]="JSON, in the plugin and the stand-ins"
  [libspdlog-dev]="the stand-in host's logs" [libfmt-dev]="text formatting in the stand-ins"
  [libcurl4-openssl-dev]="the stand-in's HTTPS client" [libcpp-httplib-dev]="the store stand-in"
  [libssl-dev]="TLS for the store stand-in" [openssl]="the store stand-in's own certificate"
  [curl]="HTTPS checks in the scripts" [ca-certificates]="trusted roots for HTTPS"
  [libgtest-dev]="make test's unit tests" [libgmock-dev]="make test's unit tests"
  [libbenchmark-dev]="make bench" [g++-mingw-w64-x86-64-posix]="make test's check against the host's own headers, and make test-windows"
  [clang]="make fuzz" [libclang-rt-14-dev]="make fuzz's sanitizers" [wine64]="make test-windows runs the Windows build"
  [googletest]="make test-windows builds GoogleTest for Windows"
  [nodejs]="make test's RCON session runs a real RCON client" [npm]="installs that RCON client (rcon-client)"
)

# The npm package the RCON session test drives, beside its script, once.
install_rcon_client() {
  [ "${1:-}" = "" ] || return 0
  [ -f tests/rcon/node_modules/rcon-client/package.json ] && return 0
  echo "deps: installing the npm package rcon-client for the RCON session test"
  (cd tests/rcon && npm install --no-audit --no-fund --loglevel=error >/dev/null) ||
    { echo "deps: npm install in tests/rcon failed" >&2; exit 1; }
}
cd "$(dirname "$0")/.."

missing=()
for p in "${packages[@]}"; do
  # Node.js and npm may come from elsewhere (npm ships inside some Node.js packages): the
  # commands are what count.
  case "$p" in
    nodejs) command -v node >/dev/null && continue ;;
    npm) command -v npm >/dev/null && continue ;;
  esac
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  install_rcon_client "${1:-}"
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "deps: these Debian packages are missing: ${missing[*]}" >&2
    echo "deps: run this script as root (su -c 'bash scripts/deps.sh'), or install sudo" >&2
    exit 1
  fi
  sudo_cmd=(sudo)
fi
echo "deps: installing ${#missing[@]} Debian package(s) that are missing:"
for p in "${missing[@]}"; do echo "deps:   $p (${why[$p]:-needed by the build})"; done
echo "deps: with their dependencies this can take several minutes on a fresh machine"
export DEBIAN_FRONTEND=noninteractive
echo "deps: reading the package lists"
"${sudo_cmd[@]}" apt-get update -qq >/dev/null
# A line per fifty packages fetched, unpacked and set up, rather than apt's thousands.
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends -o Dpkg::Use-Pty=0 "${missing[@]}" 2>&1 |
  awk 'function tell(what, n) { if (n % 50 == 1 || n == total) { printf "deps: %s (%d of %d)\n", what, n, total; fflush() } }
       / newly installed, / {total = $1 + $3; printf "deps: %d packages in all, with what those need\n", total; fflush()}
       /^Need to get/ {print "deps: " $0; fflush()}
       /^Get:/ {tell("downloading", ++g)}
       /^Unpacking/ {tell("unpacking", ++u)}
       /^Setting up/ {tell("setting up", ++n)}
       /^E: / {print; fflush()}'
status=${PIPESTATUS[0]}
[ "$status" -eq 0 ] || { echo "deps: apt-get failed ($status)" >&2; exit "$status"; }
install_rcon_client "${1:-}"
echo "deps: done"
