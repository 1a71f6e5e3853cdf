// Bytes that are not (quite) a certificate, malformed validity times and
// records without a certificate: nothing may crash, leak or claim validity.
#include "certificate-factory.h"
#include "test-support.h"
#include "tev-certificate.h"

#include <gtest/gtest.h>

#include <random>

namespace x = tev::x509;
using namespace certfactory;

namespace {

// Every accessor a caller may reach with the record's certificate.
void exerciseAccessors(X509* x509) {
    x::getCertificateVersion(x509);
    x::getSerialNumber(x509);
    x::getSubjectAsOneLine(x509);
    x::getIssuerAsOneLineFormatted(x509);
    x::getIssuerAsOneLine(x509);
    x::getSHA1Digest(x509);
    x::getPublicKeyType(x509);
    x::getPublicKeySize(x509);
    x::getPublicKeyECCurveName(x509);
    x::getCRL_Urls(x509);
    x::toHex(x509);
    x::toBase64(x509);
    x::calculateDigestSHA256(x509);
    x::getSHA256DigestAsBase64(x509);
    x::getPublicKeyModulus(x509);
    x::getPublicKeyExponent(x509);
    char* issuer = nullptr;
    int length = 0;
    x::getIssuerAttributesDataAsHex(x509, &issuer, &length);
    if (issuer) {
        EXPECT_GT(length, 0);
    }
}

void expectNoCertificate(const x::Certificate& record, const char* what) {
    EXPECT_EQ(record.x509, nullptr) << what;
    EXPECT_TRUE(record.isExpired) << what;
    EXPECT_TRUE(record.serialNumber.empty()) << what;
    EXPECT_TRUE(record.notAfter.empty()) << what;
}

}  // namespace

TEST(CertificateRobustness, BytesThatAreNotACertificate) {
    const std::vector<QByteArray> inputs = {
        QByteArray(),
        QByteArray(1, '\x30'),
        QByteArray("\x30\x00", 2),
        QByteArray("\x30\x84\xFF\xFF\xFF\xFF", 6),
        QByteArray("\x30\x82\xFF\xFF\x30\x82", 6),
        QByteArray("\x02\x01\x01", 3),
        QByteArray("-----BEGIN CERTIFICATE-----"),
        QByteArray(4096, '\xFF'),
    };
    for (const QByteArray& input : inputs) {
        x::Certificate record;
        corvane::test::clearLog();
        EXPECT_NE(x::buildCertificateFromData(input, &record), 0) << input.toHex().left(40).toStdString();
        expectNoCertificate(record, "garbage");
        EXPECT_NE(corvane::test::readLog().find("-- Completed parsing of the certificate with 1"), std::string::npos);
    }

    // A record that held a certificate does not keep it (or its texts) after a
    // failed read, but keeps what the token layer set.
    Recipe recipe;
    recipe.subject = {{"CN", "Holder"}, {"serialNumber", "12345678901"}};
    x::Certificate record;
    ASSERT_EQ(x::buildCertificateFromData(der(make(recipe).get()), &record), 0);
    record.label = "token label";
    EXPECT_NE(x::buildCertificateFromData(QByteArray("\x30\x03\x02\x01\x05", 5), &record), 0);
    expectNoCertificate(record, "refilled");
    EXPECT_TRUE(record.subjectIdentityNumber.empty());
    EXPECT_EQ(record.label, "token label");

    // The same through the token layer's entry with a failed parse.
    EXPECT_NE(x::pkcs11CertToX509Cert(nullptr, &record), 0);
    expectNoCertificate(record, "null x509");
    EXPECT_NE(x::buildCertificateFromData(der(make(recipe).get()), nullptr), 0);
    EXPECT_NE(x::pkcs11CertToX509Cert(parse(der(make(recipe).get())).release(), nullptr), 0);  // freed, not leaked
}

