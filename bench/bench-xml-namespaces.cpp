// The cost of reading and signing into XML documents of the shapes that cost
// most per byte. Any page may send them, so the time must grow in proportion
// to their size, not to its square:
//   - N prefixes declared on the root element and N child elements below it,
//     and the same document with an undeclared prefix on its last element,
//     refused with 51 after the whole document has been read;
//   - N xml:* attributes on the element the signature goes into, which every
//     digest below it inherits;
//   - a namespace name of the longest length signed (512 bytes) under N
//     elements with a prefixed attribute each, and the same with a name one
//     byte longer, refused with 51.
//
// Each through signXaDES_BES_Enveloped of the command function both
// dispatchers call (SoftHSM2, RSA-2048, as bench-signing). Prints the times
// and the time per 1,000 elements or attributes; asserts nothing about time.
// The exit status is non-zero when a signature fails, a refusal comes with
// another error than 51, or a twin that must be refused is signed: a wrong
// answer, printed loudly.
//
//   corvane-bench-xml-namespaces [--sizes 5000,10000,20000,40000,120000]
#include <QByteArray>
#include <QCoreApplication>
#include <QJsonObject>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "../tests/rig/softhsm/softhsm-fixture.h"
#include "quessel-commons.h"
#include "tev-logging.h"
#include "tev-smartcard.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// <d xmlns:p0="urn:n0" ... xmlns:pN-1="urn:nN-1"><pi:e a="i"/>...</d>, the
// last child's prefix undeclared when `faultAtEnd`.
QByteArray namespaceShape(int n, bool faultAtEnd) {
    QByteArray document = "<d";
    for (int i = 0; i < n; ++i) {
        document += " xmlns:p" + QByteArray::number(i) + "=\"urn:n" + QByteArray::number(i) + "\"";
    }
    document += ">\n";
    for (int i = 0; i < n; ++i) {
        const QByteArray prefix = faultAtEnd && i == n - 1 ? QByteArray("undeclared") : "p" + QByteArray::number(i);
        document += "<" + prefix + ":e a=\"" + QByteArray::number(i) + "\"/>\n";
    }
    return document + "</d>";
}

// <d xml:a0="" ... xml:aN-1=""/>
QByteArray inheritedAttributeShape(int n) {
    QByteArray document = "<d";
    for (int i = 0; i < n; ++i) document += " xml:a" + QByteArray::number(i) + "=\"\"";
    return document + "/>";
}

// <d xmlns:p="urn:xxx..."> with a name of `length` bytes, then n <e p:a=""/>.
QByteArray longNamespaceShape(int n, int length) {
    QByteArray document = "<d xmlns:p=\"urn:" + QByteArray(length - 4, 'x') + "\">\n";
    for (int i = 0; i < n; ++i) document += "<e p:a=\"\"/>\n";
    return document + "</d>";
}

// The value of the first "responseCode" member of an answer text.
std::string codeOf(const std::string& answer) {
    const std::string key = "\"responseCode\":";
    std::string::size_type at = answer.find(key);
    if (at == std::string::npos) return "?";
    at = answer.find('"', at + key.size());
    if (at == std::string::npos) return "?";
    return answer.substr(at + 1, answer.find('"', at + 1) - at - 1);
}

