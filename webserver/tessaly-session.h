// A shared handle to one client's session data (a small key-value store).
#pragma once

#include <QByteArray>
#include <QMap>
#include <QVariant>

namespace tessaly {

struct HttpSessionData;

class HttpSession {
public:
    // `canStore` false: a null session; true: new data with a fresh random id.
    explicit HttpSession(bool canStore = false);
    HttpSession(const HttpSession& other);
    HttpSession& operator=(const HttpSession& other);
    virtual ~HttpSession();

    QByteArray getId() const;
    bool isNull() const;
    qint64 getLastAccess() const;
    void setLastAccess();
    QVariant get(const QByteArray& key) const;
    bool contains(const QByteArray& key) const;
    void set(const QByteArray& key, const QVariant& value);
    void remove(const QByteArray& key);
    QMap<QByteArray, QVariant> getAll() const;

private:
    static void release(HttpSessionData* data);
    HttpSessionData* dataPtr = nullptr;
};

}  // namespace tessaly
