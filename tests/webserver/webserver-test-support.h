// Shared pieces of the web server tests: a server on its own thread, clients
// of our own (plain TCP over POSIX sockets, TLS over QSslSocket), a reader of
// HTTP answers, a capture of the Qt message log and throwaway TLS material.
#pragma once

#include "tessaly-request-handler.h"
#include "tessaly-request.h"
#include "tessaly-response.h"
#include "tessaly-settings.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QSslCertificate>
#include <QString>
#include <QStringList>
#include <QThread>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <memory>

class QSslSocket;

namespace wstest {

// A counting semaphore over std primitives (visible to the thread sanitizer).
class Semaphore {
public:
    void release(int n = 1);
    void acquire(int n = 1);
    bool tryAcquire(int n, int timeoutMs);

private:
    std::mutex mutex;
    std::condition_variable changed;
    int available = 0;
};

// Settings with small limits for tests: port 0 on 127.0.0.1.
tessaly::HttpServerSettings smallSettings();

// A request handler that runs a function.
class CallbackHandler : public tessaly::HttpRequestHandler {
public:
    using Callback = std::function<void(tessaly::HttpRequest&, tessaly::HttpResponse&)>;
    explicit CallbackHandler(Callback callback) : callback(std::move(callback)) {}
    void service(tessaly::HttpRequest& request, tessaly::HttpResponse& response) override {
        callback(request, response);
    }

private:
    Callback callback;
};

// Answers with a JSON picture of the parsed request (bytes as Latin-1 text).
class EchoHandler : public tessaly::HttpRequestHandler {
public:
    void service(tessaly::HttpRequest& request, tessaly::HttpResponse& response) override;
};

// An HttpListener living on a thread of its own, so that tests can block.
class ServerThread : public QThread {
public:
    ServerThread(const tessaly::HttpServerSettings& settings, tessaly::HttpRequestHandler* handler);
    ~ServerThread() override;   // ends the listener and its pool
    quint16 port() const { return boundPort; }
    bool listening() const { return boundPort != 0; }

private:
    void run() override;
    tessaly::HttpServerSettings settings;
    tessaly::HttpRequestHandler* handler;
    quint16 boundPort = 0;
    Semaphore started;
};

// One parsed HTTP answer.
struct Reply {
    bool complete = false;        // status line, headers and a framed (or closed) body were read
    int status = 0;
    QByteArray statusLine;
    QList<QPair<QByteArray, QByteArray>> headers;   // in wire order
    QByteArray body;              // de-chunked
    QByteArray raw;               // every byte of this answer as received
    bool chunked = false;
    QByteArray header(const QByteArray& name) const;   // case-insensitive, first match
    bool hasHeader(const QByteArray& name) const;
};

// Common client part: a byte buffer over some transport.
class Client {
public:
    virtual ~Client() = default;
    virtual bool send(const QByteArray& data) = 0;
    // Waits up to `timeoutMs` for more bytes; false on timeout, EOF or error.
    virtual bool fill(int timeoutMs) = 0;
    bool closedByPeer() const { return eof; }

    // Reads one answer (Content-Length, chunked, or up to the end of the connection).
    Reply readReply(int timeoutMs = 10000);
    // Everything until the peer closes; `closed` tells whether it did in time.
    QByteArray readUntilClosed(int timeoutMs, bool* closed);
    // True when the peer closes within the time, whatever it sent before.
    bool waitClosed(int timeoutMs);
    QByteArray& pending() { return buffer; }

protected:
    QByteArray buffer;
    bool eof = false;
};

class RawClient : public Client {
public:
    explicit RawClient(quint16 port, bool noDelay = true);
    ~RawClient() override;
    bool connected() const { return fd >= 0; }
    bool send(const QByteArray& data) override;
    bool fill(int timeoutMs) override;
    // Bytes that arrived already, without waiting.
    bool readable(int timeoutMs);
    void closeNow();
    int descriptor() const { return fd; }

private:
    int fd = -1;
};

class TlsClient : public Client {
public:
    // Verifies the server against `ca` (and the name 127.0.0.1) when given.
    TlsClient(quint16 port, const QList<QSslCertificate>& ca);
    ~TlsClient() override;
    bool encrypted() const;
    QString errorText() const { return error; }
    bool send(const QByteArray& data) override;
    bool fill(int timeoutMs) override;

private:
    std::unique_ptr<QSslSocket> socket;
    QString error;
};

// A copy of every Qt message, from every thread.
class MessageLog {
public:
    static MessageLog& instance();
    void clear();
    QStringList messages() const;
    int count(const QString& part) const;
    bool waitFor(const QString& part, int timeoutMs, int times = 1) const;

private:
    MessageLog();
};

// A root, an intermediate and a leaf for 127.0.0.1, made with the openssl tool.
struct TlsMaterial {
    bool ok = false;
    QString folder;
    QByteArray rootPem, intermPem, leafPem, leafKeyPem;
    QList<QSslCertificate> root() const;
};
const TlsMaterial& tlsMaterial();

// Polls `condition` until it holds or `timeoutMs` has passed.
bool eventually(const std::function<bool()>& condition, int timeoutMs = 10000);

// A plain request text.
QByteArray get(const QByteArray& path, const QByteArray& extraHeaders = QByteArray(),
               const QByteArray& version = "HTTP/1.1");

}  // namespace wstest
