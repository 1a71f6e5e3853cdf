'use strict';
// A fake browser page for the client script and the page connector: a vm
// context with window, location, document (script tags are recorded, never
// fetched), console capture, controllable timers and an optional fake
// WebSocket class. Also the agent's side of the exchange: its nonce and its
// scrambling of the client script, written here from the agent's rules so
// that the page side is checked against them and not against itself.

const fs = require('node:fs');
const path = require('node:path');
const vm = require('node:vm');

const SOURCE_DIR = process.env.CORVANE_SOURCE_DIR || path.resolve(__dirname, '..', '..');
const RESOURCE_PATH = path.join(SOURCE_DIR, 'resources', 'CorvaneJS-2.2.1.js');
const CONNECTOR_PATH = path.join(SOURCE_DIR, 'web', 'corvane-connector.js');

const resourceBytes = fs.readFileSync(RESOURCE_PATH);
// The agent reads the resource as text; for the pure-ASCII file every byte is one character.
const resourceText = resourceBytes.toString('latin1');
const connectorText = fs.readFileSync(CONNECTOR_PATH, 'utf8');

const PAGE_URL = 'https://bank.example/sign?order=7';

class FakeTimers {
  constructor() {
    this.now = 0;
    this.nextId = 1;
    this.pending = new Map();
    this.setTimeout = (fn, ms) => {
      const id = this.nextId++;
      this.pending.set(id, { at: this.now + (Number(ms) || 0), fn });
      return id;
    };
    this.clearTimeout = (id) => {
      this.pending.delete(id);
    };
  }

  // Runs every timer due within `ms`, in time order, including timers that
  // the callbacks themselves set.
  advance(ms) {
    const target = this.now + ms;
    for (;;) {
      let dueId = null;
      let due = null;
      for (const [id, timer] of this.pending) {
        if (timer.at <= target && (due === null || timer.at < due.at)) {
          dueId = id;
          due = timer;
        }
      }
      if (due === null) break;
      this.pending.delete(dueId);
      this.now = due.at;
      due.fn();
    }
    this.now = target;
  }

  count() {
    return this.pending.size;
  }
}

function makeWebSocketClass(sockets) {
  return class FakeWebSocket {
    constructor(url) {
      this.url = url;
      this.sent = [];
      this.closeCalled = false;
      sockets.push(this);
    }
    send(text) {
      this.sent.push(text);
    }
    close() {
      this.closeCalled = true;
    }
  };
}

// options.webSocket: false leaves the page without WebSocket support.
function makePage(options = {}) {
  const timers = new FakeTimers();
  const logs = [];
  const scripts = [];
  const sockets = [];
  const head = {
    appendChild(element) {
      element.parentNode = head;
      scripts.push(element);
    },
    removeChild(element) {
      element.parentNode = null;
    },
  };
  const document = {
    head,
    createElement(tagName) {
      return { tagName, parentNode: null };
    },
  };
  const sandbox = {
    location: { href: options.href || PAGE_URL },
    document,
    console: { log: (...args) => logs.push(args.map(String).join(' ')) },
    setTimeout: timers.setTimeout,
    clearTimeout: timers.clearTimeout,
  };
  if (options.webSocket !== false) {
    sandbox.WebSocket = makeWebSocketClass(sockets);
  }
  const context = vm.createContext(sandbox);
  vm.runInContext('var window = this;', context);
  vm.runInContext(connectorText, context, { filename: CONNECTOR_PATH });
  return {
    context,
    timers,
    logs,
    scripts,
    sockets,
    run: (code) => vm.runInContext(code, context),
    get quessel() {
      return context.quessel;
    },
    loadClientScript() {
      vm.runInContext(resourceText, context, { filename: RESOURCE_PATH });
    },
  };
}

// Replaces the transport with one that records every send call.
function recordingConnector(page) {
  const calls = [];
  page.quessel.connector = {
    send(...args) {
      calls.push(args);
    },
  };
  return calls;
}

function decodeRequest(text) {
  return JSON.parse(Buffer.from(text, 'base64').toString('utf8'));
}

// Objects of the page's realm as plain objects of this one.
function plain(value) {
  return JSON.parse(JSON.stringify(value));
}

// ---- the agent's side ------------------------------------------------------------------

const NONCE_ALPHABET = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789';

function timeDigits(d) {
  const two = (n) => String(n).padStart(2, '0');
  return String(d.getFullYear()) + two(d.getMonth() + 1) + two(d.getDate()) +
    two(d.getHours()) + two(d.getMinutes()) + two(d.getSeconds());
}

// The agent's response nonce: step digit, 140 letters and digits, the local
// time digits written as 9 - d at step * (k + 1).
function agentNonce(date, step) {
  let text = String(step);
  for (let i = 0; i < 140; i++) {
    text += NONCE_ALPHABET[Math.floor(Math.random() * NONCE_ALPHABET.length)];
  }
  const chars = text.split('');
  const digits = timeDigits(date);
  for (let k = 0; k < 14; k++) {
    chars[step * (k + 1)] = String(9 - Number(digits[k]));
  }
  return chars.join('');
}

// The octets of "nonce2" before Base64: per script code unit one UTF-8 form
// of the signed byte (unit XOR nonce unit) widened to 16 bits; units above
// 0xFF count as 0.
function agentScrambleOctets(script, nonce) {
  const octets = [];
  for (let i = 0; i < script.length; i++) {
    const s = script.charCodeAt(i);
    const n = nonce.charCodeAt(i % nonce.length);
    const x = (s <= 0xFF ? s : 0) ^ (n <= 0xFF ? n : 0);
    if (x < 0x80) {
      octets.push(x);
    } else {
      const u = 0xFF00 + x;
      octets.push(0xEF, 0x80 + ((u >> 6) & 0x3F), 0x80 + (u & 0x3F));
    }
  }
  return Buffer.from(octets);
}

function agentScramble(script, nonce) {
  return agentScrambleOctets(script, nonce).toString('base64');
}

// The agent's answer text of "initialize", in its hand-written pair form.
function initializeAnswer(transactionUUID, script = resourceText, nonce = agentNonce(new Date(), 7)) {
  return '[{"responseCode": "0","transactionUUID": "' + transactionUUID + '","nonce": "' + nonce +
    '","nonce2": "' + agentScramble(script, nonce) + '","clientVersion": "34"}]';
}

module.exports = {
  SOURCE_DIR,
  RESOURCE_PATH,
  PAGE_URL,
  resourceBytes,
  resourceText,
  makePage,
  recordingConnector,
  decodeRequest,
  plain,
  timeDigits,
  agentNonce,
  agentScrambleOctets,
  agentScramble,
  initializeAnswer,
};
