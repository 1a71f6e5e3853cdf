/*
 * Corvane example page: pick a transport, list the cards and the certificates
 * of a card, sign with a certificate.
 *
 * For automated runs the page offers window.corvaneExample.runAll(options),
 * and starts it by itself when its address carries, in the fragment (which a
 * browser never sends to any server):
 *   example.html#autorun=1&transport=websocket&pin=1234&reportUrl=http://127.0.0.1:8000/report
 * The PIN is removed from the address bar as soon as it has been read.
 */
(function () {
    "use strict";

    var SAMPLE_TEXT = "Corvane example text \u00e7\u011f\u0131\u00f6\u015f\u00fc \u20ac";
    var SAMPLE_XML = '<?xml version="1.0" encoding="UTF-8"?>\n' +
        '<document><title>Corvane example</title><amount currency="TRY">100.00</amount></document>';
    var SAMPLE_SIGNATURE_NODE = "/document";
    var AKIS_LIBRARY = "akisp11";
    // A refused PIN does not always come back as 27/38/39: the WebSocket
    // endpoint answers a card-layer failure as 12, and the identity card
    // reports -1. So any failed signing stops the run: every further attempt
    // could spend another PIN try and block the card.

    function $(id) {
        return document.getElementById(id);
    }

    function log(text, isError) {
        var line = document.createElement("div");
        line.textContent = new Date().toISOString().substring(11, 19) + "  " + text;
        if (isError) {
            line.className = "error";
        }
        $("log").appendChild(line);
    }

    function decoded(value) {
        if (typeof value !== "string" || value === "") {
            return "";
        }
        try {
            return Base64.decode(value);
        } catch (e) {
            return "";
        }
    }

    function parseAnswer(text) {
        try {
            var value = JSON.parse(text);
            return Array.isArray(value) ? value : [];
        } catch (e) {
            return [];
        }
    }

    // ---- response codes --------------------------------------------------------------

    // What a code means to the person at the page, by its name in the client
    // script's code table. Codes without a text here read as their name.
    var MEANINGS = {
        RESPONSE_SUCCESSFUL: "done",
        ERROR_NO_CLIENT: "the answer carries no response code",
        ERROR_CANNOT_START_QUESSEL_CLIENT: "the agent's client script could not be started",
        ERROR_NO_TERMINAL_FOUND: "no card reader or no card found",
        ERROR_UNDEFINED_SIGNER_EXCEPTION: "the agent could not carry out the request",
        ERROR_CANNOT_LOGIN_TO_THE_SIGNER: "the card refused the PIN verification",
        ERROR_CERTIFICATE_NO_TRUSTED_CERT_FOUND: "no certificate on the card, or the chosen certificate has expired",
        ERROR_INVALID_PIN: "wrong PIN",
        ERROR_INVALID_SLOT_ID: "invalid slot",
        ERROR_CANNOT_RETRIEVE_LIST_OF_CERTIFICATES: "the token's certificates could not be read",
        ERROR_PIN_LOCKED: "the PIN is blocked",
        ERROR_PIN_EXPIRED: "the PIN has expired",
        ERROR_INVALID_DIGEST: "the digest is not 32 bytes long",
        ERROR_INVALID_XML_FORMAT: "the XML document cannot be read",
        ERROR_INVALID_XML_SIGNATURE_TARGET: "the XML signature could not be made",
        ERROR_INVALID_SIGNATURE_STRUCTURE: "the XML signature could not be made",
        ERROR_TASK_TIMEOUT: "the agent did not answer in time",
        ERROR_BROWSER_NOT_SUPPORTED_PLEASE_REFRESH: "this browser has no WebSocket",
        ERROR_UNDEFINED: "the agent's answer cannot be understood",
        ERROR_DISCONNECT: "no answer from the agent: not running, or its certificate not trusted"
    };

    // The code's name: from the client script's table once it is loaded, and
    // for the connector's own codes (1001 when the agent is not reached) from
    // the connector, which uses the same names.
    function codeName(code) {
        var tables = [window.quessel && quessel.codes, window.CorvaneConnector && CorvaneConnector.codes];
        for (var t = 0; t < tables.length; t++) {
            var table = tables[t];
            for (var name in table) {
                if (Object.prototype.hasOwnProperty.call(table, name) && String(table[name]) === String(code)) {
                    return name;
                }
            }
        }
        return null;
    }

    function codeMeaning(code) {
        if (code === null || code === undefined || code === "") {
            return "";
        }
        var name = codeName(code);
        if (name === null) {
            return "a code of the card or token, not in the client script's code table";
        }
        return MEANINGS[name] || name.replace(/^ERROR_/, "").replace(/_/g, " ").toLowerCase();
    }

    function codeText(code) {
        var meaning = codeMeaning(code);
        return "code " + code + (meaning ? ": " + meaning : "");
    }

    // A failed "initialize": the code, and what the connector adds to it.
    function initializeFailureText(error) {
        var text = "initialize failed, " + codeText(error.responseCode);
        var message = error && error.message ? String(error.message) : "";
        if (message !== "" && message !== "initialize answered " + error.responseCode) {
            text += " (" + message + ")";
        }
        return text;
    }

    // ---- certificates ----------------------------------------------------------------

    // The key of a certificate, read from its DER (hexadecimal) as the agent
    // names key types: "RSA 2048", "ECC P-256"; empty when it cannot be read.
    var CURVES = { "2a8648ce3d030107": "P-256", "2b81040022": "P-384", "2b81040023": "P-521" };

    function keyTypeOf(certificateHex) {
        var hex = String(certificateHex || "").toLowerCase();
        if (!/^([0-9a-f]{2})+$/.test(hex)) {
            return "";
        }
        function octet(at) {
            if (at * 2 + 2 > hex.length) {
                throw new Error("truncated");
            }
            return parseInt(hex.substr(at * 2, 2), 16);
        }
        // One DER element at `at`: its tag and where its value starts and ends.
        function element(at) {
            var tag = octet(at);
            var length = octet(at + 1);
            var start = at + 2;
            if (length & 0x80) {
                var count = length & 0x7F;
                if (count < 1 || count > 3) {
                    throw new Error("length");
                }
                length = 0;
                for (var i = 0; i < count; i++) {
                    length = length * 256 + octet(start + i);
                }
                start += count;
            }
            if ((start + length) * 2 > hex.length) {
                throw new Error("truncated");
            }
            return { tag: tag, start: start, end: start + length };
        }
        function valueHex(e) {
            return hex.substring(e.start * 2, e.end * 2);
        }
        try {
            var tbs = element(element(0).start);
            var at = tbs.start;
            if (element(at).tag === 0xA0) {
                at = element(at).end; // version
            }
            // serialNumber, signature, issuer, validity, subject
            for (var skip = 0; skip < 5; skip++) {
                at = element(at).end;
            }
            var keyInfo = element(at);
            var algorithm = element(keyInfo.start);
            var oid = element(algorithm.start);
            if (valueHex(oid) === "2a864886f70d010101") {
                // BIT STRING (no unused bits) holding SEQUENCE { modulus, exponent }
                var bits = element(algorithm.end);
                var modulus = element(element(bits.start + 1).start);
                if (modulus.end <= modulus.start) {
                    return "";
                }
                var first = modulus.start;
                while (first < modulus.end - 1 && octet(first) === 0) {
                    first++;
                }
                var size = (modulus.end - first - 1) * 8;
                for (var top = octet(first); top > 0; top >>= 1) {
                    size++;
                }
                return "RSA " + size;
            }
            if (valueHex(oid) === "2a8648ce3d0201") {
                var curve = oid.end < algorithm.end ? CURVES[valueHex(element(oid.end))] : undefined;
                return curve ? "ECC " + curve : "ECC";
            }
            return "other";
        } catch (e) {
            return "";
        }
    }

    // "dd/MM/yyyy HH:mm:ss", local time, as the agent reads "signingTime".
    function signingTimeText(d) {
        function two(n) {
            return (n < 10 ? "0" : "") + n;
        }
        return two(d.getDate()) + "/" + two(d.getMonth() + 1) + "/" + d.getFullYear() + " " +
            two(d.getHours()) + ":" + two(d.getMinutes()) + ":" + two(d.getSeconds());
    }

    // One operation of the client script as a promise of
    // { responseCode, items, text } or { thrown } for a refused request.
    function call(operation, config) {
        return new Promise(function (resolve) {
            try {
                operation(function (responseCode, text) {
                    resolve({ responseCode: String(responseCode), items: parseAnswer(text), text: text });
                }, config);
            } catch (e) {
                resolve({ responseCode: null, thrown: String(e), items: [] });
            }
        });
    }

    // ---- operations ------------------------------------------------------------------

    // extra: jsonpUrl, webSocketUrl, timeoutSeconds (the connector's defaults otherwise).
    function connect(transport, debug, extra) {
        var options = { transport: transport, debug: debug === true };
        ["jsonpUrl", "webSocketUrl", "timeoutSeconds"].forEach(function (name) {
            if (extra && extra[name]) {
                options[name] = extra[name];
            }
        });
        return CorvaneConnector.load(options);
    }

    async function listCards() {
        var result = await call(quessel.smartCard.listTerminals, {});
        var cards = [];
        if (result.responseCode === "0") {
            result.items.forEach(function (item) {
                if (item.responseCode === "0") {
                    cards.push({
                        terminal: decoded(item.terminal).replace(/\s+$/, ""),
                        slotId: decoded(item.slotId),
                        library: decoded(item.library),
                        cardType: decoded(item.cardType).replace(/\s+$/, "")
                    });
                }
            });
        }
        return { responseCode: result.responseCode, meaning: codeMeaning(result.responseCode), thrown: result.thrown, cards: cards };
    }

    async function listCertificates(card) {
        var result = await call(quessel.smartCard.listCertificates, { library: card.library, slotId: card.slotId });
        var certificates = [];
        if (result.responseCode === "0") {
            result.items.forEach(function (item) {
                if (item.responseCode === "0") {
                    certificates.push({
                        serialNumber: decoded(item.serialNumber),
                        subjectCommonName: decoded(item.subjectCommonName),
                        subjectSerialNumber: decoded(item.subjectSerialNumber),
                        issuerCommonName: decoded(item.issuerCommonName),
                        notAfter: decoded(item.notAfter),
                        isExpired: decoded(item.isExpired),
                        certificateHex: item.certificateHex || "",
                        keyType: keyTypeOf(item.certificateHex)
                    });
                }
            });
        }
        return { responseCode: result.responseCode, meaning: codeMeaning(result.responseCode), thrown: result.thrown, certificates: certificates };
    }

    function signingConfig(card, certificate, pin, dataBase64) {
        return {
            library: card.library,
            slotId: card.slotId,
            certSerialNumber: certificate.serialNumber,
            pincode: pin,
            dataBase64: dataBase64,
            addSigningTime: true,
            signingTime: signingTimeText(new Date()),
            addSignaturePolicy: false
        };
    }

    function signatureResult(result) {
        var first = result.items[0] || {};
        var out = {
            responseCode: result.responseCode,
            meaning: codeMeaning(result.responseCode),
            signature: typeof first.signature === "string" ? first.signature : ""
        };
        if (result.thrown) {
            out.thrown = result.thrown;
        }
        if (first.signedMime !== undefined) {
            out.signedMimeMatchesSignature = first.signedMime === first.signature;
        }
        return out;
    }

    async function signCades(card, certificate, pin, text) {
        var config = signingConfig(card, certificate, pin, Base64.encode(text));
        config.isAttached = true;
        return signatureResult(await call(quessel.cades.sign, config));
    }

    async function signXadesEnveloping(card, certificate, pin, text) {
        var config = signingConfig(card, certificate, pin, Base64.encode(text));
        config.signatureNodeXPath = "";
        config.nodeToSignXPath = "";
        config.signerClaimedRole = "";
        return signatureResult(await call(quessel.xades.signEnveloping, config));
    }

    async function signXadesEnveloped(card, certificate, pin, xml, signatureNodeXPath) {
        var config = signingConfig(card, certificate, pin, Base64.encode(xml));
        config.signatureNodeXPath = signatureNodeXPath;
        config.nodeToSignXPath = "";
        config.signerClaimedRole = "";
        config.counterSign = false;
        return signatureResult(await call(quessel.xades.signEnveloped, config));
    }

    // ---- automated run ---------------------------------------------------------------

    function setRunState(state) {
        $("run-state").textContent = state;
    }

    async function report(results, options) {
        if (!options.reportUrl) {
            return;
        }
        var body = JSON.stringify(results);
        // Simple requests without preflight: the report server may sit on another port.
        if (String(options.reportMethod || "POST").toUpperCase() === "GET") {
            var separator = options.reportUrl.indexOf("?") >= 0 ? "&" : "?";
            await fetch(options.reportUrl + separator + "results=" + encodeURIComponent(body), { mode: "no-cors" });
        } else {
            await fetch(options.reportUrl, {
                method: "POST",
                mode: "no-cors",
                headers: { "Content-Type": "text/plain;charset=UTF-8" },
                body: body
            });
        }
    }

    // options: transport ("jsonp" | "websocket"), pin, reportUrl, reportMethod
    // ("POST" | "GET"), library (default "akisp11"), text, xml, signatureNodeXPath,
    // debug, jsonpUrl, webSocketUrl, timeoutSeconds. Resolves with the results
    // object (never with the PIN in it).
    async function runAll(options) {
        options = options || {};
        var transport = options.transport || "jsonp";
        var library = options.library || AKIS_LIBRARY;
        var text = options.text || SAMPLE_TEXT;
        var xml = options.xml || SAMPLE_XML;
        var signatureNode = options.signatureNodeXPath || SAMPLE_SIGNATURE_NODE;
        var pin = options.pin === undefined ? "" : String(options.pin);
        var results = {
            ok: false,
            transport: transport,
            library: library,
            clientVersion: null,
            steps: {},
            inputs: { cadesTextBase64: Base64.encode(text), xadesEnvelopingTextBase64: Base64.encode(text), xadesEnvelopedXmlBase64: Base64.encode(xml) },
            error: null
        };
        setRunState("running");
        $("transport").value = transport;
        try {
            try {
                var info = await connect(transport, options.debug === true, options);
                results.clientVersion = info.clientVersion;
                results.steps.initialize = { responseCode: "0", meaning: codeMeaning("0") };
                $("connection-status").textContent = connectedText(info);
            } catch (e) {
                results.steps.initialize = { responseCode: String(e.responseCode), meaning: codeMeaning(e.responseCode) };
                $("connection-status").textContent = notConnectedText(e);
                throw new Error(initializeFailureText(e));
            }
            updateButtons();

            var cards = await listCards();
            results.steps.listTerminals = cards;
            showCards(cards.cards);
            var card = cards.cards.filter(function (c) {
                return c.library === library;
            })[0];
            if (!card) {
                throw new Error("no card with the library " + library + " (listTerminals answered " + codeText(cards.responseCode) + ")");
            }
            results.card = card;

            var certificates = await listCertificates(card);
            results.steps.listCertificates = certificates;
            showCertificates(certificates.certificates);
            var certificate = certificates.certificates[0];
            if (!certificate) {
                throw new Error("no certificate on " + card.terminal + " (listCertificates answered " + codeText(certificates.responseCode) + ")");
            }
            results.certificate = {
                serialNumber: certificate.serialNumber,
                certificateHex: certificate.certificateHex,
                keyType: certificate.keyType
            };

            var signings = [
                ["cadesBes", function () { return signCades(card, certificate, pin, text); }],
                ["xadesEnveloping", function () { return signXadesEnveloping(card, certificate, pin, text); }],
                ["xadesEnveloped", function () { return signXadesEnveloped(card, certificate, pin, xml, signatureNode); }]
            ];
            var signingFailed = false;
            for (var i = 0; i < signings.length; i++) {
                var name = signings[i][0];
                if (signingFailed) {
                    results.steps[name] = { responseCode: null, skipped: "an earlier signing failed" };
                    continue;
                }
                var outcome = await signings[i][1]();
                results.steps[name] = outcome;
                showResult(outcome);
                log(name + ": " + codeText(outcome.responseCode), outcome.responseCode !== "0");
                signingFailed = outcome.responseCode !== "0";
            }
            results.ok = signings.every(function (s) {
                return results.steps[s[0]].responseCode === "0" && results.steps[s[0]].signature !== "";
            });
        } catch (e) {
            results.error = String(e && e.message ? e.message : e);
            log(results.error, true);
        }

        $("run-results").value = JSON.stringify(results);
        window.corvaneExample.lastResults = results;
        try {
            await report(results, options);
        } catch (e) {
            results.reportError = String(e);
            log("the report could not be sent: " + e, true);
        }
        setRunState(results.ok ? "done" : "failed");
        return results;
    }

    // ---- page ------------------------------------------------------------------------

    var state = { cards: [], certificates: [] };

    function updateButtons() {
        var ready = !!(window.quessel && quessel.smartCard);
        $("btn-list-cards").disabled = !ready;
        $("btn-list-certificates").disabled = !ready || state.cards.length === 0;
        var canSign = ready && state.certificates.length > 0;
        $("btn-sign-cades").disabled = !canSign;
        $("btn-sign-xades-enveloping").disabled = !canSign;
        $("btn-sign-xades-enveloped").disabled = !canSign;
    }

    function fillSelect(select, labels) {
        while (select.firstChild) {
            select.removeChild(select.firstChild);
        }
        labels.forEach(function (label, index) {
            var option = document.createElement("option");
            option.value = String(index);
            option.textContent = label;
            select.appendChild(option);
        });
    }

    function showCards(cards) {
        state.cards = cards;
        state.certificates = [];
        fillSelect($("card-list"), cards.map(function (c) {
            return c.terminal + " (" + c.library + ", slot " + c.slotId + ")";
        }));
        fillSelect($("certificate-list"), []);
        updateButtons();
    }

    function showCertificates(certificates) {
        state.certificates = certificates;
        fillSelect($("certificate-list"), certificates.map(function (c) {
            return c.subjectCommonName + " - " + (c.keyType || "key type unknown") + " - serial " + c.serialNumber + " - until " + c.notAfter +
                (c.isExpired === "true" ? " (expired)" : "");
        }));
        updateButtons();
    }

    function showResult(outcome) {
        $("result-code").textContent = outcome.thrown ? "refused: " + outcome.thrown : codeText(outcome.responseCode);
        $("result-signature").value = outcome.signature || "";
    }

    function connectedText(info) {
        return "connected over " + info.transport + ", client version " + info.clientVersion;
    }

    function notConnectedText(error) {
        return "not connected, " + codeText(error.responseCode);
    }

    function chosenCard() {
        return state.cards[Number($("card-list").value)];
    }

    function chosenCertificate() {
        return state.certificates[Number($("certificate-list").value)];
    }

    function guarded(action) {
        return function () {
            action().catch(function (e) {
                log(String(e && e.message ? e.message : e), true);
            });
        };
    }

    function wirePage() {
        $("cades-text").value = SAMPLE_TEXT;
        $("xades-enveloping-text").value = SAMPLE_TEXT;
        $("xades-enveloped-xml").value = SAMPLE_XML;
        $("xades-signature-node").value = SAMPLE_SIGNATURE_NODE;

        $("btn-connect").addEventListener("click", guarded(async function () {
            $("connection-status").textContent = "connecting";
            try {
                var info = await connect($("transport").value, $("debug").checked);
                $("connection-status").textContent = connectedText(info);
            } catch (e) {
                $("connection-status").textContent = notConnectedText(e);
                throw new Error(initializeFailureText(e));
            }
            updateButtons();
        }));
        $("btn-list-cards").addEventListener("click", guarded(async function () {
            var result = await listCards();
            log("listTerminals: " + (result.thrown || codeText(result.responseCode)) + ", " + result.cards.length + " card(s)");
            showCards(result.cards);
        }));
        $("btn-list-certificates").addEventListener("click", guarded(async function () {
            var card = chosenCard();
            if (!card) {
                throw new Error("choose a card first");
            }
            var result = await listCertificates(card);
            log("listCertificates: " + (result.thrown || codeText(result.responseCode)) + ", " + result.certificates.length + " certificate(s)");
            showCertificates(result.certificates);
        }));

        function signingButton(id, name, sign) {
            $(id).addEventListener("click", guarded(async function () {
                var card = chosenCard();
                var certificate = chosenCertificate();
                if (!card || !certificate) {
                    throw new Error("choose a card and a certificate first");
                }
                var outcome = await sign(card, certificate, $("pin").value);
                log(name + ": " + (outcome.thrown || codeText(outcome.responseCode)));
                showResult(outcome);
            }));
        }
        signingButton("btn-sign-cades", "CAdES-BES", function (card, certificate, pin) {
            return signCades(card, certificate, pin, $("cades-text").value);
        });
        signingButton("btn-sign-xades-enveloping", "XAdES-BES enveloping", function (card, certificate, pin) {
            return signXadesEnveloping(card, certificate, pin, $("xades-enveloping-text").value);
        });
        signingButton("btn-sign-xades-enveloped", "XAdES-BES enveloped", function (card, certificate, pin) {
            return signXadesEnveloped(card, certificate, pin, $("xades-enveloped-xml").value, $("xades-signature-node").value);
        });
        updateButtons();
    }

    function autorunOptions() {
        var hash = window.location.hash ? window.location.hash.substring(1) : "";
        if (hash === "") {
            return null;
        }
        var options = {};
        hash.split("&").forEach(function (pair) {
            var at = pair.indexOf("=");
            var key = decodeURIComponent(at >= 0 ? pair.substring(0, at) : pair);
            var value = at >= 0 ? decodeURIComponent(pair.substring(at + 1).replace(/\+/g, " ")) : "";
            options[key] = value;
        });
        if (options.autorun !== "1") {
            return null;
        }
        options.debug = options.debug === "1";
        if (window.history && history.replaceState) {
            history.replaceState(null, "", window.location.pathname + window.location.search);
        }
        return options;
    }

    window.corvaneExample = {
        runAll: runAll,
        connect: connect,
        listCards: listCards,
        listCertificates: listCertificates,
        signCades: signCades,
        signXadesEnveloping: signXadesEnveloping,
        signXadesEnveloped: signXadesEnveloped,
        codeMeaning: codeMeaning,
        keyTypeOf: keyTypeOf,
        sampleText: SAMPLE_TEXT,
        sampleXml: SAMPLE_XML,
        lastResults: null
    };

    wirePage();
    var autorun = autorunOptions();
    if (autorun) {
        runAll(autorun);
    }
})();
