// Certificate snapshot in the shared settings (round trip, lock, mark-sent,
// a store that cannot be written), device fingerprint, title case.
#include "tev-commons.h"

#include "test-support.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QNetworkInterface>
#include <QSettings>
#include <QSysInfo>
#include <gtest/gtest.h>

using namespace tev::device;

namespace {

const char* const kLockPath = "/var/tmp/corvane_cert_snapshot.lock";

QJsonArray certificateList(const QString& serial) {
    QJsonObject c;
    c["serialNumber"] = serial;
    c["subject"] = QString::fromUtf8("ŞAHİN IŞIK ");
    return QJsonArray{c};
}

// What another process sees in the store.
QString storedValue(const QString& key) {
    QSettings other(QSettings::NativeFormat, QSettings::SystemScope, "Corvane", "SharedSettings");
    return other.value(key).toString();
}

}  // namespace

TEST(Snapshot, SettingsAreRedirectedAwayFromTheSystemScope) {
    const QString file = sharedSettings()->fileName();
    EXPECT_TRUE(file.startsWith(corvane::test::privateFolder())) << file.toStdString();
    EXPECT_EQ(sharedSettings(), sharedSettings());
}

TEST(Snapshot, RoundTripWithMarkSent) {
    QString error = "stale";
    ASSERT_TRUE(writeCertificateSnapshotToSharedSettings(QJsonArray(), error)) << error.toStdString();
    EXPECT_TRUE(error.isEmpty());
    EXPECT_EQ(storedValue("shared/cert_snapshot/json"), "[]");
    EXPECT_EQ(storedValue("shared/cert_snapshot/hash"),
              QCryptographicHash::hash("[]", QCryptographicHash::Sha256).toHex());
    EXPECT_EQ(storedValue("shared/cert_snapshot/version"), "1");
    const QDateTime updated = QDateTime::fromString(storedValue("shared/cert_snapshot/updatedAtUtc"), Qt::ISODate);
    ASSERT_TRUE(updated.isValid());
    EXPECT_LE(qAbs(updated.secsTo(QDateTime::currentDateTimeUtc())), 60);

    const QJsonArray list = certificateList("1234567890");
    ASSERT_TRUE(writeCertificateSnapshotToSharedSettings(list, error));
    const QByteArray compact = QJsonDocument(list).toJson(QJsonDocument::Compact);
    const QString expectedHash = QCryptographicHash::hash(compact, QCryptographicHash::Sha256).toHex();

    QJsonArray read;
    QString hash;
    ASSERT_TRUE(readSnapshotIfChanged(read, hash, error)) << error.toStdString();
    EXPECT_EQ(read, list);
    EXPECT_EQ(hash, expectedHash);

    markSnapshotSent(hash);
    EXPECT_EQ(storedValue("manager/lastSentHash"), expectedHash);
    EXPECT_TRUE(QDateTime::fromString(storedValue("manager/lastSentAtUtc"), Qt::ISODate).isValid());
    ASSERT_TRUE(readSnapshotIfChanged(read, hash, error));
    EXPECT_TRUE(read.isEmpty());
    EXPECT_TRUE(hash.isEmpty());

    // A new list, written by another process, shows up again.
    const QJsonArray other = certificateList("99");
    const QByteArray otherJson = QJsonDocument(other).toJson(QJsonDocument::Compact);
    {
        QSettings writer(QSettings::NativeFormat, QSettings::SystemScope, "Corvane", "SharedSettings");
        writer.setValue("shared/cert_snapshot/json", QString::fromUtf8(otherJson));
        writer.setValue("shared/cert_snapshot/hash",
                        QString(QCryptographicHash::hash(otherJson, QCryptographicHash::Sha256).toHex()));
        writer.sync();
        ASSERT_EQ(writer.status(), QSettings::NoError);
    }
    ASSERT_TRUE(readSnapshotIfChanged(read, hash, error));
    EXPECT_EQ(read, other);
    EXPECT_FALSE(hash.isEmpty());

    // Writing again the list already marked as sent brings nothing new;
    // a different list does.
    ASSERT_TRUE(writeCertificateSnapshotToSharedSettings(list, error));
    ASSERT_TRUE(readSnapshotIfChanged(read, hash, error));
    EXPECT_TRUE(read.isEmpty());
    EXPECT_TRUE(hash.isEmpty());
    const QJsonArray third = certificateList("777");
    ASSERT_TRUE(writeCertificateSnapshotToSharedSettings(third, error));
    ASSERT_TRUE(readSnapshotIfChanged(read, hash, error));
    EXPECT_EQ(read, third);
    EXPECT_EQ(hash, QString(QCryptographicHash::hash(QJsonDocument(third).toJson(QJsonDocument::Compact),
                                                     QCryptographicHash::Sha256).toHex()));
}

TEST(Snapshot, UnusableStoredJson) {
    QSettings* s = sharedSettings();
    s->setValue("shared/cert_snapshot/json", "{\"not\":\"an array\"}");
    s->setValue("shared/cert_snapshot/hash", "0123");
    s->sync();
    QJsonArray read{1};
    QString hash = "x", error;
    EXPECT_FALSE(readSnapshotIfChanged(read, hash, error));
    EXPECT_EQ(error, "Snapshot JSON parse error.");
    EXPECT_TRUE(read.isEmpty());
    EXPECT_TRUE(hash.isEmpty());

    s->setValue("shared/cert_snapshot/json", "[1,");
    s->sync();
    EXPECT_FALSE(readSnapshotIfChanged(read, hash, error));
    EXPECT_EQ(error, "Snapshot JSON parse error.");

    // Nothing stored counts as nothing new.
    s->remove("shared/cert_snapshot/json");
    s->sync();
    EXPECT_TRUE(readSnapshotIfChanged(read, hash, error));
    EXPECT_TRUE(error.isEmpty());
    EXPECT_TRUE(hash.isEmpty());
}

