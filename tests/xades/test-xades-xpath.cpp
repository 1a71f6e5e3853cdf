// The XPath evaluator with counted work against pugixml's own: for generated
// documents and XPaths (every axis, node test, operator and core function),
// the same nodes in the same order and the same string values; texts pugixml
// does not compile thrown out the same way; costly XPaths stopped.
//
// The generator is seeded: CORVANE_XPATH_SEED and CORVANE_XPATH_COUNT choose
// another run (the default seed always gives the same one).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tev-xpath.h"

namespace xades = tev::quessel::xades;

namespace {

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

// Numbers beyond the double range either way, and one that underflows.
const std::string kHuge = std::string(400, '0');
const std::string kNumbers = "<r><a>1" + kHuge + "</a><b>2</b><c>-1" + kHuge + "</c><d> 0." + kHuge +
                             "1 </d><e>-0." + kHuge + "1</e><f>0." + std::string(320, '0') + "5</f></r>";

// Hand-picked XPaths, run over every document before the generated ones.
const char* const kFixed[] = {
    "/", "/*", "/r", "r", "r/a", " / r / a / a ", "/r/*[3]", "//a", "//a//a", "//*//*//*", "//a[last()-1]",
    "//a/a[1]", "//b[1]//a[last()]", "//a[0]", "/r/*[99999999999999999999]", "//ds:Signature//ds:Signature",
    "//p:*", "/*/*[local-name()='Signature']", "//*[name()='p:a:b']", "//*[@Id=\"s2\"]", "//*['a2'=@Id]",
    "//*[@k!='1']", "//*[@p:x='1']", "//*[@xmlns:ds]", "//*[@xmlns]", "//*[@p:*]", "//a[2][@k]",
    "//a[@Id='a1' or @k and @Id='a3']", "//a[position()<3][last()]", "//*[2>position()]", "//node()[name()='xml']",
    "//node()[local-name()='']", "/processing-instruction()", "..", "/r/a/../b", "//e/e[last()]", "//e//f//e",
    "//a[contains(@Id, 'a')]", "//a[not(@k)]", "//a[b]", "//a[@k/..]", "//a | //b", "following::a", "(//a)[1]",
    "id('a1')", "//@Id", "//a[@k + 1 = 2]", "//a[last()-position()]", "//a[1 and @k]", "//a[local-name()]",
    "//a[@k < '2']", "//a[@Id = @k]", "//a[1.5]", "//a[. = 'x']", "//a[@k][(1)]", "/r/processing-instruction('pi')",
    "(//@*)[2]/..", "//@*[. = 1]/../@*[last()]", "count(//*)", "string(//@k)", "1 + 1", "//text()[1]",
    "/r/*[. > 2]", "/r/*[. < -2]", "/r/*[. * 0 = 0]", "/r/*[. < 2]", "/r/*[1 div . < 0]", "/r/*[. = 0]",
    "/r/*[. > 0 and . < 1]", "sum(/r/*)", "string(/r/d)", "string(number(/r/f))", "1 div /r/e",
    "normalize-space(' a \t b  ')", "normalize-space('   ')", "normalize-space('')", "translate('abcabc', 'aab', 'xyz')",
    "translate('abc', 'abc', '')", "substring-before('aaab', 'aab')", "substring-after('xAAxAAAx', 'AAAx')",
    "contains('abab', 'bab')", "contains('ab', 'abc')", "substring-after('ab', 'b')", "string(0.000001234)",
    "string(-1234567890123456789012)", "string(1 div 3)", "string(-0.5)",
    // Not compiled by pugixml (or not to nodes): thrown out as it throws them.
    "", "//a[", "/r/", "a b", "//a[@]", "$v", "//a[$v]", "f()", "//a[1", "@", "a/", "a |", "'x"};

const unsigned kParse = pugi::parse_full | pugi::parse_ws_pcdata;

// Seeded generator of small documents and of XPaths over them.
class Generator {
public:
    explicit Generator(std::uint64_t seed) : random_(seed) {}

    int below(std::size_t n) { return static_cast<int>(random_() % n); }

    // Tens of nodes of every kind: default and prefixed namespaces declared,
    // rebound and undeclared on the way down, xml:lang, numbers as text.
    std::string document() {
        std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE r>\n";
        if (below(2)) text += misc();
        text += element(0);
        return below(2) ? text + misc() : text;
    }

    // An XPath of any type, half of them paths; one in twenty cut short,
    // which pugixml mostly does not compile.
    std::string xpath() {
        const int depth = 1 + below(3);
        std::string text = below(2) ? path(depth) : any(depth);
        if (below(20) == 0) text.resize(below(text.size() + 1));
        return text;
    }

private:
    template <std::size_t N>
    std::string pick(const char* const (&list)[N]) { return list[below(N)]; }

    std::string misc() {
        static const char* const kinds[] = {"<!-- c -->", "<!---->", "<?pi data?>", "<?app 12?>", "<?pi?>"};
        return pick(kinds);
    }
    std::string value() {
        static const char* const values[] = {"1", " 12 ", "-3.5", "1e3", "", "x", "a b", "0.5", "2", "NaN",
                                             "first", "\xc4\x9f\xc3\xbc", " ", "e", "  x  y ", "-0", "Infinity"};
        return below(6) ? pick(values) : longNumber();
    }
    std::string element(int depth) {
        static const char* const names[] = {"a", "b", "e", "c", "p:a", "p:b", "q:a", "q:e", "r"};
        static const char* const declarations[] = {" xmlns=\"urn:d\"", " xmlns=\"\"", " xmlns:p=\"urn:p2\"",
                                                   " xmlns:q=\"urn:p\"", " xmlns:p=\"urn:q\" xmlns=\"urn:d2\""};
        static const char* const attributes[] = {"a", "n", "Id", "e", "b", "p:a", "q:n", "xml:lang", "k"};
        static const char* const langs[] = {"en", "EN-us", "de", "en-GB", ""};
        const std::string name = depth == 0 ? "r" : pick(names);
        std::string text = "<" + name;
        if (depth == 0) text += std::string(" xmlns:p=\"urn:p\" xmlns:q=\"urn:q\"") + (below(2) ? " xmlns=\"urn:d\"" : "");
        else if (below(3) == 0) text += pick(declarations);
        for (int i = below(4), first = below(9); i > 0; --i) {
            const std::string attribute = attributes[(first + i) % 9];
            text += " " + attribute + "=\"" + (attribute == "xml:lang" ? pick(langs) : value()) + "\"";
        }
        const int children = depth == 0 ? 3 + below(3) : depth < 4 ? below(4) : 0;
        if (children == 0 && below(2)) return text + "/>";
        text += ">";
        for (int i = 0; i < children; ++i) {
            switch (below(8)) {
                case 0: text += value(); break;
                case 1: text += "<![CDATA[" + value() + "]]>"; break;
                case 2: text += misc(); break;
                default: text += element(depth + 1);
            }
        }
        return text + "</" + name + ">";
    }

    // Digits beyond the double range, below it (zero or a subnormal), or
    // more than a double holds.
    std::string longNumber() {
        std::string text = below(3) ? "" : "-";
        switch (below(4)) {
            case 0: text += "1" + std::string(300 + below(40), '0'); break;
            case 1: text += "0." + std::string(300 + below(40), '0') + "7"; break;
            case 2: text += std::string(1 + below(30), '9') + "." + std::string(1 + below(30), '3'); break;
            default: text += "17976931348623158" + std::string(290 + below(3), '0'); break;
        }
        return text;
    }

