#include "pcsc-test-kit.h"

#include <QCryptographicHash>
#include <QFile>

#include <memory>

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "tev-resources.h"
#include "tev-smartcard.h"

namespace pcsctest {

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

Pkey publicKey(const Bytes& der) {
    const unsigned char* p = der.data();
    return Pkey(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
}

PkeyCtx verifyContext(EVP_PKEY* key) {
    PkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1) return nullptr;
    return ctx;
}

bool verifyWith(EVP_PKEY_CTX* ctx, const QByteArray& input, const QByteArray& signature) {
    return EVP_PKEY_verify(ctx, reinterpret_cast<const unsigned char*>(signature.constData()),
                           static_cast<size_t>(signature.size()),
                           reinterpret_cast<const unsigned char*>(input.constData()),
                           static_cast<size_t>(input.size())) == 1;
}

}  // namespace

QByteArray toQByteArray(const Bytes& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()));
}

Bytes toBytes(const QByteArray& bytes) { return Bytes(bytes.begin(), bytes.end()); }

QByteArray fromHex(const char* hex) { return QByteArray::fromHex(QByteArray(hex)); }

QByteArray sha256(const QByteArray& data) { return QCryptographicHash::hash(data, QCryptographicHash::Sha256); }

QByteArray sha256DigestInfo(const QByteArray& digest) {
    return fromHex("3031300d060960864801650304020105000420") + digest;
}

bool verifyRsaPkcs1(const Bytes& publicKeyDer, const QByteArray& digestInfo, const QByteArray& signature) {
    Pkey key = publicKey(publicKeyDer);
    if (!key) return false;
    PkeyCtx ctx = verifyContext(key.get());
    // No digest set: OpenSSL compares the recovered block with the input as it is.
    if (!ctx || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1) return false;
    return verifyWith(ctx.get(), digestInfo, signature);
}

bool verifyRsaPssSha256(const Bytes& publicKeyDer, const QByteArray& digest, const QByteArray& signature) {
    Pkey key = publicKey(publicKeyDer);
    if (!key) return false;
    PkeyCtx ctx = verifyContext(key.get());
    if (!ctx || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PSS_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) != 1 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha256()) != 1 ||
        EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), 32) != 1)
        return false;
    return verifyWith(ctx.get(), digest, signature);
}

bool verifyEcdsa(const Bytes& publicKeyDer, const QByteArray& digest, const QByteArray& derSignature) {
    Pkey key = publicKey(publicKeyDer);
    if (!key) return false;
    PkeyCtx ctx = verifyContext(key.get());
    if (!ctx) return false;
    return verifyWith(ctx.get(), digest, derSignature);
}

void loadCompiledInCardDatabase() {
    tev::resources::ensureRegistered();
    QFile file(":/new/rs/smartcard-config.xml");
    if (!file.open(QIODevice::ReadOnly)) return;
    const QByteArray text = file.readAll();
    tev::smartcard::configure(text.constData());
}

std::vector<std::string> commandsStartingWith(const std::vector<std::string>& log, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& command : log)
        if (command.compare(0, prefix.size(), prefix) == 0) out.push_back(command);
    return out;
}

bool anyCommandStartsWith(const std::vector<std::string>& log, const std::string& prefix) {
    return !commandsStartingWith(log, prefix).empty();
}

}  // namespace pcsctest
