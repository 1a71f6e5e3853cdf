// The command frame without any card: response nonce, echoed members and
// their escaping, the answer forms of "monitorSmartCardActivity" and
// "initialize", the scrambled client script, the member readers that fail
// before a card is touched, the dispatcher helpers and the allow-list.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <set>
#include <stdexcept>
#include <thread>

#include "quessel-commons.h"
#include "quessel-test-kit.h"
#include "test-support.h"
#include "tev-resources.h"
#include "tev-smartcard.h"

namespace q = tev::quessel;
using quesseltest::b64;
using quesseltest::kNonce;
using quesseltest::logHas;
using quesseltest::normalised;

namespace {

class FrameTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        quesseltest::keepWholeLog();
        tev::resources::ensureRegistered();
        QFile config(":/new/rs/smartcard-config.xml");
        ASSERT_TRUE(config.open(QIODevice::ReadOnly));
        ASSERT_EQ(tev::smartcard::configure(config.readAll().constData()), 0);
    }
    void SetUp() override { corvane::test::clearLog(); }
};

std::string stampOf(const QDateTime& t) { return t.toString("yyyyMMddHHmmss").toStdString(); }

// A nonce in the agent's layout carrying the given time.
QString craftedNonce(const QDateTime& t, int step) {
    std::string nonce(q::NONCE_LENGTH, 'x');
    nonce[0] = static_cast<char>('0' + step);
    const std::string stamp = stampOf(t);
    for (int k = 0; k < 14; ++k) nonce[step * (k + 1)] = static_cast<char>('0' + 9 - (stamp[k] - '0'));
    return QString::fromStdString(nonce);
}

std::string embeddedTime(const std::string& nonce) {
    const int step = nonce[0] - '0';
    std::string stamp;
    for (int k = 0; k < 14; ++k) stamp += static_cast<char>('0' + 9 - (nonce[step * (k + 1)] - '0'));
    return stamp;
}

// ---- nonce -----------------------------------------------------------------------------------

TEST_F(FrameTest, NonceCarriesTheLocalTimeInItsLayout) {
    std::set<int> steps;
    for (int i = 0; i < 400; ++i) {
        const QDateTime before = QDateTime::currentDateTime();
        const std::string nonce = q::generateNonce();
        const QDateTime after = QDateTime::currentDateTime();
        ASSERT_EQ(nonce.size(), 141u);
        ASSERT_GE(nonce[0], '2');
        ASSERT_LE(nonce[0], '9');
        steps.insert(nonce[0] - '0');
        for (char c : nonce) ASSERT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << nonce;
        const std::string stamp = embeddedTime(nonce);
        EXPECT_TRUE(stamp == stampOf(before) || stamp == stampOf(after)) << nonce;
    }
    // Every step from 2 to 9 occurs.
    EXPECT_EQ(steps.size(), 8u);
}

TEST_F(FrameTest, NonceLayoutMatchesTheDocumentedExample) {
    const QDateTime t(QDate(2026, 12, 7), QTime(22, 9, 39));
    const QString nonce = craftedNonce(t, 3);
    std::string hidden;
    for (int i = 3; i <= 42; i += 3) hidden += nonce.at(i).toLatin1();
    EXPECT_EQ(hidden, "79738792779060");
}

TEST_F(FrameTest, VerifyNonceAcceptsTwoSecondsBeforeToThreeAfter) {
    // The clock may tick between building and checking: retry until one round
    // ran inside a single second.
    for (int attempt = 0; attempt < 20; ++attempt) {
        const QDateTime now = QDateTime::currentDateTime();
        std::map<int, bool> result;
        for (int offset = -4; offset <= 5; ++offset)
            result[offset] = q::verifyNonce(craftedNonce(now.addSecs(offset), 2 + (offset + 4) % 8));
        if (stampOf(QDateTime::currentDateTime()) != stampOf(now)) continue;
        for (int offset = -4; offset <= 5; ++offset)
            EXPECT_EQ(result[offset], offset >= -2 && offset <= 3) << "offset " << offset;
        return;
    }
    FAIL() << "the clock never stayed in one second";
}

