#include "page-server.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

namespace corvane {
namespace test {

namespace {

// Big enough for a report with three Base64 signatures and their inputs.
constexpr int kMaxHeaderBytes = 64 * 1024;
constexpr qint64 kMaxBodyBytes = 32 * 1024 * 1024;

QByteArray contentTypeOf(const QString& name) {
    if (name.endsWith(".html")) return "text/html; charset=utf-8";
    if (name.endsWith(".js")) return "text/javascript; charset=utf-8";
    if (name.endsWith(".css")) return "text/css; charset=utf-8";
    return "application/octet-stream";
}

}  // namespace

PageServer::PageServer(const QString& webFolder) : folder(webFolder) {
    QObject::connect(&server, &QTcpServer::newConnection, [this] { onNewConnection(); });
}

PageServer::~PageServer() {
    server.close();
    for (QTcpSocket* socket : buffers.keys()) {
        socket->abort();
        delete socket;
    }
}

bool PageServer::listen() { return server.listen(QHostAddress::LocalHost, 0); }

quint16 PageServer::port() const { return server.serverPort(); }

QString PageServer::baseUrl() const { return QString("http://127.0.0.1:%1").arg(port()); }

void PageServer::clear() {
    requests.clear();
    received.clear();
}

QByteArray PageServer::waitForReport(int timeoutMs, const std::function<bool()>& giveUp) {
    const int before = received.size();
    QElapsedTimer timer;
    timer.start();
    QEventLoop loop;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (received.size() > before || timer.elapsed() >= timeoutMs || (giveUp && giveUp())) loop.quit();
    });
    tick.start(50);
    loop.exec();
    // A report that came in the same turn as a give-up still counts.
    return received.size() > before ? received.at(before) : QByteArray();
}

void PageServer::onNewConnection() {
    while (QTcpSocket* socket = server.nextPendingConnection()) {
        socket->setParent(nullptr);
        buffers.insert(socket, QByteArray());
        QObject::connect(socket, &QTcpSocket::readyRead, [this, socket] { onReadyRead(socket); });
        QObject::connect(socket, &QTcpSocket::disconnected, [this, socket] {
            if (buffers.remove(socket) > 0) socket->deleteLater();
        });
    }
}

void PageServer::onReadyRead(QTcpSocket* socket) {
    if (!buffers.contains(socket)) return;
    QByteArray& buffer = buffers[socket];
    buffer += socket->readAll();
    const int headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0) {
        if (buffer.size() > kMaxHeaderBytes) reply(socket, 431, "Request Header Fields Too Large", {}, {});
        return;
    }
    const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() != 3) {
        reply(socket, 400, "Bad Request", {}, {});
        return;
    }
    qint64 contentLength = 0;
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == "content-length") {
            bool ok = false;
            contentLength = line.mid(colon + 1).trimmed().toLongLong(&ok);
            if (!ok || contentLength < 0 || contentLength > kMaxBodyBytes) {
                reply(socket, 413, "Payload Too Large", {}, {});
                return;
            }
        }
    }
    if (buffer.size() - (headerEnd + 4) < contentLength) return;  // body still coming
    const QByteArray body = buffer.mid(headerEnd + 4, static_cast<int>(contentLength));
    answer(socket, requestLine[0], requestLine[1], body);
}

void PageServer::answer(QTcpSocket* socket, const QByteArray& method, const QByteArray& target,
                        const QByteArray& body) {
    const QUrl url(QString::fromLatin1("http://127.0.0.1" + target));
    const QString path = url.path();
    auto logged = [&](int status) { requests << QString("%1 %2 %3").arg(QString::fromLatin1(method), path).arg(status); };

    if (path == "/report" && (method == "POST" || method == "GET")) {
        QByteArray text = body;
        if (method == "GET") {
            const QByteArray query = url.query(QUrl::FullyEncoded).toLatin1();
            for (const QByteArray& pair : query.split('&')) {
                if (pair.startsWith("results=")) text = QByteArray::fromPercentEncoding(pair.mid(8).replace('+', ' '));
            }
        }
        logged(204);
        received << text;
        reply(socket, 204, "No Content", {}, {});
        return;
    }
    if (method != "GET") {
        logged(405);
        reply(socket, 405, "Method Not Allowed", "Allow: GET\r\n", {});
        return;
    }
    if (path == "/start") {
        logged(302);
        reply(socket, 302, "Found", "Location: /example.html#" + startFragment + "\r\n", {});
        return;
    }
    // Only plain names of files that exist in the web folder: no sub-folders, no "..".
    const QString name = path.mid(1);
    const QStringList served = QDir(folder).entryList(QDir::Files);
    if (!path.startsWith('/') || !served.contains(name)) {
        logged(404);
        reply(socket, 404, "Not Found", {}, {});
        return;
    }
    QFile file(folder + "/" + name);
    if (!file.open(QIODevice::ReadOnly)) {
        logged(500);
        reply(socket, 500, "Internal Server Error", {}, {});
        return;
    }
    logged(200);
    reply(socket, 200, "OK", "Content-Type: " + contentTypeOf(name) + "\r\n", file.readAll());
}

void PageServer::reply(QTcpSocket* socket, int status, const QByteArray& reason, const QByteArray& headers,
                       const QByteArray& body) {
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + " " + reason + "\r\n";
    out += headers;
    out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    out += "Cache-Control: no-store\r\nConnection: close\r\n\r\n";
    out += body;
    socket->write(out);
    buffers[socket].clear();
    socket->disconnectFromHost();  // after the data is written
}

}  // namespace test
}  // namespace corvane
