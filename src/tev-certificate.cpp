#include "tev-certificate.h"

#include "tev-commons.h"
#include "tev-logging.h"

#include <QCryptographicHash>
#include <QDate>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QTime>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>

std::atomic<bool> openSSLInitialized{false};

void initializeOpenSSL() {
    static std::once_flag once;
    std::call_once(once, [] {
        // The token layer may have registered the algorithms on its own path.
        if (openSSLInitialized.load())
            return;
        LOG(INFO) << "Certificate : " << "Initializing OpenSSL";
        OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS |
                                OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                            nullptr);
        openSSLInitialized.store(true);
        LOG(INFO) << "Certificate : " << "Completed initializing OpenSSL";
    });
}

namespace {

// RAII owners for what the crypto library hands out.
struct BignumFree { void operator()(BIGNUM* p) const { BN_free(p); } };
struct OpensslFree { void operator()(void* p) const { OPENSSL_free(p); } };
struct BioFree { void operator()(BIO* p) const { BIO_free(p); } };
struct PkeyFree { void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); } };
struct PkeyCtxFree { void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); } };
struct EcGroupFree { void operator()(EC_GROUP* p) const { EC_GROUP_free(p); } };
struct ParamFree { void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); } };
struct ParamBldFree { void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); } };
struct X509Free { void operator()(X509* p) const { X509_free(p); } };
struct DistPointsFree {
    void operator()(STACK_OF(DIST_POINT)* p) const { sk_DIST_POINT_pop_free(p, DIST_POINT_free); }
};

using Bignum = std::unique_ptr<BIGNUM, BignumFree>;
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Owner = std::unique_ptr<X509, X509Free>;

unsigned char* duplicateBytes(const unsigned char* bytes, std::uint64_t length) {
    if (!bytes || length == 0)
        return nullptr;
    auto* copy = static_cast<unsigned char*>(std::malloc(length));
    if (copy)
        std::memcpy(copy, bytes, length);
    return copy;
}

QByteArray derOf(X509* x509) {
    if (!x509)
        return QByteArray();
    unsigned char* buffer = nullptr;
    const int length = i2d_X509(x509, &buffer);
    if (length <= 0 || !buffer)
        return QByteArray();
    QByteArray der(reinterpret_cast<const char*>(buffer), length);
    OPENSSL_free(buffer);
    return der;
}

std::string upperHex(const unsigned char* bytes, int length) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(static_cast<size_t>(length > 0 ? length : 0) * 2);
    for (int i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

std::string base64Of(const QByteArray& bytes) {
    return base64_encode(reinterpret_cast<const unsigned char*>(bytes.constData()),
                         static_cast<unsigned int>(bytes.size()));
}

// Short name of an attribute type; the dotted OID for a type the crypto library
// does not know.
std::string attributeShortName(const ASN1_OBJECT* object) {
    const int nid = OBJ_obj2nid(object);
    if (nid != NID_undef) {
        if (const char* shortName = OBJ_nid2sn(nid))
            return shortName;
    }
    char buffer[128];
    const int length = OBJ_obj2txt(buffer, sizeof buffer, object, 1);
    return length > 0 ? std::string(buffer) : std::string();
}

// --- validity times ---------------------------------------------------------

bool allDigits(const unsigned char* text, int from, int to) {
    for (int i = from; i < to; ++i)
        if (text[i] < '0' || text[i] > '9')
            return false;
    return true;
}

int twoDigits(const unsigned char* text, int at) { return (text[at] - '0') * 10 + (text[at + 1] - '0'); }

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month1to12) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month1to12 == 2 && isLeapYear(year) ? 29 : days[month1to12 - 1];
}

// Reads a UTCTime (YYMMDDhhmmss...) or GeneralizedTime (YYYYMMDDhhmmss...) after
// checking that the digits are there and the fields are in range; anything
// after the seconds (fraction, zone) is ignored and the time is taken as UTC.
bool parseAsn1Time(const ASN1_TIME* time, tev::datetime::dt* out) {
    if (!time)
        return false;
    const unsigned char* text = ASN1_STRING_get0_data(time);
    const int length = ASN1_STRING_length(time);
    if (!text || length <= 0)
        return false;
    tev::datetime::dt parsed;
    int at = 0;
    switch (ASN1_STRING_type(time)) {
    case V_ASN1_UTCTIME: {
        if (length < 12 || !allDigits(text, 0, 12))
            return false;
        const int yy = twoDigits(text, 0);
        parsed.year = yy >= 70 ? 1900 + yy : 2000 + yy;
        at = 2;
        break;
    }
    case V_ASN1_GENERALIZEDTIME:
        if (length < 14 || !allDigits(text, 0, 14))
            return false;
        parsed.year = twoDigits(text, 0) * 100 + twoDigits(text, 2);
        at = 4;
        break;
    default:
        return false;
    }
    const int month = twoDigits(text, at);
    parsed.day = twoDigits(text, at + 2);
    parsed.hour = twoDigits(text, at + 4);
    parsed.minute = twoDigits(text, at + 6);
    parsed.second = twoDigits(text, at + 8);
    if (month < 1 || month > 12 || parsed.day < 1 || parsed.day > daysInMonth(parsed.year, month) ||
        parsed.hour > 23 || parsed.minute > 59 || parsed.second > 59)
        return false;
    parsed.month = month - 1;
    *out = parsed;
    return true;
}