    std::string any(int depth) {
        const int kind = below(4);
        return kind == 0 ? path(depth) : kind == 1 ? number(depth) : kind == 2 ? string(depth) : boolean(depth);
    }
    std::string path(int depth) {
        static const char* const ids[] = {"'a1'", "' a2  x a1 '", "''", "//@Id", "12"};
        switch (below(depth > 0 ? 8 : 4)) {
            case 0: return steps(depth);
            case 1: return below(8) ? "/" + steps(depth) : "/";
            case 2: case 3: return "//" + steps(depth);
            case 4: return "(" + path(depth - 1) + ")" + predicate(depth - 1);
            case 5: return "(" + path(depth - 1) + (below(2) ? ")/" : ")//") + steps(depth - 1);
            case 6: return path(depth - 1) + " | " + path(depth - 1);
            default: return "id(" + (below(2) ? pick(ids) : path(depth - 1)) + ")";
        }
    }
    std::string steps(int depth) {
        std::string text;
        for (int i = below(3) ? 0 : 1 + below(2); i > 0; --i) text += step(depth, false) + (below(3) ? "/" : "//");
        return text + step(depth, true);
    }
    // Attributes mostly last: the steps after them mostly select nothing.
    std::string step(int depth, bool last) {
        static const char* const axes[] = {"ancestor", "ancestor-or-self", "attribute", "child", "descendant",
                                           "descendant-or-self", "following", "following-sibling", "namespace",
                                           "parent", "preceding", "preceding-sibling", "self"};
        static const char* const tests[] = {"a", "a", "b", "e", "e", "r", "c", "p:a", "p:a", "q:a", "q:e", "z:a",
                                            "p:*", "q:*", "*", "*", "*", "node()", "node()", "text()", "comment()",
                                            "processing-instruction()", "processing-instruction('pi')"};
        static const char* const attributes[] = {"a", "n", "Id", "e", "b", "k", "p:a", "q:n", "xml:lang", "xmlns",
                                                 "xmlns:p", "p:*", "*", "*", "node()", "text()"};
        std::string text;
        switch (below(6)) {
            case 0: return below(2) ? "." : "..";
            case 1: text = last || below(4) == 0 ? "@" + pick(attributes) : pick(tests); break;
            case 2: case 3: text = pick(tests); break;
            default: {
                const std::string axis = pick(axes);
                const bool named = axis == "attribute" || axis == "namespace";
                text = named && !last && below(4) ? "child::" + pick(tests) : axis + "::" + (named ? pick(attributes) : pick(tests));
            }
        }
        for (int i = depth > 0 && below(3) == 0 ? 1 + below(2) : 0; i > 0; --i) text += predicate(depth - 1);
        return text;
    }
    std::string predicate(int depth) {
        const int kind = below(4);
        return "[" + (kind == 0 ? number(depth) : kind == 1 ? path(depth) : boolean(depth)) + "]";
    }
    std::string number(int depth) {
        static const char* const terminals[] = {"0", "1", "2", "3", "-0.5", "0.5", "1.5", "2.5", "-2.5", ".5", "1.",
                                                "1000000000000000000000", "0.0000001", "12345678.9", "-0",
                                                "last()", "position()", "number('x')", "1 div 0", "-1 div 0",
                                                "0 div 0", "number(' 12 ')", "number('1e3')", "longNumber"};
        static const char* const operators[] = {" + ", " - ", " * ", " div ", " mod "};
        if (depth <= 0 || below(3) == 0) {
            const std::string terminal = pick(terminals);
            return terminal == "longNumber" ? "(" + longNumber() + ")" : terminal;
        }
        switch (below(11)) {
            case 0: return "count(" + path(depth - 1) + ")";
            case 1: return "sum(" + path(depth - 1) + ")";
            case 2: return below(4) ? "string-length(" + string(depth - 1) + ")" : "string-length()";
            case 3: return below(4) ? "number(" + any(depth - 1) + ")" : "number()";
            case 4: return "floor(" + number(depth - 1) + ")";
            case 5: return "ceiling(" + number(depth - 1) + ")";
            case 6: return "round(" + number(depth - 1) + ")";
            case 7: case 8: return number(depth - 1) + pick(operators) + number(depth - 1);
            case 9: return "-" + number(depth - 1);
            default: return "(" + number(depth - 1) + ")";
        }
    }
    std::string string(int depth) {
        static const char* const terminals[] = {"'x'", "'e'", "'12'", "' 12 '", "''", "'a b  c'", "'\xc4\x9f\xc3\xbc'",
                                                "'en'", "\"it's\"", "'-3.5'", "'1e3'", "'first'", "'urn:p'",
                                                "'p:a'", "string()", "local-name()", "name()", "namespace-uri()",
                                                "normalize-space()"};
        static const char* const replacements[] = {"'ABC'", "''", "'\xc3\x9c'", "'xyz-'", "'1'"};
        if (depth <= 0 || below(3) == 0) return pick(terminals);
        const int d = depth - 1;
        switch (below(10)) {
            case 0: return "string(" + any(d) + ")";
            case 1: return "concat(" + string(d) + ", " + any(d) + (below(2) ? ", " + any(d) : "") + ")";
            case 2: return "substring-before(" + string(d) + ", " + string(d) + ")";
            case 3: return "substring-after(" + string(d) + ", " + string(d) + ")";
            case 4: return "substring(" + string(d) + ", " + number(d) + (below(2) ? ", " + number(d) : "") + ")";
            case 5: return "normalize-space(" + string(d) + ")";
            case 6: return "translate(" + string(d) + ", " + string(d) + ", " + pick(replacements) + ")";
            case 7: return "local-name(" + path(d) + ")";
            case 8: return "namespace-uri(" + path(d) + ")";
            default: return "name(" + path(d) + ")";
        }
    }
    std::string boolean(int depth) {
        static const char* const terminals[] = {"true()", "false()", "lang('en')", "lang('EN')", "lang('en-us')",
                                                "lang('de')", "lang('')", "lang('e')"};
        static const char* const comparisons[] = {" = ", " != ", " < ", " <= ", " > ", " >= "};
        if (depth <= 0 || below(3) == 0) return pick(terminals);
        const int d = depth - 1;
        switch (below(8)) {
            case 0: return "not(" + any(d) + ")";
            case 1: return "boolean(" + any(d) + ")";
            case 2: return "starts-with(" + string(d) + ", " + string(d) + ")";
            case 3: return "contains(" + string(d) + ", " + string(d) + ")";
            case 4: return "lang(" + string(d) + ")";
            case 5: case 6: return any(d) + pick(comparisons) + any(d);
            default: return boolean(d) + (below(2) ? " and " : " or ") + boolean(d);
        }
    }

