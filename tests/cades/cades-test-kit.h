// Shared pieces of the CAdES tests: the token fixture, running the openssl
// command line, and reading a produced CMS with OpenSSL's own parser.
#pragma once

#include <QByteArray>
#include <QString>
#include <map>
#include <string>
#include <vector>

#include <openssl/cms.h>

namespace cadestest {

struct Signer {
    std::string serial;      // decimal, as the token layer compares it
    QByteArray certificateDer;
};

// Keys, certificates and the SoftHSM token of make-cades-fixture.sh.
struct Fixture {
    bool ok = false;
    std::string problem;     // why the fixture could not be made
    QString dir;
    int slot = -1;
    QString softhsmModule;   // the vendor module
    QString faultModule;     // the fault module, "" when not built
    std::map<std::string, Signer> signers;  // rsa rsa-long p256 p384 p521
    QString caFile() const { return dir + "/ca.pem"; }
};

// Built once per test program; SOFTHSM2_CONF is exported for this process.
const Fixture& fixture();

struct CommandResult {
    int exitCode = -1;
    std::string output;      // standard output and error together
};
CommandResult run(const QString& program, const QStringList& arguments);

QString writeTemporary(const QString& name, const QByteArray& bytes);

// openssl cms -verify -cades -binary -inform DER [-content FILE] -CAfile CA;
// on success *content receives what openssl wrote out. CA: the fixture's
// ca.pem unless another file is named.
CommandResult verifyWithOpenSSL(const QByteArray& cms, const QByteArray* detachedContent,
                                QByteArray* content, const QString& caFile = QString());
// openssl cms -cmsout -print -inform DER
std::string printWithOpenSSL(const QByteArray& cms);

// The hex text of the builder turned into bytes; fails the test on odd or
// non-hex text.
QByteArray bytesOfHex(const std::string& hex);

// Owner of a CMS parsed by OpenSSL.
struct ParsedCms {
    CMS_ContentInfo* cms = nullptr;
    explicit ParsedCms(const QByteArray& der);
    ~ParsedCms();
    ParsedCms(const ParsedCms&) = delete;
    ParsedCms& operator=(const ParsedCms&) = delete;
    CMS_SignerInfo* signer() const;
    // Signed attribute types as dotted OIDs, in encoding order.
    std::vector<std::string> attributeTypes() const;
    // DER of each signed attribute, in encoding order.
    std::vector<QByteArray> attributeEncodings() const;
    // DER of the value of a signed attribute (first value), empty when absent.
    QByteArray attributeValue(const char* dottedOid) const;
};

// True when the shared object is mapped into this process.
bool isMapped(const QString& moduleFileName);

}  // namespace cadestest
