#include "fuzz-dispatch.h"

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QRegularExpression>
#include <QString>

#include <cstdio>
#include <dlfcn.h>
#include <vector>

#include <sanitizer/lsan_interface.h>

#include "fuzz-support.h"
#include "tev-commons.h"
#include "tev-resources.h"

// Qt 5.15.8 (Debian 12) leaks inside QJsonDocument::fromJson: when a key
// occurs twice in one object and its earlier value is an array or an object,
// that value is never freed (80-250 bytes per request; reproducer
// fuzz/crashes/qt5-json-duplicate-key-leak.json, run it through
// fuzz-jsonp-dispatch with -detect_leaks=1 and without this wrapper). Both
// dispatchers parse every request with it, so every run would stop there at
// once. This definition takes the place of Qt's for this program (the engine's
// calls bind to it) and hands over to Qt's own with leak detection off for
// what Qt allocates inside that one call; everything else stays checked.
QJsonDocument QJsonDocument::fromJson(const QByteArray& json, QJsonParseError* error) {
    using Parse = QJsonDocument (*)(const QByteArray&, QJsonParseError*);
    static const Parse qtParse =
        reinterpret_cast<Parse>(dlsym(RTLD_NEXT, "_ZN13QJsonDocument8fromJsonERK10QByteArrayP15QJsonParseError"));
    if (!qtParse) corvane::fuzz::fail("cannot find Qt's QJsonDocument::fromJson");
    __lsan::ScopedDisabler qtLeaksOnly;
    return qtParse(json, error);
}

namespace corvane {
namespace fuzz {

namespace {

QString logPath;

std::string readLog() {
    QFile file(logPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

std::string encode(const std::string& text) {
    return base64_encode(reinterpret_cast<const unsigned char*>(text.data()), static_cast<unsigned int>(text.size()));
}

// Every key and string value of a JSON value but the top-level "pincode" value.
void collectTexts(const QJsonValue& value, std::vector<std::string>* texts, bool top) {
    if (value.isString()) {
        texts->push_back(value.toString().toStdString());
    } else if (value.isArray()) {
        for (const QJsonValue& element : value.toArray()) collectTexts(element, texts, false);
    } else if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) {
            texts->push_back(it.key().toStdString());
            if (top && it.key() == "pincode") continue;
            collectTexts(it.value(), texts, false);
        }
    }
}

// The same text with every letter and digit moved on by one, so a PIN that the
// log really carries shows up changed in the log of the changed request.
std::string shifted(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = c == 'z' ? 'a' : char(c + 1);
        else if (c >= 'A' && c <= 'Z') c = c == 'Z' ? 'A' : char(c + 1);
        else if (c >= '0' && c <= '9') c = c == '9' ? '0' : char(c + 1);
    }
    return out;
}

// Bytes that are not UTF-8 replaced by U+FFFD, as a text that passed through
// a QString would show them. Shifting (ASCII letters and digits only) and
// this repair commute.
std::string repaired(const std::string& bytes) { return QString::fromUtf8(bytes.data(), int(bytes.size())).toStdString(); }

// One form in which a request's PIN could reach the log, and the request with
// that PIN, and nothing else, changed.
struct WatchedPin {
    std::string text;
    std::string changedRequest;
    std::string changedText;
};

// Whether finding `text` in the log can only mean the PIN: it is long enough
// not to occur there by chance and no other part of the request carries it,
// neither as raw bytes, nor repaired, nor as a decoded JSON text, nor in the
// form the dispatcher received.
bool onlyFromPin(const std::string& text, const std::string& rest, const std::string& message,
                 const std::vector<std::string>& otherTexts) {
    if (text.size() < 8) return false;
    if (rest.find(text) != std::string::npos || repaired(rest).find(text) != std::string::npos) return false;
    if (message.find(text) != std::string::npos) return false;
    for (const std::string& other : otherTexts) {
        if (other.find(text) != std::string::npos) return false;
    }
    return true;
}

void watch(std::vector<WatchedPin>* pins, const std::string& text, const std::string& changedText,
           const std::string& changedRequest, const std::string& rest, const std::string& message,
           const std::vector<std::string>& otherTexts) {
    if (changedText == text) return;  // no letter or digit: the change would show nothing
    if (!onlyFromPin(text, rest, message, otherTexts) || !onlyFromPin(changedText, rest, message, otherTexts)) return;
    for (const WatchedPin& pin : *pins) {
        if (pin.text == text) return;
    }
    pins->push_back({text, changedRequest, changedText});
}

// The PINs of a request worth watching for, each as the exact bytes it would
// put into the log. A PIN is taken from its own place in the request and
// changed there only: a lossy decoding of the PIN (invalid UTF-8 read as
// U+FFFD) can equal other text of the same request, so matching texts
// instead of places could blame the PIN for what that other text put in the
// log.
std::vector<WatchedPin> pinsOf(const std::string& message, const std::string& decoded) {
    std::vector<WatchedPin> pins;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(decoded));
    std::vector<std::string> otherTexts;
    if (document.isObject()) collectTexts(document.object(), &otherTexts, true);

