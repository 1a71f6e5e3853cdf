#include "biginteger.h"

#include <QDebug>
#include <QList>
#include <QMap>
#include <QString>
#include <cctype>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace {

// Divisors of at most this many digits go through the 64-bit short division:
// the running remainder (below the divisor) times ten plus a digit must fit in
// a signed 64-bit integer.
constexpr std::size_t kShortDivisorDigits = 17;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool allDigits(const std::string& s) {
    for (char c : s)
        if (!isDigit(c)) return false;
    return !s.empty();
}

std::string stripLeadingZeros(std::string s) {
    std::size_t first = 0;
    while (first + 1 < s.size() && s[first] == '0') ++first;
    s.erase(0, first);
    return s;
}

// Orders two magnitudes, ignoring leading zeros: -1, 0 or 1.
int compareMagnitudes(const std::string& x, const std::string& y) {
    const std::string a = stripLeadingZeros(x.empty() ? "0" : x);
    const std::string b = stripLeadingZeros(y.empty() ? "0" : y);
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    const int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

char digitChar(int v) { return static_cast<char>('0' + v); }

}  // namespace

BigInteger::BigInteger() : number("0"), sign(false) {}

BigInteger::BigInteger(std::string text) : sign(false) {
    if (!text.empty() && isDigit(text[0])) {
        number = text;
    } else {
        number = text.substr(1);  // empty text: std::out_of_range, as documented
        sign = (text[0] == '-');
    }
}

BigInteger::BigInteger(std::string digits, bool negative) : number(std::move(digits)), sign(negative) {}

BigInteger::BigInteger(int value) : BigInteger(toString(value)) {}

void BigInteger::setNumber(std::string digits) { number = std::move(digits); }
std::string& BigInteger::getNumber() { return number; }
const std::string& BigInteger::getNumber() const { return number; }
void BigInteger::setSign(bool negative) { sign = negative; }
bool& BigInteger::getSign() { return sign; }
const bool& BigInteger::getSign() const { return sign; }

BigInteger BigInteger::absolute() const { return BigInteger(number); }

// ---- comparisons --------------------------------------------------------------

bool BigInteger::equals(const BigInteger& a, const BigInteger& b) {
    return a.number == b.number && a.sign == b.sign;
}

bool BigInteger::less(const BigInteger& a, const BigInteger& b) {
    if (a.sign && !b.sign) return true;
    if (!a.sign && b.sign) return false;
    if (!a.sign) {
        if (a.number.size() != b.number.size()) return a.number.size() < b.number.size();
        return a.number < b.number;
    }
    if (a.number.size() != b.number.size()) return a.number.size() > b.number.size();
    return a.number > b.number;
}

bool BigInteger::greater(const BigInteger& a, const BigInteger& b) { return !equals(a, b) && !less(a, b); }

bool BigInteger::operator==(BigInteger b) const { return equals(*this, b); }
bool BigInteger::operator!=(BigInteger b) const { return !equals(*this, b); }
bool BigInteger::operator<(BigInteger b) const { return less(*this, b); }
bool BigInteger::operator<=(BigInteger b) const { return equals(*this, b) || less(*this, b); }
bool BigInteger::operator>(BigInteger b) const { return greater(*this, b); }
bool BigInteger::operator>=(BigInteger b) const { return equals(*this, b) || greater(*this, b); }

// ---- magnitudes -----------------------------------------------------------------
// Characters are combined as ints and stored back, so text outside the digit
// model gives a meaningless result but never undefined behaviour.

std::string BigInteger::add(std::string x, std::string y) {
    if (x.empty()) x = "0";
    if (y.empty()) y = "0";
    std::string result = x.size() > y.size() ? x : y;
    if (x.size() < result.size()) x.insert(0, result.size() - x.size(), '0');
    if (y.size() < result.size()) y.insert(0, result.size() - y.size(), '0');
    int carry = 0;
    int first = 0;
    for (std::size_t i = result.size(); i-- > 0;) {
        int v = '0' + carry + (x[i] - '0') + (y[i] - '0');
        if (i != 0 && v > '9') {
            v -= 10;
            carry = 1;
        } else {
            carry = 0;
        }
        if (i == 0) first = v;
        result[i] = static_cast<char>(v);
    }
    if (first > '9') {
        result[0] = static_cast<char>(first - 10);
        result.insert(0, 1, '1');
    }
    return result;
}

