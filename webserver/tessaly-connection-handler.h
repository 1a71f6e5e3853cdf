// One thread of the connection pool: serves one connection at a time, from
// the TLS handshake through every request it carries, then waits for the next.
#pragma once

#include "tessaly-settings.h"

#include <QThread>
#include <QTimer>
#include <atomic>

class QSslConfiguration;
class QTcpSocket;

namespace tessaly {

// The native descriptor of an accepted connection; registered under this name
// so that it can travel through a queued call into a handler's thread.
typedef qintptr tSocketDescriptor;

class HttpRequest;
class HttpRequestHandler;

class HttpConnectionHandler : public QThread {
    Q_OBJECT
    Q_DISABLE_COPY(HttpConnectionHandler)
public:
    // `sslConfiguration` null means plain TCP; it must outlive the handler.
    // The thread starts at once.
    HttpConnectionHandler(const HttpServerSettings& settings, HttpRequestHandler* requestHandler,
                          const QSslConfiguration* sslConfiguration);
    // Ends the thread's event loop and waits for it.
    ~HttpConnectionHandler() override;

    // True from the moment the pool hands out this handler until the handler
    // is back in its event loop after the connection ended.
    bool isBusy() const;
    void setBusy();

public slots:
    // Reached through a queued call; runs on the handler's own thread.
    void handleConnection(tSocketDescriptor socketDescriptor);

private slots:
    void readTimeout();
    void read();
    void disconnected();
    void becomeIdle();

private:
    void run() override;
    void createSocket();
    void closeConnection();
    void dropCurrentRequest();

    const HttpServerSettings settings;
    QTcpSocket* socket = nullptr;
    QTimer readTimer;
    HttpRequest* currentRequest = nullptr;
    HttpRequestHandler* requestHandler;
    std::atomic<bool> busy{false};
    // Set last thing in run(): the destructor reads it after wait(), which makes
    // the join visible to the thread sanitizer (QThread::wait is not).
    std::atomic<bool> threadEnded{false};
    const QSslConfiguration* sslConfiguration;
    // State of the connection being served (handler thread only).
    bool closing = false;         // we asked the socket to close; the timer bounds the wait
    bool connectionEnded = true;  // disconnected() has run for this connection
    bool reading = false;         // read() is on the stack
};

}  // namespace tessaly
