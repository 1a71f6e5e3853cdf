// The card roads of the command layer on the PC/SC rig: real pcscd, vpcd
// readers and simulated AKIS and national identity cards, plus SoftHSM behind
// a card whose ATR the test card database gives to it. Signatures are checked
// with openssl and xmlsec1 against the simulator's test CA.
#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <mutex>
#include <thread>

#include "../rig/softhsm/softhsm-fixture.h"
#include "card-simulator.h"
#include "quessel-commons.h"
#include "quessel-test-kit.h"
#include "rig-pcsc.h"
#include "rig-readers.h"
#include "test-support.h"
#include "tev-smartcard.h"

namespace q = tev::quessel;
using cardsim::Card;
using cardsim::Profile;
using quesseltest::b64;
using quesseltest::kNonce;
using quesseltest::logHas;
using quesseltest::normalised;

namespace {

const char* const kTxn = "0c5b2444-1f6b-4b4e-9d7b-7a4c1a0e3d11";
// PINs that occur nowhere else, so finding one in the log means it was logged.
const char* const kAkisPin = "731593";
const char* const kIdentityPin = "246817";

std::string b64Number(int n) { return b64(std::to_string(n)); }

struct Fixture {
    bool ok = false;
    std::string problem;
    corvane::rig::SoftHsmTokens tokens;
    QString caFile;
    // SoftHSM's slots as the module lists them: id and description.
    std::vector<std::pair<int, std::string>> softSlots;
};

Fixture build() {
    Fixture f;
    f.tokens = corvane::rig::makeSoftHsmTokens(corvane::test::privateFolder() + "/hsm");
    if (!f.tokens.ok) {
        f.problem = f.tokens.skipReason.toStdString();
        return f;
    }
    f.tokens.exportConfig();
    const auto listed = quesseltest::runTool(
        "pkcs11-tool", {"--module", QString::fromStdString(f.tokens.module()), "-L"});
    QRegularExpressionMatchIterator it = QRegularExpression("Slot \\d+ \\(0x([0-9a-f]+)\\): ([^\\n]*)")
                                             .globalMatch(QString::fromStdString(listed.output));
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        f.softSlots.emplace_back(m.captured(1).toInt(nullptr, 16), m.captured(2).trimmed().toStdString());
    }
    if (f.softSlots.empty()) {
        f.problem = "pkcs11-tool lists no SoftHSM slot: " + listed.output;
        return f;
    }
    const std::string& ca = cardsim::testCa().certificatePem;
    f.caFile = quesseltest::writeTemporary("cardsim-ca.pem", QByteArray::fromStdString(ca));
    f.ok = true;
    return f;
}

const Fixture& fixture() {
    static const Fixture f = build();
    return f;
}

// AKIS and identity card ATRs for the AKIS road, and the rig's unknown ATR
// for a card served by SoftHSM.
void loadTestCardDatabase() {
    const QString xml =
        QString("<smartcard-config><libraries>"
                "<library name=\"softtoken\"><driver operatingSystem=\"Linux_x64\" path=\"%1\"/></library>"
                "</libraries><card-types>"
                "<card-type name=\"AKIS\"><lib name=\"akisp11\"/><atr value=\"%2\"/><atr value=\"%3\"/>"
                "<atr value=\"%4\"/></card-type>"
                "<card-type name=\"SOFTTOKEN\"><lib name=\"softtoken\"/><atr value=\"%5\"/></card-type>"
                "</card-types></smartcard-config>")
            .arg(QString::fromStdString(fixture().tokens.module()),
                 QString::fromStdString(cardsim::toHex(cardsim::defaultAtr(Profile::Akis1))),
                 QString::fromStdString(cardsim::toHex(cardsim::defaultAtr(Profile::Akis2))),
                 QString::fromStdString(cardsim::toHex(cardsim::defaultAtr(Profile::IdentityCard))),
                 QString::fromStdString(cardsim::toHex(cardsim::unknownAtr())));
    ASSERT_EQ(tev::smartcard::configure(xml.toUtf8().constData()), 0);
}

class CardTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { quesseltest::keepWholeLog(); }
    void SetUp() override {
        RIG_REQUIRE_PCSCD();
        // The rig is shared by every test program on the machine; the answers
        // below list every card, so wait until no other program has one in.
        for (const rig::Reader& reader : rig::kReaders)
            if (!rig::waitForCard(reader.name, false, std::chrono::seconds(20)))
                GTEST_SKIP() << "another program keeps a card in " << reader.name;
        if (!fixture().ok) GTEST_SKIP() << "no SoftHSM tokens: " << fixture().problem;
        fixture().tokens.exportConfig();
        loadTestCardDatabase();
        corvane::test::clearLog();
        checkPins_ = true;
    }
    void TearDown() override {
        if (!checkPins_) return;
        for (const char* pin : {kAkisPin, kIdentityPin}) {
            EXPECT_FALSE(logHas(pin)) << "a PIN reached the log";
            EXPECT_FALSE(logHas(QByteArray(pin).toHex().toUpper().toStdString())) << "a PIN reached the log as hex";
        }
    }

    static std::unique_ptr<Card> akisCard(int validDaysRsa = 300, int validDaysEc = 700) {
        cardsim::CardOptions options;
        options.pin = kAkisPin;
        cardsim::KeySpec rsa;
        rsa.type = cardsim::KeyType::Rsa2048;
        rsa.keyReference = 1;
        rsa.certificateFile = 0x2F10;
        rsa.validDays = validDaysRsa;
        cardsim::KeySpec ec;
        ec.type = cardsim::KeyType::EcP256;
        ec.keyReference = 2;
        ec.certificateFile = 0x2F13;
        ec.validDays = validDaysEc;
        options.keys = {rsa, ec};
        return std::make_unique<Card>(Profile::Akis1, options);
    }
    static std::unique_ptr<Card> identityCard() {
        cardsim::CardOptions options;
        options.pin = kIdentityPin;
        return std::make_unique<Card>(Profile::IdentityCard, options);
    }
    static void insert(Card& card, const rig::Reader& reader) {
        card.insertInto(reader.port);
        card.clearApduLog();
    }
    static const QString& ca() { return fixture().caFile; }
    bool checkPins_ = false;
};

// The object a PKCS#11 slot or AKIS reader gets in the card listing.
std::string cardObject(const std::string& name, int slot, const char* library, const std::string& jobUUID) {
    std::string o = "{\"terminal\": \"" + b64(name) + "\",\"slotId\": \"" + b64Number(slot) +
                    "\",\"responseCode\": \"0\",\"library\": \"" + b64(std::string(library)) +
                    "\",\"transactionUUID\": \"" + kTxn + "\"";
    if (!jobUUID.empty()) o += ",\"jobUUID\": \"" + jobUUID + "\"";
    o += std::string(",\"nonce\": \"") + kNonce + "\",\"smartCardType\": \"" + b64(std::string("token")) +
         "\",\"providesPINReader\": \"" + b64(std::string("false")) + "\",\"isCardInserted\": \"" +
         b64(std::string("false")) + "\",\"cardType\": \"" + b64(name) + "\"}";
    return o;
}

std::string codeEightAnswer(const std::string& jobUUID) {
    std::string a = std::string("[{\"responseCode\":\"8\",\"nonce\": \"") + kNonce + "\"";
    if (!jobUUID.empty()) a += ",\"jobUUID\": \"" + jobUUID + "\"";
    return a + ",\"transactionUUID\": \"" + kTxn + "\"}]";
}

// An int or an unsigned long thrown by a command, as text ("int 27", "raw 27").
std::string thrownCode(std::string (*command)(const QJsonObject&), const QJsonObject& request) {
    try {
        command(request);
    } catch (int code) {
        return "int " + std::to_string(code);
    } catch (unsigned long code) {
        return "raw " + std::to_string(code);
    } catch (const std::exception& e) {
        return std::string("exception ") + e.what();
    }
    return "nothing";
}

