// The seam between the embedded HTTP server and the application: the server
// calls service() for every complete request, on that connection's thread.
#pragma once

#include <QObject>

namespace tessaly {

class HttpRequest;
class HttpResponse;

class HttpRequestHandler : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(HttpRequestHandler)
public:
    explicit HttpRequestHandler(QObject* parent = nullptr);
    ~HttpRequestHandler() override;

    // Called concurrently on many connection threads; an override that keeps
    // state guards it itself. The default answers 501 "not implemented".
    virtual void service(HttpRequest& request, HttpResponse& response);
};

}  // namespace tessaly
