#include "webserver-test-support.h"

#include "tessaly-listener.h"
#include "test-support.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTemporaryFile>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace wstest {

void Semaphore::release(int n) {
    // Notified under the lock: a waiter that returns may destroy the semaphore.
    std::lock_guard<std::mutex> locker(mutex);
    available += n;
    changed.notify_all();
}

void Semaphore::acquire(int n) {
    std::unique_lock<std::mutex> locker(mutex);
    changed.wait(locker, [&]() { return available >= n; });
    available -= n;
}

bool Semaphore::tryAcquire(int n, int timeoutMs) {
    std::unique_lock<std::mutex> locker(mutex);
    if (!changed.wait_for(locker, std::chrono::milliseconds(timeoutMs), [&]() { return available >= n; })) {
        return false;
    }
    available -= n;
    return true;
}

tessaly::HttpServerSettings smallSettings() {
    tessaly::HttpServerSettings s;
    s.host = "127.0.0.1";
    s.port = 0;
    s.minThreads = 1;
    s.maxThreads = 10;
    s.cleanupInterval = 60000;
    s.readTimeout = 5000;
    s.maxRequestSize = 16000;
    s.maxMultiPartSize = 100000;
    return s;
}

// ---- echo ------------------------------------------------------------------

void EchoHandler::service(tessaly::HttpRequest& request, tessaly::HttpResponse& response) {
    auto text = [](const QByteArray& b) { return QString::fromLatin1(b); };
    QJsonObject o;
    o["method"] = text(request.getMethod());
    o["path"] = text(request.getPath());
    o["rawPath"] = text(request.getRawPath());
    o["version"] = text(request.getVersion());
    o["peer"] = request.getPeerAddress().toString();
    o["body"] = text(request.getBody());
    QJsonArray headers;
    const auto headerMap = request.getHeaderMap();
    for (auto it = headerMap.constBegin(); it != headerMap.constEnd(); ++it) {
        headers.append(QJsonArray{text(it.key()), text(it.value())});
    }
    o["headers"] = headers;
    QJsonArray parameters;
    QJsonObject files;
    const auto parameterMap = request.getParameterMap();
    for (auto it = parameterMap.constBegin(); it != parameterMap.constEnd(); ++it) {
        parameters.append(QJsonArray{text(it.key()), text(it.value())});
        if (QFile* file = request.getUploadedFile(it.key())) {
            files[text(it.key())] = text(file->readAll());
        }
    }
    o["params"] = parameters;
    o["files"] = files;
    QJsonObject cookies;
    for (auto it = request.getCookieMap().constBegin(); it != request.getCookieMap().constEnd(); ++it) {
        cookies[text(it.key())] = text(it.value());
    }
    o["cookies"] = cookies;
    response.setHeader("Content-Type", "application/json");
    response.write(QJsonDocument(o).toJson(QJsonDocument::Compact), true);
}

// ---- server thread ---------------------------------------------------------

ServerThread::ServerThread(const tessaly::HttpServerSettings& settings, tessaly::HttpRequestHandler* handler)
    : settings(settings), handler(handler) {
    MessageLog::instance();   // capture from the first message on
    start();
    started.acquire();
}

ServerThread::~ServerThread() {
    quit();
    wait();
}

void ServerThread::run() {
    tessaly::HttpListener listener(settings, handler);
    boundPort = listener.isListening() ? listener.serverPort() : 0;
    started.release();
    exec();
}

// ---- replies ---------------------------------------------------------------

QByteArray Reply::header(const QByteArray& name) const {
    for (const auto& h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0) return h.second;
    }
    return QByteArray();
}

bool Reply::hasHeader(const QByteArray& name) const {
    for (const auto& h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0) return true;
    }
    return false;
}

namespace {
using Clock = std::chrono::steady_clock;
int msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}
}  // namespace

