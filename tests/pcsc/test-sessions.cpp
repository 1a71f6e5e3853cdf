// Card sessions on the rig: real pcscd, vpcd readers and simulated cards.
// Signatures are checked with OpenSSL against the simulator's keys.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>

#include <atomic>
#include <thread>

#include "card-simulator.h"
#include "pcsc-test-kit.h"
#include "rig-pcsc.h"
#include "rig-readers.h"
#include "tev-pcsc.h"
#include "tev-smartcard.h"
#include "test-support.h"
#include "tev-logging.h"

namespace pcsc = tev::quessel::pcsc;
namespace apdu = tev::corvane::apdu;
using cardsim::Card;
using cardsim::Profile;
using pcsctest::anyCommandStartsWith;
using pcsctest::toQByteArray;

namespace {

constexpr int kUnknownReader = static_cast<int>(0x80100009);
constexpr int kNoSmartcard = static_cast<int>(0x8010000C);

class RigTest : public ::testing::Test {
protected:
    // Tests read back what one operation logged; keep the whole of it.
    static void SetUpTestSuite() {
        el::Loggers::reconfigureLogger("default", el::ConfigurationType::MaxLogFileSize, "0");
    }
    void SetUp() override {
        RIG_REQUIRE_PCSCD();
        pcsctest::loadCompiledInCardDatabase();
        corvane::test::clearLog();
    }

    // Inserts and forgets what pcscd's own insertion handling left in the log.
    static void insert(Card& card, const rig::Reader& reader) {
        card.insertInto(reader.port);
        card.clearApduLog();
    }

    static std::string log() { return corvane::test::readLog(); }
    static bool logHas(const std::string& text) { return log().find(text) != std::string::npos; }
};

// ---- listing -----------------------------------------------------------------------

TEST_F(RigTest, ListsTheKnownCardsWithTheirSlots) {
    Card akis1(Profile::Akis1);
    Card akis2(Profile::Akis2);
    Card identity(Profile::IdentityCard);
    cardsim::CardOptions unknownOptions;
    unknownOptions.atr = cardsim::unknownAtr();
    Card unknown(Profile::Akis1, unknownOptions);
    insert(akis1, rig::kReaderAkis);
    insert(akis2, rig::kReaderAkis2);
    insert(identity, rig::kReaderIdentity);
    insert(unknown, rig::kReaderPinPad);

    std::vector<pcsc::SmartCard> cards(1);
    cards[0].readerName = "listed before";
    ASSERT_EQ(pcsc::listSmartCards(&cards), 0);
    ASSERT_EQ(cards.size(), 4u);
    EXPECT_EQ(cards[0].readerName, "listed before");
    const Card* expected[] = {&akis1, &akis2, &identity};
    const rig::Reader readers[] = {rig::kReaderAkis, rig::kReaderAkis2, rig::kReaderIdentity};
    for (int i = 0; i < 3; ++i) {
        const pcsc::SmartCard& card = cards[static_cast<size_t>(i) + 1];
        SCOPED_TRACE(card.readerName);
        EXPECT_EQ(card.slot, readers[i].slot);
        EXPECT_EQ(card.readerName, readers[i].name);
        EXPECT_EQ(card.atr, cardsim::toHex(expected[i]->atr()));
        EXPECT_EQ(card.library, "akisp11");
        EXPECT_EQ(card.cardType, "AKIS");
        EXPECT_TRUE(card.driverPath.empty());
        EXPECT_FALSE(card.isCardInserted);
        EXPECT_FALSE(card.providesPINReader);
        EXPECT_FALSE(card.reservedFlag);
    }
    // MF and DF 3D10: the identity card and the second AKIS release answer the probe.
    EXPECT_FALSE(cards[1].isTCKK);
    EXPECT_TRUE(cards[2].isTCKK);
    EXPECT_TRUE(cards[3].isTCKK);
    EXPECT_TRUE(logHas("The driver  is not installed"));
    EXPECT_TRUE(logHas("Number of Smart Cards: 4"));
    EXPECT_TRUE(logHas("Connecting to the smart card: " + std::string(rig::kReaderEmpty.name)));
    // The empty reader is skipped without an error line.
    EXPECT_FALSE(logHas("Cannot connect to smartcard " + std::string(rig::kReaderEmpty.name)));
}

TEST_F(RigTest, OtherLibrariesAreListedOnlyWithTheirDriver) {
    const QString driver = QCoreApplication::applicationFilePath();  // a file that certainly exists
    Card present(Profile::Akis1);
    Card missing(Profile::Akis2);
    const QString xml =
        QString("<smartcard-config><libraries>"
                "<library name=\"presentlib\"><driver operatingSystem=\"Linux_x64\" path=\"%1\"/></library>"
                "<library name=\"missinglib\"><driver operatingSystem=\"Linux_x64\" "
                "path=\"/nonexistent/corvane/libmissing.so\"/></library>"
                "</libraries><card-types>"
                "<card-type name=\"PRESENT\"><lib name=\"presentlib\"/><atr value=\"%2\"/></card-type>"
                "<card-type name=\"MISSING\"><lib name=\"missinglib\"/><atr value=\"%3\"/></card-type>"
                "</card-types></smartcard-config>")
            .arg(driver, QString::fromStdString(cardsim::toHex(present.atr())),
                 QString::fromStdString(cardsim::toHex(missing.atr())));
    const QString path = corvane::test::privateFolder() + "/test-cards.xml";
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(xml.toUtf8());
    file.close();
    ASSERT_EQ(tev::smartcard::configure(path.toStdWString().c_str()), 0);

    insert(present, rig::kReaderAkis);
    insert(missing, rig::kReaderAkis2);
    std::vector<pcsc::SmartCard> cards;
    EXPECT_EQ(pcsc::listSmartCards(&cards), 0);
    pcsctest::loadCompiledInCardDatabase();
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].library, "presentlib");
    EXPECT_EQ(cards[0].cardType, "PRESENT");
    EXPECT_EQ(cards[0].driverPath, driver.toStdString());
    EXPECT_EQ(cards[0].driverPathWide, driver.toStdWString());
    EXPECT_EQ(cards[0].slot, 1);
    EXPECT_TRUE(logHas("The driver /nonexistent/corvane/libmissing.so is not installed"));
}

