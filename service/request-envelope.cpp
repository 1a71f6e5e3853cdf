#include "request-envelope.h"


namespace corvane {
namespace envelope {

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
