#include "tessaly-connection-pool.h"

#include "tessaly-connection-handler.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>

namespace tessaly {

HttpConnectionHandlerPool::HttpConnectionHandlerPool(const HttpServerSettings& settings,
                                                     HttpRequestHandler* requestHandler)
    : QObject(), settings(settings), requestHandler(requestHandler) {
    loadSslConfig();
    connect(&cleanupTimer, &QTimer::timeout, this, &HttpConnectionHandlerPool::cleanup);
    cleanupTimer.start(settings.cleanupInterval);
}

HttpConnectionHandlerPool::HttpConnectionHandlerPool(QSettings* settings, HttpRequestHandler* requestHandler)
    : HttpConnectionHandlerPool(HttpServerSettings::fromSettings(settings), requestHandler) {}

HttpConnectionHandlerPool::~HttpConnectionHandlerPool() {
    cleanupTimer.stop();
    for (HttpConnectionHandler* handler : qAsConst(pool)) delete handler;   // each ends and awaits its thread
    pool.clear();
    delete sslConfiguration;
    qDebug("HttpConnectionHandlerPool (%p): destroyed", static_cast<void*>(this));
}

HttpConnectionHandler* HttpConnectionHandlerPool::getConnectionHandler() {
    std::lock_guard<std::mutex> locker(mutex);
    for (HttpConnectionHandler* handler : qAsConst(pool)) {
        // Only this thread turns an idle handler busy, so testing and then
        // setting under the mutex cannot hand one handler out twice.
        if (!handler->isBusy()) {
            handler->setBusy();
            return handler;
        }
    }
    if (pool.count() < settings.maxThreads) {
        auto* handler = new HttpConnectionHandler(settings, requestHandler, sslConfiguration);
        handler->setBusy();
        pool.append(handler);
        return handler;
    }
    return nullptr;
}

void HttpConnectionHandlerPool::cleanup() {
    const int maxIdleHandlers = settings.minThreads;
    std::lock_guard<std::mutex> locker(mutex);
    int idleCounter = 0;
    const QList<HttpConnectionHandler*> handlers = pool;
    for (HttpConnectionHandler* handler : handlers) {
        if (handler->isBusy()) continue;
        if (++idleCounter > maxIdleHandlers) {
            delete handler;
            pool.removeOne(handler);
            qDebug("HttpConnectionHandlerPool: Removed connection handler (%p), pool size is now %i",
                   static_cast<void*>(handler), int(pool.size()));
            break;
        }
    }
}

void HttpConnectionHandlerPool::loadSslConfig() {
    QSslCertificate certificate;
    QSslKey key;
    QList<QSslCertificate> caCertificates;
    bool fromFiles = false;
    if (!settings.certBA.isEmpty() && !settings.keyBA.isEmpty()) {
        certificate = QSslCertificate(settings.certBA, QSsl::Pem);
        key = QSslKey(settings.keyBA, QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey, QByteArray());
        const QSslCertificate intermediate(settings.intermCertificateBA, QSsl::Pem);
        if (!intermediate.isNull()) caCertificates.append(intermediate);
        if (certificate.isNull() || key.isNull()) {
            // Kept as TLS all the same: a server meant for TLS must not fall
            // back to plain text; its handshakes fail instead.
            qCritical("HttpConnectionHandlerPool: certBA or keyBA holds no readable PEM certificate or RSA key");
        }
    } else {
        if (settings.sslKeyFile.isEmpty() || settings.sslCertFile.isEmpty()) return;   // plain TCP
        auto resolve = [this](const QString& path) {
            return QFileInfo(path).isRelative() ? QDir(settings.settingsFolder).absoluteFilePath(path) : path;
        };
        const QString certFileName = resolve(settings.sslCertFile);
        const QString keyFileName = resolve(settings.sslKeyFile);
        QFile certFile(certFileName);
        if (!certFile.open(QIODevice::ReadOnly)) {
            qCritical("HttpConnectionHandlerPool: cannot open sslCertFile %s", qPrintable(certFileName));
            return;
        }
        certificate = QSslCertificate(&certFile, QSsl::Pem);
        certFile.close();
        QFile keyFile(keyFileName);
        if (!keyFile.open(QIODevice::ReadOnly)) {
            qCritical("HttpConnectionHandlerPool: cannot open sslKeyFile %s", qPrintable(keyFileName));
            return;
        }
        key = QSslKey(&keyFile, QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey, QByteArray());
        keyFile.close();
        fromFiles = true;
        if (certificate.isNull() || key.isNull()) {
            qCritical("HttpConnectionHandlerPool: sslCertFile or sslKeyFile holds no readable PEM certificate or RSA key");
        }
    }
    sslConfiguration = new QSslConfiguration();
    sslConfiguration->setLocalCertificate(certificate);
    sslConfiguration->setPrivateKey(key);
    sslConfiguration->setCaCertificates(caCertificates);
    sslConfiguration->setPeerVerifyMode(QSslSocket::VerifyNone);
    sslConfiguration->setProtocol(QSsl::TlsV1SslV3);
    if (fromFiles) qDebug("HttpConnectionHandlerPool: SSL settings loaded");
}

}  // namespace tessaly
