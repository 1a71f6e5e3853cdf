// Debian's Chromium, headless, with a profile and a HOME of its own, so that
// its NSS database (the only place it takes TLS roots from on Linux) trusts
// exactly what the test put there and nothing of the machine's user leaks in.
//
// Chromium runs in a session of its own (setsid), so that its helpers
// (zygote, renderer, network and GPU processes) can be ended as one group,
// and nothing else is touched. stop() waits a bounded time, then kills.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <memory>

namespace corvane {
namespace test {

// The browser binary: CORVANE_CHROMIUM when set, else /usr/bin/chromium.
QString chromiumPath();
// Empty when the browser and certutil can be used, else why not.
QString chromiumMissingReason();

class HeadlessChromium {
public:
    // `folder` must exist and be private to this browser; it holds home/,
    // profile/ and chromium.log.
    explicit HeadlessChromium(const QString& folder);
    ~HeadlessChromium();  // stop()
    HeadlessChromium(const HeadlessChromium&) = delete;
    HeadlessChromium& operator=(const HeadlessChromium&) = delete;

    // Creates $HOME/.pki/nssdb; with a root file, adds it as a trusted TLS
    // issuer ("C,,"). False with `error` set when certutil refuses.
    bool createNssDatabase(const QString& trustedRootPem, QString* error);
    // The nicknames certutil lists in the database.
    QString listNssDatabase();

    bool start(const QString& url, const QStringList& extraFlags = {});
    bool running() const;
    // Ends the browser and every process of its session (bounded waits).
    void stop();
    // Processes still alive that belong to this browser (its session, or a
    // command line naming its profile folder).
    QList<qint64> leftoverProcesses() const;

    QString logText() const;  // what Chromium wrote to stderr/stdout
    QString homeFolder() const { return folder + "/home"; }
    QString profileFolder() const { return folder + "/profile"; }
    QStringList arguments() const { return args; }

private:
    QString folder;
    QStringList args;
    std::unique_ptr<QProcess> proc;
    qint64 sessionId = 0;
};

}  // namespace test
}  // namespace corvane