std::string formatDateTime(const tev::datetime::dt& t) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d GMT", t.year, t.month + 1, t.day, t.hour,
                  t.minute, t.second);
    return buffer;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t daysFromCivil(std::int64_t year, int month1to12, int day) {
    year -= month1to12 <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const int shiftedMonth = month1to12 > 2 ? month1to12 - 3 : month1to12 + 9;
    const std::int64_t dayOfYear = (153 * shiftedMonth + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// Milliseconds since the epoch (UTC); times before 1970 give 0 so that they
// still order before every later time.
std::uint64_t millisecondsSinceEpoch(const tev::datetime::dt& t) {
    const std::int64_t seconds =
        daysFromCivil(t.year, t.month + 1, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
    return seconds > 0 ? static_cast<std::uint64_t>(seconds) * 1000u : 0u;
}

// Reads back a "YYYY-MM-DD hh:mm:ss GMT" text as a UTC date-time; invalid when
// the text is not of that form.
QDateTime utcFromValidityText(const std::string& text) {
    // The form this file writes, read directly: Qt's format parser costs more
    // than the rest of a certificate record, and every signing checks the
    // validity of each certificate on the token.
    static const char kForm[] = "0000-00-00 00:00:00 GMT";
    if (text.size() == sizeof kForm - 1) {
        bool canonical = true;
        for (std::size_t i = 0; i < text.size() && canonical; ++i)
            canonical = kForm[i] == '0' ? (text[i] >= '0' && text[i] <= '9') : text[i] == kForm[i];
        if (canonical) {
            auto number = [&text](std::size_t at, std::size_t digits) {
                int value = 0;
                for (std::size_t i = at; i < at + digits; ++i) value = value * 10 + (text[i] - '0');
                return value;
            };
            const QDate date(number(0, 4), number(5, 2), number(8, 2));
            const QTime time(number(11, 2), number(14, 2), number(17, 2));
            if (date.isValid() && time.isValid()) return QDateTime(date, time, Qt::UTC);
        }
    }
    QString value = QString::fromStdString(text);
    value.remove(QStringLiteral(" GMT"));
    const QStringList parts = value.split(QLatin1Char(' '));
    if (parts.size() != 2)
        return QDateTime();
    const QDate date = QDate::fromString(parts[0], QStringLiteral("yyyy-MM-dd"));
    const QTime time = QTime::fromString(parts[1], QStringLiteral("HH:mm:ss"));
    if (!date.isValid() || !time.isValid())
        return QDateTime();
    return QDateTime(date, time, Qt::UTC);
}

// --- names ----------------------------------------------------------------

template <typename Visit>
void forEachNameEntry(const X509_NAME* name, Visit visit) {
    if (!name)
        return;
    const int count = X509_NAME_entry_count(name);
    for (int i = 0; i < count; ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        if (entry)
            visit(X509_NAME_ENTRY_get_object(entry), X509_NAME_ENTRY_get_data(entry));
    }
}

std::string nameAttribute(const X509_NAME* name, const char* shortName) {
    const std::map<std::string, std::string> attributes = tev::x509::X509NameAsMap(name);
    const auto found = attributes.find(shortName);
    return found == attributes.end() ? std::string() : found->second;
}

// --- public key -------------------------------------------------------------

std::uint32_t bignumParameterBits(const EVP_PKEY* key, const char* parameter) {
    BIGNUM* raw = nullptr;
    if (!EVP_PKEY_get_bn_param(key, parameter, &raw) || !raw)
        return 0;
    Bignum number(raw);
    return static_cast<std::uint32_t>(BN_num_bits(number.get()));
}

std::string bignumParameterBase64(const EVP_PKEY* key, const char* parameter) {
    BIGNUM* raw = nullptr;
    if (!EVP_PKEY_get_bn_param(key, parameter, &raw) || !raw)
        return std::string();
    Bignum number(raw);
    QByteArray bytes(BN_num_bytes(number.get()), '\0');
    BN_bn2bin(number.get(), reinterpret_cast<unsigned char*>(bytes.data()));
    return base64Of(bytes);
}

// The key's EC group, for named and explicit curves alike.
std::unique_ptr<EC_GROUP, EcGroupFree> ecGroupOf(EVP_PKEY* key) {
    OSSL_PARAM* raw = nullptr;
    if (EVP_PKEY_todata(key, EVP_PKEY_KEY_PARAMETERS, &raw) != 1 || !raw)
        return nullptr;
    std::unique_ptr<OSSL_PARAM, ParamFree> parameters(raw);
    return std::unique_ptr<EC_GROUP, EcGroupFree>(EC_GROUP_new_from_params(parameters.get(), nullptr, nullptr));
}

bool isRsaKey(const EVP_PKEY* key) { return key && EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA; }

// Every member a reader fills, cleared so a record that failed to read holds
// no certificate and nothing taken from an earlier one.
void resetCertificateMembers(tev::x509::Certificate* certificate) {
    tev::x509::Certificate fresh;
    std::swap(fresh.label, certificate->label);
    std::swap(fresh.id, certificate->id);
    std::swap(fresh.idLength, certificate->idLength);
    *certificate = std::move(fresh);
}

}  // namespace

namespace tev {
namespace x509 {

// --- record value semantics ---------------------------------------------------

namespace {

void swapMembers(Certificate& a, Certificate& b) noexcept {
    using std::swap;
    swap(a.label, b.label);
    swap(a.id, b.id);
    swap(a.idLength, b.idLength);
    swap(a.version, b.version);
    swap(a.serialNumber, b.serialNumber);
    swap(a.issuer, b.issuer);
    swap(a.issuerCommonName, b.issuerCommonName);
    swap(a.subject, b.subject);
    swap(a.subjectIdentityNumber, b.subjectIdentityNumber);
    swap(a.subjectNameSurname, b.subjectNameSurname);
    swap(a.signature, b.signature);
    swap(a.signatureAlgorithm, b.signatureAlgorithm);
    swap(a.sha1Digest, b.sha1Digest);
    swap(a.notBefore, b.notBefore);
    swap(a.notBeforeInMilliseconds, b.notBeforeInMilliseconds);
    swap(a.notAfter, b.notAfter);
    swap(a.notAfterInMilliseconds, b.notAfterInMilliseconds);
    swap(a.publicKeyType, b.publicKeyType);
    swap(a.publicKeySize, b.publicKeySize);
    swap(a.publicKeyECCurveName, b.publicKeyECCurveName);
    swap(a.reservedText1, b.reservedText1);
    swap(a.reservedText2, b.reservedText2);
    swap(a.ocspUrls, b.ocspUrls);
    swap(a.crlUrls, b.crlUrls);
    swap(a.reservedFlag, b.reservedFlag);
    swap(a.isExpired, b.isExpired);
    swap(a.reservedNumber, b.reservedNumber);
    swap(a.x509, b.x509);
    swap(a.reservedMarker, b.reservedMarker);
}

}  // namespace

Certificate::Certificate(const Certificate& other)
    : label(other.label),
      id(duplicateBytes(other.id, other.idLength)),
      idLength(id ? other.idLength : 0),
      version(other.version),
      serialNumber(other.serialNumber),
      issuer(other.issuer),
      issuerCommonName(other.issuerCommonName),
      subject(other.subject),
      subjectIdentityNumber(other.subjectIdentityNumber),
      subjectNameSurname(other.subjectNameSurname),
      signature(other.signature),
      signatureAlgorithm(other.signatureAlgorithm),
      sha1Digest(other.sha1Digest),
      notBefore(other.notBefore),
      notBeforeInMilliseconds(other.notBeforeInMilliseconds),
      notAfter(other.notAfter),
      notAfterInMilliseconds(other.notAfterInMilliseconds),
      publicKeyType(other.publicKeyType),
      publicKeySize(other.publicKeySize),
      publicKeyECCurveName(other.publicKeyECCurveName),
      reservedText1(other.reservedText1),
      reservedText2(other.reservedText2),
      ocspUrls(other.ocspUrls),
      crlUrls(other.crlUrls),
      reservedFlag(other.reservedFlag),
      isExpired(other.isExpired),
      reservedNumber(other.reservedNumber),
      x509(other.x509),
      reservedMarker(other.reservedMarker) {
    if (x509)
        X509_up_ref(x509);
}

Certificate::Certificate(Certificate&& other) noexcept { swapMembers(*this, other); }

Certificate& Certificate::operator=(const Certificate& other) {
    if (this != &other) {
        Certificate copy(other);
        swapMembers(*this, copy);
    }
    return *this;
}

Certificate& Certificate::operator=(Certificate&& other) noexcept {
    if (this != &other) {
        // Take everything over; what this record held dies with `taken`.
        Certificate taken(std::move(other));
        swapMembers(*this, taken);
    }
    return *this;
}

Certificate::~Certificate() {
    std::free(id);
    if (x509)
        X509_free(x509);
}

bool operator>(const Certificate& a, const Certificate& b) {
    const bool aHasNumber = !a.subjectIdentityNumber.empty();
    const bool bHasNumber = !b.subjectIdentityNumber.empty();
    if (aHasNumber != bHasNumber)
        return aHasNumber;
    return a.notAfterInMilliseconds > b.notAfterInMilliseconds;
}

// --- reading ------------------------------------------------------------------

int buildCertificateFromData(const QByteArray& der, Certificate* certificate) {
    LOG(INFO) << "Certificate : " << "######## Calling method #########";
    LOG(INFO) << "Certificate : " << "-- Parsing certificate data";
    initializeOpenSSL();
    int result = 1;
    if (certificate) {
        const unsigned char* cursor = reinterpret_cast<const unsigned char*>(der.constData());
        X509* parsed = der.isEmpty() ? nullptr : d2i_X509(nullptr, &cursor, der.size());
        if (parsed) {
            result = pkcs11CertToX509Cert(parsed, certificate);
        } else {
            LOG(ERROR) << "Certificate : " << "Data of " << der.size() << " bytes is not a DER certificate";
            resetCertificateMembers(certificate);
        }
    }
    LOG(INFO) << "Certificate : " << "-- Completed parsing of the certificate with " << result;
    return result;
}

int pkcs11CertToX509Cert(X509* x509, Certificate* certificate) {
    if (!certificate) {
        if (x509)
            X509_free(x509);
        return 1;
    }
    if (!x509) {
        LOG(ERROR) << "Certificate : " << "No parsed certificate to read";
        resetCertificateMembers(certificate);
        return 1;
    }
    if (certificate->x509 && certificate->x509 != x509)
        X509_free(certificate->x509);
    certificate->x509 = x509;

    LOG(INFO) << "Certificate : " << "------------    Certificate Information     -------------";
    certificate->version = getCertificateVersion(x509);
    LOG(INFO) << "Certificate : " << "Version: " << certificate->version;
    certificate->serialNumber = getSerialNumber(x509);
    LOG(INFO) << "Certificate : " << "Serial number: " << certificate->serialNumber;
    certificate->subject = getSubjectAsOneLine(x509);
    LOG(INFO) << "Certificate : " << "Subject in one line: " << certificate->subject;
    certificate->subjectIdentityNumber = getSubjectIdentityNumber(x509);
    LOG(INFO) << "Certificate : " << "Subject Identity Number: " << certificate->subjectIdentityNumber;
    certificate->subjectNameSurname = getSubjectNameSurname(x509);
    LOG(INFO) << "Certificate : " << "Subject Name Surname: " << certificate->subjectNameSurname;
    certificate->issuer = getIssuerAsOneLineFormatted(x509);
    LOG(INFO) << "Certificate : " << "Issuer: " << certificate->issuer;
    certificate->issuerCommonName = getIssuerCommonName(x509);
    LOG(INFO) << "Certificate : " << "Issuer Common Name: " << certificate->issuerCommonName;
    certificate->signature = getSignatureBase64(x509);
    certificate->signatureAlgorithm = getSignatureAlgorithm(x509);
    LOG(INFO) << "Certificate : " << "Signature Algorithm: " << certificate->signatureAlgorithm;
    certificate->sha1Digest = getSHA1Digest(x509);
    certificate->notBefore = getNotBeforeAsString(x509);
    certificate->notBeforeInMilliseconds = getNotBeforeInMillisecods(x509);
    LOG(INFO) << "Certificate : " << "Not Before: " << certificate->notBefore;
    LOG(INFO) << "Certificate : " << "Not Before in milliseconds: " << certificate->notBeforeInMilliseconds;
    certificate->notAfter = getNotAfterAsString(x509);
    certificate->notAfterInMilliseconds = getNotAfterInMillisecods(x509);
    LOG(INFO) << "Certificate : " << "Not After: " << certificate->notAfter;
    LOG(INFO) << "Certificate : " << "Not After in milliseconds: " << certificate->notAfterInMilliseconds;
    certificate->publicKeyType = getPublicKeyType(x509);
    LOG(INFO) << "Certificate : " << "Public Key Type: " << certificate->publicKeyType;
    certificate->publicKeySize = getPublicKeySize(x509);
    LOG(INFO) << "Certificate : " << "Public Key Size: " << certificate->publicKeySize;
    if (certificate->publicKeyType == "ECC") {
        certificate->publicKeyECCurveName = getPublicKeyECCurveName(x509);
        LOG(INFO) << "Certificate : " << "Public Key EC Curve Name: " << certificate->publicKeyECCurveName;
    }
    certificate->ocspUrls = getOCSP_Urls(x509);
    for (const std::string& url : certificate->ocspUrls)
        LOG(INFO) << "Certificate : " << "OCSP URL: " << url;
    certificate->crlUrls = getCRL_Urls(x509);
    for (const std::string& url : certificate->crlUrls)
        LOG(INFO) << "Certificate : " << "CRL URL: " << url;
    setIfCertificateIsExpired(certificate);
    LOG(INFO) << "Certificate : " << "Certificate is expired: " << (certificate->isExpired ? "true" : "false");
    LOG(INFO) << "Certificate : " << "----------------------------------------------------------";
    return 0;
}

Certificate pkcs11CertToX509Cert(X509* x509) {
    Certificate certificate;
    certificate.x509 = x509;
    if (!x509)
        return certificate;
    certificate.version = getCertificateVersion(x509);
    certificate.serialNumber = getSerialNumber(x509);
    certificate.subject = getSubjectAsOneLine(x509);
    certificate.subjectIdentityNumber = getSubjectIdentityNumber(x509);
    certificate.issuer = getIssuerAsOneLine(x509);
    certificate.signature = getSignatureBase64(x509);
    certificate.signatureAlgorithm = getSignatureAlgorithm(x509);
    certificate.sha1Digest = getSHA1Digest(x509);
    certificate.notBefore = getNotBeforeAsString(x509);
    certificate.notAfter = getNotAfterAsString(x509);
    certificate.publicKeyType = getPublicKeyType(x509);
    certificate.publicKeySize = getPublicKeySize(x509);
    certificate.publicKeyECCurveName = getPublicKeyECCurveName(x509);
    certificate.ocspUrls = getOCSP_Urls(x509);
    certificate.crlUrls = getCRL_Urls(x509);
    setIfCertificateIsExpired(&certificate);

    LOG(INFO) << "Certificate : " << "------------    Certificate Information     -------------";
    LOG(INFO) << "Certificate : " << "Version: " << certificate.version;
    LOG(INFO) << "Certificate : " << "Serial number: " << certificate.serialNumber;
    LOG(INFO) << "Certificate : " << "Subject: " << certificate.subject;
    LOG(INFO) << "Certificate : " << "Subject Identity Number: " << certificate.subjectIdentityNumber;
    LOG(INFO) << "Certificate : " << "Issuer: " << certificate.issuer;
    LOG(INFO) << "Certificate : " << "Signature Algorithm: " << certificate.signatureAlgorithm;
    LOG(INFO) << "Certificate : " << "Not Before: " << certificate.notBefore;
    LOG(INFO) << "Certificate : " << "Not After: " << certificate.notAfter;
    LOG(INFO) << "Certificate : " << "Public Key Type: " << certificate.publicKeyType;
    LOG(INFO) << "Certificate : " << "Public Key Size: " << certificate.publicKeySize;
    LOG(INFO) << "Certificate : " << "Public Key EC Curve Name: " << certificate.publicKeyECCurveName;
    LOG(INFO) << "Certificate : " << "Public Key Size: " << certificate.publicKeySize;
    LOG(INFO) << "Certificate : " << "Certificate is expired: " << (certificate.isExpired ? "true" : "false");
    for (const std::string& url : certificate.ocspUrls)
        LOG(INFO) << "Certificate : " << "OCSP URL: " << url;
    for (const std::string& url : certificate.crlUrls)
        LOG(INFO) << "Certificate : " << "CRL URL: " << url;
    LOG(INFO) << "Certificate : " << "----------------------------------------------------------";
    return certificate;
}

void setIfCertificateIsExpired(Certificate* certificate) {
    if (!certificate)
        return;
    const QDateTime notBefore = utcFromValidityText(certificate->notBefore);
    const QDateTime notAfter = utcFromValidityText(certificate->notAfter);
    if (!notBefore.isValid() || !notAfter.isValid()) {
        // A validity that cannot be read must never let a certificate sign.
        certificate->isExpired = true;
        return;
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    certificate->isExpired = now < notBefore || notAfter < now;
}

int getCertificateVersion(X509* x509) { return x509 ? static_cast<int>(X509_get_version(x509)) + 1 : 0; }

std::string getSerialNumber(X509* x509) {
    if (!x509)
        return std::string();
    Bignum number(ASN1_INTEGER_to_BN(X509_get0_serialNumber(x509), nullptr));
    if (!number)
        return std::string();
    std::unique_ptr<char, OpensslFree> decimal(BN_bn2dec(number.get()));
    return decimal ? std::string(decimal.get()) : std::string();
}

std::string getSubjectAsOneLine(X509* x509) { return x509 ? X509NameAsString(X509_get_subject_name(x509)) : std::string(); }

std::string getSubjectIdentityNumber(X509* x509) {
    return x509 ? nameAttribute(X509_get_subject_name(x509), "serialNumber") : std::string();
}

std::string getSubjectNameSurname(X509* x509) {
    return x509 ? nameAttribute(X509_get_subject_name(x509), "CN") : std::string();
}

std::string getIssuerAsOneLineFormatted(X509* x509) {
    if (!x509)
        return std::string();
    std::string text;
    forEachNameEntry(X509_get_issuer_name(x509), [&text](const ASN1_OBJECT* type, const ASN1_STRING* value) {
        text = attributeShortName(type) + "=" + asn1string(value) + "," + text;
    });
    if (!text.empty())
        text.pop_back();
    return text;
}

std::string getIssuerCommonName(X509* x509) {
    return x509 ? nameAttribute(X509_get_issuer_name(x509), "CN") : std::string();
}

std::string getSignatureBase64(X509* x509) {
    if (!x509)
        return std::string();
    const ASN1_BIT_STRING* signature = nullptr;
    X509_get0_signature(&signature, nullptr, x509);
    if (!signature)
        return std::string();
    return base64_encode(ASN1_STRING_get0_data(signature), static_cast<unsigned int>(ASN1_STRING_length(signature)));
}

std::string getSignatureAlgorithm(X509* x509) {
    if (!x509)
        return std::string();
    const X509_ALGOR* algorithm = nullptr;
    X509_get0_signature(nullptr, &algorithm, x509);
    if (!algorithm)
        return std::string();
    const ASN1_OBJECT* object = nullptr;
    X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
    if (!object)
        return std::string();
    char buffer[128];
    const int length = OBJ_obj2txt(buffer, sizeof buffer, object, 0);
    return length > 0 ? std::string(buffer) : std::string();
}

std::string getSHA1Digest(X509* x509) {
    const QByteArray der = derOf(x509);
    if (der.isEmpty())
        return std::string();
    return base64Of(QCryptographicHash::hash(der, QCryptographicHash::Sha1));
}

std::string getNotBeforeAsString(X509* x509) {
    return x509 ? asn1datetime_isodatetime(X509_get0_notBefore(x509)) : std::string();
}

std::string getNotAfterAsString(X509* x509) {
    return x509 ? asn1datetime_isodatetime(X509_get0_notAfter(x509)) : std::string();
}

std::uint64_t getNotBeforeInMillisecods(X509* x509) {
    return x509 ? asn1datetime_isodatetimeInMilliseconds(X509_get0_notBefore(x509)) : 0;
}

std::uint64_t getNotAfterInMillisecods(X509* x509) {
    return x509 ? asn1datetime_isodatetimeInMilliseconds(X509_get0_notAfter(x509)) : 0;
}

std::string getPublicKeyType(X509* x509) {
    const EVP_PKEY* key = x509 ? X509_get0_pubkey(x509) : nullptr;
    if (!key)
        return std::string();
    switch (EVP_PKEY_get_base_id(key)) {
    case EVP_PKEY_RSA: return "RSA";
    case EVP_PKEY_DSA: return "DSA";
    case EVP_PKEY_DH:
    case EVP_PKEY_DHX: return "DH";
    case EVP_PKEY_EC: return "ECC";
    default: return std::string();
    }
}

std::uint32_t getPublicKeySize(X509* x509) {
    EVP_PKEY* key = x509 ? X509_get0_pubkey(x509) : nullptr;
    if (!key)
        return 0;
    switch (EVP_PKEY_get_base_id(key)) {
    case EVP_PKEY_RSA: return bignumParameterBits(key, OSSL_PKEY_PARAM_RSA_N);
    case EVP_PKEY_DSA:
    case EVP_PKEY_DH:
    case EVP_PKEY_DHX: return bignumParameterBits(key, OSSL_PKEY_PARAM_FFC_P);
    case EVP_PKEY_EC: {
        // The size of an EC key is the degree of its field (521 for P-521),
        // not the bit count the key reports.
        const auto group = ecGroupOf(key);
        return group ? static_cast<std::uint32_t>(EC_GROUP_get_degree(group.get())) : 0;
    }
    default: return 0;
    }
}

std::string getPublicKeyECCurveName(X509* x509) {
    EVP_PKEY* key = x509 ? X509_get0_pubkey(x509) : nullptr;
    if (!key || EVP_PKEY_get_base_id(key) != EVP_PKEY_EC)
        return std::string();
    const auto group = ecGroupOf(key);
    if (!group)
        return std::string();
    const int nid = EC_GROUP_get_curve_name(group.get());
    const char* shortName = nid != NID_undef ? OBJ_nid2sn(nid) : nullptr;
    return shortName ? std::string(shortName) : std::string();
}

std::vector<std::string> getOCSP_Urls(X509*) { return {}; }

std::vector<std::string> getCRL_Urls(X509* x509) {
    std::vector<std::string> urls;
    if (!x509)
        return urls;
    std::unique_ptr<STACK_OF(DIST_POINT), DistPointsFree> points(static_cast<STACK_OF(DIST_POINT)*>(
        X509_get_ext_d2i(x509, NID_crl_distribution_points, nullptr, nullptr)));
    if (!points)
        return urls;
    for (int i = 0; i < sk_DIST_POINT_num(points.get()); ++i) {
        const DIST_POINT* point = sk_DIST_POINT_value(points.get(), i);
        // DIST_POINT and DIST_POINT_NAME are public records of the crypto
        // library; it offers no accessors for them.
        if (!point || !point->distpoint)
            continue;
        const DIST_POINT_NAME* name = point->distpoint;
        if (name->type == 0) {
            const GENERAL_NAMES* fullName = name->name.fullname;
            for (int j = 0; j < sk_GENERAL_NAME_num(fullName); ++j) {
                int type = -1;
                void* value = GENERAL_NAME_get0_value(sk_GENERAL_NAME_value(fullName, j), &type);
                // Only the kinds that hold a text; directory names, other
                // names, registered IDs etc. are not strings.
                if (!value || (type != GEN_URI && type != GEN_DNS && type != GEN_EMAIL))
                    continue;
                const auto* text = static_cast<const ASN1_IA5STRING*>(value);
                urls.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                                  static_cast<size_t>(ASN1_STRING_length(text)));
            }
        } else if (name->type == 1) {
            const STACK_OF(X509_NAME_ENTRY)* relative = name->name.relativename;
            for (int j = 0; j < sk_X509_NAME_ENTRY_num(relative); ++j) {
                const X509_NAME_ENTRY* entry = sk_X509_NAME_ENTRY_value(relative, j);
                if (entry)
                    urls.push_back(asn1string(X509_NAME_ENTRY_get_data(entry)));
            }
        }
    }
    return urls;
}

// --- data for the signature formats -------------------------------------------

std::string toHex(X509* x509) { return derOf(x509).toHex().toStdString(); }

std::string toBase64(X509* x509) { return derOf(x509).toBase64().toStdString(); }

void getIssuerAttributesDataAsHex(X509* x509, char** der, int* length) {
    const unsigned char* bytes = nullptr;
    size_t size = 0;
    if (!x509 || X509_NAME_get0_der(X509_get_issuer_name(x509), &bytes, &size) != 1 || !bytes) {
        bytes = nullptr;
        size = 0;
    }
    if (der)
        *der = reinterpret_cast<char*>(const_cast<unsigned char*>(bytes));
    if (length)
        *length = static_cast<int>(size);
}

QByteArray calculateDigestSHA256(X509* x509) {
    const QByteArray der = derOf(x509);
    return der.isEmpty() ? QByteArray() : QCryptographicHash::hash(der, QCryptographicHash::Sha256);
}

std::string getSHA256DigestAsBase64(X509* x509) {
    const QByteArray digest = calculateDigestSHA256(x509);
    return digest.isEmpty() ? std::string() : base64Of(digest);
}

std::string getPublicKeyModulus(X509* x509) {
    const EVP_PKEY* key = x509 ? X509_get0_pubkey(x509) : nullptr;
    return isRsaKey(key) ? bignumParameterBase64(key, OSSL_PKEY_PARAM_RSA_N) : std::string();
}

std::string getPublicKeyExponent(X509* x509) {
    const EVP_PKEY* key = x509 ? X509_get0_pubkey(x509) : nullptr;
    return isRsaKey(key) ? bignumParameterBase64(key, OSSL_PKEY_PARAM_RSA_E) : std::string();
}

namespace {

template <typename Encoder, typename Value>
QByteArray encodeToDer(Encoder encode, Value* value) {
    unsigned char* buffer = nullptr;
    const int length = encode(value, &buffer);
    if (length <= 0 || !buffer)
        return QByteArray();
    QByteArray der(reinterpret_cast<const char*>(buffer), length);
    OPENSSL_free(buffer);
    return der;
}

}  // namespace

bool extractSubjectIssuerSerialDerFromCertDer(const QByteArray& certificateDer, QByteArray* subjectDer,
                                              QByteArray* issuerDer, QByteArray* serialDer) {
    if (!subjectDer || !issuerDer || !serialDer)
        return false;
    subjectDer->clear();
    issuerDer->clear();
    serialDer->clear();
    if (certificateDer.isEmpty())
        return false;
    const unsigned char* cursor = reinterpret_cast<const unsigned char*>(certificateDer.constData());
    X509Owner certificate(d2i_X509(nullptr, &cursor, certificateDer.size()));
    if (!certificate)
        return false;
    *subjectDer = encodeToDer(i2d_X509_NAME, X509_get_subject_name(certificate.get()));
    if (subjectDer->isEmpty())
        return false;
    *issuerDer = encodeToDer(i2d_X509_NAME, X509_get_issuer_name(certificate.get()));
    if (issuerDer->isEmpty())
        return false;
    *serialDer = encodeToDer(i2d_ASN1_INTEGER, X509_get0_serialNumber(certificate.get()));
    return !serialDer->isEmpty();
}

// --- further accessors ------------------------------------------------------

QByteArray toByteArray(X509* x509) { return derOf(x509); }

void getSHA256Digest(X509* x509, unsigned char** digest, std::uint32_t* length) {
    const QByteArray bytes = calculateDigestSHA256(x509);
    unsigned char* block = nullptr;
    if (!bytes.isEmpty()) {
        block = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(bytes.size())));
        if (block)
            std::memcpy(block, bytes.constData(), static_cast<size_t>(bytes.size()));
    }
    if (digest)
        *digest = block;
    else
        std::free(block);
    if (length)
        *length = block ? static_cast<std::uint32_t>(bytes.size()) : 0;
}

X509* fromPEM(const char* pem) {
    if (!pem)
        return nullptr;
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem, -1));
    return bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr;
}

