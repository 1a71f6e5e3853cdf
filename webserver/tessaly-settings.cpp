#include "tessaly-settings.h"

#include <QFileInfo>
#include <QSettings>

namespace tessaly {

HttpServerSettings HttpServerSettings::fromSettings(QSettings* settings) {
    HttpServerSettings s;
    if (!settings) return s;
    s.host = settings->value("host").toString();
    s.port = settings->value("port", 0).toInt();
    s.minThreads = settings->value("minThreads", 1).toInt();
    s.maxThreads = settings->value("maxThreads", 100).toInt();
    s.cleanupInterval = settings->value("cleanupInterval", 1000).toInt();
    s.readTimeout = settings->value("readTimeout", 10000).toInt();
    s.maxRequestSize = settings->value("maxRequestSize", "16000").toInt();
    s.maxMultiPartSize = settings->value("maxMultiPartSize", "1000000").toInt();
    s.certBA = settings->value("certBA").toByteArray();
    s.keyBA = settings->value("keyBA").toByteArray();
    s.intermCertificateBA = settings->value("intermCertificateBA").toByteArray();
    s.sslCertFile = settings->value("sslCertFile", "").toString();
    s.sslKeyFile = settings->value("sslKeyFile", "").toString();
    s.settingsFolder = QFileInfo(settings->fileName()).absolutePath();
    return s;
}

}  // namespace tessaly
