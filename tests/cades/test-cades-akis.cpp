// CAdES-BES on the AKIS road ("akisp11"): a simulated AKIS card in a virtual
// reader of the rig's pcscd signs; OpenSSL verifies against the card's CA.
#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <string>

#include "cades-test-kit.h"
#include "card-simulator.h"
#include "quessel-signing.h"
#include "rig-pcsc.h"
#include "test-support.h"
#include "tev-logging.h"
#include "tev-resources.h"
#include "tev-smartcard.h"

namespace {

using cardsim::Card;
using cardsim::Profile;
using tev::quessel::cades::SignatureProfile;

QByteArray sha256(const QByteArray& b) {
    return QCryptographicHash::hash(b, QCryptographicHash::Sha256);
}

SignatureProfile testPolicy() {
    SignatureProfile p;
    p.policyOID = {2, 16, 792, 1, 2, 1, 1, 5, 7, 1, 9};
    p.policyDigestAlgorithmOID = {2, 16, 840, 1, 101, 3, 4, 2, 1};
    p.policyDigest = sha256("policy document");
    p.profileDocumentLink = "http://www.example.org/corvane/policy.pdf";
    p.policyDescription = "Corvane test policy";
    return p;
}

bool anyCommandStartsWith(const std::vector<std::string>& log, const std::string& prefix) {
    for (const std::string& c : log)
        if (c.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
}

class CadesAkisTest : public ::testing::Test {
protected:
    void SetUp() override {
        RIG_REQUIRE_PCSCD();
        tev::resources::ensureRegistered();
        QFile db(":/new/rs/smartcard-config.xml");
        ASSERT_TRUE(db.open(QIODevice::ReadOnly));
        tev::smartcard::configure(db.readAll().constData());
        el::Loggers::reconfigureLogger("default", el::ConfigurationType::MaxLogFileSize,
                                       "100000000");
        corvane::test::clearLog();
        caFile_ = cadestest::writeTemporary("card-ca.pem",
                                            QByteArray::fromStdString(cardsim::testCa().certificatePem));
    }

    void insert(Card& card) {
        card.insertInto(rig::kReaderAkis.port);
        card.clearApduLog();
    }

    std::string signData(const Card& card, int key, const std::string& pin, const QByteArray& data,
                         bool attached, bool addTime, bool addPolicy,
                         const SignatureProfile& profile = testPolicy()) {
        return tev::quessel::signCaDES_BES("akisp11", QString(), pin,
                                           card.keys()[static_cast<size_t>(key)].serialDecimal,
                                           rig::kReaderAkis.slot, addTime,
                                           QDateTime::currentDateTime(), addPolicy, profile, data,
                                           attached);
    }

    void expectVerifies(const QByteArray& der, const QByteArray* detached, const QByteArray& data) {
        QByteArray out;
        const cadestest::CommandResult r = cadestest::verifyWithOpenSSL(der, detached, &out, caFile_);
        EXPECT_EQ(r.exitCode, 0) << r.output;
        EXPECT_NE(r.output.find("Verification successful"), std::string::npos) << r.output;
        EXPECT_EQ(out, data);
        cadestest::ParsedCms cms(der);
        ASSERT_NE(cms.cms, nullptr);
        const std::vector<QByteArray> attrs = cms.attributeEncodings();
        for (size_t i = 1; i < attrs.size(); ++i) EXPECT_LT(attrs[i - 1], attrs[i]);
    }

    QString caFile_;
};

TEST_F(CadesAkisTest, RsaAndEcdsaKeysOfTheCardSignVerifiably) {
    Card card(Profile::Akis1);
    insert(card);
    const QByteArray data("Belge: AKIS ile imza denemesi\n");
    for (int key : {0, 1}) {  // RSA 2048, then EC P-256
        for (bool attached : {true, false}) {
            card.clearApduLog();
            const QByteArray der = cadestest::bytesOfHex(
                signData(card, key, card.pin(), data, attached, attached, attached));
            expectVerifies(der, attached ? nullptr : &data, data);
            EXPECT_EQ(cadestest::ParsedCms(der).attributeTypes().size(), attached ? 5u : 3u);
            EXPECT_TRUE(anyCommandStartsWith(card.commandLog(), "002A9E9A"));
        }
    }
    EXPECT_EQ(corvane::test::readLog().find("313233343536"), std::string::npos);
}

TEST_F(CadesAkisTest, ReadyDigestSignsDetached) {
    Card card(Profile::Akis1);
    insert(card);
    const QByteArray data("ready digest on the card");
    const QByteArray der = cadestest::bytesOfHex(tev::quessel::signCaDES_BES_WithDigestAsBase64(
        "akisp11", QString(), card.pin(), card.keys()[0].serialDecimal, rig::kReaderAkis.slot,
        true, QDateTime(), true, testPolicy(), sha256(data).toHex().constData()));
    expectVerifies(der, &data, data);
}

// A card whose certificate file holds a certificate of another key (a key made
// anew on the card, the file left as it was; or, alike, another card taken
// for the one the certificate was read from): what the card signs never goes
// out under that certificate.
TEST_F(CadesAkisTest, ASignatureTheCertificatesKeyDidNotMakeIsNeverAnswered) {
    cardsim::KeySpec key;
    key.serial = {0x5A, 0x17, 0x00, 0x01};
    key.cacheName = "cades-akis-issued-elsewhere";
    cardsim::CardOptions elsewhere;
    elsewhere.keys = {key};
    const Card issuer(Profile::Akis1, elsewhere);  // only its certificate is used
    key.cacheName = "cades-akis-own-key";
    cardsim::CardOptions own;
    own.keys = {key};
    Card card(Profile::Akis1, own);
    ASSERT_EQ(card.keys()[0].serialDecimal, issuer.keys()[0].serialDecimal);
    card.putFile({0x3D00, 0x2F10}, issuer.keys()[0].certificateDer);
    insert(card);
    try {
        const std::string signedHex = signData(card, 0, card.pin(), "data", true, false, false);
        ADD_FAILURE() << "answered with a signature that the certificate does not verify";
    } catch (int code) {
        EXPECT_EQ(code, 44);
    }
    EXPECT_TRUE(anyCommandStartsWith(card.commandLog(), "002A9E9A")) << "the card was not asked to sign";
}

TEST_F(CadesAkisTest, RefusalsBeforeTheCardSendNothing) {
    Card card(Profile::Akis1);
    insert(card);
    SignatureProfile bad = testPolicy();
    bad.policyOID = {3, 1};
    try {
        signData(card, 0, card.pin(), "data", true, false, true, bad);
        ADD_FAILURE() << "an impossible policy OID was signed";
    } catch (int code) {
        EXPECT_EQ(code, 12);
    }
    for (const std::string& hex : {std::string(), std::string(62, '1'), std::string(66, '2')}) {
        try {
            tev::quessel::signCaDES_BES_WithDigestAsBase64(
                "akisp11", QString(), card.pin(), card.keys()[0].serialDecimal,
                rig::kReaderAkis.slot, false, QDateTime(), false, SignatureProfile(), hex.c_str());
            ADD_FAILURE() << "digest of " << hex.size() / 2 << " bytes was signed";
        } catch (int code) {
            EXPECT_EQ(code, 41);
        }
    }
    EXPECT_TRUE(card.commandLog().empty()) << card.commandLog().size() << " commands sent";
}

// Also run under LANG=ar_EG.UTF-8 and fa_IR.UTF-8 (see CMakeLists.txt), whose
// digits are not ASCII: the signing time must still be a UTCTime of now.
TEST_F(CadesAkisTest, SigningTimeIsNowWhateverTheDesktopLocale) {
    ASSERT_TRUE(corvane::test::requestedLocaleInEffect()) << QLocale::system().name().toStdString();
    Card card(Profile::Akis1);
    insert(card);
    const QByteArray data("imza zamani");
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    const QByteArray der = cadestest::bytesOfHex(tev::quessel::signCaDES_BES(
        "akisp11", QString(), card.pin(), card.keys()[0].serialDecimal, rig::kReaderAkis.slot, true,
        QDateTime(), false, SignatureProfile(), data, true));
    const QDateTime after = QDateTime::currentDateTimeUtc().addSecs(1);
    expectVerifies(der, nullptr, data);

    const QByteArray value = cadestest::ParsedCms(der).attributeValue("1.2.840.113549.1.9.5");
    ASSERT_EQ(value.size(), 15) << value.toHex().toStdString();
    EXPECT_EQ(value.left(2), QByteArray::fromHex("170d"));
    const QString text = QString::fromLatin1(value.mid(2));
    ASSERT_TRUE(QRegularExpression("^[0-9]{12}Z$").match(text).hasMatch()) << text.toStdString();
    auto field = [&text](int at) { return text.mid(at, 2).toInt(); };
    const QDateTime written(QDate(2000 + field(0), field(2), field(4)), QTime(field(6), field(8), field(10)),
                            Qt::UTC);
    EXPECT_GE(written, before) << text.toStdString();
    EXPECT_LE(written, after) << text.toStdString();

    // OpenSSL reads it as that time too.
    const std::string printed = cadestest::printWithOpenSSL(der);
    const QRegularExpressionMatch shown =
        QRegularExpression("signingTime.*\\n\\s*set:\\s*UTCTIME:([A-Z][a-z]{2} +[0-9]+ [0-9:]{8} [0-9]{4}) GMT")
            .match(QString::fromStdString(printed));
    ASSERT_TRUE(shown.hasMatch()) << printed;
    const QDateTime read = QLocale::c().toDateTime(shown.captured(1).simplified(), "MMM d HH:mm:ss yyyy");
    EXPECT_EQ(QDateTime(read.date(), read.time(), Qt::UTC), written) << printed;
}

TEST_F(CadesAkisTest, WrongPinIsReportedAndNothingIsSigned) {
    Card card(Profile::Akis1);
    insert(card);
    try {
        signData(card, 0, "999999", "data", true, false, false);
        ADD_FAILURE() << "signed with a wrong PIN";
    } catch (int code) {
        EXPECT_EQ(code, 27);
    } catch (unsigned long code) {
        EXPECT_EQ(code, 27u);
    }
    EXPECT_FALSE(anyCommandStartsWith(card.commandLog(), "002A"));
    // The card is usable again with the right PIN.
    const QByteArray der = cadestest::bytesOfHex(signData(card, 0, card.pin(), "data", true, false, false));
    expectVerifies(der, nullptr, "data");
}

}  // namespace
