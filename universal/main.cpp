// corvane-universal: the signing engine over a secure WebSocket on
// 127.0.0.1:16356; starts corvane-service beside itself.
#include "agent-instances.h"
#include "crash-handler.h"
#include "descriptor-limit.h"
#include "memory-release.h"
#include "quessel-universal.h"
#include "tev-logging.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <csignal>

namespace {

void startJSONPService() {
    LOG(INFO) << "CorvaneUniversal Main " << "Starting CorvaneConn.exe application";
    // An earlier corvane-service of this user (from an earlier start, maybe
    // of a binary rebuilt since) would keep the port and answer with its own
    // code: end it, and wait until it has gone, before starting ours.
    for (const pid_t pid : corvane::instances::endAll("corvane-service")) {
        LOG(ERROR) << "CorvaneUniversal Main " << "An earlier corvane-service (PID " << pid << ") did not end";
    }
    const QString folder = QCoreApplication::applicationDirPath();
    LOG(INFO) << "CorvaneUniversal Main " << "Corvane Path: " << folder.toStdString();
    const QString path = QDir::toNativeSeparators(folder + QDir::separator() + "corvane-service");
    // Detached, with null-device stdio: the child outlives this program and
    // must not die of SIGPIPE on pipes that nobody reads once we are gone.
    QProcess child;
    child.setProgram(path);
    child.setStandardInputFile(QProcess::nullDevice());
    child.setStandardOutputFile(QProcess::nullDevice());
    child.setStandardErrorFile(QProcess::nullDevice());
    child.setWorkingDirectory(folder);
    child.startDetached();
}

}  // namespace

// The hook for SIGSEGV: the line "Caught segfault at address0x<address>" in the
// log, then the end of the process.
void segfault_sigaction(int signal, siginfo_t* info, void* /*context*/) {
    corvane::crash::report(signal, info ? info->si_addr : nullptr);
}

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const std::string logFile = QCoreApplication::applicationDirPath().toStdString() + "/logs/corvane-universal.log";
    tev::logging::configure(logFile);
    tev::logging::setProgram(tev::logging::Program::WebSocket);
    corvane::crash::prepare("Caught segfault at address", corvane::crash::Detail::FaultAddress);
    corvane::crash::hook(segfault_sigaction, {SIGSEGV});
    std::signal(SIGPIPE, SIG_IGN);
    corvane::raiseDescriptorLimit();
    corvane::memory::prepareRelease();

    startJSONPService();
    tev::quessel::universal::startService();
    QuesselUniversalServer server(16356, nullptr);
    if (!server.isListening()) return 1;  // the reason is in the log
    return application.exec();
}
