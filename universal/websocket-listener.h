// The TCP side of the secure WebSocket endpoint. It accepts the connections
// itself, instead of leaving that to the WebSocket server, so that:
// - their number is bounded: beyond the limit a new connection is closed right
//   after it is accepted, before any TLS work is spent on it;
// - an accept that fails (no descriptor left) pauses accepting for a moment
//   instead of being retried at once for ever;
// - a connection that has not finished its TLS and WebSocket handshakes in
//   time is dropped;
// - the TLS socket under each WebSocket is known, so that the bytes it buffers
//   can be charged as they arrive (Qt's WebSocket keeps a frame's payload in
//   that socket's buffer until the whole frame is there).
#pragma once

#include <QHash>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTimer>

class QSslSocket;
class QWebSocket;
class QWebSocketServer;

class SecureWebSocketListener : public QTcpServer {
    Q_OBJECT
public:
    // `upgrader` does the WebSocket handshake on the TLS sockets handed to it.
    SecureWebSocketListener(QWebSocketServer* upgrader, int maxConnections, QObject* parent = nullptr);

    void setSslConfiguration(const QSslConfiguration& configuration) { tls = configuration; }
    int maxConnections() const { return limit; }
    int openConnections() const { return open; }

    // The TLS socket under a WebSocket that the upgrader has just handed out;
    // its handshake deadline ends here. Null for a socket this listener did
    // not accept.
    QSslSocket* takeUpgraded(const QWebSocket* webSocket);

Q_SIGNALS:
    // A connection was accepted: the signal comes before the socket reads
    // anything, so that a receiver's readyRead slot runs before any other.
    void accepted(QSslSocket* socket);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void onAcceptError(QAbstractSocket::SocketError error);
    void onConnectionGone();
    void resumeIfPaused();

    QSslConfiguration tls;
    QWebSocketServer* upgrader;
    const int limit;
    int open = 0;
    bool paused = false;
    bool refusing = false;   // logged once for each run of refusals
    QTimer resumeTimer;
    // Sockets whose WebSocket handshake is under way, by peer address and port.
    QHash<QString, QSslSocket*> handshaking;
};
