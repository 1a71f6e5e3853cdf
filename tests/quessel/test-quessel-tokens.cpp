// The PKCS#11 road of the command layer on SoftHSM2 (and the fault module for
// the codes SoftHSM never gives): certificate listing with its order and
// fields, the five signing actions with signatures checked by openssl and
// xmlsec1, every error road, no PIN in the log, and parallel requests.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <openssl/evp.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "../rig/softhsm/softhsm-fixture.h"
#include "quessel-commons.h"
#include "quessel-test-kit.h"
#include "test-support.h"
#include "tev-pkcs11.h"
#include "tev-smartcard.h"

namespace q = tev::quessel;
using quesseltest::b64;
using quesseltest::kNonce;
using quesseltest::logHas;
using quesseltest::normalised;

namespace {

// The user PIN of corvane-main after set-up: a text that occurs nowhere else,
// so finding it in the log means it was logged.
const char* const kPin = "Qv7-pin-8812";
const char* const kTxn = "7d444840-9dc0-11d1-b245-5ffdce74fad2";

struct OrderCertificate {
    const char* name;
    const char* subject;
    int days;
};
// Listed as: with a subject serial number first, then the one that expires last.
const OrderCertificate kOrderCertificates[] = {
    {"order-a", "/C=TR/O=Order/CN=Order A", 100},
    {"order-b", "/C=TR/O=Order/serialNumber=11111111111/CN=Order B", 50},
    {"order-c", "/C=TR/O=Order/CN=Order C", 900},
    {"order-d", "/C=TR/O=Order/serialNumber=22222222222/CN=Order D", 400},
};

struct Fixture {
    bool ok = false;
    std::string problem;
    corvane::rig::SoftHsmTokens tokens;
    QString faultModule;
    int mainSlot = -1;
    int emptySlot = -1;
    int orderSlot = -1;
    std::map<std::string, QByteArray> orderDer;

    std::string serial(const char* name) const { return tokens.get(std::string(name) + "_SERIAL"); }
    QString ca() const { return tokens.qget("CA_CERT"); }
};

bool step(Fixture& f, const QString& program, const QStringList& args) {
    const quesseltest::ToolRun r = quesseltest::runTool(program, args);
    if (r.exitCode != 0) f.problem = program.toStdString() + " failed: " + r.output;
    return r.exitCode == 0;
}

Fixture build() {
    Fixture f;
    const QString dir = corvane::test::privateFolder() + "/hsm";
    f.tokens = corvane::rig::makeSoftHsmTokens(dir);
    if (!f.tokens.ok) {
        f.problem = f.tokens.skipReason.toStdString();
        return f;
    }
    f.tokens.exportConfig();
    const QString module = QString::fromStdString(f.tokens.module());
    f.mainSlot = f.tokens.slotOf("corvane-main");
    f.emptySlot = f.tokens.slotOf("corvane-empty");
    if (!step(f, "pkcs11-tool", {"--module", module, "--token-label", "corvane-main", "--login", "--pin", "1234",
                                 "--change-pin", "--new-pin", kPin}))
        return f;

    // A token of certificates only, to see the listing order.
    const quesseltest::ToolRun init = quesseltest::runTool(
        "softhsm2-util", {"--init-token", "--free", "--label", "corvane-order", "--so-pin", "12345678", "--pin", "1234"});
    const QRegularExpressionMatch slot = QRegularExpression("reassigned to slot (\\d+)").match(QString::fromStdString(init.output));
    if (init.exitCode != 0 || !slot.hasMatch()) {
        f.problem = "cannot make the order token: " + init.output;
        return f;
    }
    f.orderSlot = slot.captured(1).toInt();
    int id = 0x31;
    for (const OrderCertificate& c : kOrderCertificates) {
        const QString base = dir + "/" + c.name;
        if (!step(f, "openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                                 "-keyout", base + ".key", "-days", QString::number(c.days), "-subj", c.subject,
                                 "-outform", "DER", "-out", base + ".der"}))
            return f;
        if (!step(f, "pkcs11-tool", {"--module", module, "--token-label", "corvane-order", "--login", "--pin", "1234",
                                     "--write-object", base + ".der", "--type", "cert", "--id",
                                     QString::number(id++, 16), "--label", c.name}))
            return f;
        QFile der(base + ".der");
        der.open(QIODevice::ReadOnly);
        f.orderDer[c.name] = der.readAll();
    }

