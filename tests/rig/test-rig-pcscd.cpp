// The rig through the real pcscd: the simulated cards appear with their ATR
// in the readers of rig-readers.h, removal and insertion are noticed, the
// PIN-pad reader answers the feature request, and what goes over PC/SC is
// exactly what the card logs. Uses libpcsclite directly.
#include "card-simulator.h"
#include "rig-pcsc.h"
#include "rig-readers.h"
#include "rig-test-util.h"

#include <PCSC/reader.h>
#include <PCSC/winscard.h>
#include <gtest/gtest.h>

#include <thread>

using cardsim::Bytes;
using cardsim::Card;
using cardsim::fromHex;
using cardsim::Profile;
using cardsim::toHex;
using namespace rigtest;

namespace {

class Context {
public:
    Context() { rv_ = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx_); }
    ~Context() {
        if (rv_ == SCARD_S_SUCCESS) SCardReleaseContext(ctx_);
    }
    LONG rv() const { return rv_; }
    SCARDCONTEXT get() const { return ctx_; }

private:
    SCARDCONTEXT ctx_ = 0;
    LONG rv_;
};

class Connection {
public:
    Connection(const Context& ctx, const char* reader, DWORD share = SCARD_SHARE_SHARED) {
        rv_ = SCardConnect(ctx.get(), reader, share, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card_, &protocol_);
    }
    ~Connection() {
        if (rv_ == SCARD_S_SUCCESS) SCardDisconnect(card_, SCARD_LEAVE_CARD);
    }
    LONG rv() const { return rv_; }
    SCARDHANDLE get() const { return card_; }
    DWORD protocol() const { return protocol_; }

    // The R-APDU, or empty with *rv set when the transmission failed.
    Bytes transmit(const Bytes& command, LONG* rvOut = nullptr) const {
        SCARD_IO_REQUEST pci{protocol_, sizeof(SCARD_IO_REQUEST)};
        unsigned char buffer[1024];
        DWORD length = sizeof buffer;
        LONG rv = SCardTransmit(card_, &pci, command.data(), static_cast<DWORD>(command.size()), nullptr, buffer, &length);
        if (rvOut) *rvOut = rv;
        if (rv != SCARD_S_SUCCESS) return {};
        return Bytes(buffer, buffer + length);
    }
    Bytes transmit(const std::string& hex, LONG* rvOut = nullptr) const { return transmit(fromHex(hex), rvOut); }
    Bytes transmit(const char* hex, LONG* rvOut = nullptr) const { return transmit(fromHex(hex), rvOut); }

private:
    SCARDHANDLE card_ = 0;
    DWORD protocol_ = 0;
    LONG rv_;
};

// ATR and reader name as pcscd reports them for the connected card.
void status(const Connection& c, std::string* reader, Bytes* atr) {
    char name[256];
    DWORD nameLength = sizeof name, state = 0, protocol = 0;
    unsigned char atrBuffer[MAX_ATR_SIZE];
    DWORD atrLength = sizeof atrBuffer;
    ASSERT_EQ(SCardStatus(c.get(), name, &nameLength, &state, &protocol, atrBuffer, &atrLength), SCARD_S_SUCCESS);
    *reader = name;
    atr->assign(atrBuffer, atrBuffer + atrLength);
}

class RigPcscd : public ::testing::Test {
protected:
    void SetUp() override { RIG_REQUIRE_PCSCD(); }
};

}  // namespace

TEST_F(RigPcscd, ReadersAreListedInTheRigOrder) {
    std::vector<std::string> names = rig::listReaders();
    ASSERT_EQ(names.size(), rig::kReaderCount);
    for (const rig::Reader& r : rig::kReaders) EXPECT_EQ(names[static_cast<size_t>(r.slot) - 1], r.name);
    // No card anywhere before a test inserts one: every connection is refused as empty.
    Context ctx;
    for (const rig::Reader& r : rig::kReaders) {
        Connection c(ctx, r.name);
        EXPECT_EQ(static_cast<unsigned long>(c.rv()), static_cast<unsigned long>(SCARD_E_NO_SMARTCARD)) << r.name;
    }
}

