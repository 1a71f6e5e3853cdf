#include "tev-xml-wellformed.h"

#include <expat.h>
#include <libxml/parser.h>
#include <libxml/uri.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <mutex>

namespace tev {
namespace quessel {
namespace xades {

namespace {

// A namespace name quoted in a refusal is cut to this many bytes rather than
// copied whole into the log (the log escapes what it holds).
constexpr std::size_t kLongestQuote = 300;

std::string quoted(const char* text) {
    const std::string whole = text;
    return whole.size() > kLongestQuote ? whole.substr(0, kLongestQuote) + "..." : whole;
}

bool equalsIgnoringCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
    }
    return *a == *b;
}

// "1." followed by digits.
bool isVersionOneDotSomething(const char* version) {
    if (!version || std::strncmp(version, "1.", 2) != 0 || !version[2]) return false;
    for (const char* c = version + 2; *c; ++c) {
        if (*c < '0' || *c > '9') return false;
    }
    return true;
}

// The text is read as UTF-8 and handed out as it came; ASCII is UTF-8. Other
// names for them ("UTF8") are refused: expat would not read the document.
bool isUtf8Compatible(const char* encoding) {
    if (!encoding) return true;
    for (const char* name : {"UTF-8", "US-ASCII", "ASCII"}) {
        if (equalsIgnoringCase(encoding, name)) return true;
    }
    return false;
}

// What one reading of a document found; the parser's user data.
struct Judgement {
    XML_Parser parser = nullptr;
    XmlRefusal refusal;
    bool refused = false;
    int depth = 0;

