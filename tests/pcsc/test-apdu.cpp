// The APDU layer against simulated cards, in process (see sim-transport.h):
// exact command bytes, status-word handling, the PKCS#15 walks and the
// answers no real reader gives (short replies, failed transmissions).
#include <gtest/gtest.h>

#include <QString>

#include "card-simulator.h"
#include "pcsc-test-kit.h"
#include "sim-transport.h"
#include "tev-asn1.h"
#include "tev-pcsc.h"
#include "test-support.h"
#include "tev-logging.h"

namespace apdu = tev::corvane::apdu;
using cardsim::Bytes;
using cardsim::Card;
using cardsim::Profile;
using pcsctest::toQByteArray;

namespace {

constexpr SCARDHANDLE kHandle = 1;
constexpr unsigned long kInvalidParameter = 0x80100004;

tev::quessel::pcsc::SmartCard readerNamed(const std::string& name) {
    tev::quessel::pcsc::SmartCard reader;
    reader.readerName = name;
    return reader;
}

class ApduTest : public ::testing::Test {
protected:
    // Several tests read back what one operation logged; keep the whole of it.
    static void SetUpTestSuite() {
        el::Loggers::reconfigureLogger("default", el::ConfigurationType::MaxLogFileSize, "0");
    }
    void use(Card& card) {
        simtransport::attach(&card);
        card.clearApduLog();
    }
    void TearDown() override { simtransport::attach(nullptr); }

