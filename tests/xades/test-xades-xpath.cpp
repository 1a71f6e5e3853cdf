// The bounded XPath evaluator against pugixml's own: the same nodes for
// everything it takes, and a refusal naming the part for what it does not.
#include <gtest/gtest.h>

#include "tev-xpath.h"

namespace xades = tev::quessel::xades;

namespace {

// Parsed the way the signer reads documents: every kind of node kept.
void load(pugi::xml_document* document, const std::string& text) {
    ASSERT_TRUE(document->load_string(text.c_str(), pugi::parse_full | pugi::parse_ws_pcdata));
}

const char* const kSigned =
    "<?xml version=\"1.0\"?>\n<!DOCTYPE r>\n<!-- head --><?app data?>"
    "<r xmlns:ds=\"urn:ds\" xmlns:p=\"urn:p\" Id=\"root\">"
    "<a Id=\"a1\" k=\"1\"><a Id=\"a2\"><a Id=\"a3\" k=\"2\"/></a><b/>text<![CDATA[cd]]><a Id=\"a4\"/></a>"
    "<ds:Signature Id=\"s1\"><ds:SignedInfo/><ds:Object><ds:Signature Id=\"s2\"/></ds:Object></ds:Signature>"
    "<p:a:b x=\"y\"/><p:c p:x=\"1\" xmlns:q=\"urn:q\"/><!-- inner --><?pi x?>"
    "<b Id=\"b1\"><a/><a k=\"3\"/><c xmlns=\"urn:c\"/><a k=\"\"/></b></r>";

// Same-name elements nested five deep, each level with siblings.
const char* const kNested =
    "<e n=\"1\"><e n=\"2\"><e n=\"3\"><e n=\"4\"><e n=\"5\"/><f/></e><f/><e n=\"6\"/></e></e>"
    "<f><e n=\"7\"><f><e n=\"8\"/></f></e></f></e>";

}  // namespace

TEST(XPath, SelectsWhatPugixmlSelects) {
    const char* const xpaths[] = {
        "/", "/*", "/r", "r", "r/a", " / r / a / a ", "/r/*[3]", "//a", "/r//a", "//a//a", "//*//*//*",
        "//a[1]", "//a[2]", "//a[last()]", "//a[last()-1]", "//a[last() - 2]", "//a/a[1]", "//b[1]//a[last()]",
        "//a[0]", "/r/*[99999999999999999999]", "//ds:Signature", "//ds:Signature//ds:Signature", "//ds:*",
        "//p:*", "/*/*[local-name()='Signature']", "//*[local-name()='b']", "//*[local-name()!='a']",
        "//*[name()='p:a:b']", "//*[name()=\"ds:Object\"]", "//*[local-name()='b' or name()='p:c']",
        "//*[@Id]", "//*[@Id='a3']", "//*[@Id=\"s2\"]", "//*['a2'=@Id]", "//*[@Id!='a1']", "//*[@k!='1']",
        "//*[@k='']", "//*[@p:x='1']", "//*[@xmlns:ds]", "//*[@xmlns]", "//*[@*]", "//*[@p:*]", "//a[@k][2]",
        "//a[2][@k]", "//*[@Id][@k][1]", "//a[@Id='a2' or @Id='a4']", "//a[@k and @Id]",
        "//a[@Id='a1' or @k and @Id='a3']", "//a[position()=2]", "//a[position()<3][last()]",
        "//a[position()>=2 and @k]", "//*[position()=last()-1]", "//a[position()!=1]", "//*[2>position()]",
        "//node()", "/node()", "//text()", "//comment()", "/processing-instruction()",
        "//node()[name()='xml']", "//node()[local-name()='']", "//node()[3]", ".", "..", "//a/..", "//a/.",
        "/r/a/../b", "//e", "//e[1]", "//e[2]", "//e/e[last()]", "//e//e", "//e//f//e"};
    pugi::xml_document documents[2];
    load(&documents[0], kSigned);
    load(&documents[1], kNested);
    for (const pugi::xml_document& document : documents) {
        for (const char* xpath : xpaths) {
            SCOPED_TRACE(xpath);
            pugi::xpath_node_set expected = document.select_nodes(xpath);
            expected.sort();
            std::vector<pugi::xpath_node> nodes;
            ASSERT_TRUE(xades::selectByXPath(document, xpath, xades::xpathWorkAllowance(1000), &nodes).completed);
            ASSERT_EQ(nodes.size(), expected.size());
            for (std::size_t i = 0; i < nodes.size(); ++i) EXPECT_EQ(nodes[i], expected[i]) << "node " << i;
        }
    }
}

