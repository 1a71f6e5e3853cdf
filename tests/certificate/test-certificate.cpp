// Reading certificates into the record: names, identity number, keys, times,
// CRL locations, expiry, value semantics and list order.
#include "certificate-factory.h"
#include "test-support.h"
#include "tev-certificate.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryFile>
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>

namespace x = tev::x509;
using namespace certfactory;

namespace {

const std::vector<NameEntry> kCaName = {{"C", "TR"}, {"O", "Example"}, {"CN", "Example CA"}};
const std::vector<NameEntry> kHolder = {{"C", "TR"}, {"serialNumber", "12345678901"}, {"CN", "Test User"}};

struct Issued {
    Cert ca;
    Cert leaf;
};

Issued issue(Recipe leafSpec) {
    Recipe caSpec;
    caSpec.subject = kCaName;
    caSpec.serialDecimal = "1000";
    Issued issued{make(caSpec), nullptr};
    leafSpec.issuerCertificate = issued.ca.get();
    leafSpec.signingKey = sharedRsa2048();
    issued.leaf = make(leafSpec);
    return issued;
}

x::Certificate read(X509* x509) {
    x::Certificate record;
    EXPECT_EQ(x::buildCertificateFromData(der(x509), &record), 0);
    return record;
}

// SHA-1 fingerprint as the openssl tool prints it, turned into Base64.
std::string sha1ByOpensslTool(X509* x509) {
    QTemporaryFile file(QDir::tempPath() + "/cert-XXXXXX.der");
    if (!file.open())
        return "no temp file";
    file.write(der(x509));
    file.flush();
    QProcess openssl;
    openssl.start("openssl", {"x509", "-inform", "DER", "-in", file.fileName(), "-noout", "-fingerprint", "-sha1"});
    if (!openssl.waitForFinished(20000))
        return "openssl did not finish";
    const QByteArray output = openssl.readAllStandardOutput().trimmed();
    const int equals = output.indexOf('=');
    if (equals < 0)
        return "unexpected output: " + output.toStdString();
    return QByteArray::fromHex(output.mid(equals + 1).replace(':', "")).toBase64().toStdString();
}

class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        const char* old = std::getenv("TZ");
        hadOld_ = old != nullptr;
        if (old)
            old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (hadOld_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool hadOld_ = false;
    std::string old_;
};

}  // namespace

TEST(CertificateReading, NamesIdentityNumberAndSerial) {
    Recipe recipe;
    recipe.subject = kHolder;
    recipe.serialDecimal = "123456789012345678901234567890";
    const Issued issued = issue(recipe);
    const x::Certificate record = read(issued.leaf.get());

    EXPECT_EQ(record.version, 3);
    EXPECT_EQ(record.serialNumber, "123456789012345678901234567890");
    EXPECT_EQ(record.issuer, "CN=Example CA,O=Example,C=TR");
    EXPECT_EQ(record.issuerCommonName, "Example CA");
    EXPECT_EQ(record.subject, "TR 12345678901 Test User ");
    EXPECT_EQ(record.subjectIdentityNumber, "12345678901");
    EXPECT_EQ(record.subjectNameSurname, "Test User");
    EXPECT_EQ(record.signatureAlgorithm, "sha256WithRSAEncryption");
    EXPECT_EQ(record.sha1Digest, sha1ByOpensslTool(issued.leaf.get()));
    EXPECT_EQ(record.sha1Digest.size(), 28u);
    EXPECT_TRUE(record.label.empty());
    EXPECT_EQ(record.id, nullptr);
    EXPECT_EQ(record.reservedMarker, -1);
    EXPECT_TRUE(record.ocspUrls.empty());
    EXPECT_TRUE(record.crlUrls.empty());
    ASSERT_NE(record.x509, nullptr);

    // The signature text is the Base64 of the signature bits.
    const ASN1_BIT_STRING* signature = nullptr;
    X509_get0_signature(&signature, nullptr, issued.leaf.get());
    const QByteArray bits(reinterpret_cast<const char*>(ASN1_STRING_get0_data(signature)), ASN1_STRING_length(signature));
    EXPECT_EQ(record.signature, bits.toBase64().toStdString());

    const std::string log = corvane::test::readLog();
    EXPECT_NE(log.find("Certificate : -- Parsing certificate data"), std::string::npos);
    EXPECT_NE(log.find("Certificate : Subject Identity Number: 12345678901"), std::string::npos);
    EXPECT_NE(log.find("Certificate : -- Completed parsing of the certificate with 0"), std::string::npos);
}

