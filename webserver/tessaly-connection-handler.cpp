#include "tessaly-connection-handler.h"

#include "tessaly-request-handler.h"
#include "tessaly-request.h"
#include "tessaly-response.h"

#include "memory-release.h"

#include <QScopeGuard>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <unistd.h>

namespace tessaly {

namespace {

// The one answer to every request that the parser refuses.
const QByteArray kRefusal = "HTTP/1.1 413 entity too large\r\nConnection: close\r\n\r\n413 Entity too large\r\n";

}  // namespace

HttpConnectionHandler::HttpConnectionHandler(const HttpServerSettings& settings, HttpRequestHandler* requestHandler,
                                             const QSslConfiguration* sslConfiguration)
    : QThread(), settings(settings), requestHandler(requestHandler), sslConfiguration(sslConfiguration) {
    // The handler, its timer and its sockets live in the handler's own thread,
    // so that their slots and timer events run there.
    moveToThread(this);
    readTimer.moveToThread(this);
    readTimer.setSingleShot(true);
    connect(&readTimer, &QTimer::timeout, this, &HttpConnectionHandler::readTimeout);
    start(QThread::InheritPriority);
}

HttpConnectionHandler::~HttpConnectionHandler() {
    quit();
    wait();
    threadEnded.load(std::memory_order_acquire);
}

bool HttpConnectionHandler::isBusy() const { return busy.load(); }

void HttpConnectionHandler::setBusy() { busy.store(true); }

void HttpConnectionHandler::run() {
    try {
        exec();
    } catch (...) {
        qCritical("HttpConnectionHandler (%p): an uncatched exception occured in the thread", static_cast<void*>(this));
    }
    readTimer.stop();
    if (socket) {
        socket->disconnect(this);
        socket->abort();
        delete socket;
        socket = nullptr;
    }
    dropCurrentRequest();
    threadEnded.store(true, std::memory_order_release);
}

// A fresh socket for every connection: nothing (buffered bytes, TLS state,
// errors) can leak from one client's connection into the next one's.
void HttpConnectionHandler::createSocket() {
    if (socket) {
        socket->disconnect(this);
        delete socket;
        socket = nullptr;
    }
    if (sslConfiguration) {
        auto* sslSocket = new QSslSocket;
        sslSocket->setSslConfiguration(*sslConfiguration);
        socket = sslSocket;
    } else {
        socket = new QTcpSocket;
    }
    connect(socket, &QTcpSocket::readyRead, this, &HttpConnectionHandler::read);
    connect(socket, &QTcpSocket::disconnected, this, &HttpConnectionHandler::disconnected);
}

void HttpConnectionHandler::dropCurrentRequest() {
    delete currentRequest;
    currentRequest = nullptr;
}

void HttpConnectionHandler::handleConnection(tSocketDescriptor socketDescriptor) {
    busy.store(true);
    closing = false;
    connectionEnded = false;
    dropCurrentRequest();
    createSocket();
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        qCritical("HttpConnectionHandler (%p): cannot initialize socket: %s", static_cast<void*>(this),
                  qPrintable(socket->errorString()));
        // The descriptor was handed to us and nobody else will close it; and
        // with no connection to end, no disconnected() will free the handler.
        ::close(int(socketDescriptor));
        connectionEnded = true;
        QMetaObject::invokeMethod(this, [this]() { becomeIdle(); }, Qt::QueuedConnection);
        return;
    }
    // An answer goes out in several writes (status and headers, then chunks);
    // without this the last small piece waits for the client's delayed ACK,
    // about 40 ms on every exchange.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (sslConfiguration) static_cast<QSslSocket*>(socket)->startServerEncryption();
    // The TLS handshake and the first byte of a request must arrive within this time.
    readTimer.start(settings.readTimeout);
}

// Asks the socket to close; a client that does not take what is still queued
// holds us at most one more read time-out.
void HttpConnectionHandler::closeConnection() {
    closing = true;
    socket->flush();
    socket->disconnectFromHost();
    if (connectionEnded) return;
    if (socket->state() == QAbstractSocket::UnconnectedState) {
        disconnected();
    } else {
        readTimer.start(settings.readTimeout);
    }
}

