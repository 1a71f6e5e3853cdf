// Certificate data handed to the signature formats, the further accessors and
// the JSON certificate list with its keyed holder identifier.
#include "certificate-factory.h"
#include "test-support.h"
#include "tev-certificate.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <cstring>

namespace x = tev::x509;
using namespace certfactory;

namespace {

const std::vector<NameEntry> kCaName = {{"C", "TR"}, {"O", "Example"}, {"CN", "Example CA"}};
const std::vector<NameEntry> kHolder = {{"C", "TR"}, {"serialNumber", "12345678901"}, {"CN", "Test User"}};

QByteArray bignumBytes(const EVP_PKEY* key, const char* parameter) {
    BIGNUM* number = nullptr;
    EVP_PKEY_get_bn_param(key, parameter, &number);
    QByteArray bytes(BN_num_bytes(number), '\0');
    BN_bn2bin(number, reinterpret_cast<unsigned char*>(bytes.data()));
    BN_free(number);
    return bytes;
}

QByteArray opensslDigest(X509* x509, const EVP_MD* md) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    X509_digest(x509, md, digest, &length);
    return QByteArray(reinterpret_cast<const char*>(digest), static_cast<int>(length));
}

std::string pemOf(X509* x509) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, x509);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<size_t>(length));
    BIO_free(bio);
    return pem;
}

}  // namespace

TEST(CertificateAccessors, EncodingsDigestsAndIssuerName) {
    Recipe caSpec;
    caSpec.subject = kCaName;
    const Cert ca = make(caSpec);
    Recipe recipe;
    recipe.subject = kHolder;
    recipe.issuerCertificate = ca.get();
    recipe.signingKey = sharedRsa2048();
    const Cert leaf = make(recipe);
    const QByteArray der = certfactory::der(leaf.get());

    const std::string hex = x::toHex(leaf.get());
    EXPECT_EQ(hex.substr(0, 4), "3082");
    EXPECT_EQ(hex, der.toHex().toStdString());
    const std::string base64 = x::toBase64(leaf.get());
    EXPECT_EQ(base64.substr(0, 3), "MII");
    EXPECT_EQ(QByteArray::fromBase64(QByteArray::fromStdString(base64)), der);
    EXPECT_EQ(base64.find('\n'), std::string::npos);
    EXPECT_EQ(x::toByteArray(leaf.get()), der);

    const QByteArray sha256 = opensslDigest(leaf.get(), EVP_sha256());
    EXPECT_EQ(x::calculateDigestSHA256(leaf.get()), sha256);
    const std::string sha256Base64 = x::getSHA256DigestAsBase64(leaf.get());
    EXPECT_EQ(sha256Base64.size(), 44u);
    EXPECT_EQ(sha256Base64.back(), '=');
    EXPECT_EQ(sha256Base64, sha256.toBase64().toStdString());
    unsigned char* block = nullptr;
    std::uint32_t length = 0;
    x::getSHA256Digest(leaf.get(), &block, &length);
    ASSERT_NE(block, nullptr);
    ASSERT_EQ(length, 32u);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(block), 32), sha256);
    std::free(block);

    // The issuer Name bytes are the ones inside the certificate, tag included.
    char* issuerDer = nullptr;
    int issuerLength = 0;
    x::getIssuerAttributesDataAsHex(leaf.get(), &issuerDer, &issuerLength);
    ASSERT_NE(issuerDer, nullptr);
    const QByteArray issuerBytes(issuerDer, issuerLength);
    EXPECT_EQ(static_cast<unsigned char>(issuerBytes[0]), 0x30);
    EXPECT_TRUE(der.contains(issuerBytes));
    unsigned char* caSubject = nullptr;
    const int caSubjectLength = i2d_X509_NAME(X509_get_subject_name(ca.get()), &caSubject);
    EXPECT_EQ(issuerBytes, QByteArray(reinterpret_cast<const char*>(caSubject), caSubjectLength));
    OPENSSL_free(caSubject);
    EXPECT_EQ(X509_NAME_cmp(x::getIssuer(leaf.get()), X509_get_subject_name(ca.get())), 0);
}