TEST_F(RigTest, NoCardsIsAnEmptyList) {
    std::vector<pcsc::SmartCard> cards;
    EXPECT_EQ(pcsc::listSmartCards(&cards), 0);
    EXPECT_TRUE(cards.empty());
    EXPECT_TRUE(logHas("Number of Smart Cards: 0"));
    EXPECT_EQ(pcsc::listTCKKReaders(&cards), 0);
    EXPECT_TRUE(cards.empty());
}

TEST_F(RigTest, IdentityCardReadersWithTheirPinPadFeature) {
    Card plain(Profile::IdentityCard);
    Card pinPad(Profile::IdentityCard);
    Card akis(Profile::Akis1);
    insert(akis, rig::kReaderAkis);
    insert(plain, rig::kReaderIdentity);
    insert(pinPad, rig::kReaderPinPad);
    std::vector<pcsc::SmartCard> readers;
    ASSERT_EQ(pcsc::listTCKKReaders(&readers), 0);
    ASSERT_EQ(readers.size(), 2u);
    EXPECT_EQ(readers[0].slot, rig::kReaderIdentity.slot);
    EXPECT_EQ(readers[0].readerName, rig::kReaderIdentity.name);
    EXPECT_FALSE(readers[0].providesPINReader);
    EXPECT_EQ(readers[1].slot, rig::kReaderPinPad.slot);
    EXPECT_EQ(readers[1].readerName, rig::kReaderPinPad.name);
    EXPECT_TRUE(readers[1].providesPINReader);
    for (const auto& reader : readers) {
        EXPECT_TRUE(reader.isCardInserted);
        EXPECT_FALSE(reader.isTCKK);
        EXPECT_EQ(reader.atr, cardsim::toHex(plain.atr()));
    }
    EXPECT_TRUE(logHas("The reader supports PIN verification: " +
                       std::to_string(rig::featureControlCode(rig::kFeatureVerifyPinDirect))));
    EXPECT_TRUE(logHas("The reader does not provide PIN reader"));
    EXPECT_TRUE(logHas("Active protocol T"));
}

// ---- identity card -------------------------------------------------------------------

