// The connection side: the handler pool and its limits, keep-alive and
// pipelining, the read time-out in every phase, clients that stop reading,
// failures inside the server, and TLS.
#include "tessaly-connection-handler.h"
#include "tessaly-listener.h"
#include "webserver-test-support.h"

#include <QDir>
#include <QElapsedTimer>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QSettings>
#include <QSet>
#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <vector>
#include <unistd.h>

using namespace wstest;
using tessaly::HttpRequest;
using tessaly::HttpResponse;

namespace {

const QByteArray kBusy = "HTTP/1.1 503 too many connections\r\nConnection: close\r\n\r\nToo many connections\r\n";

// Answers with the path and remembers which handler thread served it.
class ThreadRecorder : public tessaly::HttpRequestHandler {
public:
    void service(HttpRequest& request, HttpResponse& response) override {
        {
            std::lock_guard<std::mutex> locker(mutex);
            threads.append(QThread::currentThread());
        }
        response.write(request.getPath(), true);
    }
    QList<QThread*> seen() {
        std::lock_guard<std::mutex> locker(mutex);
        return threads;
    }
    QThread* last() {
        std::lock_guard<std::mutex> locker(mutex);
        return threads.isEmpty() ? nullptr : threads.last();
    }

private:
    std::mutex mutex;
    QList<QThread*> threads;
};

// A connection that is served (not refused): retried while the pool is
// still full, within a bound.
Reply servedAnswer(quint16 port, const QByteArray& request, int timeoutMs = 20000) {
    Reply reply;
    eventually([&]() {
        RawClient client(port);
        client.send(request);
        reply = client.readReply();
        return reply.status != 503;
    }, timeoutMs);
    return reply;
}

}  // namespace

// ---- the pool --------------------------------------------------------------------

TEST(Pool, FullPoolRefusesWith503AndServesAgainWhenAHandlerFrees) {
    ThreadRecorder recorder;
    tessaly::HttpServerSettings settings = smallSettings();
    settings.maxThreads = 2;
    settings.readTimeout = 60000;
    ServerThread server(settings, &recorder);

    auto first = std::make_unique<RawClient>(server.port());
    RawClient second(server.port());
    // Both hold a handler once they have been served once.
    first->send(get("/1"));
    second.send(get("/2"));
    ASSERT_EQ(first->readReply().status, 200);
    ASSERT_EQ(second.readReply().status, 200);

    RawClient third(server.port());
    bool closed = false;
    EXPECT_EQ(third.readUntilClosed(10000, &closed), kBusy);
    EXPECT_TRUE(closed);
    EXPECT_EQ(kBusy.size(), 78);

    // The two served connections go on being served.
    second.send(get("/still"));
    EXPECT_EQ(second.readReply().body, QByteArray("/still"));

    first.reset();   // frees its handler
    const Reply again = servedAnswer(server.port(), get("/again"));
    EXPECT_EQ(again.status, 200);
    EXPECT_EQ(again.body, QByteArray("/again"));
}

TEST(Pool, FullTlsPoolRefusesInPlainText) {
    ASSERT_TRUE(tlsMaterial().ok);
    ThreadRecorder recorder;
    tessaly::HttpServerSettings settings = smallSettings();
    settings.maxThreads = 1;
    settings.readTimeout = 60000;
    settings.certBA = tlsMaterial().leafPem;
    settings.keyBA = tlsMaterial().leafKeyPem;
    settings.intermCertificateBA = tlsMaterial().intermPem;
    ServerThread server(settings, &recorder);
    TlsClient holder(server.port(), tlsMaterial().root());
    ASSERT_TRUE(holder.encrypted()) << holder.errorText().toStdString();
    RawClient refused(server.port());
    bool closed = false;
    EXPECT_EQ(refused.readUntilClosed(10000, &closed), kBusy);
    EXPECT_TRUE(closed);
}

TEST(Pool, HandlersAreReused) {
    ThreadRecorder recorder;
    tessaly::HttpServerSettings settings = smallSettings();
    settings.maxThreads = 1;   // a second thread cannot exist: every served connection reuses the first
    ServerThread server(settings, &recorder);
    for (int i = 0; i < 5; ++i) {
        const Reply reply = servedAnswer(server.port(), get("/r" + QByteArray::number(i), "Connection: close\r\n"));
        ASSERT_EQ(reply.status, 200);
    }
    const QList<QThread*> seen = recorder.seen();
    ASSERT_EQ(seen.size(), 5);
    EXPECT_EQ(QSet<QThread*>(seen.begin(), seen.end()).size(), 1);
}

