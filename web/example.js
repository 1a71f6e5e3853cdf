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
        return { responseCode: result.responseCode, thrown: result.thrown, cards: cards };
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
                        certificateHex: item.certificateHex || ""
                    });
                }
            });
        }
        return { responseCode: result.responseCode, thrown: result.thrown, certificates: certificates };
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
        var out = { responseCode: result.responseCode, signature: typeof first.signature === "string" ? first.signature : "" };
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
                results.steps.initialize = { responseCode: "0" };
            } catch (e) {
                results.steps.initialize = { responseCode: String(e.responseCode) };
                throw new Error("initialize failed: " + e.message);
            }
            updateButtons();

            var cards = await listCards();
            results.steps.listTerminals = cards;
            showCards(cards.cards);
            var card = cards.cards.filter(function (c) {
                return c.library === library;
            })[0];
            if (!card) {
                throw new Error("no card with the library " + library + " (listTerminals answered " + cards.responseCode + ")");
            }
            results.card = card;

            var certificates = await listCertificates(card);
            results.steps.listCertificates = certificates;
            showCertificates(certificates.certificates);
            var certificate = certificates.certificates[0];
            if (!certificate) {
                throw new Error("no certificate on " + card.terminal + " (listCertificates answered " + certificates.responseCode + ")");
            }
            results.certificate = { serialNumber: certificate.serialNumber, certificateHex: certificate.certificateHex };

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
                log(name + ": response code " + outcome.responseCode);
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
            return c.subjectCommonName + " - serial " + c.serialNumber + " - until " + c.notAfter +
                (c.isExpired === "true" ? " (expired)" : "");
        }));
        updateButtons();
    }

    function showResult(outcome) {
        $("result-code").textContent = outcome.thrown ? "refused: " + outcome.thrown : outcome.responseCode;
        $("result-signature").value = outcome.signature || "";
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
                $("connection-status").textContent = "connected over " + info.transport + ", client version " + info.clientVersion;
            } catch (e) {
                $("connection-status").textContent = "not connected (code " + e.responseCode + ")";
                throw e;
            }
            updateButtons();
        }));
        $("btn-list-cards").addEventListener("click", guarded(async function () {
            var result = await listCards();
            log("listTerminals: response code " + (result.thrown || result.responseCode) + ", " + result.cards.length + " card(s)");
            showCards(result.cards);
        }));
        $("btn-list-certificates").addEventListener("click", guarded(async function () {
            var card = chosenCard();
            if (!card) {
                throw new Error("choose a card first");
            }
            var result = await listCertificates(card);
            log("listCertificates: response code " + (result.thrown || result.responseCode) + ", " + result.certificates.length + " certificate(s)");
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
                log(name + ": response code " + (outcome.thrown || outcome.responseCode));
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
