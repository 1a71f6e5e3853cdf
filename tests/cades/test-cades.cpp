// CAdES-BES signatures made on SoftHSM tokens and checked with OpenSSL, both
// its command line (openssl cms -verify -cades) and its CMS parser.
#include <QCryptographicHash>
#include <QDateTime>
#include <QTimeZone>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <string>
#include <thread>
#include <vector>

#include "cades-test-kit.h"
#include "quessel-signing.h"
#include "tev-cades.h"
#include "test-support.h"
#include "tev-logging.h"

using cadestest::fixture;
using cadestest::ParsedCms;
using tev::quessel::cades::SignatureProfile;

namespace {

const char* kPin = "735291";
const char* kContentType = "1.2.840.113549.1.9.3";
const char* kMessageDigest = "1.2.840.113549.1.9.4";
const char* kSigningTime = "1.2.840.113549.1.9.5";
const char* kSigningCertificateV2 = "1.2.840.113549.1.9.16.2.47";
const char* kSignaturePolicy = "1.2.840.113549.1.9.16.2.15";

// Outcome of one wrapper call: the DER, or the code it threw.
struct Outcome {
    QByteArray der;
    bool threw = false;
    long long code = 0;  // thrown int, or thrown unsigned long
};

Outcome capture(const std::function<std::string()>& call) {
    Outcome o;
    try {
        o.der = cadestest::bytesOfHex(call());
    } catch (int code) {
        o.threw = true;
        o.code = code;
    } catch (unsigned long code) {
        o.threw = true;
        o.code = static_cast<long long>(code);
    }
    return o;
}

struct Request {
    std::string signer = "rsa";
    std::string pin = kPin;
    std::string serial;      // empty: the signer's own
    bool viaFaultModule = false;
    bool addSigningTime = false;
    QDateTime signingTime;
    bool addSignaturePolicy = false;
    SignatureProfile profile;
};

QString moduleFor(const Request& r) {
    return r.viaFaultModule ? fixture().faultModule : fixture().softhsmModule;
}

std::string serialFor(const Request& r) {
    return r.serial.empty() ? fixture().signers.at(r.signer).serial : r.serial;
}

Outcome signData(const Request& r, const QByteArray& data, bool attached) {
    return capture([&] {
        return tev::quessel::signCaDES_BES("softhsm", moduleFor(r), r.pin, serialFor(r),
                                           fixture().slot, r.addSigningTime, r.signingTime,
                                           r.addSignaturePolicy, r.profile, data, attached);
    });
}

Outcome signDigestHex(const Request& r, const std::string& digestHex) {
    return capture([&] {
        return tev::quessel::signCaDES_BES_WithDigestAsBase64(
            "softhsm", moduleFor(r), r.pin, serialFor(r), fixture().slot, r.addSigningTime,
            r.signingTime, r.addSignaturePolicy, r.profile, digestHex.c_str());
    });
}

SignatureProfile testPolicy() {
    SignatureProfile p;
    p.policyOID = {2, 16, 792, 1, 2, 1, 1, 5, 7, 1, 9};
    p.policyDigestAlgorithmOID = {2, 16, 840, 1, 101, 3, 4, 2, 1};
    p.policyDigest = QCryptographicHash::hash("policy document", QCryptographicHash::Sha256);
    p.profileDocumentLink = "http://www.example.org/corvane/policy.pdf";
    p.policyDescription = u8"Corvane test policy \u00d6\u00c7\u015e";
    return p;
}

QByteArray sampleContent() {
    QByteArray data("Corvane CAdES-BES test content\r\n");
    for (int i = 0; i < 256; ++i) data.append(static_cast<char>(i));
    return data;
}

QByteArray sha256(const QByteArray& b) {
    return QCryptographicHash::hash(b, QCryptographicHash::Sha256);
}
QByteArray sha384(const QByteArray& b) {
    return QCryptographicHash::hash(b, QCryptographicHash::Sha384);
}

// DER OCTET STRING of short contents.
QByteArray octetString(const QByteArray& contents) {
    QByteArray der;
    der.append(char(0x04)).append(char(contents.size())).append(contents);
    return der;
}

std::string dotted(const ASN1_OBJECT* o) {
    char text[128];
    OBJ_obj2txt(text, sizeof text, o, 1);
    return text;
}

// Digest and signature algorithm OIDs of the one signer.
std::pair<std::string, std::string> algorithmsOf(const ParsedCms& cms) {
    X509_ALGOR* digest = nullptr;
    X509_ALGOR* signature = nullptr;
    CMS_SignerInfo_get0_algs(cms.signer(), nullptr, nullptr, &digest, &signature);
    const ASN1_OBJECT* d = nullptr;
    const ASN1_OBJECT* s = nullptr;
    X509_ALGOR_get0(&d, nullptr, nullptr, digest);
    X509_ALGOR_get0(&s, nullptr, nullptr, signature);
    return {dotted(d), dotted(s)};
}

QByteArray reencoded(const ParsedCms& cms) {
    unsigned char* der = nullptr;
    const int length = i2d_CMS_ContentInfo(cms.cms, &der);
    QByteArray out(reinterpret_cast<const char*>(der), length);
    OPENSSL_free(der);
    return out;
}

QByteArray embeddedContent(const ParsedCms& cms) {
    ASN1_OCTET_STRING** content = CMS_get0_content(cms.cms);
    if (content == nullptr || *content == nullptr) return {};
    return QByteArray(reinterpret_cast<const char*>(ASN1_STRING_get0_data(*content)),
                      ASN1_STRING_length(*content));
}

bool hasEmbeddedContent(const ParsedCms& cms) {
    ASN1_OCTET_STRING** content = CMS_get0_content(cms.cms);
    return content != nullptr && *content != nullptr;
}

std::vector<QByteArray> certificatesOf(const ParsedCms& cms) {
    std::vector<QByteArray> out;
    STACK_OF(X509)* certs = CMS_get1_certs(cms.cms);
    for (int i = 0; i < sk_X509_num(certs); ++i) {
        unsigned char* der = nullptr;
        const int length = i2d_X509(sk_X509_value(certs, i), &der);
        out.emplace_back(reinterpret_cast<const char*>(der), length);
        OPENSSL_free(der);
    }
    sk_X509_pop_free(certs, X509_free);
    return out;
}

// Every check that must hold for any signature this builder produces.
void expectSoundCms(const QByteArray& der, const std::string& signer) {
    ParsedCms cms(der);
    ASSERT_NE(cms.cms, nullptr) << "OpenSSL cannot parse the output";
    ASSERT_NE(cms.signer(), nullptr) << "not exactly one signer";
    // DER: OpenSSL's own re-encoding (which sorts SET OF members) is identical.
    EXPECT_EQ(reencoded(cms).toHex(), der.toHex());
    const std::vector<QByteArray> attrs = cms.attributeEncodings();
    for (size_t i = 1; i < attrs.size(); ++i)
        EXPECT_LT(attrs[i - 1], attrs[i]) << "signed attributes not in DER order at " << i;
    // Only the signing certificate, never a chain.
    const std::vector<QByteArray> certs = certificatesOf(cms);
    ASSERT_EQ(certs.size(), 1u);
    EXPECT_EQ(certs[0], fixture().signers.at(signer).certificateDer);
    // The signer identifier names that certificate (issuer and serial).
    const QByteArray& c = fixture().signers.at(signer).certificateDer;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(c.constData());
    X509* x = d2i_X509(nullptr, &p, c.size());
    EXPECT_EQ(CMS_SignerInfo_cert_cmp(cms.signer(), x), 0);
    X509_free(x);
}

void expectVerifies(const QByteArray& der, const QByteArray* detached, const QByteArray& content) {
    QByteArray out;
    const cadestest::CommandResult r = cadestest::verifyWithOpenSSL(der, detached, &out);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("Verification successful"), std::string::npos) << r.output;
    EXPECT_EQ(out, content);
}

