#include "tessaly-listener.h"

#include "tessaly-connection-handler.h"
#include "tessaly-connection-pool.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <unistd.h>

namespace tessaly {

namespace {

// Sent as plain bytes even on a TLS port: there is no handler to do a handshake.
const QByteArray kTooManyConnections =
    "HTTP/1.1 503 too many connections\r\nConnection: close\r\n\r\nToo many connections\r\n";

}  // namespace

const char* getWexloLibVersion() { return "1.7.2"; }

HttpListener::HttpListener(QSettings* settings, HttpRequestHandler* requestHandler, QObject* parent)
    : HttpListener(HttpServerSettings::fromSettings(settings), requestHandler, parent) {}

HttpListener::HttpListener(const HttpServerSettings& settings, HttpRequestHandler* requestHandler, QObject* parent)
    : QTcpServer(parent), settings(settings), requestHandler(requestHandler) {
    qRegisterMetaType<tSocketDescriptor>("tSocketDescriptor");
    listen();
}

HttpListener::~HttpListener() {
    close();
    qDebug("HttpListener: destroyed");
}

void HttpListener::listen() {
    if (!pool) pool = new HttpConnectionHandlerPool(settings, requestHandler);
    QHostAddress address(QHostAddress::Any);
    if (!settings.host.isEmpty()) {
        address = QHostAddress(settings.host);
        if (address.isNull()) {
            // Not an address literal; binding to any address instead would
            // expose the server beyond what was asked for.
            qCritical("HttpListener: Cannot bind on port %i: %s is not an IP address", settings.port,
                      qPrintable(settings.host));
            return;
        }
    }
    QTcpServer::listen(address, quint16(settings.port));
    if (isListening()) {
        qDebug("HttpListener: Listening on port %i", int(serverPort()));
    } else {
        qCritical("HttpListener: Cannot bind on port %i: %s", settings.port, qPrintable(errorString()));
    }
}

void HttpListener::close() {
    QTcpServer::close();
    qDebug("HttpListener: closed");
    delete pool;
    pool = nullptr;
}

void HttpListener::incomingConnection(tSocketDescriptor socketDescriptor) {
    HttpConnectionHandler* handler = pool ? pool->getConnectionHandler() : nullptr;
    if (handler) {
        // Queued: handleConnection runs on the handler's own thread.
        if (!QMetaObject::invokeMethod(
                handler, [handler, socketDescriptor]() { handler->handleConnection(socketDescriptor); },
                Qt::QueuedConnection)) {
            // Cannot happen with the slot declared; if it did, the handler would never be freed.
            qCritical("HttpListener: cannot hand the connection to a handler");
            ::close(int(socketDescriptor));
        }
        return;
    }
    qDebug("HttpListener: Too many incoming connections");
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        ::close(int(socketDescriptor));
        delete socket;
        return;
    }
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    socket->write(kTooManyConnections);
    socket->disconnectFromHost();
}

}  // namespace tessaly
