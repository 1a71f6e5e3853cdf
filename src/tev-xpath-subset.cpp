#include "tev-xpath-subset.h"

#include "tev-xml-wellformed.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace tev {
namespace quessel {
namespace xades {

namespace {

// ---- tokens ------------------------------------------------------------------
// Cut as pugixml's lexer cuts them, so that what we take means what pugixml
// compiled: the same blanks, the same name characters (every byte past ASCII
// among them) and "prefix:name" / "prefix:*" as one name.

enum class Kind {
    End, Name, Number, Literal, Slash, DoubleSlash, Dot, DoubleDot, At, Star,
    OpenBracket, CloseBracket, OpenParen, CloseParen, Minus, Compare, DoubleColon, Other
};

struct Token {
    Kind kind;
    std::string text;  // a literal without its quotes
    std::size_t at;    // offset in the XPath
};

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool startsName(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || static_cast<unsigned char>(c) >= 0x80;
}
bool inName(char c) { return startsName(c) || isDigit(c) || c == '-' || c == '.'; }

std::vector<Token> tokenize(const std::string& text) {
    std::vector<Token> tokens;
    std::size_t i = 0;
    const std::size_t n = text.size();
    auto add = [&](Kind kind, std::size_t from, std::size_t to) {
        tokens.push_back({kind, text.substr(from, to - from), from});
        i = to;
    };
    while (i < n) {
        const char c = text[i];
        const char next = i + 1 < n ? text[i + 1] : '\0';
        if (isBlank(c)) {
            ++i;
        } else if (c == '/') {
            add(next == '/' ? Kind::DoubleSlash : Kind::Slash, i, i + (next == '/' ? 2 : 1));
        } else if (isDigit(c) || (c == '.' && isDigit(next))) {
            std::size_t end = i;
            while (end < n && isDigit(text[end])) ++end;
            if (end < n && text[end] == '.') {
                for (++end; end < n && isDigit(text[end]);) ++end;
            }
            add(Kind::Number, i, end);
        } else if (c == '.') {
            add(next == '.' ? Kind::DoubleDot : Kind::Dot, i, i + (next == '.' ? 2 : 1));
        } else if (c == '\'' || c == '"') {
            const std::size_t close = text.find(c, i + 1);
            if (close == std::string::npos) {
                add(Kind::Other, i, n);
            } else {
                tokens.push_back({Kind::Literal, text.substr(i + 1, close - i - 1), i});
                i = close + 1;
            }
        } else if (c == '=' || ((c == '<' || c == '>' || c == '!') && next == '=')) {
            add(Kind::Compare, i, i + (c == '=' ? 1 : 2));
        } else if (c == '<' || c == '>') {
            add(Kind::Compare, i, i + 1);
        } else if (c == ':' && next == ':') {
            add(Kind::DoubleColon, i, i + 2);
        } else if (startsName(c)) {
            std::size_t end = i;
            while (end < n && inName(text[end])) ++end;
            if (end + 1 < n && text[end] == ':' && text[end + 1] == '*') {
                end += 2;
            } else if (end + 1 < n && text[end] == ':' && inName(text[end + 1])) {
                for (++end; end < n && inName(text[end]);) ++end;
            }
            add(Kind::Name, i, end);
        } else {
            const char* single = "@*[]()-";
            const Kind kinds[] = {Kind::At, Kind::Star, Kind::OpenBracket, Kind::CloseBracket,
                                  Kind::OpenParen, Kind::CloseParen, Kind::Minus};
            const char* found = c ? std::strchr(single, c) : nullptr;
            add(found ? kinds[found - single] : Kind::Other, i, i + 1);
        }
    }
    tokens.push_back({Kind::End, std::string(), n});
    return tokens;
}

// ---- the parsed XPath --------------------------------------------------------

struct NodeTest {
    enum Kind { Named, AnyElement, InPrefix, AnyNode, Text, Comment, Instruction } kind = AnyNode;
    std::string name;  // the qualified name, or "prefix:" for InPrefix
};

struct Operand {
    enum Kind { Number, Position, Last, Literal, Attribute, LocalName, Name } kind = Number;
    double number = 0;  // the value of Number; what last() has taken off
    std::string text;   // the text of Literal
    NodeTest attribute;  // Named, InPrefix, or AnyElement for "@*"
    bool numeric() const { return kind == Number || kind == Position || kind == Last; }
};

enum class Relation { None, Equal, NotEqual, Less, LessOrEqual, Greater, GreaterOrEqual };

// `left relation right`; with Relation::None, `left` is an attribute that
// must be there.
struct Test {
    Operand left;
    Relation relation = Relation::None;
    Operand right;
};

using Conjunction = std::vector<Test>;
using Predicate = std::vector<Conjunction>;  // the conjunctions joined with "or"

struct Step {
    enum Axis { Child, DescendantOrSelf, Self, Parent } axis = Child;
    NodeTest test;
    std::vector<Predicate> predicates;
};

struct Path {
    bool absolute = false;
    std::vector<Step> steps;
};

// What is not taken, and where.
struct NotTaken {
    std::string part;
};

// Each step and each test costs up to a walk over the document, and the
// XPath comes in the same request as the document: bounded, so that the two
// cannot multiply. Callers' XPaths stay far below these.
constexpr std::size_t kMostSteps = 32;  // "//" counts as one
constexpr std::size_t kMostTests = 32;

class Parser {
public:
    explicit Parser(const std::string& text) : tokens_(tokenize(text)) {}

