// The certificate record every layer passes around, the reader that fills it
// from DER or from a parsed OpenSSL certificate, and the accessors that hand
// out certificate data to the signature formats and the commands.
//
// Every accessor taking an `X509*` accepts a null pointer and then returns
// empty text / empty bytes / 0, so a record whose certificate could not be
// read is safe to pass anywhere.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QList>
#include <QString>
#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <openssl/asn1.h>
#include <openssl/x509.h>

// Set once the crypto library's algorithms are registered for this process.
extern std::atomic<bool> openSSLInitialized;
// Registers the crypto library's algorithms, ciphers and digests once per
// process (thread-safe; later calls do nothing).
void initializeOpenSSL();

namespace tev {
namespace datetime {

// A broken-down validity time; month counts from 0, year is the full year.
struct dt {
    std::int32_t second = 0;
    std::int32_t minute = 0;
    std::int32_t hour = 0;
    std::int32_t day = 0;
    std::int32_t month = 0;
    std::int32_t year = 0;
};

}  // namespace datetime

namespace x509 {

using ::initializeOpenSSL;
using ::openSSLInitialized;

// One certificate. Value semantics: copies duplicate texts, lists and the `id`
// bytes and share the parsed certificate (reference counted); the parsed
// certificate is freed with the last record referring to it.
struct Certificate {
    std::string label;                     // CKA_LABEL of the token object; empty over PC/SC
    unsigned char* id = nullptr;           // CKA_ID bytes, owned; allocate with malloc (freed with free)
    std::uint64_t idLength = 0;            // bytes in `id`
    std::int32_t version = 0;              // encoded version + 1
    std::string serialNumber;              // decimal, "-" in front when negative
    std::string issuer;                    // "CN=..,O=..,C=.." (last name entry first)
    std::string issuerCommonName;          // issuer CN or empty
    std::string subject;                   // subject values, each followed by one blank
    std::string subjectIdentityNumber;     // subject serialNumber attribute or empty
    std::string subjectNameSurname;        // subject CN or empty
    std::string signature;                 // Base64 of the signature bits
    std::string signatureAlgorithm;        // long name, e.g. sha256WithRSAEncryption
    std::string sha1Digest;                // Base64 of SHA-1 of the DER
    std::string notBefore;                 // "YYYY-MM-DD hh:mm:ss GMT"
    std::uint64_t notBeforeInMilliseconds = 0;  // for ordering only
    std::string notAfter;                  // same form as notBefore
    std::uint64_t notAfterInMilliseconds = 0;   // for ordering only
    std::string publicKeyType;             // "RSA", "DSA", "DH", "ECC" or empty
    std::uint32_t publicKeySize = 0;       // bits (EC: field degree)
    std::string publicKeyECCurveName;      // e.g. prime256v1; ECC keys only
    std::string reservedText1;
    std::string reservedText2;
    std::vector<std::string> ocspUrls;     // always empty
    std::vector<std::string> crlUrls;      // CRL distribution point names, in order
    bool reservedFlag = false;
    bool isExpired = true;                 // now outside [notBefore, notAfter]
    std::int32_t reservedNumber = 0;
    X509* x509 = nullptr;                  // parsed certificate; one reference owned by the record
    std::int32_t reservedMarker = -1;

