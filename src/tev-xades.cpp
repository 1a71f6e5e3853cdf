// XAdES-BES builder: enveloping, enveloped and counter-signatures, and the
// Canonical XML 1.0 printer their digests are taken over.
//
// How the digests are kept exact: a verifier parses the document we hand out
// and canonicalises the referenced nodes of *that* document. So every digest
// is taken, with our own Canonical XML 1.0 printer, over a tree in its final
// shape, including every whitespace text node that the written text carries,
// before the digest and signature values (text of leaf elements, which changes
// no other node) are filled in. The new signature (one element per line) is
// written with our own writer, whose text parses back into the same tree; a
// document given to sign into keeps its own text around the new elements, so
// nothing else in it changes. pugixml's own printer is used for none of this:
// its escaping is not what Canonical XML asks for and has changed between
// versions.
#include "tev-xades.h"

#include <QByteArray>
#include <QDateTime>
#include <QDebug>
#include <QList>
#include <QLocale>
#include <QString>
#include <QUuid>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "quessel-tasks.h"
#include "tev-asn1.h"
#include "tev-certificate.h"
#include "tev-commons.h"
#include "tev-logging.h"
#include "tev-pkcs11.h"
#include "tev-signature.h"

namespace tev {
namespace quessel {
namespace xades {

namespace {

const char* const kXmlNamespace = "http://www.w3.org/XML/1998/namespace";

void logInfo(const std::string& message) { LOG(INFO) << "XaDES : " << message; }
void logError(const std::string& message) { LOG(ERROR) << "XaDES : " << message; }

bool startsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

bool isNamespaceDeclaration(const char* name) {
    return std::strcmp(name, "xmlns") == 0 || startsWith(name, "xmlns:");
}

// "" for the default namespace ("xmlns"), else the text after "xmlns:".
std::string declaredPrefix(const char* name) {
    return name[5] == ':' ? std::string(name + 6) : std::string();
}

bool isXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool isWhitespaceOnly(const char* text) {
    for (; *text; ++text) {
        if (!isXmlSpace(*text)) return false;
    }
    return true;
}

// ---- characters XML 1.0 can carry ---------------------------------------------------

// One UTF-8 sequence at *at: its code point (and *at moved past it), or -1 for
// bytes that are not UTF-8, overlong forms and surrogates included.
long decodeUtf8(const std::string& text, std::string::size_type* at) {
    const unsigned char lead = static_cast<unsigned char>(text[*at]);
    int length = 0;
    long c = 0, least = 0;
    if (lead < 0x80) {
        ++*at;
        return lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        c = lead & 0x1F;
        least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        c = lead & 0x0F;
        least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        c = lead & 0x07;
        least = 0x10000;
    } else {
        return -1;
    }
    if (text.size() - *at < static_cast<std::string::size_type>(length)) return -1;
    for (int i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[*at + i]);
        if ((next & 0xC0) != 0x80) return -1;
        c = (c << 6) | (next & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return -1;
    *at += length;
    return c;
}

bool isXmlChar(long c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

// UTF-8 holding only characters an XML 1.0 document can carry, literally or
// as a reference: no C0 control character but tab, line feed and carriage
// return, no U+FFFE or U+FFFF.
bool isXmlText(const std::string& text) {
    for (std::string::size_type at = 0; at < text.size();) {
        if (!isXmlChar(decodeUtf8(text, &at))) return false;
    }
    return true;
}

// ---- well-formedness beyond what pugixml checks ----------------------------------------
//
// The signed document goes out as the caller's own text, so it has to be what
// every XML parser reads the same way. pugixml takes input that XML 1.0 calls
// not well-formed and reads its own meaning into it: an undeclared entity
// reference or a lone "&" stays literal text, "]]>" and "<" pass in text and
// attribute values, and several root elements, text outside the root, "--" in
// comments, duplicate attributes and a late XML declaration are accepted. A
// verifier refuses such a document or reads other content than we signed.

const char* const kNotWellFormed = "The document is not well-formed XML: ";

// At text[at] == '&': the length of a well-formed reference to a predefined
// entity or to a character XML can carry, or 0.
std::string::size_type referenceLength(const std::string& text, std::string::size_type at) {
    for (const char* name : {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"}) {
        if (text.compare(at, std::strlen(name), name) == 0) return std::strlen(name);
    }
    if (text.compare(at, 2, "&#") != 0) return 0;
    std::string::size_type p = at + 2;
    const bool hex = p < text.size() && text[p] == 'x';
    if (hex) ++p;
    const std::string::size_type digits = p;
    long value = 0;
    for (; p < text.size() && text[p] != ';'; ++p) {
        const char c = text[p];
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return 0;
        value = std::min(value * (hex ? 16 : 10) + digit, 0x110000L);
    }
    if (p == digits || p == text.size() || !isXmlChar(value)) return 0;
    return p + 1 - at;
}

// Character data in [from, to): references, and no "]]>".
const char* characterDataFault(const std::string& text, std::string::size_type from, std::string::size_type to) {
    for (std::string::size_type at = from; at < to; ++at) {
        if (text[at] == '&' && !referenceLength(text, at)) {
            return "a reference to an undeclared entity or a lone \"&\" in text";
        }
        if (text[at] == '>' && at >= from + 2 && text[at - 1] == ']' && text[at - 2] == ']') return "\"]]>\" in text";
    }
    return nullptr;
}

// A start or end tag from text[at] == '<': its attribute values may hold
// neither "<" nor anything but well-formed references after "&". *end: just
// after the tag.
const char* tagFault(const std::string& text, std::string::size_type at, std::string::size_type* end) {
    for (std::string::size_type p = at + 1; p < text.size(); ++p) {
        const char c = text[p];
        if (c == '>') {
            *end = p + 1;
            return nullptr;
        }
        if (c != '"' && c != '\'') continue;
        const std::string::size_type close = text.find(c, p + 1);
        if (close == std::string::npos) break;
        for (std::string::size_type v = p + 1; v < close; ++v) {
            if (text[v] == '<') return "\"<\" in an attribute value";
            if (text[v] == '&' && !referenceLength(text, v)) {
                return "a reference to an undeclared entity or a lone \"&\" in an attribute value";
            }
        }
        p = close;
    }
    return "an unterminated tag";
}

// From just after "<!DOCTYPE": just after the declaration's ">", stepping
// over quoted texts, comments and the internal subset. npos when unterminated.
std::string::size_type endOfDoctype(const std::string& text, std::string::size_type at) {
    int depth = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '"' || c == '\'') {
            at = text.find(c, at + 1);
            if (at == std::string::npos) break;
        } else if (text.compare(at, 4, "<!--") == 0) {
            at = text.find("-->", at + 4);
            if (at == std::string::npos) break;
            at += 2;
        } else if (c == '[') {
            ++depth;
        } else if (c == ']') {
            --depth;
        } else if (c == '>' && depth <= 0) {
            return at + 1;
        }
    }
    return std::string::npos;
}

bool isAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool isVersionNumber(const std::string& value) {  // "1." followed by digits
    if (value.size() < 3 || value.compare(0, 2, "1.") != 0) return false;
    return std::all_of(value.begin() + 2, value.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool isEncodingName(const std::string& value) {
    if (value.empty() || !isAsciiLetter(value[0])) return false;
    return std::all_of(value.begin(), value.end(), [](char c) {
        return isAsciiLetter(c) || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    });
}

// The XML declaration at text[start], when there is one: nullptr, or what is
// wrong. pugixml reads any pseudo-attributes there, in any order and with any
// value; a verifier refuses all but version (1.x), then an optional encoding,
// then an optional standalone of yes or no.
const char* declarationFault(const std::string& text, std::string::size_type start) {
    if (text.compare(start, 5, "<?xml") != 0) return nullptr;
    std::string::size_type at = start + 5;
    if (at < text.size() && !isXmlSpace(text[at]) && text[at] != '?') return nullptr;  // e.g. <?xml-stylesheet
    const char* const malformed = "a malformed XML declaration";
    std::vector<std::pair<std::string, std::string>> pseudoAttributes;
    for (;;) {
        const std::string::size_type spaceStart = at;
        while (at < text.size() && isXmlSpace(text[at])) ++at;
        if (text.compare(at, 2, "?>") == 0) break;
        if (at == spaceStart) return malformed;
        const std::string::size_type nameStart = at;
        while (at < text.size() && isAsciiLetter(text[at])) ++at;
        const std::string name = text.substr(nameStart, at - nameStart);
        while (at < text.size() && isXmlSpace(text[at])) ++at;
        if (name.empty() || at >= text.size() || text[at] != '=') return malformed;
        ++at;
        while (at < text.size() && isXmlSpace(text[at])) ++at;
        if (at >= text.size() || (text[at] != '"' && text[at] != '\'')) return malformed;
        const std::string::size_type close = text.find(text[at], at + 1);
        if (close == std::string::npos) return malformed;
        pseudoAttributes.emplace_back(name, text.substr(at + 1, close - at - 1));
        at = close + 1;
    }
    std::size_t next = 0;
    if (next >= pseudoAttributes.size() || pseudoAttributes[next].first != "version") {
        return "an XML declaration without a version";
    }
    if (!isVersionNumber(pseudoAttributes[next++].second)) return "an XML declaration of a version other than 1.x";
    if (next < pseudoAttributes.size() && pseudoAttributes[next].first == "encoding") {
        if (!isEncodingName(pseudoAttributes[next++].second)) return "a malformed encoding name in the XML declaration";
    }
    if (next < pseudoAttributes.size() && pseudoAttributes[next].first == "standalone") {
        const std::string& value = pseudoAttributes[next++].second;
        if (value != "yes" && value != "no") return "a standalone value other than yes or no in the XML declaration";
    }
    if (next != pseudoAttributes.size()) return "an unknown or misplaced pseudo-attribute in the XML declaration";
    return nullptr;
}

// The source text of a document pugixml has parsed: nullptr, or what is wrong.
const char* markupFault(const std::string& text) {
    if (!isXmlText(text)) return "bytes that are not UTF-8 or characters that XML 1.0 cannot carry";
    const std::string::size_type start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    if (const char* fault = declarationFault(text, start)) return fault;
    std::string::size_type at = start;
    int depth = 0;  // of elements; pugixml drops text outside the root element without a word
    while (at < text.size()) {
        const std::string::size_type lt = text.find('<', at);
        const std::string::size_type textEnd = lt == std::string::npos ? text.size() : lt;
        if (depth == 0 && !isWhitespaceOnly(text.substr(at, textEnd - at).c_str())) {
            return "text outside the root element";
        }
        if (const char* fault = characterDataFault(text, at, textEnd)) return fault;
        if (lt == std::string::npos) break;
        std::string::size_type close = std::string::npos;
        if (text.compare(lt, 4, "<!--") == 0) {
            // "--" may not stand inside a comment, nor "-" at its end.
            close = text.find("-->", lt + 4);
            if (close != std::string::npos && text.find("--", lt + 4) < close) return "\"--\" inside a comment";
            if (close != std::string::npos) close += 3;
        } else if (text.compare(lt, 9, "<![CDATA[") == 0) {
            if (depth == 0) return "text outside the root element";
            close = text.find("]]>", lt + 9);
            if (close != std::string::npos) close += 3;
        } else if (text.compare(lt, 2, "<?") == 0) {
            close = text.find("?>", lt + 2);
            std::string::size_type nameEnd = lt + 2;
            while (nameEnd < close && nameEnd < text.size() && !std::strchr(" \t\r\n", text[nameEnd])) ++nameEnd;
            const QString target = QString::fromStdString(text.substr(lt + 2, nameEnd - lt - 2)).toLower();
            if (target == "xml" && lt != start) return "an XML declaration elsewhere than at the start";
            if (close != std::string::npos) close += 2;
        } else if (text.compare(lt, 9, "<!DOCTYPE") == 0) {
            close = endOfDoctype(text, lt + 9);
        } else if (const char* fault = tagFault(text, lt, &close)) {
            return fault;
        } else if (text[lt + 1] == '/') {
            --depth;
        } else if (text[close - 2] != '/') {
            ++depth;
        }
        if (close == std::string::npos) return "unterminated markup";
        at = close;
    }
    return nullptr;
}

struct DuplicateAttributeFinder : pugi::xml_tree_walker {
    bool for_each(pugi::xml_node& node) override {
        if (node.type() != pugi::node_element || !node.first_attribute()) return true;
        names.clear();
        for (const pugi::xml_attribute& attribute : node.attributes()) names.push_back(attribute.name());
        std::sort(names.begin(), names.end(), [](const char* a, const char* b) { return std::strcmp(a, b) < 0; });
        for (std::size_t i = 1; i < names.size(); ++i) {
            if (std::strcmp(names[i - 1], names[i]) == 0) return false;
        }
        return true;
    }
    std::vector<const char*> names;
};

// The document level of the parsed tree, and attributes: nullptr, or what is wrong.
const char* structureFault(pugi::xml_document& document) {
    int roots = 0, doctypes = 0;
    for (const pugi::xml_node& child : document.children()) {
        switch (child.type()) {
            case pugi::node_element:
                ++roots;
                break;
            case pugi::node_doctype:
                if (roots > 0 || doctypes++ > 0) return "a DOCTYPE declaration after the root element or another one";
                break;
            default:
                break;
        }
    }
    if (roots != 1) return "not exactly one root element";
    DuplicateAttributeFinder duplicates;
    if (!document.traverse(duplicates)) return "an attribute given twice on one element";
    return nullptr;
}

// ---- namespace scope -------------------------------------------------------------

// Namespace bindings in scope at an element: prefix ("" for the default
// namespace) -> URI. A default namespace undeclared with xmlns="" is held as "".
using NamespaceScope = std::map<std::string, std::string>;

void addDeclarationsOf(const pugi::xml_node& element, NamespaceScope* scope) {
    for (const pugi::xml_attribute& attribute : element.attributes()) {
        if (isNamespaceDeclaration(attribute.name())) {
            (*scope)[declaredPrefix(attribute.name())] = attribute.value();
        }
    }
}

// Bindings in scope at `element` from its ancestors only (not its own).
NamespaceScope scopeOfAncestors(const pugi::xml_node& element) {
    std::vector<pugi::xml_node> chain;
    for (pugi::xml_node n = element.parent(); n && n.type() == pugi::node_element; n = n.parent()) {
        chain.push_back(n);
    }
    NamespaceScope scope;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) addDeclarationsOf(*it, &scope);
    return scope;
}

NamespaceScope scopeOf(const pugi::xml_node& element) {
    NamespaceScope scope = scopeOfAncestors(element);
    addDeclarationsOf(element, &scope);
    return scope;
}

// ---- namespace well-formedness ---------------------------------------------------
//
// pugixml has no namespace model: it takes any name and any binding. A
// verifier reads the document with namespaces and refuses it when a name is
// not a qualified name, a prefix is not declared, a reserved prefix or
// namespace is misused, or two attributes of one element share their
// expanded name.

const char* const kXmlnsNamespace = "http://www.w3.org/2000/xmlns/";

// At a name character: whether it may also start a name (NameStartChar). The
// characters pugixml takes for names that may only follow: digits, "-", ".",
// U+00B7, U+0300 to U+036F, U+203F and U+2040.
bool canStartName(const char* at) {
    const unsigned char c = static_cast<unsigned char>(at[0]);
    const unsigned char d = c ? static_cast<unsigned char>(at[1]) : 0;
    const unsigned char e = d ? static_cast<unsigned char>(at[2]) : 0;
    if (c == 0 || (c >= '0' && c <= '9') || c == '-' || c == '.') return false;
    if (c == 0xC2 && d == 0xB7) return false;
    if (c == 0xCC || (c == 0xCD && d <= 0xAF)) return false;
    if (c == 0xE2 && ((d == 0x80 && e == 0xBF) || (d == 0x81 && e == 0x80))) return false;
    return true;
}

// A local name alone, or a prefix and a local name joined by one colon.
bool isQualifiedName(const char* name) {
    const char* colon = std::strchr(name, ':');
    if (colon == nullptr) return true;
    return colon != name && std::strchr(colon + 1, ':') == nullptr && canStartName(colon + 1);
}

std::string prefixOf(const char* name) {
    const char* colon = std::strchr(name, ':');
    return colon ? std::string(name, colon) : std::string();
}

// The declarations on `element` added to `scope`: nullptr, or what is wrong.
const char* declarationsFault(const pugi::xml_node& element, NamespaceScope* scope) {
    for (const pugi::xml_attribute& attribute : element.attributes()) {
        const char* name = attribute.name();
        if (!isNamespaceDeclaration(name)) continue;
        const std::string prefix = declaredPrefix(name);
        const std::string uri = attribute.value();
        if (prefix == "xmlns") return "a declaration of the prefix xmlns";
        if (uri == kXmlnsNamespace) return "a binding to the xmlns namespace";
        if (prefix == "xml" && uri != kXmlNamespace) return "the prefix xml bound to another namespace";
        if (prefix != "xml" && uri == kXmlNamespace) return "another prefix than xml bound to the XML namespace";
        if (std::strcmp(name, "xmlns") != 0 && uri.empty()) return "a prefix bound to no namespace";
        (*scope)[prefix] = uri;
    }
    return nullptr;
}

// The namespace of a prefixed name in `scope`; false when the prefix is not declared.
bool namespaceOfPrefix(const std::string& prefix, const NamespaceScope& scope, std::string* uri) {
    if (prefix == "xml") {
        *uri = kXmlNamespace;
        return true;
    }
    const auto bound = scope.find(prefix);
    if (bound == scope.end() || bound->second.empty()) return false;
    *uri = bound->second;
    return true;
}

const char* processingInstructionFault(const pugi::xml_node& node) {
    if (node.type() == pugi::node_pi && std::strchr(node.name(), ':')) return "a colon in a processing instruction target";
    return nullptr;
}

// `element` and what it holds, with `scope` the bindings of its ancestors:
// nullptr, or what is wrong. Recurses once per level; the depth is bounded
// before this runs.
const char* namespaceFault(const pugi::xml_node& element, NamespaceScope scope) {
    for (const pugi::xml_attribute& attribute : element.attributes()) {
        if (!isQualifiedName(attribute.name())) return "an attribute name that is not a qualified name";
    }
    if (!isQualifiedName(element.name())) return "an element name that is not a qualified name";
    if (const char* fault = declarationsFault(element, &scope)) return fault;
    std::string uri;
    const std::string elementPrefix = prefixOf(element.name());
    if (elementPrefix == "xmlns") return "an element with the prefix xmlns";
    if (!elementPrefix.empty() && !namespaceOfPrefix(elementPrefix, scope, &uri)) {
        return "an element prefix that is not declared";
    }
    std::vector<std::pair<std::string, std::string>> expandedNames;
    for (const pugi::xml_attribute& attribute : element.attributes()) {
        const char* name = attribute.name();
        const std::string prefix = prefixOf(name);
        if (prefix.empty() || isNamespaceDeclaration(name)) continue;
        if (!namespaceOfPrefix(prefix, scope, &uri)) return "an attribute prefix that is not declared";
        expandedNames.emplace_back(uri, std::strchr(name, ':') + 1);
    }
    std::sort(expandedNames.begin(), expandedNames.end());
    if (std::adjacent_find(expandedNames.begin(), expandedNames.end()) != expandedNames.end()) {
        return "two attributes with the same namespace and local name";
    }
    for (const pugi::xml_node& child : element.children()) {
        const char* fault = child.type() == pugi::node_element ? namespaceFault(child, scope)
                                                                : processingInstructionFault(child);
        if (fault) return fault;
    }
    return nullptr;
}

const char* documentNamespaceFault(const pugi::xml_document& document) {
    for (const pugi::xml_node& child : document.children()) {
        const char* fault = child.type() == pugi::node_element ? namespaceFault(child, NamespaceScope())
                                                                : processingInstructionFault(child);
        if (fault) return fault;
    }
    return nullptr;
}

// ---- escaping ---------------------------------------------------------------------

// Canonical XML 1.0, text nodes: & < > and carriage return.
void appendCanonicalText(std::string* out, const char* text) {
    for (; *text; ++text) {
        switch (*text) {
            case '&': *out += "&amp;"; break;
            case '<': *out += "&lt;"; break;
            case '>': *out += "&gt;"; break;
            case '\r': *out += "&#xD;"; break;
            default: *out += *text;
        }
    }
}

// Canonical XML 1.0, attribute values: & < " and tab, line feed, carriage return.
void appendCanonicalAttribute(std::string* out, const char* value) {
    for (; *value; ++value) {
        switch (*value) {
            case '&': *out += "&amp;"; break;
            case '<': *out += "&lt;"; break;
            case '"': *out += "&quot;"; break;
            case '\t': *out += "&#x9;"; break;
            case '\n': *out += "&#xA;"; break;
            case '\r': *out += "&#xD;"; break;
            default: *out += *value;
        }
    }
}

void appendCharacterReference(std::string* out, unsigned char c) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "&#%d;", c);
    *out += buffer;
}

// Output text of a text node: whatever a parser would change (a carriage
// return would become a line feed) goes as a character reference.
void appendOutputText(std::string* out, const char* text) {
    for (; *text; ++text) {
        const unsigned char c = static_cast<unsigned char>(*text);
        switch (c) {
            case '&': *out += "&amp;"; break;
            case '<': *out += "&lt;"; break;
            case '>': *out += "&gt;"; break;
            case '\r': *out += "&#13;"; break;
            default:
                if (c < 32 && c != '\t' && c != '\n') appendCharacterReference(out, c);
                else *out += *text;
        }
    }
}

// Output text of an attribute value: tab, line feed and carriage return as
// references, since a parser turns the literal characters into spaces.
void appendOutputAttribute(std::string* out, const char* value) {
    for (; *value; ++value) {
        const unsigned char c = static_cast<unsigned char>(*value);
        switch (c) {
            case '&': *out += "&amp;"; break;
            case '<': *out += "&lt;"; break;
            case '>': *out += "&gt;"; break;
            case '"': *out += "&quot;"; break;
            default:
                if (c < 32) appendCharacterReference(out, c);
                else *out += *value;
        }
    }
}

// ---- Canonical XML 1.0 printer -------------------------------------------------------

struct CanonicalAttribute {
    std::string namespaceUri;
    std::string localName;
    std::string qualifiedName;
    const char* value;
};

bool operator<(const CanonicalAttribute& a, const CanonicalAttribute& b) {
    if (a.namespaceUri != b.namespaceUri) return a.namespaceUri < b.namespaceUri;
    return a.localName < b.localName;
}

class CanonicalPrinter {
public:
    explicit CanonicalPrinter(const C14NRules& rules)
        : withComments_(rules.algorithm == kCanonicalizationWithComments),
          excluded_(rules.excluded) {}