TEST_F(FrameTest, VerifyNonceRefusesShortOrForeignTexts) {
    EXPECT_FALSE(q::verifyNonce(QString()));
    EXPECT_FALSE(q::verifyNonce("9"));
    // Step 9 needs 127 characters; one fewer must not be read past its end.
    const QString full = craftedNonce(QDateTime::currentDateTime(), 9);
    EXPECT_FALSE(q::verifyNonce(full.left(126)));
    EXPECT_FALSE(q::verifyNonce("x" + full.mid(1)));
    EXPECT_FALSE(q::verifyNonce(QString(141, QLatin1Char('0'))));
    EXPECT_TRUE(q::verifyNonce(QString::fromStdString(q::generateNonce())));
}

TEST_F(FrameTest, NoncesDifferAcrossCallsAndThreads) {
    // Each thread must not replay the same sequence from a fixed seed.
    std::vector<std::string> first, second;
    std::thread a([&] { for (int i = 0; i < 300; ++i) first.push_back(q::generateNonce()); });
    std::thread b([&] { for (int i = 0; i < 300; ++i) second.push_back(q::generateNonce()); });
    a.join();
    b.join();
    std::set<std::string> all(first.begin(), first.end());
    all.insert(second.begin(), second.end());
    EXPECT_EQ(all.size(), 600u);
}

// ---- echoed members, via monitorSmartCardActivity -------------------------------------------------

TEST_F(FrameTest, MonitorAnswersItsSuccessForm) {
    EXPECT_EQ(normalised(q::monitorCardEventsAsJSON({{"transactionUUID", "T-1"}, {"duration", "10"}})),
              std::string("[{\"responseCode\": \"0\",\"transactionUUID\": \"T-1\",\"nonce\": \"") + kNonce +
                  "\",\"monitoringResult\": \"MA==\"}]");
    EXPECT_EQ(normalised(q::monitorCardEventsAsJSON(
                  {{"transactionUUID", "T-1"}, {"jobUUID", "J-9"}, {"duration", "10"}})),
              std::string("[{\"responseCode\": \"0\",\"transactionUUID\": \"T-1\",\"nonce\": \"") + kNonce +
                  "\",\"jobUUID\": \"J-9\",\"monitoringResult\": \"MA==\"}]");
    EXPECT_TRUE(logHas("Quessel : Executing method monitorCardEventsAsJSON"));
    EXPECT_TRUE(logHas("Quessel : Monitoring smartcard activity for 10 seconds"));
    EXPECT_TRUE(logHas("Quessel : Completed monitorCardEventsAsJSON"));
    for (const char* valid : {"-5", "7 days", "  3", "+4"})
        EXPECT_EQ(quesseltest::parsed(q::monitorCardEventsAsJSON({{"duration", valid}}))[0].toObject()["responseCode"], "0")
            << valid;
}

TEST_F(FrameTest, MonitorRefusesADurationThatIsNoNumber) {
    const std::string expected = std::string("[{\"responseCode\": \"30\",\"transactionUUID\": \"T\",\"nonce\": \"") +
                                 kNonce + "\",\"jobUUID\": \"J\",\"errorMessage\": \"invalid durationInSeconds\"}]";
    const QJsonValue invalid[] = {QJsonValue("abc"), QJsonValue(""), QJsonValue(10), QJsonValue("99999999999"),
                                  QJsonValue(QJsonValue::Null), QJsonValue(true)};
    for (const QJsonValue& duration : invalid) {
        corvane::test::clearLog();
        EXPECT_EQ(normalised(q::monitorCardEventsAsJSON(
                      {{"transactionUUID", "T"}, {"jobUUID", "J"}, {"duration", duration}})),
                  expected);
        EXPECT_TRUE(logHas("ERROR [default] Quessel : Invalid duration information "));
        EXPECT_FALSE(logHas("Completed monitorCardEventsAsJSON"));
    }
    // Missing member.
    EXPECT_EQ(normalised(q::monitorCardEventsAsJSON({{"transactionUUID", "T"}, {"jobUUID", "J"}})), expected);
}