// ---- card listing ----------------------------------------------------------------------------

TEST_F(CardTest, NoCardAnswersCode8InBothListings) {
    EXPECT_EQ(normalised(q::listCardTypeAndSlotsAsJSON({{"transactionUUID", kTxn}, {"jobUUID", "job-8"}})),
              codeEightAnswer("job-8"));
    EXPECT_EQ(normalised(q::listCardTypeAndSlotsAsJSON({{"transactionUUID", kTxn}})), codeEightAnswer(""));
    EXPECT_EQ(normalised(q::listTCKKReadersAsJSON({{"transactionUUID", kTxn}, {"jobUUID", "job-8"}})),
              codeEightAnswer("job-8"));
    EXPECT_TRUE(logHas("Quessel : No smartcard detected"));
    // A card that no database entry knows is no card either.
    cardsim::CardOptions unknown;
    unknown.atr = {0x3B, 0x02, 0x14, 0x50};
    Card stranger(Profile::Akis1, unknown);
    insert(stranger, rig::kReaderAkis);
    EXPECT_EQ(normalised(q::listCardTypeAndSlotsAsJSON({{"transactionUUID", kTxn}})), codeEightAnswer(""));
}

TEST_F(CardTest, ListsAkisReadersFirstThenTheModuleSlots) {
    auto akis = akisCard();
    Card token(Profile::Akis1, [] {
        cardsim::CardOptions o;
        o.atr = cardsim::unknownAtr();
        return o;
    }());
    Card sameType(Profile::Akis1, [] {
        cardsim::CardOptions o;
        o.atr = cardsim::unknownAtr();
        return o;
    }());
    insert(*akis, rig::kReaderAkis);
    insert(token, rig::kReaderAkis2);
    insert(sameType, rig::kReaderPinPad);

    const std::string answer = q::listCardTypeAndSlotsAsJSON({{"transactionUUID", kTxn}, {"jobUUID", "job-3"}});
    // The module is asked once for the two cards of one card type.
    std::string expected = "[" + cardObject(rig::kReaderAkis.name, rig::kReaderAkis.slot, "akisp11", "job-3");
    for (const auto& [slot, description] : fixture().softSlots) {
        std::string name = description;
        name.resize(64, ' ');  // the whole description field, blanks included
        expected += "," + cardObject(name, slot, "softtoken", "job-3");
    }
    expected += "]";
    int nonces = 0;
    EXPECT_EQ(normalised(answer, &nonces), expected);
    EXPECT_EQ(nonces, static_cast<int>(fixture().softSlots.size()) + 1);
    EXPECT_TRUE(logHas("Quessel : Executing method listCardTypeAndSlots"));
    EXPECT_TRUE(logHas("Quessel : Retrieving slotIDs for the smart cards"));
    EXPECT_TRUE(logHas(std::string("Quessel : ") + rig::kReaderAkis.name + " at slot ID 1"));
    EXPECT_TRUE(logHas("Quessel : Completed action - listCardTypeAndSlots"));
    EXPECT_FALSE(logHas("Removing smartcard"));
}

TEST_F(CardTest, AModuleThatCannotLoadListsNothingButTheAkisCardsStay) {
    // The driver file exists (so the card is listed) but is no PKCS#11 module.
    const QString xml =
        QString("<smartcard-config><libraries>"
                "<library name=\"brokenlib\"><driver operatingSystem=\"Linux_x64\" path=\"%1\"/></library>"
                "</libraries><card-types>"
                "<card-type name=\"AKIS\"><lib name=\"akisp11\"/><atr value=\"%2\"/></card-type>"
                "<card-type name=\"BROKEN\"><lib name=\"brokenlib\"/><atr value=\"%3\"/></card-type>"
                "</card-types></smartcard-config>")
            .arg(ca(), QString::fromStdString(cardsim::toHex(cardsim::defaultAtr(Profile::Akis1))),
                 QString::fromStdString(cardsim::toHex(cardsim::unknownAtr())));
    ASSERT_EQ(tev::smartcard::configure(xml.toUtf8().constData()), 0);
    Card broken(Profile::Akis1, [] {
        cardsim::CardOptions o;
        o.atr = cardsim::unknownAtr();
        return o;
    }());
    insert(broken, rig::kReaderAkis2);
    EXPECT_EQ(normalised(q::listCardTypeAndSlotsAsJSON({{"transactionUUID", kTxn}})), codeEightAnswer(""));
    EXPECT_TRUE(logHas("Quessel : Completed action - listCardTypeAndSlots"));

    auto akis = akisCard();
    insert(*akis, rig::kReaderAkis);
    EXPECT_EQ(normalised(q::listCardTypeAndSlotsAsJSON({{"transactionUUID", kTxn}})),
              "[" + cardObject(rig::kReaderAkis.name, rig::kReaderAkis.slot, "akisp11", "") + "]");
}