TEST(Snapshot, WriteReportsAStoreThatCannotBeWritten) {
    QString error;
    ASSERT_TRUE(writeCertificateSnapshotToSharedSettings(certificateList("1"), error));
    const QString file = sharedSettings()->fileName();
    // A folder where the settings file must go: no write can succeed, even as root.
    ASSERT_TRUE(QFile::remove(file));
    ASSERT_TRUE(QDir().mkpath(file));
    const bool written = writeCertificateSnapshotToSharedSettings(certificateList("2"), error);
    QDir().rmdir(file);
    EXPECT_FALSE(written);
    EXPECT_EQ(error, "Could not write snapshot to shared settings.");

    // Once the store is usable again, writing succeeds again.
    EXPECT_TRUE(writeCertificateSnapshotToSharedSettings(certificateList("3"), error)) << error.toStdString();
    EXPECT_TRUE(error.isEmpty());
    EXPECT_TRUE(QFileInfo(file).isFile());
    EXPECT_TRUE(storedValue("shared/cert_snapshot/json").contains("\"3\""));
}

TEST(Snapshot, LockHeldElsewhereFailsBothWays) {
    QLockFile holder(kLockPath);
    holder.setStaleLockTime(0);  // this holder never gives its lock up to staleness
    ASSERT_TRUE(holder.tryLock(5000)) << "lock file busy: " << kLockPath;
    QString error;
    EXPECT_FALSE(writeCertificateSnapshotToSharedSettings(certificateList("4"), error));
    EXPECT_EQ(error, "Could not acquire lock to write snapshot.");
    QJsonArray read;
    QString hash;
    EXPECT_FALSE(readSnapshotIfChanged(read, hash, error));
    EXPECT_EQ(error, "Could not acquire lock to read snapshot.");
    holder.unlock();
    EXPECT_TRUE(writeCertificateSnapshotToSharedSettings(certificateList("4"), error));
}

TEST(Fingerprint, DetailsAndDigest) {
    QString details, fingerprint;
    ASSERT_TRUE(generateUniqueDeviceFingerprint(details, fingerprint));

    // The interface list as Qt's network module sees it.
    QStringList expectedLines = {
        "OS: " + QSysInfo::productType() + " " + QSysInfo::productVersion(),
        "Kernel: " + QSysInfo::kernelType() + " " + QSysInfo::kernelVersion(),
        "CPU Arch: " + QSysInfo::currentCpuArchitecture(), "Hostname: " + QSysInfo::machineHostName()};
    QStringList parts = {QSysInfo::productType(),   QSysInfo::productVersion(),         QSysInfo::kernelType(),
                         QSysInfo::kernelVersion(), QSysInfo::currentCpuArchitecture(), QSysInfo::machineHostName()};
    for (const QNetworkInterface& i : QNetworkInterface::allInterfaces()) {
        if (!(i.flags() & QNetworkInterface::IsUp) || (i.flags() & QNetworkInterface::IsLoopBack)) continue;
        if (i.hardwareAddress().isEmpty()) continue;
        expectedLines << "MAC (" + i.humanReadableName() + "): " + i.hardwareAddress();
        parts << i.hardwareAddress();
    }
    EXPECT_EQ(details, expectedLines.join('\n'));
    EXPECT_EQ(details.split('\n').size(), expectedLines.size());
    EXPECT_EQ(fingerprint, QCryptographicHash::hash(parts.join('|').toUtf8(), QCryptographicHash::Sha256).toHex());
    EXPECT_EQ(fingerprint.size(), 64);
}

TEST(TitleCase, TurkishRules) {
    using tev::text::toTitleCaseSmart;
    EXPECT_EQ(toTitleCaseSmart("  elma \t  ARMUT  "), "Elma Armut");
    EXPECT_EQ(toTitleCaseSmart("KIRMIZI"), QString::fromUtf8("Kırmızı"));
    EXPECT_EQ(toTitleCaseSmart("istanbul"), QString::fromUtf8("İstanbul"));
    EXPECT_EQ(toTitleCaseSmart(QString::fromUtf8("İZMİR ırmak")), QString::fromUtf8("İzmir Irmak"));
    EXPECT_EQ(toTitleCaseSmart("(ankara)"), "(Ankara)");
    EXPECT_EQ(toTitleCaseSmart(QString::fromUtf8("ŞAHİN ÇAĞLAR ÖZ")), QString::fromUtf8("Şahin Çağlar Öz"));
    EXPECT_EQ(toTitleCaseSmart("123 -- x"), "123 -- X");
    EXPECT_EQ(toTitleCaseSmart(""), "");
    EXPECT_EQ(toTitleCaseSmart(" \n "), "");
}

TEST(Runtime, UrlAlwaysResolved) {
    EXPECT_TRUE(tev::runtime::isURLResolved("https://example.invalid/"));
    EXPECT_TRUE(tev::runtime::isURLResolved(""));
    EXPECT_TRUE(tev::runtime::isURLResolved(nullptr));
}