TEST(CertificateReading, SubjectWithoutIdentityNumberRepeatedAttributesAndStringTypes) {
    Recipe recipe;
    // A BMPString (UTF-16BE) value, a repeated OU (the later one wins in
    // lookups) and an attribute the library has no short name for.
    const std::string bmpCompany("\x01\x5E\x00\x69\x00\x72\x00\x6B\x00\x65\x00\x74", 12);  // "Şirket"
    recipe.subject = {{"C", "TR"},
                    {"O", bmpCompany, V_ASN1_BMPSTRING},
                    {"OU", "First Unit"},
                    {"OU", "Second Unit"},
                    {"CN", "Çağrı Işık"}};
    recipe.issuer = {{"C", "TR"}, {"OU", "Unit A"}, {"OU", "Unit B"}, {"1.2.3.4.5", "odd"}, {"CN", "Issuer Ş"}};
    recipe.serialDecimal = "-5";
    const Cert certificate = make(recipe);
    const x::Certificate record = read(certificate.get());

    EXPECT_EQ(record.subject, "TR Şirket First Unit Second Unit Çağrı Işık ");
    EXPECT_EQ(record.subjectIdentityNumber, "");
    EXPECT_EQ(record.subjectNameSurname, "Çağrı Işık");
    EXPECT_EQ(record.issuer, "CN=Issuer Ş,1.2.3.4.5=odd,OU=Unit B,OU=Unit A,C=TR");
    EXPECT_EQ(record.issuerCommonName, "Issuer Ş");
    EXPECT_EQ(record.serialNumber, "-5");
    EXPECT_EQ(x::getIssuerOrganizationalUnitName(certificate.get()), "Unit B");
    EXPECT_EQ(x::getIssuerCountryName(certificate.get()), "TR");
    EXPECT_EQ(x::getIssuerOrganizationName(certificate.get()), "");
    EXPECT_EQ(x::getSubjectAsMap(certificate.get()).at("O"), "Şirket");
    EXPECT_EQ(x::getIssuerAsOneLine(certificate.get()), "TR Unit A Unit B odd Issuer Ş ");

    Recipe version1 = recipe;
    version1.version1 = true;
    const Cert old = make(version1);
    EXPECT_EQ(read(old.get()).version, 1);
}

TEST(CertificateReading, KeyTypesSizesAndCurves) {
    struct Case {
        Key key;
        std::string type;
        unsigned bits;
        std::string curve;
    };
    const std::vector<Case> cases = {
        {sharedRsa2048(), "RSA", 2048, ""},
        {sharedP256(), "ECC", 256, "prime256v1"},
        {ecKey("P-384"), "ECC", 384, "secp384r1"},
        {ecKey("P-521"), "ECC", 521, "secp521r1"},
        // Field degree 160 while the group order has 161 bits: the size is
        // the degree.
        {ecKey("secp160r1"), "ECC", 160, "secp160r1"},
    };
    for (const Case& c : cases) {
        Recipe recipe;
        recipe.subject = kHolder;
        recipe.subjectKey = c.key;
        const Issued issued = issue(recipe);
        const x::Certificate record = read(issued.leaf.get());
        EXPECT_EQ(record.publicKeyType, c.type) << c.curve;
        EXPECT_EQ(record.publicKeySize, c.bits) << c.curve;
        EXPECT_EQ(record.publicKeyECCurveName, c.curve);
    }
    EXPECT_EQ(EVP_PKEY_get_bits(cases.back().key.get()), 161);

    // An EC certificate signed by its own key names the ECDSA algorithm.
    Recipe selfSigned;
    selfSigned.subject = kHolder;
    selfSigned.subjectKey = sharedP256();
    EXPECT_EQ(read(make(selfSigned).get()).signatureAlgorithm, "ecdsa-with-SHA256");
}

