// The canonical printer against libxml2: whole documents against
// `xmllint --c14n`, and every element with an Id (as a document subset, the
// way a "#Id" reference sees it) against what `xmlsec1 --sign
// --store-references` digests for an XPath-filtered reference to it.
#include <QFileInfo>
#include <gtest/gtest.h>

#include "test-support.h"
#include "tev-xades.h"
#include "xades-test-kit.h"

using namespace xadestest;
namespace xades = tev::quessel::xades;

namespace {

const char* const kTemplateId = "corvane-c14n-template";

std::string canonical(const pugi::xml_node& node, bool withComments = false,
                      pugi::xml_node excluded = pugi::xml_node()) {
    xades::C14NRules rules;
    if (withComments) rules.algorithm = xades::kCanonicalizationWithComments;
    rules.excluded = excluded;
    return xades::canonicalize(node, rules);
}

// A signature template as the root element's last child: one reference to
// the whole document, then one per element with an Id, each an XPath filter
// that keeps that element's subtree.
std::string withTemplate(const std::string& text, const std::string& rootName,
                         const std::vector<std::string>& ids) {
    auto reference = [](const std::string& filter) {
        std::string r = "<ds:Reference URI=\"\"><ds:Transforms>"
                        "<ds:Transform Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"/>";
        if (!filter.empty()) {
            r += "<ds:Transform Algorithm=\"http://www.w3.org/TR/1999/REC-xpath-19991116\"><ds:XPath>" + filter +
                 "</ds:XPath></ds:Transform>";
        }
        return r + "</ds:Transforms><ds:DigestMethod Algorithm=\"http://www.w3.org/2001/04/xmlenc#sha256\"/>"
                   "<ds:DigestValue/></ds:Reference>";
    };
    std::string signature = std::string("<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" Id=\"") +
                            kTemplateId +
                            "\"><ds:SignedInfo>"
                            "<ds:CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>"
                            "<ds:SignatureMethod Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256\"/>";
    signature += reference("");
    for (const std::string& id : ids) signature += reference("ancestor-or-self::*[@Id='" + id + "']");
    signature += "</ds:SignedInfo><ds:SignatureValue/></ds:Signature>";
    const std::string::size_type end = text.rfind("</" + rootName);
    if (end == std::string::npos) return std::string();
    return text.substr(0, end) + signature + text.substr(end);
}

class CanonicalCorpus : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        keyPath = corvane::test::privateFolder() + "/template-key.pem";
        runTool("openssl", {"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", keyPath});
    }
    void SetUp() override {
        for (const char* tool : {"xmllint", "xmlsec1", "openssl"}) {
            if (!toolAvailable(tool)) GTEST_SKIP() << tool << " is not installed";
        }
        ASSERT_TRUE(QFileInfo::exists(keyPath)) << "no template key";
        ASSERT_GE(corpusFiles().size(), 20);
    }

    // Checks one document text; `label` names it in failures.
    void checkDocument(const std::string& text, const std::string& label) {
        SCOPED_TRACE(label);
        const QString path = corvane::test::privateFolder() + "/doc.xml";
        writeFile(path, text);
        pugi::xml_document document;
        ASSERT_TRUE(parseKeepingWhitespace(text, &document));

        // Whole document, comments kept: xmllint --c14n.
        const ToolRun lint = runTool("xmllint", {"--c14n", path});
        ASSERT_EQ(lint.exitCode, 0) << lint.err;
        EXPECT_EQ(canonical(document, true), lint.out);

        // Without comments, and every subset, as xmlsec1 digests them.
        std::vector<std::string> ids;
        const std::vector<pugi::xml_node> elements = elementsWithId(document.document_element());
        for (const pugi::xml_node& e : elements) ids.push_back(e.attribute("Id").value());
        const std::string templated = withTemplate(text, document.document_element().name(), ids);
        ASSERT_FALSE(templated.empty());
        const QString templatePath = corvane::test::privateFolder() + "/template.xml";
        writeFile(templatePath, templated);
        const ToolRun sign = runTool("xmlsec1", {"--sign", "--privkey-pem", keyPath, "--store-references",
                                                 "--id-attr:Id", "http://www.w3.org/2000/09/xmldsig#:Signature",
                                                 "--node-id", kTemplateId, templatePath});
        ASSERT_EQ(sign.exitCode, 0) << sign.err;
        const std::vector<std::string> digested = xmlsecBuffers(sign.out, "PreDigest");
        ASSERT_EQ(digested.size(), ids.size() + 1) << sign.out;

        // The template document, its template left out as the
        // enveloped-signature transform does, gives the same texts too.
        pugi::xml_document withSignature;
        ASSERT_TRUE(parseKeepingWhitespace(templated, &withSignature));
        const pugi::xml_node templateSignature = elementWithId(withSignature, kTemplateId);
        ASSERT_TRUE(templateSignature);

        EXPECT_EQ(canonical(document), digested[0]) << "whole document";
        EXPECT_EQ(canonical(withSignature, false, templateSignature), digested[0]) << "whole document, template left out";
        for (size_t i = 0; i < elements.size(); ++i) {
            EXPECT_EQ(canonical(elements[i]), digested[i + 1]) << "element Id=" << ids[i];
            EXPECT_EQ(canonical(elementWithId(withSignature, ids[i]), false, templateSignature), digested[i + 1])
                << "element Id=" << ids[i] << " in the template document";
        }
    }

    static QString keyPath;
};
QString CanonicalCorpus::keyPath;

