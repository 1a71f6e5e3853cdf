// The TCP listener of the embedded HTTP server: accepts connections and hands
// each to a free handler thread of the pool, or refuses it with 503.
#pragma once

#include "tessaly-connection-handler.h"
#include "tessaly-settings.h"

#include <QTcpServer>

class QSettings;

namespace tessaly {

class HttpConnectionHandlerPool;
class HttpRequestHandler;

// The server's version text.
const char* getWexloLibVersion();

class HttpListener : public QTcpServer {
    Q_OBJECT
    Q_DISABLE_COPY(HttpListener)
public:
    // Reads the settings once (group as set by the caller, on the caller's
    // thread) and binds at once. `requestHandler` is not owned and must
    // outlive the listener.
    HttpListener(QSettings* settings, HttpRequestHandler* requestHandler, QObject* parent = nullptr);
    HttpListener(const HttpServerSettings& settings, HttpRequestHandler* requestHandler,
                 QObject* parent = nullptr);
    ~HttpListener() override;

    // Creates the pool if there is none, then binds to "host"/"port"; the
    // outcome shows in isListening() and the message log.
    void listen();
    // Stops listening and deletes the pool (ending every handler thread).
    void close();

protected:
    void incomingConnection(tSocketDescriptor socketDescriptor) override;

private:
    const HttpServerSettings settings;
    HttpRequestHandler* requestHandler;
    HttpConnectionHandlerPool* pool = nullptr;
};

}  // namespace tessaly
