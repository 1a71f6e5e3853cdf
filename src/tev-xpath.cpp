// XPath 1.0 over pugixml trees, with pugixml's results and a count of the
// work done. What pugixml does its own way, and is kept here so that a caller
// gets what pugixml gave:
//   - names are compared as written ("p:a"; "p:*" is any name that starts
//     with "p:"), and attributes named xmlns or xmlns:... are not on the
//     attribute axis;
//   - node() on the child axes also takes the XML declaration and the
//     DOCTYPE, whose string value is empty; the declaration's pseudo
//     attributes are on its attribute axis;
//   - namespace-uri() looks for xmlns:prefix (or xmlns, for an element or
//     any other node without a prefix) on the node and its ancestors; the
//     namespace axis is empty and id() selects nothing;
//   - strings are bytes: string-length('é') is 2, substring() and translate()
//     cut bytes;
//   - numbers print with at most 16 significant digits and never with an
//     exponent; a string is a number when it is blanks, an optional '-',
//     digits with an optional '.', and blanks, and it is read as strtod
//     reads it (Infinity past the double range, zero or a subnormal below
//     it) whatever the locale;
//   - a node-set compared by < <= > >= with a boolean compares each node's
//     number with the boolean as 0 or 1;
//   - lang() of an attribute is false, and the nearest xml:lang is taken by
//     its first occurrence on an element;
//   - on the attribute axis a name test stops at the first attribute of
//     that name.
#include "tev-xpath.h"

#include "tev-xml-wellformed.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <new>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace tev {
namespace quessel {
namespace xades {

namespace {

// ---- values ------------------------------------------------------------------

// A node of the tree, or an attribute with the element that holds it. The
// attribute is kept as pugixml's pointer: this is tested and copied for every
// node of every walk, and pugixml's handle makes each of those a library call.
struct Node {
    pugi::xml_node node;  // for an attribute, its element
    pugi::xml_attribute_struct* attr = nullptr;

    Node() = default;
    Node(const pugi::xml_node& n) : node(n) {}  // NOLINT: a tree node is a node
    Node(const pugi::xml_node& n, const pugi::xml_attribute& a) : node(n), attr(a.internal_object()) {}

    pugi::xml_attribute attribute() const { return pugi::xml_attribute(attr); }
    bool operator==(const Node& other) const { return attr == other.attr && node == other.node; }
    bool operator!=(const Node& other) const { return !(*this == other); }
    const void* key() const {
        return attr ? static_cast<const void*>(attr) : static_cast<const void*>(node.internal_object());
    }
};

// Thrown when the allowance of work, of memory or of time is spent; caught
// where the evaluation started.
struct Stopped {};

}  // namespace

// What the XPaths of one request spend together: the work, the bytes held,
// the blocks of memory kept for reuse, and the thread's CPU time since the
// first of them began.
//
// Large blocks (strings and node-sets of kLargeBlock bytes and more) are the
// costly ones: a block the allocator hands out fresh is faulted in page by
// page as it is first written, 3 to 8 ns a byte here (glibc maps and unmaps
// every block over its mmap threshold; jemalloc, as corvane-service sets it
// up, keeps freed pages but rarely fits a later, larger block into them),
// against 0.03 ns a byte for memory already touched. So such a block, once
// freed, is kept here and handed out again for a later one it fits, and
// each block made fresh is charged a unit a byte of work and stays counted
// as held until the request's XPaths are done: what they fault in over the
// whole request, not only what they hold at once, is bounded by the memory
// allowance, whatever the allocator does with memory freed.
struct XPathSpending::State {
    XPathAllowance allowance;
    std::uint64_t work = 0;
    std::uint64_t checkAt = 0;  // the work at which charge() next looks past its one comparison
    std::uint64_t cpuStart = 0;
    std::uint64_t held = 0;
    std::uint64_t peak = 0;
    XPathStop stop = XPathStop::None;
    std::multimap<std::size_t, char*> spare;           // blocks freed, by capacity
    std::unordered_map<const void*, std::size_t> lent;  // blocks in use, with their capacity

    // The thread's CPU time is read each time this much work is charged:
    // a system call every few ms at most, nothing measurable beside the work.
    static constexpr std::uint64_t kClockEvery = 1u << 20;
    // Blocks of this size and more are kept for reuse and charged when fresh.
    static constexpr std::size_t kLargeBlock = 16 * 1024;
    // A kept block is lent for one at least a quarter of its size: a small
    // string does not take the block a large result could have reused.
    static constexpr std::size_t kLargestFit = 4;
    // A fresh block: a unit a byte, the cost of its pages' first touch.
    static constexpr std::uint64_t kFreshBytesPerUnit = 1;

    explicit State(const XPathAllowance& a) : allowance(a), cpuStart(threadCpuNanoseconds()) {
        checkAt = std::min(allowance.work, kClockEvery);
    }
    ~State() {
        for (const auto& block : spare) std::free(block.second);
    }

    static std::uint64_t threadCpuNanoseconds() {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
    }
    [[noreturn]] void stopFor(XPathStop why) {
        stop = why;
        throw Stopped();
    }
    void charge(std::uint64_t units) {
        work += units;
        if (work > checkAt) pastCheck();
    }
    void pastCheck() {
        if (work > allowance.work) stopFor(XPathStop::Work);
        if (allowance.cpuNanoseconds && threadCpuNanoseconds() - cpuStart > allowance.cpuNanoseconds) {
            stopFor(XPathStop::Time);
        }
        checkAt = std::min(allowance.work, work + kClockEvery);
    }
    void hold(std::size_t bytes) {
        if (held + bytes > allowance.memory) stopFor(XPathStop::Memory);
        held += bytes;
        if (held > peak) peak = held;
    }
    void release(std::size_t bytes) { held -= bytes < held ? bytes : held; }

    void* allocate(std::size_t bytes) {
        if (bytes < kLargeBlock) {
            hold(bytes);
            return ::operator new(bytes);
        }
        const auto fit = spare.lower_bound(bytes);
        if (fit != spare.end() && fit->first / kLargestFit <= bytes) {
            char* block = fit->second;
            lent.emplace(block, fit->first);
            spare.erase(fit);
            return block;
        }
        // Charged before it is touched: a block the allowances do not cover
        // is never faulted in.
        hold(bytes);
        charge(bytes / kFreshBytesPerUnit);
        char* block = static_cast<char*>(std::malloc(bytes));
        if (!block) {
            release(bytes);
            throw std::bad_alloc();
        }
        lent.emplace(block, bytes);
        return block;
    }
    void deallocate(void* p, std::size_t bytes) {
        if (bytes < kLargeBlock) {
            release(bytes);
            ::operator delete(p);
            return;
        }
        const auto at = lent.find(p);
        if (at == lent.end()) {  // not lent here: nothing to keep
            std::free(p);
            return;
        }
        spare.emplace(at->second, static_cast<char*>(p));
        lent.erase(at);
    }
};

namespace {

// The spending of the evaluation running on this thread: every container of
// the evaluator allocates through Held, which takes the spending current
// when the container is made, so that what one request's XPaths hold is
// bounded wherever it is held, not only where a size was foreseen.
using Spending = XPathSpending::State;
thread_local Spending* runningSpending = nullptr;

template <class T>
struct Held {
    using value_type = T;
    using propagate_on_container_move_assignment = std::true_type;
    using propagate_on_container_swap = std::true_type;
    Held() : spending(runningSpending) {}
    template <class U>
    Held(const Held<U>& other) : spending(other.spending) {}  // NOLINT: rebinding keeps the spending