TEST_F(CanonicalCorpus, EveryDocumentAndSubsetMatchesLibxml2) {
    for (const QString& file : corpusFiles()) {
        checkDocument(readFile(file), QFileInfo(file).fileName().toStdString());
    }
}

TEST_F(CanonicalCorpus, CrLfLineEndingsGiveTheSameCanonicalText) {
    for (const QString& file : corpusFiles()) {
        const std::string text = readFile(file);
        checkDocument(withCrLf(text), QFileInfo(file).fileName().toStdString() + " (CR LF)");
        pugi::xml_document lf, crlf;
        ASSERT_TRUE(parseKeepingWhitespace(text, &lf));
        ASSERT_TRUE(parseKeepingWhitespace(withCrLf(text), &crlf));
        EXPECT_EQ(canonical(lf), canonical(crlf)) << file.toStdString();
    }
}

TEST(Canonicalize, ExactTextOfKnownCases) {
    pugi::xml_document document;
    ASSERT_TRUE(parseKeepingWhitespace(
        "<?xml version=\"1.0\"?>\n<?pi data?>\n<r xmlns=\"urn:r\" xmlns:b=\"urn:b\" xml:lang=\"tr\">"
        "<b:e z=\"1\" b:y=\"&#9;\" a=\"&quot;&lt;&gt;\"><![CDATA[<&>]]>&#13;</b:e><f xmlns=\"\"/></r>\n<!--c-->",
        &document));
    EXPECT_EQ(canonical(document),
              "<?pi data?>\n<r xmlns=\"urn:r\" xmlns:b=\"urn:b\" xml:lang=\"tr\">"
              "<b:e a=\"&quot;&lt;>\" z=\"1\" b:y=\"&#x9;\">&lt;&amp;&gt;&#xD;</b:e><f xmlns=\"\"></f></r>");
    const std::string withComments = canonical(document, true);
    EXPECT_EQ(withComments.substr(withComments.size() - 13), "</r>\n<!--c-->");
    const pugi::xml_node e = document.document_element().first_child();
    EXPECT_EQ(canonical(e), "<b:e xmlns=\"urn:r\" xmlns:b=\"urn:b\" a=\"&quot;&lt;>\" z=\"1\" "
                            "xml:lang=\"tr\" b:y=\"&#x9;\">&lt;&amp;&gt;&#xD;</b:e>");
    // The declaration stands for the whole document; text inside an element for nothing.
    EXPECT_EQ(canonical(document.first_child()), canonical(document));
    EXPECT_EQ(canonical(e.first_child()), "");
    pugi::xml_node node = e;
    xades::C14NRules rules;
    EXPECT_EQ(xades::canonicalizeAndCalculateTreeDigest(&document, &node, &rules).size(), 32);
}

TEST(Canonicalize, ExcludedElementLeavesItsNeighbours) {
    pugi::xml_document document;
    ASSERT_TRUE(parseKeepingWhitespace("<r>\n<a>1</a>\n<s><t/></s>\n</r>", &document));
    const pugi::xml_node s = document.document_element().child("s");
    EXPECT_EQ(canonical(document, false, s), "<r>\n<a>1</a>\n\n</r>");
    EXPECT_EQ(canonical(s, false, s), "");
}

}  // namespace
