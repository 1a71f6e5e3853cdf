// The simulated cards without a reader: each command family answers as a card
// of that family would, and what the cards sign verifies with OpenSSL against
// the certificates they hold.
#include "card-simulator.h"
#include "rig-test-util.h"

#include <gtest/gtest.h>

using cardsim::Bytes;
using cardsim::Card;
using cardsim::fromHex;
using cardsim::Profile;
using cardsim::toHex;
using namespace rigtest;

namespace {

Bytes run(Card& card, const std::string& hex) { return card.process(fromHex(hex)); }

// The file size as the engine reads it: bytes 5 and 6 of the SELECT answer.
int fcpSize(const Bytes& r) { return r.size() >= 6 ? (r[4] << 8 | r[5]) : -1; }

Bytes readWhole(Card& card, int size) {
    Bytes out;
    while (static_cast<int>(out.size()) < size) {
        Bytes cmd = {0x00, 0xB0, static_cast<uint8_t>(out.size() >> 8), static_cast<uint8_t>(out.size()), 0x00};
        Bytes r = card.process(cmd);
        if (swOf(r) != 0x9000 || r.size() == 2) break;
        Bytes d = dataOf(r);
        out.insert(out.end(), d.begin(), d.end());
    }
    return out;
}

}  // namespace

TEST(RigCards, Akis1FileSystemHoldsCertificatesWithGapsAndParsableDirectories) {
    Card card(Profile::Akis1);
    ASSERT_EQ(card.keys().size(), 2u);
    EXPECT_EQ(toHex(run(card, "00A40000023F0000")).substr(0, 4), "620A");
    EXPECT_EQ(swOf(run(card, "00A40000023F0000")), 0x9000);
    // No DF 3D10: the identity probe fails, and the failed SELECT keeps the MF.
    EXPECT_EQ(toHex(run(card, "00A40000023D1000")), "6A82");
    EXPECT_EQ(swOf(run(card, "00A40000023D0000")), 0x9000);

    for (int index = 0; index < 32; ++index) {
        Bytes cmd = fromHex("00A40200022F0000");
        cmd[6] = static_cast<uint8_t>(0x10 + index);
        Bytes r = card.process(cmd);
        if (index == 0 || index == 3) {
            ASSERT_EQ(swOf(r), 0x9000) << index;
            const cardsim::KeyMaterial& m = card.keys()[index == 0 ? 0 : 1];
            ASSERT_EQ(fcpSize(r), static_cast<int>(m.certificateDer.size()));
            EXPECT_EQ(readWhole(card, fcpSize(r)), m.certificateDer);
            EXPECT_TRUE(issuedBy(m.certificateDer, cardsim::testCa().certificatePem));
        } else {
            EXPECT_EQ(toHex(r), "6A82") << index;
        }
    }
    EXPECT_EQ(card.keys()[0].setup.type, cardsim::KeyType::Rsa2048);
    EXPECT_EQ(card.keys()[1].setup.type, cardsim::KeyType::EcP256);
    // The first serial needs a leading 00 in DER; serials differ.
    EXPECT_GE(card.keys()[0].setup.serial[0], 0x80);
    EXPECT_NE(card.keys()[0].serialDecimal, card.keys()[1].serialDecimal);

    // CDF: entry.at(3).at(0).at(3) is the serial INTEGER, entry.at(1).at(0) the iD.
    Bytes r = run(card, "00A40200022F0400");
    ASSERT_EQ(swOf(r), 0x9000);
    std::vector<Der> cdf = parseAll(readWhole(card, fcpSize(r)));
    ASSERT_EQ(cdf.size(), 2u);
    std::vector<Der> prkdf;
    r = run(card, "00A40200022F0100");
    ASSERT_EQ(swOf(r), 0x9000);
    prkdf = parseAll(readWhole(card, fcpSize(r)));
    ASSERT_EQ(prkdf.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        const cardsim::KeyMaterial& m = card.keys()[i];
        const Der& serial = cdf[i].at(3).at(0).at(3);
        EXPECT_EQ(serial.tag, 0x02);
        BIGNUM* bn = BN_bin2bn(serial.value.data(), static_cast<int>(serial.value.size()), nullptr);
        char* dec = BN_bn2dec(bn);
        EXPECT_EQ(std::string(dec), m.serialDecimal);
        OPENSSL_free(dec);
        BN_free(bn);
        EXPECT_EQ(cdf[i].at(1).at(0).encoding, concat(fromHex("0414"), m.keyId));
        // PrKDF: same iD, key reference last in CommonKeyAttributes.
        EXPECT_EQ(prkdf[i].tag, i == 0 ? 0x30 : 0xA0);
        EXPECT_EQ(prkdf[i].at(1).at(0).encoding, cdf[i].at(1).at(0).encoding);
        EXPECT_EQ(toHex(prkdf[i].at(1).children.back().encoding), i == 0 ? "020101" : "020102");
    }
    EXPECT_EQ(toHex(cdf[0].at(3).at(0).at(3).encoding).substr(0, 6), "020900");

    // The application answers to its DF name too.
    EXPECT_EQ(toHex(run(card, "00A4040007504B43532D313600")), "6A82");
    EXPECT_EQ(swOf(run(card, "00A4040007504B43532D313500")), 0x9000);
    EXPECT_EQ(swOf(run(card, "00A40200022F1000")), 0x9000);
}

