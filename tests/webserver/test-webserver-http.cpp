// The request parser and the response writer, seen through a real connection:
// what a client sends is parsed as the server sees it, and the answer is
// compared byte for byte.
#include "tessaly-cookie.h"
#include "webserver-test-support.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryFile>
#include <gtest/gtest.h>
#include <thread>

using namespace wstest;
using tessaly::HttpCookie;
using tessaly::HttpRequest;
using tessaly::HttpResponse;

namespace {

const QByteArray kRefusal = "HTTP/1.1 413 entity too large\r\nConnection: close\r\n\r\n413 Entity too large\r\n";

QJsonObject echoOf(const Reply& reply) { return QJsonDocument::fromJson(reply.body).object(); }

// Values of one name in a [[name, value], ...] list, in list order.
QStringList valuesOf(const QJsonObject& echo, const char* list, const QString& name) {
    QStringList values;
    for (const QJsonValue& pair : echo.value(list).toArray()) {
        if (pair.toArray().at(0).toString() == name) values.append(pair.toArray().at(1).toString());
    }
    return values;
}

class EchoServer : public ::testing::Test {
protected:
    void start(const tessaly::HttpServerSettings& settings = smallSettings()) {
        server.reset(new ServerThread(settings, &echo));
        ASSERT_TRUE(server->listening());
    }
    void SetUp() override { start(); }
    quint16 port() const { return server->port(); }

    // One request on a new connection; the answer.
    Reply ask(const QByteArray& request) {
        RawClient client(port());
        EXPECT_TRUE(client.send(request));
        return client.readReply();
    }
    // The whole byte stream the server sends before closing.
    QByteArray refusedWith(const QByteArray& request) {
        RawClient client(port());
        client.send(request);
        bool closed = false;
        const QByteArray all = client.readUntilClosed(10000, &closed);
        EXPECT_TRUE(closed) << "the server kept the connection";
        return all;
    }

    EchoHandler echo;
    std::unique_ptr<ServerThread> server;
};

}  // namespace

// ---- request line and headers --------------------------------------------------

TEST_F(EchoServer, RequestLinePathAndQuery) {
    const Reply reply = ask("GET /a%20b?x=1&x=2&y HTTP/1.1\r\nHost: h\r\n\r\n");
    ASSERT_TRUE(reply.complete);
    EXPECT_EQ(reply.status, 200);
    const QJsonObject e = echoOf(reply);
    EXPECT_EQ(e["method"].toString(), "GET");
    EXPECT_EQ(e["rawPath"].toString(), "/a%20b");
    EXPECT_EQ(e["path"].toString(), "/a b");
    EXPECT_EQ(e["version"].toString(), "HTTP/1.1");
    EXPECT_EQ(e["peer"].toString(), "127.0.0.1");
    EXPECT_EQ(valuesOf(e, "params", "x"), (QStringList{"2", "1"}));   // newest first
    EXPECT_EQ(valuesOf(e, "params", "y"), (QStringList{""}));
}

TEST_F(EchoServer, BrokenFirstLinesGetThe413Text) {
    for (const QByteArray& line : {QByteArray("GET / http/1.1"), QByteArray("GET  / HTTP/1.1"),
                                  QByteArray("GET /"), QByteArray("GET\t/ HTTP/1.1"), QByteArray("HELLO")}) {
        MessageLog::instance().clear();
        EXPECT_EQ(refusedWith(line + "\r\n\r\n"), kRefusal) << line.constData();
        EXPECT_EQ(MessageLog::instance().count("HttpRequest: received broken HTTP request, invalid first line"), 1);
    }
    EXPECT_EQ(kRefusal.size(), 74);
    // Empty lines before the request line are skipped.
    EXPECT_EQ(ask("\r\n\r\nGET /ok HTTP/1.1\r\n\r\n").status, 200);
}

TEST_F(EchoServer, HeadersAreLowerCasedKeptAndContinued) {
    const Reply reply = ask(
        "GET / HTTP/1.1\r\nX-Twice: first\r\nx-twice: second\r\nX-A: one\r\n  two\r\nX-Empty:\r\n"
        "Content-Length: 0\r\n   \r\nAfter: not a header\r\n\r\n");
    ASSERT_TRUE(reply.complete);
    const QJsonObject e = echoOf(reply);
    EXPECT_EQ(valuesOf(e, "headers", "x-twice"), (QStringList{"second", "first"}));
    EXPECT_EQ(valuesOf(e, "headers", "x-a"), (QStringList{"one two", "one"}));
    EXPECT_EQ(valuesOf(e, "headers", "x-empty"), (QStringList{""}));
    EXPECT_TRUE(valuesOf(e, "headers", "after").isEmpty());   // the blank line ended the block
}

