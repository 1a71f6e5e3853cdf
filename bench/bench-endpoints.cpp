// Figures of the two network endpoints, measured against the real programs
// started from a private program folder:
//   - "initialize" throughput and p50/p99 latency over keep-alive TLS at 1, 16
//     and 64 connections, for JSONP (corvane-service, https://127.0.0.1:16357)
//     and for the secure WebSocket (corvane-universal, wss://127.0.0.1:16356);
//   - beside each JSONP row, on the very same answer bytes (one "initialize"
//     answer taken from the agent): nginx with one worker (when installed)
//     and our own HTTP server with a handler that writes that fixed body
//     (corvane-bench-fixed-server), and the agent's rate as a share of both;
//   - resident memory of corvane-service idle, with 100 keep-alive TLS
//     connections open, and after they are closed;
//   - with --baseline-dir, "initialize" over JSONP of this build beside the
//     corvane-service of another build folder (another commit's), the two
//     taking turns on fresh processes, and the ratio of their rates.
// Prints a table; asserts nothing about time.
//
//   corvane-bench-endpoints [--seconds S] [--only jsonp|wss|memory|baseline]
//                           [--baseline-dir <build>] [--rounds N]
//
// S is the time each row measures (default 1: thousands of answers at one
// connection already).
//
// CORVANE_BINARY_DIR names the build folder (programs and tls/root.pem).
#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <functional>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

#include "agent-process.h"
#include "build-in-use.h"

namespace {

using Clock = std::chrono::steady_clock;
using corvane::test::AgentProcess;

constexpr quint16 kJsonpPort = 16357;
constexpr quint16 kWssPort = 16356;
// Private to this run (the bench runs in its own network namespace or on a
// machine where these are free).
constexpr quint16 kNginxPort = 16358;
constexpr quint16 kFixedPort = 16359;

// ---- processes --------------------------------------------------------------------

// Inode of the socket listening on 127.0.0.1:port, 0 when none.
unsigned long listeningInode(quint16 port) {
    QFile tcp("/proc/net/tcp");
    if (!tcp.open(QIODevice::ReadOnly)) return 0;
    const QByteArray local = QByteArray("0100007F:") + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line : tcp.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() > 9 && f[1] == local && f[3] == "0A") return f[9].toULong();
    }
    return 0;
}

bool processHoldsSocket(qint64 pid, unsigned long inode) {
    const std::string target = "socket:[" + std::to_string(inode) + "]";
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    DIR* fds = opendir(folder.c_str());
    if (!fds) return false;
    bool held = false;
    while (dirent* entry = readdir(fds)) {
        char link[256] = {};
        const ssize_t n = readlink((folder + "/" + entry->d_name).c_str(), link, sizeof link - 1);
        if (n > 0 && target == std::string(link, static_cast<std::size_t>(n))) held = true;
    }
    closedir(fds);
    return held;
}

// Processes whose executable is `path` (the corvane-service that
// corvane-universal starts detached, found by the copy in our folder).
std::vector<qint64> processesRunning(const QString& path) {
    std::vector<qint64> pids;
    const QString wanted = QFileInfo(path).canonicalFilePath();
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric) continue;
        const QString exe = QFileInfo(QString("/proc/%1/exe").arg(pid)).symLinkTarget();
        if (!exe.isEmpty() && exe == wanted) pids.push_back(pid);
    }
    return pids;
}

bool alive(qint64 pid) { return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM; }

void endProcess(qint64 pid) {
    if (!alive(pid)) return;
    kill(static_cast<pid_t>(pid), SIGTERM);
    for (int i = 0; i < 100 && alive(pid); ++i) QThread::msleep(50);
    if (alive(pid)) kill(static_cast<pid_t>(pid), SIGKILL);
    for (int i = 0; i < 100 && alive(pid); ++i) QThread::msleep(20);
}

