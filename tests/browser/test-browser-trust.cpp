// The trust step as a user takes it: scripts/trust-root.sh on a home of the
// user's, then Debian's Chromium, headless, with that HOME loads the agent's
// "initialize" over JSONP from the real corvane-service on
// https://127.0.0.1:16357. Chromium takes TLS roots only from the NSS
// database in that HOME, so an answer means the script put the build's root
// where this browser reads it; a certificate error leaves the page with 1001.
#include "agent-process.h"
#include "headless-chromium.h"
#include "page-server.h"
#include "tool-run.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

using namespace corvane::test;

namespace {

constexpr quint16 kJsonpPort = 16357;
constexpr int kPageTimeoutMs = 60000;
const char* const kNickname = "Corvane local root";

// A page that loads the agent's client script through the connector, as a
// site would, and reports the outcome to the server it came from.
const char* const kProbePage = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>probe</title></head><body>
<script src="corvane-connector.js"></script>
<script>
CorvaneConnector.load({ transport: "jsonp", timeoutSeconds: 20 }).then(
    function (info) { return { responseCode: "0", clientVersion: String(info.clientVersion) }; },
    function (e) { return { responseCode: String(e.responseCode) }; }
).then(function (outcome) {
    return fetch("/report", { method: "POST", body: JSON.stringify(outcome) });
});
</script>
</body></html>
)";

// The environment of a user's shell with this HOME (not one reached through sudo).
QProcessEnvironment userEnvironment(const QString& home) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home);
    for (const char* name : {"SUDO_USER", "XDG_DATA_HOME", "XDG_CONFIG_HOME"}) env.remove(name);
    return env;
}

// The trust command of the README for the build under test.
ToolRun trustRoot(const QString& home) {
    return runTool("bash", {QString(CORVANE_SOURCE_DIR) + "/scripts/trust-root.sh", binaryDir()},
                      userEnvironment(home));
}

std::string fingerprints(const QList<QSslCertificate>& certificates) {
    QStringList digests;
    for (const QSslCertificate& c : certificates) digests << QString::fromLatin1(c.digest(QCryptographicHash::Sha256).toHex());
    return digests.join(", ").toStdString();
}

// SHA-256 digests of the certificates that an NSS database holds under `kNickname`.
std::string corvaneRootsIn(const QString& database) {
    const ToolRun listed = runTool("certutil", {"-L", "-d", "sql:" + database, "-n", kNickname, "-a"},
                                         QProcessEnvironment::systemEnvironment());
    return listed.exitCode == 0 ? fingerprints(QSslCertificate::fromData(listed.output.toLatin1(), QSsl::Pem))
                                : std::string();
}

std::string buildRoot() { return fingerprints(QSslCertificate::fromPath(rootCertificatePath())); }

class BrowserTrust : public ::testing::Test {
protected:
    static std::unique_ptr<AgentProcess> agent;
    static std::unique_ptr<QTemporaryDir> pageFolder;
    static std::unique_ptr<PageServer> pages;
    static QString failure;

    static void SetUpTestSuite() {
        if (!chromiumMissingReason().isEmpty()) return;
        pageFolder = std::make_unique<QTemporaryDir>();
        const QString connector = QString(CORVANE_SOURCE_DIR) + "/web/corvane-connector.js";
        QFile probe(pageFolder->path() + "/probe.html");
        if (!QFile::copy(connector, pageFolder->path() + "/corvane-connector.js") ||
            !probe.open(QIODevice::WriteOnly) || probe.write(kProbePage) < 0) {
            failure = "the probe page cannot be written";
            return;
        }
        probe.close();
        // Another test program on the agent's port may still be finishing.
        if (!waitForPort(kJsonpPort, false, 30000)) {
            failure = "port 16357 is taken by another program";
            return;
        }
        agent = std::make_unique<AgentProcess>("bin/corvane-service");
        if (!agent->start(kJsonpPort)) {
            failure = "corvane-service did not start listening on 16357";
            return;
        }
        pages = std::make_unique<PageServer>(pageFolder->path());
        if (!pages->listen()) failure = "the page server cannot listen on 127.0.0.1";
    }

    static void TearDownTestSuite() {
        pages.reset();
        agent.reset();  // ends the corvane-service it started
        pageFolder.reset();
    }

    void SetUp() override {
        const QString missing = chromiumMissingReason();
        if (!missing.isEmpty()) GTEST_SKIP() << missing.toStdString();
        ASSERT_TRUE(failure.isEmpty()) << failure.toStdString();
        ASSERT_FALSE(buildRoot().empty()) << "no root certificate at " << rootCertificatePath().toStdString();
    }

