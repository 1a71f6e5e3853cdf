#include "tev-commons.h"

#include "tev-logging.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QLockFile>
#include <QRegularExpression>
#include <QSettings>
#include <QStringList>
#include <QSysInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include <ifaddrs.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <sys/socket.h>

namespace {

const std::string base64_chars =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    "abcdefghijklmnopqrstuvwxyz"
    "0123456789+/";

bool isAsciiLetterOrDigit(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

}  // namespace

// ---- platform ---------------------------------------------------------------

int getOperatingSystem() { return 6; }

// ---- text -------------------------------------------------------------------

std::string removeNonAlphaNumericCharacters(std::string text) {
    std::string kept;
    kept.reserve(text.size());
    for (unsigned char c : text)
        if (isAsciiLetterOrDigit(c) || c == ' ') kept += static_cast<char>(c);
    return kept;
}

char* stringToChar(std::string text) {
    char* copy = new char[text.size() + 1];
    std::strcpy(copy, text.c_str());  // stops at an embedded zero byte
    return copy;
}

std::string charToString(char* text) { return std::string(text); }

// ---- Base64 -------------------------------------------------------------------

bool is_base64(unsigned char c) { return isAsciiLetterOrDigit(c) || c == '+' || c == '/'; }

std::string base64_encode(const unsigned char* bytes, unsigned int length) {
    std::string out;
    unsigned char group[3];
    unsigned int i = 0;
    while (length - i >= 3) {
        group[0] = bytes[i];
        group[1] = bytes[i + 1];
        group[2] = bytes[i + 2];
        out += base64_chars[group[0] >> 2];
        out += base64_chars[((group[0] & 0x03) << 4) | (group[1] >> 4)];
        out += base64_chars[((group[1] & 0x0F) << 2) | (group[2] >> 6)];
        out += base64_chars[group[2] & 0x3F];
        i += 3;
    }
    const unsigned int remaining = length - i;
    if (remaining > 0) {
        group[0] = bytes[i];
        group[1] = remaining > 1 ? bytes[i + 1] : 0;
        group[2] = 0;
        const char chars[4] = {base64_chars[group[0] >> 2],
                               base64_chars[((group[0] & 0x03) << 4) | (group[1] >> 4)],
                               base64_chars[((group[1] & 0x0F) << 2) | (group[2] >> 6)],
                               base64_chars[group[2] & 0x3F]};
        for (unsigned int k = 0; k < remaining + 1; ++k) out += chars[k];
        for (unsigned int k = remaining + 1; k < 4; ++k) out += '=';
    }
    return out;
}

std::string base64_encode2(const char* bytes, unsigned int length) {
    return base64_encode(reinterpret_cast<const unsigned char*>(bytes), length);
}

std::string base64_decode(const std::string& text) {
    std::string out;
    unsigned char group[4];
    int k = 0;
    for (unsigned char c : text) {
        if (c == '=' || !is_base64(c)) break;
        group[k++] = static_cast<unsigned char>(base64_chars.find(static_cast<char>(c)));
        if (k == 4) {
            out += static_cast<char>((group[0] << 2) | (group[1] >> 4));
            out += static_cast<char>(((group[1] & 0x0F) << 4) | (group[2] >> 2));
            out += static_cast<char>(((group[2] & 0x03) << 6) | group[3]);
            k = 0;
        }
    }
    if (k > 1) {
        for (int j = k; j < 4; ++j) group[j] = 0;
        const char bytes[3] = {static_cast<char>((group[0] << 2) | (group[1] >> 4)),
                               static_cast<char>(((group[1] & 0x0F) << 4) | (group[2] >> 2)),
                               static_cast<char>(((group[2] & 0x03) << 6) | group[3])};
        out.append(bytes, static_cast<std::size_t>(k - 1));
    }
    return out;
}

// ---- hex --------------------------------------------------------------------

char hexDigit(char value) {
    const int v = value & 0x0F;
    return static_cast<char>(v < 10 ? '0' + v : 'A' + v - 10);
}

char* charToHex(char byte) {
    char* out = static_cast<char*>(std::malloc(2));
    const unsigned char b = static_cast<unsigned char>(byte);
    out[0] = hexDigit(static_cast<char>(b >> 4));
    out[1] = hexDigit(static_cast<char>(b & 0x0F));
    return out;
}

void bin_to_strhex(unsigned char* bytes, unsigned int length, char** result) {
    char* out = static_cast<char*>(std::malloc(2 * static_cast<std::size_t>(length) + 1));
    out[2 * static_cast<std::size_t>(length)] = '\0';
    for (unsigned int i = 0; i < length; ++i) {
        out[2 * i] = hexDigit(static_cast<char>(bytes[i] >> 4));
        out[2 * i + 1] = hexDigit(static_cast<char>(bytes[i] & 0x0F));
    }
    *result = out;
}

void hexStringToByteArray(const std::string& hex, char** out, int* outLength) {
    const std::size_t count = hex.size() / 2;
    // One byte more than needed, so an empty text still gets a block of its own.
    char* bytes = static_cast<char*>(std::malloc(count + 1));
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        const char pair[3] = {hex[i], hex[i + 1], '\0'};
        bytes[i / 2] = static_cast<char>(std::strtol(pair, nullptr, 16) & 0xFF);
    }
    *out = bytes;
    *outLength = static_cast<int>(count);
}