long statusField(qint64 pid, const char* field) {
    QFile status(QString("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field)) return line.mid(int(std::strlen(field))).simplified().split(' ').value(0).toLong();
    }
    return -1;
}

bool waitForFreePorts(std::initializer_list<quint16> ports) {
    for (int i = 0; i < 240; ++i) {
        bool free = true;
        for (quint16 p : ports) free = free && listeningInode(p) == 0;
        if (free) return true;
        if (i == 0) std::printf("  (ports %s busy: another run of the agent holds them; waiting up to 120 s)\n", "16356/16357");
        QThread::msleep(500);
    }
    return false;
}

// Waits until `pid` listens on `port`.
bool waitForListener(qint64 pid, quint16 port, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        const unsigned long inode = listeningInode(port);
        if (inode && processHoldsSocket(pid, inode)) return true;
        QThread::msleep(50);
    }
    return false;
}

// ---- clients ----------------------------------------------------------------------

QSslConfiguration clientTls() {
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates(QSslCertificate::fromPath(corvane::test::rootCertificatePath()));
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    return tls;
}

const QByteArray kInitialize = R"({"action":"initialize","transactionUUID":"bench-0001"})";

QByteArray jsonpRequest() {
    const QByteArray parameters = QUrl::toPercentEncoding(QString::fromLatin1(kInitialize.toBase64()));
    return "GET /?callback=cb&parameters=" + parameters +
           " HTTP/1.1\r\nHost: 127.0.0.1:16357\r\nConnection: keep-alive\r\n\r\n";
}

// One whole HTTP response at the start of `buffer` (chunked or sized);
// removes it and returns true with the body.
bool takeHttpResponse(QByteArray* buffer, int* status, QByteArray* body) {
    const int headerEnd = buffer->indexOf("\r\n\r\n");
    if (headerEnd < 0) return false;
    const QByteArray headers = buffer->left(headerEnd).toLower();
    *status = headers.mid(headers.indexOf(' ') + 1, 3).toInt();
    body->clear();
    int pos = headerEnd + 4;
    if (headers.contains("transfer-encoding: chunked")) {
        for (;;) {
            const int lineEnd = buffer->indexOf("\r\n", pos);
            if (lineEnd < 0) return false;
            bool ok = false;
            const int size = buffer->mid(pos, lineEnd - pos).trimmed().toInt(&ok, 16);
            if (!ok) return false;
            if (size == 0) {
                if (buffer->size() < lineEnd + 4) return false;
                buffer->remove(0, lineEnd + 4);
                return true;
            }
            if (buffer->size() < lineEnd + 2 + size + 2) return false;
            body->append(buffer->mid(lineEnd + 2, size));
            pos = lineEnd + 2 + size + 2;
        }
    }
    const int at = headers.indexOf("content-length:");
    const int length = at < 0 ? 0 : headers.mid(at + 15, headers.indexOf("\r\n", at) - at - 15).trimmed().toInt();
    if (buffer->size() < pos + length) return false;
    *body = buffer->mid(pos, length);
    buffer->remove(0, pos + length);
    return true;
}

bool successfulAnswer(const QByteArray& answer) { return answer.contains("\"responseCode\": \"0\""); }

enum Phase { kWarming = 0, kMeasuring = 1, kStopping = 2 };

// What all connections of one run share.
struct Run {
    bool websocket = false;
    quint16 port = kJsonpPort;
    bool oneRequestEach = false;          // memory run: one answer per connection, then idle
    std::atomic<int> phase{kWarming};
    std::atomic<int> ready{0};            // connections that finished their handshake
    std::atomic<int> answered{0};         // connections with at least one answer
    std::atomic<int> failures{0};
    Clock::time_point measureStart{};
    Clock::time_point measureEnd{};
    std::mutex lock;
    std::vector<double> latenciesMs;      // answers sent and received inside the window
    std::string firstFailure;

    void fail(const std::string& why) {
        std::lock_guard<std::mutex> g(lock);
        if (firstFailure.empty()) firstFailure = why;
        ++failures;
    }
};