bool logHasTokenActivity() {
    return corvane::test::readLog().find("PKCS11 : ") != std::string::npos;
}

class CadesTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fixture().ok) GTEST_SKIP() << "token fixture unavailable: " << fixture().problem;
        // These cases read back what one signing logged: keep the file from
        // being emptied at its usual size limit in the middle of a case.
        el::Loggers::reconfigureLogger("default", el::ConfigurationType::MaxLogFileSize,
                                       "100000000");
        corvane::test::clearLog();
    }
    void needFaultModule() {
        if (fixture().faultModule.isEmpty())
            GTEST_FAIL() << "the fault module (target corvane-p11fault) is not built";
        setenv("P11FAULT_TARGET", fixture().softhsmModule.toUtf8().constData(), 1);
        setenv("P11FAULT_EC_SOFT_SIGN", "1", 1);
    }
    void TearDown() override { unsetenv("P11FAULT_EC_SOFT_SIGN"); }
};

// ---- RSA key on SoftHSM ---------------------------------------------------------

TEST_F(CadesTest, AttachedWithoutOptionalAttributesVerifies) {
    const QByteArray data = sampleContent();
    const Outcome o = signData(Request{}, data, true);
    ASSERT_FALSE(o.threw) << o.code;
    expectVerifies(o.der, nullptr, data);
    expectSoundCms(o.der, "rsa");

    ParsedCms cms(o.der);
    EXPECT_EQ(cms.attributeTypes(),
              (std::vector<std::string>{kContentType, kMessageDigest, kSigningCertificateV2}));
    EXPECT_EQ(cms.attributeValue(kMessageDigest), octetString(sha256(data)));
    EXPECT_EQ(embeddedContent(cms), data);
    EXPECT_EQ(algorithmsOf(cms), std::make_pair(std::string("2.16.840.1.101.3.4.2.1"),
                                                std::string("1.2.840.113549.1.1.11")));
    const std::string printed = cadestest::printWithOpenSSL(o.der);
    EXPECT_NE(printed.find("contentType"), std::string::npos) << printed;
    EXPECT_NE(printed.find("messageDigest"), std::string::npos);
    EXPECT_NE(printed.find("id-smime-aa-signingCertificateV2"), std::string::npos);
    EXPECT_EQ(printed.find("signingTime"), std::string::npos);
    EXPECT_EQ(printed.find("sigPolicyId"), std::string::npos);

    const std::string log = corvane::test::readLog();
    EXPECT_NE(log.find("CAdES : Starting generating CaDES signature"), std::string::npos);
    EXPECT_NE(log.find("CAdES : Completed generating CaDES signature"), std::string::npos);
    EXPECT_NE(log.find("Quessel : Completed signing in "), std::string::npos);
    EXPECT_EQ(log.find(kPin), std::string::npos) << "PIN in the log";
    EXPECT_FALSE(cadestest::isMapped("libsofthsm2.so")) << "module left loaded";
}

