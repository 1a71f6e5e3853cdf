// DER encoder against OpenSSL's i2d, the encoder's fixed vectors, and the
// element-tree decoder on good, cut-short, hostile and random text.
#include "tev-asn1.h"

#include "test-support.h"

#include <QDateTime>
#include <QFile>
#include "core-random.h"
#include <QTimeZone>
#include <climits>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/objects.h>

using namespace tev::asn1;

namespace {

QString hexOfDer(const unsigned char* der, int length) {
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(der), length).toHex().toUpper());
}

QString opensslIntegerDer(const BIGNUM* bn) {
    ASN1_INTEGER* ai = BN_to_ASN1_INTEGER(bn, nullptr);
    unsigned char* der = nullptr;
    const int n = i2d_ASN1_INTEGER(ai, &der);
    QString hex = hexOfDer(der, n);
    OPENSSL_free(der);
    ASN1_INTEGER_free(ai);
    return hex;
}

QString opensslOidDer(const char* dotted) {
    ASN1_OBJECT* obj = OBJ_txt2obj(dotted, 1);
    if (!obj) return {};
    unsigned char* der = nullptr;
    const int n = i2d_ASN1_OBJECT(obj, &der);
    QString hex = hexOfDer(der, n);
    OPENSSL_free(der);
    ASN1_OBJECT_free(obj);
    return hex;
}

std::unique_ptr<ASN1Element> parse(const QString& text, bool children = true) {
    std::unique_ptr<ASN1Element> root(new ASN1Element());
    QString t = text;
    EXPECT_EQ(decodeASN1Element(&t, root.get(), children), 0);
    return root;
}

// Structural invariants of a parsed tree; returns the number of elements.
int checkTree(const ASN1Element* e, int textDigits) {
    int count = 1;
    EXPECT_GE(e->tag, 0);
    EXPECT_LE(e->tag, 255);
    EXPECT_LE(e->value->size(), textDigits);
    if (!e->children) return count;
    EXPECT_FALSE(e->isPrimitive);
    for (const ASN1Element* c : *e->children) {
        EXPECT_EQ(c->parent, e);
        EXPECT_EQ(c->depth, e->depth + 1);
        count += checkTree(c, e->value->size());
    }
    return count;
}

}  // namespace

TEST(DerEncoder, HexWritersAndLengths) {
    EXPECT_EQ(tev::encoding::intToHexStr(255), "FF");
    EXPECT_EQ(tev::encoding::intToHexStr(256), "00");
    EXPECT_EQ(tev::encoding::intToHexStr(10), "0A");
    EXPECT_EQ(tev::encoding::intToHexStr(49), "31");
    EXPECT_EQ(tev::encoding::binToHexStr(std::string("\x00\xAB\xFF", 3)), "00ABFF");
    EXPECT_EQ(tev::encoding::binToHexStr(""), "");

    const std::pair<unsigned long, const char*> lengths[] = {
        {0, "00"},           {127, "7F"},           {128, "8180"},           {255, "81FF"},
        {256, "820100"},     {65535, "82FFFF"},     {65536, "83010000"},     {16777215, "83FFFFFF"},
        {16777216, "8401000000"}, {0xFFFFFFFFUL, "84FFFFFFFF"}};
    for (const auto& l : lengths) EXPECT_EQ(integerTo7Bit(l.first), l.second) << l.first;

    EXPECT_EQ(integerToOIDFormat(0), "00");
    EXPECT_EQ(integerToOIDFormat(127), "7F");
    EXPECT_EQ(integerToOIDFormat(128), "8100");
    EXPECT_EQ(integerToOIDFormat(840), "8648");
    EXPECT_EQ(integerToOIDFormat(113549), "86F70D");
    EXPECT_EQ(integerToOIDFormat(16384), "818000");
    EXPECT_EQ(integerToOIDFormat(ULONG_MAX), "81FFFFFFFFFFFFFFFF7F");  // ten octets
}