// ---- AKIS certificates and signing -----------------------------------------------------------

TEST_F(CardTest, ListsTheAkisCertificatesInOrder) {
    auto akis = akisCard(300, 700);
    insert(*akis, rig::kReaderAkis);
    const std::string answer = q::listSignerCertificatesAsJSON(
        {{"transactionUUID", kTxn}, {"jobUUID", "job-4"}, {"library", "akisp11"}, {"slotId", "1"}});
    // Both carry an identity number: the one that expires last comes first.
    const auto& keys = akis->keys();
    ASSERT_EQ(keys.size(), 2u);
    const QByteArray rsaDer(reinterpret_cast<const char*>(keys[0].certificateDer.data()),
                            static_cast<int>(keys[0].certificateDer.size()));
    const QByteArray ecDer(reinterpret_cast<const char*>(keys[1].certificateDer.data()),
                           static_cast<int>(keys[1].certificateDer.size()));
    ASSERT_FALSE(quesseltest::describe(ecDer).subjectSerialNumber.empty());
    EXPECT_EQ(normalised(answer),
              "[" + quesseltest::certificateObject(quesseltest::describe(ecDer), kTxn, "job-4", true) + "," +
                  quesseltest::certificateObject(quesseltest::describe(rsaDer), kTxn, "job-4", true) + "]");
    EXPECT_TRUE(logHas("Quessel : Retrieving certificates on AKIS device"));
    EXPECT_TRUE(logHas("Quessel : Retrieved AKIS certificates with result: 0"));
    EXPECT_FALSE(logHas("Quessel : Driver Path: "));

    // An empty reader has no certificate.
    EXPECT_EQ(normalised(q::listSignerCertificatesAsJSON(
                  {{"transactionUUID", kTxn}, {"library", "akisp11"},
                   {"slotId", QString::number(rig::kReaderEmpty.slot)}})),
              std::string("[{\"responseCode\": \"23\",\"nonce\": \"") + kNonce + "\",\"transactionUUID\": \"" + kTxn +
                  "\"}]");
}