TEST(CertificateAccessors, RsaKeyNumbersAndKeyRebuild) {
    Recipe recipe;
    recipe.subject = kHolder;
    const Cert rsa = make(recipe);
    const EVP_PKEY* key = sharedRsa2048().get();
    const QByteArray modulus = bignumBytes(key, OSSL_PKEY_PARAM_RSA_N);
    ASSERT_EQ(modulus.size(), 256);
    EXPECT_EQ(x::getPublicKeyModulus(rsa.get()), modulus.toBase64().toStdString());
    EXPECT_EQ(x::getPublicKeyExponent(rsa.get()), "AQAB");

    QByteArray rebuilt;
    ASSERT_TRUE(x::rsaPublicKeyDerFromModExp(modulus, QByteArray("\x01\x00\x01", 3), &rebuilt));
    unsigned char* expected = nullptr;
    const int expectedLength = i2d_PUBKEY(sharedRsa2048().get(), &expected);
    EXPECT_EQ(rebuilt, QByteArray(reinterpret_cast<const char*>(expected), expectedLength));
    OPENSSL_free(expected);
    rebuilt = "old";
    EXPECT_FALSE(x::rsaPublicKeyDerFromModExp(QByteArray(), QByteArray("\x01\x00\x01", 3), &rebuilt));
    EXPECT_TRUE(rebuilt.isEmpty());

    Recipe ec = recipe;
    ec.subjectKey = sharedP256();
    const Cert ecCertificate = make(ec);
    EXPECT_EQ(x::getPublicKeyModulus(ecCertificate.get()), "");
    EXPECT_EQ(x::getPublicKeyExponent(ecCertificate.get()), "");
}

TEST(CertificateAccessors, SplitIntoSubjectIssuerAndSerial) {
    Recipe recipe;
    recipe.subject = kHolder;
    recipe.issuer = kCaName;
    recipe.signingKey = sharedP256();
    const Cert certificate = make(recipe);
    QByteArray subject, issuer, serial;
    ASSERT_TRUE(x::extractSubjectIssuerSerialDerFromCertDer(der(certificate.get()), &subject, &issuer, &serial));
    EXPECT_EQ(serial, QByteArray("\x02\x01\x01", 3));
    const unsigned char* cursor = reinterpret_cast<const unsigned char*>(subject.constData());
    X509_NAME* parsedSubject = d2i_X509_NAME(nullptr, &cursor, subject.size());
    ASSERT_NE(parsedSubject, nullptr);
    EXPECT_EQ(X509_NAME_cmp(parsedSubject, X509_get_subject_name(certificate.get())), 0);
    X509_NAME_free(parsedSubject);
    cursor = reinterpret_cast<const unsigned char*>(issuer.constData());
    X509_NAME* parsedIssuer = d2i_X509_NAME(nullptr, &cursor, issuer.size());
    ASSERT_NE(parsedIssuer, nullptr);
    EXPECT_EQ(X509_NAME_cmp(parsedIssuer, X509_get_issuer_name(certificate.get())), 0);
    X509_NAME_free(parsedIssuer);

    // A serial with the top bit set gets its leading zero octet.
    recipe.serialDecimal = "128";
    ASSERT_TRUE(x::extractSubjectIssuerSerialDerFromCertDer(der(make(recipe).get()), &subject, &issuer, &serial));
    EXPECT_EQ(serial, QByteArray("\x02\x02\x00\x80", 4));

    subject = issuer = serial = "stale";
    EXPECT_FALSE(x::extractSubjectIssuerSerialDerFromCertDer(QByteArray("\x30\x03\x02\x01\x01", 5), &subject, &issuer,
                                                             &serial));
    EXPECT_TRUE(subject.isEmpty() && issuer.isEmpty() && serial.isEmpty());
    EXPECT_FALSE(x::extractSubjectIssuerSerialDerFromCertDer(QByteArray(), &subject, &issuer, &serial));
}