    std::mt19937_64 random_;
};

std::string describe(const pugi::xpath_node& node) {
    static const char* const kinds[] = {"null", "document", "element", "text", "cdata", "comment", "pi",
                                        "declaration", "doctype"};
    if (node.attribute()) return std::string("@") + node.attribute().name() + " of " + describe(node.parent());
    std::string text = kinds[node.node().type()];
    if (*node.node().name()) text += std::string(" ") + node.node().name();
    return node.node().type() == pugi::node_document ? text : text + " at " + std::to_string(node.node().offset_debug());
}

std::string describe(const std::vector<pugi::xpath_node>& nodes) {
    std::string text = std::to_string(nodes.size()) + " {";
    for (std::size_t i = 0; i < nodes.size() && i < 12; ++i) text += (i ? ", " : "") + describe(nodes[i]);
    return text + (nodes.size() > 12 ? ", ...}" : "}");
}

// Ours against pugixml for one XPath at one context: "" when they agree, else
// both results. A stop is not a difference: *stops counts it.
std::string compare(const pugi::xml_node& context, const std::string& xpath, const xades::XPathAllowance& allowance, int* stops) {
    std::unique_ptr<pugi::xpath_query> query;
    try {
        query.reset(new pugi::xpath_query(xpath.c_str()));
    } catch (const pugi::xpath_exception&) {
    }
    const bool nodeSet = query && query->return_type() == pugi::xpath_type_node_set;
    std::vector<pugi::xpath_node> nodes;
    std::string value;
    try {
        const xades::XPathOutcome outcome = xades::selectByXPath(context, xpath, allowance, &nodes);
        if (!nodeSet) return "ours selected " + describe(nodes) + ", pugixml throws";
        if (!outcome.completed) ++*stops;
        if (!outcome.completed && !nodes.empty()) return "ours stopped, yet selected " + describe(nodes);
        pugi::xpath_node_set expected = query->evaluate_node_set(context);
        expected.sort();
        if (outcome.completed && nodes != std::vector<pugi::xpath_node>(expected.begin(), expected.end())) {
            return "ours selected " + describe(nodes) + ", pugixml " +
                   describe(std::vector<pugi::xpath_node>(expected.begin(), expected.end()));
        }
    } catch (const pugi::xpath_exception& e) {
        if (nodeSet) return std::string("ours throws selecting: ") + e.what();
    } catch (const std::exception& e) {
        return std::string("ours throws something else selecting: ") + e.what();
    }
    try {
        const xades::XPathOutcome outcome = xades::evaluateXPathString(context, xpath, allowance, &value);
        if (!query) return "ours gave '" + value + "', pugixml throws";
        if (!outcome.completed) ++*stops;
        const std::string expected = query->evaluate_string(pugi::xpath_node(context));
        if (outcome.completed ? value != expected : !value.empty()) {
            return "ours gave '" + value + "'" + (outcome.completed ? "" : " (stopped)") + ", pugixml '" + expected + "'";
        }
    } catch (const pugi::xpath_exception& e) {
        if (query) return std::string("ours throws evaluating: ") + e.what();
    } catch (const std::exception& e) {
        return std::string("ours throws something else evaluating: ") + e.what();
    }
    return "";
}

}  // namespace

TEST(XPath, SelectsAndEvaluatesWhatPugixmlDoes) {
    const char* const seedText = std::getenv("CORVANE_XPATH_SEED");
    const char* const countText = std::getenv("CORVANE_XPATH_COUNT");
    const std::uint64_t seed = seedText ? std::strtoull(seedText, nullptr, 10) : 20240917;
    const int count = countText ? std::atoi(countText) : 8000;
    std::printf("XPaths against pugixml: seed %llu (CORVANE_XPATH_SEED), %d generated (CORVANE_XPATH_COUNT)\n",
                static_cast<unsigned long long>(seed), count);
    Generator generator(seed);

    struct Document {
        std::string text;
        pugi::xml_document tree;
        std::vector<pugi::xml_node> elements, others;  // contexts besides the document node
    };
    std::vector<Document> documents(9);
    for (std::size_t i = 0; i < documents.size(); ++i) {
        Document& document = documents[i];
        document.text = i == 0 ? kSigned : i == 1 ? kNested : i == 2 ? kNumbers : generator.document();
        ASSERT_TRUE(document.tree.load_string(document.text.c_str(), kParse)) << document.text;
        std::vector<pugi::xml_node> pending{document.tree};
        while (!pending.empty()) {
            const pugi::xml_node node = pending.back();
            pending.pop_back();
            for (pugi::xml_node child : node.children()) pending.push_back(child);
            if (node != document.tree) (node.type() == pugi::node_element ? document.elements : document.others).push_back(node);
        }
    }

    int evaluated = 0, stopped = 0, mismatches = 0;  // stopped: XPaths stopped at some context
    const auto check = [&](const Document& document, const std::string& xpath) {
        const xades::XPathAllowance allowance = xades::xpathAllowance(document.text.size());
        std::vector<pugi::xml_node> contexts{document.tree, document.elements[generator.below(document.elements.size())]};
        if (!document.others.empty()) contexts.push_back(document.others[generator.below(document.others.size())]);
        int stops = 0;
        for (const pugi::xml_node& context : contexts) {
            const std::string difference = compare(context, xpath, allowance, &stops);
            ++evaluated;
            if (difference.empty()) continue;
            if (++mismatches <= 8) {
                ADD_FAILURE() << "XPath " << xpath << "\n  document " << (&document - documents.data()) << ": "
                              << document.text << "\n  context " << describe(context) << "\n  " << difference;
            }
            break;
        }
        if (stops > 0 && ++stopped <= 10) {
            std::printf("stopped: %s in document %d\n", xpath.c_str(), static_cast<int>(&document - documents.data()));
        }
    };
    for (const char* xpath : kFixed) {
        for (const Document& document : documents) check(document, xpath);
    }
    for (int i = 0; i < count; ++i) check(documents[i % documents.size()], generator.xpath());
    std::printf("%d evaluations, %d XPaths stopped, %d differing\n", evaluated, stopped, mismatches);
    EXPECT_EQ(mismatches, 0);
    EXPECT_LE(stopped, 5) << "the allowance should cover nearly every XPath on documents this small";
}

// Nested count()s would keep pugixml busy for minutes to hours on a document
// of a few hundred elements: ours stops and selects nothing. Long XPaths that
// do little work are taken whole.
TEST(XPath, StopsCostlyXPathsAndTakesLongCheapOnes) {
    std::string text = "<d>";
    for (int i = 0; i < 500; ++i) text += i % 7 ? "<e/>" : "<e a=\"1\"/>";
    text += "</d>";
    pugi::xml_document large;
    ASSERT_TRUE(large.load_string(text.c_str(), kParse));
    const xades::XPathAllowance allowance = xades::xpathAllowance(text.size());
    for (const std::string inner : {"count(//*[count(//*) > 0])", "count(//*[count(//*[count(//*) > 0]) > 0])"}) {
        SCOPED_TRACE(inner);
        std::vector<pugi::xpath_node> nodes{pugi::xpath_node(large)};
        xades::XPathOutcome outcome = xades::selectByXPath(large, "/d[count(//*[" + inner + " > 0]) > 0]", allowance, &nodes);
        EXPECT_FALSE(outcome.completed);
        EXPECT_TRUE(nodes.empty());
        EXPECT_GE(outcome.work, allowance.work);
        std::string value = "x";
        outcome = xades::evaluateXPathString(large, "count(//*[" + inner + " > 0])", allowance, &value);
        EXPECT_FALSE(outcome.completed);
        EXPECT_TRUE(value.empty());
        EXPECT_GE(outcome.work, allowance.work);
    }

    const std::string smallText = "<d><e a=\"1\"/><f><e/><e b=\"\"/></f><e/><g a=\"\"><e a=\"2\"/></g></d>";
    pugi::xml_document small;
    ASSERT_TRUE(small.load_string(smallText.c_str(), kParse));
    std::string descendants = "/d", alternatives = "//e[@b";
    for (int i = 0; i < 40; ++i) descendants += "//.", alternatives += " or @a";
    int stops = 0;
    for (const std::string& xpath : {descendants + "/e", alternatives + "]", alternatives + "][last()]/@a"}) {
        EXPECT_EQ(compare(small, xpath, xades::xpathAllowance(smallText.size()), &stops), "") << xpath;
    }
    for (const char* xpath : {"/d/e[last()]", "//e[@a][last()]", "count(//e[@a])"}) {
        EXPECT_EQ(compare(large, xpath, allowance, &stops), "") << xpath;
    }
    EXPECT_EQ(stops, 0);
}