TEST(CertificateReading, ValidityTimesInBothEncodings) {
    struct Case {
        std::string asn1;
        std::string text;
        QDateTime utc;
    };
    const std::vector<Case> cases = {
        {"691231235959Z", "2069-12-31 23:59:59 GMT", QDateTime(QDate(2069, 12, 31), QTime(23, 59, 59), Qt::UTC)},
        {"700101000000Z", "1970-01-01 00:00:00 GMT", QDateTime(QDate(1970, 1, 1), QTime(0, 0, 0), Qt::UTC)},
        {"250301090500Z", "2025-03-01 09:05:00 GMT", QDateTime(QDate(2025, 3, 1), QTime(9, 5, 0), Qt::UTC)},
        {"20491231235959Z", "2049-12-31 23:59:59 GMT", QDateTime(QDate(2049, 12, 31), QTime(23, 59, 59), Qt::UTC)},
        {"20240229120000Z", "2024-02-29 12:00:00 GMT", QDateTime(QDate(2024, 2, 29), QTime(12, 0, 0), Qt::UTC)},
        // Fraction and zone letter after the seconds are ignored.
        {"20300615101112.5Z", "2030-06-15 10:11:12 GMT", QDateTime(QDate(2030, 6, 15), QTime(10, 11, 12), Qt::UTC)},
    };
    for (const Case& c : cases) {
        Recipe recipe;
        recipe.subject = kHolder;
        recipe.notBefore = "200101000000Z";
        recipe.notAfter = c.asn1;
        const Cert certificate = make(recipe);
        const x::Certificate record = read(certificate.get());
        EXPECT_EQ(record.notBefore, "2020-01-01 00:00:00 GMT");
        EXPECT_EQ(record.notAfter, c.text) << c.asn1;
        EXPECT_EQ(record.notAfterInMilliseconds, static_cast<std::uint64_t>(c.utc.toMSecsSinceEpoch())) << c.asn1;
        EXPECT_EQ(x::asn1datetime_isodatetime(X509_get0_notAfter(certificate.get())), c.text);
        EXPECT_EQ(x::asn1date_isodate(X509_get0_notAfter(certificate.get())), c.text.substr(0, 10));
        tev::datetime::dt date;
        ASSERT_TRUE(asn1TimeToTevDate(X509_get0_notAfter(certificate.get()), &date));
        EXPECT_EQ(date.month, c.utc.date().month() - 1);
        EXPECT_EQ(date.year, c.utc.date().year());
    }

    // The counts order times: 31 January before 1 February, one year apart
    // by the real length of the year.
    Recipe january;
    january.notAfter = "250131120000Z";
    Recipe february;
    february.notAfter = "250201120000Z";
    const x::Certificate a = read(make(january).get());
    const x::Certificate b = read(make(february).get());
    EXPECT_EQ(b.notAfterInMilliseconds - a.notAfterInMilliseconds, 86400000u);
    Recipe nextYear;
    nextYear.notAfter = "260131120000Z";
    EXPECT_EQ(read(make(nextYear).get()).notAfterInMilliseconds - a.notAfterInMilliseconds, 365ull * 86400000ull);
}

TEST(CertificateReading, CrlDistributionPointsReadOnlyTextNames) {
    Recipe plain;
    plain.subject = kHolder;
    plain.crl = CrlKinds::Uris;
    plain.crlUris = {"http://crl.example.test/one.crl", "http://crl2.example.test/two.crl"};
    EXPECT_EQ(read(make(plain).get()).crlUrls,
              (std::vector<std::string>{"http://crl.example.test/one.crl", "http://crl2.example.test/two.crl"}));

    Recipe every = plain;
    every.crl = CrlKinds::EveryKind;
    every.crlUris = {"http://crl.example.test/one.crl"};
    const x::Certificate record = read(make(every).get());
    EXPECT_EQ(record.crlUrls,
              (std::vector<std::string>{"http://crl.example.test/one.crl", "crl-host.example.test", "crl@example.test",
                                        "relative-crl", "ldap://ldap.example.test/cn=crl"}));
    EXPECT_NE(corvane::test::readLog().find("Certificate : CRL URL: ldap://ldap.example.test/cn=crl"), std::string::npos);
}

TEST(CertificateReading, ExpiryFollowsUtcWhateverTheLocalTimeZone) {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    struct Case {
        std::string notBefore, notAfter;
        bool expired;
        const char* what;
    };
    const std::vector<Case> cases = {
        {utcTime(now.addDays(-10)), utcTime(now.addSecs(-3600)), true, "ended an hour ago (UTCTime)"},
        {utcTime(now.addDays(-10)), utcTime(now.addSecs(3600)), false, "ends in an hour (UTCTime)"},
        {generalizedTime(now.addDays(-10)), generalizedTime(now.addSecs(-3600)), true, "ended an hour ago"},
        {generalizedTime(now.addDays(-10)), generalizedTime(now.addSecs(3600)), false, "ends in an hour"},
        {utcTime(now.addSecs(3600)), utcTime(now.addDays(10)), true, "starts in an hour"},
        {utcTime(now.addSecs(-3600)), utcTime(now.addDays(10)), false, "started an hour ago"},
    };
    // Three hours east and three hours west of UTC.
    for (const char* zone : {"Etc/GMT-3", "Etc/GMT+3", "Europe/Istanbul", "UTC"}) {
        ScopedTimeZone scoped(zone);
        for (const Case& c : cases) {
            Recipe recipe;
            recipe.subject = kHolder;
            recipe.notBefore = c.notBefore;
            recipe.notAfter = c.notAfter;
            EXPECT_EQ(read(make(recipe).get()).isExpired, c.expired) << zone << ": " << c.what;
        }
    }
}

TEST(CertificateRecord, DefaultsAndValueSemantics) {
    const x::Certificate empty;
    EXPECT_TRUE(empty.isExpired);
    EXPECT_EQ(empty.reservedMarker, -1);
    EXPECT_EQ(empty.x509, nullptr);
    EXPECT_EQ(empty.id, nullptr);
    EXPECT_EQ(empty.idLength, 0u);
    EXPECT_TRUE(empty.serialNumber.empty() && empty.subject.empty() && empty.crlUrls.empty());

    Recipe recipe;
    recipe.subject = kHolder;
    recipe.crl = CrlKinds::Uris;
    const Cert made = make(recipe);
    const std::string hex = x::toHex(made.get());

    x::Certificate copy;
    {
        x::Certificate original = read(made.get());
        original.label = "Signing key";
        original.id = static_cast<unsigned char*>(std::malloc(3));
        std::memcpy(original.id, "\x01\x02\x03", 3);
        original.idLength = 3;
        copy = original;                  // copy assignment
        x::Certificate second(original);  // copy construction
        EXPECT_NE(second.id, original.id);
        EXPECT_EQ(second.x509, original.x509);
    }
    // The copy outlives the record it came from.
    ASSERT_NE(copy.x509, nullptr);
    EXPECT_EQ(x::toHex(copy.x509), hex);
    ASSERT_EQ(copy.idLength, 3u);
    EXPECT_EQ(std::memcmp(copy.id, "\x01\x02\x03", 3), 0);
    EXPECT_EQ(copy.label, "Signing key");
    EXPECT_EQ(copy.crlUrls.size(), 1u);

    // Move assignment takes everything over.
    x::Certificate moved;
    moved = std::move(copy);
    EXPECT_EQ(x::toHex(moved.x509), hex);
    EXPECT_EQ(moved.idLength, 3u);
    x::Certificate constructed(std::move(moved));
    EXPECT_EQ(x::toHex(constructed.x509), hex);
    EXPECT_EQ(constructed.subjectIdentityNumber, "12345678901");

    // Self-assignment keeps the record intact.
    x::Certificate& alias = constructed;
    constructed = alias;
    constructed = std::move(alias);
    EXPECT_EQ(x::toHex(constructed.x509), hex);
    EXPECT_EQ(std::memcmp(constructed.id, "\x01\x02\x03", 3), 0);

    // Records held in containers and maps keyed by serial number.
    std::vector<x::Certificate> list(5, constructed);
    std::map<std::string, x::Certificate> bySerial;
    for (const x::Certificate& entry : list)
        bySerial[entry.serialNumber] = entry;
    list.clear();
    ASSERT_EQ(bySerial.size(), 1u);
    EXPECT_EQ(x::toHex(bySerial.begin()->second.x509), hex);
}

