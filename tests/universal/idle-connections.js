// Opens many idle secure WebSocket connections and a few TCP connections that
// never start TLS, then checks that a new connection is still answered, how
// much CPU the agent burns meanwhile, that connections beyond its limit are
// refused at once, and that a slot freed is usable again. Prints one line.
// Usage: node idle-connections.js ROOT_PEM N PID EXTRA
'use strict';
const fs = require('fs');
const net = require('net');
const WebSocket = require('ws');

const ca = fs.readFileSync(process.argv[2]);
const total = Number(process.argv[3]);
const pid = Number(process.argv[4]);
const extra = Number(process.argv[5]);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const initialize = Buffer.from(JSON.stringify({action: 'initialize'})).toString('base64');

// Resolves with the open socket, or with null (and the time it took) when refused.
function open() {
  const start = Date.now();
  return new Promise((resolve) => {
    const ws = new WebSocket('wss://127.0.0.1:16356', {ca, handshakeTimeout: 30000});
    ws.once('open', () => resolve({ws, ms: Date.now() - start}));
    ws.once('error', () => resolve({ws: null, ms: Date.now() - start}));
    ws.on('close', () => { ws.gone = true; });
  });
}

async function openMany(count) {
  const opened = [];
  let refused = 0, refuseMaxMs = 0;
  for (let i = 0; i < count; i += 100) {
    const batch = await Promise.all(Array.from({length: Math.min(100, count - i)}, open));
    for (const r of batch) {
      if (r.ws) opened.push(r.ws);
      else { refused++; refuseMaxMs = Math.max(refuseMaxMs, r.ms); }
    }
  }
  return {opened, refused, refuseMaxMs};
}

// Time from opening a new connection to the answer of "initialize", or -1.
async function probe() {
  const start = Date.now();
  const answered = await Promise.race([
    open().then(({ws}) => ws && new Promise((resolve) => {
      ws.on('message', () => { ws.terminate(); resolve(true); });
      ws.on('close', () => resolve(false));
      ws.send(initialize);
    })),
    sleep(30000).then(() => false)]);
  return answered ? Date.now() - start : -1;
}

function cpuMs() {
  const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
  return (Number(fields[11]) + Number(fields[12])) * 10;   // utime + stime, in 10 ms ticks
}

(async () => {
  // Connections that never start their TLS handshake.
  const silent = Array.from({length: 20}, () => {
    const s = net.connect(16356, '127.0.0.1');
    s.on('error', () => {});
    s.on('close', () => { s.gone = true; });
    return s;
  });
  const silentSince = Date.now();
  const idle = await openMany(total);
  const probeMs = await probe();
  const before = cpuMs();
  await sleep(3000);
  const idleCpuMs = cpuMs() - before;
  // (Nothing more to learn from an agent that no longer answers.)
  const more = probeMs < 0 ? {opened: [], refused: 0, refuseMaxMs: 0} : await openMany(extra);
  // A slot freed by a connection that ends is taken by the next one.
  idle.opened.slice(0, 10).forEach((ws) => ws.terminate());
  await sleep(500);
  const probeAgainMs = probeMs < 0 ? -1 : await probe();
  await sleep(Math.max(0, 15000 - (Date.now() - silentSince)));
  const silentClosed = silent.filter((s) => s.gone).length;
  const stillOpen = idle.opened.concat(more.opened).filter((ws) => !ws.gone).length;
  console.log(`opened=${idle.opened.length} refused=${idle.refused} probeMs=${probeMs} idleCpuMs=${idleCpuMs} ` +
              `extraOpened=${more.opened.length} extraRefused=${more.refused} refuseMaxMs=${more.refuseMaxMs} ` +
              `probeAgainMs=${probeAgainMs} silentClosed=${silentClosed} stillOpen=${stillOpen}`);
  idle.opened.concat(more.opened).forEach((ws) => ws.terminate());
  silent.forEach((s) => s.destroy());
  process.exit(0);
})().catch((e) => { console.log('error ' + e); process.exit(2); });
