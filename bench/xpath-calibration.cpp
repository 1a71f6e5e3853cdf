// The weights of the XPath evaluator's work, measured on the worst inputs
// found for each primitive: a bound on counted work holds only where every
// unit charged stands for at most its nominal time whatever the input.
//
// Each row evaluates one XPath whose time is spent in one primitive (a move
// on an axis, a node test, a function, an operator, a comparison of
// node-sets, a string value built, a number read or printed, a search, the
// sort into document order, a literal), with no allowance to stop it, and a
// control XPath that does the same without that primitive. The row's figure
// is the difference of their times over the difference of the work they
// counted: what one unit charged for that primitive costs, in ns, beside the
// nominal 5 ns that tev-xpath.h gives. Times are the thread's CPU time, the
// least of --calibration-runs runs (default 3), so that other load on the
// machine counts as little as it can.
//
// A row over twice the nominal is flagged "UNDERCHARGED": its primitive is
// charged less than half of what that input costs. Rows well under the
// nominal are overcharged, which is safe but stops legitimate XPaths sooner.
#include "xpath-calibration.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
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
    const char* input;
    std::string (*document)(std::size_t bytes);
    std::string xpath;
    std::string control;  // the same work without the primitive; "" for none
};

// `repeat` copies of `piece` joined by `glue`.
std::string chain(const std::string& piece, const std::string& glue, int repeat) {
    std::string text = piece;
    for (int i = 1; i < repeat; ++i) text += glue + piece;
    return text;
}

std::vector<Row> rows() {
    const std::string each = "count(//a)";
    const auto per = [](const std::string& predicate) { return "count(//a[" + predicate + "])"; };
    // A name function at every element.
    const std::string all = "count(//*)";
    const auto named = [](const std::string& function) { return "count(//*[" + function + " = 'x'])"; };
    std::vector<Row> list = {
        {"move: following", "990-deep chains, following::*[1]", chains, per("following::*[1]"), each},
        {"move: preceding", "990-deep chains, preceding::*[1]", chains, per("preceding::*[1]"), each},
        {"move+test: ancestor", "990-deep chains, ancestor::r", chains, per("ancestor::r"), each},
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
        {"function: lang()", "990-deep chains, none", chains, per("lang('en')"), each},
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
        {"operator: union, few", "990-deep chains, . | ..", chains, per("count(. | ..) = 2"), per("count(.) = 2")},
        {"operator: filter", "flat", flat, "count((//a)[true()])", each},
        {"operator: path", "flat", flat, "count((/r)/a)", "count(/r)"},
        {"sort: union of two sets", "flat", flat, "count(//a | //a)", each},
        {"sort: union of attribute sets", "20 attributes", attributes, "count(//@z3 | //@z17)", "count(//a)"},
        {"sort: preceding from many", "990-deep chains", chains, "count(//a/preceding::*[1])", each},
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
        {"literal", "100,000 bytes", flat, per("'" + std::string(100000, 'A') + "'"), per("'A'")},
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
        list.push_back({"search: contains()", p.input, run, per("contains(/r/t, '" + p.text + "')"), per("/r/t = 'x'")});
    }
    list.push_back({"search: substring-before()", "run, 'AAx' (3)", run, per("substring-before(/r/t, 'AAx') = 'x'"),
                    per("/r/t = 'x'")});
    list.push_back({"search: contains(), ordinary text", "words, 'taxes' (5)", words,
                    per("contains(/r/t, 'taxes')"), per("/r/t = 'x'")});
    list.push_back({"search: contains(), ordinary text", "words, 'amount party tax' (16)", words,
                    per("contains(/r/t, 'amount party tax')"), per("/r/t = 'x'")});
    return list;
}

double threadCpuNs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

struct Timed {
    double ns = 0;
    std::uint64_t work = 0;
    bool completed = false;
};

// The least CPU time of `runs` evaluations, and the work counted.
Timed timed(const pugi::xml_document& document, const std::string& xpath, int runs) {
    xades::XPathAllowance unbounded;
    unbounded.work = UINT64_MAX / 2;
    unbounded.memory = std::uint64_t(8) << 30;
    Timed best;
    for (int i = 0; i < runs; ++i) {
        std::string value;
        const double start = threadCpuNs();
        const xades::XPathOutcome outcome = xades::evaluateXPathString(document, xpath, unbounded, &value);
        const double ns = threadCpuNs() - start;
        if (i == 0 || ns < best.ns) best.ns = ns;
        best.work = outcome.work;
        best.completed = outcome.completed;
    }
    return best;
}

}  // namespace

int calibrationRows(std::size_t bytes, int runs) {
    std::printf("\nCalibration: ns per unit of work charged, each primitive on the worst input found for it\n"
                "(documents of about %zu bytes; the least thread CPU time of %d runs; a row's figure is\n"
                " (time - control's time) / (work - control's work); nominal %.0f ns, over %.0f ns flagged)\n\n",
                bytes, runs, kNominalNs, 2 * kNominalNs);
    std::printf("  %-38s %-36s %12s %10s %8s %6s\n", "primitive", "input", "units", "ms", "ns/unit", "x nom");
    std::map<std::string (*)(std::size_t), std::unique_ptr<pugi::xml_document>> parsed;
    int status = 0;
    double worst = 0;
    for (const Row& row : rows()) {
        std::unique_ptr<pugi::xml_document>& document = parsed[row.document];
        if (!document) {
            const std::string text = row.document(bytes);
            document.reset(new pugi::xml_document);
            if (!document->load_buffer(text.data(), text.size(), pugi::parse_full | pugi::parse_ws_pcdata)) {
                std::printf("  %s: the generated document does not parse\n", row.primitive);
                return 2;
            }
        }
        const Timed with = timed(*document, row.xpath, runs);
        Timed without;
        without.completed = true;
        if (!row.control.empty()) without = timed(*document, row.control, runs);
        const double units = static_cast<double>(with.work) - static_cast<double>(without.work);
        const double ns = with.ns - without.ns;
        const double perUnit = units > 0 ? ns / units : 0;
        const bool over = perUnit > 2 * kNominalNs;
        if (!with.completed || !without.completed || units <= 0) status = 1;
        worst = std::max(worst, perUnit);
        std::printf("  %-38s %-36s %12.0f %10.2f %8.2f %6.2f%s%s\n", row.primitive, row.input, units, ns / 1e6,
                    perUnit, perUnit / kNominalNs, over ? "  UNDERCHARGED" : "",
                    !with.completed || !without.completed || units <= 0 ? "  NOT MEASURED" : "");
        std::fflush(stdout);
        if (over) status = 1;
    }
    std::printf("\n  the highest: %.2f ns a unit, %.2f x the nominal\n", worst, worst / kNominalNs);
    return status;
}

}  // namespace bench
}  // namespace corvane
