// Resident memory of corvane-service around large requests, measured on the
// real program started from a private program folder, each row on a fresh one:
//   - one multipart body of many small form fields ("f1=x", ...), at the
//     largest size the service takes (just under its multipart limit of
//     10,000,000 bytes) and at a quarter of it;
//   - six signXaDES_BES_Enveloped requests at once (the connections a page
//     opens to one host), documents of about 4.8 MB (near the limit once
//     Base64-encoded twice) and of 1.2 MB, signed by a simulated AKIS card in
//     the test rig's pcscd (the row is skipped, with the reason, when the rig
//     is not up).
// For each: resident memory before, the peak while served (VmHWM, reset through
// /proc/<pid>/clear_refs just before), right after the answers and 5 s later;
// with --baseline-dir, the XAdES rows of that build follow this build's.
// Then sixteen 2 MB "initialize" requests at once, each on a connection (and
// so a handler thread) of its own: address space (VmPeak), writable mappings
// (VmData) and resident size (VmRSS) just before and after the service gives
// memory back at idle, of this build and, with --baseline-dir, of that build.
// Then the cost of the same 4.8 MB request sent back to back, one after the
// other on one connection at a time: CPU time (user + system) of the
// corvane-service process and its minor page faults per request, from
// /proc/<pid>/stat. With --baseline-dir, the build in that folder (another
// commit's) runs in turn with this one, alternating, each on a fresh process.
// Prints figures; asserts nothing.
//
// Then, with --long or --only xpath, hostile XPaths (string searches and
// translate() with long patterns,
// lang() under very many attributes, long names, node-set comparisons and
// concat() of many copies, numbers past the double range, the following,
// preceding, ancestor and sibling axes over chains 990 deep and a long run of
// siblings, searches, normalize-space() and translate() over runs of one
// byte), each as the signatureNodeXPath of one request: the answer, its
// wall and CPU time and the peak growth; with --baseline-dir, then the same
// on the baseline's corvane-service.
//
// Then long XPath texts (balanced trees of millions of additions, over JSONP
// and over the WebSocket of corvane-universal) and, with --fixed-cost or --long, short
// XPaths whose work grows with a document of 3.2 to 3.6 MB, each beside the same
// request with "/r" and blanks in its place: the answer, the wall and CPU
// time and the peak growth of the process that serves it, and what the XPath
// adds to the peak; with --baseline-dir, then the same on the baseline's
// programs.
//
// Then, with --long or --only xpath-cost, what the XPaths of a request cost
// beside the same request with "/r" and blanks in their place: concat()
// results rising through size classes and filters of millions of nodes, over
// JSONP and the WebSocket, and the forms callers write on dense documents:
// the answer, whether its signature verifies (xmlsec1), the wall and CPU
// time, and the peak growth over the plain request's; with --baseline-dir,
// the two builds take turns row by row. Exit status 1 where a form or a
// plain request does not sign, a signature does not verify, or a row did not
// run.
//
//   corvane-bench-request-memory [--only fields|xades|connections|back-to-back|xpath|xpath-text|xpath-cost]
//                                [--baseline-dir <build>] [--rounds N] [--requests N] [--fixed-cost] [--long]
//
// CORVANE_BINARY_DIR names the build folder (programs and tls/root.pem).
#include "agent-process.h"
#include "build-in-use.h"
#include "card-simulator.h"
#include "rig-pcsc.h"
#include "rig-readers.h"
#include "wss-client.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace corvane::test;

constexpr quint16 kPort = 16357;
constexpr quint16 kWssPort = 16356;
// The service's "maxMultiPartSize": a body must stay below it.
constexpr int kMultiPartLimit = 10000000;
constexpr int kConcurrent = 6;

double mib(qint64 kib) { return double(kib) / 1024.0; }

bool startAgent(AgentProcess& agent) {
    for (int i = 0; i < 240 && portAcceptsConnections(kPort); ++i) {
        if (i == 0) std::printf("  (port %d busy: another run of the agent holds it; waiting up to 120 s)\n", kPort);
        QThread::msleep(500);
    }
    if (portAcceptsConnections(kPort) || !agent.start(kPort)) {
        std::printf("  corvane-service did not come up on 127.0.0.1:%d\n", kPort);
        return false;
    }
    QThread::msleep(1000);   // settled after start
    return true;
}

QString writeFile(const QTemporaryDir& folder, const QString& name, const QByteArray& data) {
    QFile file(folder.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size()) return {};
    return file.fileName();
}

// The JSONP fields "callback" and "parameters" as a multipart body, with
// `extra` parts before the closing delimiter.
QByteArray jsonpMultipart(const QByteArray& json, const QByteArray& extra = {}) {
    return "--B\r\nContent-Disposition: form-data; name=\"callback\"\r\n\r\ncb\r\n"
           "--B\r\nContent-Disposition: form-data; name=\"parameters\"\r\n\r\n" +
           json.toBase64() + "\r\n" + extra + "--B--\r\n";
}

// The responseCode of an answer's array; the document it signed, when it
// did, in *signedDocument.
QString codeOf(const QJsonArray& array, QByteArray* signedDocument) {
    if (array.isEmpty()) return "empty answer";
    const QJsonObject answer = array[0].toObject();
    if (signedDocument) *signedDocument = QByteArray::fromBase64(answer["signature"].toString().toLatin1());
    return answer["responseCode"].toString();
}

// "0" when the answer is cb([{"responseCode":"0",...}]), else what it says.
QString responseCode(const HttpAnswer& answer, QByteArray* signedDocument = nullptr) {
    const QByteArray& body = answer.body;
    if (answer.exitCode != 0) return QString("curl %1").arg(answer.exitCode);
    if (!body.startsWith("cb(") || !body.endsWith(")")) return "no JSONP answer: " + QString::fromLatin1(body.left(80));
    return codeOf(QJsonDocument::fromJson(body.mid(3, body.size() - 4)).array(), signedDocument);
}

HttpAnswer postMultipart(const QString& file) {
    // curl would wait a second for a "100 Continue" before a body over 1 MiB.
    return curlGet(kPort, "", {"-H", "Content-Type: multipart/form-data; boundary=B", "-H", "Expect:",
                               "--data-binary", "@" + file, "--max-time", "300"});
}

struct Figures {
    qint64 before = 0, peak = 0, answered = 0, later = 0;
};

// Sends each body file at once on its own connection and measures around them.
Figures measure(qint64 pid, const std::vector<QString>& bodies, int* failures, QString* firstFailure) {
    Figures f;
    f.before = residentKiB(pid);
    resetPeakResident(pid);
    std::vector<QString> codes(bodies.size());
    std::vector<std::thread> senders;
    for (std::size_t i = 0; i < bodies.size(); ++i) {
        senders.emplace_back([&, i] { codes[i] = responseCode(postMultipart(bodies[i])); });
    }
    for (auto& sender : senders) sender.join();
    f.peak = peakResidentKiB(pid);
    f.answered = residentKiB(pid);
    QThread::msleep(5000);
    f.later = residentKiB(pid);
    for (const QString& code : codes) {
        if (code == "0") continue;
        if (firstFailure->isEmpty()) *firstFailure = code;
        ++*failures;
    }
    return f;
}

void printHeader() {
    std::printf("  %-34s %8s %9s %9s %9s %9s %13s %9s %9s\n", "requests", "body MB", "idle MiB", "peak MiB",
                "answered", "5 s later", "peak+/request", "peak/body", "held/body");
}

// `requests` bodies of `bodyBytes` each; growth is counted from just before them.
void printRow(const std::string& what, int requests, qint64 bodyBytes, qint64 idleKiB, const Figures& f) {
    const double sent = double(bodyBytes) * requests;
    std::printf("  %-34s %8.2f %9.1f %9.1f %9.1f %9.1f %13.1f %9.1f %9.1f\n", what.c_str(), double(bodyBytes) / 1e6,
                mib(idleKiB), mib(f.peak), mib(f.answered), mib(f.later), mib(f.peak - f.before) / requests,
                double(f.peak - f.before) * 1024 / sent, double(f.later - f.before) * 1024 / sent);
    std::fflush(stdout);
}

