// One cookie of the embedded HTTP server: what a response sets, in the text
// form of a "Set-Cookie" value, and the splitter for "Cookie" request headers.
#pragma once

#include <QByteArray>
#include <QList>

namespace tessaly {

class HttpCookie {
public:
    HttpCookie();
    HttpCookie(QByteArray name, QByteArray value, int maxAge, QByteArray path = QByteArray(),
               QByteArray comment = QByteArray(), QByteArray domain = QByteArray(),
               bool secure = false, bool httpOnly = false);
    // Reads the text form of a "Set-Cookie" value.
    explicit HttpCookie(QByteArray source);

    // Text form without "Set-Cookie: " and without line end.
    QByteArray toByteArray() const;

    void setName(QByteArray name);
    void setValue(QByteArray value);
    void setComment(QByteArray comment);
    void setDomain(QByteArray domain);
    void setMaxAge(int maxAge);
    void setPath(QByteArray path);
    void setSecure(bool secure);
    void setHttpOnly(bool httpOnly);

    QByteArray getName() const;
    QByteArray getValue() const;
    QByteArray getComment() const;
    QByteArray getDomain() const;
    int getMaxAge() const;
    QByteArray getPath() const;
    bool getSecure() const;
    bool getHttpOnly() const;
    int getVersion() const;

    // Items of a semicolon-separated text; double quotes protect ";" and are dropped.
    static QList<QByteArray> splitCSV(QByteArray source);

private:
    QByteArray name;
    QByteArray value;
    QByteArray comment;
    QByteArray domain;
    int maxAge = 0;
    QByteArray path;
    bool secure = false;
    bool httpOnly = false;
    int version = 1;
};

}  // namespace tessaly
