// The static file controller (content types, caching, refusals, paths that
// try to leave the document root) and the session store, over real connections.
#include "tessaly-session-store.h"
#include "tessaly-static-file-controller.h"
#include "test-support.h"
#include "webserver-test-support.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace wstest;
using tessaly::HttpRequest;
using tessaly::HttpResponse;
using tessaly::HttpSession;
using tessaly::HttpSessionStore;
using tessaly::HttpSessionStoreSettings;
using tessaly::StaticFileController;
using tessaly::StaticFileControllerSettings;

namespace {

void writeFile(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(content), content.size());
}

// <private>/site/www is the root; <private>/site/outside and www-secret lie beside it.
class StaticFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        site = corvane::test::privateFolder() + "/site";
        root = site + "/www";
        writeFile(root + "/index.html", "<h1>home</h1>");
        writeFile(root + "/a.txt", "alpha");
        writeFile(root + "/IMG.PNG", "\x89PNG upper");
        writeFile(root + "/sub2/index.html", "sub two");
        QDir().mkpath(root + "/sub");
        writeFile(root + "/exact.bin", QByteArray(65536, 'e'));
        writeFile(root + "/over.bin", QByteArray(65536, 'o') + "O");
        writeFile(site + "/outside/secret.txt", "SECRET");
        writeFile(site + "/www-secret/file.txt", "SECRET");
        QFile::link(site + "/outside/secret.txt", root + "/link.txt");
        QFile::link(site + "/outside", root + "/linkdir");
        QFile::link(root + "/a.txt", root + "/inlink.txt");
        ::mkfifo(QFile::encodeName(root + "/pipe.txt").constData(), 0644);
        writeFile(root + "/noread.txt", "hidden");
        ::chmod(QFile::encodeName(root + "/noread.txt").constData(), 0);
    }

    void serve(StaticFileControllerSettings settings = StaticFileControllerSettings()) {
        if (settings.path == ".") settings.path = root;
        controller.reset(new StaticFileController(settings));
        server.reset(new ServerThread(smallSettings(), controller.get()));
        ASSERT_TRUE(server->listening());
    }
    Reply fetch(const QByteArray& path) {
        RawClient client(server->port());
        client.send(get(path));
        return client.readReply();
    }

    static QString site;
    static QString root;
    std::unique_ptr<StaticFileController> controller;
    std::unique_ptr<ServerThread> server;
};
QString StaticFiles::site;
QString StaticFiles::root;

}  // namespace

TEST_F(StaticFiles, IndexContentTypesAndCachingHeader) {
    serve();
    const Reply home = fetch("/");
    EXPECT_EQ(home.status, 200);
    EXPECT_EQ(home.body, QByteArray("<h1>home</h1>"));
    EXPECT_EQ(home.header("Content-Type"), QByteArray("text/html; charset=UTF-8"));
    EXPECT_EQ(home.header("Cache-Control"), QByteArray("max-age=60"));
    EXPECT_EQ(fetch("/sub2").body, QByteArray("sub two"));
    EXPECT_EQ(fetch("/a.txt").header("Content-Type"), QByteArray("text/plain; charset=UTF-8"));
    const Reply upper = fetch("/IMG.PNG");
    EXPECT_EQ(upper.status, 200);
    EXPECT_FALSE(upper.hasHeader("Content-Type"));

    const QList<QPair<QByteArray, QByteArray>> types = {
        {"png", "image/png"}, {"jpg", "image/jpeg"}, {"gif", "image/gif"}, {"pdf", "application/pdf"},
        {"htm", "text/html; charset=UTF-8"}, {"css", "text/css"}, {"js", "text/javascript"},
        {"svg", "image/svg+xml"}, {"woff", "font/woff"}, {"woff2", "font/woff2"},
        {"ttf", "application/x-font-ttf"}, {"eot", "application/vnd.ms-fontobject"}, {"otf", "application/font-otf"}};
    for (const auto& type : types) {
        writeFile(root + "/types/f." + QString::fromLatin1(type.first), "x");
        EXPECT_EQ(fetch("/types/f." + type.first).header("Content-Type"), type.second) << type.first.constData();
    }
}

TEST_F(StaticFiles, MissingAndUnreadableFiles) {
    serve();
    EXPECT_EQ(fetch("/missing.txt").raw,
              QByteArray("HTTP/1.1 404 not found\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: 13\r\n\r\n"
                         "404 not found"));
    EXPECT_EQ(fetch("/sub").status, 404);   // a folder without index.html
    // A FIFO would block the handler on open: refused.
    EXPECT_EQ(fetch("/pipe.txt").raw,
              QByteArray("HTTP/1.1 403 forbidden\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: 13\r\n\r\n"
                         "403 forbidden"));
}

