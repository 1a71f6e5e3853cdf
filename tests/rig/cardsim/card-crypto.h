// OpenSSL side of the card simulator: keys, the test CA, certificates and the
// card's signature operations. Internal to corvane-cardsim.
#pragma once

#include "card-simulator.h"

#include <memory>
#include <string>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace cardsim {
namespace crypto {

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

// Throws std::runtime_error with the OpenSSL error queue on failure.
Pkey generateKey(KeyType type);
// Generated once per process under `name` (thread-safe); a new reference each call.
Pkey cachedKey(const std::string& name, KeyType type);
Pkey privateKeyFromPem(const std::string& pem);
KeyType keyTypeOf(EVP_PKEY* key);  // throws for keys other than RSA 2048-class and EC P-256

std::string privateKeyPem(EVP_PKEY* key);
std::string publicKeyPem(EVP_PKEY* key);
Bytes publicKeyDer(EVP_PKEY* key);
// SHA-1 of the subjectPublicKey BIT STRING contents (the usual PKCS#15 iD).
Bytes keyIdentifier(EVP_PKEY* key);

X509Ptr certificateFromDer(const Bytes& der);
std::string certificatePem(const Bytes& der);
std::string serialDecimal(const Bytes& certificateDer);
// Checks that the certificate holds the public half of `key`.
bool certificateMatchesKey(const Bytes& certificateDer, EVP_PKEY* key);

// DER pieces of a certificate that PKCS#15 directory entries repeat.
struct CertificateFields {
    Bytes subject;        // Name
    Bytes issuer;         // Name
    Bytes serialInteger;  // INTEGER, tag and length included
};
CertificateFields certificateFields(const Bytes& certificateDer);

// A certificate for `key` issued by the test CA from the setup's fields.
Bytes issueCertificate(EVP_PKEY* key, const KeySpec& setup);

enum class Algorithm { RsaPkcs1, RsaPss, Ecdsa };
// The card's private-key operation on the PSO input:
//  RsaPkcs1: input is what goes into the PKCS#1 v1.5 type-1 block (a DigestInfo);
//  RsaPss:   input is the digest (20/32/48/64 bytes chooses the hash; salt = hash length);
//  Ecdsa:    input is the digest; the result is r || s, each as long as the order.
// False when the key refuses the input.
bool sign(EVP_PKEY* key, Algorithm algorithm, const Bytes& input, Bytes* signature);

}  // namespace crypto
}  // namespace cardsim