TEST_F(FrameTest, EchoedMembersDefaultToEmptyOrAbsent) {
    const std::string plain = std::string("[{\"responseCode\": \"0\",\"transactionUUID\": \"\",\"nonce\": \"") +
                              kNonce + "\",\"monitoringResult\": \"MA==\"}]";
    EXPECT_EQ(normalised(q::monitorCardEventsAsJSON({{"duration", "1"}})), plain);
    EXPECT_EQ(normalised(q::monitorCardEventsAsJSON({{"duration", "1"}, {"transactionUUID", 5}, {"jobUUID", ""}})),
              plain);
    EXPECT_EQ(normalised(q::monitorCardEventsAsJSON({{"duration", "1"}, {"jobUUID", QJsonArray{1}}})), plain);
}

TEST_F(FrameTest, EchoedMembersAreEscapedSoTheAnswerStaysJSON) {
    const QString hostile = QString::fromUtf8("a\"b\\c\nd</script><img src=x onerror=1>&\u2028e\x01");
    const QString job = QString::fromUtf8("\"});alert(1);//");
    const std::string answer =
        q::monitorCardEventsAsJSON({{"transactionUUID", hostile}, {"jobUUID", job}, {"duration", "1"}});
    const QJsonArray parsed = quesseltest::parsed(answer);
    ASSERT_EQ(parsed.size(), 1);
    EXPECT_EQ(parsed[0].toObject()["transactionUUID"].toString(), hostile);
    EXPECT_EQ(parsed[0].toObject()["jobUUID"].toString(), job);
    EXPECT_NE(answer.find(R"("transactionUUID": "a\"b\\c\nd\u003c/script\u003e\u003cimg src=x onerror=1\u003e\u0026\u2028e\u0001")"),
              std::string::npos)
        << answer;
    EXPECT_EQ(answer.find("</script>"), std::string::npos);

    const std::string uuid = "3f2504e0-4f89-11d3-9a0c-0305e82c3301";
    EXPECT_NE(q::monitorCardEventsAsJSON({{"transactionUUID", QString::fromStdString(uuid)}, {"duration", "1"}})
                  .find("\"transactionUUID\": \"" + uuid + "\""),
              std::string::npos);
}

// ---- initialize ---------------------------------------------------------------------------------

QString clientScript() {
    QFile f(":/new/rs/CorvaneJS-2.2.1.js");
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return QString::fromUtf8(f.readAll()).replace("\r\n", "\n");
}

// What a page does with the answer: Base64, UTF-8, then the low 8 bits of
// each code unit XOR the nonce.
QString unscrambled(const std::string& nonce2, const std::string& nonce) {
    const QByteArray octets = quesseltest::unb64(nonce2);
    // With the length: octets of 0x00 are characters too.
    const QString units = QString::fromUtf8(octets.constData(), octets.size());
    QString script;
    for (int i = 0; i < units.size(); ++i)
        script += QChar((units.at(i).unicode() & 0xFF) ^ static_cast<unsigned char>(nonce[i % nonce.size()]));
    return script;
}

TEST_F(FrameTest, InitializeAnswersItsMembersInOrder) {
    const std::string withJob = q::initializeAsJSON(
        {{"transactionUUID", "T-7"}, {"jobUUID", "J-7"}, {"usedUrl", "https://bank.example/sign"}});
    const QJsonObject answer = quesseltest::parsed(withJob)[0].toObject();
    const std::string nonce2 = answer["nonce2"].toString().toStdString();
    EXPECT_EQ(normalised(withJob), std::string("[{\"responseCode\": \"0\",\"jobUUID\": \"J-7\",\"transactionUUID\": "
                                               "\"T-7\",\"nonce\": \"") +
                                       kNonce + "\",\"nonce2\": \"" + nonce2 + "\",\"clientVersion\": \"34\"}]");
    EXPECT_TRUE(logHas("Quessel : Executing method initialize"));
    EXPECT_TRUE(logHas("Quessel : Web Application URL: https://bank.example/sign"));
    EXPECT_TRUE(logHas("Quessel : Completed action - initialize"));

    const std::string withoutJob = q::initializeAsJSON({{"transactionUUID", "T-8"}});
    const QJsonObject second = quesseltest::parsed(withoutJob)[0].toObject();
    EXPECT_EQ(second.keys().size(), 5);
    EXPECT_EQ(normalised(withoutJob),
              std::string("[{\"responseCode\": \"0\",\"transactionUUID\": \"T-8\",\"nonce\": \"") + kNonce +
                  "\",\"nonce2\": \"" + second["nonce2"].toString().toStdString() + "\",\"clientVersion\": \"34\"}]");
}

