// Helpers of the rig's own tests: a tiny DER walker and OpenSSL verification
// of what the simulated cards sign, independent of the simulator's code.
#pragma once

#include "card-simulator.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace rigtest {

using cardsim::Bytes;

// One DER element: tag, the whole encoding and its children (constructed only).
struct Der {
    uint8_t tag = 0;
    Bytes encoding;
    Bytes value;
    std::vector<Der> children;
    const Der& at(size_t i) const {
        if (i >= children.size()) throw std::out_of_range("DER child " + std::to_string(i));
        return children[i];
    }
};

inline size_t parseDer(const Bytes& in, size_t pos, Der* out) {
    if (pos + 2 > in.size()) throw std::runtime_error("DER: truncated header");
    const size_t start = pos;
    out->tag = in[pos++];
    size_t len = in[pos++];
    if (len & 0x80) {
        size_t n = len & 0x7F;
        if (n == 0 || n > 3 || pos + n > in.size()) throw std::runtime_error("DER: bad length");
        len = 0;
        for (size_t i = 0; i < n; ++i) len = len << 8 | in[pos++];
    }
    if (pos + len > in.size()) throw std::runtime_error("DER: truncated value");
    out->value.assign(in.begin() + static_cast<long>(pos), in.begin() + static_cast<long>(pos + len));
    out->encoding.assign(in.begin() + static_cast<long>(start), in.begin() + static_cast<long>(pos + len));
    if (out->tag & 0x20) {
        size_t p = 0;
        while (p < out->value.size()) {
            Der child;
            p = parseDer(out->value, p, &child);
            out->children.push_back(std::move(child));
        }
    }
    return pos + len;
}

// All top-level elements of a directory file.
inline std::vector<Der> parseAll(const Bytes& in) {
    std::vector<Der> out;
    size_t p = 0;
    while (p < in.size()) {
        Der d;
        p = parseDer(in, p, &d);
        out.push_back(std::move(d));
    }
    return out;
}

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// The public key taken from the certificate (not from the simulator's key).
inline Pkey publicKeyOfCertificate(const Bytes& der) {
    const unsigned char* p = der.data();
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (!cert) throw std::runtime_error("certificate does not parse");
    Pkey key(X509_get_pubkey(cert));
    X509_free(cert);
    return key;
}

// True when the CA certificate (PEM) verifies the certificate's signature.
inline bool issuedBy(const Bytes& certDer, const std::string& caPem) {
    const unsigned char* p = certDer.data();
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(certDer.size()));
    BIO* bio = BIO_new_mem_buf(caPem.data(), static_cast<int>(caPem.size()));
    X509* ca = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
    bool ok = false;
    if (cert && ca) {
        Pkey caKey(X509_get_pubkey(ca));
        ok = X509_verify(cert, caKey.get()) == 1 && X509_check_issued(ca, cert) == X509_V_OK;
    }
    X509_free(cert);
    X509_free(ca);
    BIO_free(bio);
    return ok;
}

inline Bytes sha256(const Bytes& data) {
    Bytes out(32);
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &n, EVP_sha256(), nullptr);
    return out;
}

// DigestInfo for SHA-256 (RFC 8017 section 9.2 note 1) around a digest.
inline Bytes sha256DigestInfo(const Bytes& digest) {
    Bytes out = cardsim::fromHex("3031300D060960864801650304020105000420");
    out.insert(out.end(), digest.begin(), digest.end());
    return out;
}

// RSA PKCS#1 v1.5 over SHA-256 of `data`, checked by OpenSSL.
inline bool verifyRsaPkcs1Sha256(EVP_PKEY* key, const Bytes& data, const Bytes& sig) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
              EVP_DigestVerify(ctx, sig.data(), sig.size(), data.data(), data.size()) == 1;
    EVP_MD_CTX_free(ctx);
    return ok;
}

inline bool verifyRsaPssSha256(EVP_PKEY* key, const Bytes& data, const Bytes& sig) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = nullptr;
    bool ok = EVP_DigestVerifyInit(ctx, &pctx, EVP_sha256(), nullptr, key) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) == 1 &&
              EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, RSA_PSS_SALTLEN_DIGEST) == 1 &&
              EVP_DigestVerify(ctx, sig.data(), sig.size(), data.data(), data.size()) == 1;
    EVP_MD_CTX_free(ctx);
    return ok;
}

// ECDSA over SHA-256 of `data` from a raw r || s pair.
inline bool verifyEcdsaRawSha256(EVP_PKEY* key, const Bytes& data, const Bytes& raw) {
    if (raw.empty() || raw.size() % 2) return false;
    const int half = static_cast<int>(raw.size() / 2);
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(raw.data(), half, nullptr), BN_bin2bn(raw.data() + half, half, nullptr));
    unsigned char* der = nullptr;
    int n = i2d_ECDSA_SIG(sig, &der);
    ECDSA_SIG_free(sig);
    if (n <= 0) return false;
    Bytes derSig(der, der + n);
    OPENSSL_free(der);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
              EVP_DigestVerify(ctx, derSig.data(), derSig.size(), data.data(), data.size()) == 1;
    EVP_MD_CTX_free(ctx);
    return ok;
}

inline Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline uint16_t swOf(const Bytes& r) {
    return r.size() >= 2 ? static_cast<uint16_t>(r[r.size() - 2] << 8 | r.back()) : 0;
}
inline Bytes dataOf(const Bytes& r) { return r.size() >= 2 ? Bytes(r.begin(), r.end() - 2) : Bytes{}; }

// Command with Lc from the data and an optional trailing Le.
inline Bytes apdu(const std::string& header, const Bytes& data, bool le = true) {
    Bytes out = cardsim::fromHex(header);
    out.push_back(static_cast<uint8_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    if (le) out.push_back(0x00);
    return out;
}

}  // namespace rigtest
