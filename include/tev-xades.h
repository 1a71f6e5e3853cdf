// XAdES-BES signatures (XML-DSig with XAdES 1.3.2 qualifying properties) made
// with a key on a smart card or token, and the Canonical XML 1.0 printer that
// every digest of them is taken over.
//
// Three forms:
//   - enveloping: any bytes, carried Base64-encoded inside a new document whose
//     root is ds:Signature;
//   - enveloped: a ds:Signature appended to an element of the given document;
//   - counter-signature: a ds:Signature inside the unsigned properties of the
//     first ds:Signature of the given document.
// All digests are SHA-256, the signature method RSA-SHA256 (PKCS#1 v1.5).
//
// Every digest is taken over the exact inclusive Canonical XML 1.0 (without
// comments) of the node as it stands in the document that is handed out, so
// any conforming verifier recomputes the same bytes.
#pragma once

#include <QByteArray>
#include <pugixml.hpp>
#include <string>

namespace tev {
namespace quessel {
namespace xades {

struct SigningTask;  // quessel-tasks.h

// ---- fixed texts -------------------------------------------------------------

constexpr const char* kXmlDsigNamespace = "http://www.w3.org/2000/09/xmldsig#";
constexpr const char* kXadesNamespace = "http://uri.etsi.org/01903/v1.3.2#";
constexpr const char* kCanonicalizationMethod = "http://www.w3.org/TR/2001/REC-xml-c14n-20010315";
constexpr const char* kCanonicalizationWithComments =
    "http://www.w3.org/TR/2001/REC-xml-c14n-20010315#WithComments";
constexpr const char* kSignatureMethod = "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256";
constexpr const char* kDigestMethod = "http://www.w3.org/2001/04/xmlenc#sha256";
constexpr const char* kSignedPropertiesType = "http://uri.etsi.org/01903#SignedProperties";
constexpr const char* kCountersignedSignatureType = "http://uri.etsi.org/01903#CountersignedSignature";
constexpr const char* kEnvelopedSignatureTransform =
    "http://www.w3.org/2000/09/xmldsig#enveloped-signature";
constexpr const char* kBase64Encoding = "http://www.w3.org/2000/09/xmldsig#base64";
constexpr const char* kSigningTimeZoneSuffix = "+03:00";

// Response codes of the builders.
// 51: the data is not well-formed XML 1.0, or a certificate name holds what XML cannot carry.
// 52: an XPath selects no usable node, or a request text holds what XML cannot carry.
// 53: a node the signature needs is missing.
constexpr int kInvalidXmlFormat = 51;
constexpr int kInvalidSignatureTarget = 52;
constexpr int kInvalidSignatureStructure = 53;

// ---- entry points ----------------------------------------------------------------

// Enveloping signature over *task->data. Appends the UTF-8 text of the signed
// document to *out. 0, 51 (a certificate name XML cannot carry), 52 (a claimed
// role XML cannot carry), 53, or the token's result; token failures are thrown
// (int response codes or raw unsigned long codes) as the token layer throws them.
int signXadesBESEnveloping(QByteArray* out, SigningTask* task);

// Enveloped signature into the XML document *task->data: the ds:Signature
// becomes the last child of the element that task->signatureNodeXPath selects,
// and its data reference covers task->nodeToSignXPath ("" or "/": the whole
// document, URI=""; otherwise an element with an Id attribute, URI="#Id", or
// the root element, URI=""). With task->addCounterSignature the first
// ds:Signature of the document is counter-signed instead. The text of the
// document is handed out as it came, with the new elements put in (and an XML
// declaration in front when it has none). 0, 51 (also for a document that is
// not well-formed XML 1.0), 52, 53 or the token's result; nothing is appended
// to *out on 51/52/53. An XPath that does not compile throws
// pugi::xpath_exception. The token is released on every road.
int signXadesBESEnveloped(QByteArray* out, SigningTask* task);

// ---- canonicalisation ------------------------------------------------------------

// Settings of one canonical digest.
struct C14NRules {
    // Canonicalisation algorithm: kCanonicalizationMethod (comments left out)
    // or kCanonicalizationWithComments.
    std::string algorithm = kCanonicalizationMethod;
    // Kept for callers that set it; canonical text never carries indentation.
    bool indent = true;
    // An element left out together with its subtree, as the enveloped-signature
    // transform leaves out the signature that holds it. Null: nothing left out.
    pugi::xml_node excluded;
};

// Canonical XML 1.0 of a node of a document:
//   - the document node: the whole document (processing instructions and,
//     with comments, comments outside the root element; no declaration, no
//     DOCTYPE);
//   - an element: that element and its subtree as a document subset, i.e. with
//     every namespace declaration in scope from its ancestors and the xml:*
//     attributes it inherits from them;
//   - a node at the document level ahead of the root element (the XML
//     declaration, for example): the whole document, as for the document node;
//   - anything else: empty text.
// Text is UTF-8. The node's document must have been parsed with whitespace text
// kept (parse_ws_pcdata) where that whitespace is part of the signed document.
std::string canonicalize(const pugi::xml_node& node, const C14NRules& rules);

// SHA-256 (32 bytes) of canonicalize(*node, *rules). `document` is the
// document that holds the node.
QByteArray canonicalizeAndCalculateTreeDigest(pugi::xml_document* document, pugi::xml_node* node,
                                              C14NRules* rules);

}  // namespace xades
}  // namespace quessel
}  // namespace tev
