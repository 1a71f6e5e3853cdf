#include "tls-material.h"

#include <QByteArray>
#include <array>

namespace {

// The key is derived here rather than stored as one literal, so it is not
// lying in the binary next to the data it hides.
std::array<unsigned char, 12> scrambleKey() {
    std::array<unsigned char, 12> key{};
    unsigned value = 0x5A17C3u;
    for (size_t i = 0; i < key.size(); ++i) {
        value = value * 1103515245u + 12345u;
        key[i] = static_cast<unsigned char>((value >> 16) & 0xFF);
    }
    return key;
}

}  // namespace

std::string encryptDecrypt(std::string data) {
    const auto key = scrambleKey();
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(static_cast<unsigned char>(data[i]) ^ key[i % key.size()]);
    }
    return data;
}

QString decryptParam(QString text) {
    const QByteArray raw = QByteArray::fromBase64(text.toLatin1());
    return QString::fromUtf8(QByteArray::fromStdString(encryptDecrypt(raw.toStdString())));
}

std::string unscramble(const char* encoded) {
    return encryptDecrypt(QByteArray::fromBase64(QByteArray(encoded)).toStdString());
}
