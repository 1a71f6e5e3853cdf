// The embedded server's request parser (tessaly::HttpRequest) fed raw bytes
// the way a connection handler feeds it: bytes arrive in pieces, the handler
// calls readFromSocket while bytes are waiting and the request is unfinished,
// then serves a complete request and starts the next one on the same
// connection (keep-alive), and drops the connection after a refusal.
//
// Input: one control byte, then the bytes of the connection.
//   control & 0x3f  size of the pieces the bytes arrive in (0: all at once)
//   control & 0x40  small limits (maxRequestSize 200, maxMultiPartSize 400)
//                   instead of those of corvane-service (16000, 10000000)
//
// Besides crashes, leaks and undefined behaviour, the target stops on:
//   - a parsing step that takes no byte and changes nothing while bytes are
//     waiting: the handler's read loop would repeat it for ever;
//   - a complete plain request whose body is not exactly its Content-Length;
//   - a complete request whose stored header names and values together are
//     larger than maxRequestSize (folded lines store the joined value again);
//   - a complete request that holds more than one descriptor (the raw
//     multipart body, where its uploads lie unnamed): every file part would
//     cost a descriptor until the request is deleted.
#include <QByteArray>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTemporaryFile>

#include <cstddef>
#include <dirent.h>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz-support.h"
#include "tessaly-request.h"
#include "tessaly-settings.h"

namespace {

// A socket that hands out bytes the target puts into it, and nothing else.
// The parser reads through QIODevice::readLine and read, which end in the
// two overrides below; the device is unbuffered so no byte waits in Qt's own
// buffer where bytesAvailable would not see it.
class FeedSocket : public QTcpSocket {
public:
    FeedSocket() {
        setOpenMode(QIODevice::ReadWrite | QIODevice::Unbuffered);
        setPeerAddress(QHostAddress::LocalHost);
        setPeerPort(40000);
    }
    void feed(const char* bytes, std::size_t count) { pending.append(bytes, static_cast<int>(count)); }
    qint64 bytesAvailable() const override { return pending.size() - position + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        const qint64 n = qMin<qint64>(maxSize, pending.size() - position);
        if (n <= 0) return 0;
        memcpy(data, pending.constData() + position, static_cast<std::size_t>(n));
        position += static_cast<int>(n);
        compact();
        return n;
    }
    qint64 readLineData(char* data, qint64 maxSize) override {
        qint64 n = 0;
        while (n < maxSize && position < pending.size()) {
            const char c = pending.at(position++);
            data[n++] = c;
            if (c == '\n') break;
        }
        compact();
        return n;
    }
    qint64 writeData(const char*, qint64 size) override { return size; }

private:
    void compact() {
        if (position == pending.size()) {
            pending.clear();
            position = 0;
        }
    }
    QByteArray pending;
    int position = 0;
};

// What the JSONP controller and the session code read of a request.
void readEverything(tessaly::HttpRequest& request) {
    volatile std::size_t sink = 0;
    sink += request.getMethod().size() + request.getPath().size() + request.getRawPath().size() +
            request.getVersion().size();
    sink += request.getHeader("Referer").size() + request.getHeader("connection").size();
    sink += request.getHeaders("content-type").size() + request.getHeaderMap().size();
    sink += request.getParameter("callback").size() + request.getParameter("parameters").size();
    sink += request.getParameters("parameters").size();
    const QMultiMap<QByteArray, QByteArray> parameters = request.getParameterMap();
    for (auto it = parameters.constBegin(); it != parameters.constEnd(); ++it) {
        if (QFile* file = request.getUploadedFile(it.key())) sink += file->readAll().size();
    }
    sink += request.getBody().size() + request.getCookieMap().size() + request.getCookie("sessionid").size();
    sink += request.getPeerAddress().isNull() ? 0 : 1;
    (void)sink;
}

void checkBody(tessaly::HttpRequest& request) {
    if (request.getHeader("content-type").startsWith("multipart/form-data")) return;
    const QByteArray length = request.getHeader("content-length");
    if (length.isEmpty()) return;
    bool ok = false;
    const qint64 declared = length.toLongLong(&ok);
    if (ok && declared != request.getBody().size()) {
        corvane::fuzz::fail("complete request with Content-Length " + length.toStdString() + " holds a body of " +
                            std::to_string(request.getBody().size()) + " bytes");
    }
}

// Descriptors the process holds now.
int openDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir)) ++count;
        closedir(dir);
    }
    return count;
}

