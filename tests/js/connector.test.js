'use strict';
// The page connector: Base64, the unscrambling of "nonce2", the loader, and
// both transports against a fake page (script tags are answered the way the
// agent's JSONP body would run; WebSocket frames through a fake socket).

const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const {
  PAGE_URL, resourceText, makePage, decodeRequest, agentNonce, agentScrambleOctets,
  agentScramble, initializeAnswer,
} = require('./page-harness');

const UUID_PATTERN = /^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$/;
const FULL_CONFIG = {
  library: 'akisp11', slotId: '1', certSerialNumber: '42', pincode: '0000', dataBase64: 'SGVsbG8=',
};

// The query of a script tag the JSONP connector put into the page.
function jsonpRequest(script) {
  const url = new URL(script.src);
  const rawParameters = /[?&]parameters=([^&]*)/.exec(script.src)[1];
  return {
    origin: url.origin,
    pathname: url.pathname,
    callback: url.searchParams.get('callback'),
    rawParameters,
    request: decodeRequest(decodeURIComponent(rawParameters)),
  };
}

// What a browser does with the agent's JSONP body: run "callback(answer)".
function answerJsonp(page, script, answerText) {
  page.run(jsonpRequest(script).callback + '(' + answerText + ')');
  if (typeof script.onload === 'function') script.onload();
}

async function loadedOverJsonp() {
  const page = makePage();
  const ready = page.run("CorvaneConnector.load({ transport: 'jsonp' })");
  const script = page.scripts[0];
  answerJsonp(page, script, initializeAnswer(jsonpRequest(script).request.transactionUUID));
  await ready;
  return page;
}

async function loadedOverWebSocket() {
  const page = makePage();
  const ready = page.run("CorvaneConnector.load({ transport: 'websocket' })");
  const socket = page.sockets[0];
  socket.onopen();
  const uuid = decodeRequest(socket.sent[0]).transactionUUID;
  socket.onmessage({ data: initializeAnswer(uuid) });
  await ready;
  return { page, socket };
}

function lastRequest(socket) {
  return decodeRequest(socket.sent[socket.sent.length - 1]);
}

describe('Base64', () => {
  const page = makePage();
  const Base64 = page.context.Base64;

  it('encodes text as UTF-8 in the standard alphabet with padding', () => {
    for (const text of ['', 'f', 'fo', 'foo', 'foob', 'fooba', 'foobar', '\u00e7\u011f\u0131\u20ac',
      '\ud83d\ude00 x', '\u0000\u007f\u0080\u07ff\u0800\uffff', '>>>???']) {
      assert.equal(Base64.encode(text), Buffer.from(text, 'utf8').toString('base64'), JSON.stringify(text));
      assert.equal(Base64.decode(Buffer.from(text, 'utf8').toString('base64')), text);
    }
  });

  it('refuses text outside the alphabet and replaces malformed UTF-8', () => {
    assert.throws(() => Base64.decode('ab$d'));
    assert.equal(Base64.decode(Buffer.from([0x41, 0xC3, 0x41, 0xED, 0xA0, 0x80]).toString('base64')),
      'A\ufffdA\ufffd\ufffd\ufffd');
  });
});

describe('the agent scrambling as written for this test', () => {
  const nonce = agentNonce(new Date(), 5);

  it('gives one octet per ASCII character: script XOR nonce', () => {
    const octets = agentScrambleOctets('var q = 1;', nonce);
    assert.equal(octets.length, 10);
    for (let i = 0; i < 10; i++) assert.equal(octets[i], 'var q = 1;'.charCodeAt(i) ^ nonce.charCodeAt(i));
  });

  it('gives three octets EF xx xx (UTF-8 of U+FF80..U+FFFF) for U+0080..U+00FF', () => {
    for (let c = 0x80; c <= 0xFF; c++) {
      const octets = agentScrambleOctets(String.fromCharCode(c), 'A');
      const x = c ^ 0x41;
      const expected = x < 0x80 ? Buffer.from([x]) : Buffer.from(String.fromCharCode(0xFF00 + x), 'utf8');
      assert.deepEqual(octets, expected, `U+${c.toString(16)}`);
      if (x >= 0x80) assert.equal(octets[0], 0xEF);
    }
  });

  it('gives 0x00 for a character equal to the nonce character, the nonce character above U+00FF', () => {
    assert.deepEqual(agentScrambleOctets(nonce.substring(0, 3), nonce), Buffer.from([0, 0, 0]));
    assert.deepEqual(agentScrambleOctets('\u20ac', 'k'), Buffer.from('k'));
  });
});

