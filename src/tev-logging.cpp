#include "tev-logging.h"

#include <QDir>
#include <QFileInfo>
#include <QString>

#include <atomic>

INITIALIZE_EASYLOGGINGPP

namespace tev {
namespace logging {

namespace {
std::atomic<Program> currentProgram{Program::Service};
}  // namespace

void setProgram(Program program) { currentProgram.store(program); }

Program program() { return currentProgram.load(); }

void configure(const std::string& logFilePath) {
    const QFileInfo info(QString::fromStdString(logFilePath));
    QDir().mkpath(info.absolutePath());

    el::Configurations conf;
    conf.setToDefault();
    conf.setGlobally(el::ConfigurationType::Enabled, "true");
    conf.setGlobally(el::ConfigurationType::ToFile, "true");
    conf.setGlobally(el::ConfigurationType::ToStandardOutput, "false");
    conf.setGlobally(el::ConfigurationType::Filename, logFilePath);
    conf.setGlobally(el::ConfigurationType::MaxLogFileSize, kMaxLogFileSize);
    conf.setGlobally(el::ConfigurationType::LogFlushThreshold, "1");
    // %datetime takes its own format from the format specifier.
    conf.setGlobally(el::ConfigurationType::Format,
                     "%datetime{%Y-%M-%d %H:%m:%s,%g} %level [%logger] %msg");

    el::Loggers::addFlag(el::LoggingFlag::StrictLogFileSizeCheck);
    el::Loggers::addFlag(el::LoggingFlag::ImmediateFlush);
    el::Loggers::reconfigureLogger("default", conf);
    el::Loggers::setDefaultConfigurations(conf, false);
}

}  // namespace logging
}  // namespace tev
