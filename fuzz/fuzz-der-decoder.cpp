// The DER decoder over hex text (tev::asn1::decodeASN1Element and friends).
//
// Each input is used twice:
//   1. as the bytes of a DER value, turned into hex text the way the card and
//      certificate code does, decoded into a tree and compared, element by
//      element, with OpenSSL's own reading of the same bytes
//      (ASN1_get_object): wherever OpenSSL reads a whole element with a
//      one-octet tag and a definite length, our tag, length, length digits and
//      contents must be the same;
//   2. as hex text itself (odd lengths, letters outside 0-9a-f, anything), which
//      must decode without fault; the length reader and the re-encoder run on
//      the result too.
#include <QString>

#include <cstddef>
#include <cstdint>
#include <string>

#include <openssl/asn1.h>

#include "fuzz-support.h"
#include "tev-asn1.h"

namespace {

using tev::asn1::ASN1Element;

// Nesting that the decoder parses (its own bound); below it children are left out.
constexpr int kDecodedNesting = 64;

std::string hexOf(const unsigned char* bytes, long count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(static_cast<std::size_t>(count) * 2);
    for (long i = 0; i < count; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

void mismatch(const std::string& what, int nesting) {
    corvane::fuzz::fail("DER decoder disagrees with OpenSSL at nesting " + std::to_string(nesting) + ": " + what);
}

// Compares one element that OpenSSL reads at `p` (inside [p, end)) with ours.
// Returns false when OpenSSL does not read a whole, definite, one-octet-tag
// element there, so the caller stops comparing the rest of that level.
bool compareElement(const unsigned char* p, const unsigned char* end, const ASN1Element& ours, int nesting,
                    const unsigned char** next) {
    if ((p[0] & 0x1f) == 0x1f) return false;   // multi-octet tag: outside our decoder's model
    // More than 8 length octets is malformed for us by definition (OpenSSL
    // still reads it when the extra octets are leading zeros).
    if (end - p >= 2 && (p[1] & 0x80) && (p[1] & 0x7f) > 8) return false;
    const unsigned char* cursor = p;
    long length = 0;
    int tag = 0, xclass = 0;
    const int flags = ASN1_get_object(&cursor, &length, &tag, &xclass, static_cast<long>(end - p));
    if (flags & 0x80) return false;           // malformed or longer than the bytes present
    if (flags & 0x01) return false;           // indefinite length: not DER
    const long header = static_cast<long>(cursor - p);
    if (ours.tag != p[0]) mismatch("tag " + std::to_string(ours.tag) + " vs octet " + std::to_string(p[0]), nesting);
    if (ours.length != static_cast<std::uint64_t>(length))
        mismatch("length " + std::to_string(ours.length) + " vs " + std::to_string(length), nesting);
    if (!ours.lengthHex || ours.lengthHex->toStdString() != hexOf(p + 1, header - 1))
        mismatch("length digits " + (ours.lengthHex ? ours.lengthHex->toStdString() : std::string("(none)")) +
                     " vs " + hexOf(p + 1, header - 1),
                 nesting);
    if (!ours.value || ours.value->toStdString() != hexOf(cursor, length))
        mismatch("contents of tag " + std::to_string(p[0]), nesting);
    *next = cursor + length;

    const bool constructedForUs = !ours.isPrimitive;
    if (!constructedForUs || length == 0 || nesting + 1 > kDecodedNesting) return true;
    if (!ours.children) mismatch("constructed element without parsed children", nesting);
    // Walk the contents with OpenSSL while it reads whole elements.
    const unsigned char* q = cursor;
    const unsigned char* contentEnd = cursor + length;
    int index = 0;
    while (q < contentEnd) {
        if (index >= ours.children->size()) mismatch("fewer children than OpenSSL reads", nesting);
        const unsigned char* after = nullptr;
        if (!compareElement(q, contentEnd, *ours.children->at(index), nesting + 1, &after)) return true;
        q = after;
        ++index;
    }
    if (index != ours.children->size())
        mismatch(std::to_string(ours.children->size()) + " children where OpenSSL reads " + std::to_string(index),
                 nesting);
    return true;
}

void decodeBytes(const std::uint8_t* data, std::size_t size) {
    QString text = QString::fromStdString(hexOf(data, static_cast<long>(size)));
    ASN1Element root;
    tev::asn1::decodeASN1Element(&text, &root, true);
    const unsigned char* after = nullptr;
    if (size > 0) compareElement(data, data + size, root, 0, &after);
    QString again;
    tev::asn1::encodeASN1Element(&root, &again);
}

void decodeText(const std::uint8_t* data, std::size_t size) {
    QString text = QString::fromLatin1(reinterpret_cast<const char*>(data), static_cast<int>(size));
    ASN1Element root;
    tev::asn1::decodeASN1Element(&text, &root, true);
    ASN1Element shallow;
    tev::asn1::decodeASN1Element(&text, &shallow, false);
    unsigned long length = 0;
    QString lengthText;
    tev::asn1::getASN1Length(&text, &length, &lengthText);
    QString again;
    tev::asn1::encodeASN1Element(&root, &again);
    tev::asn1::decodeASN1Element(&again, &shallow, true);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    corvane::fuzz::initialize(argc, argv, "der-decoder");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    decodeBytes(data, size);
    decodeText(data, size);
    return 0;
}
