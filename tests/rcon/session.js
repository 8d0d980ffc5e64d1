// An RCON session against the development server with the npm package rcon-client, a real RCON
// client written elsewhere: a wrong password, then the right one, commands in a row on one
// connection, and a client that goes away right after sending. Every packet that arrives is
// recorded, so that an answer too many (which a tool would read as the next command's) shows.
// usage: node session.js PORT PASSWORD COMMAND...   prints one JSON object.
"use strict";
const { Rcon } = require("rcon-client");

const [port, password, ...commands] = process.argv.slice(2);
const options = { host: "127.0.0.1", port: Number(port), timeout: 10000 };

function decode(buffer) {
  const packets = [];
  for (let at = 0; at + 4 <= buffer.length;) {
    const size = buffer.readInt32LE(at);
    if (at + 4 + size > buffer.length) break;
    packets.push({ id: buffer.readInt32LE(at + 4), type: buffer.readInt32LE(at + 8),
                   body: buffer.slice(at + 12, at + 4 + size - 2).toString("utf-8") });
    at += 4 + size;
  }
  return packets;
}

async function main() {
  const out = { wrong_password: null, answers: [], packets: [], after_drop: null };
  try {
    const rcon = await Rcon.connect({ ...options, password: password + "x" });
    out.wrong_password = "accepted";
    await rcon.end();
  } catch (error) {
    out.wrong_password = error.message;
  }

  const rcon = await Rcon.connect({ ...options, password });
  let received = Buffer.alloc(0);
  rcon.socket.on("data", chunk => { received = Buffer.concat([received, chunk]); });
  for (const command of commands) {
    const answer = await rcon.send(command);
    out.answers.push({ command, answer });
  }
  // A quiet moment for an answer too many to arrive.
  await new Promise(resolve => setTimeout(resolve, 1500));
  out.packets = decode(received);
  await rcon.end();

  // Gone right after sending: the server answers into a closed connection and goes on.
  const dropping = await Rcon.connect({ ...options, password });
  dropping.send("gildmark.connect").catch(() => {});
  dropping.socket.destroy();
  await new Promise(resolve => setTimeout(resolve, 1000));
  const again = await Rcon.connect({ ...options, password });
  out.after_drop = await again.send("gildmark.status");
  await again.end();
  console.log(JSON.stringify(out));
}

main().catch(error => {
  console.log(JSON.stringify({ error: error.message }));
  process.exit(1);
});