TEST(CertificateRobustness, EveryAccessorGivesEmptyResultsWithoutACertificate) {
    EXPECT_EQ(x::getCertificateVersion(nullptr), 0);
    EXPECT_EQ(x::getSerialNumber(nullptr), "");
    EXPECT_EQ(x::getSubjectAsOneLine(nullptr), "");
    EXPECT_EQ(x::getSubjectIdentityNumber(nullptr), "");
    EXPECT_EQ(x::getSubjectNameSurname(nullptr), "");
    EXPECT_EQ(x::getIssuerAsOneLineFormatted(nullptr), "");
    EXPECT_EQ(x::getIssuerCommonName(nullptr), "");
    EXPECT_EQ(x::getSignatureBase64(nullptr), "");
    EXPECT_EQ(x::getSignatureAlgorithm(nullptr), "");
    EXPECT_EQ(x::getSHA1Digest(nullptr), "");
    EXPECT_EQ(x::getNotBeforeAsString(nullptr), "");
    EXPECT_EQ(x::getNotAfterAsString(nullptr), "");
    EXPECT_EQ(x::getNotBeforeInMillisecods(nullptr), 0u);
    EXPECT_EQ(x::getNotAfterInMillisecods(nullptr), 0u);
    EXPECT_EQ(x::getPublicKeyType(nullptr), "");
    EXPECT_EQ(x::getPublicKeySize(nullptr), 0u);
    EXPECT_EQ(x::getPublicKeyECCurveName(nullptr), "");
    EXPECT_TRUE(x::getOCSP_Urls(nullptr).empty());
    EXPECT_TRUE(x::getCRL_Urls(nullptr).empty());
    EXPECT_EQ(x::toHex(nullptr), "");
    EXPECT_EQ(x::toBase64(nullptr), "");
    EXPECT_TRUE(x::toByteArray(nullptr).isEmpty());
    EXPECT_TRUE(x::calculateDigestSHA256(nullptr).isEmpty());
    EXPECT_EQ(x::getSHA256DigestAsBase64(nullptr), "");
    EXPECT_EQ(x::getPublicKeyModulus(nullptr), "");
    EXPECT_EQ(x::getPublicKeyExponent(nullptr), "");
    char* der = reinterpret_cast<char*>(1);
    int length = 7;
    x::getIssuerAttributesDataAsHex(nullptr, &der, &length);
    EXPECT_EQ(der, nullptr);
    EXPECT_EQ(length, 0);
    unsigned char* digest = reinterpret_cast<unsigned char*>(1);
    std::uint32_t digestLength = 7;
    x::getSHA256Digest(nullptr, &digest, &digestLength);
    EXPECT_EQ(digest, nullptr);
    EXPECT_EQ(digestLength, 0u);
    EXPECT_EQ(x::getIssuer(nullptr), nullptr);
    EXPECT_EQ(x::getIssuerAsOneLine(nullptr), "");
    EXPECT_TRUE(x::getIssuerAsMap(nullptr).empty());
    EXPECT_EQ(x::getIssuerOrganizationName(nullptr), "");
    EXPECT_EQ(x::asn1string(nullptr), "");
    EXPECT_EQ(x::asn1int(nullptr), "");
    EXPECT_EQ(x::asn1datetime_isodatetime(nullptr), "");
    EXPECT_EQ(x::asn1date_isodate(nullptr), "");
    EXPECT_LT(checkCertWithIssuerCert(static_cast<X509*>(nullptr), nullptr), 0);

    // Copies of an empty record stay empty.
    x::Certificate empty;
    x::Certificate copy = empty;
    x::setIfCertificateIsExpired(&copy);
    EXPECT_TRUE(copy.isExpired);
}

