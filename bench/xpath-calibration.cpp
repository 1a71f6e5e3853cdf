// The weights of the XPath evaluator's work, measured on the worst inputs
// found for each primitive: a bound on counted work holds only where every
// unit charged stands for at most its nominal time whatever the input.
//
// Each row evaluates one XPath whose time is spent in one primitive (a move
// on an axis, a node test, a function, an operator, a comparison of
// node-sets, a string value built, a number read or printed, a search, the
// sort into document order, a literal, the XPath text itself), with no
// allowance to stop it, and a control XPath that does the same without that
// primitive. The row's figure is the difference of their times over the
// difference of the work they counted: what one unit charged for that
// primitive costs, in ns. Times are the thread's CPU time, the least of
// --calibration-runs runs (default 3) of each, so that other load on the
// machine counts as little as it can.
//
// The documents are 3.6 MB by default, so that the tree does not fit in any
// cache; a row whose work grows faster than its document (a chain climbed
// for each node, a large expression for each node) runs on a share of it, so
// that one evaluation takes about 50 to 200 ms.
//
// Units stand for 5 ns on the machine the weights were set on; another
// machine (or the same one under load) runs every row faster or slower. So
// each row is read against a reference whose cost owes nothing to the
// weights: pugixml's own walk of a fixed document and its own arithmetic
// (Reference below). Priced in the weights under test, a reference would
// move with them: a weight made too low lowers the reference's units as
// much as the rows', and no row stands out. The row's nominal is 5 ns times
// the reference here over the reference there (kReferenceNs). A row over
// twice that is flagged "UNDERCHARGED": its primitive is charged less than
// half of what that input costs. Rows well under it are overcharged, which
// is safe but stops legitimate XPaths sooner.
//
// Load comes and goes while the table is made: each row's runs take turns
// with runs of the reference (reference, XPath, control, reference, ...),
// and the row is read against the least of the reference's runs among its
// own, so that a row and the reference it is read against see the same
// machine. A row that comes out flagged is run that many times again before
// the verdict.
#include "xpath-calibration.h"

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tev-xpath.h"