TEST_F(RigTest, IdentityCertificateIsReadWhole) {
    Card identity(Profile::IdentityCard);
    Card bystander(Profile::Akis1);
    insert(bystander, rig::kReaderAkis);
    insert(identity, rig::kReaderIdentity);
    QByteArray certificate;
    ASSERT_EQ(pcsc::retrieveTCKKCertificate(rig::kReaderIdentity.slot, &certificate), 0);
    EXPECT_EQ(certificate, toQByteArray(identity.keys()[0].certificateDer));
    EXPECT_TRUE(bystander.commandLog().empty()) << "another reader was used";
    EXPECT_TRUE(logHas("Skipping smartcard reader " + std::string(rig::kReaderAkis.name) + " slotID: 3, iterator: 1"));

    // A 600-byte file: three READ BINARY commands at 0000, 0100 and 0200.
    cardsim::Bytes content(600);
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i);
    identity.putFile({0x3D00, 0x2F10}, content);
    identity.clearApduLog();
    certificate.clear();
    ASSERT_EQ(pcsc::retrieveTCKKCertificate(rig::kReaderIdentity.slot, &certificate), 0);
    EXPECT_EQ(certificate, toQByteArray(content));
    EXPECT_EQ(identity.commandLog(),
              (std::vector<std::string>{"00A40000023F0000", "00A40000023D0000", "00A40200022F1000", "00B0000000",
                                        "00B0010000", "00B0020000"}));
}

TEST_F(RigTest, IdentityCertificateFailures) {
    Card identity(Profile::IdentityCard);
    Card akis(Profile::Akis2);
    insert(identity, rig::kReaderIdentity);
    insert(akis, rig::kReaderAkis);
    QByteArray certificate;
    EXPECT_EQ(pcsc::retrieveTCKKCertificate(rig::kReaderAkis.slot, &certificate), -1);  // no DF 3D00
    EXPECT_EQ(pcsc::retrieveTCKKCertificate(rig::kReaderEmpty.slot, &certificate), kNoSmartcard);
    EXPECT_EQ(pcsc::retrieveTCKKCertificate(40, &certificate), kUnknownReader);
    EXPECT_EQ(pcsc::retrieveTCKKCertificate(0, &certificate), kUnknownReader);
    // A file that reports more than it holds is a failure, not a short certificate.
    identity.setReportedSize({0x3D00, 0x2F10}, 5000);
    EXPECT_NE(pcsc::retrieveTCKKCertificate(rig::kReaderIdentity.slot, &certificate), 0);
    EXPECT_TRUE(certificate.isEmpty());
}

class IdentitySigningTest : public RigTest {
protected:
    void SetUp() override {
        RigTest::SetUp();
        if (IsSkipped()) return;
        insert(card_, rig::kReaderIdentity);
    }
    int sign(int padding, const QByteArray& data, QByteArray* signature, const std::string& pin = "123456",
             int slot = rig::kReaderIdentity.slot) {
        return pcsc::signWithTCKKCertificate(slot, padding, pin, data, signature);
    }
    const cardsim::Bytes& publicKey() const { return card_.keys()[0].publicKeyDer; }
    Card card_{Profile::IdentityCard};
    const QByteArray digest_ = pcsctest::sha256("document for the identity card");
    const QByteArray digestInfo_ = pcsctest::sha256DigestInfo(digest_);
};

TEST_F(IdentitySigningTest, Pkcs1SignatureVerifiesWithTheExactCommands) {
    QByteArray signature;
    ASSERT_EQ(sign(1, digestInfo_, &signature), 0);
    EXPECT_TRUE(pcsctest::verifyRsaPkcs1(publicKey(), digestInfo_, signature));
    EXPECT_EQ(card_.commandLog(),
              (std::vector<std::string>{"00A40000023F0000", "00A40000023D0000", "0020000106313233343536" "00",
                                        "002241B606800192840181" "00",
                                        "002A9E9A33" + digestInfo_.toHex().toUpper().toStdString() + "00"}));
    EXPECT_FALSE(logHas("313233343536")) << "the PIN reached the log";
}

TEST_F(IdentitySigningTest, PssSignatureVerifies) {
    QByteArray signature;
    ASSERT_EQ(sign(2, digest_, &signature), 0);
    EXPECT_TRUE(pcsctest::verifyRsaPssSha256(publicKey(), digest_, signature));
    EXPECT_TRUE(anyCommandStartsWith(card_.commandLog(), "002241B606800191840181"));
}

TEST_F(IdentitySigningTest, SignatureThroughGetResponse) {
    card_.setChaining(0x2A, 16);
    QByteArray signature;
    ASSERT_EQ(sign(1, digestInfo_, &signature), 0);
    EXPECT_EQ(card_.commandLog().back(), "00C00000F0");
    EXPECT_TRUE(pcsctest::verifyRsaPkcs1(publicKey(), digestInfo_, signature));
}