TEST_F(FrameTest, InitializeHandsOutTheScriptScrambledWithItsNonce) {
    const QString script = clientScript();
    ASSERT_FALSE(script.isEmpty());
    std::set<std::string> scrambled;
    for (int i = 0; i < 3; ++i) {
        const QJsonObject answer = quesseltest::parsed(q::initializeAsJSON({}))[0].toObject();
        const std::string nonce = answer["nonce"].toString().toStdString();
        const std::string nonce2 = answer["nonce2"].toString().toStdString();
        EXPECT_EQ(unscrambled(nonce2, nonce), script);
        // A pure-ASCII script scrambles to one octet per character.
        bool ascii = true;
        for (QChar c : script) ascii = ascii && c.unicode() < 0x80;
        if (ascii) {
            EXPECT_EQ(quesseltest::unb64(nonce2).size(), script.size());
        }
        scrambled.insert(nonce2);
    }
    EXPECT_EQ(scrambled.size(), 3u);
}

TEST_F(FrameTest, ScramblingMapsEachCharacterAsThePageExpects) {
    const QString nonce = "AC";
    // ASCII: octet = character XOR nonce character; equal characters give 0x00.
    EXPECT_EQ(quesseltest::unb64(q::scrambleClientScript("AB", nonce)), QByteArray("\x00\x01", 2));
    EXPECT_EQ(quesseltest::unb64(q::scrambleClientScript("xyzCA", nonce)),
              QByteArray("\x39\x3a\x3b\x00\x00", 5));
    // U+0080..U+00FF: three octets, the signed byte widened to U+FF80..U+FFFF.
    EXPECT_EQ(quesseltest::unb64(q::scrambleClientScript(QString(QChar(0xE9)), nonce)),
              QByteArray::fromHex("efbea8"));  // 0xE9 ^ 0x41 = 0xA8
    EXPECT_EQ(quesseltest::unb64(q::scrambleClientScript(QString(QChar(0xBE)), "A")),
              QByteArray::fromHex("efbfbf"));  // 0xBE ^ 0x41 = 0xFF
    EXPECT_EQ(quesseltest::unb64(q::scrambleClientScript(QString(QChar(0xC1)), "A")),
              QByteArray::fromHex("efbe80"));  // 0x80
    // Above U+00FF the character counts 0: the octet is the nonce character.
    EXPECT_EQ(quesseltest::unb64(q::scrambleClientScript(QString(QChar(0x20AC)), "A")), QByteArray("A"));
    // A nonce character above U+00FF counts 0 as well.
    EXPECT_EQ(quesseltest::unb64(q::scrambleClientScript("z", QString(QChar(0x0416)))), QByteArray("z"));
    EXPECT_EQ(q::scrambleClientScript(QString(), nonce), "");
}

TEST_F(FrameTest, ScramblingRoundTripsEveryCharacterUpToFF) {
    QString script;
    for (int c = 0; c <= 0xFF; ++c) script += QChar(c);
    script += script;
    const std::string nonce = q::generateNonce();
    const std::string nonce2 = q::scrambleClientScript(script, QString::fromStdString(nonce));
    EXPECT_EQ(unscrambled(nonce2, nonce), script);
    // Count of octets: one for each x below 0x80, three for the others.
    int expected = 0;
    for (int i = 0; i < script.size(); ++i)
        expected += ((script.at(i).unicode() ^ static_cast<unsigned char>(nonce[i % 141])) < 0x80) ? 1 : 3;
    EXPECT_EQ(quesseltest::unb64(nonce2).size(), expected);
}

