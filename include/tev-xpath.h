// The XPaths a caller gives to say where a signature goes and what it covers.
//
// Any web page may send them, and pugixml's own evaluator has no bound on its
// cost: nested count()s of paths over a small document already take hours.
// So they are evaluated here, over the same pugixml tree and with the same
// results as pugixml's select_nodes (all of XPath 1.0 as pugixml implements
// it: names compared as written, namespace-uri() from the xmlns attributes in
// scope, strings measured in bytes, numbers printed as pugixml prints them),
// while the work done is counted where it is done: every node or attribute
// visited, every byte read, compared, searched or built. The bytes held at
// once are counted too. A unit stands for about 5 ns. The weights: a node
// reached and judged by a test 8 units, a step from a node to its parent,
// child or sibling on an axis' way 1 (the following and preceding axes may
// pass the whole depth of the tree for each node they hand on), an element
// climbed by lang() or namespace-uri() 2, an attribute looked at outside a
// walk 2, an operator 1 (a comparison 2), a function call 2 (3 when it
// answers a string or compares two), a number printed 28, and for bytes: 1
// for each 32 read, compared, copied or scanned many at a time (a literal
// each time it is used, string values, memcmp, memchr), 1 for each 3 looked
// at one by one (translate(), normalize-space(), numbers read, lang()), and
// 3 for each place a search tries (a search finds the places where the
// pattern's first byte stands, so that a run of that byte is one place a
// byte); a node moved from one node-set into another 2, namespace-uri()'s
// table of answers 4 a look-up and 8 an answer kept, and two node-sets
// compared by = about log2 n for each value, to sort and look up hashes.
// Fixed costs of a call are charged whatever its arguments: 2 units for
// the call itself, 2 more for a name fetched by name() or local-name(), 4
// for a string built by a function (8 for concat()), 2 for a number read,
// 3 for a node's string value, 16 for two node-sets merged by a union,
// 128 for a prefix namespace-uri() meets for the first time (its table of
// answers made, in a map that grows out of the cache), 40 for a
// translate() table of arguments that are not literals; tables of
// node-sets (for = and the sort into document order) pay 4 for each insert
// or look-up. The text itself costs 24 units a byte, charged before it is
// compiled, and the trees it compiles into are counted as 128 bytes held a
// byte of text; an XPath of more than 256 nodes pays 3 units, not 1, for
// each node evaluated (it no longer stays in the nearest caches). A block
// of memory of 16 KiB or more (a long string built, a large node-set and
// the growth of one) costs a unit a byte when it is made fresh, what its
// pages cost to fault in; a block freed is kept and lent again for one it
// fits, at no charge, and every block made fresh stays counted as held
// until the request's XPaths are done.
// When either count passes its allowance the evaluation stops and
// the XPath selects nothing. Counting work, not time, gives the same answer
// to the same request on every machine; the CPU time budget behind it
// (xpathCpuBudget) only stops what the weights would have missed.
//
// Each weight was set from the primitive's worst input, not its typical
// one: corvane-bench-xpath --only calibration runs every primitive (a move
// on each axis, node tests, each function and operator, comparisons of
// node-sets, string values, numbers read and printed, searches with short
// and long patterns over a run of one byte, the sort into document order,
// literals, each function with its shortest arguments, large expressions and
// the text itself) on the costliest input found for it, and prints the ns
// each unit charged for it took, beside the nominal of the machine that runs
// it (5 ns on the reference machine, scaled by a reference measured in the
// same run). None may pass twice that nominal; the table and how to rerun it
// are in bench/README.md.
//
// A null context node has no nodes at all: "." and "/" select nothing.
#pragma once