namespace corvane {
namespace bench {

std::string times(const std::string& piece, std::size_t count) {
    std::string text;
    text.reserve(piece.size() * count);
    for (std::size_t i = 0; i < count; ++i) text += piece;
    return text;
}

namespace {

namespace xades = tev::quessel::xades;

constexpr double kNominalNs = 5.0;
// The reference's figure (Reference::Least::ns) on the machine where a unit
// stands for kNominalNs, carried over once from the reference of the rows
// that set the nominal there (bench/README.md says how).
constexpr double kReferenceNs = 37.4;
// A row over this many times its nominal is flagged.
constexpr double kUndercharged = 2;
// The reference's document, whatever --calibration-size asks for, so that
// its figure stays that of kReferenceNs: elements in a tree out of every
// cache.
constexpr std::size_t kReferenceBytes = 3600000;
// Evaluations of the reference's arithmetic in one of its runs, about 4 ms.
constexpr int kReferenceSums = 25000;
// The longest XPath text the evaluator takes.
constexpr std::size_t kLongestXPath = 16384;

using Document = std::string (*)(std::size_t bytes);

// The documents, each about `bytes` long.
std::string flat(std::size_t bytes) { return "<r>" + times("<a/>", bytes / 4) + "</r>"; }
std::string chains(std::size_t bytes) {
    const std::size_t depth = 990;
    return "<r>" + times(times("<a>", depth) + times("</a>", depth), std::max<std::size_t>(2, bytes / (7 * depth))) +
           "</r>";
}
// Siblings that each walk to the end of the run: the count is squared.
std::string siblings(std::size_t) { return "<r>" + times("<a/>", 4000) + "<b/></r>"; }
std::string attributes(std::size_t bytes) {
    std::string element = "<a";
    for (int i = 0; i < 20; ++i) element += " z" + std::to_string(i) + "=\"\"";
    element += "/>";
    return "<r>" + times(element, bytes / element.size()) + "</r>";
}
// One text of `bytes` bytes in /r/t, and 16 <a/> that each use it once.
std::string withText(const std::string& text) { return "<r><t>" + text + "</t>" + times("<a/>", 16) + "</r>"; }
std::string run(std::size_t bytes) { return withText(std::string(bytes, 'A')); }
std::string words(std::size_t bytes) {
    static const char* const vocabulary[] = {"invoice ", "line ", "amount ", "party ", "tax ", "total ",
                                             "currency ", "note ", "identifier ", "the ", "of ", "and "};
    std::string text;
    for (unsigned i = 0; text.size() < bytes; i = i * 1103515245u + 12345u) text += vocabulary[(i >> 16) % 12];
    return withText(text);
}
// Bytes that a branch cannot foresee: letters and blanks of every kind at random.
std::string scrambled(std::size_t bytes) {
    static const char pool[] = "abcdAB \t\n\r";
    std::string text(bytes, ' ');
    unsigned state = 2463534242u;
    for (char& c : text) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        c = pool[state % (sizeof pool - 1)];
    }
    return withText(text);
}
std::string spaced(std::size_t bytes) { return withText(times("A ", bytes / 2)); }
std::string blanks(std::size_t bytes) { return withText(std::string(bytes - 1, ' ') + "1"); }
std::string digits(std::size_t bytes) { return withText(std::string(bytes, '1')); }
std::string fraction(std::size_t bytes) { return withText("0." + std::string(bytes - 3, '0') + "1"); }
// Elements named 'n' x 3,999 then 'x', the one asked for ends in 'y'.
const std::string kStem(3999, 'n');
std::string longNames(std::size_t bytes) { return "<r>" + times("<" + kStem + "x/>", bytes / 4004) + "</r>"; }
// Elements whose 2,000-byte prefix is declared on the root under 64 prefixes
// that differ from it in their last byte only.
const std::string kPrefix(2000, 'p');
std::string prefixes(std::size_t bytes) {
    std::string root = "<r";
    for (int i = 0; i < 64; ++i) root += " xmlns:" + kPrefix.substr(0, kPrefix.size() - 1) + "q" + std::to_string(i) + "=\"u\"";
    root += " xmlns:" + kPrefix + "=\"urn:p\">";
    return root + times("<" + kPrefix + ":a/>", bytes / (kPrefix.size() + 5)) + "</r>";
}
// Elements of a 4,000-byte prefix that nothing declares.
std::string undeclared(std::size_t bytes) {
    return "<r>" + times("<" + std::string(4000, 'p') + ":a/>", bytes / 4006) + "</r>";
}
// Chains of 990 nested elements of a prefix that nothing declares.
std::string prefixedChains(std::size_t bytes) {
    const std::size_t depth = 990;
    return "<r>" + times(times("<p:a>", depth) + times("</p:a>", depth), std::max<std::size_t>(2, bytes / (11 * depth))) +
           "</r>";
}
// A 4,000-byte xml:lang on the root, asked for by every child.
std::string languages(std::size_t bytes) {
    return "<r xml:lang=\"" + std::string(4000, 'a') + "\">" + times("<b/>", bytes / 4 / 64) + "</r>";
}
// Elements nested 200 deep with 4,000 bytes of text each: every string
// value holds the text of all those below.
std::string nested(std::size_t) {
    std::string text = "<r>";
    for (int i = 0; i < 200; ++i) text += "<e>" + std::string(4000, static_cast<char>('a' + i % 26));
    return text + times("</e>", 200) + "</r>";
}
// One element of many one-byte texts.
std::string pieces(std::size_t bytes) { return "<r><e>" + times("<t>a</t>", bytes / 8) + "</e></r>"; }
// The least document: an XPath text compiled over it is hardly evaluated.
std::string single(std::size_t) { return "<r><a/></r>"; }
// Each element declares a prefix of its own: every one is a new entry in
// namespace-uri()'s tables.
std::string ownPrefixes(std::size_t bytes) {
    std::string text = "<r>";
    for (std::size_t i = 0; text.size() + 40 < bytes; ++i) {
        const std::string prefix = "p" + std::to_string(i);
        text += "<" + prefix + ":a xmlns:" + prefix + "=\"urn:x\"/>";
    }
    return text + "</r>";
}
// Elements of 64 short attributes each: a sort of attributes looks at each.
std::string manyAttributes(std::size_t bytes) {
    std::string element = "<a";
    for (int i = 0; i < 64; ++i) element += " z" + std::to_string(i) + "=\"1234567\"";
    element += "/>";
    return "<r>" + times(element, bytes / element.size()) + "</r>";
}
// Distinct numbers in <e> and <f>, no value in both.
std::string values(std::size_t bytes) {
    std::string text = "<r>";
    const std::size_t count = bytes / 30;
    for (std::size_t i = 0; i < count; ++i) text += "<e>" + std::to_string(1000000 + i) + "</e>";
    for (std::size_t i = 0; i < count; ++i) text += "<f>" + std::to_string(3000000 + i) + "</f>";
    return text + "</r>";
}

// One value in every <e>: each compared with the first.
std::string equalValues(std::size_t bytes) { return "<r>" + times("<e>1234567</e>", bytes / 14) + "</r>"; }
// Values of 200 bytes alike in their start, middle and end: one hash for all.
std::string alikeValues(std::size_t bytes) {
    std::string text = "<r>";
    const std::size_t count = bytes / 420;
    const std::string edge(90, 'v');
    for (std::size_t i = 0; i < count; ++i) {
        const std::string middle = std::to_string(1000000 + i);
        text += "<e>" + edge + middle + std::string(110 - middle.size(), 'w') + "</e>";
        text += "<f>" + edge + std::string(110 - middle.size(), 'w') + middle + "</f>";
    }
    return text + "</r>";
}

struct Row {
    const char* primitive;
    std::string input;
    Document document;
    std::string xpath;
    std::string control;  // the same work without the primitive; "" for none
    // The document is made 1/share of the size: for rows whose work grows
    // faster than their document.
    std::size_t share = 1;
    // Evaluations timed together: for texts compiled in about a millisecond.
    int repeat = 1;
    // The units are those charged for the XPath text itself, which may be
    // none: then the row reads "not charged", as a free literal does.
    bool text = false;
};

// `repeat` copies of `piece` joined by `glue`.
std::string chain(const std::string& piece, const std::string& glue, int repeat) {
    std::string text = piece;
    for (int i = 1; i < repeat; ++i) text += glue + piece;
    return text;
}

// A balanced tree of `count` leaves joined by `op`, each pair in parentheses.
std::string balanced(const std::string& leaf, const std::string& op, std::size_t count) {
    if (count == 1) return leaf;
    return "(" + balanced(leaf, op, count / 2) + op + balanced(leaf, op, count - count / 2) + ")";
}

// The largest balanced tree of `leaf`s that fits between `before` and
// `after` in the longest text taken: n leaves take n leaves' bytes and
// n - 1 times the operator and two parentheses.
std::size_t fitting(const std::string& before, const std::string& leaf, const std::string& op,
                    const std::string& after) {
    const std::size_t room = kLongestXPath - before.size() - after.size();
    return (room + op.size() + 2) / (leaf.size() + op.size() + 2);
}
std::string largest(const std::string& before, const std::string& leaf, const std::string& op,
                    const std::string& after) {
    return before + balanced(leaf, op, fitting(before, leaf, op, after)) + after;
}

// Leaves of the deepest legal shapes (pugixml refuses a query deeper than
// about a thousand): each in a tree only a few levels deeper.
constexpr int kDeepest = 960;
// Nested parentheses count twice over in that depth.
constexpr int kDeepestNesting = 480;

std::string withCommas(std::size_t n) {
    std::string digits = std::to_string(n);
    for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, ",");
    return digits;
}


std::vector<Row> rows() {
    const std::string each = "count(//a)";
    const auto per = [](const std::string& predicate) { return "count(//a[" + predicate + "])"; };
    // A name function at every element.
    const std::string all = "count(//*)";
    const auto named = [](const std::string& function) { return "count(//*[" + function + " = 'x'])"; };
    std::vector<Row> list = {
        {"move: following", "990-deep chains, following::*[1]", chains, per("following::*[1]"), each, 32},
        {"move: preceding", "990-deep chains, preceding::*[1]", chains, per("preceding::*[1]"), each, 64},
        {"move+test: ancestor", "990-deep chains, ancestor::r", chains, per("ancestor::r"), each, 32},
        {"move+test: ancestor, many", "990-deep chains, //a/ancestor::*", chains, "count(//a/ancestor::*)", each},
        {"move+test: following-sibling", "4,000 siblings, none matches", siblings, per("following-sibling::c"), each},
        {"move+test: preceding-sibling", "4,000 siblings, none matches", siblings, per("preceding-sibling::c"), each},
        {"move+test: child", "one parent, all children", flat, "count(/r/node())", "count(/r)"},
        {"move+test: parent", "flat", flat, per(".."), each},
        {"move+test: attribute", "20 attributes, none matches", attributes, per("@y"), each},
        {"move+test: self", "flat", flat, per("self::a"), each},
        {"move+test: descendant, positional", "flat", flat, "count(/r/descendant::a[1000000000])", "count(/r)"},
        {"test: descendant walk, name", "flat", flat, "count(//a)", ""},
        {"test: descendant walk, node()", "flat", flat, "count(//node())", ""},
        {"test: descendant-or-self, many", "flat", flat, "count(/r/*/descendant-or-self::node())", each},
        {"test: name, 4,000 bytes", "names alike but the last byte", longNames, "count(//" + kStem + "y)", ""},
        {"function: last()", "flat", flat, per("last() > 0"), each},
        {"function: position()", "flat", flat, per("position() > 0"), each},
        {"function: count()", "20 attributes", attributes, per("count(@*) = 0"), each},
        {"function: id()", "flat", flat, per("not(id('x'))"), each},
        {"function: local-name()", "4,000-byte names", longNames, named("local-name()"), all},
        {"function: name()", "4,000-byte names", longNames, named("name()"), all},
        {"function: namespace-uri()", "2,000-byte prefix, 64 near ones", prefixes, named("namespace-uri()"), all},
        {"function: namespace-uri()", "4,000-byte prefix, undeclared", undeclared, named("namespace-uri()"), all},
        {"function: namespace-uri()", "990-deep chains, undeclared", prefixedChains, named("namespace-uri()"), all},
        {"function: lang()", "990-deep chains, none", chains, per("lang('en')"), each, 32},
        {"function: string()", "200 nested texts of 4,000 bytes", nested, "count(//e[string() = 'x'])", "count(//e)"},
        {"function: string(), pieces", "one-byte texts", pieces, "count(/r/e[string() = 'x'])", "count(/r/e)"},
        {"function: concat()", "a run, twice", run, per("concat(/r/t, /r/t) = 'x'"), per("/r/t = 'x'")},
        {"function: starts-with()", "a run, itself", run, per("starts-with(/r/t, /r/t)"), per("/r/t = 'x'")},
        {"function: substring()", "a run, from 2", run, per("substring(/r/t, 2) = 'x'"), per("/r/t = 'x'")},
        {"function: string-length()", "a run", run, per("string-length(/r/t) = 0"), each},
        {"function: normalize-space()", "'A ' repeated", spaced, per("normalize-space(/r/t) = 'x'"), per("/r/t = 'x'")},
        {"function: normalize-space()", "random blanks", scrambled, per("normalize-space(/r/t) = 'x'"), per("/r/t = 'x'")},
        {"function: normalize-space()", "all blank", blanks, per("normalize-space(/r/t) = 'x'"), per("/r/t = 'x'")},
        {"function: translate()", "random, some dropped", scrambled, per("translate(/r/t, 'abc \t', 'ABC') = 'x'"),
         per("/r/t = 'x'")},
        {"function: translate()", "a run, kept", run, per("translate(/r/t, 'b', 'c') = 'x'"), per("/r/t = 'x'")},
        {"function: translate(), long 'from'", "a 'from' of the text", run,
         per("translate('x', /r/t, '') = 'x'"), per("/r/t = 'x'")},
        {"function: boolean() not() true() false()", "flat", flat, per("not(not(boolean(true()))) and not(false())"),
         each},
        {"function: lang()", "4,000-byte xml:lang, matching", languages,
         "count(//b[lang('" + std::string(4000, 'A') + "')])", "count(//b[string-length('" + std::string(4000, 'A') + "') > 0])"},
        {"function: number()", "a run of digits", digits, per("number(/r/t) = 0"), per("/r/t = 'x'")},
        {"function: number()", "blanks, then a digit", blanks, per("number(/r/t) = 0"), per("/r/t = 'x'")},
        {"function: number()", "0.000...1", fraction, per("number(/r/t) = 0"), per("/r/t = 'x'")},
        {"function: sum()", "distinct numbers", values, "sum(//e)", "count(//e)"},
        {"function: floor() ceiling() round()", "flat", flat, per("floor(ceiling(round(1.5))) = 2"), per("1.5 = 2")},
        {"operator: or", "flat", flat, per(chain("false()", " or ", 20)), per("false()")},
        {"operator: and", "flat", flat, per(chain("true()", " and ", 20)), per("true()")},
        {"operator: unary -", "flat", flat, per(std::string(20, '-') + "1 = 7"), per("1 = 7")},
        {"operator: union, few", "990-deep chains, . | ..", chains, per("count(. | ..) = 2"), per("count(.) = 2"), 32},
        {"operator: filter", "flat", flat, "count((//a)[true()])", each},
        {"operator: path", "flat", flat, "count((/r)/a)", "count(/r)"},
        {"sort: union of two sets", "flat", flat, "count(//a | //a)", each},
        {"sort: union of attribute sets", "20 attributes", attributes, "count(//@z3 | //@z17)", "count(//a)"},
        {"sort: preceding from many", "990-deep chains", chains, "count(//a/preceding::*[1])", each, 64},
        {"compare: node-set = node-set", "distinct numbers", values, "count(/r[//e = //f])",
         "count(/r[count(//e) + count(//f) = 0])"},
        {"compare: node-set = node-set", "200 bytes, one hash", alikeValues, "count(/r[//e = //f])",
         "count(/r[count(//e) + count(//f) = 0])"},
        {"compare: node-set != node-set", "one value", equalValues, "count(/r[//e != //e])",
         "count(/r[count(//e) = 0])"},
        {"compare: node-set < node-set", "distinct numbers", values, "count(/r[//e > //f])",
         "count(/r[count(//e) + count(//f) = 0])"},
        {"compare: node-set = string", "distinct numbers", values, "count(/r[//e = 'x'])", "count(/r[count(//e) = 0])"},
        {"compare: node-set = number", "distinct numbers", values, "count(/r[//e = 1])", "count(/r[count(//e) = 0])"},
        {"number: printed", "0.000...1 (323 digits)", flat, per("string(0." + std::string(322, '0') + "1) = 'x'"),
         per("'0' = 'x'")},
        {"number: printed", "1 followed by 308 zeros", flat, per("string(1" + std::string(308, '0') + ") = 'x'"),
         per("'0' = 'x'")},
        {"number: printed", "1 div 3", flat, per("string(1 div 3) = 'x'"), per("1 div 3 = 7")},
        {"literal", "16,000 bytes", flat, per("'" + std::string(16000, 'A') + "'"), per("'A'")},
    };
    for (const char* op : {" + ", " - ", " * ", " div ", " mod "}) {
        list.push_back({"operator: arithmetic", op, flat, per(chain("1", op, 21) + " = 7"), per("1 = 7")});
    }
    for (const char* op : {" = ", " != ", " < ", " <= ", " > ", " >= "}) {
        list.push_back({"operator: comparison", op, flat, per(chain("1", op, 21)), per("true()")});
    }
    list.push_back({"operator: string comparison", "'abc' = 'abd'", flat, per(chain("'abc' = 'abd'", " or ", 10)),
                    per(chain("false()", " or ", 10))});
    // Searches: through contains() (substring-before and -after share it).
    struct Pattern {
        const char* input;
        std::string text;
    };
    const Pattern patterns[] = {
        {"run, 'AAx' (3)", "AAx"},
        {"run, 'AxA' (3)", "AxA"},
        {"run, 'A' x 15 'x' (16)", std::string(15, 'A') + "x"},
        {"run, 'x' 'A' x 15 (16)", "x" + std::string(15, 'A')},
        {"run, 'A' x 8 'x' 'A' x 7 (16)", std::string(8, 'A') + "x" + std::string(7, 'A')},
        {"run, 'A' x 299 'x' (300)", std::string(299, 'A') + "x"},
        {"run, 'x' 'A' x 299 (300)", "x" + std::string(299, 'A')},
        {"run, 'A' x 150 'x' 'A' x 149 (300)", std::string(150, 'A') + "x" + std::string(149, 'A')},
        {"run, 'A' x 2,000 'x' 'A' x 1,999 (4,000)", std::string(2000, 'A') + "x" + std::string(1999, 'A')},
    };
    for (const Pattern& p : patterns) {
        // The longest patterns try as many places, each far longer.
        list.push_back({"search: contains()", p.input, run, per("contains(/r/t, '" + p.text + "')"), per("/r/t = 'x'"),
                        p.text.size() >= 300 ? p.text.size() / 100 : 1});
    }
    list.push_back({"search: substring-before()", "run, 'AAx' (3)", run, per("substring-before(/r/t, 'AAx') = 'x'"),
                    per("/r/t = 'x'")});
    list.push_back({"search: contains(), ordinary text", "words, 'taxes' (5)", words,
                    per("contains(/r/t, 'taxes')"), per("/r/t = 'x'")});
    list.push_back({"search: contains(), ordinary text", "words, 'amount party tax' (16)", words,
                    per("contains(/r/t, 'amount party tax')"), per("/r/t = 'x'")});

    // Large expressions: a tree that leaves no cache to the nodes it is
    // evaluated at, operators and calls paid one by one.
    const std::string plus = largest("count(//a[", "1", "+", " = 7])");
    list.push_back({"large expression: +", withCommas(fitting("count(//a[", "1", "+", " = 7])")) + " 1s, balanced", flat,
                    plus, per("1 = 7"), 400});
    const std::string leaf = "(translate('a','b','c')='z')";
    list.push_back({"large expression: or", withCommas(fitting("count(//a[", leaf, " or ", "])")) + " translate()s", flat,
                    largest("count(//a[", leaf, " or ", "])"), per(leaf), 400});
    list.push_back({"large expression: and", withCommas(fitting("count(//a[", "true()", " and ", "])")) + " true()s", flat,
                    largest("count(//a[", "true()", " and ", "])"), per("true()"), 100});
    list.push_back({"large expression: union", withCommas(fitting("count(//a[count(", ".", "|", ") = 1])")) + " .s", flat,
                    largest("count(//a[count(", ".", "|", ") = 1])"), per("count(.) = 1"), 4000});
    list.push_back({"large expression: nesting", std::to_string(kDeepestNesting) + " deep, 1+(1+(...))", flat,
                    per(times("(1+", kDeepestNesting) + "1" + std::string(kDeepestNesting, ')') + " = 7"),
                    per("1 = 7"), 40});

    // The text itself, compiled, read and destroyed: /x selects nothing, so
    // what stands in its predicate is never evaluated.
    struct Text {
        const char* input;
        std::string xpath;
        int repeat;
    };
    const std::string steps = "a" + times("/a", kDeepest - 1);
    const std::string predicates = "a" + times("[1]", kDeepest);
    const std::string arguments = "concat(1" + times(",1", kDeepest - 1) + ")";
    const Text texts[] = {
        {"balanced + of 1s", largest("/x[", "1", "+", " = 0]"), 100},
        {"1+1+1... of 500 1s, +", largest("/x[", chain("1", "+", 500), "+", " = 0]"), 100},
        {"balanced or of 1s", largest("/x[", "1", " or ", "]"), 100},
        {"balanced | of .s", largest("/x[count(", ".", "|", ") = 0]"), 100},
        {"paths of 960 steps, |", largest("/x[", steps, "|", "]"), 100},
        {"960 predicates, |", largest("/x[", predicates, "|", "]"), 100},
        {"a literal", "/x['" + std::string(kLongestXPath - 10, 'A') + "' = 0]", 20000},
        {"balanced + of last()s", largest("/x[", "last()", "+", " = 0]"), 200},
        {"concat() of 960 arguments, +", largest("/x[", arguments, "+", " = 0]"), 100},
    };
    for (const Text& t : texts) {
        list.push_back({"text: 16,384 bytes", t.input, single, t.xpath, "/x", 1, t.repeat, true});
    }

    // Unions of a few nodes, each allocating its sets and sorting them.
    std::string few = ".", apart = "count(.)";
    for (int i = 1; i <= 7; ++i) {
        few += " | following-sibling::a[" + std::to_string(i) + "]";
        apart += " + count(following-sibling::a[" + std::to_string(i) + "])";
    }
    list.push_back({"operator: union, few", "flat, 8 siblings", flat, "count(/r/a[count(" + few + ") = 8])",
                    "count(/r/a[" + apart + " = 8])", 40});
    list.push_back({"operator: union, few", "flat, . | ..", flat, per("count(. | ..) = 2"),
                    per("count(.) + count(..) = 2"), 2});

    list.push_back({"function: namespace-uri()", "a prefix of its own each", ownPrefixes, named("namespace-uri()"),
                    all});

    // Each function with its shortest arguments: the fixed cost of a call.
    struct Call {
        const char* input;
        std::string xpath;
        std::string control;
        std::size_t share;
    };
    std::string nestedTranslate = "'a'";
    for (int i = 0; i < 10; ++i) nestedTranslate = "translate(" + nestedTranslate + ", '', '')";
    const Call calls[] = {
        {"translate('a','b','c')", "translate('a','b','c') = 'x'", "'a' = 'x'", 1},
        {"10 nested translate(..., '', '')", nestedTranslate + " = 'x'", "'a' = 'x'", 4},
        {"concat('a','b')", "concat('a','b') = 'x'", "'a' = 'x'", 1},
        {"substring('ab', 2)", "substring('ab', 2) = 'x'", "'a' = 'x'", 1},
        {"substring('ab', 2, 1)", "substring('ab', 2, 1) = 'x'", "'a' = 'x'", 1},
        {"substring-before('a','b')", "substring-before('a','b') = 'x'", "'a' = 'x'", 1},
        {"substring-after('a','b')", "substring-after('a','b') = 'x'", "'a' = 'x'", 1},
        {"contains('a','b')", "contains('a','b')", "false()", 1},
        {"starts-with('a','b')", "starts-with('a','b')", "false()", 1},
        {"normalize-space('a')", "normalize-space('a') = 'x'", "'a' = 'x'", 1},
        {"string-length('a')", "string-length('a') = 7", "1 = 7", 1},
        {"string('a')", "string('a') = 'x'", "'a' = 'x'", 1},
        {"string()", "string() = 'x'", "'a' = 'x'", 1},
        {"number('1')", "number('1') = 7", "1 = 7", 1},
        {"boolean('a')", "boolean('a')", "true()", 1},
        {"not(true())", "not(true())", "false()", 1},
        {"floor(1)", "floor(1) = 7", "1 = 7", 1},
        {"count(.)", "count(.) = 7", "1 = 7", 1},
        {"sum(.)", "sum(.) = 7", "1 = 7", 1},
        {"id('a'), beside the walk", "id('a')", "", 1},
        {"lang('a'), flat", "lang('a')", "false()", 1},
        {"local-name() = 'x', beside the walk", "local-name() = 'x'", "", 1},
        {"name() = 'x', beside the walk", "name() = 'x'", "", 1},
        {"namespace-uri(), flat", "namespace-uri() = 'x'", "'a' = 'x'", 1},
    };
    for (const Call& c : calls) {
        // A call charged no more than a literal is set beside the walk alone.
        // A call costs little beside the walk: evaluations are timed four at
        // a time, so that the difference stands out of the noise.
        list.push_back({"function: shortest arguments", c.input, flat, per(c.xpath),
                        c.control.empty() ? each : per(c.control), c.share, static_cast<int>(4 / c.share)});
    }

    list.push_back({"compare: node-set = node-set", "distinct numbers, one on the left", values,
                    "count(/r[/r/e[1] = //f])", "count(/r[count(/r/e[1]) + count(//f) = 0])"});
    list.push_back({"sort: union of attribute sets", "64 attributes each", manyAttributes, "count(//@* | //@*)",
                    "count(//@*)"});
    list.push_back({"sort: union of two sets, sum()", "flat", flat, "sum(//a | //a)", "sum(//a)"});
    list.push_back({"number: printed", "1 followed by 22 zeros", flat, per("string(1" + std::string(22, '0') + ") = 'x'"),
                    per("'0' = 'x'")});
    return list;
}

double threadCpuNs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// ---- the reference -----------------------------------------------------------
//
// pugixml's own code over the flat document of kReferenceBytes, which costs
// what it costs whatever the evaluator charges: its walk of the tree
// (xml_node::traverse, each element's name compared with "a"), bound by
// memory, in ns a node; and its evaluation of 1 + 1 + ... (21 ones) = 21,
// kReferenceSums times, bound by the processor, in ns an evaluation. The
// figure is the geometric mean of the least of each over the runs taken.
class Reference {
public:
    struct Least {
        double walkNs = HUGE_VAL;  // a node
        double sumNs = HUGE_VAL;   // an evaluation
        double ns() const { return std::sqrt(walkNs * sumNs); }
        void take(const Least& run) {
            walkNs = std::min(walkNs, run.walkNs);
            sumNs = std::min(sumNs, run.sumNs);
        }
    };

