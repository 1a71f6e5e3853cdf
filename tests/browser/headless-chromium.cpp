#include "headless-chromium.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QThread>
#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace corvane {
namespace test {

namespace {

// A QProcess whose child leads a session of its own.
class SessionProcess : public QProcess {
protected:
    void setupChildProcess() override { ::setsid(); }  // async-signal-safe, between fork and exec
};

// Fields of /proc/<pid>/stat after the command name: state, ppid, pgrp, session.
bool readStat(qint64 pid, char* state, qint64* session) {
    QFile file(QString("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) return false;
    const QByteArray text = file.readAll();
    // The command name is in parentheses and may itself hold blanks or ")".
    const int close = text.lastIndexOf(')');
    if (close < 0) return false;
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    if (fields.size() < 4 || fields[0].isEmpty()) return false;
    *state = fields[0].at(0);
    *session = fields[3].toLongLong();
    return true;
}

QByteArray commandLineOf(qint64 pid) {
    QFile file(QString("/proc/%1/cmdline").arg(pid));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int runCertutil(const QStringList& arguments, QString* output) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.setStandardInputFile(QProcess::nullDevice());
    p.start("certutil", arguments);
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished(5000);
        if (output) *output = "certutil did not finish";
        return -1;
    }
    if (output) *output = QString::fromLocal8Bit(p.readAll());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

}  // namespace

QString chromiumPath() {
    const QByteArray env = qgetenv("CORVANE_CHROMIUM");
    return env.isEmpty() ? QString("/usr/bin/chromium") : QString::fromLocal8Bit(env);
}

QString chromiumMissingReason() {
    const QFileInfo browser(chromiumPath());
    if (!browser.exists() || !browser.isExecutable()) return chromiumPath() + " is not installed (Debian package chromium)";
    if (QStandardPaths::findExecutable("certutil").isEmpty()) return "certutil is not installed (Debian package libnss3-tools)";
    return {};
}

HeadlessChromium::HeadlessChromium(const QString& privateFolder) : folder(privateFolder) {
    QDir().mkpath(homeFolder());
    QDir().mkpath(profileFolder());
}

HeadlessChromium::~HeadlessChromium() { stop(); }

bool HeadlessChromium::createNssDatabase(const QString& trustedRootPem, QString* error) {
    const QString db = homeFolder() + "/.pki/nssdb";
    QDir().mkpath(db);
    QString output;
    if (runCertutil({"-N", "-d", "sql:" + db, "--empty-password"}, &output) != 0) {
        if (error) *error = "certutil -N: " + output;
        return false;
    }
    if (!trustedRootPem.isEmpty() &&
        runCertutil({"-A", "-d", "sql:" + db, "-n", "Corvane test root", "-t", "C,,", "-a", "-i", trustedRootPem},
                    &output) != 0) {
        if (error) *error = "certutil -A: " + output;
        return false;
    }
    return true;
}

QString HeadlessChromium::listNssDatabase() {
    QString output;
    runCertutil({"-L", "-d", "sql:" + homeFolder() + "/.pki/nssdb"}, &output);
    return output;
}

bool HeadlessChromium::start(const QString& url, const QStringList& extraFlags) {
    if (running()) return false;
    proc = std::make_unique<SessionProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", homeFolder());
    env.insert("XDG_CONFIG_HOME", homeFolder() + "/.config");
    env.insert("XDG_CACHE_HOME", homeFolder() + "/.cache");
    env.insert("XDG_DATA_HOME", homeFolder() + "/.local/share");
    // Nothing of a desktop session: no display, no session bus, no keyring.
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"})
        env.remove(name);
    // The sanitizer options of the test run are meant for our programs.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) env.remove(name);
    proc->setProcessEnvironment(env);
    proc->setWorkingDirectory(folder);
    proc->setStandardInputFile(QProcess::nullDevice());
    proc->setStandardOutputFile(folder + "/chromium.log", QIODevice::Append);
    proc->setStandardErrorFile(folder + "/chromium.log", QIODevice::Append);
    args = QStringList{"--headless=new",
                       "--no-sandbox",  // the test runs as root in CI
                       "--disable-gpu",
                       "--no-first-run",
                       "--no-default-browser-check",
                       "--disable-background-networking",
                       "--disable-component-update",
                       "--disable-sync",
                       "--disable-extensions",
                       "--password-store=basic",
                       "--enable-logging=stderr",
                       "--user-data-dir=" + profileFolder()}
           << extraFlags << url;
    proc->start(chromiumPath(), args);
    if (!proc->waitForStarted(10000)) return false;
    sessionId = proc->processId();
    return true;
}

bool HeadlessChromium::running() const { return proc && proc->state() != QProcess::NotRunning; }

QList<qint64> HeadlessChromium::leftoverProcesses() const {
    QList<qint64> pids;
    const QByteArray profileArgument = ("--user-data-dir=" + profileFolder()).toLocal8Bit();
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok || pid == QCoreApplication::applicationPid()) continue;
        char state = 0;
        qint64 session = 0;
        if (!readStat(pid, &state, &session) || state == 'Z') continue;  // gone, or only a zombie
        if ((sessionId > 0 && session == sessionId) || commandLineOf(pid).contains(profileArgument)) pids << pid;
    }
    return pids;
}

void HeadlessChromium::stop() {
    if (!proc) return;
    if (running() && sessionId > 0) {
        ::kill(-static_cast<pid_t>(sessionId), SIGTERM);  // the session leader's process group
        proc->waitForFinished(5000);
    }
    QElapsedTimer timer;
    timer.start();
    for (QList<qint64> left = leftoverProcesses(); !left.isEmpty() && timer.elapsed() < 5000;
         left = leftoverProcesses()) {
        for (qint64 pid : left) ::kill(static_cast<pid_t>(pid), SIGKILL);
        QThread::msleep(50);
    }
    if (running()) {
        proc->kill();
        proc->waitForFinished(5000);
    }
}

QString HeadlessChromium::logText() const {
    QFile file(folder + "/chromium.log");
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
}

}  // namespace test
}  // namespace corvane
