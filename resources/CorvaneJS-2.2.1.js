/*
 * Corvane client script 2.2.1
 *
 * The agent hands this text to the page in the answer of "initialize",
 * scrambled with that answer's nonce; the page's loader recovers it and
 * evaluates it. It adds the action and code tables, the operations and the
 * helpers to the page's Quessel prototype. It keeps no state of its own: it
 * works through the page-global instance `quessel` (registerCallback,
 * transactions, lastTransaction, inDebugMode, connector) and the page-global
 * Base64 (encode).
 *
 * The operation groups (smartCard, tckk, cades, xades) are plain objects on
 * the prototype, so inside their functions `this` is the group, not the
 * instance; that is why everything goes through `quessel`.
 *
 * Keep this file pure ASCII: the agent scrambles one character into one
 * octet, and only characters up to U+00FF survive the trip.
 */
(function () {
    var proto = Quessel.prototype;

    var actions = {
        TASK_INITIALIZE: "initialize",
        TASK_LIST_SMART_CARDS: "listCardTypeAndSlots",
        TASK_LIST_CERTIFICATES: "listSignerCertificatesAsJSON",
        TASK_SIGN_PKCS1: "signPKCS1Padding1.5",
        TASK_SIGN_CADES_BES: "signCAdES_BES",
        TASK_SIGN_CADES_BES_DIGEST: "signCAdES_BES_Digest",
        TASK_SIGN_XADES_BES_ENVELOPING: "signXaDES_BES_Enveloping",
        TASK_SIGN_XADES_BES_ENVELOPED: "signXaDES_BES_Enveloped",
        TASK_LIST_TCKK_READERS: "listTCKKReaders",
        TASK_RETRIEVE_TCKK_CERTIFICATE: "retrieveTCKKCertificate",
        // The name under which the agent routes the identity card signing.
        TASK_SIGN_WITH_TCKK_CERTIFICATE: "sign_with_TCKK_Certificate"
    };

    var codes = {
        RESPONSE_SUCCESSFUL: 0,
        ERROR_NO_CLIENT: 1,
        ERROR_CANNOT_INITIALIZE_SIGNER: 2,
        ERROR_CANNOT_START_QUESSEL_CLIENT: 4,
        ERROR_INVALID_CERTIFICATE: 5,
        ERROR_INVALID_CERTIFICATE_SERIAL_NUMBER: 6,
        ERROR_NO_SIGNING_CERTIFICATE_FOUND: 7,
        ERROR_NO_TERMINAL_FOUND: 8,
        ERROR_NO_TERMINAL_FOR_PROVIDED_SLOT_ID_AND_CARD_TYPE: 9,
        ERROR_SIGNER_IS_NOT_INITIALIZED: 10,
        ERROR_SMART_CARD_EXCEPTION: 11,
        ERROR_UNDEFINED_SIGNER_EXCEPTION: 12,
        ERROR_CANNOT_LOAD_POLICY_FILE: 13,
        ERROR_INVALID_CMS_CONTENT_TO_SIGN: 14,
        ERROR_CANNOT_SET_SIGNING_TIME: 15,
        ERROR_CANNOT_LOGIN_TO_THE_SIGNER: 16,
        ERROR_CANNOT_SIGN_CMS_DOCUMENT: 17,
        ERROR_CANNOT_LOGOUT_SIGNER: 18,
        ERROR_CANNOT_VALIDATE_CERTIFICATE: 19,
        ERROR_CERTIFICATE_REVOCATION_CHECK_FAILURE: 21,
        ERROR_CERTIFICATE_SELF_CHECK_FAILURE: 22,
        ERROR_CERTIFICATE_NO_TRUSTED_CERT_FOUND: 23,
        ERROR_CERTIFICATE_PATH_VALIDATION_FAILURE: 24,
        ERROR_CERTIFICATE_NOT_CHECKED: 25,
        ERROR_INVALID_PIN: 27,
        ERROR_NO_DRIVER_FOUND: 28,
        ERROR_NO_EXTENSION: 29,
        ERROR_INVALID_SLOT_ID: 30,
        ERROR_QUESSEL_CANNOT_LOAD_PKCS11_DRIVER: 31,
        ERROR_CANNOT_OPEN_CERTIFICATE_STORAGE: 32,
        ERROR_CANNOT_RETRIEVE_LIST_OF_CERTIFICATES: 33,
        ERROR_CANNOT_PARSE_CERTIFICATE_INFORMATION: 34,
        ERROR_CANNOT_CLOSE_CERTIFICATE_STORAGE: 35,
        ERROR_CANNOT_LOAD_DRIVER: 37,
        ERROR_PIN_LOCKED: 38,
        ERROR_PIN_EXPIRED: 39,
        ERROR_CANNOT_LOGIN_TO_SMARTCARD: 40,
        ERROR_INVALID_DIGEST: 41,
        ERROR_NO_PUBLIC_KEY_FOUND: 42,
        ERROR_UNDEFINED_ACTION: 43,
        ERROR_NO_PRIVATE_KEY_FOUND_CORRESPONDING_TO_PUBLIC_KEY: 44,
        ERROR_INVALID_XML_FORMAT: 51,
        ERROR_INVALID_XML_SIGNATURE_TARGET: 52,
        ERROR_INVALID_SIGNATURE_STRUCTURE: 53,
        ERROR_TASK_TIMEOUT: 61,
        ERROR_INVALID_NONCE: 62,
        ERROR_NOT_BROWSER_CHROME: 900,
        ERROR_BROWSER_NOT_SUPPORTED_PLEASE_REFRESH: 901,
        ERROR_UNDEFINED: 1000,
        ERROR_DISCONNECT: 1001
    };

    proto.actions = actions;
    proto.codes = codes;

    // For the page: the codes after which retrying the same request is pointless.
    proto.criticalErrorCodes = [
        codes.ERROR_NO_CLIENT,
        codes.ERROR_CANNOT_INITIALIZE_SIGNER,
        codes.ERROR_CANNOT_START_QUESSEL_CLIENT,
        codes.ERROR_INVALID_CERTIFICATE,
        codes.ERROR_INVALID_CERTIFICATE_SERIAL_NUMBER,
        codes.ERROR_NO_SIGNING_CERTIFICATE_FOUND,
        codes.ERROR_NO_TERMINAL_FOR_PROVIDED_SLOT_ID_AND_CARD_TYPE,
        codes.ERROR_SIGNER_IS_NOT_INITIALIZED,
        codes.ERROR_SMART_CARD_EXCEPTION,
        codes.ERROR_UNDEFINED_SIGNER_EXCEPTION,
        codes.ERROR_CANNOT_LOAD_POLICY_FILE,
        codes.ERROR_INVALID_PIN,
        codes.ERROR_NOT_BROWSER_CHROME,
        codes.ERROR_DISCONNECT,
        codes.ERROR_UNDEFINED
    ];

    // ---- small helpers ---------------------------------------------------------

    function debugLog(text) {
        if (quessel.inDebugMode === true && typeof console !== "undefined" && console.log) {
            console.log(text);
        }
    }

    function pageAddress() {
        if (typeof window !== "undefined" && window.location && window.location.href) {
            return String(window.location.href);
        }
        return "";
    }

    function hasOwn(object, key) {
        return object !== null && typeof object === "object" &&
            Object.prototype.hasOwnProperty.call(object, key);
    }

    function toJSONText(value) {
        if (typeof JSON !== "undefined" && JSON.stringify) {
            return JSON.stringify(value);
        }
        return String(value);
    }

    function parseJSONText(text) {
        if (typeof JSON !== "undefined" && JSON.parse) {
            return JSON.parse(text);
        }
        return eval("(" + text + ")");
    }

    // The nonce writes its time digits with this; every string of the page gets it.
    function replaceCharacterAt(index, character) {
        var text = String(this);
        return text.substring(0, index) + character + text.substring(index + 1);
    }
    if (Object.defineProperty) {
        Object.defineProperty(String.prototype, "ra", {
            value: replaceCharacterAt, writable: true, configurable: true, enumerable: false
        });
    } else {
        String.prototype.ra = replaceCharacterAt;
    }

    // The 14-digit time number yyyyMMddHHmmss of the local time of `d`, plus `o`
    // (added to the number, not to the time).
    function timeNumber(d, o) {
        var n = ((((d.getFullYear() * 100 + (d.getMonth() + 1)) * 100 + d.getDate()) * 100 +
            d.getHours()) * 100 + d.getMinutes()) * 100 + d.getSeconds() + o;
        return String(n);
    }

    // ---- requests --------------------------------------------------------------

    var MISSING_MEMBER_TEXTS = {
        library: "no library is provided",
        slotId: "no slotId is provided",
        certSerialNumber: "no certSerialNumber is provided",
        pincode: "no pinCode is provided",
        dataBase64: "no dataBase64 is provided"
    };

    var NO_MEMBERS = [];
    var CARD_SIGNING_MEMBERS = ["library", "slotId", "certSerialNumber", "pincode", "dataBase64"];
    var TCKK_CERTIFICATE_MEMBERS = ["slotId"];
    var TCKK_SIGNING_MEMBERS = ["slotId", "pincode", "dataBase64"];

    var MOBILE_LIBRARY = "mobile";
    var MOBILE_SEND_SECONDS = 60;

    // One request: register the callback, check the members, complete the
    // caller's config object and hand its Base64 JSON text to the connector.
    // `mobileAware`: with the library "mobile" no PIN is needed (the user
    // confirms on the phone) and the connector waits longer.
    function issue(task, callback, config, required, mobileAware) {
        var transactionUUID = quessel.registerCallback(callback);
        if (config === undefined || config === null) {
            config = {};
        }
        var isMobile = mobileAware && config.library === MOBILE_LIBRARY;
        for (var i = 0; i < required.length; i++) {
            var member = required[i];
            if (member === "pincode" && isMobile) {
                continue;
            }
            if (!config[member]) {
                throw MISSING_MEMBER_TEXTS[member];
            }
        }
        config.action = actions[task];
        config.usedUrl = pageAddress();
        config.transactionUUID = transactionUUID;
        config.nonce = quessel.nonce();
        var text = Base64.encode(toJSONText(config));
        if (isMobile) {
            debugLog("Extended signing duration for mobile certificate");
            quessel.connector.send(text, MOBILE_SEND_SECONDS);
        } else {
            quessel.connector.send(text);
        }
    }

    proto.smartCard = {
        listTerminals: function (callback, config) {
            issue("TASK_LIST_SMART_CARDS", callback, config, NO_MEMBERS, false);
        },
        listCertificates: function (callback, config) {
            issue("TASK_LIST_CERTIFICATES", callback, config, NO_MEMBERS, false);
        },
        signPKCS1Padding1: function (callback, config) {
            issue("TASK_SIGN_PKCS1", callback, config, CARD_SIGNING_MEMBERS, true);
        }
    };

    proto.tckk = {
        listReaders: function (callback, config) {
            issue("TASK_LIST_TCKK_READERS", callback, config, NO_MEMBERS, false);
        },
        retrieveCertificate: function (callback, config) {
            issue("TASK_RETRIEVE_TCKK_CERTIFICATE", callback, config, TCKK_CERTIFICATE_MEMBERS, false);
        },
        signRSA_PSS: function (callback, config) {
            issue("TASK_SIGN_WITH_TCKK_CERTIFICATE", callback, config, TCKK_SIGNING_MEMBERS, false);
        }
    };

    proto.cades = {
        sign: function (callback, config) {
            issue("TASK_SIGN_CADES_BES", callback, config, CARD_SIGNING_MEMBERS, true);
        },
        signDigest: function (callback, config) {
            issue("TASK_SIGN_CADES_BES_DIGEST", callback, config, CARD_SIGNING_MEMBERS, true);
        },
        // The agent has no CAdES counter-signature; nothing is sent.
        counterSign: function (callback, config) {
        }
    };

    proto.xades = {
        signEnveloping: function (callback, config) {
            issue("TASK_SIGN_XADES_BES_ENVELOPING", callback, config, CARD_SIGNING_MEMBERS, false);
        },
        signEnveloped: function (callback, config) {
            issue("TASK_SIGN_XADES_BES_ENVELOPED", callback, config, CARD_SIGNING_MEMBERS, false);
        }
    };

    // ---- helpers ---------------------------------------------------------------

    proto.cypher = function (text, key) {
        text = String(text);
        key = String(key);
        var out = [];
        for (var i = 0; i < text.length; i++) {
            var k = key.length > 0 ? key.charCodeAt(i % key.length) : 0;
            out.push(String.fromCharCode(text.charCodeAt(i) ^ k));
        }
        return Base64.encode(out.join(""));
    };

    // Request nonce: the step digit s (2..8), then about 140 random base-36
    // characters, with the digits 9 - T[x] of the time number T written at
    // (x + 1) * s.
    proto.nonce = function (d, o) {
        if (!d) {
            d = new Date();
        }
        o = Number(o) || 0;
        var a = "";
        for (var p = 0; p < 28; p++) {
            var piece = Math.random().toString(36).substr(2, 5);
            // A short base-36 form would shorten the nonce and shift its digits.
            while (piece.length < 5) {
                piece += "0";
            }
            a += piece;
        }
        var t = timeNumber(d, o);
        var s = 2 + Math.floor(Math.random() * 7);
        a = String(s) + a;
        for (var x = 0; x < 14; x++) {
            a = a.ra((x + 1) * s, String(9 - Number(t.charAt(x))));
        }
        return a;
    };

    // True when the nonce carries the time number of now or of one of the nine
    // numbers before it.
    proto.isnonce = function (nonce) {
        if (typeof nonce !== "string" || nonce.length === 0) {
            return false;
        }
        var s = nonce.charCodeAt(0) - 48;
        if (s < 1 || s > 9 || nonce.length < 14 * s + 1) {
            return false;
        }
        var decoded = "";
        for (var x = 0; x < 14; x++) {
            var digit = nonce.charCodeAt((x + 1) * s) - 48;
            if (digit < 0 || digit > 9) {
                return false;
            }
            decoded += String(9 - digit);
        }
        var now = new Date();
        for (var i = 0; i < 10; i++) {
            if (decoded === timeNumber(now, -i)) {
                return true;
            }
        }
        return false;
    };

    // For an answer that arrives as text (a WebSocket frame).
    proto.processResponse = function (text) {
        debugLog("response text: " + text);
        var value;
        try {
            value = parseJSONText(text);
        } catch (e) {
            // Still deliver something, so that the waiting page is not left hanging.
            debugLog("Warning - The response text cannot be parsed");
            value = [];
        }
        quessel.processResponseObject(value, text);
    };

    // For an answer that arrives evaluated (the argument of a JSONP callback).
    proto.processResponseObject = function (jsonObj, __text) {
        if (__text === undefined) {
            __text = toJSONText(jsonObj);
        }
        var first = (jsonObj && typeof jsonObj === "object" && jsonObj.length > 0 &&
            jsonObj[0] && typeof jsonObj[0] === "object") ? jsonObj[0] : {};
        var responseCode = first.responseCode;
        var transactionUUID = first.transactionUUID;
        var nonce = first.nonce;

        if (quessel.inDebugMode === true) {
            debugLog("nonce valid " + quessel.isnonce(nonce));
        }
        if (responseCode === undefined || responseCode === null || responseCode === "") {
            responseCode = codes.ERROR_NO_CLIENT;
        }

        // The entry and the fallback are cleared before the callback runs, so a
        // request that the callback itself makes keeps its own, and a callback
        // that throws leaves nothing stale behind.
        var callback = hasOwn(quessel.transactions, transactionUUID) ?
            quessel.transactions[transactionUUID] : undefined;
        if (typeof callback === "function") {
            delete quessel.transactions[transactionUUID];
            delete quessel.lastTransaction;
            callback.call(quessel, responseCode, __text);
            return;
        }
        debugLog("Warning - No callback for the transaction UUID " + transactionUUID);
        callback = quessel.lastTransaction;
        delete quessel.lastTransaction;
        if (typeof callback === "function") {
            callback.call(quessel, responseCode, __text);
        }
    };
})();