    Path path() {
        Path path;
        if (peek().kind == Kind::Slash) {
            path.absolute = true;
            take();
            const Kind k = peek().kind;
            if (k != Kind::Name && k != Kind::Star && k != Kind::Dot && k != Kind::DoubleDot && k != Kind::At) {
                expectEnd();
                return path;
            }
        } else if (peek().kind == Kind::DoubleSlash) {
            path.absolute = true;
            take();
            path.steps.push_back(descendantOrSelf());
        }
        path.steps.push_back(step());
        for (;;) {
            if (peek().kind == Kind::DoubleSlash) {
                path.steps.push_back(descendantOrSelf());
            } else if (peek().kind != Kind::Slash) {
                break;
            }
            if (path.steps.size() >= kMostSteps) refuseBeyond(kMostSteps, "steps");
            take();
            path.steps.push_back(step());
        }
        expectEnd();
        return path;
    }

private:
    const Token& peek(std::size_t ahead = 0) const { return tokens_[std::min(at_ + ahead, tokens_.size() - 1)]; }
    const Token& take() {
        const Token& token = peek();
        if (at_ + 1 < tokens_.size()) ++at_;
        return token;
    }
    bool isWord(const char* word) const { return peek().kind == Kind::Name && peek().text == word; }
    bool isCall() const { return peek().kind == Kind::Name && peek(1).kind == Kind::OpenParen; }
    void expectEnd() const {
        if (peek().kind != Kind::End) refuse(at_);
    }

    [[noreturn]] void refuse(std::size_t index) const {
        const Token& token = tokens_[index];
        const Kind following = tokens_[std::min(index + 1, tokens_.size() - 1)].kind;
        std::string shown = token.text;
        if (token.kind == Kind::Name && following == Kind::OpenParen) shown += "(...)";
        if (token.kind == Kind::Name && following == Kind::DoubleColon) shown += "::";
        if (token.kind == Kind::OpenParen) shown = "(...)";
        if (token.kind == Kind::Literal) shown = "'" + token.text + "'";
        if (token.kind == Kind::End) shown = "the end";
        throw NotTaken{shown + " at " + std::to_string(token.at + 1)};
    }

    [[noreturn]] void refuseBeyond(std::size_t most, const char* what) const {
        throw NotTaken{"more than " + std::to_string(most) + " " + what + " at " + std::to_string(peek().at + 1)};
    }

    static Step descendantOrSelf() {
        Step step;
        step.axis = Step::DescendantOrSelf;
        return step;
    }

    static NodeTest nameTest(const std::string& name) {
        NodeTest test;
        const bool inPrefix = name.size() > 2 && name.compare(name.size() - 2, 2, ":*") == 0;
        test.kind = inPrefix ? NodeTest::InPrefix : NodeTest::Named;
        test.name = inPrefix ? name.substr(0, name.size() - 1) : name;
        return test;
    }