    Certificate() = default;
    Certificate(const Certificate& other);
    Certificate(Certificate&& other) noexcept;
    Certificate& operator=(const Certificate& other);
    Certificate& operator=(Certificate&& other) noexcept;
    ~Certificate();
};

// Sorting order of certificate lists (used through std::greater, so lists come
// out descending): a certificate with a subject identity number goes before one
// without; otherwise the later notAfter goes first.
bool operator>(const Certificate& a, const Certificate& b);

// ---- reading a certificate ----------------------------------------------------

// Parses `der` as one DER certificate and fills `certificate`. Returns 0 on
// success; non-zero when the bytes are not one certificate (the record then
// holds no certificate: every member but label/id/idLength is reset to the
// construction defaults, so isExpired is true).
int buildCertificateFromData(const QByteArray& der, Certificate* certificate);

// Fills every member but label/id/idLength from `x509`. The record takes over
// the caller's reference to `x509` (the caller must not free it). Returns 0;
// non-zero when `x509` is null (the record is then reset as above) or
// `certificate` is null (`x509` is then freed).
int pkcs11CertToX509Cert(X509* x509, Certificate* certificate);
// By-value variant; takes over the reference the same way.
Certificate pkcs11CertToX509Cert(X509* x509);

// Sets certificate->isExpired from its notBefore/notAfter texts and the current
// UTC time; a text that does not read as a time counts as expired.
void setIfCertificateIsExpired(Certificate* certificate);

int getCertificateVersion(X509* x509);
std::string getSerialNumber(X509* x509);
std::string getSubjectAsOneLine(X509* x509);
std::string getSubjectIdentityNumber(X509* x509);
std::string getSubjectNameSurname(X509* x509);
std::string getIssuerAsOneLineFormatted(X509* x509);
std::string getIssuerCommonName(X509* x509);
std::string getSignatureBase64(X509* x509);
std::string getSignatureAlgorithm(X509* x509);
std::string getSHA1Digest(X509* x509);
// Empty text when the time is malformed.
std::string getNotBeforeAsString(X509* x509);
std::string getNotAfterAsString(X509* x509);
// Milliseconds since 1970-01-01T00:00:00Z; 0 when the time is malformed.
std::uint64_t getNotBeforeInMillisecods(X509* x509);
std::uint64_t getNotAfterInMillisecods(X509* x509);
std::string getPublicKeyType(X509* x509);
std::uint32_t getPublicKeySize(X509* x509);
std::string getPublicKeyECCurveName(X509* x509);
std::vector<std::string> getOCSP_Urls(X509* x509);
std::vector<std::string> getCRL_Urls(X509* x509);

// ---- data for the signature formats ---------------------------------------------

// DER as lower-case hex text, two digits per byte.
std::string toHex(X509* x509);
// DER as Base64 (standard alphabet, "=" padding, no line breaks).
std::string toBase64(X509* x509);
// Points *der at the DER of the issuer Name held inside `x509` (not a copy; it
// lives as long as the certificate) and sets *length; null and 0 for no certificate.
void getIssuerAttributesDataAsHex(X509* x509, char** der, int* length);
// SHA-256 (32 bytes) of the DER.
QByteArray calculateDigestSHA256(X509* x509);
std::string getSHA256DigestAsBase64(X509* x509);
// Base64 of the RSA modulus / public exponent (unsigned big-endian, no leading
// zero bytes); empty for a key that is not RSA.
std::string getPublicKeyModulus(X509* x509);
std::string getPublicKeyExponent(X509* x509);
// Splits a certificate DER into the DER of its subject Name, issuer Name and
// serial INTEGER. False when the bytes are not a certificate.
bool extractSubjectIssuerSerialDerFromCertDer(const QByteArray& certificateDer, QByteArray* subjectDer,
                                              QByteArray* issuerDer, QByteArray* serialDer);

// ---- further accessors ----------------------------------------------------------

QByteArray toByteArray(X509* x509);
// *digest receives a new 32-byte block (release with free()); *length = 32.
void getSHA256Digest(X509* x509, unsigned char** digest, std::uint32_t* length);
// First certificate of a PEM text, or null (caller frees with X509_free).
X509* fromPEM(const char* pem);
int verify(X509* x509);
// Builds an RSA public key from unsigned big-endian modulus and exponent and
// writes its SubjectPublicKeyInfo DER into *publicKeyDer.
bool rsaPublicKeyDerFromModExp(const QByteArray& modulus, const QByteArray& exponent, QByteArray* publicKeyDer);
// The issuer name held by the certificate (not a copy).
X509_NAME* getIssuer(X509* x509);
std::string getIssuerAsOneLine(X509* x509);
std::map<std::string, std::string> getIssuerAsMap(X509* x509);
std::map<std::string, std::string> getSubjectAsMap(X509* x509);
std::map<std::string, std::string> X509NameAsMap(const X509_NAME* name);
std::string getIssuerOrganizationName(X509* x509);
std::string getIssuerCountryName(X509* x509);
std::string getIssuerOrganizationalUnitName(X509* x509);
std::string X509NameAsString(const X509_NAME* name);
// Value as UTF-8; empty when it cannot be converted.
std::string asn1string(const ASN1_STRING* value);
// Bytes as upper-case hex.
std::string asn1int(const ASN1_STRING* value);
// Reads a UTCTime / GeneralizedTime (month counted from 0). Returns false, with
// the outputs untouched, when the time is malformed.
bool asn1dateparse(const ASN1_TIME* time, int* year, int* month, int* day, int* hour, int* minute,
                   int* second);
// "YYYY-MM-DD hh:mm:ss GMT", empty when malformed.
std::string asn1datetime_isodatetime(const ASN1_TIME* time);
// Milliseconds since the epoch (UTC), 0 when malformed.
std::uint64_t asn1datetime_isodatetimeInMilliseconds(const ASN1_TIME* time);
// "YYYY-MM-DD", empty when malformed.
std::string asn1date_isodate(const ASN1_TIME* time);

// ---- certificate list as JSON -----------------------------------------------------

// Describes each readable certificate of `certificates` (DER) as a JSON object
// and ties it to its holder by HMAC-SHA256(key, identity number digits).
// False with `error` set when the number has not 11 digits or the key is empty.
bool buildCertificateSchemaJson(const QList<QByteArray>& certificates, const QString& tokenSerial,
                                const QString& deviceIdentifier, const QString& identityNumber,
                                const QByteArray& hmacKey, QJsonArray& result, QString& error);

}  // namespace x509
}  // namespace tev

// Free helpers of the certificate module.
bool asn1TimeToTevDate(const ASN1_TIME* time, tev::datetime::dt* date);
int checkRootCertificates();
// Verifies the certificate's signature with the issuer's public key: 1 valid,
// 0 invalid, negative on error.
int checkCertWithIssuerCert(const char* certificatePem, const char* issuerCertificatePem);
int checkCertWithIssuerCert(X509* certificate, X509* issuerCertificate);
// Always a null QDateTime.
QDateTime getNotBeforeAsQDateTime(X509* x509);
QDateTime getNotAfterAsQDateTime(X509* x509);