int verify(X509*) { return 0; }

bool rsaPublicKeyDerFromModExp(const QByteArray& modulus, const QByteArray& exponent, QByteArray* publicKeyDer) {
    if (!publicKeyDer)
        return false;
    publicKeyDer->clear();
    if (modulus.isEmpty() || exponent.isEmpty())
        return false;
    Bignum n(BN_bin2bn(reinterpret_cast<const unsigned char*>(modulus.constData()), modulus.size(), nullptr));
    Bignum e(BN_bin2bn(reinterpret_cast<const unsigned char*>(exponent.constData()), exponent.size(), nullptr));
    if (!n || !e || BN_is_zero(n.get()) || BN_is_zero(e.get()))
        return false;
    std::unique_ptr<OSSL_PARAM_BLD, ParamBldFree> builder(OSSL_PARAM_BLD_new());
    if (!builder || !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) ||
        !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, e.get()))
        return false;
    std::unique_ptr<OSSL_PARAM, ParamFree> parameters(OSSL_PARAM_BLD_to_param(builder.get()));
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (!parameters || !context || EVP_PKEY_fromdata_init(context.get()) != 1)
        return false;
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_fromdata(context.get(), &raw, EVP_PKEY_PUBLIC_KEY, parameters.get()) != 1 || !raw)
        return false;
    Pkey key(raw);
    *publicKeyDer = encodeToDer(i2d_PUBKEY, key.get());
    return !publicKeyDer->isEmpty();
}