TEST_F(CadesTest, DetachedWithSigningTimeAndPolicyVerifies) {
    Request r;
    r.addSigningTime = true;
    r.signingTime = QDateTime::currentDateTime();
    r.addSignaturePolicy = true;
    r.profile = testPolicy();
    const QByteArray data = sampleContent();
    const Outcome o = signData(r, data, false);
    ASSERT_FALSE(o.threw) << o.code;
    expectVerifies(o.der, &data, data);
    expectSoundCms(o.der, "rsa");

    ParsedCms cms(o.der);
    EXPECT_FALSE(hasEmbeddedContent(cms));
    std::vector<std::string> types = cms.attributeTypes();
    std::sort(types.begin(), types.end());
    std::vector<std::string> expected{kContentType, kMessageDigest, kSigningTime,
                                      kSigningCertificateV2, kSignaturePolicy};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(types, expected);

    // The policy attribute as OpenSSL's generic parser sees it.
    const QString policyFile = cadestest::writeTemporary("policy.der", cms.attributeValue(kSignaturePolicy));
    const cadestest::CommandResult parsed =
        cadestest::run("openssl", {"asn1parse", "-inform", "DER", "-in", policyFile});
    ASSERT_EQ(parsed.exitCode, 0) << parsed.output;
    const std::string& t = parsed.output;
    for (const char* piece : {":2.16.792.1.2.1.1.5.7.1.9", ":sha256", "id-smime-spq-ets-sqt-uri",
                              "IA5STRING         :http://www.example.org/corvane/policy.pdf",
                              "id-smime-spq-ets-sqt-unotice", "UTF8STRING"}) {
        EXPECT_NE(t.find(piece), std::string::npos) << piece << "\n" << t;
    }
    // No NULL parameters in the policy hash algorithm.
    EXPECT_EQ(t.find("NULL"), std::string::npos) << t;
    EXPECT_NE(t.find(sha256("policy document").toHex().toUpper().toStdString()), std::string::npos)
        << t;

    const std::string printed = cadestest::printWithOpenSSL(o.der);
    for (const char* name : {"contentType", "signingTime", "messageDigest",
                             "id-smime-aa-signingCertificateV2", "id-smime-aa-ets-sigPolicyId"})
        EXPECT_NE(printed.find(name), std::string::npos) << name << "\n" << printed;
    EXPECT_NE(corvane::test::readLog().find(std::string("CAdES : Adding Signature Profile ") +
                                            testPolicy().policyDescription),
              std::string::npos);
}