TEST_F(RigPcscd, EachCardIsSeenWithItsAtrInItsReader) {
    Card akis1(Profile::Akis1);
    Card akis2(Profile::Akis2);
    Card identity(Profile::IdentityCard);
    cardsim::CardOptions unknownOptions;
    unknownOptions.atr = cardsim::unknownAtr();
    Card unknown(Profile::Akis1, unknownOptions);
    akis1.insertInto(rig::kReaderAkisPort);
    akis2.insertInto(rig::kReaderAkis2Port);
    identity.insertInto(rig::kReaderIdentityPort);
    unknown.insertInto(rig::kReaderOmnikeyPort);

    Context ctx;
    ASSERT_EQ(ctx.rv(), SCARD_S_SUCCESS);
    struct Expect {
        const rig::Reader& reader;
        Card& card;
    } expected[] = {{rig::kReaderAkis, akis1}, {rig::kReaderAkis2, akis2}, {rig::kReaderIdentity, identity},
                    {rig::kReaderOmnikey, unknown}};
    for (const Expect& e : expected) {
        Connection c(ctx, e.reader.name);
        ASSERT_EQ(c.rv(), SCARD_S_SUCCESS) << e.reader.name;
        EXPECT_EQ(c.protocol(), static_cast<DWORD>(SCARD_PROTOCOL_T1));
        std::string name;
        Bytes atr;
        status(c, &name, &atr);
        EXPECT_EQ(name, e.reader.name);
        EXPECT_EQ(toHex(atr), toHex(e.card.atr()));
        // The card answers in its own reader: the MF of each card.
        EXPECT_EQ(swOf(c.transmit("00A40000023F0000")), 0x9000);
    }
    EXPECT_EQ(toHex(unknown.atr()), toHex(cardsim::unknownAtr()));
    // Each card saw only its own MF selection.
    for (Card* card : {&akis1, &akis2, &identity, &unknown}) EXPECT_EQ(card->commandLog(), std::vector<std::string>{"00A40000023F0000"});
    // The empty reader stays empty.
    Connection empty(ctx, rig::kReaderEmpty.name);
    EXPECT_EQ(static_cast<unsigned long>(empty.rv()), static_cast<unsigned long>(SCARD_E_NO_SMARTCARD));
}

TEST_F(RigPcscd, RemovalAndInsertionAreNoticedAndTheCardKeepsItsFiles) {
    cardsim::CardOptions options;
    options.storageFile = true;
    Card card(Profile::Akis1, options);
    card.insertInto(rig::kReaderAkisPort);
    Context ctx;
    {
        Connection c(ctx, rig::kReaderAkis.name);
        ASSERT_EQ(c.rv(), SCARD_S_SUCCESS);
        EXPECT_EQ(swOf(c.transmit("00A4040007504B43532D313500")), 0x9000);
        EXPECT_EQ(swOf(c.transmit(apdu("00200081", {'1', '2', '3', '4', '5', '6'}, false))), 0x9000);
        EXPECT_EQ(swOf(c.transmit("00A40200022F1100")), 0x9000);
        EXPECT_EQ(swOf(c.transmit(apdu("00D60000", {0x30, 0x03, 0x02, 0x01, 0x07}))), 0x9000);
        EXPECT_EQ(swOf(c.transmit(apdu("00200081", {'0', '0', '0', '0', '0', '0'}, false))), 0x63C2);

        card.remove();
        EXPECT_FALSE(card.inserted());
        LONG rv = 0;
        c.transmit("00A40000023F0000", &rv);
        EXPECT_NE(rv, SCARD_S_SUCCESS);
        EXPECT_TRUE(rv == static_cast<LONG>(SCARD_W_REMOVED_CARD) || rv == static_cast<LONG>(SCARD_E_NO_SMARTCARD))
            << std::hex << rv;
    }
    {
        Connection c(ctx, rig::kReaderAkis.name);
        EXPECT_EQ(static_cast<unsigned long>(c.rv()), static_cast<unsigned long>(SCARD_E_NO_SMARTCARD));
    }
    card.insertInto(rig::kReaderAkisPort);
    EXPECT_TRUE(card.inserted());
    EXPECT_EQ(card.port(), rig::kReaderAkisPort);
    Connection c(ctx, rig::kReaderAkis.name);
    ASSERT_EQ(c.rv(), SCARD_S_SUCCESS);
    // What was written stays; the retry counter stays; the PIN state does not.
    EXPECT_EQ(swOf(c.transmit("00A4040007504B43532D313500")), 0x9000);
    Bytes r = c.transmit("00A40200022F1100");
    ASSERT_EQ(swOf(r), 0x9000);
    EXPECT_EQ(toHex(dataOf(c.transmit("00B0000000"))), "3003020107");
    EXPECT_EQ(toHex(c.transmit("0020008100")), "63C2");
    EXPECT_EQ(toHex(c.transmit(apdu("00D60000", {0x31}))), "6982");

    // A card pulled in the middle of a command: no answer comes back. Through
    // vpcd SCardTransmit then reports success with 0 bytes (seen on pcsc-lite
    // 1.9.9), so a caller must treat a reply shorter than 2 bytes as failure.
    card.setRemovalOn(fromHex("00B0"));
    LONG rv = 0;
    Bytes none = c.transmit("00B0000000", &rv);
    EXPECT_LT(none.size(), 2u) << std::hex << rv;
    EXPECT_TRUE(rig::waitForCard(rig::kReaderAkis.name, false, std::chrono::seconds(5)));
    EXPECT_FALSE(card.inserted());
    EXPECT_TRUE(card.apduLog().back().response.empty());
}