TEST(RigCards, ProfilesDifferInTheirApplicationAndProbe) {
    Card akis2(Profile::Akis2);
    EXPECT_EQ(swOf(run(akis2, "00A40000023F0000")), 0x9000);
    EXPECT_EQ(swOf(run(akis2, "00A40000023D1000")), 0x9000);
    EXPECT_EQ(swOf(run(akis2, "00A40000023F0000")), 0x9000);
    EXPECT_EQ(toHex(run(akis2, "00A40000023D0000")), "6A82");
    EXPECT_EQ(swOf(run(akis2, "00A40000023D0100")), 0x9000);
    EXPECT_EQ(swOf(run(akis2, "00A40200022F1000")), 0x9000);

    Card id(Profile::IdentityCard);
    EXPECT_EQ(swOf(run(id, "00A40000023F0000")), 0x9000);
    EXPECT_EQ(swOf(run(id, "00A40000023D1000")), 0x9000);
    EXPECT_EQ(swOf(run(id, "00A40000023F0000")), 0x9000);
    EXPECT_EQ(swOf(run(id, "00A40000023D0000")), 0x9000);
    Bytes r = run(id, "00A40200022F1000");
    ASSERT_EQ(swOf(r), 0x9000);
    EXPECT_EQ(readWhole(id, fcpSize(r)), id.keys()[0].certificateDer);
    EXPECT_EQ(toHex(run(id, "00A40200022F0400")), "6A82");

    // A first-release card whose application sits at 3D01 (the fallback road).
    cardsim::CardOptions at3D01;
    at3D01.applicationDf = 0x3D01;
    Card moved(Profile::Akis1, at3D01);
    EXPECT_EQ(toHex(run(moved, "00A40000023D0000")), "6A82");
    EXPECT_EQ(swOf(run(moved, "00A40000023D0100")), 0x9000);
    EXPECT_EQ(swOf(run(moved, "00A40200022F0400")), 0x9000);
    EXPECT_EQ(moved.applicationDf(), (cardsim::FilePath{0x3D01}));

    EXPECT_NE(toHex(akis2.atr()), toHex(id.atr()));
    EXPECT_EQ(toHex(Card(Profile::Akis1).atr()), "3BBA11008131FE4D55454B41452056312E30AE");
    // Every ATR the cards offer carries a valid TCK (XOR of T0..TCK is 0).
    for (const Bytes& atr : {cardsim::defaultAtr(Profile::Akis1), cardsim::defaultAtr(Profile::Akis2),
                             cardsim::defaultAtr(Profile::IdentityCard), cardsim::unknownAtr()}) {
        uint8_t x = 0;
        for (size_t i = 1; i < atr.size(); ++i) x ^= atr[i];
        EXPECT_EQ(x, 0) << toHex(atr);
    }
}