Reply Client::readReply(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    Reply reply;
    int headerEnd;
    while ((headerEnd = buffer.indexOf("\r\n\r\n")) < 0) {
        if (!fill(msLeft(deadline))) {
            reply.raw = buffer;
            return reply;
        }
    }
    const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
    reply.statusLine = lines.value(0).trimmed();
    reply.status = reply.statusLine.split(' ').value(1).toInt();
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const int colon = line.indexOf(':');
        reply.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
    }
    int pos = headerEnd + 4;
    if (reply.hasHeader("Content-Length")) {
        const int length = reply.header("Content-Length").toInt();
        while (buffer.size() < pos + length) {
            if (!fill(msLeft(deadline))) {
                reply.raw = buffer;
                return reply;
            }
        }
        reply.body = buffer.mid(pos, length);
        pos += length;
        reply.complete = true;
    } else if (reply.header("Transfer-Encoding") == "chunked") {
        reply.chunked = true;
        for (;;) {
            int lineEnd;
            while ((lineEnd = buffer.indexOf("\r\n", pos)) < 0) {
                if (!fill(msLeft(deadline))) {
                    reply.raw = buffer;
                    return reply;
                }
            }
            bool ok = false;
            const int size = buffer.mid(pos, lineEnd - pos).toInt(&ok, 16);
            if (!ok) {
                reply.raw = buffer;
                return reply;
            }
            const int dataStart = lineEnd + 2;
            while (buffer.size() < dataStart + size + 2) {
                if (!fill(msLeft(deadline))) {
                    reply.raw = buffer;
                    return reply;
                }
            }
            if (buffer.mid(dataStart + size, 2) != "\r\n") {
                reply.raw = buffer;
                return reply;
            }
            reply.body.append(buffer.mid(dataStart, size));
            pos = dataStart + size + 2;
            if (size == 0) break;
        }
        reply.complete = true;
    } else {
        while (!eof && fill(msLeft(deadline))) {
        }
        reply.body = buffer.mid(pos);
        pos = buffer.size();
        reply.complete = eof;
    }
    reply.raw = buffer.left(pos);
    buffer.remove(0, pos);
    return reply;
}

QByteArray Client::readUntilClosed(int timeoutMs, bool* closed) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!eof && msLeft(deadline) > 0) fill(msLeft(deadline));
    if (closed) *closed = eof;
    QByteArray all = buffer;
    buffer.clear();
    return all;
}

bool Client::waitClosed(int timeoutMs) {
    bool closed = false;
    readUntilClosed(timeoutMs, &closed);
    return closed;
}

// ---- plain client ------------------------------------------------------------

RawClient::RawClient(quint16 port, bool noDelay) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        fd = -1;
        return;
    }
    if (noDelay) {
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
}

RawClient::~RawClient() { closeNow(); }

void RawClient::closeNow() {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool RawClient::send(const QByteArray& data) {
    if (fd < 0) return false;
    qint64 sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.constData() + sent, size_t(data.size() - sent), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        sent += n;
    }
    return true;
}

bool RawClient::readable(int timeoutMs) {
    if (fd < 0) return false;
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

bool RawClient::fill(int timeoutMs) {
    if (fd < 0 || eof) return false;
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, timeoutMs);
    if (ready <= 0) return false;
    char chunk[65536];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) {
        eof = true;   // end of stream, or reset: either way the server has closed
        return false;
    }
    buffer.append(chunk, int(n));
    return true;
}

// ---- TLS client --------------------------------------------------------------

TlsClient::TlsClient(quint16 port, const QList<QSslCertificate>& ca) : socket(new QSslSocket) {
    QSslConfiguration configuration = socket->sslConfiguration();
    if (ca.isEmpty()) {
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    } else {
        configuration.setCaCertificates(ca);
        configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    }
    socket->setSslConfiguration(configuration);
    socket->connectToHostEncrypted("127.0.0.1", port);
    if (!socket->waitForEncrypted(15000)) {
        error = socket->errorString();
        for (const QSslError& e : socket->sslHandshakeErrors()) error += " / " + e.errorString();
    }
}

TlsClient::~TlsClient() { socket->abort(); }

bool TlsClient::encrypted() const { return socket->isEncrypted(); }

bool TlsClient::send(const QByteArray& data) {
    if (socket->write(data) != data.size()) return false;
    while (socket->bytesToWrite() > 0 || socket->encryptedBytesToWrite() > 0) {
        if (!socket->waitForBytesWritten(10000)) return false;
    }
    return true;
}

bool TlsClient::fill(int timeoutMs) {
    if (eof) return false;
    if (socket->bytesAvailable() == 0) {
        const bool ready = socket->waitForReadyRead(timeoutMs);
        if (!ready && socket->bytesAvailable() == 0) {
            if (socket->state() != QAbstractSocket::ConnectedState) eof = true;
            return false;
        }
    }
    buffer.append(socket->readAll());
    return true;
}

// ---- message log ---------------------------------------------------------------

