#include "websocket-listener.h"

#include "tev-logging.h"

#include <QSslSocket>
#include <QWebSocket>
#include <QWebSocketServer>
#include <unistd.h>

namespace {

// Time a connection has from its accept to the end of its WebSocket
// handshake (TLS included). A browser on this machine needs milliseconds.
constexpr int kHandshakeTimeoutMs = 10000;

// After an accept failed for want of descriptors (or memory), accepting waits
// this long, or until a connection ends, before it is tried again.
constexpr int kAcceptRetryMs = 500;

QString peerKey(const QHostAddress& address, quint16 port) {
    return address.toString() + QLatin1Char('/') + QString::number(port);
}

}  // namespace

SecureWebSocketListener::SecureWebSocketListener(QWebSocketServer* upgrader, int maxConnections, QObject* parent)
    : QTcpServer(parent), upgrader(upgrader), limit(maxConnections) {
    resumeTimer.setSingleShot(true);
    resumeTimer.setInterval(kAcceptRetryMs);
    connect(&resumeTimer, &QTimer::timeout, this, &SecureWebSocketListener::resumeIfPaused);
    connect(this, &QTcpServer::acceptError, this, &SecureWebSocketListener::onAcceptError);
}

void SecureWebSocketListener::incomingConnection(qintptr descriptor) {
    if (open >= limit) {
        // Refused at once: nothing of it is read, no TLS work is spent on it.
        ::close(static_cast<int>(descriptor));
        if (!refusing) LOG(ERROR) << "Universal: " << "Connection limit of " << limit << " reached, refusing connections";
        refusing = true;
        return;
    }
    refusing = false;
    auto* socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        ::close(static_cast<int>(descriptor));
        delete socket;
        return;
    }
    ++open;
    connect(socket, &QObject::destroyed, this, &SecureWebSocketListener::onConnectionGone);
    // Until the WebSocket handshake is done the socket is this listener's;
    // afterwards its WebSocket owns it.
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    auto* deadline = new QTimer(socket);
    deadline->setObjectName(QStringLiteral("handshakeDeadline"));
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, socket, [socket]() {
        LOG(ERROR) << "Universal: " << "Handshake not finished in time, closing the connection";
        socket->abort();
        socket->deleteLater();
    });
    deadline->start(kHandshakeTimeoutMs);
    emit accepted(socket);
    connect(socket, &QSslSocket::encrypted, this, [this, socket]() {
        handshaking.insert(peerKey(socket->peerAddress(), socket->peerPort()), socket);
        connect(socket, &QObject::destroyed, this, [this, key = peerKey(socket->peerAddress(), socket->peerPort()), socket]() {
            if (handshaking.value(key) == socket) handshaking.remove(key);
        });
        upgrader->handleConnection(socket);
    });
    socket->setSslConfiguration(tls);
    socket->startServerEncryption();
}

QSslSocket* SecureWebSocketListener::takeUpgraded(const QWebSocket* webSocket) {
    QSslSocket* socket = handshaking.take(peerKey(webSocket->peerAddress(), webSocket->peerPort()));
    if (!socket) return nullptr;
    disconnect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    delete socket->findChild<QTimer*>(QStringLiteral("handshakeDeadline"), Qt::FindDirectChildrenOnly);
    // The WebSocket owns the socket now, and drops every connection of the
    // socket's signals when it goes: count the connection's end from there.
    disconnect(socket, &QObject::destroyed, this, &SecureWebSocketListener::onConnectionGone);
    connect(webSocket, &QObject::destroyed, this, &SecureWebSocketListener::onConnectionGone);
    return socket;
}

void SecureWebSocketListener::onAcceptError(QAbstractSocket::SocketError error) {
    // Qt has paused accepting already (it would otherwise be woken again at
    // once by the connection still waiting in the backlog).
    pauseAccepting();
    if (!paused) LOG(ERROR) << "Universal: " << "Accepting a connection failed (" << int(error) << "), retrying shortly";
    paused = true;
    resumeTimer.start();
}

void SecureWebSocketListener::onConnectionGone() {
    --open;
    resumeIfPaused();
}

void SecureWebSocketListener::resumeIfPaused() {
    if (!paused) return;
    paused = false;
    resumeTimer.stop();
    resumeAccepting();
}
