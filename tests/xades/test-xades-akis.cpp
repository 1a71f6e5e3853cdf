// XAdES-BES with an AKIS card (simulated) on the PC/SC rig: the certificate
// and the signature come from the card over APDUs; xmlsec1 checks the result.
// Skips itself when the rig's pcscd is not running.
#include <QFile>
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