    f.faultModule = corvane::rig::faultModulePath();
    const QString xml =
        QString("<smartcard-config><libraries>"
                "<library name=\"softhsm\"><driver operatingSystem=\"Linux_x64\" path=\"%1\"/></library>"
                "<library name=\"p11fault\"><driver operatingSystem=\"Linux_x64\" path=\"%2\"/></library>"
                "</libraries><card-types/></smartcard-config>")
            .arg(module, f.faultModule.isEmpty() ? QString("/nonexistent/p11fault.so") : f.faultModule);
    if (tev::smartcard::configure(xml.toUtf8().constData()) != 0) {
        f.problem = "test card database does not parse";
        return f;
    }
    f.ok = true;
    return f;
}

const Fixture& fixture() {
    static const Fixture f = build();
    return f;
}

// Sets fault-module variables for one test and removes them afterwards.
class FaultEnvironment {
public:
    void set(const char* name, const char* value) {
        setenv(name, value, 1);
        names_.push_back(name);
    }
    ~FaultEnvironment() {
        for (const char* n : names_) unsetenv(n);
    }

private:
    std::vector<const char*> names_;
};

class TokenTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { quesseltest::keepWholeLog(); }
    void SetUp() override {
        if (!fixture().ok) GTEST_SKIP() << "no SoftHSM tokens: " << fixture().problem;
        fixture().tokens.exportConfig();
        corvane::test::clearLog();
    }
    void TearDown() override {
        if (!fixture().ok) return;
        EXPECT_FALSE(logHas(kPin)) << "the PIN reached the log";
    }

    const Fixture& f() const { return fixture(); }

    QJsonObject signRequest(const char* serialOf, const QByteArray& data, const char* library = "softhsm") const {
        return QJsonObject{{"transactionUUID", kTxn},
                           {"library", library},
                           {"slotId", QString::number(f().mainSlot)},
                           {"certSerialNumber", QString::fromStdString(f().serial(serialOf))},
                           {"pincode", kPin},
                           {"dataBase64", QString(data.toBase64())}};
    }
    void requireFaultModule() {
        if (f().faultModule.isEmpty()) GTEST_FAIL() << "the fault module corvane-p11fault is not built";
    }
};

template <typename Code, typename Command>
Code thrown(Command command, const QJsonObject& request, bool* threw) {
    *threw = false;
    try {
        command(request);
    } catch (Code code) {
        *threw = true;
        return code;
    }
    return Code();
}

int thrownInt(std::string (*command)(const QJsonObject&), const QJsonObject& request) {
    bool threw = false;
    const int code = thrown<int>(command, request, &threw);
    EXPECT_TRUE(threw) << "no int was thrown";
    return code;
}

unsigned long thrownRaw(std::string (*command)(const QJsonObject&), const QJsonObject& request) {
    bool threw = false;
    const unsigned long code = thrown<unsigned long>(command, request, &threw);
    EXPECT_TRUE(threw) << "no unsigned long was thrown";
    return code;
}

// The one "signature" value of a single-object answer.
QByteArray signatureOf(const std::string& answer) {
    return quesseltest::unb64(quesseltest::valuesOf(answer, "signature").at(0));
}

// ---- certificate listing ----------------------------------------------------------------------

TEST_F(TokenTest, ListsTheCertificatesOfASlotInOrderWithTheirFields) {
    // The slot as text with a leading blank and trailing letters still reads.
    const std::string answer = q::listSignerCertificatesAsJSON(
        {{"transactionUUID", kTxn}, {"jobUUID", "job-1"}, {"library", "softhsm"},
         {"slotId", " " + QString::number(f().orderSlot) + "xyz"}});
    std::string expected = "[";
    for (const char* name : {"order-d", "order-b", "order-c", "order-a"}) {
        if (expected.size() > 1) expected += ",";
        expected += quesseltest::certificateObject(quesseltest::describe(f().orderDer.at(name)), kTxn, "job-1", true);
    }
    expected += "]";
    int nonces = 0;
    EXPECT_EQ(normalised(answer, &nonces), expected);
    EXPECT_EQ(nonces, 4);
    EXPECT_TRUE(logHas("Quessel : Querying certificates with library softhsm at slotID  " +
                       std::to_string(f().orderSlot) + "xyz"));
    EXPECT_TRUE(logHas("Quessel : Found 4 certificates"));
    EXPECT_TRUE(logHas("Quessel : Returning certificate issuer common name"));
    EXPECT_TRUE(logHas("Quessel : Completed retrieving certificates from the smart card"));
}