// ---- member readers that fail before any card work -------------------------------------------------

using Command = std::string (*)(const QJsonObject&);
const Command kSigningCommands[] = {q::signPKCS1AsJSON, q::signCadesBesAsJSON, q::signCadesBesWithDigestAsJSON,
                                    q::signXadesBesEnvelopingAsJSON, q::signXadesBesEnvelopedAsJSON,
                                    q::signWithTCKKCertificateAsJSON};

TEST_F(FrameTest, SigningCommandsLeaveOnASlotIdThatIsNoNumber) {
    const std::string pin = "Sesame-4472-pin";
    for (Command command : kSigningCommands) {
        QJsonObject request{{"library", "nosuchlib"}, {"pincode", QString::fromStdString(pin)},
                            {"certSerialNumber", "1"}, {"dataBase64", "AAAA"}};
        request["slotId"] = 1;  // a number, not the text "1"
        EXPECT_THROW(command(request), std::invalid_argument);
        request["slotId"] = "abc";
        EXPECT_THROW(command(request), std::invalid_argument);
        request["slotId"] = "";
        EXPECT_THROW(command(request), std::invalid_argument);
        request["slotId"] = "99999999999";
        EXPECT_THROW(command(request), std::out_of_range);
    }
    EXPECT_FALSE(logHas(pin));
    EXPECT_FALSE(logHas("PKCS11 : "));
}

int thrownCode(Command command, const QJsonObject& request) {
    try {
        command(request);
    } catch (int code) {
        return code;
    } catch (...) {
        return -9999;
    }
    return -1;
}

