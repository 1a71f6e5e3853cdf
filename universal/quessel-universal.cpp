#include "quessel-universal.h"

#include "message-budget.h"
#include "quessel-commons.h"
#include "request-envelope.h"
#include "tev-commons.h"
#include "tev-logging.h"
#include "tev-resources.h"
#include "tev-smartcard.h"
#include "tls-material.h"
#include "websocket-listener.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTextStream>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QScopeGuard>
#include <algorithm>
#include <exception>
#include <memory>
#include <sys/resource.h>

using tev::quessel::errorEnvelope;
using corvane::envelope::separatorLine;
using tev::logging::shownText;

namespace {

// Open connections at most, handshakes under way included. A browser opens a
// few hundred WebSockets at most over all its pages; each connection costs a
// descriptor and its TLS state. Where the descriptor limit is low, room is left
// for everything else the program opens (log, card readers, PKCS#11 modules).
constexpr long kMaxConnections = 1500;
constexpr long kReservedDescriptors = 256;

int connectionLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return int(kMaxConnections);
    return int(std::clamp(long(limit.rlim_cur) - kReservedDescriptors, 16L, kMaxConnections));
}

// The object of the request being served. One thread serves one request at a
// time, so sharing it needs no lock.
QJsonObject requestDocObj;

std::string runAction(const std::string& action) {
    if (const auto* route = corvane::envelope::findRoute(action, corvane::envelope::Endpoint::WebSocket)) {
        return route->command(requestDocObj);
    }
    LOG(ERROR) << "Universal: " << "Undefined action: " << shownText(action);
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
        LOG(INFO) << "Universal: " << "The incoming message: " << shownText(tev::quessel::maskPinsForLog(decoded));
        return errorEnvelope(12);
    }
    requestDocObj = document.object();
    // Held only while the request runs: a large document must not stay in
    // memory until the next request replaces it.
    const auto clearRequest = qScopeGuard([]() { requestDocObj = QJsonObject(); });
    const std::string action = requestDocObj.value("action").toString().toStdString();
    LOG(INFO) << "Universal: " << "Action : " << shownText(action);
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
    // The TLS sockets are accepted by `listener` and only upgraded here.
    server = new QWebSocketServer("Zu Universal Ondrel App", QWebSocketServer::NonSecureMode, this);
    budget = new MessageBudget(this);
    listener = new SecureWebSocketListener(server, connectionLimit(), this);

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
    listener->setSslConfiguration(configuration);

    if (listener->listen(QHostAddress::LocalHost, port)) {
        LOG(INFO) << "Universal: " << "Zu Universal Ondrel App" << " started on port " << port;
        connect(server, &QWebSocketServer::newConnection, this, &QuesselUniversalServer::onNewConnection);
        connect(listener, &SecureWebSocketListener::accepted, this, [this](QSslSocket* socket) {
            budget->watch(socket);
            connect(socket, QOverload<const QList<QSslError>&>::of(&QSslSocket::sslErrors), this, &QuesselUniversalServer::onSslErrors);
        });
    } else {
        LOG(ERROR) << "Universal: " << "Cannot listen on 127.0.0.1:" << port << ": "
                   << listener->errorString().toStdString();
    }
}

QuesselUniversalServer::~QuesselUniversalServer() {
    listener->close();
    server->close();
    qDeleteAll(clients);
    clients.clear();
}

bool QuesselUniversalServer::isListening() const { return listener->isListening(); }

void QuesselUniversalServer::onNewConnection() {
    QWebSocket* socket = server->nextPendingConnection();
    if (!socket) return;
    QSslSocket* tls = listener->takeUpgraded(socket);
    const QString peer = socket->peerAddress().toString();
    if (!tls || (peer != "::1" && peer != "127.0.0.1")) {
        LOG(ERROR) << "Universal: " << "Address " << peer.toStdString() << " is not allowed";
        // Nobody would ever read or free a refused socket: drop it now.
        socket->abort();
        socket->deleteLater();
        return;
    }
    LOG(INFO) << "Universal: " << "Client connected origin: " << shownText(socket->origin().toStdString());
    LOG(INFO) << "Universal: " << "Peer address: " << peer.toStdString();
    socket->setMaxAllowedIncomingMessageSize(kMaxIncomingMessageSize);
    socket->setMaxAllowedIncomingFrameSize(kMaxIncomingMessageSize);
    budget->attach(socket, tls);
    connect(socket, &QWebSocket::textMessageReceived, this, &QuesselUniversalServer::processRequest);
    connect(socket, &QWebSocket::disconnected, this, &QuesselUniversalServer::socketDisconnected);
    clients.append(socket);
}

void QuesselUniversalServer::processRequest(QString message) {
    auto* socket = qobject_cast<QWebSocket*>(sender());
    const qint64 charged = budget->takeMessage(socket, message.size());
    if (charged < 0) return;   // its connection was closed for the budget or its deadline
    auto text = std::make_shared<std::string>(message.toStdString());
    message = QString();
    // Served from the event loop, in arrival order: by then the socket has
    // dropped its own copy of the message, which as UTF-16 is twice its size.
    QPointer<QWebSocket> target(socket);
    QMetaObject::invokeMethod(this, [this, target, text, charged]() {
        QElapsedTimer busy;
        busy.start();
        AsyncRequest request;
        request.socket = target.data();
        request.message.swap(*text);
        asyncProcessRequest(&request);
        budget->served(charged, busy.elapsed());
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