TEST(RigCards, PinRetryCounterBlocksAndResets) {
    Card card(Profile::Akis1);
    EXPECT_EQ(toHex(run(card, "0020008100")), "63C3");  // status query, no try spent
    EXPECT_EQ(toHex(card.process(apdu("00200081", {'0', '0', '0', '0', '0', '0'}, false))), "63C2");
    EXPECT_EQ(card.pinTriesLeft(), 2);
    EXPECT_EQ(toHex(card.process(apdu("00200081", {'1', '2', '3', '4', '5', '6'}, false))), "9000");
    EXPECT_EQ(card.pinTriesLeft(), 3);
    EXPECT_TRUE(card.pinVerified());
    EXPECT_EQ(toHex(run(card, "0020008100")), "9000");
    EXPECT_EQ(toHex(card.process(apdu("00200081", {'9'}, false))), "63C2");
    EXPECT_FALSE(card.pinVerified());  // a wrong try drops the verified state
    EXPECT_EQ(toHex(card.process(apdu("00200081", {'9'}, false))), "63C1");
    EXPECT_EQ(toHex(card.process(apdu("00200081", {'9'}, false))), "63C0");
    EXPECT_TRUE(card.pinBlocked());
    // Blocked: even the right PIN is refused, with the blocked status word.
    EXPECT_EQ(toHex(card.process(apdu("00200081", {'1', '2', '3', '4', '5', '6'}, false))), "6984");
    card.setBlockedStatusWord(0x6983);
    EXPECT_EQ(toHex(card.process(apdu("00200081", {'1', '2', '3', '4', '5', '6'}, false))), "6983");
    // The security officer unblocks it with RESET RETRY COUNTER.
    EXPECT_EQ(toHex(card.process(apdu("002C0281", {'6', '5', '4', '3'}))), "6982");
    EXPECT_EQ(toHex(card.process(apdu("00200082", {'1', '2', '3', '4', '5', '6', '7', '8'}, false))), "9000");
    EXPECT_EQ(toHex(card.process(apdu("002C0281", {'6', '5', '4', '3'}))), "9000");
    EXPECT_EQ(card.pin(), "6543");
    EXPECT_EQ(toHex(card.process(apdu("00200081", {'6', '5', '4', '3'}, false))), "9000");
    // CHANGE REFERENCE DATA: old then new in one field.
    EXPECT_EQ(toHex(card.process(apdu("00240081", {'6', '5', '4', '3', '1', '1', '1', '1'}, false))), "9000");
    EXPECT_EQ(card.pin(), "1111");
    // Wrong reference.
    EXPECT_EQ(toHex(card.process(apdu("00200001", {'1', '1', '1', '1'}))), "6A88");

    // The PIN is the application DF's: leaving the DF ends its verified state,
    // unless the card is one that keeps it across DF selections.
    for (bool keeps : {false, true}) {
        cardsim::CardOptions options;
        options.pinSurvivesDfSelection = keeps;
        Card c(Profile::Akis1, options);
        run(c, "00A40000023D0000");
        EXPECT_EQ(toHex(c.process(apdu("00200081", {'1', '2', '3', '4', '5', '6'}, false))), "9000");
        run(c, "00A40200022F1000");  // a file inside the DF
        EXPECT_TRUE(c.pinVerified());
        run(c, "00A40000023F0000");
        EXPECT_EQ(c.pinVerified(), keeps);
        run(c, "00A40000023D0000");
        EXPECT_EQ(toHex(run(c, "0020008100")), keeps ? "9000" : "63C3");
    }

    Card id(Profile::IdentityCard);
    // The identity card's VERIFY references 01 and carries a trailing Le.
    EXPECT_EQ(toHex(id.process(apdu("00200001", {'1', '2', '3', '4', '5', '6'}))), "9000");
    EXPECT_EQ(toHex(id.process(apdu("00200081", {'1', '2', '3', '4', '5', '6'}))), "6A88");
}

TEST(RigCards, PinPadPlaceholderUsesTheKeypadEntry) {
    Card card(Profile::IdentityCard);
    const Bytes pinPad = fromHex("00200001" "06" "FFFFFFFFFFFF" "00");
    EXPECT_EQ(toHex(card.process(pinPad)), "9000");
    card.setKeypadEntry(std::string("000000"));
    EXPECT_EQ(toHex(card.process(pinPad)), "63C2");
    card.setKeypadEntry(std::nullopt);
    EXPECT_EQ(toHex(card.process(pinPad)), "9000");
    EXPECT_EQ(card.commandLog().front(), "0020000106FFFFFFFFFFFF00");
}