X509_NAME* getIssuer(X509* x509) { return x509 ? X509_get_issuer_name(x509) : nullptr; }

std::string getIssuerAsOneLine(X509* x509) { return x509 ? X509NameAsString(X509_get_issuer_name(x509)) : std::string(); }

std::map<std::string, std::string> getIssuerAsMap(X509* x509) {
    return x509 ? X509NameAsMap(X509_get_issuer_name(x509)) : std::map<std::string, std::string>();
}

std::map<std::string, std::string> getSubjectAsMap(X509* x509) {
    return x509 ? X509NameAsMap(X509_get_subject_name(x509)) : std::map<std::string, std::string>();
}

std::map<std::string, std::string> X509NameAsMap(const X509_NAME* name) {
    std::map<std::string, std::string> attributes;
    forEachNameEntry(name, [&attributes](const ASN1_OBJECT* type, const ASN1_STRING* value) {
        attributes[attributeShortName(type)] = asn1string(value);
    });
    return attributes;
}

std::string getIssuerOrganizationName(X509* x509) {
    return x509 ? nameAttribute(X509_get_issuer_name(x509), "O") : std::string();
}

std::string getIssuerCountryName(X509* x509) {
    return x509 ? nameAttribute(X509_get_issuer_name(x509), "C") : std::string();
}