// Also run under desktop locales with other digits (see CMakeLists.txt).
TEST(DerEncoder, FixedElements) {
    ASSERT_TRUE(corvane::test::requestedLocaleInEffect());
    EXPECT_EQ(encodeInteger(0), "020100");
    EXPECT_EQ(encodeInteger(3), "020103");
    EXPECT_EQ(encodeInteger(128), "02020080");
    EXPECT_EQ(encodeInteger(std::string("256")), "02020100");
    EXPECT_EQ(encodeInteger(std::string("18446744073709551616")), "0209010000000000000000");
    EXPECT_EQ(encodeInteger(std::string("0000")), "020100");
    EXPECT_EQ(encodeInteger(std::string("+5")), "020105");
    EXPECT_EQ(integerToBase256(1), "01");
    EXPECT_EQ(integerToBase256(127), "7F");
    EXPECT_EQ(integerToBase256(255), "00FF");
    EXPECT_EQ(integerToBase256(256), "0100");
    EXPECT_EQ(integerToBase256(-1), "FF");
    EXPECT_EQ(integerToBase256(-128), "80");
    EXPECT_EQ(integerToBase256(-129), "FF7F");
    EXPECT_EQ(integerToBase256(INT_MIN), "80000000");
    EXPECT_EQ(integerToBase256(std::string("-256")), "FF00");
    EXPECT_EQ(integerToBase256(std::string("-32768")), "8000");
    EXPECT_THROW(encodeInteger(std::string("")), std::out_of_range);
    EXPECT_THROW(encodeInteger(std::string("12a4")), std::invalid_argument);
    EXPECT_THROW(encodeInteger(std::string("-")), std::invalid_argument);

    EXPECT_EQ(encodeBoolean(true), "0101FF");
    EXPECT_EQ(encodeBoolean(false), "010100");
    EXPECT_EQ(encodeNull(), "0500");
    EXPECT_EQ(encodeOctetString(QByteArray("\xAB", 1)), "0401ab");
    EXPECT_EQ(encodeOctetString(QByteArray()), "0400");
    EXPECT_TRUE(encodeOctetString(QByteArray(200, 'x')).startsWith("0481C8"));
    char raw[] = "ab\0cd";
    EXPECT_EQ(encodeOctetString(raw), "04026162");

    EXPECT_EQ(encodeSequence(static_cast<const QString*>(nullptr), 0), "3000");
    EXPECT_EQ(encodeSequence(QString("0201010401ab")), "30060201010401ab");
    const QString parts[] = {"020101", "0401ab"};
    EXPECT_EQ(encodeSequence(parts, 2), "30060201010401ab");
    EXPECT_EQ(encodeSequenceOf({"020101", "0401ab"}), "30060201010401ab");
    EXPECT_EQ(encodeSet(QString("0500")), "31020500");
    EXPECT_EQ(encodeSet(parts, 1), "3103020101");
    EXPECT_EQ(encodeTag(0, QString("0500")), "A0020500");
    EXPECT_TRUE(encodeTag(4, QList<QString>{"0500"}).startsWith("A4"));
    EXPECT_EQ(encodeTag(1, parts, 2), "A1060201010401ab");

    EXPECT_EQ(encodeUTF8String(QString(QChar(0x015F))), "0C02c59f");
    EXPECT_TRUE(encodeIA5String(QString(130, 'a')).startsWith("168182"));
    EXPECT_EQ(encodePrintableString("AB"), "13024142");

    const QDateTime t(QDate(2024, 3, 5), QTime(14, 7, 9), Qt::UTC);
    EXPECT_EQ(encodeUTCTime(t), "170D3234303330353134303730395a");
    EXPECT_EQ(encodeGeneralizedTime(t), "180F32303234303330353134303730395a");
    // No conversion: the value's own clock fields are written.
    const QDateTime local(QDate(2024, 3, 5), QTime(14, 7, 9), QTimeZone(3 * 3600));
    EXPECT_EQ(encodeUTCTime(local), "170D3234303330353134303730395a");

    // DigestInfo of SHA-256 as the PKCS#1 signing path builds it.
    const QString algorithm = encodeSequenceOf({encodeObjectIdentifier({2, 16, 840, 1, 101, 3, 4, 2, 1}), encodeNull()});
    const QString digestInfo = encodeSequenceOf({algorithm, encodeOctetString(QByteArray(32, '\0'))});
    EXPECT_TRUE(digestInfo.toUpper().startsWith("3031300D060960864801650304020105000420"));
}

