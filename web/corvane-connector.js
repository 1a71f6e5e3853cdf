/*
 * Corvane page connector.
 *
 * Include this file in a web page that signs through the local Corvane agent.
 * It defines the page-global objects that the agent's client script builds on:
 *
 *   Base64            encode(text) / decode(text), text as UTF-8
 *   Quessel           constructor; the client script extends its prototype
 *   quessel           the one instance: registerCallback(callback) -> UUID,
 *                     transactions, lastTransaction, inDebugMode, connector
 *   CorvaneConnector  the transports and the loader:
 *       CorvaneConnector.load(options[, callback]) -> Promise
 *           options.transport        "jsonp" (default) or "websocket"
 *           options.jsonpUrl         default "https://127.0.0.1:16357/"
 *           options.webSocketUrl     default "wss://127.0.0.1:16356"
 *           options.timeoutSeconds   default time-out of a request (30)
 *           options.debug            sets quessel.inDebugMode
 *       resolves with { clientVersion, transport } once the client script runs
 *       (quessel.smartCard, quessel.cades, ... are then usable); rejects with an
 *       Error whose responseCode holds the code. The optional callback is
 *       called as callback(error, info).
 *
 * Every request ends in exactly one call of its callback: the agent's answer,
 * or ERROR_TASK_TIMEOUT (61) when it does not come in time, ERROR_DISCONNECT
 * (1001) when the agent cannot be reached or the connection drops, ERROR_UNDEFINED
 * (1000) when the answer cannot be understood, and
 * ERROR_BROWSER_NOT_SUPPORTED_PLEASE_REFRESH (901) without WebSocket support.
 * A late answer after a time-out is dropped, never handed to another request.
 *
 * The request text carries the PIN: it is never logged here.
 */
