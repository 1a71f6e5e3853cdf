// Documents given to sign into, judged as two conforming XML parsers judge
// them: expat with namespace processing (our small xml-verdict-expat) and
// libxml2 (xmllint; a namespace error counts as a refusal, though xmllint
// only prints it). Where both accept, the agent must sign, and xmlsec1 must
// verify what it answers; where both refuse, it must answer 51 before the
// PIN is tried. The few documents the two do not settle, or that break a rule
// of the signer's own, carry that rule and its code.
#pragma once

#include "card-simulator.h"
#include "card-swap-scenario.h"
#include "pin-scenario.h"
#include "rig-readers.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QString>
#include <QTemporaryDir>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace corvane {
namespace test {

struct XmlVerdictCase {
    std::string what;
    QByteArray document;
    const char* ownRule = nullptr;  // set: the signer's own verdict, "0" or "51", whatever the parsers say
    const char* ownCode = nullptr;
    QString signatureXPath = "/*";
    QString nodeXPath = {};       // empty: the whole document
    QStringList idElements = {};  // "[namespace:]name" of the elements whose Id a reference may name
};

constexpr const char* kUnescapedByVerifiers = "libxml2's canonical form writes namespace names unescaped";

inline std::vector<XmlVerdictCase> xmlVerdictCorpus() {
    using B = QByteArray;
    std::vector<XmlVerdictCase> cases = {
        // Name characters XML 1.0 forbids, which pugixml takes.
        {"U+00D7 in an element name", "<d\xC3\x97/>"},
        {"an element name starting with U+00B7", "<d><\xC2\xB7/></d>"},
        {"U+00F7 in an element name", "<d\xC3\xB7></d\xC3\xB7>"},
        {"U+037E in an attribute name", "<d a\xCD\xBE=\"1\"/>"},
        {"U+E000 in an element name", "<d\xEE\x80\x80/>"},
        {"U+2010 in a prefix", "<p\xE2\x80\x90:d xmlns:p\xE2\x80\x90=\"urn:p\"/>"},
        {"U+3000 in an attribute name", "<d a\xE3\x80\x80" "b=\"1\"/>"},
        {"a no-break space in an element name", "<d\xC2\xA0x/>"},
        {"a combining mark starting a name", "<d><\xCC\x80x/></d>"},
        {"U+00D7 in a processing-instruction target", "<d><?p\xC3\x97 x?></d>"},
        // Declarations taken for what they are not.
        {"<?XML ...?> with a bad version", "<?XML version=\"9\" foo=\"bar\"?><d/>"},
        {"<?Xml ...?>", "<?Xml version=\"1.0\"?><d/>"},
        {"US-ASCII over non-ASCII bytes", "<?xml version=\"1.0\" encoding=\"US-ASCII\"?><d>\xC3\xA9</d>"},
        {"a DOCTYPE with junk in its subset", "<!DOCTYPE d [x]><d/>"},
        {"a DOCTYPE without a name", "<!DOCTYPE [<!ELEMENT d ANY>]><d/>"},
        {"junk after the DOCTYPE's ]", "<!DOCTYPE d []x><d/>"},
        // Namespace faults both parsers report.
        {"an undeclared prefix", "<p:d/>"},
        {"a prefix undeclared", "<d xmlns:p=\"urn:p\"><e xmlns:p=\"\"/></d>"},
        {"two colons in a name", "<a:b:c xmlns:a=\"urn:a\"/>"},
        {"one expanded attribute name twice", "<d xmlns:a=\"urn:x\" xmlns:b=\"urn:x\" a:x=\"1\" b:x=\"2\"/>"},
        {"a namespace name with a space in it", "<d xmlns=\"urn:a b\"/>"},
        // Line ends in processing instructions: every parser reads them as line feeds.
        {"a CR in a processing instruction", "<r><?p a\rb?></r>"},
        {"a CR LF in a processing instruction", "<r><?p a\r\nb?></r>"},
        {"a CR LF in a processing instruction ahead of the root", "<?p a\r\nb?><r/>"},
        {"a CR in a processing instruction after the root", "<r/><?p a\rb?>"},
        // Well-formed, and signed.
        {"a processing instruction with a quote in the DTD", "<!DOCTYPE d [<?p '?>]><d/>"},
        {"a processing instruction with ]> in the DTD", "<!DOCTYPE d [<?p ]>?>]><d>x</d>"},
        {"a comment with a quote in the DTD", "<!DOCTYPE d [<!-- it's ]> -->\n<!ELEMENT d ANY>]><d/>"},
        {"names of letters beyond ASCII",
         "<\xC3\xA7\xC4\xB1kt\xC4\xB1 \xC3\xB6zellik=\"\xC3\xBC\"><\xE6\x96\x87/></\xC3\xA7\xC4\xB1kt\xC4\xB1>"},
        {"US-ASCII over ASCII bytes", "<?xml version=\"1.0\" encoding=\"US-ASCII\"?><d>e</d>"},
        {"default and prefixed namespaces, undeclared default",
         "<d xmlns:p=\"urn:p\" xmlns=\"urn:d\"><p:e p:a=\"1\" a=\"2\"/><e><f xmlns=\"\"><g/></f></e></d>"},
        // The signer's own rules.
        {"a NUL after the root element", B("<d/>\0<e/>", 9), "XML allows U+0000 nowhere", "51"},
        {"a NUL in text", B("<d>a\0b</d>", 10), "XML allows U+0000 nowhere", "51"},
        {"a relative default namespace", "<d xmlns=\"r\"/>", "Canonical XML 1.0 fails on relative namespace names",
         "51"},
        {"a relative prefixed namespace", "<d xmlns:p=\"a/b\" p:x=\"1\"/>",
         "Canonical XML 1.0 fails on relative namespace names", "51"},
        {"XML 2.0", "<?xml version=\"2.0\"?><d/>", "XML 1.x only", "51"},
        {"an & in a namespace name", "<r xmlns:p=\"http://e.com/?a=1&amp;b=2\"/>", kUnescapedByVerifiers, "51"},
        {"an & in a default namespace", "<r xmlns=\"urn:a&amp;b\"/>", kUnescapedByVerifiers, "51"},
        {"an & written as &#38; in a namespace name", "<r xmlns:p=\"urn:a&#38;b\"><p:e/></r>",
         kUnescapedByVerifiers, "51"},
        {"an & in a namespace name on an ancestor of the signature",
         "<r xmlns:p=\"urn:a&amp;b\"><s/></r>", kUnescapedByVerifiers, "51", "/r/s"},
        {"a namespace name at the length limit", "<r xmlns:p=\"urn:" + B(508, 'x') + "\"><p:e p:a=\"\"/></r>",
         "namespace names up to 512 bytes", "0"},
        {"a namespace name just over the length limit",
         "<r xmlns:p=\"urn:" + B(509, 'x') + "\"><p:e p:a=\"\"/></r>", "namespace names up to 512 bytes", "51"},
        {"nesting at the limit", B("<e>").repeated(1000) + B("</e>").repeated(1000), "nesting up to 1000", "0"},
        {"nesting just over the limit", B("<e>").repeated(1001) + B("</e>").repeated(1001), "nesting up to 1000",
         "51"},
    };
    // Namespace-rich documents of the signing tests.
    for (const char* name : {"03-prefixed-namespaces.xml", "04-intermediate-declarations.xml",
                             "11-nested-default-namespaces.xml", "21-prefix-rebinding.xml",
                             "25-namespace-rich.xml"}) {
        QFile file(QString(CORVANE_SOURCE_DIR) + "/tests/xades/corpus/" + name);
        if (file.open(QIODevice::ReadOnly)) cases.push_back({name, file.readAll()});
        else ADD_FAILURE() << "corpus file missing: " << name;
    }
    return cases;
}

// True when the parser accepts the document in `file`.
inline bool expatAccepts(const QString& file, QByteArray* output) {
    return exitCodeOf(QString(CORVANE_BINARY_DIR) + "/tests/service/xml-verdict-expat", {file}, output) == 0;
}
inline bool libxml2Accepts(const QString& file, QByteArray* output) {
    const int status = exitCodeOf("xmllint", {"--noout", "--huge", file}, output);
    return status == 0 && !output->contains(" error : ");
}

// The JSON of a signXaDES_BES_Enveloped request for `document`.
inline QByteArray envelopedRequest(const cardsim::Card& card, const QByteArray& document,
                                   const QString& signatureXPath, const QString& nodeXPath) {
    QJsonObject request{{"action", "signXaDES_BES_Enveloped"},
                        {"library", "akisp11"},
                        {"slotId", QString::number(rig::kReaderAkis.slot)},
                        {"certSerialNumber", QString::fromStdString(card.keys()[0].serialDecimal)},
                        {"pincode", QString::fromStdString(card.pin())},
                        {"signatureNodeXPath", signatureXPath},
                        {"nodeToSignXPath", nodeXPath},
                        {"dataBase64", QString::fromLatin1(document.toBase64())}};
    return QJsonDocument(request).toJson(QJsonDocument::Compact);
}

// Whether xmlsec1 verifies the signature of `signedDocument` that the answer
// made; its report in *report.
inline bool xmlsecVerifies(const QString& folder, const QString& name, const QByteArray& signedDocument,
                           const QStringList& idElements, QByteArray* report) {
    const QString output = folder + "/" + name;
    writeTo(output, signedDocument);
    static const QRegularExpression signatureId(R"re(<ds:Signature [^>]*Id="(Signature-Id-[0-9A-F-]+)")re");
    const QRegularExpressionMatch id = signatureId.match(QString::fromUtf8(signedDocument));
    if (!id.hasMatch()) {
        *report = "no signature in the answer";
        return false;
    }
    const QString ca = folder + "/ca.pem";
    if (!QFile::exists(ca)) writeTo(ca, QByteArray::fromStdString(cardsim::testCa().certificatePem));
    QStringList args{"--verify", "--trusted-pem", ca, "--node-id", id.captured(1), "--id-attr:Id",
                     "http://www.w3.org/2000/09/xmldsig#:Signature", "--id-attr:Id",
                     "http://uri.etsi.org/01903/v1.3.2#:SignedProperties"};
    for (const QString& element : idElements) args << "--id-attr:Id" << element;
    return exitCodeOf("xmlsec1", args << output, report) == 0;
}

inline void expectXmlVerdictsOfConformingParsers(const Ask& ask, const std::vector<XmlVerdictCase>& cases) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    cardsim::Card card(cardsim::Profile::Akis1);
    card.insertInto(rig::kReaderAkisPort);