namespace {

struct Shape {
    std::string text;
    pugi::xml_document tree;
    xades::XPathAllowance allowance;

    explicit Shape(std::string document) : text(std::move(document)) {
        EXPECT_TRUE(tree.load_string(text.c_str(), kParse));
        allowance = xades::xpathAllowance(text.size());
    }
    // What `xpath` selects, with the outcome: work and memory always within
    // their allowances, and nothing selected when stopped.
    std::vector<pugi::xpath_node> select(const std::string& xpath, xades::XPathOutcome* outcome) {
        std::vector<pugi::xpath_node> nodes;
        *outcome = xades::selectByXPath(tree, xpath, allowance, &nodes);
        // The descendant walk charges the nodes it passes in batches of
        // 4,096 (32,768 units): that much may be counted past the allowance.
        EXPECT_LE(outcome->work, allowance.work + std::max<std::uint64_t>(allowance.work / 100, 32768))
            << xpath.substr(0, 80);
        EXPECT_LE(outcome->peakBytes, allowance.memory) << xpath.substr(0, 80);
        if (!outcome->completed) {
            EXPECT_TRUE(nodes.empty()) << xpath.substr(0, 80);
        }
        return nodes;
    }
};

std::string repeated(const std::string& piece, int times) {
    std::string text;
    text.reserve(piece.size() * static_cast<std::size_t>(times));
    for (int i = 0; i < times; ++i) text += piece;
    return text;
}

}  // namespace

// Work charged where it is done, for the shapes whose cost grows with the
// product of two lengths or counts: each completes or stops with its work
// within the allowance (and the count, not the time, is asserted). Before,
// the searches and translate() ran for seconds here, charged for a fraction
// of what they did, and lang() and long names were charged one unit per node.
TEST(XPath, ChargesSearchesMapsLanguagesAndNamesWhereTheWorkIsDone) {
    const int length = 1000000;
    Shape text("<r><y>" + std::string(length, 'a') + "</y><x>" + std::string(length, 'b') + "</x></r>");
    xades::XPathOutcome outcome;
    for (const char* fn : {"contains", "substring-before", "substring-after"}) {
        const std::string xpath = std::string("/r[") + fn + "(y, concat(substring(y, 1, 100000), 'b'))]";
        EXPECT_TRUE(text.select(xpath, &outcome).empty()) << fn;
        EXPECT_TRUE(outcome.completed) << fn;
        int stops = 0;
        EXPECT_EQ(compare(text.tree, std::string("/r[") + fn + "(y, concat(substring(y, 1, 100000), 'a'))]",
                          text.allowance, &stops), "") << fn;
        EXPECT_EQ(stops, 0);
    }
    // Bytes of x looked up in a 'from' of 200,000 bytes that holds none of them.
    EXPECT_TRUE(text.select("/r[string-length(translate(x, substring(y, 1, 200000), '')) = 0]", &outcome).empty());
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(text.select("/r[translate(substring(x, 1, 5), concat('c', substring(y, 1, 200000), 'b'), 'Z') = 'bbbbb']",
                          &outcome).size(), 0u);
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(text.select("/r[translate(substring(x, 1, 3), 'bab', 'xyz') = 'xxx']", &outcome).size(), 1u);

    // lang() reads every attribute of every element above: 20,000 on the
    // root, below which each child asks. Just under the allowance it
    // answers as pugixml does; a few more children and it stops.
    const int attributes = 20000;
    const auto languages = [&](int children) {
        std::string document = "<r";
        for (int i = 0; i < attributes; ++i) document += " a" + std::to_string(i) + "=\"\"";
        return document + " xml:lang=\"en-GB\">" + repeated("<b/>", children) + "</r>";
    };
    // The work one more child costs, from two small runs.
    const auto workWith = [&](int children) {
        Shape shape(languages(children));
        xades::XPathOutcome measured;
        shape.select("/r[b[lang('de')]]", &measured);
        EXPECT_TRUE(measured.completed);
        return measured.work;
    };
    const std::uint64_t perChild = (workWith(20) - workWith(10)) / 10;
    EXPECT_GE(perChild, static_cast<std::uint64_t>(attributes)) << "each attribute read is charged";
    const int under = static_cast<int>(xades::xpathAllowance(languages(0).size()).work * 9 / 10 / perChild);
    Shape fewChildren(languages(under));
    int stops = 0;
    EXPECT_EQ(compare(fewChildren.tree, "/r[b[lang('en')]]", fewChildren.allowance, &stops), "");
    EXPECT_EQ(compare(fewChildren.tree, "count(//b[lang('en-gb')])", fewChildren.allowance, &stops), "");
    EXPECT_EQ(stops, 0);
    Shape moreChildren(languages(under * 2));
    EXPECT_TRUE(moreChildren.select("/r[count(b[lang('en')]) = " + std::to_string(under * 2) + "]", &outcome).empty());
    EXPECT_FALSE(outcome.completed);

    // Names of 1,000 bytes that share all but their last byte with the one
    // asked for, tested in a nested count: each test compares 1,000 bytes.
    const std::string stem(999, 'n');
    const auto named = [&](int elements) { return "<r>" + repeated("<" + stem + "x/>", elements) + "</r>"; };
    const std::string nested = "/r[count(*[count(../" + stem + "y) = 0]) > 0]";
    Shape fewNames(named(60));
    EXPECT_EQ(compare(fewNames.tree, nested, fewNames.allowance, &stops), "");
    EXPECT_EQ(stops, 0);
    Shape manyNames(named(1500));
    EXPECT_TRUE(manyNames.select(nested, &outcome).empty());
    EXPECT_FALSE(outcome.completed);
}