TEST(Pool, IdleHandlersAreTakenInCreationOrderAndNoneIsMadeWhileOneIsIdle) {
    ThreadRecorder recorder;
    tessaly::HttpServerSettings settings = smallSettings();
    settings.minThreads = 10;
    settings.maxThreads = 10;
    ServerThread server(settings, &recorder);
    QList<QThread*> creation;
    {
        std::vector<std::unique_ptr<RawClient>> open;
        for (int i = 0; i < 3; ++i) {
            open.emplace_back(new RawClient(server.port()));
            open.back()->send(get("/c"));
            ASSERT_EQ(open.back()->readReply().status, 200);
            creation.append(recorder.last());
        }
    }
    ASSERT_EQ(QSet<QThread*>(creation.begin(), creation.end()).size(), 3);
    // Once all three are idle again, a new connection gets the first one.
    EXPECT_TRUE(eventually([&]() {
        servedAnswer(server.port(), get("/first", "Connection: close\r\n"));
        return recorder.last() == creation.first();
    }));
    for (int i = 0; i < 10; ++i) {
        RawClient client(server.port());
        client.send(get("/seq", "Connection: close\r\n"));
        ASSERT_EQ(client.readReply().status, 200);
        ASSERT_TRUE(client.waitClosed(10000));
        EXPECT_TRUE(creation.contains(recorder.last()));
    }
}

TEST(Pool, CleanupRemovesOneIdleHandlerPerTickDownToMinThreads) {
    ThreadRecorder recorder;
    tessaly::HttpServerSettings settings = smallSettings();
    settings.minThreads = 2;
    settings.cleanupInterval = 100;
    ServerThread server(settings, &recorder);
    MessageLog::instance().clear();
    {
        std::vector<std::unique_ptr<RawClient>> open;
        for (int i = 0; i < 6; ++i) {
            open.emplace_back(new RawClient(server.port()));
            open.back()->send(get("/c"));
            ASSERT_EQ(open.back()->readReply().status, 200);
        }
    }
    ASSERT_TRUE(MessageLog::instance().waitFor("pool size is now 2", 20000));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));   // several more ticks
    EXPECT_EQ(MessageLog::instance().count("HttpConnectionHandlerPool: Removed connection handler"), 4);
    for (const char* size : {"pool size is now 5", "pool size is now 4", "pool size is now 3"}) {
        EXPECT_EQ(MessageLog::instance().count(size), 1) << size;
    }
    EXPECT_EQ(MessageLog::instance().count("pool size is now 1"), 0);
    EXPECT_EQ(servedAnswer(server.port(), get("/after")).status, 200);
}

// A handler that is serving, or still holds an open connection, is never removed.
TEST(Pool, CleanupNeverRemovesABusyHandler) {
    Semaphore entered;
    Semaphore release;
    CallbackHandler blocking([&](HttpRequest& request, HttpResponse& response) {
        if (request.getPath() == "/block") {
            entered.release();
            release.acquire();
        }
        response.write("done", true);
    });
    tessaly::HttpServerSettings settings = smallSettings();
    settings.minThreads = 0;
    settings.cleanupInterval = 10;
    settings.readTimeout = 60000;
    ServerThread server(settings, &blocking);
    MessageLog::instance().clear();

    RawClient serving(server.port());
    serving.send(get("/block"));
    ASSERT_TRUE(entered.tryAcquire(1, 10000));
    RawClient holding(server.port());
    holding.send(get("/quick"));
    ASSERT_EQ(holding.readReply().body, QByteArray("done"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));   // many cleanup ticks
    EXPECT_EQ(MessageLog::instance().count("Removed connection handler"), 0);
    release.release();
    EXPECT_EQ(serving.readReply().body, QByteArray("done"));
    holding.send(get("/quick"));
    EXPECT_EQ(holding.readReply().body, QByteArray("done"));
    holding.closeNow();
    serving.closeNow();
    EXPECT_TRUE(MessageLog::instance().waitFor("pool size is now 0", 20000));
}

