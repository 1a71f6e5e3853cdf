#include "tessaly-request.h"

#include "tessaly-cookie.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTcpSocket>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <unistd.h>

namespace tessaly {

namespace {

// Longest line piece read from the raw multipart file at once.
constexpr int kMultiPartLine = 65535;
// Longest piece of a request or header line taken from the socket at once.
constexpr qint64 kLinePiece = 4096;
// Largest block of a multipart body moved from the socket to the file at once.
constexpr qint64 kMultiPartBlock = 65536;

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A Content-Length value: one or more decimal digits, nothing else, within 64 bits.
bool parseContentLength(const QByteArray& text, qint64* result) {
    if (text.isEmpty()) return false;
    qint64 n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        const int digit = c - '0';
        if (n > (std::numeric_limits<qint64>::max() - digit) / 10) return false;
        n = n * 10 + digit;
    }
    *result = n;
    return true;
}

// One line of at most kMultiPartLine bytes, line end included, read into
// `buffer` (kMultiPartLine + 1 bytes), which serves every line of a body: a
// block of that size per line would stay with whatever shares it, 64 KiB for
// a field of a few bytes. The line returned lies in `buffer` and is valid
// until the next read; what is kept is copied out of it at its own size.
QByteArray readFileLine(QIODevice* file, QByteArray& buffer) {
    const qint64 got = file->readLine(buffer.data(), buffer.size());
    if (got <= 0) return QByteArray();
    return QByteArray::fromRawData(buffer.constData(), int(got));
}

// A new empty file in the temporary folder that has no name: the system
// frees it with its last descriptor, so nothing of a request stays behind
// however the process ends. Null when it cannot be made.
QFile* openUnnamedFile() {
    const QByteArray folder = QFile::encodeName(QDir::tempPath());
    int fd = ::open(folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // A file system without unnamed files: the name goes at once.
        QByteArray path = folder + "/tessaly-XXXXXX";
        fd = ::mkostemp(path.data(), O_CLOEXEC);
        if (fd >= 0) ::unlink(path.constData());
    }
    if (fd < 0) return nullptr;
    auto file = std::make_unique<QFile>();
    if (!file->open(fd, QIODevice::ReadWrite, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return nullptr;
    }
    return file.release();
}

}  // namespace

HttpRequest::HttpRequest(const HttpServerSettings& settings)
    : maxSize(settings.maxRequestSize), maxMultiPartSize(settings.maxMultiPartSize) {}

HttpRequest::HttpRequest(QSettings* settings)
    : maxSize(settings ? settings->value("maxRequestSize", "16000").toInt() : 16000),
      maxMultiPartSize(settings ? settings->value("maxMultiPartSize", "1000000").toInt() : 1000000) {}

HttpRequest::~HttpRequest() {
    qDeleteAll(openedUploads);
    delete tempFile;
}

void HttpRequest::refuse(const char* message) {
    qWarning("%s", message);
    status = abort;
}

void HttpRequest::readFromSocket(QTcpSocket* socket) {
    switch (status) {
        case waitForRequest: readRequest(socket); break;
        case waitForHeader: readHeader(socket); break;
        case waitForBody: readBody(socket); break;
        default: return;
    }
    if (status == abort) return;
    const qint64 limit = boundary.isEmpty() ? maxSize : maxMultiPartSize;
    if (currentSize > limit) {
        refuse("HttpRequest: received too many bytes");
        return;
    }
    if (status == complete) {
        decodeRequestParams();
        extractCookies();
    }
}

bool HttpRequest::takeLine(QTcpSocket* socket, QByteArray& line) {
    const qint64 budget = qint64(maxSize) - currentSize;
    if (budget <= 0) {
        // The request line or header block is unfinished and the budget is
        // spent: any further byte is over the limit, and a step that could take
        // nothing would otherwise be repeated for ever by the read loop.
        refuse("HttpRequest: received too many bytes");
        return false;
    }
    // A fixed buffer: one heap block the size of the budget for every header
    // line would make a request of many short lines churn megabytes. A longer
    // line is taken in several steps.
    char piece[kLinePiece + 1];
    const qint64 got = socket->readLine(piece, qMin<qint64>(budget, kLinePiece) + 1);
    if (got <= 0) return false;
    // Each byte counts once, however the line is cut into reads.
    currentSize += got;
    lineBuffer.append(piece, int(got));
    // Only LF ends a line: a CR that arrives in one read and its LF in the
    // next must not make an empty line that ends the header block early.
    if (!lineBuffer.endsWith('\n')) return false;
    line = lineBuffer.trimmed();
    lineBuffer.clear();
    return true;
}

void HttpRequest::readRequest(QTcpSocket* socket) {
    QByteArray line;
    if (!takeLine(socket, line) || line.isEmpty()) return;
    const QList<QByteArray> words = line.split(' ');
    if (words.size() != 3 || !words.at(2).contains("HTTP")) {
        refuse("HttpRequest: received broken HTTP request, invalid first line");
        return;
    }
    method = words.at(0).trimmed();
    path = words.at(1);
    version = words.at(2);
    peerAddress = socket->peerAddress();
    status = waitForHeader;
}

void HttpRequest::readHeader(QTcpSocket* socket) {
    QByteArray line;
    if (!takeLine(socket, line)) return;
    const int colon = line.indexOf(':');
    if (colon > 0) {
        currentHeader = line.left(colon).toLower();
        headers.insert(currentHeader, line.mid(colon + 1).trimmed());
    } else if (!line.isEmpty()) {
        // A continuation of the previous header: the joined value becomes the
        // newest, and the older entry stays. Every fold thus stores the whole
        // value once more, so what is stored counts against the limit, not only
        // the bytes that arrived: a few thousand short folds would otherwise
        // hold megabytes.
        if (headers.contains(currentHeader)) {
            const QByteArray previous = headers.value(currentHeader);
            currentSize += currentHeader.size() + previous.size() + 1;   // the line was counted as it arrived
            if (currentSize > maxSize) {
                refuse("HttpRequest: received too many bytes");
                return;
            }
            headers.insert(currentHeader, previous + ' ' + line);
        }
    } else {
        finishHeader();
    }
}

void HttpRequest::finishHeader() {
    const QByteArray contentType = headers.value("content-type");
    if (contentType.startsWith("multipart/form-data")) {
        const int pos = contentType.indexOf("boundary=");
        if (pos >= 0) {
            boundary = contentType.mid(pos + 9);
            if (boundary.size() >= 2 && boundary.startsWith('"') && boundary.endsWith('"')) {
                boundary = boundary.mid(1, boundary.size() - 2);
            }
        }
    }
    // A body framed by transfer coding is not read; its bytes must never be
    // taken for the next request, so the request is refused.
    if (headers.contains("transfer-encoding")) {
        refuse("HttpRequest: Transfer-Encoding is not supported");
        return;
    }
    const QList<QByteArray> lengths = headers.values("content-length");
    if (!lengths.isEmpty()) {
        qint64 length = -1;
        for (const QByteArray& text : lengths) {
            qint64 n = 0;
            if (!parseContentLength(text, &n)) {
                refuse("HttpRequest: invalid Content-Length");
                return;
            }
            if (length >= 0 && n != length) {
                refuse("HttpRequest: conflicting Content-Length headers");
                return;
            }
            length = n;
        }
        expectedBodySize = length;
    }
    if (expectedBodySize == 0) {
        status = complete;
    } else if (boundary.isEmpty()) {
        if (expectedBodySize > qint64(maxSize) - currentSize) {
            refuse("HttpRequest: expected body is too large");
        } else {
            status = waitForBody;
        }
    } else {
        if (expectedBodySize > maxMultiPartSize) {
            refuse("HttpRequest: expected multipart body is too large");
        } else {
            status = waitForBody;
        }
    }
}

void HttpRequest::readBody(QTcpSocket* socket) {
    if (boundary.isEmpty()) {
        const QByteArray piece = socket->read(expectedBodySize - bodyData.size());
        currentSize += piece.size();
        bodyData.append(piece);
        if (bodyData.size() >= expectedBodySize) status = complete;
        return;
    }
    if (!tempFile) tempFile = openUnnamedFile();
    if (!tempFile) {
        qCritical("HttpRequest: cannot create temp file for multipart body, %s", strerror(errno));
        status = abort;
        return;
    }
    const qint64 fileSize = tempFile->size();
    const QByteArray piece = socket->read(qMin(kMultiPartBlock, expectedBodySize - fileSize));
    const qint64 written = piece.isEmpty() ? 0 : tempFile->write(piece);
    if (written != piece.size()) {
        // Bytes that did not reach the file are lost; finishing would parse a
        // body with a hole in it.
        qCritical("HttpRequest: Error writing temp file for multipart body");
        status = abort;
        return;
    }
    const qint64 newSize = fileSize + written;
    if (newSize >= maxMultiPartSize) {
        refuse("HttpRequest: received too many multipart bytes");
        return;
    }
    if (newSize >= expectedBodySize) {
        tempFile->flush();
        if (tempFile->error() != QFileDevice::NoError) {
            qCritical("HttpRequest: Error writing temp file for multipart body");
        }
        parseMultiPartFile();
        // Without uploads nothing reads the raw body after splitting: its
        // descriptor and disk space go now, not with the request.
        if (uploadedFiles.isEmpty()) {
            delete tempFile;
            tempFile = nullptr;
        }
        status = complete;
    }
}

void HttpRequest::parseMultiPartFile() {
    tempFile->seek(0);
    const QByteArray delimiter = "--" + boundary;
    const QByteArray finalMark = boundary + "--";
    auto readable = [this]() { return !tempFile->atEnd() && tempFile->error() == QFileDevice::NoError; };
    QByteArray buffer(kMultiPartLine + 1, Qt::Uninitialized);
    bool finished = false;
    while (!finished && readable()) {
        QByteArray fieldName;
        QByteArray fileName;
        while (readable()) {
            const QByteArray raw = readFileLine(tempFile, buffer);
            const QByteArray line = QByteArray(raw.constData(), raw.size()).trimmed();
            if (line.startsWith("Content-Disposition:")) {
                if (line.contains("form-data")) {
                    int start = line.indexOf(" name=\"");
                    int end = start >= 0 ? line.indexOf('"', start + 7) : -1;
                    if (end >= 0) fieldName = line.mid(start + 7, end - start - 7);
                    start = line.indexOf(" filename=\"");
                    end = start >= 0 ? line.indexOf('"', start + 11) : -1;
                    if (end >= 0) fileName = line.mid(start + 11, end - start - 11);
                } else {
                    qDebug("HttpRequest: ignoring unsupported content part %s", line.constData());
                }
            } else if (line.isEmpty()) {
                break;
            }
        }

        QByteArray fieldValue;
        // A file's content is the run of lines up to its delimiter line, as
        // they lie in the raw body.
        const qint64 contentStart = tempFile->pos();
        while (readable()) {
            const qint64 lineStart = tempFile->pos();
            const QByteArray line = readFileLine(tempFile, buffer);
            if (line.startsWith(delimiter)) {
                if (!fieldName.isEmpty() && fileName.isEmpty()) {
                    fieldValue.chop(2);   // the line end before the delimiter
                    // Grown in steps, it may hold up to twice its size.
                    fieldValue.squeeze();
                    parameters.insert(fieldName, fieldValue);
                } else if (!fieldName.isEmpty()) {
                    Upload upload;
                    upload.offset = contentStart;
                    upload.size = lineStart - contentStart;
                    if (upload.size >= 2) upload.size -= 2;   // the line end before the delimiter
                    parameters.insert(fieldName, fileName);
                    // A file of the same field name is no longer reachable.
                    uploadedFiles.insert(fieldName, upload);
                }
                if (line.contains(finalMark)) finished = true;
                break;
            }
            if (fieldName.isEmpty() || !fileName.isEmpty()) continue;   // a file stays where it is
            fieldValue.append(line.constData(), line.size());
            currentSize += line.size();
        }
    }
    if (tempFile->error() != QFileDevice::NoError) {
        qCritical("HttpRequest: cannot read temp file, %s", qPrintable(tempFile->errorString()));
    }
}

void HttpRequest::decodeRequestParams() {
    QByteArray rawParameters;
    const int question = path.indexOf('?');
    if (question >= 0) {
        rawParameters = path.mid(question + 1);
        path = path.left(question);
    }
    const QByteArray contentType = headers.value("content-type");
    if (!bodyData.isEmpty() &&
        (contentType.isEmpty() || contentType.startsWith("application/x-www-form-urlencoded"))) {
        if (!rawParameters.isEmpty()) rawParameters.append('&');
        rawParameters.append(bodyData);
    }
    for (const QByteArray& piece : rawParameters.split('&')) {
        const int eq = piece.indexOf('=');
        if (eq >= 0) {
            parameters.insert(urlDecode(piece.left(eq).trimmed()), urlDecode(piece.mid(eq + 1).trimmed()));
        } else if (!piece.isEmpty()) {
            parameters.insert(urlDecode(piece), QByteArray());
        }
    }
}

void HttpRequest::extractCookies() {
    for (const QByteArray& header : headers.values("cookie")) {
        for (const QByteArray& part : HttpCookie::splitCSV(header)) {
            const int eq = part.indexOf('=');
            if (eq >= 0) {
                cookies.insert(part.left(eq).trimmed(), part.mid(eq + 1).trimmed());
            } else {
                cookies.insert(part.trimmed(), QByteArray());
            }
        }
    }
    headers.remove("cookie");
}

QByteArray HttpRequest::urlDecode(const QByteArray source) {
    QByteArray buffer(source);
    buffer.replace('+', ' ');
    int percent = buffer.indexOf('%');
    while (percent >= 0) {
        const QByteArray hex = buffer.mid(percent + 1, 2);
        int value = 0;
        bool ok = !hex.isEmpty();
        for (const char c : hex) {
            const int digit = hexValue(c);
            if (digit < 0) ok = false;
            value = value * 16 + digit;
        }
        if (ok) buffer.replace(percent, 1 + hex.size(), QByteArray(1, char(value & 0xff)));
        percent = buffer.indexOf('%', percent + 1);
    }
    return buffer;
}

HttpRequest::RequestStatus HttpRequest::getStatus() const { return status; }
QByteArray HttpRequest::getMethod() const { return method; }
QByteArray HttpRequest::getPath() const { return urlDecode(path); }
const QByteArray& HttpRequest::getRawPath() const { return path; }
QByteArray HttpRequest::getVersion() const { return version; }
QByteArray HttpRequest::getHeader(const QByteArray& name) const { return headers.value(name.toLower()); }
QList<QByteArray> HttpRequest::getHeaders(const QByteArray& name) const { return headers.values(name.toLower()); }
QMultiMap<QByteArray, QByteArray> HttpRequest::getHeaderMap() const { return headers; }
QByteArray HttpRequest::getParameter(const QByteArray& name) const { return parameters.value(name); }
QList<QByteArray> HttpRequest::getParameters(const QByteArray& name) const { return parameters.values(name); }
QMultiMap<QByteArray, QByteArray> HttpRequest::getParameterMap() const { return parameters; }
QByteArray HttpRequest::getBody() const { return bodyData; }

QFile* HttpRequest::getUploadedFile(const QByteArray fieldName) const {
    const auto upload = uploadedFiles.constFind(fieldName);
    if (upload == uploadedFiles.constEnd() || !tempFile) return nullptr;
    QFile*& file = openedUploads[fieldName];
    if (!file) {
        // Copied out of the raw body into a file of its own, for a caller
        // that may read, write or resize it.
        std::unique_ptr<QFile> copy(openUnnamedFile());
        if (!copy || !tempFile->seek(upload->offset)) {
            openedUploads.remove(fieldName);
            return nullptr;
        }
        qint64 left = upload->size;
        while (left > 0) {
            const QByteArray block = tempFile->read(qMin(left, kMultiPartBlock));
            if (block.isEmpty() || copy->write(block) != block.size()) {
                qCritical("HttpRequest: error writing temp file, %s", qPrintable(copy->errorString()));
                openedUploads.remove(fieldName);
                return nullptr;
            }
            left -= block.size();
        }
        copy->flush();
        file = copy.release();
    }
    file->seek(0);
    return file;
}

QByteArray HttpRequest::getCookie(const QByteArray& name) const { return cookies.value(name); }
QMap<QByteArray, QByteArray>& HttpRequest::getCookieMap() { return cookies; }
QHostAddress HttpRequest::getPeerAddress() const { return peerAddress; }

}  // namespace tessaly