TEST_F(RigPcscd, PinPadReaderAnswersTheFeatureRequestAndPlainReadersDoNot) {
    Card pinPadCard(Profile::IdentityCard);
    Card plainCard(Profile::IdentityCard);
    Card omnikeyCard(Profile::IdentityCard);
    pinPadCard.insertInto(rig::kReaderPinPadPort);
    plainCard.insertInto(rig::kReaderIdentityPort);
    omnikeyCard.insertInto(rig::kReaderOmnikeyPort);
    Context ctx;

    Connection pinPad(ctx, rig::kReaderPinPad.name);
    ASSERT_EQ(pinPad.rv(), SCARD_S_SUCCESS);
    unsigned char buffer[264];
    DWORD length = 0;
    ASSERT_EQ(SCardControl(pinPad.get(), rig::kFeatureRequestIoctl, nullptr, 0, buffer, sizeof buffer, &length),
              SCARD_S_SUCCESS);
    Bytes expected;
    for (uint8_t tag : rig::kPinPadFeatures) {
        uint32_t code = rig::featureControlCode(tag);
        expected.insert(expected.end(), {tag, 4, static_cast<uint8_t>(code >> 24), static_cast<uint8_t>(code >> 16),
                                         static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code)});
    }
    EXPECT_EQ(toHex(Bytes(buffer, buffer + length)), toHex(expected));
    EXPECT_EQ(rig::featureControlCode(rig::kFeatureVerifyPinDirect), 0x42330006u);

    // PIN properties through the advertised control code.
    ASSERT_EQ(SCardControl(pinPad.get(), rig::featureControlCode(rig::kFeatureIfdPinProperties), nullptr, 0, buffer,
                           sizeof buffer, &length),
              SCARD_S_SUCCESS);
    EXPECT_EQ(length, 4u);

    // VERIFY_PIN_DIRECT: the reader sends the template; the card takes the keypad entry.
    Bytes verifyStructure = fromHex("0000" "82" "00" "00" "0804" "02" "01" "0904" "00" "000000");
    Bytes apduTemplate = fromHex("0020000106FFFFFFFFFFFF00");
    for (int i = 0; i < 4; ++i) verifyStructure.push_back(i == 0 ? static_cast<uint8_t>(apduTemplate.size()) : 0);
    verifyStructure.insert(verifyStructure.end(), apduTemplate.begin(), apduTemplate.end());
    ASSERT_EQ(SCardControl(pinPad.get(), rig::featureControlCode(rig::kFeatureVerifyPinDirect), verifyStructure.data(),
                           static_cast<DWORD>(verifyStructure.size()), buffer, sizeof buffer, &length),
              SCARD_S_SUCCESS);
    EXPECT_EQ(toHex(Bytes(buffer, buffer + length)), "9000");
    EXPECT_TRUE(pinPadCard.pinVerified());
    EXPECT_EQ(pinPadCard.commandLog(), std::vector<std::string>{"0020000106FFFFFFFFFFFF00"});
    pinPadCard.setKeypadEntry(std::string("999999"));
    ASSERT_EQ(SCardControl(pinPad.get(), rig::featureControlCode(rig::kFeatureVerifyPinDirect), verifyStructure.data(),
                           static_cast<DWORD>(verifyStructure.size()), buffer, sizeof buffer, &length),
              SCARD_S_SUCCESS);
    EXPECT_EQ(toHex(Bytes(buffer, buffer + length)), "63C2");

    // APDUs still pass through the PIN-pad driver unchanged.
    EXPECT_EQ(swOf(pinPad.transmit("00A40000023F0000")), 0x9000);

    for (const rig::Reader* plain : {&rig::kReaderIdentity, &rig::kReaderOmnikey}) {
        Connection c(ctx, plain->name);
        ASSERT_EQ(c.rv(), SCARD_S_SUCCESS);
        length = 0;
        LONG rv = SCardControl(c.get(), rig::kFeatureRequestIoctl, nullptr, 0, buffer, sizeof buffer, &length);
        EXPECT_NE(rv, SCARD_S_SUCCESS) << plain->name;
        EXPECT_EQ(length, 0u);
    }
}