TEST(DerEncoder, IntegersMatchOpenSsl) {
    auto* rng = seededRandom();
    BIGNUM* bn = BN_new();
    for (int round = 0; round < 4000; ++round) {
        const int length = 1 + static_cast<int>(rng->bounded(20));
        unsigned char bytes[20];
        for (int i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(rng->bounded(256));
        // Some values with leading zero octets and some with the top bit set.
        if (round % 7 == 0) bytes[0] = 0;
        if (round % 5 == 0) bytes[0] |= 0x80;
        BN_bin2bn(bytes, length, bn);
        BN_set_negative(bn, round % 2);
        char* dec = BN_bn2dec(bn);
        const std::string decimal(dec);
        OPENSSL_free(dec);
        ASSERT_EQ(encodeInteger(decimal).toUpper(), opensslIntegerDer(bn)) << decimal;
    }
    // The int form over the whole int range, signs included.
    for (int round = 0; round < 4000; ++round) {
        int value = static_cast<int>(rng->generate());
        if (round % 3 == 0) value >>= rng->bounded(31);
        BN_set_word(bn, static_cast<BN_ULONG>(value < 0 ? -static_cast<long long>(value) : value));
        BN_set_negative(bn, value < 0);
        ASSERT_EQ(encodeInteger(value), opensslIntegerDer(bn)) << value;
    }
    for (int value : {0, 1, -1, 127, 128, -128, -129, 255, 256, 32767, 32768, -32768, -32769, INT_MAX, INT_MIN}) {
        BN_set_word(bn, static_cast<BN_ULONG>(value < 0 ? -static_cast<long long>(value) : value));
        BN_set_negative(bn, value < 0);
        EXPECT_EQ(encodeInteger(value), opensslIntegerDer(bn)) << value;
        EXPECT_EQ(encodeInteger(std::to_string(value)), opensslIntegerDer(bn)) << value;
    }
    BN_free(bn);
}

TEST(DerEncoder, ObjectIdentifiersMatchOpenSsl) {
    const char* oids[] = {
        "1.2.840.113549.1.1.11", "2.16.840.1.101.3.4.2.1", "2.16.840.1.101.3.4.2.2", "1.2.840.113549.1.9.16.2.47",
        "1.2.840.113549.1.9.3",  "1.2.840.113549.1.9.4",   "1.2.840.113549.1.9.5",   "1.2.840.113549.1.7.2",
        "1.2.840.10045.4.3.2",   "1.3.6.1.5.5.7.48.1",     "2.5.4.3",                "2.5.29.31",
        "0.9.2342.19200300.100.1.1", "2.16.792.1.61.0.1.5070.1.1", "1.3.6.1.4.1.311.21.20", "1.0",
        "0.0",                   "2.0",                    "2.39.1",                 "2.40",
        "2.999.3",               "2.2147483567",           "1.39.0.127.128.16383.16384.2097151.2097152",
        "1.2.2147483647",        "1.3.14.3.2.26"};
    for (const char* dotted : oids) {
        QList<int> arcs;
        for (const QString& a : QString(dotted).split('.')) arcs << a.toInt();
        const QString expected = opensslOidDer(dotted);
        ASSERT_FALSE(expected.isEmpty()) << dotted;
        EXPECT_EQ(encodeObjectIdentifier(arcs), expected) << dotted;
    }
    EXPECT_EQ(encodeObjectIdentifier({1, 2, 840, 113549, 1, 1, 11}), "06092A864886F70D01010B");
    EXPECT_EQ(encodeObjectIdentifier({2, 16, 840, 1, 101, 3, 4, 2, 1}), "0609608648016503040201");
    EXPECT_EQ(encodeObjectIdentifier({1, 2, 0}), "06022A00");
    EXPECT_EQ(encodeObjectIdentifier({1, 2, 128}), "06032A8100");
}

TEST(DerDecoder, DocumentedShapes) {
    auto e = parse("3000");
    EXPECT_EQ(e->tag, 0x30);
    EXPECT_EQ(*e->lengthHex, "00");
    EXPECT_EQ(e->length, 0u);
    EXPECT_TRUE(e->value->isEmpty());
    EXPECT_FALSE(e->isPrimitive);
    EXPECT_EQ(e->children, nullptr);

    e = parse("0500");
    EXPECT_EQ(e->tag, 0x05);
    EXPECT_TRUE(e->isPrimitive);
    EXPECT_EQ(e->children, nullptr);

    e = parse("30060201010401ab");
    ASSERT_NE(e->children, nullptr);
    ASSERT_EQ(e->children->size(), 2);
    const ASN1Element* a = e->children->at(0);
    const ASN1Element* b = e->children->at(1);
    EXPECT_EQ(a->tag, 0x02);
    EXPECT_EQ(*a->value, "01");
    EXPECT_EQ(b->tag, 0x04);
    EXPECT_EQ(*b->value, "ab");
    EXPECT_EQ(a->depth, 1);
    EXPECT_EQ(b->depth, 1);
    EXPECT_EQ(a->parent, e.get());
    EXPECT_EQ(b->parent, e.get());
    EXPECT_EQ(a->children, nullptr);
    EXPECT_EQ(b->children, nullptr);

    e = parse("308103020105");
    EXPECT_EQ(*e->lengthHex, "8103");
    EXPECT_EQ(e->length, 3u);
    EXPECT_EQ(*e->value, "020105");
    ASSERT_NE(e->children, nullptr);
    EXPECT_EQ(e->children->size(), 1);
    QString out;
    EXPECT_EQ(encodeASN1Element(e.get(), &out), 0);
    EXPECT_EQ(out, "3003020105");

    e = parse("A003020101");
    EXPECT_FALSE(e->isPrimitive);
    ASSERT_NE(e->children, nullptr);
    ASSERT_EQ(e->children->size(), 1);
    EXPECT_EQ(*e->children->at(0)->value, "01");

    e = parse("2403040100");
    EXPECT_TRUE(e->isPrimitive);
    EXPECT_EQ(*e->value, "040100");
    EXPECT_EQ(e->children, nullptr);

    e = parse("3080");
    EXPECT_EQ(*e->lengthHex, "80");
    EXPECT_EQ(e->length, 0u);
    EXPECT_EQ(e->children, nullptr);

    e = parse("300702010130020500");
    ASSERT_NE(e->children, nullptr);
    ASSERT_EQ(e->children->size(), 2);
    const ASN1Element* inner = e->children->at(1);
    ASSERT_NE(inner->children, nullptr);
    ASSERT_EQ(inner->children->size(), 1);
    EXPECT_EQ(inner->children->at(0)->tag, 0x05);
    EXPECT_EQ(inner->children->at(0)->depth, 2);

    e = parse("30060201010401ab", false);
    EXPECT_EQ(e->children, nullptr);

    e = parse("3005020101");
    EXPECT_EQ(*e->value, "020101");
    EXPECT_EQ(e->length, 5u);

    e = parse("");
    EXPECT_EQ(e->tag, 0);
    e = parse("zz00");
    EXPECT_EQ(e->tag, 0);

    unsigned long length = 1;
    QString lengthText;
    QString text = "3082012C";
    EXPECT_EQ(getASN1Length(&text, &length, &lengthText), 0);
    EXPECT_EQ(length, 300u);
    EXPECT_EQ(lengthText, "82012C");
    text = "3082FF";  // cut short: the missing octet counts as 0
    getASN1Length(&text, &length, &lengthText);
    EXPECT_EQ(length, 0xFF00u);
    EXPECT_EQ(lengthText, "82FF");
}

TEST(DerDecoder, HostileLengthsEndAtOnce) {
    // A declared length far beyond the text: the walk is bounded by what is there.
    auto e = parse("3084FFFFFFFF020101");
    EXPECT_EQ(e->length, 0xFFFFFFFFu);
    EXPECT_EQ(*e->value, "020101");
    ASSERT_NE(e->children, nullptr);
    ASSERT_EQ(e->children->size(), 1);
    EXPECT_EQ(*e->children->at(0)->value, "01");

    e = parse("3088FFFFFFFFFFFFFFFF0500");
    EXPECT_EQ(e->length, 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(*e->value, "0500");
    ASSERT_NE(e->children, nullptr);
    EXPECT_EQ(e->children->size(), 1);

    // More than 8 length octets is malformed.
    e = parse("3089010000000000000000020101");
    EXPECT_EQ(e->length, 0u);
    EXPECT_EQ(*e->lengthHex, "89");
    EXPECT_TRUE(e->value->isEmpty());
    EXPECT_EQ(e->children, nullptr);
    e = parse("30FF0500");
    EXPECT_EQ(e->length, 0u);
    EXPECT_EQ(e->children, nullptr);

    // Children that each claim the rest of the text.
    e = parse("3084FFFFFFFF3084FFFFFFFF3084FFFFFFFF");
    EXPECT_EQ(checkTree(e.get(), 36), 3);

    // Very deep nesting ends without exhausting the stack.
    QString deep;
    for (int i = 0; i < 20000; ++i) deep += "3084FFFFFFFF";
    e = parse(deep);
    EXPECT_GT(checkTree(e.get(), deep.size()), 10);

    // Many siblings: each one advances the walk.
    QString wide = "3084FFFFFFFF";
    for (int i = 0; i < 20000; ++i) wide += "0500";
    e = parse(wide);
    ASSERT_NE(e->children, nullptr);
    EXPECT_EQ(e->children->size(), 20000);

    // Reusing a record replaces what it held.
    QString again = "3003020105";
    EXPECT_EQ(decodeASN1Element(&again, e.get(), false), 0);
    EXPECT_EQ(e->children, nullptr);
    EXPECT_EQ(*e->value, "020105");
}

TEST(DerDecoder, RoundTripOfOwnEncodings) {
    const QString cert = encodeSequenceOf(
        {encodeTag(0, encodeInteger(2)), encodeInteger(std::string("123456789012345678901234567890")),
         encodeSequenceOf({encodeObjectIdentifier({1, 2, 840, 113549, 1, 1, 11}), encodeNull()}),
         encodeSet(encodeSequenceOf({encodeObjectIdentifier({2, 5, 4, 3}), encodeUTF8String("Şahin İğde")})),
         encodeOctetString(QByteArray(300, 'z'))});
    auto root = parse(cert);
    ASSERT_NE(root->children, nullptr);
    ASSERT_EQ(root->children->size(), 5);
    EXPECT_EQ(checkTree(root.get(), cert.size()), 12);
    QString rebuilt;
    encodeASN1Element(root.get(), &rebuilt);
    EXPECT_EQ(rebuilt, cert);
    // Each element written back gives its own text inside the whole.
    std::function<void(const ASN1Element*)> each = [&](const ASN1Element* e) {
        QString one;
        encodeASN1Element(const_cast<ASN1Element*>(e), &one);
        EXPECT_TRUE(cert.contains(one)) << one.toStdString();
        if (e->children)
            for (const ASN1Element* c : *e->children) each(c);
    };
    each(root.get());
}

TEST(DerDecoder, RandomInputNeverCrashesOrSpins) {
    auto* rng = seededRandom();
    const char digits[] = "0123456789ABCDEFabcdef";
    const QString seeds[] = {"30060201010401ab", "300702010130020500", "A003020101", "3084FFFFFFFF020101",
                             "308103020105", "3182000431020500"};
    long elements = 0;
    for (int round = 0; round < 30000; ++round) {
        QString text;
        const int mode = round % 3;
        if (mode == 0) {
            // Uniform hex digits, odd lengths included.
            const int length = static_cast<int>(rng->bounded(120));
            for (int i = 0; i < length; ++i) text += QChar(digits[rng->bounded(22)]);
        } else if (mode == 1) {
            // Octets biased towards constructed tags and long-form lengths.
            const int octets = static_cast<int>(rng->bounded(60));
            const unsigned char likely[] = {0x30, 0x31, 0xA0, 0xA1, 0x80, 0x81, 0x82, 0x84, 0x88, 0x89, 0xFF, 0x00, 0x02, 0x04};
            for (int i = 0; i < octets; ++i) {
                const unsigned v = rng->bounded(3) ? likely[rng->bounded(14)] : rng->bounded(256);
                text += QString("%1").arg(v, 2, 16, QChar('0'));
            }
        } else {
            // Valid text with a few digits flipped, cut or replaced by junk.
            text = seeds[rng->bounded(6)];
            for (int flips = static_cast<int>(rng->bounded(4)); flips > 0 && !text.isEmpty(); --flips)
                text[static_cast<int>(rng->bounded(static_cast<quint32>(text.size())))] = QChar(digits[rng->bounded(22)]);
            if (rng->bounded(2)) text.truncate(static_cast<int>(rng->bounded(static_cast<quint32>(text.size()) + 1)));
            if (rng->bounded(4) == 0) text += QString::fromUtf8("zq \xC3\xA7");
        }
        std::unique_ptr<ASN1Element> root(new ASN1Element());
        ASSERT_EQ(decodeASN1Element(&text, root.get(), true), 0);
        elements += checkTree(root.get(), text.size());
        QString out;
        encodeASN1Element(root.get(), &out);
        unsigned long length = 0;
        QString lengthText;
        getASN1Length(&text, &length, &lengthText);
        EXPECT_LE(lengthText.size(), 18);
    }
    EXPECT_GT(elements, 30000);
}

TEST(DerDecoder, DecodeFileLogsFirstOctet) {
    const QString path = corvane::test::privateFolder() + "/pkcs15.der";
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray::fromHex("a0030201ff"));
    }
    corvane::test::clearLog();
    decodeFile(path.toUtf8().constData());
    const std::string log = corvane::test::readLog();
    EXPECT_NE(log.find("asn1 : Processing file " + path.toStdString()), std::string::npos) << log;
    EXPECT_NE(log.find("asn1 : First item: A0"), std::string::npos) << log;
    EXPECT_NE(log.find("asn1 : Completed processing of file"), std::string::npos) << log;
    decode("3000");  // no-op
}
