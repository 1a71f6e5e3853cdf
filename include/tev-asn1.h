// DER over hexadecimal text: every encoder returns the hex text of one whole
// element (tag, definite length, contents), two digits per octet. Tag and
// length digits are upper case; contents converted from bytes (octet strings,
// character strings, times) are lower case. Constructed encoders take the
// finished hex text of their inner elements and copy it unchanged.
//
// The decoder parses such text into a tree of ASN1Element records.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <cstdint>
#include <string>

namespace tev {

namespace encoding {

// Low octet of the value as exactly two upper-case hex digits (256 -> "00").
std::string intToHexStr(unsigned long value);
// Two upper-case hex digits per byte, in order.
std::string binToHexStr(const std::string& bytes);

}  // namespace encoding

namespace asn1 {

// ---- building blocks ----------------------------------------------------------

// DER definite length field for a length in octets (0-127 short form, then
// 81..84 followed by the fewest big-endian octets; 84 carries the low 32 bits).
QString integerTo7Bit(unsigned long length);
// Base-128 octets of one object-identifier subidentifier (80 set on all but
// the last).
QString integerToOIDFormat(unsigned long subidentifier);
// INTEGER contents: the shortest two's-complement octets of the value.
QString integerToBase256(int value);
// Same for a decimal text of any size ("-" in front for a negative value).
// Throws std::out_of_range for an empty text and std::invalid_argument for a
// text that is not a decimal number.
QString integerToBase256(std::string decimal);

// ---- primitive elements ---------------------------------------------------------

QString encodeBoolean(bool value);
QString encodeNull();
QString encodeInteger(int value);
QString encodeInteger(std::string decimal);
QString encodeOctetString(const QByteArray& bytes);
// The bytes up to, not including, the first zero byte.
QString encodeOctetString(const char* bytes);
// At least two arcs: 40 x a0 + a1, then each later arc.
QString encodeObjectIdentifier(const QList<int>& arcs);
QString encodeUTF8String(const QString& text);
QString encodePrintableString(const QString& text);
QString encodeIA5String(const QString& text);
// Formatted from the value's own date and clock fields (no time-zone
// conversion), "Z" appended: callers pass UTC.
QString encodeUTCTime(const QDateTime& time);
QString encodeGeneralizedTime(const QDateTime& time);

// ---- constructed elements ---------------------------------------------------------

QString encodeSequence(const QString& content);
QString encodeSequence(const QString* contents, int count);
QString encodeSequenceOf(const QList<QString>& contents);
QString encodeSet(const QString& content);
QString encodeSet(const QString* contents, int count);
// Context-specific constructed [n], tag octet A0 + n (n from 0 to 30).
QString encodeTag(int n, const QString& content);
QString encodeTag(int n, const QList<QString>& contents);
QString encodeTag(int n, const QString* contents, int count);

// ---- decoding -------------------------------------------------------------------

// One element of a parsed DER hex text. Owns its texts, its child list and the
// children; releasing a root releases the whole tree. Not copyable.
struct ASN1Element {
    ASN1Element* parent;               // enclosing element, null for a root
    int depth;                         // root: as set by its creator (0); child: parent + 1
    int tag;                           // identifier octet, 0-255
    bool isPrimitive;                  // false for 30, 31 and A0-FF
    QString* value;                    // contents as they stood in the text
    QList<ASN1Element*>* children;     // null when children were not parsed
    std::uint64_t length;              // declared length of the contents, octets
    QString* lengthHex;                // length field digits as they stood in the text

    ASN1Element();
    ~ASN1Element();
    ASN1Element(const ASN1Element&) = delete;
    ASN1Element& operator=(const ASN1Element&) = delete;
};

// Fills `element` from the element at the start of `text` (trailing text is
// ignored); with `parseChildren`, a constructed element's contents are parsed
// down to the leaves. Never fails on malformed text: the walk is bounded by
// the digits actually present. Always 0.
int decodeASN1Element(QString* text, ASN1Element* element, bool parseChildren);

// Declared length (octets) and length-field digits of the element at the start
// of `text` (one-octet tag). A long form of more than 8 length octets is
// malformed: length 0, length text the first length octet only. Always 0.
int getASN1Length(QString* text, unsigned long* length, QString* lengthText);

// Appends tag, shortest length for the value's octets, and the value. Always 0.
int encodeASN1Element(ASN1Element* element, QString* out);

void decode(const char* text);
// Logs the first octet of the file (diagnostic only; the file is not parsed).
void decodeFile(const char* path);

}  // namespace asn1
}  // namespace tev
