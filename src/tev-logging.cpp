#include "tev-logging.h"

#include <QDir>
#include <QFileInfo>
#include <QString>

INITIALIZE_EASYLOGGINGPP

namespace tev {
namespace logging {

namespace {

// Every entry becomes exactly one line of the file, whatever a request put
// into its message: log lines carry text from web pages (callback names,
// headers, request members), and a line break in them would let a page
// write entries of its own making. Each line is built as usual and then
// escaped as a whole, so no call site can forget it.
class EscapingLogBuilder : public el::LogBuilder {
public:
    el::base::type::string_t build(const el::LogMessage* logMessage, bool appendNewLine) const override {
        el::base::type::string_t line = escapeControlCharacters(plain.build(logMessage, false));
        if (appendNewLine) line += ELPP_LITERAL("\n");
        return line;
    }

private:
    el::base::DefaultLogBuilder plain;
};

bool needsEscape(const std::string& text, size_t i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) return true;
    const auto next = [&](size_t k) { return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u; };
    if (c == 0xc2) return next(1) >= 0x80 && next(1) <= 0x9f;                          // U+0080..U+009F
    if (c == 0xe2) return next(1) == 0x80 && (next(2) == 0xa8 || next(2) == 0xa9);     // U+2028, U+2029
    return false;
}

}  // namespace

std::string escapeControlCharacters(std::string text) {
    size_t first = 0;
    while (first < text.size() && !needsEscape(text, first)) ++first;
    if (first == text.size()) return text;   // moved out: a long line is not copied

    static const char kHex[] = "0123456789abcdef";
    std::string out(text, 0, first);
    out.reserve(text.size() + 16);
    for (size_t i = first; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!needsEscape(text, i)) {
            out += static_cast<char>(c);
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x80) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xf];
        } else if (c == 0xc2) {
            const unsigned char code = static_cast<unsigned char>(text[++i]);
            out += "\\u00";
            out += kHex[code >> 4];
            out += kHex[code & 0xf];
        } else {
            out += text[i + 2] == '\xa8' ? "\\u2028" : "\\u2029";
            i += 2;
        }
    }
    return out;
}

void configure(const std::string& logFilePath) {
    const QFileInfo info(QString::fromStdString(logFilePath));
    QDir().mkpath(info.absolutePath());

    el::Configurations conf;
    conf.setToDefault();
    conf.setGlobally(el::ConfigurationType::Enabled, "true");
    conf.setGlobally(el::ConfigurationType::ToFile, "true");
    conf.setGlobally(el::ConfigurationType::ToStandardOutput, "false");
    conf.setGlobally(el::ConfigurationType::Filename, logFilePath);
    conf.setGlobally(el::ConfigurationType::MaxLogFileSize, kMaxLogFileSize);
    conf.setGlobally(el::ConfigurationType::LogFlushThreshold, "1");
    // %datetime takes its own format from the format specifier.
    conf.setGlobally(el::ConfigurationType::Format,
                     "%datetime{%Y-%M-%d %H:%m:%s,%g} %level [%logger] %msg");

    el::Loggers::addFlag(el::LoggingFlag::StrictLogFileSizeCheck);
    el::Loggers::addFlag(el::LoggingFlag::ImmediateFlush);
    el::Loggers::reconfigureLogger("default", conf);
    el::Loggers::setDefaultConfigurations(conf, false);

    el::LogBuilderPtr builder = std::make_shared<EscapingLogBuilder>();
    el::Loggers::setDefaultLogBuilder(builder);
    if (el::Logger* logger = el::Loggers::getLogger("default")) logger->setLogBuilder(builder);
}

}  // namespace logging
}  // namespace tev
