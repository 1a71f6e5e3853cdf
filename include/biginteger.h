// Signed integer of unbounded size held as decimal text; used for certificate
// serial numbers and the halves of ECDSA signature values.
#pragma once

#include <QByteArray>
#include <string>
#include <utility>

class BigInteger {
public:
    BigInteger();                              // "0", not negative
    // A leading decimal digit: the whole text is the digit string. Otherwise
    // the first character is dropped and the value is negative exactly when it
    // was '-'. Throws std::out_of_range for an empty text.
    BigInteger(std::string text);
    BigInteger(std::string digits, bool negative);
    BigInteger(int value);

    void setNumber(std::string digits);
    std::string& getNumber();
    const std::string& getNumber() const;
    void setSign(bool negative);
    bool& getSign();
    const bool& getSign() const;

    BigInteger absolute() const;

    // Replaces the digit string with the decimal value of the bytes up to the
    // first zero byte; the sign is kept.
    void fromBinaryData(const char* bytes);

    bool operator==(BigInteger b) const;
    bool operator!=(BigInteger b) const;
    bool operator<(BigInteger b) const;
    bool operator<=(BigInteger b) const;
    bool operator>(BigInteger b) const;
    bool operator>=(BigInteger b) const;

    BigInteger operator+(BigInteger b) const;
    BigInteger operator-(BigInteger b) const;
    BigInteger operator*(BigInteger b) const;
    // Truncating division on magnitudes; the sign of both quotient and
    // remainder is the exclusive-or of the operands' signs. A zero divisor
    // throws std::domain_error.
    BigInteger operator/(BigInteger b) const;
    BigInteger operator%(BigInteger b) const;
    BigInteger& operator+=(BigInteger b);
    BigInteger& operator-=(BigInteger b);
    BigInteger& operator*=(BigInteger b);
    BigInteger& operator/=(BigInteger b);
    BigInteger& operator%=(BigInteger b);
    BigInteger& operator++();
    BigInteger& operator--();
    BigInteger operator++(int);
    BigInteger operator--(int);
    BigInteger operator-() const;

    // "-" and the digits when negative, the digits alone otherwise.
    operator std::string() const;

    // Index 0 is the value itself; any other index also yields the value.
    BigInteger& operator[](int n);

private:
    static bool equals(const BigInteger& a, const BigInteger& b);
    static bool less(const BigInteger& a, const BigInteger& b);
    static bool greater(const BigInteger& a, const BigInteger& b);

    static std::string add(std::string x, std::string y);
    static std::string subtract(std::string x, std::string y);
    static std::string multiply(std::string x, std::string y);
    static std::pair<std::string, long long> divide(std::string n, long long d);
    static std::pair<std::string, std::string> divideLong(const std::string& n, const std::string& d);
    static std::pair<std::string, std::string> divideMagnitudes(const std::string& n,
                                                                const std::string& d);
    static std::string toString(long long n);
    static long long toInt(const std::string& digits);

    std::string number;
    bool sign;
};

namespace tev {
namespace quessel {
namespace cades {

// Decimal digit text (no sign) of the unsigned big-endian number in `bytes`;
// "0" for no bytes.
std::string buildBigIntegerFromByteArray(const QByteArray& bytes);

}  // namespace cades
}  // namespace quessel
}  // namespace tev