    // The whole document: nodes outside the root element are separated from it
    // by line feeds, the declaration and the DOCTYPE are not part of it.
    void printDocument(const pugi::xml_node& document) {
        bool afterRoot = false;
        for (const pugi::xml_node& child : document.children()) {
            switch (child.type()) {
                case pugi::node_element:
                    if (child != excluded_) printElement(child, NamespaceScope(), NamespaceScope(), {});
                    afterRoot = true;
                    break;
                case pugi::node_pi:
                case pugi::node_comment:
                    if (child.type() == pugi::node_comment && !withComments_) break;
                    if (afterRoot) text_ += '\n';
                    printLeaf(child);
                    if (!afterRoot) text_ += '\n';
                    break;
                default:
                    break;  // declaration, DOCTYPE
            }
        }
    }

    // An element with its subtree as a document subset: it carries every
    // namespace binding in scope and the xml:* attributes of its ancestors.
    void printApex(const pugi::xml_node& element) {
        if (element == excluded_) return;
        std::vector<pugi::xml_attribute> inherited;
        for (pugi::xml_node n = element.parent(); n && n.type() == pugi::node_element; n = n.parent()) {
            for (const pugi::xml_attribute& attribute : n.attributes()) {
                if (startsWith(attribute.name(), "xml:")) inherited.push_back(attribute);
            }
        }
        printElement(element, scopeOfAncestors(element), NamespaceScope(), inherited);
    }

