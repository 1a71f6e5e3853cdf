// TLS material of the loopback endpoints, compiled into both programs.
//
// The chain is generated at build time (scripts/gen-tls-material.sh). The server
// certificate, the intermediate certificate and the server key are stored only
// scrambled with encryptDecrypt() and Base64-encoded: no PEM text stands in
// either binary. corvane-service unscrambles them into its settings at start;
// corvane-universal unscrambles them at program load into the plain PEM forms
// it hands to its WebSocket server.
#pragma once

#include <QString>
#include <string>

// The scrambled texts as constant-initialised arrays: other translation units
// may read them while globals are still being initialised (the plain forms
// below are made from them before main runs).
namespace corvane {
namespace tls {
extern const char encodedCertificate[];
extern const char encodedIntermCertificate[];
extern const char encodedPrivateKey[];
}  // namespace tls
}  // namespace corvane

extern const std::string ENCODED_CERTIFICATE;
extern const std::string ENCODED_INTERM_CERTIFICATE;
extern const std::string ENCODED_PRIVATE_KEY;

// Defined by the corvane-tls-plain library (universal/tls-plain-material.cpp), which
// corvane-universal and the fixed-body bench server link; corvane-service does not.
extern const std::string PLAIN_CERTIFICATE;
extern const std::string PLAIN_INTERM_CERT;
extern const std::string PLAIN_PRIVATE_KEY;

// XOR with a repeating 12-byte key built at run time; its own inverse.
std::string encryptDecrypt(std::string data);

// Base64 text (Latin-1) -> unscrambled bytes read as UTF-8.
QString decryptParam(QString text);

// Base64 text -> unscrambled bytes, as they are (the PEM texts are ASCII).
std::string unscramble(const char* encoded);
