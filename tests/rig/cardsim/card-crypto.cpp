#include "card-crypto.h"

#include <atomic>
#include <ctime>
#include <map>
#include <mutex>
#include <stdexcept>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/x509v3.h>

namespace cardsim {
namespace crypto {
namespace {

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct CtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
struct NameFree {
    void operator()(X509_NAME* n) const { X509_NAME_free(n); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using CtxPtr = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;
using NamePtr = std::unique_ptr<X509_NAME, NameFree>;

[[noreturn]] void fail(const std::string& what) {
    std::string text = "cardsim: " + what;
    unsigned long e;
    char buf[256];
    while ((e = ERR_get_error()) != 0) {
        ERR_error_string_n(e, buf, sizeof buf);
        text += "; ";
        text += buf;
    }
    throw std::runtime_error(text);
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    return std::string(data, data + (n > 0 ? n : 0));
}

void addEntry(X509_NAME* name, const char* field, const std::string& value) {
    if (value.empty()) return;
    if (X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0) != 1)
        fail(std::string("cannot set name field ") + field);
}

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext) fail(std::string("cannot build extension ") + value);
    int ok = X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    if (ok != 1) fail("cannot add extension");
}

void setSerial(X509* cert, const Bytes& serial) {
    BnPtr bn(BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr));
    if (!bn || !BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert))) fail("cannot set serial");
}

struct CaHolder {
    Pkey key;
    X509Ptr cert;
    TestCa published;
};

const CaHolder& caHolder() {
    static std::once_flag once;
    static CaHolder holder;
    std::call_once(once, [] {
        holder.key = generateKey(KeyType::Rsa2048);
        X509Ptr cert(X509_new());
        if (!cert) fail("X509_new");
        X509_set_version(cert.get(), 2);
        setSerial(cert.get(), Bytes{0x01, 0xCA});
        NamePtr name(X509_NAME_new());
        addEntry(name.get(), "C", "TR");
        addEntry(name.get(), "O", "Corvane Test");
        addEntry(name.get(), "CN", "Corvane Rig Test CA");
        X509_set_subject_name(cert.get(), name.get());
        X509_set_issuer_name(cert.get(), name.get());
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -2L * 365 * 86400);
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 20L * 365 * 86400);
        X509_set_pubkey(cert.get(), holder.key.get());
        addExtension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
        addExtension(cert.get(), cert.get(), NID_subject_key_identifier, "hash");
        if (X509_sign(cert.get(), holder.key.get(), EVP_sha256()) <= 0) fail("cannot sign the CA certificate");
        holder.cert = std::move(cert);

        unsigned char* der = nullptr;
        int n = i2d_X509(holder.cert.get(), &der);
        if (n <= 0) fail("i2d_X509");
        holder.published.certificateDer.assign(der, der + n);
        OPENSSL_free(der);
        holder.published.certificatePem = certificatePem(holder.published.certificateDer);
        holder.published.privateKeyPem = privateKeyPem(holder.key.get());
    });
    return holder;
}

}  // namespace

Pkey generateKey(KeyType type) {
    EVP_PKEY* key = type == KeyType::Rsa2048 ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048})
                                            : EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    if (!key) fail("key generation failed");
    return Pkey(key);
}

Pkey cachedKey(const std::string& name, KeyType type) {
    static std::mutex mutex;
    static std::map<std::pair<std::string, int>, Pkey> cache;
    std::lock_guard<std::mutex> lock(mutex);
    auto& slot = cache[{name, static_cast<int>(type)}];
    if (!slot) slot = generateKey(type);
    if (EVP_PKEY_up_ref(slot.get()) != 1) fail("EVP_PKEY_up_ref");
    return Pkey(slot.get());
}

Pkey privateKeyFromPem(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr;
    if (!key) fail("cannot read the supplied private key");
    return Pkey(key);
}

KeyType keyTypeOf(EVP_PKEY* key) {
    if (EVP_PKEY_is_a(key, "RSA")) return KeyType::Rsa2048;
    if (EVP_PKEY_is_a(key, "EC")) {
        char group[64] = {0};
        size_t len = 0;
        if (EVP_PKEY_get_utf8_string_param(key, "group", group, sizeof group, &len) == 1 &&
            std::string(group) == "prime256v1")
            return KeyType::EcP256;
        throw std::invalid_argument("cardsim: only EC keys on P-256 are supported");
    }
    throw std::invalid_argument("cardsim: only RSA and EC P-256 keys are supported");
}