// A multipart body of exactly `size` bytes: the JSONP fields for "initialize"
// and then one-character fields "f0", "f1", ..., the last one padded.
QByteArray manyFields(int size, int* fields) {
    QByteArray parts;
    const QByteArray frame = jsonpMultipart(R"({"action":"initialize"})");
    *fields = 0;
    for (;;) {
        const QByteArray part = "--B\r\nContent-Disposition: form-data; name=\"f" + QByteArray::number(*fields) +
                                "\"\r\n\r\nx\r\n";
        if (frame.size() + parts.size() + part.size() > size) break;
        parts += part;
        ++*fields;
    }
    parts.insert(parts.size() - 2, QByteArray(size - frame.size() - parts.size(), 'x'));
    return jsonpMultipart(R"({"action":"initialize"})", parts);
}

int runFields() {
    std::printf("\nOne multipart body of many small form fields (each \"x\"), alone on a fresh corvane-service\n");
    printHeader();
    int failures = 0;
    for (const int size : {(kMultiPartLimit - 1) / 4, kMultiPartLimit - 1}) {
        QTemporaryDir folder;
        int fields = 0;
        const QByteArray body = manyFields(size, &fields);
        const QString file = writeFile(folder, "body", body);
        AgentProcess agent("bin/corvane-service");
        if (file.isEmpty() || !startAgent(agent)) return 1;
        const qint64 pid = agent.process().processId();
        const qint64 idle = residentKiB(pid);
        QString failure;
        const Figures f = measure(pid, {file}, &failures, &failure);
        printRow("1 x " + std::to_string(fields) + " fields", 1, body.size(), idle, f);
        if (!failure.isEmpty()) std::printf("  note: answered %s\n", failure.toLocal8Bit().constData());
        agent.stop();
    }
    return failures ? 1 : 0;
}

// An invoice-like document of about `size` bytes: lines with attributes,
// namespaced children and text.
QByteArray invoice(int size) {
    QByteArray document = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<Invoice xmlns=\"urn:corvane:bench:invoice\" xmlns:cbc=\"urn:corvane:bench:basic\">\n"
                          "<cbc:ID>BNC2024000000001</cbc:ID><cbc:IssueDate>2024-05-01</cbc:IssueDate>\n";
    for (int line = 1; document.size() < size - 200; ++line) {
        const QByteArray n = QByteArray::number(line);
        document += "<Line no=\"" + n + "\"><cbc:Item code=\"A" + n + "\">Item " + n +
                    ", office supplies</cbc:Item><cbc:Quantity unit=\"C62\">" + QByteArray::number(line % 17 + 1) +
                    "</cbc:Quantity><cbc:Price currency=\"TRY\">" + QByteArray::number(line % 997) +
                    ".50</cbc:Price></Line>\n";
    }
    return document + "</Invoice>\n";
}

// The JSON of a signXaDES_BES_Enveloped request with the card's first key, up
// to the opening quote of the document's Base64.
QByteArray xadesRequestStart(const cardsim::Card& card) {
    return R"({"action":"signXaDES_BES_Enveloped","library":"akisp11","slotId":")" +
           QByteArray::number(rig::kReaderAkis.slot) + R"(","certSerialNumber":")" +
           QByteArray::fromStdString(card.keys()[0].serialDecimal) + R"(","pincode":")" +
           QByteArray::fromStdString(card.pin()) + R"(","signatureNodeXPath":"/*","nodeToSignXPath":"","dataBase64":")";
}

// The multipart JSONP body of a request that signs `document`.
QByteArray xadesBody(const QByteArray& requestStart, const QByteArray& document) {
    return jsonpMultipart(requestStart + document.toBase64() + "\"}");
}

// The simulated AKIS card in its reader, the start of a request signed with
// its first key, and a small request that loads the card's module first.
struct AkisSigning {
    cardsim::Card card{cardsim::Profile::Akis1};
    QByteArray request;
    QTemporaryDir folder;
    QString warmUp;

    AkisSigning() {
        card.insertInto(rig::kReaderAkisPort);
        request = xadesRequestStart(card);
        warmUp = writeFile(folder, "small", xadesBody(request, invoice(2000)));
    }
};

// The builds a section measures: this one, then the baseline when one is given.
struct Build {
    const char* name;
    QString folder;
};
std::vector<Build> buildsToMeasure(const QString& baselineFolder) {
    std::vector<Build> builds{{"this build", binaryDir()}};
    if (!baselineFolder.isEmpty()) builds.push_back({"baseline", baselineFolder});
    return builds;
}

int runXades(const QString& baselineFolder) {
    std::printf("\n%d signXaDES_BES_Enveloped requests at once over JSONP (multipart), simulated AKIS card, "
                "on a fresh corvane-service after one small signature%s\n", kConcurrent,
                baselineFolder.isEmpty() ? "" : "; each size on this build, then on the baseline");
    std::string reason;
    if (!rig::pcscdReady(&reason)) {
        std::printf("  skipped: the test rig's pcscd is not running (%s); start it as root with\n"
                    "  BUILD_DIR=<a build with the tests> tests/rig/pcscd-rig.sh start\n", reason.c_str());
        return 0;
    }
    printHeader();
    int failures = 0;
    try {
        const AkisSigning akis;
        const QByteArray& request = akis.request;
        const QTemporaryDir& folder = akis.folder;
        const QString& warmUp = akis.warmUp;
        const std::vector<Build> builds = buildsToMeasure(baselineFolder);
        for (const int size : {4800000, 1200000}) {
            const QByteArray document = invoice(size);
            const QByteArray body = xadesBody(request, document);
            const std::vector<QString> bodies(kConcurrent, writeFile(folder, QString("body-%1").arg(size), body));
            for (const Build& measured : builds) {
                const corvane::bench::BuildInUse build(measured.folder);
                AgentProcess agent("bin/corvane-service");
                if (!startAgent(agent)) return 1;
                const qint64 pid = agent.process().processId();
                QString failure;
                measure(pid, {warmUp}, &failures, &failure);   // loads the card's module once
                const qint64 idle = residentKiB(pid);
                const Figures f = measure(pid, bodies, &failures, &failure);
                const QByteArray megabytes = QByteArray::number(double(document.size()) / 1e6, 'f', 1);
                printRow(std::to_string(kConcurrent) + " x " + megabytes.toStdString() + " MB document" +
                             (&measured == &builds.front() ? "" : std::string(", ") + measured.name),
                         kConcurrent, body.size(), idle, f);
                if (!failure.isEmpty()) std::printf("  note: answered %s\n", failure.toLocal8Bit().constData());
                agent.stop();
            }
        }
    } catch (const std::exception& e) {
        std::printf("  the simulated card failed: %s\n", e.what());
        return 1;
    }
    return failures ? 1 : 0;
}


// Address space, writable mappings and resident size of a process, in KiB.
struct Mapped {
    qint64 peak = 0, data = 0, resident = 0;
};

Mapped mapped(qint64 pid) { return {statusField(pid, "VmPeak"), statusField(pid, "VmData"), residentKiB(pid)}; }

void printMapped(const char* build, const char* moment, const Mapped& m) {
    std::printf("  %-12s %-34s %10.1f %10.1f %10.1f\n", build, moment, mib(m.peak), mib(m.data), mib(m.resident));
}

