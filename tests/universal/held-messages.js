// Traffic that holds message bytes in the agent, while another connection
// sends a document and waits for its answer (retrying while its connection is
// closed for the budget). Prints one line of figures.
// Usage: node held-messages.js ROOT_PEM MODE N
//   whole      N connections each send one 31 MiB message; the document is 12 MB
//   stalled    N connections each send all but 4 KiB of a 31 MiB frame, then a
//              byte every 2 s; the document is 12 MB
//   fragments  N connections each send 24 MiB of fragments of a message that
//              never ends, and a ping every second; the document is 1 MB
'use strict';
const fs = require('fs');
const tls = require('tls');
const WebSocket = require('ws');

const ca = fs.readFileSync(process.argv[2]);
const mode = process.argv[3];
const total = Number(process.argv[4]);
const MiB = 1024 * 1024;
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// A WebSocket spoken by hand over TLS, for frames no browser sends.
function rawOpen() {
  return new Promise((resolve, reject) => {
    const s = tls.connect({host: '127.0.0.1', port: 16356, ca, servername: 'localhost', rejectUnauthorized: false});
    let head = Buffer.alloc(0);
    s.on('error', () => {});
    s.once('close', () => reject(new Error('closed during the handshake')));
    s.once('secureConnect', () => s.write('GET / HTTP/1.1\r\nHost: 127.0.0.1:16356\r\nUpgrade: websocket\r\n' +
        'Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n'));
    const onData = (d) => {
      head = Buffer.concat([head, d]);
      if (head.indexOf('\r\n\r\n') < 0) return;
      s.removeListener('data', onData);
      s.removeAllListeners('close');
      if (!head.toString().startsWith('HTTP/1.1 101')) return reject(new Error('no upgrade'));
      s.gone = false;
      s.on('close', () => { s.gone = true; });
      s.on('data', () => {});
      resolve(s);
    };
    s.on('data', onData);
  });
}

// A client frame header (masked with a zero key, which leaves the payload as it is).
function frameHeader(opcode, fin, length) {
  const head = [(fin ? 0x80 : 0) | opcode];
  if (length < 126) head.push(0x80 | length);
  else if (length < 65536) head.push(0x80 | 126, length >> 8, length & 255);
  else { head.push(0x80 | 127, 0, 0, 0, 0); for (let s = 24; s >= 0; s -= 8) head.push((length >>> s) & 255); }
  return Buffer.from(head.concat([0, 0, 0, 0]));
}

function writeAll(s, data) {
  return new Promise((resolve) => {
    if (s.gone) return resolve(false);
    const ok = s.write(data);
    if (ok) return resolve(true);
    const done = () => { s.removeListener('drain', done); s.removeListener('close', done); resolve(!s.gone); };
    s.once('drain', done);
    s.once('close', done);
  });
}

async function sendPayload(s, bytes) {
  const piece = Buffer.alloc(MiB, 'QUFB');
  for (let sent = 0; sent < bytes; sent += piece.length) {
    if (!await writeAll(s, piece.subarray(0, Math.min(piece.length, bytes - sent)))) return false;
  }
  return true;
}

function wsOpen() {
  return new Promise((resolve, reject) => {
    const ws = new WebSocket('wss://127.0.0.1:16356', {ca, maxPayload: 0});
    ws.once('open', () => resolve(ws));
    ws.once('error', reject);
  });
}

// Sends the document on a fresh connection until it is answered; ms taken, or -1.
async function document(mib, limitMs) {
  const json = JSON.stringify({action: 'monitorSmartCardActivity', duration: '1',
                               document: Buffer.alloc(mib * 1000 * 1000, 'd').toString('base64')});
  const message = Buffer.from(json).toString('base64');
  const start = Date.now();
  let tries = 0;
  while (Date.now() - start < limitMs) {
    tries++;
    const answered = await new Promise((resolve) => {
      wsOpen().then((ws) => {
        ws.on('message', () => { ws.terminate(); resolve(true); });
        ws.on('close', () => resolve(false));
        ws.on('error', () => resolve(false));
        ws.send(message);
      }, () => resolve(false));
    });
    if (answered) return {ms: Date.now() - start, tries};
    await sleep(500);
  }
  return {ms: -1, tries};
}

(async () => {
  const held = [];
  let closedEarly = 0;
  let doc;
  if (mode === 'whole') {
    const flood = await Promise.all(Array.from({length: total}, wsOpen));
    flood.forEach((ws) => { held.push(ws); ws.on('error', () => {}); ws.on('close', () => closedEarly++); });
    const piece = Buffer.alloc(31 * MiB, 'QUFB');
    flood.forEach((ws) => ws.send(piece, {binary: false}));
    await sleep(200);
    doc = await document(12, 60000);
  } else if (mode === 'stalled') {
    const sockets = await Promise.all(Array.from({length: total}, rawOpen));
    const trickle = setInterval(() => sockets.forEach((s) => { if (!s.gone) s.write('A'); }), 2000);
    await Promise.all(sockets.map(async (s) => {
      if (await writeAll(s, frameHeader(1, true, 31 * MiB))) await sendPayload(s, 31 * MiB - 4096);
    }));
    doc = await document(12, 60000);
    clearInterval(trickle);
    closedEarly = sockets.filter((s) => s.gone).length;
    held.push(...sockets);
  } else if (mode === 'fragments') {
    const sockets = await Promise.all(Array.from({length: total}, rawOpen));
    const pings = setInterval(() => sockets.forEach((s) => { if (!s.gone) s.write(frameHeader(9, true, 0)); }), 1000);
    const each = Math.floor(48 * MiB / total) - 64 * 1024;
    await Promise.all(sockets.map(async (s) => {
      if (await writeAll(s, frameHeader(1, false, each - MiB))) await sendPayload(s, each - MiB);
      if (await writeAll(s, frameHeader(0, false, MiB))) await sendPayload(s, MiB);
    }));
    await sleep(1000);
    doc = await document(1, 40000);
    clearInterval(pings);
    closedEarly = sockets.filter((s) => s.gone).length;
    held.push(...sockets);
  } else {
    throw new Error('unknown mode ' + mode);
  }
  console.log(`mode=${mode} connections=${total} closed=${closedEarly} documentMs=${doc.ms} tries=${doc.tries}`);
  held.forEach((c) => (c.terminate ? c.terminate() : c.destroy()));
  process.exit(0);
})().catch((e) => { console.log('error ' + e); process.exit(2); });
