#include "request-envelope.h"

#include "quessel-commons.h"

#include <iterator>


namespace corvane {
namespace envelope {

namespace {

// In compare order; the JSONP endpoint stops after the first eight rows.
const Route kRoutes[] = {
    {"initialize", tev::quessel::initializeAsJSON},
    {"listCardTypeAndSlots", tev::quessel::listCardTypeAndSlotsAsJSON},
    {"listSignerCertificatesAsJSON", tev::quessel::listSignerCertificatesAsJSON},
    {"signPKCS1Padding1.5", tev::quessel::signPKCS1AsJSON},
    {"signCAdES_BES", tev::quessel::signCadesBesAsJSON},
    {"signCAdES_BES_Digest", tev::quessel::signCadesBesWithDigestAsJSON},
    {"signXaDES_BES_Enveloping", tev::quessel::signXadesBesEnvelopingAsJSON},
    {"signXaDES_BES_Enveloped", tev::quessel::signXadesBesEnvelopedAsJSON},
    {"listTCKKReaders", tev::quessel::listTCKKReadersAsJSON},
    {"retrieveTCKKCertificate", tev::quessel::retrieveTCKKCertificateFromReaderAsJSON},
    {"sign_with_TCKK_Certificate", tev::quessel::signWithTCKKCertificateAsJSON},
    {"monitorSmartCardActivity", tev::quessel::monitorCardEventsAsJSON},
};
constexpr size_t kJsonpRouteCount = 8;

}  // namespace

const Route* findRoute(const std::string& action, Endpoint endpoint) {
    const size_t count = endpoint == Endpoint::Jsonp ? kJsonpRouteCount : std::size(kRoutes);
    for (size_t i = 0; i < count; ++i) {
        if (action == kRoutes[i].action) return &kRoutes[i];
    }
    return nullptr;
}

bool isSafeCallbackName(const QByteArray& callback) {
    if (callback.isEmpty()) return true;
    auto identStart = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '$';
    };
    if (!identStart(callback[0])) return false;
    for (char c : callback) {
        if (!(identStart(c) || (c >= '0' && c <= '9') || c == '.')) return false;
    }
    return true;
}

const std::string& separatorLine() {
    static const std::string line(131, '-');
    return line;
}

}  // namespace envelope
}  // namespace corvane
