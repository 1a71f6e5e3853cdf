// The XPaths a caller gives to say where a signature goes and what it covers,
// evaluated at a cost that grows with the size of the document times the
// length of the XPath.
//
// Any web page may send them, and pugixml's own evaluator has no cost bound:
// nested count()s of paths over a small document already take hours. So only
// what callers really write is evaluated, each step over the whole document
// at most once, and everything else is refused with the part that is not
// taken:
//   - location paths, absolute or relative (from the document node): steps
//     joined by "/" and "//", the steps "." and "..";
//   - name tests "name", "prefix:name", "*", "prefix:*", compared with the
//     element's qualified name as written (pugixml has no namespace model),
//     and the node tests node(), text(), comment(), processing-instruction();
//   - any number of predicates per step, each a test or tests joined with
//     "and" / "or": a position (N, last(), last()-N, alone), comparisons of
//     position(), last(), last()-N and whole numbers with = != < <= > >=,
//     @name (present), and @name, local-name(), name() = or != a quoted text;
//     "@*" and "@prefix:*" stand for any such attribute.
// No explicit axes (child::...), no attribute steps, no other functions, no
// paths inside predicates, no unions, variables, parentheses or arithmetic,
// and at most 32 steps and 32 tests, so that the cost of the XPath and that
// of the document it comes with do not multiply.
// What is taken selects exactly what pugixml's select_nodes selects.
#pragma once

#include <pugixml.hpp>
#include <string>
#include <vector>

namespace tev {
namespace quessel {
namespace xades {

// Sets *nodes to what `xpath` selects from `document` (its context node), in
// document order and without duplicates, and answers true. False when the
// XPath uses more than the above: *notTaken then quotes the first part that
// is not taken and its position in the text, 1-based ("count(...) at 4"), and
// *nodes is left as it was. Throws pugi::xpath_exception, as select_nodes
// does, for a text that does not compile or does not select nodes.
bool selectByXPath(const pugi::xml_node& document, const std::string& xpath, std::vector<pugi::xpath_node>* nodes,
                   std::string* notTaken);

}  // namespace xades
}  // namespace quessel
}  // namespace tev