TEST(RigCards, Akis1SignsRsaAndEcdsaWithBothMseForms) {
    Card card(Profile::Akis1);
    const Bytes data = {'d', 'o', 'c', 'u', 'm', 'e', 'n', 't'};
    EXPECT_EQ(swOf(run(card, "00A40000023F0000")), 0x9000);
    EXPECT_EQ(swOf(run(card, "00A40000023D0000")), 0x9000);
    // Nothing signs before the PIN.
    EXPECT_EQ(toHex(run(card, "0022C30100")), "9000");
    EXPECT_EQ(toHex(card.process(apdu("002A9E9A", sha256DigestInfo(sha256(data))))), "6982");
    EXPECT_EQ(swOf(card.process(apdu("00200081", {'1', '2', '3', '4', '5', '6'}, false))), 0x9000);
    // Short MSE form with the RSA key.
    EXPECT_EQ(toHex(run(card, "0022C30100")), "9000");
    Bytes r = card.process(apdu("002A9E9A", sha256DigestInfo(sha256(data))));
    ASSERT_EQ(swOf(r), 0x9000);
    ASSERT_EQ(r.size(), 258u);
    Pkey rsa = publicKeyOfCertificate(card.keys()[0].certificateDer);
    EXPECT_TRUE(verifyRsaPkcs1Sha256(rsa.get(), data, dataOf(r)));
    EXPECT_FALSE(verifyRsaPkcs1Sha256(rsa.get(), Bytes{'x'}, dataOf(r)));
    // CRT form: RSA retry (92, key 80+1) and ECDSA retry (9B, key 80+2).
    EXPECT_EQ(toHex(run(card, "002241B606800192840181" "00")), "9000");
    r = card.process(apdu("002A9E9A", sha256DigestInfo(sha256(data))));
    EXPECT_TRUE(verifyRsaPkcs1Sha256(rsa.get(), data, dataOf(r)));
    EXPECT_EQ(toHex(run(card, "002241B60680019B840182" "00")), "9000");
    r = card.process(apdu("002A9E9A", sha256(data)));
    ASSERT_EQ(swOf(r), 0x9000);
    ASSERT_EQ(r.size(), 66u);  // r || s of P-256
    Pkey ec = publicKeyOfCertificate(card.keys()[1].certificateDer);
    EXPECT_TRUE(verifyEcdsaRawSha256(ec.get(), data, dataOf(r)));
    // Short form on the EC key selects ECDSA.
    EXPECT_EQ(toHex(run(card, "0022C30200")), "9000");
    r = card.process(apdu("002A9E9A", sha256(data)));
    EXPECT_TRUE(verifyEcdsaRawSha256(ec.get(), data, dataOf(r)));
    // Algorithm that does not fit the key, unknown key, failed MSE clears the environment.
    EXPECT_EQ(toHex(run(card, "002241B606800192840182" "00")), "6A80");
    EXPECT_EQ(toHex(card.process(apdu("002A9E9A", sha256(data)))), "6985");
    EXPECT_EQ(toHex(run(card, "0022C30900")), "6A88");
}

TEST(RigCards, IdentityCardSignsPkcs1AndPssAndRefusesOtherForms) {
    Card card(Profile::IdentityCard);
    const Bytes data = {'k', 'i', 'm', 'l', 'i', 'k'};
    Pkey key = publicKeyOfCertificate(card.keys()[0].certificateDer);
    EXPECT_EQ(swOf(card.process(apdu("00200001", {'1', '2', '3', '4', '5', '6'}))), 0x9000);
    EXPECT_EQ(toHex(run(card, "002A9E9A0100" "00")), "6985");  // no security environment
    EXPECT_EQ(toHex(run(card, "002241B606800192840181" "00")), "9000");
    Bytes r = card.process(apdu("002A9E9A", sha256DigestInfo(sha256(data))));
    EXPECT_TRUE(verifyRsaPkcs1Sha256(key.get(), data, dataOf(r)));
    EXPECT_EQ(toHex(run(card, "002241B606800191840181" "00")), "9000");
    r = card.process(apdu("002A9E9A", sha256(data)));
    ASSERT_EQ(swOf(r), 0x9000);
    EXPECT_TRUE(verifyRsaPssSha256(key.get(), data, dataOf(r)));
    EXPECT_FALSE(verifyRsaPkcs1Sha256(key.get(), data, dataOf(r)));
    EXPECT_EQ(toHex(run(card, "0022C30100")), "6A86");          // no short form
    EXPECT_EQ(toHex(run(card, "002241B60680019B840181" "00")), "6A80");  // no ECDSA on an RSA key

    Card akis2(Profile::Akis2);
    EXPECT_EQ(toHex(run(akis2, "0022C30100")), "6A86");
    EXPECT_EQ(swOf(akis2.process(apdu("00200081", {'1', '2', '3', '4', '5', '6'}, false))), 0x9000);
    EXPECT_EQ(toHex(run(akis2, "002241B606800192840181" "00")), "9000");
    r = akis2.process(apdu("002A9E9A", sha256DigestInfo(sha256(data))));
    Pkey k2 = publicKeyOfCertificate(akis2.keys()[0].certificateDer);
    EXPECT_TRUE(verifyRsaPkcs1Sha256(k2.get(), data, dataOf(r)));
}

