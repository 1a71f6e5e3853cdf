// The whole system as its users meet it: Debian's Chromium, headless, opens
// the example page from a loopback server of this test, trusts the build's
// TLS root only through its own NSS database, and runs the page's automated
// run against the real corvane-universal (which starts corvane-service beside
// it) over JSONP (https://127.0.0.1:16357) and over the secure WebSocket
// (wss://127.0.0.1:16356): "initialize", the card list, the certificates of
// the simulated AKIS card in the rig's pcscd, and CAdES-BES, XAdES-BES
// enveloping and enveloped signatures. The page reports to this test's server;
// the signatures are then checked with openssl and xmlsec1 against the card's
// CA, never against bytes of our own.
#include "agent-process.h"
#include "card-simulator.h"
#include "headless-chromium.h"
#include "page-server.h"
#include "rig-pcsc.h"
#include "rig-readers.h"
#include "tool-run.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSslCertificate>
#include <QSslKey>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>
#include <gtest/gtest.h>
#include <csignal>
#include <memory>

using namespace corvane::test;

namespace {

constexpr quint16 kWsPort = 16356;
constexpr quint16 kJsonpPort = 16357;
constexpr int kRunTimeoutMs = 120000;

// A PIN that no log line or Base64 text carries by chance.
const char* const kPin = "739164";

// What the page is asked to sign: non-ASCII text (UTF-8 through the page's
// Base64) and characters that a sloppy fragment or query decoder mangles.
const QString kText = QString::fromUtf8("Tarayıcıdan imzalanan belge: çğıöşü ÇĞİÖŞÜ € a+b=c & 100%\n");
const QString kXml = QString::fromUtf8(
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    "<fatura xmlns=\"urn:corvane:ornek\"><alici>Çağrı Öztürk</alici><tutar para=\"TRY\">1250.50</tutar></fatura>");

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// XPath 1.0 over a document with xmllint (string(...) or count(...)).
QString xpath(const QString& file, const QString& expression) {
    const ToolRun run = runTool("xmllint", {"--xpath", expression, file});
    return run.exitCode == 0 ? run.output.trimmed() : QString("<xmllint: %1>").arg(run.output);
}

// PIDs of live processes whose executable lies in `folder`.
QList<qint64> processesIn(const QString& folder) {
    QList<qint64> pids;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok) continue;
        if (QFile::symLinkTarget("/proc/" + entry + "/exe").startsWith(folder + "/")) pids << pid;
    }
    return pids;
}

// Sends `signal` to the processes, then waits (bounded) until they are gone.
bool endProcesses(const QList<qint64>& pids, int signal, int timeoutMs) {
    for (qint64 pid : pids) ::kill(static_cast<pid_t>(pid), signal);
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        bool alive = false;
        for (qint64 pid : pids) alive |= QFile::exists(QString("/proc/%1/exe").arg(pid)) && ::kill(static_cast<pid_t>(pid), 0) == 0;
        if (!alive) return true;
        QThread::msleep(50);
    }
    return false;
}

// The two programs' log files as they are now: a run must add to the log of
// the program behind its transport and leave the other's alone.
struct LogSnapshot {
    QByteArray service;
    QByteArray universal;
};

// One automated run of the page in a fresh browser.
struct PageRun {
    QByteArray report;        // the page's report as it arrived
    QJsonObject results;      // the same, parsed
    QStringList requests;     // what the browser asked our server for
    QString chromiumLog;
    QList<qint64> leftovers;  // browser processes still alive after stop()
    QString setupError;
    LogSnapshot logsBefore, logsAfter;

    QJsonObject step(const char* name) const { return results["steps"].toObject()[name].toObject(); }
    std::string describe() const {
        // Chromium's complaints about the missing desktop session are noise here.
        QStringList lines;
        for (const QString& line : chromiumLog.split('\n')) {
            if (!line.contains("dbus") && !line.contains("zygote") && !line.trimmed().isEmpty()) lines << line;
        }
        const QString log = lines.join('\n').right(4000);
        return QString("\nsetup: %1\nrequests: %2\nreport: %3\nchromium log (end):\n%4")
            .arg(setupError, requests.join(", "), QString::fromUtf8(report.left(6000)), log)
            .toStdString();
    }
};

// The key of a certificate in the words the page shows ("RSA 2048", "ECC P-256"),
// as Qt reads it from the certificate.
QString keyTypeOf(const QByteArray& certificateDer) {
    const QSslKey key = QSslCertificate(certificateDer, QSsl::Der).publicKey();
    if (key.algorithm() == QSsl::Rsa) return QString("RSA %1").arg(key.length());
    if (key.algorithm() == QSsl::Ec) return QString("ECC P-%1").arg(key.length());
    return "other";
}