    // The first fault found is the one reported, where the parser stands.
    void note(const std::string& reason) {
        if (refused) return;
        refused = true;
        refusal.reason = reason;
        refusal.line = static_cast<int>(XML_GetCurrentLineNumber(parser));
        refusal.column = static_cast<int>(XML_GetCurrentColumnNumber(parser)) + 1;
    }
    // From a handler: noted, and reading stops there.
    void refuse(const std::string& reason) {
        note(reason);
        XML_StopParser(parser, XML_FALSE);
    }
};

Judgement& judgementOf(void* data) { return *static_cast<Judgement*>(data); }

void XMLCALL onXmlDeclaration(void* data, const XML_Char* version, const XML_Char* encoding, int) {
    if (!isVersionOneDotSomething(version)) {
        judgementOf(data).refuse(std::string("XML version ") + (version ? version : "(none)") + " is not 1.x");
    } else if (!isUtf8Compatible(encoding)) {
        judgementOf(data).refuse(std::string("the encoding ") + encoding +
                                 " is not UTF-8; only UTF-8 documents are signed");
    }
}

// expat knows US-ASCII by that name only; "ASCII" is the same encoding.
int XMLCALL onUnknownEncoding(void*, const XML_Char* name, XML_Encoding* info) {
    if (!equalsIgnoringCase(name, "ASCII")) return XML_STATUS_ERROR;
    for (int byte = 0; byte < 256; ++byte) info->map[byte] = byte < 0x80 ? byte : -1;
    info->data = nullptr;
    info->convert = nullptr;
    info->release = nullptr;
    return XML_STATUS_OK;
}

void XMLCALL onStartElement(void* data, const XML_Char*, const XML_Char**) {
    Judgement& judgement = judgementOf(data);
    if (++judgement.depth > kMaximumXmlDepth) {
        judgement.refuse("elements nested deeper than " + std::to_string(kMaximumXmlDepth) + " levels");
    }
}

void XMLCALL onEndElement(void* data, const XML_Char*) { --judgementOf(data).depth; }

// A namespace name must be what Canonical XML 1.0 processors accept: an
// absolute URI. Judged by libxml2's URI parser, the one the verifiers' own
// canonicalisation (xmlsec1) applies.
//
// Nor may it hold a character that Canonical XML escapes in attribute values
// (only "&" gets past the URI parser): libxml2's canonical form, and so every
// verifier built on it, writes namespace names unescaped, and no digest we take
// by the standard would match theirs.
void XMLCALL onNamespaceDeclaration(void* data, const XML_Char* prefix, const XML_Char* uri) {
    if (!uri || !*uri) return;  // an undeclared default namespace
    const std::string declaration = std::string(prefix ? "xmlns:" : "xmlns") + (prefix ? prefix : "") + ": ";
    if (std::strpbrk(uri, "&<\"\t\n\r")) {
        judgementOf(data).refuse(declaration + quoted(uri) +
                                 " holds a character that verifiers do not escape in a namespace name");
        return;
    }
    xmlURIPtr parsed = xmlParseURI(uri);
    const bool absolute = parsed && parsed->scheme && *parsed->scheme;
    if (parsed) xmlFreeURI(parsed);
    if (!absolute) {
        judgementOf(data).refuse(declaration + quoted(uri) + (parsed ? " is not an absolute URI" : " is not a URI"));
    }
}

void XMLCALL onEntityDeclaration(void* data, const XML_Char* name, int, const XML_Char*, int, const XML_Char*,
                                 const XML_Char*, const XML_Char*, const XML_Char*) {
    judgementOf(data).refuse(std::string("the DOCTYPE declares the entity ") + name +
                             ", which documents to sign may not");
}

void XMLCALL onAttributeListDeclaration(void* data, const XML_Char* element, const XML_Char*, const XML_Char*,
                                        const XML_Char*, int) {
    judgementOf(data).refuse(std::string("the DOCTYPE declares attributes of ") + element +
                             ", which documents to sign may not");
}

// A reference to an entity that only an external DTD could declare.
void XMLCALL onSkippedEntity(void* data, const XML_Char* name, int) {
    judgementOf(data).refuse(std::string("a reference to the undeclared entity ") + name);
}

// ---- the length of namespace names ----
//
// With namespace processing, expat copies and hashes the whole namespace name
// for every prefixed attribute it expands, before any handler can stop it: a
// long name under many attributes costs their product. So namespace names are
// measured first, by a reading without namespace processing (whose cost is
// that of the text), and a document with one longer than
// kLongestNamespaceName is refused before the namespace-aware reading starts.

struct LengthCheck {
    XML_Parser parser = nullptr;
    XmlRefusal refusal;
    bool refused = false;
};

void XMLCALL onStartElementMeasuringNamespaces(void* data, const XML_Char*, const XML_Char** attributes) {
    LengthCheck& check = *static_cast<LengthCheck*>(data);
    for (const XML_Char** a = attributes; *a; a += 2) {
        if (!isNamespaceDeclaration(a[0])) continue;
        const std::size_t length = std::strlen(a[1]);
        if (length <= kLongestNamespaceName) continue;
        check.refused = true;
        check.refusal.reason = std::string(a[0]) + ": a namespace name of " + std::to_string(length) +
                               " bytes; names longer than " + std::to_string(kLongestNamespaceName) +
                               " bytes are not signed";
        check.refusal.line = static_cast<int>(XML_GetCurrentLineNumber(check.parser));
        check.refusal.column = static_cast<int>(XML_GetCurrentColumnNumber(check.parser)) + 1;
        XML_StopParser(check.parser, XML_FALSE);
        return;
    }
}

// Entities are refused by the namespace-aware reading; this one stops there,
// before expanding any.
void XMLCALL onEntityDeclarationStop(void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                                     const XML_Char*, const XML_Char*, const XML_Char*) {
    XML_StopParser(static_cast<LengthCheck*>(data)->parser, XML_FALSE);
}

// False, with *refusal filled, when a namespace name is too long. Any other
// fault is left to the namespace-aware reading, which meets it first.
bool namespaceNamesWithinLimit(const std::string& text, XmlRefusal* refusal) {
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (!parser) return true;  // the namespace-aware reading reports what is wrong
    LengthCheck check;
    check.parser = parser;
    XML_SetUserData(parser, &check);
    XML_SetUnknownEncodingHandler(parser, onUnknownEncoding, nullptr);
    XML_SetStartElementHandler(parser, onStartElementMeasuringNamespaces);
    XML_SetEntityDeclHandler(parser, onEntityDeclarationStop);
    XML_Parse(parser, text.data(), static_cast<int>(text.size()), XML_TRUE);
    XML_ParserFree(parser);
    if (check.refused) *refusal = check.refusal;
    return !check.refused;
}

// 1-based line and column of text[at].
void positionOf(const std::string& text, std::string::size_type at, int* line, int* column) {
    *line = 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
    const std::string::size_type lineStart = at == 0 ? std::string::npos : text.rfind('\n', at - 1);
    *column = 1 + static_cast<int>(lineStart == std::string::npos ? at : at - lineStart - 1);
}

}  // namespace

bool judgeXmlDocument(const std::string& text, XmlRefusal* refusal) {
    static std::once_flag initialized;
    std::call_once(initialized, [] { xmlInitParser(); });  // for its URI parser, from any thread

    *refusal = XmlRefusal();
    const std::string::size_type nul = text.find('\0');
    if (nul != std::string::npos) {
        refusal->reason = "a NUL character, which XML allows nowhere";
        positionOf(text, nul, &refusal->line, &refusal->column);
        return false;
    }
    if (text.size() > static_cast<std::string::size_type>(std::numeric_limits<int>::max())) {
        refusal->reason = "too large to read";
        return false;
    }
    if (!namespaceNamesWithinLimit(text, refusal)) return false;
    // Namespace processing on: names and prefixes are judged as qualified
    // names, bindings as Namespaces in XML 1.0 has them. No DTD or external
    // entity is read.
    XML_Parser parser = XML_ParserCreateNS(nullptr, ' ');
    if (!parser) {
        refusal->reason = "the parser could not be set up";
        return false;
    }
    Judgement judgement;
    judgement.parser = parser;
    XML_SetUserData(parser, &judgement);
    XML_SetXmlDeclHandler(parser, onXmlDeclaration);
    XML_SetUnknownEncodingHandler(parser, onUnknownEncoding, nullptr);
    XML_SetElementHandler(parser, onStartElement, onEndElement);
    XML_SetStartNamespaceDeclHandler(parser, onNamespaceDeclaration);
    XML_SetEntityDeclHandler(parser, onEntityDeclaration);
    XML_SetAttlistDeclHandler(parser, onAttributeListDeclaration);
    XML_SetSkippedEntityHandler(parser, onSkippedEntity);
    if (XML_Parse(parser, text.data(), static_cast<int>(text.size()), XML_TRUE) != XML_STATUS_OK) {
        judgement.note(XML_ErrorString(XML_GetErrorCode(parser)));  // unless a handler refused first
    }
    XML_ParserFree(parser);
    if (judgement.refused) *refusal = judgement.refusal;
    return !judgement.refused;
}

}  // namespace xades
}  // namespace quessel
}  // namespace tev