void dropMessage(QtMsgType, const QMessageLogContext&, const QString&) {}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    qInstallMessageHandler(dropMessage);
    QList<int> sizes = {5000, 10000, 20000, 40000, 120000};
    const QStringList args = application.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--sizes" && i + 1 < args.size()) {
            sizes.clear();
            for (const QString& size : args[++i].split(',')) sizes << size.toInt();
        }
    }

    std::printf("\nsignXaDES_BES_Enveloped with N namespace declarations in scope of N elements"
                " (SoftHSM2, RSA-2048)\n");
    QTemporaryDir work;
    const corvane::rig::SoftHsmTokens tokens = corvane::rig::makeSoftHsmTokens(work.path() + "/hsm");
    if (!work.isValid() || !tokens.ok) {
        std::printf("  cannot make SoftHSM tokens: %s\n", tokens.skipReason.toLocal8Bit().constData());
        return 2;
    }
    tokens.exportConfig();
    tev::logging::configure((work.path() + "/logs/bench-xml-namespaces.log").toStdString());
    const QString database = QString(
                                 "<smartcard-config><libraries><library name=\"softhsm\">"
                                 "<driver operatingSystem=\"Linux_x64\" path=\"%1\"/></library></libraries>"
                                 "<card-types/></smartcard-config>")
                                 .arg(QString::fromStdString(tokens.module()));
    if (tev::smartcard::configure(database.toUtf8().constData()) != 0) {
        std::printf("  the test card database does not load\n");
        return 2;
    }
    QJsonObject request{{"action", "signXaDES_BES_Enveloped"},
                        {"transactionUUID", "bench-xml"},
                        {"library", "softhsm"},
                        {"slotId", QString::number(tokens.slotOf(tokens.get("TOKEN_MAIN")))},
                        {"certSerialNumber", QString::fromStdString(tokens.get("RSA_SERIAL"))},
                        {"pincode", QString::fromStdString(tokens.get("P11_PIN"))},
                        {"signatureNodeXPath", "/*"},
                        {"nodeToSignXPath", ""}};

    // The answer code and milliseconds of signing `document`.
    auto sign = [&request](const QByteArray& document, std::string* code) {
        request["dataBase64"] = QString(document.toBase64());
        const Clock::time_point start = Clock::now();
        std::string answer;
        try {
            answer = tev::quessel::signXadesBesEnvelopedAsJSON(request);
        } catch (int thrown) {  // as the dispatchers answer a thrown code
            answer = "\"responseCode\":\"" + std::to_string(thrown) + "\"";
        }
        const double ms = msSince(start);
        *code = codeOf(answer);
        if (std::getenv("BENCH_VERBOSE")) std::printf("%s\n", answer.substr(0, 300).c_str());
        return ms;
    };
    int status = 0;
    // One row: the signed shape and, if given, its refused twin.
    auto row = [&](int n, const QByteArray& signedShape, const QByteArray& refusedShape) {
        std::string codes[2];
        const double signedMs = sign(signedShape, &codes[0]);
        std::printf("  %8d %8.2f MB %12.1f %14.2f", n, signedShape.size() / 1e6, signedMs, signedMs * 1000 / n);
        if (!refusedShape.isEmpty()) {
            const double refusedMs = sign(refusedShape, &codes[1]);
            std::printf(" %12.1f %14.2f", refusedMs, refusedMs * 1000 / n);
        } else {
            codes[1] = "51";
        }
        std::printf("\n");
        if (codes[0] != "0" || (codes[1] != "51" && codes[1] != "0")) {
            std::printf("    unexpected answer codes: %s when signing, %s when refusing\n", codes[0].c_str(),
                        codes[1].c_str());
            status = 1;
        } else if (codes[1] == "0") {
            std::printf("    SIGNED where 51 was expected: the refused shape was accepted\n");
            status = 1;
        }
    };

    std::printf("  %8s %10s %12s %14s %12s %14s\n", "N", "size", "signed (ms)", "per 1000 el.", "refused (ms)",
                "per 1000 el.");
    for (const int n : sizes) row(n, namespaceShape(n, false), namespaceShape(n, true));

    std::printf("\n  N xml:* attributes on the element signed into, inherited by every digest below it\n");
    std::printf("  %8s %10s %12s %14s\n", "N", "size", "signed (ms)", "per 1000 at.");
    for (const int n : {32000, 128000}) row(n, inheritedAttributeShape(n), QByteArray());

    std::printf("\n  a namespace name of 512 bytes (refused: 513) under N elements with a prefixed attribute\n");
    std::printf("  %8s %10s %12s %14s %12s %14s\n", "N", "size", "signed (ms)", "per 1000 el.", "refused (ms)",
                "per 1000 el.");
    for (const int n : {100000, 400000}) row(n, longNamespaceShape(n, 512), longNamespaceShape(n, 513));
    return status;
}
