#!/usr/bin/env bash
# The plugin doing its job on the built-in stand-ins: a store over TLS with three purchases, a
# simulated server with the plugin loaded, buyers online and offline. Ends with the store's state.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/default
work=$(mktemp -d /tmp/gildmark-demo.XXXXXX)
store_pid=
cleanup() {
  [ -n "$store_pid" ] && kill "$store_pid" 2>/dev/null && wait "$store_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

cat > "$work/payments.json" <<'JSON'
[
  {"id": "order-1001", "action": "purchase", "eos_id": "0002a1ce", "username": "alice",
   "cmds": [{"id": 1, "str": "giveitem {eosid} Blueprint'/Game/Sword' 1 0 0", "state": "Must be online"},
            {"id": 2, "str": "broadcast {username} bought a sword!", "state": ""}]},
  {"id": "order-1002", "action": "purchase", "eos_id": "0002b0b0", "username": "bob",
   "cmds": [{"id": 3, "str": "addexperience {eosid} 5000", "state": "Must be online"}]},
  {"id": "order-1003", "action": "purchase", "eos_id": "", "username": "Carol",
   "cmds": [{"id": 4, "str": "broadcast Thank you Carol for supporting the server!", "state": ""}]}
]
JSON

echo "== starting the store stand-in over TLS with three purchases waiting"
"$build/tools/gildmark-storesim" --listen 127.0.0.1:0 --key srv42.s3cr3t.k3y --tls-self-signed "$work/tls" \
  --payments "$work/payments.json" > "$work/store.out" 2> "$work/store.err" &
store_pid=$!
for _ in $(seq 100); do [ -s "$work/store.out" ] && break; sleep 0.05; done
address=$(head -n 1 "$work/store.out")
port=${address##*:}
echo "   listening on $address"

plugin_dir="$work/server/ArkApi/Plugins/Gildmark_DadUZ"
mkdir -p "$plugin_dir"
cat > "$plugin_dir/config.json" <<'JSON'
{
"key": "srv42.s3cr3t.k3y",
"request_interval_in_minutes" : 1,
"order_received_text" : "Thank you for your purchase :)"
}
JSON

cat > "$work/script" <<'EOF2'
echo the server has loaded the plugin; its first request only flushes old results
sync
echo alice joins; the admin checks the connection over RCON
join 0002a1ce 1001 Alice
rcon gildmark.connect
sync
echo a minute passes: the plugin polls the store
wait 60
sync
echo alice got her sword; bob is offline, so his "Must be online" item waits;
echo Carol's broadcast has no placeholders, so it runs through the first player
players
echo bob joins, and at the next poll his item is delivered
join 0002b0b0 1002 Bob
wait 60
sync
echo another minute: nothing is left to deliver
wait 60
sync
quit
EOF2

echo "== starting the simulated server with the plugin"
"$build/tools/asa-devserver" --root "$work/server" --plugin "$build/plugin/Gildmark_DadUZ.so" \
  --connect-to "api.gildmark.com:443:127.0.0.1:$port" --cacert "$work/tls/cert.pem" \
  --speed 60 --script "$work/script" --events "$work/events.jsonl" | grep -v '^\[plugin_'

echo
echo "== the store's state"
summary=$(curl -s --cacert "$work/tls/cert.pem" --connect-to "api.gildmark.com:443:127.0.0.1:$port" \
  https://api.gildmark.com/_sim/summary)
echo "$summary"
echo "== results left in response.json: $(cat "$plugin_dir/response.json")"
if grep -q '^payments still waiting: 0 ' <<<"$summary" && grep -q 'signatures refused: 0' <<<"$summary" \
   && [ "$(cat "$plugin_dir/response.json")" = "{}" ]; then
  echo "== all delivered, all acknowledged"
else
  echo "== something was not delivered or not acknowledged" >&2
  exit 1
fi
