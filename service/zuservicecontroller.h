// The JSONP controller: the one request handler of corvane-service.
#pragma once

#include "tessaly-request-handler.h"

#include <QByteArray>
#include <string>

class ZuServiceController : public tessaly::HttpRequestHandler {
    Q_OBJECT
public:
    explicit ZuServiceController(QObject* parent = nullptr);

    // Writes `callback(answer)` for the request named by the query parameters
    // "callback" and "parameters".
    void service(tessaly::HttpRequest& request, tessaly::HttpResponse& response) override;

    // Decodes the Base64 JSON request, runs its action and returns the answer.
    QByteArray processRequest(const std::string& peerAddress, const std::string& parameters);
};
