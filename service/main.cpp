// corvane-service: the signing engine as JSONP over HTTPS on 127.0.0.1:16357.
#include "corvaneclientjsonpservice.h"
#include "crash-handler.h"
#include "descriptor-limit.h"
#include "memory-release.h"
#include "tev-logging.h"

#include <QCoreApplication>
#include <csignal>
#include <iostream>

// The hook for SIGSEGV and SIGABRT: the line "Catastrophic error occurred with
// signal <n>" in the log, then the end of the process.
void SignalHandler(int signal) { corvane::crash::report(signal, nullptr); }

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const std::string folder = QCoreApplication::applicationDirPath().toStdString();
    std::cout << "Starting CorvaneService at path: " << folder << std::endl;
    const std::string logFile = folder + "/logs/corvane-service.log";
    std::cout << "Log file path: " << logFile << std::endl << std::endl;
    tev::logging::configure(logFile);

    // "auto-quit" and any other argument change nothing.
    corvane::crash::prepare("Catastrophic error occurred with signal ");
    corvane::crash::hook(SignalHandler, {SIGSEGV, SIGABRT});
    // A page that goes away mid-answer must not end the agent.
    std::signal(SIGPIPE, SIG_IGN);
    corvane::raiseDescriptorLimit();
    corvane::memory::prepareRelease();

    auto* service = new CorvaneClientJSONPService(&application);
    service->startService();
    return application.exec();
}