// Sixteen "initialize" requests of 2 MB at once, each on a connection of its
// own and so served by a handler thread of its own, on a fresh corvane-service
// of each build in turn (the other one first every other round): the process
// idle, when the answers came, 1 s later (the service gives memory back once
// it has had no request for 1.5 s) and 4 s later.
int runConnections(const QString& baselineFolder, int rounds) {
    constexpr int kConnections = 16;
    std::printf("\n%d \"initialize\" requests of 2 MB at once over JSONP (multipart), each on a connection of its "
                "own, on a fresh corvane-service after one small request (%d round(s)%s): /proc/<pid>/status\n",
                kConnections, rounds, baselineFolder.isEmpty() ? "" : "; the builds take turns");
    if (!baselineFolder.isEmpty() && !QFile::exists(baselineFolder + "/bin/corvane-service")) {
        std::printf("  no %s/bin/corvane-service: build the baseline first\n", baselineFolder.toLocal8Bit().constData());
        return 1;
    }
    const std::vector<Build> builds = buildsToMeasure(baselineFolder);
    QTemporaryDir folder;
    const QString small = writeFile(folder, "small", jsonpMultipart(R"({"action":"initialize"})"));
    const QString large = writeFile(folder, "large", jsonpMultipart(R"({"action":"initialize","pad":")" +
                                                                    QByteArray(1500000, 'x') + "\"}"));
    const std::vector<QString> bodies(kConnections, large);
    std::printf("  %-12s %-34s %10s %10s %10s\n", "build", "moment", "VmPeak MiB", "VmData MiB", "VmRSS MiB");
    int failures = 0;
    QString failure;
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < builds.size(); ++i) {
            const Build& measured = builds[(i + std::size_t(round)) % builds.size()];
            const corvane::bench::BuildInUse build(measured.folder);
            AgentProcess agent("bin/corvane-service");
            if (!startAgent(agent)) return 1;
            const qint64 pid = agent.process().processId();
            if (responseCode(postMultipart(small)) != "0") ++failures;
            const Mapped idle = mapped(pid);
            std::vector<QString> codes(bodies.size());
            std::vector<std::thread> senders;
            for (std::size_t b = 0; b < bodies.size(); ++b) {
                senders.emplace_back([&, b] { codes[b] = responseCode(postMultipart(bodies[b])); });
            }
            for (auto& sender : senders) sender.join();
            QElapsedTimer sinceAnswers;
            sinceAnswers.start();
            const Mapped answered = mapped(pid);
            const qint64 threads = statusField(pid, "Threads");
            QThread::msleep(1000);
            const Mapped before = mapped(pid);
            QThread::msleep(ulong(std::max<qint64>(0, 4000 - sinceAnswers.elapsed())));
            const Mapped after = mapped(pid);
            for (const QString& code : codes) {
                if (code == "0") continue;
                if (failure.isEmpty()) failure = code;
                ++failures;
            }
            printMapped(measured.name, "idle", idle);
            printMapped("", "answers in", answered);
            printMapped("", "1 s later, before the idle release", before);
            printMapped("", "4 s later, after it", after);
            std::printf("  %-12s the release moved VmPeak %+.1f, VmData %+.1f, VmRSS %+.1f MiB; "
                        "VmRSS %.1f MiB over idle; %lld threads\n", "", mib(after.peak - before.peak),
                        mib(after.data - before.data), mib(after.resident - before.resident),
                        mib(after.resident - idle.resident), threads);
            std::fflush(stdout);
            agent.stop();
        }
    }
    if (!failure.isEmpty()) std::printf("  note: answered %s\n", failure.toLocal8Bit().constData());
    return failures ? 1 : 0;
}

// CPU time (user + system, in clock ticks) and minor page faults of a process
// so far, from /proc/<pid>/stat; -1 when it cannot be read.
struct ProcessCost {
    long long ticks = -1, minorFaults = -1;
};

