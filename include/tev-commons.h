// Small shared helpers of the engine: byte/hex/Base64 text conversion, the
// time-bounded runner used around vendor module calls, the certificate
// snapshot in system-wide settings, the device fingerprint, Turkish-aware
// title case and the SHA digests.
#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QString>
#include <pthread.h>
#include <string>

class QSettings;

// ---- platform ---------------------------------------------------------------

// Operating-system code of this build as the card database names it
// (6 = "Linux_x64"); the only source of the code passed to the database lookups.
int getOperatingSystem();

// ---- text -------------------------------------------------------------------

// Keeps ASCII letters, digits and blanks (0x20), in order; drops every other
// byte, including all bytes from 0x80 up.
std::string removeNonAlphaNumericCharacters(std::string text);

// NUL-terminated copy in a block of length + 1 chars; the caller releases it
// with delete[]. Text after an embedded zero byte is not copied.
char* stringToChar(std::string text);

// Copy of a NUL-terminated text (a null pointer is not accepted).
std::string charToString(char* text);

// ---- Base64 (RFC 4648 alphabet, "=" padding, no line breaks) ---------------

bool is_base64(unsigned char c);
std::string base64_encode(const unsigned char* bytes, unsigned int length);
std::string base64_encode2(const char* bytes, unsigned int length);
// Decoding stops silently at the first "=" or the first character outside the
// alphabet; a final group of 2 or 3 characters gives 1 or 2 bytes, a lone
// final character nothing. Never throws.
std::string base64_decode(const std::string& text);

// ---- hex --------------------------------------------------------------------

// '0'-'9' for 0-9, 'A'-'F' for 10-15.
char hexDigit(char value);
// Two upper-case hex characters of the byte, high nibble first, WITHOUT a
// terminating zero; the caller releases the block with free().
char* charToHex(char byte);
// *result = upper-case hex text of the bytes, NUL-terminated, in a block of
// 2 x length + 1 bytes from malloc; the caller releases it with free().
void bin_to_strhex(unsigned char* bytes, unsigned int length, char** result);
// *outLength = hex.size() / 2; *out = block of that many bytes from malloc
// (the caller frees it). Each pair is read as strtol base 16 would read it
// ("zz" -> 0x00, "1z" -> 0x01); a lone last character is ignored.
void hexStringToByteArray(const std::string& hex, char** out, int* outLength);

// ---- shared settings and the certificate snapshot ----------------------------

// Process-wide settings object (native format, system scope, organisation
// "Corvane", application "SharedSettings"); never null, not owned by the caller.
QSettings* sharedSettings();

namespace tev {

namespace thread {

// Task record shared by the caller, the worker and the time-out handler of one
// executeMethodWithTimeout call. The record is kept alive until both the
// caller and the worker are done with it, so a worker that finishes late still
// writes into live memory.
//
// Protocol for `method` (it receives a pointer to this record):
//   - read `argument` and do the work;
//   - then, holding `mutex`: if `abandoned` is false, store the results through
//     `argument`, set `done` and signal `condition`; if `abandoned` is true the
//     caller has given up and may already have released what `argument` points
//     to, so the worker must not touch it.
// completeAsyncTask() below does exactly this.
struct AsyncTask {
    pthread_mutex_t mutex;
    pthread_cond_t condition;
    void* argument = nullptr;
    bool done = false;
    // Set by the caller, under `mutex`, when the time limit passed without
    // completion; from then on the worker must leave `argument` alone.
    bool abandoned = false;
};

// Runs method(record) on a new detached thread and waits up to `seconds`
// seconds for `done`. Returns 0 when the method reported completion in time,
// 110 (ETIMEDOUT) when the limit passed (onTimeout(record) has then run once
// on the calling thread, unless completion came in at the very deadline), any
// other wait result unchanged.
int executeMethodWithTimeout(void* (*method)(void*), void* argument, const int& seconds,
                             void (*onTimeout)(void*));

// For workers: under the record's mutex, when the caller still waits, runs
// storeResults(), sets `done` and signals; returns false (and runs nothing)
// when the caller has already given up.
template <typename StoreResults>
bool completeAsyncTask(AsyncTask* task, StoreResults storeResults) {
    pthread_mutex_lock(&task->mutex);
    const bool inTime = !task->abandoned;
    if (inTime) {
        storeResults();
        task->done = true;
        pthread_cond_signal(&task->condition);
    }
    pthread_mutex_unlock(&task->mutex);
    return inTime;
}

}  // namespace thread

namespace device {

// Publishes the certificate list under the snapshot lock. False with `error`
// set when the lock could not be taken or the settings store was not written.
bool writeCertificateSnapshotToSharedSettings(const QJsonArray& certificates, QString& error);

// Hands out the stored snapshot when it differs from the one last marked as
// sent (non-empty `hash`); empty outputs when there is nothing new. False only
// when the lock could not be taken or the stored JSON is unusable.
bool readSnapshotIfChanged(QJsonArray& certificates, QString& hash, QString& error);

// Records `hash` as the snapshot last handed on.
void markSnapshotSent(const QString& hash);

// Human-readable machine details and the SHA-256 fingerprint over them
// (64 lower-case hex characters). Always true.
bool generateUniqueDeviceFingerprint(QString& details, QString& fingerprint);

}  // namespace device

namespace text {

// Turkish-aware title case: lower-cases with Turkish rules (I -> ı, İ -> i),
// collapses white space to single blanks, capitalises the first letter of
// each word (i -> İ, ı -> I).
QString toTitleCaseSmart(const QString& text);

}  // namespace text

namespace runtime {

// Always true; the text (even a null pointer) is not looked at.
bool isURLResolved(const char* url);

}  // namespace runtime

namespace crypto {

// Raw digest bytes (FIPS 180-4).
QByteArray digestSHA1(const QByteArray& data);
QByteArray digestSHA224(const QByteArray& data);
QByteArray digestSHA256(const QByteArray& data);
QByteArray digestSHA384(const QByteArray& data);
QByteArray digestSHA512(const QByteArray& data);

// Digest of the whole file, read in blocks of 4096 bytes; empty when the file
// cannot be opened (logged at ERROR).
QByteArray digestFile(const QString& path, QCryptographicHash::Algorithm algorithm);

}  // namespace crypto

}  // namespace tev