// ---- shared settings ------------------------------------------------------------

QSettings* sharedSettings() {
    static QSettings settings(QSettings::NativeFormat, QSettings::SystemScope, "Corvane", "SharedSettings");
    return &settings;
}

namespace {

const char* const kSnapshotLockPath = "/var/tmp/corvane_cert_snapshot.lock";
constexpr int kSnapshotStaleLockMs = 5000;
constexpr int kSnapshotLockWaitMs = 2000;

// One QSettings object is not safe for concurrent use; the service runs
// commands on several threads, so the snapshot functions take turns on it.
std::mutex& sharedSettingsMutex() {
    static std::mutex m;
    return m;
}

QString utcNowIso() { return QDateTime::currentDateTimeUtc().toString(Qt::ISODate); }

}  // namespace

namespace tev {

// ---- time-bounded runner ----------------------------------------------------------

namespace thread {

namespace {

void releaseTask(AsyncTask* task) {
    pthread_cond_destroy(&task->condition);
    pthread_mutex_destroy(&task->mutex);
    delete task;
}

// What the worker thread owns: its share of the task record.
struct WorkerStart {
    std::shared_ptr<AsyncTask> task;
    void* (*method)(void*);
};

void* runWorker(void* start) {
    std::unique_ptr<WorkerStart> own(static_cast<WorkerStart*>(start));
    own->method(own->task.get());
    return nullptr;  // the record is released by whichever side finishes last
}

}  // namespace

int executeMethodWithTimeout(void* (*method)(void*), void* argument, const int& seconds,
                             void (*onTimeout)(void*)) {
    LOG(INFO) << "Creating async task";
    const int limit = seconds;

    std::shared_ptr<AsyncTask> task(new AsyncTask(), releaseTask);
    pthread_mutex_init(&task->mutex, nullptr);
    // A monotonic clock: setting the wall clock must not stretch or cut the wait.
    pthread_condattr_t conditionAttributes;
    pthread_condattr_init(&conditionAttributes);
    pthread_condattr_setclock(&conditionAttributes, CLOCK_MONOTONIC);
    pthread_cond_init(&task->condition, &conditionAttributes);
    pthread_condattr_destroy(&conditionAttributes);
    task->argument = argument;
    task->done = false;
    task->abandoned = false;

    // Held from before the worker starts until the wait releases it, so a
    // completion cannot slip in between.
    pthread_mutex_lock(&task->mutex);
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += limit > 0 ? limit : 0;

    if (method) {
        auto* start = new WorkerStart{task, method};
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t worker;
        const int created = pthread_create(&worker, &attributes, runWorker, start);
        pthread_attr_destroy(&attributes);
        if (created != 0) {
            delete start;
            LOG(ERROR) << "tev: " << "cannot start async task thread: " << created;
        }
    }
    LOG(INFO) << "started async task";

    int result = 0;
    for (;;) {
        result = pthread_cond_timedwait(&task->condition, &task->mutex, &deadline);
        if (task->done || result != 0) break;  // 0 without done: spurious wake-up
    }
    LOG(INFO) << "tev: " << "async task result: " << result;

    const bool completed = task->done;
    if (!completed) task->abandoned = true;  // a late worker must leave `argument` alone
    pthread_mutex_unlock(&task->mutex);
    if (result == ETIMEDOUT && !completed && onTimeout) onTimeout(task.get());

    LOG(INFO) << "Completed executing async task";
    return result;
}

}  // namespace thread

// ---- certificate snapshot and fingerprint -------------------------------------------

namespace device {

bool writeCertificateSnapshotToSharedSettings(const QJsonArray& certificates, QString& error) {
    error.clear();
    const QByteArray json = QJsonDocument(certificates).toJson(QJsonDocument::Compact);
    const QString hash = QString::fromLatin1(QCryptographicHash::hash(json, QCryptographicHash::Sha256).toHex());

    QLockFile lock(QString::fromLatin1(kSnapshotLockPath));
    lock.setStaleLockTime(kSnapshotStaleLockMs);
    if (!lock.tryLock(kSnapshotLockWaitMs)) {
        error = "Could not acquire lock to write snapshot.";
        return false;
    }

    std::lock_guard<std::mutex> guard(sharedSettingsMutex());
    const QSettings* shared = sharedSettings();
    // QSettings keeps the first error it met for the rest of the object's
    // life, so the shared object cannot tell whether THIS write reached the
    // store. A writer of our own over the same store can; objects of one
    // process over one file share their data, so the shared object sees the
    // new values at once.
    QSettings writer(shared->format(), shared->scope(), shared->organizationName(), shared->applicationName());
    writer.setValue("shared/cert_snapshot/version", QString("1"));
    writer.setValue("shared/cert_snapshot/json", QString::fromUtf8(json));
    writer.setValue("shared/cert_snapshot/hash", hash);
    writer.setValue("shared/cert_snapshot/updatedAtUtc", utcNowIso());
    writer.sync();
    const QSettings::Status status = writer.status();
    lock.unlock();
    if (status != QSettings::NoError) {
        error = "Could not write snapshot to shared settings.";
        LOG(ERROR) << "Could not write snapshot to shared settings " << writer.fileName().toStdString()
                   << " (status " << static_cast<int>(status) << ")";
        return false;
    }
    return true;
}

bool readSnapshotIfChanged(QJsonArray& certificates, QString& hash, QString& error) {
    error.clear();
    certificates = QJsonArray();
    hash.clear();

    QLockFile lock(QString::fromLatin1(kSnapshotLockPath));
    lock.setStaleLockTime(kSnapshotStaleLockMs);
    if (!lock.tryLock(kSnapshotLockWaitMs)) {
        error = "Could not acquire lock to read snapshot.";
        return false;
    }
    std::lock_guard<std::mutex> guard(sharedSettingsMutex());
    QSettings* settings = sharedSettings();
    settings->sync();  // pick up what another process wrote since our last look
    const QString json = settings->value("shared/cert_snapshot/json").toString();
    const QString storedHash = settings->value("shared/cert_snapshot/hash").toString();
    lock.unlock();

    if (json.isEmpty() || storedHash.isEmpty()) return true;
    if (settings->value("manager/lastSentHash").toString() == storedHash) return true;

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isArray()) {
        error = "Snapshot JSON parse error.";
        return false;
    }
    certificates = document.array();
    hash = storedHash;
    return true;
}

void markSnapshotSent(const QString& hash) {
    std::lock_guard<std::mutex> guard(sharedSettingsMutex());
    QSettings* settings = sharedSettings();
    settings->setValue("manager/lastSentHash", hash);
    settings->setValue("manager/lastSentAtUtc", utcNowIso());
    settings->sync();
}

namespace {

struct InterfaceAddress {
    QString name;
    QString hardwareAddress;
};

// Up, non-loopback interfaces with their link-layer address, in the order the
// kernel lists them.
QList<InterfaceAddress> hardwareAddresses() {
    QList<InterfaceAddress> found;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return found;
    for (ifaddrs* it = list; it; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_PACKET) continue;
        if (!(it->ifa_flags & IFF_UP) || (it->ifa_flags & IFF_LOOPBACK)) continue;
        const auto* link = reinterpret_cast<const sockaddr_ll*>(it->ifa_addr);
        QStringList octets;
        for (int i = 0; i < link->sll_halen && i < 8; ++i)
            octets << QString("%1").arg(link->sll_addr[i], 2, 16, QChar('0')).toUpper();
        found.append({QString::fromLocal8Bit(it->ifa_name), octets.join(':')});
    }
    freeifaddrs(list);
    return found;
}

}  // namespace

