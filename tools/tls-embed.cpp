// Build-time tool: turns the generated PEM files into the C++ constants of
// tls-material.h, scrambled with the same routine the programs use. Only the
// scrambled texts are written: the plain PEM texts must not be linked into
// the programs.
//   tls-embed <leaf.pem> <interm.pem> <leaf.key> <out.cpp>
#include "tls-material.h"

#include <QByteArray>
#include <QFile>
#include <cstdio>

static std::string readAll(const char* path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "tls-embed: cannot read %s\n", path);
        std::exit(1);
    }
    return f.readAll().toStdString();
}

static std::string scrambled(const std::string& pem) {
    return QByteArray::fromStdString(encryptDecrypt(pem)).toBase64().toStdString();
}

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: tls-embed leaf.pem interm.pem leaf.key out.cpp\n");
        return 2;
    }
    const std::string cert = readAll(argv[1]), interm = readAll(argv[2]), key = readAll(argv[3]);
    std::string out = "// Generated at build time by tools/tls-embed; do not edit.\n"
                      "#include \"tls-material.h\"\n\n";
    out += "namespace corvane {\nnamespace tls {\n";
    out += "extern const char encodedCertificate[] = \"" + scrambled(cert) + "\";\n";
    out += "extern const char encodedIntermCertificate[] = \"" + scrambled(interm) + "\";\n";
    out += "extern const char encodedPrivateKey[] = \"" + scrambled(key) + "\";\n";
    out += "}  // namespace tls\n}  // namespace corvane\n\n";
    out += "const std::string ENCODED_CERTIFICATE = corvane::tls::encodedCertificate;\n";
    out += "const std::string ENCODED_INTERM_CERTIFICATE = corvane::tls::encodedIntermCertificate;\n";
    out += "const std::string ENCODED_PRIVATE_KEY = corvane::tls::encodedPrivateKey;\n";
    QFile f(argv[4]);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        f.write(QByteArray::fromStdString(out)) != static_cast<qint64>(out.size())) {
        std::fprintf(stderr, "tls-embed: cannot write %s\n", argv[4]);
        return 1;
    }
    return 0;
}