TEST_F(TokenTest, ListsTheSigningTokenWithSubjectSerialNumberFirst) {
    const std::string answer = q::listSignerCertificatesAsJSON(
        {{"transactionUUID", kTxn}, {"library", "softhsm"}, {"slotId", QString::number(f().mainSlot)}});
    const std::vector<std::string> serials = quesseltest::valuesOf(answer, "serialNumber");
    ASSERT_EQ(serials.size(), 4u) << answer;
    EXPECT_EQ(quesseltest::unb64(serials[0]).toStdString(), f().serial("RSA"));
    const std::string text = normalised(answer);
    std::int64_t previousNotAfter = INT64_MAX;
    for (size_t i = 0; i < serials.size(); ++i) {
        const std::string serial = quesseltest::unb64(serials[i]).toStdString();
        for (const char* name : {"RSA", "EC256", "EC384", "EXPIRED"}) {
            if (f().serial(name) != serial) continue;
            const auto c = quesseltest::describe(f().tokens.file(std::string(name) + "_CERT_DER"));
            EXPECT_NE(text.find(quesseltest::certificateObject(c, kTxn, "", true)), std::string::npos) << name;
            if (i > 0) {
                EXPECT_LE(c.notAfterSeconds, previousNotAfter) << name;
                previousNotAfter = c.notAfterSeconds;
            }
            if (std::string(name) == "EXPIRED") {
                EXPECT_TRUE(c.expired);
            }
        }
    }
    // "commonName" is the subject line, as "subject" is.
    EXPECT_EQ(quesseltest::valuesOf(answer, "commonName"), quesseltest::valuesOf(answer, "subject"));
}

TEST_F(TokenTest, AnEmptySlotAnswers23) {
    EXPECT_EQ(normalised(q::listSignerCertificatesAsJSON({{"transactionUUID", kTxn}, {"jobUUID", "J"},
                                                          {"library", "softhsm"},
                                                          {"slotId", QString::number(f().emptySlot)}})),
              std::string("[{\"responseCode\": \"23\",\"nonce\": \"") + kNonce +
                  "\",\"jobUUID\": \"J\",\"transactionUUID\": \"" + kTxn + "\"}]");
    EXPECT_TRUE(logHas("Quessel : Found 0 certificates"));
}

TEST_F(TokenTest, ASlotThatCannotBeReadAnswers33) {
    requireFaultModule();
    FaultEnvironment env;
    env.set("P11FAULT_C_FindObjectsInit_RV", "0x30");
    EXPECT_EQ(normalised(q::listSignerCertificatesAsJSON(
                  {{"transactionUUID", kTxn}, {"library", "p11fault"}, {"slotId", QString::number(f().mainSlot)}})),
              std::string("[{\"responseCode\": \"33\",\"nonce\": \"") + kNonce + "\",\"transactionUUID\": \"" + kTxn +
                  "\"}]");
    // A slot without a token cannot even be opened.
    EXPECT_EQ(quesseltest::valuesOf(q::listSignerCertificatesAsJSON({{"library", "softhsm"}, {"slotId", "424242"}}),
                                    "responseCode"),
              std::vector<std::string>{"33"});
}

// ---- raw PKCS#1 v1.5 ---------------------------------------------------------------------------