bool generateUniqueDeviceFingerprint(QString& details, QString& fingerprint) {
    const QString productType = QSysInfo::productType();
    const QString productVersion = QSysInfo::productVersion();
    const QString kernelType = QSysInfo::kernelType();
    const QString kernelVersion = QSysInfo::kernelVersion();
    const QString architecture = QSysInfo::currentCpuArchitecture();
    const QString hostName = QSysInfo::machineHostName();

    QStringList lines;
    lines << "OS: " + productType + " " + productVersion;
    lines << "Kernel: " + kernelType + " " + kernelVersion;
    lines << "CPU Arch: " + architecture;
    lines << "Hostname: " + hostName;
    QStringList parts = {productType, productVersion, kernelType, kernelVersion, architecture, hostName};

    for (const InterfaceAddress& iface : hardwareAddresses()) {
        if (iface.hardwareAddress.isEmpty()) continue;
        lines << "MAC (" + iface.name + "): " + iface.hardwareAddress;
        parts << iface.hardwareAddress;
    }

    details = lines.join('\n');
    fingerprint = QString::fromLatin1(
        QCryptographicHash::hash(parts.join('|').toUtf8(), QCryptographicHash::Sha256).toHex());
    return true;
}

}  // namespace device

// ---- title case -------------------------------------------------------------------