TEST_F(CardTest, SignsOnTheAkisCardInEveryFormat) {
    auto akis = akisCard();
    insert(*akis, rig::kReaderAkis);
    const auto& rsa = akis->keys()[0];
    const QString certificate =
        quesseltest::writeTemporary("akis-rsa.pem", QByteArray::fromStdString(rsa.certificatePem));
    auto request = [&](const QByteArray& data) {
        return QJsonObject{{"transactionUUID", kTxn},
                           {"library", "akisp11"},
                           {"slotId", "1"},
                           {"certSerialNumber", QString::fromStdString(rsa.serialDecimal)},
                           {"pincode", kAkisPin},
                           {"dataBase64", QString(data.toBase64())}};
    };

    const QByteArray digest = quesseltest::sha256("pay 100");
    const QByteArray pkcs1 = quesseltest::unb64(quesseltest::valuesOf(q::signPKCS1AsJSON(request(digest)), "signature").at(0));
    auto verified = quesseltest::verifyPkcs1(digest, pkcs1, certificate);
    EXPECT_EQ(verified.exitCode, 0) << verified.output;

    QJsonObject cades = request("AKIS content");
    cades["isAttached"] = true;
    cades["addSigningTime"] = true;
    const QByteArray cms = quesseltest::unb64(quesseltest::valuesOf(q::signCadesBesAsJSON(cades), "signature").at(0));
    verified = quesseltest::verifyCades(cms, ca(), nullptr);
    EXPECT_EQ(verified.exitCode, 0) << verified.output;

    const QByteArray xml = quesseltest::unb64(
        quesseltest::valuesOf(q::signXadesBesEnvelopingAsJSON(request("AKIS xml content")), "signature").at(0));
    verified = quesseltest::verifyXades(xml, ca());
    EXPECT_EQ(verified.exitCode, 0) << verified.output;

    EXPECT_FALSE(logHas("Quessel : Driver Path: "));
    // A wrong PIN costs one try and comes back as the card's code.
    QJsonObject wrong = request(digest);
    wrong["pincode"] = "000000";
    EXPECT_EQ(thrownCode(q::signPKCS1AsJSON, wrong), "raw 27");
    EXPECT_EQ(akis->pinTriesLeft(), 2);
}

// ---- national identity card -------------------------------------------------------------------

std::string readerObject(const rig::Reader& reader, bool pinPad, const std::string& jobUUID) {
    std::string o = std::string("{\"responseCode\": \"0\",\"transactionUUID\": \"") + kTxn + "\"";
    if (!jobUUID.empty()) o += ",\"jobUUID\": \"" + jobUUID + "\"";
    o += std::string(",\"nonce\": \"") + kNonce + "\",\"terminal\": \"" + b64(std::string(reader.name)) +
         "\",\"slotId\": \"" + b64Number(reader.slot) + "\",\"smartCardType\": \"" +
         b64(std::string("tckk-standard-card-reader")) + "\",\"providesPINReader\": \"" +
         b64(std::string(pinPad ? "true" : "false")) + "\",\"isCardInserted\": \"" + b64(std::string("true")) +
         "\",\"cardType\": \"" + b64(std::string(reader.name)) + "\"}";
    return o;
}

TEST_F(CardTest, ListsTheIdentityCardReaders) {
    auto plain = identityCard();
    auto onPad = identityCard();
    auto akis = akisCard();  // the first AKIS release is no identity card
    insert(*plain, rig::kReaderIdentity);
    insert(*onPad, rig::kReaderPinPad);
    insert(*akis, rig::kReaderAkis);
    int nonces = 0;
    EXPECT_EQ(normalised(q::listTCKKReadersAsJSON({{"transactionUUID", kTxn}, {"jobUUID", "job-5"}}), &nonces),
              "[" + readerObject(rig::kReaderIdentity, false, "job-5") + "," +
                  readerObject(rig::kReaderPinPad, true, "job-5") + "]");
    EXPECT_EQ(nonces, 2);
    EXPECT_TRUE(logHas("Quessel : Executing method listTCKKReadersAsJSON"));
    EXPECT_TRUE(logHas("Quessel : Completed action - listTCKKReadersAsJSON"));
}

TEST_F(CardTest, ReadsTheIdentityCardCertificate) {
    auto card = identityCard();
    insert(*card, rig::kReaderIdentity);
    const QByteArray der = QByteArray::fromStdString(
        std::string(card->keys()[0].certificateDer.begin(), card->keys()[0].certificateDer.end()));
    for (const char* slot : {"3", "3x", " 3"}) {
        EXPECT_EQ(normalised(q::retrieveTCKKCertificateFromReaderAsJSON(
                      {{"transactionUUID", kTxn}, {"jobUUID", "job-6"}, {"slotId", slot}})),
                  "[" + quesseltest::certificateObject(quesseltest::describe(der), kTxn, "job-6", false) + "]")
            << slot;
    }
    EXPECT_TRUE(logHas("Quessel : Querying TCKK certificate at slotID 3x"));
    EXPECT_TRUE(logHas("Quessel : Completed retrieving certificates from the smart card"));
}

