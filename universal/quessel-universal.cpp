#include "quessel-universal.h"

#include "quessel-commons.h"
#include "request-envelope.h"
#include "tev-commons.h"
#include "tev-logging.h"
#include "tev-resources.h"
#include "tev-smartcard.h"
#include "tls-material.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QTextStream>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QScopeGuard>
#include <exception>
#include <malloc.h>
#include <memory>

using tev::quessel::errorEnvelope;
using corvane::envelope::separatorLine;

namespace {

// Messages at least this long are followed by handing freed memory back.
constexpr qint64 kTrimAfterMessageSize = 1024 * 1024;

// Messages up to this size are not charged to the budget: however full it is,
// the small requests of a page (initialize, listings) are still served.
constexpr qint64 kUnchargedMessageSize = 64 * 1024;

qint64 chargedBytes(qint64 messageBytes) { return messageBytes > kUnchargedMessageSize ? messageBytes : 0; }

// The object of the request being served. One thread serves one request at a
// time, so sharing it needs no lock.
QJsonObject requestDocObj;

std::string runAction(const std::string& action) {
    if (const auto* route = corvane::envelope::findRoute(action, corvane::envelope::Endpoint::WebSocket)) {
        return route->command(requestDocObj);
    }
    LOG(ERROR) << "Universal: " << "Undefined action: " << action;
    return errorEnvelope(12);
}

void logLoaded(const char* what, bool loaded) {
    LOG(INFO) << "Universal: " << what << (loaded ? "true" : "false");
}

}  // namespace

std::string dispatchUniversalRequest(std::string message) {
    const std::string decoded = base64_decode(message);
    std::string().swap(message);   // a large request is held once, not twice
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray::fromRawData(decoded.data(), int(decoded.size())), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        LOG(INFO) << "Universal: " << "The incoming message: " << tev::quessel::maskPinsForLog(decoded);
        return errorEnvelope(12);
    }
    requestDocObj = document.object();
    // Held only while the request runs: a large document must not stay in
    // memory until the next request replaces it.
    const auto clearRequest = qScopeGuard([]() { requestDocObj = QJsonObject(); });
    const std::string action = requestDocObj.value("action").toString().toStdString();
    LOG(INFO) << "Universal: " << "Action : " << action;
    LOG(INFO) << "Universal: " << separatorLine();
    try {
        return runAction(action);
    } catch (int code) {
        LOG(ERROR) << "Universal: " << "Exception caught - Error code: " << code;
        return errorEnvelope(code);
    } catch (const char* text) {
        LOG(ERROR) << "Universal: " << "Exception caught - Error code (2): " << (text ? text : "");
    } catch (const std::exception& e) {
        LOG(ERROR) << "Universal: " << "Exception caught - Error code (3): " << e.what();
    } catch (...) {
        // Raw PKCS#11 values (unsigned long) land here too and answer 12.
        LOG(ERROR) << "Universal: " << "Exception caught - Undefined";
    }
    return errorEnvelope(12);
}

QuesselUniversalServer::QuesselUniversalServer(quint16 port, QObject* parent) : QObject(parent) {
    server = new QWebSocketServer("Zu Universal Ondrel App", QWebSocketServer::SecureMode, this);

    const QSslCertificate certificate(QByteArray::fromStdString(PLAIN_CERTIFICATE), QSsl::Pem);
    logLoaded("The certificate is loaded: ", !certificate.isNull());
    const QSslKey key(QByteArray::fromStdString(PLAIN_PRIVATE_KEY), QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey);
    logLoaded("The key is loaded: ", !key.isNull());
    const std::string intermPem = encryptDecrypt(base64_decode(ENCODED_INTERM_CERTIFICATE));
    const QSslCertificate intermediate(QByteArray::fromStdString(intermPem), QSsl::Pem);
    logLoaded("The intermediate certificate is loaded: ", !intermediate.isNull());

    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    configuration.setCaCertificates({intermediate});
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    configuration.setLocalCertificate(certificate);
    configuration.setPrivateKey(key);
    configuration.setProtocol(QSsl::TlsV1SslV3);
    server->setSslConfiguration(configuration);

    if (server->listen(QHostAddress::LocalHost, port)) {
        LOG(INFO) << "Universal: " << "Zu Universal Ondrel App" << " started on port " << port;
        connect(server, &QWebSocketServer::newConnection, this, &QuesselUniversalServer::onNewConnection);
        connect(server, &QWebSocketServer::sslErrors, this, &QuesselUniversalServer::onSslErrors);
    } else {
        LOG(ERROR) << "Universal: " << "Cannot listen on 127.0.0.1:" << port << ": "
                   << server->errorString().toStdString();
    }
}

QuesselUniversalServer::~QuesselUniversalServer() {
    server->close();
    qDeleteAll(clients);
    clients.clear();
}

bool QuesselUniversalServer::isListening() const { return server->isListening(); }

