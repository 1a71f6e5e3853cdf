// Entry point of every test program: a Qt application object (QSettings,
// QTimer and sockets need one), settings redirected to a private folder so no
// test writes to the user's or the system's real settings, and logging into a
// private file that tests may read.
#include "test-support.h"

#include "tev-logging.h"

#include <QCoreApplication>
#include <QLocale>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {
QTemporaryDir* privateDir = nullptr;
std::string logPath;
}  // namespace

namespace corvane {
namespace test {

std::string logFilePath() { return logPath; }

QString privateFolder() { return privateDir->path(); }

bool requestedLocaleInEffect() {
    const QString requested = qEnvironmentVariable("CORVANE_TEST_LOCALE");
    if (requested.isEmpty()) return true;
    const QLocale system = QLocale::system();
    return system.name() == requested.section(QLatin1Char('.'), 0, 0) && system.zeroDigit() != QLatin1Char('0');
}

std::string readLog() {
    tev::logging::flush();
    QFile f(QString::fromStdString(logPath));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll().toStdString();
}

void clearLog() {
    // Lines still queued belong before the cut. The logger appends, so the
    // next line lands at the start of the emptied file.
    tev::logging::flush();
    QFile f(QString::fromStdString(logPath));
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
}

}  // namespace test
}  // namespace corvane

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    privateDir = &dir;
    for (auto scope : {QSettings::UserScope, QSettings::SystemScope}) {
        QSettings::setPath(QSettings::NativeFormat, scope, dir.path() + "/settings");
        QSettings::setPath(QSettings::IniFormat, scope, dir.path() + "/settings");
    }
    logPath = (dir.path() + "/test.log").toStdString();
    tev::logging::configure(logPath);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
