// One scenario for both programs: a page signs on the rig's cards with the
// right PIN, then at once with an empty PIN, with no "pincode" member and with
// PINs holding a NUL character (which no keyboard types, and which the card
// would count as a failed try). The
// cards keep a PIN verified across DF selections, as some real ones do, so a
// VERIFY without data (which such a card answers 9000 while the earlier PIN
// still holds) would let the later requests sign.
#pragma once

#include "card-simulator.h"
#include "rig-readers.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace corvane {
namespace test {

// One request (JSON text) through the program's endpoint; its answer array.
using Ask = std::function<QJsonArray(const QByteArray&)>;

inline cardsim::CardOptions cardKeepingItsPin() {
    cardsim::CardOptions options;
    options.pinSurvivesDfSelection = true;
    return options;
}

// VERIFY commands the card received that carried no PIN.
inline int verifiesWithoutData(const cardsim::Card& card) {
    int count = 0;
    for (const cardsim::Exchange& exchange : card.apduLog()) {
        const cardsim::Bytes& c = exchange.command;
        if (c.size() < 4 || c[0] != 0x00 || c[1] != 0x20) continue;
        if (c.size() <= 5 || c[4] == 0x00) ++count;  // no Lc, or Lc 0
    }
    return count;
}

inline int commandsStartingWith(const cardsim::Card& card, const std::string& prefix) {
    int count = 0;
    for (const std::string& command : card.commandLog())
        if (command.rfind(prefix, 0) == 0) ++count;
    return count;
}

inline std::string codeOf(const QJsonArray& answer) {
    return answer.isEmpty() ? std::string("(no answer)")
                            : answer[0].toObject()["responseCode"].toString().toStdString();
}

inline bool carriesSignature(const QJsonArray& answer) {
    return !answer.isEmpty() && !answer[0].toObject()["signature"].toString().isEmpty();
}

// The AKIS card in reader 1 over "signPKCS1Padding1.5"; with `identityCard`
// also the identity card in reader 3 over "sign_with_TCKK_Certificate" (an
// action only the WebSocket endpoint has), and its missing-reader code.
inline void expectNoSignatureWithoutPin(const Ask& ask, bool identityCard) {
    cardsim::Card akis(cardsim::Profile::Akis1, cardKeepingItsPin());
    akis.insertInto(rig::kReaderAkisPort);
    const QJsonArray certs = ask(R"({"action":"listSignerCertificatesAsJSON","library":"akisp11","slotId":"1"})");
    ASSERT_GE(certs.size(), 1);
    ASSERT_EQ(codeOf(certs), "0") << QJsonDocument(certs).toJson().toStdString();
    const QByteArray serial = QByteArray::fromBase64(certs[0].toObject()["serialNumber"].toString().toLatin1());
    const QByteArray digest = QByteArray(32, '\x5a').toBase64();
    const QByteArray akisRequest = R"({"action":"signPKCS1Padding1.5","library":"akisp11","slotId":"1",)"
                                   R"("certSerialNumber":")" + serial + R"(","dataBase64":")" + digest + "\"";
    const QByteArray rightPin = R"(,"pincode":")" + QByteArray::fromStdString(akis.pin()) + "\"";
    akis.clearApduLog();

    const QJsonArray signedOnce = ask(akisRequest + rightPin + "}");
    EXPECT_EQ(codeOf(signedOnce), "0") << QJsonDocument(signedOnce).toJson().toStdString();
    EXPECT_TRUE(carriesSignature(signedOnce));
    ASSERT_TRUE(akis.pinVerified());
    const QByteArray pinWithNul = R"(,"pincode":")" + QByteArray::fromStdString(akis.pin()) + R"(\u0000")";
    for (const QByteArray& noPin :
         {QByteArray(R"(,"pincode":"")"), QByteArray(), pinWithNul, QByteArray(R"(,"pincode":"\u0000")")}) {
        const QJsonArray answer = ask(akisRequest + noPin + "}");
        EXPECT_EQ(codeOf(answer), "27") << noPin.toStdString() << QJsonDocument(answer).toJson().toStdString();
        EXPECT_FALSE(carriesSignature(answer)) << noPin.toStdString();
    }
    EXPECT_EQ(verifiesWithoutData(akis), 0);
    EXPECT_EQ(commandsStartingWith(akis, "0020"), 1);  // the right PIN's VERIFY only
    EXPECT_EQ(commandsStartingWith(akis, "002A"), 1);  // and one signature
    if (!identityCard) return;

    cardsim::Card identity(cardsim::Profile::IdentityCard, cardKeepingItsPin());
    identity.insertInto(rig::kReaderIdentityPort);
    const QByteArray identityRequest = R"({"action":"sign_with_TCKK_Certificate","slotId":"3","algorithmID":1,)"
                                       R"("dataBase64":")" + digest + "\"";
    const QJsonArray identitySigned =
        ask(identityRequest + R"(,"pincode":")" + QByteArray::fromStdString(identity.pin()) + "\"}");
    EXPECT_EQ(codeOf(identitySigned), "0") << QJsonDocument(identitySigned).toJson().toStdString();
    EXPECT_TRUE(carriesSignature(identitySigned));
    for (const QByteArray& noPin : {QByteArray(R"(,"pincode":"")"), QByteArray(),
                                    R"(,"pincode":")" + QByteArray::fromStdString(identity.pin()) + R"(\u0000")",
                                    QByteArray(R"(,"pincode":"\u0000")")}) {
        const QJsonArray answer = ask(identityRequest + noPin + "}");
        EXPECT_EQ(codeOf(answer), "-1") << noPin.toStdString() << QJsonDocument(answer).toJson().toStdString();
        EXPECT_FALSE(carriesSignature(answer)) << noPin.toStdString();
    }
    EXPECT_EQ(verifiesWithoutData(identity), 0);
    EXPECT_EQ(commandsStartingWith(identity, "0020"), 1);  // the right PIN's VERIFY only
    EXPECT_EQ(commandsStartingWith(identity, "002A"), 1);
    // A reader that does not exist: the PC/SC code in the form every road answers.
    const QJsonArray missing = ask(R"({"action":"sign_with_TCKK_Certificate","slotId":"99","algorithmID":1,)"
                                   R"("pincode":"123456","dataBase64":")" + digest + "\"}");
    EXPECT_EQ(codeOf(missing), "2148532233");  // SCARD_E_UNKNOWN_READER
}

}  // namespace test
}  // namespace corvane
