// Opens N secure WebSocket connections to the agent from 127.0.0.2 (a loopback
// address the agent must refuse), sends a request on each that manages to
// open, and prints how many were answered. Usage: node refused-peers.js ROOT_PEM N
'use strict';
const fs = require('fs');
const WebSocket = require('ws');

const ca = fs.readFileSync(process.argv[2]);
const total = Number(process.argv[3] || 100);
let answered = 0, opened = 0, finished = 0;
const request = Buffer.from(JSON.stringify({action: 'initialize'})).toString('base64');

function one() {
  return new Promise((resolve) => {
    const ws = new WebSocket('wss://127.0.0.1:16356', {ca, localAddress: '127.0.0.2', handshakeTimeout: 5000});
    let done = false;
    const end = () => { if (!done) { done = true; finished++; try { ws.terminate(); } catch (e) {} resolve(); } };
    ws.on('open', () => { opened++; ws.send(request); setTimeout(end, 300); });
    ws.on('message', () => { answered++; end(); });
    ws.on('error', end);
    ws.on('close', end);
    setTimeout(end, 8000);
  });
}

(async () => {
  for (let i = 0; i < total; i += 50) {
    await Promise.all(Array.from({length: Math.min(50, total - i)}, one));
  }
  console.log(`total=${total} opened=${opened} answered=${answered} finished=${finished}`);
  process.exit(finished === total ? 0 : 1);
})();