std::string privateKeyPem(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        fail("cannot write the private key");
    return bioText(bio.get());
}

std::string publicKeyPem(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), key) != 1) fail("cannot write the public key");
    return bioText(bio.get());
}

Bytes publicKeyDer(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    int n = i2d_PUBKEY(key, &der);
    if (n <= 0) fail("i2d_PUBKEY");
    Bytes out(der, der + n);
    OPENSSL_free(der);
    return out;
}

Bytes keyIdentifier(EVP_PKEY* key) {
    Bytes spki = publicKeyDer(key);
    const unsigned char* p = spki.data();
    X509_PUBKEY* pub = d2i_X509_PUBKEY(nullptr, &p, static_cast<long>(spki.size()));
    if (!pub) fail("d2i_X509_PUBKEY");
    const unsigned char* bits = nullptr;
    int bitsLen = 0;
    X509_PUBKEY_get0_param(nullptr, &bits, &bitsLen, nullptr, pub);
    Bytes id(SHA_DIGEST_LENGTH);
    SHA1(bits, static_cast<size_t>(bitsLen), id.data());
    X509_PUBKEY_free(pub);
    return id;
}

X509Ptr certificateFromDer(const Bytes& der) {
    const unsigned char* p = der.data();
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (!cert) fail("the certificate is not DER");
    return X509Ptr(cert);
}

std::string certificatePem(const Bytes& der) {
    X509Ptr cert = certificateFromDer(der);
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), cert.get()) != 1) fail("PEM_write_bio_X509");
    return bioText(bio.get());
}

std::string serialDecimal(const Bytes& certificateDer) {
    X509Ptr cert = certificateFromDer(certificateDer);
    BnPtr bn(ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert.get()), nullptr));
    if (!bn) fail("ASN1_INTEGER_to_BN");
    char* text = BN_bn2dec(bn.get());
    std::string out(text ? text : "");
    OPENSSL_free(text);
    return out;
}

CertificateFields certificateFields(const Bytes& certificateDer) {
    X509Ptr cert = certificateFromDer(certificateDer);
    CertificateFields f;
    auto der = [](auto* object, auto encode) {
        unsigned char* out = nullptr;
        int n = encode(object, &out);
        if (n <= 0) fail("cannot encode a certificate field");
        Bytes bytes(out, out + n);
        OPENSSL_free(out);
        return bytes;
    };
    f.subject = der(X509_get_subject_name(cert.get()), [](X509_NAME* n, unsigned char** o) { return i2d_X509_NAME(n, o); });
    f.issuer = der(X509_get_issuer_name(cert.get()), [](X509_NAME* n, unsigned char** o) { return i2d_X509_NAME(n, o); });
    f.serialInteger = der(X509_get0_serialNumber(cert.get()),
                          [](const ASN1_INTEGER* i, unsigned char** o) { return i2d_ASN1_INTEGER(i, o); });
    return f;
}

bool certificateMatchesKey(const Bytes& certificateDer, EVP_PKEY* key) {
    X509Ptr cert = certificateFromDer(certificateDer);
    return X509_check_private_key(cert.get(), key) == 1;
}