    Step step() {
        Step step;
        if (peek().kind == Kind::Dot || peek().kind == Kind::DoubleDot) {
            step.axis = take().kind == Kind::Dot ? Step::Self : Step::Parent;
            return step;  // no predicates: XPath allows none after "." and ".."
        }
        if (peek().kind == Kind::Star) {
            take();
            step.test.kind = NodeTest::AnyElement;
        } else if (isCall()) {
            step.test = typeTest();
        } else if (peek().kind == Kind::Name && peek(1).kind != Kind::DoubleColon) {
            step.test = nameTest(take().text);
        } else {
            refuse(at_);
        }
        while (peek().kind == Kind::OpenBracket) {
            take();
            step.predicates.push_back(predicate());
            if (peek().kind != Kind::CloseBracket) refuse(at_);
            take();
        }
        return step;
    }

    NodeTest typeTest() {
        static const std::pair<const char*, NodeTest::Kind> kTypes[] = {
            {"node", NodeTest::AnyNode},
            {"text", NodeTest::Text},
            {"comment", NodeTest::Comment},
            {"processing-instruction", NodeTest::Instruction}};
        for (const auto& type : kTypes) {
            if (peek().text == type.first && peek(2).kind == Kind::CloseParen) {
                at_ += 3;
                NodeTest test;
                test.kind = type.second;
                return test;
            }
        }
        refuse(at_);
    }

    Predicate predicate() {
        Predicate predicate{conjunction(true)};
        while (isWord("or")) {
            take();
            predicate.push_back(conjunction(false));
        }
        return predicate;
    }

    Conjunction conjunction(bool first) {
        Conjunction tests{test(first)};
        while (isWord("and")) {
            take();
            tests.push_back(test(false));
        }
        return tests;
    }

    // `first`: the predicate's first test, which may be a position alone.
    Test test(bool first) {
        if (++tests_ > kMostTests) refuseBeyond(kMostTests, "tests");
        const std::size_t start = at_;
        Test test;
        test.left = operand();
        if (peek().kind == Kind::Compare) {
            const std::size_t relationAt = at_;
            const std::string& relation = take().text;
            test.right = operand();
            const Relation relations[] = {Relation::Equal, Relation::NotEqual, Relation::Less,
                                          Relation::LessOrEqual, Relation::Greater, Relation::GreaterOrEqual};
            const char* names[] = {"=", "!=", "<", "<=", ">", ">="};
            test.relation = relations[std::find(names, names + 6, relation) - names];
            if (test.left.numeric() != test.right.numeric()) refuse(relationAt);
            if (!test.left.numeric()) {
                // Texts only compare as equal or not; two attribute sets do not compare as two texts.
                if (test.relation != Relation::Equal && test.relation != Relation::NotEqual) refuse(relationAt);
                if (test.left.kind == Operand::Attribute && test.right.kind == Operand::Attribute) refuse(relationAt);
                if (test.right.kind == Operand::Attribute) std::swap(test.left, test.right);
            }
        } else if (test.left.numeric()) {
            // A number alone is a position; among other tests it would be a truth value.
            if (!first || peek().kind != Kind::CloseBracket) refuse(start);
            test.right = test.left;
            test.left.kind = Operand::Position;
            test.relation = Relation::Equal;
        } else if (test.left.kind != Operand::Attribute) {
            refuse(start);
        }
        return test;
    }

    double wholeNumber() {
        if (peek().text.find('.') != std::string::npos) refuse(at_);
        double value = 0;
        for (const char digit : take().text) value = value * 10 + (digit - '0');
        return value;
    }