// One keep-alive connection that sends "initialize" again as soon as the
// previous answer is in. Lives on its client thread.
class Connection {
public:
    explicit Connection(Run* run) : run_(run) {}
    virtual ~Connection() = default;
    virtual void open() = 0;
    virtual void close() = 0;
    bool idle() const { return !inFlight_; }

protected:
    void opened() {
        run_->ready++;
        next();
    }
    void answeredWith(bool success) {
        inFlight_ = false;
        const Clock::time_point now = Clock::now();
        if (!success) run_->fail("an answer without responseCode 0");
        if (!everAnswered_) {
            everAnswered_ = true;
            run_->answered++;
        }
        if (run_->phase.load() == kMeasuring && sentAt_ >= run_->measureStart && success) {
            const double ms = std::chrono::duration<double, std::milli>(now - sentAt_).count();
            std::lock_guard<std::mutex> g(run_->lock);
            if (now <= run_->measureEnd || run_->measureEnd == Clock::time_point{}) run_->latenciesMs.push_back(ms);
        }
        next();
    }
    void next() {
        if (run_->phase.load() == kStopping || (run_->oneRequestEach && everAnswered_)) return;
        inFlight_ = true;
        sentAt_ = Clock::now();
        send();
    }
    virtual void send() = 0;

    Run* run_;
    bool inFlight_ = false;
    bool everAnswered_ = false;
    Clock::time_point sentAt_{};
};

class JsonpConnection : public Connection {
public:
    using Connection::Connection;
    void open() override {
        socket_ = std::make_unique<QSslSocket>();
        socket_->setSslConfiguration(clientTls());
        QObject::connect(socket_.get(), &QSslSocket::encrypted, [this] { opened(); });
        QObject::connect(socket_.get(), QOverload<const QList<QSslError>&>::of(&QSslSocket::sslErrors),
                         [this](const QList<QSslError>& errors) {
                             run_->fail("TLS: " + errors.value(0).errorString().toStdString());
                         });
        QObject::connect(socket_.get(), &QSslSocket::readyRead, [this] { read(); });
        QObject::connect(socket_.get(), &QSslSocket::disconnected, [this] {
            if (run_->phase.load() != kStopping) run_->fail("the server closed a keep-alive connection");
            inFlight_ = false;
        });
        socket_->connectToHostEncrypted("127.0.0.1", run_->port);
    }
    void close() override {
        if (socket_) socket_->disconnectFromHost();
    }

private:
    void send() override { socket_->write(request_); }
    void read() {
        buffer_ += socket_->readAll();
        int status = 0;
        QByteArray body;
        while (takeHttpResponse(&buffer_, &status, &body)) {
            answeredWith(status == 200 && body.startsWith("cb(") && successfulAnswer(body));
        }
    }
    const QByteArray request_ = jsonpRequest();
    std::unique_ptr<QSslSocket> socket_;
    QByteArray buffer_;
};

class WssConnection : public Connection {
public:
    using Connection::Connection;
    void open() override {
        socket_ = std::make_unique<QWebSocket>();
        socket_->setSslConfiguration(clientTls());
        QObject::connect(socket_.get(), &QWebSocket::connected, [this] { opened(); });
        QObject::connect(socket_.get(), QOverload<const QList<QSslError>&>::of(&QWebSocket::sslErrors),
                         [this](const QList<QSslError>& errors) {
                             run_->fail("TLS: " + errors.value(0).errorString().toStdString());
                         });
        QObject::connect(socket_.get(), &QWebSocket::textMessageReceived,
                         [this](const QString& message) { answeredWith(successfulAnswer(message.toUtf8())); });
        QObject::connect(socket_.get(), &QWebSocket::disconnected, [this] {
            if (run_->phase.load() != kStopping) run_->fail("the server closed a WebSocket");
            inFlight_ = false;
        });
        socket_->open(QUrl(QString("wss://127.0.0.1:%1").arg(kWssPort)));
    }
    void close() override {
        if (socket_) socket_->close();
    }

private:
    void send() override { socket_->sendTextMessage(frame_); }
    const QString frame_ = QString::fromLatin1(kInitialize.toBase64());
    std::unique_ptr<QWebSocket> socket_;
};