    std::string& text() { return text_; }

private:
    void printLeaf(const pugi::xml_node& node) {
        if (node.type() == pugi::node_comment) {
            text_ += "<!--";
            text_ += node.value();
            text_ += "-->";
        } else {
            text_ += "<?";
            text_ += node.name();
            if (*node.value()) {
                text_ += ' ';
                text_ += node.value();
            }
            text_ += "?>";
        }
    }

    // `parentScope`: bindings in scope at the parent; `parentOutput`: bindings
    // of the nearest ancestor that is printed (empty for the apex, whose
    // ancestors are not). `inherited`: xml:* attributes of the ancestors,
    // nearest first, for the apex only.
    void printElement(const pugi::xml_node& element, const NamespaceScope& parentScope,
                      const NamespaceScope& parentOutput,
                      const std::vector<pugi::xml_attribute>& inherited) {
        NamespaceScope scope = parentScope;
        addDeclarationsOf(element, &scope);

        text_ += '<';
        text_ += element.name();

        // Namespace declarations, default first, then by prefix. A binding is
        // written unless the printed ancestor already has the same one; the
        // xml prefix is never written.
        auto outputDefault = parentOutput.find("");
        auto ownDefault = scope.find("");
        const bool hasDefault = ownDefault != scope.end() && !ownDefault->second.empty();
        if (!hasDefault && outputDefault != parentOutput.end() && !outputDefault->second.empty()) {
            text_ += " xmlns=\"\"";
        }
        for (const auto& binding : scope) {
            if (binding.second.empty() || binding.first == "xml") continue;
            auto above = parentOutput.find(binding.first);
            if (above != parentOutput.end() && above->second == binding.second) continue;
            text_ += binding.first.empty() ? " xmlns" : " xmlns:" + binding.first;
            text_ += "=\"";
            appendCanonicalAttribute(&text_, binding.second.c_str());
            text_ += '"';
        }

        std::vector<CanonicalAttribute> attributes;
        auto add = [&](const pugi::xml_attribute& attribute) {
            CanonicalAttribute a;
            a.qualifiedName = attribute.name();
            a.value = attribute.value();
            const std::string::size_type colon = a.qualifiedName.find(':');
            if (colon == std::string::npos) {
                a.localName = a.qualifiedName;
            } else {
                const std::string prefix = a.qualifiedName.substr(0, colon);
                a.localName = a.qualifiedName.substr(colon + 1);
                if (prefix == "xml") {
                    a.namespaceUri = kXmlNamespace;
                } else {
                    auto bound = scope.find(prefix);
                    // An unbound prefix is a namespace error; the name is then
                    // ordered as written, like a parser without namespaces would.
                    if (bound != scope.end()) a.namespaceUri = bound->second;
                    else a.localName = a.qualifiedName;
                }
            }
            attributes.push_back(std::move(a));
        };
        for (const pugi::xml_attribute& attribute : element.attributes()) {
            if (!isNamespaceDeclaration(attribute.name())) add(attribute);
        }
        for (const pugi::xml_attribute& attribute : inherited) {
            bool present = false;
            for (const CanonicalAttribute& a : attributes) {
                present = present || a.qualifiedName == attribute.name();
            }
            if (!present) add(attribute);
        }
        std::sort(attributes.begin(), attributes.end());
        for (const CanonicalAttribute& a : attributes) {
            text_ += ' ';
            text_ += a.qualifiedName;
            text_ += "=\"";
            appendCanonicalAttribute(&text_, a.value);
            text_ += '"';
        }
        text_ += '>';

        for (const pugi::xml_node& child : element.children()) {
            switch (child.type()) {
                case pugi::node_element:
                    if (child != excluded_) printElement(child, scope, scope, {});
                    break;
                case pugi::node_pcdata:
                case pugi::node_cdata:
                    appendCanonicalText(&text_, child.value());
                    break;
                case pugi::node_comment:
                    if (withComments_) printLeaf(child);
                    break;
                case pugi::node_pi:
                    printLeaf(child);
                    break;
                default:
                    break;
            }
        }

        text_ += "</";
        text_ += element.name();
        text_ += '>';
    }

