#include "tessaly-static-file-controller.h"

#include "tessaly-request.h"
#include "tessaly-response.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <stdexcept>

namespace tessaly {

namespace {

constexpr qint64 kPiece = 65536;

bool isResourcePath(const QString& path) { return path.startsWith(":/") || path.startsWith("qrc://"); }

}  // namespace

StaticFileControllerSettings StaticFileControllerSettings::fromSettings(QSettings* settings) {
    StaticFileControllerSettings s;
    if (!settings) return s;
    s.maxAge = settings->value("maxAge", "60000").toInt();
    s.encoding = settings->value("encoding", "UTF-8").toString();
    s.path = settings->value("path", ".").toString();
    if (!isResourcePath(s.path) && QFileInfo(s.path).isRelative()) {
        const QString folder = QFileInfo(settings->fileName()).absolutePath();
        s.path = QDir::cleanPath(QDir(folder).absoluteFilePath(s.path));
    }
    s.maxCachedFileSize = settings->value("maxCachedFileSize", "65536").toInt();
    s.cacheSize = settings->value("cacheSize", "1000000").toInt();
    s.cacheTime = settings->value("cacheTime", "60000").toInt();
    return s;
}

StaticFileController::StaticFileController(QSettings* settings, QObject* parent)
    : StaticFileController(StaticFileControllerSettings::fromSettings(settings), parent) {}

StaticFileController::StaticFileController(const StaticFileControllerSettings& settings, QObject* parent)
    : HttpRequestHandler(parent) {
    maxAge = settings.maxAge;
    encoding = settings.encoding;
    docroot = settings.path;
    if (!isResourcePath(docroot) && QFileInfo(docroot).isRelative()) {
        docroot = QDir::cleanPath(QDir::current().absoluteFilePath(docroot));
    }
    qDebug("StaticFileController: docroot=%s, encoding=%s, maxAge=%i", qPrintable(docroot), qPrintable(encoding),
           maxAge);
    maxCachedFileSize = settings.maxCachedFileSize;
    cache.setMaxCost(settings.cacheSize);
    cacheTimeout = settings.cacheTime;
    qDebug("StaticFileController: cache timeout=%i, size=%i", cacheTimeout, cache.maxCost());
}

StaticFileController::~StaticFileController() { cache.clear(); }

void StaticFileController::forbidden(HttpResponse& response) const {
    response.setStatus(403, "forbidden");
    response.write("403 forbidden", true);
}

// The file, symbolic links resolved, must lie below the document root, also
// resolved: a link inside the root must not lead out of it.
bool StaticFileController::insideDocroot(const QString& fileName) const {
    if (isResourcePath(docroot)) return true;   // compiled in; holds no links
    QString root = QFileInfo(docroot).canonicalFilePath();
    const QString canonical = QFileInfo(fileName).canonicalFilePath();
    if (root.isEmpty() || canonical.isEmpty()) return false;
    if (!root.endsWith('/')) root += '/';
    return canonical.startsWith(root);
}

void StaticFileController::service(HttpRequest& request, HttpResponse& response) {
    const QByteArray path = request.getPath();
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QByteArray cacheControl = "max-age=" + QByteArray::number(maxAge / 1000);

    // A path must name something below the root: it starts with "/" (else it
    // would extend the root's own name), holds no NUL (which would cut the
    // name short) and no "/.." (which would climb out).
    if (!path.startsWith('/') || path.contains('\0') || path.contains("/..")) {
        qWarning("StaticFileController: detected forbidden characters in path %s", path.constData());
        forbidden(response);
        return;
    }

    const QString key = QString::fromUtf8(path);
    {
        std::unique_lock<std::mutex> locker(mutex);
        const CacheEntry* entry = cache.object(key);
        if (entry && (cacheTimeout == 0 || entry->created > now - cacheTimeout)) {
            const QByteArray document = entry->document;
            const QByteArray filename = entry->filename;
            locker.unlock();
            qDebug("StaticFileController: Cache hit for %s", path.constData());
            setContentType(QString::fromUtf8(filename), response);
            response.setHeader("Cache-Control", cacheControl);
            response.write(document, false);
            return;
        }
    }
    qDebug("StaticFileController: Cache miss for %s", path.constData());

    QByteArray openedPath = path;
    QString fileName = docroot + key;
    if (QFileInfo(fileName).isDir()) {
        openedPath += "/index.html";
        fileName += "/index.html";
    }
    const QFileInfo info(fileName);
    if (info.exists() && !insideDocroot(fileName)) {
        qWarning("StaticFileController: %s lies outside the document root", qPrintable(fileName));
        forbidden(response);
        return;
    }
    if (info.exists() && !info.isFile()) {
        // A FIFO or device would block or never end; only regular files are served.
        qWarning("StaticFileController: Cannot open existing file %s for reading", qPrintable(fileName));
        forbidden(response);
        return;
    }

    qDebug("StaticFileController: Open file %s", qPrintable(fileName));
    QFile file(fileName);
    if (file.open(QIODevice::ReadOnly)) {
        setContentType(QString::fromUtf8(openedPath), response);
        response.setHeader("Cache-Control", cacheControl);
        const bool cacheIt = file.size() <= maxCachedFileSize;
        QByteArray document;
        while (!file.atEnd() && file.error() == QFileDevice::NoError) {
            const QByteArray buffer = file.read(kPiece);
            if (buffer.isEmpty()) break;
            if (cacheIt) document.append(buffer);
            response.write(buffer, false);
        }
        const bool readFailed = file.error() != QFileDevice::NoError;
        file.close();
        if (readFailed) {
            // The pieces sent so far must not pass for the whole file, neither
            // in the cache nor to the client: the connection handler drops the
            // connection when service() throws.
            qCritical("StaticFileController: read error in %s", qPrintable(fileName));
            throw std::runtime_error("read error in a static file");
        }
        if (cacheIt) {
            auto* entry = new CacheEntry;
            entry->document = document;
            entry->created = now;
            entry->filename = openedPath;
            const int cost = document.size();
            std::unique_lock<std::mutex> locker(mutex);
            cache.insert(key, entry, cost);   // takes the entry; drops it if it alone exceeds the maximum
        }
    } else if (file.exists()) {
        qWarning("StaticFileController: Cannot open existing file %s for reading", qPrintable(fileName));
        forbidden(response);
    } else {
        response.setStatus(404, "not found");
        response.write("404 not found", true);
    }
}

void StaticFileController::setContentType(QString fileName, HttpResponse& response) const {
    static const struct {
        const char* ending;
        const char* type;
        bool withCharset;
    } kTypes[] = {
        {".png", "image/png", false},
        {".jpg", "image/jpeg", false},
        {".gif", "image/gif", false},
        {".pdf", "application/pdf", false},
        {".txt", "text/plain", true},
        {".html", "text/html", true},
        {".htm", "text/html", true},
        {".css", "text/css", false},
        {".js", "text/javascript", false},
        {".svg", "image/svg+xml", false},
        {".woff", "font/woff", false},
        {".woff2", "font/woff2", false},
        {".ttf", "application/x-font-ttf", false},
        {".eot", "application/vnd.ms-fontobject", false},
        {".otf", "application/font-otf", false},
    };
    for (const auto& entry : kTypes) {
        if (fileName.endsWith(QLatin1String(entry.ending), Qt::CaseSensitive)) {
            QByteArray type = entry.type;
            if (entry.withCharset) type += "; charset=" + encoding.toUtf8();
            response.setHeader("Content-Type", type);
            return;
        }
    }
    qDebug("StaticFileController: unknown MIME type for filename '%s'", qPrintable(fileName));
}

}  // namespace tessaly
