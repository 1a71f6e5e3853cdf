// Starts a real corvane-service (or corvane-universal) binary from a private
// program folder with its own HOME, and talks to it with real clients (curl).
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <memory>

namespace corvane {
namespace test {

QString binaryDir();                    // the build folder
QString rootCertificatePath();          // the build's TLS root (tls/root.pem)

// True when something accepts TCP connections on 127.0.0.1:port.
bool portAcceptsConnections(quint16 port);
// Waits (bounded) until the port accepts, or refuses, connections.
bool waitForPort(quint16 port, bool open, int timeoutMs);

class AgentProcess {
public:
    // Copies `binary` (path below the build folder, e.g. "bin/corvane-service")
    // into a fresh program folder; companions are copied beside it too.
    AgentProcess(const QString& binary, const QStringList& companions = {});
    ~AgentProcess();  // ends the process it started, and only that one

    bool start(quint16 waitPort, int timeoutMs = 20000);
    void stop();
    QProcess& process() { return *proc; }
    QString programFolder() const { return folder; }
    QString homeFolder() const { return folder + "/home"; }
    QString logFile(const QString& name) const { return folder + "/logs/" + name; }
    QByteArray standardOutput();

private:
    QString folder;
    QString programPath;
    std::unique_ptr<QProcess> proc;
    QByteArray stdoutSoFar;
};

struct HttpAnswer {
    int exitCode = -1;
    int status = 0;
    QByteArray headers;   // raw header block
    QByteArray body;      // de-chunked body
};

// One HTTPS GET with curl, trusting the build's root; `query` is appended to
// "https://127.0.0.1:<port>/?".
HttpAnswer curlGet(quint16 port, const QByteArray& query, const QStringList& extra = {});

// "callback=<cb>&parameters=<percent-encoded Base64 of json>".
QByteArray jsonpQuery(const QByteArray& callback, const QByteArray& json);

}  // namespace test
}  // namespace corvane