    bool withComments_;
    pugi::xml_node excluded_;
    std::string text_;
};

// ---- output writer -----------------------------------------------------------------

void writeNode(const pugi::xml_node& node, std::string* out) {
    switch (node.type()) {
        case pugi::node_element: {
            *out += '<';
            *out += node.name();
            for (const pugi::xml_attribute& attribute : node.attributes()) {
                *out += ' ';
                *out += attribute.name();
                *out += "=\"";
                appendOutputAttribute(out, attribute.value());
                *out += '"';
            }
            if (!node.first_child()) {
                *out += " />";
                break;
            }
            *out += '>';
            for (const pugi::xml_node& child : node.children()) writeNode(child, out);
            *out += "</";
            *out += node.name();
            *out += '>';
            break;
        }
        case pugi::node_pcdata:
            appendOutputText(out, node.value());
            break;
        case pugi::node_cdata: {
            // "]]>" cannot stand inside a section: split it across two.
            std::string value = node.value();
            std::string::size_type at;
            while ((at = value.find("]]>")) != std::string::npos) value.replace(at, 3, "]]]]><![CDATA[>");
            *out += "<![CDATA[" + value + "]]>";
            break;
        }
        case pugi::node_comment:
            *out += "<!--";
            *out += node.value();
            *out += "-->";
            break;
        case pugi::node_pi:
            *out += "<?";
            *out += node.name();
            if (*node.value()) {
                *out += ' ';
                *out += node.value();
            }
            *out += "?>";
            break;
        case pugi::node_declaration:
            *out += "<?xml";
            for (const pugi::xml_attribute& attribute : node.attributes()) {
                *out += ' ';
                *out += attribute.name();
                *out += "=\"";
                *out += attribute.value();
                *out += '"';
            }
            *out += "?>";
            break;
        case pugi::node_doctype:
            *out += "<!DOCTYPE ";
            *out += node.value();
            *out += '>';
            break;
        default:
            break;
    }
}

// The nodes of the document, one line each at the top level.
std::string writeDocument(const pugi::xml_document& document) {
    std::string out;
    for (const pugi::xml_node& child : document.children()) {
        if (!out.empty()) out += '\n';
        writeNode(child, &out);
    }
    return out;
}

// One element per line without indentation, in element-only content: the
// whitespace text between child elements (all of it line-breaking) is replaced
// by one line feed before each child and one before the end tag. Content that
// holds text (mixed content, text-only elements, blanks between inline
// elements) and xml:space="preserve" subtrees are left as they are, so no
// character of the document's text changes.
void layOutOneElementPerLine(pugi::xml_node element, bool preserve = false) {
    const pugi::xml_attribute space = element.attribute("xml:space");
    if (space) preserve = std::strcmp(space.value(), "preserve") == 0;
    bool hasStructure = false;
    bool hasText = false;
    for (const pugi::xml_node& child : element.children()) {
        switch (child.type()) {
            case pugi::node_element:
            case pugi::node_comment:
            case pugi::node_pi:
                hasStructure = true;
                break;
            case pugi::node_pcdata:
                // A blank between two inline elements ("<b>x</b> <i>y</i>")
                // is content; whitespace that breaks the line is layout.
                hasText = hasText || !isWhitespaceOnly(child.value()) || !std::strchr(child.value(), '\n');
                break;
            case pugi::node_cdata:
                hasText = true;
                break;
            default:
                break;
        }
    }
    if (hasStructure && !hasText && !preserve) {
        for (pugi::xml_node child = element.first_child(); child;) {
            pugi::xml_node next = child.next_sibling();
            if (child.type() == pugi::node_pcdata) element.remove_child(child);
            child = next;
        }
        for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling()) {
            element.insert_child_before(pugi::node_pcdata, child).set_value("\n");
        }
        element.append_child(pugi::node_pcdata).set_value("\n");
    }
    for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_element) layOutOneElementPerLine(child, preserve);
    }
}

// ---- source text positions -----------------------------------------------------------

// From `at` (just after "<" or "</" and the name), the position of the ">" that
// ends the tag, stepping over quoted attribute values. npos when unterminated.
std::string::size_type endOfTag(const std::string& text, std::string::size_type at) {
    while (at < text.size()) {
        const char c = text[at];
        if (c == '"' || c == '\'') {
            at = text.find(c, at + 1);
            if (at == std::string::npos) return at;
        } else if (c == '>') {
            return at;
        }
        ++at;
    }
    return std::string::npos;
}

// Where an element stands in the source text.
struct ElementSpan {
    std::string::size_type startTagEnd = std::string::npos;  // position of the start tag's ">"
    bool selfClosing = false;
    std::string::size_type endTagStart = std::string::npos;  // position of its "</", if any
};

// `nameAt`: position of the element's name in the text (just after "<").
ElementSpan locateElement(const std::string& text, std::string::size_type nameAt) {
    ElementSpan span;
    span.startTagEnd = endOfTag(text, nameAt);
    if (span.startTagEnd == std::string::npos) return span;
    span.selfClosing = text[span.startTagEnd - 1] == '/';
    if (span.selfClosing) return span;
    int depth = 1;
    std::string::size_type at = span.startTagEnd + 1;
    while ((at = text.find('<', at)) != std::string::npos) {
        if (text.compare(at, 4, "<!--") == 0) {
            at = text.find("-->", at + 4);
            if (at == std::string::npos) break;
            at += 3;
        } else if (text.compare(at, 9, "<![CDATA[") == 0) {
            at = text.find("]]>", at + 9);
            if (at == std::string::npos) break;
            at += 3;
        } else if (text.compare(at, 2, "<?") == 0) {
            at = text.find("?>", at + 2);
            if (at == std::string::npos) break;
            at += 2;
        } else if (text.compare(at, 2, "</") == 0) {
            if (--depth == 0) {
                span.endTagStart = at;
                return span;
            }
            at = endOfTag(text, at + 2);
            if (at == std::string::npos) break;
        } else {
            const std::string::size_type end = endOfTag(text, at + 1);
            if (end == std::string::npos) break;
            if (text[end - 1] != '/') ++depth;
            at = end + 1;
        }
    }
    return span;
}

// Where new markup goes into the source text of a document so that it becomes
// the last (or the first) child of an element while every other character of
// the text stays as it is: the new text is put in at `at`, replacing the
// `replaced` characters there, between `before` and `after`. An empty-element
// tag ("<a/>") becomes a start and an end tag around the new markup.
struct Insertion {
    std::string::size_type at = 0;
    std::string::size_type replaced = 0;
    std::string before, after;
};

// `element` belongs to the document parsed from `text`. False when its tags
// cannot be found in the text.
bool locateInsertion(const std::string& text, const pugi::xml_node& element, bool asFirstChild,
                     Insertion* insertion) {
    const std::ptrdiff_t nameAt = element.offset_debug();
    if (nameAt <= 0 || text.compare(static_cast<std::string::size_type>(nameAt), std::strlen(element.name()),
                                    element.name()) != 0) {
        return false;
    }
    const ElementSpan span = locateElement(text, static_cast<std::string::size_type>(nameAt));
    if (span.startTagEnd == std::string::npos || (!span.selfClosing && span.endTagStart == std::string::npos)) {
        return false;
    }
    *insertion = Insertion();
    if (span.selfClosing) {
        std::string::size_type at = span.startTagEnd - 1;  // the "/" of "/>"
        while (at > 0 && std::strchr(" \t\r\n", text[at - 1])) --at;
        insertion->at = at;
        insertion->replaced = span.startTagEnd + 1 - at;
        insertion->before = ">";
        insertion->after = std::string("</") + element.name() + ">";
    } else {
        insertion->at = asFirstChild ? span.startTagEnd + 1 : span.endTagStart;
    }
    return true;
}

std::string withInsertion(const std::string& text, const Insertion& insertion, const std::string& markup) {
    return text.substr(0, insertion.at) + insertion.before + markup + insertion.after +
           text.substr(insertion.at + insertion.replaced);
}

// ---- small helpers -------------------------------------------------------------------

std::string freshUuid() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
}