    Reference() : sum_((chain("1", " + ", 21) + " = 21").c_str()) {}

    // False when the document does not parse.
    bool load() {
        const std::string text = flat(kReferenceBytes);
        elements_ = kReferenceBytes / 4 + 1;
        return document_.load_buffer(text.data(), text.size(), pugi::parse_full | pugi::parse_ws_pcdata);
    }

    // One run of each part; false when either gives another answer than it
    // must (then nothing it timed means what it should).
    bool run(Least* least) {
        NamedA walker;
        double start = threadCpuNs();
        document_.traverse(walker);
        const double walkNs = threadCpuNs() - start;
        int sums = 0;
        start = threadCpuNs();
        for (int i = 0; i < kReferenceSums; ++i) sums += sum_.evaluate_boolean(document_) ? 1 : 0;
        const double sumNs = threadCpuNs() - start;
        Least once;
        once.walkNs = walkNs / static_cast<double>(elements_);
        once.sumNs = sumNs / kReferenceSums;
        least->take(once);
        return walker.found + 1 == elements_ && sums == kReferenceSums;
    }

private:
    struct NamedA : pugi::xml_tree_walker {
        std::size_t found = 0;
        bool for_each(pugi::xml_node& node) override {
            found += std::strcmp(node.name(), "a") == 0 ? 1 : 0;
            return true;
        }
    };
    pugi::xml_document document_;
    pugi::xpath_query sum_;
    std::size_t elements_ = 0;
};

// ---- the rows ------------------------------------------------------------------

// The least CPU time of the runs of an XPath taken so far, each of `repeat`
// evaluations, and the work one run counted.
struct Timed {
    double ns = HUGE_VAL;
    std::uint64_t work = 0;
    bool completed = true;
};

void runOnce(const pugi::xml_document& document, const std::string& xpath, int repeat, Timed* timed) {
    xades::XPathAllowance unbounded;
    unbounded.work = UINT64_MAX / 2;
    unbounded.memory = std::uint64_t(8) << 30;
    std::uint64_t work = 0;
    bool completed = true;
    const double start = threadCpuNs();
    for (int k = 0; k < repeat; ++k) {
        std::string value;
        const xades::XPathOutcome outcome = xades::evaluateXPathString(document, xpath, unbounded, &value);
        work += outcome.work;
        completed = completed && outcome.completed;
    }
    timed->ns = std::min(timed->ns, threadCpuNs() - start);
    timed->work = work;
    timed->completed = timed->completed && completed;
}

struct Parsed {
    std::unique_ptr<pugi::xml_document> document;
    std::size_t bytes = 0;
};

// Parses the row's document; false when it does not parse.
bool parse(const Row& row, std::size_t bytes, Parsed* parsed) {
    const std::string text = row.document(bytes / row.share);
    parsed->document.reset(new pugi::xml_document);
    parsed->bytes = text.size();
    return parsed->document->load_buffer(text.data(), text.size(), pugi::parse_full | pugi::parse_ws_pcdata);
}

// A row as far as it has been measured.
struct Figure {
    Timed with, without;
    Reference::Least reference;  // among the row's runs
    int repeats = 0;
    std::string failure;  // why the row could not be measured; "" when it was

