#include "tessaly-cookie.h"

#include <QtGlobal>

namespace tessaly {

HttpCookie::HttpCookie() = default;

HttpCookie::HttpCookie(QByteArray name, QByteArray value, int maxAge, QByteArray path,
                       QByteArray comment, QByteArray domain, bool secure, bool httpOnly)
    : name(name), value(value), comment(comment), domain(domain), maxAge(maxAge), path(path),
      secure(secure), httpOnly(httpOnly) {}

HttpCookie::HttpCookie(QByteArray source) {
    for (const QByteArray& item : splitCSV(source)) {
        QByteArray attrName;
        QByteArray attrValue;
        const int eq = item.indexOf('=');
        if (eq > 0) {
            attrName = item.left(eq).trimmed();
            attrValue = item.mid(eq + 1).trimmed();
        } else {
            attrName = item.trimmed();
        }
        if (attrName == "Comment") {
            comment = attrValue;
        } else if (attrName == "Domain") {
            domain = attrValue;
        } else if (attrName == "Max-Age") {
            maxAge = attrValue.toInt();
        } else if (attrName == "Path") {
            path = attrValue;
        } else if (attrName == "Secure") {
            secure = true;
        } else if (attrName == "HttpOnly") {
            httpOnly = true;
        } else if (attrName == "Version") {
            version = attrValue.toInt();
        } else if (name.isEmpty()) {
            name = attrName;
            value = attrValue;
        } else {
            qWarning("HttpCookie: Ignoring unknown %s=%s", attrName.constData(), attrValue.constData());
        }
    }
}

QByteArray HttpCookie::toByteArray() const {
    QByteArray text;
    text.append(name).append('=').append(value);
    if (!comment.isEmpty()) text.append("; Comment=").append(comment);
    if (!domain.isEmpty()) text.append("; Domain=").append(domain);
    if (maxAge != 0) text.append("; Max-Age=").append(QByteArray::number(maxAge));
    if (!path.isEmpty()) text.append("; Path=").append(path);
    if (secure) text.append("; Secure");
    if (httpOnly) text.append("; HttpOnly");
    text.append("; Version=").append(QByteArray::number(version));
    return text;
}

void HttpCookie::setName(QByteArray n) { name = n; }
void HttpCookie::setValue(QByteArray v) { value = v; }
void HttpCookie::setComment(QByteArray c) { comment = c; }
void HttpCookie::setDomain(QByteArray d) { domain = d; }
void HttpCookie::setMaxAge(int m) { maxAge = m; }
void HttpCookie::setPath(QByteArray p) { path = p; }
void HttpCookie::setSecure(bool s) { secure = s; }
void HttpCookie::setHttpOnly(bool h) { httpOnly = h; }

QByteArray HttpCookie::getName() const { return name; }
QByteArray HttpCookie::getValue() const { return value; }
QByteArray HttpCookie::getComment() const { return comment; }
QByteArray HttpCookie::getDomain() const { return domain; }
int HttpCookie::getMaxAge() const { return maxAge; }
QByteArray HttpCookie::getPath() const { return path; }
bool HttpCookie::getSecure() const { return secure; }
bool HttpCookie::getHttpOnly() const { return httpOnly; }
int HttpCookie::getVersion() const { return version; }

QList<QByteArray> HttpCookie::splitCSV(QByteArray source) {
    QList<QByteArray> items;
    QByteArray item;
    bool inQuotes = false;
    auto endItem = [&]() {
        item = item.trimmed();
        if (!item.isEmpty()) items.append(item);
        item.clear();
    };
    for (const char c : source) {
        if (c == '"') {
            inQuotes = !inQuotes;   // the quote itself is dropped either way
        } else if (c == ';' && !inQuotes) {
            endItem();
        } else {
            item.append(c);
        }
    }
    endItem();
    return items;
}

}  // namespace tessaly