std::string base64(const QByteArray& bytes) { return bytes.toBase64().toStdString(); }

pugi::xml_node appendElement(pugi::xml_node parent, const char* name) { return parent.append_child(name); }

void setText(pugi::xml_node element, const std::string& text) {
    if (!text.empty()) element.append_child(pugi::node_pcdata).set_value(text.c_str());
}

pugi::xml_node appendTextElement(pugi::xml_node parent, const char* name, const std::string& text) {
    pugi::xml_node element = parent.append_child(name);
    setText(element, text);
    return element;
}

void setAttribute(pugi::xml_node element, const char* name, const std::string& value) {
    element.append_attribute(name).set_value(value.c_str());
}

// Document declarations that would make a verifier see other content than we
// do: entity definitions and attribute defaults are not applied by our parser.
bool hasUnsupportedDoctype(const pugi::xml_document& document) {
    for (const pugi::xml_node& child : document.children()) {
        if (child.type() != pugi::node_doctype) continue;
        const char* value = child.value();
        if (std::strstr(value, "<!ENTITY") || std::strstr(value, "<!ATTLIST")) return true;
    }
    return false;
}

constexpr unsigned int kParseOptions = pugi::parse_full | pugi::parse_ws_pcdata;

// Deepest element nesting we sign. The printer and the writer recurse once per
// level; real documents stay far below this.
constexpr int kMaximumDepth = 1000;

struct DepthWalker : pugi::xml_tree_walker {
    int deepest = 0;
    bool for_each(pugi::xml_node&) override {
        deepest = std::max(deepest, depth());
        return deepest <= kMaximumDepth;
    }
};

struct IdCounter : pugi::xml_tree_walker {
    explicit IdCounter(const char* wanted) : id(wanted) {}
    const char* id;
    int count = 0;
    pugi::xml_node first;
    bool for_each(pugi::xml_node& node) override {
        if (node.type() == pugi::node_element && std::strcmp(node.attribute("Id").value(), id) == 0) {
            if (!count++) first = node;
        }
        return true;
    }
};

int countElementsWithId(pugi::xml_node document, const char* id) {
    IdCounter counter(id);
    document.traverse(counter);
    return counter.count;
}

// The one element of the document that carries the Id; null when none or several do.
pugi::xml_node uniqueElementWithId(pugi::xml_node document, const std::string& id) {
    IdCounter counter(id.c_str());
    document.traverse(counter);
    return counter.count == 1 ? counter.first : pugi::xml_node();
}

// The output is UTF-8, and the text is read as UTF-8: a document that declares
// another encoding would be read differently by a verifier.
bool declaresUtf8(const pugi::xml_document& document) {
    const pugi::xml_node first = document.first_child();
    if (first.type() != pugi::node_declaration) return true;
    const pugi::xml_attribute encoding = first.attribute("encoding");
    if (!encoding) return true;
    const QString name = QString::fromUtf8(encoding.value()).toUpper();
    return name == "UTF-8" || name == "UTF8" || name == "US-ASCII" || name == "ASCII";
}

// The data as text up to its first zero byte.
std::string dataText(const SigningTask* task) {
    if (!task->data) return std::string();
    const QByteArray& data = *task->data;
    const int zero = data.indexOf('\0');
    return std::string(data.constData(), zero < 0 ? data.size() : zero);
}

// Parses with whitespace text kept: it is part of what a verifier sees.
bool parseDocument(const std::string& text, pugi::xml_document* document) {
    const pugi::xml_parse_result parsed =
        document->load_buffer(text.data(), text.size(), kParseOptions, pugi::encoding_utf8);
    if (!parsed) {
        logInfo("Cannot parse XML data");
        return false;
    }
    std::string refusal;
    DepthWalker depth;
    if (hasUnsupportedDoctype(*document)) {
        refusal = "Documents whose DOCTYPE declares entities or attribute lists cannot be signed";
    } else if (!declaresUtf8(*document)) {
        refusal = "Only documents in UTF-8 can be signed";
    } else if (!document->traverse(depth)) {
        refusal = "The document nests its elements too deeply";
    } else if (const char* fault = markupFault(text)) {
        refusal = std::string(kNotWellFormed) + fault;
    } else if (const char* fault = structureFault(*document)) {
        refusal = std::string(kNotWellFormed) + fault;
    } else if (const char* fault = documentNamespaceFault(*document)) {
        refusal = std::string(kNotWellFormed) + fault;
    }
    if (!refusal.empty()) {
        logInfo("Cannot parse XML data");
        logError(refusal);
        return false;
    }
    return true;
}

bool isRsaKey(const tev::x509::Certificate& certificate) {
    return QString::fromStdString(certificate.publicKeyType).contains("rsa", Qt::CaseInsensitive);
}

// ---- the signer ----------------------------------------------------------------------

using tev::quessel::pkcs11::SignerContext;

// Prepares the token job and fetches the certificate (throws what the token
// layer throws). Returns 0, or 53 for a key that cannot make an RSA-SHA256
// signature. The context owns whatever the job acquired in the module and
// releases it when it goes out of scope, so every road that does not reach the
// signing (which releases it itself) leaves the token free as well.
int prepareSigner(SigningTask* task, SignerContext* context, int mode) {
    const char* note = mode == 3 ? "Performing XAdES Enveloping" : "Performing XAdES Enveloped";
    qDebug() << note;
    logInfo(note);
    context->driverName = task->libraryName;
    context->libraryPath = task->modulePath;
    context->pin = task->pin;
    context->slotId = task->slotId;
    task->mode = mode;
    // A context that could not be prepared is reported by the certificate
    // lookup that follows.
    tev::quessel::pkcs11::initializeSigningContextForSigning(context);
    task->certificate = tev::quessel::pkcs11::getCertificateWithProvidedSerialNumber(context, task->certSerialNumber);
    context->certificate = &task->certificate;
    if (!isRsaKey(task->certificate)) {
        logError("The signature method is RSA-SHA256, but the certificate's key type is \"" +
                 task->certificate.publicKeyType + "\"");
        return kInvalidSignatureStructure;
    }
    return 0;
}

// Texts of the request and of the certificate become element text of the
// signature. XML 1.0 cannot carry a C0 control character (but tab, line feed
// and carriage return) in any form, nor bytes that are not UTF-8: written
// out, they would make the signed document one that no parser reads. Checked
// before anything is signed. 0, 52 for the claimed role, 51 for a
// certificate name.
int checkWrittenTexts(const SigningTask* task) {
    if (!isXmlText(task->signerClaimedRole)) {
        logError("The signer's claimed role holds characters that XML cannot carry");
        return kInvalidSignatureTarget;
    }
    if (!isXmlText(task->certificate.issuer) || (task->mode == 2 && !isXmlText(task->certificate.subject))) {
        logError("The certificate's name holds characters that XML cannot carry");
        return kInvalidXmlFormat;
    }
    return 0;
}

// ---- building blocks of a signature -------------------------------------------------------