TEST_F(StaticFiles, FileWithoutReadPermission) {
    serve();
    if (::geteuid() == 0) {
        GTEST_SKIP() << "running as root: a file without read permission is still readable";
    }
    EXPECT_EQ(fetch("/noread.txt").status, 403);
}

TEST_F(StaticFiles, PathsThatLeaveTheRootAreRefused) {
    serve();
    for (const QByteArray& path : {QByteArray("/../outside/secret.txt"), QByteArray("/%2e%2e/outside/secret.txt"),
                                   QByteArray("/sub/../../outside/secret.txt"), QByteArray("/..hidden"),
                                   QByteArray("-secret/file.txt"), QByteArray("%2d%73ecret/file.txt"),
                                   QByteArray("/a.txt%00.html"), QByteArray("/link.txt"),
                                   QByteArray("/linkdir/secret.txt")}) {
        const Reply reply = fetch(path);
        EXPECT_EQ(reply.status, 403) << path.constData();
        EXPECT_FALSE(reply.body.contains("SECRET")) << path.constData();
    }
    // A link that stays inside the root is served.
    EXPECT_EQ(fetch("/inlink.txt").body, QByteArray("alpha"));
}

TEST_F(StaticFiles, SmallFilesAreServedFromTheCacheUntilTheyAgeOut) {
    writeFile(root + "/c1.txt", "first");
    serve();
    EXPECT_EQ(fetch("/c1.txt").body, QByteArray("first"));
    writeFile(root + "/c1.txt", "second");
    MessageLog::instance().clear();
    EXPECT_EQ(fetch("/c1.txt").body, QByteArray("first"));
    EXPECT_EQ(MessageLog::instance().count("StaticFileController: Cache hit for /c1.txt"), 1);

    // 65536 bytes are cached, 65537 are not (and go out as two chunks).
    EXPECT_EQ(fetch("/exact.bin").body, QByteArray(65536, 'e'));
    const Reply over = fetch("/over.bin");
    EXPECT_TRUE(over.raw.endsWith("\r\n\r\n10000\r\n" + QByteArray(65536, 'o') + "\r\n1\r\nO\r\n0\r\n\r\n"));
    writeFile(root + "/exact.bin", QByteArray(65536, 'E'));
    writeFile(root + "/over.bin", QByteArray(65536, 'p') + "P");
    EXPECT_EQ(fetch("/exact.bin").body, QByteArray(65536, 'e'));
    EXPECT_EQ(fetch("/over.bin").body, QByteArray(65536, 'p') + "P");
    writeFile(root + "/exact.bin", QByteArray(65536, 'e'));
    writeFile(root + "/over.bin", QByteArray(65536, 'o') + "O");

    StaticFileControllerSettings shortLived;
    shortLived.cacheTime = 300;
    shortLived.maxAge = 500;
    shortLived.encoding = "ISO-8859-1";
    writeFile(root + "/c2.txt", "old");
    serve(shortLived);
    const Reply first = fetch("/c2.txt");
    EXPECT_EQ(first.body, QByteArray("old"));
    EXPECT_EQ(first.header("Cache-Control"), QByteArray("max-age=0"));
    EXPECT_EQ(first.header("Content-Type"), QByteArray("text/plain; charset=ISO-8859-1"));
    writeFile(root + "/c2.txt", "new");
    EXPECT_TRUE(eventually([&]() { return fetch("/c2.txt").body == "new"; }, 10000));

    StaticFileControllerSettings noTimeLimit;
    noTimeLimit.cacheTime = 0;
    writeFile(root + "/c3.txt", "kept");
    serve(noTimeLimit);
    EXPECT_EQ(fetch("/c3.txt").body, QByteArray("kept"));
    writeFile(root + "/c3.txt", "changed");
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(fetch("/c3.txt").body, QByteArray("kept"));
}

TEST_F(StaticFiles, RelativeRootResolvesBesideTheSettingsFile) {
    QSettings settings(site + "/static.ini", QSettings::IniFormat);
    settings.setValue("path", "www");
    settings.setValue("maxAge", "120000");
    settings.sync();
    const StaticFileControllerSettings read = StaticFileControllerSettings::fromSettings(&settings);
    EXPECT_EQ(read.path, QDir::cleanPath(root));
    EXPECT_EQ(read.maxAge, 120000);
    controller.reset(new StaticFileController(&settings));
    server.reset(new ServerThread(smallSettings(), controller.get()));
    const Reply reply = fetch("/a.txt");
    EXPECT_EQ(reply.body, QByteArray("alpha"));
    EXPECT_EQ(reply.header("Cache-Control"), QByteArray("max-age=120"));
}

// ---- sessions --------------------------------------------------------------------------