const char* const kNoAnswerMeaning = "no answer from the agent: not running, or its certificate not trusted";

QByteArray fragmentPart(const char* key, const QString& value) {
    return QByteArray(key) + "=" + QUrl::toPercentEncoding(value);
}

class BrowserE2E : public ::testing::Test {
protected:
    struct Shared {
        std::unique_ptr<cardsim::Card> akis;
        std::unique_ptr<QTemporaryDir> material;  // the card's CA and certificates
        std::unique_ptr<AgentProcess> agent;
        std::unique_ptr<PageServer> pages;
        QString failure;  // set when bringing the parts up failed
    };
    static Shared* shared;

    void SetUp() override {
        const QString missing = chromiumMissingReason();
        if (!missing.isEmpty()) GTEST_SKIP() << missing.toStdString();
        RIG_REQUIRE_PCSCD();
        if (!shared) bringUp();
        ASSERT_TRUE(shared->failure.isEmpty()) << shared->failure.toStdString();
    }

    static void bringUp() {
        shared = new Shared;
        Shared& s = *shared;
        const QString webFolder = QString(CORVANE_SOURCE_DIR) + "/web";
        for (const char* file : {"example.html", "corvane-connector.js"}) {
            if (!QFile::exists(webFolder + "/" + file)) {
                s.failure = webFolder + "/" + file + " is missing";
                return;
            }
        }
        // Another test program on the agent's ports may still be finishing.
        if (!waitForPort(kWsPort, false, 30000) || !waitForPort(kJsonpPort, false, 30000)) {
            s.failure = "ports 16356/16357 are taken by another program";
            return;
        }
        try {
            cardsim::CardOptions options;
            options.pin = kPin;
            s.akis = std::make_unique<cardsim::Card>(cardsim::Profile::Akis1, options);
            s.akis->insertInto(rig::kReaderAkisPort);
        } catch (const std::exception& e) {
            s.failure = QString("the simulated AKIS card cannot be inserted: ") + e.what();
            return;
        }
        s.material = std::make_unique<QTemporaryDir>();
        s.akis->writeMaterial(s.material->path().toStdString());
        s.agent = std::make_unique<AgentProcess>("bin/corvane-universal", QStringList{"bin/corvane-service"});
        if (!s.agent->start(kWsPort)) {
            s.failure = "corvane-universal did not start listening on 16356";
            return;
        }
        if (!waitForPort(kJsonpPort, true, 20000)) {
            s.failure = "corvane-universal did not start corvane-service (16357)";
            return;
        }
        s.pages = std::make_unique<PageServer>(webFolder);
        if (!s.pages->listen()) s.failure = "the page server cannot listen on 127.0.0.1";
    }

public:
    // Once, after every suite of this program (the wrong-PIN suite shares the parts).
    static void tearDownShared() {
        if (!shared) return;
        if (shared->agent) {
            // End corvane-universal, then the corvane-service it started: the
            // one whose executable lies in our private program folder.
            const qint64 universal = shared->agent->process().processId();
            QList<qint64> service = processesIn(shared->agent->programFolder());
            service.removeAll(universal);
            shared->agent->stop();
            if (!endProcesses(service, SIGTERM, 10000)) endProcesses(service, SIGKILL, 5000);
        }
        shared->pages.reset();
        shared->agent.reset();
        shared->akis.reset();  // pulls the card
        delete shared;
        shared = nullptr;
    }

protected:
    static cardsim::Card& card() { return *shared->akis; }
    static LogSnapshot logs() {
        return {readFile(shared->agent->logFile("corvane-service.log")),
                readFile(shared->agent->logFile("corvane-universal.log"))};
    }
    static QString caPem() { return shared->material->path() + "/ca.pem"; }

