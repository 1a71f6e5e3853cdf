// Cookies, sessions and URL decoding: the parts of the server that need no connection.
#include "tessaly-cookie.h"
#include "tessaly-request.h"
#include "tessaly-session.h"
#include "webserver-test-support.h"

#include <QRegularExpression>
#include <QSet>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using tessaly::HttpCookie;
using tessaly::HttpRequest;
using tessaly::HttpSession;
using wstest::MessageLog;

TEST(HttpCookie, TextFormHasFixedAttributeOrder) {
    EXPECT_EQ(HttpCookie("a", "b", 0).toByteArray(), QByteArray("a=b; Version=1"));

    HttpCookie c;
    c.setHttpOnly(true);
    c.setSecure(true);
    c.setPath("/p");
    c.setMaxAge(10);
    c.setDomain("example.org");
    c.setComment("note");
    c.setValue("v");
    c.setName("n");
    EXPECT_EQ(c.toByteArray(),
              QByteArray("n=v; Comment=note; Domain=example.org; Max-Age=10; Path=/p; Secure; HttpOnly; Version=1"));

    EXPECT_EQ(HttpCookie("a", "b", -1).toByteArray(), QByteArray("a=b; Max-Age=-1; Version=1"));
    // Constructor argument order: path before comment and domain.
    EXPECT_EQ(HttpCookie("a", "b", 5, "/x", "c", "d", false, true).toByteArray(),
              QByteArray("a=b; Comment=c; Domain=d; Max-Age=5; Path=/x; HttpOnly; Version=1"));
}

TEST(HttpCookie, ParsesItsOwnTextForm) {
    const HttpCookie original("session", "abc123", 3600, "/app", "hello", "example.org", true, true);
    const HttpCookie parsed(original.toByteArray());
    EXPECT_EQ(parsed.getName(), QByteArray("session"));
    EXPECT_EQ(parsed.getValue(), QByteArray("abc123"));
    EXPECT_EQ(parsed.getMaxAge(), 3600);
    EXPECT_EQ(parsed.getPath(), QByteArray("/app"));
    EXPECT_EQ(parsed.getComment(), QByteArray("hello"));
    EXPECT_EQ(parsed.getDomain(), QByteArray("example.org"));
    EXPECT_TRUE(parsed.getSecure());
    EXPECT_TRUE(parsed.getHttpOnly());
    EXPECT_EQ(parsed.getVersion(), 1);
    EXPECT_EQ(parsed.toByteArray(), original.toByteArray());

    const HttpCookie versioned(QByteArray("a=b; Version=7; Max-Age=x"));
    EXPECT_EQ(versioned.getVersion(), 7);
    EXPECT_EQ(versioned.getMaxAge(), 0);   // not a number
}

TEST(HttpCookie, AttributeNamesAreCaseSensitiveAndTheFirstUnknownIsTheName) {
    const HttpCookie a(QByteArray("Path=/x; n=v"));
    EXPECT_EQ(a.getPath(), QByteArray("/x"));
    EXPECT_EQ(a.getName(), QByteArray("n"));
    EXPECT_EQ(a.getValue(), QByteArray("v"));

    MessageLog::instance().clear();
    const HttpCookie b(QByteArray("path=/x; secure; n=v"));
    EXPECT_EQ(b.getName(), QByteArray("path"));
    EXPECT_EQ(b.getValue(), QByteArray("/x"));
    EXPECT_FALSE(b.getSecure());
    EXPECT_TRUE(b.getPath().isEmpty());
    EXPECT_EQ(MessageLog::instance().count("HttpCookie: Ignoring unknown secure="), 1);
    EXPECT_EQ(MessageLog::instance().count("HttpCookie: Ignoring unknown n=v"), 1);

    const HttpCookie empty(QByteArray("; ;"));
    EXPECT_TRUE(empty.getName().isEmpty());
}

TEST(HttpCookie, SplitCsvHonoursQuotesAndTrims) {
    EXPECT_TRUE(HttpCookie::splitCSV("").isEmpty());
    EXPECT_TRUE(HttpCookie::splitCSV(" \t ").isEmpty());
    EXPECT_TRUE(HttpCookie::splitCSV(";;").isEmpty());
    EXPECT_EQ(HttpCookie::splitCSV("a=\"x;y\"; b=2"), (QList<QByteArray>{"a=x;y", "b=2"}));
    EXPECT_EQ(HttpCookie::splitCSV("  a = 1  ;  b c=2 "), (QList<QByteArray>{"a = 1", "b c=2"}));
    EXPECT_EQ(HttpCookie::splitCSV("a=\"open;rest"), (QList<QByteArray>{"a=open;rest"}));
    EXPECT_EQ(HttpCookie::splitCSV("a=1,b=2;c\\=3"), (QList<QByteArray>{"a=1,b=2", "c\\=3"}));
    EXPECT_EQ(HttpCookie::splitCSV("x=a\"b\"c"), (QList<QByteArray>{"x=abc"}));
}

TEST(UrlDecode, DecodesOnePassOnly) {
    EXPECT_EQ(HttpRequest::urlDecode("a+b%20c"), QByteArray("a b c"));
    EXPECT_EQ(HttpRequest::urlDecode("%2541"), QByteArray("%41"));
    EXPECT_EQ(HttpRequest::urlDecode("%zz%"), QByteArray("%zz%"));
    EXPECT_EQ(HttpRequest::urlDecode("%41%42"), QByteArray("AB"));
    EXPECT_EQ(HttpRequest::urlDecode("%%41"), QByteArray("%A"));
    EXPECT_EQ(HttpRequest::urlDecode("x%4"), QByteArray("x\x04"));
    EXPECT_EQ(HttpRequest::urlDecode("%00"), QByteArray(1, '\0'));
    EXPECT_EQ(HttpRequest::urlDecode("%4g"), QByteArray("%4g"));
    EXPECT_EQ(HttpRequest::urlDecode("%-1"), QByteArray("%-1"));   // only hex digits count
}

TEST(HttpSession, NullSessionIsHarmless) {
    HttpSession s;
    EXPECT_TRUE(s.isNull());
    EXPECT_TRUE(s.getId().isEmpty());
    EXPECT_EQ(s.getLastAccess(), 0);
    s.set("k", 1);
    s.setLastAccess();
    s.remove("k");
    EXPECT_FALSE(s.contains("k"));
    EXPECT_FALSE(s.get("k").isValid());
    EXPECT_TRUE(s.getAll().isEmpty());
    HttpSession copy(s);
    copy = s;
    EXPECT_TRUE(copy.isNull());
}

TEST(HttpSession, IdentifiersAreRandomVersion4Uuids) {
    const QRegularExpression form("^\\{[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\\}$");
    QSet<QByteArray> seen;
    for (int i = 0; i < 200; ++i) {
        const HttpSession s(true);
        ASSERT_EQ(s.getId().size(), 38);
        ASSERT_TRUE(form.match(QString::fromLatin1(s.getId())).hasMatch()) << s.getId().constData();
        seen.insert(s.getId());
    }
    EXPECT_EQ(seen.size(), 200);
}

TEST(HttpSession, HandlesShareDataAndTheLastOneFreesIt) {
    MessageLog::instance().clear();
    {
        HttpSession a(true);
        a.set("k", QByteArray("v"));
        {
            HttpSession b(a);
            EXPECT_EQ(b.getId(), a.getId());
            b.set("n", 2);
            EXPECT_EQ(a.get("n").toInt(), 2);
            b = b;   // self-assignment keeps the data
            EXPECT_EQ(b.get("k").toByteArray(), QByteArray("v"));
        }
        EXPECT_EQ(MessageLog::instance().count("HttpSession: deleting data"), 0);
        EXPECT_TRUE(a.contains("k"));
        a.remove("k");
        EXPECT_FALSE(a.contains("k"));
        EXPECT_EQ(a.getAll().size(), 1);

        HttpSession other(true);
        a = other;   // a held the last handle to its first data
        EXPECT_EQ(MessageLog::instance().count("HttpSession: deleting data"), 1);
        EXPECT_EQ(a.getId(), other.getId());
    }
    EXPECT_EQ(MessageLog::instance().count("HttpSession: deleting data"), 2);
}

TEST(HttpSession, CopiesOnManyThreadsKeepTheCountRight) {
    MessageLog::instance().clear();
    {
        HttpSession shared(true);
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([shared, t]() mutable {
                for (int i = 0; i < 2000; ++i) {
                    HttpSession copy(shared);
                    HttpSession other(false);
                    other = copy;
                    other.set(QByteArray::number(t), i);
                    (void)copy.get(QByteArray::number((t + 1) % 8));
                    copy.setLastAccess();
                }
            });
        }
        for (auto& th : threads) th.join();
        EXPECT_EQ(shared.getAll().size(), 8);
        EXPECT_EQ(shared.get("3").toInt(), 1999);
        EXPECT_EQ(MessageLog::instance().count("HttpSession: deleting data"), 0);
    }
    EXPECT_EQ(MessageLog::instance().count("HttpSession: deleting data"), 1);
}