TEST_F(IdentitySigningTest, PinPadReaderSendsThePlaceholder) {
    Card onPad(Profile::IdentityCard);
    insert(onPad, rig::kReaderPinPad);
    QByteArray signature;
    ASSERT_EQ(sign(1, digestInfo_, &signature, "not sent", rig::kReaderPinPad.slot), 0);
    EXPECT_TRUE(anyCommandStartsWith(onPad.commandLog(), "0020000106FFFFFFFFFFFF00"));
    EXPECT_TRUE(pcsctest::verifyRsaPkcs1(onPad.keys()[0].publicKeyDer, digestInfo_, signature));
    onPad.setKeypadEntry(std::string("999999"));
    signature.clear();
    EXPECT_EQ(sign(1, digestInfo_, &signature, "123456", rig::kReaderPinPad.slot), -1);
}

TEST_F(IdentitySigningTest, PinFailuresAreMinusOneAndStopTheSession) {
    QByteArray signature;
    EXPECT_EQ(sign(1, digestInfo_, &signature, "654321"), -1);
    EXPECT_EQ(card_.pinTriesLeft(), 2);
    EXPECT_FALSE(anyCommandStartsWith(card_.commandLog(), "0022"));
    EXPECT_FALSE(anyCommandStartsWith(card_.commandLog(), "002A"));
    card_.setPinTriesLeft(0);
    EXPECT_EQ(sign(1, digestInfo_, &signature), -1);
    EXPECT_TRUE(signature.isEmpty());

    Card onOmnikey(Profile::IdentityCard);
    insert(onOmnikey, rig::kReaderOmnikey);
    EXPECT_EQ(sign(1, digestInfo_, &signature, "123456", rig::kReaderOmnikey.slot), -1);
    EXPECT_FALSE(anyCommandStartsWith(onOmnikey.commandLog(), "0020"));
    EXPECT_FALSE(anyCommandStartsWith(onOmnikey.commandLog(), "002A"));
}

TEST_F(IdentitySigningTest, CardRefusalsAreReported) {
    QByteArray signature;
    card_.setAnswerFor({0x00, 0x2A}, {0x90, 0x00}, 1);
    EXPECT_EQ(sign(1, digestInfo_, &signature), 75);
    card_.clearApduLog();
    card_.setRefusal(0x22, 0x6A80, 1);
    EXPECT_EQ(sign(1, digestInfo_, &signature), 0x6A80);
    EXPECT_FALSE(anyCommandStartsWith(card_.commandLog(), "002A9E9A33"));
    card_.setRefusal(0x2A, 0x6982, 1);
    EXPECT_EQ(sign(1, digestInfo_, &signature), 0x6982);
    EXPECT_TRUE(signature.isEmpty());
}

TEST_F(IdentitySigningTest, UnknownPaddingSendsNoMse) {
    QByteArray signature;
    // Fresh connection state: the card has no environment, so its PSO is refused.
    EXPECT_EQ(sign(3, digestInfo_, &signature), 0x6985);
    EXPECT_FALSE(anyCommandStartsWith(card_.commandLog(), "0022"));
    EXPECT_TRUE(logHas("Performed MSE_RSA_PSS successfully"));
    EXPECT_TRUE(signature.isEmpty());
}

TEST_F(IdentitySigningTest, MissingOrEmptyReadersAndBadDataAreFailures) {
    QByteArray signature;
    EXPECT_EQ(sign(1, digestInfo_, &signature, "123456", rig::kReaderEmpty.slot), kNoSmartcard);
    EXPECT_EQ(sign(1, digestInfo_, &signature, "123456", 33), kUnknownReader);
    EXPECT_NE(sign(1, QByteArray(256, 'x'), &signature), 0);
    EXPECT_NE(sign(1, QByteArray(), &signature), 0);
    EXPECT_TRUE(card_.commandLog().empty());
    EXPECT_TRUE(signature.isEmpty());
}

// ---- AKIS -----------------------------------------------------------------------------