    // Opens the example page in a fresh headless Chromium and waits for its report.
    static PageRun runPage(const QString& transport, const QString& pin, bool trustRoot) {
        PageRun run;
        QTemporaryDir browserFolder;
        HeadlessChromium chromium(browserFolder.path());
        QString error;
        if (!chromium.createNssDatabase(trustRoot ? rootCertificatePath() : QString(), &error)) {
            run.setupError = error;
            return run;
        }
        PageServer& pages = *shared->pages;
        QByteArray fragment = "autorun=1";
        fragment += "&" + fragmentPart("transport", transport);
        fragment += "&" + fragmentPart("pin", pin);
        fragment += "&" + fragmentPart("reportUrl", pages.baseUrl() + "/report");
        fragment += "&" + fragmentPart("text", kText);
        fragment += "&" + fragmentPart("xml", kXml);
        fragment += "&" + fragmentPart("signatureNodeXPath", "/*");
        pages.clear();
        pages.setStartFragment(fragment);
        run.logsBefore = logs();
        if (!chromium.start(pages.baseUrl() + "/start")) {
            run.setupError = "chromium did not start";
            return run;
        }
        // A browser that dies early ends the wait at once.
        run.report = pages.waitForReport(kRunTimeoutMs, [&] { return !chromium.running(); });
        const bool browserGone = !chromium.running();
        chromium.stop();
        run.logsAfter = logs();
        run.leftovers = chromium.leftoverProcesses();
        run.requests = pages.requestLog();
        run.chromiumLog = chromium.logText();
        run.results = QJsonDocument::fromJson(run.report).object();
        if (run.report.isEmpty()) run.setupError = browserGone ? "no report: the browser ended early" : "no report in time";
        return run;
    }