    SCARD_IO_REQUEST pci_{SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
    SCARD_IO_REQUEST* pci() { return &pci_; }
};

// ---- exchange -------------------------------------------------------------------

TEST_F(ApduTest, ReplyOfOnlyAStatusWordFillsTheRecord) {
    Card card(Profile::Akis1);
    use(card);
    apdu::ResponseAPDU reply;
    reply.command = QByteArray::fromHex("00A40000023F0000");
    ASSERT_EQ(apdu::sendAPDU(kHandle, pci(), &reply), 0);
    // The MF's FCP comes back, then 9000.
    EXPECT_EQ(reply.sw, 0x9000);
    EXPECT_EQ(reply.sw1, 0x90);
    EXPECT_EQ(reply.sw2, 0x00);
    EXPECT_EQ(reply.dataLength, reply.data.size());
    EXPECT_EQ(reply.response.size(), reply.data.size() + 2);

    simtransport::answerRaw({0x90, 0x00});
    apdu::ResponseAPDU bare;
    bare.command = QByteArray::fromHex("00A40000023F0000");
    ASSERT_EQ(apdu::sendAPDU(kHandle, pci(), &bare), 0);
    EXPECT_TRUE(bare.data.isEmpty());
    EXPECT_EQ(bare.dataLength, 0);
    EXPECT_EQ(bare.sw, 36864);
    EXPECT_EQ(bare.sw1, 144);
    EXPECT_EQ(bare.sw2, 0);
}

TEST_F(ApduTest, RepliesShorterThanAStatusWordAreFailures) {
    Card card(Profile::Akis1);
    use(card);
    for (const std::vector<uint8_t>& shortReply : {std::vector<uint8_t>{}, std::vector<uint8_t>{0x90}}) {
        simtransport::answerRaw(shortReply);
        apdu::ResponseAPDU reply;
        reply.command = QByteArray::fromHex("00A40000023F0000");
        EXPECT_NE(apdu::sendAPDU(kHandle, pci(), &reply), 0);
        EXPECT_TRUE(reply.data.isEmpty());
        EXPECT_TRUE(reply.response.isEmpty());
        EXPECT_EQ(reply.dataLength, 0);
        EXPECT_EQ(reply.sw, 0);
    }
    // Through a command: a one-byte answer is never taken as a selection.
    card.setAnswerFor({0x00, 0xA4}, {0x90}, 1);
    EXPECT_NE(apdu::apdu_SelectMF(kHandle, pci()), 0u);
}

TEST_F(ApduTest, FailedTransmissionIsReportedWithItsCode) {
    Card card(Profile::Akis1);
    use(card);
    simtransport::failTransmissions(SCARD_W_REMOVED_CARD);
    apdu::ResponseAPDU reply;
    reply.command = QByteArray::fromHex("00A40000023F0000");
    EXPECT_EQ(static_cast<unsigned long>(static_cast<uint32_t>(apdu::sendAPDU(kHandle, pci(), &reply))),
              0x80100069u);
    EXPECT_TRUE(reply.response.isEmpty());
    EXPECT_EQ(reply.sw, 0);
    simtransport::failTransmissions(SCARD_W_REMOVED_CARD);
    EXPECT_EQ(apdu::apdu_SelectMF(kHandle, pci()), 0x80100069u);
    // A refused selection returns its status word.
    card.setRefusal(0xA4, 0x6A82, 1);
    EXPECT_EQ(apdu::apdu_SelectMF(kHandle, pci()), 0x6A82u);
}

// ---- READ BINARY -------------------------------------------------------------------

TEST_F(ApduTest, ReadBinaryReadsA600ByteFileInThreePieces) {
    Card card(Profile::IdentityCard);
    Bytes content(600);
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7);
    card.putFile({0x3D00, 0x2F10}, content);
    use(card);
    int size = -1;
    ASSERT_EQ(apdu::apdu_SelectMF(kHandle, pci()), 0u);
    ASSERT_EQ(apdu::tckk::apdu_SelectDF_KDU(kHandle, pci()), 0u);
    ASSERT_EQ(apdu::tckk::apdu_SelectEF_TCKK_Certificate(kHandle, pci(), &size), 0u);
    EXPECT_EQ(size, 600);
    card.clearApduLog();
    QByteArray out("keep");
    EXPECT_EQ(apdu::apdu_ReadBinary_Certificate(kHandle, pci(), size, &out), 0u);
    EXPECT_EQ(card.commandLog(), (std::vector<std::string>{"00B0000000", "00B0010000", "00B0020000"}));
    EXPECT_EQ(out, QByteArray("keep") + toQByteArray(content));
}

TEST_F(ApduTest, ReadBinaryOfNothingSendsNothing) {
    Card card(Profile::IdentityCard);
    use(card);
    QByteArray out;
    EXPECT_EQ(apdu::apdu_ReadBinary_Certificate(kHandle, pci(), 0, &out), 0u);
    EXPECT_EQ(apdu::apdu_ReadBinary_Certificate(kHandle, pci(), -20, &out), 0u);
    EXPECT_EQ(simtransport::transmissions(), 0);
    EXPECT_TRUE(out.isEmpty());
}

TEST_F(ApduTest, ReadBinaryStopsAtAReplyWithoutDataAndReportsTheShortRead) {
    Card card(Profile::IdentityCard);
    card.putFile({0x3D00, 0x2F10}, Bytes(300, 0x5A));
    use(card);
    ASSERT_EQ(apdu::apdu_SelectMF(kHandle, pci()), 0u);
    ASSERT_EQ(apdu::tckk::apdu_SelectDF_KDU(kHandle, pci()), 0u);
    int size = 0;
    ASSERT_EQ(apdu::tckk::apdu_SelectEF_TCKK_Certificate(kHandle, pci(), &size), 0u);
    card.clearApduLog();
    // The caller believes the file is longer than it is: the card answers 6B00
    // (offset outside the file) to the third piece.
    QByteArray out;
    EXPECT_EQ(apdu::apdu_ReadBinary_Certificate(kHandle, pci(), 700, &out), 0x6B00u);
    EXPECT_EQ(out.size(), 300);
    EXPECT_EQ(card.commandLog().size(), 3u);

    // A card claiming success without data must not keep us asking.
    card.clearApduLog();
    card.setAnswerFor({0x00, 0xB0}, {0x90, 0x00});
    out.clear();
    EXPECT_EQ(apdu::apdu_ReadBinary_Certificate(kHandle, pci(), 300, &out), 0x6282u);
    EXPECT_TRUE(out.isEmpty());
    EXPECT_EQ(card.commandLog().size(), 1u);
}

TEST_F(ApduTest, ReadBinaryNeverAddressesOffsetsWithTheTopBitOfP1) {
    Card card(Profile::IdentityCard);
    use(card);
    // Every piece carries one byte: a 40000-byte read would need offset 8000.
    card.setAnswerFor({0x00, 0xB0}, {0x11, 0x90, 0x00});
    QByteArray out;
    EXPECT_NE(apdu::apdu_ReadBinary_Certificate(kHandle, pci(), 40000, &out), 0u);
    for (const auto& command : card.commandLog()) EXPECT_LT(std::stoi(command.substr(4, 2), nullptr, 16), 0x80);
    EXPECT_EQ(out.size(), 0x8000);
}

// ---- identity card -----------------------------------------------------------------

TEST_F(ApduTest, IdentityProbe) {
    Card identity(Profile::IdentityCard);
    use(identity);
    EXPECT_TRUE(apdu::isTCKK(kHandle, pci()));
    EXPECT_EQ(identity.commandLog(), (std::vector<std::string>{"00A40000023F0000", "00A40000023D1000"}));

    Card akis(Profile::Akis1);
    use(akis);
    EXPECT_FALSE(apdu::isTCKK(kHandle, pci()));
    EXPECT_EQ(apdu::tckk::apdu_CheckIfTCKK(kHandle, pci()), 71u);

    // The MF refused: the DF 3D10 selection is not sent.
    akis.clearApduLog();
    akis.setRefusalFor({0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, 0x6A82);
    EXPECT_FALSE(apdu::isTCKK(kHandle, pci()));
    EXPECT_EQ(akis.commandLog().size(), 1u);

    // A failed transmission is a refusal for the probe.
    use(identity);
    simtransport::failTransmissions(SCARD_E_NOT_TRANSACTED, 10);
    EXPECT_EQ(apdu::tckk::apdu_CheckIfTCKK(kHandle, pci()), 71u);
}

TEST_F(ApduTest, IdentityCardVerifyPlainAndPinPadForms) {
    cardsim::CardOptions options;
    options.pin = "24681357";
    Card card(Profile::IdentityCard, options);
    use(card);
    ASSERT_EQ(apdu::apdu_SelectMF(kHandle, pci()), 0u);
    ASSERT_EQ(apdu::tckk::apdu_SelectDF_KDU(kHandle, pci()), 0u);
    card.clearApduLog();
    corvane::test::clearLog();

    EXPECT_EQ(apdu::tckk::apdu_VerifyPIN(readerNamed("Corvane Rig Reader B 00 00"), kHandle, pci(), "24681357"), 0u);
    EXPECT_EQ(card.commandLog().back(), "00200001083234363831333537" "00");

    EXPECT_EQ(apdu::tckk::apdu_VerifyPIN(readerNamed("VKR-410 Corvane PIN Pad 00 00"), kHandle, pci(), "24681357"),
              0u);
    EXPECT_EQ(card.commandLog().back(), "0020000106FFFFFFFFFFFF00");
    EXPECT_EQ(apdu::tckk::apdu_VerifyPIN(readerNamed("XYZ VKR-420 00 00"), kHandle, pci(), "ignored"), 0u);
    EXPECT_EQ(card.commandLog().back(), "0020000106FFFFFFFFFFFF00");

    // The model name compares case-sensitively: lower case is a plain reader.
    EXPECT_EQ(apdu::tckk::apdu_VerifyPIN(readerNamed("vkr-410 reader"), kHandle, pci(), "24681357"), 0u);
    EXPECT_EQ(card.commandLog().back(), "00200001083234363831333537" "00");

    const std::string log = corvane::test::readLog();
    EXPECT_NE(log.find("Detected Corvane Card Reader with PIN PAD VKR-410 Corvane PIN Pad 00 00"), std::string::npos);
    EXPECT_NE(log.find("Login successful"), std::string::npos);
    EXPECT_EQ(log.find("24681357"), std::string::npos) << "the PIN reached the log";
    EXPECT_EQ(log.find("3234363831333537"), std::string::npos) << "the PIN reached the log";
}

TEST_F(ApduTest, PinResultsFollowTheStatusWord) {
    Card card(Profile::IdentityCard);
    use(card);
    const auto reader = readerNamed("Corvane Rig Reader B 00 00");
    apdu::apdu_SelectMF(kHandle, pci());
    apdu::tckk::apdu_SelectDF_KDU(kHandle, pci());
    EXPECT_EQ(apdu::tckk::apdu_VerifyPIN(reader, kHandle, pci(), "000000"), 27u);  // 63C2
    EXPECT_EQ(apdu::tckk::apdu_VerifyPIN(reader, kHandle, pci(), "000000"), 27u);  // 63C1
    EXPECT_EQ(apdu::tckk::apdu_VerifyPIN(reader, kHandle, pci(), "000000"), 38u);  // 63C0
    EXPECT_EQ(apdu::tckk::apdu_VerifyPIN(reader, kHandle, pci(), "123456"), 38u);  // blocked: 6984
    card.setBlockedStatusWord(0x6983);
    EXPECT_EQ(apdu::tckk::apdu_VerifyPIN(reader, kHandle, pci(), "123456"), 16u);
    simtransport::failTransmissions(SCARD_W_REMOVED_CARD);
    EXPECT_EQ(apdu::tckk::apdu_VerifyPIN(reader, kHandle, pci(), "123456"), 16u);
}

TEST_F(ApduTest, VerifyRefusesWhatCannotBeSentOrVerified) {
    Card card(Profile::IdentityCard);
    use(card);
    // OMNIKEY: no VERIFY goes out, and the PIN is not verified.
    EXPECT_EQ(apdu::tckk::apdu_VerifyPIN(readerNamed("OMNIKEY CardMan 3621 VKR-410 00 00"), kHandle, pci(), "123456"),
              16u);
    EXPECT_EQ(apdu::akis::apdu_VerifyPIN(readerNamed("OMNIKEY CardMan 3621 00 00"), kHandle, pci(), "123456", false),
              16u);
    EXPECT_EQ(simtransport::transmissions(), 0);
    // A PIN that does not fit one Lc byte is refused before anything is sent.
    const std::string longPin(256, '1');
    EXPECT_EQ(apdu::tckk::apdu_VerifyPIN(readerNamed("Reader"), kHandle, pci(), longPin), 16u);
    EXPECT_EQ(apdu::akis::apdu_VerifyPIN(readerNamed("Reader"), kHandle, pci(), longPin, false), 16u);
    EXPECT_EQ(simtransport::transmissions(), 0);
}

TEST_F(ApduTest, IdentityCardMseCommandsAndRefusal) {
    Card card(Profile::IdentityCard);
    use(card);
    EXPECT_EQ(apdu::tckk::apdu_MSE_RSA_PKCS_1_5(kHandle, pci()), 0u);
    EXPECT_EQ(apdu::tckk::apdu_MSE_RSA_PSS(kHandle, pci()), 0u);
    EXPECT_EQ(card.commandLog(),
              (std::vector<std::string>{"002241B606800192840181" "00", "002241B606800191840181" "00"}));
    card.setRefusal(0x22, 0x6A80);
    EXPECT_EQ(apdu::tckk::apdu_MSE_RSA_PSS(kHandle, pci()), 0x6A80u);
    EXPECT_EQ(apdu::tckk::apdu_MSE_RSA_PKCS_1_5(kHandle, pci()), 0x6A80u);
}

class IdentityPsoTest : public ApduTest {
protected:
    void SetUp() override {
        use(card_);
        ASSERT_EQ(apdu::apdu_SelectMF(kHandle, pci()), 0u);
        ASSERT_EQ(apdu::tckk::apdu_SelectDF_KDU(kHandle, pci()), 0u);
        ASSERT_EQ(apdu::tckk::apdu_VerifyPIN(readerNamed("R"), kHandle, pci(), "123456"), 0u);
        ASSERT_EQ(apdu::tckk::apdu_MSE_RSA_PKCS_1_5(kHandle, pci()), 0u);
        card_.clearApduLog();
    }
    Card card_{Profile::IdentityCard};
    const QByteArray digestInfo_ = pcsctest::sha256DigestInfo(pcsctest::sha256("identity card data"));
};

TEST_F(IdentityPsoTest, SignsInOneAnswer) {
    QByteArray signature;
    EXPECT_EQ(apdu::tckk::apdu_PSO_TCKK(kHandle, pci(), digestInfo_, &signature), 0u);
    EXPECT_EQ(card_.commandLog(),
              std::vector<std::string>{"002A9E9A33" + digestInfo_.toHex().toUpper().toStdString() + "00"});
    EXPECT_TRUE(pcsctest::verifyRsaPkcs1(card_.keys()[0].publicKeyDer, digestInfo_, signature));
}

TEST_F(IdentityPsoTest, SignsThroughOneGetResponse) {
    card_.setChaining(0x2A, 16);
    QByteArray signature;
    EXPECT_EQ(apdu::tckk::apdu_PSO_TCKK(kHandle, pci(), digestInfo_, &signature), 0u);
    ASSERT_EQ(card_.commandLog().size(), 2u);
    EXPECT_EQ(card_.commandLog()[1], "00C00000F0");
    EXPECT_EQ(signature.size(), 256);
    EXPECT_TRUE(pcsctest::verifyRsaPkcs1(card_.keys()[0].publicKeyDer, digestInfo_, signature));
}

TEST_F(IdentityPsoTest, GetResponseLengthFollowsTheDataAlreadyReceived) {
    card_.setAnswerFor({0x00, 0x2A}, {0x61, 0x80}, 1);
    QByteArray signature;
    EXPECT_NE(apdu::tckk::apdu_PSO_TCKK(kHandle, pci(), digestInfo_, &signature), 0u);  // nothing pending on the card
    EXPECT_EQ(card_.commandLog().back(), "00C0000000");
    EXPECT_TRUE(signature.isEmpty());
}

TEST_F(IdentityPsoTest, RefusalsAndOddStatusWordsGiveNoSignature) {
    QByteArray signature;
    card_.setAnswerFor({0x00, 0x2A}, {0x61, 0x00}, 1);  // 6100 is not "more data"
    EXPECT_EQ(apdu::tckk::apdu_PSO_TCKK(kHandle, pci(), digestInfo_, &signature), 0x6100u);
    card_.setRefusal(0x2A, 0x6982, 1);
    EXPECT_EQ(apdu::tckk::apdu_PSO_TCKK(kHandle, pci(), digestInfo_, &signature), 0x6982u);
    EXPECT_TRUE(signature.isEmpty());
    // 9000 without data is no failure here; the session tells it by the empty output.
    card_.setAnswerFor({0x00, 0x2A}, {0x90, 0x00}, 1);
    EXPECT_EQ(apdu::tckk::apdu_PSO_TCKK(kHandle, pci(), digestInfo_, &signature), 0u);
    EXPECT_TRUE(signature.isEmpty());
    EXPECT_EQ(card_.commandLog().size(), 3u);
    // Data that does not fit one Lc byte is not sent.
    EXPECT_EQ(apdu::tckk::apdu_PSO_TCKK(kHandle, pci(), QByteArray(256, 'x'), &signature), kInvalidParameter);
    EXPECT_EQ(card_.commandLog().size(), 3u);
}

// ---- AKIS: selections ------------------------------------------------------------------

TEST_F(ApduTest, ESignatureApplicationSelection) {
    Card first(Profile::Akis1);
    use(first);
    EXPECT_EQ(apdu::akis::apdu_SelectDF_AKIS_ESignatureApp(kHandle, pci(), false), 0u);
    EXPECT_EQ(first.commandLog(), std::vector<std::string>{"00A40000023D0000"});

    Card second(Profile::Akis2);
    use(second);
    corvane::test::clearLog();
    EXPECT_EQ(apdu::akis::apdu_SelectDF_AKIS_ESignatureApp(kHandle, pci(), false), 0u);
    EXPECT_EQ(second.commandLog(), (std::vector<std::string>{"00A40000023D0000", "00A40000023D0100"}));
    EXPECT_NE(corvane::test::readLog().find("Trying other e-signature app with address 0x3D01"), std::string::npos);
    second.clearApduLog();
    EXPECT_EQ(apdu::akis::apdu_SelectDF_AKIS_ESignatureApp(kHandle, pci(), true), 0u);
    EXPECT_EQ(second.commandLog(), std::vector<std::string>{"00A40000023D0100"});

    // Neither application: the refusal is reported, not taken as a selection.
    use(first);
    EXPECT_EQ(apdu::akis::apdu_SelectDF_AKIS_ESignatureApp(kHandle, pci(), true), 0x6A82u);
    // No retry after a failed transmission.
    use(first);
    simtransport::failTransmissions(SCARD_W_REMOVED_CARD);
    EXPECT_EQ(apdu::akis::apdu_SelectDF_AKIS_ESignatureApp(kHandle, pci(), false), 0x80100069u);
    EXPECT_EQ(simtransport::transmissions(), 1);
}

TEST_F(ApduTest, CertificateFileSelection) {
    Card card(Profile::Akis1);
    use(card);
    ASSERT_EQ(apdu::apdu_SelectMF(kHandle, pci()), 0u);
    ASSERT_EQ(apdu::akis::apdu_SelectDF_AKIS_ESignatureApp(kHandle, pci(), false), 0u);
    card.clearApduLog();
    unsigned char present[2] = {0x2F, 0x10};
    unsigned char absent[2] = {0x2F, 0x11};
    int size = -7;
    EXPECT_EQ(apdu::akis::apdu_SelectEF_AKIS_Certificate(kHandle, pci(), absent, &size), 27266u);
    EXPECT_EQ(size, -7);
    EXPECT_EQ(apdu::akis::apdu_SelectEF_AKIS_Certificate(kHandle, pci(), present, &size), 0u);
    EXPECT_EQ(size, static_cast<int>(card.keys()[0].certificateDer.size()));
    EXPECT_EQ(card.commandLog(), (std::vector<std::string>{"00A40200022F1100", "00A40200022F1000"}));

    card.setRefusal(0xA4, 0x6982, 1);
    EXPECT_EQ(apdu::akis::apdu_SelectEF_AKIS_Certificate(kHandle, pci(), present, &size), 1u);

    // 61xx: the FCP comes through GET RESPONSE with Le = SW2.
    card.clearApduLog();
    card.setChaining(0xA4);
    size = -7;
    EXPECT_EQ(apdu::akis::apdu_SelectEF_AKIS_Certificate(kHandle, pci(), present, &size), 0u);
    ASSERT_EQ(card.commandLog().size(), 2u);
    EXPECT_EQ(card.commandLog()[1].substr(0, 8), "00C00000");
    EXPECT_EQ(size, static_cast<int>(card.keys()[0].certificateDer.size()));
    card.clearChaining();

    // An FCP too short to hold the size leaves it alone.
    card.setFcpLimit(5);
    size = -7;
    EXPECT_EQ(apdu::akis::apdu_SelectEF_AKIS_Certificate(kHandle, pci(), present, &size), 0u);
    EXPECT_EQ(size, -7);
}

// ---- AKIS: MSE and PSO -----------------------------------------------------------------

TEST_F(ApduTest, MseFirstFormThenTheRetryForm) {
    Card card(Profile::Akis1);
    use(card);
    EXPECT_EQ(apdu::akis::apdu_MSE_RSA_PKCS_1_5(kHandle, pci(), 1, false, "rsa-with-sha256"), 0u);
    EXPECT_EQ(card.commandLog(), std::vector<std::string>{"0022C30100"});

    card.clearApduLog();
    card.setRefusalFor({0x00, 0x22, 0xC3}, 0x6A86);
    EXPECT_EQ(apdu::akis::apdu_MSE_RSA_PKCS_1_5(kHandle, pci(), 1, false, "rsa-with-sha256"), 0u);
    EXPECT_EQ(card.commandLog(), (std::vector<std::string>{"0022C30100", "002241B606800192840181" "00"}));

    card.clearApduLog();
    EXPECT_EQ(apdu::akis::apdu_MSE_RSA_PKCS_1_5(kHandle, pci(), 2, false, "ECDSA-WITH-SHA256"), 0u);
    EXPECT_EQ(card.commandLog(), (std::vector<std::string>{"0022C30200", "002241B60680019B840182" "00"}));

    card.clearApduLog();
    EXPECT_EQ(apdu::akis::apdu_MSE_RSA_PKCS_1_5(kHandle, pci(), 1, false, "dsa-with-sha1"), 2u);
    EXPECT_EQ(card.commandLog(), std::vector<std::string>{"0022C30100"});

    // rel2: one fixed form.
    card.clearApduLog();
    EXPECT_EQ(apdu::akis::apdu_MSE_RSA_PKCS_1_5(kHandle, pci(), 5, true, "rsa-with-sha256"), 0u);
    EXPECT_EQ(card.commandLog(), std::vector<std::string>{"002241B606800192840181" "00"});
    card.setRefusal(0x22, 0x6A88);
    EXPECT_EQ(apdu::akis::apdu_MSE_RSA_PKCS_1_5(kHandle, pci(), 5, true, "rsa-with-sha256"), 2u);

    // A key reference that does not fit the command is refused unsent.
    card.clearApduLog();
    EXPECT_EQ(apdu::akis::apdu_MSE_RSA_PKCS_1_5(kHandle, pci(), -1, false, "rsa-with-sha256"), 2u);
    EXPECT_EQ(apdu::akis::apdu_MSE_RSA_PKCS_1_5(kHandle, pci(), 256, false, "rsa-with-sha256"), 2u);
    EXPECT_TRUE(card.commandLog().empty());
}

class AkisPsoTest : public ApduTest {
protected:
    void prepare(int keyReference) {
        use(card_);
        ASSERT_EQ(apdu::apdu_SelectMF(kHandle, pci()), 0u);
        ASSERT_EQ(apdu::akis::apdu_SelectDF_AKIS_ESignatureApp(kHandle, pci(), false), 0u);
        ASSERT_EQ(apdu::akis::apdu_VerifyPIN(readerNamed("R"), kHandle, pci(), "123456", false), 0u);
        ASSERT_EQ(apdu::akis::apdu_MSE_RSA_PKCS_1_5(kHandle, pci(), keyReference, false, "x"), 0u);
        card_.clearApduLog();
    }
    Card card_{Profile::Akis1};
};

TEST_F(AkisPsoTest, RsaSignatureVerifies) {
    prepare(1);
    const QByteArray digestInfo = pcsctest::sha256DigestInfo(pcsctest::sha256("akis data"));
    QByteArray signature;
    EXPECT_EQ(apdu::akis::apdu_PSO_ESignature(kHandle, pci(), "rsa-with-sha256", digestInfo, &signature), 0u);
    EXPECT_EQ(card_.commandLog(),
              std::vector<std::string>{"002A9E9A33" + digestInfo.toHex().toUpper().toStdString() + "00"});
    EXPECT_TRUE(pcsctest::verifyRsaPkcs1(card_.keys()[0].publicKeyDer, digestInfo, signature));
}

TEST_F(AkisPsoTest, RsaSignatureThroughAGetResponseChain) {
    prepare(1);
    card_.setChaining(0x2A, 10, 100);
    const QByteArray digestInfo = pcsctest::sha256DigestInfo(pcsctest::sha256("chained"));
    QByteArray signature;
    EXPECT_EQ(apdu::akis::apdu_PSO_ESignature(kHandle, pci(), "rsa-with-sha256", digestInfo, &signature), 0u);
    const auto getResponses = pcsctest::commandsStartingWith(card_.commandLog(), "00C00000");
    EXPECT_EQ(getResponses.size(), 3u);  // 246 bytes waiting, 100 per answer
    EXPECT_EQ(signature.size(), 256);
    EXPECT_TRUE(pcsctest::verifyRsaPkcs1(card_.keys()[0].publicKeyDer, digestInfo, signature));
}

TEST_F(AkisPsoTest, EcdsaResultBecomesADerSignatureThatVerifies) {
    prepare(2);
    const QByteArray digest = pcsctest::sha256("ecdsa data");
    QByteArray signature;
    EXPECT_EQ(apdu::akis::apdu_PSO_ESignature(kHandle, pci(), "ecdsa-with-sha256", digest, &signature), 0u);
    ASSERT_FALSE(signature.isEmpty());
    EXPECT_EQ(static_cast<unsigned char>(signature[0]), 0x30);
    EXPECT_TRUE(pcsctest::verifyEcdsa(card_.keys()[1].publicKeyDer, digest, signature));
}

TEST_F(AkisPsoTest, EcdsaIntegersAreMinimal) {
    prepare(2);
    // r with its top bit set gains a 00; s with leading zero bytes loses them.
    QByteArray raw = QByteArray(32, '\x81') + QByteArray(2, '\0') + QByteArray(30, '\x11');
    QByteArray reply = raw + pcsctest::fromHex("9000");
    card_.setAnswerFor({0x00, 0x2A}, pcsctest::toBytes(reply), 1);
    QByteArray signature("prefix");
    EXPECT_EQ(apdu::akis::apdu_PSO_ESignature(kHandle, pci(), "ecdsa-with-sha256", QByteArray(32, 'd'), &signature),
              0u);
    const QByteArray expected = pcsctest::fromHex("3043") + pcsctest::fromHex("022100") + QByteArray(32, '\x81') +
                                pcsctest::fromHex("021e") + QByteArray(30, '\x11');
    EXPECT_EQ(signature, QByteArray("prefix") + expected);

    // An odd-sized result: the halves are the first and the last 32 bytes.
    QByteArray odd = QByteArray(32, '\x01') + QByteArray(1, '\x7f') + QByteArray(32, '\x02');
    card_.setAnswerFor({0x00, 0x2A}, pcsctest::toBytes(odd + pcsctest::fromHex("9000")), 1);
    signature.clear();
    EXPECT_EQ(apdu::akis::apdu_PSO_ESignature(kHandle, pci(), "ecdsa-with-sha256", QByteArray(32, 'd'), &signature),
              0u);
    EXPECT_EQ(signature, pcsctest::fromHex("30440220") + QByteArray(32, '\x01') + pcsctest::fromHex("0220") +
                             QByteArray(32, '\x02'));
}

TEST_F(AkisPsoTest, RefusedEmptyOrBrokenSignaturesAreFailures) {
    prepare(1);
    const QByteArray digestInfo = pcsctest::sha256DigestInfo(pcsctest::sha256("x"));
    QByteArray signature("before");
    card_.setRefusal(0x2A, 0x6982, 1);
    EXPECT_EQ(apdu::akis::apdu_PSO_ESignature(kHandle, pci(), "rsa-with-sha256", digestInfo, &signature), 0x6982u);
    card_.setAnswerFor({0x00, 0x2A}, {0x90, 0x00}, 1);
    EXPECT_EQ(apdu::akis::apdu_PSO_ESignature(kHandle, pci(), "rsa-with-sha256", digestInfo, &signature), 75u);
    card_.setAnswerFor({0x00, 0x2A}, {0x61, 0xFF}, 1);  // 61FF is not "more data"
    EXPECT_EQ(apdu::akis::apdu_PSO_ESignature(kHandle, pci(), "rsa-with-sha256", digestInfo, &signature), 0x61FFu);

    // A chain broken off by the card: the partial signature is not handed out.
    card_.setAnswerFor({0x00, 0x2A}, {0xAA, 0xBB, 0x61, 0x40}, 1);
    card_.setRefusalFor({0x00, 0xC0}, 0x6F00, 1);
    EXPECT_EQ(apdu::akis::apdu_PSO_ESignature(kHandle, pci(), "rsa-with-sha256", digestInfo, &signature), 0x6F00u);
    EXPECT_EQ(signature, QByteArray("before"));

    // A card that never stops announcing more data: the chain is capped.
    card_.clearApduLog();
    card_.setAnswerFor({0x00, 0x2A}, {0xAA, 0x61, 0x01}, 1);
    card_.setAnswerFor({0x00, 0xC0}, {0xAA, 0x61, 0x01});
    EXPECT_NE(apdu::akis::apdu_PSO_ESignature(kHandle, pci(), "rsa-with-sha256", digestInfo, &signature), 0u);
    EXPECT_EQ(pcsctest::commandsStartingWith(card_.commandLog(), "00C00000").size(), 32u);
    EXPECT_EQ(signature, QByteArray("before"));

    // Data over 255 bytes is refused unsent.
    card_.clearApduLog();
    EXPECT_EQ(apdu::akis::apdu_PSO_ESignature(kHandle, pci(), "rsa-with-sha256", QByteArray(300, 'x'), &signature),
              kInvalidParameter);
    EXPECT_TRUE(card_.commandLog().empty());
}

// ---- AKIS: PKCS#15 ---------------------------------------------------------------------

class Pkcs15Test : public ApduTest {
protected:
    void enter(Card& card) {
        use(card);
        ASSERT_EQ(apdu::apdu_SelectMF(kHandle, pci()), 0u);
        ASSERT_EQ(apdu::akis::apdu_SelectDF_AKIS_ESignatureApp(kHandle, pci(), false), 0u);
        card.clearApduLog();
        corvane::test::clearLog();
    }
    static QString idText(const cardsim::KeyMaterial& key) {
        return "0414" + QString::fromLatin1(toQByteArray(key.keyId).toHex());
    }
};

TEST_F(Pkcs15Test, SerialNumberToIdentifierToKeyReference) {
    Card card(Profile::Akis1);
    enter(card);
    for (int k = 0; k < 2; ++k) {
        const auto& key = card.keys()[k];
        QString ckaId = "untouched";
        EXPECT_EQ(apdu::akis::apdu_RetrievePKCS15FromCerts(kHandle, pci(), key.serialDecimal, &ckaId), 0u);
        EXPECT_EQ(ckaId.compare(idText(key), Qt::CaseInsensitive), 0) << ckaId.toStdString();
        int reference = -1;
        EXPECT_EQ(apdu::akis::apdu_RetrievePKCS15PrivateKeyIndex(kHandle, pci(), ckaId, &reference), 0u);
        EXPECT_EQ(reference, key.setup.keyReference);
    }
    // The second certificate was found after skipping the first entry.
    EXPECT_NE(corvane::test::readLog().find("Remainig size: "), std::string::npos);
    EXPECT_TRUE(pcsctest::anyCommandStartsWith(card.commandLog(), "00A40200022F0400"));
    EXPECT_TRUE(pcsctest::anyCommandStartsWith(card.commandLog(), "00A40200022F0100"));
}

TEST_F(Pkcs15Test, NoMatchLeavesTheOutputsAlone) {
    Card card(Profile::Akis1);
    enter(card);
    QString ckaId = "untouched";
    EXPECT_EQ(apdu::akis::apdu_RetrievePKCS15FromCerts(kHandle, pci(), "42", &ckaId), 0u);
    EXPECT_EQ(ckaId, "untouched");
    EXPECT_EQ(apdu::akis::apdu_RetrievePKCS15FromCerts(kHandle, pci(), "not a number", &ckaId), 0u);
    EXPECT_EQ(ckaId, "untouched");
    int reference = -1;
    EXPECT_EQ(apdu::akis::apdu_RetrievePKCS15PrivateKeyIndex(kHandle, pci(), "04020102", &reference), 0u);
    EXPECT_EQ(apdu::akis::apdu_RetrievePKCS15PrivateKeyIndex(kHandle, pci(), "", &reference), 0u);
    EXPECT_EQ(reference, -1);
}

TEST_F(Pkcs15Test, SerialWithItsTopBitSetAndLargeKeyReferences) {
    cardsim::CardOptions options;
    cardsim::KeySpec key;
    key.serial = {0xFF};
    key.keyReference = 10;  // INTEGER 0A: ten, read as the DER INTEGER it is
    key.cacheName = "pcsc-test-ref10";
    options.keys = {key};
    Card card(Profile::Akis1, options);
    enter(card);
    ASSERT_EQ(card.keys()[0].serialDecimal, "255");
    QString ckaId;
    EXPECT_EQ(apdu::akis::apdu_RetrievePKCS15FromCerts(kHandle, pci(), "255", &ckaId), 0u);
    EXPECT_NE(QString::fromStdString(corvane::test::readLog())
                  .indexOf("Read serial number ASN.1: 020200FF", 0, Qt::CaseInsensitive),
              -1);
    int reference = -1;
    EXPECT_EQ(apdu::akis::apdu_RetrievePKCS15PrivateKeyIndex(kHandle, pci(), ckaId.toUpper(), &reference), 0u);
    EXPECT_EQ(reference, 10);
}

TEST_F(Pkcs15Test, PaddingEndsTheDirectory) {
    Card card(Profile::Akis1);
    Bytes cdf = card.fileContent({0x3D00, 0x2F04});
    const size_t entries = cdf.size();
    cdf.resize(entries + 64, 0x00);
    card.putFile({0x3D00, 0x2F04}, cdf);
    enter(card);
    QString ckaId = "untouched";
    EXPECT_EQ(apdu::akis::apdu_RetrievePKCS15FromCerts(kHandle, pci(), "42", &ckaId), 0u);
    EXPECT_EQ(ckaId, "untouched");
    EXPECT_EQ(apdu::akis::apdu_RetrievePKCS15FromCerts(kHandle, pci(), card.keys()[1].serialDecimal, &ckaId), 0u);
    EXPECT_NE(ckaId, "untouched");
}

TEST_F(Pkcs15Test, MalformedDirectoriesNeverCrashTheWalk) {
    Card card(Profile::Akis1);
    const std::string serial = card.keys()[0].serialDecimal;
    enter(card);
    QString ckaId = "untouched";
    int reference = -1;

    // An entry lacking the children the look-up uses is simply no match.
    card.putFile({0x3D00, 0x2F04}, cardsim::fromHex("3003020101" "30053003020101"));
    EXPECT_EQ(apdu::akis::apdu_RetrievePKCS15FromCerts(kHandle, pci(), serial, &ckaId), 0u);
    card.putFile({0x3D00, 0x2F01}, cardsim::fromHex("3003020101" "300A30003006040101020101"));
    EXPECT_EQ(apdu::akis::apdu_RetrievePKCS15PrivateKeyIndex(kHandle, pci(), "040101", &reference), 0u);
    // ... except that a match whose key reference is not a usable INTEGER is a failure.
    EXPECT_EQ(reference, 1);
    card.putFile({0x3D00, 0x2F01}, cardsim::fromHex("300A30003006040101040101"));
    reference = -1;
    EXPECT_EQ(apdu::akis::apdu_RetrievePKCS15PrivateKeyIndex(kHandle, pci(), "040101", &reference), 44u);
    EXPECT_EQ(reference, -1);
    card.putFile({0x3D00, 0x2F01}, cardsim::fromHex("300A30003006040101020180"));  // negative INTEGER
    EXPECT_EQ(apdu::akis::apdu_RetrievePKCS15PrivateKeyIndex(kHandle, pci(), "040101", &reference), 44u);

    // A primitive first element is not a directory.
    card.putFile({0x3D00, 0x2F04}, cardsim::fromHex("0403010203"));
    EXPECT_EQ(apdu::akis::apdu_RetrievePKCS15FromCerts(kHandle, pci(), serial, &ckaId), 45u);
    // An entry declaring more than the file holds.
    card.putFile({0x3D00, 0x2F04}, cardsim::fromHex("3082FFFF3003020101"));
    EXPECT_EQ(apdu::akis::apdu_RetrievePKCS15FromCerts(kHandle, pci(), serial, &ckaId), 45u);
    EXPECT_EQ(ckaId, "untouched");

    // Files that cannot be selected.
    card.removeFile({0x3D00, 0x2F04});
    EXPECT_EQ(apdu::akis::apdu_RetrievePKCS15FromCerts(kHandle, pci(), serial, &ckaId), 45u);
    card.removeFile({0x3D00, 0x2F01});
    EXPECT_EQ(apdu::akis::apdu_RetrievePKCS15PrivateKeyIndex(kHandle, pci(), "040101", &reference), 46u);
}

TEST_F(Pkcs15Test, FuzzedDirectoriesTerminate) {
    Card card(Profile::Akis1);
    const Bytes original = card.fileContent({0x3D00, 0x2F04});
    enter(card);
    uint32_t seed = 12345;
    for (int round = 0; round < 200; ++round) {
        Bytes mutated = original;
        for (int flips = 0; flips < 4; ++flips) {
            seed = seed * 1103515245u + 12345u;
            mutated[(seed >> 8) % mutated.size()] = static_cast<uint8_t>(seed >> 24);
        }
        seed = seed * 1103515245u + 12345u;
        mutated.resize(1 + (seed >> 8) % mutated.size());
        card.putFile({0x3D00, 0x2F04}, mutated);
        QString ckaId;
        const unsigned long result =
            apdu::akis::apdu_RetrievePKCS15FromCerts(kHandle, pci(), card.keys()[0].serialDecimal, &ckaId);
        EXPECT_TRUE(result == 0 || result == 45) << result;
    }
}

TEST_F(Pkcs15Test, CardKeyList) {
    Card card(Profile::Akis1);
    enter(card);
    int id = -5;
    EXPECT_EQ(apdu::akis::getPrivateKeyInfo(kHandle, pci(), 0, &id), 0u);
    EXPECT_EQ(id, 1);
    EXPECT_EQ(apdu::akis::getPrivateKeyInfo(kHandle, pci(), 1, &id), 0u);
    EXPECT_EQ(id, 2);
    EXPECT_EQ(apdu::akis::getPrivateKeyInfo(kHandle, pci(), 2, &id), 44u);
    EXPECT_EQ(id, -1);
    EXPECT_EQ(card.commandLog().front(), "801F000000");

    // Every length refused: eight tries in the documented order, then 44.
    card.clearApduLog();
    card.setRefusal(0x1F, 0x6700);
    EXPECT_EQ(apdu::akis::getPrivateKeyInfo(kHandle, pci(), 0, &id), 44u);
    EXPECT_EQ(card.commandLog(), (std::vector<std::string>{"801F000000", "801F000009", "801F000012", "801F00001B",
                                                           "801F000024", "801F00002D", "801F000036", "801F00003F"}));

    // A list cut short after the first entry: only what arrived counts.
    card.clearRules();
    card.setAnswerFor({0x80, 0x1F}, cardsim::fromHex("000002000001011F00" "9000"));
    EXPECT_EQ(apdu::akis::getPrivateKeyInfo(kHandle, pci(), 0, &id), 0u);
    EXPECT_EQ(id, 1);
    EXPECT_EQ(apdu::akis::getPrivateKeyInfo(kHandle, pci(), 1, &id), 44u);
}

TEST_F(Pkcs15Test, PersonalisationCheck) {
    Card card(Profile::Akis1);
    use(card);
    QByteArray serial, ckaId;
    EXPECT_EQ(apdu::akis::apdu_CheckIfSmartcardIsPersonalized(kHandle, pci(), &serial, &ckaId), 0u);
    EXPECT_EQ(serial.size(), 8);
    EXPECT_EQ(ckaId, toQByteArray(card.keys()[0].keyId));
    EXPECT_EQ(card.commandLog().front(), "00A4040007504B43532D313500");

    card.setRefusalFor({0x00, 0xA4, 0x04}, 0x6A82);
    EXPECT_EQ(apdu::akis::apdu_CheckIfSmartcardIsPersonalized(kHandle, pci(), &serial, &ckaId), 73u);
}

TEST_F(Pkcs15Test, PersonalisationCommandsSendTheirBytes) {
    Card card(Profile::Akis1);
    use(card);
    EXPECT_EQ(apdu::akis::apdu_LoginAsSecurityOfficer(kHandle, pci(), "12345678"), 0u);
    EXPECT_EQ(card.commandLog().back(), "002000820831323334353637" "38");
    EXPECT_EQ(apdu::akis::apdu_SetPin(kHandle, pci(), "654321"), 0u);
    EXPECT_EQ(card.commandLog().back(), "002C028106363534333231" "00");
    EXPECT_EQ(apdu::akis::apdu_ChangePin(kHandle, pci(), "654321", "112233"), 0u);
    EXPECT_EQ(card.commandLog().back(), "002400810C363534333231313132323333");
    EXPECT_EQ(card.pin(), "112233");
    EXPECT_EQ(apdu::akis::apdu_LoginAsStandardUser(kHandle, pci(), "112233"), 0u);
    EXPECT_EQ(apdu::akis::apdu_LoginAsStandardUser(kHandle, pci(), "000000"), 27u);
    EXPECT_EQ(apdu::akis::apdu_LoginAsSecurityOfficer(kHandle, pci(), "00000000"), 73u);
    card.clearApduLog();
    EXPECT_EQ(apdu::akis::apdu_ChangePin(kHandle, pci(), std::string(200, '1'), std::string(100, '2')), 73u);
    EXPECT_TRUE(card.commandLog().empty());
}

TEST_F(Pkcs15Test, StoredCertificateIsAppendedAndFoundAgain) {
    cardsim::CardOptions options;
    options.storageFile = true;
    Card card(Profile::Akis1, options);
    // A renewed certificate for key 1 (same key, new serial), taken from another card.
    cardsim::CardOptions otherOptions;
    cardsim::KeySpec renewed;
    renewed.cacheName = card.keys()[0].setup.cacheName;  // the same key pair
    renewed.serial = {0x01, 0x02, 0x03, 0x04};
    renewed.commonName = "RENEWED TEST USER";
    otherOptions.keys = {renewed};
    Card issuer(Profile::Akis1, otherOptions);
    const cardsim::KeyMaterial& stored = issuer.keys()[0];
    const Bytes cdfBefore = card.fileContent({0x3D00, 0x2F04});

    enter(card);
    EXPECT_EQ(apdu::akis::apdu_StoreCertificateWithCkaId(kHandle, pci(), "000000", toQByteArray(stored.certificateDer),
                                                         toQByteArray(card.keys()[0].keyId)),
              73u);
    EXPECT_FALSE(pcsctest::anyCommandStartsWith(card.commandLog(), "00D6"));

    card.setPinTriesLeft(3);
    card.clearApduLog();
    ASSERT_EQ(apdu::akis::apdu_StoreCertificateWithCkaId(kHandle, pci(), "123456",
                                                         toQByteArray(stored.certificateDer),
                                                         toQByteArray(card.keys()[0].keyId)),
              0u);
    // The certificate went into EF 2F11 in pieces of 230 bytes.
    EXPECT_EQ(card.fileContent({0x3D00, 0x2F11}), stored.certificateDer);
    const auto writes = pcsctest::commandsStartingWith(card.commandLog(), "00D6");
    const size_t certificatePieces = (stored.certificateDer.size() + 229) / 230;
    ASSERT_GT(writes.size(), certificatePieces);
    EXPECT_EQ(writes[0].substr(0, 10), "00D60000E6");
    EXPECT_EQ(writes[1].substr(0, 10), "00D600E6E6");
    EXPECT_EQ(writes[2].substr(0, 10), "00D601CCE6");

    // The directory keeps its entries and gains one after them.
    const Bytes cdfAfter = card.fileContent({0x3D00, 0x2F04});
    ASSERT_GT(cdfAfter.size(), cdfBefore.size());
    EXPECT_TRUE(std::equal(cdfBefore.begin(), cdfBefore.end(), cdfAfter.begin()));
    char offset[8];
    std::snprintf(offset, sizeof offset, "%04X", static_cast<unsigned>(cdfBefore.size()));
    EXPECT_EQ(writes[certificatePieces].substr(4, 4), offset);

    // Both old and new certificates are found, the new one leading to key 1.
    enter(card);
    QString ckaId;
    EXPECT_EQ(apdu::akis::apdu_RetrievePKCS15FromCerts(kHandle, pci(), card.keys()[1].serialDecimal, &ckaId), 0u);
    ckaId.clear();
    ASSERT_EQ(apdu::akis::apdu_RetrievePKCS15FromCerts(kHandle, pci(), stored.serialDecimal, &ckaId), 0u);
    EXPECT_EQ(ckaId.compare(idText(card.keys()[0]), Qt::CaseInsensitive), 0);
    int reference = -1;
    EXPECT_EQ(apdu::akis::apdu_RetrievePKCS15PrivateKeyIndex(kHandle, pci(), ckaId, &reference), 0u);
    EXPECT_EQ(reference, 1);

    // A second certificate goes after the first stored one.
    enter(card);
    ASSERT_EQ(apdu::akis::apdu_VerifyPIN(readerNamed("R"), kHandle, pci(), "123456", false), 0u);
    ASSERT_EQ(apdu::akis::apdu_StoreCertificateWithCkaId(kHandle, pci(), "123456",
                                                         toQByteArray(card.keys()[1].certificateDer),
                                                         toQByteArray(card.keys()[1].keyId)),
              0u);
    const Bytes cdfTwice = card.fileContent({0x3D00, 0x2F04});
    EXPECT_TRUE(std::equal(cdfAfter.begin(), cdfAfter.end(), cdfTwice.begin()));
    EXPECT_GT(cdfTwice.size(), cdfAfter.size());
}

TEST_F(Pkcs15Test, StorageRefusesWhatIsNotACertificate) {
    cardsim::CardOptions options;
    options.storageFile = true;
    Card card(Profile::Akis1, options);
    enter(card);
    EXPECT_EQ(apdu::akis::apdu_StoreCertificateWithCkaId(kHandle, pci(), "123456", QByteArray::fromHex("0500"),
                                                         QByteArray("id")),
              45u);
    EXPECT_EQ(apdu::akis::apdu_StoreCertificateWithCkaId(kHandle, pci(), "123456", QByteArray(), QByteArray("id")),
              45u);
    EXPECT_FALSE(pcsctest::anyCommandStartsWith(card.commandLog(), "00D6"));
}

}  // namespace