TEST_F(RigTest, AkisCertificatesAreListedFromEveryFile) {
    Card card(Profile::Akis1);
    insert(card, rig::kReaderAkis);
    std::vector<tev::x509::Certificate> certificates;
    ASSERT_EQ(pcsc::listAKISCertificates(rig::kReaderAkis.slot, &certificates), 0);
    ASSERT_EQ(certificates.size(), 2u);
    EXPECT_EQ(certificates[0].serialNumber, card.keys()[0].serialDecimal);
    EXPECT_EQ(certificates[1].serialNumber, card.keys()[1].serialDecimal);
    EXPECT_EQ(certificates[0].publicKeyType, "RSA");
    EXPECT_EQ(certificates[1].publicKeyType, "ECC");
    EXPECT_TRUE(logHas("Skipping address at index 1"));
    EXPECT_TRUE(logHas("Skipping address at index 31"));
    EXPECT_EQ(pcsctest::commandsStartingWith(card.commandLog(), "00A40200022F").size(), 32u);

    ASSERT_EQ(pcsc::listAKISCertificates(rig::kReaderAkis.slot, &certificates), 0);
    EXPECT_EQ(certificates.size(), 4u);

    // A refused selection never re-reads the file selected before it.
    card.clearApduLog();
    card.setRefusalFor({0x00, 0xA4, 0x02, 0x00, 0x02, 0x2F, 0x11}, 0x6982);
    std::vector<tev::x509::Certificate> again;
    ASSERT_EQ(pcsc::listAKISCertificates(rig::kReaderAkis.slot, &again), 0);
    EXPECT_EQ(again.size(), 2u);
    size_t reads = 0;
    for (const auto& key : card.keys()) reads += (key.certificateDer.size() + 255) / 256;
    EXPECT_EQ(pcsctest::commandsStartingWith(card.commandLog(), "00B0").size(), reads);

    EXPECT_EQ(pcsc::listAKISCertificates(rig::kReaderEmpty.slot, &again), kNoSmartcard);
    EXPECT_EQ(pcsc::listAKISCertificates(77, &again), kUnknownReader);
    EXPECT_EQ(again.size(), 2u);
}

TEST_F(RigTest, AkisLookupBySerialNumber) {
    cardsim::CardOptions options;
    cardsim::KeySpec key;
    key.serial = {0x31, 0x41, 0x59, 0x26, 0x53};
    key.cacheName = "pcsc-test-lookup";
    options.keys = {key};
    Card card(Profile::Akis1, options);
    insert(card, rig::kReaderAkis);
    const std::string serial = card.keys()[0].serialDecimal;
    tev::x509::Certificate found = pcsc::retrieveAKISCertificateWithSerialNumber(rig::kReaderAkis.slot, serial);
    EXPECT_EQ(found.serialNumber, serial);
    ASSERT_NE(found.x509, nullptr);

    // A serial the card does not hold is never answered with another certificate.
    EXPECT_THROW(
        {
            try {
                pcsc::retrieveAKISCertificateWithSerialNumber(rig::kReaderAkis.slot, "987654321987654321");
            } catch (int code) {
                EXPECT_EQ(code, 516);
                throw;
            }
        },
        int);

    // Known serials come from the cache while the card stays in the reader.
    card.clearApduLog();
    tev::x509::Certificate cached = pcsc::retrieveAKISCertificateWithSerialNumber(rig::kReaderAkis.slot, serial);
    EXPECT_EQ(cached.serialNumber, serial);
    EXPECT_EQ(cached.sha1Digest, found.sha1Digest);
    EXPECT_TRUE(card.commandLog().empty());

    // Once the card is gone they serve no longer; put back, it is read again.
    card.remove();
    EXPECT_THROW(pcsc::retrieveAKISCertificateWithSerialNumber(rig::kReaderAkis.slot, serial), int);
    insert(card, rig::kReaderAkis);
    EXPECT_EQ(pcsc::retrieveAKISCertificateWithSerialNumber(rig::kReaderAkis.slot, serial).sha1Digest,
              found.sha1Digest);
    EXPECT_FALSE(pcsctest::commandsStartingWith(card.commandLog(), "00B0").empty());
}

TEST_F(RigTest, AkisCardWithoutCertificatesGives516) {
    Card card(Profile::Akis1);
    card.removeFile({0x3D00, 0x2F10});
    card.removeFile({0x3D00, 0x2F13});
    insert(card, rig::kReaderAkis);
    EXPECT_THROW(pcsc::retrieveAKISCertificateWithSerialNumber(rig::kReaderAkis.slot, "5550001"), int);
    QByteArray out;
    EXPECT_NE(pcsc::retrieveAKISCertificate(rig::kReaderAkis.slot, &out), 0);
    EXPECT_TRUE(out.isEmpty());
}

TEST_F(RigTest, AkisSingleCertificateRead) {
    Card card(Profile::Akis1);
    insert(card, rig::kReaderAkis);
    QByteArray out;
    ASSERT_EQ(pcsc::retrieveAKISCertificate(rig::kReaderAkis.slot, &out), 0);
    EXPECT_EQ(out, toQByteArray(card.keys()[0].certificateDer));
    EXPECT_NE(pcsc::retrieveAKISCertificate(rig::kReaderEmpty.slot, &out), 0);
}

