// A request handler that sends the file below a document root named by the
// request path, with a content type, a caching header and a small memory cache.
#pragma once

#include "tessaly-request-handler.h"

#include <QCache>
#include <QString>
#include <mutex>

class QSettings;

namespace tessaly {

// Read once at construction.
struct StaticFileControllerSettings {
    int maxAge = 60000;               // "maxAge" (ms) announced in Cache-Control
    QString encoding = "UTF-8";       // "encoding" of text/plain and text/html
    QString path = ".";               // "path": document root (absolute, relative or ":/" resource)
    int maxCachedFileSize = 65536;    // "maxCachedFileSize" (bytes)
    int cacheSize = 1000000;          // "cacheSize" (bytes, total)
    int cacheTime = 60000;            // "cacheTime" (ms); 0 = no time limit

    // A relative "path" resolves against the folder of the settings file.
    static StaticFileControllerSettings fromSettings(QSettings* settings);
};

class StaticFileController : public HttpRequestHandler {
    Q_OBJECT
    Q_DISABLE_COPY(StaticFileController)
public:
    StaticFileController(QSettings* settings, QObject* parent = nullptr);
    // A relative path in the record resolves against the current folder.
    StaticFileController(const StaticFileControllerSettings& settings, QObject* parent = nullptr);
    ~StaticFileController() override;

    void service(HttpRequest& request, HttpResponse& response) override;
    void setContentType(QString fileName, HttpResponse& response) const;

private:
    struct CacheEntry {
        QByteArray document;
        qint64 created = 0;
        QByteArray filename;
    };
    void forbidden(HttpResponse& response) const;
    bool insideDocroot(const QString& fileName) const;

    QString encoding;
    QString docroot;
    int maxAge;
    int cacheTimeout;
    int maxCachedFileSize;
    QCache<QString, CacheEntry> cache;
    std::mutex mutex;   // guards `cache`
};

}  // namespace tessaly
