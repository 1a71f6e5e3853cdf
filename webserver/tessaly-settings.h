// Settings of the embedded HTTP server, read once into a plain record.
//
// QSettings may not be shared between threads, yet the listener, the pool and
// every connection thread need these values; so the creator of the listener
// reads them once, on its own thread, and each part keeps a copy.
#pragma once

#include <QByteArray>
#include <QString>

class QSettings;

namespace tessaly {

struct HttpServerSettings {
    QString host;                  // "host": address literal to bind; empty = any address
    int port = 0;                  // "port"
    int minThreads = 1;            // "minThreads": idle handlers that cleanup leaves alone
    int maxThreads = 100;          // "maxThreads": largest number of connection handlers
    int cleanupInterval = 1000;    // "cleanupInterval" (ms)
    int readTimeout = 10000;       // "readTimeout" (ms): for a request to begin, then to arrive whole
    int maxRequestSize = 16000;    // "maxRequestSize" (bytes) of a request without multipart body
    int maxMultiPartSize = 1000000;  // "maxMultiPartSize" (bytes) of a multipart request
    QByteArray certBA;             // "certBA": server certificate, PEM
    QByteArray keyBA;              // "keyBA": server RSA private key, PEM, no pass phrase
    QByteArray intermCertificateBA;  // "intermCertificateBA": intermediate certificate, PEM
    QString sslCertFile;           // "sslCertFile": used only when certBA or keyBA is empty
    QString sslKeyFile;            // "sslKeyFile"
    QString settingsFolder;        // folder against which relative sslCertFile/sslKeyFile resolve

    // Reads the keys above from the current group of `settings` (numbers that
    // are not numbers read as 0, as QVariant::toInt does). Call it on the
    // thread that owns `settings`.
    static HttpServerSettings fromSettings(QSettings* settings);
};

}  // namespace tessaly