TEST_F(TokenTest, SignsADigestWithPKCS1) {
    const QByteArray digest = quesseltest::sha256("the document");
    QJsonObject request = signRequest("RSA", digest);
    request["slotId"] = QString::number(f().mainSlot) + "th";
    const std::string answer = q::signPKCS1AsJSON(request);
    const QByteArray signature = signatureOf(answer);
    EXPECT_EQ(normalised(answer), std::string("[{\"responseCode\": \"0\",\"transactionUUID\": \"") + kTxn +
                                      "\",\"nonce\": \"" + kNonce + "\",\"signature\": \"" + b64(signature) + "\"}]");
    const auto verified = quesseltest::verifyPkcs1(digest, signature, f().tokens.qget("RSA_CERT"));
    EXPECT_EQ(verified.exitCode, 0) << verified.output;
    // Deterministic: the same as OpenSSL's own signature with the key file.
    const auto own = quesseltest::runTool(
        "openssl", {"pkeyutl", "-sign", "-inkey", f().tokens.qget("RSA_KEY"), "-pkeyopt", "digest:sha256", "-in",
                    quesseltest::writeTemporary("d.bin", digest), "-out",
                    corvane::test::privateFolder() + "/own.sig"});
    ASSERT_EQ(own.exitCode, 0) << own.output;
    QFile ownSignature(corvane::test::privateFolder() + "/own.sig");
    ASSERT_TRUE(ownSignature.open(QIODevice::ReadOnly));
    EXPECT_EQ(signature, ownSignature.readAll());
    for (const char* line : {"Quessel : Executing method signPKCS1AsJSON", "Quessel : Driver: softhsm",
                             "Quessel : Digest Length: 32", "Quessel : Completed signPKCS1"})
        EXPECT_TRUE(logHas(line)) << line;
    EXPECT_TRUE(logHas("Quessel : Slot ID: " + std::to_string(f().mainSlot) + "\n"));
    EXPECT_TRUE(logHas("Quessel : Certificate Serial Number: " + f().serial("RSA")));
}

TEST_F(TokenTest, PKCS1FailuresLeaveAsTheirCodes) {
    const QByteArray digest = quesseltest::sha256("x");
    QJsonObject wrongPin = signRequest("RSA", digest);
    wrongPin["pincode"] = "0000";
    EXPECT_EQ(thrownInt(q::signPKCS1AsJSON, wrongPin), 27);
    EXPECT_EQ(thrownInt(q::signPKCS1AsJSON, signRequest("EXPIRED", digest)), 23);
    QJsonObject unknown = signRequest("RSA", digest);
    unknown["certSerialNumber"] = "999999";
    EXPECT_EQ(thrownInt(q::signPKCS1AsJSON, unknown), 516);
    // SoftHSM refuses CKM_RSA_PKCS with an EC key: the raw return value.
    EXPECT_EQ(thrownRaw(q::signPKCS1AsJSON, signRequest("EC256", digest)), static_cast<unsigned long>(CKR_GENERAL_ERROR));
}

TEST_F(TokenTest, LoginAndSigningCodesTheTokenReports) {
    requireFaultModule();
    const QByteArray digest = quesseltest::sha256("x");
    struct Case {
        const char* variable;
        const char* value;
        int code;              // thrown int, or
        unsigned long raw;     // thrown unsigned long
    } cases[] = {
        {"P11FAULT_C_Login_RV", "0xA4", 38, 0},
        {"P11FAULT_C_Login_RV", "0xA3", 39, 0},
        {"P11FAULT_C_Login_RV", "0xA1", 27, 0},
        {"P11FAULT_C_Login_RV", "0x30", 0, 0x30},
        {"P11FAULT_C_Sign_RV", "0x30", 0, 0x30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.variable) + "=" + c.value);
        FaultEnvironment env;
        env.set(c.variable, c.value);
        for (auto command : {q::signPKCS1AsJSON, q::signCadesBesAsJSON, q::signXadesBesEnvelopingAsJSON}) {
            const QJsonObject request = signRequest("RSA", digest, "p11fault");
            if (c.code != 0)
                EXPECT_EQ(thrownInt(command, request), c.code);
            else
                EXPECT_EQ(thrownRaw(command, request), c.raw);
        }
    }
}

// ---- CAdES-BES -----------------------------------------------------------------------------------

QJsonObject usablePolicy() {
    return QJsonObject{{"policyOID", QJsonArray{2, 16, 792, 1, 61, 0, 1, 5070, 3, 1, 1}},
                       {"policyDigestAlgorithmOID", QJsonArray{2, 16, 840, 1, 101, 3, 4, 2, 1}},
                       {"policyDigestHex", QString(quesseltest::sha256("policy").toHex())},
                       {"profileDocumentLink", "https://policy.example/p.pdf"},
                       {"policyDescription", "Test policy"}};
}