// Connections that the server closes itself, with cleanup running as fast as
// it can: the handler must not be removed while it is still inside read().
TEST(Pool, FastCleanupWithServerSideCloses) {
    ThreadRecorder recorder;
    tessaly::HttpServerSettings settings = smallSettings();
    settings.minThreads = 0;
    settings.cleanupInterval = 1;
    settings.maxThreads = 4;
    ServerThread server(settings, &recorder);
    for (int i = 0; i < 60; ++i) {
        const Reply reply = servedAnswer(server.port(), get("/x", "Connection: close\r\n"));
        ASSERT_EQ(reply.status, 200);
        ASSERT_EQ(reply.body, QByteArray("/x"));
    }
}

// ---- keep-alive, pipelining, closing ---------------------------------------------

TEST(Connection, KeepAliveServesTheNextRequestOnTheSameHandler) {
    ThreadRecorder recorder;
    ServerThread server(smallSettings(), &recorder);
    RawClient client(server.port());
    for (int i = 0; i < 3; ++i) {
        client.send(get("/k" + QByteArray::number(i)));
        const Reply reply = client.readReply();
        ASSERT_EQ(reply.body, "/k" + QByteArray::number(i));
        EXPECT_FALSE(reply.hasHeader("Connection"));
    }
    const QList<QThread*> seen = recorder.seen();
    EXPECT_EQ(QSet<QThread*>(seen.begin(), seen.end()).size(), 1);
    EXPECT_FALSE(client.closedByPeer());
}

TEST(Connection, PipelinedRequestsAreAnsweredInOrder) {
    ThreadRecorder recorder;
    ServerThread server(smallSettings(), &recorder);
    RawClient client(server.port());
    QByteArray all;
    for (int i = 0; i < 5; ++i) all += get("/p" + QByteArray::number(i));
    all += "POST /p5 HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc" + get("/p6");
    client.send(all);
    for (int i = 0; i < 7; ++i) {
        const Reply reply = client.readReply();
        ASSERT_TRUE(reply.complete) << i;
        EXPECT_EQ(reply.body, "/p" + QByteArray::number(i));
    }
}

