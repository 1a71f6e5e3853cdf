// The secure WebSocket front of corvane-universal: loopback peers only, one
// Base64 JSON request per text frame, one answer per text frame, served one at
// a time on the program's one thread.
#pragma once

#include <QList>
#include <QObject>
#include <QSslError>
#include <QWebSocketProtocol>
#include <string>

class MessageBudget;
class QSslSocket;
class QWebSocket;
class QWebSocketServer;
class SecureWebSocketListener;

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
    // Does the WebSocket handshake on the TLS sockets `listener` accepts.
    QWebSocketServer* server = nullptr;
    QList<QWebSocket*> clients;
    SecureWebSocketListener* listener = nullptr;
    MessageBudget* budget = nullptr;
};

namespace tev {
namespace quessel {
namespace universal {

void startService();
void startService(const wchar_t* configurationPath);

}  // namespace universal
}  // namespace quessel
}  // namespace tev
