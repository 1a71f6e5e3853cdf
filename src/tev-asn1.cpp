#include "tev-asn1.h"

#include "biginteger.h"
#include "tev-logging.h"

#include <QFile>
#include <QLocale>
#include <algorithm>
#include <climits>
#include <stdexcept>
#include <vector>

namespace tev {

namespace encoding {

namespace {
const char kHexDigits[] = "0123456789ABCDEF";
}

std::string intToHexStr(unsigned long value) {
    std::string out(2, '0');
    out[0] = kHexDigits[(value >> 4) & 0x0F];
    out[1] = kHexDigits[value & 0x0F];
    return out;
}

std::string binToHexStr(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        out += kHexDigits[b >> 4];
        out += kHexDigits[b & 0x0F];
    }
    return out;
}

}  // namespace encoding

namespace asn1 {

namespace {

QString octet(unsigned long value) { return QString::fromLatin1(encoding::intToHexStr(value).c_str()); }

// Big-endian octets, most significant first, as upper-case hex.
QString octetsToHex(const std::vector<unsigned char>& bigEndian) {
    QString out;
    out.reserve(static_cast<int>(bigEndian.size()) * 2);
    for (unsigned char b : bigEndian) out += octet(b);
    return out;
}

// Shortest two's-complement form of a value given as its sign and the
// big-endian octets of its magnitude (no leading zero octets, at least one).
std::vector<unsigned char> twosComplement(std::vector<unsigned char> magnitude, bool negative) {
    if (magnitude.empty()) magnitude.push_back(0);
    if (magnitude.front() & 0x80) magnitude.insert(magnitude.begin(), 0);
    if (!negative) return magnitude;
    bool allZero = true;
    for (unsigned char b : magnitude) allZero = allZero && b == 0;
    if (allZero) return {0};  // -0 is 0
    // Invert and add one.
    for (auto& b : magnitude) b = static_cast<unsigned char>(~b);
    for (std::size_t i = magnitude.size(); i-- > 0;) {
        if (++magnitude[i] != 0) break;
    }
    // Drop sign-extension octets the value does not need.
    while (magnitude.size() > 1 && magnitude[0] == 0xFF && (magnitude[1] & 0x80)) magnitude.erase(magnitude.begin());
    return magnitude;
}

QString lengthOfContent(const QString& hexContent) {
    return integerTo7Bit(static_cast<unsigned long>(hexContent.size() / 2));
}

QString element(unsigned long tag, const QString& content) { return octet(tag) + lengthOfContent(content) + content; }

QString joined(const QString* contents, int count) {
    QString out;
    if (!contents) return out;
    for (int i = 0; i < count; ++i) out += QString::fromUtf8(contents[i].toUtf8());
    return out;
}

QString joined(const QList<QString>& contents) {
    QString out;
    for (const QString& c : contents) out += QString::fromUtf8(c.toUtf8());
    return out;
}

QString lowerHex(const QByteArray& bytes) { return QString::fromLatin1(bytes.toHex()); }

unsigned long contextTag(int n) { return static_cast<unsigned long>(n) + 0xA0UL; }

}  // namespace

// ---- building blocks ----------------------------------------------------------

QString integerTo7Bit(unsigned long length) {
    if (length <= 127) return octet(length);
    if (length <= 0xFF) return "81" + octet(length);
    if (length <= 0xFFFF) return "82" + octet(length >> 8) + octet(length);
    if (length <= 0xFFFFFF) return "83" + octet(length >> 16) + octet(length >> 8) + octet(length);
    return "84" + octet(length >> 24) + octet(length >> 16) + octet(length >> 8) + octet(length);
}

QString integerToOIDFormat(unsigned long subidentifier) {
    std::vector<unsigned char> groups;  // least significant first
    do {
        groups.push_back(static_cast<unsigned char>(subidentifier & 0x7F));
        subidentifier >>= 7;
    } while (subidentifier != 0);
    QString out;
    for (std::size_t i = groups.size(); i-- > 0;) out += octet(i == 0 ? groups[i] : (groups[i] | 0x80));
    return out;
}

QString integerToBase256(int value) {
    const long long wide = value;
    unsigned long long magnitude =
        wide < 0 ? static_cast<unsigned long long>(-wide) : static_cast<unsigned long long>(wide);
    std::vector<unsigned char> octets;
    do {
        octets.insert(octets.begin(), static_cast<unsigned char>(magnitude & 0xFF));
        magnitude >>= 8;
    } while (magnitude != 0);
    return octetsToHex(twosComplement(octets, wide < 0));
}

QString integerToBase256(std::string decimal) {
    BigInteger number(decimal);  // std::out_of_range for an empty text
    const std::string digits = number.getNumber();
    for (char c : digits)
        if (c < '0' || c > '9') throw std::invalid_argument("integerToBase256: not a decimal number: " + decimal);
    if (digits.empty()) throw std::invalid_argument("integerToBase256: not a decimal number: " + decimal);

    const bool negative = number.getSign();
    BigInteger rest(digits, false);
    const BigInteger zero(0);
    const BigInteger base(256);
    std::vector<unsigned char> octets;  // least significant first
    if (rest.getNumber().find_first_not_of('0') == std::string::npos) {
        octets.push_back(0);
    } else {
        while (rest != zero) {
            const BigInteger digit = rest % base;
            octets.push_back(static_cast<unsigned char>(std::stoi(digit.getNumber())));
            rest = rest / base;
        }
    }
    return octetsToHex(twosComplement(std::vector<unsigned char>(octets.rbegin(), octets.rend()), negative));
}

// ---- primitive elements ---------------------------------------------------------

QString encodeBoolean(bool value) { return "0101" + QString(value ? "FF" : "00"); }

QString encodeNull() { return "0500"; }

QString encodeInteger(int value) { return element(0x02, integerToBase256(value)); }

QString encodeInteger(std::string decimal) { return element(0x02, integerToBase256(std::move(decimal))); }

QString encodeOctetString(const QByteArray& bytes) { return element(0x04, lowerHex(bytes)); }

QString encodeOctetString(const char* bytes) { return encodeOctetString(QByteArray(bytes ? bytes : "")); }

QString encodeObjectIdentifier(const QList<int>& arcs) {
    // Arcs are taken as unsigned 64-bit numbers, so even a negative arc
    // (which no caller passes) encodes without overflow.
    QString content;
    if (arcs.size() == 1) {
        content = integerToOIDFormat(40UL * static_cast<unsigned long>(arcs[0]));
    } else if (arcs.size() >= 2) {
        content = integerToOIDFormat(40UL * static_cast<unsigned long>(arcs[0]) + static_cast<unsigned long>(arcs[1]));
        for (int i = 2; i < arcs.size(); ++i) content += integerToOIDFormat(static_cast<unsigned long>(arcs[i]));
    }
    return element(0x06, content);
}

QString encodeUTF8String(const QString& text) { return element(0x0C, lowerHex(text.toUtf8())); }

QString encodePrintableString(const QString& text) { return element(0x13, lowerHex(text.toLatin1())); }

QString encodeIA5String(const QString& text) { return element(0x16, lowerHex(text.toLatin1())); }

// Formatted through the C locale: QDateTime::toString writes the desktop
// locale's digits (Arabic-Indic under ar_EG, for one), which are no time to
// a verifier and turn into "?" on the way to octets.
QString encodeUTCTime(const QDateTime& time) {
    return element(0x17, lowerHex((QLocale::c().toString(time, QStringLiteral("yyMMddhhmmss")) + "Z").toLatin1()));
}

QString encodeGeneralizedTime(const QDateTime& time) {
    return element(0x18, lowerHex((QLocale::c().toString(time, QStringLiteral("yyyyMMddhhmmss")) + "Z").toLatin1()));
}

// ---- constructed elements ---------------------------------------------------------

QString encodeSequence(const QString& content) { return element(0x30, QString::fromUtf8(content.toUtf8())); }

QString encodeSequence(const QString* contents, int count) { return element(0x30, joined(contents, count)); }

QString encodeSequenceOf(const QList<QString>& contents) { return element(0x30, joined(contents)); }

QString encodeSet(const QString& content) { return element(0x31, QString::fromUtf8(content.toUtf8())); }

QString encodeSet(const QString* contents, int count) { return element(0x31, joined(contents, count)); }

QString encodeTag(int n, const QString& content) {
    return element(contextTag(n), QString::fromUtf8(content.toUtf8()));
}

QString encodeTag(int n, const QList<QString>& contents) { return element(contextTag(n), joined(contents)); }

QString encodeTag(int n, const QString* contents, int count) {
    return element(contextTag(n), joined(contents, count));
}

// ---- decoding -------------------------------------------------------------------

ASN1Element::ASN1Element()
    : parent(nullptr),
      depth(0),
      tag(0),
      isPrimitive(true),
      value(new QString()),
      children(nullptr),
      length(0),
      lengthHex(new QString()) {}

ASN1Element::~ASN1Element() {
    if (children) {
        qDeleteAll(*children);
        delete children;
    }
    delete value;
    delete lengthHex;
}

namespace {

// Nesting below which constructed elements are not parsed further. Card data
// (PKCS#15 files) nests a handful of levels; the bound keeps the recursion and
// the copies of nested values small for any input.
constexpr int kMaxNesting = 64;

int hexValue(QChar c) {
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9') return u - '0';
    if (u >= 'a' && u <= 'f') return u - 'a' + 10;
    if (u >= 'A' && u <= 'F') return u - 'A' + 10;
    return -1;
}

// The octet whose two digits start at `pos`, reading only inside [.., end);
// a pair that is cut short or not hexadecimal counts as 0.
unsigned octetAt(const QString& text, int pos, int end) {
    if (pos < 0 || pos + 1 >= end) return 0;
    const int hi = hexValue(text[pos]);
    const int lo = hexValue(text[pos + 1]);
    if (hi < 0 || lo < 0) return 0;
    return static_cast<unsigned>(hi * 16 + lo);
}

// Length field of the element starting at `start` inside [start, end).
void readLength(const QString& text, int start, int end, std::uint64_t* length, QString* lengthText) {
    const int fieldStart = start + 2;
    const int available = std::max(0, end - fieldStart);
    const unsigned first = octetAt(text, fieldStart, end);
    if (first <= 127) {
        *length = first;
        *lengthText = text.mid(fieldStart, std::min(2, available));
        return;
    }
    const unsigned count = first - 128;
    if (count > 8) {
        // More length octets than any 64-bit length needs: malformed.
        *length = 0;
        *lengthText = text.mid(fieldStart, std::min(2, available));
        return;
    }
    std::uint64_t value = 0;
    for (unsigned i = 0; i < count; ++i) value = (value << 8) | octetAt(text, fieldStart + 2 + 2 * static_cast<int>(i), end);
    *length = value;
    *lengthText = text.mid(fieldStart, std::min(2 + 2 * static_cast<int>(count), available));
}

bool isConstructedTag(int tag) { return tag == 0x30 || tag == 0x31 || tag >= 0xA0; }

void replaceText(QString*& slot, const QString& text) {
    if (slot)
        *slot = text;
    else
        slot = new QString(text);
}

void dropChildren(ASN1Element* e) {
    if (!e->children) return;
    qDeleteAll(*e->children);
    delete e->children;
    e->children = nullptr;
}

// Decodes the element at `start`, reading no further than `end`. Returns the
// number of digits it takes: tag, length field and value as present (at least
// two, so a walk over siblings always moves on).
int decodeAt(const QString& text, int start, int end, ASN1Element* e, bool parseChildren, int nesting) {
    e->tag = static_cast<int>(octetAt(text, start, end));
    std::uint64_t length = 0;
    QString lengthText;
    readLength(text, start, end, &length, &lengthText);
    e->length = length;
    replaceText(e->lengthHex, lengthText);

    const int valueStart = start + 2 + lengthText.size();
    const int available = std::max(0, end - valueStart);
    // Declared digits, or the rest of the text when it ends sooner; compared
    // without doubling the length, which may be close to 2^64.
    const int valueDigits = length > static_cast<std::uint64_t>(available) / 2 ? available : static_cast<int>(2 * length);
    replaceText(e->value, text.mid(valueStart, valueDigits));
    e->isPrimitive = !isConstructedTag(e->tag);

    dropChildren(e);
    if (!e->isPrimitive && parseChildren && length != 0 && nesting < kMaxNesting) {
        e->children = new QList<ASN1Element*>();
        const int valueEnd = valueStart + valueDigits;
        int p = valueStart;
        while (p < valueEnd) {
            auto* child = new ASN1Element();
            child->parent = e;
            child->depth = e->depth == INT_MAX ? INT_MAX : e->depth + 1;
            p += decodeAt(text, p, valueEnd, child, true, nesting + 1);
            e->children->append(child);
        }
    }
    return 2 + lengthText.size() + valueDigits;
}

}  // namespace

int decodeASN1Element(QString* text, ASN1Element* element, bool parseChildren) {
    if (!element) return 0;
    const QString empty;
    const QString& t = text ? *text : empty;
    decodeAt(t, 0, t.size(), element, parseChildren, 0);
    return 0;
}

int getASN1Length(QString* text, unsigned long* length, QString* lengthText) {
    const QString empty;
    const QString& t = text ? *text : empty;
    std::uint64_t l = 0;
    QString lt;
    readLength(t, 0, t.size(), &l, &lt);
    if (length) *length = static_cast<unsigned long>(l);
    if (lengthText) *lengthText = lt;
    return 0;
}

int encodeASN1Element(ASN1Element* element, QString* out) {
    if (!element || !out) return 0;
    const QString value = element->value ? *element->value : QString();
    out->append(octet(static_cast<unsigned long>(element->tag)));
    out->append(lengthOfContent(value));
    out->append(value);
    return 0;
}

void decode(const char*) {}

void decodeFile(const char* path) {
    const QString filePath = QString::fromUtf8(path ? path : "");
    LOG(INFO) << "asn1 : " << "Processing file " << (path ? path : "");
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) return;
    const QByteArray content = file.readAll();
    const std::string hex = encoding::binToHexStr(content.toStdString());
    LOG(INFO) << "asn1 : " << "First item: " << hex.substr(0, 2);
    LOG(INFO) << "asn1 : " << "Completed processing of file " << (path ? path : "");
}

}  // namespace asn1
}  // namespace tev