// Runs `count` connections on client threads until the run stops.
class ClientThreads {
public:
    ClientThreads(Run* run, int count, int threads) {
        const int perThread = (count + threads - 1) / threads;
        for (int t = 0, left = count; t < threads && left > 0; ++t) {
            const int mine = std::min(perThread, left);
            left -= mine;
            QThread* thread = QThread::create([run, mine, this] {
                std::vector<std::unique_ptr<Connection>> connections;
                for (int i = 0; i < mine; ++i) {
                    if (run->websocket)
                        connections.push_back(std::make_unique<WssConnection>(run));
                    else
                        connections.push_back(std::make_unique<JsonpConnection>(run));
                    connections.back()->open();
                }
                QEventLoop loop;
                QTimer poll;
                QObject::connect(&poll, &QTimer::timeout, [&] {
                    if (!closing_.load()) return;
                    bool allIdle = true;
                    for (auto& c : connections) allIdle = allIdle && c->idle();
                    if (allIdle || closeNow_.load()) {
                        for (auto& c : connections) c->close();
                        loop.quit();
                    }
                });
                poll.start(20);
                loop.exec();
                // Let the close frames and TLS alerts go out before the sockets go.
                QElapsedTimer drain;
                drain.start();
                while (drain.elapsed() < 200) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            });
            threads_.push_back(thread);
            thread->start();
        }
    }
    // Stops sending, lets the answers in flight come in (bounded), closes.
    void finish() {
        closing_ = true;
        QElapsedTimer timer;
        timer.start();
        for (QThread* t : threads_) {
            while (!t->wait(100)) {
                if (timer.elapsed() > 30000) closeNow_ = true;
            }
            delete t;
        }
        threads_.clear();
    }
    ~ClientThreads() { finish(); }

private:
    std::vector<QThread*> threads_;
    std::atomic<bool> closing_{false};
    std::atomic<bool> closeNow_{false};
};

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs) return false;
        QThread::msleep(10);
    }
    return true;
}