TEST(RigCards, ChainingSplitsAnswersOverGetResponse) {
    Card card(Profile::IdentityCard);
    const Bytes data = {'c', 'h', 'a', 'i', 'n'};
    EXPECT_EQ(toHex(run(card, "00C0000000")), "6985");  // nothing pending
    card.setChaining(0x2A, 16);
    EXPECT_EQ(swOf(card.process(apdu("00200001", {'1', '2', '3', '4', '5', '6'}))), 0x9000);
    EXPECT_EQ(toHex(run(card, "002241B606800192840181" "00")), "9000");
    Bytes r = card.process(apdu("002A9E9A", sha256DigestInfo(sha256(data))));
    ASSERT_EQ(r.size(), 18u);
    EXPECT_EQ(toHex(Bytes(r.end() - 2, r.end())), "61F0");
    Bytes rest = run(card, "00C00000F0");
    ASSERT_EQ(swOf(rest), 0x9000);
    ASSERT_EQ(rest.size(), 242u);
    Pkey key = publicKeyOfCertificate(card.keys()[0].certificateDer);
    EXPECT_TRUE(verifyRsaPkcs1Sha256(key.get(), data, concat(dataOf(r), dataOf(rest))));

    // T=0 style: nothing in the first answer; 256 bytes waiting is 61 00;
    // GET RESPONSE pieces of at most 100 bytes keep 61xx going.
    card.setChaining(0x2A, 0, 100);
    r = card.process(apdu("002A9E9A", sha256DigestInfo(sha256(data))));
    EXPECT_EQ(toHex(r), "6100");
    Bytes all;
    Bytes piece = run(card, "00C0000000");
    EXPECT_EQ(toHex(Bytes(piece.end() - 2, piece.end())), "619C");
    all = concat(all, dataOf(piece));
    piece = run(card, "00C000009C");
    EXPECT_EQ(toHex(Bytes(piece.end() - 2, piece.end())), "6138");
    all = concat(all, dataOf(piece));
    piece = run(card, "00C0000038");
    EXPECT_EQ(swOf(piece), 0x9000);
    all = concat(all, dataOf(piece));
    EXPECT_TRUE(verifyRsaPkcs1Sha256(key.get(), data, all));
    // Another command drops what was pending.
    card.process(apdu("002A9E9A", sha256DigestInfo(sha256(data))));
    run(card, "00A40000023F0000");
    EXPECT_EQ(toHex(run(card, "00C0000000")), "6985");

    // SELECT with chaining: FCP through GET RESPONSE, as T=0 cards answer.
    card.setChaining(0xA4);
    r = run(card, "00A40000023F0000");
    EXPECT_EQ(toHex(r), "610C");
    EXPECT_EQ(toHex(run(card, "00C000000C")).substr(0, 4), "620A");
    card.clearChaining();
    EXPECT_EQ(swOf(run(card, "00A40000023F0000")), 0x9000);
}

