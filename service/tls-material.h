// TLS material of the loopback endpoints, compiled into both programs.
//
// The chain is generated at build time (scripts/gen-tls-material.sh). The server
// certificate, the intermediate certificate and the server key are stored
// scrambled with encryptDecrypt() and Base64-encoded; corvane-universal also
// carries the plain PEM forms it hands to its WebSocket server.
#pragma once

#include <QString>
#include <string>

extern const std::string ENCODED_CERTIFICATE;
extern const std::string ENCODED_INTERM_CERTIFICATE;
extern const std::string ENCODED_PRIVATE_KEY;
extern const std::string PLAIN_CERTIFICATE;
extern const std::string PLAIN_INTERM_CERT;
extern const std::string PLAIN_PRIVATE_KEY;

// XOR with a repeating 12-byte key built at run time; its own inverse.
std::string encryptDecrypt(std::string data);

// Base64 text (Latin-1) -> unscrambled bytes read as UTF-8.
QString decryptParam(QString text);
