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
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QTextStream>
#include <QWebSocket>
#include <QWebSocketServer>
#include <exception>

using tev::quessel::errorEnvelope;
using corvane::envelope::separatorLine;

namespace {

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

std::string dispatchUniversalRequest(const std::string& message) {
    const std::string decoded = base64_decode(message);
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(decoded), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        LOG(INFO) << "Universal: " << "The incoming message: " << tev::quessel::maskPinsForLog(decoded);
        return errorEnvelope(12);
    }
    requestDocObj = document.object();
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
    connect(socket, &QWebSocket::textMessageReceived, this, &QuesselUniversalServer::processRequest);
    connect(socket, &QWebSocket::disconnected, this, &QuesselUniversalServer::socketDisconnected);
    clients.append(socket);
}

void QuesselUniversalServer::processRequest(QString message) {
    AsyncRequest request;
    request.socket = qobject_cast<QWebSocket*>(sender());
    request.message = message.toUtf8().toStdString();
    asyncProcessRequest(&request);
}

void* QuesselUniversalServer::asyncProcessRequest(void* argument) {
    auto* request = static_cast<AsyncRequest*>(argument);
    const std::string answer = dispatchUniversalRequest(request->message);
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
