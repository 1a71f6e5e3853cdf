// XAdES-BES signatures made with an RSA key on SoftHSM, checked by xmlsec1:
// enveloping, enveloped over the corpus, counter-signatures; the canonical
// text of every digested node is the one xmlsec1 digested. Failure roads are
// watched through the fault module's call trace: the token is released and no
// PIN is tried.
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <set>

#include "../rig/softhsm/softhsm-fixture.h"
#include "quessel-signing.h"
#include "quessel-tasks.h"
#include "test-support.h"
#include "tev-logging.h"
#include "tev-xades.h"
#include "xades-test-kit.h"

using namespace xadestest;
namespace xades = tev::quessel::xades;

namespace {

const char* const kSignedPropertiesIdAttr = "http://uri.etsi.org/01903/v1.3.2#:SignedProperties";

struct Rig {
    corvane::rig::SoftHsmTokens tokens;
    int slot = -1;
    QString module;
    QString faultModule;
};

const Rig& rig() {
    static Rig* made = [] {
        Rig* r = new Rig;
        r->tokens = corvane::rig::makeSoftHsmTokens(corvane::test::privateFolder() + "/hsm");
        if (r->tokens.ok) {
            r->tokens.exportConfig();
            r->slot = r->tokens.slotOf(r->tokens.get("TOKEN_MAIN"));
            r->module = r->tokens.qget("P11_MODULE");
            r->faultModule = corvane::rig::faultModulePath();
        }
        return r;
    }();
    return *made;
}

xades::SigningTask taskFor(QByteArray* data, const std::string& signer = "RSA") {
    xades::SigningTask task;
    task.libraryName = "softhsm";
    task.modulePath = rig().module;
    task.slotId = rig().slot;
    task.pin = rig().tokens.get("P11_PIN");
    task.certSerialNumber = rig().tokens.get(signer + "_SERIAL");
    task.data = data;
    return task;
}

struct Signed {
    int code = -1;
    QByteArray text;
    xades::SigningTask task;
};

Signed enveloped(const QByteArray& input, const std::string& signatureNode, const std::string& nodeToSign,
                 bool counterSign = false) {
    Signed s;
    QByteArray data = input;
    s.task = taskFor(&data);
    s.task.signatureNodeXPath = signatureNode;
    s.task.nodeToSignXPath = nodeToSign;
    s.task.addCounterSignature = counterSign;
    s.task.addSigningTime = true;
    s.task.signerClaimedRole = "Yetkili İmza";
    s.code = xades::signXadesBESEnveloped(&s.text, &s.task);
    s.task.data = nullptr;
    return s;
}

Signed counterSigned(const QByteArray& input) { return enveloped(input, "", "", true); }

struct Verification {
    bool ok = false;
    std::string report;  // what xmlsec1 said
    std::vector<std::string> digested;
    std::vector<std::string> signedInfo;
};

// xmlsec1 --verify of the signature with the given Id (empty: the first one).
Verification verify(const QByteArray& document, const std::string& signatureId, QStringList extra = {}) {
    static int counter = 0;
    const QString path = QString("%1/verify-%2.xml").arg(corvane::test::privateFolder()).arg(++counter);
    writeFile(path, document.toStdString());
    QStringList args = {"--verify", "--trusted-pem", rig().tokens.qget("CA_CERT"), "--id-attr:Id",
                        kSignedPropertiesIdAttr};
    if (!signatureId.empty()) {
        args << "--id-attr:Id" << "http://www.w3.org/2000/09/xmldsig#:Signature"
             << "--id-attr:Id" << "http://www.w3.org/2000/09/xmldsig#:SignatureValue"
             << "--node-id" << QString::fromStdString(signatureId);
    }
    args << "--store-references" << "--store-signatures" << extra << path;
    const ToolRun run = runTool("xmlsec1", args);
    Verification v;
    v.ok = run.exitCode == 0 && run.err.find("OK") != std::string::npos;
    v.report = run.err.substr(0, 2000);
    v.digested = xmlsecBuffers(run.out, "PreDigest");
    v.signedInfo = xmlsecBuffers(run.out, "PreSigned");
    return v;
}

// What our printer makes of every node the signature digests, taken from the
// document as handed out, must be what xmlsec1 digested.
void expectSameCanonicalText(const QByteArray& document, const std::string& signatureId, const Verification& v) {
    pugi::xml_document parsed;
    ASSERT_TRUE(parseKeepingWhitespace(document.toStdString(), &parsed));
    const pugi::xml_node signature = elementWithId(parsed, signatureId);
    ASSERT_TRUE(signature) << signatureId;
    const pugi::xml_node signedInfo = signature.child("ds:SignedInfo");
    std::vector<std::string> ours;
    for (const pugi::xml_node& reference : signedInfo.children("ds:Reference")) {
        const std::string uri = reference.attribute("URI").value();
        const bool enveloped = reference.child("ds:Transforms")
                                   .find_child_by_attribute("ds:Transform", "Algorithm",
                                                            xades::kEnvelopedSignatureTransform);
        const pugi::xml_node node = uri.empty() ? pugi::xml_node(parsed) : elementWithId(parsed, uri.substr(1));
        ASSERT_TRUE(node) << uri;
        xades::C14NRules rules;
        if (enveloped) rules.excluded = signature;
        ours.push_back(xades::canonicalize(node, rules));
    }
    EXPECT_EQ(ours, v.digested);
    ASSERT_EQ(v.signedInfo.size(), 1u);
    EXPECT_EQ(xades::canonicalize(signedInfo, xades::C14NRules()), v.signedInfo[0]);
}

void expectVerifies(const QByteArray& document, const std::string& signatureId, QStringList extra = {}) {
    const Verification v = verify(document, signatureId, extra);
    EXPECT_TRUE(v.ok) << "xmlsec1: " << v.report << "\n--- document ---\n" << document.left(4000).toStdString();
    if (v.ok) expectSameCanonicalText(document, signatureId, v);
}

std::string textOf(const pugi::xml_node& node) { return node.text().get(); }

int countOf(const QByteArray& text, const char* what) { return text.count(what); }

class XadesSigning : public ::testing::Test {
protected:
    // Tests read back what one operation logged; keep the whole of it.
    static void SetUpTestSuite() {
        el::Loggers::reconfigureLogger("default", el::ConfigurationType::MaxLogFileSize, "0");
    }
    void SetUp() override {
        if (!rig().tokens.ok) GTEST_SKIP() << "SoftHSM tokens unavailable: " << rig().tokens.skipReason.toStdString();
        if (!toolAvailable("xmlsec1")) GTEST_SKIP() << "xmlsec1 is not installed";
        ASSERT_GE(rig().slot, 0);
        corvane::test::clearLog();
    }
};

// ---- enveloping ----------------------------------------------------------------

TEST_F(XadesSigning, EnvelopingVerifiesWithEmptyAndNonEmptyData) {
    const QByteArray binary("Merhaba d\xc3\xbcnya\0\x01\xff<&>", 21);
    for (const QByteArray& content : {binary, QByteArray()}) {
        SCOPED_TRACE(content.size());
        QByteArray data = content;
        xades::SigningTask task = taskFor(&data);
        task.addSigningTime = true;
        QByteArray out("kept:");
        ASSERT_EQ(xades::signXadesBESEnveloping(&out, &task), 0);
        ASSERT_TRUE(out.startsWith("kept:"));
        out.remove(0, 5);
        EXPECT_TRUE(out.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ds:Signature "));
        EXPECT_FALSE(out.endsWith('\n'));
        EXPECT_EQ(task.mode, 3);
        EXPECT_EQ(task.signatureId, "Signature-Id-1");
        EXPECT_EQ(task.objectId, "Object-Id-2");

        // Exactly the check a relying party runs, then the same with the
        // digested texts printed.
        const ToolRun plain = runTool("xmlsec1", {"--verify", "--trusted-pem", rig().tokens.qget("CA_CERT"),
                                                  "--id-attr:Id", kSignedPropertiesIdAttr,
                                                  [&] {
                                                      const QString p = corvane::test::privateFolder() + "/env.xml";
                                                      writeFile(p, out.toStdString());
                                                      return p;
                                                  }()});
        EXPECT_EQ(plain.exitCode, 0) << plain.err;
        expectVerifies(out, task.signatureId);

        pugi::xml_document parsed;
        ASSERT_TRUE(parseKeepingWhitespace(out.toStdString(), &parsed));
        const pugi::xml_node object = elementWithId(parsed, "Object-Id-2");
        EXPECT_EQ(QByteArray::fromBase64(QByteArray::fromStdString(textOf(object))), content);
        EXPECT_STREQ(object.attribute("Encoding").value(), xades::kBase64Encoding);
        EXPECT_EQ(textOf(parsed.select_node("//xades:MimeType").node()), "application/octet-stream");
        if (content.isEmpty()) {
            EXPECT_TRUE(out.contains("Id=\"Object-Id-2\" />"));
        }
    }
}

TEST_F(XadesSigning, EnvelopingWithoutTimeSignsTheSameBytesTwice) {
    QByteArray data("same content");
    xades::SigningTask first = taskFor(&data), second = taskFor(&data);
    QByteArray a, b;
    ASSERT_EQ(xades::signXadesBESEnveloping(&a, &first), 0);
    ASSERT_EQ(xades::signXadesBESEnveloping(&b, &second), 0);
    EXPECT_NE(first.signatureValueId, second.signatureValueId);
    pugi::xml_document da, db;
    ASSERT_TRUE(parseKeepingWhitespace(a.toStdString(), &da));
    ASSERT_TRUE(parseKeepingWhitespace(b.toStdString(), &db));
    EXPECT_EQ(textOf(da.select_node("//ds:SignatureValue").node()), textOf(db.select_node("//ds:SignatureValue").node()));
    EXPECT_FALSE(da.select_node("//xades:SigningTime"));
    EXPECT_FALSE(da.select_node("//xades:SignerRole"));
}

TEST_F(XadesSigning, SigningTimeIsNowAtPlusThreeWhateverTheMachineZone) {
    const char* saved = std::getenv("TZ");
    const std::string savedZone = saved ? saved : "";
    for (const char* zone : {"America/New_York", "Asia/Tokyo", "UTC"}) {
        SCOPED_TRACE(zone);
        setenv("TZ", zone, 1);
        tzset();
        QByteArray data("time");
        xades::SigningTask task = taskFor(&data);
        task.addSigningTime = true;
        task.signingTime = QDateTime(QDate(2001, 1, 1), QTime(0, 0));  // not used: XAdES signs "now"
        task.signerClaimedRole = "Müdür & <Yetkili>";
        QByteArray out;
        const QDateTime before = QDateTime::currentDateTimeUtc();
        ASSERT_EQ(xades::signXadesBESEnveloping(&out, &task), 0);
        const QDateTime after = QDateTime::currentDateTimeUtc();
        pugi::xml_document parsed;
        ASSERT_TRUE(parseKeepingWhitespace(out.toStdString(), &parsed));
        const QString text = QString::fromStdString(textOf(parsed.select_node("//xades:SigningTime").node()));
        EXPECT_TRUE(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\+03:00$").match(text).hasMatch())
            << text.toStdString();
        const QDateTime instant = QDateTime::fromString(text, Qt::ISODateWithMs).toUTC();
        ASSERT_TRUE(instant.isValid()) << text.toStdString();
        EXPECT_LE(instant, after.addMSecs(1)) << text.toStdString();
        EXPECT_GE(instant, before.addMSecs(-1)) << text.toStdString();
        EXPECT_EQ(textOf(parsed.select_node("//xades:ClaimedRole").node()), "Müdür & <Yetkili>");
        expectVerifies(out, task.signatureId);
    }
    if (saved) setenv("TZ", savedZone.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}

// ---- enveloped -----------------------------------------------------------------

TEST_F(XadesSigning, EnvelopedVerifiesOverTheCorpus) {
    for (const QString& file : corpusFiles()) {
        const std::string name = QFileInfo(file).fileName().toStdString();
        SCOPED_TRACE(name);
        const QByteArray input = QByteArray::fromStdString(readFile(file));

        // The whole document, the signature closing the root element.
        for (const char* whole : {"", "/"}) {
            const Signed s = enveloped(input, "/*", whole);
            ASSERT_EQ(s.code, 0);
            EXPECT_EQ(s.task.mode, 2);
            pugi::xml_document parsed;
            ASSERT_TRUE(parseKeepingWhitespace(s.text.toStdString(), &parsed));
            const pugi::xml_node signature = elementWithId(parsed, s.task.signatureId);
            ASSERT_TRUE(signature);
            EXPECT_EQ(signature.parent(), parsed.document_element());
            EXPECT_STREQ(signature.child("ds:SignedInfo").find_child_by_attribute("ds:Reference", "Id",
                             s.task.dataReferenceId.c_str()).attribute("URI").value(), "");
            EXPECT_TRUE(s.text.startsWith(input.startsWith("<?xml") ? input.left(input.indexOf("?>") + 2)
                                                                    : QByteArray("<?xml version=\"1.0\"?>\n")));
            expectVerifies(s.text, s.task.signatureId);
        }

        // An element by its Id, the signature inside that element.
        pugi::xml_document original;
        ASSERT_TRUE(parseKeepingWhitespace(input.toStdString(), &original));
        const std::vector<pugi::xml_node> withId = elementsWithId(original);
        if (withId.empty()) continue;
        const pugi::xml_node target = withId.front();
        const std::string xpath = std::string("//*[@Id='") + target.attribute("Id").value() + "']";
        const Signed s = enveloped(input, xpath, xpath);
        ASSERT_EQ(s.code, 0);
        pugi::xml_document parsed;
        ASSERT_TRUE(parseKeepingWhitespace(s.text.toStdString(), &parsed));
        const pugi::xml_node reference = elementWithId(parsed, s.task.dataReferenceId);
        EXPECT_EQ(std::string(reference.attribute("URI").value()), std::string("#") + target.attribute("Id").value());
        expectVerifies(s.text, s.task.signatureId, {"--id-attr:Id", idAttrTarget(target)});
    }
}

TEST_F(XadesSigning, EnvelopedKeepsTextAndTakesInScopeNamespaces) {
    const QString dir = QString::fromUtf8(CORVANE_SOURCE_DIR) + "/tests/xades/corpus/";
    {
        const Signed s = enveloped(QByteArray::fromStdString(readFile(dir + "08-mixed-content.xml")), "/*", "");
        ASSERT_EQ(s.code, 0);
        EXPECT_TRUE(s.text.contains("Signed <b>bold</b> and <i>italic</i> <u>words</u>, with a space between."));
        EXPECT_TRUE(s.text.contains("<title> leading and trailing spaces </title>"));
    }
    {
        const Signed s = enveloped(QByteArray::fromStdString(readFile(dir + "20-whitespace.xml")), "/*", "");
        ASSERT_EQ(s.code, 0);
        EXPECT_TRUE(s.text.contains("<first>Ali</first> <last>Veli</last>"));
        EXPECT_TRUE(s.text.contains("<blank Id=\"ws-only\">   </blank>"));
        EXPECT_TRUE(s.text.contains("<keep xml:space=\"preserve\" Id=\"ws-preserve\">\n    <x>1</x>\n    <y>2</y>\n  </keep>"));
        expectVerifies(s.text, s.task.signatureId);
    }
    {
        // The signature's SignedInfo sits below a default namespace, another
        // prefix and xml:lang: all of them are part of what is signed.
        const Signed s = enveloped(QByteArray::fromStdString(readFile(dir + "22-default-namespace-signature-place.xml")),
                                   "/Envelope/Signatures", "//*[@Id='body']");
        ASSERT_EQ(s.code, 0);
        pugi::xml_document parsed;
        ASSERT_TRUE(parseKeepingWhitespace(s.text.toStdString(), &parsed));
        const pugi::xml_node signedInfo = elementWithId(parsed, s.task.signatureId).child("ds:SignedInfo");
        const std::string text = xades::canonicalize(signedInfo, xades::C14NRules());
        EXPECT_EQ(text.rfind("<ds:SignedInfo xmlns=\"urn:envelope\" xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" "
                             "xmlns:meta=\"urn:meta\" xml:lang=\"tr\">", 0), 0u) << text.substr(0, 200);
        expectVerifies(s.text, s.task.signatureId, {"--id-attr:Id", "urn:envelope:Body"});
    }
    {
        // An earlier signature in the document: the new one is found by its own Ids.
        const Signed s = enveloped(QByteArray::fromStdString(readFile(dir + "19-existing-signature.xml")),
                                   "/contract/signatures", "");
        ASSERT_EQ(s.code, 0);
        EXPECT_EQ(countOf(s.text, "<ds:Signature "), 2);
        expectVerifies(s.text, s.task.signatureId);
    }
}

TEST_F(XadesSigning, DeepButReasonableNestingIsSigned) {
    const QByteArray input = QByteArray("<e>").repeated(900) + "x" + QByteArray("</e>").repeated(900);
    const Signed s = enveloped(input, "/e", "");
    ASSERT_EQ(s.code, 0);
    expectVerifies(s.text, s.task.signatureId);
}

TEST_F(XadesSigning, TwoEnvelopedSignaturesDifferInIdsButNotInTheDataDigest) {
    const QByteArray input("<doc><a>1</a></doc>");
    const Signed one = enveloped(input, "/doc", ""), two = enveloped(input, "/doc", "");
    ASSERT_EQ(one.code, 0);
    ASSERT_EQ(two.code, 0);
    EXPECT_NE(one.task.signatureId, two.task.signatureId);
    EXPECT_NE(one.task.signedPropertiesId, two.task.signedPropertiesId);
    EXPECT_NE(one.task.dataReferenceId, two.task.dataReferenceId);
    auto dataDigest = [](const Signed& s) {
        pugi::xml_document parsed;
        parseKeepingWhitespace(s.text.toStdString(), &parsed);
        return textOf(elementWithId(parsed, s.task.dataReferenceId).child("ds:DigestValue"));
    };
    EXPECT_EQ(dataDigest(one), dataDigest(two));
    EXPECT_TRUE(one.text.startsWith("<?xml version=\"1.0\"?>\n<doc><a>1</a><ds:Signature "));
}

// A document that already carries a signature by someone else (made by
// xmlsec1 over an indented element): the new signature, over the whole
// document or over another element by its Id, leaves every other character of
// the text as it came, so both signatures verify.
TEST_F(XadesSigning, EnvelopedKeepsAnEarlierSignatureIntact) {
    const std::string dsig = "http://www.w3.org/2000/09/xmldsig#";
    const std::string tmpl =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- order 17 -->\n<doc xmlns:o=\"urn:order\">\n"
        "  <item Id=\"d1\">\n    <o:name>Ali  Veli</o:name>\n\t<amount currency=\"TRY\">12.50</amount>\n  </item>\n"
        "  <other Id=\"o1\">\n      <x a=\"1\"   b=\"2\"/>\n  </other>\n"
        "  <ds:Signature xmlns:ds=\"" + dsig + "\" Id=\"S1\">\n    <ds:SignedInfo>\n"
        "      <ds:CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>\n"
        "      <ds:SignatureMethod Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256\"/>\n"
        "      <ds:Reference URI=\"#d1\">\n"
        "        <ds:DigestMethod Algorithm=\"http://www.w3.org/2001/04/xmlenc#sha256\"/>\n"
        "        <ds:DigestValue/>\n      </ds:Reference>\n    </ds:SignedInfo>\n"
        "    <ds:SignatureValue/>\n    <ds:KeyInfo><ds:X509Data/></ds:KeyInfo>\n  </ds:Signature>\n"
        "  <signatures/>\n</doc>\n";
    const QString folder = corvane::test::privateFolder();
    writeFile(folder + "/earlier-template.xml", tmpl);
    const ToolRun made = runTool("xmlsec1", {"--sign", "--privkey-pem",
                                             rig().tokens.qget("RSA_KEY") + "," + rig().tokens.qget("RSA_CERT"),
                                             "--id-attr:Id", "item", "--output", folder + "/earlier.xml",
                                             folder + "/earlier-template.xml"});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    const std::string signedByXmlsec = readFile(folder + "/earlier.xml");
    const QStringList ids = {"--id-attr:Id", "item", "--id-attr:Id", "other"};
    expectVerifies(QByteArray::fromStdString(signedByXmlsec), "S1", ids);

    struct Placement {
        const char* signatureNode;
        const char* nodeToSign;
        bool crLf;
    };
    for (const Placement& p : {Placement{"/doc/signatures", "", false}, Placement{"/doc", "//*[@Id='o1']", false},
                               Placement{"//*[@Id='o1']", "//*[@Id='o1']", false}, Placement{"/doc", "", true}}) {
        SCOPED_TRACE(std::string(p.signatureNode) + " " + p.nodeToSign + (p.crLf ? " CR LF" : ""));
        const QByteArray input = QByteArray::fromStdString(p.crLf ? withCrLf(signedByXmlsec) : signedByXmlsec);
        const Signed s = enveloped(input, p.signatureNode, p.nodeToSign);
        ASSERT_EQ(s.code, 0);
        expectVerifies(s.text, "S1", ids);
        expectVerifies(s.text, s.task.signatureId, ids);

        // Taking the new signature out gives back the input, byte for byte.
        const int start = s.text.indexOf("<ds:Signature xmlns:ds=\"" + QByteArray::fromStdString(dsig) +
                                         "\" Id=\"" + QByteArray::fromStdString(s.task.signatureId));
        ASSERT_GT(start, 0);
        const int end = s.text.indexOf("</ds:Signature>", start) + int(std::strlen("</ds:Signature>"));
        QByteArray rest = s.text.left(start) + s.text.mid(end);
        if (std::string(p.signatureNode) == "/doc/signatures") {
            ASSERT_TRUE(rest.contains("<signatures></signatures>"));
            rest.replace("<signatures></signatures>", "<signatures/>");
        }
        EXPECT_EQ(rest, input);
    }
}

// ---- counter-signatures --------------------------------------------------------

TEST_F(XadesSigning, CounterSignaturesVerifyWithTheOuterSignature) {
    const QString dir = QString::fromUtf8(CORVANE_SOURCE_DIR) + "/tests/xades/corpus/";
    for (const char* file : {"01-plain.xml", "16-ubl-like-invoice.xml", "22-default-namespace-signature-place.xml",
                             "05-comments.xml"}) {
        SCOPED_TRACE(file);
        const Signed outer = enveloped(QByteArray::fromStdString(readFile(dir + file)), "/*", "");
        ASSERT_EQ(outer.code, 0);

        const Signed counter = counterSigned(outer.text);
        ASSERT_EQ(counter.code, 0);
        EXPECT_EQ(counter.task.signatureId.rfind("Counter-Signature-Id-", 0), 0u);
        // The given text stays as it was around the new unsigned properties.
        const int at = outer.text.indexOf("</xades:QualifyingProperties>");
        ASSERT_GT(at, 0);
        EXPECT_EQ(counter.text.left(at), outer.text.left(at));
        QByteArray tail = outer.text.mid(at);  // less the line breaks at the very end
        while (tail.endsWith('\n')) tail.chop(1);
        EXPECT_TRUE(counter.text.endsWith(tail));
        EXPECT_TRUE(counter.text.mid(at).startsWith("<xades:UnsignedProperties>\n<xades:UnsignedSignatureProperties>\n"
                                                    "<xades:CounterSignature>\n<ds:Signature Id=\"Counter-Signature-Id-"));
        expectVerifies(counter.text, outer.task.signatureId);
        expectVerifies(counter.text, counter.task.signatureId);

        // A second counter-signature joins the existing unsigned properties.
        const Signed again = counterSigned(counter.text);
        ASSERT_EQ(again.code, 0);
        EXPECT_NE(again.task.signatureId, counter.task.signatureId);
        EXPECT_NE(again.task.signedPropertiesId, counter.task.signedPropertiesId);
        EXPECT_EQ(countOf(again.text, "<xades:UnsignedProperties>"), 1);
        EXPECT_EQ(countOf(again.text, "<xades:UnsignedSignatureProperties>"), 1);
        EXPECT_EQ(countOf(again.text, "<xades:CounterSignature>"), 2);
        expectVerifies(again.text, outer.task.signatureId);
        expectVerifies(again.text, counter.task.signatureId);
        expectVerifies(again.text, again.task.signatureId);
    }
}

TEST_F(XadesSigning, CounterSignsEnvelopingOutputAndExistingEmptyUnsignedProperties) {
    QByteArray data("enveloped content");
    xades::SigningTask task = taskFor(&data);
    QByteArray enveloping;
    ASSERT_EQ(xades::signXadesBESEnveloping(&enveloping, &task), 0);
    const Signed counter = counterSigned(enveloping);
    ASSERT_EQ(counter.code, 0);
    expectVerifies(counter.text, "Signature-Id-1");
    expectVerifies(counter.text, counter.task.signatureId);

    const Signed outer = enveloped("<doc><a>1</a></doc>", "/doc", "");
    ASSERT_EQ(outer.code, 0);
    {
        // A byte-order mark in front is kept, and the splice still lands in place.
        const QByteArray withBom = "\xEF\xBB\xBF" + outer.text;
        const Signed c = counterSigned(withBom);
        ASSERT_EQ(c.code, 0);
        EXPECT_TRUE(c.text.startsWith("\xEF\xBB\xBF<?xml"));
        expectVerifies(c.text, outer.task.signatureId);
        expectVerifies(c.text, c.task.signatureId);
    }
    const int at = outer.text.indexOf("</xades:QualifyingProperties>");
    for (const char* existing : {"<xades:UnsignedProperties></xades:UnsignedProperties>\n",
                                 "<xades:UnsignedProperties/>\n",
                                 "<xades:UnsignedProperties>\n<xades:UnsignedDataObjectProperties/>\n</xades:UnsignedProperties>\n",
                                 "<xades:UnsignedProperties><xades:UnsignedSignatureProperties /></xades:UnsignedProperties>"}) {
        SCOPED_TRACE(existing);
        QByteArray input = outer.text;
        input.insert(at, existing);
        expectVerifies(input, outer.task.signatureId);  // unsigned properties are outside what is signed
        const Signed c = counterSigned(input);
        ASSERT_EQ(c.code, 0);
        EXPECT_EQ(countOf(c.text, "<xades:UnsignedProperties"), 1);
        EXPECT_EQ(countOf(c.text, "<xades:UnsignedSignatureProperties"), 1);
        pugi::xml_document parsed;
        ASSERT_TRUE(parseKeepingWhitespace(c.text.toStdString(), &parsed));
        const pugi::xml_node unsignedProperties = parsed.select_node("//xades:UnsignedProperties").node();
        EXPECT_STREQ(unsignedProperties.find_child([](pugi::xml_node n) { return n.type() == pugi::node_element; })
                         .name(), "xades:UnsignedSignatureProperties");
        expectVerifies(c.text, outer.task.signatureId);
        expectVerifies(c.text, c.task.signatureId);
    }
}

// ---- failure roads -------------------------------------------------------------

// Runs the builder through the fault module with a call trace; returns the
// functions called, in order.
class FailureRoads : public XadesSigning {
protected:
    void SetUp() override {
        XadesSigning::SetUp();
        if (IsSkipped()) return;
        if (rig().faultModule.isEmpty()) GTEST_SKIP() << "fault module not built";
        tracePath = corvane::test::privateFolder() + "/trace.txt";
        setenv("P11FAULT_TARGET", rig().module.toUtf8().constData(), 1);
        setenv("P11FAULT_TRACE", tracePath.toUtf8().constData(), 1);
    }
    void TearDown() override { unsetenv("P11FAULT_TRACE"); }

    std::vector<std::string> run(const QByteArray& input, const std::string& signatureNode, const std::string& nodeToSign,
                                 bool counter, int* code, QByteArray* out, const std::string& signer = "RSA") {
        QFile::remove(tracePath);
        QByteArray data = input;
        xades::SigningTask task = taskFor(&data, signer);
        task.modulePath = rig().faultModule;
        task.signatureNodeXPath = signatureNode;
        task.nodeToSignXPath = nodeToSign;
        task.addCounterSignature = counter;
        task.signerClaimedRole = role;
        *code = xades::signXadesBESEnveloped(out, &task);
        return calls();
    }

    std::vector<std::string> calls() const {
        std::vector<std::string> names;
        for (const QByteArray& line : QByteArray::fromStdString(readFile(tracePath)).split('\n')) {
            if (!line.isEmpty()) names.push_back(line.split(' ').first().toStdString());
        }
        return names;
    }

    static bool called(const std::vector<std::string>& calls, const char* fn) {
        return std::find(calls.begin(), calls.end(), fn) != calls.end();
    }

    void expectReleasedWithoutLogin(const std::vector<std::string>& calls) {
        ASSERT_TRUE(called(calls, "C_OpenSession")) << "the token was not reached";
        EXPECT_FALSE(called(calls, "C_Login")) << "a PIN try was spent";
        EXPECT_TRUE(called(calls, "C_CloseSession"));
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back(), "C_Finalize");
    }

    QString tracePath;
    std::string role;  // signerClaimedRole of the next run
};

TEST_F(FailureRoads, BadInputIsRefusedAndTheTokenReleased) {
    struct Case {
        const char* what;
        QByteArray input;
        std::string signatureNode, nodeToSign;
        bool counter;
        int code;
        const char* logged;
    };
    const QByteArray doc("<r a=\"1\"><item>x</item><item Id=\"i2\">y</item><plain>z</plain></r>");
    const auto nested = [](int depth) {
        return QByteArray("<e>").repeated(depth) + QByteArray("</e>").repeated(depth);
    };
    const std::vector<Case> cases = {
        {"nested too deeply", nested(5000), "/e", "", false, 51, "nested deeper than 1000 levels"},
        {"not XML", "<a><b></a>", "/*", "", false, 51, "Cannot parse XML data"},
        {"empty data", "", "/*", "", false, 51, "Cannot parse XML data"},
        {"entity declarations", "<!DOCTYPE r [<!ENTITY e \"x\">]><r>&e;</r>", "/*", "", false, 51, "DOCTYPE"},
        {"other encoding", "<?xml version=\"1.0\" encoding=\"ISO-8859-9\"?><r/>", "/*", "", false, 51, "UTF-8"},
        {"no signature node", doc, "/nothing", "", false, 52, "Cannot find target signature node"},
        {"two signature nodes", doc, "//item", "", false, 52, "Cannot find target signature node"},
        {"attribute as signature node", doc, "/r/@a", "", false, 52, "Cannot find target signature node"},
        {"text as signature node", doc, "/r/plain/text()", "", false, 52, "Cannot find target signature node"},
        {"document as signature node", doc, "/", "", false, 52, "Cannot find target signature node"},
        {"node to sign missing", doc, "/r", "/r/none", false, 52, "The node to be signed cannot be found with XPath /r/none"},
        {"node to sign without Id", doc, "/r", "/r/plain", false, 52, "no Id attribute"},
        {"node to sign is text", doc, "/r", "/r/plain/text()", false, 52, "not an element"},
        {"counter-sign without signature", doc, "", "", true, 53, "No node ds:Signature can be found"},
        {"counter-sign without qualifying properties",
         "<r><ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:SignatureValue Id=\"v\">AA==</ds:SignatureValue></ds:Signature></r>",
         "", "", true, 53, "No node xades:QualifyingProperties can be found"},
        {"counter-signed value without Id",
         "<r><ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:SignatureValue>AA==</ds:SignatureValue>"
         "<ds:Object><xades:QualifyingProperties xmlns:xades=\"http://uri.etsi.org/01903/v1.3.2#\"><xades:SignedProperties/>"
         "</xades:QualifyingProperties></ds:Object></ds:Signature></r>",
         "", "", true, 53, "carries no Id"},
        // What pugixml takes but XML 1.0 does not: signed as it stands, the
        // text would not parse for a verifier, or mean something else to it.
        {"undeclared entity", "<r><a>caf&nbsp;</a></r>", "/r", "", false, 51, "undefined entity"},
        {"lone ampersand", "<r>Ali & Veli</r>", "/r", "", false, 51, "line 1, column 9: not well-formed (invalid token)"},
        {"entity in an attribute", "<r a=\"&e;\"/>", "/r", "", false, 51, "undefined entity"},
        {"reference to a control character", "<r>&#1;</r>", "/r", "", false, 51, "reference to invalid character number"},
        {"]]> in text", "<r>a ]]> b</r>", "/r", "", false, 51, "line 1, column 8: not well-formed (invalid token)"},
        {"< in an attribute", "<r a=\"x<y\"/>", "/r", "", false, 51, "line 1, column 8: not well-formed (invalid token)"},
        {"control character", "<r>a\x01b</r>", "/r", "", false, 51, "line 1, column 5: not well-formed (invalid token)"},
        {"not UTF-8", "<r>\xC3(</r>", "/r", "", false, 51, "line 1, column 4: not well-formed (invalid token)"},
        {"two root elements", "<r/><s/>", "/r", "", false, 51, "junk after document element"},
        {"text after the root", "<r/>tail", "/r", "", false, 51, "junk after document element"},
        {"attribute twice", "<r a=\"1\" a=\"2\"/>", "/r", "", false, 51, "duplicate attribute"},
        {"-- in a comment", "<r><!-- a -- b --></r>", "/r", "", false, 51, "line 1, column 13: not well-formed (invalid token)"},
        {"late declaration", "<r/><?xml version=\"1.0\"?>", "/r", "", false, 51, "junk after document element"},
        {"counter-signing ill-formed XML", "<r>&nbsp;<ds:Signature/></r>", "", "", true, 51, "undefined entity"},
        // XML declarations a verifier refuses, and documents that are XML 1.0
        // but break the namespace rules every verifier reads them with.
        {"version 2.0", "<?xml version=\"2.0\"?><r/>", "/r", "", false, 51, "XML version 2.0 is not 1.x"},
        {"no version", "<?xml encoding=\"UTF-8\"?><r/>", "/r", "", false, 51, "XML declaration not well-formed"},
        {"standalone maybe", "<?xml version=\"1.0\" standalone=\"maybe\"?><r/>", "/r", "", false, 51, "XML declaration not well-formed"},
        {"unknown pseudo-attribute", "<?xml version=\"1.0\" lang=\"tr\"?><r/>", "/r", "", false, 51, "XML declaration not well-formed"},
        {"undeclared element prefix", "<r><s xmlns:p=\"urn:p\"/><p:t/></r>", "/r", "", false, 51,
         "line 1, column 24: unbound prefix"},
        {"undeclared attribute prefix", "<r p:a=\"1\"/>", "/r", "", false, 51, "unbound prefix"},
        {"two colons", "<a:b:c xmlns:a=\"urn:a\"/>", "/*", "", false, 51, "line 1, column 5: not well-formed (invalid token)"},
        {"prefix bound to nothing", "<r xmlns:p=\"\"/>", "/r", "", false, 51, "must not undeclare prefix"},
        {"xml bound elsewhere", "<r xmlns:xml=\"urn:x\"/>", "/r", "", false, 51, "reserved prefix (xml) must not be undeclared or bound to another namespace name"},
        {"another prefix for the XML namespace", "<r xmlns:x=\"http://www.w3.org/XML/1998/namespace\"/>", "/r", "",
         false, 51, "prefix must not be bound to one of the reserved namespace names"},
        {"prefix xmlns declared", "<r xmlns:xmlns=\"urn:x\"/>", "/r", "", false, 51, "reserved prefix (xmlns) must not be declared or undeclared"},
        {"binding to the xmlns namespace", "<r xmlns:p=\"http://www.w3.org/2000/xmlns/\"/>", "/r", "", false, 51,
         "prefix must not be bound to one of the reserved namespace names"},
        {"one expanded name twice", "<r xmlns:a=\"urn:n\"><s xmlns:b=\"urn:n\" a:x=\"1\" b:x=\"2\"/></r>", "/r", "",
         false, 51, "duplicate attribute"},
        {"counter-signing with an undeclared prefix", "<r><ds:Signature/></r>", "", "", true, 51,
         "unbound prefix"},
    };
    // A claimed role XML cannot carry is refused on both enveloped roads.
    const std::vector<std::pair<Case, std::string>> roleCases = {
        {{"control character in the role", doc, "/r", "", false, 52, "claimed role"}, "Yetkili\x01"},
        {{"role not UTF-8", doc, "/r", "", false, 52, "claimed role"}, "M\xFC" "d\xFC" "r"},
        {{"control character in the role, counter-signing", doc, "", "", true, 52, "claimed role"}, "\x1b[0m"},
    };
    std::vector<std::pair<Case, std::string>> all;
    for (const Case& c : cases) all.emplace_back(c, "");
    all.insert(all.end(), roleCases.begin(), roleCases.end());
    for (const auto& entry : all) {
        const Case& c = entry.first;
        SCOPED_TRACE(c.what);
        corvane::test::clearLog();
        role = entry.second;
        int code = -1;
        QByteArray out("before");
        const std::vector<std::string> trace = run(c.input, c.signatureNode, c.nodeToSign, c.counter, &code, &out);
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(out, QByteArray("before")) << "nothing is handed out";
        EXPECT_NE(corvane::test::readLog().find(c.logged), std::string::npos) << c.logged;
        expectReleasedWithoutLogin(trace);
    }
}

TEST_F(FailureRoads, XPathThatDoesNotCompileThrowsAfterReleasingTheToken) {
    for (const auto& xpaths : std::vector<std::pair<std::string, std::string>>{{"///bad[", ""}, {"/r", "/r["}, {"1+1", ""}}) {
        SCOPED_TRACE(xpaths.first + " " + xpaths.second);
        int code = -1;
        QByteArray out;
        EXPECT_THROW(run("<r/>", xpaths.first, xpaths.second, false, &code, &out), pugi::xpath_exception);
        EXPECT_TRUE(out.isEmpty());
        expectReleasedWithoutLogin(calls());
    }
}

TEST_F(FailureRoads, KeyThatCannotMakeRsaSha256IsRefusedBeforeLogin) {
    int code = -1;
    QByteArray out;
    const std::vector<std::string> trace = run("<r/>", "/r", "", false, &code, &out, "EC256");
    EXPECT_EQ(code, 53);
    EXPECT_TRUE(out.isEmpty());
    expectReleasedWithoutLogin(trace);
}

// A certificate whose names hold a control character (a UTF8String may):
// its names cannot be written into a signature, on either road.
TEST_F(FailureRoads, CertificateNameXmlCannotCarryIsRefusedBeforeLogin) {
    const QString folder = corvane::test::privateFolder();
    const QString key = rig().tokens.qget("RSA_KEY");
    ToolRun step = runTool("openssl", {"req", "-new", "-key", key, "-subj", "/C=TR/CN=Test\x01Signer", "-out",
                                       folder + "/ctl.csr"});
    ASSERT_EQ(step.exitCode, 0) << step.err;
    // Self-issued, so that the issuer name, which both roads write, holds it too.
    step = runTool("openssl", {"x509", "-req", "-in", folder + "/ctl.csr", "-signkey", key, "-set_serial", "5150",
                               "-days", "30", "-sha256", "-outform", "DER", "-out", folder + "/ctl.der"});
    ASSERT_EQ(step.exitCode, 0) << step.err;
    step = runTool("softhsm2-util", {"--init-token", "--free", "--label", "corvane-ctl", "--so-pin",
                                     rig().tokens.qget("P11_SO_PIN"), "--pin", rig().tokens.qget("P11_PIN")});
    ASSERT_EQ(step.exitCode, 0) << step.err;
    const QRegularExpressionMatch slot = QRegularExpression("reassigned to slot (\\d+)").match(QString::fromStdString(step.out));
    ASSERT_TRUE(slot.hasMatch()) << step.out;
    step = runTool("softhsm2-util", {"--import", key, "--token", "corvane-ctl", "--label", "ctl", "--id", "05", "--pin",
                                     rig().tokens.qget("P11_PIN")});
    ASSERT_EQ(step.exitCode, 0) << step.err;
    step = runTool("pkcs11-tool", {"--module", rig().module, "--token-label", "corvane-ctl", "--login", "--pin",
                                   rig().tokens.qget("P11_PIN"), "--write-object", folder + "/ctl.der", "--type",
                                   "cert", "--id", "05", "--label", "ctl"});
    ASSERT_EQ(step.exitCode, 0) << step.err;

    for (const int mode : {2, 3}) {
        SCOPED_TRACE(mode);
        QFile::remove(tracePath);
        QByteArray data("<r/>"), out;
        xades::SigningTask task = taskFor(&data);
        task.modulePath = rig().faultModule;
        task.slotId = slot.captured(1).toInt();
        task.certSerialNumber = "5150";
        task.signatureNodeXPath = "/r";
        const int code = mode == 2 ? xades::signXadesBESEnveloped(&out, &task) : xades::signXadesBESEnveloping(&out, &task);
        EXPECT_EQ(code, 51);
        EXPECT_TRUE(out.isEmpty());
        EXPECT_NE(task.certificate.issuer.find('\x01'), std::string::npos) << "the certificate under test";
        expectReleasedWithoutLogin(calls());
    }
    // The same for a claimed role on the enveloping road.
    QFile::remove(tracePath);
    QByteArray data("x"), out;
    xades::SigningTask task = taskFor(&data);
    task.modulePath = rig().faultModule;
    task.signerClaimedRole = "Role\x02";
    EXPECT_EQ(xades::signXadesBESEnveloping(&out, &task), 52);
    EXPECT_TRUE(out.isEmpty());
    expectReleasedWithoutLogin(calls());
}

TEST_F(FailureRoads, TokenRefusalsAreThrownAsTheTokenLayerThrowsThem) {
    QByteArray data("<r/>");
    {
        xades::SigningTask task = taskFor(&data);
        task.pin = "0000";
        task.signatureNodeXPath = "/r";
        QByteArray out;
        try {
            xades::signXadesBESEnveloped(&out, &task);
            ADD_FAILURE() << "a wrong PIN was not refused";
        } catch (int code) {
            EXPECT_EQ(code, 27);
        }
    }
    {
        xades::SigningTask task = taskFor(&data, "EXPIRED");
        QByteArray out;
        try {
            xades::signXadesBESEnveloping(&out, &task);
            ADD_FAILURE() << "an expired certificate was not refused";
        } catch (int code) {
            EXPECT_EQ(code, 23);
        }
    }
    {
        xades::SigningTask task = taskFor(&data);
        task.certSerialNumber = "999999";
        QByteArray out;
        try {
            xades::signXadesBESEnveloping(&out, &task);
            ADD_FAILURE() << "an unknown certificate was not refused";
        } catch (int code) {
            EXPECT_EQ(code, 516);
        }
    }
}

// ---- the signing wrappers ------------------------------------------------------

TEST_F(XadesSigning, WrappersHandOutTheDocumentOrThrowTheCode) {
    const std::string pin = rig().tokens.get("P11_PIN"), serial = rig().tokens.get("RSA_SERIAL");
    xades::SignatureProfile profile;
    profile.policyOID = {2, 16, 792, 1};
    QByteArray data("<doc><a>1</a></doc>");
    QByteArray out;
    EXPECT_EQ(tev::quessel::signXadesBESEnveloped("softhsm", rig().module, pin, serial, rig().slot, "/doc", "", "",
                                                  true, QDateTime(), true, false, profile, &data, &out),
              0);
    EXPECT_TRUE(out.contains("<ds:Signature "));
    EXPECT_FALSE(out.contains("SignaturePolicy"));
    EXPECT_NE(corvane::test::readLog().find("Quessel : Completed signing in "), std::string::npos);
    pugi::xml_document parsed;
    ASSERT_TRUE(parseKeepingWhitespace(out.toStdString(), &parsed));
    expectVerifies(out, parsed.select_node("//ds:Signature").node().attribute("Id").value());

    QByteArray counter;
    EXPECT_EQ(tev::quessel::signXadesBESEnveloped("softhsm", rig().module, pin, serial, rig().slot, "", "", "", false,
                                                  QDateTime(), false, true, profile, &out, &counter),
              0);
    EXPECT_TRUE(counter.contains("<xades:CounterSignature>"));

    QByteArray content("x"), enveloping;
    EXPECT_EQ(tev::quessel::signXadesBESEnveloping("softhsm", rig().module, pin, serial, rig().slot, "", "", "", false,
                                                   QDateTime(), false, profile, &content, &enveloping),
              0);
    expectVerifies(enveloping, "Signature-Id-1");

    corvane::test::clearLog();
    QByteArray failed("kept");
    try {
        tev::quessel::signXadesBESEnveloped("softhsm", rig().module, pin, serial, rig().slot, "/missing", "", "", false,
                                            QDateTime(), false, false, profile, &data, &failed);
        ADD_FAILURE() << "no code thrown";
    } catch (int code) {
        EXPECT_EQ(code, 52);
    }
    EXPECT_EQ(failed, QByteArray("kept"));
    QByteArray ecFailed;
    try {
        tev::quessel::signXadesBESEnveloping("softhsm", rig().module, pin, rig().tokens.get("EC256_SERIAL"), rig().slot,
                                             "", "", "", false, QDateTime(), false, profile, &content, &ecFailed);
        ADD_FAILURE() << "no code thrown";
    } catch (int code) {
        EXPECT_EQ(code, 53);
    }
    EXPECT_TRUE(ecFailed.isEmpty());
    const std::string log = corvane::test::readLog();
    EXPECT_NE(log.find("Quessel : Cannot perform signXadesBESEnveloped due to code 52"), std::string::npos);
    EXPECT_NE(log.find("Quessel : Cannot perform signXadesBESEnveloping due to code 53"), std::string::npos);
}

}  // namespace
