// Opens N secure WebSocket connections and has each send one large text
// message at the same time, while one more connection asks for "initialize"
// every half second. Prints one line of figures.
// Usage: node message-flood.js ROOT_PEM N MIB FRAME_MIB
//   FRAME_MIB 0: each message goes as one frame; otherwise in frames of that
//   many MiB, sent round-robin over the connections so that every message is
//   under way at once.
'use strict';
const fs = require('fs');
const WebSocket = require('ws');

const ca = fs.readFileSync(process.argv[2]);
const total = Number(process.argv[3]);
const mib = Number(process.argv[4]);
const frameMib = Number(process.argv[5]);
const url = 'wss://127.0.0.1:16356';

function open() {
  return new Promise((resolve, reject) => {
    const ws = new WebSocket(url, {ca, maxPayload: 0});
    ws.once('open', () => resolve(ws));
    ws.once('error', reject);
  });
}

const initialize = Buffer.from(JSON.stringify({action: 'initialize'})).toString('base64');
function drained(ws) {
  return new Promise((resolve) => {
    const poll = () => (ws.readyState !== WebSocket.OPEN || ws.bufferedAmount < 4 * 1024 * 1024) ? resolve() : setTimeout(poll, 5);
    poll();
  });
}

(async () => {
  const small = await open();
  let smallAsked = 0, smallAnswered = 0;
  small.on('message', () => { smallAnswered++; });
  const ticker = setInterval(() => { smallAsked++; small.send(initialize); }, 500);

  const flood = await Promise.all(Array.from({length: total}, open));
  const closeCodes = [];
  let answered = 0;
  flood.forEach((ws) => {
    ws.on('message', () => { answered++; });
    ws.on('close', (code) => closeCodes.push(code));
    ws.on('error', () => {});
  });
  // Base64 text, as a request would be (it decodes to bytes that are no JSON: answer 12).
  const piece = Buffer.alloc((frameMib || mib) * 1024 * 1024, 'QUFB');
  if (frameMib === 0) {
    await Promise.all(flood.map((ws) => new Promise((resolve) => ws.send(piece, {binary: false}, () => resolve()))));
  } else {
    const frames = Math.ceil(mib / frameMib);
    for (let f = 0; f < frames; f++) {
      for (const ws of flood) {
        if (ws.readyState !== WebSocket.OPEN) continue;
        ws.send(piece, {binary: false, fin: f === frames - 1});
        await drained(ws);
      }
    }
  }
  // Wait until every flooding connection was answered or closed.
  const deadline = Date.now() + 240000;
  while (answered + closeCodes.length < total && Date.now() < deadline) await new Promise((r) => setTimeout(r, 100));
  await new Promise((r) => setTimeout(r, 1000));
  clearInterval(ticker);
  const asked = smallAsked;
  const end = Date.now() + 20000;
  while (smallAnswered < asked && Date.now() < end) await new Promise((r) => setTimeout(r, 50));
  const tooBig = closeCodes.filter((c) => c === 1009).length; console.log("codes " + closeCodes.join(","));
  console.log(`connections=${total} answered=${answered} closed=${closeCodes.length} closed1009=${tooBig} ` +
              `smallAsked=${asked} smallAnswered=${smallAnswered}`);
  flood.forEach((ws) => ws.terminate());
  small.close();
  process.exit(0);
})().catch((e) => { console.log('error ' + e); process.exit(2); });
