// Signing wrappers: one task per request, handed to its builder; the time the
// signing took goes to the log. Failures of the builders and of the token
// layer pass through unchanged.
#include "quessel-signing.h"

#include <QElapsedTimer>
#include <string>

#include "tev-cades.h"
#include "tev-logging.h"
#include "tev-pkcs11.h"
#include "tev-xades.h"

#include <memory>

namespace tev {
namespace quessel {

namespace {

constexpr int kInvalidDigest = 41;
// The ready-digest form signs SHA-256 digests only.
constexpr int kReadyDigestLength = 32;

void copyProfile(const cades::SignatureProfile& from, cades::SignatureProfile* to) {
    to->policyOID = from.policyOID;
    to->policyDigestAlgorithmOID = from.policyDigestAlgorithmOID;
    to->policyDigest = from.policyDigest;
    to->profileDocumentLink = from.profileDocumentLink;
    to->policyDescription = from.policyDescription;
}

}  // namespace

int signPKCS1(const std::string& libraryName, const QString& modulePath, const std::string& pin,
              std::string certSerialNumber, int slotId, const QByteArray& digest,
              QByteArray* signature) {
    return tev::quessel::pkcs11::signPKCS1_Padding_1_5(libraryName, modulePath, pin,
                                                       certSerialNumber, slotId, digest,
                                                       signature);
}

std::string signCaDES_BES(const std::string& libraryName, const QString& modulePath,
                          const std::string& pin, const std::string& certSerialNumber, int slotId,
                          bool addSigningTime, QDateTime signingTime, bool addSignaturePolicy,
                          cades::SignatureProfile profile, QByteArray data, bool attached) {
    cades::SigningTask task;
    QElapsedTimer clock;
    clock.start();

    task.libraryName = libraryName;
    task.modulePath = modulePath;
    task.pin = pin;
    task.certSerialNumber = certSerialNumber;
    task.addSigningTime = addSigningTime;
    task.signingTime = signingTime;
    task.slotId = slotId;
    task.data = data;
    task.attached = attached;
    if (addSignaturePolicy) {
        task.addSignaturePolicy = true;
        copyProfile(profile, &task.profile);
    }

    QByteArray result;
    cades::signData(&result, &task);
    LOG(INFO) << "Quessel : " << "Completed signing in " << clock.elapsed() << " ms.";
    return result.toStdString();
}

std::string signCaDES_BES_WithDigestAsBase64(const std::string& libraryName,
                                             const QString& modulePath, const std::string& pin,
                                             const std::string& certSerialNumber, int slotId,
                                             bool addSigningTime, QDateTime signingTime,
                                             bool addSignaturePolicy,
                                             cades::SignatureProfile profile,
                                             const char* digestHex) {
    cades::SigningTask task;
    QElapsedTimer clock;
    clock.start();

    task.libraryName = libraryName;
    task.modulePath = modulePath;
    task.pin = pin;
    task.certSerialNumber = certSerialNumber;
    task.addSigningTime = addSigningTime;
    task.signingTime = signingTime;
    task.slotId = slotId;

    // Despite the name the digest arrives as hex; characters that are not
    // hex digits are skipped.
    task.digest = QByteArray::fromHex(QByteArray(digestHex != nullptr ? digestHex : ""));
    task.attached = false;
    if (task.digest.isEmpty()) {
        LOG(INFO) << "Quessel : " << "No digest is provided to be signed";
        throw kInvalidDigest;
    }
    if (task.digest.size() != kReadyDigestLength) {
        LOG(INFO) << "Quessel : " << "The data digest to be signed is invalid "
                  << task.digest.size();
        throw kInvalidDigest;
    }
    if (addSignaturePolicy) {
        task.addSignaturePolicy = true;
        copyProfile(profile, &task.profile);
    }

    QByteArray result;
    cades::signDigest(&result, &task);
    LOG(INFO) << "Quessel : " << "completed signing in " << clock.elapsed() << " ms.";
    return result.toStdString();
}

// ---- XAdES wrappers ---------------------------------------------------------
// signXadesBESEnveloping and signXadesBESEnveloped are defined below by the
// XAdES builder's owner.

namespace {

// The XAdES task as the request brings it; the builder fills the rest.
std::unique_ptr<xades::SigningTask> makeXadesTask(
    const std::string& libraryName, const QString& modulePath, const std::string& pin,
    const std::string& certSerialNumber, int slotId, const std::string& signatureNodeXPath,
    const std::string& nodeToSignXPath, const std::string& signerClaimedRole, bool addSigningTime,
    const QDateTime& signingTime, bool addSignaturePolicy, const xades::SignatureProfile& profile,
    QByteArray* data, int mode) {
    auto task = std::make_unique<xades::SigningTask>();
    task->libraryName = libraryName;
    task->modulePath = modulePath;
    task->pin = pin;
    task->certSerialNumber = certSerialNumber;
    task->addSigningTime = addSigningTime;
    task->signingTime = signingTime;
    task->slotId = slotId;
    task->signatureNodeXPath = signatureNodeXPath;
    task->nodeToSignXPath = nodeToSignXPath;
    task->signerClaimedRole = signerClaimedRole;
    task->data = data;
    task->mode = mode;
    if (addSignaturePolicy) {
        task->addSignaturePolicy = true;
        task->profile.policyOID = profile.policyOID;
        task->profile.policyDigestAlgorithmOID = profile.policyDigestAlgorithmOID;
        task->profile.policyDigest = profile.policyDigest;
        task->profile.profileDocumentLink = profile.profileDocumentLink;
        task->profile.policyDescription = profile.policyDescription;
    }
    return task;
}

// A failed builder's output is never handed on.
void throwOnFailure(int code, const char* operation, QByteArray* out, int outSizeBefore) {
    if (code == 0) return;
    out->truncate(outSizeBefore);
    LOG(ERROR) << "Quessel : " << "Cannot perform " << operation << " due to code " << code;
    throw code;
}

}  // namespace

int signXadesBESEnveloping(const std::string& libraryName, const QString& modulePath,
                           const std::string& pin, const std::string& certSerialNumber, int slotId,
                           const std::string& signatureNodeXPath,
                           const std::string& nodeToSignXPath,
                           const std::string& signerClaimedRole, bool addSigningTime,
                           const QDateTime& signingTime, bool addSignaturePolicy,
                           const xades::SignatureProfile& profile, QByteArray* data,
                           QByteArray* out) {
    QElapsedTimer clock;
    clock.start();
    // Released on every road, the thrown ones included.
    std::unique_ptr<xades::SigningTask> task =
        makeXadesTask(libraryName, modulePath, pin, certSerialNumber, slotId, signatureNodeXPath,
                      nodeToSignXPath, signerClaimedRole, addSigningTime, signingTime,
                      addSignaturePolicy, profile, data, 3);
    const int outSizeBefore = out->size();
    const int code = xades::signXadesBESEnveloping(out, task.get());
    throwOnFailure(code, "signXadesBESEnveloping", out, outSizeBefore);
    LOG(INFO) << "Quessel : " << "Completed signing in " << clock.elapsed() << " ms.";
    return 0;
}

int signXadesBESEnveloped(const std::string& libraryName, const QString& modulePath,
                          const std::string& pin, const std::string& certSerialNumber, int slotId,
                          const std::string& signatureNodeXPath,
                          const std::string& nodeToSignXPath,
                          const std::string& signerClaimedRole, bool addSigningTime,
                          const QDateTime& signingTime, bool addSignaturePolicy,
                          bool addCounterSignature, const xades::SignatureProfile& profile,
                          QByteArray* data, QByteArray* out) {
    QElapsedTimer clock;
    clock.start();
    std::unique_ptr<xades::SigningTask> task =
        makeXadesTask(libraryName, modulePath, pin, certSerialNumber, slotId, signatureNodeXPath,
                      nodeToSignXPath, signerClaimedRole, addSigningTime, signingTime,
                      addSignaturePolicy, profile, data, 2);
    task->addCounterSignature = addCounterSignature;
    const int outSizeBefore = out->size();
    const int code = xades::signXadesBESEnveloped(out, task.get());
    throwOnFailure(code, "signXadesBESEnveloped", out, outSizeBefore);
    LOG(INFO) << "Quessel : " << "Completed signing in " << clock.elapsed() << " ms.";
    return 0;
}

}  // namespace quessel
}  // namespace tev
