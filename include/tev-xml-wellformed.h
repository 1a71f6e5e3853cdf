// Whether a document given to sign into is one we may sign: well-formed XML
// 1.0 with namespaces, as a conforming parser judges it, and within the few
// further limits of the signer.
//
// The signed document goes out as the caller's own text, and every verifier
// parses it again; a document that its parser refuses, or reads otherwise
// than we do, makes a signature nobody can check. pugixml, which the builder
// works on, accepts much that XML forbids and has no namespace model, so the
// verdict is expat's, with namespace processing: a conforming parser whose
// look-ups of names and prefixes are hashed, so that its time grows with the
// size of the document and not with the declarations in scope (libxml2 2.9
// walks the whole scope for every prefixed name). Besides what expat refuses,
// these are refused:
//   - a NUL character anywhere (XML allows U+0000 nowhere);
//   - an XML version other than 1.x;
//   - a declared encoding other than UTF-8 or ASCII (the text is read, and
//     handed out, as UTF-8);
//   - entity and attribute-list declarations, and references to entities
//     that only an external DTD could declare: a verifier that applies them
//     sees other content than we signed;
//   - element nesting deeper than kMaximumXmlDepth;
//   - namespace names that are not absolute URIs, as libxml2's URI parser
//     reads them: the Canonical XML 1.0 of the verifiers (xmlsec1) fails on
//     them, and every digest of the signature is taken with it;
//   - namespace names holding "&" (or another character Canonical XML
//     escapes): the verifiers' canonical form writes them unescaped, so no
//     digest taken by the standard matches theirs;
//   - namespace names longer than kLongestNamespaceName bytes: the
//     namespace-aware reading costs their length for every prefixed
//     attribute.
// The document is read twice, once for the length of its namespace names and
// once with namespaces; no tree is built and nothing is fetched.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

namespace tev {
namespace quessel {
namespace xades {

// Deepest element nesting we sign. The canonical printer and the writer
// recurse once per level; real documents stay far below this.
constexpr int kMaximumXmlDepth = 1000;

// Longest namespace name we sign, in bytes. Real ones are far shorter (the
// longest in common use are under 100 bytes); the namespace-aware
// reading copies a name once per prefixed attribute, so this bounds that
// reading at a fixed multiple of the document's size.
constexpr std::size_t kLongestNamespaceName = 512;

// Whether an attribute name is a namespace declaration ("xmlns" or
// "xmlns:prefix"), as pugixml and a reading without namespaces hand it over.
inline bool isNamespaceDeclaration(const char* name) {
    return std::strncmp(name, "xmlns", 5) == 0 && (name[5] == '\0' || name[5] == ':');
}

struct XmlRefusal {
    std::string reason;  // what is wrong, in the parser's words where it found it
    int line = 0;        // where, 1-based; 0 when the parser could not tell
    int column = 0;
};

// True when `text` may be signed; otherwise false, with *refusal filled.
bool judgeXmlDocument(const std::string& text, XmlRefusal* refusal);

}  // namespace xades
}  // namespace quessel
}  // namespace tev
