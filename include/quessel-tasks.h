// The records that carry one signing request from the command layer into the
// CAdES and XAdES builders. Plain values: the wrappers fill what the request
// brings, the builders fill the rest (certificate, digest, Ids).
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <string>

#include "tev-certificate.h"

namespace tev {
namespace quessel {

namespace cades {

// Signature policy of a CAdES-BES signature (signature-policy-identifier).
struct SignatureProfile {
    QList<int> policyOID;                 // arcs of the policy identifier
    QList<int> policyDigestAlgorithmOID;  // arcs of the hash algorithm of the policy document
    QByteArray policyDigest;              // hash of the policy document
    std::string profileDocumentLink;      // URI of the policy document (SPuri qualifier)
    std::string policyDescription;        // user-notice text
};

// Input of one CAdES-BES signing; lives for one wrapper call on one thread.
struct SigningTask {
    std::string libraryName;              // "akisp11" selects the card's APDU road
    QString modulePath;                   // PKCS#11 module to load
    int slotId = 0;
    std::string pin;
    std::string certSerialNumber;         // decimal text
    tev::x509::Certificate certificate;   // filled by the builder from the token
    QByteArray data;                      // content to sign
    bool attached = false;                // embed the content in the SignedData
    QByteArray digest;                    // ready digest, or the builder's digest of data
    int version = 0;                      // CMS versions, set by the builder
    bool addSigningTime = false;
    QDateTime signingTime;                // local time of the machine; null: now
    bool addSignaturePolicy = false;
    SignatureProfile profile;             // copied only when a policy is asked for
};

}  // namespace cades

namespace xades {

// Same members as the CAdES profile; a XAdES signature carries no policy element.
struct SignatureProfile {
    QList<int> policyOID;
    QList<int> policyDigestAlgorithmOID;
    QByteArray policyDigest;
    std::string profileDocumentLink;
    std::string policyDescription;
};

// Input of one XAdES-BES signing; the wrapper owns it for one call.
struct SigningTask {
    std::string libraryName;
    QString modulePath;
    int slotId = 0;
    std::string pin;
    std::string certSerialNumber;
    tev::x509::Certificate certificate;   // filled by the builder from the token
    QByteArray* data = nullptr;           // caller's document or content, not owned
    int mode = 0;                         // 3 enveloping, 2 enveloped
    bool addSigningTime = false;
    QDateTime signingTime;                // kept for symmetry; XAdES always signs "now"
    bool addSignaturePolicy = false;
    SignatureProfile profile;
    std::string signatureNodeXPath;
    std::string nodeToSignXPath;
    std::string signerClaimedRole;
    std::string signatureId;
    std::string signedPropertiesId;
    std::string dataReferenceId;
    std::string objectId;
    std::string signatureValueId;
    bool addCounterSignature = false;     // enveloped form only
};

}  // namespace xades

}  // namespace quessel
}  // namespace tev
