#include "tessaly-response.h"

#include <QElapsedTimer>
#include <QSslSocket>
#include <QTcpSocket>

namespace tessaly {

namespace {

// Bytes that may wait in the socket's queue before a write waits for the client.
constexpr qint64 kMaxQueuedBytes = 16384;

bool holdsLineBreak(const QByteArray& text) { return text.contains('\r') || text.contains('\n'); }

}  // namespace

HttpResponse::HttpResponse(QTcpSocket* socket, int writeTimeout) : socket(socket), writeTimeout(writeTimeout) {}

void HttpResponse::setHeader(QByteArray name, QByteArray value) {
    // A line break would let text chosen by a request end the header block
    // and forge further headers or a second response.
    if (holdsLineBreak(name) || holdsLineBreak(value)) {
        qWarning("HttpResponse: refused header %s: CR or LF in name or value", name.simplified().constData());
        return;
    }
    headers.insert(name, value);
}

void HttpResponse::setHeader(QByteArray name, int value) { setHeader(name, QByteArray::number(value)); }

QMap<QByteArray, QByteArray>& HttpResponse::getHeaders() { return headers; }

void HttpResponse::setStatus(int code, QByteArray description) {
    if (holdsLineBreak(description)) {
        qWarning("HttpResponse: refused status %i: CR or LF in the reason phrase", code);
        return;
    }
    statusCode = code;
    statusText = description;
}

int HttpResponse::getStatusCode() const { return statusCode; }

void HttpResponse::setCookie(const HttpCookie& cookie) {
    if (cookie.getName().isEmpty()) return;
    for (const QByteArray& field : {cookie.getName(), cookie.getValue(), cookie.getComment(),
                                    cookie.getDomain(), cookie.getPath()}) {
        if (holdsLineBreak(field)) {
            qWarning("HttpResponse: refused cookie %s: CR or LF in a field",
                     cookie.getName().simplified().constData());
            return;
        }
    }
    cookies.insert(cookie.getName(), cookie);
}

QMap<QByteArray, HttpCookie>& HttpResponse::getCookies() { return cookies; }

void HttpResponse::writeHeaders() {
    QByteArray buffer;
    buffer.append("HTTP/1.1 ").append(QByteArray::number(statusCode)).append(' ').append(statusText).append("\r\n");
    for (auto it = headers.constBegin(); it != headers.constEnd(); ++it) {
        buffer.append(it.key()).append(": ").append(it.value()).append("\r\n");
    }
    for (auto it = cookies.constBegin(); it != cookies.constEnd(); ++it) {
        buffer.append("Set-Cookie: ").append(it.value().toByteArray()).append("\r\n");
    }
    buffer.append("\r\n");
    writeToSocket(buffer);
    sentHeaders = true;
}

void HttpResponse::write(QByteArray data, bool lastPart) {
    if (sentLastPart) return;
    if (!sentHeaders) {
        if (lastPart) {
            headers.insert("Content-Length", QByteArray::number(data.size()));
        } else {
            QByteArray connection = headers.value("Connection");
            if (!headers.contains("Connection")) connection = headers.value("connection");
            if (connection.compare("close", Qt::CaseInsensitive) != 0) {
                headers.insert("Transfer-Encoding", "chunked");
                chunkedMode = true;
            }
        }
        headers.insert("Access-Control-Allow-Origin", "*");
        writeHeaders();
    }
    if (!data.isEmpty()) {
        if (chunkedMode) {
            writeToSocket(QByteArray::number(data.size(), 16));
            writeToSocket("\r\n");
            writeToSocket(data);
            writeToSocket("\r\n");
        } else {
            writeToSocket(data);
        }
    }
    if (lastPart) {
        if (chunkedMode) writeToSocket("0\r\n\r\n");
        flush();
        sentLastPart = true;
    }
}

void HttpResponse::redirect(const QByteArray& url) {
    setStatus(303, "See Other");
    setHeader("Location", url);
    write("Redirect", true);
}

bool HttpResponse::hasSentLastPart() const { return sentLastPart; }

void HttpResponse::flush() { socket->flush(); }

bool HttpResponse::isConnected() const {
    return socket->isOpen() && socket->state() == QAbstractSocket::ConnectedState;
}

qint64 HttpResponse::queuedBytes() const {
    qint64 queued = socket->bytesToWrite();
    if (auto* ssl = qobject_cast<QSslSocket*>(socket)) queued += ssl->encryptedBytesToWrite();
    return queued;
}

// Waits until the queue has room. A client that takes nothing for
// `writeTimeout` ms is dropped: it must not hold this connection's thread.
bool HttpResponse::waitForRoom() {
    QElapsedTimer clock;
    clock.start();
    const qint64 before = queuedBytes();
    while (queuedBytes() > kMaxQueuedBytes && socket->state() == QAbstractSocket::ConnectedState) {
        const qint64 left = writeTimeout - clock.elapsed();
        if (left <= 0) {
            qWarning("HttpResponse: the client takes no data, dropping the connection");
            socket->abort();
            return false;
        }
        socket->waitForBytesWritten(int(left));
        if (queuedBytes() < before) return true;
    }
    return true;
}

bool HttpResponse::writeToSocket(QByteArray data) {
    qint64 remaining = data.size();
    const char* position = data.constData();
    while (remaining > 0 && socket->isOpen() && socket->state() == QAbstractSocket::ConnectedState) {
        if (queuedBytes() > kMaxQueuedBytes && !waitForRoom()) return false;
        if (socket->state() != QAbstractSocket::ConnectedState) break;
        const qint64 written = socket->write(position, remaining);
        if (written == -1) return false;
        position += written;
        remaining -= written;
    }
    return true;
}

}  // namespace tessaly