(function (root) {
    "use strict";

    var CODE_UNDEFINED = 1000;
    var CODE_DISCONNECT = 1001;
    var CODE_TASK_TIMEOUT = 61;
    var CODE_BROWSER_NOT_SUPPORTED = 901;
    var CODE_CANNOT_START_CLIENT = 4;
    var CODE_NO_CLIENT = 1;

    var DEFAULT_JSONP_URL = "https://127.0.0.1:16357/";
    var DEFAULT_WEBSOCKET_URL = "wss://127.0.0.1:16356";
    var DEFAULT_TIMEOUT_SECONDS = 30;
    var RECONNECT_FIRST_DELAY_MS = 1000;
    var RECONNECT_MAX_DELAY_MS = 30000;

    // ---- UTF-8 and Base64 --------------------------------------------------------

    function utf8Encode(text) {
        var bytes = [];
        for (var i = 0; i < text.length; i++) {
            var c = text.charCodeAt(i);
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.length) {
                var low = text.charCodeAt(i + 1);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    i++;
                }
            }
            if (c >= 0xD800 && c <= 0xDFFF) {
                c = 0xFFFD; // a lone surrogate has no UTF-8 form
            }
            if (c < 0x80) {
                bytes.push(c);
            } else if (c < 0x800) {
                bytes.push(0xC0 | (c >> 6), 0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                bytes.push(0xE0 | (c >> 12), 0x80 | ((c >> 6) & 0x3F), 0x80 | (c & 0x3F));
            } else {
                bytes.push(0xF0 | (c >> 18), 0x80 | ((c >> 12) & 0x3F),
                    0x80 | ((c >> 6) & 0x3F), 0x80 | (c & 0x3F));
            }
        }
        return bytes;
    }

    // Malformed sequences become U+FFFD, one per offending octet.
    function utf8Decode(bytes) {
        var units = [];
        var i = 0;
        while (i < bytes.length) {
            var b = bytes[i];
            var need = 0;
            var c = 0;
            var min = 0;
            if (b < 0x80) {
                units.push(String.fromCharCode(b));
                i++;
                continue;
            } else if (b >= 0xC2 && b <= 0xDF) {
                need = 1; c = b & 0x1F; min = 0x80;
            } else if (b >= 0xE0 && b <= 0xEF) {
                need = 2; c = b & 0x0F; min = 0x800;
            } else if (b >= 0xF0 && b <= 0xF4) {
                need = 3; c = b & 0x07; min = 0x10000;
            } else {
                units.push("\uFFFD");
                i++;
                continue;
            }
            var ok = i + need < bytes.length;
            for (var k = 1; ok && k <= need; k++) {
                var next = bytes[i + k];
                if (next === undefined || (next & 0xC0) !== 0x80) {
                    ok = false;
                } else {
                    c = (c << 6) | (next & 0x3F);
                }
            }
            if (!ok || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
                units.push("\uFFFD");
                i++;
                continue;
            }
            if (c >= 0x10000) {
                c -= 0x10000;
                units.push(String.fromCharCode(0xD800 + (c >> 10), 0xDC00 + (c & 0x3FF)));
            } else {
                units.push(String.fromCharCode(c));
            }
            i += need + 1;
        }
        return units.join("");
    }

    var ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    var ALPHABET_INDEX = {};
    for (var a = 0; a < ALPHABET.length; a++) {
        ALPHABET_INDEX[ALPHABET.charAt(a)] = a;
    }

    function bytesToBase64(bytes) {
        var out = [];
        for (var i = 0; i < bytes.length; i += 3) {
            var n = (bytes[i] << 16) | ((i + 1 < bytes.length ? bytes[i + 1] : 0) << 8) |
                (i + 2 < bytes.length ? bytes[i + 2] : 0);
            out.push(ALPHABET.charAt((n >> 18) & 63), ALPHABET.charAt((n >> 12) & 63),
                i + 1 < bytes.length ? ALPHABET.charAt((n >> 6) & 63) : "=",
                i + 2 < bytes.length ? ALPHABET.charAt(n & 63) : "=");
        }
        return out.join("");
    }

    // Standard alphabet; white space is skipped, "=" ends the data, anything
    // else is an error.
    function base64ToBytes(text) {
        var bytes = [];
        var buffer = 0;
        var bits = 0;
        text = String(text);
        for (var i = 0; i < text.length; i++) {
            var ch = text.charAt(i);
            if (ch === "=") {
                break;
            }
            if (ch === " " || ch === "\n" || ch === "\r" || ch === "\t") {
                continue;
            }
            var v = ALPHABET_INDEX[ch];
            if (v === undefined) {
                throw new Error("Base64: invalid character at " + i);
            }
            buffer = (buffer << 6) | v;
            bits += 6;
            if (bits >= 8) {
                bits -= 8;
                bytes.push((buffer >> bits) & 0xFF);
            }
        }
        return bytes;
    }

    var Base64 = {
        encode: function (text) {
            return bytesToBase64(utf8Encode(String(text)));
        },
        decode: function (text) {
            return utf8Decode(base64ToBytes(text));
        },
        encodeBytes: bytesToBase64,
        decodeBytes: base64ToBytes
    };

    // ---- the instance the client script works through ------------------------------

    function newUUID() {
        var bytes = [];
        var cryptoObject = root.crypto;
        if (cryptoObject && typeof cryptoObject.getRandomValues === "function" &&
            typeof Uint8Array !== "undefined") {
            var random = new Uint8Array(16);
            cryptoObject.getRandomValues(random);
            for (var r = 0; r < 16; r++) {
                bytes.push(random[r]);
            }
        } else {
            for (var m = 0; m < 16; m++) {
                bytes.push(Math.floor(Math.random() * 256));
            }
        }
        bytes[6] = (bytes[6] & 0x0F) | 0x40; // version 4
        bytes[8] = (bytes[8] & 0x3F) | 0x80; // RFC 4122 variant
        var hex = "";
        for (var i = 0; i < 16; i++) {
            hex += (bytes[i] < 16 ? "0" : "") + bytes[i].toString(16);
            if (i === 3 || i === 5 || i === 7 || i === 9) {
                hex += "-";
            }
        }
        return hex;
    }

    function Quessel() {
        this.transactions = {};
        this.lastTransaction = null;
        this.inDebugMode = false;
        this.connector = null;
        this.clientVersion = null;
    }

    // Remembers the callback under a new transaction UUID and as the fallback
    // for an answer that names no known transaction.
    Quessel.prototype.registerCallback = function (callback) {
        var uuid = newUUID();
        this.transactions[uuid] = callback;
        this.lastTransaction = callback;
        return uuid;
    };

    var quessel = new Quessel();

    function debugLog(text) {
        if (quessel.inDebugMode === true && typeof console !== "undefined" && console.log) {
            console.log("Corvane connector: " + text);
        }
    }

    function pageAddress() {
        return root.location && root.location.href ? String(root.location.href) : "";
    }

    // ---- answers -------------------------------------------------------------------

    function failureAnswer(code, transactionUUID) {
        var item = { responseCode: String(code) };
        if (transactionUUID !== undefined) {
            item.transactionUUID = transactionUUID;
        }
        return [item];
    }

    function firstItem(answer) {
        return (answer && typeof answer === "object" && answer.length > 0 &&
            answer[0] && typeof answer[0] === "object") ? answer[0] : null;
    }

    function tryParse(text) {
        try {
            return JSON.parse(text);
        } catch (e) {
            return undefined;
        }
    }

    // The transaction UUID inside a request text, so that failures the
    // connector itself reports reach the right callback.
    function requestTransactionUUID(text) {
        try {
            var request = JSON.parse(Base64.decode(text));
            return request && typeof request.transactionUUID === "string" ? request.transactionUUID : undefined;
        } catch (e) {
            return undefined;
        }
    }

    function quesselReady() {
        return typeof quessel.processResponseObject === "function";
    }

    // Hands one answer of a request sent through connector.send to the client
    // script. The agent's bare error answer ([{"responseCode":"12"}]) names no
    // transaction; the connector knows which request it belongs to and adds
    // the UUID, so that it does not land on some other request's callback.
    function dispatchToQuessel(transactionUUID, answer, text, arrivedAsText) {
        if (!quesselReady()) {
            debugLog("Warning - an answer arrived before the client script was loaded");
            return;
        }
        var first = firstItem(answer);
        if (first === null) {
            var failure = failureAnswer(CODE_UNDEFINED, transactionUUID);
            quessel.processResponseObject(failure, JSON.stringify(failure));
            return;
        }
        if ((first.transactionUUID === undefined || first.transactionUUID === "") &&
            transactionUUID !== undefined) {
            first.transactionUUID = transactionUUID;
            quessel.processResponseObject(answer, text);
            return;
        }
        if (arrivedAsText) {
            quessel.processResponse(text);
        } else {
            quessel.processResponseObject(answer, text);
        }
    }

    function timeoutMilliseconds(seconds, fallbackSeconds) {
        var s = Number(seconds);
        if (!(s > 0)) {
            s = fallbackSeconds;
        }
        return Math.round(s * 1000);
    }

    function later(fn) {
        setTimeout(fn, 0);
    }

    // ---- JSONP transport -----------------------------------------------------------

    var JSONP_NAMESPACE = "__corvaneJsonp";
    var jsonpCounter = 0;

    function jsonpNamespace() {
        if (!root[JSONP_NAMESPACE]) {
            root[JSONP_NAMESPACE] = {};
        }
        return root[JSONP_NAMESPACE];
    }

    function createJsonpConnector(options) {
        options = options || {};
        var baseUrl = options.jsonpUrl || DEFAULT_JSONP_URL;
        var defaultSeconds = Number(options.timeoutSeconds) > 0 ? Number(options.timeoutSeconds) : DEFAULT_TIMEOUT_SECONDS;
        var doc = options.document || root.document;
        var closed = false;

        // onAnswer(answer, text): exactly once per request.
        function request(text, seconds, onAnswer) {
            var transactionUUID = requestTransactionUUID(text);
            var namespace = jsonpNamespace();
            jsonpCounter += 1;
            var id = "r" + jsonpCounter + "_" + Math.floor(Math.random() * 0x7FFFFFFF).toString(36);
            var callbackName = JSONP_NAMESPACE + "." + id;
            var finished = false;
            var script = null;
            var timer = null;

            function finish(keepLateStub) {
                finished = true;
                if (timer !== null) {
                    clearTimeout(timer);
                    timer = null;
                }
                if (keepLateStub) {
                    // The answer may still arrive; swallow it instead of failing.
                    namespace[id] = function () {
                        delete namespace[id];
                    };
                } else {
                    delete namespace[id];
                }
                if (script) {
                    script.onload = null;
                    script.onerror = null;
                    if (script.parentNode) {
                        script.parentNode.removeChild(script);
                    }
                }
            }

            function fail(code, keepLateStub) {
                if (finished) {
                    return;
                }
                finish(keepLateStub);
                var answer = failureAnswer(code, transactionUUID);
                onAnswer(answer, JSON.stringify(answer));
            }

            if (closed) {
                later(function () {
                    var answer = failureAnswer(CODE_DISCONNECT, transactionUUID);
                    onAnswer(answer, JSON.stringify(answer));
                });
                return;
            }

            namespace[id] = function (answer) {
                if (finished) {
                    return;
                }
                var answerText;
                try {
                    answerText = JSON.stringify(answer);
                } catch (e) {
                    answerText = String(answer);
                }
                finish(false);
                onAnswer(answer, answerText);
            };

            script = doc.createElement("script");
            script.async = true;
            script.onerror = function () {
                debugLog("the agent cannot be reached over JSONP");
                fail(CODE_DISCONNECT, false);
            };
            // Runs after the script itself: when it did not call us, the body
            // was not an answer of the agent.
            script.onload = function () {
                fail(CODE_UNDEFINED, false);
            };
            timer = setTimeout(function () {
                timer = null;
                debugLog("a JSONP request timed out");
                fail(CODE_TASK_TIMEOUT, true);
            }, timeoutMilliseconds(seconds, defaultSeconds));
            script.src = baseUrl + (baseUrl.indexOf("?") >= 0 ? "&" : "?") +
                "callback=" + encodeURIComponent(callbackName) +
                "&parameters=" + encodeURIComponent(text);
            var parent = doc.head || (doc.getElementsByTagName && doc.getElementsByTagName("head")[0]) ||
                doc.documentElement || doc.body;
            parent.appendChild(script);
        }

        return {
            transport: "jsonp",
            request: request,
            send: function (text, seconds) {
                var transactionUUID = requestTransactionUUID(text);
                request(text, seconds, function (answer, answerText) {
                    dispatchToQuessel(transactionUUID, answer, answerText, false);
                });
            },
            // Requests sent later are answered with ERROR_DISCONNECT.
            close: function () {
                closed = true;
            }
        };
    }

    // ---- WebSocket transport -------------------------------------------------------

    // The agent answers the frames of one connection one by one, in the order
    // they came; pending requests are kept in that order, and an answer that
    // names no known transaction belongs to the oldest one.
    function createWebSocketConnector(options) {
        options = options || {};
        var url = options.webSocketUrl || DEFAULT_WEBSOCKET_URL;
        var defaultSeconds = Number(options.timeoutSeconds) > 0 ? Number(options.timeoutSeconds) : DEFAULT_TIMEOUT_SECONDS;
        var WebSocketClass = options.WebSocket || root.WebSocket;
        var socket = null;
        var open = false;
        var pending = []; // { transactionUUID, text, onAnswer, timer, sent, timedOut }
        var reconnectDelay = RECONNECT_FIRST_DELAY_MS;
        var reconnectTimer = null;
        var closedByPage = false;

        function report(entry, code) {
            var answer = failureAnswer(code, entry.transactionUUID);
            entry.onAnswer(answer, JSON.stringify(answer));
        }

        function removeEntry(entry) {
            for (var i = 0; i < pending.length; i++) {
                if (pending[i] === entry) {
                    pending.splice(i, 1);
                    return;
                }
            }
        }

        function flush() {
            for (var i = 0; i < pending.length; i++) {
                var entry = pending[i];
                if (!entry.sent && !entry.timedOut) {
                    entry.sent = true;
                    socket.send(entry.text);
                    entry.text = null;
                }
            }
        }

        function scheduleReconnect() {
            if (closedByPage || reconnectTimer !== null) {
                return;
            }
            var delay = reconnectDelay;
            reconnectDelay = Math.min(reconnectDelay * 2, RECONNECT_MAX_DELAY_MS);
            reconnectTimer = setTimeout(function () {
                reconnectTimer = null;
                connect();
            }, delay);
        }

        function onClose() {
            socket = null;
            open = false;
            var lost = pending;
            pending = [];
            for (var i = 0; i < lost.length; i++) {
                var entry = lost[i];
                if (entry.timer !== null) {
                    clearTimeout(entry.timer);
                    entry.timer = null;
                }
                if (!entry.timedOut) {
                    report(entry, CODE_DISCONNECT);
                }
            }
            scheduleReconnect();
        }

        function onMessage(event) {
            var text = String(event.data);
            var answer = tryParse(text);
            var first = firstItem(answer);
            var entry = null;
            if (first !== null && typeof first.transactionUUID === "string" && first.transactionUUID !== "") {
                for (var i = 0; i < pending.length; i++) {
                    if (pending[i].sent && pending[i].transactionUUID === first.transactionUUID) {
                        entry = pending[i];
                        break;
                    }
                }
            }
            if (entry === null) {
                for (var j = 0; j < pending.length; j++) {
                    if (pending[j].sent) {
                        entry = pending[j];
                        break;
                    }
                }
            }
            if (entry === null) {
                debugLog("Warning - an answer arrived for no pending request; dropped");
                return;
            }
            removeEntry(entry);
            if (entry.timer !== null) {
                clearTimeout(entry.timer);
                entry.timer = null;
            }
            if (entry.timedOut) {
                debugLog("a late answer after a time-out was dropped");
                return;
            }
            if (first === null) {
                entry.onAnswer(undefined, text);
            } else {
                entry.onAnswer(answer, text);
            }
        }

        function connect() {
            if (socket !== null || closedByPage) {
                return;
            }
            var current;
            try {
                current = new WebSocketClass(url);
            } catch (e) {
                debugLog("the WebSocket cannot be opened: " + e);
                socket = null;
                onClose();
                return;
            }
            socket = current;
            current.onopen = function () {
                if (socket !== current) {
                    return;
                }
                open = true;
                reconnectDelay = RECONNECT_FIRST_DELAY_MS;
                flush();
            };
            current.onmessage = function (event) {
                if (socket === current) {
                    onMessage(event);
                }
            };
            current.onerror = function () {
                debugLog("WebSocket error");
            };
            current.onclose = function () {
                if (socket === current) {
                    onClose();
                }
            };
        }

        function request(text, seconds, onAnswer) {
            var entry = {
                transactionUUID: requestTransactionUUID(text),
                text: text,
                onAnswer: onAnswer,
                timer: null,
                sent: false,
                timedOut: false
            };
            if (!WebSocketClass) {
                later(function () {
                    report(entry, CODE_BROWSER_NOT_SUPPORTED);
                });
                return;
            }
            if (closedByPage) {
                later(function () {
                    report(entry, CODE_DISCONNECT);
                });
                return;
            }
            entry.timer = setTimeout(function () {
                entry.timer = null;
                entry.timedOut = true;
                entry.text = null;
                // A frame already sent will still be answered; its entry stays
                // in line to take that answer. An unsent one is dropped.
                if (!entry.sent) {
                    removeEntry(entry);
                }
                debugLog("a WebSocket request timed out");
                report(entry, CODE_TASK_TIMEOUT);
            }, timeoutMilliseconds(seconds, defaultSeconds));
            pending.push(entry);
            if (socket === null) {
                if (reconnectTimer !== null) {
                    clearTimeout(reconnectTimer);
                    reconnectTimer = null;
                }
                connect();
            } else if (open) {
                flush();
            }
        }

        return {
            transport: "websocket",
            request: request,
            send: function (text, seconds) {
                var transactionUUID = requestTransactionUUID(text);
                request(text, seconds, function (answer, answerText) {
                    dispatchToQuessel(transactionUUID, answer, answerText, true);
                });
            },
            // Stops reconnecting and closes the connection; pending requests
            // are answered with ERROR_DISCONNECT.
            close: function () {
                closedByPage = true;
                if (reconnectTimer !== null) {
                    clearTimeout(reconnectTimer);
                    reconnectTimer = null;
                }
                var current = socket;
                onClose();
                if (current && typeof current.close === "function") {
                    try {
                        current.close();
                    } catch (e) {
                        // already closing
                    }
                }
            },
            isOpen: function () {
                return open;
            }
        };
    }

    // ---- loader --------------------------------------------------------------------

    // nonce2 -> client script: Base64, then UTF-8, then the low 8 bits of each
    // code unit XOR the nonce's code unit at the same position modulo its length.
    function unscramble(nonce2, nonce) {
        var units = utf8Decode(base64ToBytes(nonce2));
        nonce = String(nonce);
        var m = nonce.length;
        var out = [];
        for (var i = 0; i < units.length; i++) {
            var k = m > 0 ? nonce.charCodeAt(i % m) : 0;
            if (k > 0xFF) {
                k = 0;
            }
            out.push(String.fromCharCode((units.charCodeAt(i) & 0xFF) ^ k));
        }
        return out.join("");
    }

    function loadError(code, message) {
        var error = new Error(message);
        error.responseCode = code;
        return error;
    }

    // Evaluated in the global scope, as a script of the page would be.
    function evaluateGlobally(script) {
        var indirectEval = eval;
        indirectEval(script);
    }

    function load(options, callback) {
        if (typeof options === "function") {
            callback = options;
            options = {};
        }
        options = options || {};
        var transport = options.transport || "jsonp";
        if (options.debug !== undefined) {
            quessel.inDebugMode = options.debug === true;
        }

        var settle;
        var promise = new Promise(function (resolve, reject) {
            settle = function (error, info) {
                if (error) {
                    reject(error);
                } else {
                    resolve(info);
                }
                if (typeof callback === "function") {
                    callback(error || null, info);
                }
            };
        });
        if (typeof callback === "function") {
            // The callback gets the outcome; keep an unobserved rejection quiet.
            promise.catch(function () {});
        }

        var connector;
        if (transport === "websocket") {
            connector = createWebSocketConnector(options);
        } else if (transport === "jsonp") {
            connector = createJsonpConnector(options);
        } else {
            later(function () {
                settle(loadError(CODE_UNDEFINED, "unknown transport " + transport));
            });
            return promise;
        }
        if (quessel.connector && quessel.connector !== connector && typeof quessel.connector.close === "function") {
            quessel.connector.close();
        }
        quessel.connector = connector;

        var request = {
            action: "initialize",
            usedUrl: pageAddress(),
            transactionUUID: newUUID()
        };
        connector.request(Base64.encode(JSON.stringify(request)), options.timeoutSeconds, function (answer) {
            var first = firstItem(answer);
            if (first === null) {
                settle(loadError(CODE_UNDEFINED, "the answer of initialize cannot be understood"));
                return;
            }
            var code = first.responseCode;
            if (code === undefined || code === null || code === "") {
                settle(loadError(CODE_NO_CLIENT, "the answer of initialize has no response code"));
                return;
            }
            if (String(code) !== "0") {
                settle(loadError(Number(code), "initialize answered " + code));
                return;
            }
            if (typeof first.nonce2 !== "string" || typeof first.nonce !== "string" || first.nonce === "") {
                settle(loadError(CODE_CANNOT_START_CLIENT, "the answer of initialize carries no client script"));
                return;
            }
            try {
                evaluateGlobally(unscramble(first.nonce2, first.nonce));
            } catch (e) {
                settle(loadError(CODE_CANNOT_START_CLIENT, "the client script cannot be started: " + e));
                return;
            }
            if (!quesselReady() || typeof quessel.processResponse !== "function" || !quessel.smartCard) {
                settle(loadError(CODE_CANNOT_START_CLIENT, "the client script did not install itself"));
                return;
            }
            quessel.clientVersion = first.clientVersion;
            debugLog("client script " + first.clientVersion + " loaded over " + connector.transport);
            settle(null, { clientVersion: first.clientVersion, transport: connector.transport });
        });
        return promise;
    }

    root.Base64 = Base64;
    root.Quessel = Quessel;
    root.quessel = quessel;
    root.CorvaneConnector = {
        // The codes the connector answers with itself, under their names in
        // the client script's code table (quessel.codes): a page can name
        // them before that script is loaded, e.g. when the agent is not reached.
        codes: {
            ERROR_NO_CLIENT: CODE_NO_CLIENT,
            ERROR_CANNOT_START_QUESSEL_CLIENT: CODE_CANNOT_START_CLIENT,
            ERROR_TASK_TIMEOUT: CODE_TASK_TIMEOUT,
            ERROR_BROWSER_NOT_SUPPORTED_PLEASE_REFRESH: CODE_BROWSER_NOT_SUPPORTED,
            ERROR_UNDEFINED: CODE_UNDEFINED,
            ERROR_DISCONNECT: CODE_DISCONNECT
        },
        DEFAULT_JSONP_URL: DEFAULT_JSONP_URL,
        DEFAULT_WEBSOCKET_URL: DEFAULT_WEBSOCKET_URL,
        DEFAULT_TIMEOUT_SECONDS: DEFAULT_TIMEOUT_SECONDS,
        load: load,
        unscramble: unscramble,
        createJsonpConnector: createJsonpConnector,
        createWebSocketConnector: createWebSocketConnector,
        newUUID: newUUID
    };
})(typeof window !== "undefined" ? window : this);