TEST_F(FrameTest, ASignaturePolicyIsRefusedOnlyWhereCadesCannotEncodeIt) {
    const QJsonObject usable{{"policyOID", QJsonArray{2, 16, 792, 1, 61, 0, 1, 5070, 3, 1, 1}},
                             {"policyDigestAlgorithmOID", QJsonArray{2, 16, 840, 1, 101, 3, 4, 2, 1}},
                             {"policyDigestHex", QString(64, QLatin1Char('a'))},
                             {"profileDocumentLink", "https://policy.example/p.pdf"}};
    // What no OBJECT IDENTIFIER can carry: refused by CAdES before the card.
    QJsonObject shortOid = usable;
    shortOid["policyOID"] = QJsonArray{2};
    QJsonObject impossibleArcs = usable;
    impossibleArcs["policyOID"] = QJsonArray{1, 40, 5};
    QJsonObject hugeArc = usable;  // 2.25.<UUID>: an arc beyond what is held, never written as 0
    hugeArc["policyOID"] = QJsonArray{2, 25, 3000000000.0};
    QJsonObject noHashAlgorithm = usable;
    noHashAlgorithm.remove("policyDigestAlgorithmOID");
    const QJsonValue unencodable[] = {QJsonValue(QJsonValue::Undefined), QJsonValue(shortOid),
                                      QJsonValue(impossibleArcs), QJsonValue(hugeArc), QJsonValue(noHashAlgorithm),
                                      QJsonValue("policy"), QJsonValue(QJsonObject())};
    // Taken as given: a hash algorithm outside any table of ours, a digest of
    // another length or none, arcs read as 0.0.
    QJsonObject noDigest = usable;
    noDigest.remove("policyDigestHex");
    QJsonObject shortDigest = usable;
    shortDigest["policyDigestHex"] = QString(62, QLatin1Char('a'));
    QJsonObject unknownHash = usable;
    unknownHash["policyDigestAlgorithmOID"] = QJsonArray{2, 16, 840, 1, 101, 3, 4, 2, 99};
    QJsonObject textArcs = usable;
    textArcs["policyDigestAlgorithmOID"] = QJsonArray{"2", "16"};
    const QJsonValue encodable[] = {QJsonValue(usable), QJsonValue(noDigest), QJsonValue(shortDigest),
                                    QJsonValue(unknownHash), QJsonValue(textArcs)};

    auto request = [](const QJsonValue& policy, const QJsonValue& flag) {
        QJsonObject r{{"library", "nosuchlib"}, {"slotId", "1"}, {"pincode", "Sesame-4472-pin"},
                      {"dataBase64", QString(QByteArray(32, '\0').toBase64())}, {"addSignaturePolicy", flag}};
        if (!policy.isUndefined()) r["signaturePolicy"] = policy;
        return r;
    };
    auto expectPassedOn = [](Command command, const QJsonObject& r) {
        corvane::test::clearLog();
        EXPECT_NE(thrownCode(command, r), 12);
        EXPECT_FALSE(logHas("Refusing"));
        EXPECT_TRUE(logHas("PKCS11 : "));
    };
    const Command cadesCommands[] = {q::signCadesBesAsJSON, q::signCadesBesWithDigestAsJSON};
    for (Command command : cadesCommands) {
        for (const QJsonValue& policy : unencodable) {
            SCOPED_TRACE(QJsonDocument(QJsonObject{{"p", policy}}).toJson(QJsonDocument::Compact).toStdString());
            corvane::test::clearLog();
            EXPECT_EQ(thrownCode(command, request(policy, true)), 12);
            EXPECT_TRUE(logHas("ERROR [default] CAdES : Refusing signature policy with invalid"));
            EXPECT_FALSE(logHas("PKCS11 : "));
            EXPECT_FALSE(logHas("Sesame-4472-pin"));
            // Not asked for (the flag as the text "true"): nothing to refuse.
            expectPassedOn(command, request(policy, "true"));
        }
        for (const QJsonValue& policy : encodable) {
            SCOPED_TRACE(QJsonDocument(QJsonObject{{"p", policy}}).toJson(QJsonDocument::Compact).toStdString());
            expectPassedOn(command, request(policy, true));
        }
    }
    // XAdES writes no policy, so whatever comes with the flag is no reason to refuse.
    const Command xadesCommands[] = {q::signXadesBesEnvelopingAsJSON, q::signXadesBesEnvelopedAsJSON};
    for (Command command : xadesCommands) {
        for (const QJsonValue& policy : unencodable) expectPassedOn(command, request(policy, true));
        for (const QJsonValue& policy : encodable) expectPassedOn(command, request(policy, true));
    }
}

TEST_F(FrameTest, CertificateListingRefusesASlotIdThatIsNoNumber) {
    const std::string expected = std::string("[{\"responseCode\": \"30\",\"transactionUUID\": \"T\",\"jobUUID\": "
                                             "\"J\",\"nonce\": \"") +
                                 kNonce + "\",\"errorMessage\": \"invalid slot id\"}]";
    for (const QJsonValue& slot : {QJsonValue(1), QJsonValue("abc"), QJsonValue(""), QJsonValue("99999999999")}) {
        corvane::test::clearLog();
        EXPECT_EQ(normalised(q::listSignerCertificatesAsJSON(
                      {{"transactionUUID", "T"}, {"jobUUID", "J"}, {"library", "nosuchlib"}, {"slotId", slot}})),
                  expected);
        EXPECT_TRUE(logHas("ERROR [default] Quessel : No slot information with ID "));
        EXPECT_FALSE(logHas("PKCS11 : "));
    }
    EXPECT_EQ(normalised(q::retrieveTCKKCertificateFromReaderAsJSON({{"transactionUUID", "T"}, {"jobUUID", "J"},
                                                                      {"slotId", "abc"}})),
              expected);
}