TEST(RigCards, RulesRefuseAnswerShortAndCount) {
    Card card(Profile::Akis1);
    card.setRefusal(0xA4, 0x6982, 1);
    EXPECT_EQ(toHex(run(card, "00A40000023F0000")), "6982");
    EXPECT_EQ(swOf(run(card, "00A40000023F0000")), 0x9000);
    card.setRefusalFor(fromHex("00A40000023D00"), 0x6A82);
    EXPECT_EQ(toHex(run(card, "00A40000023D0000")), "6A82");
    EXPECT_EQ(toHex(run(card, "00A40000023D0000")), "6A82");
    card.clearRules();
    EXPECT_EQ(swOf(run(card, "00A40000023D0000")), 0x9000);
    card.setAnswerFor(fromHex("00B0"), fromHex("90"), 2);
    EXPECT_EQ(toHex(run(card, "00B0000000")), "90");
    EXPECT_EQ(toHex(run(card, "00B0000000")), "90");
    EXPECT_EQ(toHex(run(card, "00B0000000")), "6986");  // back to the card: no EF selected
    EXPECT_THROW(card.setAnswerFor(fromHex("00B0"), {}), std::invalid_argument);
    // Malformed and unknown commands.
    EXPECT_EQ(toHex(run(card, "00A4")), "6700");
    EXPECT_EQ(toHex(run(card, "00A40000033F0000")), "6700");   // Lc does not match
    EXPECT_EQ(toHex(run(card, "00EE000000")), "6D00");
    EXPECT_EQ(toHex(run(card, "A0A40000023F0000")), "6E00");
    // The log holds every exchange, the answers as sent.
    std::vector<cardsim::Exchange> log = card.apduLog();
    ASSERT_EQ(log.size(), 12u);
    EXPECT_EQ(log[0].commandHex(), "00A40000023F0000");
    EXPECT_EQ(log[0].responseHex(), "6982");
    card.clearApduLog();
    EXPECT_TRUE(card.apduLog().empty());
}

TEST(RigCards, ReadBinaryLimitsSizesAndEndOfFile) {
    Card card(Profile::IdentityCard);
    Bytes file(600);
    for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7);
    card.putFile({0x3D00, 0x2F10}, file);
    run(card, "00A40000023F0000");
    run(card, "00A40000023D0000");
    Bytes r = run(card, "00A40200022F1000");
    EXPECT_EQ(fcpSize(r), 600);
    EXPECT_EQ(dataOf(run(card, "00B0000000")), Bytes(file.begin(), file.begin() + 256));
    EXPECT_EQ(dataOf(run(card, "00B0010000")), Bytes(file.begin() + 256, file.begin() + 512));
    r = run(card, "00B0020000");  // Le 00: the 88 bytes left are a complete answer
    EXPECT_EQ(swOf(r), 0x9000);
    EXPECT_EQ(dataOf(r), Bytes(file.begin() + 512, file.end()));
    r = run(card, "00B0020060");  // explicit Le beyond the end
    EXPECT_EQ(swOf(r), 0x6282);
    EXPECT_EQ(dataOf(r).size(), 88u);
    EXPECT_EQ(toHex(run(card, "00B0025800")), "6B00");
    EXPECT_EQ(toHex(run(card, "00B0800000")), "6A82");  // short file identifier form
    card.setReadBinaryLimit(100);
    EXPECT_EQ(dataOf(run(card, "00B0000000")).size(), 100u);
    card.setReportedSize({0x3D00, 0x2F10}, 700);
    EXPECT_EQ(fcpSize(run(card, "00A40200022F1000")), 700);
    card.setFcpLimit(4);
    EXPECT_EQ(toHex(run(card, "00A40200022F1000")), "620E80029000");
}