    // Every check of one complete, successful run over `transport`.
    static void expectEverythingSignedAndVerified(const PageRun& run, const QString& transport) {
        ASSERT_FALSE(run.report.isEmpty()) << run.describe();
        EXPECT_TRUE(run.leftovers.isEmpty()) << "browser processes left behind";
        // The page came from our server, with its scripts, and reported once.
        for (const char* line : {"GET /start 302", "GET /example.html 200", "GET /corvane-connector.js 200",
                                 "POST /report 204"})
            EXPECT_TRUE(run.requests.contains(line)) << line << run.describe();
        EXPECT_FALSE(run.report.contains(kPin)) << "the report carries the PIN";

        EXPECT_EQ(run.results["transport"].toString(), transport);
        // The requests went to the program behind the transport, and only there.
        const bool overJsonp = transport == "jsonp";
        EXPECT_NE(run.logsAfter.service == run.logsBefore.service, overJsonp) << "corvane-service log";
        EXPECT_NE(run.logsAfter.universal == run.logsBefore.universal, !overJsonp) << "corvane-universal log";
        EXPECT_EQ(run.results["error"], QJsonValue()) << run.describe();
        EXPECT_EQ(run.step("initialize")["responseCode"].toString(), "0") << run.describe();
        EXPECT_EQ(run.results["clientVersion"].toString(), "34") << run.describe();

        // The rig's AKIS card in the first reader, as the agent lists it.
        const QJsonObject terminals = run.step("listTerminals");
        EXPECT_EQ(terminals["responseCode"].toString(), "0") << run.describe();
        const QJsonObject chosen = run.results["card"].toObject();
        EXPECT_EQ(chosen["terminal"].toString(), rig::kReaderAkis.name) << run.describe();
        EXPECT_EQ(chosen["library"].toString(), "akisp11");
        EXPECT_EQ(chosen["slotId"].toString(), QString::number(rig::kReaderAkis.slot));

        // The certificate the page signed with is one of the card's own.
        EXPECT_EQ(run.step("listCertificates")["responseCode"].toString(), "0") << run.describe();
        const QJsonObject certificate = run.results["certificate"].toObject();
        const cardsim::KeyMaterial* key = nullptr;
        for (const cardsim::KeyMaterial& k : card().keys()) {
            if (QString::fromStdString(k.serialDecimal) == certificate["serialNumber"].toString()) key = &k;
        }
        ASSERT_NE(key, nullptr) << "the listed serial is none of the card's: " << run.describe();
        const QByteArray cardCertificateDer(reinterpret_cast<const char*>(key->certificateDer.data()),
                                            static_cast<int>(key->certificateDer.size()));
        EXPECT_EQ(certificate["certificateHex"].toString().toLower().toLatin1(), cardCertificateDer.toHex());
        // The page names the key of every certificate it lists.
        const QJsonArray listed = run.step("listCertificates")["certificates"].toArray();
        EXPECT_EQ(listed.size(), static_cast<int>(card().keys().size())) << run.describe();
        for (const QJsonValue& entry : listed) {
            const QByteArray der = QByteArray::fromHex(entry["certificateHex"].toString().toLatin1());
            EXPECT_EQ(entry["keyType"].toString(), keyTypeOf(der)) << run.describe();
        }
        EXPECT_EQ(certificate["keyType"].toString(), keyTypeOf(cardCertificateDer));

        QTemporaryDir work;
        const QString dir = work.path();
        auto signatureOf = [&](const char* step) {
            const QJsonObject s = run.step(step);
            EXPECT_EQ(s["responseCode"].toString(), "0") << step << run.describe();
            return QByteArray::fromBase64(s["signature"].toString().toLatin1());
        };

        // CAdES-BES, attached: OpenSSL checks the chain to the card's CA, the
        // signing-certificate-v2 attribute and the signature; the content it
        // hands out is our text, byte for byte, and the signer is the card's
        // certificate.
        const QByteArray cades = signatureOf("cadesBes");
        ASSERT_FALSE(cades.isEmpty()) << run.describe();
        ASSERT_TRUE(writeFile(dir + "/cades.der", cades));
        const ToolRun cms = runTool("openssl", {"cms", "-verify", "-cades", "-binary", "-inform", "DER", "-in",
                                                dir + "/cades.der", "-CAfile", caPem(), "-out", dir + "/cades.out",
                                                "-signer", dir + "/signer.pem"});
        EXPECT_EQ(cms.exitCode, 0) << cms.output.toStdString();
        EXPECT_TRUE(cms.output.contains("CAdES Verification successful")) << cms.output.toStdString();
        EXPECT_EQ(readFile(dir + "/cades.out"), kText.toUtf8());
        const QList<QSslCertificate> signer = QSslCertificate::fromPath(dir + "/signer.pem");
        ASSERT_EQ(signer.size(), 1);
        EXPECT_EQ(signer[0].toDer(), cardCertificateDer);

        // XAdES-BES: xmlsec1 checks every reference, the signature value and the
        // chain of the certificate in KeyInfo to the card's CA.
        auto verifyXades = [&](const char* step, const QString& file) {
            const QByteArray xml = signatureOf(step);
            EXPECT_TRUE(writeFile(file, xml));
            const ToolRun xmlsec = runTool("xmlsec1", {"--verify", "--trusted-pem", caPem(), "--id-attr:Id",
                                                       "http://uri.etsi.org/01903/v1.3.2#:SignedProperties", file});
            EXPECT_EQ(xmlsec.exitCode, 0) << step << ": " << xmlsec.output.toStdString() << "\n" << xml.left(3000).toStdString();
            if (xml.isEmpty()) return false;
            // The certificate in KeyInfo is the one the page chose on the card.
            EXPECT_EQ(QByteArray::fromBase64(
                          xpath(file, "string(//*[local-name()='KeyInfo']//*[local-name()='X509Certificate'])").toLatin1()),
                      cardCertificateDer)
                << step;
            return true;
        };
        const QString enveloping = dir + "/enveloping.xml";
        if (verifyXades("xadesEnveloping", enveloping)) {
            // The signed object is our text, and a signed reference points at it.
            const QString object = "//*[local-name()='Object'][@Encoding]";
            EXPECT_EQ(QByteArray::fromBase64(xpath(enveloping, "string(" + object + ")").toLatin1()), kText.toUtf8());
            EXPECT_EQ(xpath(enveloping, "count(//*[local-name()='SignedInfo']/*[local-name()='Reference'][@URI=concat('#'," +
                                            object + "/@Id)])"),
                      "1");
        }
        const QString enveloped = dir + "/enveloped.xml";
        if (verifyXades("xadesEnveloped", enveloped)) {
            // Our document, untouched, with one signature under its root that
            // covers the whole document.
            EXPECT_EQ(xpath(enveloped, "string(/*/*[local-name()='alici'])"), QString::fromUtf8("Çağrı Öztürk"));
            EXPECT_EQ(xpath(enveloped, "string(/*/*[local-name()='tutar']/@para)"), "TRY");
            EXPECT_EQ(xpath(enveloped, "string(/*/*[local-name()='tutar'])"), "1250.50");
            EXPECT_EQ(xpath(enveloped, "local-name(/*)"), "fatura");
            EXPECT_EQ(xpath(enveloped, "count(/*/*[local-name()='Signature'])"), "1");
            EXPECT_EQ(xpath(enveloped, "count(/*/*[local-name()='Signature']/*[local-name()='SignedInfo']/"
                                       "*[local-name()='Reference'][@URI='']/*[local-name()='Transforms']/"
                                       "*[@Algorithm='http://www.w3.org/2000/09/xmldsig#enveloped-signature'])"),
                      "1");
        }
        EXPECT_TRUE(run.results["ok"].toBool()) << run.describe();
    }

