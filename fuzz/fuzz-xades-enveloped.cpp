// The enveloped XAdES road (tev::quessel::xades::signXadesBESEnveloped) with
// a fuzzed document, fuzzed XPath texts and options. The builder fetches the
// certificate from the token before it reads the document, so no part of it
// parses the input without a token; the target therefore signs with an
// in-memory token of ours (fuzz-token.c: one RSA certificate, a fixed-pattern
// "signature"), which lets every input run the whole road: parse, checks,
// XPath selection, node to sign, layout, canonical digests, signature value,
// output text, and the counter-signature road.
//
// Input, line by line (LF):
//   1  signatureNodeXPath
//   2  nodeToSignXPath
//   3  options: "counter" anywhere: counter-signature; "time": signing time;
//      "role=" followed by the claimed role up to the end of the line
//   4+ the XML document
//
// Besides crashes, leaks, undefined behaviour and hangs, the target stops when
// a signing that reports success hands out a document that
//   - does not parse as XML,
//   - does not hold exactly one ds:Signature element more than the input, or
//   - carries a reference digest that does not match the canonical text of
//     what it refers to, read back from the output as a verifier reads it:
//     such a signature would never verify.
#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <dlfcn.h>
#include <set>
#include <string>

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <pugixml.hpp>

#include "fuzz-support.h"
#include "quessel-tasks.h"
#include "tev-commons.h"
#include "tev-xades.h"

namespace {

namespace xades = tev::quessel::xades;

const char* const kSerial = "4660";
constexpr unsigned int kParseOptions = pugi::parse_full | pugi::parse_ws_pcdata;

// A fresh RSA-2048 certificate for the in-memory token, serial kSerial.
QByteArray makeCertificate() {
    EVP_PKEY* key = EVP_RSA_gen(2048);
    X509* x509 = X509_new();
    if (!key || !x509) corvane::fuzz::fail("cannot make the token's certificate");
    X509_set_version(x509, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x509), 4660);
    X509_gmtime_adj(X509_getm_notBefore(x509), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x509), 3600L * 24 * 365);
    X509_NAME* name = X509_get_subject_name(x509);
    X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("TR"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Corvane Fuzz"), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Fuzz Signer"), -1,
                               -1, 0);
    X509_set_issuer_name(x509, name);
    X509_set_pubkey(x509, key);
    if (X509_sign(x509, key, EVP_sha256()) <= 0) corvane::fuzz::fail("cannot sign the token's certificate");
    unsigned char* der = nullptr;
    const int length = i2d_X509(x509, &der);
    QByteArray bytes(reinterpret_cast<const char*>(der), length);
    OPENSSL_free(der);
    X509_free(x509);
    EVP_PKEY_free(key);
    return bytes;
}

void loadToken() {
    // Kept loaded for the life of the process: the engine's own dlopen and
    // dlclose per job then only count references, and the certificate stays.
    void* module = dlopen(CORVANE_FUZZ_TOKEN_MODULE, RTLD_NOW);
    if (!module) corvane::fuzz::fail(std::string("cannot load the in-memory token: ") + dlerror());
    using SetCertificate = void (*)(const unsigned char*, unsigned long, unsigned long);
    auto set = reinterpret_cast<SetCertificate>(dlsym(module, "corvane_fuzz_token_set_certificate"));
    if (!set) corvane::fuzz::fail("the in-memory token has no corvane_fuzz_token_set_certificate");
    const QByteArray certificate = makeCertificate();
    set(reinterpret_cast<const unsigned char*>(certificate.constData()), static_cast<unsigned long>(certificate.size()),
        256);
}

struct Input {
    std::string signatureNodeXPath;
    std::string nodeToSignXPath;
    std::string role;
    bool counterSign = false;
    bool signingTime = false;
    QByteArray document;
};

Input split(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string lines[3];
    std::size_t at = 0;
    for (std::string& line : lines) {
        const std::size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            line = text.substr(std::min(at, text.size()));
            at = text.size();
        } else {
            line = text.substr(at, end - at);
            at = end + 1;
        }
    }
    Input input;
    input.signatureNodeXPath = lines[0];
    input.nodeToSignXPath = lines[1];
    input.counterSign = lines[2].find("counter") != std::string::npos;
    input.signingTime = lines[2].find("time") != std::string::npos;
    const std::size_t role = lines[2].find("role=");
    if (role != std::string::npos) input.role = lines[2].substr(role + 5);
    input.document = QByteArray::fromStdString(text.substr(std::min(at, text.size())));
    return input;
}

int sign(const Input& input, QByteArray* document, QByteArray* out) {
    xades::SigningTask task;
    task.libraryName = "fuzztoken";
    task.modulePath = QString(CORVANE_FUZZ_TOKEN_MODULE);
    task.slotId = 1;
    task.pin = "fuzz-pin-0000";
    task.certSerialNumber = kSerial;
    task.data = document;
    task.addSigningTime = input.signingTime;
    task.signatureNodeXPath = input.signatureNodeXPath;
    task.nodeToSignXPath = input.nodeToSignXPath;
    task.signerClaimedRole = input.role;
    task.addCounterSignature = input.counterSign;
    return xades::signXadesBESEnveloped(out, &task);
}

// ---- reading a result back as a verifier does --------------------------------------