TEST_F(TokenTest, SignsAttachedCadesWithTimeAndPolicy) {
    const QByteArray data("Contract text, signed.\n");
    QJsonObject request = signRequest("RSA", data);
    request["jobUUID"] = "job-2";
    request["isAttached"] = true;
    request["addSigningTime"] = true;
    request["signingTime"] = "07/12/2026 22:09:39";
    request["addSignaturePolicy"] = true;
    request["signaturePolicy"] = usablePolicy();
    const std::string answer = q::signCadesBesAsJSON(request);
    const std::string signature = quesseltest::valuesOf(answer, "signature").at(0);
    EXPECT_EQ(normalised(answer), std::string("[{\"responseCode\": \"0\",\"transactionUUID\": \"") + kTxn +
                                      "\",\"jobUUID\": \"job-2\",\"signedMime\": \"" + signature + "\",\"nonce\": \"" +
                                      kNonce + "\",\"signature\": \"" + signature + "\"}]");
    const QByteArray cms = quesseltest::unb64(signature);
    const auto verified = quesseltest::verifyCades(cms, f().ca(), nullptr);
    EXPECT_EQ(verified.exitCode, 0) << verified.output;
    EXPECT_NE(verified.output.find("CAdES Verification successful"), std::string::npos) << verified.output;
    // The signing time as given (local clock fields, UTCTime), and the policy.
    EXPECT_TRUE(cms.contains(QByteArray::fromHex("170d3236313230373232303933395a")));
    const auto printed = quesseltest::runTool(
        "openssl", {"cms", "-cmsout", "-print", "-inform", "DER", "-in", quesseltest::writeTemporary("p.der", cms)});
    EXPECT_NE(printed.output.find("2.16.792.1.61.0.1.5070.3.1.1"), std::string::npos) << printed.output;
    EXPECT_TRUE(cms.contains(data));
    for (const char* line : {"Quessel : Data to be signed is provided: true", "Quessel : Data Length: 23",
                             "Quessel : Attach data to CaDES Signature: 1", "Quessel : Add Signing Time: 1",
                             "Quessel : Add Signature Policy: 1", "Quessel : Completed signCadesBesAsJSON"})
        EXPECT_TRUE(logHas(line)) << line;
}

// The request as the caller wrote it: a policy hashed with SHA-512/256 (no
// algorithm of ours, but the policy issuer's choice) goes into the signature
// unchanged, and a NUL inside "dataBase64" is skipped like any other
// character outside the alphabet, not taken as the end of the data.
TEST_F(TokenTest, CadesTakesThePolicyAndTheDataAsTheCallerGivesThem) {
    const QByteArray head("Contract:");  // 9 bytes: its Base64 needs no padding
    const QByteArray tail("the rest, after the NUL.\n");
    QJsonObject request = signRequest("RSA", "");
    request["dataBase64"] = QString(head.toBase64()) + QChar(0) + " \n" + QString(tail.toBase64());
    request["isAttached"] = true;
    request["addSignaturePolicy"] = true;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    ASSERT_EQ(EVP_Digest("policy", 6, digest, &digestLength, EVP_sha512_256(), nullptr), 1);
    const QByteArray policyDigest(reinterpret_cast<const char*>(digest), static_cast<int>(digestLength));
    QJsonObject policy = usablePolicy();
    policy["policyDigestAlgorithmOID"] = QJsonArray{2, 16, 840, 1, 101, 3, 4, 2, 6};
    policy["policyDigestHex"] = QString(policyDigest.toHex());
    request["signaturePolicy"] = policy;

    const QByteArray cms = signatureOf(q::signCadesBesAsJSON(request));
    const auto verified = quesseltest::verifyCades(cms, f().ca(), nullptr);
    EXPECT_EQ(verified.exitCode, 0) << verified.output;
    EXPECT_NE(verified.output.find("CAdES Verification successful"), std::string::npos) << verified.output;
    EXPECT_TRUE(cms.contains(head + tail));
    EXPECT_TRUE(logHas("Quessel : Data Length: " + std::to_string(head.size() + tail.size())));
    // sigPolicyHash: the algorithm without parameters, then the digest.
    const QByteArray policyHash = QByteArray::fromHex("302f300b0609608648016503040206") +
                                  QByteArray::fromHex("0420") + policyDigest;
    EXPECT_TRUE(cms.contains(policyHash)) << cms.toHex().toStdString();
    const auto printed = quesseltest::runTool(
        "openssl", {"cms", "-cmsout", "-print", "-inform", "DER", "-in", quesseltest::writeTemporary("p.der", cms)});
    EXPECT_NE(printed.output.find("sha512-256"), std::string::npos) << printed.output;
}

