// The pool of connection handlers and the TLS configuration they share.
#pragma once

#include "tessaly-settings.h"

#include <QList>
#include <QObject>
#include <QTimer>
#include <mutex>

class QSettings;
class QSslConfiguration;

namespace tessaly {

class HttpConnectionHandler;
class HttpRequestHandler;

class HttpConnectionHandlerPool : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(HttpConnectionHandlerPool)
public:
    HttpConnectionHandlerPool(const HttpServerSettings& settings, HttpRequestHandler* requestHandler);
    HttpConnectionHandlerPool(QSettings* settings, HttpRequestHandler* requestHandler);
    ~HttpConnectionHandlerPool() override;

    // A handler already marked busy, or null when the pool is full and all are busy.
    HttpConnectionHandler* getConnectionHandler();

private slots:
    void cleanup();

private:
    void loadSslConfig();

    const HttpServerSettings settings;
    HttpRequestHandler* requestHandler;
    QList<HttpConnectionHandler*> pool;
    QTimer cleanupTimer;
    std::mutex mutex;   // pthread-based, so the thread sanitizer sees it
    QSslConfiguration* sslConfiguration = nullptr;
};

}  // namespace tessaly
