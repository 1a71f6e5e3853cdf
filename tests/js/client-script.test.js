'use strict';
// The client script as the agent hands it out: its tables, the request each
// operation sends, the member checks, the helpers and the answer dispatch.

const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const {
  PAGE_URL, resourceBytes, makePage, recordingConnector, decodeRequest, plain,
  timeDigits, agentNonce,
} = require('./page-harness');

function loadedPage() {
  const page = makePage();
  page.loadClientScript();
  return page;
}

// The response codes and their names, as the agent and the pages know them.
const CODE_TABLE = {
  RESPONSE_SUCCESSFUL: 0, ERROR_NO_CLIENT: 1, ERROR_CANNOT_INITIALIZE_SIGNER: 2,
  ERROR_CANNOT_START_QUESSEL_CLIENT: 4, ERROR_INVALID_CERTIFICATE: 5,
  ERROR_INVALID_CERTIFICATE_SERIAL_NUMBER: 6, ERROR_NO_SIGNING_CERTIFICATE_FOUND: 7,
  ERROR_NO_TERMINAL_FOUND: 8, ERROR_NO_TERMINAL_FOR_PROVIDED_SLOT_ID_AND_CARD_TYPE: 9,
  ERROR_SIGNER_IS_NOT_INITIALIZED: 10, ERROR_SMART_CARD_EXCEPTION: 11,
  ERROR_UNDEFINED_SIGNER_EXCEPTION: 12, ERROR_CANNOT_LOAD_POLICY_FILE: 13,
  ERROR_INVALID_CMS_CONTENT_TO_SIGN: 14, ERROR_CANNOT_SET_SIGNING_TIME: 15,
  ERROR_CANNOT_LOGIN_TO_THE_SIGNER: 16, ERROR_CANNOT_SIGN_CMS_DOCUMENT: 17,
  ERROR_CANNOT_LOGOUT_SIGNER: 18, ERROR_CANNOT_VALIDATE_CERTIFICATE: 19,
  ERROR_CERTIFICATE_REVOCATION_CHECK_FAILURE: 21, ERROR_CERTIFICATE_SELF_CHECK_FAILURE: 22,
  ERROR_CERTIFICATE_NO_TRUSTED_CERT_FOUND: 23, ERROR_CERTIFICATE_PATH_VALIDATION_FAILURE: 24,
  ERROR_CERTIFICATE_NOT_CHECKED: 25, ERROR_INVALID_PIN: 27, ERROR_NO_DRIVER_FOUND: 28,
  ERROR_NO_EXTENSION: 29, ERROR_INVALID_SLOT_ID: 30, ERROR_QUESSEL_CANNOT_LOAD_PKCS11_DRIVER: 31,
  ERROR_CANNOT_OPEN_CERTIFICATE_STORAGE: 32, ERROR_CANNOT_RETRIEVE_LIST_OF_CERTIFICATES: 33,
  ERROR_CANNOT_PARSE_CERTIFICATE_INFORMATION: 34, ERROR_CANNOT_CLOSE_CERTIFICATE_STORAGE: 35,
  ERROR_CANNOT_LOAD_DRIVER: 37, ERROR_PIN_LOCKED: 38, ERROR_PIN_EXPIRED: 39,
  ERROR_CANNOT_LOGIN_TO_SMARTCARD: 40, ERROR_INVALID_DIGEST: 41, ERROR_NO_PUBLIC_KEY_FOUND: 42,
  ERROR_UNDEFINED_ACTION: 43, ERROR_NO_PRIVATE_KEY_FOUND_CORRESPONDING_TO_PUBLIC_KEY: 44,
  ERROR_INVALID_XML_FORMAT: 51, ERROR_INVALID_XML_SIGNATURE_TARGET: 52,
  ERROR_INVALID_SIGNATURE_STRUCTURE: 53, ERROR_TASK_TIMEOUT: 61, ERROR_INVALID_NONCE: 62,
  ERROR_NOT_BROWSER_CHROME: 900, ERROR_BROWSER_NOT_SUPPORTED_PLEASE_REFRESH: 901,
  ERROR_UNDEFINED: 1000, ERROR_DISCONNECT: 1001,
};

