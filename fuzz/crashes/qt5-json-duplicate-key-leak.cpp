// Qt 5.15.8 leaks the earlier value of a duplicated key when it is an array or
// an object. Usage: qt5-json-duplicate-key-leak <file with JSON text>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    QFile file(QString::fromLocal8Bit(argv[1]));
    if (!file.open(QIODevice::ReadOnly)) return 2;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    std::printf("parse error %d, object with %d members\n", int(error.error), int(document.object().size()));
    return 0;
}
