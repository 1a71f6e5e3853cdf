// The bytes of incoming WebSocket messages held at once over all connections,
// charged as they arrive and bounded.
//
// Qt's WebSocket keeps a frame's payload in its TLS socket's read buffer until
// the whole frame is there, and only then hands it on; counting frames would
// leave everything still arriving uncounted. So what a connection holds is
// taken from the socket itself every time it has read more: the bytes waiting
// in its buffer, plus the frames already received of a message not yet whole.
// A connection whose holding would take the total beyond the budget is closed
// at once (close code 1009), before its WebSocket reads any of the bytes that
// went beyond; the socket reads nothing more of it. A message that is not whole
// within its deadline closes its connection too (close code 1008), so nobody
// can keep a part of the budget for ever. Large releases hand the freed memory
// back to the system once the program is idle.
#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>
#include <QWebSocketProtocol>

class QSslSocket;
class QWebSocket;

// Largest request message (and frame) accepted; a larger one closes only the
// connection that sent it, before its payload is read. Documents to sign
// travel Base64-encoded inside the JSON, which the frame carries Base64-encoded
// again: a 12 MB invoice makes a message of about 21.3 MB, and this leaves
// room for documents up to about 18 MB.
constexpr quint64 kMaxIncomingMessageSize = 32ull * 1024 * 1024;

// Message bytes held at once over all connections: bytes still arriving and
// the messages waiting to be served. Any web page can open many connections,
// so a per-message limit alone bounds nothing. A message of the largest size
// fits with room to spare, so a large document passes when it comes alone.
// Qt holds text as UTF-16, so the memory a whole message takes is about twice
// (four times while a fragmented message grows) its bytes.
constexpr qint64 kMessageBudget = 48ll * 1024 * 1024;

// What a connection may hold without being charged: however full the budget
// is, the small requests of a page (initialize, listings) are still served.
constexpr qint64 kUnchargedMessageSize = 64 * 1024;

// Time a message has from its first byte to its last. The time this program
// spends serving requests (when it reads no connection) does not count. A
// page sends even the largest message in well under a second.
constexpr qint64 kMessageDeadlineMs = 10000;

class MessageBudget : public QObject {
    Q_OBJECT
public:
    explicit MessageBudget(QObject* parent = nullptr);

    // A socket just accepted, before it has read anything: from now on what it
    // buffers is charged.
    void watch(QSslSocket* socket);
    // Its WebSocket, once the handshake is done: received frames count too.
    void attach(QWebSocket* webSocket, QSslSocket* socket);
    // A whole text message taken off its connection to be served. Returns the
    // bytes charged for it until `served`, or -1 when its connection has been
    // refused (the message is then dropped).
    qint64 takeMessage(QWebSocket* webSocket, qint64 size);
    // The request charged `charged` bytes has been answered; serving it kept
    // the program from reading any connection for `busyMs`.
    void served(qint64 charged, qint64 busyMs);

    qint64 heldBytes() const { return held; }

private:
    struct Connection {
        QWebSocket* webSocket = nullptr;
        qint64 buffered = 0;    // bytes waiting in the socket's read buffer
        qint64 fragments = 0;   // frames received of the message under way
        qint64 charged = 0;
        bool refused = false;
        QElapsedTimer unfinishedSince;   // valid while a message is under way
        qint64 busyAtStart = 0;
    };

    void refresh(QSslSocket* socket);
    void frameReceived(QSslSocket* socket, qint64 size, bool endsDroppedMessage);
    bool recharge(Connection& connection);
    void updateDeadline(Connection& connection);
    void refuse(QSslSocket* socket, QWebSocketProtocol::CloseCode code, const char* reason);
    // Takes `bytes` off the total; large releases hand memory back.
    void release(qint64 bytes);
    void checkDeadlines();
    void forget(QSslSocket* socket);

    QHash<QSslSocket*, Connection> connections;
    QHash<QWebSocket*, QSslSocket*> socketOf;
    qint64 held = 0;
    qint64 busyMs = 0;   // time spent serving requests, in total
    QTimer deadlineTimer;
};