const CARD_SIGNING = ['library', 'slotId', 'certSerialNumber', 'pincode', 'dataBase64'];

// [operation, action sent, required members in checking order, mobile-aware]
const OPERATIONS = [
  ['smartCard.listTerminals', 'listCardTypeAndSlots', [], false],
  ['smartCard.listCertificates', 'listSignerCertificatesAsJSON', [], false],
  ['smartCard.signPKCS1Padding1', 'signPKCS1Padding1.5', CARD_SIGNING, true],
  ['tckk.listReaders', 'listTCKKReaders', [], false],
  ['tckk.retrieveCertificate', 'retrieveTCKKCertificate', ['slotId'], false],
  ['tckk.signRSA_PSS', 'sign_with_TCKK_Certificate', ['slotId', 'pincode', 'dataBase64'], false],
  ['cades.sign', 'signCAdES_BES', CARD_SIGNING, true],
  ['cades.signDigest', 'signCAdES_BES_Digest', CARD_SIGNING, true],
  ['xades.signEnveloping', 'signXaDES_BES_Enveloping', CARD_SIGNING, false],
  ['xades.signEnveloped', 'signXaDES_BES_Enveloped', CARD_SIGNING, false],
];

const MISSING_TEXTS = {
  library: 'no library is provided',
  slotId: 'no slotId is provided',
  certSerialNumber: 'no certSerialNumber is provided',
  pincode: 'no pinCode is provided',
  dataBase64: 'no dataBase64 is provided',
};

const FULL_CONFIG = {
  library: 'akisp11', slotId: '1', certSerialNumber: '123456789', pincode: '0000',
  dataBase64: 'SGVsbG8=', isAttached: true,
};

function operation(page, dotted) {
  const [group, name] = dotted.split('.');
  return page.quessel[group][name];
}

function transactionCount(page) {
  return Object.keys(page.quessel.transactions).length;
}

const UUID_PATTERN = /^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$/;

describe('the resource text', () => {
  it('is pure ASCII without carriage returns, so one character scrambles to one octet', () => {
    assert.ok(resourceBytes.length > 1000);
    for (let i = 0; i < resourceBytes.length; i++) {
      const b = resourceBytes[i];
      assert.ok(b === 0x0A || b === 0x09 || (b >= 0x20 && b <= 0x7E), `byte ${b} at offset ${i}`);
    }
  });

  it('adds nothing to the page globals but what the page already has', () => {
    const page = makePage();
    const before = Object.keys(page.context).sort();
    page.loadClientScript();
    assert.deepEqual(Object.keys(page.context).sort(), before);
    assert.equal(page.run("'abcdef'.ra(2, 'X')"), 'abXdef');
    assert.equal(page.run("Object.keys(String.prototype).indexOf('ra')"), -1);
  });
});

describe('tables', () => {
  const page = loadedPage();

  it('actions map every task constant to the name the agent routes', () => {
    assert.deepEqual(plain(page.quessel.actions), {
      TASK_INITIALIZE: 'initialize',
      TASK_LIST_SMART_CARDS: 'listCardTypeAndSlots',
      TASK_LIST_CERTIFICATES: 'listSignerCertificatesAsJSON',
      TASK_SIGN_PKCS1: 'signPKCS1Padding1.5',
      TASK_SIGN_CADES_BES: 'signCAdES_BES',
      TASK_SIGN_CADES_BES_DIGEST: 'signCAdES_BES_Digest',
      TASK_SIGN_XADES_BES_ENVELOPING: 'signXaDES_BES_Enveloping',
      TASK_SIGN_XADES_BES_ENVELOPED: 'signXaDES_BES_Enveloped',
      TASK_LIST_TCKK_READERS: 'listTCKKReaders',
      TASK_RETRIEVE_TCKK_CERTIFICATE: 'retrieveTCKKCertificate',
      TASK_SIGN_WITH_TCKK_CERTIFICATE: 'sign_with_TCKK_Certificate',
    });
  });

  it('codes hold every code name with its number', () => {
    assert.deepEqual(plain(page.quessel.codes), CODE_TABLE);
  });

  it('criticalErrorCodes are listed in their order', () => {
    assert.deepEqual(Array.from(page.quessel.criticalErrorCodes),
      [1, 2, 4, 5, 6, 7, 9, 10, 11, 12, 13, 27, 900, 1001, 1000]);
  });

  it('lives on the prototype, shared by every instance', () => {
    const other = page.run('new Quessel()');
    assert.equal(other.cades, page.quessel.cades);
    assert.equal(Object.prototype.hasOwnProperty.call(page.quessel, 'smartCard'), false);
  });
});

describe('requests', () => {
  for (const [name, action, required, mobileAware] of OPERATIONS) {
    it(`${name} sends "${action}" with the common members and changes the caller's config`, () => {
      const page = loadedPage();
      const sent = recordingConnector(page);
      const callback = () => {};
      const config = { ...FULL_CONFIG, extra: 'kept' };
      // Called detached from its group: it must reach the page's instance by itself.
      const fn = operation(page, name);
      assert.equal(fn(callback, config), undefined);

      assert.equal(sent.length, 1);
      assert.equal(sent[0].length, 1, 'no time-out argument for an ordinary request');
      const request = decodeRequest(sent[0][0]);
      assert.equal(request.action, action);
      assert.equal(request.usedUrl, PAGE_URL);
      assert.match(request.transactionUUID, UUID_PATTERN);
      assert.equal(page.quessel.transactions[request.transactionUUID], callback);
      assert.equal(request.nonce.length, 141);
      assert.equal(page.quessel.isnonce(request.nonce), true);
      assert.equal(request.extra, 'kept');
      for (const member of Object.keys(FULL_CONFIG)) {
        assert.deepEqual(request[member], FULL_CONFIG[member]);
      }
      // The caller's own object now carries what was sent.
      assert.equal(config.action, action);
      assert.equal(config.usedUrl, PAGE_URL);
      assert.equal(config.transactionUUID, request.transactionUUID);
      assert.equal(config.nonce, request.nonce);
    });

    if (required.length === 0) {
      it(`${name} needs no member and accepts no config at all`, () => {
        const page = loadedPage();
        const sent = recordingConnector(page);
        operation(page, name)(() => {});
        assert.equal(decodeRequest(sent[0][0]).action, action);
      });
      continue;
    }

    it(`${name} checks ${required.join(', ')} in that order, before anything is sent`, () => {
      const page = loadedPage();
      const sent = recordingConnector(page);
      for (let k = 0; k < required.length; k++) {
        for (const falsy of [undefined, '', 0, false, null]) {
          const config = {};
          for (let j = 0; j < k; j++) config[required[j]] = FULL_CONFIG[required[j]];
          if (falsy !== undefined) config[required[k]] = falsy;
          const registered = transactionCount(page);
          assert.throws(() => operation(page, name)(() => {}, config),
            (thrown) => thrown === MISSING_TEXTS[required[k]],
            `${required[k]} = ${String(falsy)}`);
          // The callback was registered before the check failed.
          assert.equal(transactionCount(page), registered + 1);
          assert.equal(config.action, undefined);
        }
      }
      // Everything missing: the first member of the list is named.
      assert.throws(() => operation(page, name)(() => {}, {}), (t) => t === MISSING_TEXTS[required[0]]);
      assert.equal(sent.length, 0);
    });

    if (mobileAware) {
      it(`${name} with the library "mobile" needs no PIN and waits 60 seconds`, () => {
        const page = loadedPage();
        const sent = recordingConnector(page);
        const config = { ...FULL_CONFIG, library: 'mobile' };
        delete config.pincode;

        page.quessel.inDebugMode = 'true'; // only the value true itself switches logging on
        operation(page, name)(() => {}, config);
        assert.equal(sent.length, 1);
        assert.equal(sent[0].length, 2);
        assert.equal(sent[0][1], 60);
        assert.equal(decodeRequest(sent[0][0]).library, 'mobile');
        assert.deepEqual(page.logs, []);

        page.quessel.inDebugMode = true;
        operation(page, name)(() => {}, { ...config });
        assert.ok(page.logs.includes('Extended signing duration for mobile certificate'));
        assert.equal(sent[1][1], 60);

        // Any other library still needs its PIN.
        const withoutPin = { ...FULL_CONFIG, library: 'Mobile' };
        delete withoutPin.pincode;
        assert.throws(() => operation(page, name)(() => {}, withoutPin), (t) => t === 'no pinCode is provided');
      });
    } else if (required.includes('pincode') && required.includes('library')) {
      it(`${name} with the library "mobile" still needs the PIN and the default time-out`, () => {
        const page = loadedPage();
        const sent = recordingConnector(page);
        const config = { ...FULL_CONFIG, library: 'mobile' };
        delete config.pincode;
        assert.throws(() => operation(page, name)(() => {}, config), (t) => t === 'no pinCode is provided');
        operation(page, name)(() => {}, { ...FULL_CONFIG, library: 'mobile' });
        assert.equal(sent.length, 1);
        assert.equal(sent[0].length, 1);
      });
    }
  }

  it('cades.counterSign does nothing', () => {
    const page = loadedPage();
    const sent = recordingConnector(page);
    assert.equal(page.quessel.cades.counterSign(() => {}, { ...FULL_CONFIG }), undefined);
    assert.equal(sent.length, 0);
    assert.equal(transactionCount(page), 0);
  });

  it('text members survive the trip as UTF-8', () => {
    const page = loadedPage();
    const sent = recordingConnector(page);
    page.quessel.xades.signEnveloped(() => {}, {
      ...FULL_CONFIG, signerClaimedRole: '\u00c7al\u0131\u015fan \u20ac \ud83d\ude00',
    });
    assert.equal(decodeRequest(sent[0][0]).signerClaimedRole, '\u00c7al\u0131\u015fan \u20ac \ud83d\ude00');
  });
});

