// Makes X.509 certificates at run time for the certificate tests: chosen keys,
// names (with their string types), serials, validity times written as raw
// UTCTime/GeneralizedTime text (also malformed ones) and CRL distribution
// points of every general-name kind.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <memory>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace certfactory {

struct PkeyFree { void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); } };
struct X509Free { void operator()(X509* x509) const { X509_free(x509); } };
using Key = std::shared_ptr<EVP_PKEY>;
using Cert = std::unique_ptr<X509, X509Free>;

Key rsaKey(int bits);
Key ecKey(const char* curveName);
// Keys are slow to make; the tests share one of each.
Key sharedRsa2048();
Key sharedP256();

struct NameEntry {
    std::string field;        // "C", "O", "CN", "serialNumber", "OU", ...
    std::string value;        // UTF-8 text, or raw bytes when `stringType` is a V_ASN1_ type
    int stringType = -1;      // -1: MBSTRING_UTF8 (the library picks the type); else raw type
};

enum class CrlKinds { None, Uris, EveryKind };

struct Recipe {
    std::vector<NameEntry> subject;
    std::vector<NameEntry> issuer;      // used when no issuer certificate is given
    X509* issuerCertificate = nullptr;  // takes the issuer name from it
    std::string serialDecimal = "1";    // may start with "-"
    // Raw ASN.1 time text; the type follows the length (13 UTCTime, else
    // GeneralizedTime) unless given.
    std::string notBefore = "250101000000Z";
    std::string notAfter = "351231235959Z";
    int notBeforeType = 0;
    int notAfterType = 0;
    Key subjectKey;                     // default: the shared RSA key
    Key signingKey;                     // default: the subject key
    CrlKinds crl = CrlKinds::None;
    std::vector<std::string> crlUris = {"http://crl.example.test/one.crl"};
    bool version1 = false;
};

Cert make(const Recipe& recipe);
QByteArray der(X509* x509);
Cert parse(const QByteArray& der);
// "YYMMDDhhmmssZ" / "YYYYMMDDhhmmssZ" of a UTC time.
std::string utcTime(const QDateTime& utc);
std::string generalizedTime(const QDateTime& utc);

}  // namespace certfactory