describe('unscrambling nonce2', () => {
  const page = makePage();
  const unscramble = page.context.CorvaneConnector.unscramble;

  it('recovers the real client script exactly', () => {
    const nonce = agentNonce(new Date(), 7);
    const nonce2 = agentScramble(resourceText, nonce);
    assert.equal(Buffer.from(nonce2, 'base64').length, resourceText.length, 'one octet per character');
    assert.equal(unscramble(nonce2, nonce), resourceText);
  });

  it('recovers every character up to U+00FF, and those equal to the nonce character', () => {
    const nonce = agentNonce(new Date(), 3);
    let script = '';
    for (let c = 0; c <= 0xFF; c++) script += String.fromCharCode(c);
    // A stretch where each character equals the nonce character at its position.
    for (let i = script.length; i < 600; i++) script += nonce[i % nonce.length];
    const octets = agentScrambleOctets(script, nonce);
    assert.ok(octets.includes(0xEF));
    assert.ok(octets.subarray(octets.length - 300).every((b) => b === 0));
    assert.equal(unscramble(octets.toString('base64'), nonce), script);
  });

  it('turns a character above U+00FF into U+0000 (it was scrambled as 0)', () => {
    const nonce = agentNonce(new Date(), 2);
    assert.equal(unscramble(agentScramble('a\u20acb', nonce), nonce), 'a\u0000b');
  });

  it('two nonces give two different nonce2 texts for the same script', () => {
    const one = agentNonce(new Date(), 4);
    const two = agentNonce(new Date(), 4);
    assert.notEqual(agentScramble(resourceText, one), agentScramble(resourceText, two));
    assert.equal(unscramble(agentScramble(resourceText, two), two), resourceText);
  });
});