    double units() const { return static_cast<double>(with.work) - static_cast<double>(without.work); }
    double ns() const { return with.ns - without.ns; }
    double nominal() const { return kNominalNs * reference.ns() / kReferenceNs; }
    // The row's ns a unit over its nominal; 0 where it charges nothing.
    double ratio() const { return units() > 0 ? ns() / units() / nominal() : 0; }
};

// `count` more turns of the reference, the row's XPath and its control.
void repeatRow(const Row& row, const Parsed& parsed, Reference* reference, int count, Figure* figure) {
    if (row.xpath.size() > kLongestXPath || row.control.size() > kLongestXPath) {
        figure->failure = "an XPath over 16,384 bytes";
        return;
    }
    try {
        for (int i = 0; i < count; ++i, ++figure->repeats) {
            if (!reference->run(&figure->reference)) {
                figure->failure = "the reference answered wrong";
                return;
            }
            runOnce(*parsed.document, row.xpath, row.repeat, &figure->with);
            if (!row.control.empty()) runOnce(*parsed.document, row.control, row.repeat, &figure->without);
        }
        if (row.control.empty()) figure->without.ns = 0;
        if (!figure->with.completed || !figure->without.completed) figure->failure = "did not complete";
        else if (figure->units() <= 0 && !row.text) figure->failure = "no units charged";
    } catch (const pugi::xpath_exception& e) {
        figure->failure = std::string("does not compile: ") + e.what();
    }
}

void printHeading() {
    std::printf("  %-38s %-36s %9s %12s %10s %9s %8s %6s\n", "primitive", "input", "bytes", "units", "ms", "ns/unit",
                "nominal", "x nom");
}

void printRow(const Row& row, const Parsed& parsed, const Figure& f) {
    std::printf("  %-38s %-36s %9zu %12.0f %10.2f ", row.primitive, row.input.c_str(), parsed.bytes, f.units(),
                f.ns() / 1e6);
    if (!f.failure.empty()) {
        std::printf("NOT MEASURED: %s\n", f.failure.c_str());
    } else if (f.units() <= 0) {
        std::printf("%9s %8.2f\n", "not charged", f.nominal());
    } else {
        std::printf("%9.2f %8.2f %6.2f%s\n", f.ns() / f.units(), f.nominal(), f.ratio(),
                    f.ratio() > kUndercharged ? "  UNDERCHARGED" : "");
    }
    std::fflush(stdout);
}

}  // namespace