    Operand operand() {
        Operand operand;
        if (peek().kind == Kind::Number) {
            operand.number = wholeNumber();
        } else if (peek().kind == Kind::Literal) {
            operand.kind = Operand::Literal;
            operand.text = take().text;
        } else if (peek().kind == Kind::At) {
            take();
            operand.kind = Operand::Attribute;
            if (peek().kind == Kind::Star) {
                take();
                operand.attribute.kind = NodeTest::AnyElement;
            } else if (peek().kind == Kind::Name && peek(1).kind != Kind::OpenParen &&
                       peek(1).kind != Kind::DoubleColon) {
                operand.attribute = nameTest(take().text);
            } else {
                refuse(at_);
            }
        } else if (isCall() && peek(2).kind == Kind::CloseParen) {
            static const std::pair<const char*, Operand::Kind> kFunctions[] = {{"position", Operand::Position},
                                                                               {"last", Operand::Last},
                                                                               {"local-name", Operand::LocalName},
                                                                               {"name", Operand::Name}};
            const auto* function = std::find_if(std::begin(kFunctions), std::end(kFunctions),
                                                [this](const auto& f) { return peek().text == f.first; });
            if (function == std::end(kFunctions)) refuse(at_);
            operand.kind = function->second;
            at_ += 3;
            if (operand.kind == Operand::Last && peek().kind == Kind::Minus) {
                if (peek(1).kind != Kind::Number) refuse(at_);
                take();
                operand.number = wholeNumber();
            }
        } else {
            refuse(at_);
        }
        return operand;
    }

    std::vector<Token> tokens_;
    std::size_t at_ = 0;
    std::size_t tests_ = 0;
};

// ---- the document ------------------------------------------------------------

// Every node in document order, with its parent and the extent of its
// subtree, taken in one walk: positions in this order sort node sets, and a
// subtree is a range of them.
struct Tree {
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::vector<pugi::xml_node> nodes;
    std::vector<std::size_t> parent;
    std::vector<std::size_t> last;  // the last node of each subtree

