// XAdES-BES with an AKIS card (simulated) on the PC/SC rig: the certificate
// and the signature come from the card over APDUs; xmlsec1 checks the result.
// Skips itself when the rig's pcscd is not running.
#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include "card-simulator.h"
#include "quessel-tasks.h"
#include "rig-pcsc.h"
#include "rig-readers.h"
#include "test-support.h"
#include "tev-resources.h"
#include "tev-smartcard.h"
#include "tev-xades.h"
#include "xades-test-kit.h"

using namespace xadestest;
namespace xades = tev::quessel::xades;

namespace {

class XadesAkis : public ::testing::Test {
protected:
    void SetUp() override {
        RIG_REQUIRE_PCSCD();
        if (!toolAvailable("xmlsec1")) GTEST_SKIP() << "xmlsec1 is not installed";
        tev::resources::ensureRegistered();
        QFile database(":/new/rs/smartcard-config.xml");
        ASSERT_TRUE(database.open(QIODevice::ReadOnly));
        ASSERT_EQ(tev::smartcard::configure(database.readAll().constData()), 0);
        caPath = corvane::test::privateFolder() + "/akis-ca.pem";
        writeFile(caPath, cardsim::testCa().certificatePem);
    }

    xades::SigningTask taskFor(const cardsim::Card& card, size_t key, QByteArray* data) {
        xades::SigningTask task;
        task.libraryName = "akisp11";
        task.slotId = rig::kReaderAkis.slot;
        task.pin = card.pin();
        task.certSerialNumber = card.keys().at(key).serialDecimal;
        task.data = data;
        task.addSigningTime = true;
        return task;
    }

    bool verifies(const QByteArray& document, const std::string& signatureId) {
        const QString path = corvane::test::privateFolder() + "/akis-signed.xml";
        writeFile(path, document.toStdString());
        const ToolRun run = runTool("xmlsec1", {"--verify", "--trusted-pem", caPath, "--id-attr:Id",
                                                "http://uri.etsi.org/01903/v1.3.2#:SignedProperties", "--id-attr:Id",
                                                "http://www.w3.org/2000/09/xmldsig#:Signature", "--id-attr:Id",
                                                "http://www.w3.org/2000/09/xmldsig#:SignatureValue", "--node-id",
                                                QString::fromStdString(signatureId), path});
        EXPECT_EQ(run.exitCode, 0) << run.err << "\n" << document.left(3000).toStdString();
        return run.exitCode == 0;
    }

    QString caPath;
};

TEST_F(XadesAkis, EnvelopingEnvelopedAndCounterSignatureVerify) {
    cardsim::Card card(cardsim::Profile::Akis1);
    card.insertInto(rig::kReaderAkis.port);

    QByteArray content("AKIS ile imzalanan veri");
    xades::SigningTask enveloping = taskFor(card, 0, &content);
    QByteArray out;
    ASSERT_EQ(xades::signXadesBESEnveloping(&out, &enveloping), 0);
    EXPECT_TRUE(verifies(out, "Signature-Id-1"));

    QByteArray document("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<belge xmlns=\"urn:belge\">\n  <icerik>Çalışma</icerik>\n</belge>");
    xades::SigningTask enveloped = taskFor(card, 0, &document);
    enveloped.signatureNodeXPath = "/belge";
    QByteArray signedDocument;
    ASSERT_EQ(xades::signXadesBESEnveloped(&signedDocument, &enveloped), 0);
    EXPECT_TRUE(verifies(signedDocument, enveloped.signatureId));

    xades::SigningTask counter = taskFor(card, 0, &signedDocument);
    counter.addCounterSignature = true;
    QByteArray counterSigned;
    ASSERT_EQ(xades::signXadesBESEnveloped(&counterSigned, &counter), 0);
    EXPECT_TRUE(verifies(counterSigned, enveloped.signatureId));
    EXPECT_TRUE(verifies(counterSigned, counter.signatureId));
}

// Also run under LANG=ar_EG.UTF-8 and fa_IR.UTF-8 (see CMakeLists.txt), whose
// digits are not ASCII: xades:SigningTime must still be an xs:dateTime of now.
TEST_F(XadesAkis, SigningTimeIsNowWhateverTheDesktopLocale) {
    ASSERT_TRUE(corvane::test::requestedLocaleInEffect()) << QLocale::system().name().toStdString();
    cardsim::Card card(cardsim::Profile::Akis1);
    card.insertInto(rig::kReaderAkis.port);
    QByteArray content("imza zamani");
    xades::SigningTask task = taskFor(card, 0, &content);
    QByteArray out;
    const QDateTime before = QDateTime::currentDateTimeUtc();
    ASSERT_EQ(xades::signXadesBESEnveloping(&out, &task), 0);
    const QDateTime after = QDateTime::currentDateTimeUtc();
    EXPECT_TRUE(verifies(out, "Signature-Id-1"));

    pugi::xml_document parsed;
    ASSERT_TRUE(parseKeepingWhitespace(out.toStdString(), &parsed));
    const QString text = QString::fromUtf8(parsed.select_node("//xades:SigningTime").node().text().get());
    // xs:dateTime, ASCII digits only (\d would take any script's digits).
    ASSERT_TRUE(QRegularExpression("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}\\+03:00$")
                    .match(text)
                    .hasMatch())
        << text.toStdString();
    const QDateTime instant = QDateTime::fromString(text, Qt::ISODateWithMs);
    ASSERT_TRUE(instant.isValid()) << text.toStdString();
    EXPECT_GE(instant, before.addMSecs(-1)) << text.toStdString();
    EXPECT_LE(instant, after.addMSecs(1)) << text.toStdString();
}

TEST_F(XadesAkis, EcKeyIsRefusedBeforeThePinIsTried) {
    cardsim::Card card(cardsim::Profile::Akis1);
    card.insertInto(rig::kReaderAkis.port);
    size_t ec = card.keys().size();
    for (size_t i = 0; i < card.keys().size(); ++i) {
        if (card.keys()[i].setup.type == cardsim::KeyType::EcP256) ec = i;
    }
    if (ec == card.keys().size()) GTEST_SKIP() << "the card profile has no EC key";
    QByteArray document("<r/>");
    xades::SigningTask task = taskFor(card, ec, &document);
    task.signatureNodeXPath = "/r";
    QByteArray out;
    card.clearApduLog();
    EXPECT_EQ(xades::signXadesBESEnveloped(&out, &task), 53);
    EXPECT_TRUE(out.isEmpty());
    for (const std::string& command : card.commandLog()) {
        EXPECT_NE(command.rfind("0020", 0), 0u) << "PIN verified: " << command;
    }
    EXPECT_EQ(card.pinTriesLeft(), 3);
}

}  // namespace