describe('cypher', () => {
  const page = loadedPage();

  it('XORs each code unit with the key unit at i mod the key length, then Base64 of UTF-8', () => {
    const text = 'Corvane \u00e9\u0100 signing';
    const key = 'k3Y';
    const out = page.quessel.cypher(text, key);
    let expected = '';
    for (let i = 0; i < text.length; i++) {
      expected += String.fromCharCode(text.charCodeAt(i) ^ key.charCodeAt(i % key.length));
    }
    assert.equal(out, Buffer.from(expected, 'utf8').toString('base64'));
    // Its own inverse on the XOR level.
    const back = Buffer.from(out, 'base64').toString('utf8');
    assert.equal(Buffer.from(page.quessel.cypher(back, key), 'base64').toString('utf8'), text);
  });
});

describe('nonce and isnonce', () => {
  const page = loadedPage();
  const q = page.quessel;

  it('hides the 14 time digits of the given date as 9 - d at (x + 1) * s', () => {
    const date = new Date(2026, 11, 7, 22, 9, 39);
    const steps = new Set();
    for (let round = 0; round < 60; round++) {
      for (const [offset, digits] of [[0, '20261207220939'], [5, '20261207220944'], [-40, '20261207220899']]) {
        const n = q.nonce(date, offset);
        assert.equal(n.length, 141);
        assert.match(n, /^[2-8][0-9a-z]{140}$/);
        const s = Number(n[0]);
        steps.add(s);
        for (let x = 0; x < 14; x++) {
          assert.equal(n[(x + 1) * s], String(9 - Number(digits[x])), `step ${s}, digit ${x}`);
        }
      }
    }
    assert.ok(steps.size > 3, 'the step varies');
    const n = q.nonce(date);
    let hidden = '';
    for (let x = 0; x < 14; x++) hidden += n[(x + 1) * Number(n[0])];
    assert.equal(hidden, '79738792779060');
  });

  it('accepts a fresh nonce and one up to nine time numbers old, rejects stale ones', () => {
    assert.equal(q.isnonce(q.nonce()), true);
    assert.equal(q.isnonce(q.nonce(undefined, -5)), true);
    assert.equal(q.isnonce(q.nonce(undefined, -20)), false);
    assert.equal(q.isnonce(q.nonce(new Date(Date.now() - 3600 * 1000))), false);
    assert.equal(q.isnonce(q.nonce(undefined, +30)), false);
  });

  it("accepts the agent's nonce (steps 2 to 9) and rejects an old one", () => {
    for (const step of [2, 5, 9]) {
      assert.equal(q.isnonce(agentNonce(new Date(), step)), true, `step ${step}`);
    }
    assert.equal(q.isnonce(agentNonce(new Date(Date.now() - 60 * 1000), 4)), false);
  });

  it('answers false for texts that are not nonces, without reading past their end', () => {
    const fresh = agentNonce(new Date(), 9);
    for (const bad of ['', 'x', '9', '0' + fresh.substring(1), 'a' + fresh.substring(1),
      fresh.substring(0, 126), null, undefined, 12345]) {
      assert.equal(q.isnonce(bad), false, String(bad));
    }
    assert.equal(timeDigits(new Date(2026, 0, 2, 3, 4, 5)), '20260102030405');
  });
});

