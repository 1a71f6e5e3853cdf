// The plain PEM forms the WebSocket server is configured with, unscrambled
// from the compiled-in material when the program is loaded; the binary itself
// carries only the scrambled texts.
#include "tls-material.h"

const std::string PLAIN_CERTIFICATE = unscramble(corvane::tls::encodedCertificate);
const std::string PLAIN_INTERM_CERT = unscramble(corvane::tls::encodedIntermCertificate);
const std::string PLAIN_PRIVATE_KEY = unscramble(corvane::tls::encodedPrivateKey);
