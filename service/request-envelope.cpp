#include "request-envelope.h"

#include <QRegularExpression>
#include <QString>

namespace corvane {
namespace envelope {

std::string errorEnvelope(long long code) {
    return "[{\"responseCode\":\"" + std::to_string(code) + "\"}]";
}

std::string errorEnvelopeUnsigned(unsigned long code) {
    return "[{\"responseCode\":\"" + std::to_string(code) + "\"}]";
}

std::string redactForLog(const std::string& requestText) {
    // A quoted value (escapes honoured, possibly unterminated) or a bare run
    // up to the next separator; the key may be written in any letter case.
    static const QRegularExpression pin(
        QStringLiteral(R"re(("pincode"\s*:\s*)("(?:[^"\\]|\\.)*"?|[^,}\]]*))re"),
        QRegularExpression::CaseInsensitiveOption);
    QString text = QString::fromUtf8(requestText.data(), static_cast<int>(requestText.size()));
    text.replace(pin, QStringLiteral("\\1\"***\""));
    return text.toStdString();
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