int calibrationRows(std::size_t bytes, int runs) {
    std::printf("\nCalibration: ns per unit of work charged, each primitive on the worst input found for it\n"
                "(documents of about %zu bytes, or a share of it; a row's figure is (time - control's time) /\n"
                " (work - control's work), each time the least thread CPU time of %d runs or more; read against\n"
                " its nominal: %.0f ns times the reference over %.2f ns, its figure where the nominal was set.\n"
                " The reference is pugixml's walk of a %zu-byte document and its 1 + 1 + ... = 21, whatever\n"
                " the weights; its runs take turns with the row's, and the row takes the least of those among\n"
                " its own. Over %.0f x the nominal flagged, after as many runs again)\n\n",
                bytes, runs, kNominalNs, kReferenceNs, kReferenceBytes, kUndercharged);
    Reference reference;
    if (!reference.load()) {
        std::printf("  the reference's document does not parse\n");
        return 2;
    }
    Reference::Least alone;
    for (int i = 0; i < std::max(runs, 5); ++i) {
        if (!reference.run(&alone)) {
            std::printf("  the reference answered wrong: nothing can be read against it\n");
            return 1;
        }
    }
    std::printf("  reference alone, least of %d runs: pugixml's walk %.2f ns a node, its sum %.1f ns an\n"
                "  evaluation; %.2f ns, %.2f where the nominal was set: this machine runs at %.2f x it,\n"
                "  a nominal of %.2f ns a unit\n\n",
                std::max(runs, 5), alone.walkNs, alone.sumNs, alone.ns(), kReferenceNs, alone.ns() / kReferenceNs,
                kNominalNs * alone.ns() / kReferenceNs);

    int status = 0;
    const std::vector<Row> list = rows();
    // Each document is made and parsed once, and let go after its last row.
    std::map<std::pair<Document, std::size_t>, std::size_t> lastUse;
    for (std::size_t i = 0; i < list.size(); ++i) lastUse[{list[i].document, list[i].share}] = i;
    std::map<std::pair<Document, std::size_t>, Parsed> parsed;
    printHeading();
    double worst = 0, lowestNominal = HUGE_VAL, highestNominal = 0;
    int flagged = 0;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const Row& row = list[i];
        const auto key = std::make_pair(row.document, row.share);
        Parsed& document = parsed[key];
        if (!document.document && !parse(row, bytes, &document)) {
            std::printf("  %s: the generated document does not parse\n", row.primitive);
            return 2;
        }
        Figure f;
        repeatRow(row, document, &reference, runs, &f);
        // A flag stands only if as many runs again, each beside the
        // reference, do not take it back.
        if (f.failure.empty() && f.ratio() > kUndercharged) repeatRow(row, document, &reference, runs, &f);
        printRow(row, document, f);
        if (!f.failure.empty()) {
            status = 1;
        } else {
            worst = std::max(worst, f.ratio());
            flagged += f.ratio() > kUndercharged ? 1 : 0;
            lowestNominal = std::min(lowestNominal, f.nominal());
            highestNominal = std::max(highestNominal, f.nominal());
        }
        if (lastUse[key] == i) parsed.erase(key);
    }
    std::printf("\n  the highest: %.2f x its row's nominal; %d row(s) over %.0f x; the rows' nominals from %.2f\n"
                "  to %.2f ns a unit\n",
                worst, flagged, kUndercharged, lowestNominal, highestNominal);
    return status;
}

}  // namespace bench
}  // namespace corvane