describe('the loader', () => {
  it('sends "initialize" over JSONP, runs the recovered script and reports ready', async () => {
    const page = makePage();
    let callbackOutcome = null;
    page.context.onReady = (error, info) => { callbackOutcome = { error, info }; };
    const ready = page.run("CorvaneConnector.load({ transport: 'jsonp' }, onReady)");

    assert.equal(page.scripts.length, 1);
    const script = page.scripts[0];
    const sent = jsonpRequest(script);
    assert.equal(sent.origin, 'https://127.0.0.1:16357');
    assert.equal(sent.pathname, '/');
    assert.match(sent.callback, /^[A-Za-z_$][\w$]*(\.[A-Za-z_$][\w$]*)+$/);
    assert.match(sent.rawParameters, /^[A-Za-z0-9%]+$/, 'Base64 percent-encoded: no raw +, / or =');
    assert.equal(sent.request.action, 'initialize');
    assert.equal(sent.request.usedUrl, PAGE_URL);
    assert.match(sent.request.transactionUUID, UUID_PATTERN);
    assert.equal(typeof page.quessel.smartCard, 'undefined');

    answerJsonp(page, script, initializeAnswer(sent.request.transactionUUID));
    const info = await ready;
    assert.equal(info.clientVersion, '34');
    assert.equal(info.transport, 'jsonp');
    assert.equal(page.quessel.clientVersion, '34');
    assert.equal(page.quessel.actions.TASK_SIGN_WITH_TCKK_CERTIFICATE, 'sign_with_TCKK_Certificate');
    assert.equal(typeof page.quessel.cades.sign, 'function');
    assert.equal(callbackOutcome.error, null);
    assert.equal(callbackOutcome.info.clientVersion, '34');
    // The tag and its global callback are gone.
    assert.equal(script.parentNode, null);
    assert.deepEqual(Object.keys(page.context.__corvaneJsonp), []);
  });

  it('sends "initialize" as a WebSocket frame once the socket is open', async () => {
    const page = makePage();
    const ready = page.run("CorvaneConnector.load({ transport: 'websocket' })");
    assert.equal(page.sockets.length, 1);
    const socket = page.sockets[0];
    assert.equal(socket.url, 'wss://127.0.0.1:16356');
    assert.equal(socket.sent.length, 0);
    socket.onopen();
    assert.equal(socket.sent.length, 1);
    const request = decodeRequest(socket.sent[0]);
    assert.equal(request.action, 'initialize');
    socket.onmessage({ data: initializeAnswer(request.transactionUUID) });
    assert.equal((await ready).transport, 'websocket');
    assert.equal(typeof page.quessel.xades.signEnveloped, 'function');
  });

  it('reports the code of a refused initialize, a broken script and an unreachable agent', async () => {
    let page = makePage();
    let ready = page.run("CorvaneConnector.load({ transport: 'jsonp' })");
    answerJsonp(page, page.scripts[0], '[{"responseCode":"12"}]');
    await assert.rejects(ready, (e) => e.responseCode === 12);

    page = makePage();
    ready = page.run("CorvaneConnector.load({ transport: 'jsonp' })");
    const uuid = jsonpRequest(page.scripts[0]).request.transactionUUID;
    answerJsonp(page, page.scripts[0], initializeAnswer(uuid, 'this is not ( a script'));
    await assert.rejects(ready, (e) => e.responseCode === 4);

    page = makePage();
    ready = page.run("CorvaneConnector.load({ transport: 'jsonp' })");
    answerJsonp(page, page.scripts[0], initializeAnswer(uuid, 'var harmless = 1;'));
    await assert.rejects(ready, (e) => e.responseCode === 4, 'a script that installs nothing');

    page = makePage();
    ready = page.run("CorvaneConnector.load({ transport: 'jsonp' })");
    page.scripts[0].onerror();
    await assert.rejects(ready, (e) => e.responseCode === 1001);
    assert.deepEqual(Object.keys(page.context.__corvaneJsonp), []);

    page = makePage();
    ready = page.run("CorvaneConnector.load({ transport: 'websocket' })");
    page.sockets[0].onclose();
    await assert.rejects(ready, (e) => e.responseCode === 1001);
  });

  it('reports ERROR_TASK_TIMEOUT when initialize is not answered, and ignores the late answer', async () => {
    const page = makePage();
    const ready = page.run("CorvaneConnector.load({ transport: 'jsonp', timeoutSeconds: 5 })");
    const script = page.scripts[0];
    page.timers.advance(4999);
    page.timers.advance(1);
    await assert.rejects(ready, (e) => e.responseCode === 61);
    // The agent's body may still run: it must find a harmless function.
    answerJsonp(page, script, initializeAnswer(jsonpRequest(script).request.transactionUUID));
    assert.equal(typeof page.quessel.smartCard, 'undefined');
    assert.deepEqual(Object.keys(page.context.__corvaneJsonp), []);
  });
});