    // Opens the probe page in `chromium` and returns the page's report.
    static QJsonObject loadProbe(HeadlessChromium& chromium, QString* log) {
        pages->clear();
        if (!chromium.start(pages->baseUrl() + "/probe.html")) return {};
        const QByteArray report = pages->waitForReport(kPageTimeoutMs, [&] { return !chromium.running(); });
        chromium.stop();
        *log = "requests: " + pages->requestLog().join(", ") + "\nchromium log (end):\n" + chromium.logText().right(3000);
        return QJsonDocument::fromJson(report).object();
    }
};
std::unique_ptr<AgentProcess> BrowserTrust::agent;
std::unique_ptr<QTemporaryDir> BrowserTrust::pageFolder;
std::unique_ptr<PageServer> BrowserTrust::pages;
QString BrowserTrust::failure;

}  // namespace

// A home that no browser has used yet: no NSS database anywhere.
TEST_F(BrowserTrust, OnAFreshHomeTheTrustCommandLetsChromiumReachTheAgent) {
    QTemporaryDir folder;
    HeadlessChromium chromium(folder.path());
    const ToolRun trust = trustRoot(chromium.homeFolder());
    ASSERT_EQ(trust.exitCode, 0) << trust.output.toStdString();
    EXPECT_TRUE(trust.output.contains(kNickname)) << trust.output.toStdString();
    const QString made = chromium.homeFolder() + "/.pki/nssdb";
    EXPECT_EQ(corvaneRootsIn(made), buildRoot()) << trust.output.toStdString();

    QString log;
    const QJsonObject outcome = loadProbe(chromium, &log);
    EXPECT_EQ(outcome["responseCode"].toString().toStdString(), "0") << trust.output.toStdString() << log.toStdString();
    EXPECT_EQ(outcome["clientVersion"].toString().toStdString(), "34") << log.toStdString();

    // A HOME that is not the caller's (sudo -E, su without -) is refused
    // untouched: trust is given by each user for their own browsers. (Only
    // root can hand a folder to another account.)
    if (::geteuid() != 0) return;
    QTemporaryDir foreign;
    ASSERT_EQ(::chown(QFile::encodeName(foreign.path()).constData(), 65534, 65534), 0);
    const ToolRun refused = trustRoot(foreign.path());
    EXPECT_NE(refused.exitCode, 0) << refused.output.toStdString();
    EXPECT_TRUE(refused.output.contains("belongs to")) << refused.output.toStdString();
    EXPECT_TRUE(QDir(foreign.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
}

// A desktop home as Debian 12 leaves it: Chromium has made its database in
// ~/.local/share/pki/nssdb, a Firefox profile has its own, and both hold the
// root of an earlier build under the same name.
TEST_F(BrowserTrust, OnAUsedHomeItReplacesAnEarlierRootInEveryBrowserDatabase) {
    QTemporaryDir folder;
    HeadlessChromium chromium(folder.path());
    const QString home = chromium.homeFolder();
    QString log;
    const QJsonObject before = loadProbe(chromium, &log);
    EXPECT_EQ(before["responseCode"].toString().toStdString(), "1001") << "reached the agent without trust: " << log.toStdString();
    const QString chromiumDb = home + "/.local/share/pki/nssdb";
    ASSERT_TRUE(QFile::exists(chromiumDb + "/cert9.db")) << "Chromium made no database there: " << log.toStdString();
    ASSERT_FALSE(QFile::exists(home + "/.pki/nssdb"));

    QTemporaryDir earlierBuild;
    const ToolRun generated = runTool("bash", {QString(CORVANE_SOURCE_DIR) + "/scripts/gen-tls-material.sh", earlierBuild.path()},
                                     QProcessEnvironment::systemEnvironment());
    ASSERT_EQ(generated.exitCode, 0) << generated.output.toStdString();
    const QString earlierRoot = earlierBuild.path() + "/root.pem";
    const QString firefoxDb = home + "/.mozilla/firefox/k2x9q1zf.default-esr";
    ASSERT_TRUE(QDir().mkpath(firefoxDb));
    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    ASSERT_EQ(runTool("certutil", {"-N", "-d", "sql:" + firefoxDb, "--empty-password"}, env).exitCode, 0);
    for (const QString& db : {chromiumDb, firefoxDb}) {
        const ToolRun added = runTool("certutil", {"-A", "-d", "sql:" + db, "-n", kNickname, "-t", "C,,", "-i", earlierRoot}, env);
        ASSERT_EQ(added.exitCode, 0) << added.output.toStdString();
    }

    const ToolRun trust = trustRoot(home);
    ASSERT_EQ(trust.exitCode, 0) << trust.output.toStdString();
    for (const QString& db : {chromiumDb, firefoxDb}) {
        EXPECT_EQ(corvaneRootsIn(db), buildRoot()) << db.toStdString() << "\n" << trust.output.toStdString();
        EXPECT_TRUE(trust.output.contains(db + " ")) << "not named in the output: " << db.toStdString();
    }
    // Chromium goes on reading the database it made: no other one appears.
    EXPECT_FALSE(QFile::exists(home + "/.pki/nssdb")) << trust.output.toStdString();

    const QJsonObject after = loadProbe(chromium, &log);
    EXPECT_EQ(after["responseCode"].toString().toStdString(), "0") << trust.output.toStdString() << log.toStdString();
}
