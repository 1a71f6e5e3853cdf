// A synchronous wss client of corvane-universal that trusts the build's TLS
// root: one request frame out, the next text frame back. Header-only: the
// programs that use it link Qt5::WebSockets, the others need not.
#pragma once

#include "agent-process.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

namespace corvane {
namespace test {

class WsClient {
public:
    bool open(int timeoutMs = 10000, quint16 port = 16356) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(QSslCertificate::fromPath(rootCertificatePath()));
        socket.setSslConfiguration(tls);
        QObject::connect(&socket, &QWebSocket::textMessageReceived, [this](const QString& m) { received << m; });
        QEventLoop loop;
        QObject::connect(&socket, &QWebSocket::connected, &loop, &QEventLoop::quit);
        QObject::connect(&socket, &QWebSocket::disconnected, &loop, &QEventLoop::quit);
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        socket.open(QUrl(QString("wss://127.0.0.1:%1").arg(port)));
        loop.exec();
        return socket.state() == QAbstractSocket::ConnectedState;
    }
    // A request's frame: its JSON in Base64.
    static QString message(const QByteArray& json) { return QString::fromLatin1(json.toBase64()); }
    // Waits for the next text frame; empty on time-out or when the peer has
    // closed the connection.
    QString next(int timeoutMs = 60000) {
        if (received.isEmpty()) {
            QEventLoop loop;
            auto frame = QObject::connect(&socket, &QWebSocket::textMessageReceived, &loop, &QEventLoop::quit);
            auto closed = QObject::connect(&socket, &QWebSocket::disconnected, &loop, &QEventLoop::quit);
            QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
            loop.exec();
            QObject::disconnect(frame);
            QObject::disconnect(closed);
        }
        return received.isEmpty() ? QString() : received.takeFirst();
    }
    QJsonArray request(const QByteArray& json) {
        socket.sendTextMessage(message(json));
        return QJsonDocument::fromJson(next().toUtf8()).array();
    }

    QWebSocket socket;
    QStringList received;
};

}  // namespace test
}  // namespace corvane