TEST_F(CadesTest, PolicyAloneBringsSigningTimeAndEmptyQualifierTexts) {
    Request r;
    r.addSignaturePolicy = true;
    r.profile = testPolicy();
    r.profile.profileDocumentLink.clear();
    r.profile.policyDescription.clear();
    const QByteArray data("x");
    const Outcome o = signData(r, data, true);
    ASSERT_FALSE(o.threw) << o.code;
    expectVerifies(o.der, nullptr, data);
    ParsedCms cms(o.der);
    EXPECT_EQ(cms.attributeTypes().size(), 5u);
    EXPECT_FALSE(cms.attributeValue(kSigningTime).isEmpty());
    const QByteArray policy = cms.attributeValue(kSignaturePolicy);
    // SPuri with an empty IA5String, user notice with an empty UTF8String.
    EXPECT_TRUE(policy.contains(QByteArray::fromHex("060b2a864886f70d01091005011600")));
    EXPECT_TRUE(policy.contains(QByteArray::fromHex("060b2a864886f70d010910050230020c00")));
}

TEST_F(CadesTest, PolicyNotAskedForIsNotWrittenAndNotChecked) {
    Request r;
    r.profile = testPolicy();
    r.profile.policyOID = {7};  // unusable, but not asked for
    const QByteArray data("no policy");
    const Outcome o = signData(r, data, true);
    ASSERT_FALSE(o.threw) << o.code;
    expectVerifies(o.der, nullptr, data);
    EXPECT_EQ(ParsedCms(o.der).attributeTypes().size(), 3u);
}

TEST_F(CadesTest, AttachedEmptyDataEmbedsNothingAndDigestsZeroOctets) {
    const QByteArray empty;
    const Outcome o = signData(Request{}, empty, true);
    ASSERT_FALSE(o.threw) << o.code;
    ParsedCms cms(o.der);
    EXPECT_FALSE(hasEmbeddedContent(cms));
    EXPECT_EQ(cms.attributeValue(kMessageDigest), octetString(sha256(empty)));
    expectVerifies(o.der, &empty, empty);
}

TEST_F(CadesTest, LongIssuerNameStillGivesSortedAttributes) {
    // With this issuer the signing-certificate-v2 attribute needs a long-form
    // length, so it sorts after the policy attribute.
    Request r;
    r.signer = "rsa-long";
    r.addSigningTime = true;
    r.addSignaturePolicy = true;
    r.profile = testPolicy();
    const QByteArray data = sampleContent();
    const Outcome o = signData(r, data, true);
    ASSERT_FALSE(o.threw) << o.code;
    expectVerifies(o.der, nullptr, data);
    expectSoundCms(o.der, "rsa-long");
    EXPECT_EQ(ParsedCms(o.der).attributeTypes(),
              (std::vector<std::string>{kContentType, kSigningTime, kMessageDigest,
                                        kSignaturePolicy, kSigningCertificateV2}));
}