std::string getIssuerOrganizationalUnitName(X509* x509) {
    return x509 ? nameAttribute(X509_get_issuer_name(x509), "OU") : std::string();
}

std::string X509NameAsString(const X509_NAME* name) {
    std::string text;
    forEachNameEntry(name, [&text](const ASN1_OBJECT*, const ASN1_STRING* value) { text += asn1string(value) + " "; });
    return text;
}

std::string asn1string(const ASN1_STRING* value) {
    if (!value)
        return std::string();
    if (ASN1_STRING_type(value) == V_ASN1_UTF8STRING) {
        const unsigned char* bytes = ASN1_STRING_get0_data(value);
        const int length = ASN1_STRING_length(value);
        return bytes && length > 0 ? std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length))
                                   : std::string();
    }
    unsigned char* converted = nullptr;
    const int length = ASN1_STRING_to_UTF8(&converted, value);
    std::unique_ptr<unsigned char, OpensslFree> owner(converted);
    if (length <= 0 || !converted)
        return std::string();
    return std::string(reinterpret_cast<const char*>(converted), static_cast<size_t>(length));
}

std::string asn1int(const ASN1_STRING* value) {
    if (!value)
        return std::string();
    return upperHex(ASN1_STRING_get0_data(value), ASN1_STRING_length(value));
}

