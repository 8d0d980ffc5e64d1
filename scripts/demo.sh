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

echo "== starting the store stand-in over TLS with three purchases waiting:"
echo "   order-1001: alice (online soon) buys a sword and a broadcast"
echo "   order-1002: bob (offline until later) buys experience, to be given only while he is online"
echo "   order-1003: Carol (never online) pays for a thank-you broadcast"
"$build/tools/gildmark-storesim" --listen 127.0.0.1:0 --key srv42.s3cr3t.k3y --tls-self-signed "$work/tls" \
  --payments "$work/payments.json" > "$work/store.out" 2> "$work/store.err" &
store_pid=$!
for _ in $(seq 100); do [ -s "$work/store.out" ] && break; sleep 0.05; done
address=$(head -n 1 "$work/store.out")
port=${address##*:}
echo "   the store listens on $address; the plugin's requests for api.gildmark.com go there"

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
sync
echo Alice joins. The admin runs gildmark.connect over RCON: RCON hears at once that the store is being asked (the game may close an RCON connection at any moment), and the store's verdict goes to the server log, info.log and gildmark.status. It delivers nothing.
join 0002a1ce 1001 Alice
rcon gildmark.connect
sync
echo The timer polls the store at its first check, a second after loading, and then every minute: the demo lets a minute pass. Next: the plugin greets Alice, grants her admin and cheat rights for the length of each of her commands only, runs Carol's broadcast, holds back Bob's item, and reports every command's result at once.
wait 60
sync
echo Alice got her sword and her broadcast. Carol is not on the server and her broadcast has no placeholders and needs nobody online, so it ran through the first player on the server, Alice, who held the rights for that one command: that is the "[FOR ]" line, with no buyer to name. Bob is offline, so his "Must be online" item was reported "Not Executed": the store keeps it and offers it again at every poll until it runs.
players
echo Half a minute passes. Next: the regular poll at the minute gets Bob's item again; he is still offline, so it is held back and reported "Not Executed" once more.
wait 30
sync
echo The admin asks what the plugin is doing: gildmark.status over RCON, answered at once from what the plugin knows. It names Bob as a buyer whose item waits for him to join, and says when the next regular poll comes.
rcon gildmark.status
echo Bob joins. Next: the plugin sees that a buyer whose item was held back is online with a living character, and asks the store at once rather than at the next regular poll; the store offers his item again, and this time he is online to get it.
join 0002b0b0 1002 Bob
wait 20
sync
echo Another minute. Next: the regular poll finds nothing left to deliver.
wait 60
sync
players
quit
EOF2

echo "== starting the simulated server with the plugin. Its clock is simulated: a minute passes in about"
echo "   a second (--speed 60). Loading, the plugin makes a first request: with no results to report it"
echo "   fetches the waiting payments, but that first answer is only a check and delivers nothing."
"$build/tools/asa-devserver" --root "$work/server" --plugin "$build/plugin/Gildmark_DadUZ.so" \
  --connect-to "api.gildmark.com:443:127.0.0.1:$port" --cacert "$work/tls/cert.pem" \
  --speed 60 --script "$work/script" --events "$work/events.jsonl" | grep --line-buffered -v '^\[plugin_'

echo
echo "== the store's own account"
summary=$(curl -s --cacert "$work/tls/cert.pem" --connect-to "api.gildmark.com:443:127.0.0.1:$port" \
  https://api.gildmark.com/_sim/summary)
echo "$summary"
echo "== results waiting in response.json: $(cat "$plugin_dir/response.json")"
journal=$(cat "$plugin_dir/security_admin.dat" 2>/dev/null || true)
echo "== players holding temporary rights (security_admin.dat): ${journal:-none}"
granted=$(grep '"type":"rights"' "$work/events.jsonl" | grep -c '"admin":true,"cheat":true' || true)
revoked=$(grep '"type":"rights"' "$work/events.jsonl" | grep -c '"admin":false,"cheat":false' || true)
echo "== rights bits set for $granted commands and cleared after each: $revoked times"
if grep -q '^payments still waiting: 0 ' <<<"$summary" && grep -q 'signatures refused: 0' <<<"$summary" \
   && [ "$(cat "$plugin_dir/response.json")" = "{}" ] && [ -z "$journal" ] && [ "$granted" -eq "$revoked" ] \
   && [ "$granted" -gt 0 ]; then
  echo "== verdict: all delivered, all acknowledged, no rights left behind"
else
  echo "== verdict: FAILED: something was not delivered, not acknowledged, or rights were left behind" >&2
  exit 1
fi