std::string BigInteger::subtract(std::string x, std::string y) {
    if (x.empty()) x = "0";
    if (y.empty()) y = "0";
    std::string result = x.size() > y.size() ? x : y;
    if (x.size() < result.size()) x.insert(0, result.size() - x.size(), '0');
    if (y.size() < result.size()) y.insert(0, result.size() - y.size(), '0');
    for (std::size_t i = result.size(); i-- > 0;) {
        int xi = x[i];
        if (xi < y[i] && i > 0) {
            xi += 10;
            x[i - 1] = static_cast<char>(x[i - 1] - 1);
        }
        result[i] = static_cast<char>(xi - y[i] + '0');
    }
    return stripLeadingZeros(result);
}

std::string BigInteger::multiply(std::string x, std::string y) {
    if (x.empty()) x = "0";
    if (y.empty()) y = "0";
    if (x.size() > y.size()) std::swap(x, y);
    std::string result = "0";
    for (std::size_t i = x.size(); i-- > 0;) {
        const int d = x[i] - '0';
        std::string row = y;
        int carry = 0;
        for (std::size_t j = row.size(); j-- > 0;) {
            int v = (row[j] - '0') * d + carry;
            if (v > 9) {
                carry = v / 10;
                v %= 10;
            } else {
                carry = 0;
            }
            row[j] = digitChar(v);
        }
        if (carry > 0) row.insert(0, toString(carry));
        row.append(x.size() - i - 1, '0');
        result = add(result, row);
    }
    return stripLeadingZeros(result);
}

std::pair<std::string, long long> BigInteger::divide(std::string n, long long d) {
    // The quotient has at most as many digits as the dividend.
    std::string quotient(n.size(), '0');
    long long r = 0;
    for (std::size_t i = 0; i < n.size(); ++i) {
        r = r * 10 + (n[i] - '0');
        quotient[i] = static_cast<char>('0' + r / d);
        r %= d;
    }
    quotient = stripLeadingZeros(quotient);
    if (quotient.empty()) quotient = "0";
    return {quotient, r};
}

// Schoolbook long division for divisors too large for the 64-bit short form.
std::pair<std::string, std::string> BigInteger::divideLong(const std::string& n, const std::string& d) {
    std::string quotient;
    quotient.reserve(n.size());
    std::string rest = "0";
    for (char c : n) {
        rest = stripLeadingZeros(rest + c);
        int q = 0;
        // At most nine subtractions for decimal digits; the bound also ends
        // the loop for text outside the digit model.
        while (q < 9 && compareMagnitudes(rest, d) >= 0) {
            rest = subtract(rest, d);
            ++q;
        }
        quotient += digitChar(q);
    }
    quotient = stripLeadingZeros(quotient);
    if (quotient.empty()) quotient = "0";
    return {quotient, stripLeadingZeros(rest)};
}

std::pair<std::string, std::string> BigInteger::divideMagnitudes(const std::string& n, const std::string& d) {
    const std::string divisor = stripLeadingZeros(d);
    if (divisor.empty() || divisor == "0")
        throw std::domain_error("BigInteger: division by zero");
    if (allDigits(divisor) && divisor.size() <= kShortDivisorDigits) {
        const auto qr = divide(n, toInt(divisor));
        return {qr.first, toString(qr.second)};
    }
    return divideLong(n, divisor);
}

std::string BigInteger::toString(long long n) {
    std::ostringstream out;
    out << n;
    return out.str();
}

long long BigInteger::toInt(const std::string& digits) {
    // Unsigned arithmetic: an over-long text wraps instead of overflowing.
    unsigned long long value = 0;
    for (char c : digits) value = value * 10 + static_cast<unsigned long long>(static_cast<long long>(c - '0'));
    return static_cast<long long>(value);
}

// ---- signed operators -------------------------------------------------------------

BigInteger BigInteger::operator+(BigInteger b) const {
    BigInteger result;
    if (sign == b.sign) {
        result.number = add(number, b.number);
        result.sign = sign;
    } else if (compareMagnitudes(number, b.number) > 0) {
        result.number = subtract(number, b.number);
        result.sign = sign;
    } else {
        result.number = subtract(b.number, number);
        result.sign = b.sign;
    }
    if (result.number == "0") result.sign = false;
    return result;
}

BigInteger BigInteger::operator-(BigInteger b) const {
    b.sign = !b.sign;
    return *this + b;
}

