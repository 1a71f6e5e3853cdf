#include "message-budget.h"

#include "memory-release.h"
#include "tev-logging.h"

#include <QPointer>
#include <QSslSocket>
#include <QWebSocket>

namespace {

qint64 chargedBytes(qint64 bytes) { return bytes > kUnchargedMessageSize ? bytes : 0; }

}  // namespace

MessageBudget::MessageBudget(QObject* parent) : QObject(parent) {
    deadlineTimer.setInterval(1000);
    connect(&deadlineTimer, &QTimer::timeout, this, &MessageBudget::checkDeadlines);
}

void MessageBudget::watch(QSslSocket* socket) {
    connections.insert(socket, Connection());
    // Connected before the socket is handed on: this runs before anything
    // else reads what has just arrived.
    connect(socket, &QIODevice::readyRead, this, [this, socket]() { refresh(socket); });
    connect(socket, &QObject::destroyed, this, [this, socket]() { forget(socket); });
}

void MessageBudget::attach(QWebSocket* webSocket, QSslSocket* socket) {
    auto it = connections.find(socket);
    if (it == connections.end()) return;
    it->webSocket = webSocket;
    socketOf.insert(webSocket, socket);
    // The WebSocket drops every connection of its socket's signals when it
    // goes (and the socket with it): its own end is the connection's end.
    connect(webSocket, &QObject::destroyed, this, [this, webSocket, socket]() {
        socketOf.remove(webSocket);
        forget(socket);
    });
    connect(webSocket, &QWebSocket::textFrameReceived, this,
            [this, socket](const QString& frame, bool) { frameReceived(socket, frame.size(), false); });
    // Binary messages are never served: dropped as soon as they are whole.
    connect(webSocket, &QWebSocket::binaryFrameReceived, this,
            [this, socket](const QByteArray& frame, bool last) { frameReceived(socket, frame.size(), last); });
    // Whatever else the WebSocket reads (control frames) leaves the socket's
    // buffer without a frame of a message: look again once it has read.
    connect(socket, &QIODevice::readyRead, this, [this, socket]() { refresh(socket); }, Qt::QueuedConnection);
    refresh(socket);
}

qint64 MessageBudget::takeMessage(QWebSocket* webSocket, qint64 size) {
    QSslSocket* socket = socketOf.value(webSocket);
    auto it = connections.find(socket);
    if (it == connections.end() || it->refused) return -1;
    // The message's bytes now belong to the request, not to the connection
    // (which may go on sending the next one). This never adds to the total.
    it->fragments = 0;
    it->buffered = socket->bytesAvailable();
    recharge(*it);
    const qint64 charged = chargedBytes(size);
    held += charged;
    it->unfinishedSince.invalidate();
    updateDeadline(*it);
    return charged;
}

void MessageBudget::served(qint64 charged, qint64 busy) {
    busyMs += busy;
    release(charged);
}

void MessageBudget::refresh(QSslSocket* socket) {
    auto it = connections.find(socket);
    if (it == connections.end() || it->refused) return;
    it->buffered = socket->bytesAvailable();
    if (!recharge(*it)) {
        refuse(socket, QWebSocketProtocol::CloseCodeTooMuchData, "Too much data held by other messages");
        return;
    }
    updateDeadline(*it);
}

void MessageBudget::frameReceived(QSslSocket* socket, qint64 size, bool endsDroppedMessage) {
    auto it = connections.find(socket);
    if (it == connections.end() || it->refused) return;
    it->fragments = endsDroppedMessage ? 0 : it->fragments + size;
    if (endsDroppedMessage) it->unfinishedSince.invalidate();
    refresh(socket);
}

bool MessageBudget::recharge(Connection& connection) {
    const qint64 charge = chargedBytes(connection.buffered + connection.fragments);
    if (charge > connection.charged) {
        if (held - connection.charged + charge > kMessageBudget) return false;
        held += charge - connection.charged;
    } else {
        release(connection.charged - charge);
    }
    connection.charged = charge;
    return true;
}

void MessageBudget::updateDeadline(Connection& connection) {
    // Only a WebSocket has messages; until then the handshake deadline holds.
    const bool unfinished = connection.webSocket && (connection.buffered > 0 || connection.fragments > 0);
    if (!unfinished) {
        connection.unfinishedSince.invalidate();
        return;
    }
    if (connection.unfinishedSince.isValid()) return;
    connection.unfinishedSince.start();
    connection.busyAtStart = busyMs;
    if (!deadlineTimer.isActive()) deadlineTimer.start();
}

void MessageBudget::refuse(QSslSocket* socket, QWebSocketProtocol::CloseCode code, const char* reason) {
    Connection& connection = connections[socket];
    LOG(ERROR) << "Universal: " << (code == QWebSocketProtocol::CloseCodeTooMuchData ? "Message budget exceeded" : reason)
               << ", closing the connection";
    connection.refused = true;
    connection.unfinishedSince.invalidate();
    release(connection.charged);
    connection.charged = 0;
    QPointer<QWebSocket> webSocket(connection.webSocket);
    // Its WebSocket reads nothing more; what it has already taken in is
    // dropped with the connection.
    if (webSocket) disconnect(socket, &QIODevice::readyRead, webSocket.data(), nullptr);
    // Closed from the event loop: this may run inside the socket's own
    // reading or the WebSocket's frame handling.
    QPointer<QSslSocket> target(socket);
    QMetaObject::invokeMethod(this, [target, webSocket, code, reason]() {
        if (!target) return;
        if (webSocket) webSocket->close(code, QString::fromLatin1(reason));
        target->flush();
        target->abort();
    }, Qt::QueuedConnection);
}

void MessageBudget::release(qint64 bytes) {
    held -= bytes;
    // Freed sockets and their buffers go with the next turns of the event
    // loop; the memory goes back once the program has been idle a moment, so
    // that large messages one after the other do not fault it all in again.
    if (bytes >= corvane::memory::kLargeRequestBytes) corvane::memory::releaseWhenIdle();
}

void MessageBudget::checkDeadlines() {
    bool waiting = false;
    QList<QSslSocket*> late;
    for (auto it = connections.begin(); it != connections.end(); ++it) {
        if (it->refused || !it->unfinishedSince.isValid()) continue;
        // A control frame read since leaves no message under way.
        it->buffered = it.key()->bytesAvailable();
        recharge(*it);
        updateDeadline(*it);
        if (!it->unfinishedSince.isValid()) continue;
        const qint64 elapsed = it->unfinishedSince.elapsed() - (busyMs - it->busyAtStart);
        if (elapsed >= kMessageDeadlineMs) late << it.key();
        else waiting = true;
    }
    for (QSslSocket* socket : late) refuse(socket, QWebSocketProtocol::CloseCodePolicyViolated, "Message not finished in time");
    if (!waiting) deadlineTimer.stop();
}

void MessageBudget::forget(QSslSocket* socket) {
    const auto it = connections.find(socket);
    if (it == connections.end()) return;
    release(it->charged);
    connections.erase(it);
}