    explicit Tree(pugi::xml_node root) {
        std::vector<std::size_t> open;  // the ancestors of the node at hand
        for (pugi::xml_node node = root;;) {
            nodes.push_back(node);
            parent.push_back(open.empty() ? kNone : open.back());
            if (node.first_child()) {
                open.push_back(nodes.size() - 1);
                node = node.first_child();
                continue;
            }
            while (!open.empty() && !node.next_sibling()) {
                node = node.parent();
                open.pop_back();
            }
            if (open.empty()) break;
            node = node.next_sibling();
        }
        last.resize(nodes.size());
        for (std::size_t i = nodes.size(); i-- > 0;) {
            last[i] = std::max(last[i], i);
            if (parent[i] != kNone) last[parent[i]] = std::max(last[parent[i]], last[i]);
        }
    }
};

bool matches(const NodeTest& test, const pugi::xml_node& node) {
    const pugi::xml_node_type type = node.type();
    switch (test.kind) {
    case NodeTest::Named: return type == pugi::node_element && test.name == node.name();
    case NodeTest::AnyElement: return type == pugi::node_element;
    case NodeTest::InPrefix:
        return type == pugi::node_element && std::strncmp(node.name(), test.name.c_str(), test.name.size()) == 0;
    case NodeTest::AnyNode: return true;
    case NodeTest::Text: return type == pugi::node_pcdata || type == pugi::node_cdata;
    case NodeTest::Comment: return type == pugi::node_comment;
    case NodeTest::Instruction: return type == pugi::node_pi;
    }
    return false;
}

// Namespace declarations are no attributes to XPath; pugixml keeps them as ones.
bool matches(const NodeTest& test, const pugi::xml_attribute& attribute) {
    const char* name = attribute.name();
    if (isNamespaceDeclaration(name)) return false;
    if (test.kind == NodeTest::Named) return test.name == name;
    return test.kind == NodeTest::AnyElement || std::strncmp(name, test.name.c_str(), test.name.size()) == 0;
}

double numberOf(const Operand& operand, double position, double size) {
    switch (operand.kind) {
    case Operand::Position: return position;
    case Operand::Last: return size - operand.number;
    default: return operand.number;
    }
}

const char* textOf(const Operand& operand, const pugi::xml_node& node) {
    if (operand.kind == Operand::Literal) return operand.text.c_str();
    const char* name = node.name();
    const char* colon = operand.kind == Operand::LocalName ? std::strchr(name, ':') : nullptr;
    return colon ? colon + 1 : name;
}

bool holds(const Test& test, const pugi::xml_node& node, double position, double size) {
    if (test.left.numeric()) {
        const double a = numberOf(test.left, position, size), b = numberOf(test.right, position, size);
        switch (test.relation) {
        case Relation::Equal: return a == b;
        case Relation::NotEqual: return a != b;
        case Relation::Less: return a < b;
        case Relation::LessOrEqual: return a <= b;
        case Relation::Greater: return a > b;
        default: return a >= b;
        }
    }
    const bool equal = test.relation == Relation::Equal;
    if (test.left.kind != Operand::Attribute) {
        return (std::strcmp(textOf(test.left, node), textOf(test.right, node)) == 0) == equal;
    }
    // A set of attributes compares true when one of them does.
    for (const pugi::xml_attribute& attribute : node.attributes()) {
        if (!matches(test.left.attribute, attribute)) continue;
        if (test.relation == Relation::None) return true;
        if ((std::strcmp(attribute.value(), textOf(test.right, node)) == 0) == equal) return true;
    }
    return false;
}

// Keeps the candidates (one context node's) that the predicate holds for,
// counting positions among them.
void filter(std::vector<std::size_t>* candidates, const Predicate& predicate, const Tree& tree) {
    const double size = static_cast<double>(candidates->size());
    std::size_t kept = 0;
    for (std::size_t i = 0; i < candidates->size(); ++i) {
        const pugi::xml_node& node = tree.nodes[(*candidates)[i]];
        const bool taken = std::any_of(predicate.begin(), predicate.end(), [&](const Conjunction& tests) {
            return std::all_of(tests.begin(), tests.end(),
                               [&](const Test& test) { return holds(test, node, static_cast<double>(i + 1), size); });
        });
        if (taken) (*candidates)[kept++] = (*candidates)[i];
    }
    candidates->resize(kept);
}

// One step from a node set in document order without duplicates, to another.
// Each node of the document is visited at most once per step: subtrees
// already covered are skipped, and every node has one parent.
std::vector<std::size_t> apply(const Step& step, const Tree& tree, const std::vector<std::size_t>& from) {
    std::vector<std::size_t> to;
    switch (step.axis) {
    case Step::Self: return from;
    case Step::Parent:
        for (const std::size_t node : from) {
            if (tree.parent[node] != Tree::kNone) to.push_back(tree.parent[node]);
        }
        break;
    case Step::DescendantOrSelf:
        for (const std::size_t node : from) {
            if (!to.empty() && node <= to.back()) continue;
            for (std::size_t inside = node; inside <= tree.last[node]; ++inside) to.push_back(inside);
        }
        return to;
    case Step::Child: {
        std::vector<std::size_t> children;
        for (const std::size_t node : from) {
            children.clear();
            for (std::size_t child = node + 1; child <= tree.last[node]; child = tree.last[child] + 1) {
                if (matches(step.test, tree.nodes[child])) children.push_back(child);
            }
            for (const Predicate& predicate : step.predicates) filter(&children, predicate, tree);
            to.insert(to.end(), children.begin(), children.end());
        }
        break;
    }
    }
    std::sort(to.begin(), to.end());
    to.erase(std::unique(to.begin(), to.end()), to.end());
    return to;
}

}  // namespace

bool selectByXPath(const pugi::xml_node& document, const std::string& xpath, std::vector<pugi::xpath_node>* nodes,
                   std::string* notTaken) {
    // pugixml reads the text up to its first NUL, as select_nodes(xpath.c_str()) did.
    const std::string text = xpath.c_str();
    const pugi::xpath_query compiled(text.c_str());
    if (compiled.return_type() != pugi::xpath_type_node_set) {
        pugi::xpath_parse_result result;
        result.error = "Expression does not evaluate to node set";
        throw pugi::xpath_exception(result);
    }
    Path path;
    try {
        path = Parser(text).path();
    } catch (const NotTaken& refusal) {
        *notTaken = refusal.part;
        return false;
    }
    nodes->clear();
    if (!document) return true;
    const Tree tree(document.root());
    const auto context = path.absolute ? tree.nodes.begin() : std::find(tree.nodes.begin(), tree.nodes.end(), document);
    std::vector<std::size_t> set{static_cast<std::size_t>(context - tree.nodes.begin())};
    for (const Step& step : path.steps) set = apply(step, tree, set);
    for (const std::size_t node : set) nodes->push_back(pugi::xpath_node(tree.nodes[node]));
    return true;
}

}  // namespace xades
}  // namespace quessel
}  // namespace tev