TEST_F(TokenTest, FlagsAreTrueOnlyForTheJSONValueTrue) {
    const QByteArray data("detached content");
    for (const QJsonValue& flag : {QJsonValue("true"), QJsonValue(1), QJsonValue(QJsonValue::Null), QJsonValue()}) {
        QJsonObject request = signRequest("RSA", data);
        if (!flag.isUndefined()) request["isAttached"] = flag;
        // Text "true" for the policy flag: no policy read, nothing refused.
        request["addSignaturePolicy"] = "true";
        const QByteArray cms = quesseltest::unb64(quesseltest::valuesOf(q::signCadesBesAsJSON(request), "signature").at(0));
        EXPECT_FALSE(cms.contains(data));
        const auto detached = quesseltest::verifyCades(cms, f().ca(), &data);
        EXPECT_EQ(detached.exitCode, 0) << detached.output;
        EXPECT_NE(quesseltest::verifyCades(cms, f().ca(), nullptr).exitCode, 0);
        const auto printed = quesseltest::runTool(
            "openssl", {"cms", "-cmsout", "-print", "-inform", "DER", "-in", quesseltest::writeTemporary("p.der", cms)});
        EXPECT_EQ(printed.output.find("2.16.792.1.61"), std::string::npos);
    }
    EXPECT_TRUE(logHas("Quessel : Attach data to CaDES Signature: 0"));
    EXPECT_TRUE(logHas("Quessel : Add Signature Policy: 0"));
}

TEST_F(TokenTest, SignsAReadyDigestAsDetachedCades) {
    const QByteArray data("content signed by its digest");
    QJsonObject request = signRequest("RSA", quesseltest::sha256(data));
    request["isAttached"] = true;  // not read by the digest form
    const std::string answer = q::signCadesBesWithDigestAsJSON(request);
    const std::string signature = quesseltest::valuesOf(answer, "signature").at(0);
    EXPECT_EQ(normalised(answer), std::string("[{\"responseCode\": \"0\",\"transactionUUID\": \"") + kTxn +
                                      "\",\"signedMime\": \"" + signature + "\",\"nonce\": \"" + kNonce +
                                      "\",\"signature\": \"" + signature + "\"}]");
    const auto verified = quesseltest::verifyCades(quesseltest::unb64(signature), f().ca(), &data);
    EXPECT_EQ(verified.exitCode, 0) << verified.output;
    EXPECT_TRUE(logHas("Quessel : Digest Length: 32"));
    EXPECT_FALSE(logHas("Data to be signed is provided"));
    EXPECT_TRUE(logHas("Quessel : Completed signCadesBesWithDigestAsJSON"));

    for (const QByteArray& wrong : {QByteArray(31, 'a'), QByteArray(33, 'a'), QByteArray()}) {
        EXPECT_EQ(thrownInt(q::signCadesBesWithDigestAsJSON, signRequest("RSA", wrong)), 41) << wrong.size();
    }
}

// ---- XAdES-BES -----------------------------------------------------------------------------------

TEST_F(TokenTest, SignsXadesEnvelopingAndEnveloped) {
    const std::string enveloping = q::signXadesBesEnvelopingAsJSON(signRequest("RSA", "plain content"));
    const QByteArray envelopingDocument = signatureOf(enveloping);
    EXPECT_EQ(normalised(enveloping), std::string("[{\"responseCode\": \"0\",\"transactionUUID\": \"") + kTxn +
                                          "\",\"nonce\": \"" + kNonce + "\",\"signature\": \"" +
                                          b64(envelopingDocument) + "\"}]");
    auto verified = quesseltest::verifyXades(envelopingDocument, f().ca());
    EXPECT_EQ(verified.exitCode, 0) << verified.output << envelopingDocument.toStdString();

    QJsonObject request = signRequest("RSA", "<invoice><line Id=\"l1\">42</line></invoice>");
    request["signatureNodeXPath"] = "/invoice";
    request["signerClaimedRole"] = "Accountant";
    request["addSigningTime"] = true;
    const QByteArray enveloped = signatureOf(q::signXadesBesEnvelopedAsJSON(request));
    verified = quesseltest::verifyXades(enveloped, f().ca());
    EXPECT_EQ(verified.exitCode, 0) << verified.output << enveloped.toStdString();
    EXPECT_TRUE(enveloped.startsWith("<") && enveloped.contains("<invoice>"));
    EXPECT_TRUE(enveloped.contains("Accountant"));
    for (const char* line : {"Quessel : Executing method signXadesBesAsJSON", "Quessel : Signer Claimed Role: Accountant",
                             "Quessel : Add Counter Signature: 0", "Quessel : Completed signXadesBesAsJSON"})
        EXPECT_TRUE(logHas(line)) << line;
}