TEST_F(CardTest, AFailedOrEmptyCertificateReadAnswersTheCardsCode) {
    auto coded = [](auto code) {
        return std::string("[{\"responseCode\": \"") + std::to_string(code) + "\",\"nonce\": \"" + kNonce +
               "\",\"transactionUUID\": \"" + kTxn + "\"}]";
    };
    // An empty reader: the PC/SC code, unsigned as on the AKIS and PKCS#11 roads.
    corvane::test::clearLog();
    EXPECT_EQ(normalised(q::retrieveTCKKCertificateFromReaderAsJSON(
                  {{"transactionUUID", kTxn}, {"slotId", QString::number(rig::kReaderEmpty.slot)}})),
              coded(0x8010000Cu));
    EXPECT_TRUE(logHas("ERROR [default] Quessel : Cannot query the list of certificates at slot ID 4"));
    EXPECT_FALSE(logHas("Parsing certificate data"));

    // A card without the certificate file: the card layer's -1.
    auto noFile = identityCard();
    noFile->removeFile({0x3D00, 0x2F10});
    insert(*noFile, rig::kReaderIdentity);
    EXPECT_EQ(normalised(q::retrieveTCKKCertificateFromReaderAsJSON({{"transactionUUID", kTxn}, {"slotId", "3"}})),
              coded(-1));
    noFile->remove();

    // The file is there but empty: the card layer's code, nothing parsed.
    auto emptyFile = identityCard();
    emptyFile->putFile({0x3D00, 0x2F10}, {});
    insert(*emptyFile, rig::kReaderIdentity);
    corvane::test::clearLog();
    EXPECT_EQ(normalised(q::retrieveTCKKCertificateFromReaderAsJSON({{"transactionUUID", kTxn}, {"slotId", "3"}})),
              coded(-1));
    EXPECT_FALSE(logHas("Parsing certificate data"));
    emptyFile->remove();

    // Bytes that are no certificate: parsed, refused, 34.
    auto garbage = identityCard();
    garbage->putFile({0x3D00, 0x2F10}, cardsim::Bytes(300, 0x5A));
    insert(*garbage, rig::kReaderIdentity);
    corvane::test::clearLog();
    EXPECT_EQ(normalised(q::retrieveTCKKCertificateFromReaderAsJSON({{"transactionUUID", kTxn}, {"slotId", "3"}})),
              coded(34));
    EXPECT_TRUE(logHas("Parsing certificate data"));
    EXPECT_FALSE(logHas("Returning certificate HEX value"));
}