describe('JSONP transport', () => {
  it('each request gets its own tag and callback; a bare error answer reaches its own request', async () => {
    const page = await loadedOverJsonp();
    const q = page.quessel;
    const first = [];
    const second = [];
    q.smartCard.listTerminals((code, text) => first.push({ code, text }), {});
    q.cades.sign((code, text) => second.push({ code, text }), { ...FULL_CONFIG });
    const [, a, b] = page.scripts;
    assert.notEqual(jsonpRequest(a).callback, jsonpRequest(b).callback);
    const requestB = jsonpRequest(b).request;
    assert.equal(requestB.action, 'signCAdES_BES');
    assert.equal(requestB.pincode, '0000');

    // The agent's dispatcher error envelope names no transaction.
    answerJsonp(page, a, '[{"responseCode":"12"}]');
    assert.deepEqual(first.map((r) => r.code), ['12']);
    assert.deepEqual(second, []);

    const answer = '[{"responseCode": "0","transactionUUID": "' + requestB.transactionUUID +
      '","signedMime": "MIIB","nonce": "' + agentNonce(new Date(), 6) + '","signature": "MIIB"}]';
    answerJsonp(page, b, answer);
    assert.equal(second.length, 1);
    assert.equal(second[0].code, '0');
    assert.deepEqual(JSON.parse(second[0].text), JSON.parse(answer));
    assert.equal(first.length, 1);
    assert.deepEqual(Object.keys(q.transactions), []);
  });

  it('times out after the default or the requested seconds, and reports a failed load', async () => {
    const page = await loadedOverJsonp();
    const q = page.quessel;
    const codes = [];
    q.smartCard.listTerminals((code) => codes.push(['list', code]));
    q.cades.sign((code) => codes.push(['mobile', code]), { ...FULL_CONFIG, library: 'mobile' });
    q.smartCard.listCertificates((code) => codes.push(['certs', code]), { library: 'x', slotId: '1' });
    page.scripts[3].onerror();
    assert.deepEqual(codes, [['certs', '1001']]);
    page.timers.advance(30 * 1000);
    assert.deepEqual(codes, [['certs', '1001'], ['list', '61']]);
    page.timers.advance(30 * 1000);
    assert.deepEqual(codes, [['certs', '1001'], ['list', '61'], ['mobile', '61']]);
    // A body that does not call back is not an answer.
    q.smartCard.listTerminals((code) => codes.push(['odd', code]));
    page.scripts[4].onload();
    assert.deepEqual(codes[3], ['odd', '1000']);
    assert.equal(page.timers.count(), 0);
  });
});