double percentile(std::vector<double> sorted, double p) {
    if (sorted.empty()) return 0;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t rank = static_cast<std::size_t>(std::ceil(p / 100.0 * double(sorted.size())));
    return sorted[std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

struct Figures {
    int connections = 0;
    std::size_t answers = 0;
    double seconds = 0;
    double p50 = 0, p99 = 0;
    int failures = 0;
    std::string note;
};

Figures measure(bool websocket, int connections, double seconds, quint16 port = kJsonpPort) {
    Run run;
    run.websocket = websocket;
    run.port = port;
    const int threads = std::min(connections, 4);
    ClientThreads clients(&run, connections, threads);
    Figures f;
    f.connections = connections;
    if (!waitUntil([&] { return run.answered.load() + run.failures.load() >= connections; }, 60000)) {
        run.phase = kStopping;
        clients.finish();
        f.note = "connections did not all get an answer";
        f.failures = run.failures.load();
        return f;
    }
    // Warm: every connection has had an answer; let them run a moment more.
    QThread::msleep(300);
    {
        std::lock_guard<std::mutex> g(run.lock);
        run.measureStart = Clock::now();
    }
    run.phase = kMeasuring;
    QThread::msleep(static_cast<unsigned long>(seconds * 1000));
    {
        std::lock_guard<std::mutex> g(run.lock);
        run.measureEnd = Clock::now();
    }
    run.phase = kStopping;
    clients.finish();
    f.seconds = std::chrono::duration<double>(run.measureEnd - run.measureStart).count();
    f.answers = run.latenciesMs.size();
    f.p50 = percentile(run.latenciesMs, 50);
    f.p99 = percentile(run.latenciesMs, 99);
    f.failures = run.failures.load();
    f.note = run.firstFailure;
    return f;
}

void printFigures(const char* endpoint, const Figures& f) {
    std::printf("  %-34s %5d %9zu %10.1f %9.2f %9.2f %8d  %s\n", endpoint, f.connections, f.answers,
                f.seconds > 0 ? double(f.answers) / f.seconds : 0.0, f.p50, f.p99, f.failures, f.note.c_str());
    std::fflush(stdout);
}

void printHeader() {
    std::printf("  %-34s %5s %9s %10s %9s %9s %8s\n", "endpoint", "conns", "answers", "answers/s", "p50 ms",
                "p99 ms", "failures");
}

// ---- the runs ---------------------------------------------------------------------

bool startService(AgentProcess& agent) {
    if (!waitForFreePorts({kJsonpPort, kWssPort})) {
        std::printf("  ports 16356/16357 stay busy; cannot start a private corvane-service\n");
        return false;
    }
    if (!agent.start(kJsonpPort) || !waitForListener(agent.process().processId(), kJsonpPort, 20000)) {
        std::printf("  corvane-service did not come up on 127.0.0.1:%d\n", kJsonpPort);
        return false;
    }
    return true;
}

// One "initialize" answer of the running agent: the JSONP body "cb(...)".
QByteArray fetchAnswer(quint16 port) {
    QSslSocket socket;
    socket.setSslConfiguration(clientTls());
    socket.connectToHostEncrypted("127.0.0.1", port);
    if (!socket.waitForEncrypted(10000)) return {};
    socket.write(jsonpRequest());
    QByteArray buffer, body;
    int status = 0;
    QElapsedTimer timer;
    timer.start();
    while (!takeHttpResponse(&buffer, &status, &body) && timer.elapsed() < 10000) {
        if (!socket.waitForReadyRead(1000)) continue;
        buffer += socket.readAll();
    }
    socket.disconnectFromHost();
    return status == 200 ? body : QByteArray();
}

// A helper server started for the comparison rows, ended with the run.
class HelperServer {
public:
    bool start(const QString& program, const QStringList& arguments, quint16 port) {
        process_.setProgram(program);
        process_.setArguments(arguments);
        process_.setStandardOutputFile(QProcess::nullDevice());
        process_.setStandardErrorFile(QProcess::nullDevice());
        process_.start();
        return process_.waitForStarted(10000) && waitForListener(process_.processId(), port, 20000);
    }
    ~HelperServer() {
        if (process_.state() == QProcess::NotRunning) return;
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

private:
    QProcess process_;
};

QString nginxProgram() {
    for (const char* path : {"/usr/sbin/nginx", "/usr/bin/nginx"})
        if (QFileInfo(path).isExecutable()) return path;
    return {};
}

// nginx, one worker, TLS with the agent's own chain, serving `body` for every
// path on keep-alive connections that are never closed by request count.
bool startNginx(HelperServer* server, const QString& folder, const QByteArray& body) {
    const QString program = nginxProgram();
    if (program.isEmpty()) return false;
    const QString tls = corvane::test::binaryDir() + "/tls";
    QFile chain(folder + "/chain.pem");
    QFile leaf(tls + "/leaf.pem"), interm(tls + "/interm.pem");
    if (!chain.open(QIODevice::WriteOnly) || !leaf.open(QIODevice::ReadOnly) || !interm.open(QIODevice::ReadOnly))
        return false;
    chain.write(leaf.readAll() + interm.readAll());
    chain.close();
    QFile answer(folder + "/answer.js");
    if (!answer.open(QIODevice::WriteOnly)) return false;
    answer.write(body);
    answer.close();
    QDir(folder).mkpath("temp");
    const QString config = QString(
        "worker_processes 1;\ndaemon off;\nmaster_process on;\n%1"
        "pid %2/nginx.pid;\nerror_log %2/error.log crit;\n"
        "events { worker_connections 1024; }\n"
        "http {\n  access_log off;\n"
        "  client_body_temp_path %2/temp/body; proxy_temp_path %2/temp/proxy;\n"
        "  fastcgi_temp_path %2/temp/fastcgi; uwsgi_temp_path %2/temp/uwsgi; scgi_temp_path %2/temp/scgi;\n"
        "  keepalive_requests 1000000000; keepalive_timeout 300s;\n"
        "  server {\n    listen 127.0.0.1:%3 ssl;\n"
        "    ssl_certificate %2/chain.pem; ssl_certificate_key %4/leaf.key;\n"
        "    root %2;\n    location / { default_type application/javascript; try_files /answer.js =404; }\n"
        "  }\n}\n").arg(geteuid() == 0 ? "user root;\n" : "", folder).arg(kNginxPort).arg(tls);
    QFile file(folder + "/nginx.conf");
    if (!file.open(QIODevice::WriteOnly)) return false;
    file.write(config.toUtf8());
    file.close();
    return server->start(program, {"-p", folder, "-c", folder + "/nginx.conf", "-e", folder + "/error.log"},
                         kNginxPort);
}

int runJsonp(double seconds) {
    AgentProcess agent("bin/corvane-service");
    if (!startService(agent)) return 1;
    int failures = 0;
    const QByteArray body = fetchAnswer(kJsonpPort);
    QTemporaryDir folder;
    HelperServer nginx, fixed;
    bool haveNginx = false, haveFixed = false;
    if (!body.startsWith("cb(") || !body.endsWith(")")) {
        std::printf("  no \"initialize\" answer to compare with: the comparison rows are left out\n");
        ++failures;
    } else {
        QFile answer(folder.path() + "/answer.txt");
        answer.open(QIODevice::WriteOnly);
        answer.write(body.mid(3, body.size() - 4));
        answer.close();
        haveFixed = fixed.start(corvane::test::binaryDir() + "/bench/corvane-bench-fixed-server",
                                {QString::number(kFixedPort), answer.fileName()}, kFixedPort);
        if (!haveFixed) {
            std::printf("  corvane-bench-fixed-server did not come up on 127.0.0.1:%d\n", kFixedPort);
            ++failures;
        }
        haveNginx = startNginx(&nginx, folder.path(), body);
        if (!haveNginx) std::printf("  nginx %s: its row is left out\n", nginxProgram().isEmpty() ? "is not installed" : "did not start");
    }
    std::vector<std::string> ratios;
    for (int connections : {1, 16, 64}) {
        Figures nginxFigures, fixedFigures;
        if (haveNginx) {
            nginxFigures = measure(false, connections, seconds, kNginxPort);
            printFigures("nginx, 1 worker, same bytes", nginxFigures);
        }
        if (haveFixed) {
            fixedFigures = measure(false, connections, seconds, kFixedPort);
            printFigures("our HTTP server, fixed body", fixedFigures);
            failures += fixedFigures.failures + (fixedFigures.answers == 0 ? 1 : 0);
        }
        const Figures f = measure(false, connections, seconds);
        printFigures("JSONP https://127.0.0.1:16357", f);
        failures += f.failures + (f.answers == 0 ? 1 : 0);
        auto rate = [](const Figures& x) { return x.seconds > 0 ? double(x.answers) / x.seconds : 0.0; };
        char line[160];
        std::snprintf(line, sizeof line, "  %2d connections: agent / nginx %s, agent / fixed-body server %s",
                      connections,
                      haveNginx && rate(nginxFigures) > 0 ? QByteArray::number(rate(f) / rate(nginxFigures), 'f', 2).constData() : "-",
                      haveFixed && rate(fixedFigures) > 0 ? QByteArray::number(rate(f) / rate(fixedFigures), 'f', 2).constData() : "-");
        ratios.push_back(line);
    }
    std::printf("  \"initialize\" rate as a share of the same bytes served by (same run):\n");
    for (const std::string& line : ratios) std::printf("%s\n", line.c_str());
    agent.stop();
    return failures ? 1 : 0;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// "initialize" over JSONP of this build and of the one in `baselineFolder`:
// each round starts a fresh corvane-service of each build in turn (the other
// build first every other round) and measures it at every connection count,
// so that both see the same machine under the same load.
int runBeside(const QString& baselineFolder, double seconds, int rounds) {
    const std::vector<int> counts{1, 16, 64};
    struct Side {
        const char* name;
        QString folder;
        std::vector<std::vector<double>> rates;   // per connection count, one per round
    };
    std::vector<Side> sides{{"this build", corvane::test::binaryDir(), {}},
                            {"baseline", baselineFolder, {}}};
    std::printf("\n\"initialize\" over JSONP, this build beside the baseline: %d round(s), each a fresh "
                "corvane-service of each build in turn (the other one first every other round), %.0f s per row\n",
                rounds, seconds);
    for (const Side& side : sides) {
        std::printf("  %-12s %s\n", side.name, side.folder.toLocal8Bit().constData());
        if (!QFile::exists(side.folder + "/bin/corvane-service") || !QFile::exists(side.folder + "/tls/root.pem")) {
            std::printf("  no bin/corvane-service or tls/root.pem there: build it first\n");
            return 1;
        }
    }
    for (Side& side : sides) side.rates.resize(counts.size());
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < sides.size(); ++i) {
            Side& side = sides[(i + std::size_t(round)) % sides.size()];
            const corvane::bench::BuildInUse build(side.folder);
            AgentProcess agent("bin/corvane-service");
            if (!startService(agent)) return 1;
            for (std::size_t c = 0; c < counts.size(); ++c) {
                const Figures f = measure(false, counts[c], seconds);
                if (f.failures || f.answers == 0) {
                    std::printf("  %s, %d connections: %d failure(s) %s\n", side.name, counts[c], f.failures,
                                f.note.c_str());
                    failures += f.failures + (f.answers == 0 ? 1 : 0);
                }
                side.rates[c].push_back(f.seconds > 0 ? double(f.answers) / f.seconds : 0.0);
            }
            agent.stop();
        }
    }
    std::printf("  %5s %14s %14s %8s   %s\n", "conns", "this build/s", "baseline/s", "ratio",
                "answers/s per round (this build | baseline)");
    for (std::size_t c = 0; c < counts.size(); ++c) {
        const double ours = median(sides[0].rates[c]), theirs = median(sides[1].rates[c]);
        std::string perRound;
        for (const Side& side : sides) {
            if (&side != &sides[0]) perRound += " |";
            for (const double rate : side.rates[c]) perRound += " " + std::to_string(std::lround(rate));
        }
        std::printf("  %5d %14.0f %14.0f %7.2fx  %s\n", counts[c], ours, theirs, theirs > 0 ? ours / theirs : 0.0,
                    perRound.c_str());
    }
    std::printf("  (medians over the rounds; ratio: this build / baseline)\n");
    std::fflush(stdout);
    return failures ? 1 : 0;
}

int runWss(double seconds) {
    if (!waitForFreePorts({kJsonpPort, kWssPort})) {
        std::printf("  ports 16356/16357 stay busy; cannot start a private corvane-universal\n");
        return 1;
    }
    AgentProcess agent("bin/corvane-universal", {"bin/corvane-service"});
    const QString childPath = agent.programFolder() + "/corvane-service";
    auto endChild = [&] {
        for (qint64 pid : processesRunning(childPath)) endProcess(pid);
    };
    int failures = 0;
    if (!agent.start(kWssPort) || !waitForListener(agent.process().processId(), kWssPort, 20000)) {
        std::printf("  corvane-universal did not come up on 127.0.0.1:%d\n", kWssPort);
        failures = 1;
    } else {
        // Its corvane-service starts beside it; wait for it so both run as in
        // use (the figures are of the WebSocket endpoint alone).
        waitUntil([&] { return !processesRunning(childPath).empty(); }, 10000);
        for (int connections : {1, 16, 64}) {
            const Figures f = measure(true, connections, seconds);
            printFigures("wss://127.0.0.1:16356", f);
            failures += f.failures + (f.answers == 0 ? 1 : 0);
        }
    }
    agent.stop();
    endChild();
    if (!processesRunning(childPath).empty()) {
        std::printf("  the corvane-service started by corvane-universal did not end\n");
        failures++;
    }
    return failures ? 1 : 0;
}

int runMemory() {
    AgentProcess agent("bin/corvane-service");
    if (!startService(agent)) return 1;
    const qint64 pid = agent.process().processId();
    QThread::msleep(1000);
    const long idleKb = statusField(pid, "VmRSS:");
    const long idleThreads = statusField(pid, "Threads:");

    Run run;
    run.oneRequestEach = true;
    constexpr int kConnections = 100;
    auto clients = std::make_unique<ClientThreads>(&run, kConnections, 4);
    const bool allAnswered =
        waitUntil([&] { return run.answered.load() + run.failures.load() >= kConnections; }, 60000);
    QThread::msleep(500);
    const long openKb = statusField(pid, "VmRSS:");
    const long openThreads = statusField(pid, "Threads:");
    run.phase = kStopping;
    clients->finish();
    clients.reset();
    QThread::msleep(2000);
    const long afterKb = statusField(pid, "VmRSS:");
    const long afterThreads = statusField(pid, "Threads:");
    agent.stop();

    std::printf("  %-52s %10s %8s\n", "corvane-service", "VmRSS", "threads");
    std::printf("  %-52s %7.1f MiB %8ld\n", "idle (1 s after start)", idleKb / 1024.0, idleThreads);
    std::printf("  %-52s %7.1f MiB %8ld\n", "100 keep-alive TLS connections open (one answer each)",
                openKb / 1024.0, openThreads);
    std::printf("  %-52s %7.1f MiB %8ld\n", "2 s after those connections closed", afterKb / 1024.0, afterThreads);
    if (!allAnswered || run.failures.load()) {
        std::printf("  note: %d connection(s) failed: %s\n", run.failures.load(), run.firstFailure.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    // A server that drops a connection must not end the client.
    std::signal(SIGPIPE, SIG_IGN);
    double seconds = 1.0;
    QString only;
    QString baseline = QString::fromLocal8Bit(qgetenv("CORVANE_BASELINE_DIR"));
    int rounds = 3;
    const QStringList args = application.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--seconds" && i + 1 < args.size()) seconds = args[++i].toDouble();
        else if (args[i] == "--only" && i + 1 < args.size()) only = args[++i];
        else if (args[i] == "--baseline-dir" && i + 1 < args.size()) baseline = args[++i];
        else if (args[i] == "--rounds" && i + 1 < args.size()) rounds = std::max(1, args[++i].toInt());
    }
    if (!QFileInfo::exists(corvane::test::rootCertificatePath())) {
        std::printf("no TLS root at %s: build corvane-service first\n",
                    corvane::test::rootCertificatePath().toLocal8Bit().constData());
        return 2;
    }
    int failures = 0;
    if (only.isEmpty() || only == "jsonp" || only == "wss") {
        std::printf("\n\"initialize\" over keep-alive TLS, closed loop (each connection sends the next request when "
                    "its answer is in), %.0f s per row, client on %s threads of this machine\n",
                    seconds, "up to 4");
        printHeader();
        if (only.isEmpty() || only == "jsonp") failures += runJsonp(seconds);
        if (only.isEmpty() || only == "wss") failures += runWss(seconds);
    }
    if (only.isEmpty() || only == "memory") {
        std::printf("\nResident memory of corvane-service (/proc/<pid>/status)\n");
        failures += runMemory();
    }
    if (only == "baseline" && baseline.isEmpty()) {
        std::printf("--only baseline needs --baseline-dir <build>\n");
        return 2;
    }
    if ((only.isEmpty() || only == "jsonp" || only == "baseline") && !baseline.isEmpty()) {
        failures += runBeside(QFileInfo(baseline).absoluteFilePath(), seconds, rounds);
    }
    return failures ? 1 : 0;
}
