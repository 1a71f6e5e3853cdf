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
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "quessel-tasks.h"
#include "tev-asn1.h"
#include "tev-certificate.h"
#include "tev-commons.h"
#include "tev-logging.h"
#include "tev-pkcs11.h"
#include "tev-signature.h"
#include "tev-xml-wellformed.h"
#include "tev-xpath.h"

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

// Text of a processing instruction or comment as a verifier's parser hands
// it over: every CR LF and every lone CR read as one line feed (XML 1.0,
// end-of-line handling). pugixml does this for text, CDATA, comments and
// attribute values, but not for processing instructions. No reference can
// stand in either, so a CR there is always a literal line end.
void appendWithLineFeeds(std::string* out, const char* text) {
    for (; *text; ++text) {
        if (*text != '\r') {
            *out += *text;
        } else {
            *out += '\n';
            if (text[1] == '\n') ++text;
        }
    }
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

// An attribute as Canonical XML orders it: by namespace name (none first),
// then local name. The namespace name is the binding in scope, not a copy,
// and is ranked once per element (see rankNamespaces), so a long name costs
// once per element and not once per attribute and comparison.
struct CanonicalAttribute {
    const std::string* namespaceUri = nullptr;  // null: no namespace
    std::size_t namespaceRank = 0;              // 0: no namespace
    const char* localName = nullptr;
    const char* qualifiedName = nullptr;
    const char* value = nullptr;
};

bool operator<(const CanonicalAttribute& a, const CanonicalAttribute& b) {
    if (a.namespaceRank != b.namespaceRank) return a.namespaceRank < b.namespaceRank;
    return std::strcmp(a.localName, b.localName) < 0;
}

// Ranks the namespace names the attributes use, in byte order from 1, equal
// names (bound to several prefixes) equally.
void rankNamespaces(std::vector<CanonicalAttribute>* attributes) {
    std::vector<const std::string*> names;
    for (const CanonicalAttribute& a : *attributes) {
        if (a.namespaceUri) names.push_back(a.namespaceUri);
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    std::vector<const std::string*> byName = names;
    std::sort(byName.begin(), byName.end(), [](const std::string* x, const std::string* y) { return *x < *y; });
    std::vector<std::size_t> rankOf(names.size());  // parallel to `names`
    std::size_t rank = 0;
    for (std::size_t i = 0; i < byName.size(); ++i) {
        if (i == 0 || *byName[i] != *byName[i - 1]) ++rank;
        rankOf[static_cast<std::size_t>(std::lower_bound(names.begin(), names.end(), byName[i]) - names.begin())] = rank;
    }
    for (CanonicalAttribute& a : *attributes) {
        if (a.namespaceUri) {
            a.namespaceRank =
                rankOf[static_cast<std::size_t>(std::lower_bound(names.begin(), names.end(), a.namespaceUri) - names.begin())];
        }
    }
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
                    if (child != excluded_) printElement(child, false, {});
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
        scope_ = scopeOfAncestors(element);
        printElement(element, true, inherited);
    }

    std::string& text() { return text_; }

private:
    // A binding an element's own declaration replaced, to be put back after it.
    struct Rebinding {
        std::string prefix;
        bool wasBound;
        std::string previous;
    };

    void printLeaf(const pugi::xml_node& node) {
        if (node.type() == pugi::node_comment) {
            text_ += "<!--";
            appendWithLineFeeds(&text_, node.value());
            text_ += "-->";
        } else {
            text_ += "<?";
            text_ += node.name();
            if (*node.value()) {
                text_ += ' ';
                appendWithLineFeeds(&text_, node.value());
            }
            text_ += "?>";
        }
    }

    // Namespace bindings are kept in one scope for the whole walk: an element
    // enters its own declarations on the way down and takes them back on the
    // way up, so each costs in proportion to what it declares, not to what is
    // in scope (a document of n elements under n declarations stays linear).
    // The apex, whose ancestors are not printed, writes every binding in
    // scope; any other element writes those of its own declarations that
    // change what its (printed) parent has in scope, an undeclared default
    // as xmlns="". The xml prefix is never written. `inherited`: xml:*
    // attributes of the ancestors, nearest first, for the apex only.
    void printElement(const pugi::xml_node& element, bool apex,
                      const std::vector<pugi::xml_attribute>& inherited) {
        std::vector<Rebinding> rebindings;
        for (const pugi::xml_attribute& attribute : element.attributes()) {
            if (!isNamespaceDeclaration(attribute.name())) continue;
            std::string prefix = declaredPrefix(attribute.name());
            const auto bound = scope_.find(prefix);
            const bool wasBound = bound != scope_.end();
            rebindings.push_back({prefix, wasBound, wasBound ? bound->second : std::string()});
            scope_[std::move(prefix)] = attribute.value();
        }

        text_ += '<';
        text_ += element.name();
        if (apex) {
            for (const auto& binding : scope_) appendNamespace(binding.first, binding.second);
        } else {
            writeOwnDeclarations(rebindings);
        }

        std::vector<CanonicalAttribute> attributes;
        auto add = [&](const pugi::xml_attribute& attribute) {
            CanonicalAttribute a;
            a.qualifiedName = attribute.name();
            a.localName = a.qualifiedName;
            a.value = attribute.value();
            if (const char* colon = std::strchr(a.qualifiedName, ':')) {
                const std::string prefix(a.qualifiedName, colon);
                if (prefix == "xml") {
                    a.namespaceUri = &xmlNamespace_;
                    a.localName = colon + 1;
                } else {
                    auto bound = scope_.find(prefix);
                    // An unbound prefix is a namespace error; the name is then
                    // ordered as written, like a parser without namespaces would.
                    if (bound != scope_.end()) {
                        a.namespaceUri = &bound->second;
                        a.localName = colon + 1;
                    }
                }
            }
            attributes.push_back(a);
        };
        std::unordered_set<std::string_view> present;
        for (const pugi::xml_attribute& attribute : element.attributes()) {
            if (isNamespaceDeclaration(attribute.name())) continue;
            add(attribute);
            if (!inherited.empty()) present.insert(attribute.name());
        }
        for (const pugi::xml_attribute& attribute : inherited) {
            if (present.insert(attribute.name()).second) add(attribute);  // the nearest ancestor's wins
        }
        rankNamespaces(&attributes);
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
                    if (child != excluded_) printElement(child, false, {});
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

        for (auto it = rebindings.rbegin(); it != rebindings.rend(); ++it) {
            if (it->wasBound) scope_[it->prefix] = it->previous;
            else scope_.erase(it->prefix);
        }
    }

    void appendNamespace(const std::string& prefix, const std::string& uri) {
        if (uri.empty() || prefix == "xml") return;
        text_ += prefix.empty() ? " xmlns" : " xmlns:" + prefix;
        text_ += "=\"";
        appendCanonicalAttribute(&text_, uri.c_str());
        text_ += '"';
    }

    // The declarations of an element below the apex that change a binding of
    // its parent, default first, then by prefix.
    void writeOwnDeclarations(const std::vector<Rebinding>& rebindings) {
        std::vector<const Rebinding*> changed;
        for (const Rebinding& r : rebindings) {
            const std::string& now = scope_[r.prefix];
            if (!(r.wasBound && r.previous == now)) changed.push_back(&r);
        }
        std::sort(changed.begin(), changed.end(),
                  [](const Rebinding* a, const Rebinding* b) { return a->prefix < b->prefix; });
        for (const Rebinding* r : changed) {
            const std::string& now = scope_[r->prefix];
            if (r->prefix.empty() && now.empty() && r->wasBound && !r->previous.empty()) text_ += " xmlns=\"\"";
            else appendNamespace(r->prefix, now);
        }
    }

    bool withComments_;
    pugi::xml_node excluded_;
    NamespaceScope scope_;  // bindings in scope at the element being printed
    const std::string xmlNamespace_ = kXmlNamespace;
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

constexpr unsigned int kParseOptions = pugi::parse_full | pugi::parse_ws_pcdata;

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

// The data as text, all of it: a NUL byte in it is refused when it is read,
// never taken as its end (whatever followed would go unsigned).
std::string dataText(const SigningTask* task) {
    if (!task->data) return std::string();
    return std::string(task->data->constData(), static_cast<std::string::size_type>(task->data->size()));
}

// Reads a document to sign into: judged first by a conforming parser (see
// tev-xml-wellformed.h), then read with whitespace text kept, since that is
// part of what a verifier sees.
bool parseDocument(const std::string& text, pugi::xml_document* document) {
    XmlRefusal refusal;
    if (!judgeXmlDocument(text, &refusal)) {
        logInfo("Cannot parse XML data");
        logError("The document cannot be signed: line " + std::to_string(refusal.line) + ", column " +
                 std::to_string(refusal.column) + ": " + refusal.reason);
        return false;
    }
    const pugi::xml_parse_result read =
        document->load_buffer(text.data(), text.size(), kParseOptions, pugi::encoding_utf8);
    if (!read) {
        logInfo("Cannot parse XML data");
        logError("The document cannot be read at byte " + std::to_string(read.offset) + ": " + read.description());
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

// What the caller's XPath selects, in document order. The two XPaths of a
// request draw on one allowance that grows with the document (tev-xpath.h);
// an XPath that spends it selects nothing, and the log says which one it
// was and after how much work it stopped.
std::vector<pugi::xpath_node> selectNodes(const pugi::xml_node& document, const std::string& xpath, const char* role,
                                          XPathSpending* spending, std::size_t documentBytes) {
    std::vector<pugi::xpath_node> nodes;
    const std::uint64_t spentBefore = spending->work();
    const XPathOutcome outcome = selectByXPath(document, xpath, spending, &nodes);
    if (outcome.textTooLong) {
        logError("The XPath of " + std::to_string(xpath.size()) + " bytes is refused: an XPath may hold at most " +
                 std::to_string(kXPathTextLimit) + " bytes: " + logging::shownText(xpath));
    } else if (!outcome.completed) {
        const XPathAllowance& allowance = spending->allowance();
        const std::string limit =
            outcome.stop == XPathStop::Memory ? "the memory allowance of " + std::to_string(allowance.memory) + " bytes"
            : outcome.stop == XPathStop::Time
                ? "the CPU time budget of " + std::to_string(allowance.cpuNanoseconds / 1000000) + " ms"
                : std::string("the allowance");
        const std::string before =
            spentBefore ? " (the XPath before it spent " + std::to_string(spentBefore) + " units)" : "";
        logError("The XPath " + logging::shownText(xpath) + " is stopped after " + std::to_string(outcome.work) +
                 " units of work, " + limit + " for a document of " + std::to_string(documentBytes) +
                 " bytes, as the " + role + before);
    }
    return nodes;
}

// How the data reference points at the node to sign.
struct DataReference {
    std::string uri;
    pugi::xml_node node;  // the document node for URI=""
};

// 0 or 52.
int chooseNodeToSign(const SigningTask* task, pugi::xml_document* document, std::size_t documentBytes,
                     XPathSpending* spending, DataReference* reference) {
    const std::string& xpath = task->nodeToSignXPath;
    if (xpath.empty() || xpath == "/") {
        reference->node = *document;
        return 0;
    }
    const std::vector<pugi::xpath_node> found =
        selectNodes(*document, xpath, "nodeToSignXPath", spending, documentBytes);
    if (found.empty()) {
        logError("The node to be signed cannot be found with XPath " + logging::shownText(xpath));
        return kInvalidSignatureTarget;
    }
    const pugi::xpath_node& selected = found.front();
    const pugi::xml_node node = selected.node();
    if (selected.attribute() || (node.type() != pugi::node_element && node.type() != pugi::node_document)) {
        logError("The node to be signed is not an element: " + logging::shownText(xpath));
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
        logError("The node to be signed carries no Id attribute to refer to: " + logging::shownText(xpath));
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

    // One allowance for both XPaths; their memory is freed once both have run.
    auto spending = std::make_unique<XPathSpending>(xpathAllowance(original.size()));
    const std::vector<pugi::xpath_node> targets =
        selectNodes(document, task->signatureNodeXPath, "signatureNodeXPath", spending.get(), original.size());
    if (targets.size() != 1 || targets.front().attribute() || targets.front().node().type() != pugi::node_element) {
        logError("Cannot find target signature node");
        return kInvalidSignatureTarget;
    }
    const pugi::xml_node target = targets.front().node();
    DataReference data;
    if (const int chosen = chooseNodeToSign(task, &document, original.size(), spending.get(), &data)) return chosen;
    spending.reset();
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
    document.reset();  // all that follows works on the text; one tree at a time is enough

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