TEST(CertificateRobustness, TruncatedAndCorruptedCertificates) {
    Recipe recipe;
    recipe.subject = {{"C", "TR"}, {"serialNumber", "12345678901"}, {"CN", "Test User"}};
    recipe.crl = CrlKinds::EveryKind;
    const QByteArray good = der(make(recipe).get());

    for (int length = 0; length < good.size(); ++length) {
        x::Certificate record;
        EXPECT_NE(x::buildCertificateFromData(good.left(length), &record), 0) << length;
        ASSERT_EQ(record.x509, nullptr) << length;
    }

    // Trailing bytes after a certificate (card files are padded) are fine.
    x::Certificate padded;
    EXPECT_EQ(x::buildCertificateFromData(good + QByteArray(200, '\xFF'), &padded), 0);
    EXPECT_EQ(padded.subjectIdentityNumber, "12345678901");

    // Flip every byte in turn: whatever still parses must read without harm.
    std::mt19937 random(20240229);
    int parsed = 0;
    for (int position = 0; position < good.size(); ++position) {
        QByteArray corrupted = good;
        corrupted[position] = static_cast<char>(corrupted[position] ^ (1 + random() % 255));
        x::Certificate record;
        const int result = x::buildCertificateFromData(corrupted, &record);
        if (result == 0) {
            ++parsed;
            ASSERT_NE(record.x509, nullptr);
            exerciseAccessors(record.x509);
        } else {
            ASSERT_EQ(record.x509, nullptr);
        }
    }
    EXPECT_GT(parsed, 0);  // the walk did reach the reading code

    // Random bytes, some behind a plausible SEQUENCE header.
    for (int round = 0; round < 3000; ++round) {
        QByteArray bytes(static_cast<int>(random() % 300), '\0');
        for (char& byte : bytes)
            byte = static_cast<char>(random());
        if (round % 2 && bytes.size() > 4) {
            bytes[0] = '\x30';
            bytes[1] = '\x82';
        }
        x::Certificate record;
        if (x::buildCertificateFromData(bytes, &record) == 0)
            exerciseAccessors(record.x509);
    }
}

TEST(CertificateRobustness, MalformedValidityTimesCountAsExpired) {
    struct Case {
        std::string text;
        int type;
    };
    const std::vector<Case> malformed = {
        {"2501", V_ASN1_UTCTIME},
        {"", V_ASN1_UTCTIME},
        {"25010100000", V_ASN1_UTCTIME},
        {"2501010000AAZ", V_ASN1_UTCTIME},
        {"251301000000Z", V_ASN1_UTCTIME},   // month 13
        {"250230000000Z", V_ASN1_UTCTIME},   // 30 February
        {"250101250000Z", V_ASN1_UTCTIME},   // hour 25
        {"250101006000Z", V_ASN1_UTCTIME},   // minute 60
        {"2501-1000000Z", V_ASN1_UTCTIME},
        {"2050010100000", V_ASN1_GENERALIZEDTIME},
        {"20500101", V_ASN1_GENERALIZEDTIME},
        {"2050010100000AZ", V_ASN1_GENERALIZEDTIME},
        {"20250229000000Z", V_ASN1_GENERALIZEDTIME},  // 2025 is not a leap year
        {std::string("2501") + std::string(2, '\0') + "000000Z", V_ASN1_UTCTIME},  // zero bytes inside
    };
    size_t readByTheCryptoLibrary = 0;
    for (const Case& c : malformed) {
        for (const bool inNotAfter : {true, false}) {
            Recipe recipe;
            recipe.subject = {{"CN", "Odd Times"}};
            recipe.notBefore = "200101000000Z";
            recipe.notAfter = "20991231235959Z";
            (inNotAfter ? recipe.notAfter : recipe.notBefore) = c.text;
            (inNotAfter ? recipe.notAfterType : recipe.notBeforeType) = c.type;
            const Cert made = make(recipe);
            x::Certificate record;
            const int result = x::buildCertificateFromData(der(made.get()), &record);
            if (result != 0) {
                // The crypto library refused it outright: no certificate, expired.
                expectNoCertificate(record, c.text.c_str());
                continue;
            }
            ++readByTheCryptoLibrary;
            EXPECT_TRUE(record.isExpired) << c.text;
            const std::string& text = inNotAfter ? record.notAfter : record.notBefore;
            EXPECT_TRUE(text.empty()) << c.text << " read as " << text;
            EXPECT_EQ(inNotAfter ? record.notAfterInMilliseconds : record.notBeforeInMilliseconds, 0u);
            int year = -1, month = -1, day = -1, hour = -1, minute = -1, second = -1;
            EXPECT_FALSE(x::asn1dateparse(inNotAfter ? X509_get0_notAfter(record.x509) : X509_get0_notBefore(record.x509),
                                          &year, &month, &day, &hour, &minute, &second));
            EXPECT_EQ(year, -1);
        }
    }
    // Most of these pass the crypto library's own parsing; they must not
    // reach the reader as times.
    EXPECT_GE(readByTheCryptoLibrary, malformed.size());
}