BigInteger BigInteger::operator*(BigInteger b) const {
    BigInteger result;
    result.number = multiply(number, b.number);
    result.sign = sign != b.sign;
    if (result.number == "0") result.sign = false;
    return result;
}

BigInteger BigInteger::operator/(BigInteger b) const {
    BigInteger result;
    result.number = divideMagnitudes(number, b.number).first;
    result.sign = sign != b.sign;
    if (result.number == "0") result.sign = false;
    return result;
}

BigInteger BigInteger::operator%(BigInteger b) const {
    BigInteger result;
    result.number = divideMagnitudes(number, b.number).second;
    result.sign = sign != b.sign;
    if (result.number == "0") result.sign = false;
    return result;
}

BigInteger& BigInteger::operator+=(BigInteger b) { return *this = *this + b; }
BigInteger& BigInteger::operator-=(BigInteger b) { return *this = *this - b; }
BigInteger& BigInteger::operator*=(BigInteger b) { return *this = *this * b; }
BigInteger& BigInteger::operator/=(BigInteger b) { return *this = *this / b; }
BigInteger& BigInteger::operator%=(BigInteger b) { return *this = *this % b; }

BigInteger& BigInteger::operator++() { return *this = *this + BigInteger(1); }
BigInteger& BigInteger::operator--() { return *this = *this - BigInteger(1); }

BigInteger BigInteger::operator++(int) {
    BigInteger before = *this;
    ++*this;
    return before;
}

BigInteger BigInteger::operator--(int) {
    BigInteger before = *this;
    --*this;
    return before;
}

BigInteger BigInteger::operator-() const { return *this * BigInteger(-1); }

BigInteger::operator std::string() const { return sign ? "-" + number : number; }

BigInteger& BigInteger::operator[](int) { return *this; }

// ---- bytes to decimal -----------------------------------------------------------------

namespace {

// Value of one lower-case hex character of QByteArray::toHex.
QMap<QString, int> hexDigitValues() {
    const QList<QString> digits = {"0", "1", "2", "3", "4", "5", "6", "7",
                                   "8", "9", "a", "b", "c", "d", "e", "f"};
    QMap<QString, int> values;
    for (int i = 0; i < digits.size(); ++i) values.insert(digits[i], i);
    return values;
}

}  // namespace

void BigInteger::fromBinaryData(const char* bytes) {
    const QByteArray data(bytes ? bytes : "");  // stops at the first zero byte
    const QByteArray hex = data.toHex();
    qDebug() << "BigInteger - Received data";
    qDebug().nospace() << "Data length: " << data.size();
    qDebug().noquote().nospace() << "Data Hex: " << hex;

    const QMap<QString, int> values = hexDigitValues();
    // Powers of sixteen, lowest first, so each position's multiplier is at hand.
    std::vector<BigInteger> powers;
    powers.reserve(hex.size());
    BigInteger power(1);
    for (int e = 0; e < hex.size(); ++e) {
        powers.push_back(power);
        power = power * BigInteger(16);
    }
    BigInteger total(0);
    for (int i = 0; i < hex.size(); ++i) {
        const QString digitText = QString(QChar(hex[i]));
        const int digit = values.value(digitText);
        const BigInteger& multiplier = powers[hex.size() - 1 - i];
        const BigInteger product = BigInteger(digit) * multiplier;
        qDebug().noquote().nospace() << "Digit(str): " << digitText;
        qDebug().nospace() << "Digit: " << digit;
        qDebug().noquote().nospace() << "Multiplier: " << QString::fromStdString(std::string(multiplier));
        qDebug().noquote().nospace() << "Multiplication: " << QString::fromStdString(std::string(product));
        total += product;
    }
    number = std::string(total);
}

namespace tev {
namespace quessel {
namespace cades {

std::string buildBigIntegerFromByteArray(const QByteArray& bytes) {
    const QMap<QString, int> values = hexDigitValues();
    const QByteArray hex = bytes.toHex();
    // Horner's rule over the hex digits: the same value as summing
    // digit x 16^position, with one multiplication per digit.
    BigInteger total(0);
    const BigInteger sixteen(16);
    for (char c : hex) total = total * sixteen + BigInteger(values.value(QString(QChar(c))));
    return total.getNumber();
}

}  // namespace cades
}  // namespace quessel
}  // namespace tev
