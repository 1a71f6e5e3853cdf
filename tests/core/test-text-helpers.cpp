// Byte/hex/Base64 helpers and digests: fixed vectors, every byte value, and
// cross-checks against OpenSSL's encoder and digests.
#include "tev-commons.h"

#include "test-support.h"

#include <QFile>
#include "core-random.h"
#include <cstdlib>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <string>

namespace {

std::string allByteValues() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
    return bytes;
}

std::string opensslBase64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string hexOf(const std::string& bytes) {
    char* text = nullptr;
    bin_to_strhex(reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data())),
                  static_cast<unsigned int>(bytes.size()), &text);
    std::string result(text);
    std::free(text);
    return result;
}

std::string bytesOfHex(const std::string& hex, int* lengthOut = nullptr) {
    char* bytes = nullptr;
    int length = -1;
    hexStringToByteArray(hex, &bytes, &length);
    std::string result(bytes, static_cast<std::size_t>(length));
    std::free(bytes);
    if (lengthOut) *lengthOut = length;
    return result;
}

std::string encode(const std::string& s) {
    return base64_encode(reinterpret_cast<const unsigned char*>(s.data()), static_cast<unsigned int>(s.size()));
}

}  // namespace

TEST(Base64, KnownVectors) {
    EXPECT_EQ(encode("abc"), "YWJj");
    EXPECT_EQ(encode("ab"), "YWI=");
    EXPECT_EQ(encode("a"), "YQ==");
    EXPECT_EQ(encode(""), "");
    EXPECT_EQ(encode("foobar"), "Zm9vYmFy");  // RFC 4648 section 10
    EXPECT_EQ(encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(base64_encode2("foob", 4), "Zm9vYg==");

    EXPECT_EQ(base64_decode("YWJj"), "abc");
    EXPECT_EQ(base64_decode("YWI="), "ab");
    EXPECT_EQ(base64_decode("YWI"), "ab");
    EXPECT_EQ(base64_decode("YQ"), "a");
    EXPECT_EQ(base64_decode("Y"), "");
    EXPECT_EQ(base64_decode(""), "");
    EXPECT_EQ(base64_decode("Zm9v\nYmFy"), "foo");   // a line break ends decoding
    EXPECT_EQ(base64_decode("Zm9v YmFy"), "foo");
    EXPECT_EQ(base64_decode("-_8A"), "");            // URL-safe alphabet stops at once
    EXPECT_EQ(base64_decode("YW-J"), "a");
    EXPECT_EQ(base64_decode("YWJj=YWJj"), "abc");    // nothing after padding
    EXPECT_EQ(base64_decode("YWJj\xC3\xA4"), "abc");
}

TEST(Base64, AllByteValuesAndOpenSslAgreement) {
    const std::string bytes = allByteValues();
    const std::string text = encode(bytes);
    EXPECT_EQ(text, opensslBase64(bytes));
    EXPECT_EQ(text, QByteArray(bytes.data(), 256).toBase64().toStdString());
    EXPECT_EQ(base64_decode(text), bytes);
    EXPECT_EQ(base64_encode2(bytes.data(), 256), text);

    // Every length from 0 to 40 over random bytes, all three tail shapes.
    auto* rng = seededRandom();
    for (int length = 0; length <= 40; ++length) {
        std::string data;
        for (int i = 0; i < length; ++i) data += static_cast<char>(rng->bounded(256));
        const std::string b64 = encode(data);
        ASSERT_EQ(b64, opensslBase64(data)) << "length " << length;
        ASSERT_EQ(b64.size(), 4u * ((data.size() + 2) / 3));
        ASSERT_EQ(base64_decode(b64), data) << "length " << length;
    }
    // Each single byte decodes back from its unpadded two-character form.
    for (int i = 0; i < 256; ++i) {
        const std::string one(1, static_cast<char>(i));
        ASSERT_EQ(base64_decode(encode(one).substr(0, 2)), one);
    }
}

TEST(Base64, IsBase64Alphabet) {
    int accepted = 0;
    for (int c = 0; c < 256; ++c) {
        const bool expected = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                              c == '+' || c == '/';
        EXPECT_EQ(is_base64(static_cast<unsigned char>(c)), expected) << c;
        accepted += expected;
    }
    EXPECT_EQ(accepted, 64);
}

TEST(Hex, BinToStrhexAndBack) {
    EXPECT_EQ(hexOf(std::string("\x3B\x9F\x0A", 3)), "3B9F0A");
    EXPECT_EQ(hexOf(""), "");

    const std::string bytes = allByteValues();
    const std::string hex = hexOf(bytes);
    ASSERT_EQ(hex.size(), 512u);
    for (int i = 0; i < 256; ++i) {
        char expected[3];
        std::snprintf(expected, sizeof expected, "%02X", i);
        ASSERT_EQ(hex.substr(2 * static_cast<std::size_t>(i), 2), expected);
    }
    int length = 0;
    EXPECT_EQ(bytesOfHex(hex, &length), bytes);
    EXPECT_EQ(length, 256);
    QByteArray lower = QByteArray::fromStdString(hex).toLower();
    EXPECT_EQ(bytesOfHex(lower.toStdString()), bytes);
}

TEST(Hex, HexStringToByteArrayEdges) {
    int length = -1;
    EXPECT_EQ(bytesOfHex("3b9F", &length), std::string("\x3B\x9F", 2));
    EXPECT_EQ(length, 2);
    EXPECT_EQ(bytesOfHex("3b9", &length), std::string("\x3B", 1));
    EXPECT_EQ(length, 1);
    EXPECT_EQ(bytesOfHex("", &length), "");
    EXPECT_EQ(length, 0);
    // strtol rules per pair.
    EXPECT_EQ(bytesOfHex("zz1z-1 7"), std::string("\x00\x01\xFF\x07", 4));
}

TEST(Hex, DigitsAndCharToHex) {
    EXPECT_EQ(hexDigit(0), '0');
    EXPECT_EQ(hexDigit(9), '9');
    EXPECT_EQ(hexDigit(10), 'A');
    EXPECT_EQ(hexDigit(15), 'F');
    for (int i = 0; i < 256; ++i) {
        char* two = charToHex(static_cast<char>(i));
        char expected[3];
        std::snprintf(expected, sizeof expected, "%02X", i);
        ASSERT_EQ(std::string(two, 2), expected);
        std::free(two);
    }
}

TEST(Text, SmallConversions) {
    EXPECT_EQ(getOperatingSystem(), 6);
    EXPECT_EQ(removeNonAlphaNumericCharacters("word #7"), "word 7");
    EXPECT_EQ(removeNonAlphaNumericCharacters("(A1)\tb-c.d"), "A1bcd");
    EXPECT_EQ(removeNonAlphaNumericCharacters("\xC3\xA7ok g\xC3\xBC" "zel"), "ok gzel");

    char* copy = stringToChar(std::string("ab\0cd", 5));
    EXPECT_STREQ(copy, "ab");
    delete[] copy;
    char text[] = "hello";
    EXPECT_EQ(charToString(text), "hello");
}

TEST(Digests, KnownVectors) {
    const QByteArray abc("abc");
    EXPECT_EQ(tev::crypto::digestSHA1(abc).toHex(), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(tev::crypto::digestSHA224(abc).toHex(), "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7");
    EXPECT_EQ(tev::crypto::digestSHA256(abc).toHex(),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(tev::crypto::digestSHA384(abc).toHex(),
              "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed"
              "8086072ba1e7cc2358baeca134c825a7");
    EXPECT_EQ(tev::crypto::digestSHA512(abc).toHex(),
              "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
              "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
    EXPECT_EQ(tev::crypto::digestSHA256(QByteArray()).toHex(),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    // FIPS 180-4 two-block message.
    EXPECT_EQ(tev::crypto::digestSHA256("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq").toHex(),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(Digests, FileDigest) {
    const QString folder = corvane::test::privateFolder();
    const QString emptyPath = folder + "/empty.bin";
    const QString bigPath = folder + "/data.bin";
    {
        QFile f(emptyPath);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    QByteArray content;
    for (int i = 0; i < 10000; ++i) content += static_cast<char>((i * 7 + 3) & 0xFF);
    {
        QFile f(bigPath);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write(content), content.size());
    }
    EXPECT_EQ(tev::crypto::digestFile(emptyPath, QCryptographicHash::Sha256), tev::crypto::digestSHA256({}));
    EXPECT_EQ(tev::crypto::digestFile(bigPath, QCryptographicHash::Sha256), tev::crypto::digestSHA256(content));
    EXPECT_EQ(tev::crypto::digestFile(bigPath, QCryptographicHash::Sha384), tev::crypto::digestSHA384(content));

    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLength = 0;
    EVP_Digest(content.constData(), static_cast<size_t>(content.size()), md, &mdLength, EVP_sha512(), nullptr);
    EXPECT_EQ(tev::crypto::digestFile(bigPath, QCryptographicHash::Sha512),
              QByteArray(reinterpret_cast<char*>(md), static_cast<int>(mdLength)));

    corvane::test::clearLog();
    EXPECT_TRUE(tev::crypto::digestFile(folder + "/missing.bin", QCryptographicHash::Sha256).isEmpty());
    const std::string log = corvane::test::readLog();
    EXPECT_NE(log.find("ERROR"), std::string::npos) << log;
    EXPECT_NE(log.find("PKCS11 : !!!!!! Cannot open file " + (folder + "/missing.bin").toStdString()),
              std::string::npos)
        << log;
}
