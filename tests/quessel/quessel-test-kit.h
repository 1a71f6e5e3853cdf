// Shared pieces of the command-layer tests: request building, answer
// normalisation (nonces checked, then replaced by a marker so whole answers
// can be compared as text), expected certificate fields computed with OpenSSL
// on its own, and the command-line verifiers.
#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <string>
#include <vector>

namespace quesseltest {

// The nonce marker that normalised answers carry in place of each nonce.
constexpr const char* kNonce = "<NONCE>";

// Replaces the value of every "nonce" member by kNonce after checking it is a
// fresh response nonce (141 characters, step digit, verifyNonce) and that no
// two objects share one. *count (optional) receives the number of nonces.
std::string normalised(const std::string& answer, int* count = nullptr);

// The answer parsed as a JSON array (test fails when it does not parse).
QJsonArray parsed(const std::string& answer);

// Values of a member in every object of an answer, in order.
std::vector<std::string> valuesOf(const std::string& answer, const char* member);

std::string b64(const std::string& text);
std::string b64(const QByteArray& bytes);
QByteArray unb64(const std::string& text);

// ---- certificates, described by OpenSSL alone -------------------------------------

struct ExpectedCertificate {
    std::string hex;                // DER, lower-case hex
    std::string serial;             // decimal
    std::string issuer;             // entries last to first, "SN=value" joined by ","
    std::string issuerCommonName;
    std::string subject;            // values first to last, each followed by a blank
    std::string subjectCommonName;
    std::string subjectSerialNumber;
    std::string notBefore;          // "YYYY-MM-DD hh:mm:ss GMT"
    std::string notAfter;
    std::int64_t notAfterSeconds = 0;
    bool expired = false;
};
ExpectedCertificate describe(const QByteArray& der);

// The object of "listSignerCertificatesAsJSON" (withIssuerCommonName) or of
// "retrieveTCKKCertificate" for a certificate, nonce as kNonce.
std::string certificateObject(const ExpectedCertificate& c, const std::string& transactionUUID,
                              const std::string& jobUUID, bool withIssuerCommonName);

// ---- tools --------------------------------------------------------------------------

struct ToolRun {
    int exitCode = -1;
    std::string output;  // standard output and error
};
ToolRun runTool(const QString& program, const QStringList& arguments);
bool toolAvailable(const char* name);

// A new file in the private folder holding the bytes; returns its path.
QString writeTemporary(const QString& name, const QByteArray& bytes);

// openssl cms -verify -cades -binary -inform DER (with -content for detached).
ToolRun verifyCades(const QByteArray& cms, const QString& caFile, const QByteArray* detached);
// openssl pkeyutl -verify over a SHA-256 digest with the certificate's key.
ToolRun verifyPkcs1(const QByteArray& digest, const QByteArray& signature, const QString& certPem);
// xmlsec1 --verify with the XAdES SignedProperties Id attribute.
ToolRun verifyXades(const QByteArray& document, const QString& caFile);

QByteArray sha256(const QByteArray& data);

// ---- log ------------------------------------------------------------------------------

// Keeps the whole log of the program (no emptying at 10000 bytes).
void keepWholeLog();
std::string logText();
bool logHas(const std::string& text);

}  // namespace quesseltest