void HttpConnectionHandler::readTimeout() {
    if (connectionEnded) return;
    dropCurrentRequest();
    qint64 queued = socket->bytesToWrite();
    if (auto* sslSocket = qobject_cast<QSslSocket*>(socket)) queued += sslSocket->encryptedBytesToWrite();
    if (closing || queued > 0) {
        socket->abort();
        if (!connectionEnded) disconnected();
        return;
    }
    closeConnection();
}

void HttpConnectionHandler::read() {
    if (reading) return;   // nested in a blocking write of read() itself; the outer loop takes the bytes
    if (closing || connectionEnded) {
        socket->readAll();   // nothing more is served on this connection
        return;
    }
    reading = true;
    const auto done = qScopeGuard([this]() { reading = false; });

    while (socket->bytesAvailable() > 0 && !closing && !connectionEnded) {
        if (!currentRequest) {
            currentRequest = new HttpRequest(settings);
            // A request must arrive whole within the read time-out from its
            // first byte: restarting the time with every piece would let a
            // client that sends one byte at a time hold the handler for ever.
            readTimer.start(settings.readTimeout);
        }
        while (socket->bytesAvailable() > 0 && currentRequest->getStatus() != HttpRequest::complete &&
               currentRequest->getStatus() != HttpRequest::abort) {
            currentRequest->readFromSocket(socket);
        }
        if (currentRequest->getStatus() == HttpRequest::abort) {
            socket->write(kRefusal);
            dropCurrentRequest();
            closeConnection();
            return;
        }
        if (currentRequest->getStatus() != HttpRequest::complete) return;   // the rest comes later

        readTimer.stop();
        // A complete request's body has exactly its declared length.
        const qint64 bodyBytes = currentRequest->getHeader("Content-Length").toLongLong();
        // Serving a large body takes tens of times its size (an XML document's
        // trees and copies); that memory goes back to the system once no
        // request has been under way for a moment, never while one is served.
        // The request ends with this scope, after it and its answer are freed.
        corvane::memory::requestStarted();
        const auto finished = qScopeGuard([bodyBytes]() { corvane::memory::requestFinished(bodyBytes); });
        bool closeAfter =
            currentRequest->getHeader("Connection").compare("close", Qt::CaseInsensitive) == 0 ||
            currentRequest->getVersion().compare("HTTP/1.0", Qt::CaseInsensitive) == 0;
        bool failed = false;
        {
            HttpResponse response(socket, settings.readTimeout);
            if (closeAfter) response.setHeader("Connection", "close");
            try {
                requestHandler->service(*currentRequest, response);
            } catch (...) {
                qCritical("HttpConnectionHandler (%p): An uncatched exception occured in the request handler",
                          static_cast<void*>(this));
                failed = true;
            }
            if (!failed && !response.hasSentLastPart()) response.write(QByteArray(), true);
            if (!failed && !closeAfter) {
                const QMap<QByteArray, QByteArray>& headers = response.getHeaders();
                if (headers.value("Connection").compare("close", Qt::CaseInsensitive) == 0) {
                    closeAfter = true;
                } else if (!headers.contains("Content-Length") &&
                           headers.value("Transfer-Encoding").compare("chunked", Qt::CaseInsensitive) != 0) {
                    closeAfter = true;   // only the end of the connection marks the end of the body
                }
            }
        }
        dropCurrentRequest();
        if (connectionEnded) return;
        if (failed) {
            // Finishing the body would pass a broken answer off as complete:
            // the client must see the connection fail instead.
            socket->abort();
            if (!connectionEnded) disconnected();
            return;
        }
        if (closeAfter || socket->state() != QAbstractSocket::ConnectedState) {
            closeConnection();
            return;
        }
        readTimer.start(settings.readTimeout);
    }
}

void HttpConnectionHandler::disconnected() {
    if (connectionEnded) return;
    connectionEnded = true;
    readTimer.stop();
    // The handler is free only once it is back in its event loop: this slot
    // may run inside read() (from the socket's own disconnectFromHost or a
    // failed write), which still uses the socket and the request.
    QMetaObject::invokeMethod(this, [this]() { becomeIdle(); }, Qt::QueuedConnection);
}

void HttpConnectionHandler::becomeIdle() {
    if (socket) socket->close();
    dropCurrentRequest();
    busy.store(false);
}

}  // namespace tessaly