TEST(Connection, AnswerWithoutLengthOrChunksClosesTheConnection) {
    CallbackHandler handler([](HttpRequest&, HttpResponse& response) {
        response.setHeader("Connection", "close");
        response.write("a", false);
        response.write("b", true);
    });
    ServerThread server(smallSettings(), &handler);
    RawClient client(server.port());
    client.send(get("/") + get("/second"));
    bool closed = false;
    const QByteArray all = client.readUntilClosed(10000, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(all, QByteArray("HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\n\r\nab"));
}

// ---- read time-out ---------------------------------------------------------------

namespace {
tessaly::HttpServerSettings shortTimeout(int ms) {
    tessaly::HttpServerSettings s = smallSettings();
    s.readTimeout = ms;
    return s;
}
}  // namespace

TEST(ReadTimeout, IdleClientIsClosedWithoutAnswer) {
    ThreadRecorder recorder;
    ServerThread server(shortTimeout(300), &recorder);
    RawClient idle(server.port());
    bool closed = false;
    EXPECT_TRUE(idle.readUntilClosed(20000, &closed).isEmpty());
    EXPECT_TRUE(closed);

    // Also after an answer on a kept connection.
    RawClient kept(server.port());
    kept.send(get("/one"));
    EXPECT_EQ(kept.readReply().body, QByteArray("/one"));
    EXPECT_TRUE(kept.readUntilClosed(20000, &closed).isEmpty());
    EXPECT_TRUE(closed);
}

TEST(ReadTimeout, SlowHeadersGetNoExtension) {
    ThreadRecorder recorder;
    ServerThread server(shortTimeout(500), &recorder);
    RawClient slow(server.port());
    slow.send("GET / HTTP/1.1\r\n");
    bool closedInTime = false;
    for (int i = 0; i < 400 && !closedInTime; ++i) {   // one byte every 50 ms, for up to 20 s
        slow.send("X");
        closedInTime = slow.readUntilClosed(50, nullptr).isEmpty() && slow.closedByPeer();
    }
    EXPECT_TRUE(closedInTime);
    EXPECT_TRUE(recorder.seen().isEmpty());
}

// A request must arrive whole within the time-out from its first byte, and
// a kept connection's next request counts from its own first byte.
TEST(ReadTimeout, ARequestMustArriveWholeWithinTheTimeoutFromItsFirstByte) {
    CallbackHandler handler([](HttpRequest& request, HttpResponse& response) { response.write(request.getBody(), true); });
    ServerThread server(shortTimeout(2000), &handler);

    // A body in pieces that all come in time is served.
    RawClient client(server.port());
    client.send("POST / HTTP/1.1\r\nContent-Length: 12\r\n\r\n");
    for (int i = 0; i < 12; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(client.send(QByteArray(1, char('a' + i))));
    }
    EXPECT_EQ(client.readReply().body, QByteArray("abcdefghijkl"));

    // On the same connection, after an idle pause, a request whose pieces
    // take longer than the time-out left from the answer but less than the
    // time-out from its own first byte.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    const QByteArray next = "POST / HTTP/1.1\r\nContent-Length: 4\r\n\r\nnext";
    for (int i = 0; i < next.size(); i += 8) {
        ASSERT_TRUE(client.send(next.mid(i, 8)));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_EQ(client.readReply().body, QByteArray("next"));

    // Bodies that trickle a byte every 100 ms, each byte well within the
    // time-out of the one before: dropped without an answer once the
    // time-out has passed since their first byte, never served.
    std::vector<std::unique_ptr<RawClient>> tricklers;
    for (int i = 0; i < 3; ++i) {
        tricklers.push_back(std::make_unique<RawClient>(server.port()));
        ASSERT_TRUE(tricklers.back()->send("POST / HTTP/1.1\r\nContent-Length: 1000\r\n\r\n"));
    }
    QElapsedTimer elapsed;
    elapsed.start();
    QByteArray answered;
    int open = int(tricklers.size());
    while (open > 0 && elapsed.elapsed() < 15000) {
        open = 0;
        for (auto& trickler : tricklers) {
            if (trickler->closedByPeer()) continue;
            trickler->send("x");
            answered += trickler->readUntilClosed(30, nullptr);
            if (!trickler->closedByPeer()) ++open;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(open, 0) << "trickled requests still held after " << elapsed.elapsed() << " ms";
    EXPECT_GE(elapsed.elapsed(), 1500);
    EXPECT_TRUE(answered.isEmpty()) << answered.toStdString();

    // And the server serves on.
    RawClient after(server.port());
    after.send("POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_EQ(after.readReply().body, QByteArray("ok"));
}

TEST(ReadTimeout, ClientThatNeverHandshakesIsClosed) {
    ASSERT_TRUE(tlsMaterial().ok);
    ThreadRecorder recorder;
    tessaly::HttpServerSettings settings = shortTimeout(400);
    settings.maxThreads = 2;   // the second client must not meet a handler still closing the first
    settings.certBA = tlsMaterial().leafPem;
    settings.keyBA = tlsMaterial().leafKeyPem;
    settings.intermCertificateBA = tlsMaterial().intermPem;
    ServerThread server(settings, &recorder);
    bool closed = false;
    {
        RawClient silent(server.port());
        EXPECT_TRUE(silent.readUntilClosed(20000, &closed).isEmpty());
        EXPECT_TRUE(closed);
    }
    {
        RawClient partial(server.port());
        partial.send(QByteArray::fromHex("160301"));   // the start of a record, never finished
        EXPECT_TRUE(partial.readUntilClosed(20000, &closed).isEmpty());
        EXPECT_TRUE(closed);
    }
    // The handlers are free again for a real client.
    EXPECT_TRUE(eventually([&]() {
        TlsClient client(server.port(), tlsMaterial().root());
        if (!client.encrypted()) return false;
        client.send(get("/tls"));
        return client.readReply().body == "/tls";
    }, 20000));
}

// ---- clients that stop reading ------------------------------------------------------

namespace {
// Writes far more than any socket buffer holds, in pieces or in one.
class FloodHandler : public tessaly::HttpRequestHandler {
public:
    void service(HttpRequest& request, HttpResponse& response) override {
        if (request.getPath() != "/flood") {
            response.write("small", true);
            return;
        }
        const QByteArray piece(65536, 'f');
        if (request.getParameter("one") == "1") {
            response.write(QByteArray(64 * 1024 * 1024, 'g'), true);
        } else {
            for (int i = 0; i < 1024 && response.isConnected(); ++i) response.write(piece, false);
        }
        stillConnectedAtEnd.store(response.isConnected());
        finished.release();
    }
    Semaphore finished;
    std::atomic<bool> stillConnectedAtEnd{true};
};

void expectHandlerFreedFromNonReader(const tessaly::HttpServerSettings& settings, const QByteArray& request,
                                     bool tls) {
    FloodHandler flood;
    ServerThread server(settings, &flood);
    std::unique_ptr<Client> stalled;
    if (tls) {
        auto* client = new TlsClient(server.port(), tlsMaterial().root());
        ASSERT_TRUE(client->encrypted()) << client->errorText().toStdString();
        stalled.reset(client);
    } else {
        stalled.reset(new RawClient(server.port()));
    }
    ASSERT_TRUE(stalled->send(request));
    // It reads nothing from now on; the one handler must come free all the same.
    ASSERT_TRUE(flood.finished.tryAcquire(1, 30000)) << "the writer never gave up";
    if (request.contains("one=1")) {
        // One big last piece: the writer is done at once, the closing wait is bounded.
        EXPECT_TRUE(flood.stillConnectedAtEnd.load());
    } else {
        EXPECT_FALSE(flood.stillConnectedAtEnd.load());
    }
    stalled.reset();
    Reply reply;
    if (tls) {
        eventually([&]() {
            TlsClient next(server.port(), tlsMaterial().root());
            next.send(get("/next"));
            reply = next.readReply();
            return reply.complete;
        }, 30000);
    } else {
        reply = servedAnswer(server.port(), get("/next"), 30000);
    }
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, QByteArray("small"));
}
}  // namespace

TEST(NonReadingClient, HoldsTheHandlerAtMostTheReadTimeout) {
    tessaly::HttpServerSettings settings = shortTimeout(500);
    settings.maxThreads = 1;
    expectHandlerFreedFromNonReader(settings, get("/flood"), false);
}

TEST(NonReadingClient, OneHugeLastPieceOnAClosingConnection) {
    tessaly::HttpServerSettings settings = shortTimeout(500);
    settings.maxThreads = 1;
    expectHandlerFreedFromNonReader(settings, get("/flood?one=1", "Connection: close\r\n"), false);
}

TEST(NonReadingClient, OverTls) {
    ASSERT_TRUE(tlsMaterial().ok);
    tessaly::HttpServerSettings settings = shortTimeout(500);
    settings.maxThreads = 1;
    settings.certBA = tlsMaterial().leafPem;
    settings.keyBA = tlsMaterial().leafKeyPem;
    settings.intermCertificateBA = tlsMaterial().intermPem;
    expectHandlerFreedFromNonReader(settings, get("/flood"), true);
}

// ---- failures inside the server ---------------------------------------------------------

// Qt refuses a descriptor that is not open (any open one it takes); the
// handler must not stay busy for ever after such a refusal.
TEST(Failures, DescriptorThatCannotBeTakenLeavesTheHandlerFree) {
    qRegisterMetaType<tessaly::tSocketDescriptor>("tSocketDescriptor");
    CallbackHandler unused([](HttpRequest&, HttpResponse&) {});
    MessageLog::instance().clear();
    tessaly::HttpConnectionHandler handler(smallSettings(), &unused, nullptr);
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);   // a descriptor number that is not open
    handler.setBusy();
    ASSERT_TRUE(handler.isBusy());
    ASSERT_TRUE(QMetaObject::invokeMethod(&handler, "handleConnection", Qt::QueuedConnection,
                                          QArgument<tessaly::tSocketDescriptor>("tSocketDescriptor", pipeEnds[1])));
    EXPECT_TRUE(eventually([&]() { return !handler.isBusy(); }, 3000));
    EXPECT_EQ(MessageLog::instance().count("cannot initialize socket"), 1);
}

TEST(Failures, ExceptionInTheRequestHandlerDropsTheConnection) {
    CallbackHandler throwing([](HttpRequest& request, HttpResponse& response) {
        if (request.getPath() == "/throw-late") {
            response.write("partial", false);
            throw std::runtime_error("late");
        }
        if (request.getPath() == "/throw") throw 42;
        response.write("fine", true);
    });
    tessaly::HttpServerSettings settings = smallSettings();
    settings.maxThreads = 1;
    ServerThread server(settings, &throwing);
    MessageLog::instance().clear();
    for (const QByteArray& path : {QByteArray("/throw"), QByteArray("/throw-late")}) {
        // The one handler may still be finishing the previous connection: retry a refusal.
        Reply reply;
        bool closed = false;
        ASSERT_TRUE(eventually([&]() {
            RawClient client(server.port());
            client.send(get(path));
            reply = client.readReply();
            closed = client.closedByPeer();
            return reply.raw != kBusy;
        }));
        EXPECT_FALSE(reply.complete) << "a failed answer must not look complete: " << reply.raw.constData();
        EXPECT_TRUE(closed);
    }
    EXPECT_EQ(MessageLog::instance().count("An uncatched exception occured in the request handler"), 2);
    EXPECT_EQ(servedAnswer(server.port(), get("/ok")).body, QByteArray("fine"));
}

TEST(Failures, BindFailureAndBadHostAreReported) {
    CallbackHandler unused([](HttpRequest&, HttpResponse&) {});
    tessaly::HttpListener first(smallSettings(), &unused);
    ASSERT_TRUE(first.isListening());
    tessaly::HttpServerSettings taken = smallSettings();
    taken.port = first.serverPort();
    MessageLog::instance().clear();
    tessaly::HttpListener second(taken, &unused);
    EXPECT_FALSE(second.isListening());
    EXPECT_EQ(MessageLog::instance().count(QString("HttpListener: Cannot bind on port %1: ").arg(taken.port)), 1);

    tessaly::HttpServerSettings named = smallSettings();
    named.host = "localhost";
    tessaly::HttpListener third(named, &unused);
    EXPECT_FALSE(third.isListening());
    EXPECT_EQ(tessaly::getWexloLibVersion(), std::string("1.7.2"));
}

// ---- TLS ---------------------------------------------------------------------------------

TEST(Tls, ServesWithTheIntermediateInTheChainAndNoClientCertificate) {
    ASSERT_TRUE(tlsMaterial().ok);
    ThreadRecorder recorder;
    tessaly::HttpServerSettings settings = smallSettings();
    settings.certBA = tlsMaterial().leafPem;
    settings.keyBA = tlsMaterial().leafKeyPem;
    settings.intermCertificateBA = tlsMaterial().intermPem;
    ServerThread server(settings, &recorder);
    // The client trusts only the root: the handshake verifies only if the
    // server sends the intermediate.
    TlsClient client(server.port(), tlsMaterial().root());
    ASSERT_TRUE(client.encrypted()) << client.errorText().toStdString();
    client.send(get("/a") + get("/b"));
    EXPECT_EQ(client.readReply().body, QByteArray("/a"));
    EXPECT_EQ(client.readReply().body, QByteArray("/b"));
    client.send(get("/c"));
    EXPECT_EQ(client.readReply().body, QByteArray("/c"));

    // Plain HTTP on the TLS port is not served.
    RawClient plain(server.port());
    plain.send(get("/plain"));
    bool closed = false;
    const QByteArray answer = plain.readUntilClosed(20000, &closed);
    EXPECT_TRUE(closed);
    EXPECT_FALSE(answer.contains("/plain"));
}

TEST(Tls, MaterialFromFilesBesideTheSettingsFile) {
    ASSERT_TRUE(tlsMaterial().ok);
    ThreadRecorder recorder;
    tessaly::HttpServerSettings settings = smallSettings();
    settings.settingsFolder = tlsMaterial().folder;
    settings.sslCertFile = "leaf.pem";
    settings.sslKeyFile = "leaf.key";
    MessageLog::instance().clear();
    {
        ServerThread server(settings, &recorder);
        EXPECT_EQ(MessageLog::instance().count("HttpConnectionHandlerPool: SSL settings loaded"), 1);
        // Without the intermediate in the chain, trust the leaf's issuer directly.
        QList<QSslCertificate> trust = tlsMaterial().root();
        trust += QSslCertificate::fromData(tlsMaterial().intermPem, QSsl::Pem);
        TlsClient client(server.port(), trust);
        ASSERT_TRUE(client.encrypted()) << client.errorText().toStdString();
        client.send(get("/files"));
        EXPECT_EQ(client.readReply().body, QByteArray("/files"));
    }
    settings.sslCertFile = "missing.pem";
    MessageLog::instance().clear();
    ServerThread server(settings, &recorder);
    EXPECT_EQ(MessageLog::instance().count("HttpConnectionHandlerPool: cannot open sslCertFile " +
                                           QDir(tlsMaterial().folder).absoluteFilePath("missing.pem")),
              1);
    RawClient plain(server.port());   // no TLS configuration: plain HTTP
    plain.send(get("/plain"));
    EXPECT_EQ(plain.readReply().body, QByteArray("/plain"));
}

TEST(Tls, UnreadableMaterialIsReportedAndNeverServedInPlainText) {
    ThreadRecorder recorder;
    tessaly::HttpServerSettings settings = smallSettings();
    settings.certBA = "not a certificate";
    settings.keyBA = "not a key";
    MessageLog::instance().clear();
    ServerThread server(settings, &recorder);
    EXPECT_EQ(MessageLog::instance().count("certBA or keyBA holds no readable"), 1);
    RawClient plain(server.port());
    plain.send(get("/plain"));
    bool closed = false;
    EXPECT_FALSE(plain.readUntilClosed(20000, &closed).contains("/plain"));
    EXPECT_TRUE(closed);
}

// ---- the settings road of the service program --------------------------------------------

TEST(SettingsRoad, RecordIsReadFromTheListenerGroup) {
    QSettings empty("CorvaneWebserverTest", "Empty");
    const tessaly::HttpServerSettings defaults = tessaly::HttpServerSettings::fromSettings(&empty);
    EXPECT_TRUE(defaults.host.isEmpty());
    EXPECT_EQ(defaults.port, 0);
    EXPECT_EQ(defaults.minThreads, 1);
    EXPECT_EQ(defaults.maxThreads, 100);
    EXPECT_EQ(defaults.cleanupInterval, 1000);
    EXPECT_EQ(defaults.readTimeout, 10000);
    EXPECT_EQ(defaults.maxRequestSize, 16000);
    EXPECT_EQ(defaults.maxMultiPartSize, 1000000);

    QSettings odd("CorvaneWebserverTest", "Odd");
    odd.setValue("maxThreads", "many");
    EXPECT_EQ(tessaly::HttpServerSettings::fromSettings(&odd).maxThreads, 0);   // not a number reads as 0
}

// As the service does it: values written as text into the group "listener"
// of a QSettings object, then the listener built from that object on the
// thread that owns it.
TEST(SettingsRoad, ListenerBuiltFromQSettings) {
    ASSERT_TRUE(tlsMaterial().ok);
    QSettings settings("CorvaneWebserverTest", "CorvaneJSONPService");
    settings.beginGroup("listener");
    settings.setValue("certBA", tlsMaterial().leafPem);
    settings.setValue("intermCertificateBA", tlsMaterial().intermPem);
    settings.setValue("keyBA", tlsMaterial().leafKeyPem);
    settings.setValue("port", 0);
    settings.setValue("host", "127.0.0.1");
    settings.setValue("minThreads", "4");
    settings.setValue("maxThreads", "100");
    settings.setValue("cleanupInterval", "60000");
    settings.setValue("readTimeout", "60000");
    settings.setValue("maxRequestSize", "300");
    settings.setValue("maxMultiPartSize", "10000000");

    const tessaly::HttpServerSettings record = tessaly::HttpServerSettings::fromSettings(&settings);
    EXPECT_EQ(record.host, "127.0.0.1");
    EXPECT_EQ(record.minThreads, 4);
    EXPECT_EQ(record.readTimeout, 60000);
    EXPECT_EQ(record.maxRequestSize, 300);
    EXPECT_EQ(record.maxMultiPartSize, 10000000);
    EXPECT_EQ(record.certBA, tlsMaterial().leafPem);
    EXPECT_EQ(record.settingsFolder, QFileInfo(settings.fileName()).absolutePath());

    ThreadRecorder recorder;
    tessaly::HttpListener listener(&settings, &recorder);
    ASSERT_TRUE(listener.isListening());
    const quint16 port = listener.serverPort();
    EXPECT_EQ(listener.serverAddress(), QHostAddress(QHostAddress::LocalHost));

    // The listener lives on this thread: the client runs beside it.
    std::atomic<bool> done{false};
    Reply small, large;
    QString tlsError;
    std::thread client([&]() {
        TlsClient tls(port, tlsMaterial().root());
        tlsError = tls.errorText();
        if (tls.encrypted()) {
            tls.send(get("/small"));
            small = tls.readReply();
            tls.send(get("/" + QByteArray(400, 'x')));
            large = tls.readReply();
        }
        done = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    client.join();
    ASSERT_TRUE(tlsError.isEmpty()) << tlsError.toStdString();
    EXPECT_EQ(small.body, QByteArray("/small"));
    EXPECT_EQ(large.raw, QByteArray("HTTP/1.1 413 entity too large\r\nConnection: close\r\n\r\n413 Entity too large\r\n"));
}