void checkHeldResources(tessaly::HttpRequest& request, const tessaly::HttpServerSettings& settings,
                        int descriptorsBefore) {
    const QMultiMap<QByteArray, QByteArray> headers = request.getHeaderMap();
    qint64 stored = 0;
    for (auto it = headers.constBegin(); it != headers.constEnd(); ++it) stored += it.key().size() + it.value().size();
    if (stored > settings.maxRequestSize) {
        corvane::fuzz::fail("complete request stores " + std::to_string(stored) + " header bytes, over the limit of " +
                            std::to_string(settings.maxRequestSize));
    }
    // Before anyone asks for an upload, only the raw body may be open.
    const int descriptors = openDescriptors();
    if (descriptors > descriptorsBefore + 1) {
        corvane::fuzz::fail("a complete request holds " + std::to_string(descriptors - descriptorsBefore) +
                            " descriptors of its own");
    }
}

// The handler's loop over one connection. Returns when the bytes are used up
// or the connection would be closed.
void serveConnection(const std::uint8_t* data, std::size_t size, std::size_t piece,
                     const tessaly::HttpServerSettings& settings) {
    FeedSocket socket;
    std::unique_ptr<tessaly::HttpRequest> request;
    int descriptorsBefore = 0;
    std::size_t fed = 0;
    int served = 0;
    for (;;) {
        if (socket.bytesAvailable() == 0) {
            if (fed == size) return;
            const std::size_t n = piece == 0 ? size - fed : std::min(piece, size - fed);
            socket.feed(reinterpret_cast<const char*>(data) + fed, n);
            fed += n;
        }
        while (socket.bytesAvailable() > 0) {
            if (!request) {
                descriptorsBefore = openDescriptors();
                request = std::make_unique<tessaly::HttpRequest>(settings);
            }
            int idleSteps = 0;
            while (socket.bytesAvailable() > 0 && request->getStatus() != tessaly::HttpRequest::complete &&
                   request->getStatus() != tessaly::HttpRequest::abort) {
                const qint64 before = socket.bytesAvailable();
                const tessaly::HttpRequest::RequestStatus status = request->getStatus();
                request->readFromSocket(&socket);
                if (socket.bytesAvailable() == before && request->getStatus() == status) {
                    if (++idleSteps == 3) {
                        corvane::fuzz::fail("parsing step takes no byte while " + std::to_string(before) +
                                            " bytes wait (status " + std::to_string(int(status)) +
                                            "): the read loop would never end");
                    }
                } else {
                    idleSteps = 0;
                }
            }
            if (request->getStatus() == tessaly::HttpRequest::abort) return;   // answered 413, closed
            if (request->getStatus() != tessaly::HttpRequest::complete) break;  // the rest comes later
            checkHeldResources(*request, settings, descriptorsBefore);
            readEverything(*request);
            checkBody(*request);
            request.reset();
            if (++served == 32) return;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    corvane::fuzz::initialize(argc, argv, "http-request");
    // The feeding socket must deliver a request as a network socket would;
    // if Qt ever kept bytes from it, every run would test nothing.
    tessaly::HttpServerSettings settings;
    const char probe[] = "GET /?callback=cb&parameters=e30%3D HTTP/1.1\r\nHost: x\r\n\r\n";
    FeedSocket socket;
    socket.feed(probe, sizeof probe - 1);
    tessaly::HttpRequest request(settings);
    while (socket.bytesAvailable() > 0 && request.getStatus() < tessaly::HttpRequest::complete)
        request.readFromSocket(&socket);
    if (request.getStatus() != tessaly::HttpRequest::complete || request.getParameter("callback") != "cb" ||
        request.getParameter("parameters") != "e30=" || request.getPeerAddress() != QHostAddress(QHostAddress::LocalHost)) {
        corvane::fuzz::fail("the feeding socket does not deliver a plain request to the parser");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t control = data[0];
    tessaly::HttpServerSettings settings;
    if (control & 0x40) {
        settings.maxRequestSize = 200;
        settings.maxMultiPartSize = 400;
    } else {
        settings.maxRequestSize = 16000;
        settings.maxMultiPartSize = 10000000;
    }
    serveConnection(data + 1, size - 1, control & 0x3f, settings);
    return 0;
}
