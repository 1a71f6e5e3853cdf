// The service command layer: request members, answer texts, the response
// nonce, and the twelve command functions.
//
// Answers are written by hand, member by member, in the fixed order each
// action's page code reads them. Every value is a JSON string; the only
// values that come from the request unchanged ("transactionUUID", "jobUUID")
// are JSON-escaped, because a quote or backslash in them would otherwise end
// the string early and, inside a JSONP answer, run as script on the page.
// Everything else that goes into an answer is Base64, hex, digits or one of
// our own fixed texts.
//
// The PIN ("pincode") is read, handed to the card layer and never logged.
#include "quessel-commons.h"

#include <QDate>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>
#include <QList>
#include <QRandomGenerator>
#include <QTextStream>
#include <QTime>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <stdexcept>

#include "quessel-signing.h"
#include "quessel-tasks.h"
#include "tev-certificate.h"
#include "tev-commons.h"
#include "tev-logging.h"
#include "tev-resources.h"

#define QUESSEL_LOG(level) LOG(level) << "Quessel : "

namespace tev {
namespace quessel {

using tev::logging::shownText;

std::vector<std::string> listOfAuthorizedURLs;

namespace {

constexpr const char* kAkisLibrary = "akisp11";
constexpr const char* kAetLibrary = "aetpkss1";
constexpr const char* kClientScript = ":/new/rs/CorvaneJS-2.2.1.js";
constexpr const char* kNoSubjectSerialNumber = "No Subject Serial Number";
constexpr const char* kTckkCardType = "tckk-standard-card-reader";

// Appending and looking up may come from different threads.
std::mutex& allowListLock() {
    static std::mutex lock;
    return lock;
}

// ---- request members ------------------------------------------------------------------

// Text member: a JSON string, else empty (absent, null, number, flag, ...).
QString readQText(const QJsonObject& object, const char* key) {
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isString() ? value.toString() : QString();
}

std::string readText(const QJsonObject& object, const char* key) {
    return readQText(object, key).toStdString();
}

// Flag: only the JSON value true.
bool readFlag(const QJsonObject& object, const char* key) {
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isBool() && value.toBool();
}

// Whole number: a JSON number that is a whole int, else 0.
int readWholeNumber(const QJsonValue& value) { return value.isDouble() ? value.toInt(0) : 0; }

// OID arcs: an element that is not a whole JSON number reads 0. A whole
// number beyond int range (the arcs of 2.25.<UUID> OIDs) cannot be held here;
// it becomes -1, an arc no OID has, so that the policy is refused rather than
// written under another OID with a 0 in its place.
QList<int> readIntegerList(const QJsonValue& value) {
    QList<int> list;
    if (!value.isArray()) return list;
    for (const QJsonValue& element : value.toArray()) {
        const double number = element.toDouble(0.5);
        const bool whole = element.isDouble() && std::floor(number) == number;
        const bool fits = whole && number >= std::numeric_limits<int>::min() && number <= std::numeric_limits<int>::max();
        list << (!whole ? 0 : fits ? static_cast<int>(number) : -1);
    }
    return list;
}

// "slotId" and "duration": std::stoi rules (leading blanks, sign, digits up to
// the first other character). Throws std::invalid_argument / std::out_of_range.
int toIntegerLikeStoi(const std::string& text) { return std::stoi(text, nullptr, 10); }

bool convertsToInteger(const std::string& text, int* value) {
    try {
        *value = toIntegerLikeStoi(text);
        return true;
    } catch (const std::logic_error&) {
        return false;
    }
}

// ---- answer text -------------------------------------------------------------------------

// JSON string contents for a UTF-8 text. Besides what JSON requires, '<', '>',
// '&' and U+2028/U+2029 are escaped so the text is also inert inside a script
// (JSONP); letters, digits and '-' (every ordinary UUID) stay as they are.
std::string jsonEscaped(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
        case '"': out += "\\\""; continue;
        case '\\': out += "\\\\"; continue;
        case '\b': out += "\\b"; continue;
        case '\f': out += "\\f"; continue;
        case '\n': out += "\\n"; continue;
        case '\r': out += "\\r"; continue;
        case '\t': out += "\\t"; continue;
        default: break;
        }
        if (c < 0x20 || c == 0x7F || c == '<' || c == '>' || c == '&') {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            out += escape;
            continue;
        }
        if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
            (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
             static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
            out += static_cast<unsigned char>(text[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
            i += 2;
            continue;
        }
        out += static_cast<char>(c);
    }
    return out;
}

// The text of a response code. The card layer hands PC/SC failures on as
// ints, where their 32-bit values (0x8010xxxx) turn negative; they are written
// in the one form the PKCS#11 and AKIS roads answer them, the unsigned one, so
// that a page sees the same failure as the same number on every road. Our own
// codes, -1 of the identity card included, stay as they are.
std::string responseCodeText(int code) {
    const auto bits = static_cast<std::uint32_t>(code);
    if ((bits & 0xFFFF0000u) == 0x80100000u) return std::to_string(bits);
    return std::to_string(code);
}

std::string base64Of(const std::string& text) {
    return QByteArray::fromStdString(text).toBase64().toStdString();
}

std::string base64Of(const QByteArray& bytes) { return bytes.toBase64().toStdString(); }

std::string base64OfFlag(bool flag) { return base64Of(std::string(flag ? "true" : "false")); }

// Members of one answer object: "key": "value", joined by ",".
class Members {
public:
    Members& add(const char* key, const std::string& value) {
        if (!text_.empty()) text_ += ',';
        text_ += '"';
        text_ += key;
        text_ += "\": \"";
        text_ += value;
        text_ += '"';
        return *this;
    }
    // The form without the blank after the colon (first member of the card
    // listings' code-8 answer).
    Members& addCompact(const char* key, const std::string& value) {
        if (!text_.empty()) text_ += ',';
        text_ += '"';
        text_ += key;
        text_ += "\":\"";
        text_ += value;
        text_ += '"';
        return *this;
    }
    const std::string& text() const { return text_; }
    std::string object() const { return "{" + text_ + "}"; }

private:
    std::string text_;
};

std::string singleObjectAnswer(const Members& members) {
    std::string answer;
    answer.reserve(members.text().size() + 4);
    answer += "[{";
    answer += members.text();
    answer += "}]";
    return answer;
}

// What every command reads first: the echoed texts, already escaped.
struct Frame {
    std::string transactionUUID;
    std::string jobUUID;

    void addTransaction(Members& m) const { m.add("transactionUUID", transactionUUID); }
    void addJob(Members& m) const {
        if (!jobUUID.empty()) m.add("jobUUID", jobUUID);
    }
};

Frame beginCommand(const QJsonObject& request, const char* entryText) {
    QUESSEL_LOG(INFO) << entryText;
    Frame frame;
    frame.transactionUUID = jsonEscaped(readText(request, "transactionUUID"));
    frame.jobUUID = jsonEscaped(readText(request, "jobUUID"));
    return frame;
}

// Coded error answer: responseCode, nonce, jobUUID, transactionUUID.
std::string codedErrorAnswer(int code, const Frame& frame, bool compactCode) {
    Members m;
    if (compactCode)
        m.addCompact("responseCode", responseCodeText(code));
    else
        m.add("responseCode", responseCodeText(code));
    m.add("nonce", generateNonce());
    frame.addJob(m);
    frame.addTransaction(m);
    return singleObjectAnswer(m);
}

// Invalid-input answer of the two certificate commands.
std::string invalidSlotAnswer(const Frame& frame) {
    Members m;
    m.add("responseCode", std::to_string(ERROR_INVALID_SLOT_ID));
    frame.addTransaction(m);
    frame.addJob(m);
    m.add("nonce", generateNonce());
    m.add("errorMessage", "invalid slot id");
    return singleObjectAnswer(m);
}

// ---- response nonce -----------------------------------------------------------------------

// Local time as the 14 digits yyyyMMddHHmmss.
std::string timeStamp(const QDateTime& time) {
    const QDate d = time.date();
    const QTime t = time.time();
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", d.year(), d.month(), d.day(),
                  t.hour(), t.minute(), t.second());
    return std::string(text, 14);
}

int asciiDigit(QChar c) {
    const ushort u = c.unicode();
    return (u >= '0' && u <= '9') ? u - '0' : 0;
}

// ---- signing requests ---------------------------------------------------------------------

// What all five signing actions read to address the card and its certificate.
struct CardAddress {
    std::string pin;
    std::string serialNumber;
    std::string library;
    QString modulePath;
    int slotId = 0;
};

// Driver path of a library; none for the AKIS road.
QString modulePathOf(const std::string& library) {
    QString path;
    if (library != kAkisLibrary) {
        tev::smartcard::findDriverPathOfLibrary(getOperatingSystem(), library.c_str(), &path);
        QUESSEL_LOG(INFO) << "Driver Path: " << shownText(path.toStdString());
    }
    return path;
}

CardAddress readCardAddress(const QJsonObject& request) {
    CardAddress a;
    a.pin = readText(request, "pincode");
    a.serialNumber = readText(request, "certSerialNumber");
    QUESSEL_LOG(INFO) << "Certificate Serial Number: " << shownText(a.serialNumber);
    a.library = readText(request, "library");
    QUESSEL_LOG(INFO) << "Driver: " << shownText(a.library);
    a.modulePath = modulePathOf(a.library);
    // Not a number: leaves the command (answered 12 by the dispatcher).
    a.slotId = toIntegerLikeStoi(readText(request, "slotId"));
    QUESSEL_LOG(INFO) << "Slot ID: " << a.slotId;
    return a;
}

// The whole text, as UTF-8: a NUL inside it is skipped like any other
// character outside the alphabet (and "="), never an end of the data.
QByteArray decodeBase64Lenient(const QString& text) { return QByteArray::fromBase64(text.toUtf8()); }

QDateTime readSigningTime(const QJsonObject& request) {
    const QString text = readQText(request, "signingTime");
    if (text.isEmpty()) return QDateTime();
    return QDateTime::fromString(text, QString::fromLatin1(CLIENT_DATETIME_FORMAT));
}

template <typename Profile>
Profile readSignaturePolicy(const QJsonObject& request) {
    Profile profile;
    const QJsonValue value = request.value(QLatin1String("signaturePolicy"));
    if (value.isUndefined() || value.isNull()) return profile;
    const QJsonObject policy = value.isObject() ? value.toObject() : QJsonObject();

    const std::string description = readText(policy, "policyDescription");
    if (!description.empty()) profile.policyDescription = description;
    const std::string link = readText(policy, "profileDocumentLink");
    if (!link.empty()) profile.profileDocumentLink = link;
    const std::string digestHex = readText(policy, "policyDigestHex");
    if (!digestHex.empty()) {
        char* bytes = nullptr;
        int length = 0;
        hexStringToByteArray(digestHex, &bytes, &length);
        if (bytes != nullptr && length > 0) profile.policyDigest = QByteArray(bytes, length);
        std::free(bytes);
    }
    const QJsonValue oid = policy.value(QLatin1String("policyOID"));
    if (!oid.isUndefined() && !oid.isNull()) profile.policyOID = readIntegerList(oid);
    const QJsonValue digestOid = policy.value(QLatin1String("policyDigestAlgorithmOID"));
    if (!digestOid.isUndefined() && !digestOid.isNull())
        profile.policyDigestAlgorithmOID = readIntegerList(digestOid);
    return profile;
}

template <typename Profile>
Profile readPolicyIfAsked(const QJsonObject& request, bool addSignaturePolicy) {
    // Taken as the caller gives it: the policy's hash algorithm may be one we
    // do not know, and its digest is the policy issuer's business. The CAdES
    // builder refuses only what it cannot encode; XAdES writes no policy.
    if (!addSignaturePolicy) return Profile();
    return readSignaturePolicy<Profile>(request);
}

// The CAdES answer: the builder's hex DER as Base64, twice.
std::string cadesAnswer(const Frame& frame, const std::string& hexDer) {
    const std::string signature = base64Of(QByteArray::fromHex(QByteArray::fromStdString(hexDer)));
    Members m;
    m.add("responseCode", "0");
    frame.addTransaction(m);
    frame.addJob(m);
    m.add("signedMime", signature);
    m.add("nonce", generateNonce());
    m.add("signature", signature);
    return singleObjectAnswer(m);
}

std::string signatureAnswer(const Frame& frame, int code, const QByteArray& signature) {
    Members m;
    m.add("responseCode", responseCodeText(code));
    frame.addTransaction(m);
    frame.addJob(m);
    m.add("nonce", generateNonce());
    m.add("signature", base64Of(signature));
    return singleObjectAnswer(m);
}

// Both XAdES actions; `enveloped` adds "counterSign".
std::string signXades(const QJsonObject& request, bool enveloped) {
    const Frame frame = beginCommand(request, "Executing method signXadesBesAsJSON");
    const CardAddress card = readCardAddress(request);
    QByteArray data = decodeBase64Lenient(readQText(request, "dataBase64"));
    QUESSEL_LOG(INFO) << "Data Length: " << data.size();
    const std::string signatureNodeXPath = readText(request, "signatureNodeXPath");
    QUESSEL_LOG(INFO) << "Signature Node XPath: " << shownText(signatureNodeXPath);
    const std::string nodeToSignXPath = readText(request, "nodeToSignXPath");
    QUESSEL_LOG(INFO) << "Node To Sign XPath: " << shownText(nodeToSignXPath);
    const std::string signerClaimedRole = readText(request, "signerClaimedRole");
    QUESSEL_LOG(INFO) << "Signer Claimed Role: " << shownText(signerClaimedRole);
    const QDateTime signingTime = readSigningTime(request);
    const bool addSigningTime = readFlag(request, "addSigningTime");
    QUESSEL_LOG(INFO) << "Add Signing Time: " << (addSigningTime ? 1 : 0);
    const bool addSignaturePolicy = readFlag(request, "addSignaturePolicy");
    QUESSEL_LOG(INFO) << "Add Signature Policy: " << (addSignaturePolicy ? 1 : 0);
    bool counterSign = false;
    if (enveloped) {
        counterSign = readFlag(request, "counterSign");
        QUESSEL_LOG(INFO) << "Add Counter Signature: " << (counterSign ? 1 : 0);
    }
    const xades::SignatureProfile profile =
        readPolicyIfAsked<xades::SignatureProfile>(request, addSignaturePolicy);

    QByteArray signedDocument;
    if (enveloped)
        signXadesBESEnveloped(card.library, card.modulePath, card.pin, card.serialNumber,
                              card.slotId, signatureNodeXPath, nodeToSignXPath, signerClaimedRole,
                              addSigningTime, signingTime, addSignaturePolicy, counterSign,
                              profile, &data, &signedDocument);
    else
        signXadesBESEnveloping(card.library, card.modulePath, card.pin, card.serialNumber,
                               card.slotId, signatureNodeXPath, nodeToSignXPath,
                               signerClaimedRole, addSigningTime, signingTime, addSignaturePolicy,
                               profile, &data, &signedDocument);

    const std::string answer = signatureAnswer(frame, 0, signedDocument);
    QUESSEL_LOG(INFO) << "Completed signXadesBesAsJSON";
    return answer;
}

// ---- certificate answers ------------------------------------------------------------------

std::string subjectSerialNumberOf(const tev::x509::Certificate& certificate) {
    return certificate.subjectIdentityNumber.empty() ? std::string(kNoSubjectSerialNumber)
                                                     : certificate.subjectIdentityNumber;
}

// One object of the certificate listing.
std::string certificateListObject(const tev::x509::Certificate& c, const Frame& frame) {
    Members m;
    m.add("responseCode", "0");
    QUESSEL_LOG(INFO) << "Returning certificate HEX value";
    m.add("certificateHex", tev::x509::toHex(c.x509));
    QUESSEL_LOG(INFO) << "Returning certificate serial number";
    m.add("serialNumber", base64Of(c.serialNumber));
    QUESSEL_LOG(INFO) << "Returning certificate subject common name";
    m.add("commonName", base64Of(c.subject));
    QUESSEL_LOG(INFO) << "Returning if certificate is expired";
    m.add("isExpired", base64OfFlag(c.isExpired));
    QUESSEL_LOG(INFO) << "Returning certificate issuer";
    m.add("issuer", base64Of(c.issuer));
    QUESSEL_LOG(INFO) << "Returning certificate issuer common name";
    m.add("issuerCommonName", base64Of(c.issuerCommonName));
    QUESSEL_LOG(INFO) << "Returning certificate expiration date";
    m.add("notAfter", base64Of(c.notAfter));
    QUESSEL_LOG(INFO) << "Returning certificate issuance date";
    m.add("notBefore", base64Of(c.notBefore));
    QUESSEL_LOG(INFO) << "Returning certificate owner subject name";
    m.add("subject", base64Of(c.subject));
    QUESSEL_LOG(INFO) << "Returning transactionUUID";
    frame.addTransaction(m);
    frame.addJob(m);
    m.add("nonce", generateNonce());
    QUESSEL_LOG(INFO) << "Returning subjectNameSurname";
    m.add("subjectCommonName", base64Of(c.subjectNameSurname));
    QUESSEL_LOG(INFO) << "Returning certificate subject serial number";
    m.add("subjectSerialNumber", base64Of(subjectSerialNumberOf(c)));
    return m.object();
}

// The identity card's certificate (no issuer common name).
std::string identityCertificateObject(const tev::x509::Certificate& c, const Frame& frame) {
    Members m;
    m.add("responseCode", "0");
    QUESSEL_LOG(INFO) << "Returning transactionUUID";
    QUESSEL_LOG(INFO) << "Returning certificate HEX value";
    m.add("certificateHex", tev::x509::toHex(c.x509));
    QUESSEL_LOG(INFO) << "Returning certificate serial number";
    m.add("serialNumber", base64Of(c.serialNumber));
    QUESSEL_LOG(INFO) << "Returning certificate subject common name";
    m.add("commonName", base64Of(c.subject));
    QUESSEL_LOG(INFO) << "Returning if certificate is expired";
    m.add("isExpired", base64OfFlag(c.isExpired));
    QUESSEL_LOG(INFO) << "Returning certificate issuer";
    m.add("issuer", base64Of(c.issuer));
    QUESSEL_LOG(INFO) << "Returning certificate expiration date";
    m.add("notAfter", base64Of(c.notAfter));
    QUESSEL_LOG(INFO) << "Returning certificate issuance date";
    m.add("notBefore", base64Of(c.notBefore));
    QUESSEL_LOG(INFO) << "Returning certificate owner subject name";
    m.add("subject", base64Of(c.subject));
    frame.addTransaction(m);
    frame.addJob(m);
    m.add("nonce", generateNonce());
    QUESSEL_LOG(INFO) << "Returning subjectNameSurname";
    m.add("subjectCommonName", base64Of(c.subjectNameSurname));
    QUESSEL_LOG(INFO) << "Returning certificate subject serial number";
    m.add("subjectSerialNumber", base64Of(subjectSerialNumberOf(c)));
    return m.object();
}

// ---- card listing -------------------------------------------------------------------------

tev::quessel::pkcs11::PKCS11Card cardOfAkisReader(const tev::quessel::pcsc::SmartCard& reader) {
    tev::quessel::pkcs11::PKCS11Card card;
    card.cardName = reader.readerName;
    card.label = reader.readerName;
    card.driverPath = QString::fromStdString(reader.driverPath);
    card.library = kAkisLibrary;
    card.slotId = reader.slot;
    card.reservedFlag = reader.reservedFlag;
    card.isCardInserted = reader.isCardInserted;
    card.providesPINReader = reader.providesPINReader;
    card.isTCKK = reader.isTCKK;
    return card;
}

// The same card can come twice: through the "aetpkss1" module and on the
// AKIS road under the same name.
void removeDuplicateCards(std::vector<tev::quessel::pkcs11::PKCS11Card>* cards) {
    auto last = std::find_if(cards->rbegin(), cards->rend(),
                             [](const tev::quessel::pkcs11::PKCS11Card& c) {
                                 return c.library == kAetLibrary;
                             });
    if (last == cards->rend()) return;
    const std::string referenceName = last->cardName;
    for (auto it = cards->begin(); it != cards->end();) {
        if (it->library == kAkisLibrary && it->cardName == referenceName) {
            QUESSEL_LOG(INFO) << "Removing smartcard with card type " << it->cardName
                              << " and driver " << it->library;
            it = cards->erase(it);
        } else {
            ++it;
        }
    }
}

std::string cardListObject(const tev::quessel::pkcs11::PKCS11Card& card, const Frame& frame) {
    Members m;
    m.add("terminal", base64Of(card.cardName));
    m.add("slotId", base64Of(std::to_string(card.slotId)));
    m.add("responseCode", "0");
    m.add("library", base64Of(card.library));
    frame.addTransaction(m);
    frame.addJob(m);
    m.add("nonce", generateNonce());
    m.add("smartCardType", base64Of(std::string("token")));
    m.add("providesPINReader", base64OfFlag(card.providesPINReader));
    m.add("isCardInserted", base64OfFlag(card.isCardInserted));
    m.add("cardType", base64Of(card.cardName));
    return m.object();
}

// ---- log masking ----------------------------------------------------------------------------

// Index just past the JSON string whose opening quote is at `start`; the end
// of the text when the string is not closed (then *closed is false).
std::size_t endOfString(const std::string& text, std::size_t start, bool* closed) {
    std::size_t i = start + 1;
    while (i < text.size()) {
        if (text[i] == '\\') {
            i += 2;
            continue;
        }
        if (text[i] == '"') {
            *closed = true;
            return i + 1;
        }
        ++i;
    }
    *closed = false;
    return text.size();
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The characters text[begin, end) of a JSON string, escapes resolved (what is
// not ASCII becomes '?'), ASCII lower-cased: "PIN\u0063ode" gives "pincode".
std::string lowerCaseContents(const std::string& text, std::size_t begin, std::size_t end) {
    std::string contents;
    for (std::size_t i = begin; i < end; ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < end) {
            c = text[++i];
            if (c == 'u' && i + 4 < end) {
                int value = 0;
                bool ok = true;
                for (std::size_t k = 1; k <= 4 && ok; ++k) {
                    const int digit = hexValue(text[i + k]);
                    ok = digit >= 0;
                    value = value * 16 + digit;
                }
                if (ok) {
                    c = value < 0x80 ? static_cast<char>(value) : '?';
                    i += 4;
                }
            }
        }
        contents += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return contents;
}

bool isWordCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

}  // namespace

// ---- answers for the dispatchers ------------------------------------------------------------

std::string errorEnvelope(int code) {
    return "[{\"responseCode\":\"" + responseCodeText(code) + "\"}]";
}

std::string errorEnvelope(unsigned long code) {
    return "[{\"responseCode\":\"" + std::to_string(code) + "\"}]";
}

namespace {

// Where a PIN could begin in text that is not JSON: with unbalanced quotes no
// tokenising can be trusted, so everything from the first "pin" (any letter
// case) or the first \u escape (which could spell one of its letters) on is
// withheld.
std::size_t firstPossiblePinKey(const std::string& message) {
    std::size_t cut = message.find("\\u");
    for (std::size_t i = 0; i + 3 <= message.size() && i < cut; ++i) {
        if (std::tolower(static_cast<unsigned char>(message[i])) == 'p' &&
            std::tolower(static_cast<unsigned char>(message[i + 1])) == 'i' &&
            std::tolower(static_cast<unsigned char>(message[i + 2])) == 'n') {
            cut = i;
            break;
        }
    }
    return cut;
}

}  // namespace

std::string maskPinsForLog(const std::string& message) {
    QJsonParseError parseError;
    QJsonDocument::fromJson(QByteArray::fromStdString(message), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        const std::size_t cut = firstPossiblePinKey(message);
        return cut == std::string::npos ? message : message.substr(0, cut) + "***";
    }
    static const std::string kPinKey = "pincode";
    std::string out;
    out.reserve(message.size());
    std::size_t i = 0;
    const std::size_t n = message.size();
    while (i < n) {
        bool isPinKey = false;
        if (message[i] == '"') {
            bool closed = false;
            const std::size_t end = endOfString(message, i, &closed);
            isPinKey = lowerCaseContents(message, i + 1, closed ? end - 1 : end) == kPinKey;
            out.append(message, i, end - i);
            i = end;
        } else if (isWordCharacter(message[i])) {
            // A bare word (the text need not be JSON at all).
            std::size_t end = i;
            while (end < n && isWordCharacter(message[end])) ++end;
            std::string word = message.substr(i, end - i);
            out += word;
            i = end;
            std::transform(word.begin(), word.end(), word.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            isPinKey = word == kPinKey;
        } else {
            out += message[i++];
        }
        if (!isPinKey) continue;

        // Keep blanks and the colon, replace the value that follows.
        std::size_t j = i;
        while (j < n && (std::isspace(static_cast<unsigned char>(message[j])) || message[j] == ':'))
            ++j;
        out += message.substr(i, j - i);
        i = j;
        if (i >= n) break;
        std::size_t valueEnd;
        if (message[i] == '"') {
            bool closed = false;
            valueEnd = endOfString(message, i, &closed);
        } else {
            valueEnd = i;
            while (valueEnd < n && message[valueEnd] != ',' && message[valueEnd] != '}' &&
                   message[valueEnd] != ']' && message[valueEnd] != '\n')
                ++valueEnd;
        }
        if (valueEnd > i) out += "\"***\"";
        i = valueEnd;
    }
    return out;
}

// ---- nonce ------------------------------------------------------------------------------------

std::string generateNonce() {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    constexpr int kAlphabetSize = sizeof kAlphabet - 1;
    QRandomGenerator* random = QRandomGenerator::global();

    std::string nonce(NONCE_LENGTH, '0');
    for (int i = 1; i < NONCE_LENGTH; ++i) nonce[i] = kAlphabet[random->bounded(kAlphabetSize)];
    const std::string stamp = timeStamp(QDateTime::currentDateTime());
    const int step = static_cast<int>(random->bounded(8)) + 2;
    nonce[0] = static_cast<char>('0' + step);
    for (int k = 0; k < 14; ++k) nonce[step * (k + 1)] = static_cast<char>('0' + 9 - (stamp[k] - '0'));
    return nonce;
}

bool verifyNonce(const QString& nonce) {
    if (nonce.isEmpty()) return false;
    const int step = asciiDigit(nonce.at(0));
    if (nonce.size() < step * 14 + 1) return false;

    std::string decoded;
    for (int k = 0; k < 14; ++k) decoded += static_cast<char>('0' + 9 - asciiDigit(nonce.at(step * (k + 1))));
    const QDateTime now = QDateTime::currentDateTime();
    for (int offset : {3, 2, 1, 0, -1, -2})
        if (decoded == timeStamp(now.addSecs(offset))) return true;
    return false;
}

// ---- allow-list ---------------------------------------------------------------------------------

void authorizedWebsiteURL(std::string url) {
    std::lock_guard<std::mutex> hold(allowListLock());
    listOfAuthorizedURLs.push_back(std::move(url));
}

bool isURLAuthorized(std::string url) {
    std::lock_guard<std::mutex> hold(allowListLock());
    return std::find(listOfAuthorizedURLs.begin(), listOfAuthorizedURLs.end(), url) !=
           listOfAuthorizedURLs.end();
}

// ---- initialize -----------------------------------------------------------------------------------

namespace {

// One octet per script character as the scrambling reads it: the character
// itself up to U+00FF, 0 above.
QByteArray scriptOctets(const QString& script) {
    QByteArray octets(script.size(), Qt::Uninitialized);
    for (int i = 0; i < script.size(); ++i) {
        const ushort s = script.at(i).unicode();
        octets[i] = static_cast<char>(s <= 0xFF ? s : 0);
    }
    return octets;
}

// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
std::string base64Text(const char* data, std::size_t length) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text((length + 2) / 3 * 4, '=');
    const auto* in = reinterpret_cast<const unsigned char*>(data);
    char* out = &text[0];
    std::size_t i = 0;
    for (; i + 3 <= length; i += 3, out += 4) {
        const unsigned v = (unsigned(in[i]) << 16) | (unsigned(in[i + 1]) << 8) | in[i + 2];
        out[0] = kAlphabet[v >> 18];
        out[1] = kAlphabet[(v >> 12) & 63];
        out[2] = kAlphabet[(v >> 6) & 63];
        out[3] = kAlphabet[v & 63];
    }
    if (i < length) {
        const unsigned v = (unsigned(in[i]) << 16) | (i + 1 < length ? unsigned(in[i + 1]) << 8 : 0u);
        out[0] = kAlphabet[v >> 18];
        out[1] = kAlphabet[(v >> 12) & 63];
        if (i + 1 < length) out[2] = kAlphabet[(v >> 6) & 63];
    }
    return text;
}

std::string scrambleOctets(const QByteArray& script, const QByteArray& key) {
    const int length = script.size();
    const int keyLength = key.size();
    const auto* s = reinterpret_cast<const unsigned char*>(script.constData());
    const auto* k = reinterpret_cast<const unsigned char*>(key.constData());
    std::string octets(static_cast<std::size_t>(length), '\0');
    auto* out = reinterpret_cast<unsigned char*>(&octets[0]);
    if (keyLength == 0) {
        std::memcpy(out, s, static_cast<std::size_t>(length));
    } else {
        // Key-length stretches, so the inner loop runs without a modulo.
        for (int i = 0; i < length; i += keyLength) {
            const int n = std::min(keyLength, length - i);
            for (int j = 0; j < n; ++j) out[i + j] = s[i + j] ^ k[j];
        }
    }
    unsigned high = 0;
    for (int i = 0; i < length; ++i) high |= out[i];
    if (high >= 0x80) {
        // Some octet has its top bit set: it is the signed byte widened to
        // U+FF80..U+FFFF, which goes out in UTF-8 as three octets.
        std::string wide;
        wide.reserve(static_cast<std::size_t>(length) + 64);
        for (int i = 0; i < length; ++i) {
            const unsigned x = out[i];
            if (x < 0x80) {
                wide.push_back(static_cast<char>(x));
                continue;
            }
            const unsigned u = 0xFF00u + x;
            wide.push_back(static_cast<char>(0xEF));
            wide.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
            wide.push_back(static_cast<char>(0x80 | (u & 0x3F)));
        }
        octets.swap(wide);
    }
    return base64Text(octets.data(), octets.size());
}

// A nonce character above U+00FF counts as 0, like a script character.
QByteArray keyOctets(const QString& nonce) { return scriptOctets(nonce); }

bool readClientScript(QByteArray* octets) {
    tev::resources::ensureRegistered();
    QFile file(QString::fromLatin1(kClientScript));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return false;
    // The script is ASCII, read as UTF-8 whatever the locale says, so one
    // character scrambles to one octet.
    QTextStream stream(&file);
    stream.setCodec("UTF-8");
    *octets = scriptOctets(stream.readAll());
    return true;
}

// The compiled-in script never changes while the program runs, so it is read
// (and inflated from the resource) once rather than for every answer.
const QByteArray* cachedClientScript() {
    static const std::pair<bool, QByteArray> script = [] {
        QByteArray octets;
        const bool ok = readClientScript(&octets);
        return std::make_pair(ok, octets);
    }();
    return script.first ? &script.second : nullptr;
}

}  // namespace

std::string scrambleClientScript(const QString& script, const QString& nonce) {
    return scrambleOctets(scriptOctets(script), keyOctets(nonce));
}

std::string initializeAsJSON(const QJsonObject& request) {
    const Frame frame = beginCommand(request, "Executing method initialize");
    QUESSEL_LOG(INFO) << "Web Application URL: " << shownText(readText(request, "usedUrl"));

    const QByteArray* script = cachedClientScript();
    QByteArray unread;
    if (!script) {
        if (!readClientScript(&unread)) QUESSEL_LOG(ERROR) << "Cannot read the client script " << kClientScript;
        script = &unread;
    }

    const std::string nonce = generateNonce();
    Members m;
    m.add("responseCode", "0");
    frame.addJob(m);
    frame.addTransaction(m);
    m.add("nonce", nonce);
    m.add("nonce2", scrambleOctets(*script, QByteArray::fromStdString(nonce)));
    m.add("clientVersion", std::to_string(CLIENT_VERSION));
    QUESSEL_LOG(INFO) << "Completed action - initialize";
    return singleObjectAnswer(m);
}

// ---- card and slot listing ---------------------------------------------------------------------

void retrievePKCS11CardsFromSmartCards(std::vector<tev::smartcard::SmartCard>* modules,
                                       std::vector<tev::quessel::pkcs11::PKCS11Card>* out) {
    QUESSEL_LOG(INFO) << "Retrieving slotIDs for the smart cards";
    if (modules == nullptr || out == nullptr) return;
    for (const tev::smartcard::SmartCard& module : *modules) {
        try {
            // One job per module; the context (and the module lock it holds)
            // is released before the next module is loaded.
            tev::quessel::pkcs11::SignerContext context;
            context.driverName = module.libraryName;
            context.libraryPath = QString::fromStdWString(module.driverPathWide);
            tev::quessel::pkcs11::listAvailablePKCS11Slots(&context, out);
        } catch (int code) {
            QUESSEL_LOG(ERROR) << "Runtime error occurred " << code;
        } catch (const char* text) {
            QUESSEL_LOG(ERROR) << "Runtime error occurred " << (text != nullptr ? text : "");
        } catch (const std::runtime_error& error) {
            QUESSEL_LOG(ERROR) << "Runtime error occurred " << error.what();
        } catch (...) {
            QUESSEL_LOG(ERROR) << "Unknown error occurred";
        }
    }
}

void retrievePKCS11CardsFromSmartCards2(std::vector<tev::quessel::pcsc::SmartCard>* cards,
                                        std::vector<tev::quessel::pkcs11::PKCS11Card>* out) {
    if (cards == nullptr || out == nullptr) return;
    std::vector<std::string> cardTypesSeen;
    std::vector<tev::smartcard::SmartCard> modules;
    for (auto it = cards->begin(); it != cards->end();) {
        if (it->library == kAkisLibrary) {
            out->push_back(cardOfAkisReader(*it));
            it = cards->erase(it);
            continue;
        }
        if (std::find(cardTypesSeen.begin(), cardTypesSeen.end(), it->cardType) ==
            cardTypesSeen.end()) {
            cardTypesSeen.push_back(it->cardType);
            tev::smartcard::SmartCard module;
            module.libraryName = it->library;
            module.driverPathWide = it->driverPathWide;
            modules.push_back(module);
        }
        ++it;
    }
    if (!modules.empty()) retrievePKCS11CardsFromSmartCards(&modules, out);
}

std::string listCardTypeAndSlotsAsJSON(const QJsonObject& request) {
    const Frame frame = beginCommand(request, "Executing method listCardTypeAndSlots");

    std::vector<tev::quessel::pcsc::SmartCard> readers;
    tev::quessel::pcsc::listSmartCards(&readers);
    if (readers.empty()) {
        QUESSEL_LOG(INFO) << "No smartcard detected";
        return codedErrorAnswer(ERROR_NO_TERMINAL_FOUND, frame, true);
    }

    std::vector<tev::quessel::pkcs11::PKCS11Card> cards;
    retrievePKCS11CardsFromSmartCards2(&readers, &cards);
    if (cards.empty()) {
        QUESSEL_LOG(INFO) << "No smartcard detected";
        const std::string answer = codedErrorAnswer(ERROR_NO_TERMINAL_FOUND, frame, true);
        QUESSEL_LOG(INFO) << "Completed action - listCardTypeAndSlots";
        return answer;
    }
    removeDuplicateCards(&cards);

    std::string answer = "[";
    for (std::size_t i = 0; i < cards.size(); ++i) {
        QUESSEL_LOG(INFO) << cards[i].cardName << " at slot ID " << cards[i].slotId;
        if (i > 0) answer += ',';
        answer += cardListObject(cards[i], frame);
    }
    answer += "]";
    QUESSEL_LOG(INFO) << "Completed action - listCardTypeAndSlots";
    return answer;
}

// ---- certificate listing -----------------------------------------------------------------------

void listCertificatesOnProvidedSlot(const QString& modulePath, int slotId,
                                    std::vector<tev::x509::Certificate>* certificates) {
    tev::quessel::pkcs11::SignerContext context;
    context.libraryPath = modulePath;
    context.slotId = slotId;
    tev::quessel::pkcs11::listCertificatesOnSmartCardSlot(&context, certificates);
}

std::string listSignerCertificatesAsJSON(const QJsonObject& request) {
    const Frame frame = beginCommand(request, "Executing method listSignerCertificatesAsJSON");

    const std::string library = readText(request, "library");
    const bool akis = library == kAkisLibrary;
    const QString modulePath = modulePathOf(library);
    const std::string slotText = readText(request, "slotId");
    QUESSEL_LOG(INFO) << "Querying certificates with library " << shownText(library) << " at slotID "
                      << shownText(slotText);
    int slot = 0;
    if (!convertsToInteger(slotText, &slot)) {
        QUESSEL_LOG(ERROR) << "No slot information with ID " << shownText(slotText);
        return invalidSlotAnswer(frame);
    }

    std::vector<tev::x509::Certificate> certificates;
    try {
        if (akis) {
            QUESSEL_LOG(INFO) << "Retrieving certificates on AKIS device";
            const int result = tev::quessel::pcsc::listAKISCertificates(slot, &certificates);
            QUESSEL_LOG(INFO) << "Retrieved AKIS certificates with result: " << result;
        } else {
            listCertificatesOnProvidedSlot(modulePath, slot, &certificates);
        }
    } catch (int code) {
        QUESSEL_LOG(ERROR) << "Cannot query the list of certificates at slot ID " << shownText(slotText);
        return codedErrorAnswer(code, frame, false);
    }

    QUESSEL_LOG(INFO) << "Found " << certificates.size() << " certificates";
    if (certificates.empty()) {
        const std::string answer =
            codedErrorAnswer(ERROR_CERTIFICATE_NO_TRUSTED_CERT_FOUND, frame, false);
        QUESSEL_LOG(INFO) << "Completed retrieving certificates from the smart card";
        return answer;
    }

    // Certificates with a subject serial number first, then the one that
    // expires last.
    std::sort(certificates.begin(), certificates.end(), std::greater<tev::x509::Certificate>());

    std::string answer = "[";
    for (std::size_t i = 0; i < certificates.size(); ++i) {
        if (i > 0) answer += ',';
        answer += certificateListObject(certificates[i], frame);
    }
    answer += "]";
    QUESSEL_LOG(INFO) << "Completed retrieving certificates from the smart card";
    return answer;
}

// ---- signing commands ---------------------------------------------------------------------------

std::string signPKCS1AsJSON(const QJsonObject& request) {
    const Frame frame = beginCommand(request, "Executing method signPKCS1AsJSON");
    const CardAddress card = readCardAddress(request);
    const QByteArray digest = decodeBase64Lenient(readQText(request, "dataBase64"));
    QUESSEL_LOG(INFO) << "Digest Length: " << digest.size();

    QByteArray signature;
    const int code = signPKCS1(card.library, card.modulePath, card.pin, card.serialNumber,
                               card.slotId, digest, &signature);
    const std::string answer = signatureAnswer(frame, code, signature);
    QUESSEL_LOG(INFO) << "Completed signPKCS1";
    return answer;
}

std::string signCadesBesAsJSON(const QJsonObject& request) {
    const Frame frame = beginCommand(request, "Executing method signCadesBesAsJSON");
    const CardAddress card = readCardAddress(request);
    const QString dataText = readQText(request, "dataBase64");
    QUESSEL_LOG(INFO) << "Data to be signed is provided: " << (dataText.isEmpty() ? "false" : "true");
    const QByteArray data = decodeBase64Lenient(dataText);
    QUESSEL_LOG(INFO) << "Data Length: " << data.size();
    const bool attached = readFlag(request, "isAttached");
    QUESSEL_LOG(INFO) << "Attach data to CaDES Signature: " << (attached ? 1 : 0);
    const QDateTime signingTime = readSigningTime(request);
    const bool addSigningTime = readFlag(request, "addSigningTime");
    QUESSEL_LOG(INFO) << "Add Signing Time: " << (addSigningTime ? 1 : 0);
    const bool addSignaturePolicy = readFlag(request, "addSignaturePolicy");
    QUESSEL_LOG(INFO) << "Add Signature Policy: " << (addSignaturePolicy ? 1 : 0);
    const cades::SignatureProfile profile =
        readPolicyIfAsked<cades::SignatureProfile>(request, addSignaturePolicy);

    const std::string hexDer =
        signCaDES_BES(card.library, card.modulePath, card.pin, card.serialNumber, card.slotId,
                      addSigningTime, signingTime, addSignaturePolicy, profile, data, attached);
    const std::string answer = cadesAnswer(frame, hexDer);
    QUESSEL_LOG(INFO) << "Completed signCadesBesAsJSON";
    return answer;
}

std::string signCadesBesWithDigestAsJSON(const QJsonObject& request) {
    const Frame frame = beginCommand(request, "Executing method signCadesBesWithDigestAsJSON");
    const CardAddress card = readCardAddress(request);
    const QByteArray digest = decodeBase64Lenient(readQText(request, "dataBase64"));
    QUESSEL_LOG(INFO) << "Digest Length: " << digest.size();
    const QDateTime signingTime = readSigningTime(request);
    const bool addSigningTime = readFlag(request, "addSigningTime");
    QUESSEL_LOG(INFO) << "Add Signing Time: " << (addSigningTime ? 1 : 0);
    const bool addSignaturePolicy = readFlag(request, "addSignaturePolicy");
    QUESSEL_LOG(INFO) << "Add Signature Policy: " << (addSignaturePolicy ? 1 : 0);
    const cades::SignatureProfile profile =
        readPolicyIfAsked<cades::SignatureProfile>(request, addSignaturePolicy);

    const QByteArray digestHex = digest.toHex();
    const std::string hexDer = signCaDES_BES_WithDigestAsBase64(
        card.library, card.modulePath, card.pin, card.serialNumber, card.slotId, addSigningTime,
        signingTime, addSignaturePolicy, profile, digestHex.constData());
    const std::string answer = cadesAnswer(frame, hexDer);
    QUESSEL_LOG(INFO) << "Completed signCadesBesWithDigestAsJSON";
    return answer;
}

std::string signXadesBesEnvelopingAsJSON(const QJsonObject& request) {
    return signXades(request, false);
}

std::string signXadesBesEnvelopedAsJSON(const QJsonObject& request) {
    return signXades(request, true);
}

// ---- national identity card ---------------------------------------------------------------------

std::string listTCKKReadersAsJSON(const QJsonObject& request) {
    const Frame frame = beginCommand(request, "Executing method listTCKKReadersAsJSON");

    std::vector<tev::quessel::pcsc::SmartCard> readers;
    tev::quessel::pcsc::listTCKKReaders(&readers);
    if (readers.empty()) {
        QUESSEL_LOG(INFO) << "No smartcard detected";
        return codedErrorAnswer(ERROR_NO_TERMINAL_FOUND, frame, true);
    }

    std::string answer = "[";
    for (std::size_t i = 0; i < readers.size(); ++i) {
        const tev::quessel::pcsc::SmartCard& reader = readers[i];
        Members m;
        m.add("responseCode", "0");
        frame.addTransaction(m);
        frame.addJob(m);
        m.add("nonce", generateNonce());
        m.add("terminal", base64Of(reader.readerName));
        m.add("slotId", base64Of(std::to_string(reader.slot)));
        m.add("smartCardType", base64Of(std::string(kTckkCardType)));
        m.add("providesPINReader", base64OfFlag(reader.providesPINReader));
        m.add("isCardInserted", base64OfFlag(reader.isCardInserted));
        m.add("cardType", base64Of(reader.readerName));
        if (i > 0) answer += ',';
        answer += m.object();
    }
    answer += "]";
    QUESSEL_LOG(INFO) << "Completed action - listTCKKReadersAsJSON";
    return answer;
}

std::string retrieveTCKKCertificateFromReaderAsJSON(const QJsonObject& request) {
    const Frame frame = beginCommand(request, "Executing method retrieveTCKKCertificate");
    const std::string slotText = readText(request, "slotId");
    QUESSEL_LOG(INFO) << "Querying TCKK certificate at slotID " << shownText(slotText);
    int slot = 0;
    if (!convertsToInteger(slotText, &slot)) {
        QUESSEL_LOG(ERROR) << "No slot information with ID " << shownText(slotText);
        return invalidSlotAnswer(frame);
    }

    // A failed or empty read is answered with the card's code (or 34 when the
    // card claimed success but gave no certificate); the parser never sees
    // empty or partial bytes.
    tev::x509::Certificate certificate;
    int failure = 0;
    try {
        QByteArray der;
        const int result = tev::quessel::pcsc::retrieveTCKKCertificate(slot, &der);
        if (result != 0)
            failure = result;
        else if (der.isEmpty() || tev::x509::buildCertificateFromData(der, &certificate) != 0 ||
                 certificate.x509 == nullptr)
            failure = ERROR_CANNOT_PARSE_CERTIFICATE_INFORMATION;
    } catch (int code) {
        failure = code;
    }
    if (failure != 0) {
        QUESSEL_LOG(ERROR) << "Cannot query the list of certificates at slot ID " << shownText(slotText);
        return codedErrorAnswer(failure, frame, false);
    }

    const std::string answer = "[" + identityCertificateObject(certificate, frame) + "]";
    QUESSEL_LOG(INFO) << "Completed retrieving certificates from the smart card";
    return answer;
}

std::string signWithTCKKCertificateAsJSON(const QJsonObject& request) {
    const Frame frame = beginCommand(request, "Executing method signWithTCKKCertificateAsJSON");
    const std::string pin = readText(request, "pincode");
    // Not a number: leaves the command (answered 12 by the dispatcher).
    const int slot = toIntegerLikeStoi(readText(request, "slotId"));
    QUESSEL_LOG(INFO) << "Slot ID: " << slot;

    int algorithm = 2;
    if (request.contains(QLatin1String("algorithmID"))) {
        const int requested = readWholeNumber(request.value(QLatin1String("algorithmID")));
        algorithm = (requested >= 1 && requested <= 3) ? requested : 2;
    }
    const QByteArray data = decodeBase64Lenient(readQText(request, "dataBase64"));
    QUESSEL_LOG(INFO) << "Digest Length: " << data.size();

    QByteArray signature;
    const int code =
        tev::quessel::pcsc::signWithTCKKCertificate(slot, algorithm, pin, data, &signature);
    // A failed signing hands out no bytes.
    if (code != 0) signature.clear();
    const std::string answer = signatureAnswer(frame, code, signature);
    QUESSEL_LOG(INFO) << "Completed signWithTCKKCertificate";
    return answer;
}

// ---- card monitoring ----------------------------------------------------------------------------

std::string monitorCardEventsAsJSON(const QJsonObject& request) {
    const Frame frame = beginCommand(request, "Executing method monitorCardEventsAsJSON");
    const std::string durationText = readText(request, "duration");
    QUESSEL_LOG(INFO) << "Monitoring smartcard activity for " << shownText(durationText) << " seconds";

    int duration = 0;
    Members m;
    if (!convertsToInteger(durationText, &duration)) {
        QUESSEL_LOG(ERROR) << "Invalid duration information " << shownText(durationText);
        m.add("responseCode", std::to_string(ERROR_INVALID_SLOT_ID));
        frame.addTransaction(m);
        m.add("nonce", generateNonce());
        frame.addJob(m);
        m.add("errorMessage", "invalid durationInSeconds");
        return singleObjectAnswer(m);
    }

    m.add("responseCode", "0");
    frame.addTransaction(m);
    m.add("nonce", generateNonce());
    frame.addJob(m);
    m.add("monitoringResult", base64Of(std::string("0")));
    QUESSEL_LOG(INFO) << "Completed monitorCardEventsAsJSON";
    return singleObjectAnswer(m);
}

}  // namespace quessel
}  // namespace tev