namespace text {

namespace {

// Turkish lower case: dotted and dotless I keep their identity.
QString turkishLower(const QString& text) {
    QString mapped = text;
    mapped.replace(QChar(0x0049), QChar(0x0131));  // I -> ı
    mapped.replace(QChar(0x0130), QChar(0x0069));  // İ -> i
    return mapped.toLower();
}

QString turkishUpper(uint codePoint) {
    if (codePoint == 0x0069) return QString(QChar(0x0130));  // i -> İ
    if (codePoint == 0x0131) return QString(QChar(0x0049));  // ı -> I
    return QString::fromUcs4(&codePoint, 1).toUpper();
}

bool isWordLetter(uint codePoint) {
    if (codePoint < 0x80) return (codePoint >= 'A' && codePoint <= 'Z') || (codePoint >= 'a' && codePoint <= 'z');
    return QChar::isLetter(codePoint);
}

QString capitaliseFirstLetter(const QString& word) {
    for (int i = 0; i < word.size(); ++i) {
        uint codePoint = word[i].unicode();
        int width = 1;
        if (word[i].isHighSurrogate() && i + 1 < word.size() && word[i + 1].isLowSurrogate()) {
            codePoint = QChar::surrogateToUcs4(word[i], word[i + 1]);
            width = 2;
        }
        if (isWordLetter(codePoint)) return word.left(i) + turkishUpper(codePoint) + word.mid(i + width);
        i += width - 1;
    }
    return word;
}

}  // namespace

QString toTitleCaseSmart(const QString& text) {
    static const QRegularExpression whiteSpace("\\s+");
    const QStringList words = turkishLower(text).split(whiteSpace, Qt::SkipEmptyParts);
    QStringList titled;
    for (const QString& word : words) titled << capitaliseFirstLetter(word);
    return titled.join(' ');
}

}  // namespace text

namespace runtime {

bool isURLResolved(const char*) { return true; }

}  // namespace runtime

// ---- digests ------------------------------------------------------------------------

namespace crypto {

QByteArray digestSHA1(const QByteArray& data) { return QCryptographicHash::hash(data, QCryptographicHash::Sha1); }
QByteArray digestSHA224(const QByteArray& data) { return QCryptographicHash::hash(data, QCryptographicHash::Sha224); }
QByteArray digestSHA256(const QByteArray& data) { return QCryptographicHash::hash(data, QCryptographicHash::Sha256); }
QByteArray digestSHA384(const QByteArray& data) { return QCryptographicHash::hash(data, QCryptographicHash::Sha384); }
QByteArray digestSHA512(const QByteArray& data) { return QCryptographicHash::hash(data, QCryptographicHash::Sha512); }

QByteArray digestFile(const QString& path, QCryptographicHash::Algorithm algorithm) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        LOG(ERROR) << "PKCS11 : " << "!!!!!! Cannot open file " << path.toUtf8().toStdString();
        return QByteArray();
    }
    QCryptographicHash hash(algorithm);
    for (;;) {
        const QByteArray block = file.read(4096);
        if (block.isEmpty()) break;  // end of file, or a read error
        hash.addData(block);
    }
    file.close();
    return hash.result();
}

}  // namespace crypto

}  // namespace tev
