// One incoming HTTP request and the parser that builds it from the bytes of a
// connection.
#pragma once

#include "tessaly-settings.h"

#include <QByteArray>
#include <QHostAddress>
#include <QMap>
#include <QMultiMap>
#include <QString>

class QFile;
class QSettings;
class QTcpSocket;

namespace tessaly {

class HttpRequest {
public:
    enum RequestStatus { waitForRequest = 0, waitForHeader = 1, waitForBody = 2, complete = 3, abort = 4 };

    // Limits from the record ("maxRequestSize", "maxMultiPartSize").
    explicit HttpRequest(const HttpServerSettings& settings);
    // Limits read from `settings` (call on the thread that owns it).
    explicit HttpRequest(QSettings* settings);
    HttpRequest(const HttpRequest&) = delete;
    HttpRequest& operator=(const HttpRequest&) = delete;
    virtual ~HttpRequest();

    // One parsing step; call while getStatus() is below complete.
    void readFromSocket(QTcpSocket* socket);

    RequestStatus getStatus() const;
    QByteArray getMethod() const;
    QByteArray getPath() const;              // URL-decoded
    const QByteArray& getRawPath() const;    // as received, without the query once complete
    QByteArray getVersion() const;
    QByteArray getHeader(const QByteArray& name) const;   // newest value; name case-insensitive
    QList<QByteArray> getHeaders(const QByteArray& name) const;  // newest first
    QMultiMap<QByteArray, QByteArray> getHeaderMap() const;
    QByteArray getParameter(const QByteArray& name) const;
    QList<QByteArray> getParameters(const QByteArray& name) const;
    QMultiMap<QByteArray, QByteArray> getParameterMap() const;
    QByteArray getBody() const;
    // The uploaded file of a multipart field, opened and at its start, or null.
    // The request keeps ownership; the file goes with the request. Uploads
    // stay in the raw body until asked for, so that a request of many file
    // parts holds no descriptor for each of them. No file of a request has a
    // name in the temporary folder: nothing of it outlives the process.
    QFile* getUploadedFile(const QByteArray fieldName) const;
    QByteArray getCookie(const QByteArray& name) const;
    QMap<QByteArray, QByteArray>& getCookieMap();
    QHostAddress getPeerAddress() const;

    // "+" becomes a blank, "%" with one or two hex digits becomes that byte.
    static QByteArray urlDecode(const QByteArray source);

private:
    bool takeLine(QTcpSocket* socket, QByteArray& line);
    void readRequest(QTcpSocket* socket);
    void readHeader(QTcpSocket* socket);
    void finishHeader();
    void readBody(QTcpSocket* socket);
    void parseMultiPartFile();
    void decodeRequestParams();
    void extractCookies();
    void refuse(const char* message);

    QMultiMap<QByteArray, QByteArray> headers;
    QMultiMap<QByteArray, QByteArray> parameters;
    // Where an uploaded file's content lies in the raw multipart body.
    struct Upload {
        qint64 offset = 0;
        qint64 size = 0;
    };
    QMap<QByteArray, Upload> uploadedFiles;             // field name to its content
    mutable QMap<QByteArray, QFile*> openedUploads;     // those asked for, copied out
    QMap<QByteArray, QByteArray> cookies;
    QByteArray bodyData;
    QByteArray method;
    QByteArray path;
    QByteArray version;
    RequestStatus status = waitForRequest;
    QHostAddress peerAddress;
    int maxSize;
    int maxMultiPartSize;
    qint64 currentSize = 0;
    qint64 expectedBodySize = 0;
    QByteArray currentHeader;
    QByteArray boundary;
    QFile* tempFile = nullptr;   // the raw multipart body, kept while uploads lie in it
    QByteArray lineBuffer;
};

}  // namespace tessaly
