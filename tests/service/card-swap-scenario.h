// One scenario for both programs: AKIS cards whose certificates carry the
// same serial numbers (several issuers number serially) but whose keys differ
// pass through the readers. Every signature answered "0" must carry the
// certificate of the card that made it: a certificate remembered from another
// card, or from another reader, makes an answer no verifier accepts.
#pragma once

#include "card-simulator.h"
#include "pin-scenario.h"
#include "rig-readers.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <string>

namespace corvane {
namespace test {

// A card with one RSA key whose certificate has a fixed serial number; cards
// made with different `keyName`s have different keys.
inline cardsim::CardOptions cardWithSerialShared(const std::string& keyName) {
    cardsim::KeySpec key;
    key.serial = {0x0C, 0xA5, 0x0E, 0x77};
    key.cacheName = "swap-scenario-" + keyName;
    key.commonName = "Kart " + keyName;
    cardsim::CardOptions options;
    options.keys = {key};
    return options;
}

inline int exitCodeOf(const QString& program, const QStringList& args, QByteArray* output) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    if (!process.waitForFinished(60000)) return -1;
    *output = process.readAll();
    return process.exitCode();
}

inline void writeTo(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
}

// CAdES (attached, over a digest) and XAdES (enveloping, enveloped) with the
// card in the reader at `slot`, without listing first; each answer "0",
// carrying that card's certificate and verified by OpenSSL or xmlsec1.
inline void expectSignedByCardInReader(const Ask& ask, const cardsim::Card& card, int slot, const QString& folder,
                                       const std::string& step) {
    SCOPED_TRACE(step);
    const cardsim::KeyMaterial& key = card.keys()[0];
    const QByteArray certificate(reinterpret_cast<const char*>(key.certificateDer.data()),
                                 static_cast<int>(key.certificateDer.size()));
    const QString ca = folder + "/ca.pem";
    writeTo(ca, QByteArray::fromStdString(cardsim::testCa().certificatePem));
    const QByteArray common = R"("library":"akisp11","slotId":")" + QByteArray::number(slot) +
                              R"(","certSerialNumber":")" + QByteArray::fromStdString(key.serialDecimal) +
                              R"(","pincode":")" + QByteArray::fromStdString(card.pin()) + "\"";
    const QByteArray data = "Fatura 2026/118: 1.250,00 TL\n";
    const QString content = folder + "/content.bin";
    writeTo(content, data);
    const QByteArray digest = QCryptographicHash::hash(data, QCryptographicHash::Sha256);
    const QByteArray document = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                "<f:Fatura xmlns:f=\"urn:fatura\" xmlns=\"urn:ortak\" xml:lang=\"tr\">"
                                "<Tutar f:birim=\"TL\">1250</Tutar></f:Fatura>";
    struct Request {
        const char* action;
        QByteArray members;
        bool xml;
        bool detached;
    };
    const Request requests[] = {
        {"signCAdES_BES", R"(,"dataBase64":")" + data.toBase64() + R"(","isAttached":true)", false, false},
        {"signCAdES_BES_Digest", R"(,"dataBase64":")" + digest.toBase64() + "\"", false, true},
        {"signXaDES_BES_Enveloping", R"(,"dataBase64":")" + data.toBase64() + "\"", true, false},
        {"signXaDES_BES_Enveloped", R"(,"signatureNodeXPath":"/*","nodeToSignXPath":"","dataBase64":")" +
                                        document.toBase64() + "\"",
         true, false},
    };
    for (const Request& request : requests) {
        SCOPED_TRACE(request.action);
        const QJsonArray answer = ask(R"({"action":")" + QByteArray(request.action) + "\"," + common +
                                      request.members + "}");
        ASSERT_EQ(codeOf(answer), "0") << QJsonDocument(answer).toJson().toStdString();
        const QByteArray signature = QByteArray::fromBase64(answer[0].toObject()["signature"].toString().toLatin1());
        const QString file = folder + "/" + request.action + (request.xml ? ".xml" : ".der");
        writeTo(file, signature);
        QByteArray output;
        if (request.xml) {
            EXPECT_TRUE(signature.contains(certificate.toBase64())) << "another card's certificate";
            EXPECT_EQ(exitCodeOf("xmlsec1", {"--verify", "--trusted-pem", ca, "--id-attr:Id",
                                             "http://uri.etsi.org/01903/v1.3.2#:SignedProperties", file},
                                 &output),
                      0)
                << output.toStdString();
        } else {
            EXPECT_TRUE(signature.contains(certificate)) << "another card's certificate";
            QStringList args = {"cms", "-verify", "-cades", "-binary", "-inform", "DER", "-in", file,
                                "-CAfile", ca, "-out", folder + "/out.bin"};
            if (request.detached) args << "-content" << content;
            EXPECT_EQ(exitCodeOf("openssl", args, &output), 0) << output.toStdString();
        }
    }
}

inline void listCertificates(const Ask& ask, int slot) {
    const QJsonArray certs = ask(R"({"action":"listSignerCertificatesAsJSON","library":"akisp11","slotId":")" +
                                 QByteArray::number(slot) + "\"}");
    ASSERT_EQ(codeOf(certs), "0") << QJsonDocument(certs).toJson().toStdString();
}

inline void expectEverySignatureFromTheCardInTheReader(const Ask& ask) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const int slot = rig::kReaderAkis.slot;
    cardsim::Card first(cardsim::Profile::Akis1, cardWithSerialShared("first"));
    first.insertInto(rig::kReaderAkisPort);
    listCertificates(ask, slot);
    expectSignedByCardInReader(ask, first, slot, folder.path(), "first card");
    first.remove();

    // Another card in the same reader, signing without a listing first.
    cardsim::Card second(cardsim::Profile::Akis1, cardWithSerialShared("second"));
    ASSERT_EQ(second.keys()[0].serialDecimal, first.keys()[0].serialDecimal);
    ASSERT_NE(second.keys()[0].publicKeyDer, first.keys()[0].publicKeyDer);
    second.insertInto(rig::kReaderAkisPort);
    expectSignedByCardInReader(ask, second, slot, folder.path(), "second card in the same reader");

    // Two such cards in two readers: list 1, sign 1, list 2, sign 2, sign 1.
    cardsim::Card third(cardsim::Profile::Akis1, cardWithSerialShared("third"));
    third.insertInto(rig::kReaderAkis2.port);
    listCertificates(ask, slot);
    expectSignedByCardInReader(ask, second, slot, folder.path(), "reader 1");
    listCertificates(ask, rig::kReaderAkis2.slot);
    expectSignedByCardInReader(ask, third, rig::kReaderAkis2.slot, folder.path(), "reader 2");
    expectSignedByCardInReader(ask, second, slot, folder.path(), "reader 1 again");

    // A document that breaks the namespace rules is refused before the PIN.
    second.clearApduLog();
    const QJsonArray refused = ask(
        R"({"action":"signXaDES_BES_Enveloped","library":"akisp11","slotId":"1","certSerialNumber":")" +
        QByteArray::fromStdString(second.keys()[0].serialDecimal) + R"(","pincode":")" +
        QByteArray::fromStdString(second.pin()) + R"(","signatureNodeXPath":"/*","nodeToSignXPath":"","dataBase64":")" +
        QByteArray("<f:Fatura><Tutar/></f:Fatura>").toBase64() + "\"}");
    EXPECT_EQ(codeOf(refused), "51") << QJsonDocument(refused).toJson().toStdString();
    EXPECT_EQ(commandsStartingWith(second, "0020"), 0) << "a PIN try was spent";
}

}  // namespace test
}  // namespace corvane
