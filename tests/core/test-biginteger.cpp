// BigInteger against OpenSSL's BIGNUM on random values of both signs, plus the
// documented edge behaviour of the decimal-text model.
#include "biginteger.h"

#include "core-random.h"
#include <climits>
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <stdexcept>
#include <string>

namespace {

struct Bn {
    BIGNUM* bn = BN_new();
    Bn() = default;
    Bn(const Bn&) = delete;
    ~Bn() { BN_free(bn); }
    std::string dec() const {
        char* d = BN_bn2dec(bn);
        std::string s(d);
        OPENSSL_free(d);
        return s;
    }
};

std::string text(const BigInteger& b) { return std::string(b); }

void randomBn(Bn& out, int maxBytes) {
    auto* rng = seededRandom();
    const int length = 1 + static_cast<int>(rng->bounded(static_cast<quint32>(maxBytes)));
    unsigned char bytes[64];
    for (int i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(rng->bounded(256));
    if (rng->bounded(8) == 0) bytes[0] = 0;
    BN_bin2bn(bytes, length, out.bn);
    BN_set_negative(out.bn, static_cast<int>(rng->bounded(2)));
}

}  // namespace

TEST(BigInteger, ArithmeticMatchesBignum) {
    BN_CTX* ctx = BN_CTX_new();
    auto* rng = seededRandom();
    for (int round = 0; round < 3000; ++round) {
        Bn a, b, r, q, rem;
        randomBn(a, 1 + static_cast<int>(rng->bounded(40)));
        randomBn(b, 1 + static_cast<int>(rng->bounded(40)));
        const BigInteger x(a.dec()), y(b.dec());
        ASSERT_EQ(text(x), a.dec());

        BN_add(r.bn, a.bn, b.bn);
        ASSERT_EQ(text(x + y), r.dec()) << a.dec() << " + " << b.dec();
        BN_sub(r.bn, a.bn, b.bn);
        ASSERT_EQ(text(x - y), r.dec()) << a.dec() << " - " << b.dec();
        BN_mul(r.bn, a.bn, b.bn, ctx);
        ASSERT_EQ(text(x * y), r.dec()) << a.dec() << " * " << b.dec();

        const int cmp = BN_cmp(a.bn, b.bn);
        ASSERT_EQ(x < y, cmp < 0) << a.dec() << " < " << b.dec();
        ASSERT_EQ(x > y, cmp > 0);
        ASSERT_EQ(x == y, cmp == 0);
        ASSERT_EQ(x <= y, cmp <= 0);
        ASSERT_EQ(x >= y, cmp >= 0);
        ASSERT_EQ(x != y, cmp != 0);

        if (BN_is_zero(b.bn)) {
            EXPECT_THROW(x / y, std::domain_error);
            continue;
        }
        // Truncating division on magnitudes; quotient and remainder both take
        // the exclusive-or of the signs.
        BN_div(q.bn, rem.bn, a.bn, b.bn, ctx);
        const bool negative = BN_is_negative(a.bn) != BN_is_negative(b.bn);
        BN_set_negative(q.bn, negative && !BN_is_zero(q.bn));
        BN_set_negative(rem.bn, negative && !BN_is_zero(rem.bn));
        ASSERT_EQ(text(x / y), q.dec()) << a.dec() << " / " << b.dec();
        ASSERT_EQ(text(x % y), rem.dec()) << a.dec() << " % " << b.dec();
    }
    BN_CTX_free(ctx);
}

TEST(BigInteger, DivisionScratchFollowsDividendAndZeroThrows) {
    // A dividend of 12000 digits: longer than any fixed scratch text.
    std::string digits(12000, '7');
    const BigInteger big(digits);
    const BigInteger q = big / BigInteger(7);
    EXPECT_EQ(q.getNumber(), std::string(12000, '1'));
    EXPECT_EQ(text(big % BigInteger(7)), "0");
    EXPECT_EQ((q * BigInteger(7)).getNumber(), digits);

    EXPECT_THROW(BigInteger(5) / BigInteger(0), std::domain_error);
    EXPECT_THROW(BigInteger(5) % BigInteger(0), std::domain_error);
    EXPECT_THROW(BigInteger(5) / BigInteger("000"), std::domain_error);
    BigInteger v(9);
    EXPECT_THROW(v /= BigInteger(0), std::domain_error);
    EXPECT_EQ(text(v), "9");  // unchanged by the failed division

    // Divisors beyond 64 bits take the long road.
    const BigInteger n("340282366920938463463374607431768211457");  // 2^128 + 1
    const BigInteger d("18446744073709551616");                     // 2^64
    EXPECT_EQ(text(n / d), "18446744073709551616");
    EXPECT_EQ(text(n % d), "1");
}

TEST(BigInteger, ConstructionAndText) {
    EXPECT_EQ(text(BigInteger()), "0");
    EXPECT_FALSE(BigInteger().getSign());
    EXPECT_TRUE(BigInteger(0) == BigInteger());
    const BigInteger m12("-12");
    EXPECT_EQ(m12.getNumber(), "12");
    EXPECT_TRUE(m12.getSign());
    EXPECT_EQ(text(m12), "-12");
    EXPECT_EQ(text(BigInteger("+12")), "12");
    EXPECT_EQ(text(BigInteger("x12")), "12");
    EXPECT_TRUE(BigInteger(-5).getSign());
    EXPECT_EQ(BigInteger(-5).getNumber(), "5");
    EXPECT_EQ(text(BigInteger(INT_MIN)), "-2147483648");
    EXPECT_EQ(BigInteger("007").getNumber().size(), 3u);
    EXPECT_FALSE(BigInteger("007") == BigInteger(7));
    EXPECT_FALSE(BigInteger("5", true) == BigInteger(5));
    EXPECT_FALSE(BigInteger("-0") == BigInteger(0));
    EXPECT_THROW(BigInteger{std::string()}, std::out_of_range);
    EXPECT_EQ(text(BigInteger("-7").absolute()), "7");
    BigInteger s;
    s.setNumber("42");
    s.setSign(true);
    EXPECT_EQ(text(s), "-42");
    EXPECT_EQ(&s[0], &s);
}

TEST(BigInteger, DocumentedArithmetic) {
    EXPECT_EQ(text(BigInteger(999) + BigInteger(1)), "1000");
    EXPECT_EQ(text(BigInteger(1000) - BigInteger(1)), "999");
    EXPECT_EQ(text(BigInteger(5) + BigInteger(-5)), "0");
    EXPECT_FALSE((BigInteger(-5) + BigInteger(5)).getSign());
    EXPECT_EQ(text(BigInteger(3) + BigInteger(-10)), "-7");
    EXPECT_EQ(text(BigInteger(-3) + BigInteger(10)), "7");
    EXPECT_EQ(text(BigInteger(0) * BigInteger(-7)), "0");
    EXPECT_FALSE((BigInteger(0) * BigInteger(-7)).getSign());
    EXPECT_EQ(text(BigInteger(-4) * BigInteger(3)), "-12");
    EXPECT_EQ(text(BigInteger(-4) * BigInteger(-3)), "12");
    EXPECT_EQ(text(BigInteger(12) * BigInteger(34)), "408");
    EXPECT_EQ(text(BigInteger(7) / BigInteger(2)), "3");
    EXPECT_EQ(text(BigInteger(-7) / BigInteger(2)), "-3");
    EXPECT_EQ(text(BigInteger(7) / BigInteger(-2)), "-3");
    EXPECT_EQ(text(BigInteger(1) / BigInteger(5)), "0");
    EXPECT_FALSE((BigInteger(-1) / BigInteger(5)).getSign());
    EXPECT_EQ(text(BigInteger(65535) / BigInteger(256)), "255");
    EXPECT_EQ(text(BigInteger(65535) % BigInteger(256)), "255");
    EXPECT_EQ(text(BigInteger(6) % BigInteger(-3)), "0");
    EXPECT_EQ(text(BigInteger(7) % BigInteger(-3)), "-1");
    EXPECT_EQ(text(BigInteger(-7) % BigInteger(3)), "-1");
    EXPECT_EQ(text(BigInteger(-7) % BigInteger(-3)), "1");
    EXPECT_TRUE(BigInteger(10) > BigInteger(9));
    EXPECT_TRUE(BigInteger(-10) < BigInteger(-9));
    EXPECT_TRUE(BigInteger(-1) < BigInteger(0));
    EXPECT_TRUE(BigInteger(12) < BigInteger(13));
    EXPECT_TRUE(BigInteger(-13) < BigInteger(-12));

    BigInteger i(-1);
    EXPECT_EQ(text(++i), "0");
    EXPECT_FALSE(i.getSign());
    const BigInteger old = i++;
    EXPECT_EQ(text(old), "0");
    EXPECT_EQ(text(i), "1");
    EXPECT_EQ(text(i--), "1");
    EXPECT_EQ(text(--i), "-1");
    EXPECT_EQ(text(-BigInteger(0)), "0");
    EXPECT_FALSE((-BigInteger(0)).getSign());
    EXPECT_EQ(text(-BigInteger(4)), "-4");

    BigInteger acc(10);
    acc += BigInteger(5);
    acc -= BigInteger(20);
    acc *= BigInteger(-3);
    EXPECT_EQ(text(acc), "15");
    acc /= BigInteger(4);
    EXPECT_EQ(text(acc), "3");
    acc %= BigInteger(2);
    EXPECT_EQ(text(acc), "1");

    // Outside the digit model nothing is defined, but nothing may crash.
    const std::string odd[] = {"", "-", "abc", "00012", "9x9"};
    for (const std::string& a : odd)
        for (const std::string& b : odd) {
            const BigInteger x(a, false), y(b, true);
            (void)std::string(x + y);
            (void)std::string(x - y);
            (void)std::string(x * y);
            try {
                (void)std::string(x / y);
                (void)std::string(x % y);
            } catch (const std::domain_error&) {
            }
            (void)(x < y);
        }
}

TEST(BigInteger, BytesToDecimal) {
    using tev::quessel::cades::buildBigIntegerFromByteArray;
    EXPECT_EQ(buildBigIntegerFromByteArray(QByteArray()), "0");
    EXPECT_EQ(buildBigIntegerFromByteArray(QByteArray(1, '\0')), "0");
    EXPECT_EQ(buildBigIntegerFromByteArray(QByteArray::fromHex("0100")), "256");
    EXPECT_EQ(buildBigIntegerFromByteArray(QByteArray::fromHex("0080")), "128");
    EXPECT_EQ(buildBigIntegerFromByteArray(QByteArray::fromHex("FFFF")), "65535");
    EXPECT_EQ(buildBigIntegerFromByteArray(QByteArray(32, '\xFF')),
              "115792089237316195423570985008687907853269984665640564039457584007913129639935");

    auto* rng = seededRandom();
    Bn bn;
    for (int round = 0; round < 300; ++round) {
        QByteArray bytes;
        const int length = 1 + static_cast<int>(rng->bounded(66));
        for (int i = 0; i < length; ++i) bytes += static_cast<char>(rng->bounded(256));
        BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes.constData()), length, bn.bn);
        ASSERT_EQ(buildBigIntegerFromByteArray(bytes), bn.dec()) << bytes.toHex().toStdString();
    }

    BigInteger b("-1");
    b.fromBinaryData("A\0B");
    EXPECT_EQ(b.getNumber(), "65");
    EXPECT_TRUE(b.getSign());
    b.fromBinaryData("");
    EXPECT_EQ(b.getNumber(), "0");
    BigInteger c;
    c.fromBinaryData("\x01\x00");
    EXPECT_EQ(c.getNumber(), "1");
    c.fromBinaryData("\xFF\xFF");
    EXPECT_EQ(c.getNumber(), "65535");
}
