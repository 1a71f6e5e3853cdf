// The service object of corvane-service: loads the card database, puts the TLS
// material and the listener settings into the program's settings and starts
// the HTTP listener with the JSONP controller.
#pragma once

#include "tessaly-connection-handler.h"

#include <QObject>
#include <string>
#include <sys/types.h>

class QCoreApplication;
class QSettings;
class QTimer;

namespace tessaly {
class HttpListener;
}

class CorvaneClientJSONPService : public QObject {
    Q_OBJECT
public:
    explicit CorvaneClientJSONPService(QCoreApplication* application);

    void startService();
    void startService(const wchar_t* configurationPath);
    void loadSSLConfiguration();
    void configureAndStartHttpService();
    // The PID of the corvane-service that already serves, 0 when none does.
    pid_t checkIfApplicationIsAlreadyRunning();
    void resetTimer();

    // The listener, for callers that want to know whether it is listening.
    tessaly::HttpListener* listener() const { return httpListener; }

public Q_SLOTS:
    void onTimeout();
    void handleConnection(tessaly::tSocketDescriptor socketDescriptor);

private:
    void logBanner(const char* middleLine);

    QCoreApplication* application;
    QSettings* settings;
    QTimer* idleTimer = nullptr;
    tessaly::HttpListener* httpListener = nullptr;
};
