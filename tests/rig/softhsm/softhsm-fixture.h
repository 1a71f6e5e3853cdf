// SoftHSM2 tokens for C++ tests: runs tests/rig/softhsm/make-tokens.sh into a
// folder and reads the tokens.env it writes (see the script's header for the
// tokens, labels, serial numbers and PINs).
//
//   auto tokens = corvane::rig::makeSoftHsmTokens(corvane::test::privateFolder() + "/hsm");
//   if (!tokens.ok) GTEST_SKIP() << tokens.skipReason;
//   tokens.exportConfig();                       // SOFTHSM2_CONF for this process
//   int slot = tokens.slotOf(tokens.get("TOKEN_MAIN"));
//   std::string serial = tokens.get("RSA_SERIAL");
//
// The module reads SOFTHSM2_CONF at C_Initialize, so call exportConfig() again
// before the jobs of a test that switches between two token sets.
// Also the fault module (tests/rig/p11fault): faultModulePath().
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <cstdlib>
#include <map>
#include <string>

namespace corvane {
namespace rig {

struct SoftHsmTokens {
    bool ok = false;
    QString skipReason;     // why the tokens could not be made (tool missing, ...)
    QString dir;            // the folder given to the script
    std::map<std::string, std::string> values;  // tokens.env

    // A value of tokens.env ("" when absent).
    std::string get(const std::string& key) const {
        auto it = values.find(key);
        return it == values.end() ? std::string() : it->second;
    }
    QString qget(const std::string& key) const { return QString::fromStdString(get(key)); }
    // Slot id of a token label of this store, -1 when unknown.
    int slotOf(const std::string& tokenLabel) const {
        for (const char* t : {"MAIN", "STRAY", "EMPTY"}) {
            if (get(std::string("TOKEN_") + t) == tokenLabel) {
                std::string s = get(std::string("SLOT_") + t);
                return s.empty() ? -1 : static_cast<int>(std::stoll(s));
            }
        }
        return -1;
    }
    // The certificate or key file of an entry as bytes (key: e.g. "RSA_CERT_DER").
    QByteArray file(const std::string& key) const {
        QFile f(qget(key));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    void exportConfig() const { setenv("SOFTHSM2_CONF", get("SOFTHSM2_CONF").c_str(), 1); }
    std::string module() const { return get("P11_MODULE"); }
};

inline QString sourceDir() {
    const char* env = std::getenv("CORVANE_SOURCE_DIR");
#ifdef CORVANE_SOURCE_DIR
    if (!env) env = CORVANE_SOURCE_DIR;
#endif
    return QString::fromUtf8(env ? env : ".");
}

// Builds fresh tokens in `dir` (created when missing; an earlier store there
// is replaced). About 2 s.
inline SoftHsmTokens makeSoftHsmTokens(const QString& dir) {
    SoftHsmTokens t;
    t.dir = dir;
    QDir().mkpath(dir);
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start("bash", {sourceDir() + "/tests/rig/softhsm/make-tokens.sh", dir});
    if (!p.waitForFinished(120000)) {
        t.skipReason = "make-tokens.sh did not finish";
        return t;
    }
    QString output = QString::fromUtf8(p.readAll()).trimmed();
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        t.skipReason = (p.exitCode() == 77 ? "SoftHSM tools absent: " : "make-tokens.sh failed: ") + output;
        return t;
    }
    QFile env(dir + "/tokens.env");
    if (!env.open(QIODevice::ReadOnly)) {
        t.skipReason = "no tokens.env written";
        return t;
    }
    for (const QByteArray& line : env.readAll().split('\n')) {
        int eq = line.indexOf('=');
        if (eq > 0) t.values[line.left(eq).toStdString()] = line.mid(eq + 1).toStdString();
    }
    t.ok = true;
    return t;
}

// Path of the fault-injecting module (built with the pkcs11 tests), or "" when
// it has not been built in this build folder.
inline QString faultModulePath() {
    const char* env = std::getenv("CORVANE_BINARY_DIR");
#ifdef CORVANE_BINARY_DIR
    if (!env) env = CORVANE_BINARY_DIR;
#endif
    QString path = QString::fromUtf8(env ? env : ".") + "/tests/rig/p11fault/libcorvane-p11fault.so";
    return QFileInfo::exists(path) ? path : QString();
}

}  // namespace rig
}  // namespace corvane