    // No log or setting the agent wrote holds the PIN.
    static void expectNoPinInAgentFiles() {
        const QString folder = shared->agent->programFolder();
        for (const QString& sub : {QString("/logs"), QString("/home")}) {
            QDirIterator it(folder + sub, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QString file = it.next();
                EXPECT_FALSE(readFile(file).contains(kPin)) << file.toStdString() << " holds the PIN";
            }
        }
    }
};
BrowserE2E::Shared* BrowserE2E::shared = nullptr;

class SharedPartsTearDown : public ::testing::Environment {
public:
    void TearDown() override { BrowserE2E::tearDownShared(); }
};
::testing::Environment* const sharedPartsTearDown = ::testing::AddGlobalTestEnvironment(new SharedPartsTearDown);

}  // namespace

TEST_F(BrowserE2E, JsonpRunSignsAllThreeFormsAndTheyVerify) {
    const PageRun run = runPage("jsonp", kPin, true);
    expectEverythingSignedAndVerified(run, "jsonp");
    expectNoPinInAgentFiles();
}

TEST_F(BrowserE2E, WebSocketRunSignsAllThreeFormsAndTheyVerify) {
    const PageRun run = runPage("websocket", kPin, true);
    expectEverythingSignedAndVerified(run, "websocket");
    expectNoPinInAgentFiles();
}

// Without the root in its NSS database the browser refuses both endpoints:
// the trust of the runs above comes from that database and nothing else, and
// the page reports the failure instead of hanging. The card is not touched.
TEST_F(BrowserE2E, WithoutTheRootTheBrowserReachesNeitherEndpoint) {
    for (const QString transport : {"jsonp", "websocket"}) {
        card().clearApduLog();
        const PageRun run = runPage(transport, kPin, false);
        ASSERT_FALSE(run.report.isEmpty()) << transport.toStdString() << run.describe();
        EXPECT_TRUE(run.leftovers.isEmpty());
        EXPECT_FALSE(run.results["ok"].toBool());
        EXPECT_EQ(run.step("initialize")["responseCode"].toString(), "1001") << transport.toStdString() << run.describe();
        // The page says what the code means, from the client script's code table,
        // in the error it shows.
        EXPECT_EQ(run.step("initialize")["meaning"].toString(), kNoAnswerMeaning) << run.describe();
        EXPECT_TRUE(run.results["error"].toString().contains(kNoAnswerMeaning)) << run.describe();
        EXPECT_TRUE(run.step("listTerminals").isEmpty());
        EXPECT_TRUE(card().commandLog().empty()) << transport.toStdString();
    }
    EXPECT_EQ(card().pinTriesLeft(), 3);
}

// A wrong PIN typed into the page costs exactly one try on the card, and the
// page stops instead of spending the others. corvane-service answers the
// card's refusal as 27; corvane-universal answers every card-layer code as 12,
// so there the page cannot tell a PIN refusal from other failures.
class BrowserWrongPin : public BrowserE2E, public ::testing::WithParamInterface<const char*> {};

TEST_P(BrowserWrongPin, CostsOneTryAndStopsTheRun) {
    const QString transport = GetParam();
    ASSERT_EQ(card().pinTriesLeft(), 3);
    card().clearApduLog();
    const PageRun run = runPage(transport, "000000", true);
    int verifies = 0;
    for (const std::string& command : card().commandLog()) verifies += command.rfind("00200081", 0) == 0 ? 1 : 0;
    const int triesLeft = card().pinTriesLeft();
    card().setPinTriesLeft(3);  // for the tests after this one, whatever happened

    ASSERT_FALSE(run.report.isEmpty()) << run.describe();
    EXPECT_EQ(run.step("initialize")["responseCode"].toString(), "0") << run.describe();
    const QString code = run.step("cadesBes")["responseCode"].toString();
    if (transport == "jsonp") {
        EXPECT_EQ(code, "27") << run.describe();
    }
    EXPECT_NE(code, "0") << run.describe();
    EXPECT_TRUE(run.step("cadesBes")["signature"].toString().isEmpty());
    EXPECT_FALSE(run.results["ok"].toBool());
    EXPECT_EQ(verifies, 1) << "PIN presentations to the card" << run.describe();
    EXPECT_EQ(triesLeft, 2);
    EXPECT_FALSE(run.step("xadesEnveloping")["skipped"].toString().isEmpty()) << run.describe();
    EXPECT_FALSE(run.step("xadesEnveloped")["skipped"].toString().isEmpty()) << run.describe();
}

INSTANTIATE_TEST_SUITE_P(Transports, BrowserWrongPin, ::testing::Values("jsonp", "websocket"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });
