// A load run with our own client: 150 connections against 100 handlers, then
// many short connections from many threads at once; afterwards the server
// still answers normally and its pool shrinks back.
#include "webserver-test-support.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace wstest;
using tessaly::HttpRequest;
using tessaly::HttpResponse;

namespace {

const QByteArray kBusy = "HTTP/1.1 503 too many connections\r\nConnection: close\r\n\r\nToo many connections\r\n";

class PathHandler : public tessaly::HttpRequestHandler {
public:
    void service(HttpRequest& request, HttpResponse& response) override {
        response.write(request.getPath(), false);
        response.write(QByteArray(2000, 'z'), true);
    }
};

}  // namespace

TEST(Load, OneHundredFiftyConnectionsAgainstOneHundredHandlers) {
    PathHandler handler;
    tessaly::HttpServerSettings settings = smallSettings();
    settings.maxThreads = 100;
    settings.minThreads = 4;
    settings.cleanupInterval = 50;
    settings.readTimeout = 60000;
    ServerThread server(settings, &handler);
    MessageLog::instance().clear();

    // All 150 open at once: the first 100 hold a handler each, 50 are refused.
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 150; ++i) {
        clients.emplace_back(new RawClient(server.port()));
        ASSERT_TRUE(clients.back()->connected()) << i;
    }
    std::vector<bool> refused(150, false);
    int refusedCount = 0;
    ASSERT_TRUE(eventually([&]() {
        for (int i = 0; i < 150; ++i) {
            if (!refused[i] && clients[i]->readable(0)) {
                refused[i] = true;
                ++refusedCount;
            }
        }
        return refusedCount >= 50;
    }, 60000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (int i = 0; i < 150; ++i) ASSERT_EQ(refused[i] || !clients[i]->readable(0), true);
    EXPECT_EQ(refusedCount, 50);

    for (int i = 0; i < 150; ++i) {
        if (refused[i]) {
            bool closed = false;
            EXPECT_EQ(clients[i]->readUntilClosed(10000, &closed), kBusy);
            EXPECT_TRUE(closed);
        } else {
            ASSERT_TRUE(clients[i]->send(get("/held" + QByteArray::number(i))));
        }
    }
    for (int i = 0; i < 150; ++i) {
        if (refused[i]) continue;
        const Reply reply = clients[i]->readReply(30000);
        ASSERT_TRUE(reply.complete) << i;
        EXPECT_EQ(reply.body, "/held" + QByteArray::number(i) + QByteArray(2000, 'z'));
    }
    clients.clear();

    // Short connections from 150 threads at once; every answer is whole:
    // either the page or the exact refusal.
    std::atomic<int> served{0}, busy{0}, broken{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 150; ++t) {
        threads.emplace_back([&, t]() {
            for (int i = 0; i < 10; ++i) {
                RawClient client(server.port());
                const QByteArray path = "/t" + QByteArray::number(t) + "-" + QByteArray::number(i);
                if (!client.readable(5) && client.send(get(path, i % 2 ? "Connection: close\r\n" : ""))) {
                    const Reply reply = client.readReply(30000);
                    if (reply.complete && reply.status == 200 && reply.body == path + QByteArray(2000, 'z')) {
                        ++served;
                        continue;
                    }
                    if (reply.raw == kBusy || client.pending() == kBusy) {
                        ++busy;
                        continue;
                    }
                    ++broken;
                    continue;
                }
                bool closed = false;
                if (client.readUntilClosed(10000, &closed) == kBusy && closed) {
                    ++busy;
                } else {
                    ++broken;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(broken.load(), 0);
    EXPECT_EQ(served.load() + busy.load(), 1500);
    EXPECT_GT(served.load(), 0);

    // Afterwards: normal service, and the pool back at minThreads.
    Reply reply;
    ASSERT_TRUE(eventually([&]() {
        RawClient client(server.port());
        client.send(get("/after"));
        reply = client.readReply();
        return reply.status == 200;
    }, 30000));
    EXPECT_EQ(reply.body, "/after" + QByteArray(2000, 'z'));
    EXPECT_TRUE(MessageLog::instance().waitFor("pool size is now 4", 120000));
    RawClient keep(server.port());
    for (int i = 0; i < 3; ++i) {
        keep.send(get("/k"));
        EXPECT_TRUE(keep.readReply().complete);
    }
}