class AkisSigningTest : public RigTest {
protected:
    int sign(Card& card, int keyIndex, int slot, QByteArray* signature, const std::string& pin = "123456") {
        const auto& key = card.keys()[static_cast<size_t>(keyIndex)];
        const bool ec = key.setup.type == cardsim::KeyType::EcP256;
        return pcsc::signWithAKISCertificate(slot, pin, key.serialDecimal, ec ? "ecdsa-with-sha256" : "rsa-with-sha256",
                                             ec ? digest_ : digestInfo_, signature);
    }
    bool verifies(const Card& card, int keyIndex, const QByteArray& signature) const {
        const auto& key = card.keys()[static_cast<size_t>(keyIndex)];
        if (key.setup.type == cardsim::KeyType::EcP256) return pcsctest::verifyEcdsa(key.publicKeyDer, digest_, signature);
        return pcsctest::verifyRsaPkcs1(key.publicKeyDer, digestInfo_, signature);
    }
    const QByteArray digest_ = pcsctest::sha256("document for the AKIS card");
    const QByteArray digestInfo_ = pcsctest::sha256DigestInfo(digest_);
};

TEST_F(AkisSigningTest, FirstReleaseRsaAndEcdsaSignaturesVerify) {
    Card card(Profile::Akis1);
    insert(card, rig::kReaderAkis);
    QByteArray rsa, ecdsa;
    ASSERT_EQ(sign(card, 0, rig::kReaderAkis.slot, &rsa), 0);
    EXPECT_TRUE(verifies(card, 0, rsa));
    EXPECT_TRUE(anyCommandStartsWith(card.commandLog(), "00A40200022F0400"));
    EXPECT_TRUE(anyCommandStartsWith(card.commandLog(), "00A40200022F0100"));
    EXPECT_TRUE(anyCommandStartsWith(card.commandLog(), "0022C30100"));
    EXPECT_TRUE(anyCommandStartsWith(card.commandLog(), "00200081063132333435" "36"));

    card.clearApduLog();
    ASSERT_EQ(sign(card, 1, rig::kReaderAkis.slot, &ecdsa), 0);
    EXPECT_TRUE(verifies(card, 1, ecdsa));
    EXPECT_TRUE(anyCommandStartsWith(card.commandLog(), "0022C30200"));
    EXPECT_FALSE(logHas("313233343536")) << "the PIN reached the log";
}

TEST_F(AkisSigningTest, RefusedFirstMseFormFallsBackToTheRetryForm) {
    Card card(Profile::Akis1);
    insert(card, rig::kReaderAkis);
    card.setRefusalFor({0x00, 0x22, 0xC3}, 0x6A86);
    QByteArray rsa, ecdsa;
    ASSERT_EQ(sign(card, 0, rig::kReaderAkis.slot, &rsa), 0);
    EXPECT_TRUE(anyCommandStartsWith(card.commandLog(), "002241B606800192840181" "00"));
    EXPECT_TRUE(verifies(card, 0, rsa));
    ASSERT_EQ(sign(card, 1, rig::kReaderAkis.slot, &ecdsa), 0);
    EXPECT_TRUE(anyCommandStartsWith(card.commandLog(), "002241B60680019B840182" "00"));
    EXPECT_TRUE(verifies(card, 1, ecdsa));
}

TEST_F(AkisSigningTest, SecondReleaseReadsNoPkcs15File) {
    Card card(Profile::Akis2);
    insert(card, rig::kReaderAkis2);
    QByteArray signature;
    ASSERT_EQ(sign(card, 0, rig::kReaderAkis2.slot, &signature), 0);
    EXPECT_TRUE(verifies(card, 0, signature));
    EXPECT_FALSE(anyCommandStartsWith(card.commandLog(), "00A40200022F04"));
    EXPECT_FALSE(anyCommandStartsWith(card.commandLog(), "00A40200022F01"));
    EXPECT_TRUE(anyCommandStartsWith(card.commandLog(), "00A40000023D0100"));
    EXPECT_TRUE(anyCommandStartsWith(card.commandLog(), "002241B606800192840181" "00"));
}

TEST_F(AkisSigningTest, PinResultsStopBeforeMseAndPso) {
    Card card(Profile::Akis1);
    insert(card, rig::kReaderAkis);
    QByteArray signature;
    EXPECT_EQ(sign(card, 0, rig::kReaderAkis.slot, &signature, "000000"), 27);
    EXPECT_FALSE(anyCommandStartsWith(card.commandLog(), "0022"));
    EXPECT_FALSE(anyCommandStartsWith(card.commandLog(), "002A"));
    card.setPinTriesLeft(0);
    EXPECT_EQ(sign(card, 0, rig::kReaderAkis.slot, &signature), 38);
    EXPECT_FALSE(anyCommandStartsWith(card.commandLog(), "0022"));
    EXPECT_TRUE(signature.isEmpty());
    EXPECT_TRUE(logHas("Cannot complete APDU signing due to PCSC error code 38"));
}

