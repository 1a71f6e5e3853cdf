// The loopback web server of the browser test: it serves the example page from
// the source tree's web/ folder over plain HTTP on 127.0.0.1 and a free port,
// and collects what the page reports back.
//
//   GET  /start          302 to "/example.html#<start fragment>" (the fragment
//                        carries the run's options, so they never show on the
//                        browser's command line)
//   GET  /<file>         a file of web/ (only names that exist there)
//   POST /report         the page's results (body); 204
//   GET  /report?results=<percent-encoded text>   the same, for GET reports
//   anything else        404
//
// It lives on the test thread's event loop: waitForReport() spins that loop.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <functional>

class QTcpSocket;

namespace corvane {
namespace test {

class PageServer {
public:
    explicit PageServer(const QString& webFolder);
    ~PageServer();
    PageServer(const PageServer&) = delete;
    PageServer& operator=(const PageServer&) = delete;

    bool listen();  // 127.0.0.1, a free port
    quint16 port() const;
    QString baseUrl() const;  // "http://127.0.0.1:<port>"

    void setStartFragment(const QByteArray& fragment) { startFragment = fragment; }

    // Spins the event loop until a report arrives, `giveUp` answers true
    // (checked every 100 ms) or the time is over. Returns the report's text,
    // or an empty text.
    QByteArray waitForReport(int timeoutMs, const std::function<bool()>& giveUp = {});

    QStringList requestLog() const { return requests; }  // "GET /example.html 200", ...
    QList<QByteArray> reports() const { return received; }
    void clear();

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const QByteArray& method, const QByteArray& target, const QByteArray& body);
    void reply(QTcpSocket* socket, int status, const QByteArray& reason, const QByteArray& headers,
               const QByteArray& body);

    QTcpServer server;
    QString folder;
    QByteArray startFragment;
    QHash<QTcpSocket*, QByteArray> buffers;
    QStringList requests;
    QList<QByteArray> received;
};

}  // namespace test
}  // namespace corvane