// The bytes one evaluation holds are bounded: node-sets are compared one
// string value at a time, as pugixml compares them, and a string built of
// many copies of the document stops at the bound.
TEST(XPath, HoldsAtMostItsMemoryAllowance) {
    // 300 nested elements with 3,600 bytes of text each: every element's
    // string value holds the text of all those below it.
    std::string nested = "<r>";
    for (int i = 0; i < 300; ++i) nested += "<e>" + std::string(3600, static_cast<char>('a' + i % 26));
    for (int i = 0; i < 300; ++i) nested += "</e>";
    Shape deep(nested + "</r>");
    xades::XPathOutcome outcome;
    EXPECT_EQ(deep.select("/r[//e = //e]", &outcome).size(), 1u);
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(deep.select("/r[//e != //e]", &outcome).size(), 1u);
    EXPECT_EQ(deep.select("/r[//e[e] = //e[not(e)]]", &outcome).size(), 0u);
    EXPECT_TRUE(outcome.completed);
    EXPECT_LT(outcome.peakBytes, 8 * deep.text.size());
    EXPECT_EQ(deep.select("/r[//e[e]/e = //e[not(e)]/text()]", &outcome).size(), 1u);
    EXPECT_EQ(deep.select("/r[/r/e != //e[not(e)]/ancestor::e[last()]]", &outcome).size(), 0u);
    EXPECT_TRUE(outcome.completed);
    EXPECT_LT(outcome.peakBytes, 8 * deep.text.size());

    // concat() of the whole document, copies up to and past the bound (each
    // copy is built, then the whole: twice the result is held).
    Shape document("<r>" + repeated("<e>" + std::string(1000, 'x') + "</e>", 1000) + "</r>");
    const std::uint64_t copiesHeld = document.allowance.memory / document.text.size();
    bool completedNear = false, stoppedPast = false;
    for (std::uint64_t copies = copiesHeld / 4; copies <= copiesHeld / 2 + 2; ++copies) {
        std::string xpath = "/r[string-length(concat(/";
        for (std::uint64_t i = 1; i < copies; ++i) xpath += ", /";
        xpath += ")) > 0]";
        const std::size_t selected = document.select(xpath, &outcome).size();
        if (outcome.completed) {
            EXPECT_EQ(selected, 1u) << copies;
            completedNear = completedNear || outcome.peakBytes >= document.allowance.memory * 3 / 4;
        } else {
            EXPECT_TRUE(outcome.memoryExhausted) << copies;
            stoppedPast = true;
        }
    }
    EXPECT_TRUE(completedNear) << "a string of nearly the allowance is built";
    EXPECT_TRUE(stoppedPast) << "a string of more than the allowance is not";
}

namespace {

// /r[string-length(concat(t, t, ...)) > 0 and ...], a concat() of each count
// of copies in turn.
std::string concatenations(const std::vector<int>& copies) {
    std::string xpath = "/r[";
    for (std::size_t i = 0; i < copies.size(); ++i) {
        xpath += i ? " and string-length(concat(t" : "string-length(concat(t";
        for (int c = 1; c < copies[i]; ++c) xpath += ", t";
        xpath += ")) > 0";
    }
    return xpath + "]";
}

}  // namespace

// Large blocks made fresh are charged and stay counted until the request's
// XPaths are done, so that results of rising sizes (each faulted in anew,
// whatever the allocator keeps of the last) are bounded by their sum, while
// results of one size reuse one block. The two XPaths of a request share
// one allowance, and the CPU time budget stops what the count lets through.
TEST(XPath, BoundsWhatARequestBuildsAndSpends) {
    Shape text("<r><t>" + std::string(1000000, 'A') + "</t></r>");
    const std::uint64_t memory = text.allowance.memory;  // 32.4 MB: 8 MiB and 24 bytes a byte
    ASSERT_GT(memory, 32000000u);
    ASSERT_LT(memory, 33000000u);
    xades::XPathOutcome outcome;
    // Rising: 2 + 3 + ... + 8 = 35 MB built in all, 8 MB of it held at once.
    EXPECT_TRUE(text.select(concatenations({2, 3, 4, 5, 6, 7, 8}), &outcome).empty());
    EXPECT_FALSE(outcome.completed);
    EXPECT_EQ(outcome.stop, xades::XPathStop::Memory);
    // Just under the bound: 2 + ... + 7 = 27 MB, and the same 8 MB ten times.
    EXPECT_EQ(text.select(concatenations({2, 3, 4, 5, 6, 7}), &outcome).size(), 1u);
    EXPECT_TRUE(outcome.completed);
    EXPECT_GE(outcome.work, 27000000u) << "each byte made fresh costs a unit";
    EXPECT_EQ(text.select(concatenations(std::vector<int>(10, 8)), &outcome).size(), 1u);
    EXPECT_TRUE(outcome.completed);
    EXPECT_LT(outcome.peakBytes, 9500000u) << "one block of 8 MB, reused";

    // Two XPaths that fit each alone do not fit together, by work or by memory.
    Shape flat("<r>" + repeated("<a/>", 60000) + "</r>");
    std::vector<pugi::xpath_node> nodes;
    {
        xades::XPathSpending one(flat.allowance);
        std::string costly = "/r[count(//a)";  // 12 walks of 60,000 nodes: about 5.8 million units
        for (int i = 1; i < 12; ++i) costly += " + count(//a)";
        costly += " >= 0]";
        outcome = xades::selectByXPath(flat.tree, costly, &one, &nodes);
        ASSERT_TRUE(outcome.completed);
        EXPECT_GT(outcome.work, flat.allowance.work / 2);
        EXPECT_EQ(nodes.size(), 1u);
        outcome = xades::selectByXPath(flat.tree, costly, &one, &nodes);
        EXPECT_FALSE(outcome.completed);
        EXPECT_EQ(outcome.stop, xades::XPathStop::Work);
        EXPECT_TRUE(nodes.empty());
        EXPECT_LE(one.work(), flat.allowance.work + 32768);
    }
    {
        xades::XPathSpending one(text.allowance);
        outcome = xades::selectByXPath(text.tree, concatenations({16}), &one, &nodes);
        ASSERT_TRUE(outcome.completed);
        outcome = xades::selectByXPath(text.tree, concatenations({17}), &one, &nodes);
        EXPECT_EQ(outcome.stop, xades::XPathStop::Memory) << "16 MB and 17 MB made fresh, past 32.4";
        EXPECT_LE(one.peakBytes(), memory);
        xades::XPathSpending other(text.allowance);
        outcome = xades::selectByXPath(text.tree, concatenations({17}), &other, &nodes);
        EXPECT_TRUE(outcome.completed);
    }

    // The backstop: the thread's CPU time is looked at every million units
    // or so; a budget too small for any of them stops the first look.
    xades::XPathAllowance scant = flat.allowance;
    scant.cpuNanoseconds = 1;
    outcome = xades::selectByXPath(flat.tree, "/r[count(//a) + count(//a) + count(//a) >= 0]", scant, &nodes);
    EXPECT_FALSE(outcome.completed);
    EXPECT_EQ(outcome.stop, xades::XPathStop::Time);
    EXPECT_TRUE(nodes.empty());
    EXPECT_LT(outcome.work, 3000000u) << "stopped at the first look";
    scant.cpuNanoseconds = 0;  // no budget: the count alone
    outcome = xades::selectByXPath(flat.tree, "/r[count(//a) + count(//a) + count(//a) >= 0]", scant, &nodes);
    EXPECT_TRUE(outcome.completed);
}

namespace {

// `count` chains of `depth` nested <a>, side by side under <r>.
std::string chains(int depth, int count) {
    return "<r>" + repeated(repeated("<a>", depth) + repeated("</a>", depth), count) + "</r>";
}

pugi::xml_node deepest(pugi::xml_node chainTop) {
    while (chainTop.first_child()) chainTop = chainTop.first_child();
    return chainTop;
}

}  // namespace

