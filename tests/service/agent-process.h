// Starts a real corvane-service (or corvane-universal) binary from a private
// program folder with its own HOME, and talks to it with real clients (curl).
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QSslSocket>
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

// A TLS connection to 127.0.0.1:port for bytes no ordinary client sends
// (the certificate is not checked); null when the handshake fails.
std::unique_ptr<QSslSocket> openTls(quint16 port, int timeoutMs = 10000);
// Everything the peer sends until it closes the connection or `timeoutMs` passes.
QByteArray readUntilClosed(QSslSocket& socket, int timeoutMs);

// Figures of a running process from /proc, in KiB and descriptors.
qint64 residentKiB(qint64 pid);
qint64 peakResidentKiB(qint64 pid);
bool resetPeakResident(qint64 pid);   // the peak starts again from the current size
int openDescriptors(qint64 pid);
// The number on a line of /proc/<pid>/status: "VmPeak", "VmData" (KiB), "Threads", ...
qint64 statusField(qint64 pid, const QByteArray& field);

}  // namespace test
}  // namespace corvane
