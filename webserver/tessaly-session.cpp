#include "tessaly-session.h"

#include <QDateTime>
#include <QUuid>
#include <mutex>
#include <shared_mutex>

namespace tessaly {

struct HttpSessionData {
    QByteArray id;
    qint64 lastAccess = 0;
    int refCount = 0;
    mutable std::shared_mutex lock;
    QMap<QByteArray, QVariant> values;
};

HttpSession::HttpSession(bool canStore) {
    if (!canStore) return;
    dataPtr = new HttpSessionData;
    dataPtr->refCount = 1;
    dataPtr->lastAccess = QDateTime::currentMSecsSinceEpoch();
    // Version 4 UUID from the system's random source, "{8-4-4-4-12}" in lower case.
    dataPtr->id = QUuid::createUuid().toString().toLatin1();
}

HttpSession::HttpSession(const HttpSession& other) : dataPtr(other.dataPtr) {
    if (dataPtr) {
        std::unique_lock<std::shared_mutex> locker(dataPtr->lock);
        dataPtr->refCount++;
    }
}

HttpSession& HttpSession::operator=(const HttpSession& other) {
    HttpSessionData* previous = dataPtr;
    dataPtr = other.dataPtr;
    if (dataPtr) {
        std::unique_lock<std::shared_mutex> locker(dataPtr->lock);
        dataPtr->refCount++;
        dataPtr->lastAccess = QDateTime::currentMSecsSinceEpoch();
    }
    // Raised before lowered, so assigning a handle to itself keeps the data.
    release(previous);
    return *this;
}

HttpSession::~HttpSession() { release(dataPtr); }

void HttpSession::release(HttpSessionData* data) {
    if (!data) return;
    int remaining;
    {
        std::unique_lock<std::shared_mutex> locker(data->lock);
        remaining = --data->refCount;
    }
    if (remaining == 0) {
        qDebug("HttpSession: deleting data");
        delete data;
    }
}

QByteArray HttpSession::getId() const { return dataPtr ? dataPtr->id : QByteArray(); }

bool HttpSession::isNull() const { return dataPtr == nullptr; }

qint64 HttpSession::getLastAccess() const {
    if (!dataPtr) return 0;
    std::shared_lock<std::shared_mutex> locker(dataPtr->lock);
    return dataPtr->lastAccess;
}

void HttpSession::setLastAccess() {
    if (!dataPtr) return;
    std::unique_lock<std::shared_mutex> locker(dataPtr->lock);
    dataPtr->lastAccess = QDateTime::currentMSecsSinceEpoch();
}

QVariant HttpSession::get(const QByteArray& key) const {
    if (!dataPtr) return QVariant();
    std::shared_lock<std::shared_mutex> locker(dataPtr->lock);
    return dataPtr->values.value(key);
}

bool HttpSession::contains(const QByteArray& key) const {
    if (!dataPtr) return false;
    std::shared_lock<std::shared_mutex> locker(dataPtr->lock);
    return dataPtr->values.contains(key);
}

void HttpSession::set(const QByteArray& key, const QVariant& value) {
    if (!dataPtr) return;
    std::unique_lock<std::shared_mutex> locker(dataPtr->lock);
    dataPtr->values.insert(key, value);
}

void HttpSession::remove(const QByteArray& key) {
    if (!dataPtr) return;
    std::unique_lock<std::shared_mutex> locker(dataPtr->lock);
    dataPtr->values.remove(key);
}

QMap<QByteArray, QVariant> HttpSession::getAll() const {
    if (!dataPtr) return {};
    std::shared_lock<std::shared_mutex> locker(dataPtr->lock);
    return dataPtr->values;
}

}  // namespace tessaly