TEST_F(RigPcscd, ExactApduLogAndChainedSignatureOverPcscd) {
    Card card(Profile::IdentityCard);
    card.setChaining(0x2A, 16);
    card.insertInto(rig::kReaderIdentityPort);
    Context ctx;
    Connection c(ctx, rig::kReaderIdentity.name);
    ASSERT_EQ(c.rv(), SCARD_S_SUCCESS);
    const Bytes data = {'r', 'i', 'g'};
    const std::vector<Bytes> commands = {
        fromHex("00A40000023F0000"),
        fromHex("00A40000023D0000"),
        apdu("00200001", {'1', '2', '3', '4', '5', '6'}),
        fromHex("002241B606800192840181" "00"),
        apdu("002A9E9A", sha256DigestInfo(sha256(data))),
        fromHex("00C00000F0"),
    };
    std::vector<Bytes> answers;
    for (const Bytes& cmd : commands) answers.push_back(c.transmit(cmd));
    std::vector<cardsim::Exchange> log = card.apduLog();
    ASSERT_EQ(log.size(), commands.size());
    for (size_t i = 0; i < commands.size(); ++i) {
        EXPECT_EQ(log[i].commandHex(), toHex(commands[i])) << i;
        EXPECT_EQ(log[i].responseHex(), toHex(answers[i])) << i;
    }
    EXPECT_EQ(card.commandLog()[2], "002000010631323334353600");
    EXPECT_EQ(toHex(Bytes(answers[4].end() - 2, answers[4].end())), "61F0");
    Pkey key = publicKeyOfCertificate(card.keys()[0].certificateDer);
    EXPECT_TRUE(verifyRsaPkcs1Sha256(key.get(), data, concat(dataOf(answers[4]), dataOf(answers[5]))));
    EXPECT_TRUE(issuedBy(card.keys()[0].certificateDer, cardsim::testCa().certificatePem));

    // A 1-byte answer travels through pcscd as it is.
    card.setAnswerFor(fromHex("00B0"), fromHex("90"), 1);
    EXPECT_EQ(toHex(c.transmit("00A40200022F1000")).substr(0, 4), "620E");
    EXPECT_EQ(toHex(c.transmit("00B0000000")), "90");
}

TEST_F(RigPcscd, ConcurrentClientsOnTwoCardsKeepTheirExchangesApart) {
    Card a(Profile::Akis1);
    Card b(Profile::Akis2);
    a.insertInto(rig::kReaderAkisPort);
    b.insertInto(rig::kReaderAkis2Port);
    auto worker = [](const char* reader, int rounds, int* ok) {
        Context ctx;
        Connection c(ctx, reader);
        if (c.rv() != SCARD_S_SUCCESS) return;
        for (int i = 0; i < rounds; ++i)
            if (swOf(c.transmit("00A40000023F0000")) == 0x9000) ++*ok;
    };
    int okA = 0, okB = 0;
    std::thread ta(worker, rig::kReaderAkis.name, 50, &okA);
    std::thread tb(worker, rig::kReaderAkis2.name, 50, &okB);
    ta.join();
    tb.join();
    EXPECT_EQ(okA, 50);
    EXPECT_EQ(okB, 50);
    EXPECT_EQ(a.apduLog().size(), 50u);
    EXPECT_EQ(b.apduLog().size(), 50u);
}

TEST(RigPcscdAbsent, InsertingWithoutAReaderFailsClearly) {
    Card card(Profile::Akis1);
    // Port 1 has no vpcd listening on any machine of ours.
    try {
        card.insertInto(1, std::chrono::milliseconds(500));
        FAIL() << "inserted into nothing";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("no vpcd reader listens on port 1"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(card.inserted());
    card.remove();  // nothing to do, no throw
}