TEST_F(CardTest, SignsWithTheIdentityCardUnderEachAlgorithm) {
    auto card = identityCard();
    insert(*card, rig::kReaderIdentity);
    const QString certificate = quesseltest::writeTemporary(
        "tckk.pem", QByteArray::fromStdString(card->keys()[0].certificatePem));
    const QByteArray digest = quesseltest::sha256("identity card signing");
    const QByteArray digestInfo = QByteArray::fromHex("3031300d060960864801650304020105000420") + digest;

    struct Case {
        QJsonValue algorithm;   // undefined: member absent
        const char* mse;        // expected MSE algorithm byte, nullptr: no MSE
        bool pss;
    } cases[] = {
        {QJsonValue(1), "92", false},  {QJsonValue(3), nullptr, false}, {QJsonValue(), "91", true},
        {QJsonValue(0), "91", true},   {QJsonValue(4), "91", true},     {QJsonValue("1"), "91", true},
        {QJsonValue(1.5), "91", true}, {QJsonValue(2), "91", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QJsonDocument(QJsonArray{c.algorithm}).toJson(QJsonDocument::Compact).toStdString());
        card->clearApduLog();
        corvane::test::clearLog();
        const bool pkcs1 = c.mse != nullptr && std::string(c.mse) == "92";
        // Algorithm 3 signs under the card's current environment: the last one set was PKCS#1 v1.5.
        const bool asPkcs1 = pkcs1 || c.mse == nullptr;
        QJsonObject request{{"transactionUUID", kTxn},
                            {"slotId", "3"},
                            {"pincode", kIdentityPin},
                            {"dataBase64", QString((asPkcs1 ? digestInfo : digest).toBase64())}};
        if (!c.algorithm.isUndefined()) request["algorithmID"] = c.algorithm;
        const std::string answer = q::signWithTCKKCertificateAsJSON(request);
        const QByteArray signature = quesseltest::unb64(quesseltest::valuesOf(answer, "signature").at(0));
        EXPECT_EQ(normalised(answer), std::string("[{\"responseCode\": \"0\",\"transactionUUID\": \"") + kTxn +
                                          "\",\"nonce\": \"" + kNonce + "\",\"signature\": \"" + b64(signature) +
                                          "\"}]");
        quesseltest::ToolRun verified;
        if (c.pss)
            verified = quesseltest::runTool(
                "openssl", {"pkeyutl", "-verify", "-certin", "-inkey", certificate, "-pkeyopt",
                            "rsa_padding_mode:pss", "-pkeyopt", "digest:sha256", "-pkeyopt", "rsa_pss_saltlen:32",
                            "-in", quesseltest::writeTemporary("d.bin", digest), "-sigfile",
                            quesseltest::writeTemporary("s.bin", signature)});
        else
            verified = quesseltest::runTool(
                "openssl", {"pkeyutl", "-verify", "-certin", "-inkey", certificate, "-in",
                            quesseltest::writeTemporary("di.bin", digestInfo), "-sigfile",
                            quesseltest::writeTemporary("s.bin", signature)});
        EXPECT_EQ(verified.exitCode, 0) << verified.output;
        bool sawMse = false;
        for (const std::string& command : card->commandLog()) {
            if (command.rfind("002241B6", 0) != 0) continue;
            sawMse = true;
            if (c.mse != nullptr) {
                EXPECT_NE(command.find(std::string("8001") + c.mse), std::string::npos) << command;
            }
        }
        EXPECT_EQ(sawMse, c.mse != nullptr);
        EXPECT_TRUE(logHas("Quessel : Slot ID: 3"));
        EXPECT_TRUE(logHas("Quessel : Digest Length: " + std::to_string(asPkcs1 ? 51 : 32)));
        EXPECT_TRUE(logHas("Quessel : Completed signWithTCKKCertificate"));
    }
}

TEST_F(CardTest, IdentityCardFailuresAnswerTheCardCodeWithoutSignature) {
    auto card = identityCard();
    insert(*card, rig::kReaderIdentity);
    QJsonObject request{{"transactionUUID", kTxn}, {"jobUUID", "job-7"}, {"slotId", "3"},
                        {"pincode", "999999"}, {"dataBase64", QString(quesseltest::sha256("x").toBase64())}};
    auto answerWith = [](auto code) {
        return std::string("[{\"responseCode\": \"") + std::to_string(code) + "\",\"transactionUUID\": \"" + kTxn +
               "\",\"jobUUID\": \"job-7\",\"nonce\": \"" + kNonce + "\",\"signature\": \"\"}]";
    };
    // A wrong PIN: the card layer reports every failed VERIFY as -1.
    EXPECT_EQ(normalised(q::signWithTCKKCertificateAsJSON(request)), answerWith(-1));
    EXPECT_EQ(card->pinTriesLeft(), 2);
    // The card refuses the signing.
    request["pincode"] = kIdentityPin;
    card->setRefusal(0x2A, 0x6982);
    EXPECT_EQ(normalised(q::signWithTCKKCertificateAsJSON(request)), answerWith(0x6982));
    card->clearRules();
    // An empty reader: the PC/SC code, unsigned as on the AKIS and PKCS#11 roads.
    request["slotId"] = QString::number(rig::kReaderEmpty.slot);
    EXPECT_EQ(normalised(q::signWithTCKKCertificateAsJSON(request)), answerWith(0x8010000Cu));
    // A slot that is no number leaves the command.
    request["slotId"] = 3;
    EXPECT_THROW(q::signWithTCKKCertificateAsJSON(request), std::invalid_argument);
}

