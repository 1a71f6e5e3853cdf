#include "tev-xml-wellformed.h"

#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <mutex>

namespace tev {
namespace quessel {
namespace xades {

namespace {

// Long enough for any message of the parser; a name or value it quotes is
// cut rather than copied whole into the log.
constexpr std::size_t kLongestReason = 300;

std::string reasonText(const char* message) {
    std::string reason = message ? message : "";
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
    std::replace(reason.begin(), reason.end(), '\n', ' ');
    if (reason.size() > kLongestReason) reason = reason.substr(0, kLongestReason) + "...";
    return reason;
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

// The text is read as UTF-8 and handed out as it came; ASCII is UTF-8.
bool isUtf8Compatible(const char* encoding) {
    if (!encoding) return true;
    for (const char* name : {"UTF-8", "UTF8", "US-ASCII", "ASCII"}) {
        if (equalsIgnoringCase(encoding, name)) return true;
    }
    return false;
}

// What one reading of a document found; lives in the parser's _private.
struct Judgement {
    xmlParserCtxtPtr parser = nullptr;
    XmlRefusal refusal;
    bool refused = false;
    int depth = 0;

    // The first fault found is the one reported; reading stops at it.
    void refuse(const std::string& reason, int line, int column) {
        if (!refused) {
            refused = true;
            refusal.reason = reason;
            refusal.line = line;
            refusal.column = column;
        }
        xmlStopParser(parser);
    }
    void refuseHere(const std::string& reason) {
        refuse(reason, xmlSAX2GetLineNumber(parser), xmlSAX2GetColumnNumber(parser));
    }
};

Judgement& judgementOf(void* parser) {
    return *static_cast<Judgement*>(static_cast<xmlParserCtxtPtr>(parser)->_private);
}

// Called once the XML declaration, if any, has been read.
void onStartDocument(void* parser) {
    const xmlParserCtxtPtr context = static_cast<xmlParserCtxtPtr>(parser);
    const char* version = reinterpret_cast<const char*>(context->version);
    // The declared encoding: kept here for UTF-8 and UTF-16, on the input
    // for any other the parser switched to.
    const xmlChar* declared = context->encoding ? context->encoding : context->input ? context->input->encoding : nullptr;
    const char* encoding = reinterpret_cast<const char*>(declared);
    if (!isVersionOneDotSomething(version)) {
        judgementOf(parser).refuseHere(std::string("XML version ") + (version ? version : "(none)") +
                                       " is not 1.x");
    } else if (!isUtf8Compatible(encoding)) {
        judgementOf(parser).refuseHere(std::string("the encoding ") + encoding +
                                       " is not UTF-8; only UTF-8 documents are signed");
    }
}

void onStartElement(void* parser, const xmlChar*, const xmlChar*, const xmlChar*, int, const xmlChar**, int, int,
                    const xmlChar**) {
    Judgement& judgement = judgementOf(parser);
    if (++judgement.depth > kMaximumXmlDepth) {
        judgement.refuseHere("elements nested deeper than " + std::to_string(kMaximumXmlDepth) + " levels");
    }
}

void onEndElement(void* parser, const xmlChar*, const xmlChar*, const xmlChar*) { --judgementOf(parser).depth; }

void onEntityDeclaration(void* parser, const xmlChar* name, int, const xmlChar*, const xmlChar*, xmlChar*) {
    judgementOf(parser).refuseHere(std::string("the DOCTYPE declares the entity ") +
                                   reinterpret_cast<const char*>(name) + ", which documents to sign may not");
}

void onUnparsedEntityDeclaration(void* parser, const xmlChar* name, const xmlChar*, const xmlChar*,
                                 const xmlChar*) {
    onEntityDeclaration(parser, name, 0, nullptr, nullptr, nullptr);
}

void onAttributeDeclaration(void* parser, const xmlChar* element, const xmlChar*, int, int, const xmlChar*,
                            xmlEnumerationPtr tree) {
    xmlFreeEnumeration(tree);  // ours to free, as the SAX interface hands it over
    judgementOf(parser).refuseHere(std::string("the DOCTYPE declares attributes of ") +
                                   reinterpret_cast<const char*>(element) + ", which documents to sign may not");
}

// Every error the parser reports refuses the document: fatal ones (not
// well-formed) and the others (namespace errors among them). Of its warnings
// two refuse as well: a relative namespace name, which Canonical XML 1.0 must
// fail on, and a reference to an entity that only an external DTD could
// declare.
void onParserMessage(void* parser, xmlErrorPtr error) {
    if (!error) return;
    const bool refuses = error->level >= XML_ERR_ERROR || error->code == XML_WAR_NS_URI_RELATIVE ||
                         error->code == XML_WAR_NS_URI || error->code == XML_WAR_UNDECLARED_ENTITY;
    if (refuses) judgementOf(parser).refuse(reasonText(error->message), error->line, error->int2);
}

// Messages the library writes without a parser at hand (an encoding
// conversion, for one) reach the parser's own report as well; they are not
// written to standard error.
void dropGenericMessage(void*, const char*, ...) {}

xmlSAXHandler judgingHandler() {
    xmlSAXHandler handler;
    std::memset(&handler, 0, sizeof handler);
    handler.initialized = XML_SAX2_MAGIC;
    handler.startDocument = onStartDocument;
    handler.startElementNs = onStartElement;
    handler.endElementNs = onEndElement;
    handler.entityDecl = onEntityDeclaration;
    handler.unparsedEntityDecl = onUnparsedEntityDeclaration;
    handler.attributeDecl = onAttributeDeclaration;
    handler.serror = onParserMessage;
    return handler;
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
    std::call_once(initialized, [] {
        xmlInitParser();
        xmlThrDefSetGenericErrorFunc(nullptr, dropGenericMessage);
    });
    xmlSetGenericErrorFunc(nullptr, dropGenericMessage);  // this thread's own setting

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

    if (text.empty()) {
        refusal->reason = "an empty document";
        return false;
    }
    xmlParserCtxtPtr parser = xmlCreateMemoryParserCtxt(text.data(), static_cast<int>(text.size()));
    if (!parser) {
        refusal->reason = "the parser could not be set up";
        return false;
    }
    *parser->sax = judgingHandler();
    Judgement judgement;
    judgement.parser = parser;
    parser->_private = &judgement;
    parser->userData = parser;
    // No network, no DTD loaded; the size limits are the request's own.
    xmlCtxtUseOptions(parser, XML_PARSE_NONET | XML_PARSE_HUGE | XML_PARSE_PEDANTIC);
    xmlParseDocument(parser);
    if (!judgement.refused && (!parser->wellFormed || !parser->nsWellFormed)) {
        judgement.refusal.reason = "not well-formed";
        judgement.refused = true;
    }
    // No tree is built, but the parser makes a document of its own to hold
    // entity declarations (which it reads before we refuse them); ours to free.
    if (parser->myDoc) xmlFreeDoc(parser->myDoc);
    xmlFreeParserCtxt(parser);
    if (judgement.refused) *refusal = judgement.refusal;
    return !judgement.refused;
}

}  // namespace xades
}  // namespace quessel
}  // namespace tev
