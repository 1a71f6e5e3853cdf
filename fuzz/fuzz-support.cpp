#include "fuzz-support.h"

#include <QCoreApplication>
#include <QDir>
#include <QString>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "tev-logging.h"

namespace corvane {
namespace fuzz {

namespace {

QString& folder() {
    static QString path;
    return path;
}

// The web server and the XAdES builder write diagnostics to Qt's message log
// for every refused input; printed, they would slow the run down and bury the
// fuzzer's own report. CORVANE_FUZZ_VERBOSE=1 keeps them.
void dropMessage(QtMsgType, const QMessageLogContext&, const QString&) {}

// CORVANE_FUZZ_KEEP=1 keeps the work folder (the engine's log) for a look
// after a failure.
void removeWorkFolder() {
    if (!folder().isEmpty() && qgetenv("CORVANE_FUZZ_KEEP") != "1") QDir(folder()).removeRecursively();
}

}  // namespace

void initialize(int* argc, char*** argv, const char* name) {
    // Kept until exit: the engine reads the program folder and Qt's state
    // from it on every request.
    static QCoreApplication* application = new QCoreApplication(*argc, *argv);
    (void)application;
    if (qgetenv("CORVANE_FUZZ_VERBOSE") != "1") qInstallMessageHandler(dropMessage);
    folder() = QDir::tempPath() + QString("/corvane-fuzz-%1-%2").arg(name).arg(getpid());
    QDir(folder()).removeRecursively();
    QDir().mkpath(folder());
    std::atexit(removeWorkFolder);
    // The engine logs every request; the file is emptied at 10000 bytes, so
    // it stays small however long the run.
    tev::logging::configure((folder() + "/" + name + ".log").toStdString());
}

QString workFolder() { return folder(); }

void fail(const std::string& what) {
    std::fprintf(stderr, "corvane-fuzz: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

void checkAnswerShape(const std::string& answer, const char* who) {
    if (answer.size() < 2 || answer.front() != '[' || answer.back() != ']') {
        fail(std::string(who) + " answered a text that is not a JSON array: " + answer.substr(0, 200));
    }
}

}  // namespace fuzz
}  // namespace corvane
