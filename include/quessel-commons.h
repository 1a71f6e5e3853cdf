// The service command layer: one command function per action that a web page
// can call, the response nonce, the answer texts and the response codes.
//
// A dispatcher (JSONP controller, WebSocket server) decodes a request, parses
// it into a QJsonObject, picks the command by its "action" and returns the
// command's answer text unchanged. Every command:
//   - logs "Quessel : Executing method ..." first,
//   - reads "transactionUUID" and "jobUUID" (echoed JSON-escaped in every
//     answer object; an empty "jobUUID" adds no member),
//   - answers its own expected failures in the coded / invalid-input forms,
//   - lets everything else leave as an exception: a thrown int is a response
//     code, a thrown unsigned long a raw PKCS#11 or card code, and anything else
//     (std::invalid_argument / std::out_of_range of a "slotId" that is not a
//     number, among others) is answered 12 by the dispatcher.
// Commands keep nothing between calls and take no lock of their own: the
// token layer serialises jobs per module file and the PC/SC layer runs every
// card session inside a transaction, so commands may run on several threads
// at once.
//
// No command ever logs a PIN; dispatchers that log a request they could not
// parse must pass it through maskPinsForLog first.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <string>
#include <vector>

#include "tev-pcsc.h"
#include "tev-pkcs11.h"
#include "tev-smartcard.h"