TEST_F(AkisSigningTest, UnknownSerialGives44BeforeAnyMse) {
    Card card(Profile::Akis1);
    insert(card, rig::kReaderAkis);
    QByteArray signature;
    EXPECT_EQ(pcsc::signWithAKISCertificate(rig::kReaderAkis.slot, "123456", "123123123", "rsa-with-sha256",
                                            digestInfo_, &signature),
              44);
    EXPECT_FALSE(anyCommandStartsWith(card.commandLog(), "0022"));
    EXPECT_FALSE(anyCommandStartsWith(card.commandLog(), "002A"));
    // A certificate whose key entry is missing from the PrKDF: likewise.
    cardsim::Bytes prkdf = card.fileContent({0x3D00, 0x2F01});
    card.putFile({0x3D00, 0x2F01}, cardsim::fromHex("3003020101"));
    card.clearApduLog();
    EXPECT_EQ(sign(card, 0, rig::kReaderAkis.slot, &signature), 44);
    EXPECT_FALSE(anyCommandStartsWith(card.commandLog(), "0022"));
    card.putFile({0x3D00, 0x2F01}, prkdf);
    EXPECT_TRUE(signature.isEmpty());
}

TEST_F(AkisSigningTest, RefusedOrEmptySignaturesAndMissingReadersAreFailures) {
    Card card(Profile::Akis1);
    insert(card, rig::kReaderAkis);
    QByteArray signature;
    card.setRefusal(0x2A, 0x6982, 1);
    EXPECT_EQ(sign(card, 0, rig::kReaderAkis.slot, &signature), 0x6982);
    card.setAnswerFor({0x00, 0x2A}, {0x90, 0x00}, 1);
    EXPECT_EQ(sign(card, 0, rig::kReaderAkis.slot, &signature), 75);
    card.setRefusal(0x22, 0x6A88, 2);
    EXPECT_EQ(sign(card, 0, rig::kReaderAkis.slot, &signature), 2);
    EXPECT_EQ(sign(card, 0, rig::kReaderEmpty.slot, &signature), kNoSmartcard);
    EXPECT_EQ(sign(card, 0, 50, &signature), kUnknownReader);
    EXPECT_TRUE(signature.isEmpty());
    // Data that cannot travel in one command: nothing reaches the card.
    card.clearApduLog();
    EXPECT_NE(pcsc::signWithAKISCertificate(rig::kReaderAkis.slot, "123456", card.keys()[0].serialDecimal,
                                            "rsa-with-sha256", QByteArray(256, 'x'), &signature),
              0);
    EXPECT_TRUE(card.commandLog().empty());
}

TEST_F(AkisSigningTest, SpecialReaders) {
    Card onOmnikey(Profile::Akis1);
    Card onPinPad(Profile::Akis1);
    insert(onOmnikey, rig::kReaderOmnikey);
    insert(onPinPad, rig::kReaderPinPad);
    QByteArray signature;
    EXPECT_EQ(sign(onOmnikey, 0, rig::kReaderOmnikey.slot, &signature), 16);
    EXPECT_FALSE(anyCommandStartsWith(onOmnikey.commandLog(), "0020"));
    EXPECT_FALSE(anyCommandStartsWith(onOmnikey.commandLog(), "0022"));
    EXPECT_TRUE(signature.isEmpty());
    ASSERT_EQ(sign(onPinPad, 0, rig::kReaderPinPad.slot, &signature, "not sent"), 0);
    EXPECT_TRUE(anyCommandStartsWith(onPinPad.commandLog(), "0020008106FFFFFFFFFFFF00"));
    EXPECT_TRUE(verifies(onPinPad, 0, signature));
}