TEST_F(CadesTest, SerialWithTopBitSetIsEncodedPositive) {
    // 0x8A0102030405060708 must be written 02 0A 00 8A ..: once in the
    // certificate, once in the signer identifier, once in IssuerSerial.
    const Outcome o = signData(Request{}, "serial", true);
    ASSERT_FALSE(o.threw) << o.code;
    expectVerifies(o.der, nullptr, "serial");
    expectSoundCms(o.der, "rsa");
    EXPECT_EQ(o.der.count(QByteArray::fromHex("020a008a0102030405060708")), 3);
    const QByteArray scv2 = ParsedCms(o.der).attributeValue(kSigningCertificateV2);
    EXPECT_TRUE(scv2.contains(QByteArray::fromHex("020a008a0102030405060708")));
    EXPECT_TRUE(scv2.contains(octetString(sha256(fixture().signers.at("rsa").certificateDer))));
}

// ---- signing time ----------------------------------------------------------------

class LocalTimeZone {
public:
    explicit LocalTimeZone(const char* tz) {
        const char* old = std::getenv("TZ");
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~LocalTimeZone() {
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

QByteArray timeValue(const char* tag, const char* text) {
    QByteArray v;
    v.append(QByteArray::fromHex(tag)).append(char(strlen(text))).append(text);
    return v;
}

TEST_F(CadesTest, SigningTimeIsLocalTimeConvertedToUtc) {
    LocalTimeZone zone("TST-3");  // three hours east of UTC, no daylight saving
    struct Case {
        QDateTime local;
        QByteArray expected;
    };
    const std::vector<Case> cases = {
        {QDateTime(QDate(2026, 12, 7), QTime(22, 9, 39, 876), Qt::LocalTime),
         timeValue("17", "261207190939Z")},
        // 2050 local is still 2049 in UTC: UTCTime.
        {QDateTime(QDate(2050, 1, 1), QTime(2, 0, 0), Qt::LocalTime),
         timeValue("17", "491231230000Z")},
        {QDateTime(QDate(2050, 6, 1), QTime(12, 0, 0), Qt::LocalTime),
         timeValue("18", "20500601090000Z")},
        {QDateTime(QDate(1949, 12, 31), QTime(23, 0, 0), Qt::LocalTime),
         timeValue("18", "19491231200000Z")},
        // A time that already says UTC is not shifted.
        {QDateTime(QDate(2030, 3, 4), QTime(5, 6, 7), Qt::UTC), timeValue("17", "300304050607Z")},
    };
    for (const Case& c : cases) {
        Request r;
        r.addSigningTime = true;
        r.signingTime = c.local;
        const Outcome o = signData(r, "time", true);
        ASSERT_FALSE(o.threw) << o.code;
        EXPECT_EQ(ParsedCms(o.der).attributeValue(kSigningTime).toHex(), c.expected.toHex())
            << c.local.toString(Qt::ISODate).toStdString();
        expectVerifies(o.der, nullptr, "time");
    }
}

TEST_F(CadesTest, MissingOrInvalidSigningTimeGivesNow) {
    for (const QDateTime& given :
         {QDateTime(), QDateTime::fromString("2026-12-07 22:09:39", "dd/MM/yyyy HH:mm:ss")}) {
        Request r;
        r.addSigningTime = true;
        r.signingTime = given;
        const time_t before = time(nullptr);
        const Outcome o = signData(r, "now", true);
        const time_t after = time(nullptr);
        ASSERT_FALSE(o.threw) << o.code;
        const QByteArray value = ParsedCms(o.der).attributeValue(kSigningTime);
        ASSERT_EQ(value.size(), 15) << value.toHex().toStdString();
        const unsigned char* p = reinterpret_cast<const unsigned char*>(value.constData());
        ASN1_TIME* t = d2i_ASN1_TIME(nullptr, &p, value.size());
        ASSERT_NE(t, nullptr);
        // Whole seconds: the written time lies between the two readings.
        EXPECT_GE(ASN1_TIME_cmp_time_t(t, before), 0);
        EXPECT_LE(ASN1_TIME_cmp_time_t(t, after), 0);
        ASN1_TIME_free(t);
    }
}

// ---- the ready-digest form ---------------------------------------------------------

TEST_F(CadesTest, ReadyDigestGivesDetachedSignatureOverThatDigest) {
    const QByteArray data = sampleContent();
    // Non-hex separators are skipped.
    const std::string hex = sha256(data).toHex(':').toUpper().toStdString();
    for (bool withAttributes : {false, true}) {
        Request r;
        r.addSigningTime = withAttributes;
        r.addSignaturePolicy = withAttributes;
        if (withAttributes) r.profile = testPolicy();
        const Outcome o = signDigestHex(r, hex);
        ASSERT_FALSE(o.threw) << o.code;
        expectVerifies(o.der, &data, data);
        expectSoundCms(o.der, "rsa");
        ParsedCms cms(o.der);
        EXPECT_FALSE(hasEmbeddedContent(cms));
        EXPECT_EQ(cms.attributeValue(kMessageDigest), octetString(sha256(data)));
        EXPECT_EQ(cms.attributeTypes().size(), withAttributes ? 5u : 3u);
    }
    const std::string log = corvane::test::readLog();
    EXPECT_NE(log.find("CAdES : Starting signing digest"), std::string::npos);
    EXPECT_NE(log.find("Quessel : completed signing in "), std::string::npos);
}

TEST_F(CadesTest, ReadyDigestOfWrongLengthRefusedBeforeTheToken) {
    struct Case {
        std::string hex;
        std::string logText;
    };
    const std::vector<Case> cases = {
        {"", "No digest is provided to be signed"},
        {"zz-xyz? ghij", "No digest is provided to be signed"},
        {std::string(62, 'a'), "The data digest to be signed is invalid 31"},
        {std::string(66, 'b'), "The data digest to be signed is invalid 33"},
        {std::string(96, 'c'), "The data digest to be signed is invalid 48"},
    };
    for (const Case& c : cases) {
        corvane::test::clearLog();
        const Outcome o = signDigestHex(Request{}, c.hex);
        EXPECT_TRUE(o.threw);
        EXPECT_EQ(o.code, 41) << c.hex;
        const std::string log = corvane::test::readLog();
        EXPECT_NE(log.find("Quessel : " + c.logText), std::string::npos) << log;
        EXPECT_FALSE(logHasTokenActivity()) << log;
        EXPECT_FALSE(cadestest::isMapped("libsofthsm2.so"));
    }
    // A null digest text is an empty digest.
    EXPECT_THROW(tev::quessel::signCaDES_BES_WithDigestAsBase64(
                     "softhsm", fixture().softhsmModule, kPin, fixture().signers.at("rsa").serial,
                     fixture().slot, false, QDateTime(), false, SignatureProfile(), nullptr),
                 int);
}

TEST_F(CadesTest, ReadyDigestMustFitTheKeysDigestAlgorithm) {
    // A P-384 key signs with SHA-384: a 32-byte ready digest would be declared
    // a SHA-384 digest.
    Request r;
    r.signer = "p384";
    const Outcome o = signDigestHex(r, sha256("data").toHex().toStdString());
    EXPECT_TRUE(o.threw);
    EXPECT_EQ(o.code, 41);
    EXPECT_FALSE(cadestest::isMapped("libsofthsm2.so")) << "token not released";
    EXPECT_EQ(corvane::test::readLog().find("Cannot sign raw data"), std::string::npos);

    // The builder itself, with an RSA key and a 48-byte digest; *out untouched.
    tev::quessel::cades::SigningTask task;
    task.libraryName = "softhsm";
    task.modulePath = fixture().softhsmModule;
    task.slotId = fixture().slot;
    task.pin = kPin;
    task.certSerialNumber = fixture().signers.at("rsa").serial;
    task.digest = sha384("data");
    QByteArray out("previous");
    try {
        tev::quessel::cades::signDigest(&out, &task);
        ADD_FAILURE() << "a 48-byte digest was signed with an RSA key";
    } catch (int code) {
        EXPECT_EQ(code, 41);
    }
    EXPECT_EQ(out, QByteArray("previous"));
    EXPECT_FALSE(cadestest::isMapped("libsofthsm2.so"));
}

// ---- refusals and failures -----------------------------------------------------------

TEST_F(CadesTest, UnusablePolicyOidRefusedBeforeTheToken) {
    const std::vector<std::pair<QList<int>, QList<int>>> cases = {
        {{}, {2, 16, 840, 1, 101, 3, 4, 2, 1}},
        {{2}, {2, 16, 840, 1, 101, 3, 4, 2, 1}},
        {{3, 1, 2}, {2, 16, 840, 1, 101, 3, 4, 2, 1}},
        {{1, 40, 1}, {2, 16, 840, 1, 101, 3, 4, 2, 1}},
        {{0, 39, -5}, {2, 16, 840, 1, 101, 3, 4, 2, 1}},
        {{2, 16, 792, 1}, {}},
        {{2, 16, 792, 1}, {5, 1}},
    };
    for (const auto& c : cases) {
        corvane::test::clearLog();
        Request r;
        r.addSignaturePolicy = true;
        r.profile = testPolicy();
        r.profile.policyOID = c.first;
        r.profile.policyDigestAlgorithmOID = c.second;
        const Outcome o = signData(r, "data", true);
        EXPECT_TRUE(o.threw);
        EXPECT_EQ(o.code, 12);
        EXPECT_FALSE(logHasTokenActivity()) << corvane::test::readLog();
        const Outcome d = signDigestHex(r, sha256("data").toHex().toStdString());
        EXPECT_EQ(d.code, 12);
        EXPECT_FALSE(logHasTokenActivity());
    }
    // The widest encodable arcs still sign.
    Request r;
    r.addSignaturePolicy = true;
    r.profile = testPolicy();
    r.profile.policyOID = {2, INT_MAX, INT_MAX};
    const Outcome o = signData(r, "wide", true);
    ASSERT_FALSE(o.threw) << o.code;
    expectVerifies(o.der, nullptr, "wide");
}

TEST_F(CadesTest, KeyOutsideTheAlgorithmTableIsRefusedAndTokenReleased) {
    Request r;
    r.signer = "p521";
    const Outcome o = signData(r, "data", true);
    EXPECT_TRUE(o.threw);
    EXPECT_EQ(o.code, 5);
    EXPECT_EQ(corvane::test::readLog().find("C_Login"), std::string::npos);
    EXPECT_FALSE(cadestest::isMapped("libsofthsm2.so")) << "token not released";
    // The module lock and the token are free again.
    const Outcome next = signData(Request{}, "next", true);
    ASSERT_FALSE(next.threw) << next.code;
    expectVerifies(next.der, nullptr, "next");
}

TEST_F(CadesTest, TokenFailuresPassThroughAndReleaseTheToken) {
    Request wrongPin;
    wrongPin.pin = "000000";
    const Outcome a = signData(wrongPin, "data", true);
    EXPECT_TRUE(a.threw);
    EXPECT_EQ(a.code, 27);
    EXPECT_FALSE(cadestest::isMapped("libsofthsm2.so"));

    Request unknown;
    unknown.serial = "123456789";
    const Outcome b = signData(unknown, "data", true);
    EXPECT_TRUE(b.threw);
    EXPECT_EQ(b.code, 516);
    EXPECT_FALSE(cadestest::isMapped("libsofthsm2.so"));

    const Outcome c = signData(Request{}, "after failures", true);
    ASSERT_FALSE(c.threw) << c.code;
    expectVerifies(c.der, nullptr, "after failures");
}

TEST_F(CadesTest, ConcurrentRequestsAllVerify) {
    constexpr int kThreads = 4;
    constexpr int kEach = 4;
    std::vector<Outcome> outcomes(kThreads * kEach);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &outcomes] {
            for (int i = 0; i < kEach; ++i) {
                Request r;
                r.addSigningTime = (i % 2) == 0;
                outcomes[t * kEach + i] =
                    signData(r, QByteArray("request ") + QByteArray::number(t * kEach + i), i < 2);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    for (int n = 0; n < kThreads * kEach; ++n) {
        ASSERT_FALSE(outcomes[n].threw) << n << ": " << outcomes[n].code;
        const QByteArray data = QByteArray("request ") + QByteArray::number(n);
        expectVerifies(outcomes[n].der, (n % kEach) < 2 ? nullptr : &data, data);
    }
}

TEST_F(CadesTest, RawPkcs1SignatureVerifiesWithTheCertificatesKey) {
    const QByteArray data = sampleContent();
    QByteArray signature("previous");
    const int result = tev::quessel::signPKCS1("softhsm", fixture().softhsmModule, kPin,
                                               fixture().signers.at("rsa").serial, fixture().slot,
                                               sha256(data), &signature);
    EXPECT_EQ(result, 0);
    ASSERT_EQ(signature.size(), 256);
    const cadestest::CommandResult key = cadestest::run(
        "openssl", {"x509", "-pubkey", "-noout", "-in", fixture().dir + "/rsa.crt.pem"});
    ASSERT_EQ(key.exitCode, 0) << key.output;
    const cadestest::CommandResult r = cadestest::run(
        "openssl", {"dgst", "-sha256", "-verify",
                    cadestest::writeTemporary("pub.pem", QByteArray::fromStdString(key.output)),
                    "-signature", cadestest::writeTemporary("raw.sig", signature),
                    cadestest::writeTemporary("raw.bin", data)});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("Verified OK"), std::string::npos) << r.output;

    // Exceptions of the token layer pass through.
    EXPECT_THROW(tev::quessel::signPKCS1("softhsm", fixture().softhsmModule, "000000",
                                         fixture().signers.at("rsa").serial, fixture().slot,
                                         sha256(data), &signature),
                 int);
    EXPECT_FALSE(cadestest::isMapped("libsofthsm2.so"));
}

// ---- ECDSA keys through the test module's software signer -----------------------------

TEST_F(CadesTest, EcdsaP256Verifies) {
    needFaultModule();
    Request r;
    r.signer = "p256";
    r.viaFaultModule = true;
    r.addSigningTime = true;
    r.addSignaturePolicy = true;
    r.profile = testPolicy();
    const QByteArray data = sampleContent();
    for (bool attached : {true, false}) {
        const Outcome o = signData(r, data, attached);
        ASSERT_FALSE(o.threw) << o.code;
        expectVerifies(o.der, attached ? nullptr : &data, data);
        expectSoundCms(o.der, "p256");
        ParsedCms cms(o.der);
        EXPECT_EQ(algorithmsOf(cms), std::make_pair(std::string("2.16.840.1.101.3.4.2.1"),
                                                    std::string("1.2.840.10045.4.3.2")));
        EXPECT_EQ(cms.attributeValue(kMessageDigest), octetString(sha256(data)));
    }
    const Outcome d = signDigestHex(r, sha256(data).toHex().toStdString());
    ASSERT_FALSE(d.threw) << d.code;
    expectVerifies(d.der, &data, data);
    EXPECT_FALSE(cadestest::isMapped("libcorvane-p11fault.so"));
}

TEST_F(CadesTest, EcdsaP384SignsWithSha384) {
    needFaultModule();
    Request r;
    r.signer = "p384";
    r.viaFaultModule = true;
    const QByteArray data = sampleContent();
    for (bool withAttributes : {false, true}) {
        r.addSigningTime = withAttributes;
        r.addSignaturePolicy = withAttributes;
        r.profile = withAttributes ? testPolicy() : SignatureProfile();
        for (bool attached : {true, false}) {
            const Outcome o = signData(r, data, attached);
            ASSERT_FALSE(o.threw) << o.code;
            expectVerifies(o.der, attached ? nullptr : &data, data);
            expectSoundCms(o.der, "p384");
            ParsedCms cms(o.der);
            EXPECT_EQ(algorithmsOf(cms), std::make_pair(std::string("2.16.840.1.101.3.4.2.2"),
                                                        std::string("1.2.840.10045.4.3.3")));
            EXPECT_EQ(cms.attributeValue(kMessageDigest), octetString(sha384(data)));
        }
    }
    EXPECT_NE(corvane::test::readLog().find("CAdES : Digest algorithm: SHA384"), std::string::npos);
}

}  // namespace