// Every move an axis makes through the tree is charged, not only the nodes
// it hands on: from the deepest node of a chain the following axis climbs
// the whole chain to reach its first node, the preceding axis climbs it and
// descends the chain before. Before, a predicate that needed one such node
// paid one node for thousands of moves, and the shapes below ran for
// seconds over 3.6 MB.
TEST(XPath, ChargesEveryMoveOfAnAxis) {
    // From one context to the one node an axis hands on: the work grows by
    // at least one unit a move as the way doubles, and the answer is
    // pugixml's.
    struct Way {
        const char* axis;
        std::string (*document)(int length);
        pugi::xml_node (*context)(const pugi::xml_document& tree);
    };
    const auto firstChain = [](const pugi::xml_document& t) { return deepest(t.first_child().first_child()); };
    const auto secondChain = [](const pugi::xml_document& t) {
        return deepest(t.first_child().first_child().next_sibling());
    };
    const auto firstChild = [](const pugi::xml_document& t) { return t.first_child().first_child(); };
    const auto lastChild = [](const pugi::xml_document& t) { return t.first_child().last_child(); };
    const Way ways[] = {
        {"following::*[1]", [](int length) { return chains(length, 2); }, firstChain},
        {"preceding::*[1]", [](int length) { return chains(length, 2); }, secondChain},
        {"ancestor::r", [](int length) { return chains(length, 2); }, firstChain},
        {"following-sibling::b", [](int length) { return "<r>" + repeated("<a/>", length) + "<b/></r>"; }, firstChild},
        {"preceding-sibling::b", [](int length) { return "<r><b/>" + repeated("<a/>", length) + "</r>"; }, lastChild},
    };
    for (const Way& way : ways) {
        for (const std::string& xpath : {std::string(way.axis), "self::*[" + std::string(way.axis) + "]"}) {
            SCOPED_TRACE(xpath);
            std::uint64_t work[2] = {0, 0};
            for (int doubled = 0; doubled < 2; ++doubled) {
                Shape shape(way.document(1000 << doubled));
                const pugi::xml_node context = way.context(shape.tree);
                std::vector<pugi::xpath_node> nodes;
                const xades::XPathOutcome outcome = xades::selectByXPath(context, xpath, shape.allowance, &nodes);
                EXPECT_TRUE(outcome.completed);
                EXPECT_EQ(nodes.size(), 1u);
                int stops = 0;
                EXPECT_EQ(compare(context, xpath, shape.allowance, &stops), "");
                work[doubled] = outcome.work;
            }
            EXPECT_GE(work[1], work[0] + 1000) << "1,000 more moves cost " << (work[1] - work[0]);
        }
    }

    // Over 3.6 MB of chains 990 deep, and 3.5 MB of siblings: every shape
    // stops within its allowance.
    Shape deep(chains(990, 520));
    for (const char* inner :
         {"//*[following::*]", "//*[preceding::*]", "//*[preceding::* and preceding::* and preceding::*]",
          "//a/preceding::*[1]", "//a/following::*[1]", "//*[not(following::*)]", "//*[../preceding::*]",
          "//node()[following::node()]", "//a[.//a[preceding::*]]", "//a[ancestor::r]", "//a/ancestor::*[last()]"}) {
        xades::XPathOutcome outcome;
        deep.select(std::string("/r[count(") + inner + ") > 1]", &outcome);
        EXPECT_FALSE(outcome.completed) << inner;
    }
    Shape wide("<r>" + repeated("<a/>", 500000) + "<b/></r>");
    for (const char* inner : {"//a[following-sibling::b]", "//a[preceding-sibling::b]", "//a/following-sibling::*[last()]"}) {
        xades::XPathOutcome outcome;
        wide.select(std::string("/r[count(") + inner + ") > 1]", &outcome);
        EXPECT_FALSE(outcome.completed) << inner;
    }

    // Just under the allowance the preceding and following shapes answer as
    // pugixml does; at twice as many chains they stop.
    const int depth = 300;
    for (const char* inner : {"//*[preceding::*]", "//*[following::*]"}) {
        SCOPED_TRACE(inner);
        const std::string xpath = std::string("/r[count(") + inner + ") > 1]";
        const auto workWith = [&](int count) {
            Shape shape(chains(depth, count));
            xades::XPathOutcome measured;
            EXPECT_EQ(shape.select(xpath, &measured).size(), 1u);
            EXPECT_TRUE(measured.completed);
            return measured.work;
        };
        const std::uint64_t perChain = workWith(3) - workWith(2);
        // The allowance grows with the document too: 7 bytes a node.
        const std::uint64_t grows = (xades::xpathAllowance(chains(depth, 1).size()).work -
                                     xades::xpathAllowance(chains(depth, 0).size()).work);
        ASSERT_GT(perChain, grows);
        const std::uint64_t base = xades::xpathAllowance(chains(depth, 0).size()).work;
        const int under = static_cast<int>(base * 9 / 10 / (perChain - grows));
        Shape fewChains(chains(depth, under));
        int stops = 0;
        EXPECT_EQ(compare(fewChains.tree, xpath, fewChains.allowance, &stops), "");
        EXPECT_EQ(stops, 0);
        Shape moreChains(chains(depth, under * 2));
        xades::XPathOutcome outcome;
        EXPECT_TRUE(moreChains.select(xpath, &outcome).empty());
        EXPECT_FALSE(outcome.completed);
    }

    // A null context has no nodes: not itself, not a root.
    int stops = 0;
    for (const char* xpath : {"/", ".", "self::node()", "descendant-or-self::node()", "count(.)", "boolean(.)",
                              "sum(.)", "string(.)", "name()", "count(//*)", "count(/)", "lang('en')", "1 + 1"}) {
        EXPECT_EQ(compare(pugi::xml_node(), xpath, xades::xpathAllowance(0), &stops), "") << xpath;
    }
    EXPECT_EQ(stops, 0);
}

namespace {

// Letters and blanks of every kind in an order no branch foresees.
std::string scrambled(std::size_t length) {
    static const char pool[] = "abcdAB \t\n\r";
    std::string text(length, ' ');
    std::uint32_t state = 2463534242u;
    for (char& c : text) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        c = pool[state % (sizeof pool - 1)];
    }
    return text;
}

}  // namespace