namespace {

// Counts requests per session; "create=0" forbids a new session, "twice=1"
// asks for the session twice within one request.
class SessionCounter : public tessaly::HttpRequestHandler {
public:
    explicit SessionCounter(const HttpSessionStoreSettings& settings) : store(settings) {}
    void service(HttpRequest& request, HttpResponse& response) override {
        HttpSession session = store.getSession(request, response, request.getParameter("create") != "0");
        if (request.getParameter("twice") == "1") {
            const HttpSession again = store.getSession(request, response, true);
            if (again.getId() != session.getId()) {
                response.write("different", true);
                return;
            }
        }
        if (session.isNull()) {
            response.write("null", true);
            return;
        }
        const int count = session.get("count").toInt() + 1;
        session.set("count", count);
        response.write(session.getId() + " " + QByteArray::number(count), true);
    }
    void expire() { QMetaObject::invokeMethod(&store, "sessionTimerEvent", Qt::DirectConnection); }
    HttpSessionStore store;
};

struct SessionAnswer {
    QByteArray id;
    int count = 0;
    QByteArray setCookie;
    QByteArray body;
};

SessionAnswer askSession(quint16 port, const QByteArray& query, const QByteArray& cookie = QByteArray()) {
    RawClient client(port);
    client.send(get("/s" + query, cookie.isEmpty() ? QByteArray() : "Cookie: " + cookie + "\r\n"));
    const Reply reply = client.readReply();
    SessionAnswer answer;
    answer.body = reply.body;
    answer.id = reply.body.split(' ').value(0);
    answer.count = reply.body.split(' ').value(1).toInt();
    answer.setCookie = reply.header("Set-Cookie");
    return answer;
}

}  // namespace

TEST(Sessions, CookieRoundTripAndCreation) {
    SessionCounter counter{HttpSessionStoreSettings()};
    ServerThread server(smallSettings(), &counter);

    const SessionAnswer none = askSession(server.port(), "?create=0");
    EXPECT_EQ(none.body, QByteArray("null"));
    EXPECT_TRUE(none.setCookie.isEmpty());

    const SessionAnswer created = askSession(server.port(), "");
    ASSERT_EQ(created.id.size(), 38);
    EXPECT_EQ(created.count, 1);
    EXPECT_EQ(created.setCookie, "sessionid=" + created.id + "; Max-Age=3600; Version=1");

    const SessionAnswer again = askSession(server.port(), "?create=0", "other=1; sessionid=" + created.id);
    EXPECT_EQ(again.id, created.id);
    EXPECT_EQ(again.count, 2);
    EXPECT_EQ(again.setCookie, created.setCookie);   // sent again with a fresh age

    MessageLog::instance().clear();
    const SessionAnswer unknown = askSession(server.port(), "", "sessionid={bogus}");
    EXPECT_EQ(MessageLog::instance().count("HttpSessionStore: received invalid session cookie with ID {bogus}"), 1);
    EXPECT_NE(unknown.id, created.id);
    EXPECT_EQ(unknown.count, 1);

    const SessionAnswer twice = askSession(server.port(), "?twice=1");
    EXPECT_NE(twice.body, QByteArray("different"));
    EXPECT_EQ(twice.count, 1);

    const HttpSession byId = counter.store.getSession(created.id);
    EXPECT_EQ(byId.get("count").toInt(), 2);
    counter.store.removeSession(byId);
    EXPECT_TRUE(counter.store.getSession(created.id).isNull());
    EXPECT_EQ(askSession(server.port(), "?create=0", "sessionid=" + created.id).body, QByteArray("null"));
}

TEST(Sessions, CookieSettingsAndExpiry) {
    HttpSessionStoreSettings settings;
    settings.cookieName = "sid";
    settings.expirationTime = 800;   // below 1000: the cookie carries no Max-Age
    settings.cookiePath = "/app";
    settings.cookieDomain = "127.0.0.1";
    settings.cookieComment = "test";
    SessionCounter counter(settings);
    ServerThread server(smallSettings(), &counter);

    const SessionAnswer idle = askSession(server.port(), "");
    const SessionAnswer active = askSession(server.port(), "");
    EXPECT_EQ(idle.setCookie, "sid=" + idle.id + "; Comment=test; Domain=127.0.0.1; Path=/app; Version=1");
    const HttpSession held = counter.store.getSession(idle.id);

    // `active` is used again half-way; `idle` is not.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(askSession(server.port(), "", "sid=" + active.id).count, 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    MessageLog::instance().clear();
    counter.expire();
    EXPECT_EQ(MessageLog::instance().count("HttpSessionStore: session " + idle.id + " expired"), 1);
    EXPECT_EQ(MessageLog::instance().count("expired"), 1);

    const SessionAnswer after = askSession(server.port(), "", "sid=" + idle.id);
    EXPECT_NE(after.id, idle.id);
    EXPECT_EQ(after.count, 1);
    EXPECT_EQ(askSession(server.port(), "", "sid=" + active.id).count, 3);
    // A handle held by a request handler outlives the expiry.
    EXPECT_EQ(held.get("count").toInt(), 1);
    EXPECT_EQ(held.getId(), idle.id);
}
