#include "agent-process.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>
#include <csignal>

namespace corvane {
namespace test {

QString binaryDir() {
    const QByteArray env = qgetenv("CORVANE_BINARY_DIR");
    return env.isEmpty() ? QString(CORVANE_BINARY_DIR) : QString::fromUtf8(env);
}

QString rootCertificatePath() { return binaryDir() + "/tls/root.pem"; }

bool portAcceptsConnections(quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    const bool ok = socket.waitForConnected(500);
    socket.abort();
    return ok;
}

bool waitForPort(quint16 port, bool open, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        if (portAcceptsConnections(port) == open) return true;
        QThread::msleep(50);
    }
    return false;
}

AgentProcess::AgentProcess(const QString& binary, const QStringList& companions) {
    static int counter = 0;
    folder = QDir::tempPath() + QString("/corvane-agent-%1-%2").arg(QCoreApplication::applicationPid()).arg(++counter);
    QDir(folder).removeRecursively();
    QDir().mkpath(folder + "/home");
    for (const QString& file : QStringList{binary} + companions) {
        const QString target = folder + "/" + QFileInfo(file).fileName();
        QFile::copy(binaryDir() + "/" + file, target);
        QFile::setPermissions(target, QFile::permissions(target) | QFileDevice::ExeOwner);
    }
    programPath = folder + "/" + QFileInfo(binary).fileName();
    proc = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", folder + "/home");
    env.insert("XDG_CONFIG_HOME", folder + "/home/.config");
    proc->setProcessEnvironment(env);
    proc->setProgram(programPath);
    proc->setWorkingDirectory(folder);
}

AgentProcess::~AgentProcess() {
    stop();
    // CORVANE_KEEP_AGENT_FOLDER=1 keeps logs and settings for a look after a failure.
    if (qgetenv("CORVANE_KEEP_AGENT_FOLDER") != "1") QDir(folder).removeRecursively();
}

bool AgentProcess::start(quint16 waitPort, int timeoutMs) {
    proc->start();
    if (!proc->waitForStarted(5000)) return false;
    return waitForPort(waitPort, true, timeoutMs);
}

void AgentProcess::stop() {
    if (proc && proc->state() != QProcess::NotRunning) {
        proc->terminate();
        if (!proc->waitForFinished(5000)) {
            proc->kill();
            proc->waitForFinished(5000);
        }
    }
}

QByteArray AgentProcess::standardOutput() {
    // Output reaches QProcess only when it gets to look at its pipe.
    proc->waitForReadyRead(200);
    stdoutSoFar += proc->readAllStandardOutput();
    return stdoutSoFar;
}

static QByteArray dechunk(const QByteArray& raw) {
    QByteArray out;
    int pos = 0;
    while (pos < raw.size()) {
        const int lineEnd = raw.indexOf("\r\n", pos);
        if (lineEnd < 0) break;
        bool ok = false;
        const int size = raw.mid(pos, lineEnd - pos).toInt(&ok, 16);
        if (!ok || size == 0) break;
        out += raw.mid(lineEnd + 2, size);
        pos = lineEnd + 2 + size + 2;
    }
    return out;
}

HttpAnswer curlGet(quint16 port, const QByteArray& query, const QStringList& extra) {
    HttpAnswer answer;
    QProcess curl;
    // --raw keeps the chunk framing so tests see exactly what the server sent.
    QStringList args{"-s", "--raw", "-i", "--max-time", "60", "--cacert", rootCertificatePath()};
    args << extra << QString("https://127.0.0.1:%1/?%2").arg(port).arg(QString::fromLatin1(query));
    curl.start("curl", args);
    if (!curl.waitForFinished(90000)) {
        curl.kill();
        return answer;
    }
    answer.exitCode = curl.exitCode();
    const QByteArray all = curl.readAllStandardOutput();
    const int split = all.indexOf("\r\n\r\n");
    if (split < 0) return answer;
    answer.headers = all.left(split + 2);
    const QByteArray rawBody = all.mid(split + 4);
    const QList<QByteArray> statusLine = answer.headers.left(answer.headers.indexOf("\r\n")).split(' ');
    if (statusLine.size() >= 2) answer.status = statusLine[1].toInt();
    answer.body = answer.headers.toLower().contains("transfer-encoding: chunked") ? dechunk(rawBody) : rawBody;
    return answer;
}

QByteArray jsonpQuery(const QByteArray& callback, const QByteArray& json) {
    return "callback=" + callback + "&parameters=" + QUrl::toPercentEncoding(QString::fromLatin1(json.toBase64()));
}

std::unique_ptr<QSslSocket> openTls(quint16 port, int timeoutMs) {
    auto socket = std::make_unique<QSslSocket>();
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    socket->connectToHostEncrypted("127.0.0.1", port);
    if (!socket->waitForEncrypted(timeoutMs)) return nullptr;
    return socket;
}

QByteArray readUntilClosed(QSslSocket& socket, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    QByteArray all;
    while (socket.state() == QAbstractSocket::ConnectedState && timer.elapsed() < timeoutMs) {
        socket.waitForReadyRead(int(qMax<qint64>(1, qMin<qint64>(200, timeoutMs - timer.elapsed()))));
        all += socket.readAll();
    }
    return all + socket.readAll();
}

qint64 statusField(qint64 pid, const QByteArray& field) {
    QFile status(QString("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field + ":")) return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

qint64 residentKiB(qint64 pid) { return statusField(pid, "VmRSS"); }
qint64 peakResidentKiB(qint64 pid) { return statusField(pid, "VmHWM"); }

bool resetPeakResident(qint64 pid) {
    QFile clearRefs(QString("/proc/%1/clear_refs").arg(pid));
    return clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
}

int openDescriptors(qint64 pid) {
    return QDir(QString("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size();
}

}  // namespace test
}  // namespace corvane
