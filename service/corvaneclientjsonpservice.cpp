#include "corvaneclientjsonpservice.h"

#include "agent-instances.h"
#include "request-envelope.h"
#include "tessaly-listener.h"
#include "tev-commons.h"
#include "tev-logging.h"
#include "tev-resources.h"
#include "tev-smartcard.h"
#include "tls-material.h"
#include "zuservicecontroller.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTextStream>
#include <QTimer>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Ends a start-up that cannot serve: the reason is in the log, the status says it failed.
[[noreturn]] void abandonStartUp() {
    tev::logging::flush();
    std::exit(1);
}

// Makes the settings folder readable by the user only (0700) and the settings
// file too (0600), creating both if needed, whatever the umask. The file gets
// the private key: it must never exist, not even for a moment, where another
// local account can read it. QSettings replaces the file through a temporary
// file in the same folder, so the folder's mode is what protects every copy.
bool keepPrivate(const QString& settingsFile, std::string& reason) {
    const QString folder = QFileInfo(settingsFile).absolutePath();
    if (!QDir().mkpath(folder)) {
        reason = "cannot create " + folder.toStdString();
        return false;
    }
    const QByteArray folderPath = QFile::encodeName(folder);
    if (chmod(folderPath.constData(), S_IRWXU) != 0) {
        reason = "cannot make " + folder.toStdString() + " private: " + std::strerror(errno);
        return false;
    }
    const QByteArray filePath = QFile::encodeName(settingsFile);
    const int fd = open(filePath.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) {
        reason = "cannot open " + settingsFile.toStdString() + ": " + std::strerror(errno);
        return false;
    }
    const bool madePrivate = fchmod(fd, S_IRUSR | S_IWUSR) == 0;
    const int savedErrno = errno;
    close(fd);
    if (!madePrivate) {
        reason = "cannot make " + settingsFile.toStdString() + " private: " + std::strerror(savedErrno);
        return false;
    }
    return true;
}

}  // namespace

CorvaneClientJSONPService::CorvaneClientJSONPService(QCoreApplication* app) : QObject(nullptr) {
    if (const pid_t serving = checkIfApplicationIsAlreadyRunning()) {
        // Not a failure: the user is served, by the other one.
        LOG(INFO) << "JSONP Service: " << "Another corvane-service (PID " << serving
                  << ") already serves; this one steps aside";
        tev::logging::flush();
        qDebug() << "Quiting application";
        std::exit(0);
    }
    application = app;
    settings = new QSettings(QSettings::NativeFormat, QSettings::UserScope, "Corvane",
                             "CorvaneJSONPService");
    settings->beginGroup("listener");
}

pid_t CorvaneClientJSONPService::checkIfApplicationIsAlreadyRunning() {
    // Another corvane-service of this user already serves the port (or is
    // about to: of two started at once, the later one steps aside).
    return corvane::instances::earlierInstance("corvane-service");
}

void CorvaneClientJSONPService::logBanner(const char* middleLine) {
    LOG(INFO) << "JSONP Service: " << corvane::envelope::separatorLine();
    LOG(INFO) << "JSONP Service: " << middleLine;
    LOG(INFO) << "JSONP Service: " << corvane::envelope::separatorLine();
}

void CorvaneClientJSONPService::startService() {
    tev::resources::ensureRegistered();
    QFile resource(":/new/rs/smartcard-config.xml");
    resource.open(QIODevice::ReadOnly | QIODevice::Text);
    QTextStream stream(&resource);
    const QByteArray xml = stream.readAll().toUtf8();
    tev::smartcard::configure(xml.constData());
    logBanner("CorvaneService Started Successfully");
    loadSSLConfiguration();
    configureAndStartHttpService();
}

void CorvaneClientJSONPService::startService(const wchar_t* configurationPath) {
    tev::smartcard::configure(configurationPath);
    logBanner("CorvaneLocalService Started Successfully");
    loadSSLConfiguration();
    configureAndStartHttpService();
}

void CorvaneClientJSONPService::loadSSLConfiguration() {
    std::string reason;
    if (!keepPrivate(settings->fileName(), reason)) {
        LOG(ERROR) << "JSONP Service: " << "Not writing the TLS key into the settings: " << reason;
        abandonStartUp();
    }
    const std::pair<const std::string*, const char*> material[] = {
        {&ENCODED_CERTIFICATE, "certBA"},
        {&ENCODED_INTERM_CERTIFICATE, "intermCertificateBA"},
        {&ENCODED_PRIVATE_KEY, "keyBA"},
    };
    for (const auto& [encoded, key] : material) {
        const std::string scrambled = base64_decode(*encoded);
        settings->setValue(key, QByteArray::fromStdString(encryptDecrypt(scrambled)));
    }
}

void CorvaneClientJSONPService::configureAndStartHttpService() {
    settings->setValue("port", 16357);
    settings->setValue("host", "127.0.0.1");
    settings->setValue("minThreads", "4");
    settings->setValue("maxThreads", "100");
    settings->setValue("cleanupInterval", "60000");
    settings->setValue("readTimeout", "60000");
    settings->setValue("maxRequestSize", "16000");
    settings->setValue("maxMultiPartSize", "10000000");
    settings->sync();
    auto* controller = new ZuServiceController(this);
    httpListener = new tessaly::HttpListener(settings, controller, this);
    if (!httpListener->isListening()) {
        LOG(ERROR) << "JSONP Service: " << "Cannot listen on 127.0.0.1:16357: "
                   << httpListener->errorString().toStdString();
        delete httpListener;  // ends its handler threads before the process ends
        httpListener = nullptr;
        abandonStartUp();
    }
}

void CorvaneClientJSONPService::resetTimer() {
    qDebug() << "Restarting the timer";
    if (!idleTimer) return;
    idleTimer->stop();
    idleTimer->setInterval(10000);
    idleTimer->start();
}

void CorvaneClientJSONPService::handleConnection(tessaly::tSocketDescriptor) {
    qDebug() << "Restarting the timer";
    if (!idleTimer) return;
    idleTimer->stop();
    idleTimer->setInterval(300000);
    idleTimer->start();
}

void CorvaneClientJSONPService::onTimeout() { qDebug() << "Quitting application"; }