TEST(CertificateAccessors, PemReadingAndIssuerSignatureCheck) {
    Recipe caSpec;
    caSpec.subject = kCaName;
    const Cert ca = make(caSpec);
    Recipe recipe;
    recipe.subject = kHolder;
    recipe.subjectKey = sharedP256();
    recipe.issuerCertificate = ca.get();
    recipe.signingKey = sharedRsa2048();
    const Cert leaf = make(recipe);

    X509* fromPem = x::fromPEM(pemOf(leaf.get()).c_str());
    ASSERT_NE(fromPem, nullptr);
    EXPECT_EQ(x::toHex(fromPem), x::toHex(leaf.get()));
    X509_free(fromPem);
    EXPECT_EQ(x::fromPEM("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n"), nullptr);
    EXPECT_EQ(x::fromPEM(nullptr), nullptr);

    EXPECT_EQ(checkCertWithIssuerCert(pemOf(leaf.get()).c_str(), pemOf(ca.get()).c_str()), 1);
    EXPECT_EQ(checkCertWithIssuerCert(leaf.get(), ca.get()), 1);
    Recipe forged = recipe;
    forged.signingKey = rsaKey(2048);  // claims the CA as issuer, signed by another key
    EXPECT_EQ(checkCertWithIssuerCert(make(forged).get(), ca.get()), 0);
    EXPECT_LT(checkCertWithIssuerCert("garbage", pemOf(ca.get()).c_str()), 0);
    EXPECT_EQ(checkRootCertificates(), 0);
    EXPECT_EQ(x::verify(leaf.get()), 0);
    EXPECT_FALSE(getNotAfterAsQDateTime(leaf.get()).isValid());
    EXPECT_FALSE(getNotBeforeAsQDateTime(leaf.get()).isValid());

    // asn1int gives the integer's bytes in upper-case hex.
    Recipe serialSpec;
    serialSpec.serialDecimal = "686700";  // 0x0A7A6C
    EXPECT_EQ(x::asn1int(X509_get0_serialNumber(make(serialSpec).get())), "0A7A6C");
}

// ---- certificate list as JSON ---------------------------------------------------

namespace {

std::string hmacSha256Hex(const QByteArray& key, const QByteArray& message) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.constData(), key.size(), reinterpret_cast<const unsigned char*>(message.constData()),
         static_cast<size_t>(message.size()), digest, &length);
    return QByteArray(reinterpret_cast<const char*>(digest), static_cast<int>(length)).toHex().toStdString();
}

}  // namespace