TEST(CertificateRecord, TakesOverTheCallersReferenceToAParsedCertificate) {
    Recipe recipe;
    recipe.subject = kHolder;
    X509* parsed = parse(der(make(recipe).get())).release();
    X509_up_ref(parsed);  // the test keeps a reference of its own to look at afterwards
    {
        x::Certificate record;
        EXPECT_EQ(x::pkcs11CertToX509Cert(parsed, &record), 0);
        EXPECT_EQ(record.x509, parsed);
        EXPECT_EQ(record.subjectIdentityNumber, "12345678901");
        x::Certificate copy = record;
        // Filling again with another certificate releases the first one.
        X509* second = parse(der(make(recipe).get())).release();
        EXPECT_EQ(x::pkcs11CertToX509Cert(second, &record), 0);
        EXPECT_EQ(record.x509, second);
        EXPECT_EQ(copy.x509, parsed);
    }
    EXPECT_FALSE(x::getSerialNumber(parsed).empty());
    X509_free(parsed);

    // The by-value form fills the values text issuer and the curve name.
    X509* another = parse(der(issue(recipe).leaf.get())).release();
    const x::Certificate byValue = x::pkcs11CertToX509Cert(another);
    EXPECT_EQ(byValue.issuer, "TR Example Example CA ");
    EXPECT_EQ(byValue.subject, "TR 12345678901 Test User ");
    EXPECT_EQ(byValue.publicKeyType, "RSA");
    EXPECT_TRUE(byValue.issuerCommonName.empty());
    EXPECT_EQ(byValue.x509, another);
}

TEST(CertificateRecord, ListOrderPutsIdentityCertificatesFirstThenLaterExpiry) {
    Recipe first;
    first.subject = kHolder;
    first.notAfter = "300101000000Z";
    Recipe second = first;
    second.notAfter = "280101000000Z";
    Recipe other;
    other.subject = {{"C", "TR"}, {"CN", "Device"}};
    other.notAfter = "20500101000000Z";
    Recipe otherEarlier = other;
    otherEarlier.notAfter = "270101000000Z";

    std::vector<x::Certificate> list = {read(make(other).get()), read(make(second).get()),
                                        read(make(otherEarlier).get()), read(make(first).get())};
    std::sort(list.begin(), list.end(), std::greater<x::Certificate>());
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].notAfter, "2030-01-01 00:00:00 GMT");
    EXPECT_EQ(list[1].notAfter, "2028-01-01 00:00:00 GMT");
    EXPECT_EQ(list[2].notAfter, "2050-01-01 00:00:00 GMT");
    EXPECT_EQ(list[3].notAfter, "2027-01-01 00:00:00 GMT");
    EXPECT_TRUE(list[0] > list[2]);
    EXPECT_FALSE(list[2] > list[1]);
    EXPECT_FALSE(list[0] > list[0]);
}