TEST_F(TokenTest, XadesFailuresLeaveAsTheirCodes) {
    auto envelopedRequest = [this](const char* document) {
        QJsonObject request = signRequest("RSA", document);
        request["signatureNodeXPath"] = "/doc";
        return request;
    };
    EXPECT_EQ(thrownInt(q::signXadesBesEnvelopedAsJSON, envelopedRequest("<unclosed>")), 51);
    QJsonObject missingTarget = envelopedRequest("<doc/>");
    missingTarget["signatureNodeXPath"] = "/nothing/here";
    EXPECT_EQ(thrownInt(q::signXadesBesEnvelopedAsJSON, missingTarget), 52);
    QJsonObject nothingToCounterSign = envelopedRequest("<doc/>");
    nothingToCounterSign["counterSign"] = true;
    EXPECT_EQ(thrownInt(q::signXadesBesEnvelopedAsJSON, nothingToCounterSign), 53);
    QJsonObject brokenXPath = envelopedRequest("<doc/>");
    brokenXPath["signatureNodeXPath"] = "///[";
    EXPECT_THROW(q::signXadesBesEnvelopedAsJSON(brokenXPath), std::exception);
    // The text "true" is no counter-signing request.
    nothingToCounterSign["counterSign"] = "true";
    EXPECT_EQ(quesseltest::valuesOf(q::signXadesBesEnvelopedAsJSON(nothingToCounterSign), "responseCode"),
              std::vector<std::string>{"0"});
    QJsonObject wrongPin = envelopedRequest("<doc/>");
    wrongPin["pincode"] = "0000";
    EXPECT_EQ(thrownInt(q::signXadesBesEnvelopedAsJSON, wrongPin), 27);
    // An EC key cannot make the RSA-SHA256 signature.
    EXPECT_EQ(thrownInt(q::signXadesBesEnvelopingAsJSON, signRequest("EC256", "content")), 53);
}

// ---- parallel requests ---------------------------------------------------------------------------