// String work is charged for what its worst input costs: a search over a
// run of the pattern's first byte tries every place, translate() and
// normalize-space() look at every byte, and a literal is read at every use.
// Before, each was charged as if the text were prose, a 32nd of a unit a
// byte, and a run of one byte cost 30 times its charge.
TEST(XPath, ChargesStringWorkAtItsWorstInputsCost) {
    // The time a byte of each takes on its worst input, from the calibration
    // table (corvane-bench-xpath --only calibration), over the nominal 5 ns
    // a unit: the least that the work counted may grow a byte.
    constexpr double kNominalNs = 5;
    struct Growth {
        std::string xpath;
        std::string (*text)(std::size_t length);
        double nsPerByte;
    };
    const auto run = [](std::size_t length) { return std::string(length, 'A'); };
    const Growth growths[] = {
        {"/r[contains(t, 'AAx')]", run, 4.2},
        {"/r[contains(t, '" + std::string(15, 'A') + "x')]", run, 4.2},
        {"/r[contains(t, '" + std::string(299, 'A') + "x')]", run, 4.2},
        {"/r[substring-before(t, 'AAx') != '']", run, 4.2},
        {"/r[translate(t, 'abc \t', 'ABC') = 'x']", scrambled, 0.52},
        {"/r[normalize-space(t) = 'x']", scrambled, 1.55},
    };
    const std::size_t length = 100000;
    for (const Growth& growth : growths) {
        SCOPED_TRACE(growth.xpath.substr(0, 60));
        std::uint64_t work[2] = {0, 0};
        for (int doubled = 0; doubled < 2; ++doubled) {
            Shape shape("<r><t>" + growth.text(length << doubled) + "</t></r>");
            xades::XPathOutcome outcome;
            EXPECT_TRUE(shape.select(growth.xpath, &outcome).empty());
            EXPECT_TRUE(outcome.completed);
            work[doubled] = outcome.work;
        }
        EXPECT_GE(static_cast<double>(work[1] - work[0]), static_cast<double>(length) * growth.nsPerByte / kNominalNs);
    }

    // A literal tested at every node is read at every node.
    const std::string literal(3200, 'A');
    std::uint64_t work[2] = {0, 0};
    for (int doubled = 0; doubled < 2; ++doubled) {
        Shape shape("<r>" + repeated("<a/>", 1000 << doubled) + "</r>");
        xades::XPathOutcome outcome;
        EXPECT_EQ(shape.select("//a[string-length('" + literal + "') > 0]", &outcome).size(), 1000u << doubled);
        work[doubled] = outcome.work;
    }
    EXPECT_GE(work[1] - work[0], 1000 * literal.size() / 32) << "each use reads the literal";

    // Just under the allowance, a search at every <a/> answers as pugixml
    // does; with twice as many <a/> it stops.
    const std::string xpath = "/r[count(//a[not(contains(/r/t, 'AAx'))]) > 1]";
    const auto uses = [](int count) { return "<r><t>" + std::string(500000, 'A') + "</t>" + repeated("<a/>", count) + "</r>"; };
    const auto workWith = [&](int count) {
        Shape shape(uses(count));
        xades::XPathOutcome measured;
        EXPECT_EQ(shape.select(xpath, &measured).size(), 1u);
        EXPECT_TRUE(measured.completed);
        return measured.work;
    };
    const std::uint64_t perUse = workWith(3) - workWith(2);
    ASSERT_GT(perUse, 400000u);
    const int under = static_cast<int>(xades::xpathAllowance(uses(0).size()).work * 9 / 10 / perUse);
    ASSERT_GE(under, 2);
    Shape underBound(uses(under));
    int stops = 0;
    EXPECT_EQ(compare(underBound.tree, xpath, underBound.allowance, &stops), "");
    EXPECT_EQ(stops, 0);
    Shape overBound(uses(under * 2));
    xades::XPathOutcome outcome;
    EXPECT_TRUE(overBound.select(xpath, &outcome).empty());
    EXPECT_FALSE(outcome.completed);

    // The shapes a hostile page sends: each use pays for the bytes it
    // processes, and over 3.6 MB each stops within the allowance.
    // (A literal as long as an XPath may be.)
    static const std::string runLiteral = "'" + std::string(16000, 'A') + "'";
    const auto fewUses = [](int count) {
        return "<r><t>" + std::string(3500000, 'A') + "</t>" + repeated("<a/>", count) + "</r>";
    };
    const auto manyUses = [](int count) {
        return "<r><t>" + std::string(1800000, 'A') + "</t>" + repeated("<a/>", count) + "</r>";
    };
    const auto onlyUses = [](int count) { return "<r>" + repeated("<a/>", count) + "</r>"; };
    struct Hostile {
        std::string (*document)(int count);
        int count;  // the <a/> of the 3.6 MB document
        std::string inner;
        double bytesPerUse, nsPerByte;
    };
    const Hostile hostile[] = {
        {fewUses, 90, "//a[not(contains(/r/t, 'AAx'))]", 3.5e6, 4.2},
        {fewUses, 90, "//a[substring-before(/r/t, 'AAx') = '']", 3.5e6, 4.2},
        {manyUses, 450000, "//a[not(contains(/r/t, 'AAx'))]", 1.8e6, 4.2},
        {onlyUses, 900000, "//a[not(contains(" + runLiteral + ", 'AAx'))]", 1.6e4, 4.2},
        {onlyUses, 900000, "//a[normalize-space(" + runLiteral + ") != 'x']", 1.6e4, 1.55},
        {onlyUses, 900000, "//a[translate(" + runLiteral + ", 'A', 'B') != 'x']", 1.6e4, 0.52},
    };
    for (const Hostile& h : hostile) {
        SCOPED_TRACE(h.inner.substr(0, 60));
        const std::string shapeXPath = "/r[count(" + h.inner + ") > 1]";
        std::uint64_t used[2] = {0, 0};
        for (int more = 0; more < 2; ++more) {
            Shape shape(h.document(2 + more));
            EXPECT_EQ(shape.select(shapeXPath, &outcome).size(), 1u);
            EXPECT_TRUE(outcome.completed);
            used[more] = outcome.work;
        }
        EXPECT_GE(static_cast<double>(used[1] - used[0]), h.bytesPerUse * h.nsPerByte / kNominalNs);
        Shape large(h.document(h.count));
        EXPECT_GT(large.text.size(), 3500000u);
        EXPECT_TRUE(large.select(shapeXPath, &outcome).empty());
        EXPECT_FALSE(outcome.completed);
    }
}

namespace {

// A balanced tree of `count` copies of `leaf` joined by `op`: as many
// operators as operands, and only about log2(count) levels deep.
std::string balanced(const std::string& leaf, const std::string& op, std::size_t count) {
    if (count == 1) return leaf;
    return "(" + balanced(leaf, op, count / 2) + op + balanced(leaf, op, count - count / 2) + ")";
}

}  // namespace

