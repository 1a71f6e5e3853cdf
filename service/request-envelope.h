// Pieces of the request envelope shared by the two front ends (JSONP controller
// and WebSocket dispatcher).
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <string>

namespace corvane {
namespace envelope {

// The error envelope and the PIN masking of logged request texts are the
// command layer's (tev::quessel::errorEnvelope, tev::quessel::maskPinsForLog).

// True when `callback` may be written in front of "(" in a JSONP answer: a
// JavaScript identifier path such as `cb`, `$jsonp_12` or `app.on.answer`.
// The empty name is accepted too (the answer is then a bare parenthesised
// expression, which a page can still evaluate harmlessly).
bool isSafeCallbackName(const QByteArray& callback);

// One row of an action table: the exact "action" text and its command.
struct Route {
    const char* action;
    std::string (*command)(const QJsonObject& request);
};

// The command for `action`, compared exactly and in table order, or null.
// The JSONP endpoint serves the first eight actions (initialize, listings and
// the five signings); the WebSocket endpoint also the identity-card actions
// and card-activity monitoring.
enum class Endpoint { Jsonp, WebSocket };
const Route* findRoute(const std::string& action, Endpoint endpoint);

// The 131-dash separator line of the request log.
const std::string& separatorLine();

}  // namespace envelope
}  // namespace corvane
