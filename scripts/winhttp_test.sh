#!/usr/bin/env bash
# The plugin's WinHTTP client under Wine against gildmark-storesim over HTTPS on loopback. Makes
# a test authority (its certificate goes into the private Wine prefix's local-machine Root
# store, which WinHTTP trusts), then four stores: one with a certificate for localhost from that
# authority, one whose certificate names another host, one self-signed, and a trusted one that
# answers slowly (for unload with a request outstanding).
# usage: winhttp_test.sh STORESIM WINE TEST_PROGRAM
set -euo pipefail
storesim=$1 wine=$2 program=$3
if [ ! -x "$storesim" ]; then
  echo "winhttp_test: $storesim is missing; make test-windows builds it (cmake --build --preset default --target gildmark-storesim)" >&2
  exit 1
fi
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

quiet() { "$@" >/dev/null 2>&1; }
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Gildmark Test Authority" \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
openssl x509 -in ca.pem -outform DER -out ca.der
leaf() {  # name file: a server certificate for `name` from the test authority
  quiet openssl req -newkey rsa:2048 -nodes -keyout "$2.key" -out "$2.csr" -subj "/CN=$1"
  printf 'subjectAltName=DNS:%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$1" > "$2.ext"
  quiet openssl x509 -req -in "$2.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -out "$2.pem" -days 2 -extfile "$2.ext"
}
leaf localhost trusted
leaf wrong.example wrong
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout self.key -out self.pem -days 2 -subj "/CN=localhost" \
  -addext subjectAltName=DNS:localhost

key=srv.s3cret.third
echo '[{"id":"p1","action":"purchase","eos_id":"E1","username":"","cmds":[{"id":1,"str":"give {eosid} 1","state":"Must be online"}]}]' > payments.json
start() {  # name cert extra...: starts a store and exports its port as GILDMARK_<NAME>_PORT
  local name=$1 cert=$2
  shift 2
  "$storesim" --listen 127.0.0.1:0 --key "$key" --tls-cert "$cert.pem" --tls-key "$cert.key" \
    --payments payments.json "$@" > "$name.out" 2> "$name.err" &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$name.out" ] && break; sleep 0.05; done
  local address
  address=$(head -n1 "$name.out")
  [ -n "$address" ] || { echo "winhttp_test: the $name store did not start: $(cat "$name.err")" >&2; exit 1; }
  export "GILDMARK_${name^^}_PORT=${address##*:}"
}
start trusted trusted
start wrong wrong
start self self
start slow trusted --delay-every 1 --delay-ms 6000
export GILDMARK_TEST_CA="$work/ca.der" GILDMARK_TEST_KEY="$key"
# A crash under Wine can end with status 0, so the verdict is GoogleTest's own summary.
"$wine" "$program" 2>&1 | tee output.txt
grep -q '^\[  PASSED  \]' output.txt && ! grep -q '^\[  FAILED  \]' output.txt