bool asn1dateparse(const ASN1_TIME* time, int* year, int* month, int* day, int* hour, int* minute, int* second) {
    tev::datetime::dt parsed;
    if (!parseAsn1Time(time, &parsed))
        return false;
    if (year) *year = parsed.year;
    if (month) *month = parsed.month;
    if (day) *day = parsed.day;
    if (hour) *hour = parsed.hour;
    if (minute) *minute = parsed.minute;
    if (second) *second = parsed.second;
    return true;
}

std::string asn1datetime_isodatetime(const ASN1_TIME* time) {
    tev::datetime::dt parsed;
    return parseAsn1Time(time, &parsed) ? formatDateTime(parsed) : std::string();
}

std::uint64_t asn1datetime_isodatetimeInMilliseconds(const ASN1_TIME* time) {
    tev::datetime::dt parsed;
    return parseAsn1Time(time, &parsed) ? millisecondsSinceEpoch(parsed) : 0;
}

std::string asn1date_isodate(const ASN1_TIME* time) {
    tev::datetime::dt parsed;
    if (!parseAsn1Time(time, &parsed))
        return std::string();
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", parsed.year, parsed.month + 1, parsed.day);
    return buffer;
}

// --- certificate list as JSON -------------------------------------------------

namespace {

// Trims, then keeps every decimal digit (any script, unchanged).
QString normalizeTcknDigitsOnly(const QString& identityNumber) {
    QString digits;
    for (const uint codePoint : identityNumber.trimmed().toUcs4()) {
        if (QChar::isDigit(codePoint))
            digits += QString::fromUcs4(&codePoint, 1);
    }
    return digits;
}

int codePointCount(const QString& text) { return text.toUcs4().size(); }

QString toUtcIso(const QDateTime& time) {
    return time.isValid() ? time.toUTC().toString(Qt::ISODate) : QString();
}

QDateTime validityAsUtc(const ASN1_TIME* time) {
    tev::datetime::dt parsed;
    if (!parseAsn1Time(time, &parsed))
        return QDateTime();
    return QDateTime(QDate(parsed.year, parsed.month + 1, parsed.day), QTime(parsed.hour, parsed.minute, parsed.second),
                     Qt::UTC);
}

QString firstIssuerCommonName(X509* x509) {
    QString commonName;
    bool found = false;
    forEachNameEntry(X509_get_issuer_name(x509), [&](const ASN1_OBJECT* type, const ASN1_STRING* value) {
        if (!found && OBJ_obj2nid(type) == NID_commonName) {
            commonName = QString::fromStdString(asn1string(value));
            found = true;
        }
    });
    return commonName;
}

}  // namespace

