// XAdES-BES builder: enveloping, enveloped and counter-signatures, and the
// Canonical XML 1.0 printer their digests are taken over.
//
// How the digests are kept exact: a verifier parses the document we hand out
// and canonicalises the referenced nodes of *that* document. So we first give
// the document its final shape in memory, including every whitespace text node
// that the written text will carry (the one-element-per-line layout), then take
// every digest over that tree with our own Canonical XML 1.0 printer, fill in
// the digest and signature values (text of leaf elements, which changes no
// other node), and finally write the tree out with our own writer, whose text
// parses back into the same tree. pugixml's own printer is used for neither
// step: its escaping is not what Canonical XML asks for and has changed between
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

bool isWhitespaceOnly(const char* text) {
    for (; *text; ++text) {
        if (*text != ' ' && *text != '\t' && *text != '\n' && *text != '\r') return false;
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
    bool for_each(pugi::xml_node& node) override {
        if (node.type() == pugi::node_element && std::strcmp(node.attribute("Id").value(), id) == 0) ++count;
        return true;
    }
};

int countElementsWithId(pugi::xml_node document, const char* id) {
    IdCounter counter(id);
    document.traverse(counter);
    return counter.count;
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
    const char* refusal = nullptr;
    DepthWalker depth;
    if (hasUnsupportedDoctype(*document)) {
        refusal = "Documents whose DOCTYPE declares entities or attribute lists cannot be signed";
    } else if (!declaresUtf8(*document)) {
        refusal = "Only documents in UTF-8 can be signed";
    } else if (!document->traverse(depth)) {
        refusal = "The document nests its elements too deeply";
    }
    if (refusal) {
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

int buildXaDESEnvelopedSignature(SignerContext* context, SigningTask* task, std::string* out) {
    qDebug() << "Building XAdES Enveloped Signature";
    pugi::xml_document document;
    if (!parseDocument(dataText(task), &document)) return kInvalidXmlFormat;

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
    DataReference data;
    if (const int chosen = chooseNodeToSign(task, &document, &data)) return chosen;

    ensureDeclaration(&document, false);
    SignatureSkeleton s = appendSignatureSkeleton(task, targets.first().node());
    buildKeyInfo(task, s.keyInfo);
    pugi::xml_node signedProperties;
    buildObjectOfQualifyingProperties(task, s.object, &signedProperties);
    const SignedInfoSlots digestSlots = buildSignedInfo(task, s.signedInfo, data.uri);

    // The tree is now in its final shape but for the text of the digest and
    // signature values, so the digests cover what a verifier will see.
    layOutOneElementPerLine(document.document_element());
    setText(digestSlots.signedPropertiesDigest, digestOf(signedProperties));
    setText(digestSlots.dataDigest, digestOf(data.node, s.signature));
    const int result = buildSignatureValue(context, s.signedInfo, s.signatureValue);
    *out = writeDocument(document);
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
    const std::ptrdiff_t nameAt = container.offset_debug();
    if (nameAt <= 0 || original.compare(nameAt, std::strlen(container.name()), container.name()) != 0) {
        logError("Cannot locate the unsigned properties in the document text");
        return kInvalidSignatureStructure;
    }
    const ElementSpan span = locateElement(original, static_cast<std::string::size_type>(nameAt));
    if (span.startTagEnd == std::string::npos || (!span.selfClosing && span.endTagStart == std::string::npos)) {
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

    // Line breaks around the new elements follow the text they are put into.
    std::string before, after;
    std::string::size_type at = 0, replaced = 0;
    if (span.selfClosing) {
        at = span.startTagEnd - 1;  // the "/" of "/>"
        while (at > 0 && (original[at - 1] == ' ' || original[at - 1] == '\t' || original[at - 1] == '\n')) --at;
        replaced = span.startTagEnd + 1 - at;
        before = ">";
        after = std::string("</") + container.name() + ">";
    } else if (asFirstChild) {
        at = span.startTagEnd + 1;
        if (at < original.size() && original[at] == '\n') {
            before = "\n";
            container.insert_child_before(pugi::node_pcdata, top).set_value("\n");
        }
    } else {
        at = span.endTagStart;
        if (at > 0 && original[at - 1] == '\n') {
            after = "\n";
            container.append_child(pugi::node_pcdata).set_value("\n");
        }
    }

    layOutOneElementPerLine(top);
    setText(propertiesDigest, digestOf(signedProperties));
    setText(valueDigest, digestOf(counterSignedValue, signature));
    const int result = buildSignatureValue(context, signedInfo, signatureValue);

    std::string fragment;
    writeNode(top, &fragment);
    *out = original.substr(0, at) + before + fragment + after + original.substr(at + replaced);
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