// ---- parallel requests on the card roads -------------------------------------------------------

TEST_F(CardTest, ParallelRequestsOnCardsAndTokensAllSucceed) {
    auto akis = akisCard();
    auto identity = identityCard();
    insert(*akis, rig::kReaderAkis);
    insert(*identity, rig::kReaderIdentity);
    const auto& rsa = akis->keys()[0];
    const QByteArray digest = quesseltest::sha256("parallel");
    const QByteArray digestInfo = QByteArray::fromHex("3031300d060960864801650304020105000420") + digest;
    const QString akisCertificate =
        quesseltest::writeTemporary("akis.pem", QByteArray::fromStdString(rsa.certificatePem));
    const QString identityCertificate =
        quesseltest::writeTemporary("tckk.pem", QByteArray::fromStdString(identity->keys()[0].certificatePem));

    std::mutex lock;
    std::vector<std::string> failures;
    std::vector<std::pair<int, QByteArray>> signatures;  // 0 AKIS, 1 identity card, 2 SoftHSM
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < 3; ++r) {
                const int kind = (t + r) % 4;
                try {
                    std::string answer;
                    if (kind == 0) {
                        answer = q::signPKCS1AsJSON({{"library", "akisp11"}, {"slotId", "1"},
                                                     {"certSerialNumber", QString::fromStdString(rsa.serialDecimal)},
                                                     {"pincode", kAkisPin}, {"dataBase64", QString(digest.toBase64())}});
                    } else if (kind == 1) {
                        answer = q::signWithTCKKCertificateAsJSON({{"slotId", "3"}, {"algorithmID", 1},
                                                                   {"pincode", kIdentityPin},
                                                                   {"dataBase64", QString(digestInfo.toBase64())}});
                    } else if (kind == 2) {
                        answer = q::signPKCS1AsJSON(
                            {{"library", "softtoken"}, {"slotId", QString::number(fixture().tokens.slotOf("corvane-main"))},
                             {"certSerialNumber", QString::fromStdString(fixture().tokens.get("RSA_SERIAL"))},
                             {"pincode", "1234"}, {"dataBase64", QString(digest.toBase64())}});
                    } else {
                        answer = q::listSignerCertificatesAsJSON({{"library", "akisp11"}, {"slotId", "1"}});
                    }
                    const QJsonArray parsed = quesseltest::parsed(answer);
                    std::lock_guard<std::mutex> hold(lock);
                    if (parsed.isEmpty() || parsed[0].toObject()["responseCode"].toString() != "0")
                        failures.push_back(answer);
                    else if (kind < 3)
                        signatures.emplace_back(kind, quesseltest::unb64(parsed[0].toObject()["signature"].toString().toStdString()));
                } catch (...) {
                    std::lock_guard<std::mutex> hold(lock);
                    failures.push_back("exception in kind " + std::to_string(kind));
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_TRUE(failures.empty()) << failures.size() << " failed, first: " << failures.front();
    EXPECT_EQ(signatures.size(), 14u);
    for (const auto& [kind, signature] : signatures) {
        quesseltest::ToolRun verified;
        if (kind == 0)
            verified = quesseltest::verifyPkcs1(digest, signature, akisCertificate);
        else if (kind == 1)
            verified = quesseltest::runTool(
                "openssl", {"pkeyutl", "-verify", "-certin", "-inkey", identityCertificate, "-in",
                            quesseltest::writeTemporary("di.bin", digestInfo), "-sigfile",
                            quesseltest::writeTemporary("s.bin", signature)});
        else
            verified = quesseltest::verifyPkcs1(digest, signature, fixture().tokens.qget("RSA_CERT"));
        EXPECT_EQ(verified.exitCode, 0) << "kind " << kind << ": " << verified.output;
    }
    EXPECT_EQ(akis->pinTriesLeft(), 3);
    EXPECT_EQ(identity->pinTriesLeft(), 3);
}

}  // namespace