TEST(RigCards, StorageWritesUnderThePin) {
    cardsim::CardOptions options;
    options.storageFile = true;
    Card card(Profile::Akis1, options);
    EXPECT_EQ(swOf(run(card, "00A4040007504B43532D313500")), 0x9000);
    Bytes r = run(card, "00A40200022F1100");
    ASSERT_EQ(swOf(r), 0x9000);
    EXPECT_EQ(fcpSize(r), 0);
    EXPECT_EQ(toHex(card.process(apdu("00D60000", {1, 2, 3}))), "6982");
    EXPECT_EQ(swOf(card.process(apdu("00200081", {'1', '2', '3', '4', '5', '6'}, false))), 0x9000);
    EXPECT_EQ(toHex(run(card, "00CA010400")), "1C009000");
    EXPECT_EQ(toHex(card.process(apdu("00D60000", Bytes(230, 0xAB)))), "9000");
    EXPECT_EQ(toHex(card.process(apdu("00D600E6", Bytes(40, 0xCD)))), "9000");
    Bytes stored = card.fileContent({0x3D00, 0x2F11});
    ASSERT_EQ(stored.size(), 270u);
    EXPECT_EQ(stored[229], 0xAB);
    EXPECT_EQ(stored[230], 0xCD);
    EXPECT_EQ(toHex(card.process(apdu("00D60200", {1}))), "6B00");  // beyond the end
    EXPECT_EQ(toHex(card.process(apdu("00D6010E", {0xEE}))), "9000");  // appending at the end
    EXPECT_EQ(card.fileContent({0x3D00, 0x2F11}).size(), 271u);
    // Certificate files written by the issuer are not writable.
    run(card, "00A40200022F1000");
    EXPECT_EQ(toHex(card.process(apdu("00D60000", {1}))), "6982");
    // The CDF is.
    run(card, "00A40200022F0400");
    EXPECT_EQ(toHex(card.process(apdu("00D60000", {0x30, 0x00}))), "9000");
    EXPECT_EQ(card.fileContent({0x3D00, 0x2F04})[0], 0x30);
    // Proprietary: card serial and key list.
    EXPECT_EQ(swOf(run(card, "801B001100")), 0x9000);
    EXPECT_EQ(dataOf(run(card, "801B001100")).size(), 8u);
    r = run(card, "801F000000");
    ASSERT_EQ(swOf(r), 0x9000);
    EXPECT_EQ(toHex(dataOf(r)), "0000040000" "01010000" "01011F00" "02020000" "02021F00");
    EXPECT_EQ(toHex(run(card, "801F000009")), "6C15");
}

TEST(RigCards, SuppliedKeysAndCertificatesAreUsed) {
    cardsim::KeySpec setup;
    setup.type = cardsim::KeyType::EcP256;
    setup.keyReference = 3;
    setup.certificateFile = 0x2F1A;
    setup.commonName = "SUPPLIED USER";
    setup.serial = {0x01, 0x02, 0x03};
    setup.cacheName = "rig-test-supplied";
    cardsim::CardOptions options;
    options.keys = {setup};
    Card first(Profile::Akis1, options);
    ASSERT_EQ(first.keys().size(), 1u);
    EXPECT_EQ(first.keys()[0].serialDecimal, "66051");
    EXPECT_TRUE(first.hasFile({0x3D00, 0x2F1A}));
    EXPECT_FALSE(first.hasFile({0x3D00, 0x2F10}));

    // The same key and certificate handed back in.
    cardsim::KeySpec again;
    again.privateKeyPem = first.keys()[0].privateKeyPem;
    again.certificateDer = first.keys()[0].certificateDer;
    again.keyReference = 1;
    options.keys = {again};
    Card second(Profile::Akis1, options);
    EXPECT_EQ(second.keys()[0].setup.type, cardsim::KeyType::EcP256);
    EXPECT_EQ(second.fileContent({0x3D00, 0x2F10}), first.keys()[0].certificateDer);
    EXPECT_EQ(second.keys()[0].keyId, first.keys()[0].keyId);

    // A certificate of another key is refused.
    again.certificateDer = Card(Profile::IdentityCard).keys()[0].certificateDer;
    options.keys = {again};
    EXPECT_THROW(Card(Profile::Akis1, options), std::invalid_argument);
    // Two keys on one file are refused.
    cardsim::KeySpec a, b;
    b.keyReference = 2;
    options.keys = {a, b};
    EXPECT_THROW(Card(Profile::Akis1, options), std::invalid_argument);

    // An expired certificate on request.
    cardsim::KeySpec old;
    old.validDays = -10;
    options.keys = {old};
    Card expired(Profile::IdentityCard, options);
    X509* cert = nullptr;
    const unsigned char* p = expired.keys()[0].certificateDer.data();
    cert = d2i_X509(nullptr, &p, static_cast<long>(expired.keys()[0].certificateDer.size()));
    ASSERT_NE(cert, nullptr);
    EXPECT_LT(X509_cmp_current_time(X509_get0_notAfter(cert)), 0);
    X509_free(cert);
}

TEST(RigCards, HexHelpers) {
    EXPECT_EQ(toHex({0x00, 0xA4, 0xFF}), "00A4FF");
    EXPECT_EQ(fromHex("00 a4 Ff"), (Bytes{0x00, 0xA4, 0xFF}));
    EXPECT_THROW(fromHex("0"), std::invalid_argument);
    EXPECT_THROW(fromHex("zz"), std::invalid_argument);
}