void QuesselUniversalServer::onNewConnection() {
    QWebSocket* socket = server->nextPendingConnection();
    if (!socket) return;
    const QString peer = socket->peerAddress().toString();
    if (peer != "::1" && peer != "127.0.0.1") {
        LOG(ERROR) << "Universal: " << "Address " << peer.toStdString() << " is not allowed";
        // Nobody would ever read or free a refused socket: drop it now.
        socket->abort();
        socket->deleteLater();
        return;
    }
    LOG(INFO) << "Universal: " << "Client connected origin: " << socket->origin().toStdString();
    LOG(INFO) << "Universal: " << "Peer address: " << peer.toStdString();
    socket->setMaxAllowedIncomingMessageSize(kMaxIncomingMessageSize);
    socket->setMaxAllowedIncomingFrameSize(kMaxIncomingMessageSize);
    // Frames arrive (and are counted) before their message is handed on.
    connect(socket, &QWebSocket::textFrameReceived, this,
            [this, socket](const QString& frame, bool) { countFrame(socket, frame.size()); });
    connect(socket, &QWebSocket::binaryFrameReceived, this, [this, socket](const QByteArray& frame, bool last) {
        countFrame(socket, frame.size());
        if (last) releaseMessage(socket);   // binary messages are dropped as soon as they are whole
    });
    connect(socket, &QWebSocket::textMessageReceived, this, &QuesselUniversalServer::processRequest);
    connect(socket, &QWebSocket::disconnected, this, &QuesselUniversalServer::socketDisconnected);
    clients.append(socket);
}

void QuesselUniversalServer::countFrame(QWebSocket* socket, qint64 size) {
    if (!heldBySocket.contains(socket) && !clients.contains(socket)) return;   // already refused
    const qint64 before = heldBySocket.value(socket);
    const qint64 delta = chargedBytes(before + size) - chargedBytes(before);
    if (heldBytes + delta > kMessageBudget) {
        LOG(ERROR) << "Universal: " << "Message budget exceeded, closing the connection";
        // Its message is never served. Qt refuses the next frame itself and
        // drops what it holds of the message; the close follows from the
        // event loop, as this runs inside the socket's own frame handling.
        disconnect(socket, &QWebSocket::textMessageReceived, this, &QuesselUniversalServer::processRequest);
        socket->setMaxAllowedIncomingMessageSize(0);
        releaseMessage(socket);
        clients.removeAll(socket);
        QMetaObject::invokeMethod(socket, [socket]() {
            socket->close(QWebSocketProtocol::CloseCodeTooMuchData, "Too much data held by other messages");
        }, Qt::QueuedConnection);
        return;
    }
    heldBytes += delta;
    heldBySocket[socket] = before + size;
}

void QuesselUniversalServer::releaseMessage(QWebSocket* socket) {
    heldBytes -= chargedBytes(heldBySocket.take(socket));
}

void QuesselUniversalServer::processRequest(QString message) {
    auto* socket = qobject_cast<QWebSocket*>(sender());
    auto text = std::make_shared<std::string>(message.toStdString());
    message = QString();
    // The message's bytes now belong to this request, not to the connection
    // (which may go on sending the next one).
    const qint64 bytes = chargedBytes(heldBySocket.take(socket));
    // Served from the event loop, in arrival order: by then the socket has
    // dropped its own copy of the message, which as UTF-16 is twice its size.
    QPointer<QWebSocket> target(socket);
    QMetaObject::invokeMethod(this, [this, target, text, bytes]() {
        AsyncRequest request;
        request.socket = target.data();
        request.message.swap(*text);
        asyncProcessRequest(&request);
        heldBytes -= bytes;
        // A large message leaves large freed blocks behind; hand them back so
        // memory comes back near idle instead of staying at its peak.
        if (bytes >= kTrimAfterMessageSize) malloc_trim(0);
    }, Qt::QueuedConnection);
}

void* QuesselUniversalServer::asyncProcessRequest(void* argument) {
    auto* request = static_cast<AsyncRequest*>(argument);
    const std::string answer = dispatchUniversalRequest(std::move(request->message));
    if (request->socket) request->socket->sendTextMessage(QString::fromStdString(answer));
    return nullptr;
}

void* QuesselUniversalServer::asyncProcessRequestTimeout(void* argument) {
    auto* request = static_cast<AsyncRequest*>(argument);
    LOG(ERROR) << "Universal: " << "Request timed out - cancelling the request";
    if (request->socket) request->socket->sendTextMessage(QString::fromStdString(errorEnvelope(12)));
    return nullptr;
}

void QuesselUniversalServer::socketDisconnected() {
    auto* socket = qobject_cast<QWebSocket*>(sender());
    if (!socket) return;
    releaseMessage(socket);
    clients.removeAll(socket);
    socket->deleteLater();
    LOG(INFO) << "Universal: " << "Client disconnected";
}

void QuesselUniversalServer::onSslErrors(const QList<QSslError>&) {
    LOG(ERROR) << "Universal: " << "Ssl errors occurred";
}

void QuesselUniversalServer::onPeerVerifyError(const QSslError& error) {
    LOG(ERROR) << "Universal: " << "Peer verification error" << error.errorString().toStdString();
}

void QuesselUniversalServer::onServerError(QWebSocketProtocol::CloseCode closeCode) {
    LOG(ERROR) << "Universal: " << "Server error" << static_cast<int>(closeCode);
}

namespace tev {
namespace quessel {
namespace universal {

static void logBanner(const char* middleLine) {
    LOG(INFO) << "Universal: " << separatorLine();
    LOG(INFO) << "Universal: " << middleLine;
    LOG(INFO) << "Universal: " << separatorLine();
}

void startService() {
    tev::resources::ensureRegistered();
    QFile resource(":/new/rs/smartcard-config.xml");
    resource.open(QIODevice::ReadOnly | QIODevice::Text);
    QTextStream stream(&resource);
    const QByteArray xml = stream.readAll().toUtf8();
    tev::smartcard::configure(xml.constData());
    logBanner("CorvaneService Started Successfully");
}

void startService(const wchar_t* configurationPath) {
    tev::smartcard::configure(configurationPath);
    logBanner("CorvaneUniversal WebSocket Service Started Successfully");
}

}  // namespace universal
}  // namespace quessel
}  // namespace tev