    T* allocate(std::size_t n) {
        if (!spending) return std::allocator<T>().allocate(n);
        return static_cast<T*>(spending->allocate(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) {
        if (!spending) return std::allocator<T>().deallocate(p, n);
        spending->deallocate(p, n * sizeof(T));
    }
    Spending* spending;
};
template <class T, class U>
bool operator==(const Held<T>& a, const Held<U>& b) { return a.spending == b.spending; }
template <class T, class U>
bool operator!=(const Held<T>& a, const Held<U>& b) { return a.spending != b.spending; }

using NodeSet = std::vector<Node, Held<Node>>;
using Text = std::basic_string<char, std::char_traits<char>, Held<char>>;
struct TextHash {
    std::size_t operator()(const Text& text) const { return std::hash<std::string_view>()(text); }
};
// A set of node addresses in one table (open addressing, at most half
// full): a node-based set would take a separate block per member, about
// three times the bytes for the sets of a whole large document.
class NodeKeys {
public:
    bool insert(const void* key) {
        if (2 * (count_ + 1) > slots_.size()) grow();
        std::size_t at = slotOf(key);
        while (slots_[at]) {
            if (slots_[at] == key) return false;
            at = (at + 1) & (slots_.size() - 1);
        }
        slots_[at] = key;
        ++count_;
        return true;
    }
    bool contains(const void* key) const {
        if (slots_.empty()) return false;
        for (std::size_t at = slotOf(key); slots_[at]; at = (at + 1) & (slots_.size() - 1)) {
            if (slots_[at] == key) return true;
        }
        return false;
    }
    std::size_t size() const { return count_; }

private:
    std::size_t slotOf(const void* key) const {
        const std::uint64_t bits = reinterpret_cast<std::uintptr_t>(key) >> 3;
        return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    void grow() {
        std::vector<const void*, Held<const void*>> old(std::max<std::size_t>(16, 2 * slots_.size()), nullptr);
        old.swap(slots_);
        shift_ = 64;
        for (std::size_t size = slots_.size(); size > 1; size >>= 1) --shift_;
        count_ = 0;
        for (const void* key : old) {
            if (key) insert(key);
        }
    }

    std::vector<const void*, Held<const void*>> slots_;
    std::size_t count_ = 0;
    int shift_ = 64;  // 64 - log2 of the table's size: the hash's top bits pick the slot
};

// Text that is either a view into the tree or the query, or built here.
class Str {
public:
    Str() = default;
    explicit Str(std::string_view view) : view_(view) {}
    explicit Str(Text built) : built_(std::move(built)), owned_(true) {}
    std::string_view view() const { return owned_ ? std::string_view(built_) : view_; }
    std::string take() && { return std::string(view()); }

private:
    std::string_view view_;
    Text built_;
    bool owned_ = false;
};

// Space, tab, CR or LF, without a branch (normalize-space() asks it of every
// byte, in an order no branch foresees): bits 9, 10, 13 and 32 of a mask.
inline bool isBlank(char c) {
    constexpr std::uint64_t kBlanks = (1ull << ' ') | (1ull << '\t') | (1ull << '\r') | (1ull << '\n');
    const unsigned char b = static_cast<unsigned char>(c);
    return (b < 64) & static_cast<bool>((kBlanks >> (b & 63)) & 1);
}
bool isDigit(char c) { return c >= '0' && c <= '9'; }

double numberOf(std::string_view text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && isBlank(text[begin])) ++begin;
    while (end > begin && isBlank(text[end - 1])) --end;
    std::size_t i = begin;
    if (i < end && text[i] == '-') ++i;
    const std::size_t digitsFrom = i;
    while (i < end && isDigit(text[i])) ++i;
    bool digits = i > digitsFrom;
    if (i < end && text[i] == '.') {
        const std::size_t fractionFrom = ++i;
        while (i < end && isDigit(text[i])) ++i;
        digits = digits || i > fractionFrom;
    }
    if (!digits || i != end) return std::nan("");
    double value = 0;
    const std::from_chars_result read = std::from_chars(text.data() + begin, text.data() + end, value);
    if (read.ec == std::errc::result_out_of_range) {
        // Beyond the double range from_chars leaves the value as it was;
        // strtod, and so pugixml, gives infinity for a number of 1 or more
        // (the only ones that can overflow) and zero for a smaller one (the
        // only ones that can underflow), with the number's sign.
        const bool negative = text[begin] == '-';
        std::size_t whole = begin + (negative ? 1 : 0);
        while (whole < end && text[whole] == '0') ++whole;
        const bool atLeastOne = whole < end && isDigit(text[whole]);
        value = atLeastOne ? HUGE_VAL : 0.0;
        if (negative) value = -value;
    }
    return value;
}

// As pugixml prints a number: 16 significant digits at most, trailing zeros
// dropped, never an exponent. Written into a buffer of the longest there is
// (-1.8e308 takes 310 bytes, -4.9e-324 takes 327), then copied once.
constexpr std::size_t kLongestNumber = 344;  // '-', "0.", 323 zeros, 16 digits, with room
Text textOf(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
    if (value == 0) return "0";
    char scientific[40];
    const std::to_chars_result printed =
        std::to_chars(scientific, scientific + sizeof scientific, std::fabs(value), std::chars_format::scientific, 15);
    const std::string_view all(scientific, static_cast<std::size_t>(printed.ptr - scientific));
    const std::size_t e = all.find('e');
    char digits[20];
    std::size_t count = 0;
    digits[count++] = all[0];
    for (std::size_t i = 2; i < e; ++i) digits[count++] = all[i];
    while (count > 1 && digits[count - 1] == '0') --count;
    int exponent = 0;
    std::from_chars(all.data() + e + (all[e + 1] == '+' ? 2 : 1), all.data() + all.size(), exponent);
    exponent += 1;  // the value is 0.digits x 10^exponent
    char text[kLongestNumber];
    char* out = text;
    if (value < 0) *out++ = '-';
    std::size_t used = 0;
    if (exponent <= 0) {
        *out++ = '0';
    } else {
        used = std::min(count, static_cast<std::size_t>(exponent));
        std::memcpy(out, digits, used);
        out += used;
        std::memset(out, '0', static_cast<std::size_t>(exponent) - used);
        out += static_cast<std::size_t>(exponent) - used;
    }
    if (used < count) {
        *out++ = '.';
        if (exponent < 0) {
            std::memset(out, '0', static_cast<std::size_t>(-exponent));
            out += -exponent;
        }
        std::memcpy(out, digits + used, count - used);
        out += count - used;
    }
    return Text(text, static_cast<std::size_t>(out - text));
}

bool truthOf(double value) { return value != 0 && !std::isnan(value); }

// ---- the parsed XPath --------------------------------------------------------

enum class Type { NodeSet, String, Number, Boolean };

enum class Axis {
    Ancestor, AncestorOrSelf, Attribute, Child, Descendant, DescendantOrSelf, Following, FollowingSibling,
    Namespace, Parent, Preceding, PrecedingSibling, Self
};

enum class Test { Name, InPrefix, AnyName, AnyNode, Text, Comment, Instruction, NamedInstruction };

enum class Op {
    Literal, Number, Call, Negate, Or, And, Equal, NotEqual, Less, LessOrEqual, Greater, GreaterOrEqual,
    Add, Subtract, Multiply, Divide, Modulo, Union, Filter, Path
};

enum class Fn {
    Last, Position, Count, Id, LocalName, NamespaceUri, Name, String, Concat, StartsWith, Contains,
    SubstringBefore, SubstringAfter, Substring, StringLength, NormalizeSpace, Translate, Boolean, Not,
    True, False, Lang, Number, Sum, Floor, Ceiling, Round
};

struct Expr;
using ExprPtr = std::unique_ptr<Expr>;

// translate()'s map: each byte becomes mapped[byte], and is kept when
// kept[byte]. Made once when 'from' and 'to' are literals (the form callers
// write), else at each call, which pays for it.
struct TranslateTable {
    unsigned char mapped[256];
    unsigned char kept[256];
};

void makeTranslateTable(std::string_view from, std::string_view to, TranslateTable* table) {
    unsigned char seen[256] = {};
    for (int b = 0; b < 256; ++b) table->mapped[b] = static_cast<unsigned char>(b), table->kept[b] = 1;
    for (std::size_t i = 0; i < from.size(); ++i) {
        const unsigned char b = static_cast<unsigned char>(from[i]);
        if (seen[b]) continue;
        seen[b] = 1;
        if (i < to.size()) table->mapped[b] = static_cast<unsigned char>(to[i]);
        else table->kept[b] = 0;
    }
}

struct Predicate {
    ExprPtr expr;
    bool positional = false;  // depends on the position or size: a number, or position()/last() in it
};

struct Step {
    Axis axis = Axis::Child;
    Test test = Test::AnyNode;
    std::string name;  // the name, "prefix:" for InPrefix, the target for NamedInstruction
    std::vector<Predicate> predicates;
    bool positional = false;  // any predicate positional
};

enum class Start { Root, Context, Filter };

struct Expr {
    Op op = Op::Literal;
    Type type = Type::String;
    std::string text;  // Literal
    double number = 0;  // Number
    Fn fn = Fn::Last;  // Call
    std::vector<ExprPtr> args;  // operands, call arguments, the filtered expression, a path's filter
    std::vector<Predicate> predicates;  // Filter
    Start start = Start::Context;  // Path
    std::vector<Step> steps;  // Path
    std::unique_ptr<TranslateTable> table;  // translate() of literals
};

// Whether an expression reads the position or size of its context; paths
// and filters inside it have contexts of their own.
bool readsPosition(const Expr& e) {
    if (e.op == Op::Call && (e.fn == Fn::Position || e.fn == Fn::Last)) return true;
    if (e.op == Op::Path || e.op == Op::Filter) return false;
    for (const ExprPtr& arg : e.args) {
        if (readsPosition(*arg)) return true;
    }
    return false;
}

// ---- reading the text --------------------------------------------------------
// The text has been compiled by pugixml before it comes here, so it is an
// XPath that pugixml takes; tokens are cut as pugixml's lexer cuts them.

bool startsName(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || static_cast<unsigned char>(c) >= 0x80;
}
bool inName(char c) { return startsName(c) || isDigit(c) || c == '-' || c == '.'; }

enum class Tok {
    End, Name, Number, Literal, Slash, DoubleSlash, Dot, DoubleDot, At, Star, Comma, Pipe, Plus, Minus,
    Equal, NotEqual, Less, LessOrEqual, Greater, GreaterOrEqual, OpenBracket, CloseBracket, OpenParen,
    CloseParen, DoubleColon, Other
};

struct Token {
    Tok kind = Tok::End;
    std::string text;
};

class Parser {
public:
    explicit Parser(const char* text) : text_(text) { advance(); }

    ExprPtr parse() {
        ExprPtr e = parseBinary(1);
        if (current_.kind != Tok::End) fail();
        return e;
    }

    struct Malformed {};

private:
    [[noreturn]] void fail() { throw Malformed(); }

    Token lex() {
        while (isBlank(*text_)) ++text_;
        Token t;
        const char c = *text_;
        const char next = c ? text_[1] : '\0';
        auto one = [&](Tok kind, int length) {
            t.kind = kind;
            text_ += length;
            return t;
        };
        if (c == '\0') return one(Tok::End, 0);
        if (c == '/') return next == '/' ? one(Tok::DoubleSlash, 2) : one(Tok::Slash, 1);
        if (isDigit(c) || (c == '.' && isDigit(next))) {
            const char* end = text_;
            while (isDigit(*end)) ++end;
            if (*end == '.') {
                for (++end; isDigit(*end);) ++end;
            }
            t.kind = Tok::Number;
            t.text.assign(text_, end);
            text_ = end;
            return t;
        }
        if (c == '.') return next == '.' ? one(Tok::DoubleDot, 2) : one(Tok::Dot, 1);
        if (c == '\'' || c == '"') {
            const char* close = std::strchr(text_ + 1, c);
            if (!close) fail();
            t.kind = Tok::Literal;
            t.text.assign(text_ + 1, close);
            text_ = close + 1;
            return t;
        }
        if (c == '!' && next == '=') return one(Tok::NotEqual, 2);
        if (c == '<') return next == '=' ? one(Tok::LessOrEqual, 2) : one(Tok::Less, 1);
        if (c == '>') return next == '=' ? one(Tok::GreaterOrEqual, 2) : one(Tok::Greater, 1);
        if (c == ':' && next == ':') return one(Tok::DoubleColon, 2);
        if (startsName(c)) {
            const char* end = text_;
            while (inName(*end)) ++end;
            if (end[0] == ':' && end[1] == '*') {
                end += 2;
            } else if (end[0] == ':' && inName(end[1])) {
                for (++end; inName(*end);) ++end;
            }
            t.kind = Tok::Name;
            t.text.assign(text_, end);
            text_ = end;
            return t;
        }
        const char* singles = "=@*,|+-[]()";
        const Tok kinds[] = {Tok::Equal,        Tok::At,          Tok::Star,      Tok::Comma,
                             Tok::Pipe,         Tok::Plus,        Tok::Minus,     Tok::OpenBracket,
                             Tok::CloseBracket, Tok::OpenParen,   Tok::CloseParen};
        const char* found = std::strchr(singles, c);
        if (!found) fail();
        return one(kinds[found - singles], 1);
    }

    void advance() { current_ = lex(); }

    // What follows the current token, blanks skipped.
    char following() const {
        const char* p = text_;
        while (isBlank(*p)) ++p;
        return *p;
    }

    void expect(Tok kind) {
        if (current_.kind != kind) fail();
        advance();
    }

    static ExprPtr make(Op op, Type type) {
        ExprPtr e(new Expr);
        e->op = op;
        e->type = type;
        return e;
    }

    struct Binary {
        Op op;
        int precedence;
    };

    bool binaryOperator(Binary* b) const {
        switch (current_.kind) {
            case Tok::Pipe: *b = {Op::Union, 7}; return true;
            case Tok::Star: *b = {Op::Multiply, 6}; return true;
            case Tok::Plus: *b = {Op::Add, 5}; return true;
            case Tok::Minus: *b = {Op::Subtract, 5}; return true;
            case Tok::Less: *b = {Op::Less, 4}; return true;
            case Tok::LessOrEqual: *b = {Op::LessOrEqual, 4}; return true;
            case Tok::Greater: *b = {Op::Greater, 4}; return true;
            case Tok::GreaterOrEqual: *b = {Op::GreaterOrEqual, 4}; return true;
            case Tok::Equal: *b = {Op::Equal, 3}; return true;
            case Tok::NotEqual: *b = {Op::NotEqual, 3}; return true;
            case Tok::Name:
                if (current_.text == "div") *b = {Op::Divide, 6};
                else if (current_.text == "mod") *b = {Op::Modulo, 6};
                else if (current_.text == "and") *b = {Op::And, 2};
                else if (current_.text == "or") *b = {Op::Or, 1};
                else return false;
                return true;
            default: return false;
        }
    }

    static Type typeOf(Op op) {
        switch (op) {
            case Op::Union: return Type::NodeSet;
            case Op::Multiply: case Op::Divide: case Op::Modulo: case Op::Add: case Op::Subtract:
                return Type::Number;
            default: return Type::Boolean;
        }
    }

    // Operators of `minimum` precedence and above, left to right.
    ExprPtr parseBinary(int minimum) {
        ExprPtr left = parseUnary();
        Binary b;
        while (binaryOperator(&b) && b.precedence >= minimum) {
            advance();
            ExprPtr right = parseBinary(b.precedence + 1);
            ExprPtr e = make(b.op, typeOf(b.op));
            e->args.push_back(std::move(left));
            e->args.push_back(std::move(right));
            left = std::move(e);
        }
        return left;
    }

    ExprPtr parseUnary() {
        if (current_.kind != Tok::Minus) return parsePathExpression();
        advance();
        ExprPtr e = make(Op::Negate, Type::Number);
        e->args.push_back(parseUnaryUnion());
        return e;
    }

    // The operand of a unary minus: a union (or another minus).
    ExprPtr parseUnaryUnion() {
        ExprPtr left = parseUnary();
        while (current_.kind == Tok::Pipe) {
            advance();
            ExprPtr e = make(Op::Union, Type::NodeSet);
            e->args.push_back(std::move(left));
            e->args.push_back(parsePathExpression());
            left = std::move(e);
        }
        return left;
    }

    static bool isNodeType(const std::string& name) {
        return name == "node" || name == "text" || name == "comment" || name == "processing-instruction";
    }

    ExprPtr parsePathExpression() {
        const Tok k = current_.kind;
        const bool primary = k == Tok::OpenParen || k == Tok::Literal || k == Tok::Number ||
                             (k == Tok::Name && following() == '(' && !isNodeType(current_.text));
        if (!primary) return parseLocationPath();
        ExprPtr filter = parsePrimary();
        if (current_.kind == Tok::OpenBracket) {
            ExprPtr e = make(Op::Filter, Type::NodeSet);
            e->args.push_back(std::move(filter));
            while (current_.kind == Tok::OpenBracket) e->predicates.push_back(parsePredicate());
            filter = std::move(e);
        }
        if (current_.kind != Tok::Slash && current_.kind != Tok::DoubleSlash) return filter;
        ExprPtr path = make(Op::Path, Type::NodeSet);
        path->start = Start::Filter;
        path->args.push_back(std::move(filter));
        parseRelative(path.get());
        return path;
    }

    ExprPtr parseLocationPath() {
        ExprPtr path = make(Op::Path, Type::NodeSet);
        if (current_.kind == Tok::Slash) {
            path->start = Start::Root;
            advance();
            const Tok k = current_.kind;
            if (k == Tok::Name || k == Tok::Dot || k == Tok::DoubleDot || k == Tok::At || k == Tok::Star) {
                path->steps.push_back(parseStep());
                if (current_.kind == Tok::Slash || current_.kind == Tok::DoubleSlash) parseRelative(path.get());
            }
            return path;
        }
        if (current_.kind == Tok::DoubleSlash) {
            path->start = Start::Root;
            parseRelative(path.get());
            return path;
        }
        path->steps.push_back(parseStep());
        if (current_.kind == Tok::Slash || current_.kind == Tok::DoubleSlash) parseRelative(path.get());
        return path;
    }

    // ("/" | "//") Step, repeated.
    void parseRelative(Expr* path) {
        while (current_.kind == Tok::Slash || current_.kind == Tok::DoubleSlash) {
            if (current_.kind == Tok::DoubleSlash) {
                Step any;
                any.axis = Axis::DescendantOrSelf;
                any.test = Test::AnyNode;
                path->steps.push_back(std::move(any));
            }
            advance();
            path->steps.push_back(parseStep());
        }
    }

    static bool axisNamed(const std::string& name, Axis* axis) {
        static const std::pair<const char*, Axis> axes[] = {
            {"ancestor", Axis::Ancestor}, {"ancestor-or-self", Axis::AncestorOrSelf},
            {"attribute", Axis::Attribute}, {"child", Axis::Child}, {"descendant", Axis::Descendant},
            {"descendant-or-self", Axis::DescendantOrSelf}, {"following", Axis::Following},
            {"following-sibling", Axis::FollowingSibling}, {"namespace", Axis::Namespace},
            {"parent", Axis::Parent}, {"preceding", Axis::Preceding},
            {"preceding-sibling", Axis::PrecedingSibling}, {"self", Axis::Self}};
        for (const auto& a : axes) {
            if (name == a.first) {
                *axis = a.second;
                return true;
            }
        }
        return false;
    }

    Step parseStep() {
        Step step;
        if (current_.kind == Tok::Dot || current_.kind == Tok::DoubleDot) {
            step.axis = current_.kind == Tok::Dot ? Axis::Self : Axis::Parent;
            step.test = Test::AnyNode;
            advance();
            return step;
        }
        if (current_.kind == Tok::At) {
            step.axis = Axis::Attribute;
            advance();
        } else if (current_.kind == Tok::Name && following() == ':' ) {
            // "axis::", the "::" still ahead
            if (!axisNamed(current_.text, &step.axis)) fail();
            advance();
            expect(Tok::DoubleColon);
        }
        if (current_.kind == Tok::Star) {
            step.test = Test::AnyName;
            advance();
        } else if (current_.kind == Tok::Name) {
            const std::string name = current_.text;
            advance();
            if (current_.kind == Tok::OpenParen && isNodeType(name)) {
                advance();
                if (name == "processing-instruction" && current_.kind == Tok::Literal) {
                    step.test = Test::NamedInstruction;
                    step.name = current_.text;
                    advance();
                } else {
                    step.test = name == "node" ? Test::AnyNode
                                : name == "text" ? Test::Text
                                : name == "comment" ? Test::Comment
                                                     : Test::Instruction;
                }
                expect(Tok::CloseParen);
            } else if (name.size() > 2 && name.compare(name.size() - 2, 2, ":*") == 0) {
                step.test = Test::InPrefix;
                step.name = name.substr(0, name.size() - 1);
            } else {
                step.test = Test::Name;
                step.name = name;
            }
        } else {
            fail();
        }
        while (current_.kind == Tok::OpenBracket) {
            step.predicates.push_back(parsePredicate());
            step.positional = step.positional || step.predicates.back().positional;
        }
        return step;
    }

    Predicate parsePredicate() {
        expect(Tok::OpenBracket);
        Predicate p;
        p.expr = parseBinary(1);
        p.positional = p.expr->type == Type::Number || readsPosition(*p.expr);
        expect(Tok::CloseBracket);
        return p;
    }

    ExprPtr parsePrimary() {
        if (current_.kind == Tok::OpenParen) {
            advance();
            ExprPtr e = parseBinary(1);
            expect(Tok::CloseParen);
            return e;
        }
        if (current_.kind == Tok::Literal) {
            ExprPtr e = make(Op::Literal, Type::String);
            e->text = current_.text;
            advance();
            return e;
        }
        if (current_.kind == Tok::Number) {
            ExprPtr e = make(Op::Number, Type::Number);
            e->number = numberOf(current_.text);
            advance();
            return e;
        }
        const std::string name = current_.text;
        advance();
        expect(Tok::OpenParen);
        std::vector<ExprPtr> args;
        if (current_.kind != Tok::CloseParen) {
            args.push_back(parseBinary(1));
            while (current_.kind == Tok::Comma) {
                advance();
                args.push_back(parseBinary(1));
            }
        }
        expect(Tok::CloseParen);
        return call(name, std::move(args));
    }

    ExprPtr call(const std::string& name, std::vector<ExprPtr> args) {
        static const struct {
            const char* name;
            Fn fn;
            Type type;
        } functions[] = {
            {"last", Fn::Last, Type::Number}, {"position", Fn::Position, Type::Number},
            {"count", Fn::Count, Type::Number}, {"id", Fn::Id, Type::NodeSet},
            {"local-name", Fn::LocalName, Type::String}, {"namespace-uri", Fn::NamespaceUri, Type::String},
            {"name", Fn::Name, Type::String}, {"string", Fn::String, Type::String},
            {"concat", Fn::Concat, Type::String}, {"starts-with", Fn::StartsWith, Type::Boolean},
            {"contains", Fn::Contains, Type::Boolean}, {"substring-before", Fn::SubstringBefore, Type::String},
            {"substring-after", Fn::SubstringAfter, Type::String}, {"substring", Fn::Substring, Type::String},
            {"string-length", Fn::StringLength, Type::Number},
            {"normalize-space", Fn::NormalizeSpace, Type::String}, {"translate", Fn::Translate, Type::String},
            {"boolean", Fn::Boolean, Type::Boolean}, {"not", Fn::Not, Type::Boolean},
            {"true", Fn::True, Type::Boolean}, {"false", Fn::False, Type::Boolean},
            {"lang", Fn::Lang, Type::Boolean}, {"number", Fn::Number, Type::Number},
            {"sum", Fn::Sum, Type::Number}, {"floor", Fn::Floor, Type::Number},
            {"ceiling", Fn::Ceiling, Type::Number}, {"round", Fn::Round, Type::Number}};
        for (const auto& f : functions) {
            if (name == f.name) {
                ExprPtr e = make(Op::Call, f.type);
                e->fn = f.fn;
                e->args = std::move(args);
                return e;
            }
        }
        fail();
    }

    const char* text_;
    Token current_;
};

// "//" before a child step (or a self or descendant step) whose predicates do
// not read the position is one descendant step: the same nodes, one walk.
void shortenDescendantSteps(Expr* e) {
    for (ExprPtr& arg : e->args) shortenDescendantSteps(arg.get());
    for (Predicate& p : e->predicates) shortenDescendantSteps(p.expr.get());
    std::vector<Step> steps;
    for (Step& step : e->steps) {
        for (Predicate& p : step.predicates) shortenDescendantSteps(p.expr.get());
        const bool mergeable = step.axis == Axis::Child || step.axis == Axis::Self ||
                               step.axis == Axis::Descendant || step.axis == Axis::DescendantOrSelf;
        if (mergeable && !step.positional && !steps.empty() && steps.back().axis == Axis::DescendantOrSelf &&
            steps.back().test == Test::AnyNode && steps.back().predicates.empty()) {
            const bool downward = step.axis == Axis::Child || step.axis == Axis::Descendant;
            step.axis = downward ? Axis::Descendant : Axis::DescendantOrSelf;
            steps.back() = std::move(step);
        } else {
            steps.push_back(std::move(step));
        }
    }
    e->steps = std::move(steps);
}

// Makes translate()'s tables for literal arguments, and counts the nodes of
// the parsed XPath (expressions, steps and predicates): what evaluating it
// may chase through memory.
std::size_t prepareCalls(Expr* e) {
    std::size_t nodes = 1;
    for (ExprPtr& arg : e->args) nodes += prepareCalls(arg.get());
    for (Predicate& p : e->predicates) nodes += 1 + prepareCalls(p.expr.get());
    for (Step& step : e->steps) {
        ++nodes;
        for (Predicate& p : step.predicates) nodes += 1 + prepareCalls(p.expr.get());
    }
    if (e->op == Op::Call && e->fn == Fn::Translate && e->args.size() == 3 && e->args[1]->op == Op::Literal &&
        e->args[2]->op == Op::Literal) {
        e->table.reset(new TranslateTable);
        makeTranslateTable(e->args[1]->text, e->args[2]->text, e->table.get());
    }
    return nodes;
}

// ---- the tree ----------------------------------------------------------------

bool isXPathAttribute(const char* name) { return !isNamespaceDeclaration(name); }

// A name test: most names differ from the one wanted in their first byte;
// the rest are compared by the C library's strncmp, many bytes at a time.
// *compared (a running count) gets the bytes such a comparison may read, so
// that the caller charges them: a long name that shares a long start with
// the one wanted costs that start.
inline bool startsWith(const char* name, std::string_view prefix, std::size_t* compared) {
    if (prefix.empty()) return true;
    if (*name != prefix[0]) return false;
    *compared += prefix.size();
    return std::strncmp(name, prefix.data(), prefix.size()) == 0;
}

inline bool sameName(const char* name, std::string_view wanted, std::size_t* compared) {
    return startsWith(name, wanted, compared) && name[wanted.size()] == '\0';
}

// Inlined: every node of every walk is tested here.
[[gnu::always_inline]] inline bool passes(const Step& step, const pugi::xml_node& n, std::size_t* compared) {
    switch (step.test) {
        case Test::Name: return sameName(n.name(), step.name, compared) && n.type() == pugi::node_element;
        case Test::InPrefix: return startsWith(n.name(), step.name, compared) && n.type() == pugi::node_element;
        case Test::AnyName: return n.type() == pugi::node_element;
        case Test::AnyNode: return true;
        case Test::Text: {
            const pugi::xml_node_type type = n.type();
            return type == pugi::node_pcdata || type == pugi::node_cdata;
        }
        case Test::Comment: return n.type() == pugi::node_comment;
        case Test::Instruction: return n.type() == pugi::node_pi;
        case Test::NamedInstruction: return sameName(n.name(), step.name, compared) && n.type() == pugi::node_pi;
    }
    return false;
}

// Off the attribute axis (self, ancestor-or-self, descendant-or-self from an
// attribute) only node() takes an attribute.
bool passes(const Step& step, const pugi::xml_attribute& a, std::size_t* compared) {
    const char* name = a.name();
    if (step.axis != Axis::Attribute) return step.test == Test::AnyNode && isXPathAttribute(name);
    switch (step.test) {
        case Test::Name: return sameName(name, step.name, compared) && isXPathAttribute(name);
        case Test::InPrefix: return startsWith(name, step.name, compared) && isXPathAttribute(name);
        case Test::AnyName: case Test::AnyNode: return isXPathAttribute(name);
        default: return false;
    }
}

// Visits the descendants of `top` in document order until the visit answers
// false, with pugixml's own walk: one call a node where stepping from node to
// node through the library takes several.
template <class Visit>
class SubtreeWalk : public pugi::xml_tree_walker {
public:
    explicit SubtreeWalk(const Visit& visit) : visit_(visit) {}
    bool for_each(pugi::xml_node& n) override { return visit_(n); }

private:
    const Visit& visit_;
};

template <class Visit>
void eachDescendant(pugi::xml_node top, const Visit& visit) {
    SubtreeWalk<Visit> walk(visit);
    top.traverse(walk);
}

const char* localNameOf(const char* name) {
    const char* colon = std::strchr(name, ':');
    return colon ? colon + 1 : name;
}

// ---- evaluation --------------------------------------------------------------

struct Context {
    Node node;
    std::size_t position = 1;
    std::size_t size = 1;
};

// What a caller needs of a node-set: all of it, or its first node in document order.
enum class Want { All, First };

class Evaluator {
public:
    Evaluator(Spending* spending, std::uint64_t opWeight) : spending_(*spending), opWeight_(opWeight) {}

    void charge(std::uint64_t units) { spending_.charge(units); }

    NodeSet nodeSet(const Expr& e, const Context& c, Want want);
    Str string(const Expr& e, const Context& c);
    double number(const Expr& e, const Context& c);
    bool boolean(const Expr& e, const Context& c);

private:
    // The units of work, each about 5 ns on the worst input found for what
    // it pays (corvane-bench-xpath --only calibration measures every one):
    // one for each operator, function or test evaluated, kVisit for each
    // node reached in a walk (what costs the most time on a large tree: a
    // cache miss each), and the byte weights below.
    static constexpr std::uint64_t kVisit = 8;
    // An attribute looked at outside a walk: its record and its name are
    // apart from the element's, two more reads from memory.
    static constexpr std::uint64_t kAttribute = 2;
    // A move from a node to its parent, child or sibling on the way to the
    // nodes an axis hands on: a pointer or two followed, no test made.
    static constexpr std::uint64_t kMove = 1;
    // An element climbed by lang() or namespace-uri(): its parent and the
    // start of its attributes, two calls into the library.
    static constexpr std::uint64_t kClimb = 2;
    // namespace-uri()'s tables of answers: a look-up, most often a cache
    // miss, and an answer recorded, which allocates. A prefix met for the
    // first time makes a table of its own: the prefix copied, a node of the
    // map of prefixes allocated, and that map grown now and then.
    static constexpr std::uint64_t kLookUp = 4;
    static constexpr std::uint64_t kRecord = 8;
    static constexpr std::uint64_t kNewPrefix = 128;
    // translate()'s table made at a call whose 'from' or 'to' is not a
    // literal: 768 bytes cleared and a 256-step loop.
    static constexpr std::uint64_t kTranslateTable = 40;
    // Two node-sets merged by a union: the set that holds both allocated.
    static constexpr std::uint64_t kMerge = 16;
    // A string built by a function (concat(), substring() and the others
    // that cut or map): its arguments' values moved in and out, its result
    // made, whatever their length. concat() pays it once more for the list
    // of its parts.
    static constexpr std::uint64_t kBuild = 4;
    // A number read from a string, however short: the blanks trimmed, the
    // form checked, then from_chars.
    static constexpr std::uint64_t kReadNumber = 2;
    // A node's string value fetched: its type, its value and, for an
    // element, whether it has children, each a call into the library.
    static constexpr std::uint64_t kValue = 3;

    // Every step from node to node that an axis takes goes through these,
    // and is charged: the preceding and following axes pass up to the depth
    // of the tree for each node they hand on, and a predicate that needs
    // one such node would otherwise pay for that node alone. (The walks of a
    // whole subtree through pugixml's traverse are charged per node handed
    // on instead: each node is entered once and left once.)
    pugi::xml_node parentOf(const pugi::xml_node& n) { return charge(kMove), n.parent(); }
    pugi::xml_node firstChildOf(const pugi::xml_node& n) { return charge(kMove), n.first_child(); }
    pugi::xml_node lastChildOf(const pugi::xml_node& n) { return charge(kMove), n.last_child(); }
    pugi::xml_node nextSiblingOf(const pugi::xml_node& n) { return charge(kMove), n.next_sibling(); }
    pugi::xml_node previousSiblingOf(const pugi::xml_node& n) { return charge(kMove), n.previous_sibling(); }
    pugi::xml_attribute nextAttributeOf(const pugi::xml_attribute& a) { return charge(kMove), a.next_attribute(); }
    // The next node in document order after n and its subtree.
    pugi::xml_node nextAfterSubtree(pugi::xml_node n) {
        for (; n; n = parentOf(n)) {
            if (pugi::xml_node s = nextSiblingOf(n)) return s;
        }
        return pugi::xml_node();
    }
    // The next node in document order, descending first.
    pugi::xml_node nextInDocument(const pugi::xml_node& n) {
        if (pugi::xml_node c = firstChildOf(n)) return c;
        return nextAfterSubtree(n);
    }
    // Bytes read, compared, copied or scanned many at a time (memcpy,
    // memcmp, memchr, strncmp): one unit each 32.
    static constexpr std::size_t kBulkBytes = 32;
    // Bytes looked at one by one, each with a branch or a table read
    // (translate(), normalize-space(), numbers read, lang(), a prefix
    // hashed): one unit each kByteBytes.
    static constexpr std::size_t kByteBytes = 3;
    // A place a search tries: a memchr call that stops there and the
    // pattern's last byte looked at (and up to kBulkBytes more compared).
    // On ordinary text, where the pattern's first byte stands every dozen
    // bytes or so, each place is a call of its own: about 12 ns.
    static constexpr std::uint64_t kSearchPlace = 3;
    // A number printed: the digits found by to_chars, then written out
    // (and one unit each kBulkBytes of them).
    static constexpr std::uint64_t kPrint = 28;

    void chargeBytes(std::size_t bytes) { charge(1 + bytes / kBulkBytes); }
    // An operator, function, literal or path of the XPath evaluated.
    void chargeOp() { charge(opWeight_); }
    // Bytes read or compared by a test or function already charged as a
    // visit or an operation.
    void chargeRead(std::size_t bytes) {
        if (bytes >= kBulkBytes) charge(bytes / kBulkBytes);
    }
    // Bytes looked at one by one.
    void chargeEachByte(std::size_t bytes) {
        if (bytes >= kByteBytes) charge(bytes / kByteBytes);
    }
    bool passesCharged(const Step& step, const Node& n) {
        std::size_t compared = 0;
        const bool passed = n.attr ? passes(step, n.attribute(), &compared) : passes(step, n.node, &compared);
        chargeRead(compared);
        return passed;
    }
    const char* namespaceUri(const Node& n);

    Str stringValue(const Node& n);
    double toNumber(std::string_view text) {
        charge(kReadNumber);
        chargeEachByte(text.size());
        return numberOf(text);
    }
    double numberValue(const Node& n) { return toNumber(stringValue(n).view()); }
    bool sameText(std::string_view a, std::string_view b) {
        if (a.size() != b.size()) return false;
        chargeRead(a.size());
        return a == b;
    }
    bool lang(const Node& n, std::string_view wanted);
    std::size_t find(std::string_view text, std::string_view pattern);
    bool sameValue(const Node& a, const Node& b) { return sameText(stringValue(a).view(), stringValue(b).view()); }
    bool nodeSetsCompare(Op op, const Expr& l, const Expr& r, const Context& c);
    void sortUnique(NodeSet* set);
    bool before(const Node& a, const Node& b);

    NodeSet path(const Expr& e, const Context& c, std::size_t steps, Want want);
    NodeSet step(const Node* from, std::size_t count, const Step& step, Want want);
    void descendantsOfSorted(const Node* from, std::size_t count, const Step& step, Want want, NodeSet* out);
    template <class Visit>
    void eachNode(const Expr& e, const Context& c, const Visit& visit);
    template <class Visit>
    void eachKept(const Node& from, const Step& s, const Visit& visit);
    bool endsWalk(const Step& step, const Node& n) const;
    template <class Visit>
    void walkAxis(const Node& from, Axis axis, const Visit& visit);
    bool keeps(const Step& step, const Node& n);
    void filter(NodeSet* set, const Predicate& p);
    bool predicateHolds(const Predicate& p, const Context& c);
    Str call(const Expr& e, const Context& c);
    double callNumber(const Expr& e, const Context& c);
    bool callBoolean(const Expr& e, const Context& c);
    bool compare(const Expr& e, const Context& c);
    Node firstOf(const Expr& arg, const Context& c, bool* found);

    Spending& spending_;
    // What evaluating one node of the XPath costs: 1, or more for an XPath
    // too large to stay in the cache, where each node is a pointer chased
    // to memory (kLargeNodeWeight).
    std::uint64_t opWeight_;
    // namespace-uri() answers per prefix, for elements this far up and more
    static constexpr std::size_t kClimbUnrecorded = 8;
    using Known = std::unordered_map<const void*, const char*, std::hash<const void*>, std::equal_to<const void*>,
                                     Held<std::pair<const void* const, const char*>>>;
    std::unordered_map<Text, Known, TextHash, std::equal_to<Text>, Held<std::pair<const Text, Known>>>
        namespacesKnown_;
    std::vector<const void*, Held<const void*>> climbed_;
};

// ---- conversions ---------------------------------------------------------------

Str Evaluator::stringValue(const Node& n) {
    charge(kValue);
    if (n.attr) {
        Str s(std::string_view(n.attribute().value()));
        chargeBytes(s.view().size());
        return s;
    }
    switch (n.node.type()) {
        case pugi::node_pcdata: case pugi::node_cdata: case pugi::node_comment: case pugi::node_pi: {
            Str s(std::string_view(n.node.value()));
            chargeBytes(s.view().size());
            return s;
        }
        case pugi::node_element: case pugi::node_document: {
            std::string_view only(n.node.value());
            // Most elements a test meets have no children: no walk for those.
            if (!n.node.first_child()) return Str(only);
            Text built;
            int pieces = only.empty() ? 0 : 1;
            eachDescendant(n.node, [&](const pugi::xml_node& d) {
                charge(kVisit);
                const pugi::xml_node_type type = d.type();
                if (type != pugi::node_pcdata && type != pugi::node_cdata) return true;
                const std::string_view piece(d.value());
                chargeBytes(piece.size());
                if (pieces++ == 0) {
                    only = piece;
                } else {
                    if (pieces == 2) built.assign(only.data(), only.size());
                    built.append(piece.data(), piece.size());
                }
                return true;
            });
            return pieces > 1 ? Str(std::move(built)) : Str(only);
        }
        default: return Str();
    }
}

Str Evaluator::string(const Expr& e, const Context& c) {
    switch (e.type) {
        case Type::String:
            if (e.op == Op::Literal) {
                // Read by whatever uses it, each time: a long literal
                // tested at every node costs its length at every node.
                charge(opWeight_ + e.text.size() / kBulkBytes);
                return Str(std::string_view(e.text));
            }
            return call(e, c);
        case Type::Number: {
            Str text(textOf(number(e, c)));
            charge(kPrint);
            chargeRead(text.view().size());
            return text;
        }
        case Type::Boolean: return Str(std::string_view(boolean(e, c) ? "true" : "false"));
        case Type::NodeSet: {
            const NodeSet set = nodeSet(e, c, Want::First);
            return set.empty() ? Str() : stringValue(set.front());
        }
    }
    return Str();
}

double Evaluator::number(const Expr& e, const Context& c) {
    switch (e.type) {
        case Type::Number: break;
        case Type::String: return toNumber(string(e, c).view());
        case Type::Boolean: return boolean(e, c) ? 1 : 0;
        case Type::NodeSet: return toNumber(string(e, c).view());
    }
    chargeOp();
    switch (e.op) {
        case Op::Number: return e.number;
        case Op::Negate: return -number(*e.args[0], c);
        case Op::Add: return number(*e.args[0], c) + number(*e.args[1], c);
        case Op::Subtract: return number(*e.args[0], c) - number(*e.args[1], c);
        case Op::Multiply: return number(*e.args[0], c) * number(*e.args[1], c);
        case Op::Divide: return number(*e.args[0], c) / number(*e.args[1], c);
        case Op::Modulo: return std::fmod(number(*e.args[0], c), number(*e.args[1], c));
        case Op::Call: return callNumber(e, c);
        default: return std::nan("");
    }
}

bool Evaluator::boolean(const Expr& e, const Context& c) {
    switch (e.type) {
        case Type::Boolean: break;
        case Type::Number: return truthOf(number(e, c));
        case Type::String: return !string(e, c).view().empty();
        case Type::NodeSet: {
            bool any = false;
            eachNode(e, c, [&any](const Node&) { return !(any = true); });
            return any;
        }
    }
    chargeOp();
    switch (e.op) {
        case Op::Or: return boolean(*e.args[0], c) || boolean(*e.args[1], c);
        case Op::And: return boolean(*e.args[0], c) && boolean(*e.args[1], c);
        case Op::Call: return callBoolean(e, c);
        default: return compare(e, c);
    }
}

// ---- comparisons ---------------------------------------------------------------

template <class T>
bool holds(Op op, const T& l, const T& r) {
    switch (op) {
        case Op::Equal: return l == r;
        case Op::NotEqual: return l != r;
        case Op::Less: return l < r;
        case Op::LessOrEqual: return l <= r;
        case Op::Greater: return l > r;
        case Op::GreaterOrEqual: return l >= r;
        default: return false;
    }
}

Op mirrored(Op op) {
    switch (op) {
        case Op::Less: return Op::Greater;
        case Op::LessOrEqual: return Op::GreaterOrEqual;
        case Op::Greater: return Op::Less;
        case Op::GreaterOrEqual: return Op::LessOrEqual;
        default: return op;
    }
}

// A comparison pays one unit beside the operator's: its operands converted
// to the type compared (strings held while they are compared).
bool Evaluator::compare(const Expr& e, const Context& c) {
    chargeOp();
    const Expr* l = e.args[0].get();
    const Expr* r = e.args[1].get();
    Op op = e.op;
    const bool equality = op == Op::Equal || op == Op::NotEqual;
    if (l->type != Type::NodeSet && r->type != Type::NodeSet) {
        if (!equality) return holds(op, number(*l, c), number(*r, c));
        if (l->type == Type::Boolean || r->type == Type::Boolean) return holds(op, boolean(*l, c), boolean(*r, c));
        if (l->type == Type::Number || r->type == Type::Number) return holds(op, number(*l, c), number(*r, c));
        const Str left = string(*l, c);
        const Str right = string(*r, c);
        return sameText(left.view(), right.view()) == (op == Op::Equal);
    }
    if (l->type == Type::NodeSet && r->type == Type::NodeSet) return nodeSetsCompare(op, *l, *r, c);
    // One node-set: put it on the right.
    if (l->type == Type::NodeSet) {
        std::swap(l, r);
        op = mirrored(op);
    }
    if (equality && l->type == Type::Boolean) return holds(op, boolean(*l, c), boolean(*r, c));
    if (equality && l->type == Type::String) {
        const Str value = string(*l, c);
        bool found = false;
        eachNode(*r, c, [&](const Node& n) {
            return !(found = sameText(value.view(), stringValue(n).view()) == (op == Op::Equal));
        });
        return found;
    }
    const double value = number(*l, c);
    bool found = false;
    eachNode(*r, c, [&](const Node& n) { return !(found = holds(op, value, numberValue(n))); });
    return found;
}

// A hash of a string value that costs the same whatever its length: its
// length, and 32 bytes from its start, middle and end. Values that share
// all of these are compared whole, and each comparison is charged.
std::size_t sampleHash(std::string_view value) {
    constexpr std::size_t kPiece = 32;
    if (value.size() <= 3 * kPiece) return std::hash<std::string_view>()(value);
    char sample[3 * kPiece + sizeof(std::size_t)];
    const std::size_t size = value.size();
    std::memcpy(sample, value.data(), kPiece);
    std::memcpy(sample + kPiece, value.data() + (size - kPiece) / 2, kPiece);
    std::memcpy(sample + 2 * kPiece, value.data() + size - kPiece, kPiece);
    std::memcpy(sample + 3 * kPiece, &size, sizeof size);
    return std::hash<std::string_view>()(std::string_view(sample, sizeof sample));
}

// Two node-sets. Each string value is built, used and dropped in turn, as
// pugixml compares them: holding them all would take many times the
// document when the sets overlap (//e = //e over nested elements holds each
// text once for every element above it).
bool Evaluator::nodeSetsCompare(Op op, const Expr& l, const Expr& r, const Context& c) {
    if (op == Op::Equal) {
        // Each set is walked once and its nodes kept (as pugixml keeps both
        // sets); their string values are built one at a time below.
        NodeSet leftNodes, rightNodes;
        eachNode(l, c, [&](const Node& n) { return leftNodes.push_back(n), true; });
        if (leftNodes.empty()) return false;
        // A node in both sets has the same value on both sides, whatever it
        // costs to build (//e = //e over nested elements is true at once,
        // as it is for pugixml, which compares the first pair first).
        // Each insert and look-up of that table is charged: on a large set
        // most are cache misses.
        bool shared = false;
        {
            NodeKeys leftKeys;
            charge(leftNodes.size() * kLookUp);
            for (const Node& n : leftNodes) leftKeys.insert(n.key());
            eachNode(r, c, [&](const Node& n) {
                charge(kLookUp);
                rightNodes.push_back(n);
                return !(shared = leftKeys.contains(n.key()));
            });
        }
        if (shared || rightNodes.empty()) return shared;
        // The hash of each left value, then each right value looked up:
        // only values of the same hash are compared.
        struct Entry {
            std::size_t hash;
            Node node;
            bool operator<(const Entry& other) const { return hash < other.hash; }
        };
        std::vector<Entry, Held<Entry>> left;
        left.reserve(leftNodes.size());
        for (const Node& n : leftNodes) left.push_back(Entry{sampleHash(stringValue(n).view()), n});
        NodeSet().swap(leftNodes);
        // The sort compares about n log n pairs of entries, and each look-up
        // below log n, most of them cache misses on a large set; each value
        // hashed is charged too, beside its bytes.
        const std::uint64_t levels = 1 + static_cast<std::uint64_t>(std::log2(static_cast<double>(left.size()) + 1));
        charge(left.size() * (levels + kLookUp));
        std::sort(left.begin(), left.end());
        for (const Node& n : rightNodes) {
            const Str value = stringValue(n);
            const Entry wanted{sampleHash(value.view()), Node()};
            charge(2 * levels + kLookUp);
            for (auto at = std::lower_bound(left.begin(), left.end(), wanted); at != left.end() && at->hash == wanted.hash;
                 ++at) {
                charge(1);
                if (sameText(value.view(), stringValue(at->node).view())) return true;
            }
        }
        return false;
    }
    if (op == Op::NotEqual) {
        // Some pair differs unless both sets hold one and the same value.
        struct Values {
            Node first;
            bool any = false, several = false;
        };
        auto survey = [&](const Expr& set, Values* values) {
            Str firstValue;
            eachNode(set, c, [&](const Node& n) {
                if (!values->any) {
                    values->first = n;
                    values->any = true;
                    firstValue = stringValue(n);
                    return true;
                }
                values->several = !sameText(firstValue.view(), stringValue(n).view());
                return !values->several;
            });
        };
        Values left, right;
        survey(l, &left);
        if (!left.any) return false;
        survey(r, &right);
        if (!right.any) return false;
        return left.several || right.several || !sameValue(left.first, right.first);
    }
    // Some pair holds exactly when the smallest and the largest do.
    auto extremes = [this, &c](const Expr& set, double* low, double* high) {
        bool any = false;
        eachNode(set, c, [&](const Node& n) {
            const double v = numberValue(n);
            if (std::isnan(v)) return true;
            if (!any || v < *low) *low = v;
            if (!any || v > *high) *high = v;
            return any = true;
        });
        return any;
    };
    double lLow = 0, lHigh = 0, rLow = 0, rHigh = 0;
    if (!extremes(l, &lLow, &lHigh) || !extremes(r, &rLow, &rHigh)) return false;
    return op == Op::Less || op == Op::LessOrEqual ? holds(op, lLow, rHigh) : holds(op, lHigh, rLow);
}

// ---- functions -----------------------------------------------------------------

// The xmlns:prefix (or xmlns) attribute nearest to the node, on it or an
// ancestor. The answer for an element far from the node is kept, so that a
// deep tree is not climbed again for every node in it.
const char* Evaluator::namespaceUri(const Node& n) {
    const char* name = n.attr ? n.attribute().name() : n.node.name();
    const char* colon = std::strchr(name, ':');
    chargeRead(colon ? static_cast<std::size_t>(colon - name) : std::strlen(name));
    if (n.attr && !colon) return "";  // the default namespace is not an attribute's
    const std::string_view prefix(name, colon ? static_cast<std::size_t>(colon - name) : 0);
    // The prefix copied and hashed to find its table.
    charge(kLookUp);
    chargeEachByte(prefix.size());
    const auto entry = namespacesKnown_.try_emplace(Text(prefix));
    if (entry.second) charge(kNewPrefix);
    Known& known = entry.first->second;
    climbed_.clear();
    const char* found = nullptr;
    std::size_t height = 0;
    for (pugi::xml_node p = n.node; p && !found; p = p.parent(), ++height) {
        charge(kClimb);
        if (height >= kClimbUnrecorded) {
            charge(kLookUp);
            const auto at = known.find(p.internal_object());
            if (at != known.end()) {
                found = at->second;
                break;
            }
            climbed_.push_back(p.internal_object());
        }
        for (pugi::xml_attribute a = p.first_attribute(); a; a = a.next_attribute()) {
            charge(kAttribute);
            const char* declared = a.name();
            if (!isNamespaceDeclaration(declared)) continue;
            bool same = declared[5] == '\0';
            if (colon && declared[5] == ':') {
                std::size_t compared = 0;
                same = sameName(declared + 6, prefix, &compared);
                chargeRead(compared);
            } else if (colon) {
                same = false;
            }
            if (same) {
                found = a.value();
                break;
            }
        }
    }
    if (!found) found = "";
    charge(climbed_.size() * kRecord);
    for (const void* p : climbed_) known.emplace(p, found);
    return found;
}

Node Evaluator::firstOf(const Expr& arg, const Context& c, bool* found) {
    const NodeSet set = nodeSet(arg, c, Want::First);
    *found = !set.empty();
    return set.empty() ? Node() : set.front();
}

// A function call costs two units beside what its arguments and its work
// cost: the call dispatched, then the function's own switch; one that
// answers a string, a third for the string handed back (a view or a string
// of its own, moved out).
Str Evaluator::call(const Expr& e, const Context& c) {
    charge(3 * opWeight_);
    switch (e.fn) {
        case Fn::Concat: charge(2 * kBuild); break;
        case Fn::SubstringBefore: case Fn::SubstringAfter: case Fn::Substring: case Fn::NormalizeSpace:
        case Fn::Translate: charge(kBuild); break;
        default: break;
    }
    auto arg = [&](std::size_t i) { return string(*e.args[i], c); };
    auto measured = [&](Str s) {
        chargeBytes(s.view().size());
        return s;
    };
    switch (e.fn) {
        case Fn::LocalName: case Fn::Name: case Fn::NamespaceUri: {
            Node n = c.node;
            bool found = true;
            if (!e.args.empty()) n = firstOf(*e.args[0], c, &found);
            if (!found) return Str();
            if (e.fn == Fn::NamespaceUri) return measured(Str(std::string_view(namespaceUri(n))));
            charge(kAttribute);  // the name fetched from the library
            const std::string_view name(n.attr ? n.attribute().name() : n.node.name());
            chargeRead(name.size());
            return Str(e.fn == Fn::Name ? name : std::string_view(localNameOf(name.data())));
        }
        case Fn::String:
            return e.args.empty() ? stringValue(c.node) : string(*e.args[0], c);
        case Fn::Concat: {
            // The parts first (most are views into the tree or the query),
            // then the whole at its size: growing it by doubling would hold
            // up to three times the result at once.
            std::vector<Str, Held<Str>> parts;
            parts.reserve(e.args.size());
            std::size_t length = 0;
            for (std::size_t i = 0; i < e.args.size(); ++i) {
                parts.push_back(arg(i));
                length += parts.back().view().size();
                chargeBytes(parts.back().view().size());
            }
            Text joined;
            joined.reserve(length);
            for (const Str& part : parts) joined.append(part.view().data(), part.view().size());
            return Str(std::move(joined));
        }
        case Fn::SubstringBefore: case Fn::SubstringAfter: {
            Str s = arg(0);
            const Str p = arg(1);
            const std::size_t at = find(s.view(), p.view());
            if (at == std::string_view::npos) return Str();
            std::string_view part = e.fn == Fn::SubstringBefore ? s.view().substr(0, at)
                                                                 : s.view().substr(at + p.view().size());
            chargeBytes(part.size());
            return Str(Text(part));
        }
        case Fn::Substring: {
            const Str s = arg(0);
            const std::string_view text = s.view();
            const double length = static_cast<double>(text.size());
            const double first = std::floor(number(*e.args[1], c) + 0.5);
            double last = length + 1;
            if (e.args.size() == 3) last = first + std::floor(number(*e.args[2], c) + 0.5);
            if (std::isnan(first) || std::isnan(last) || first >= length + 1 || first >= last || last < 1) return Str();
            const std::size_t from = first < 1 ? 1 : static_cast<std::size_t>(first);
            const std::size_t to = last >= length + 1 ? text.size() + 1 : static_cast<std::size_t>(last);
            chargeBytes(to - from);
            return Str(Text(text.substr(from - 1, to - from)));
        }
        case Fn::NormalizeSpace: {
            const Str s = e.args.empty() ? stringValue(c.node) : arg(0);
            const std::string_view text = s.view();
            chargeEachByte(text.size());
            // Without a branch on the bytes: a blank is written past what
            // is kept, then the byte either after that blank (when blanks
            // stand between it and an earlier byte kept) or over it; the
            // byte is kept unless it is a blank itself. The result is never
            // longer than the text, and no write lands more than one byte
            // past what is kept.
            Text out(text.size() + 1, '\0');
            char* const begin = &out[0];
            char* at = begin;
            unsigned pending = 0;  // blanks passed since a byte was kept
            unsigned started = 0;  // a byte kept
            for (const char ch : text) {
                const unsigned kept = !isBlank(ch);
                const unsigned spaced = pending & kept;
                at[0] = ' ';
                at[spaced] = ch;
                at += spaced + kept;
                started |= kept;
                pending = started & !kept;
            }
            out.resize(static_cast<std::size_t>(at - begin));
            return Str(std::move(out));
        }
        case Fn::Translate: {
            // Bytes, as pugixml maps them: each byte of 'from' (its first
            // occurrence) to the byte at the same place in 'to', or to
            // nothing past the end of 'to'. One table, so that the cost is
            // the lengths added, not multiplied.
            const Str s = arg(0), from = arg(1), to = arg(2);
            const std::string_view text = s.view(), fromText = from.view(), toText = to.view();
            chargeEachByte(text.size() + fromText.size());
            chargeRead(toText.size());
            // Each byte becomes mapped[byte], kept when kept[byte]: written
            // always, counted only when kept, so that no branch depends on
            // the text.
            TranslateTable made;
            const TranslateTable* table = e.table.get();
            if (!table) {
                charge(kTranslateTable);
                makeTranslateTable(fromText, toText, &made);
                table = &made;
            }
            const unsigned char* const mapped = table->mapped;
            const unsigned char* const kept = table->kept;
            Text out(text.size() + 1, '\0');
            char* const begin = &out[0];
            char* at = begin;
            for (const char ch : text) {
                const unsigned char b = static_cast<unsigned char>(ch);
                *at = static_cast<char>(mapped[b]);
                at += kept[b];
            }
            out.resize(static_cast<std::size_t>(at - begin));
            return Str(std::move(out));
        }
        default: return Str();
    }
}

// The bytes that a and b have in common from their start, at most `length`,
// compared eight at a time.
std::size_t commonPrefix(const char* a, const char* b, std::size_t length) {
    std::size_t same = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    for (; same + 8 <= length; same += 8) {
        std::uint64_t x, y;
        std::memcpy(&x, a + same, 8);
        std::memcpy(&y, b + same, 8);
        if (x != y) return same + static_cast<std::size_t>(__builtin_ctzll(x ^ y) >> 3);
    }
#endif
    while (same < length && a[same] == b[same]) ++same;
    return same;
}

// Where `pattern` first stands in `text`, by a search that counts what it
// does as it goes: memchr finds each place where the pattern's first byte
// stands (many bytes at a time), its last byte is looked at there, and
// when that matches too the bytes between are compared. On ordinary text
// few places pass the first byte, so that a search costs about what memchr
// reads; on a run of the first byte every place does, and each one is
// charged. (glibc's memmem needs no more than linear time, but what that
// time is depends on the text: a quarter of a ns a byte on prose, fourteen
// times that on a run of one byte with a pattern that almost matches.
// Charging its worst case would overcharge every ordinary search as much.)
std::size_t Evaluator::find(std::string_view text, std::string_view pattern) {
    charge(1);
    const std::size_t length = pattern.size();
    if (length == 0) return 0;
    if (length > text.size()) return std::string_view::npos;
    const char first = pattern[0], lastByte = pattern[length - 1];
    const char* const begin = text.data();
    const char* const end = begin + (text.size() - length) + 1;  // past the last place a match may start
    for (const char* from = begin; from < end;) {
        const char* place = static_cast<const char*>(std::memchr(from, first, static_cast<std::size_t>(end - from)));
        if (!place) {
            chargeRead(static_cast<std::size_t>(end - from));
            return std::string_view::npos;
        }
        std::size_t compared = 0;
        bool found = place[length - 1] == lastByte;
        if (found && length > 2) {
            compared = commonPrefix(place + 1, pattern.data() + 1, length - 2);
            found = compared == length - 2;
        }
        charge(kSearchPlace + (static_cast<std::size_t>(place - from) + compared) / kBulkBytes);
        if (found) return static_cast<std::size_t>(place - begin);
        from = place + 1;
    }
    return std::string_view::npos;
}

// The nearest xml:lang on the node or an element above it (its first
// occurrence there) names `wanted` or a sublanguage of it. Every attribute
// looked at is charged: an element may carry a great many.
bool Evaluator::lang(const Node& from, std::string_view wanted) {
    for (pugi::xml_node n = from.node; n; n = n.parent()) {
        charge(kClimb);
        for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute()) {
            charge(kAttribute);
            if (std::strcmp(a.name(), "xml:lang") != 0) continue;
            chargeEachByte(wanted.size());
            const char* value = a.value();
            for (const char ch : wanted) {
                auto lower = [](char x) { return x >= 'A' && x <= 'Z' ? static_cast<char>(x - 'A' + 'a') : x; };
                if (*value == '\0' || lower(ch) != lower(*value)) return false;
                ++value;
            }
            return *value == '\0' || *value == '-';
        }
    }
    return false;
}

double Evaluator::callNumber(const Expr& e, const Context& c) {
    chargeOp();  // the second of a call's two units (number() charged the first)
    switch (e.fn) {
        case Fn::Last: return static_cast<double>(c.size);
        case Fn::Position: return static_cast<double>(c.position);
        case Fn::Count: {
            std::size_t count = 0;
            eachNode(*e.args[0], c, [&count](const Node&) { return ++count, true; });
            return static_cast<double>(count);
        }
        case Fn::StringLength:
            return static_cast<double>((e.args.empty() ? stringValue(c.node) : string(*e.args[0], c)).view().size());
        case Fn::Number: return e.args.empty() ? numberValue(c.node) : number(*e.args[0], c);
        case Fn::Sum: {
            double sum = 0;
            eachNode(*e.args[0], c, [&](const Node& n) { return sum += numberValue(n), true; });
            return sum;
        }
        case Fn::Floor: return std::floor(number(*e.args[0], c));
        case Fn::Ceiling: return std::ceil(number(*e.args[0], c));
        case Fn::Round: {
            const double v = number(*e.args[0], c);
            return v >= -0.5 && v <= 0 ? std::ceil(v) : std::floor(v + 0.5);
        }
        default: return std::nan("");
    }
}

bool Evaluator::callBoolean(const Expr& e, const Context& c) {
    chargeOp();  // the second of a call's two units (boolean() charged the first)
    switch (e.fn) {
        case Fn::StartsWith: case Fn::Contains: {
            chargeOp();  // two strings held while they are compared
            const Str s = string(*e.args[0], c), p = string(*e.args[1], c);
            if (e.fn == Fn::StartsWith) return sameText(s.view().substr(0, p.view().size()), p.view());
            return find(s.view(), p.view()) != std::string_view::npos;
        }
        case Fn::Boolean: return boolean(*e.args[0], c);
        case Fn::Not: return !boolean(*e.args[0], c);
        case Fn::True: return true;
        case Fn::False: return false;
        case Fn::Lang: {
            if (c.node.attr) return false;
            const Str wanted = string(*e.args[0], c);
            return lang(c.node, wanted.view());
        }
        default: return false;
    }
}

// ---- node-sets -----------------------------------------------------------------

NodeSet Evaluator::nodeSet(const Expr& e, const Context& c, Want want) {
    chargeOp();
    switch (e.op) {
        case Op::Path: return path(e, c, e.steps.size(), want);
        case Op::Union: {
            NodeSet left = nodeSet(*e.args[0], c, want);
            NodeSet right = nodeSet(*e.args[1], c, want);
            if (left.empty()) return right;
            if (right.empty()) return left;
            charge(kMerge);
            left.insert(left.end(), right.begin(), right.end());
            sortUnique(&left);
            if (want == Want::First) left.resize(1);
            return left;
        }
        case Op::Filter: {
            // (...)[1]: only the first node is wanted of what is filtered.
            const Expr& head = *e.predicates.front().expr;
            const bool firstOnly = head.op == Op::Number && head.number == 1;
            NodeSet set = nodeSet(*e.args[0], c, firstOnly ? Want::First : Want::All);
            for (const Predicate& p : e.predicates) filter(&set, p);
            if (want == Want::First && set.size() > 1) set.resize(1);
            return set;
        }
        case Op::Call: return NodeSet();  // id(): no node has an ID without a DTD's say
        default: return NodeSet();
    }
}

// Keeps the nodes of `set` (in document order) for which the predicate holds.
void Evaluator::filter(NodeSet* set, const Predicate& p) {
    NodeSet kept;
    const std::size_t size = set->size();
    for (std::size_t i = 0; i < size; ++i) {
        charge(2);  // the node taken from the set and kept in another, both grown as they fill
        if (predicateHolds(p, Context{(*set)[i], i + 1, size})) kept.push_back((*set)[i]);
    }
    set->swap(kept);
}

bool Evaluator::predicateHolds(const Predicate& p, const Context& c) {
    chargeOp();
    if (p.expr->type == Type::Number) return number(*p.expr, c) == static_cast<double>(c.position);
    return boolean(*p.expr, c);
}

// The nodes after the first `steps` steps of a path.
NodeSet Evaluator::path(const Expr& e, const Context& c, std::size_t steps, Want want) {
    NodeSet set;
    std::size_t i = 0;
    if (e.start == Start::Filter) {
        set = nodeSet(*e.args[0], c, steps == 0 ? want : Want::All);
    } else {
        const Node from = e.start == Start::Root ? Node(c.node.node.root()) : c.node;
        if (!from.node) return NodeSet();  // a null context: no root, no self
        if (steps == 0) return NodeSet{from};
        set = step(&from, 1, e.steps[i++], steps == 1 ? want : Want::All);
    }
    for (; i < steps && !set.empty(); ++i) set = step(set.data(), set.size(), e.steps[i], i + 1 == steps ? want : Want::All);
    return set;
}

// Whether the walk of a step's axis ends at n although n is not kept: on the
// attribute axis a name test takes the first attribute of that name only.
bool Evaluator::endsWalk(const Step& s, const Node& n) const {
    std::size_t compared = 0;  // charged when the node was tested
    return s.axis == Axis::Attribute && s.test == Test::Name && n.attr && passes(s, n.attribute(), &compared);
}

// Visits the nodes of a node-set expression, each once and in no particular
// order, until the visit answers false. The last step of a path from one
// node is walked without a set being built: the path in a predicate is
// mostly that.
template <class Visit>
void Evaluator::eachNode(const Expr& e, const Context& c, const Visit& visit) {
    if (e.op == Op::Path) chargeOp();
    if (e.op != Op::Path || e.steps.empty() || e.steps.back().positional) {
        for (const Node& n : nodeSet(e, c, Want::All)) {
            if (!visit(n)) return;
        }
        return;
    }
    const Step& last = e.steps.back();
    const std::size_t before = e.steps.size() - 1;
    Node single;
    NodeSet from;
    if (before == 0 && e.start != Start::Filter) {
        single = e.start == Start::Root ? Node(c.node.node.root()) : c.node;
        if (!single.node) return;
    } else {
        from = path(e, c, before, Want::All);
        if (from.size() != 1) {
            for (const Node& n : step(from.data(), from.size(), last, Want::All)) {
                if (!visit(n)) return;
            }
            return;
        }
        single = from.front();
    }
    eachKept(single, last, visit);
}

// Visits the nodes of a step's axis from `from` that its node test and its
// predicates (none of which reads the position) keep, until the visit
// answers false. A descendant walk for a name or "*" has the test inline and
// the work charged in batches: it is the walk of most XPaths callers write,
// and over a large document it is most of their time.
template <class Visit>
void Evaluator::eachKept(const Node& from, const Step& s, const Visit& visit) {
    const bool bare = (s.axis == Axis::Descendant || s.axis == Axis::DescendantOrSelf) && !from.attr &&
                      (s.test == Test::Name || s.test == Test::AnyName);
    if (!bare) {
        const bool oneAttribute = s.axis == Axis::Attribute && s.test == Test::Name;
        walkAxis(from, s.axis, [&](const Node& n) {
            if (!keeps(s, n)) return !endsWalk(s, n);
            return visit(n) && !oneAttribute;
        });
        return;
    }
    if (s.axis == Axis::DescendantOrSelf && keeps(s, from) && !visit(from)) return;
    constexpr std::uint64_t kBatch = 4096;
    class Walk : public pugi::xml_tree_walker {
    public:
        Walk(Evaluator& evaluator, const Step& step, const Visit& visit)
            : evaluator_(evaluator), step_(step), visit_(visit) {}
        ~Walk() override = default;
        bool for_each(pugi::xml_node& n) override {
            if (++pending_ == kBatch) {
                pending_ = 0;
                evaluator_.chargeRead(compared_);
                compared_ = 0;
                evaluator_.charge(kBatch * kVisit);
            }
            if (step_.test == Test::Name && !sameName(n.name(), step_.name, &compared_)) return true;
            if (n.type() != pugi::node_element) return true;
            for (const Predicate& p : step_.predicates) {
                if (!evaluator_.predicateHolds(p, Context{Node(n), 1, 1})) return true;
            }
            return visit_(Node(n));
        }
        std::uint64_t pending_ = 0;
        std::size_t compared_ = 0;  // name bytes compared since the last charge

    private:
        Evaluator& evaluator_;
        const Step& step_;
        const Visit& visit_;
    };
    Walk walk(*this, s, visit);
    pugi::xml_node top = from.node;
    top.traverse(walk);
    charge(walk.pending_ * kVisit);
    chargeRead(walk.compared_);
}

[[gnu::always_inline]] inline bool Evaluator::keeps(const Step& step, const Node& n) {
    charge(kVisit);
    if (!passesCharged(step, n)) return false;
    for (const Predicate& p : step.predicates) {
        if (!predicateHolds(p, Context{n, 1, 1})) return false;
    }
    return true;
}

// Visits the nodes of `axis` from `from` in the axis' order, until the visit
// answers false.
template <class Visit>
void Evaluator::walkAxis(const Node& from, Axis axis, const Visit& visit) {
    const pugi::xml_node n = from.node;
    if (!n) return;  // a null context has no axis, not even self
    if (from.attr) {
        switch (axis) {
            case Axis::Ancestor: case Axis::AncestorOrSelf:
                if (axis == Axis::AncestorOrSelf && !visit(from)) return;
                for (pugi::xml_node p = n; p; p = parentOf(p)) {
                    if (!visit(Node(p))) return;
                }
                return;
            case Axis::Self: case Axis::DescendantOrSelf: visit(from); return;
            case Axis::Parent: visit(Node(n)); return;
            case Axis::Following:
                for (pugi::xml_node f = nextInDocument(n); f; f = nextInDocument(f)) {
                    if (!visit(Node(f))) return;
                }
                return;
            case Axis::Preceding: walkAxis(Node(n), axis, visit); return;
            default: return;
        }
    }
    switch (axis) {
        case Axis::Ancestor: case Axis::AncestorOrSelf:
            for (pugi::xml_node p = axis == Axis::Ancestor ? parentOf(n) : n; p; p = parentOf(p)) {
                if (!visit(Node(p))) return;
            }
            return;
        case Axis::Attribute:
            for (pugi::xml_attribute a = n.first_attribute(); a; a = nextAttributeOf(a)) {
                if (!visit(Node{n, a})) return;
            }
            return;
        case Axis::Child:
            for (pugi::xml_node k = firstChildOf(n); k; k = nextSiblingOf(k)) {
                if (!visit(Node(k))) return;
            }
            return;
        case Axis::Descendant: case Axis::DescendantOrSelf:
            if (axis == Axis::DescendantOrSelf && !visit(from)) return;
            eachDescendant(n, [&visit](const pugi::xml_node& d) { return visit(Node(d)); });
            return;
        case Axis::Following:
            for (pugi::xml_node f = nextAfterSubtree(n); f; f = nextInDocument(f)) {
                if (!visit(Node(f))) return;
            }
            return;
        case Axis::FollowingSibling:
            for (pugi::xml_node s = nextSiblingOf(n); s; s = nextSiblingOf(s)) {
                if (!visit(Node(s))) return;
            }
            return;
        case Axis::Parent:
            if (pugi::xml_node p = parentOf(n)) visit(Node(p));
            return;
        case Axis::Preceding: {
            // Reverse document order, ancestors left out: from the previous
            // sibling of the nearest node that has one, each subtree from its
            // last node back up to its top.
            pugi::xml_node cur = n, previous;
            while (!(previous = previousSiblingOf(cur))) {
                if (!(cur = parentOf(cur))) return;
            }
            // The ancestors of n still ahead are met in turn, nearest first.
            pugi::xml_node ancestor = parentOf(cur);
            cur = previous;
            while (true) {
                while (pugi::xml_node last = lastChildOf(cur)) cur = last;
                if (!visit(Node(cur))) return;
                while (!(previous = previousSiblingOf(cur))) {
                    cur = parentOf(cur);
                    if (!cur) return;
                    if (cur == ancestor) {
                        ancestor = parentOf(ancestor);
                    } else if (!visit(Node(cur))) {
                        return;
                    }
                }
                cur = previous;
            }
        }
        case Axis::PrecedingSibling:
            for (pugi::xml_node s = previousSiblingOf(n); s; s = previousSiblingOf(s)) {
                if (!visit(Node(s))) return;
            }
            return;
        case Axis::Self: visit(from); return;
        case Axis::Namespace: return;
    }
}

bool reverseAxis(Axis axis) {
    return axis == Axis::Ancestor || axis == Axis::AncestorOrSelf || axis == Axis::Preceding ||
           axis == Axis::PrecedingSibling;
}

// Every node-set here is in document order, each node once.
NodeSet Evaluator::step(const Node* from, std::size_t count, const Step& s, Want want) {
    NodeSet out;
    const bool downward = s.axis == Axis::Descendant || s.axis == Axis::DescendantOrSelf;
    if (downward && !s.positional && count > 1) {
        descendantsOfSorted(from, count, s, want, &out);
        return out;
    }
    // The name test on the attribute axis stops at the first attribute of that name.
    const bool oneAttribute = s.axis == Axis::Attribute && s.test == Test::Name;
    // A first predicate that is a whole number N takes the Nth node alone.
    const Expr* head = s.predicates.empty() ? nullptr : s.predicates.front().expr.get();
    const bool nth = head && head->op == Op::Number;
    int contributors = 0;
    NodeSet axisNodes;
    const bool upward = count > 1 && (s.axis == Axis::Ancestor || s.axis == Axis::AncestorOrSelf);
    NodeKeys climbed;
    for (std::size_t k = 0; k < count; ++k) {
        const Node& context = from[k];
        const std::size_t before = out.size();
        if (!s.positional) {
            // Nothing reads the position: each node is judged alone, and the
            // walk ends at the first when one is enough.
            const bool one = want == Want::First && count == 1 && !reverseAxis(s.axis);
            auto take = [&](const Node& n) {
                out.push_back(n);
                return !(one || oneAttribute);
            };
            if (upward) {
                walkAxis(context, s.axis, [&](const Node& n) {
                    // A climb that reaches a node climbed from an earlier
                    // context would only meet again what that one met.
                    if (!climbed.insert(n.key())) return false;
                    if (!keeps(s, n)) return !endsWalk(s, n);
                    return take(n);
                });
            } else {
                eachKept(context, s, take);
            }
        } else {
            axisNodes.clear();
            std::size_t counted = 0;
            walkAxis(context, s.axis, [&](const Node& n) {
                charge(kVisit);
                if (!passesCharged(s, n)) return true;
                ++counted;
                if (!nth || static_cast<double>(counted) == head->number) axisNodes.push_back(n);
                return !oneAttribute && !(nth && static_cast<double>(counted) >= head->number);
            });
            std::size_t first = 0;
            if (nth) first = 1;  // the position test is done
            for (std::size_t i = first; i < s.predicates.size() && !axisNodes.empty(); ++i) {
                filter(&axisNodes, s.predicates[i]);
            }
            out.insert(out.end(), axisNodes.begin(), axisNodes.end());
        }
        if (out.size() > before) {
            ++contributors;
            if (reverseAxis(s.axis)) std::reverse(out.begin() + static_cast<std::ptrdiff_t>(before), out.end());
        }
    }
    const bool inOrder = contributors <= 1 || s.axis == Axis::Self || s.axis == Axis::Attribute;
    if (!inOrder) sortUnique(&out);
    if (want == Want::First && out.size() > 1) out.resize(1);
    return out;
}

// descendant and descendant-or-self from many nodes in document order: the
// subtree of each node once, those inside it taken as covered.
void Evaluator::descendantsOfSorted(const Node* from, std::size_t count, const Step& s, Want want, NodeSet* out) {
    const bool withSelf = s.axis == Axis::DescendantOrSelf;
    std::size_t i = 0;
    while (i < count) {
        const Node top = from[i++];
        if (top.attr) {
            if (withSelf && keeps(s, top)) out->push_back(top);
            continue;
        }
        // Contexts in the subtree come in the same order as the walk meets them.
        auto covers = [&](const pugi::xml_node& n) {
            while (i < count && from[i].node == n) {
                if (from[i].attr && withSelf && keeps(s, from[i])) out->push_back(from[i]);
                ++i;
            }
        };
        if (withSelf && keeps(s, top)) out->push_back(top);
        covers(top.node);
        eachDescendant(top.node, [&](const pugi::xml_node& d) {
            if (want == Want::First && !out->empty()) return false;
            if (keeps(s, Node(d))) out->push_back(Node(d));
            covers(d);
            return true;
        });
        if (want == Want::First && !out->empty()) return;
    }
}

// Document order: an element, then its attributes, then its children.
bool Evaluator::before(const Node& a, const Node& b) {
    if (a.node == b.node) {
        if (!a.attr) return b.attr != nullptr;
        if (!b.attr) return false;
        for (pugi::xml_attribute x = a.attribute().next_attribute(); x; x = x.next_attribute()) {
            charge(1);
            if (x.internal_object() == b.attr) return true;
        }
        return false;
    }
    // The depth of each, the deeper one lifted to the other's depth, then
    // both lifted together until they are children of one node: no list of
    // ancestors is built (a union of a few nodes compares each pair).
    const auto depthOf = [this](pugi::xml_node n) {
        std::size_t depth = 0;
        for (n = parentOf(n); n; n = parentOf(n)) ++depth;
        return depth;
    };
    pugi::xml_node x = a.node, y = b.node;
    std::size_t depthX = depthOf(x), depthY = depthOf(y);
    for (; depthX > depthY; --depthX) {
        x = parentOf(x);
        if (x == y) return false;  // b's node holds a
    }
    for (; depthY > depthX; --depthY) {
        y = parentOf(y);
        if (y == x) return true;  // a's node holds b
    }
    for (pugi::xml_node px = parentOf(x), py = parentOf(y); px != py; px = parentOf(x), py = parentOf(y)) {
        x = px;
        y = py;
    }
    // Siblings: look both ways from the one at once.
    pugi::xml_node forward = x, backward = x;
    const pugi::xml_node other = y;
    while (true) {
        if (forward) forward = nextSiblingOf(forward);
        if (backward) backward = previousSiblingOf(backward);
        if (forward == other) return true;
        if (backward == other || (!forward && !backward)) return false;
    }
}

// Document order, each node once. Few nodes are sorted by comparison, many
// by one walk over the document that picks them out.
void Evaluator::sortUnique(NodeSet* set) {
    if (set->size() < 2) return;
    if (set->size() <= 8) {
        for (std::size_t i = 1; i < set->size(); ++i) {
            for (std::size_t j = i; j > 0 && before((*set)[j], (*set)[j - 1]); --j) std::swap((*set)[j], (*set)[j - 1]);
        }
        set->erase(std::unique(set->begin(), set->end()), set->end());
        return;
    }
    // Each member entered in a table of up to 16 bytes a node of the
    // document, then each node and attribute of the document looked up in
    // it: most are cache misses.
    charge(set->size() * kLookUp);
    NodeKeys members;
    std::size_t attributes = 0;
    for (const Node& n : *set) {
        if (members.insert(n.key()) && n.attr) ++attributes;
    }
    std::size_t left = members.size();
    const pugi::xml_node root = set->front().node.root();
    NodeSet ordered;
    ordered.reserve(left);
    auto pick = [&](const pugi::xml_node& n) {
        charge(kVisit + kLookUp);
        if (members.contains(n.internal_object())) {
            ordered.push_back(Node(n));
            --left;
        }
        for (pugi::xml_attribute a = attributes > 0 ? n.first_attribute() : pugi::xml_attribute(); a;
             a = a.next_attribute()) {
            charge(kAttribute + 2 * kLookUp);  // its record read, then a look-up that misses
            if (members.contains(a.internal_object())) {
                ordered.push_back(Node{n, a});
                --left;
                --attributes;
            }
        }
        return left > 0;
    };
    if (pick(root)) eachDescendant(root, pick);
    set->swap(ordered);
}

// ---- the entry points ----------------------------------------------------------

// The text of an XPath is work before any of it is evaluated: pugixml
// compiles it, it is parsed into the evaluator's tree, and both are
// destroyed afterwards. The costliest text found (a balanced tree of
// operators, a node every two bytes) takes about 100 ns a byte for the
// three: 24 units a byte, charged before either compile starts.
constexpr std::uint64_t kTextByte = 24;
// The two trees hold up to this many bytes a byte of text (pugixml's and
// ours: 94 for a balanced tree of unions, the most found), counted as held
// while the XPath is evaluated.
constexpr std::uint64_t kTreeBytesPerTextByte = 128;
// An XPath of more nodes than this no longer stays in the first levels of
// the cache while it is evaluated at node after node: each of its nodes
// evaluated is charged kLargeNodeWeight units instead of 1.
constexpr std::size_t kCachedNodes = 256;
constexpr std::uint64_t kLargeNodeWeight = 3;

struct Compiled {
    ExprPtr expr;  // none in the unforeseen case of a text that pugixml compiles and our reading does not take
    std::uint64_t opWeight = 1;
};

// pugixml compiles the text first: what it refuses throws its exception.
Compiled compile(const std::string& xpath, bool nodeSetOnly) {
    Compiled compiled;
    {  // pugixml's compiled form is freed before ours is built: only one is held at once
        const pugi::xpath_query query(xpath.c_str());
        if (nodeSetOnly && query.return_type() != pugi::xpath_type_node_set) {
            pugi::xpath_parse_result result;
            result.error = "Expression does not evaluate to node set";
            throw pugi::xpath_exception(result);
        }
    }
    try {
        compiled.expr = Parser(xpath.c_str()).parse();
    } catch (const Parser::Malformed&) {
        return compiled;
    }
    shortenDescendantSteps(compiled.expr.get());
    if (prepareCalls(compiled.expr.get()) > kCachedNodes) compiled.opWeight = kLargeNodeWeight;
    return compiled;
}

// Compiles `xpath` and hands it to `evaluate` with an evaluator held to what
// is left of the request's allowances; `evaluate` writes its result only
// once it is whole.
template <class Evaluate>
XPathOutcome evaluateWithin(const std::string& xpath, bool nodeSetOnly, Spending* spending, const Evaluate& evaluate) {
    XPathOutcome outcome;
    if (xpath.size() > kXPathTextLimit) {
        outcome.textTooLong = true;
        return outcome;
    }
    const std::uint64_t workBefore = spending->work;
    // Set for this thread while the evaluation runs, and cleared however it ends.
    struct Running {
        Spending* previous;
        explicit Running(Spending* spending) : previous(runningSpending) { runningSpending = spending; }
        ~Running() { runningSpending = previous; }
    };
    const std::uint64_t treeBytes = kTreeBytesPerTextByte * xpath.size();
    try {
        // The text is charged before it is compiled, and its trees held
        // while they stand.
        if (spending->stop != XPathStop::None) throw Stopped();
        spending->charge(kTextByte * xpath.size());
        spending->hold(treeBytes);
        struct TreesHeld {
            Spending* spending;
            std::uint64_t bytes;
            ~TreesHeld() { spending->release(bytes); }
        } trees{spending, treeBytes};
        const Compiled compiled = compile(xpath, nodeSetOnly);
        if (compiled.expr) {
            const Running running(spending);
            Evaluator evaluator(spending, compiled.opWeight);
            evaluate(&evaluator, *compiled.expr);
            outcome.completed = true;
        }
    } catch (const Stopped&) {
    }
    outcome.work = spending->work - workBefore;
    outcome.peakBytes = spending->peak;
    outcome.stop = outcome.completed ? XPathStop::None : spending->stop;
    outcome.memoryExhausted = outcome.stop == XPathStop::Memory;
    return outcome;
}

}  // namespace

XPathSpending::XPathSpending(const XPathAllowance& allowance) : state_(new State(allowance)) {}
XPathSpending::~XPathSpending() = default;
std::uint64_t XPathSpending::work() const { return state_->work; }
std::uint64_t XPathSpending::peakBytes() const { return state_->peak; }
const XPathAllowance& XPathSpending::allowance() const { return state_->allowance; }

std::uint64_t xpathWorkAllowance(std::size_t documentBytes) {
    return kXPathWorkFloor + kXPathWorkPerDocumentByte * static_cast<std::uint64_t>(documentBytes);
}

std::uint64_t xpathMemoryAllowance(std::size_t documentBytes) {
    return kXPathMemoryFloor + kXPathMemoryPerDocumentByte * static_cast<std::uint64_t>(documentBytes);
}

// A build with a sanitizer runs the evaluator several times slower than the
// optimised one the budget is set for; its budget is as many times longer,
// so that what fits in one fits in the other.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::uint64_t kSanitizedSlowdown = 10;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr std::uint64_t kSanitizedSlowdown = 10;
#else
constexpr std::uint64_t kSanitizedSlowdown = 1;
#endif
#else
constexpr std::uint64_t kSanitizedSlowdown = 1;
#endif

std::uint64_t xpathCpuBudget(std::size_t documentBytes) {
    return kSanitizedSlowdown *
           (kXPathCpuFloorNs + kXPathCpuNsPerDocumentByte * static_cast<std::uint64_t>(documentBytes));
}

XPathAllowance xpathAllowance(std::size_t documentBytes) {
    return XPathAllowance{xpathWorkAllowance(documentBytes), xpathMemoryAllowance(documentBytes),
                          xpathCpuBudget(documentBytes)};
}

XPathOutcome selectByXPath(const pugi::xml_node& context, const std::string& xpath, XPathSpending* spending,
                           std::vector<pugi::xpath_node>* nodes) {
    nodes->clear();
    Spending* const state = spending->state_.get();
    return evaluateWithin(xpath, true, state, [&](Evaluator* evaluator, const Expr& expr) {
        const NodeSet set = evaluator->nodeSet(expr, Context{Node(context)}, Want::All);
        // The caller's copy is held beside the set while it is made, and
        // for the rest of the request.
        state->hold(set.size() * sizeof(pugi::xpath_node));
        nodes->reserve(set.size());
        for (const Node& n : set) {
            nodes->push_back(n.attr ? pugi::xpath_node(n.attribute(), n.node) : pugi::xpath_node(n.node));
        }
    });
}

XPathOutcome selectByXPath(const pugi::xml_node& context, const std::string& xpath, const XPathAllowance& allowance,
                           std::vector<pugi::xpath_node>* nodes) {
    XPathSpending spending(allowance);
    return selectByXPath(context, xpath, &spending, nodes);
}

XPathOutcome evaluateXPathString(const pugi::xml_node& context, const std::string& xpath,
                                 const XPathAllowance& allowance, std::string* value) {
    value->clear();
    XPathSpending spending(allowance);
    return evaluateWithin(xpath, false, spending.state_.get(), [&](Evaluator* evaluator, const Expr& expr) {
        *value = evaluator->string(expr, Context{Node(context)}).take();
    });
}

}  // namespace xades
}  // namespace quessel
}  // namespace tev
