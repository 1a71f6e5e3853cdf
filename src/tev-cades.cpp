// CAdES-BES builder: a CMS SignedData (RFC 5652) with the ESS signed attributes
// (RFC 5035) that CAdES-BES asks for, written as DER hex text with the core
// encoders and signed on the token through the PKCS#11 layer.
#include "tev-cades.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <algorithm>
#include <cstdlib>
#include <string>

#include "biginteger.h"
#include "tev-asn1.h"
#include "tev-certificate.h"
#include "tev-commons.h"
#include "tev-logging.h"
#include "tev-pkcs11.h"
#include "tev-signature.h"

namespace tev {
namespace quessel {
namespace cades {

namespace {

// Response codes this builder refuses with itself (the command layer's table).
constexpr int kInvalidCertificate = 5;     // signing key outside the algorithm table
constexpr int kUndefinedSignerError = 12;  // policy OID that cannot be encoded
constexpr int kCannotSignCMS = 17;         // the token handed back no signature
constexpr int kInvalidDigest = 41;         // ready digest does not fit the digest algorithm
constexpr int kNoSigningCertificate = 516; // lookup gave a record without a certificate

const QList<int> kIdData = {1, 2, 840, 113549, 1, 7, 1};
const QList<int> kIdSignedData = {1, 2, 840, 113549, 1, 7, 2};
const QList<int> kIdContentType = {1, 2, 840, 113549, 1, 9, 3};
const QList<int> kIdMessageDigest = {1, 2, 840, 113549, 1, 9, 4};
const QList<int> kIdSigningTime = {1, 2, 840, 113549, 1, 9, 5};
const QList<int> kIdSigningCertificateV2 = {1, 2, 840, 113549, 1, 9, 16, 2, 47};
const QList<int> kIdSignaturePolicy = {1, 2, 840, 113549, 1, 9, 16, 2, 15};
const QList<int> kIdQualifierSPuri = {1, 2, 840, 113549, 1, 9, 16, 5, 1};
const QList<int> kIdQualifierUserNotice = {1, 2, 840, 113549, 1, 9, 16, 5, 2};
const QList<int> kIdSHA256 = {2, 16, 840, 1, 101, 3, 4, 2, 1};
const QList<int> kIdSHA384 = {2, 16, 840, 1, 101, 3, 4, 2, 2};
const QList<int> kIdSHA256WithRSA = {1, 2, 840, 113549, 1, 1, 11};
const QList<int> kIdECDSAWithSHA256 = {1, 2, 840, 10045, 4, 3, 2};
const QList<int> kIdECDSAWithSHA384 = {1, 2, 840, 10045, 4, 3, 3};

enum class KeyKind { RSA, ECDSA };

// What the signing key decides: which digest and signature identifiers are
// written and what the token is handed.
struct Algorithms {
    KeyKind kind = KeyKind::RSA;
    bool sha384 = false;
    int digestLength = 32;
    QList<int> digestOID;
    QList<int> signatureOID;
};

// Everything one signing needs besides the task.
struct Builder {
    SigningTask* task = nullptr;
    tev::quessel::pkcs11::SignerContext* context = nullptr;
    Algorithms algorithms;
    QString issuerNameHex;
    QString serialNumberHex;
};

void logInfo(const std::string& message) { LOG(INFO) << "CAdES : " << message; }
void logError(const std::string& message) { LOG(ERROR) << "CAdES : " << message; }

// An OID whose arcs the encoder cannot turn into a valid OBJECT IDENTIFIER
// (X.660: first arc 0..2, second arc below 40 under 0 and 1, no negative arc).
bool isEncodableOID(const QList<int>& arcs) {
    if (arcs.size() < 2) return false;
    for (int arc : arcs)
        if (arc < 0) return false;
    if (arcs[0] > 2) return false;
    if (arcs[0] < 2 && arcs[1] > 39) return false;
    return true;
}

QString oidText(const QList<int>& arcs) {
    QStringList parts;
    for (int arc : arcs) parts << QString::number(arc);
    return parts.join('.');
}

// Refuses a policy the encoders could not write, before the token is touched.
void checkSignaturePolicy(const SigningTask& task) {
    if (!task.addSignaturePolicy) return;
    if (!isEncodableOID(task.profile.policyOID)) {
        logError("Refusing signature policy with invalid policy OID '" +
                 logging::shownText(oidText(task.profile.policyOID).toStdString()) + "'");
        throw kUndefinedSignerError;
    }
    if (!isEncodableOID(task.profile.policyDigestAlgorithmOID)) {
        logError("Refusing signature policy with invalid digest algorithm OID '" +
                 logging::shownText(oidText(task.profile.policyDigestAlgorithmOID).toStdString()) + "'");
        throw kUndefinedSignerError;
    }
}

bool algorithmsFor(const tev::x509::Certificate& certificate, Algorithms* out) {
    if (certificate.publicKeyType == "RSA") {
        out->kind = KeyKind::RSA;
        out->sha384 = false;
        out->digestLength = 32;
        out->digestOID = kIdSHA256;
        out->signatureOID = kIdSHA256WithRSA;
        return true;
    }
    if (certificate.publicKeyType == "ECC" && certificate.publicKeySize == 256) {
        out->kind = KeyKind::ECDSA;
        out->sha384 = false;
        out->digestLength = 32;
        out->digestOID = kIdSHA256;
        out->signatureOID = kIdECDSAWithSHA256;
        return true;
    }
    if (certificate.publicKeyType == "ECC" && certificate.publicKeySize == 384) {
        out->kind = KeyKind::ECDSA;
        out->sha384 = true;
        out->digestLength = 48;
        out->digestOID = kIdSHA384;
        out->signatureOID = kIdECDSAWithSHA384;
        return true;
    }
    return false;
}

QByteArray digestOf(const Algorithms& algorithms, const QByteArray& bytes) {
    return algorithms.sha384 ? tev::crypto::digestSHA384(bytes)
                             : tev::crypto::digestSHA256(bytes);
}

QByteArray hexToBytes(const QString& hex) {
    char* bytes = nullptr;
    int length = 0;
    hexStringToByteArray(hex.toStdString(), &bytes, &length);
    QByteArray result(bytes, length);
    free(bytes);
    return result;
}

QString algorithmIdentifierWithNull(const QList<int>& oid) {
    return tev::asn1::encodeSequenceOf({tev::asn1::encodeObjectIdentifier(oid),
                                        tev::asn1::encodeNull()});
}

QString attribute(const QList<int>& type, const QString& value) {
    return tev::asn1::encodeSequenceOf(
        {tev::asn1::encodeObjectIdentifier(type), tev::asn1::encodeSet(value)});
}

// RFC 5652 section 11.3: UTCTime for 1950 to 2049, GeneralizedTime outside;
// always in UTC with whole seconds.
QString encodeSigningTimeValue(const QDateTime& requested) {
    QDateTime utc;
    if (!requested.isNull() && requested.isValid()) utc = requested.toUTC();
    if (!utc.isValid() || utc.date().year() < 1 || utc.date().year() > 9999)
        utc = QDateTime::currentDateTimeUtc();
    const QTime t = utc.time();
    utc = QDateTime(utc.date(), QTime(t.hour(), t.minute(), t.second()), Qt::UTC);
    const int year = utc.date().year();
    if (year >= 1950 && year <= 2049) return tev::asn1::encodeUTCTime(utc);
    return tev::asn1::encodeGeneralizedTime(utc);
}

QString encodeCMSVersion(Builder& b) { return tev::asn1::encodeInteger(b.task->version); }

QString encodeDigestAlgorithm(Builder& b) {
    return algorithmIdentifierWithNull(b.algorithms.digestOID);
}

QString encodeSignatureAlgorithm(Builder& b) {
    return algorithmIdentifierWithNull(b.algorithms.signatureOID);
}

QString encodeEncapContentInfo(Builder& b) {
    QList<QString> parts{tev::asn1::encodeObjectIdentifier(kIdData)};
    if (b.task->attached && !b.task->data.isEmpty())
        parts << tev::asn1::encodeTag(0, tev::asn1::encodeOctetString(b.task->data));
    return tev::asn1::encodeSequenceOf(parts);
}

QString encodeCertificates(Builder& b) {
    return tev::asn1::encodeTag(
        0, QString::fromStdString(tev::x509::toHex(b.task->certificate.x509)));
}

QString encodeSignerIdentifier(Builder& b) {
    return tev::asn1::encodeSequenceOf({b.issuerNameHex, b.serialNumberHex});
}

QString encodeSigningCertificateV2(Builder& b) {
    const QByteArray certHash = tev::x509::calculateDigestSHA256(b.task->certificate.x509);
    const QString generalNames =
        tev::asn1::encodeSequence(tev::asn1::encodeTag(4, b.issuerNameHex));
    const QString issuerSerial =
        tev::asn1::encodeSequenceOf({generalNames, b.serialNumberHex});
    const QString essCertIDv2 =
        tev::asn1::encodeSequenceOf({tev::asn1::encodeOctetString(certHash), issuerSerial});
    return tev::asn1::encodeSequence(tev::asn1::encodeSequence(essCertIDv2));
}

QString encodeSignaturePolicy(SigningTask* task) {
    const SignatureProfile& p = task->profile;
    const QString hashAlgorithm =
        tev::asn1::encodeSequence(tev::asn1::encodeObjectIdentifier(p.policyDigestAlgorithmOID));
    const QString policyHash = tev::asn1::encodeSequenceOf(
        {hashAlgorithm, tev::asn1::encodeOctetString(p.policyDigest)});
    const QString uriQualifier = tev::asn1::encodeSequenceOf(
        {tev::asn1::encodeObjectIdentifier(kIdQualifierSPuri),
         tev::asn1::encodeIA5String(QString::fromStdString(p.profileDocumentLink))});
    const QString noticeQualifier = tev::asn1::encodeSequenceOf(
        {tev::asn1::encodeObjectIdentifier(kIdQualifierUserNotice),
         tev::asn1::encodeSequence(
             tev::asn1::encodeUTF8String(QString::fromStdString(p.policyDescription)))});
    const QString qualifiers = tev::asn1::encodeSequenceOf({uriQualifier, noticeQualifier});
    return tev::asn1::encodeSequenceOf(
        {tev::asn1::encodeObjectIdentifier(p.policyOID), policyHash, qualifiers});
}

// DER wants the members of a SET OF in ascending order of their encodings
// (X.690 11.6); verifiers re-encode the attributes before checking the
// signature, so any other order breaks it.
void sortAsDERSetOf(QList<QString>* elements) {
    std::stable_sort(elements->begin(), elements->end(), [](const QString& a, const QString& b) {
        return hexToBytes(a) < hexToBytes(b);
    });
}

QString encodeSignedAttributes(Builder& b) {
    SigningTask* task = b.task;
    QList<QString> attributes;
    attributes << attribute(kIdContentType, tev::asn1::encodeObjectIdentifier(kIdData));
    if (task->addSigningTime || task->addSignaturePolicy)
        attributes << attribute(kIdSigningTime, encodeSigningTimeValue(task->signingTime));
    if (task->digest.isEmpty()) task->digest = digestOf(b.algorithms, task->data);
    attributes << attribute(kIdMessageDigest, tev::asn1::encodeOctetString(task->digest));
    attributes << attribute(kIdSigningCertificateV2, encodeSigningCertificateV2(b));
    if (task->addSignaturePolicy) {
        logInfo("Adding Signature Profile " + logging::shownText(task->profile.policyDescription));
        attributes << attribute(kIdSignaturePolicy, encodeSignaturePolicy(task));
    }
    sortAsDERSetOf(&attributes);
    return tev::asn1::encodeTag(0, attributes);
}

QString encodeSignature(Builder& b, const QString& signedAttributes) {
    // The signature covers the attributes with their universal SET OF tag.
    const QByteArray signedOctets = hexToBytes(QStringLiteral("31") + signedAttributes.mid(2));
    const QByteArray digest = digestOf(b.algorithms, signedOctets);
    logInfo(b.algorithms.sha384 ? "Digest algorithm: SHA384" : "Digest algorithm: SHA256");

    tev::quessel::Signature signature;
    if (b.algorithms.kind == KeyKind::RSA) {
        const QString digestInfo = tev::asn1::encodeSequenceOf(
            {algorithmIdentifierWithNull(kIdSHA256), tev::asn1::encodeOctetString(digest)});
        signature.data = hexToBytes(digestInfo);
    } else {
        signature.data = digest;
    }
    tev::quessel::pkcs11::signDigestWithProvidedSlotAndCertificate(b.context, &signature);
    if (signature.signature.isEmpty()) {
        logError("The token returned no signature value");
        throw kCannotSignCMS;
    }
    return tev::asn1::encodeOctetString(signature.signature);
}

QString encodeSignerInfo(Builder& b) {
    const QString signedAttributes = encodeSignedAttributes(b);
    const QString parts[] = {encodeCMSVersion(b),
                             encodeSignerIdentifier(b),
                             encodeDigestAlgorithm(b),
                             signedAttributes,
                             encodeSignatureAlgorithm(b),
                             encodeSignature(b, signedAttributes)};
    return tev::asn1::encodeSequenceOf(QList<QString>(std::begin(parts), std::end(parts)));
}

QString encodeSignerInfos(Builder& b) { return tev::asn1::encodeSet(encodeSignerInfo(b)); }

QString encodeContentInfo(Builder& b) {
    // The signer info is built first: it is the step that reaches the token.
    const QString signerInfos = encodeSignerInfos(b);
    const QString signedData = tev::asn1::encodeSequenceOf(
        {encodeCMSVersion(b), tev::asn1::encodeSet(encodeDigestAlgorithm(b)),
         encodeEncapContentInfo(b), encodeCertificates(b), signerInfos});
    return tev::asn1::encodeSequenceOf(
        {tev::asn1::encodeObjectIdentifier(kIdSignedData), tev::asn1::encodeTag(0, signedData)});
}

int sign(QByteArray* out, SigningTask* task, const char* startText, const char* endText) {
    logInfo("--------------------------------------------");
    logInfo(startText);

    checkSignaturePolicy(*task);

    tev::quessel::pkcs11::SignerContext context;
    context.driverName = task->libraryName;
    context.libraryPath = task->modulePath;
    context.pin = task->pin;
    context.slotId = task->slotId;
    // Whatever the job still holds on the token when this function leaves
    // early (session, module, module lock) is released with the context.

    const int prepared = tev::quessel::pkcs11::initializeSigningContextForSigning(&context);
    task->certificate =
        tev::quessel::pkcs11::getCertificateWithProvidedSerialNumber(&context, task->certSerialNumber);
    task->version = 1;
    context.certificate = &task->certificate;

    Builder b;
    b.task = task;
    b.context = &context;
    if (task->certificate.x509 == nullptr) {
        logError("No signing certificate with serial number " + logging::shownText(task->certSerialNumber));
        throw kNoSigningCertificate;
    }
    if (!algorithmsFor(task->certificate, &b.algorithms)) {
        logError("Cannot sign with a " + task->certificate.publicKeyType + " key of " +
                 std::to_string(task->certificate.publicKeySize) + " bits");
        throw kInvalidCertificate;
    }
    if (!task->digest.isEmpty() && task->digest.size() != b.algorithms.digestLength) {
        logError("The digest of " + std::to_string(task->digest.size()) +
                 " bytes does not fit the digest algorithm of the signing key (" +
                 std::to_string(b.algorithms.digestLength) + " bytes)");
        throw kInvalidDigest;
    }

    char* issuerDer = nullptr;
    int issuerLength = 0;
    tev::x509::getIssuerAttributesDataAsHex(task->certificate.x509, &issuerDer, &issuerLength);
    if (issuerDer == nullptr || issuerLength <= 0) {
        logError("The signing certificate has no issuer name");
        throw kInvalidCertificate;
    }
    b.issuerNameHex = QString::fromLatin1(QByteArray(issuerDer, issuerLength).toHex());
    b.serialNumberHex = tev::asn1::encodeInteger(
        static_cast<std::string>(BigInteger(task->certificate.serialNumber)));

    *out = encodeContentInfo(b).toLatin1();

    logInfo(endText);
    return prepared;
}

}  // namespace

int signData(QByteArray* out, SigningTask* task) {
    return sign(out, task, "Starting generating CaDES signature",
                "Completed generating CaDES signature");
}

int signDigest(QByteArray* out, SigningTask* task) {
    return sign(out, task, "Starting signing digest", "Completed signing digest");
}

}  // namespace cades
}  // namespace quessel
}  // namespace tev