    int index = 0;
    int verified = 0, refusedByParsers = 0, refusedByRule = 0;
    for (const XmlVerdictCase& c : cases) {
        SCOPED_TRACE(c.what);
        const QString input = folder.path() + QString("/input-%1.xml").arg(++index);
        writeTo(input, c.document);
        QByteArray expatSays, libxml2Says;
        const bool expat = expatAccepts(input, &expatSays);
        const bool libxml2 = libxml2Accepts(input, &libxml2Says);
        std::string expected;
        if (c.ownRule) {
            expected = c.ownCode;
        } else {
            ASSERT_EQ(expat, libxml2) << "the parsers do not settle this document; expat: " << expatSays.toStdString()
                                      << " libxml2: " << libxml2Says.toStdString() << " " << input.toStdString();
            expected = expat ? "0" : "51";
        }

        card.clearApduLog();
        const QJsonArray answer = ask(envelopedRequest(card, c.document, c.signatureXPath, c.nodeXPath));
        if (codeOf(answer) != expected) {  // every document is judged, whatever the one before got
            ADD_FAILURE() << "answered " << codeOf(answer) << ", expected " << expected << " "
                          << (c.ownRule ? c.ownRule : "") << QJsonDocument(answer).toJson().toStdString() << " "
                          << input.toStdString();
            continue;
        }
        if (expected != "0") {
            EXPECT_EQ(commandsStartingWith(card, "0020"), 0) << "a PIN try was spent";
            ++(c.ownRule ? refusedByRule : refusedByParsers);
            continue;
        }
        QByteArray report;
        const bool verifies =
            xmlsecVerifies(folder.path(), QString("signed-%1.xml").arg(index),
                           QByteArray::fromBase64(answer[0].toObject()["signature"].toString().toLatin1()),
                           c.idElements, &report);
        EXPECT_TRUE(verifies) << report.toStdString() << " " << input.toStdString();
        verified += verifies;
    }
    std::printf("%d documents signed and verified, %d refused as the parsers refuse them, %d by a rule of ours\n",
                verified, refusedByParsers, refusedByRule);
    if (::testing::Test::HasFailure()) folder.setAutoRemove(false);  // the documents stay for a look
}

}  // namespace test
}  // namespace corvane
