#include "tessaly-session-store.h"

#include "tessaly-cookie.h"
#include "tessaly-request.h"
#include "tessaly-response.h"

#include <QDateTime>
#include <QSettings>

namespace tessaly {

HttpSessionStoreSettings HttpSessionStoreSettings::fromSettings(QSettings* settings) {
    HttpSessionStoreSettings s;
    if (!settings) return s;
    s.cookieName = settings->value("cookieName", "sessionid").toByteArray();
    s.expirationTime = settings->value("expirationTime", 3600000).toInt();
    s.cookiePath = settings->value("cookiePath").toByteArray();
    s.cookieComment = settings->value("cookieComment").toByteArray();
    s.cookieDomain = settings->value("cookieDomain").toByteArray();
    return s;
}

HttpSessionStore::HttpSessionStore(QSettings* settings, QObject* parent)
    : HttpSessionStore(HttpSessionStoreSettings::fromSettings(settings), parent) {}

HttpSessionStore::HttpSessionStore(const HttpSessionStoreSettings& settings, QObject* parent)
    : QObject(parent), settings(settings) {
    connect(&sessionTimer, &QTimer::timeout, this, &HttpSessionStore::sessionTimerEvent);
    sessionTimer.start(60000);
    cookieName = settings.cookieName;
    expirationTime = settings.expirationTime;
    qDebug("HttpSessionStore: Sessions expire after %i milliseconds", expirationTime);
}

HttpSessionStore::~HttpSessionStore() { sessionTimer.stop(); }

QByteArray HttpSessionStore::getSessionId(HttpRequest& request, HttpResponse& response) {
    std::unique_lock<std::mutex> locker(mutex);
    QByteArray id;
    const QMap<QByteArray, HttpCookie>& responseCookies = response.getCookies();
    if (responseCookies.contains(cookieName)) id = responseCookies.value(cookieName).getValue();
    if (id.isEmpty()) id = request.getCookie(cookieName);
    if (id.isEmpty()) return id;
    if (!sessions.contains(id)) {
        qDebug("HttpSessionStore: received invalid session cookie with ID %s", id.constData());
        return QByteArray();
    }
    return id;
}

void HttpSessionStore::setSessionCookie(HttpResponse& response, const QByteArray& id) const {
    response.setCookie(HttpCookie(settings.cookieName, id, expirationTime / 1000, settings.cookiePath,
                                  settings.cookieComment, settings.cookieDomain, false, false));
}

HttpSession HttpSessionStore::getSession(HttpRequest& request, HttpResponse& response, bool allowCreate) {
    const QByteArray id = getSessionId(request, response);
    std::unique_lock<std::mutex> locker(mutex);
    if (!id.isEmpty()) {
        const auto found = sessions.constFind(id);
        if (found != sessions.constEnd()) {
            HttpSession session = found.value();
            locker.unlock();
            setSessionCookie(response, id);
            session.setLastAccess();
            return session;
        }
    }
    if (allowCreate) {
        HttpSession session(true);
        qDebug("HttpSessionStore: create new session with ID %s", session.getId().constData());
        sessions.insert(session.getId(), session);
        setSessionCookie(response, session.getId());
        return session;
    }
    return HttpSession();
}

HttpSession HttpSessionStore::getSession(QByteArray id) {
    std::unique_lock<std::mutex> locker(mutex);
    HttpSession session = sessions.value(id);
    locker.unlock();
    session.setLastAccess();
    return session;
}

void HttpSessionStore::removeSession(HttpSession session) {
    std::unique_lock<std::mutex> locker(mutex);
    sessions.remove(session.getId());
}

void HttpSessionStore::sessionTimerEvent() {
    std::unique_lock<std::mutex> locker(mutex);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (auto it = sessions.begin(); it != sessions.end();) {
        if (now - it.value().getLastAccess() > expirationTime) {
            qDebug("HttpSessionStore: session %s expired", it.key().constData());
            it = sessions.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace tessaly