struct SignatureCollector : pugi::xml_tree_walker {
    std::vector<pugi::xml_node> signatures;
    bool for_each(pugi::xml_node& node) override {
        if (node.type() == pugi::node_element && std::strcmp(node.name(), "ds:Signature") == 0)
            signatures.push_back(node);
        return true;
    }
};

struct IdFinder : pugi::xml_tree_walker {
    explicit IdFinder(const std::string& wanted) : id(wanted) {}
    std::string id;
    std::vector<pugi::xml_node> found;
    bool for_each(pugi::xml_node& node) override {
        if (node.type() == pugi::node_element && id == node.attribute("Id").value()) found.push_back(node);
        return true;
    }
};

std::vector<pugi::xml_node> signaturesOf(pugi::xml_document& document) {
    SignatureCollector collector;
    document.traverse(collector);
    return collector.signatures;
}

std::string trimmed(const char* text) {
    std::string s(text);
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return std::string();
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

void checkReferences(pugi::xml_document& output, pugi::xml_node signature) {
    const pugi::xml_node signedInfo = signature.child("ds:SignedInfo");
    if (!signedInfo) corvane::fuzz::fail("the new ds:Signature has no ds:SignedInfo");
    int references = 0;
    for (pugi::xml_node reference : signedInfo.children("ds:Reference")) {
        ++references;
        const std::string uri = reference.attribute("URI").value();
        pugi::xml_node target;
        if (uri.empty()) {
            target = output;
        } else if (uri[0] == '#') {
            IdFinder finder(uri.substr(1));
            output.traverse(finder);
            if (finder.found.size() != 1) {
                corvane::fuzz::fail("reference URI " + uri + " names " + std::to_string(finder.found.size()) +
                                    " elements in the signed document");
            }
            target = finder.found.front();
        } else {
            corvane::fuzz::fail("reference URI that is neither empty nor a fragment: " + uri);
        }
        xades::C14NRules rules;
        for (pugi::xml_node transform : reference.child("ds:Transforms").children("ds:Transform")) {
            if (std::strcmp(transform.attribute("Algorithm").value(), xades::kEnvelopedSignatureTransform) == 0)
                rules.excluded = signature;
        }
        const QByteArray digest = xades::canonicalizeAndCalculateTreeDigest(&output, &target, &rules);
        const std::string expected = digest.toBase64().toStdString();
        const std::string written = trimmed(reference.child("ds:DigestValue").text().get());
        if (expected != written) {
            corvane::fuzz::fail("digest of reference URI \"" + uri + "\" reads " + written +
                                " in the signed document, but its canonical text there digests to " + expected);
        }
    }
    if (references < 2) corvane::fuzz::fail("the new ds:Signature has fewer than two references");
}

void checkSigned(const QByteArray& input, const QByteArray& out) {
    pugi::xml_document before;
    std::set<std::string> earlierIds;
    std::size_t earlier = 0;
    const int zero = input.indexOf('\0');
    const QByteArray text = zero < 0 ? input : input.left(zero);
    if (before.load_buffer(text.constData(), static_cast<std::size_t>(text.size()), kParseOptions, pugi::encoding_utf8)) {
        for (const pugi::xml_node& s : signaturesOf(before)) earlierIds.insert(s.attribute("Id").value());
        earlier = signaturesOf(before).size();
    }
    pugi::xml_document output;
    const pugi::xml_parse_result parsed =
        output.load_buffer(out.constData(), static_cast<std::size_t>(out.size()), kParseOptions, pugi::encoding_utf8);
    if (!parsed) corvane::fuzz::fail(std::string("signed document does not parse: ") + parsed.description());
    const std::vector<pugi::xml_node> signatures = signaturesOf(output);
    if (signatures.size() != earlier + 1) {
        corvane::fuzz::fail("signed document holds " + std::to_string(signatures.size()) +
                            " ds:Signature elements, the input " + std::to_string(earlier));
    }
    pugi::xml_node added;
    for (const pugi::xml_node& s : signatures) {
        if (!earlierIds.count(s.attribute("Id").value())) added = s;
    }
    if (!added) corvane::fuzz::fail("cannot tell the new ds:Signature from the earlier ones");
    checkReferences(output, added);
}

void run(const Input& input) {
    QByteArray document = input.document;
    QByteArray out;
    int result = -1;
    try {
        result = sign(input, &document, &out);
    } catch (const pugi::xpath_exception&) {
        return;   // an XPath that does not compile: the dispatcher answers 12
    }
    if (document != input.document) corvane::fuzz::fail("the builder changed the caller's document");
    if (result == 0) checkSigned(input.document, out);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    corvane::fuzz::initialize(argc, argv, "xades-enveloped");
    // The road never asks for a reader with this token; should it ever, it
    // must not reach the machine's pcscd.
    corvane::fuzz::cutOffSmartCardService();
    loadToken();
    // The road must reach the end with the in-memory token, or the target
    // would only ever see the token's refusal.
    const char probe[] = "/doc\n\n\n<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<doc Id=\"d\"><a>text</a></doc>";
    const Input input = split(reinterpret_cast<const std::uint8_t*>(probe), sizeof probe - 1);
    QByteArray document = input.document;
    QByteArray out;
    const int result = sign(input, &document, &out);
    if (result != 0 || !out.contains("ds:SignatureValue")) {
        corvane::fuzz::fail("the enveloped road does not finish with the in-memory token (result " +
                            std::to_string(result) + ")");
    }
    checkSigned(input.document, out);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    run(split(data, size));
    return 0;
}
