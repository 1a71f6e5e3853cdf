// The signing wrappers between the signing commands and the signature builders:
// each takes the request values, fills a task, calls its builder and hands the
// result back. Failures are thrown integer codes (or raw unsigned card codes).
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <string>

#include "quessel-tasks.h"

namespace tev {
namespace quessel {

// Raw PKCS#1 v1.5 signature of a digest; *signature receives the value.
int signPKCS1(const std::string& libraryName, const QString& modulePath, const std::string& pin,
              std::string certSerialNumber, int slotId, const QByteArray& digest,
              QByteArray* signature);

// CAdES-BES over data; returns the DER of the ContentInfo as hexadecimal text.
std::string signCaDES_BES(const std::string& libraryName, const QString& modulePath,
                          const std::string& pin, const std::string& certSerialNumber, int slotId,
                          bool addSigningTime, QDateTime signingTime, bool addSignaturePolicy,
                          tev::quessel::cades::SignatureProfile profile, QByteArray data,
                          bool attached);

// CAdES-BES (detached) over a ready SHA-256 digest given as hexadecimal text.
std::string signCaDES_BES_WithDigestAsBase64(const std::string& libraryName,
                                             const QString& modulePath, const std::string& pin,
                                             const std::string& certSerialNumber, int slotId,
                                             bool addSigningTime, QDateTime signingTime,
                                             bool addSignaturePolicy,
                                             tev::quessel::cades::SignatureProfile profile,
                                             const char* digestHex);

// XAdES-BES enveloping; *out receives the signed document. Returns 0.
int signXadesBESEnveloping(const std::string& libraryName, const QString& modulePath,
                           const std::string& pin, const std::string& certSerialNumber, int slotId,
                           const std::string& signatureNodeXPath,
                           const std::string& nodeToSignXPath,
                           const std::string& signerClaimedRole, bool addSigningTime,
                           const QDateTime& signingTime, bool addSignaturePolicy,
                           const tev::quessel::xades::SignatureProfile& profile, QByteArray* data,
                           QByteArray* out);

// XAdES-BES enveloped into the given document, optionally as a counter-signature.
int signXadesBESEnveloped(const std::string& libraryName, const QString& modulePath,
                          const std::string& pin, const std::string& certSerialNumber, int slotId,
                          const std::string& signatureNodeXPath,
                          const std::string& nodeToSignXPath,
                          const std::string& signerClaimedRole, bool addSigningTime,
                          const QDateTime& signingTime, bool addSignaturePolicy,
                          bool addCounterSignature,
                          const tev::quessel::xades::SignatureProfile& profile, QByteArray* data,
                          QByteArray* out);

}  // namespace quessel
}  // namespace tev