// Opens a shared connection with a transaction, as the sessions do, for
// commands that no session runs.
class DirectConnection {
public:
    explicit DirectConnection(const char* readerName) {
        if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_) != SCARD_S_SUCCESS) return;
        DWORD protocol = 0;
        if (SCardConnect(context_, readerName, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card_,
                         &protocol) != SCARD_S_SUCCESS)
            return;
        connected_ = true;
        pci_ = {protocol, sizeof(SCARD_IO_REQUEST)};
        inTransaction_ = SCardBeginTransaction(card_) == SCARD_S_SUCCESS;
    }
    ~DirectConnection() {
        if (inTransaction_) SCardEndTransaction(card_, SCARD_LEAVE_CARD);
        if (connected_) SCardDisconnect(card_, SCARD_LEAVE_CARD);
        if (context_) SCardReleaseContext(context_);
    }
    bool ready() const { return inTransaction_; }
    SCARDHANDLE card() const { return card_; }
    SCARD_IO_REQUEST* pci() { return &pci_; }

private:
    SCARDCONTEXT context_ = 0;
    SCARDHANDLE card_ = 0;
    SCARD_IO_REQUEST pci_{};
    bool connected_ = false;
    bool inTransaction_ = false;
};

TEST_F(AkisSigningTest, StoredCertificateIsFoundAgainBySerial) {
    cardsim::CardOptions options;
    options.storageFile = true;
    Card card(Profile::Akis1, options);
    cardsim::CardOptions renewedOptions;
    cardsim::KeySpec renewed;
    renewed.cacheName = card.keys()[0].setup.cacheName;  // the same key pair, a new certificate
    renewed.serial = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E};
    renewed.commonName = "RENEWED AKIS TEST USER";
    renewedOptions.keys = {renewed};
    const Card issuer(Profile::Akis1, renewedOptions);
    const cardsim::KeyMaterial& stored = issuer.keys()[0];
    insert(card, rig::kReaderAkis);
    {
        DirectConnection connection(rig::kReaderAkis.name);
        ASSERT_TRUE(connection.ready());
        ASSERT_EQ(apdu::apdu_SelectMF(connection.card(), connection.pci()), 0u);
        ASSERT_EQ(apdu::akis::apdu_StoreCertificateWithCkaId(connection.card(), connection.pci(), "123456",
                                                             toQByteArray(stored.certificateDer),
                                                             toQByteArray(card.keys()[0].keyId)),
                  0u);
    }
    QByteArray signature;
    ASSERT_EQ(pcsc::signWithAKISCertificate(rig::kReaderAkis.slot, "123456", stored.serialDecimal, "rsa-with-sha256",
                                            digestInfo_, &signature),
              0);
    EXPECT_TRUE(pcsctest::verifyRsaPkcs1(stored.publicKeyDer, digestInfo_, signature));
    // The certificates that were there before are still found.
    signature.clear();
    ASSERT_EQ(sign(card, 1, rig::kReaderAkis.slot, &signature), 0);
    EXPECT_TRUE(verifies(card, 1, signature));
}

// ---- concurrency ------------------------------------------------------------------------

TEST_F(AkisSigningTest, ParallelListingAndSigningOnTwoCards) {
    Card first(Profile::Akis1);
    Card identity(Profile::IdentityCard);
    insert(first, rig::kReaderAkis);
    insert(identity, rig::kReaderIdentity);
    constexpr int kRounds = 4;
    std::atomic<int> failures{0};
    auto akisWorker = [&] {
        for (int round = 0; round < kRounds; ++round) {
            std::vector<tev::x509::Certificate> certificates;
            if (pcsc::listAKISCertificates(rig::kReaderAkis.slot, &certificates) != 0 || certificates.size() != 2)
                ++failures;
            try {
                if (pcsc::retrieveAKISCertificateWithSerialNumber(rig::kReaderAkis.slot, first.keys()[1].serialDecimal)
                        .serialNumber != first.keys()[1].serialDecimal)
                    ++failures;
            } catch (...) {
                ++failures;
            }
            QByteArray signature;
            if (sign(first, round % 2, rig::kReaderAkis.slot, &signature) != 0 ||
                !verifies(first, round % 2, signature))
                ++failures;
        }
    };
    auto identityWorker = [&] {
        for (int round = 0; round < kRounds; ++round) {
            std::vector<pcsc::SmartCard> readers;
            pcsc::listTCKKReaders(&readers);
            if (readers.size() != 1) ++failures;
            QByteArray signature;
            if (pcsc::signWithTCKKCertificate(rig::kReaderIdentity.slot, 1, "123456", digestInfo_, &signature) != 0 ||
                !pcsctest::verifyRsaPkcs1(identity.keys()[0].publicKeyDer, digestInfo_, signature))
                ++failures;
        }
    };
    // Two requests on the same AKIS card at once as well: their transactions
    // must keep VERIFY, MSE and PSO of one request together.
    std::thread a(akisWorker), b(akisWorker), c(identityWorker);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