TEST(CertificateSchemaJson, DescribesEachReadableCertificateInOrder) {
    Recipe first;
    first.subject = kHolder;
    first.issuer = {{"C", "TR"}, {"CN", "First CA"}, {"O", "Org"}, {"CN", "Second CN"}};
    first.serialDecimal = "662316";  // 0x0A1B2C
    first.notBefore = "250301090500Z";
    first.notAfter = "20500101000000Z";
    Recipe third;
    third.subject = kHolder;
    third.issuer = {{"C", "TR"}, {"O", "No Common Name"}};
    third.serialDecimal = "255";

    const QList<QByteArray> certificates = {der(make(first).get()), QByteArray("\x30\x82\x01\x00garbage", 11),
                                            QByteArray(), der(make(third).get())};
    const QByteArray key(20, '\x0b');
    QJsonArray result;
    QString error = "stale";
    ASSERT_TRUE(x::buildCertificateSchemaJson(certificates, "TOKEN-1", "device-7", " 123 456 789 01 ", key, result,
                                              error));
    EXPECT_TRUE(error.isEmpty());
    ASSERT_EQ(result.size(), 2);
    const std::string holder = hmacSha256Hex(key, "12345678901");

    const QJsonObject a = result[0].toObject();
    EXPECT_EQ(a.keys(), (QStringList{"caName", "deviceIdentifier", "notAfterUtc", "notBeforeUtc", "serialNumber",
                                     "tcknHolderId", "tokenSerial"}));
    EXPECT_EQ(a["caName"].toString(), "First CA");
    EXPECT_EQ(a["notBeforeUtc"].toString(), "2025-03-01T09:05:00Z");
    EXPECT_EQ(a["notAfterUtc"].toString(), "2050-01-01T00:00:00Z");
    EXPECT_EQ(a["serialNumber"].toString(), "0A1B2C");
    EXPECT_EQ(a["tcknHolderId"].toString().toStdString(), holder);
    EXPECT_EQ(a["tokenSerial"].toString(), "TOKEN-1");
    EXPECT_EQ(a["deviceIdentifier"].toString(), "device-7");

    const QJsonObject b = result[1].toObject();
    EXPECT_EQ(b["caName"].toString(), "");
    EXPECT_EQ(b["serialNumber"].toString(), "FF");
    EXPECT_EQ(b["tcknHolderId"].toString().toStdString(), holder);
    for (const QJsonValue& value : b)
        EXPECT_TRUE(value.isString());

    // Members appear in lexical order when written.
    const QByteArray compact = QJsonDocument(a).toJson(QJsonDocument::Compact);
    EXPECT_TRUE(compact.startsWith("{\"caName\":\"First CA\",\"deviceIdentifier\":\"device-7\",\"notAfterUtc\""));
}

TEST(CertificateSchemaJson, HolderIdentifierIsPlainHmacSha256) {
    for (const int keyLength : {20, 64, 131}) {
        QByteArray key(keyLength, '\0');
        for (int i = 0; i < keyLength; ++i)
            key[i] = static_cast<char>(i * 7 + 1);
        QJsonArray result;
        QString error;
        Recipe recipe;
        ASSERT_TRUE(
            x::buildCertificateSchemaJson({der(make(recipe).get())}, "", "", "98765432109", key, result, error));
        ASSERT_EQ(result.size(), 1);
        EXPECT_EQ(result[0].toObject()["tcknHolderId"].toString().toStdString(), hmacSha256Hex(key, "98765432109"))
            << keyLength;
    }
}

TEST(CertificateSchemaJson, RejectsBadNumbersAndEmptyKeys) {
    QJsonArray result;
    QString error;
    Recipe recipe;
    const QList<QByteArray> one = {der(make(recipe).get())};
    EXPECT_FALSE(x::buildCertificateSchemaJson(one, "t", "d", "1234567890", "key", result, error));
    EXPECT_EQ(error, "TCKN must be 11 digits (after normalization).");
    EXPECT_TRUE(result.isEmpty());
    EXPECT_FALSE(x::buildCertificateSchemaJson(one, "t", "d", "123456789012", "key", result, error));
    EXPECT_EQ(error, "TCKN must be 11 digits (after normalization).");
    EXPECT_FALSE(x::buildCertificateSchemaJson(one, "t", "d", "12345678901", QByteArray(), result, error));
    EXPECT_EQ(error, "HMAC secret key is empty.");
    EXPECT_TRUE(result.isEmpty());

    // Punctuation is dropped; digits of other scripts count and are kept as they are.
    ASSERT_TRUE(x::buildCertificateSchemaJson({}, "t", "d", "(123)-456.789/01", "key", result, error));
    EXPECT_TRUE(result.isEmpty());
    const QString arabicIndic = QString::fromUtf8("١٢٣٤٥٦٧٨٩٠١");
    ASSERT_TRUE(x::buildCertificateSchemaJson(one, "t", "d", arabicIndic, "key", result, error));
    EXPECT_EQ(result[0].toObject()["tcknHolderId"].toString().toStdString(),
              hmacSha256Hex("key", arabicIndic.toUtf8()));
}