bool buildCertificateSchemaJson(const QList<QByteArray>& certificates, const QString& tokenSerial,
                                const QString& deviceIdentifier, const QString& identityNumber,
                                const QByteArray& hmacKey, QJsonArray& result, QString& error) {
    result = QJsonArray();
    error.clear();
    const QString digits = normalizeTcknDigitsOnly(identityNumber);
    if (codePointCount(digits) != 11) {
        error = QStringLiteral("TCKN must be 11 digits (after normalization).");
        return false;
    }
    if (hmacKey.isEmpty()) {
        error = QStringLiteral("HMAC secret key is empty.");
        return false;
    }
    const QString holderId = QString::fromLatin1(
        QMessageAuthenticationCode::hash(digits.toUtf8(), hmacKey, QCryptographicHash::Sha256).toHex());

    for (const QByteArray& der : certificates) {
        if (der.isEmpty())
            continue;
        const unsigned char* cursor = reinterpret_cast<const unsigned char*>(der.constData());
        X509Owner certificate(d2i_X509(nullptr, &cursor, der.size()));
        if (!certificate)
            continue;
        QJsonObject entry;
        entry.insert(QStringLiteral("caName"), firstIssuerCommonName(certificate.get()));
        entry.insert(QStringLiteral("notBeforeUtc"), toUtcIso(validityAsUtc(X509_get0_notBefore(certificate.get()))));
        entry.insert(QStringLiteral("notAfterUtc"), toUtcIso(validityAsUtc(X509_get0_notAfter(certificate.get()))));
        entry.insert(QStringLiteral("serialNumber"),
                     QString::fromStdString(asn1int(X509_get0_serialNumber(certificate.get()))));
        entry.insert(QStringLiteral("tcknHolderId"), holderId);
        entry.insert(QStringLiteral("tokenSerial"), tokenSerial);
        entry.insert(QStringLiteral("deviceIdentifier"), deviceIdentifier);
        result.append(entry);
    }
    return true;
}

}  // namespace x509
}  // namespace tev

// --- free helpers ------------------------------------------------------------

bool asn1TimeToTevDate(const ASN1_TIME* time, tev::datetime::dt* date) {
    tev::datetime::dt parsed;
    if (!date || !parseAsn1Time(time, &parsed))
        return false;
    *date = parsed;
    return true;
}

int checkRootCertificates() { return 0; }

int checkCertWithIssuerCert(const char* certificatePem, const char* issuerCertificatePem) {
    initializeOpenSSL();
    X509Owner certificate(tev::x509::fromPEM(certificatePem));
    X509Owner issuer(tev::x509::fromPEM(issuerCertificatePem));
    return checkCertWithIssuerCert(certificate.get(), issuer.get());
}

int checkCertWithIssuerCert(X509* certificate, X509* issuerCertificate) {
    if (!certificate || !issuerCertificate)
        return -1;
    Pkey key(X509_get_pubkey(issuerCertificate));
    if (!key)
        return -1;
    return X509_verify(certificate, key.get());
}

QDateTime getNotBeforeAsQDateTime(X509*) { return QDateTime(); }

QDateTime getNotAfterAsQDateTime(X509*) { return QDateTime(); }
