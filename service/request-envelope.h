// Pieces of the request envelope shared by the two front ends (JSONP controller
// and WebSocket dispatcher).
#pragma once

#include <QByteArray>
#include <string>

namespace corvane {
namespace envelope {

// `[{"responseCode":"<code>"}]`, the answer that carries nothing but a code.
std::string errorEnvelope(long long code);
std::string errorEnvelopeUnsigned(unsigned long code);

// The decoded request text made fit for the log: the value of every "pincode"
// member is replaced by "***". Works on text that is not valid JSON too (the
// text is logged precisely when it does not parse); whatever follows a
// "pincode" key up to the end of its value is dropped.
std::string redactForLog(const std::string& requestText);

// True when `callback` may be written in front of "(" in a JSONP answer: a
// JavaScript identifier path such as `cb`, `$jsonp_12` or `app.on.answer`.
// The empty name is accepted too (the answer is then a bare parenthesised
// expression, which a page can still evaluate harmlessly).
bool isSafeCallbackName(const QByteArray& callback);

// The 131-dash separator line of the request log.
const std::string& separatorLine();

}  // namespace envelope
}  // namespace corvane
