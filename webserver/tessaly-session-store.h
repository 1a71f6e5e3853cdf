// All sessions of the server by identifier; finds a request's session from
// its cookie, creates sessions, and drops those idle beyond the expiry time.
#pragma once

#include "tessaly-session.h"

#include <QMap>
#include <QObject>
#include <QTimer>
#include <mutex>

class QSettings;

namespace tessaly {

class HttpRequest;
class HttpResponse;

// Session settings, read once (the store is used from many threads).
struct HttpSessionStoreSettings {
    QByteArray cookieName = "sessionid";   // "cookieName"
    int expirationTime = 3600000;          // "expirationTime" (ms idle before expiry; cookie age)
    QByteArray cookiePath;                 // "cookiePath"
    QByteArray cookieComment;              // "cookieComment"
    QByteArray cookieDomain;               // "cookieDomain"

    static HttpSessionStoreSettings fromSettings(QSettings* settings);
};

class HttpSessionStore : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(HttpSessionStore)
public:
    HttpSessionStore(QSettings* settings, QObject* parent = nullptr);
    HttpSessionStore(const HttpSessionStoreSettings& settings, QObject* parent = nullptr);
    ~HttpSessionStore() override;

    QByteArray getSessionId(HttpRequest& request, HttpResponse& response);
    HttpSession getSession(HttpRequest& request, HttpResponse& response, bool allowCreate = true);
    HttpSession getSession(QByteArray id);
    void removeSession(HttpSession session);

private slots:
    // Runs every 60 s on the thread that created the store.
    void sessionTimerEvent();

private:
    void setSessionCookie(HttpResponse& response, const QByteArray& id) const;

    QMap<QByteArray, HttpSession> sessions;
    const HttpSessionStoreSettings settings;
    QTimer sessionTimer;
    QByteArray cookieName;
    int expirationTime;
    std::mutex mutex;   // guards `sessions`
};

}  // namespace tessaly