ProcessCost processCost(qint64 pid) {
    QFile file(QString("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) return {};
    const QByteArray stat = file.readAll();
    // The fields after the program name (in parentheses, which may hold
    // blanks), from field 3 on: minflt is field 10, utime 14, stime 15.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13) return {};
    return {fields[11].toLongLong() + fields[12].toLongLong(), fields[7].toLongLong()};
}

struct Side {
    std::string name;
    QString folder;
    std::vector<double> cpu, faults, wall, idleCpu;
};

// One fresh corvane-service of `side`: a small signature (loads the card's
// module) and one large request (the process grows to its working size), then
// `requests` large ones back to back, each measured from the end of the one
// before; and what the process spends in the 3 s after the last answer.
bool runSide(Side& side, const QString& warmUp, const QString& large, int requests, int* failures,
             QString* failure) {
    const corvane::bench::BuildInUse build(side.folder);
    AgentProcess agent("bin/corvane-service");
    if (!startAgent(agent)) return false;
    const qint64 pid = agent.process().processId();
    const double tick = double(sysconf(_SC_CLK_TCK));
    const auto answered = [&](const QString& body) {
        const QString code = responseCode(postMultipart(body));
        if (code == "0") return true;
        if (failure->isEmpty()) *failure = code;
        ++*failures;
        return false;
    };
    answered(warmUp);
    answered(large);
    ProcessCost before = processCost(pid);
    for (int i = 0; i < requests; ++i) {
        QElapsedTimer wall;
        wall.start();
        answered(large);
        side.wall.push_back(double(wall.elapsed()) / 1000);
        const ProcessCost after = processCost(pid);
        side.cpu.push_back(double(after.ticks - before.ticks) / tick);
        side.faults.push_back(double(after.minorFaults - before.minorFaults));
        before = after;
    }
    QThread::msleep(3000);
    side.idleCpu.push_back(double(processCost(pid).ticks - before.ticks) / tick);
    agent.stop();
    return before.ticks >= 0;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double mean(const std::vector<double>& values) {
    double sum = 0;
    for (const double v : values) sum += v;
    return values.empty() ? 0 : sum / double(values.size());
}

void printSide(const Side& side) {
    const auto [cpuMin, cpuMax] = std::minmax_element(side.cpu.begin(), side.cpu.end());
    const auto [faultMin, faultMax] = std::minmax_element(side.faults.begin(), side.faults.end());
    std::printf("  %-12s %8zu %7.3f %7.3f %5.3f-%5.3f %9.0f %9.0f %6.0f-%6.0f %7.2f %10.3f\n", side.name.c_str(),
                side.cpu.size(), median(side.cpu), mean(side.cpu), *cpuMin, *cpuMax, median(side.faults),
                mean(side.faults), *faultMin, *faultMax, median(side.wall), median(side.idleCpu));
    std::printf("  %-12s %s\n", "", side.folder.toLocal8Bit().constData());
}

int runBackToBack(const QString& baselineFolder, int rounds, int requests) {
    std::printf("\nsignXaDES_BES_Enveloped requests of a 4.8 MB document sent back to back over JSONP (multipart), "
                "one at a time, simulated AKIS card: cost to corvane-service per request, from /proc/<pid>/stat "
                "(%d round(s) of %d on a fresh process, after one small and one large request%s)\n",
                rounds, requests, baselineFolder.isEmpty() ? "" : "; the builds take turns");
    std::string reason;
    if (!rig::pcscdReady(&reason)) {
        std::printf("  skipped: the test rig's pcscd is not running (%s)\n", reason.c_str());
        return 0;
    }
    if (!baselineFolder.isEmpty() && !QFile::exists(baselineFolder + "/bin/corvane-service")) {
        std::printf("  no %s/bin/corvane-service: build the baseline first\n", baselineFolder.toLocal8Bit().constData());
        return 1;
    }
    std::vector<Side> sides{{"this build", binaryDir(), {}, {}, {}, {}}};
    if (!baselineFolder.isEmpty()) sides.push_back({"baseline", baselineFolder, {}, {}, {}, {}});
    int failures = 0;
    QString failure;
    try {
        const AkisSigning akis;
        const QByteArray& request = akis.request;
        const QTemporaryDir& folder = akis.folder;
        const QString& warmUp = akis.warmUp;
        const QString large = writeFile(folder, "large", xadesBody(request, invoice(4800000)));
        for (int round = 0; round < rounds; ++round) {
            for (std::size_t i = 0; i < sides.size(); ++i) {
                // Each round starts with the other build, so that neither always runs first.
                Side& side = sides[(i + round) % sides.size()];
                if (!runSide(side, warmUp, large, requests, &failures, &failure)) return 1;
            }
        }
    } catch (const std::exception& e) {
        std::printf("  the simulated card failed: %s\n", e.what());
        return 1;
    }
    std::printf("  %-12s %8s %7s %7s %11s %9s %9s %13s %7s %10s\n", "build", "requests", "CPU s", "mean",
                "min-max", "minflt", "mean", "min-max", "wall s", "idle CPU s");
    for (const Side& side : sides) printSide(side);
    if (sides.size() == 2) {
        std::printf("  this build / baseline: CPU %.2fx (median), %.2fx (mean); minor faults %.2fx (median)\n",
                    median(sides[0].cpu) / median(sides[1].cpu), mean(sides[0].cpu) / mean(sides[1].cpu),
                    median(sides[0].faults) / median(sides[1].faults));
    }
    std::printf("  (CPU s, minflt, wall s: per request; idle CPU s: in the 3 s after the last answer, median)\n");
    if (!failure.isEmpty()) std::printf("  note: answered %s\n", failure.toLocal8Bit().constData());
    std::fflush(stdout);
    return failures ? 1 : 0;
}

// XPaths a hostile page could send, each as the signatureNodeXPath of one
// signXaDES_BES_Enveloped request over a document of a few MB: work that
// grows with two lengths multiplied, memory that grows with the copies an
// XPath makes, numbers past the double range. Each must be answered within
// about a second, "0" where pugixml selects one node and 52 where the
// evaluation stops, with the memory it adds bounded.
struct HostileXPath {
    const char* what;
    QByteArray document;
    QByteArray xpath;
};

QByteArray repeatedText(const QByteArray& piece, int times) {
    QByteArray text;
    text.reserve(piece.size() * times);
    for (int i = 0; i < times; ++i) text += piece;
    return text;
}

std::vector<HostileXPath> hostileXPaths() {
    const QByteArray searched = "<r><y>" + QByteArray(1800000, 'a') + "</y><x>" + QByteArray(1800000, 'b') + "</x></r>";
    QByteArray attributes = "<r";
    for (int i = 0; i < 300000; ++i) attributes += " a" + QByteArray::number(i) + "=\"\"";
    attributes += ">" + repeatedText("<b/>", 20000) + "</r>";
    const QByteArray stem(3999, 'n');
    const QByteArray names = "<r>" + repeatedText("<" + stem + "x/>", 900) + "</r>";
    QByteArray nested = "<r>";
    for (int i = 0; i < 990; ++i) nested += "<e>" + QByteArray(3600, char('a' + i % 26));
    nested += repeatedText("</e>", 990) + "</r>";
    const QByteArray copies = "/r[string-length(concat(/" + repeatedText(", /", 59) + ")) > 0]";
    const QByteArray huge(400, '0');
    const QByteArray numbers = "<r>" + repeatedText("<p>x</p>", 450000) + "<a>1" + huge + "</a><b>2</b><c>-1" + huge +
                               "</c></r>";
    // Chains of 990 nested elements, where the following and preceding axes
    // climb and descend a chain for each node they reach; a run of siblings.
    const QByteArray chains =
        "<r>" + repeatedText(repeatedText("<a>", 990) + repeatedText("</a>", 990), 520) + "</r>";
    const QByteArray siblings = "<r>" + repeatedText("<a/>", 900000) + "<b/></r>";
    const auto counted = [](const QByteArray& inner) { return "/r[count(" + inner + ") > 1]"; };
    // String work over a run of one byte, once per <a/>: the text searched
    // by 90 of them or by 450,000, and a literal of 200,000 bytes under a
    // run of siblings.
    const QByteArray fewUses = "<r><t>" + QByteArray(3500000, 'A') + "</t>" + repeatedText("<a/>", 90) + "</r>";
    const QByteArray manyUses = "<r><t>" + QByteArray(1800000, 'A') + "</t>" + repeatedText("<a/>", 450000) + "</r>";
    const QByteArray flat = "<r>" + repeatedText("<a/>", 900000) + "</r>";
    const QByteArray literal = "'" + QByteArray(200000, 'A') + "'";
    return {
        {"contains(), long pattern", searched, "/r[contains(y, concat(substring(y, 1, 200000), 'b'))]"},
        {"substring-before(), long pattern", searched, "/r[substring-before(y, concat(substring(y, 1, 200000), 'b'))]"},
        {"translate(), long 'from'", searched, "/r[string-length(translate(x, substring(y, 1, 400000), '')) = 0]"},
        {"lang(), 300,000 attributes", attributes, "/r[b[lang('en')]]"},
        {"4,000-byte names, nested count", names, "/r[count(*[count(../" + stem + "y) = 0]) > 0]"},
        {"//e = //e, nested text", nested, "/r[//e = //e]"},
        {"concat() of 60 copies", nested, copies},
        {"/r/*[. > 2], 1e400", numbers, "/r/*[. > 2]"},
        {"/r/*[. < -2], -1e400", numbers, "/r/*[. < -2]"},
        {"/r/*[. * 0 = 0]", numbers, "/r/*[. * 0 = 0]"},
        {"//*[following::*]", chains, counted("//*[following::*]")},
        {"//*[preceding::*]", chains, counted("//*[preceding::*]")},
        {"//*[preceding::* and ... x3]", chains, counted("//*[preceding::* and preceding::* and preceding::*]")},
        {"//a/preceding::*[1]", chains, counted("//a/preceding::*[1]")},
        {"//a/following::*[1]", chains, counted("//a/following::*[1]")},
        {"//*[not(following::*)]", chains, counted("//*[not(following::*)]")},
        {"//*[../preceding::*]", chains, counted("//*[../preceding::*]")},
        {"//node()[following::node()]", chains, counted("//node()[following::node()]")},
        {"//a[.//a[preceding::*]]", chains, counted("//a[.//a[preceding::*]]")},
        {"//a[ancestor::r]", chains, counted("//a[ancestor::r]")},
        {"//a[following-sibling::b]", siblings, counted("//a[following-sibling::b]")},
        {"90 x contains(t, 'AAx')", fewUses, counted("//a[not(contains(/r/t, 'AAx'))]")},
        {"90 x substring-before(t, 'AAx')", fewUses, counted("//a[substring-before(/r/t, 'AAx') = '']")},
        {"450,000 x contains(t, 'AAx')", manyUses, counted("//a[not(contains(/r/t, 'AAx'))]")},
        {"contains(L, 'AAx'), L 200 KB", flat, counted("//a[not(contains(" + literal + ", 'AAx'))]")},
        {"normalize-space(L)", flat, counted("//a[normalize-space(" + literal + ") != 'x']")},
        {"translate(L, 'A', 'B')", flat, counted("//a[translate(" + literal + ", 'A', 'B') != 'x']")},
    };
}

int runXPaths(const QString& baselineFolder) {
    std::printf("\nHostile signatureNodeXPaths, each in one signXaDES_BES_Enveloped request over JSONP (multipart), "
                "simulated AKIS card, one at a time on one corvane-service%s\n",
                baselineFolder.isEmpty() ? "" : ", then on the baseline's");
    std::string reason;
    if (!rig::pcscdReady(&reason)) {
        std::printf("  skipped: the test rig's pcscd is not running (%s)\n", reason.c_str());
        return 0;
    }
    const double tick = double(sysconf(_SC_CLK_TCK));
    int failures = 0;
    try {
        const AkisSigning akis;
        const QByteArray& request = akis.request;
        const QTemporaryDir& folder = akis.folder;
        const QString& warmUp = akis.warmUp;
        for (const Build& measured : buildsToMeasure(baselineFolder)) {
            std::printf("  %s (%s)\n", measured.name, measured.folder.toLocal8Bit().constData());
            std::printf("  %-34s %9s %6s %9s %7s %10s %12s\n", "XPath", "doc MB", "code", "seconds", "CPU s",
                        "peak+ MiB", "peak+/doc");
            const corvane::bench::BuildInUse build(measured.folder);
            AgentProcess agent("bin/corvane-service");
            if (!startAgent(agent)) return 1;
            const qint64 pid = agent.process().processId();
            QString failure;
            measure(pid, {warmUp}, &failures, &failure);
            // One request: its answer, wall and CPU time, and peak growth.
            const auto row = [&](const char* what, const QByteArray& document, const QString& body) {
                const qint64 before = residentKiB(pid);
                resetPeakResident(pid);
                const ProcessCost cost = processCost(pid);
                QElapsedTimer timer;
                timer.start();
                const QString code = responseCode(postMultipart(body));
                const double seconds = timer.elapsed() / 1000.0;
                const double cpu = double(processCost(pid).ticks - cost.ticks) / tick;
                const qint64 peak = peakResidentKiB(pid);
                std::printf("  %-34s %9.1f %6s %9.2f %7.2f %10.1f %12.1f\n", what, document.size() / 1e6,
                            code.toLocal8Bit().constData(), seconds, cpu, mib(peak - before),
                            double(peak - before) * 1024 / document.size());
                std::fflush(stdout);
                QThread::msleep(2000);
                return code;
            };
            QByteArray lastDocument;
            for (const HostileXPath& shape : hostileXPaths()) {
                // The same document signed where "/*" points: what the request
                // costs without the XPath's own work.
                QByteArray start = request;
                if (shape.document != lastDocument) {
                    lastDocument = shape.document;
                    const QString plain = writeFile(folder, "plain", xadesBody(request, shape.document));
                    if (row("(the same document, \"/*\")", shape.document, plain) != "0") ++failures;
                }
                start.replace("\"signatureNodeXPath\":\"/*\"", "\"signatureNodeXPath\":\"" + shape.xpath + "\"");
                const QString body = writeFile(folder, "hostile", xadesBody(start, shape.document));
                const QString code = row(shape.what, shape.document, body);
                if (code != "0" && code != "52") ++failures;
            }
            agent.stop();
        }
    } catch (const std::exception& e) {
        std::printf("  the simulated card failed: %s\n", e.what());
        return 1;
    }
    return failures ? 1 : 0;
}

// ---- XPath texts that cost more than their length -------------------------------

// Long XPath texts whose parsing or evaluation costs far more than their
// bytes: a balanced tree of 2^20 or 2^22 additions over a tiny document (the
// larger one only fits a WebSocket message), a balanced `or` of 30,000
// translate() tests and a balanced sum of 100,000 ones in a predicate tried at
// each of 900,000 elements. Then XPaths of a fixed length whose cost grows
// with the document alone: translate() at each element, a union of eight
// siblings at each, namespace-uri() under 99,346 prefixes, `=` between two
// node-sets of distinct values, unions of 265,000 attributes and of 900,000
// elements with themselves, and a number of 23 digits printed at each
// element. Each runs beside the same request with the XPath replaced by "/r"
// and blanks up to the same length: the request's cost without the XPath's
// own work.
struct TextShape {
    const char* id;
    std::string what;
    bool webSocket;             // sent to corvane-universal; else over JSONP to corvane-service
    const QByteArray* document;
    QByteArray xpath;
    bool selectsRoot;           // what the XPath selects once evaluated in full: /r, or nothing
    bool fixedCost = false;     // measured only when asked for (--fixed-cost)
};

// `leaves` copies of `leaf` joined by `op`, two halves at a time in
// parentheses, so the nesting is only log2(leaves) deep.
void appendBalanced(QByteArray* out, const QByteArray& leaf, const QByteArray& op, int leaves) {
    if (leaves == 1) {
        *out += leaf;
        return;
    }
    *out += '(';
    appendBalanced(out, leaf, op, leaves / 2);
    *out += op;
    appendBalanced(out, leaf, op, leaves - leaves / 2);
    *out += ')';
}

QByteArray balanced(const QByteArray& leaf, const QByteArray& op, int leaves) {
    QByteArray out;
    out.reserve(int(qint64(leaves) * (leaf.size() + op.size() + 2)));
    appendBalanced(&out, leaf, op, leaves);
    return out;
}

// The documents, built once for every build measured.
struct TextDocuments {
    QByteArray tiny = "<r><a/></r>";
    QByteArray flat = "<r>" + repeatedText("<a/>", 900000) + "</r>";
    QByteArray prefixes;        // 99,346 elements, each declaring its own prefix
    QByteArray distinct;        // <e> then as many <f>, no value in both
    QByteArray attributes;      // 265,000 attributes on elements of 100

    TextDocuments() {
        prefixes = "<r>";
        for (int n = 0; n <= 99345; ++n) {
            const QByteArray p = "p" + QByteArray::number(n);
            prefixes += "<" + p + ":a xmlns:" + p + "=\"urn:x\"/>";
        }
        prefixes += "</r>";
        constexpr int kValues = 128000;
        distinct = "<r>";
        for (int i = 0; i < kValues; ++i) distinct += "<e>" + QByteArray::number(1000000 + i) + "</e>";
        for (int i = 0; i < kValues; ++i) distinct += "<f>" + QByteArray::number(2000000 + i) + "</f>";
        distinct += "</r>";
        attributes = "<r>";
        for (int element = 0; element < 2650; ++element) {
            attributes += "<e";
            for (int a = 0; a < 100; ++a) {
                attributes += " a" + QByteArray::number(a) + "=\"v" + QByteArray::number(element * 100 + a) + "\"";
            }
            attributes += "/>";
        }
        attributes += "</r>";
    }
};

std::vector<TextShape> textShapes(const TextDocuments& d) {
    const auto counted = [](const QByteArray& inner) { return "/r[count(" + inner + ") > 1]"; };
    QByteArray translates = ".";
    for (int i = 0; i < 10; ++i) translates = "translate(" + translates + ", '', '')";
    QByteArray siblings = ".";
    for (int i = 1; i <= 7; ++i) siblings += " | following-sibling::a[" + QByteArray::number(i) + "]";
    constexpr bool fixed = true;
    return {
        {"1", "+ of 2^20 1s = 0", false, &d.tiny, "/r[" + balanced("1", "+", 1 << 20) + " = 0]", false},
        {"2", "+ of 2^22 1s = 0", true, &d.tiny, "/r[" + balanced("1", "+", 1 << 22) + " = 0]", false},
        {"3", "//a[or of 30,000 translate()]", false, &d.flat,
         counted("//a[" + balanced("(translate('a','b','c')='z')", " or ", 30000) + "]"), false},
        {"4", "//a[+ of 100,000 1s = 7]", false, &d.flat, counted("//a[" + balanced("1", "+", 100000) + " = 7]"),
         false},
        {"5a", "//a[translate('a','b','c')='z']", false, &d.flat, counted("//a[translate('a','b','c')='z']"), false,
         fixed},
        {"5a", "//a[10 nested translate(.) = 'z']", false, &d.flat, counted("//a[" + translates + " = 'z']"), false,
         fixed},
        {"5b", "/r/a[count(. | 7 siblings) = 8]", false, &d.flat, counted("/r/a[count(" + siblings + ") = 8]"),
         true, fixed},
        {"5b", "//a[count(. | ..) = 2]", false, &d.flat, counted("//a[count(. | ..) = 2]"), true, fixed},
        {"5c", "//*[namespace-uri() = 'x']", false, &d.prefixes, counted("//*[namespace-uri() = 'x']"), false,
         fixed},
        {"5d", "//e = //f", false, &d.distinct, "/r[//e = //f]", false, fixed},
        {"5d", "/r/e[1] = //f", false, &d.distinct, "/r[/r/e[1] = //f]", false, fixed},
        {"5e", "//@* | //@*", false, &d.attributes, counted("//@* | //@*"), true, fixed},
        {"5e", "sum(//a | //a)", false, &d.flat, "/r[sum(//a | //a) > 1]", false, fixed},
        {"5f", "//a[string(1e22) = 'x']", false, &d.flat, counted("//a[string(1" + QByteArray(22, '0') + ") = 'x']"),
         false, fixed},
    };
}

// What one request cost the process that served it.
struct Served {
    QString code;
    double seconds = 0, cpu = 0;
    qint64 beforeKiB = 0;   // resident size just before
    qint64 growthKiB = 0;   // of the peak resident size over that
    QByteArray signedDocument;   // what the answer signed, where it signed
};

// Sends one request with `send` (which returns the answer's code and puts
// the document it signed in its argument) and reads the serving process's
// CPU time and peak resident size around it.
template <class Send>
Served serveOne(qint64 pid, const Send& send) {
    const double tick = double(sysconf(_SC_CLK_TCK));
    Served served;
    served.beforeKiB = residentKiB(pid);
    resetPeakResident(pid);
    const ProcessCost cost = processCost(pid);
    QElapsedTimer timer;
    timer.start();
    served.code = send(&served.signedDocument);
    served.seconds = double(timer.elapsed()) / 1000.0;
    served.cpu = double(processCost(pid).ticks - cost.ticks) / tick;
    served.growthKiB = peakResidentKiB(pid) - served.beforeKiB;
    return served;
}

// Waits until the process has given back what its last large request freed,
// which it does once it has been idle for 1.5 s (memory-release.h): a request
// measured before that would reuse those pages and show less growth. `idle`
// started when that request was answered, `beforeKiB` is the resident size
// it started from.
void waitForRelease(qint64 pid, const QElapsedTimer& idle, qint64 beforeKiB) {
    QThread::msleep(ulong(std::max<qint64>(0, 1450 - idle.elapsed())));
    // Freed pages also go back little by little before the release, so a
    // drop alone does not show it: the size has to come back near where the
    // request started (a first request of a kind keeps a few MiB) and stay.
    // The "before" column shows where a row started all the same.
    constexpr qint64 kKeptKiB = 16 * 1024;
    while (idle.elapsed() < 5000 && residentKiB(pid) > beforeKiB + kKeptKiB) QThread::msleep(20);
    for (qint64 last = -1, now = residentKiB(pid); now != last && idle.elapsed() < 5000; now = residentKiB(pid)) {
        last = now;
        QThread::msleep(100);
    }
}

// The responseCode of the answer to `message` (a WsClient frame), or what
// went wrong. A request of megabytes may take minutes to stop when the
// evaluator is not bounded.
QString responseCodeOver(WsClient& client, const QString& message, QByteArray* signedDocument = nullptr) {
    client.socket.sendTextMessage(message);
    const QString answer = client.next(300000);
    if (answer.isEmpty()) {
        return client.socket.state() == QAbstractSocket::ConnectedState
                   ? "no answer"
                   : "closed " + QString::number(client.socket.closeCode());
    }
    return codeOf(QJsonDocument::fromJson(answer.toUtf8()).array(), signedDocument);
}

// Processes running the program at `path` (the corvane-service that
// corvane-universal starts beside itself, found by the copy in our folder).
std::vector<qint64> processesRunning(const QString& path) {
    std::vector<qint64> pids;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (numeric && QFile::symLinkTarget(QString("/proc/%1/exe").arg(pid)) == path) pids.push_back(pid);
    }
    return pids;
}

void endProcess(qint64 pid) {
    if (kill(pid_t(pid), SIGTERM) != 0) return;
    for (int i = 0; i < 100 && kill(pid_t(pid), 0) == 0; ++i) QThread::msleep(50);
    if (kill(pid_t(pid), 0) == 0) kill(pid_t(pid), SIGKILL);
}

bool waitForFreePorts() {
    for (int i = 0; i < 240; ++i) {
        if (!portAcceptsConnections(kPort) && !portAcceptsConnections(kWssPort)) return true;
        if (i == 0) std::printf("  (ports %d/%d busy: another run of the agent holds them; waiting up to 120 s)\n",
                                kWssPort, kPort);
        QThread::msleep(500);
    }
    return false;
}

// "/r" padded signs, unless the text is longer than an XPath may be
// (16,384 bytes), where a build that refuses such texts answers 52.
bool paddedAnswered(const QString& code, const QByteArray& xpath) {
    return code == "0" || (code == "52" && xpath.size() > 16384);
}

// "/r" and blanks up to the length of `xpath`: the request without the
// XPath's own work. None where there is no XPath.
QByteArray paddedRoot(const QByteArray& xpath) {
    return xpath.isEmpty() ? QByteArray() : "/r" + QByteArray(xpath.size() - 2, ' ');
}

// The JSON of the request that `requestStart` begins, over `document`, with
// these XPaths for the signature's place and the node to sign (none: the
// whole document).
QByteArray requestWithXPaths(const QByteArray& requestStart, const QByteArray& document,
                             const QByteArray& signatureXPath, const QByteArray& nodeXPath = {}) {
    QByteArray start = requestStart;
    start.replace("\"signatureNodeXPath\":\"/*\"", "\"signatureNodeXPath\":\"" + signatureXPath + "\"");
    start.replace("\"nodeToSignXPath\":\"\"", "\"nodeToSignXPath\":\"" + nodeXPath + "\"");
    return start + document.toBase64() + "\"}";
}

// Whether a process's first, small signature signed; says so when not.
bool warmedUp(const QString& code) {
    if (code == "0") return true;
    std::printf("  note: the first, small signature answered %s\n", code.toLocal8Bit().constData());
    return false;
}

// A fresh corvane-service of the build in use, after one small signature
// (which loads the card's module and is too small to leave memory to give
// back), serving requests one at a time, each once the process has given
// back what the one before freed; each body is written before the clock
// starts.
class JsonpService {
public:
    // False when it did not come up; a small signature that failed counts
    // in *failures.
    bool start(const QString& warmUpBody, int* failures) {
        if (!startAgent(agent)) return false;
        pid = agent.process().processId();
        if (!warmedUp(responseCode(postMultipart(warmUpBody)))) ++*failures;
        return true;
    }
    Served serve(const QByteArray& json) {
        const QString body = writeFile(folder, "body", jsonpMultipart(json));
        if (sinceAnswer.isValid()) waitForRelease(pid, sinceAnswer, lastBefore);
        Served served =
            serveOne(pid, [&](QByteArray* signedDocument) { return responseCode(postMultipart(body), signedDocument); });
        sinceAnswer.start();
        lastBefore = served.beforeKiB;
        return served;
    }
    void stop() { agent.stop(); }

private:
    AgentProcess agent{"bin/corvane-service"};
    QTemporaryDir folder;
    QElapsedTimer sinceAnswer;   // not started before the first request
    qint64 pid = 0, lastBefore = 0;
};

// One request over the WebSocket on a fresh corvane-universal of the build
// in use, after one small signature (`warmUpJson`; one that fails counts in
// *failures): after a 16 MB message, the next one on the same process meets
// a heap of another shape, and its peak lies tens of MiB apart whatever its
// XPath. False when the request could not be made.
bool serveOnFreshUniversal(const QByteArray& warmUpJson, const QByteArray& json, Served* served, int* failures) {
    AgentProcess agent("bin/corvane-universal", {"bin/corvane-service"});
    const QString beside = agent.programFolder() + "/corvane-service";
    const auto endBeside = [&] {
        for (const qint64 pid : processesRunning(beside)) endProcess(pid);
    };
    if (!waitForFreePorts() || !agent.start(kWssPort)) {
        std::printf("  corvane-universal did not come up on 127.0.0.1:%d\n", kWssPort);
        endBeside();
        return false;
    }
    // Its corvane-service comes up beside it; waited for, so that its start
    // does not fall inside a measured request.
    waitForPort(kPort, true, 10000);
    QThread::msleep(500);
    WsClient client;
    if (!client.open(10000, kWssPort)) {
        std::printf("  no wss connection to corvane-universal\n");
        agent.stop();
        endBeside();
        return false;
    }
    if (!warmedUp(responseCodeOver(client, WsClient::message(warmUpJson)))) ++*failures;
    QThread::msleep(2000);
    const QString message = WsClient::message(json);
    *served = serveOne(agent.process().processId(), [&](QByteArray* signedDocument) {
        return responseCodeOver(client, message, signedDocument);
    });
    agent.stop();
    endBeside();
    return true;
}

void printTextRow(const TextShape& shape, const char* label, const QByteArray& xpath, const Served& s,
                  const Served* padded) {
    std::printf("  %-3s %-36s %-5s %6.2f %8.2f %6s %6s %8.2f %7.2f %10.1f %10.1f", shape.id, label,
                shape.webSocket ? "wss" : "JSONP", shape.document->size() / 1e6, xpath.size() / 1e6,
                padded ? (shape.selectsRoot ? "0" : "52") : "0", s.code.toLocal8Bit().constData(), s.seconds, s.cpu,
                mib(s.beforeKiB), mib(s.growthKiB));
    if (padded) std::printf(" %+12.1f", mib(s.growthKiB - padded->growthKiB));
    std::printf("\n");
    std::fflush(stdout);
}

int runXPathTexts(const QString& baselineFolder, bool fixedCost) {
    std::printf("\nLong and costly signatureNodeXPaths, each in one signXaDES_BES_Enveloped request, simulated AKIS "
                "card, after the same request with the XPath replaced by \"/r\" and blanks to the same length; "
                "JSONP (multipart) rows on one fresh corvane-service, then each wss row on a fresh "
                "corvane-universal%s%s\n", baselineFolder.isEmpty() ? "" : "; this build, then the baseline's",
                fixedCost ? "" : " (the fixed-cost XPaths with --fixed-cost)");
    std::string reason;
    if (!rig::pcscdReady(&reason)) {
        std::printf("  skipped: the test rig's pcscd is not running (%s)\n", reason.c_str());
        return 0;
    }
    const std::vector<Build> builds = buildsToMeasure(baselineFolder);
    int failures = 0;
    try {
        const AkisSigning akis;
        const TextDocuments documents;
        std::vector<TextShape> shapes;
        for (TextShape& shape : textShapes(documents)) {
            if (fixedCost || !shape.fixedCost) shapes.push_back(std::move(shape));
        }
        const QByteArray warmUp = requestWithXPaths(akis.request, invoice(2000), "/*");
        for (const Build& measured : builds) {
            std::printf("  %s (%s)\n", measured.name, measured.folder.toLocal8Bit().constData());
            std::printf("  %-3s %-36s %-5s %6s %8s %6s %6s %8s %7s %10s %10s %12s\n", "", "XPath", "via", "doc MB",
                        "XPath MB", "whole", "code", "seconds", "CPU s", "before MiB", "peak+ MiB", "- padded's");
            const corvane::bench::BuildInUse build(measured.folder);
            // A shape after its padded twin: both rows printed, both answers
            // checked. `serve` answers false when the request could not be made.
            const auto measurePair = [&](const TextShape& shape, const auto& serve) {
                const QByteArray blank = paddedRoot(shape.xpath);
                Served padded, hostile;
                if (!serve(shape, blank, &padded)) return false;
                printTextRow(shape, "\"/r\" and blanks", blank, padded, nullptr);
                if (!paddedAnswered(padded.code, blank)) ++failures;
                if (!serve(shape, shape.xpath, &hostile)) return false;
                printTextRow(shape, shape.what.c_str(), shape.xpath, hostile, &padded);
                // Stopped or refused answers 52; signed only where the XPath selects /r.
                if (hostile.code != "52" && !(hostile.code == "0" && shape.selectsRoot)) ++failures;
                return true;
            };
            {
                // The JSONP rows on one process.
                JsonpService service;
                if (!service.start(akis.warmUp, &failures)) return 1;
                const auto serve = [&](const TextShape& shape, const QByteArray& xpath, Served* served) {
                    *served = service.serve(requestWithXPaths(akis.request, *shape.document, xpath));
                    return true;
                };
                for (const TextShape& shape : shapes) {
                    if (!shape.webSocket) measurePair(shape, serve);
                }
                service.stop();
            }
            // A baseline built for the JSONP figures alone (as run.sh builds
            // one) has none.
            if (!QFile::exists(measured.folder + "/bin/corvane-universal")) {
                std::printf("  no wss rows: no %s/bin/corvane-universal\n", measured.folder.toLocal8Bit().constData());
                continue;
            }
            const auto serveFresh = [&](const TextShape& shape, const QByteArray& xpath, Served* served) {
                return serveOnFreshUniversal(warmUp, requestWithXPaths(akis.request, *shape.document, xpath), served,
                                             &failures);
            };
            for (const TextShape& shape : shapes) {
                if (shape.webSocket && !measurePair(shape, serveFresh)) return 1;
            }
        }
    } catch (const std::exception& e) {
        std::printf("  the simulated card failed: %s\n", e.what());
        return 1;
    }
    std::printf("  (whole: the code once the XPath is evaluated in full: 0 where it selects /r, 52 where it selects "
                "nothing; a stopped XPath answers 52 too; before: the serving process's resident size just before; "
                "peak+: growth of its peak resident size over that; - padded's: this row's over the padded row's "
                "above it)\n");
    return failures ? 1 : 0;
}

// ---- What the XPaths of a request cost beside the request ----------------------

// XPaths whose work the evaluator's units undercharge or overcharge, each
// request beside the same one with "/r" and blanks in place of its XPaths:
// concat() results that rise from one size class to the next (each lands in
// fresh pages), filters that build node-sets of millions of nodes, in both
// XPaths of a request, and the forms callers write, tested at each node of
// the densest documents of a JSONP request.
struct CostShape {
    const char* id;
    std::string what;
    bool webSocket;             // sent to corvane-universal; else over JSONP to corvane-service
    const QByteArray* document;
    QByteArray signatureXPath;
    QByteArray nodeXPath;       // none: the whole document is signed
    bool form;                  // must sign; else a stop (52) is an answer too
};

// `/r[string-length(concat(t, t, ...)) > 0 and ...]`, with a concat() of k
// copies of t for each k of `copies`.
QByteArray risingConcats(const std::vector<int>& copies) {
    QByteArray predicates;
    for (const int k : copies) {
        if (!predicates.isEmpty()) predicates += " and ";
        predicates += "string-length(concat(t" + repeatedText(", t", k - 1) + ")) > 0";
    }
    return "/r[" + predicates + "]";
}

// The documents, built once for every build measured: a text of about the
// most a JSONP request (5.3 MB) or a WebSocket message (18 MB) carries,
// as many <a/> as fit each, and the 3.6 MB documents of the forms.
struct CostDocuments {
    QByteArray jsonpText = "<r><t>" + QByteArray(5300000, 'A') + "</t></r>";
    QByteArray wssText = "<r><t>" + QByteArray(18000000, 'A') + "</t></r>";
    QByteArray jsonpFlat = "<r>" + repeatedText("<a/>", 1350000) + "</r>";
    QByteArray wssFlat = "<r>" + repeatedText("<a/>", 4400000) + "</r>";
    QByteArray flat = "<r>" + repeatedText("<a/>", 900000) + "</r>";
    QByteArray texts = "<r>" + repeatedText("<a>t</a>", 450000) + "</r>";
};

std::vector<CostShape> costShapes(const CostDocuments& d) {
    const QByteArray fiveToFourteen = risingConcats({5, 6, 7, 8, 9, 10, 11, 12, 13, 14});
    const QByteArray filters = "/r[count((//a)[true()][true()][true()]) >= 0]";
    const auto form = [&](const char* id, const QByteArray& f, const QByteArray* document) {
        return CostShape{id, f.toStdString(), false, document, "/r[count(" + f + ") >= 0]", {}, true};
    };
    return {
        {"1a", "cc(5..14)", false, &d.jsonpText, fiveToFourteen, {}, false},
        {"1b", "cc(5..14); node cc(16,20,23,25)", false, &d.jsonpText, fiveToFourteen,
         risingConcats({16, 20, 23, 25}), false},
        {"1c", "cc(24,24,24); node cc(24,24,24,24)", true, &d.wssText, risingConcats({24, 24, 24}),
         risingConcats({24, 24, 24, 24}), false},
        {"1d", "3 filters of 1.35M nodes, both XPaths", false, &d.jsonpFlat, filters, filters, false},
        {"1e", "3 filters of 4.4M nodes, both XPaths", true, &d.wssFlat, filters, filters, false},
        form("4a", "//*[namespace-uri()='urn:x']", &d.flat),
        form("4b", "//a[position() = last()]", &d.flat),
        form("4c", "//*[@Id='x'] | //*[@k='2']", &d.flat),
        form("4d", "//*[concat(local-name(), '') = 'x']", &d.flat),
        form("4e", "//*[substring(name(), 1, 1) = 'x']", &d.flat),
        form("4f", "//*[translate(local-name(), 'abc', 'ABC') = 'X']", &d.flat),
        form("4g", "//*[local-name()='a' and namespace-uri()='urn:p']", &d.flat),
        form("4h", "//*[.='x']", &d.texts),
        form("4i", "//*[normalize-space(.) = 'x']", &d.texts),
    };
}

// Whether xmlsec1 verifies the enveloped XAdES signature of `signedDocument`
// with the simulated card's CA; what it said, when not, in *report.
bool xadesVerifies(const QByteArray& signedDocument, QString* report) {
    QTemporaryDir folder;
    const QString ca = writeFile(folder, "ca.pem", QByteArray::fromStdString(cardsim::testCa().certificatePem));
    const QString file = writeFile(folder, "signed.xml", signedDocument);
    if (ca.isEmpty() || file.isEmpty()) {
        *report = "cannot write the signed document";
        return false;
    }
    QProcess xmlsec;
    xmlsec.setProcessChannelMode(QProcess::MergedChannels);
    xmlsec.start("xmlsec1", {"--verify", "--trusted-pem", ca, "--id-attr:Id",
                             "http://uri.etsi.org/01903/v1.3.2#:SignedProperties", file});
    if (!xmlsec.waitForFinished(300000)) {
        xmlsec.kill();
        xmlsec.waitForFinished();
        *report = "xmlsec1 did not finish: " + xmlsec.errorString();
        return false;
    }
    *report = QString::fromLocal8Bit(xmlsec.readAll()).trimmed().section('\n', -1);
    return xmlsec.exitStatus() == QProcess::NormalExit && xmlsec.exitCode() == 0;
}

// What an answer says for its row, and whether it counts as a failure.
struct Verdict {
    std::string text;
    bool failed;
};

// A "0" must carry a signature that verifies; a form and the plain request
// must sign; a fault-1 shape may also stop with 52. Forms the baseline stops
// are shown but not counted: the bench judges the build under test.
Verdict judge(const Served& served, bool mustSign, bool baseline) {
    if (served.code == "0") {
        QString report;
        if (xadesVerifies(served.signedDocument, &report)) return {"signed, verifies", false};
        return {"SIGNATURE DOES NOT VERIFY: " + report.toStdString(), true};
    }
    if (served.code == "52" && !mustSign) return {"stopped (52)", false};
    if (served.code == "52" && baseline) return {"STOPPED, expected 0 (baseline: not counted)", false};
    if (served.code == "52") return {"STOPPED, expected 0", true};
    return {"NO ANSWER: " + served.code.toStdString(), true};
}

void printCostRow(const CostShape& shape, const char* build, const char* label, const Served& s,
                  const Served* plain, const Verdict& verdict) {
    std::printf("  %-3s %-50s %-10s %-5s %6.2f %6s %8.2f %7.2f", shape.id, label, build,
                shape.webSocket ? "wss" : "JSONP", shape.document->size() / 1e6, s.code.toLocal8Bit().constData(),
                s.seconds, s.cpu);
    if (plain) {
        std::printf(" %+7.2f %6.2f %10.1f %+10.1f", s.cpu - plain->cpu, plain->cpu > 0 ? s.cpu / plain->cpu : 0.0,
                    mib(s.growthKiB), mib(s.growthKiB - plain->growthKiB));
    } else {
        std::printf(" %7s %6s %10.1f %10s", "", "", mib(s.growthKiB), "");
    }
    std::printf("  %s\n", verdict.text.c_str());
    std::fflush(stdout);
}

int runXPathCosts(const QString& baselineFolder) {
    std::printf("\nWhat the XPaths of a signXaDES_BES_Enveloped request cost (simulated AKIS card), each request "
                "after the same one with its XPaths replaced by \"/r\" and blanks to the same lengths (plain): "
                "JSONP (multipart) pairs on a fresh corvane-service each, after one unmeasured plain request, "
                "wss requests on a fresh corvane-universal each%s\n",
                baselineFolder.isEmpty() ? "" : "; this build and the baseline take turns, row by row");
    std::string reason;
    if (!rig::pcscdReady(&reason)) {
        std::printf("  the test rig's pcscd is not running (%s): these rows need it\n", reason.c_str());
        return 1;
    }
    const std::vector<Build> builds = buildsToMeasure(baselineFolder);
    int failures = 0;
    try {
        const AkisSigning akis;
        const CostDocuments documents;
        const QByteArray warmUp = requestWithXPaths(akis.request, invoice(2000), "/*");
        std::printf("  %-3s %-50s %-10s %-5s %6s %6s %8s %7s %7s %6s %10s %10s  %s\n", "", "XPath", "build", "via",
                    "doc MB", "code", "seconds", "CPU s", "+CPU s", "x CPU", "peak+ MiB", "- plain's", "verdict");
        const std::vector<CostShape> shapes = costShapes(documents);
        for (std::size_t row = 0; row < shapes.size(); ++row) {
            const CostShape& shape = shapes[row];
            for (std::size_t turn = 0; turn < builds.size(); ++turn) {
                // Every other row starts with the other build.
                const Build& measured = builds[(turn + row) % builds.size()];
                const bool baseline = &measured != &builds.front();
                const corvane::bench::BuildInUse build(measured.folder);
                const QByteArray json =
                    requestWithXPaths(akis.request, *shape.document, shape.signatureXPath, shape.nodeXPath);
                const QByteArray plainJson = requestWithXPaths(akis.request, *shape.document,
                                                               paddedRoot(shape.signatureXPath),
                                                               paddedRoot(shape.nodeXPath));
                Served plain, costly;
                if (shape.webSocket) {
                    if (!QFile::exists(measured.folder + "/bin/corvane-universal")) {
                        std::printf("  %-3s no %s/bin/corvane-universal\n", shape.id,
                                    measured.folder.toLocal8Bit().constData());
                        ++failures;
                        continue;
                    }
                    if (!serveOnFreshUniversal(warmUp, plainJson, &plain, &failures) ||
                        !serveOnFreshUniversal(warmUp, json, &costly, &failures)) {
                        ++failures;
                        continue;
                    }
                } else {
                    JsonpService service;
                    if (!service.start(akis.warmUp, &failures)) {
                        ++failures;
                        continue;
                    }
                    // Unmeasured: the first large request of a process pays
                    // for growing its heap, which would fall on the plain one.
                    service.serve(plainJson);
                    plain = service.serve(plainJson);
                    costly = service.serve(json);
                    service.stop();
                }
                const Verdict plainVerdict = judge(plain, true, baseline);
                printCostRow(shape, measured.name, "plain", plain, nullptr, plainVerdict);
                const Verdict verdict = judge(costly, shape.form, baseline);
                printCostRow(shape, measured.name, shape.what.c_str(), costly, &plain, verdict);
                failures += int(plainVerdict.failed) + int(verdict.failed);
            }
        }
    } catch (const std::exception& e) {
        std::printf("  the simulated card failed: %s\n", e.what());
        return 1;
    }
    std::printf("  (cc(ks): /r[string-length(concat(t, t, ... k times)) > 0 and ...] for each k, over <r><t> and "
                "'A' x 5,300,000 or 18,000,000; node: the nodeToSignXPath, else none; 4a-4i: /r[count(F) >= 0], "
                "on 900,000 <a/> or 450,000 <a>t</a>; CPU s: the serving process's, user + system; +CPU s, x CPU: "
                "over the plain request's; peak+: growth of its peak resident size over where it started; "
                "- plain's: that less the plain request's; a signature made is checked by xmlsec1 --verify)\n");
    return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    QString only;
    QString baseline = QString::fromLocal8Bit(qgetenv("CORVANE_BASELINE_DIR"));
    int rounds = 3, requests = 4;
    bool fixedCost = false, longer = false;
    const QStringList args = application.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--only" && i + 1 < args.size()) only = args[++i];
        else if (args[i] == "--baseline-dir" && i + 1 < args.size()) baseline = args[++i];
        else if (args[i] == "--rounds" && i + 1 < args.size()) rounds = std::max(1, args[++i].toInt());
        else if (args[i] == "--requests" && i + 1 < args.size()) requests = std::max(1, args[++i].toInt());
        else if (args[i] == "--fixed-cost") fixedCost = true;
        else if (args[i] == "--long") longer = fixedCost = true;
    }
    if (!QFile::exists(rootCertificatePath())) {
        std::printf("no TLS root at %s: build corvane-service first\n",
                    rootCertificatePath().toLocal8Bit().constData());
        return 2;
    }
    std::printf("\nResident memory of corvane-service around large requests (/proc/<pid>/status; \"answered\": "
                "right after the last answer; peak+: growth to the peak; x/body: growth over the bytes sent)\n");
    int failures = 0;
    if (only.isEmpty() || only == "fields") failures += runFields();
    if (only.isEmpty() || only == "xades") failures += runXades(baseline);
    if (only.isEmpty() || only == "connections") failures += runConnections(baseline, rounds);
    if (only.isEmpty() || only == "back-to-back") failures += runBackToBack(baseline, rounds, requests);
    // The hostile XPaths of the string searches and axes (about 100 s) when
    // asked for, or with --long; the texts and large expressions always.
    if ((only.isEmpty() && longer) || only == "xpath") failures += runXPaths(baseline);
    if (only.isEmpty() || only == "xpath-text") failures += runXPathTexts(baseline, fixedCost);
    // What the XPaths of a request cost beside the request (about 3 min a
    // build) when asked for, or with --long.
    if ((only.isEmpty() && longer) || only == "xpath-cost") failures += runXPathCosts(baseline);
    return failures ? 1 : 0;
}