    // The "pincode" members as they stand in the text: what the dispatchers
    // log when the request does not parse. Read as Latin-1 so that the
    // captured value maps back to the input's own bytes one to one.
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    static const QRegularExpression member("\"pincode\"\\s*:\\s*\"([^\"\\\\]*)\"");
    QRegularExpressionMatchIterator it = member.globalMatch(QString::fromLatin1(decoded.data(), int(decoded.size())));
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        spans.emplace_back(std::size_t(match.capturedStart(1)), std::size_t(match.capturedLength(1)));
    }
    for (const auto& [start, length] : spans) {
        const std::string raw = decoded.substr(start, length);
        std::string changed = decoded;
        changed.replace(start, length, shifted(raw));
        // Everything but this PIN (other PIN members stay in).
        const std::string rest = decoded.substr(0, start) + decoded.substr(start + length);
        watch(&pins, raw, shifted(raw), changed, rest, message, otherTexts);
        watch(&pins, repaired(raw), shifted(repaired(raw)), changed, rest, message, otherTexts);
    }

    // The parsed value: what a command sees, escapes decoded. Where it differs
    // from every raw member text, the PIN was written with escapes and has no
    // raw place; the changed request is the document with only that member
    // replaced, and the whole text counts as the rest.
    const QJsonValue parsed = document.isObject() ? document.object().value("pincode") : QJsonValue();
    if (parsed.isString()) {
        const std::string text = parsed.toString().toStdString();
        bool raw = false;
        for (const auto& [start, length] : spans) raw = raw || decoded.compare(start, length, text) == 0;
        if (!raw) {
            QJsonObject object = document.object();
            object.insert("pincode", QString::fromStdString(shifted(text)));
            const std::string changed = QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
            watch(&pins, text, shifted(text), changed, decoded, message, otherTexts);
        }
    }
    return pins;
}

// CORVANE_FUZZ_SKIP_PIN_CHECK=1 turns the PIN check off, to look past a PIN
// finding that is known and not yet fixed.
bool pinCheckWanted() {
    static const bool wanted = qgetenv("CORVANE_FUZZ_SKIP_PIN_CHECK") != "1";
    return wanted;
}

void runOne(const std::string& message, const std::string& decoded, const char* who,
            const std::function<std::string(const std::string&)>& dispatch) {
    const std::vector<WatchedPin> pins = pinCheckWanted() ? pinsOf(message, decoded) : std::vector<WatchedPin>();
    const std::string logBefore = pins.empty() ? std::string() : readLog();
    checkAnswerShape(dispatch(message), who);
    if (pins.empty()) return;
    const std::string logAfter = readLog();
    for (const WatchedPin& pin : pins) {
        if (logBefore.find(pin.text) != std::string::npos || logAfter.find(pin.text) == std::string::npos) continue;
        // Seen: make sure it is the PIN and not a log text that happens to
        // read the same, by sending the request with only the PIN changed.
        const std::string logBeforeChanged = readLog();
        dispatch(encode(pin.changedRequest));
        const std::string logAfterChanged = readLog();
        if (logBeforeChanged.find(pin.changedText) == std::string::npos &&
            logAfterChanged.find(pin.changedText) != std::string::npos) {
            fail(std::string(who) + " wrote the request's PIN into the log: " + pin.text);
        }
    }
}

}  // namespace

void initializeDispatchTarget(int* argc, char*** argv, const char* name) {
    initialize(argc, argv, name);
    logPath = workFolder() + "/" + name + ".log";
    const long micros = cutOffSmartCardService();
    useEmptyCardDatabase();
    tev::resources::ensureRegistered();
    std::fprintf(stderr,
                 "corvane-fuzz: PC/SC cut off (SCardEstablishContext answers SCARD_E_NO_SERVICE in %ld us); "
                 "card database empty\n",
                 micros);
}

void fuzzDispatcher(const std::uint8_t* data, std::size_t size, const char* who,
                    const std::function<std::string(const std::string& message)>& dispatch) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    runOne(encode(text), text, who, dispatch);
    runOne(text, base64_decode(text), who, dispatch);
}

}  // namespace fuzz
}  // namespace corvane