Bytes issueCertificate(EVP_PKEY* key, const KeySpec& setup) {
    const CaHolder& ca = caHolder();
    X509Ptr cert(X509_new());
    if (!cert) fail("X509_new");
    X509_set_version(cert.get(), 2);
    setSerial(cert.get(), setup.serial);
    NamePtr name(X509_NAME_new());
    addEntry(name.get(), "C", "TR");
    addEntry(name.get(), "serialNumber", setup.identityNumber);
    addEntry(name.get(), "CN", setup.commonName);
    X509_set_subject_name(cert.get(), name.get());
    X509_set_issuer_name(cert.get(), X509_get_subject_name(ca.cert.get()));
    // Times count from one moment of the process, and each certificate made
    // after another ends one second earlier: the agent lists the certificate
    // that expires last first, so a card's certificates are listed in the
    // order they were made, however long the key generation took (before,
    // the order turned on whether it crossed a second).
    static const time_t processStart = time(nullptr);
    time_t issuedAt = processStart;
    static std::atomic<long> made{0};
    const long laterThanNext = -made.fetch_add(1);
    if (setup.validDays >= 0) {
        X509_time_adj_ex(X509_getm_notBefore(cert.get()), -1, 0, &issuedAt);
        X509_time_adj_ex(X509_getm_notAfter(cert.get()), setup.validDays, laterThanNext, &issuedAt);
    } else {
        // Expired: valid for a year that ended |validDays| days ago.
        X509_time_adj_ex(X509_getm_notBefore(cert.get()), setup.validDays - 365, 0, &issuedAt);
        X509_time_adj_ex(X509_getm_notAfter(cert.get()), setup.validDays, laterThanNext, &issuedAt);
    }
    X509_set_pubkey(cert.get(), key);
    addExtension(cert.get(), ca.cert.get(), NID_basic_constraints, "critical,CA:FALSE");
    addExtension(cert.get(), ca.cert.get(), NID_key_usage, "critical,digitalSignature,nonRepudiation");
    addExtension(cert.get(), ca.cert.get(), NID_subject_key_identifier, "hash");
    addExtension(cert.get(), ca.cert.get(), NID_authority_key_identifier, "keyid:always");
    addExtension(cert.get(), ca.cert.get(), NID_crl_distribution_points,
                 "URI:http://crl.rig.invalid/corvane-rig-test-ca.crl");
    if (X509_sign(cert.get(), ca.key.get(), EVP_sha256()) <= 0) fail("cannot sign the certificate");
    unsigned char* der = nullptr;
    int n = i2d_X509(cert.get(), &der);
    if (n <= 0) fail("i2d_X509");
    Bytes out(der, der + n);
    OPENSSL_free(der);
    return out;
}

bool sign(EVP_PKEY* key, Algorithm algorithm, const Bytes& input, Bytes* signature) {
    const bool isRsa = EVP_PKEY_is_a(key, "RSA");
    if ((algorithm == Algorithm::Ecdsa) == isRsa) return false;
    CtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1) return false;
    if (algorithm == Algorithm::RsaPkcs1) {
        if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1) return false;
    } else if (algorithm == Algorithm::RsaPss) {
        const EVP_MD* md = input.size() == 20   ? EVP_sha1()
                           : input.size() == 32 ? EVP_sha256()
                           : input.size() == 48 ? EVP_sha384()
                           : input.size() == 64 ? EVP_sha512()
                                                : nullptr;
        if (!md) return false;
        if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PSS_PADDING) != 1 ||
            EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1 ||
            EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), md) != 1 ||
            EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), RSA_PSS_SALTLEN_DIGEST) != 1)
            return false;
    }
    size_t len = 0;
    if (EVP_PKEY_sign(ctx.get(), nullptr, &len, input.data(), input.size()) != 1) {
        ERR_clear_error();
        return false;
    }
    Bytes out(len);
    if (EVP_PKEY_sign(ctx.get(), out.data(), &len, input.data(), input.size()) != 1) {
        ERR_clear_error();
        return false;
    }
    out.resize(len);
    if (algorithm != Algorithm::Ecdsa) {
        *signature = std::move(out);
        return true;
    }
    // The card answers the raw pair r || s, as EC signature cards do.
    const unsigned char* p = out.data();
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(out.size()));
    if (!sig) return false;
    const int half = (EVP_PKEY_get_bits(key) + 7) / 8;
    Bytes raw(static_cast<size_t>(half) * 2);
    bool ok = BN_bn2binpad(ECDSA_SIG_get0_r(sig), raw.data(), half) == half &&
              BN_bn2binpad(ECDSA_SIG_get0_s(sig), raw.data() + half, half) == half;
    ECDSA_SIG_free(sig);
    if (!ok) return false;
    *signature = std::move(raw);
    return true;
}

}  // namespace crypto

const TestCa& testCa() {
    return crypto::caHolder().published;
}

}  // namespace cardsim
