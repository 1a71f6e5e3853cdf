// The secure WebSocket front of corvane-universal: loopback peers only, one
// Base64 JSON request per text frame, one answer per text frame, served one at
// a time on the program's one thread.
#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QSslError>
#include <QWebSocketProtocol>
#include <string>

class QWebSocket;
class QWebSocketServer;

// Largest request message (and frame) accepted; a larger one closes only the
// connection that sent it, before its payload is read. Documents to sign
// travel Base64-encoded inside the JSON, which the frame carries Base64-encoded
// again: a 12 MB invoice makes a message of about 21.3 MB, and this leaves
// room for documents up to about 18 MB.
constexpr quint64 kMaxIncomingMessageSize = 32ull * 1024 * 1024;

// Message bytes held at once over all connections: the frames of messages
// still arriving and the messages waiting to be served. Any web page can open
// many connections, so a per-message limit alone bounds nothing; a connection
// whose next frame would go beyond this is closed (close code 1009). A
// message of the largest size fits with room to spare, so a large document
// passes when it comes alone. Qt holds text as UTF-16, so the memory taken is
// about twice (four times while a fragmented message grows) these bytes.
constexpr qint64 kMessageBudget = 48ll * 1024 * 1024;

struct AsyncRequest {
    QWebSocket* socket = nullptr;
    std::string message;
};

// The answer text for one request frame (Base64 of a JSON object).
std::string dispatchUniversalRequest(std::string message);

class QuesselUniversalServer : public QObject {
    Q_OBJECT
public:
    explicit QuesselUniversalServer(quint16 port, QObject* parent = nullptr);
    ~QuesselUniversalServer() override;

    bool isListening() const;

    static void* asyncProcessRequest(void* request);
    static void* asyncProcessRequestTimeout(void* request);

private Q_SLOTS:
    void onNewConnection();
    void processRequest(QString message);
    void socketDisconnected();
    void onSslErrors(const QList<QSslError>& errors);
    void onPeerVerifyError(const QSslError& error);
    void onServerError(QWebSocketProtocol::CloseCode closeCode);

private:
    void countFrame(QWebSocket* socket, qint64 size);
    void releaseMessage(QWebSocket* socket);

    QWebSocketServer* server = nullptr;
    QList<QWebSocket*> clients;
    // Bytes each connection holds of the message it is sending, and their sum.
    QHash<QWebSocket*, qint64> heldBySocket;
    qint64 heldBytes = 0;
};

namespace tev {
namespace quessel {
namespace universal {

void startService();
void startService(const wchar_t* configurationPath);

}  // namespace universal
}  // namespace quessel
}  // namespace tev