void buildKeyInfo(const SigningTask* task, pugi::xml_node keyInfo) {
    logInfo("Building key info");
    X509* x509 = task->certificate.x509;
    if (task->mode == 2) {
        pugi::xml_node rsaKeyValue = appendElement(appendElement(keyInfo, "ds:KeyValue"), "ds:RSAKeyValue");
        appendTextElement(rsaKeyValue, "ds:Modulus", tev::x509::getPublicKeyModulus(x509));
        appendTextElement(rsaKeyValue, "ds:Exponent", tev::x509::getPublicKeyExponent(x509));
    }
    pugi::xml_node x509Data = appendElement(keyInfo, "ds:X509Data");
    appendTextElement(x509Data, "ds:X509Certificate", tev::x509::toBase64(x509));
    if (task->mode == 2) appendTextElement(x509Data, "ds:X509SubjectName", task->certificate.subject);
}

std::string signingTimeText() {
    // The fixed "+03:00" suffix names the offset, so the clock is read at it.
    // The C locale keeps the digits ASCII (xs:dateTime) on any desktop locale.
    const QDateTime now = QDateTime::currentDateTimeUtc().toOffsetFromUtc(3 * 3600);
    return QLocale::c().toString(now, QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")).toStdString() +
           kSigningTimeZoneSuffix;
}

// xades:QualifyingProperties under `object`; returns its xades:SignedProperties.
pugi::xml_node buildQualifyingProperties(const SigningTask* task, pugi::xml_node object,
                                         bool withDataObjectFormat) {
    pugi::xml_node qualifying = appendElement(object, "xades:QualifyingProperties");
    setAttribute(qualifying, "xmlns:xades", kXadesNamespace);
    setAttribute(qualifying, "Target", "#" + task->signatureId);

    pugi::xml_node signedProperties = appendElement(qualifying, "xades:SignedProperties");
    setAttribute(signedProperties, "Id", task->signedPropertiesId);
    setAttribute(signedProperties, "xmlns:ds", kXmlDsigNamespace);
    setAttribute(signedProperties, "xmlns:xades", kXadesNamespace);

    pugi::xml_node signatureProperties = appendElement(signedProperties, "xades:SignedSignatureProperties");
    if (task->addSigningTime) appendTextElement(signatureProperties, "xades:SigningTime", signingTimeText());
    pugi::xml_node cert = appendElement(appendElement(signatureProperties, "xades:SigningCertificate"), "xades:Cert");
    pugi::xml_node certDigest = appendElement(cert, "xades:CertDigest");
    setAttribute(appendElement(certDigest, "ds:DigestMethod"), "Algorithm", kDigestMethod);
    appendTextElement(certDigest, "ds:DigestValue", tev::x509::getSHA256DigestAsBase64(task->certificate.x509));
    pugi::xml_node issuerSerial = appendElement(cert, "xades:IssuerSerial");
    appendTextElement(issuerSerial, "ds:X509IssuerName", task->certificate.issuer);
    appendTextElement(issuerSerial, "ds:X509SerialNumber", task->certificate.serialNumber);
    if (!task->signerClaimedRole.empty()) {
        pugi::xml_node roles = appendElement(appendElement(signatureProperties, "xades:SignerRole"), "xades:ClaimedRoles");
        appendTextElement(roles, "xades:ClaimedRole", task->signerClaimedRole);
    }

    if (withDataObjectFormat) {
        pugi::xml_node format = appendElement(appendElement(signedProperties, "xades:SignedDataObjectProperties"),
                                              "xades:DataObjectFormat");
        setAttribute(format, "ObjectReference", "#" + task->dataReferenceId);
        const char* mime = task->mode == 2 ? "text/xml" : task->mode == 3 ? "application/octet-stream" : "";
        appendTextElement(format, "xades:MimeType", mime);
    }
    return signedProperties;
}

void buildObjectOfQualifyingProperties(const SigningTask* task, pugi::xml_node object,
                                       pugi::xml_node* signedProperties) {
    logInfo("Building ds:Signature > ds:Object");
    setAttribute(object, "Id", "Object-Id-1");
    *signedProperties = buildQualifyingProperties(task, object, true);
}

// The elements of ds:SignedInfo whose text is filled once the tree is final.
struct SignedInfoSlots {
    pugi::xml_node signedPropertiesDigest;
    pugi::xml_node dataDigest;
};

void appendSignatureMethods(pugi::xml_node signedInfo) {
    setAttribute(appendElement(signedInfo, "ds:CanonicalizationMethod"), "Algorithm", kCanonicalizationMethod);
    setAttribute(appendElement(signedInfo, "ds:SignatureMethod"), "Algorithm", kSignatureMethod);
}

pugi::xml_node appendSignedPropertiesReference(pugi::xml_node signedInfo, const std::string& id,
                                               const SigningTask* task) {
    pugi::xml_node reference = appendElement(signedInfo, "ds:Reference");
    setAttribute(reference, "Id", id);
    setAttribute(reference, "URI", "#" + task->signedPropertiesId);
    setAttribute(reference, "Type", kSignedPropertiesType);
    setAttribute(appendElement(reference, "ds:DigestMethod"), "Algorithm", kDigestMethod);
    return appendElement(reference, "ds:DigestValue");
}

void appendEnvelopedTransform(pugi::xml_node reference) {
    setAttribute(appendElement(appendElement(reference, "ds:Transforms"), "ds:Transform"), "Algorithm",
                 kEnvelopedSignatureTransform);
}

// ds:SignedInfo of a main signature; `dataUri` is the data reference's URI.
SignedInfoSlots buildSignedInfo(const SigningTask* task, pugi::xml_node signedInfo, const std::string& dataUri) {
    logInfo("Building ds:Signature > ds:SignedInfo");
    SignedInfoSlots digestSlots;
    appendSignatureMethods(signedInfo);
    digestSlots.signedPropertiesDigest = appendSignedPropertiesReference(signedInfo, "Reference-Id-1", task);
    pugi::xml_node reference = appendElement(signedInfo, "ds:Reference");
    setAttribute(reference, "Id", task->dataReferenceId);
    setAttribute(reference, "URI", dataUri);
    if (task->mode == 2) appendEnvelopedTransform(reference);
    setAttribute(appendElement(reference, "ds:DigestMethod"), "Algorithm", kDigestMethod);
    digestSlots.dataDigest = appendElement(reference, "ds:DigestValue");
    return digestSlots;
}

std::string digestOf(const pugi::xml_node& node, const pugi::xml_node& excluded = pugi::xml_node()) {
    C14NRules rules;
    rules.indent = false;
    rules.excluded = excluded;
    return base64(tev::crypto::digestSHA256(QByteArray::fromStdString(canonicalize(node, rules))));
}

// Signs the canonical ds:SignedInfo with the token and writes the value.
int buildSignatureValue(SignerContext* context, pugi::xml_node signedInfo, pugi::xml_node signatureValue) {
    logInfo("Building ds:Signature > ds:SignatureValue");
    if (!signedInfo) {
        logError("No node ds:SignedInfo can be found");
        return kInvalidSignatureStructure;
    }
    C14NRules rules;
    rules.indent = false;
    const QByteArray digest = tev::crypto::digestSHA256(QByteArray::fromStdString(canonicalize(signedInfo, rules)));

    // DigestInfo ::= SEQUENCE { SEQUENCE { sha256 OID, NULL }, OCTET STRING digest }
    const QString algorithm = tev::asn1::encodeSequenceOf(
        {tev::asn1::encodeObjectIdentifier({2, 16, 840, 1, 101, 3, 4, 2, 1}), tev::asn1::encodeNull()});
    const QString digestInfoHex = tev::asn1::encodeSequenceOf({algorithm, tev::asn1::encodeOctetString(digest)});
    char* bytes = nullptr;
    int length = 0;
    hexStringToByteArray(digestInfoHex.toStdString(), &bytes, &length);
    tev::quessel::Signature signature;
    signature.data = QByteArray(bytes, length);
    std::free(bytes);

    const int result = tev::quessel::pkcs11::signDigestWithProvidedSlotAndCertificate(context, &signature);
    setText(signatureValue, base64(signature.signature));
    return result;
}

// The skeleton of a main signature under `parent`.
struct SignatureSkeleton {
    pugi::xml_node signature, signedInfo, signatureValue, keyInfo, object;
};

SignatureSkeleton appendSignatureSkeleton(const SigningTask* task, pugi::xml_node parent) {
    SignatureSkeleton s;
    s.signature = appendElement(parent, "ds:Signature");
    setAttribute(s.signature, "xmlns:ds", kXmlDsigNamespace);
    setAttribute(s.signature, "Id", task->signatureId);
    s.signedInfo = appendElement(s.signature, "ds:SignedInfo");
    setAttribute(s.signedInfo, "xmlns:ds", kXmlDsigNamespace);
    s.signatureValue = appendElement(s.signature, "ds:SignatureValue");
    setAttribute(s.signatureValue, "xmlns:ds", kXmlDsigNamespace);
    setAttribute(s.signatureValue, "Id", task->signatureValueId);
    s.keyInfo = appendElement(s.signature, "ds:KeyInfo");
    setAttribute(s.keyInfo, "xmlns:ds", kXmlDsigNamespace);
    s.object = appendElement(s.signature, "ds:Object");
    setAttribute(s.object, "xmlns:ds", kXmlDsigNamespace);
    setAttribute(s.object, "xmlns:xades", kXadesNamespace);
    return s;
}

void ensureDeclaration(pugi::xml_document* document, bool withEncoding) {
    pugi::xml_node first = document->first_child();
    if (first && first.type() == pugi::node_declaration) return;
    pugi::xml_node declaration = document->prepend_child(pugi::node_declaration);
    setAttribute(declaration, "version", "1.0");
    if (withEncoding) setAttribute(declaration, "encoding", "UTF-8");
}

// ---- enveloped road ----------------------------------------------------------------------

// How the data reference points at the node to sign.
struct DataReference {
    std::string uri;
    pugi::xml_node node;  // the document node for URI=""
};

// 0 or 52.
int chooseNodeToSign(const SigningTask* task, pugi::xml_document* document, DataReference* reference) {
    const std::string& xpath = task->nodeToSignXPath;
    if (xpath.empty() || xpath == "/") {
        reference->node = *document;
        return 0;
    }
    const pugi::xpath_node selected = document->select_node(xpath.c_str());
    if (!selected) {
        logError("The node to be signed cannot be found with XPath " + xpath);
        return kInvalidSignatureTarget;
    }
    const pugi::xml_node node = selected.node();
    if (selected.attribute() || (node.type() != pugi::node_element && node.type() != pugi::node_document)) {
        logError("The node to be signed is not an element: " + xpath);
        return kInvalidSignatureTarget;
    }
    if (node.type() == pugi::node_document) {
        reference->node = *document;
        return 0;
    }
    const std::string id = node.attribute("Id").value();
    if (id.empty()) {
        if (node == document->document_element()) {
            reference->node = *document;
            return 0;
        }
        logError("The node to be signed carries no Id attribute to refer to: " + xpath);
        return kInvalidSignatureTarget;
    }
    if (countElementsWithId(*document, id.c_str()) != 1) {
        logError("The Id of the node to be signed is not unique in the document: " + id);
        return kInvalidSignatureTarget;
    }
    reference->uri = "#" + id;
    reference->node = node;
    return 0;
}

// The source text with an XML declaration in front (after a byte-order mark)
// when it has none: the signed document always opens with one.
std::string withDeclaration(const std::string& text, const pugi::xml_document& document) {
    if (document.first_child().type() == pugi::node_declaration) return text;
    const std::string::size_type bom = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    return text.substr(0, bom) + "<?xml version=\"1.0\"?>\n" + text.substr(bom);
}

// The new signature's own elements, found in the signed document as read back.
struct SignatureInDocument {
    pugi::xml_node signature, signedInfo, signatureValue, signedProperties, signedPropertiesDigest, dataDigest;
    bool complete() const {
        return signature && signedInfo && signatureValue && signedProperties && signedPropertiesDigest && dataDigest;
    }
};

SignatureInDocument findSignature(const pugi::xml_document& document, const SigningTask* task) {
    SignatureInDocument found;
    found.signature = uniqueElementWithId(document, task->signatureId);
    found.signedInfo = found.signature.child("ds:SignedInfo");
    found.signatureValue = found.signature.child("ds:SignatureValue");
    found.signedProperties = found.signature.child("ds:Object")
                                 .child("xades:QualifyingProperties")
                                 .child("xades:SignedProperties");
    found.signedPropertiesDigest =
        found.signedInfo.find_child_by_attribute("ds:Reference", "Id", "Reference-Id-1").child("ds:DigestValue");
    found.dataDigest = found.signedInfo.find_child_by_attribute("ds:Reference", "Id", task->dataReferenceId.c_str())
                           .child("ds:DigestValue");
    return found;
}

// The signature goes into the caller's text as it came: nothing of that text
// changes but the place where the signature stands (and a declaration in front
// when it has none), so every earlier signature over any part of it still
// holds. The signature itself is written one element per line.
//
// Its digests are taken over the document as it will stand, read back as a
// verifier reads it: the text with the signature put in while its digest and
// signature values are still empty. Filling those in changes no other node.
int buildXaDESEnvelopedSignature(SignerContext* context, SigningTask* task, std::string* out) {
    qDebug() << "Building XAdES Enveloped Signature";
    const std::string original = dataText(task);
    pugi::xml_document document;
    if (!parseDocument(original, &document)) return kInvalidXmlFormat;

    task->signedPropertiesId = "Signed-Properties-Id-" + freshUuid();
    task->dataReferenceId = "Reference-Id-" + freshUuid();
    task->signatureId = "Signature-Id-" + freshUuid();
    task->signatureValueId = "Signature-Value-Id-" + freshUuid();

    const pugi::xpath_node_set targets = document.select_nodes(task->signatureNodeXPath.c_str());
    if (targets.size() != 1 || targets.first().attribute() ||
        targets.first().node().type() != pugi::node_element) {
        logError("Cannot find target signature node");
        return kInvalidSignatureTarget;
    }
    const pugi::xml_node target = targets.first().node();
    DataReference data;
    if (const int chosen = chooseNodeToSign(task, &document, &data)) return chosen;
    Insertion insertion;
    if (!locateInsertion(original, target, false, &insertion)) {
        logError("Cannot locate the target signature node in the document text");
        return kInvalidSignatureStructure;
    }
    const std::string source = withDeclaration(original, document);
    insertion.at += source.size() - original.size();

    SignatureSkeleton s = appendSignatureSkeleton(task, target);
    buildKeyInfo(task, s.keyInfo);
    pugi::xml_node signedProperties;
    buildObjectOfQualifyingProperties(task, s.object, &signedProperties);
    buildSignedInfo(task, s.signedInfo, data.uri);
    layOutOneElementPerLine(s.signature);
    std::string draft;
    writeNode(s.signature, &draft);

    pugi::xml_document signedDocument;
    const std::string signedText = withInsertion(source, insertion, draft);
    const bool readBack =
        signedDocument.load_buffer(signedText.data(), signedText.size(), kParseOptions, pugi::encoding_utf8);
    const SignatureInDocument placed = findSignature(signedDocument, task);
    if (!readBack || !placed.complete()) {
        logError("The signed document does not read back with the new signature in place");
        return kInvalidSignatureStructure;
    }
    const pugi::xml_node dataNode =
        data.uri.empty() ? pugi::xml_node(signedDocument) : uniqueElementWithId(signedDocument, data.uri.substr(1));
    if (!dataNode) {
        logError("The Id of the node to be signed is not unique in the signed document: " + data.uri.substr(1));
        return kInvalidSignatureTarget;
    }
    setText(placed.signedPropertiesDigest, digestOf(placed.signedProperties));
    setText(placed.dataDigest, digestOf(dataNode, placed.signature));
    const int result = buildSignatureValue(context, placed.signedInfo, placed.signatureValue);
    std::string signature;
    writeNode(placed.signature, &signature);
    *out = withInsertion(source, insertion, signature);
    return result;
}

// ---- counter-signature road ------------------------------------------------------------

int counterSign(SignerContext* context, SigningTask* task, std::string* out) {
    qDebug() << "Adding counter signature";
    const std::string original = dataText(task);
    pugi::xml_document document;
    if (!parseDocument(original, &document)) return kInvalidXmlFormat;

    const pugi::xml_node counterSigned = document.select_node("//ds:Signature").node();
    if (!counterSigned) {
        logError("No node ds:Signature can be found");
        return kInvalidSignatureStructure;
    }
    const pugi::xml_node qualifying = counterSigned.select_node("ds:Object/xades:QualifyingProperties").node();
    if (!qualifying) {
        logError("No node xades:QualifyingProperties can be found");
        return kInvalidSignatureStructure;
    }
    const pugi::xml_node unsignedProperties = qualifying.child("xades:UnsignedProperties");
    const pugi::xml_node unsignedSignatureProperties =
        unsignedProperties.child("xades:UnsignedSignatureProperties");
    const pugi::xml_node counterSignedValue = counterSigned.child("ds:SignatureValue");
    if (!counterSignedValue) {
        logError("No node ds:SignatureValue can be found");
        return kInvalidSignatureStructure;
    }
    const std::string counterSignedValueId = counterSignedValue.attribute("Id").value();
    if (counterSignedValueId.empty()) {
        logError("The counter-signed ds:SignatureValue carries no Id to refer to");
        return kInvalidSignatureStructure;
    }

    // Where the new elements go, in the tree and in the text. An existing
    // xades:UnsignedSignatureProperties takes the new counter-signature as its
    // last child; an existing xades:UnsignedProperties without it takes a new
    // one as its first child (it precedes the data object properties);
    // otherwise new unsigned properties close the qualifying properties.
    pugi::xml_node container = unsignedSignatureProperties ? unsignedSignatureProperties
                               : unsignedProperties         ? unsignedProperties
                                                            : qualifying;
    const bool asFirstChild = unsignedProperties && !unsignedSignatureProperties;
    Insertion insertion;
    if (!locateInsertion(original, container, asFirstChild, &insertion)) {
        logError("Cannot locate the unsigned properties in the document text");
        return kInvalidSignatureStructure;
    }

    const NamespaceScope scope = scopeOf(container);
    auto bound = [&scope](const char* prefix, const char* uri) {
        auto it = scope.find(prefix);
        return it != scope.end() && it->second == uri;
    };

    pugi::xml_node top;
    pugi::xml_node counterSignature;
    if (!unsignedProperties) {
        top = container.append_child("xades:UnsignedProperties");
        counterSignature = top.append_child("xades:UnsignedSignatureProperties").append_child("xades:CounterSignature");
    } else if (asFirstChild) {
        top = container.prepend_child("xades:UnsignedSignatureProperties");
        counterSignature = top.append_child("xades:CounterSignature");
    } else {
        top = container.append_child("xades:CounterSignature");
        counterSignature = top;
    }
    if (!bound("xades", kXadesNamespace)) setAttribute(top, "xmlns:xades", kXadesNamespace);

    task->signedPropertiesId = "Signed-Properties-Id-" + freshUuid();
    task->dataReferenceId = "Reference-Id-" + freshUuid();
    task->signatureId = "Counter-Signature-Id-" + freshUuid();
    task->objectId = "Counter-Signature-Object-Id-" + freshUuid();
    task->signatureValueId = "Counter-Signature-Value-Id-" + freshUuid();

    pugi::xml_node signature = appendElement(counterSignature, "ds:Signature");
    if (!bound("ds", kXmlDsigNamespace)) setAttribute(signature, "xmlns:ds", kXmlDsigNamespace);
    setAttribute(signature, "Id", task->signatureId);
    pugi::xml_node signedInfo = appendElement(signature, "ds:SignedInfo");
    setAttribute(signedInfo, "xmlns:ds", kXmlDsigNamespace);
    pugi::xml_node signatureValue = appendElement(signature, "ds:SignatureValue");
    setAttribute(signatureValue, "xmlns:ds", kXmlDsigNamespace);
    setAttribute(signatureValue, "Id", task->signatureValueId);
    pugi::xml_node keyInfo = appendElement(signature, "ds:KeyInfo");
    setAttribute(keyInfo, "xmlns:ds", kXmlDsigNamespace);
    pugi::xml_node object = appendElement(signature, "ds:Object");
    setAttribute(object, "Id", task->objectId);
    setAttribute(object, "xmlns:ds", kXmlDsigNamespace);
    setAttribute(object, "xmlns:xades", kXadesNamespace);

    buildKeyInfo(task, keyInfo);
    logInfo("Building ds:Signature > ds:Object");
    const pugi::xml_node signedProperties = buildQualifyingProperties(task, object, false);

    logInfo("Building ds:Signature > ds:SignedInfo");
    appendSignatureMethods(signedInfo);
    pugi::xml_node propertiesDigest = appendSignedPropertiesReference(signedInfo, "Reference-Id-" + freshUuid(), task);
    pugi::xml_node reference = appendElement(signedInfo, "ds:Reference");
    setAttribute(reference, "Id", task->dataReferenceId);
    setAttribute(reference, "Type", kCountersignedSignatureType);
    setAttribute(reference, "URI", "#" + counterSignedValueId);
    appendEnvelopedTransform(reference);
    setAttribute(appendElement(reference, "ds:DigestMethod"), "Algorithm", kDigestMethod);
    pugi::xml_node valueDigest = appendElement(reference, "ds:DigestValue");

    // Line breaks around the new elements follow the text they are put into
    // (all of it inside the counter-signed signature, outside what it signs).
    const std::string::size_type at = insertion.at;
    if (insertion.replaced == 0 && asFirstChild) {
        if (at < original.size() && original[at] == '\n') {
            insertion.before = "\n";
            container.insert_child_before(pugi::node_pcdata, top).set_value("\n");
        }
    } else if (insertion.replaced == 0) {
        if (at > 0 && original[at - 1] == '\n') {
            insertion.after = "\n";
            container.append_child(pugi::node_pcdata).set_value("\n");
        }
    }

    layOutOneElementPerLine(top);
    setText(propertiesDigest, digestOf(signedProperties));
    setText(valueDigest, digestOf(counterSignedValue, signature));
    const int result = buildSignatureValue(context, signedInfo, signatureValue);

    std::string fragment;
    writeNode(top, &fragment);
    *out = withInsertion(original, insertion, fragment);
    while (!out->empty() && (out->back() == '\n' || out->back() == '\r' || out->back() == ' ')) {
        qDebug() << "Removing extra entry character";
        out->pop_back();
    }
    return result;
}

}  // namespace

