// One signing request as it travels through the token layer.
#pragma once

#include <QByteArray>

namespace tev {
namespace quessel {

// The caller (CAdES builder, XAdES builder, raw PKCS#1 v1.5 job) owns the
// record, fills `data` and hands its address to
// tev::quessel::pkcs11::signDigestWithProvidedSlotAndCertificate, which writes
// the signature into `signature`.
struct Signature {
    // Bytes to sign: a DER DigestInfo for RSA keys, the bare digest for ECC keys.
    QByteArray data;
    // Empty when handed over; receives the signature as the token returns it
    // (AKIS cards: ECDSA results as the DER SEQUENCE { INTEGER r, INTEGER s }).
    QByteArray signature;
};

}  // namespace quessel
}  // namespace tev