TEST_F(TokenTest, ParallelRequestsOnSeveralThreadsAllSucceed) {
    const QByteArray digest = quesseltest::sha256("parallel");
    const QByteArray expectedSignature = signatureOf(q::signPKCS1AsJSON(signRequest("RSA", digest)));
    constexpr int kThreads = 6;
    constexpr int kRounds = 4;
    std::mutex lock;
    std::vector<std::string> failures;
    std::vector<QByteArray> cadesSignatures;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                try {
                    std::string answer;
                    QByteArray cms;
                    QJsonObject request;
                    switch ((t + r) % 3) {
                    case 0:
                        answer = q::signPKCS1AsJSON(signRequest("RSA", digest));
                        if (signatureOf(answer) != expectedSignature) throw std::runtime_error("wrong PKCS#1 bytes");
                        break;
                    case 1:
                        request = signRequest("RSA", "parallel data");
                        request["isAttached"] = true;
                        answer = q::signCadesBesAsJSON(request);
                        cms = signatureOf(answer);
                        break;
                    default:
                        answer = q::listSignerCertificatesAsJSON(
                            {{"library", "softhsm"}, {"slotId", QString::number(f().mainSlot)}});
                        if (quesseltest::valuesOf(answer, "serialNumber").size() != 4)
                            throw std::runtime_error("listing: " + answer);
                        break;
                    }
                    std::lock_guard<std::mutex> hold(lock);
                    if (answer.find("\"responseCode\": \"0\"") == std::string::npos) failures.push_back(answer);
                    if (!cms.isEmpty()) cadesSignatures.push_back(cms);
                } catch (const std::exception& e) {
                    std::lock_guard<std::mutex> hold(lock);
                    failures.push_back(e.what());
                } catch (int code) {
                    std::lock_guard<std::mutex> hold(lock);
                    failures.push_back("code " + std::to_string(code));
                } catch (...) {
                    std::lock_guard<std::mutex> hold(lock);
                    failures.push_back("other exception");
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_TRUE(failures.empty()) << failures.size() << " failed, first: " << failures.front();
    ASSERT_EQ(cadesSignatures.size(), static_cast<size_t>(kThreads * kRounds / 3));
    const QByteArray data("parallel data");
    for (const QByteArray& cms : cadesSignatures) {
        const auto verified = quesseltest::verifyCades(cms, f().ca(), nullptr);
        EXPECT_EQ(verified.exitCode, 0) << verified.output;
    }
}

TEST_F(TokenTest, HungModuleHoldsUpOnlyItsOwnRequestsAndForABoundedTime) {
    requireFaultModule();
    if (HasFatalFailure()) return;
    using Clock = std::chrono::steady_clock;
    constexpr auto kWait = std::chrono::milliseconds(1500);
    constexpr int kHangMs = 7000;
    // The fault module forwards to its own copy of SoftHSM, so the job on
    // "softhsm" meanwhile (which initialises and finalises its module) does
    // not pull the hung job's session away.
    const QString copy = corvane::test::privateFolder() + "/softhsm-copy.so";
    const QString trace = corvane::test::privateFolder() + "/hung.trace";
    QFile::remove(copy);
    QFile::remove(trace);
    ASSERT_TRUE(QFile::copy(QString::fromStdString(f().tokens.module()), copy));
    FaultEnvironment env;
    env.set("P11FAULT_TARGET", copy.toUtf8().constData());
    env.set("P11FAULT_TRACE", trace.toUtf8().constData());
    env.set("P11FAULT_C_Sign_SLEEP_MS", std::to_string(kHangMs).c_str());
    const auto defaultWait = tev::quessel::pkcs11::moduleWaitLimit();
    tev::quessel::pkcs11::setModuleWaitLimit(kWait);

    const QByteArray digest = quesseltest::sha256("held up");
    std::atomic<bool> hungDone{false};
    std::string hungAnswer, hungFailure;
    std::thread hung([&] {
        try {
            hungAnswer = q::signPKCS1AsJSON(signRequest("RSA", digest, "p11fault"));
        } catch (...) {
            hungFailure = "the hung job threw";
        }
        hungDone = true;
    });
    // Two SoftHSM instances must not work at the same time (their logins
    // fail now and then), so go on once the job hangs in C_Sign.
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    auto hanging = [&] {
        QFile file(trace);
        return file.open(QIODevice::ReadOnly) && file.readAll().contains("C_Sign sleeping");
    };
    while (!hanging() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!hanging()) {
        ADD_FAILURE() << "the job never reached C_Sign";
        hung.join();
        tev::quessel::pkcs11::setModuleWaitLimit(defaultWait);
        return;
    }

    // Another module meanwhile: served as usual.
    std::string otherAnswer;
    std::thread other([&] {
        try {
            otherAnswer = q::signPKCS1AsJSON(signRequest("RSA", digest, "softhsm"));
        } catch (int code) {
            otherAnswer = "threw " + std::to_string(code);
        } catch (...) {
            otherAnswer = "threw";
        }
    });

    // The hung module: each request gives up after the wait, on both roads.
    const auto start = Clock::now();
    EXPECT_EQ(thrownInt(q::signPKCS1AsJSON, signRequest("RSA", digest, "p11fault")), 61);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, kWait);
    EXPECT_LT(waited, kWait + std::chrono::milliseconds(1500));
    EXPECT_EQ(quesseltest::valuesOf(q::listSignerCertificatesAsJSON(
                                        {{"library", "p11fault"}, {"slotId", QString::number(f().mainSlot)}}),
                                    "responseCode"),
              std::vector<std::string>{"61"});
    other.join();
    EXPECT_FALSE(hungDone) << "the hang ended before the other requests were answered";

    // When the module returns, its job ends normally and frees the module.
    hung.join();
    tev::quessel::pkcs11::setModuleWaitLimit(defaultWait);
    EXPECT_TRUE(hungFailure.empty()) << hungFailure;
    for (const std::string* answer : {&hungAnswer, &otherAnswer}) {
        ASSERT_EQ(quesseltest::valuesOf(*answer, "responseCode"), std::vector<std::string>{"0"}) << *answer;
        const auto verified = quesseltest::verifyPkcs1(digest, signatureOf(*answer), f().tokens.qget("RSA_CERT"));
        EXPECT_EQ(verified.exitCode, 0) << verified.output;
    }
    unsetenv("P11FAULT_C_Sign_SLEEP_MS");
    EXPECT_EQ(quesseltest::valuesOf(q::signPKCS1AsJSON(signRequest("RSA", digest, "p11fault")), "responseCode"),
              std::vector<std::string>{"0"});
}

}  // namespace
