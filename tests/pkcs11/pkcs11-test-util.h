// Helpers of the PKCS#11 tests: independent checks with OpenSSL and
// pkcs11-tool, the fault module's environment, and the process's mappings.
#pragma once

#include "softhsm-fixture.h"
#include "test-support.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QRegExp>
#include <QStringList>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace p11test {

inline bool mapped(const std::string& fileName) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find(fileName) != std::string::npos) return true;
    return false;
}
inline bool softhsmMapped() { return mapped("libsofthsm2.so"); }
inline bool faultModuleMapped() { return mapped("libcorvane-p11fault.so"); }

// Runs a tool; exit code (or -1), output in *out.
inline int run(const QString& program, const QStringList& args, QString* out = nullptr) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(60000)) return -1;
    if (out) *out = QString::fromUtf8(p.readAll());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

inline bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// `openssl dgst -sha256 -verify` of `data` against the certificate's key: the
// whole check (hashing, padding or ECDSA decoding) is OpenSSL's.
inline bool opensslVerifiesData(const QString& certPem, const QByteArray& data, const QByteArray& signature,
                                QString* output = nullptr) {
    const QString dir = corvane::test::privateFolder();
    const QString pub = dir + "/verify-pub.pem", in = dir + "/verify-data.bin", sig = dir + "/verify-sig.bin";
    QString text;
    if (run("openssl", {"x509", "-in", certPem, "-pubkey", "-noout", "-out", pub}, &text) != 0) return false;
    writeFile(in, data);
    writeFile(sig, signature);
    const int rc = run("openssl", {"dgst", "-sha256", "-verify", pub, "-signature", sig, in}, &text);
    if (output) *output = text;
    return rc == 0 && text.contains("Verified OK");
}

// In-process OpenSSL check of a signature over a SHA-256 digest (PKCS#1 v1.5
// DigestInfo for RSA, DER ECDSA-Sig-Value for EC); for many signatures.
inline bool opensslVerifiesDigest(const QByteArray& certPem, const QByteArray& digest, const QByteArray& signature) {
    BIO* bio = BIO_new_mem_buf(certPem.constData(), certPem.size());
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (!cert) return false;
    EVP_PKEY* key = X509_get_pubkey(cert);
    X509_free(cert);
    if (!key) return false;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    bool ok = ctx && EVP_PKEY_verify_init(ctx) == 1 && EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) == 1 &&
              EVP_PKEY_verify(ctx, reinterpret_cast<const unsigned char*>(signature.constData()),
                              static_cast<size_t>(signature.size()),
                              reinterpret_cast<const unsigned char*>(digest.constData()),
                              static_cast<size_t>(digest.size())) == 1;
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
    return ok;
}

// Sets an environment variable for the scope (the fault module reads it at
// every call).
class EnvScope {
public:
    EnvScope(const char* name, const std::string& value) : name_(name) {
        const char* old = std::getenv(name);
        if (old) {
            hadOld_ = true;
            old_ = old;
        }
        setenv(name, value.c_str(), 1);
    }
    ~EnvScope() {
        if (hadOld_) {
            setenv(name_.c_str(), old_.c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }
    EnvScope(const EnvScope&) = delete;
    EnvScope& operator=(const EnvScope&) = delete;

private:
    std::string name_;
    std::string old_;
    bool hadOld_ = false;
};

// The fault module's call trace for one scope.
class Trace {
public:
    explicit Trace(const QString& name)
        : path_((corvane::test::privateFolder() + "/" + name + ".trace").toStdString()),
          env_("P11FAULT_TRACE", path_) {
        std::remove(path_.c_str());
    }
    std::string text() const {
        std::ifstream f(path_);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    bool called(const std::string& fn) const { return text().find(fn + " ") != std::string::npos; }
    // Calls in order, e.g. "C_Login 0xa0".
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::istringstream in(text());
        std::string line;
        while (std::getline(in, line)) out.push_back(line);
        return out;
    }

private:
    std::string path_;
    EnvScope env_;
};

// Objects of a token as pkcs11-tool lists them: one "<type>|<label>|<id>" each.
inline QStringList tokenObjects(const corvane::rig::SoftHsmTokens& tokens, const QString& tokenLabel) {
    QString out;
    run("pkcs11-tool", {"--module", tokens.qget("P11_MODULE"), "--token-label", tokenLabel, "--login", "--pin",
                        tokens.qget("P11_PIN"), "--list-objects"},
        &out);
    QStringList objects;
    QString type, label, id;
    auto flush = [&] {
        if (!type.isEmpty()) objects << type + "|" + label + "|" + id;
        type.clear();
        label.clear();
        id.clear();
    };
    for (const QString& raw : out.split('\n')) {
        const QString line = raw.trimmed();
        if (line.startsWith("Certificate Object")) {
            flush();
            type = "cert";
        } else if (line.startsWith("Public Key Object")) {
            flush();
            type = "public";
        } else if (line.startsWith("Private Key Object")) {
            flush();
            type = "private";
        } else if (line.startsWith("Data object")) {
            flush();
            type = "data";
        } else if (line.startsWith("label:")) {
            label = line.mid(6).trimmed();
        } else if (line.startsWith("ID:")) {
            id = line.mid(3).trimmed();
        }
    }
    flush();
    objects.sort();
    return objects;
}

// Initialises a fresh token in the store; its slot id, or -1.
inline int freshToken(const corvane::rig::SoftHsmTokens& tokens, const QString& label) {
    QString out;
    if (run("softhsm2-util", {"--init-token", "--free", "--label", label, "--so-pin", tokens.qget("P11_SO_PIN"),
                              "--pin", tokens.qget("P11_PIN")},
            &out) != 0)
        return -1;
    const int at = out.indexOf("reassigned to slot ");
    if (at < 0) return -1;
    return out.mid(at + 19).split(QRegExp("\\s")).first().toInt();
}

}  // namespace p11test