// ---- canonicalisation ----------------------------------------------------------------

std::string canonicalize(const pugi::xml_node& node, const C14NRules& rules) {
    CanonicalPrinter printer(rules);
    if (node.type() == pugi::node_document) {
        printer.printDocument(node);
    } else if (node.type() == pugi::node_element) {
        printer.printApex(node);
    } else if (node && node.parent().type() == pugi::node_document) {
        bool aheadOfRoot = true;
        for (pugi::xml_node n = node; n; n = n.previous_sibling()) {
            aheadOfRoot = aheadOfRoot && n.type() != pugi::node_element;
        }
        if (aheadOfRoot) printer.printDocument(node.parent());
    }
    return std::move(printer.text());
}

QByteArray canonicalizeAndCalculateTreeDigest(pugi::xml_document* document, pugi::xml_node* node,
                                              C14NRules* rules) {
    (void)document;
    return tev::crypto::digestSHA256(QByteArray::fromStdString(canonicalize(*node, *rules)));
}

// ---- entry points ----------------------------------------------------------------------

int signXadesBESEnveloping(QByteArray* out, SigningTask* task) {
    SignerContext context;
    if (const int refused = prepareSigner(task, &context, 3)) return refused;
    if (const int refused = checkWrittenTexts(task)) return refused;

    task->signedPropertiesId = "Signed-Properties-Id-1";
    task->dataReferenceId = "Reference-Id-2";
    task->signatureId = "Signature-Id-1";
    task->objectId = "Object-Id-2";
    task->signatureValueId = "Signature-Value-Id-" + freshUuid();

    pugi::xml_document document;
    SignatureSkeleton s = appendSignatureSkeleton(task, document);
    buildKeyInfo(task, s.keyInfo);
    pugi::xml_node signedProperties;
    buildObjectOfQualifyingProperties(task, s.object, &signedProperties);
    pugi::xml_node dataObject = appendElement(s.signature, "ds:Object");
    setAttribute(dataObject, "Encoding", kBase64Encoding);
    setAttribute(dataObject, "Id", task->objectId);
    setText(dataObject, task->data ? base64(*task->data) : std::string());
    logInfo("-------> Signed Object Node Id: " + std::string(dataObject.attribute("Id").value()));

    const SignedInfoSlots digestSlots = buildSignedInfo(task, s.signedInfo, "#" + task->objectId);
    ensureDeclaration(&document, true);
    layOutOneElementPerLine(s.signature);
    setText(digestSlots.signedPropertiesDigest, digestOf(signedProperties));
    setText(digestSlots.dataDigest, digestOf(dataObject));
    const int result = buildSignatureValue(&context, s.signedInfo, s.signatureValue);
    out->append(QByteArray::fromStdString(writeDocument(document)));
    return result;
}

int signXadesBESEnveloped(QByteArray* out, SigningTask* task) {
    SignerContext context;
    if (const int refused = prepareSigner(task, &context, 2)) return refused;
    if (const int refused = checkWrittenTexts(task)) return refused;
    std::string text;
    const int result = task->addCounterSignature ? counterSign(&context, task, &text)
                                                 : buildXaDESEnvelopedSignature(&context, task, &text);
    if (result == kInvalidXmlFormat || result == kInvalidSignatureTarget || result == kInvalidSignatureStructure) {
        return result;
    }
    out->append(QByteArray::fromStdString(text));
    return result;
}

}  // namespace xades
}  // namespace quessel
}  // namespace tev