#include <pugixml.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tev {
namespace quessel {
namespace xades {

// The work the XPaths of one request may do, together, on a document of
// `documentBytes` bytes: enough for any XPath that runs its tests a few
// times per node of the densest document ("<a/>" repeated: the forms callers
// write use 23 to 75 million units at 3.6 MB, //a[position() = last()] the
// most), and about what the rest of the same request costs, so that the
// costliest XPath stops within about a second of CPU at the largest
// document JSONP takes.
constexpr std::uint64_t kXPathWorkFloor = 1000000;
constexpr std::uint64_t kXPathWorkPerDocumentByte = 32;
std::uint64_t xpathWorkAllowance(std::size_t documentBytes);

// The bytes one evaluation may hold at once (strings built, node-sets and
// the tables kept while it runs, and the nodes handed back) on a document of
// `documentBytes` bytes. On the densest document ("<a/>" repeated) a
// node-set of every element takes four times the document, and ten while
// the vector that holds it grows; the multiple leaves room for two such
// sets and the table that sorts them. pugixml's own tree of such a document
// takes sixteen times it.
constexpr std::uint64_t kXPathMemoryFloor = 8u << 20;
constexpr std::uint64_t kXPathMemoryPerDocumentByte = 24;
std::uint64_t xpathMemoryAllowance(std::size_t documentBytes);

// The backstop behind the count: an evaluation stops when the CPU time of
// its thread (user and system, page faults included) since the request's
// first XPath began passes this budget, whatever its units came to. The
// weights are set so that no XPath's units cost near it; it is there for a
// kind of work that they miss.
constexpr std::uint64_t kXPathCpuFloorNs = 250000000;  // 0.25 s
constexpr std::uint64_t kXPathCpuNsPerDocumentByte = 150;
std::uint64_t xpathCpuBudget(std::size_t documentBytes);

struct XPathAllowance {
    std::uint64_t work = 0;            // units of work (see xpathWorkAllowance)
    std::uint64_t memory = 0;          // bytes held (see XPathSpending)
    std::uint64_t cpuNanoseconds = 0;  // the backstop (see xpathCpuBudget); 0: none
};
XPathAllowance xpathAllowance(std::size_t documentBytes);

// What stopped an evaluation.
enum class XPathStop { None, Work, Memory, Time };

struct XPathOutcome {
    bool completed = false;        // false: stopped when an allowance ran out, or the text refused
    bool memoryExhausted = false;  // stopped by the memory allowance, not the work
    bool textTooLong = false;      // refused uncompiled: longer than kXPathTextLimit
    XPathStop stop = XPathStop::None;  // what stopped it, when it was stopped
    std::uint64_t work = 0;        // the work this XPath did (up to the stop)
    std::uint64_t peakBytes = 0;   // the most bytes held at once, over the request so far
};

// What the XPaths of one request spend, together, against one allowance:
// the work, the bytes held, and the blocks of memory kept for reuse, which
// it frees when it goes. Everything an evaluation made is gone before the
// spending goes; keep it alive as long as any XPath of the request runs.
class XPathSpending {
public:
    explicit XPathSpending(const XPathAllowance& allowance);
    ~XPathSpending();
    XPathSpending(const XPathSpending&) = delete;
    XPathSpending& operator=(const XPathSpending&) = delete;

    std::uint64_t work() const;       // units charged so far, over all its XPaths
    std::uint64_t peakBytes() const;  // the most bytes held at once
    const XPathAllowance& allowance() const;

    struct State;

private:
    friend XPathOutcome selectByXPath(const pugi::xml_node&, const std::string&, XPathSpending*,
                                      std::vector<pugi::xpath_node>*);
    friend XPathOutcome evaluateXPathString(const pugi::xml_node&, const std::string&, const XPathAllowance&,
                                            std::string*);
    std::unique_ptr<State> state_;
};

// The longest XPath text taken, in bytes. The XPaths callers write to place
// and aim a signature are a few hundred bytes; a text is compiled twice (by
// pugixml, then into the evaluator's tree of about 150 bytes a node, a node
// for every two bytes of a text such as 1+1+1...), and neither is metered
// while it runs, so a longer text is refused before either begins. The text
// taken is charged too, by its length, before it is compiled.
constexpr std::size_t kXPathTextLimit = 16384;

// Sets *nodes to what `xpath` selects from `context`, in document order and
// without duplicates. When an allowance runs out, or the text is longer than
// kXPathTextLimit, *nodes is left empty and the outcome says so. Throws
// pugi::xpath_exception, as select_nodes does, for a text that does not compile or does not select nodes: pugixml compiles
// the text first.
XPathOutcome selectByXPath(const pugi::xml_node& context, const std::string& xpath, XPathSpending* spending,
                           std::vector<pugi::xpath_node>* nodes);
// The same, as the only XPath of its request.
XPathOutcome selectByXPath(const pugi::xml_node& context, const std::string& xpath, const XPathAllowance& allowance,
                           std::vector<pugi::xpath_node>* nodes);

// The string value of `xpath` (any type) at `context`, as pugixml's
// xpath_query::evaluate_string gives it; *value is left empty when stopped.
XPathOutcome evaluateXPathString(const pugi::xml_node& context, const std::string& xpath,
                                 const XPathAllowance& allowance, std::string* value);

}  // namespace xades
}  // namespace quessel
}  // namespace tev