describe('WebSocket transport', () => {
  it('sends one frame per request and matches answers, bare error answers to the oldest request', async () => {
    const { page, socket } = await loadedOverWebSocket();
    const q = page.quessel;
    const results = [];
    q.smartCard.listTerminals((code, text) => results.push(['list', code, text]));
    q.xades.signEnveloping((code, text) => results.push(['xades', code, text]), { ...FULL_CONFIG });
    assert.equal(socket.sent.length, 3);
    const xadesRequest = lastRequest(socket);
    assert.equal(xadesRequest.action, 'signXaDES_BES_Enveloping');

    socket.onmessage({ data: '[{"responseCode":"12"}]' });
    assert.deepEqual(results, [['list', '12', '[{"responseCode":"12"}]']]);
    const answer = '[{"responseCode": "0","transactionUUID": "' + xadesRequest.transactionUUID +
      '","nonce": "' + agentNonce(new Date(), 8) + '","signature": "PD94"}]';
    socket.onmessage({ data: answer });
    assert.deepEqual(results[1], ['xades', '0', answer]);
    assert.equal(page.timers.count(), 0);
  });

  it('queues requests until the socket opens', async () => {
    const page = makePage();
    const ready = page.run("CorvaneConnector.load({ transport: 'websocket' })");
    const socket = page.sockets[0];
    socket.onopen();
    socket.onmessage({ data: initializeAnswer(decodeRequest(socket.sent[0]).transactionUUID) });
    await ready;
    socket.onclose();
    page.timers.advance(0);
    const q = page.quessel;
    const codes = [];
    q.smartCard.listTerminals((code) => codes.push(code));
    assert.equal(page.sockets.length, 2, 'a request opens a new connection at once');
    const again = page.sockets[1];
    assert.equal(again.sent.length, 0);
    again.onopen();
    assert.equal(decodeRequest(again.sent[0]).action, 'listCardTypeAndSlots');
  });

  it('a timed-out request reports 61 and its late answer is dropped, not given to the next', async () => {
    const { page, socket } = await loadedOverWebSocket();
    const q = page.quessel;
    const results = [];
    q.smartCard.listTerminals((code) => results.push(['slow', code]));
    page.timers.advance(30 * 1000);
    assert.deepEqual(results, [['slow', '61']]);
    q.smartCard.listTerminals((code) => results.push(['next', code]));
    const nextUuid = lastRequest(socket).transactionUUID;
    // The agent answers in order: first the slow one (a bare error), then the next.
    socket.onmessage({ data: '[{"responseCode":"33"}]' });
    assert.deepEqual(results, [['slow', '61']]);
    socket.onmessage({ data: '[{"responseCode":"0","transactionUUID":"' + nextUuid + '"}]' });
    assert.deepEqual(results, [['slow', '61'], ['next', '0']]);
  });

  it('a mobile signing waits 60 seconds', async () => {
    const { page } = await loadedOverWebSocket();
    const codes = [];
    page.quessel.smartCard.signPKCS1Padding1((code) => codes.push(code), { ...FULL_CONFIG, library: 'mobile', pincode: '' });
    page.timers.advance(59 * 1000);
    assert.deepEqual(codes, []);
    page.timers.advance(1000);
    assert.deepEqual(codes, ['61']);
  });

  it('a dropped connection answers pending requests with 1001 and reconnects', async () => {
    const { page, socket } = await loadedOverWebSocket();
    const codes = [];
    page.quessel.cades.signDigest((code) => codes.push(code), { ...FULL_CONFIG });
    socket.onclose();
    assert.deepEqual(codes, ['1001']);
    assert.equal(page.sockets.length, 1);
    page.timers.advance(1000);
    assert.equal(page.sockets.length, 2);
    page.sockets[1].onclose();
    page.timers.advance(1999);
    assert.equal(page.sockets.length, 2, 'the delay grows');
    page.timers.advance(1);
    assert.equal(page.sockets.length, 3);
    page.sockets[2].onopen();
    page.quessel.smartCard.listTerminals((code) => codes.push(code));
    assert.equal(page.sockets[2].sent.length, 1);
    // Answers on an old socket are not taken for the new one.
    socket.onmessage({ data: '[{"responseCode":"33"}]' });
    assert.deepEqual(codes, ['1001']);
    page.sockets[2].onmessage({ data: '[{"responseCode":"8"}]' });
    assert.deepEqual(codes, ['1001', '8']);

    page.quessel.connector.close();
    assert.equal(page.sockets[2].closeCalled, true);
    page.timers.advance(60 * 1000);
    assert.equal(page.sockets.length, 3, 'no reconnect after the page closed it');
  });

  it('an answer that is not JSON reaches its request as ERROR_UNDEFINED', async () => {
    const { page, socket } = await loadedOverWebSocket();
    const codes = [];
    page.quessel.smartCard.listTerminals((code) => codes.push(code));
    socket.onmessage({ data: 'garbage' });
    assert.deepEqual(codes, ['1000']);
  });

  it('without WebSocket support a request reports ERROR_BROWSER_NOT_SUPPORTED_PLEASE_REFRESH', async () => {
    const page = makePage({ webSocket: false });
    const ready = page.run("CorvaneConnector.load({ transport: 'websocket' })");
    page.timers.advance(0);
    await assert.rejects(ready, (e) => e.responseCode === 901);
  });
});

describe('transaction UUIDs', () => {
  it('are distinct version-4 UUIDs', () => {
    const page = makePage();
    const seen = new Set();
    for (let i = 0; i < 200; i++) {
      const uuid = page.quessel.registerCallback(() => {});
      assert.match(uuid, UUID_PATTERN);
      seen.add(uuid);
    }
    assert.equal(seen.size, 200);
    assert.equal(Object.keys(page.quessel.transactions).length, 200);
  });
});