// A CR and its LF in two reads are one line end: the header after them is kept.
TEST_F(EchoServer, LineEndSplitBetweenReadsIsOneLineEnd) {
    RawClient client(port());
    ASSERT_TRUE(client.send("GET / HTTP/1.1\r\nHost: x\r"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(client.send("\nContent-Length: 3\r\n\r\nabc"));
    const Reply reply = client.readReply();
    ASSERT_TRUE(reply.complete);
    const QJsonObject e = echoOf(reply);
    EXPECT_EQ(valuesOf(e, "headers", "host"), (QStringList{"x"}));
    EXPECT_EQ(e["body"].toString(), "abc");
}

// ---- size limits ---------------------------------------------------------------

namespace {
// A request of exactly `size` bytes: a padding header and, if asked, a body.
QByteArray requestOfSize(int size, int bodySize = 0) {
    QByteArray head = "GET / HTTP/1.1\r\n";
    if (bodySize > 0) head += "Content-Length: " + QByteArray::number(bodySize) + "\r\n";
    const QByteArray pad = "X-Pad: ";
    const int fill = size - head.size() - pad.size() - 2 - 2 - bodySize;
    return head + pad + QByteArray(fill, 'a') + "\r\n\r\n" + QByteArray(bodySize, 'b');
}
}  // namespace

TEST_F(EchoServer, SixteenThousandBytesPassAndOneMoreIsRefused) {
    ASSERT_EQ(requestOfSize(16000).size(), 16000);
    EXPECT_EQ(ask(requestOfSize(16000)).status, 200);
    EXPECT_EQ(refusedWith(requestOfSize(16001)), kRefusal);

    ASSERT_EQ(requestOfSize(16000, 500).size(), 16000);
    const Reply withBody = ask(requestOfSize(16000, 500));
    EXPECT_EQ(withBody.status, 200);
    EXPECT_EQ(echoOf(withBody)["body"].toString(), QString(500, 'b'));
    MessageLog::instance().clear();
    EXPECT_EQ(refusedWith(requestOfSize(16001, 500)), kRefusal);
    EXPECT_EQ(MessageLog::instance().count("HttpRequest: expected body is too large"), 1);

    // A request line of 20000 bytes without a line end.
    EXPECT_EQ(refusedWith("GET /" + QByteArray(20000, 'x')), kRefusal);
}

// The header block fills the budget exactly without ending; the next byte is
// refused at once instead of making the parser step on the spot for ever.
TEST_F(EchoServer, BudgetSpentAtALineEndIsRefusedNotSpun) {
    QByteArray head = "GET / HTTP/1.1\r\n";
    const QByteArray pad = "X-Pad: ";
    head += pad + QByteArray(16000 - head.size() - pad.size() - 2, 'a') + "\r\n";
    ASSERT_EQ(head.size(), 16000);
    RawClient client(port());
    ASSERT_TRUE(client.send(head));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(client.send("X"));
    bool closed = false;
    EXPECT_EQ(client.readUntilClosed(10000, &closed), kRefusal);
    EXPECT_TRUE(closed);
    // The handler is not stuck: the server goes on answering.
    EXPECT_EQ(ask(get("/next")).status, 200);
}

// Every byte counts once, however the request is cut into reads.
TEST_F(EchoServer, RequestSentInSmallPiecesIsCountedOnce) {
    tessaly::HttpServerSettings settings = smallSettings();
    settings.maxRequestSize = 600;
    server.reset();
    start(settings);
    const QByteArray request = "GET /" + QByteArray(200, 'p') + " HTTP/1.1\r\nX-Long: " + QByteArray(200, 'q') + "\r\n\r\n";
    ASSERT_LT(request.size(), 600);
    RawClient client(port());
    for (int i = 0; i < request.size(); i += 20) {
        ASSERT_TRUE(client.send(request.mid(i, 20)));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const Reply reply = client.readReply();
    ASSERT_TRUE(reply.complete) << reply.raw.constData();
    EXPECT_EQ(reply.status, 200);
}

TEST_F(EchoServer, ContentLengthMustBeOneStrictDecimal) {
    auto withLength = [](const QByteArray& headers, const QByteArray& body) {
        return "POST / HTTP/1.1\r\n" + headers + "\r\n" + body;
    };
    const Reply ok = ask(withLength("Content-Length: 00005\r\n", "hello"));
    EXPECT_EQ(echoOf(ok)["body"].toString(), "hello");
    const Reply same = ask(withLength("Content-Length: 5\r\nContent-Length: 5\r\n", "hello"));
    EXPECT_EQ(echoOf(same)["body"].toString(), "hello");

    const QList<QByteArray> bad = {"Content-Length: abc\r\n", "Content-Length: -1\r\n", "Content-Length: +5\r\n",
                                   "Content-Length: 5 \r\n x\r\n", "Content-Length:\r\n", "Content-Length: 5, 5\r\n",
                                   "Content-Length: 0x10\r\n", "Content-Length: 99999999999999999999\r\n",
                                   "Content-Length: 9223372036854775808\r\n",
                                   "Content-Length: 5\r\nContent-Length: 6\r\n"};
    for (const QByteArray& headers : bad) {
        EXPECT_EQ(refusedWith(withLength(headers, "hello")), kRefusal) << headers.constData();
    }
    // Within 64 bits but far above the limit.
    MessageLog::instance().clear();
    EXPECT_EQ(refusedWith(withLength("Content-Length: 9223372036854775807\r\n", "")), kRefusal);
    EXPECT_EQ(MessageLog::instance().count("HttpRequest: expected body is too large"), 1);
}

// A body in transfer coding is never read as the next request.
TEST_F(EchoServer, TransferEncodingIsRefused) {
    for (const QByteArray& coding : {QByteArray("chunked"), QByteArray("identity"), QByteArray("gzip, chunked")}) {
        const QByteArray smuggled = "POST / HTTP/1.1\r\nTransfer-Encoding: " + coding +
                                    "\r\n\r\n1d\r\nGET /smuggled HTTP/1.1\r\n\r\n\r\n0\r\n\r\n";
        EXPECT_EQ(refusedWith(smuggled), kRefusal) << coding.constData();
    }
    EXPECT_EQ(refusedWith("POST / HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\nabc"), kRefusal);
}

// ---- parameters and cookies ----------------------------------------------------------

TEST_F(EchoServer, FormBodyParametersAreNewerThanTheQuery) {
    const QByteArray body = "a=1+2&b=%41&c=%2541&d=%zz& e = 5 &&flag";
    const Reply reply = ask("POST /f?a=0 HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                            "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    const QJsonObject e = echoOf(reply);
    EXPECT_EQ(valuesOf(e, "params", "a"), (QStringList{"1 2", "0"}));
    EXPECT_EQ(valuesOf(e, "params", "b"), (QStringList{"A"}));
    EXPECT_EQ(valuesOf(e, "params", "c"), (QStringList{"%41"}));
    EXPECT_EQ(valuesOf(e, "params", "d"), (QStringList{"%zz"}));
    EXPECT_EQ(valuesOf(e, "params", "e"), (QStringList{"5"}));
    EXPECT_EQ(valuesOf(e, "params", "flag"), (QStringList{""}));
    EXPECT_EQ(e["path"].toString(), "/f");

    // Another content type: the body stays a body.
    const Reply json = ask("POST /?q=1 HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: 5\r\n\r\nx=1&y");
    EXPECT_EQ(echoOf(json)["body"].toString(), "x=1&y");
    EXPECT_TRUE(valuesOf(echoOf(json), "params", "x").isEmpty());
}

TEST_F(EchoServer, CookiesAreTakenFromTheHeaders) {
    const Reply reply = ask(get("/", "Cookie: a=1; b = 2 ; flag\r\nCookie: a=later; c=\"x;y\"\r\n"));
    const QJsonObject e = echoOf(reply);
    const QJsonObject cookies = e["cookies"].toObject();
    EXPECT_EQ(cookies["a"].toString(), "1");   // the first line of the request wins
    EXPECT_EQ(cookies["b"].toString(), "2");
    EXPECT_EQ(cookies["flag"].toString(), "");
    EXPECT_TRUE(cookies.contains("flag"));
    EXPECT_EQ(cookies["c"].toString(), "x;y");
    EXPECT_TRUE(valuesOf(e, "headers", "cookie").isEmpty());
}

// ---- multipart ----------------------------------------------------------------------

namespace {
QByteArray multipart(const QByteArray& boundary, const QList<QByteArray>& parts) {
    QByteArray body;
    for (const QByteArray& part : parts) body += "--" + boundary + "\r\n" + part + "\r\n";
    body += "--" + boundary + "--\r\n";
    return body;
}
QByteArray multipartRequest(const QByteArray& boundary, const QByteArray& body, const QByteArray& query = "") {
    return "POST /up" + query + " HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=\"" + boundary +
           "\"\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}
}  // namespace

TEST_F(EchoServer, MultipartFieldsAndFiles) {
    const QByteArray fileContent = "line one\r\nline two\r\n\x01\x02 binary";
    const QByteArray body = multipart(
        "XyZ", {"Content-Disposition: form-data; name=\"f\"\r\n\r\nabc",
                "Content-Disposition: form-data; name=\"up\"; filename=\"a.bin\"\r\nContent-Type: x/y\r\n\r\n" +
                    fileContent,
                "Content-Disposition: form-data; name=\"empty\"; filename=\"e.txt\"\r\n\r\n",
                "Content-Disposition: attachment; name=\"ignored\"\r\n\r\nzzz",
                "Content-Disposition: form-data; name=\"q\"\r\n\r\nfrom body"});
    const Reply reply = ask(multipartRequest("XyZ", body, "?q=query"));
    ASSERT_EQ(reply.status, 200) << reply.raw.constData();
    const QJsonObject e = echoOf(reply);
    EXPECT_EQ(valuesOf(e, "params", "f"), (QStringList{"abc"}));
    EXPECT_EQ(valuesOf(e, "params", "up"), (QStringList{"a.bin"}));
    EXPECT_EQ(e["files"].toObject()["up"].toString(), QString::fromLatin1(fileContent));
    // A file part without a content line: an empty file, no crash.
    EXPECT_EQ(valuesOf(e, "params", "empty"), (QStringList{"e.txt"}));
    EXPECT_TRUE(e["files"].toObject().contains("empty"));
    EXPECT_EQ(e["files"].toObject()["empty"].toString(), "");
    EXPECT_TRUE(valuesOf(e, "params", "ignored").isEmpty());
    EXPECT_EQ(valuesOf(e, "params", "q"), (QStringList{"query", "from body"}));
}

TEST_F(EchoServer, MultipartSizeLimits) {
    // maxMultiPartSize is 100000 here.
    MessageLog::instance().clear();
    EXPECT_EQ(refusedWith("POST / HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=b\r\n"
                          "Content-Length: 100001\r\n\r\n"),
              kRefusal);
    EXPECT_EQ(MessageLog::instance().count("HttpRequest: expected multipart body is too large"), 1);

    QByteArray body = multipart("b", {"Content-Disposition: form-data; name=\"f\"; filename=\"x\"\r\n\r\n"});
    const QByteArray pad = QByteArray(100000 - body.size(), 'p');
    body = multipart("b", {"Content-Disposition: form-data; name=\"f\"; filename=\"x\"\r\n\r\n" + pad});
    body.chop(body.size() - 100000);
    ASSERT_EQ(body.size(), 100000);
    MessageLog::instance().clear();
    EXPECT_EQ(refusedWith(multipartRequest("b", body)), kRefusal);
    EXPECT_EQ(MessageLog::instance().count("HttpRequest: received too many multipart bytes"), 1);
}

// Two files under one field name: the first one is removed at once, and
// every temporary file goes with the request. Temporary files may be unnamed
// (O_TMPFILE), so they are counted among the process's open files.
namespace {
int openTemporaryFiles() {
    int count = 0;
    const QString temp = QDir::tempPath();
    for (const QFileInfo& fd : QDir("/proc/self/fd").entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        if (fd.symLinkTarget().startsWith(temp)) ++count;
    }
    return count;
}
}  // namespace

TEST(MultipartFiles, ReplacedAndFinishedUploadsLeaveNoFiles) {
    int openDuringRequest = -1;
    CallbackHandler handler([&](HttpRequest& request, HttpResponse& response) {
        openDuringRequest = openTemporaryFiles();
        QFile* file = request.getUploadedFile("f");
        response.write(file ? file->readAll() : QByteArray("none"), true);
    });
    const int before = openTemporaryFiles();
    ServerThread server(smallSettings(), &handler);
    const QByteArray body = multipart("bb", {"Content-Disposition: form-data; name=\"f\"; filename=\"1\"\r\n\r\nfirst",
                                             "Content-Disposition: form-data; name=\"f\"; filename=\"2\"\r\n\r\nsecond",
                                             "Content-Disposition: form-data; name=\"f\"; filename=\"3\"\r\n\r\nthird"});
    RawClient client(server.port());
    client.send(multipartRequest("bb", body));
    const Reply reply = client.readReply();
    EXPECT_EQ(reply.body, QByteArray("third"));
    // During the request only the raw body is held open, where the uploads
    // lie until one is asked for (a file without a name lasts only as long
    // as a descriptor holds it); the two displaced ones take nothing.
    EXPECT_EQ(openDuringRequest - before, 1);
    EXPECT_TRUE(eventually([&]() { return openTemporaryFiles() == before; }));
}

// ---- response writer ------------------------------------------------------------------

namespace {
class WriterServer : public ::testing::Test {
protected:
    void serve(CallbackHandler::Callback callback) {
        handler.reset(new CallbackHandler(std::move(callback)));
        server.reset(new ServerThread(smallSettings(), handler.get()));
        ASSERT_TRUE(server->listening());
    }
    // Bytes of one answer to `request` on a new connection.
    Reply answer(const QByteArray& request) {
        RawClient client(server->port());
        client.send(request);
        return client.readReply();
    }
    std::unique_ptr<CallbackHandler> handler;
    std::unique_ptr<ServerThread> server;
};
}  // namespace

TEST_F(WriterServer, SingleLastPartHasContentLength) {
    serve([](HttpRequest&, HttpResponse& response) { response.write("hello", true); });
    EXPECT_EQ(answer(get("/")).raw,
              QByteArray("HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: 5\r\n\r\nhello"));
}

TEST_F(WriterServer, PiecesAreChunkedByteExact) {
    const QByteArray big(255, 'x');
    const QByteArray bigger(4096, 'y');
    serve([&](HttpRequest&, HttpResponse& response) {
        response.write("cb(", false);
        response.write(big, false);
        response.write(QByteArray(), false);   // sends nothing
        response.write(bigger, false);
        response.write(")", true);
    });
    const QByteArray expected = "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nTransfer-Encoding: chunked\r\n\r\n"
                                "3\r\ncb(\r\nff\r\n" + big + "\r\n1000\r\n" + bigger + "\r\n1\r\n)\r\n0\r\n\r\n";
    RawClient client(server->port());
    client.send(get("/") + get("/again"));   // kept alive: the second answer follows
    const Reply first = client.readReply();
    EXPECT_EQ(first.raw, expected);
    EXPECT_EQ(first.body, "cb(" + big + bigger + ")");
    EXPECT_EQ(client.readReply().raw, expected);
}

TEST_F(WriterServer, CloseRequestsGetUnframedBodiesAndTheEnd) {
    serve([](HttpRequest&, HttpResponse& response) {
        response.write("cb(", false);
        response.write("answer", false);
        response.write(")", true);
    });
    const QByteArray expected = "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\n\r\ncb(answer)";
    for (const QByteArray& request : {get("/", "", "HTTP/1.0"),
                                      get("/", "Connection: Close\r\n"), get("/", "connection: CLOSE\r\n")}) {
        RawClient client(server->port());
        client.send(request + get("/never-answered"));
        bool closed = false;
        EXPECT_EQ(client.readUntilClosed(10000, &closed), expected) << request.constData();
        EXPECT_TRUE(closed);
    }
    // "close" in a list of tokens is not "close": the connection stays.
    RawClient client(server->port());
    client.send(get("/", "Connection: keep-alive, close\r\n"));
    const Reply reply = client.readReply();
    EXPECT_TRUE(reply.chunked);
    EXPECT_FALSE(client.waitClosed(300));
}

TEST_F(WriterServer, HeaderOrderCookiesAndLateChanges) {
    serve([](HttpRequest&, HttpResponse& response) {
        response.setHeader("Transfer-Encoding", "identity-by-handler");
        response.setHeader("x-lower", "1");
        response.setHeader("Location", "/l");
        response.setHeader("Content-Type", "text/plain");
        response.setHeader("Access-Control-Allow-Origin", "https://other.example");
        response.setHeader("Zeta", 7);
        response.setCookie(HttpCookie("b", "2", 0));
        response.setCookie(HttpCookie("a", "old", 0));
        response.setCookie(HttpCookie("a", "1", 60, "/"));
        response.setCookie(HttpCookie("", "nameless", 0));
        response.setStatus(201, "Created");
        response.write("x", true);
        response.setStatus(500, "late");
        response.setHeader("X-Late", "1");
        response.setCookie(HttpCookie("late", "1", 0));
        response.write("ignored", true);
    });
    EXPECT_EQ(answer(get("/")).raw,
              QByteArray("HTTP/1.1 201 Created\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: 1\r\n"
                         "Content-Type: text/plain\r\nLocation: /l\r\nTransfer-Encoding: identity-by-handler\r\n"
                         "Zeta: 7\r\nx-lower: 1\r\nSet-Cookie: a=1; Max-Age=60; Path=/; Version=1\r\n"
                         "Set-Cookie: b=2; Version=1\r\n\r\nx"));
}

TEST_F(WriterServer, LineBreaksInProgramTextAreRefused) {
    serve([](HttpRequest& request, HttpResponse& response) {
        const QByteArray evil = request.getParameter("v");   // "x\r\nX-Evil: 1" from the query
        response.setHeader("X-Value", evil);
        response.setHeader("X-Evil\r\nX-Name", "v");
        response.setHeader("X-Good", "fine");
        response.setCookie(HttpCookie("c", evil, 0));
        response.setCookie(HttpCookie("d", "ok", 0, "/\nX-Evil: 1"));
        response.setCookie(HttpCookie("e", "ok", 0));
        response.setStatus(299, "Fine\r\nX-Evil: 1");
        response.write("body", true);
    });
    MessageLog::instance().clear();
    const Reply reply = answer(get("/?v=x%0d%0aX-Evil:%201"));
    EXPECT_EQ(reply.raw,
              QByteArray("HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: 4\r\nX-Good: fine\r\n"
                         "Set-Cookie: e=ok; Version=1\r\n\r\nbody"));
    EXPECT_EQ(MessageLog::instance().count("HttpResponse: refused header"), 2);
    EXPECT_EQ(MessageLog::instance().count("HttpResponse: refused cookie"), 2);
    EXPECT_EQ(MessageLog::instance().count("HttpResponse: refused status"), 1);
}

TEST_F(WriterServer, EmptyPiecesRedirectAndUnfinishedAnswers) {
    serve([](HttpRequest& request, HttpResponse& response) {
        const QByteArray path = request.getPath();
        if (path == "/empty-last") {
            response.write(QByteArray(), true);
        } else if (path == "/empty-then-last") {
            response.write(QByteArray(), false);
            response.write(QByteArray(), true);
        } else if (path == "/redirect") {
            response.redirect("/elsewhere");
        } else if (path == "/unfinished") {
            response.setStatus(204, "No Content");
        } else if (path == "/unfinished-chunks") {
            response.write("part", false);
        }
    });
    const QByteArray head = "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\n";
    EXPECT_EQ(answer(get("/empty-last")).raw, head + "Content-Length: 0\r\n\r\n");
    EXPECT_EQ(answer(get("/empty-then-last")).raw, head + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n");
    EXPECT_EQ(answer(get("/redirect")).raw,
              QByteArray("HTTP/1.1 303 See Other\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: 8\r\n"
                         "Location: /elsewhere\r\n\r\nRedirect"));
    EXPECT_EQ(answer(get("/unfinished")).raw,
              QByteArray("HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: 0\r\n\r\n"));
    EXPECT_EQ(answer(get("/unfinished-chunks")).raw,
              head + "Transfer-Encoding: chunked\r\n\r\n4\r\npart\r\n0\r\n\r\n");
}

TEST(DefaultHandler, AnswersNotImplemented) {
    tessaly::HttpRequestHandler plain;
    ServerThread server(smallSettings(), &plain);
    MessageLog::instance().clear();
    for (const QByteArray& request : {get("/x"), QByteArray("DELETE /y?z=1 HTTP/1.1\r\n\r\n")}) {
        RawClient client(server.port());
        client.send(request);
        EXPECT_EQ(client.readReply().raw,
                  QByteArray("HTTP/1.1 501 not implemented\r\nAccess-Control-Allow-Origin: *\r\n"
                             "Content-Length: 19\r\n\r\n501 not implemented"));
    }
    EXPECT_EQ(MessageLog::instance().count("HttpRequestHandler: you need to override the service() function"), 2);
    EXPECT_EQ(MessageLog::instance().count("HttpRequestHandler: request=DELETE /y HTTP/1.1"), 1);
}