// The XPath text is work before it is evaluated (pugixml's compile, the
// evaluator's tree, both destroyed after), and a few calls cost more than
// their bytes and moves: each is charged now. Before, a text of 4 MB was
// compiled uncounted (1.6 s, 419 MiB), the operators of an expression too
// large for the cache were charged 1 unit for a miss each, and short calls
// were charged a fraction of their fixed cost.
TEST(XPath, ChargesTheTextAndTheFixedCostOfEachCall) {
    Shape tiny("<r><a/></r>");
    xades::XPathOutcome outcome;

    // A text is taken up to the limit, and refused one byte beyond it
    // before pugixml sees it (a text it would not compile throws nothing).
    const auto padded = [](std::size_t length) { return "/r" + std::string(length - 2, ' '); };
    EXPECT_EQ(tiny.select(padded(xades::kXPathTextLimit), &outcome).size(), 1u);
    EXPECT_TRUE(outcome.completed);
    EXPECT_FALSE(outcome.textTooLong);
    EXPECT_TRUE(tiny.select(padded(xades::kXPathTextLimit + 1), &outcome).empty());
    EXPECT_FALSE(outcome.completed);
    EXPECT_TRUE(outcome.textTooLong);
    EXPECT_EQ(outcome.work, 0u);
    std::vector<pugi::xpath_node> nodes;
    EXPECT_NO_THROW(outcome = xades::selectByXPath(tiny.tree, std::string(xades::kXPathTextLimit + 1, '['),
                                                   tiny.allowance, &nodes));
    EXPECT_TRUE(outcome.textTooLong);
    // The shapes that cost seconds and hundreds of MiB: refused at once.
    for (const std::string& xpath :
         {"/r[" + balanced("1", "+", 1 << 20) + " = 0]",
          "/r[count(//a[" + balanced("(translate('a','b','c')='z')", " or ", 30000) + "]) > 1]",
          "/r[count(//a[" + balanced("1", "+", 100000) + " = 7]) > 1]"}) {
        EXPECT_NO_THROW(outcome = xades::selectByXPath(tiny.tree, xpath, tiny.allowance, &nodes));
        EXPECT_TRUE(outcome.textTooLong) << xpath.size();
        EXPECT_TRUE(nodes.empty());
    }

    // Within the limit the text is charged by its length before it is
    // compiled: the costliest texts (balanced operators) take about 100 ns
    // a byte to compile twice and destroy, and their trees about 94 bytes
    // a byte, held while the XPath runs.
    const std::uint64_t fromHalf = [&] {
        std::uint64_t work[2] = {0, 0};
        for (int doubled = 0; doubled < 2; ++doubled) {
            tiny.select(padded(xades::kXPathTextLimit / 2 << doubled), &outcome);
            work[doubled] = outcome.work;
        }
        return work[1] - work[0];
    }();
    EXPECT_GE(fromHalf, xades::kXPathTextLimit / 2 * 100 / 5);
    const std::string tree = "/r[" + balanced("1", "+", 4000) + " = 0]";
    ASSERT_LE(tree.size(), xades::kXPathTextLimit);
    EXPECT_TRUE(tiny.select(tree, &outcome).empty());
    EXPECT_TRUE(outcome.completed);
    EXPECT_GE(outcome.peakBytes, tree.size() * 94);
    xades::XPathAllowance scant = tiny.allowance;
    scant.work = tree.size();
    EXPECT_NO_THROW(outcome = xades::selectByXPath(tiny.tree, "/r[" + std::string(tree.size(), '(') + "]", scant, &nodes));
    EXPECT_FALSE(outcome.completed) << "stopped before pugixml compiles it";

    // Each call charged at least its cost on its worst input, from the
    // calibration (ns a call, over the nominal 5 ns a unit): the work
    // counted per <a/> (or per node of the set, or per operator) when the
    // document doubles.
    constexpr double kNominalNs = 5;
    const auto flat = [](int count) { return "<r>" + repeated("<a/>", count) + "</r>"; };
    const auto ownPrefixes = [](int count) {
        std::string text = "<r>";
        for (int i = 0; i < count; ++i) {
            const std::string prefix = "p" + std::to_string(i);
            text += "<" + prefix + ":a xmlns:" + prefix + "=\"urn:x\"/>";
        }
        return text + "</r>";
    };
    const auto distinctValues = [](int count) {
        std::string text = "<r>";
        for (int i = 0; i < count; ++i) text += "<e>" + std::to_string(1000000 + i) + "</e>";
        for (int i = 0; i < count; ++i) text += "<f>" + std::to_string(3000000 + i) + "</f>";
        return text + "</r>";
    };
    const auto attributes = [](int count) {
        std::string element = "<a";
        for (int i = 0; i < 20; ++i) element += " z" + std::to_string(i) + "=\"\"";
        return "<r>" + repeated(element + "/>", count) + "</r>";
    };
    std::string nested = ".", union8 = ".";
    for (int i = 0; i < 10; ++i) nested = "translate(" + nested + ", '', '')";
    for (int i = 1; i <= 7; ++i) union8 += " | following-sibling::a[" + std::to_string(i) + "]";
    struct Call {
        std::string xpath;
        std::string control;  // the same without the call
        std::string (*document)(int count);
        double perElement;  // calls (or nodes, or operators) an element adds
        double nsPerCall;
        int count = 500;     // elements, then twice as many
        int large = 900000;  // elements of a 3.6 MB document
    };
    const std::string literalA = "count(//a['a'='z'])", self = "count(//a[.='z'])";
    const Call calls[] = {
        {"count(//a[translate('a','b','c')='z'])", literalA, flat, 1, 27.4},
        {"count(//a[" + nested + "='z'])", self, flat, 1, 335},
        {"count(//a[translate(., ., '')='z'])", self, flat, 1, 127},
        {"count(/r/a[count(" + union8 + ") = 8])", "count(/r/a[count(.) = 8])", flat, 1, 3150},
        {"count(//a[count(. | ..) = 2])", "count(//a[count(.) = 2])", flat, 1, 136},
        {"count(//a[concat('a','b')='z'])", literalA, flat, 1, 39.9},
        {"count(//a[normalize-space('a')='z'])", literalA, flat, 1, 19.9},
        {"count(//a[number('1')=7])", "count(//a[1=7])", flat, 1, 10.7},
        {"count(//a[string()='z'])", literalA, flat, 1, 14.1},
        {"count(//a[string(1" + std::string(22, '0') + ")='z'])", "count(//a['0'='z'])", flat, 1, 82.9},
        {"count(//*[namespace-uri() = 'x'])", "count(//*[name() = 'x'])", ownPrefixes, 1, 267, 500, 120000},
        {"count(/r[//e = //f])", "count(/r[count(//e) + count(//f) = 0])", distinctValues, 2, 167, 500, 130000},
        {"count(/r[/r/e[1] = //f])", "count(/r[count(/r/e[1]) + count(//f) = 0])", distinctValues, 1, 58.8, 500,
         130000},
        {"count(//@* | //@*)", "count(//@*)", attributes, 20, 120, 500, 27000},
        {"sum(//a | //a)", "sum(//a)", flat, 1, 104},
        // An expression too large for the first levels of the cache: 7.9 ns
        // an operator at the limit.
        {"count(//a[" + balanced("1", "+", 1000) + " = 7])", "count(//a[1 = 7])", flat, 1999, 7.9, 50},
    };
    for (const Call& call : calls) {
        SCOPED_TRACE(call.xpath.substr(0, 60));
        std::uint64_t work[2][2] = {{0, 0}, {0, 0}};
        for (int doubled = 0; doubled < 2; ++doubled) {
            Shape shape(call.document(call.count << doubled));
            for (int withCall = 0; withCall < 2; ++withCall) {
                const std::string& xpath = withCall ? call.xpath : call.control;
                EXPECT_TRUE(shape.select("/r[" + xpath + " < 0]", &outcome).empty());
                EXPECT_TRUE(outcome.completed);
                work[withCall][doubled] = outcome.work;
            }
        }
        const double added = static_cast<double>(work[1][1] - work[1][0]) - static_cast<double>(work[0][1] - work[0][0]);
        EXPECT_GE(added / (call.count * call.perElement), call.nsPerCall / kNominalNs);
    }

    // The same shapes on 3.6 MB documents stay within the allowances (select()
    // checks the counts), and are charged at full size what they cost: a
    // shape that completes paid at least its calls' cost, one that did not
    // spent its allowance of work or of memory.
    for (const Call& call : calls) {
        SCOPED_TRACE(call.xpath.substr(0, 60));
        Shape large(call.document(call.large));
        ASSERT_GT(large.text.size(), 3500000u);
        EXPECT_TRUE(large.select("/r[" + call.xpath + " < 0]", &outcome).empty());
        if (outcome.completed) {
            EXPECT_GE(static_cast<double>(outcome.work), call.large * call.perElement * call.nsPerCall / kNominalNs);
        } else {
            EXPECT_TRUE(outcome.stop == xades::XPathStop::Work || outcome.stop == xades::XPathStop::Memory);
            if (outcome.stop == xades::XPathStop::Work) {
                EXPECT_GE(outcome.work, large.allowance.work);
            }
        }
    }
}