namespace {
std::mutex logMutex;
QStringList logLines;

void captureMessage(QtMsgType type, const QMessageLogContext&, const QString& message) {
    {
        std::lock_guard<std::mutex> locker(logMutex);
        logLines.append(message);
    }
    if (type != QtDebugMsg && type != QtInfoMsg) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
    }
}
}  // namespace

MessageLog::MessageLog() { qInstallMessageHandler(captureMessage); }

MessageLog& MessageLog::instance() {
    static MessageLog log;
    return log;
}

void MessageLog::clear() {
    std::lock_guard<std::mutex> locker(logMutex);
    logLines.clear();
}

QStringList MessageLog::messages() const {
    std::lock_guard<std::mutex> locker(logMutex);
    return logLines;
}

int MessageLog::count(const QString& part) const {
    std::lock_guard<std::mutex> locker(logMutex);
    int n = 0;
    for (const QString& line : qAsConst(logLines)) {
        if (line.contains(part)) ++n;
    }
    return n;
}

bool MessageLog::waitFor(const QString& part, int timeoutMs, int times) const {
    return eventually([&]() { return count(part) >= times; }, timeoutMs);
}

// ---- TLS material ----------------------------------------------------------------

namespace {
bool runOpenssl(const QString& folder, const QStringList& arguments) {
    QProcess process;
    process.setWorkingDirectory(folder);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start("openssl", arguments);
    if (!process.waitForFinished(60000) || process.exitCode() != 0) {
        std::fprintf(stderr, "openssl %s failed: %s\n", qPrintable(arguments.join(' ')),
                     process.readAll().constData());
        return false;
    }
    return true;
}

bool writeText(const QString& path, const QByteArray& text) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TlsMaterial makeTlsMaterial() {
    TlsMaterial m;
    m.folder = corvane::test::privateFolder() + "/tls";
    QDir().mkpath(m.folder);
    const QString& f = m.folder;
    bool ok = writeText(f + "/ca.ext", "basicConstraints=critical,CA:true\nkeyUsage=critical,keyCertSign,cRLSign\n") &&
              writeText(f + "/leaf.ext",
                        "basicConstraints=critical,CA:false\nkeyUsage=critical,digitalSignature,keyEncipherment\n"
                        "extendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1\n");
    ok = ok && runOpenssl(f, {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "root.key", "-out",
                              "root.pem", "-subj", "/CN=Webserver Test Root", "-days", "2", "-addext",
                              "basicConstraints=critical,CA:true", "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
    ok = ok && runOpenssl(f, {"req", "-newkey", "rsa:2048", "-nodes", "-keyout", "interm.key", "-out", "interm.csr",
                              "-subj", "/CN=Webserver Test Intermediate"});
    ok = ok && runOpenssl(f, {"x509", "-req", "-in", "interm.csr", "-CA", "root.pem", "-CAkey", "root.key",
                              "-set_serial", "2", "-days", "2", "-extfile", "ca.ext", "-out", "interm.pem"});
    ok = ok && runOpenssl(f, {"genrsa", "-traditional", "-out", "leaf.key", "2048"});
    ok = ok && runOpenssl(f, {"req", "-new", "-key", "leaf.key", "-out", "leaf.csr", "-subj", "/CN=127.0.0.1"});
    ok = ok && runOpenssl(f, {"x509", "-req", "-in", "leaf.csr", "-CA", "interm.pem", "-CAkey", "interm.key",
                              "-set_serial", "3", "-days", "2", "-extfile", "leaf.ext", "-out", "leaf.pem"});
    if (!ok) return m;
    m.rootPem = readFile(f + "/root.pem");
    m.intermPem = readFile(f + "/interm.pem");
    m.leafPem = readFile(f + "/leaf.pem");
    m.leafKeyPem = readFile(f + "/leaf.key");
    m.ok = !m.rootPem.isEmpty() && !m.intermPem.isEmpty() && !m.leafPem.isEmpty() && !m.leafKeyPem.isEmpty();
    return m;
}
}  // namespace

QList<QSslCertificate> TlsMaterial::root() const { return QSslCertificate::fromData(rootPem, QSsl::Pem); }

const TlsMaterial& tlsMaterial() {
    static const TlsMaterial material = makeTlsMaterial();
    return material;
}

// ---- helpers ---------------------------------------------------------------------

bool eventually(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition()) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

QByteArray get(const QByteArray& path, const QByteArray& extraHeaders, const QByteArray& version) {
    return "GET " + path + " " + version + "\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n";
}

}  // namespace wstest
