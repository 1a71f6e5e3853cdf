// Shared pieces of the PC/SC tests: signature checks with OpenSSL (never
// against bytes our own code produced), digests, and the card database.
#pragma once

#include <QByteArray>
#include <string>
#include <vector>

namespace pcsctest {

using Bytes = std::vector<unsigned char>;

QByteArray toQByteArray(const Bytes& bytes);
Bytes toBytes(const QByteArray& bytes);
QByteArray fromHex(const char* hex);

QByteArray sha256(const QByteArray& data);
// DER DigestInfo { sha256, NULL, digest } built by hand from the RFC 8017 prefix.
QByteArray sha256DigestInfo(const QByteArray& digest);

// Each check takes the signer's SubjectPublicKeyInfo DER.
// RSA PKCS#1 v1.5: the signature's type-1 block must carry exactly `digestInfo`.
bool verifyRsaPkcs1(const Bytes& publicKeyDer, const QByteArray& digestInfo, const QByteArray& signature);
// RSA-PSS over a SHA-256 digest, MGF1-SHA-256, salt of the digest's length.
bool verifyRsaPssSha256(const Bytes& publicKeyDer, const QByteArray& digest, const QByteArray& signature);
// ECDSA with a DER ECDSA-Sig-Value over a ready digest.
bool verifyEcdsa(const Bytes& publicKeyDer, const QByteArray& digest, const QByteArray& derSignature);

// Loads the compiled-in card configuration database.
void loadCompiledInCardDatabase();

// Hex text of the commands in `log` that start with `prefix` (upper case).
std::vector<std::string> commandsStartingWith(const std::vector<std::string>& log, const std::string& prefix);
bool anyCommandStartsWith(const std::vector<std::string>& log, const std::string& prefix);

}  // namespace pcsctest