describe('answer dispatch', () => {
  function answerText(uuid, extra = '') {
    return '[{"responseCode": "0","transactionUUID": "' + uuid + '","nonce": "' +
      agentNonce(new Date(), 3) + '","signature": "AAEC"' + extra + '}]';
  }

  it('hands the answer to the registered callback with quessel as this, then forgets it', () => {
    const page = loadedPage();
    const calls = [];
    const uuid = page.quessel.registerCallback(function (code, text) {
      calls.push({ self: this, code, text });
    });
    const text = answerText(uuid);
    page.quessel.processResponse(text);
    assert.equal(calls.length, 1);
    assert.equal(calls[0].self, page.quessel);
    assert.equal(calls[0].code, '0');
    assert.equal(calls[0].text, text);
    assert.equal(uuid in page.quessel.transactions, false);
    assert.equal(page.quessel.lastTransaction, undefined);
    // A repeated answer finds nobody.
    page.quessel.processResponse(text);
    assert.equal(calls.length, 1);
  });

  it('logs the text and the nonce check in debug mode only', () => {
    const page = loadedPage();
    const uuid = page.quessel.registerCallback(() => {});
    page.quessel.processResponse(answerText(uuid));
    assert.deepEqual(page.logs, []);

    page.quessel.inDebugMode = true;
    const fresh = answerText(page.quessel.registerCallback(() => {}));
    page.quessel.processResponse(fresh);
    assert.ok(page.logs.includes('response text: ' + fresh));
    assert.ok(page.logs.includes('nonce valid true'));

    // A stale nonce is noted and the answer delivered all the same.
    let delivered = false;
    const staleUuid = page.quessel.registerCallback(() => { delivered = true; });
    page.quessel.processResponseObject([{ responseCode: '0', transactionUUID: staleUuid,
      nonce: agentNonce(new Date(Date.now() - 3600 * 1000), 3) }]);
    assert.ok(page.logs.includes('nonce valid false'));
    assert.equal(delivered, true);
  });

  it('an evaluated answer gets its JSON text when none is given', () => {
    const page = loadedPage();
    let received = null;
    const uuid = page.quessel.registerCallback((code, text) => { received = text; });
    const answer = [{ responseCode: '0', transactionUUID: uuid, nonce: 'n', terminal: 'VA==' }];
    page.quessel.processResponseObject(page.run('(' + JSON.stringify(answer) + ')'));
    assert.equal(received, JSON.stringify(answer));
  });

  it('a missing or empty responseCode becomes ERROR_NO_CLIENT (1); "0" stays', () => {
    const page = loadedPage();
    const codes = [];
    const cb = (code) => codes.push(code);
    page.quessel.processResponseObject([{ transactionUUID: page.quessel.registerCallback(cb) }]);
    page.quessel.processResponseObject([{ responseCode: '', transactionUUID: page.quessel.registerCallback(cb) }]);
    page.quessel.processResponseObject([{ responseCode: null, transactionUUID: page.quessel.registerCallback(cb) }]);
    page.quessel.processResponseObject([{ responseCode: '0', transactionUUID: page.quessel.registerCallback(cb) }]);
    page.quessel.processResponseObject([{ responseCode: '27', transactionUUID: page.quessel.registerCallback(cb) }]);
    assert.deepEqual(codes, [1, 1, 1, '0', '27']);
  });

  it('an unknown transaction goes to lastTransaction, which is then forgotten', () => {
    const page = loadedPage();
    page.quessel.inDebugMode = true;
    const first = [];
    const last = [];
    const firstUuid = page.quessel.registerCallback((code) => first.push(code));
    page.quessel.registerCallback(function (code, text) { last.push({ self: this, code, text }); });
    page.quessel.processResponse('[{"responseCode":"12"}]');
    assert.equal(last.length, 1);
    assert.equal(last[0].self, page.quessel);
    assert.equal(last[0].code, '12');
    assert.equal(last[0].text, '[{"responseCode":"12"}]');
    assert.equal(page.quessel.lastTransaction, undefined);
    assert.ok(page.logs.includes('Warning - No callback for the transaction UUID undefined'));
    page.quessel.processResponseObject([{ responseCode: '0', transactionUUID: 'not-ours' }]);
    assert.ok(page.logs.includes('Warning - No callback for the transaction UUID not-ours'));
    assert.equal(last.length, 1, 'nobody left to call, and nothing thrown');
    assert.ok(firstUuid in page.quessel.transactions);
    assert.deepEqual(first, []);
  });

  it('an unparsable text or an empty answer still reaches the waiting page with code 1', () => {
    const page = loadedPage();
    const codes = [];
    page.quessel.registerCallback((code) => codes.push(code));
    page.quessel.processResponse('callback(');
    page.quessel.registerCallback((code) => codes.push(code));
    page.quessel.processResponseObject([]);
    assert.deepEqual(codes, [1, 1]);
  });

  it('a request made inside a callback keeps its own entry and fallback', () => {
    const page = loadedPage();
    const sent = recordingConnector(page);
    const q = page.quessel;
    let second = null;
    const secondCallback = () => {};
    const uuid = q.registerCallback(() => {
      q.smartCard.listCertificates(secondCallback, { library: 'akisp11', slotId: '1' });
      second = decodeRequest(sent[0][0]).transactionUUID;
    });
    q.processResponseObject([{ responseCode: '0', transactionUUID: uuid }]);
    assert.equal(q.transactions[second], secondCallback);
    assert.equal(q.lastTransaction, secondCallback);
  });

  it('a callback that throws leaves no stale entry behind', () => {
    const page = loadedPage();
    const uuid = page.quessel.registerCallback(() => { throw new Error('page bug'); });
    assert.throws(() => page.quessel.processResponseObject([{ responseCode: '0', transactionUUID: uuid }]), /page bug/);
    assert.equal(uuid in page.quessel.transactions, false);
  });
});
