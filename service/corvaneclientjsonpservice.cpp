#include "corvaneclientjsonpservice.h"

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
#include <QFile>
#include <QSettings>
#include <QTextStream>
#include <QTimer>
#include <cstdlib>

CorvaneClientJSONPService::CorvaneClientJSONPService(QCoreApplication* app) : QObject(nullptr) {
    if (checkIfApplicationIsAlreadyRunning()) {
        qDebug() << "Quiting application";
        std::exit(0);
    }
    application = app;
    settings = new QSettings(QSettings::NativeFormat, QSettings::UserScope, "Corvane",
                             "CorvaneJSONPService");
    settings->beginGroup("listener");
}

bool CorvaneClientJSONPService::checkIfApplicationIsAlreadyRunning() {
    // The probe asks the Windows process list; Linux has none to ask, so no
    // earlier instance is ever detected here and nothing is spawned. A second
    // instance simply fails to bind its port and serves nothing.
    return false;
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