TEST_F(FrameTest, CertificateListingAnswersTheCodeOfAModuleThatCannotLoad) {
    // No driver in the database for these names (the lookup is case-sensitive).
    for (const char* library : {"nosuchlib", "AKISP11"}) {
        corvane::test::clearLog();
        EXPECT_EQ(normalised(q::listSignerCertificatesAsJSON(
                      {{"transactionUUID", "T"}, {"library", library}, {"slotId", "0"}})),
                  std::string("[{\"responseCode\": \"33\",\"nonce\": \"") + kNonce + "\",\"transactionUUID\": \"T\"}]");
        EXPECT_TRUE(logHas("Quessel : Driver Path: \n") || logHas("Quessel : Driver Path: \r\n"));
        EXPECT_TRUE(logHas(std::string("Quessel : Querying certificates with library ") + library + " at slotID 0"));
        EXPECT_TRUE(logHas("ERROR [default] Quessel : Cannot query the list of certificates at slot ID 0"));
    }
}

// ---- dispatcher helpers and the allow-list -------------------------------------------------------

TEST_F(FrameTest, ErrorEnvelopeCarriesTheBareCode) {
    EXPECT_EQ(q::errorEnvelope(12), "[{\"responseCode\":\"12\"}]");
    EXPECT_EQ(q::errorEnvelope(-1), "[{\"responseCode\":\"-1\"}]");
    EXPECT_EQ(q::errorEnvelope(0x80000005UL), "[{\"responseCode\":\"2147483653\"}]");
    EXPECT_EQ(q::errorEnvelope(static_cast<unsigned long>(5)), "[{\"responseCode\":\"5\"}]");
}

TEST_F(FrameTest, MaskingHidesEveryPincodeValue) {
    EXPECT_EQ(q::maskPinsForLog(R"({"action":"signCAdES_BES","pincode":"4711","slotId":"1"})"),
              R"({"action":"signCAdES_BES","pincode":"***","slotId":"1"})");
    // Not JSON: no tokenising can be trusted (an unbalanced quote earlier turns
    // the key into a bare word), so everything from the first "pin" or \u
    // escape on is withheld: cut off inside the PIN, escaped key, bare words.
    EXPECT_EQ(q::maskPinsForLog(R"({"action":"sign","pincode": "47)"), R"({"action":"sign","***)");
    EXPECT_EQ(q::maskPinsForLog(R"({"pin\u0063ode":"4711",)"), R"({"***)");
    EXPECT_EQ(q::maskPinsForLog(R"({"action":"signCAdES_BES","library#:"x","pincode":"4711","slotId":"1"})"),
              R"({"action":"signCAdES_BES","library#:"x","***)");
    EXPECT_EQ(q::maskPinsForLog(R"({"PINCODE" : "47\"11", "b":2})"), R"({"PINCODE" : "***", "b":2})");
    EXPECT_EQ(q::maskPinsForLog("{pincode: 4711, a: 1}"), "{***");
    EXPECT_EQ(q::maskPinsForLog(R"({"pincode":4711})"), R"({"pincode":"***"})");
    EXPECT_EQ(q::maskPinsForLog(R"({"a":"x","pincode":"1","pincode":"2"})"), R"({"a":"x","pincode":"***","pincode":"***"})");
    // Nothing else changes.
    for (const char* same : {R"({"action":"initialize","usedUrl":"https://x/?pincode"})", R"({"a":"pincode","b":"x"})",
                             "not json at all", "", R"({"note":"pincode is secret"})", R"("unterminated)"}) {
        EXPECT_EQ(q::maskPinsForLog(same), same);
    }
}

TEST_F(FrameTest, AllowListMatchesExactly) {
    EXPECT_FALSE(q::isURLAuthorized("https://bank.example"));
    q::authorizedWebsiteURL("https://bank.example");
    q::authorizedWebsiteURL("https://bank.example");
    EXPECT_EQ(std::count(q::listOfAuthorizedURLs.begin(), q::listOfAuthorizedURLs.end(), "https://bank.example"), 2);
    EXPECT_TRUE(q::isURLAuthorized("https://bank.example"));
    EXPECT_FALSE(q::isURLAuthorized("https://BANK.example"));
    EXPECT_FALSE(q::isURLAuthorized("https://bank.example/"));
    EXPECT_FALSE(q::isURLAuthorized(std::string("https://bank.example\0x", 22)));
}

}  // namespace