namespace tev {
namespace quessel {

// Format of the request member "signingTime" (local time).
constexpr const char* CLIENT_DATETIME_FORMAT = "dd/MM/yyyy HH:mm:ss";
// The version number of the client script handed out by "initialize".
constexpr int CLIENT_VERSION = 34;
// Length of a response nonce.
constexpr int NONCE_LENGTH = 141;

// ---- response codes ------------------------------------------------------------
// The numbers the client script declares; the agent sends those noted.
enum ResponseCode : int {
    RESPONSE_SUCCESSFUL = 0,
    ERROR_NO_CLIENT = 1,
    ERROR_CANNOT_INITIALIZE_SIGNER = 2,
    ERROR_CANNOT_START_QUESSEL_CLIENT = 4,
    ERROR_INVALID_CERTIFICATE = 5,
    ERROR_INVALID_CERTIFICATE_SERIAL_NUMBER = 6,
    ERROR_NO_SIGNING_CERTIFICATE_FOUND = 7,
    ERROR_NO_TERMINAL_FOUND = 8,                       // sent: no card / reader
    ERROR_NO_TERMINAL_FOR_PROVIDED_SLOT_ID_AND_CARD_TYPE = 9,
    ERROR_SIGNER_IS_NOT_INITIALIZED = 10,
    ERROR_SMART_CARD_EXCEPTION = 11,
    ERROR_UNDEFINED_SIGNER_EXCEPTION = 12,             // sent by the dispatchers; unencodable policy OID
    ERROR_CANNOT_LOAD_POLICY_FILE = 13,
    ERROR_INVALID_CMS_CONTENT_TO_SIGN = 14,
    ERROR_CANNOT_SET_SIGNING_TIME = 15,
    ERROR_CANNOT_LOGIN_TO_THE_SIGNER = 16,             // sent: card refused VERIFY otherwise
    ERROR_CANNOT_SIGN_CMS_DOCUMENT = 17,
    ERROR_CANNOT_LOGOUT_SIGNER = 18,
    ERROR_CANNOT_VALIDATE_CERTIFICATE = 19,
    ERROR_CERTIFICATE_REVOCATION_CHECK_FAILURE = 21,
    ERROR_CERTIFICATE_SELF_CHECK_FAILURE = 22,
    ERROR_CERTIFICATE_NO_TRUSTED_CERT_FOUND = 23,      // sent: no certificate / expired one
    ERROR_CERTIFICATE_PATH_VALIDATION_FAILURE = 24,
    ERROR_CERTIFICATE_NOT_CHECKED = 25,
    ERROR_INVALID_PIN = 27,                            // sent
    ERROR_NO_DRIVER_FOUND = 28,
    ERROR_NO_EXTENSION = 29,
    ERROR_INVALID_SLOT_ID = 30,                        // sent: invalid-input answers
    ERROR_QUESSEL_CANNOT_LOAD_PKCS11_DRIVER = 31,
    ERROR_CANNOT_OPEN_CERTIFICATE_STORAGE = 32,
    ERROR_CANNOT_RETRIEVE_LIST_OF_CERTIFICATES = 33,   // sent
    ERROR_CANNOT_PARSE_CERTIFICATE_INFORMATION = 34,   // sent: unreadable identity card certificate
    ERROR_CANNOT_CLOSE_CERTIFICATE_STORAGE = 35,
    ERROR_CANNOT_LOAD_DRIVER = 37,
    ERROR_PIN_LOCKED = 38,                             // sent
    ERROR_PIN_EXPIRED = 39,                            // sent
    ERROR_CANNOT_LOGIN_TO_SMARTCARD = 40,
    ERROR_INVALID_DIGEST = 41,                         // sent
    ERROR_NO_PUBLIC_KEY_FOUND = 42,
    ERROR_UNDEFINED_ACTION = 43,
    ERROR_NO_PRIVATE_KEY_FOUND_CORRESPONDING_TO_PUBLIC_KEY = 44,
    ERROR_INVALID_XML_FORMAT = 51,                     // sent
    ERROR_INVALID_XML_SIGNATURE_TARGET = 52,           // sent
    ERROR_INVALID_SIGNATURE_STRUCTURE = 53,            // sent
    ERROR_TASK_TIMEOUT = 61,
    ERROR_INVALID_NONCE = 62,
    ERROR_NOT_BROWSER_CHROME = 900,
    ERROR_BROWSER_NOT_SUPPORTED_PLEASE_REFRESH = 901,
    ERROR_UNDEFINED = 1000,
    ERROR_DISCONNECT = 1001,
};
// Not in the client's table: the token holds no certificate with the serial.
constexpr int ERROR_NO_CERTIFICATE_WITH_SERIAL_NUMBER = 516;

// ---- command functions (answer text: UTF-8 JSON array) ---------------------------

std::string initializeAsJSON(const QJsonObject& request);                          // "initialize"
std::string listCardTypeAndSlotsAsJSON(const QJsonObject& request);                // "listCardTypeAndSlots"
std::string listSignerCertificatesAsJSON(const QJsonObject& request);              // "listSignerCertificatesAsJSON"
std::string signPKCS1AsJSON(const QJsonObject& request);                           // "signPKCS1Padding1.5"
std::string signCadesBesAsJSON(const QJsonObject& request);                        // "signCAdES_BES"
std::string signCadesBesWithDigestAsJSON(const QJsonObject& request);              // "signCAdES_BES_Digest"
std::string signXadesBesEnvelopingAsJSON(const QJsonObject& request);              // "signXaDES_BES_Enveloping"
std::string signXadesBesEnvelopedAsJSON(const QJsonObject& request);               // "signXaDES_BES_Enveloped"
std::string listTCKKReadersAsJSON(const QJsonObject& request);                     // "listTCKKReaders"
std::string retrieveTCKKCertificateFromReaderAsJSON(const QJsonObject& request);   // "retrieveTCKKCertificate"
std::string signWithTCKKCertificateAsJSON(const QJsonObject& request);             // "sign_with_TCKK_Certificate"
std::string monitorCardEventsAsJSON(const QJsonObject& request);                   // "monitorSmartCardActivity"

// ---- for the dispatchers ------------------------------------------------------------

// The answer a dispatcher sends for a code or exception that left a command:
// [{"responseCode":"<code>"}] (int as signed, unsigned long as unsigned decimal).
std::string errorEnvelope(int code);
std::string errorEnvelope(unsigned long code);

// A request text fit for the log: the value of every "pincode" member (found
// even when the text is not valid JSON, also with an escaped key) replaced by
// "***". Everything else is kept as it was.
std::string maskPinsForLog(const std::string& message);

// ---- pieces of the commands ---------------------------------------------------------

// Card listing: AKIS cards of `cards` become records of `out` (and leave
// `cards`); every other distinct card type is asked, through its module, for
// its slots with a token.
void retrievePKCS11CardsFromSmartCards2(std::vector<tev::quessel::pcsc::SmartCard>* cards,
                                        std::vector<tev::quessel::pkcs11::PKCS11Card>* out);
// Asks each module for its slots; a module that throws is logged and skipped.
void retrievePKCS11CardsFromSmartCards(std::vector<tev::smartcard::SmartCard>* modules,
                                       std::vector<tev::quessel::pkcs11::PKCS11Card>* out);
// The certificates of one PKCS#11 slot; throws what the token layer throws (33).
void listCertificatesOnProvidedSlot(const QString& modulePath, int slotId,
                                    std::vector<tev::x509::Certificate>* certificates);

// The client script scrambled with `nonce` ("nonce2"), as Base64 text: octet
// string of one UTF-8 form per script code unit of (unit XOR nonce unit), each
// taken as a signed byte widened to 16 bits; units above 0xFF count as 0.
std::string scrambleClientScript(const QString& script, const QString& nonce);

// ---- response nonce ------------------------------------------------------------------

// 141 characters: the step digit (2..9), then letters and digits with the local
// time "yyyyMMddHHmmss" hidden at positions step x (k + 1) as 9 - digit.
std::string generateNonce();
// True when the nonce carries the local time of now - 2 s .. now + 3 s.
// False for a text too short for its step.
bool verifyNonce(const QString& nonce);

// ---- web-site allow-list (no caller in the agent) ------------------------------------

extern std::vector<std::string> listOfAuthorizedURLs;
void authorizedWebsiteURL(std::string url);
bool isURLAuthorized(std::string url);

}  // namespace quessel
}  // namespace tev
