// The outgoing half of one HTTP exchange: status, headers and cookies, and a
// body written in pieces (Content-Length, chunked, or ended by the connection).
#pragma once

#include "tessaly-cookie.h"

#include <QByteArray>
#include <QMap>

class QTcpSocket;

namespace tessaly {

class HttpResponse {
public:
    // `writeTimeout`: how long (ms) a write may wait for a client that does not
    // read before the connection is dropped; the connection handler passes its
    // "readTimeout".
    explicit HttpResponse(QTcpSocket* socket, int writeTimeout = 10000);
    HttpResponse(const HttpResponse&) = delete;
    HttpResponse& operator=(const HttpResponse&) = delete;

    // A name or value holding CR or LF is refused (logged, not set).
    void setHeader(QByteArray name, QByteArray value);
    void setHeader(QByteArray name, int value);
    QMap<QByteArray, QByteArray>& getHeaders();
    // A reason phrase holding CR or LF is refused (the status stays as it was).
    void setStatus(int statusCode, QByteArray description = QByteArray());
    int getStatusCode() const;
    // A cookie with an empty name, or any field holding CR or LF, is refused.
    void setCookie(const HttpCookie& cookie);
    QMap<QByteArray, HttpCookie>& getCookies();

    // Sends the header block first if needed, then `data`; `lastPart` true ends the body.
    void write(QByteArray data, bool lastPart = false);
    void redirect(const QByteArray& url);
    bool hasSentLastPart() const;
    void flush();
    bool isConnected() const;

private:
    bool writeToSocket(QByteArray data);
    void writeHeaders();
    qint64 queuedBytes() const;
    bool waitForRoom();

    QMap<QByteArray, QByteArray> headers;
    QTcpSocket* socket;
    int writeTimeout;
    int statusCode = 200;
    QByteArray statusText = "OK";
    bool sentHeaders = false;
    bool sentLastPart = false;
    bool chunkedMode = false;
    QMap<QByteArray, HttpCookie> cookies;
};

}  // namespace tessaly
