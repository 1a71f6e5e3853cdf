// The cost of one signCAdES_BES through the agent against the bare PKCS#11
// job on the same SoftHSM2 token, in the same run, as a ratio.
//
// Agent side: the command function that both dispatchers call,
// tev::quessel::signCadesBesAsJSON, in this process, with a test card
// database that maps the library name "softhsm" to the SoftHSM2 module (the
// programs only load their compiled-in database, which names no SoftHSM).
// It loads the module, initialises it on a worker thread under its time-out,
// opens a session, lists and parses the slot's certificates, builds the
// signed attributes, logs in, finds the key, signs, logs out, finalises and
// unloads, and writes its log file, as it does for a page.
//
// Bare side: dlopen, C_GetFunctionList, C_Initialize, C_OpenSession,
// C_Login, C_FindObjects (the private key by CKA_ID), C_SignInit/C_Sign
// (CKM_RSA_PKCS over a SHA-256 DigestInfo), C_Logout, C_CloseSession,
// C_Finalize, dlclose.
//
// The two alternate, RSA-2048, the same 1 KiB of data. Prints medians, p90 and
// the ratio; asserts nothing about time.
//
//   corvane-bench-signing [--rounds N]
#include <QByteArray>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <dlfcn.h>
#include <string>
#include <vector>

#include <p11-kit/pkcs11.h>

#include "../tests/rig/softhsm/softhsm-fixture.h"
#include "quessel-commons.h"
#include "tev-logging.h"
#include "tev-smartcard.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// CPU time of the whole process (the agent's worker and log-writer threads
// included), in ms. On a shared machine the wall-clock medians also carry the
// time spent waiting for a CPU; this figure does not.
double processCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1000.0 + double(t.tv_nsec) / 1e6;
}

struct BareTimes {
    double total = 0, load = 0, login = 0, sign = 0, unload = 0;
    CK_RV failed = CKR_OK;
    const char* step = "";
};

// The bare job. Every step's result is checked so a failing job cannot pass
// for a fast one.
BareTimes bareJob(const std::string& module, CK_SLOT_ID slot, const std::string& pin, const QByteArray& id,
                  const QByteArray& digestInfo) {
    BareTimes t;
    const Clock::time_point start = Clock::now();
    void* handle = dlopen(module.c_str(), RTLD_NOW);
    if (!handle) {
        t.failed = CKR_GENERAL_ERROR;
        t.step = "dlopen";
        return t;
    }
    CK_FUNCTION_LIST_PTR p11 = nullptr;
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"));
    CK_SESSION_HANDLE session = 0;
    auto check = [&t](CK_RV rv, const char* step) {
        if (rv != CKR_OK && t.failed == CKR_OK) {
            t.failed = rv;
            t.step = step;
        }
        return rv == CKR_OK;
    };
    bool initialised = false;
    if (check(getList ? getList(&p11) : CKR_GENERAL_ERROR, "C_GetFunctionList") &&
        check(p11->C_Initialize(nullptr), "C_Initialize")) {
        initialised = true;
        if (check(p11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session), "C_OpenSession")) {
            t.load = msSince(start);
            const Clock::time_point loginStart = Clock::now();
            std::string pinText = pin;
            if (check(p11->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(&pinText[0]),
                                   static_cast<CK_ULONG>(pinText.size())),
                      "C_Login")) {
                t.login = msSince(loginStart);
                const Clock::time_point signStart = Clock::now();
                CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
                QByteArray keyId = id;
                CK_ATTRIBUTE find[] = {{CKA_CLASS, &keyClass, sizeof keyClass},
                                       {CKA_ID, keyId.data(), static_cast<CK_ULONG>(keyId.size())}};
                CK_OBJECT_HANDLE key = 0;
                CK_ULONG found = 0;
                if (check(p11->C_FindObjectsInit(session, find, 2), "C_FindObjectsInit")) {
                    check(p11->C_FindObjects(session, &key, 1, &found), "C_FindObjects");
                    check(p11->C_FindObjectsFinal(session), "C_FindObjectsFinal");
                }
                if (found == 1) {
                    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
                    QByteArray data = digestInfo;
                    unsigned char signature[1024];
                    CK_ULONG length = sizeof signature;
                    if (check(p11->C_SignInit(session, &mechanism, key), "C_SignInit")) {
                        check(p11->C_Sign(session, reinterpret_cast<CK_BYTE_PTR>(data.data()),
                                          static_cast<CK_ULONG>(data.size()), signature, &length),
                              "C_Sign");
                    }
                } else if (t.failed == CKR_OK) {
                    t.failed = CKR_KEY_HANDLE_INVALID;
                    t.step = "no private key with the CKA_ID";
                }
                t.sign = msSince(signStart);
                check(p11->C_Logout(session), "C_Logout");
            }
        }
    }
    const Clock::time_point unloadStart = Clock::now();
    if (session) p11->C_CloseSession(session);
    if (initialised) check(p11->C_Finalize(nullptr), "C_Finalize");
    dlclose(handle);
    t.unload = msSince(unloadStart);
    t.total = msSince(start);
    return t;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t rank = static_cast<std::size_t>(std::ceil(p / 100.0 * double(v.size())));
    return v[std::min(v.size() - 1, rank == 0 ? 0 : rank - 1)];
}

std::string runTool(const QString& program, const QStringList& arguments, int* exitCode) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, arguments);
    if (!p.waitForFinished(60000)) {
        p.kill();
        *exitCode = -1;
        return "did not finish";
    }
    *exitCode = p.exitCode();
    return p.readAll().toStdString();
}

// The token layer writes notes to Qt's message log (standard error); the
// service's standard error goes nowhere, so here they are dropped too.
void dropMessage(QtMsgType, const QMessageLogContext&, const QString&) {}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    qInstallMessageHandler(dropMessage);
    int rounds = 40;
    const QStringList args = application.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--rounds" && i + 1 < args.size()) rounds = std::max(1, args[++i].toInt());
    }

    QTemporaryDir work;
    if (!work.isValid()) {
        std::printf("cannot make a work folder\n");
        return 2;
    }
    std::printf("\nsignCAdES_BES through the agent against the bare PKCS#11 job (SoftHSM2, RSA-2048, 1 KiB data)\n");
    const corvane::rig::SoftHsmTokens tokens = corvane::rig::makeSoftHsmTokens(work.path() + "/hsm");
    if (!tokens.ok) {
        std::printf("  cannot make SoftHSM tokens: %s\n", tokens.skipReason.toLocal8Bit().constData());
        return 2;
    }
    tokens.exportConfig();
    tev::logging::configure((work.path() + "/logs/bench-signing.log").toStdString());

    const std::string module = tokens.module();
    const int slot = tokens.slotOf(tokens.get("TOKEN_MAIN"));
    const std::string pin = tokens.get("P11_PIN");
    const QByteArray keyId = QByteArray::fromHex(QByteArray::fromStdString(tokens.get("RSA_ID")));
    const QString database = QString(
                                 "<smartcard-config><libraries><library name=\"softhsm\">"
                                 "<driver operatingSystem=\"Linux_x64\" path=\"%1\"/></library></libraries>"
                                 "<card-types/></smartcard-config>")
                                 .arg(QString::fromStdString(module));
    if (tev::smartcard::configure(database.toUtf8().constData()) != 0) {
        std::printf("  the test card database does not load\n");
        return 2;
    }

    QByteArray data(1024, Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i) data[i] = char(i * 7 + 3);
    const QByteArray digestInfo = QByteArray::fromHex("3031300d060960864801650304020105000420") +
                                  QCryptographicHash::hash(data, QCryptographicHash::Sha256);
    const QJsonObject request{{"action", "signCAdES_BES"},
                              {"transactionUUID", "bench-signing"},
                              {"library", "softhsm"},
                              {"slotId", QString::number(slot)},
                              {"certSerialNumber", QString::fromStdString(tokens.get("RSA_SERIAL"))},
                              {"pincode", QString::fromStdString(pin)},
                              {"dataBase64", QString(data.toBase64())},
                              {"isAttached", false}};

    auto agentJob = [&request](std::string* answer) {
        const Clock::time_point start = Clock::now();
        *answer = tev::quessel::signCadesBesAsJSON(request);
        return msSince(start);
    };

    // Both roads must really sign before their time means anything: the
    // agent's signature is checked by OpenSSL, the bare job's results by
    // every PKCS#11 step.
    std::string answer;
    agentJob(&answer);
    const std::string marker = "\"signature\": \"";
    const std::size_t at = answer.find(marker);
    if (answer.find("\"responseCode\": \"0\"") == std::string::npos || at == std::string::npos) {
        std::printf("  the agent did not sign: %s\n", answer.substr(0, 200).c_str());
        return 1;
    }
    const std::size_t begin = at + marker.size();
    const QByteArray cms =
        QByteArray::fromBase64(QByteArray::fromStdString(answer.substr(begin, answer.find('"', begin) - begin)));
    QFile cmsFile(work.path() + "/sig.der"), dataFile(work.path() + "/data.bin");
    cmsFile.open(QIODevice::WriteOnly);
    cmsFile.write(cms);
    cmsFile.close();
    dataFile.open(QIODevice::WriteOnly);
    dataFile.write(data);
    dataFile.close();
    int exitCode = 0;
    const std::string verified =
        runTool("openssl", {"cms", "-verify", "-cades", "-binary", "-inform", "DER", "-in", cmsFile.fileName(),
                            "-content", dataFile.fileName(), "-CAfile", tokens.qget("CA_CERT"), "-out", "/dev/null"},
                &exitCode);
    if (exitCode != 0) {
        std::printf("  openssl cms -verify -cades refuses the agent's signature: %s\n", verified.c_str());
        return 1;
    }
    const BareTimes probe = bareJob(module, static_cast<CK_SLOT_ID>(slot), pin, keyId, digestInfo);
    if (probe.failed != CKR_OK) {
        std::printf("  the bare job fails at %s with 0x%lx\n", probe.step, static_cast<unsigned long>(probe.failed));
        return 1;
    }

    // Warm both roads (page cache, OpenSSL tables), then alternate.
    for (int i = 0; i < 3; ++i) {
        agentJob(&answer);
        bareJob(module, static_cast<CK_SLOT_ID>(slot), pin, keyId, digestInfo);
    }
    std::vector<double> agent, bare, load, login, sign, unload, agentCpu, bareCpu;
    int failures = 0;
    for (int i = 0; i < rounds; ++i) {
        double cpu = processCpuMs();
        agent.push_back(agentJob(&answer));
        // The log writer may still be writing this job's lines.
        tev::logging::flush();
        agentCpu.push_back(processCpuMs() - cpu);
        if (answer.find("\"responseCode\": \"0\"") == std::string::npos) ++failures;
        cpu = processCpuMs();
        const BareTimes t = bareJob(module, static_cast<CK_SLOT_ID>(slot), pin, keyId, digestInfo);
        bareCpu.push_back(processCpuMs() - cpu);
        if (t.failed != CKR_OK) ++failures;
        bare.push_back(t.total);
        load.push_back(t.load);
        login.push_back(t.login);
        sign.push_back(t.sign);
        unload.push_back(t.unload);
    }

    std::printf("  agent side: in-process tev::quessel::signCadesBesAsJSON (the dispatchers' command function),\n"
                "  test card database mapping library \"softhsm\" to %s; its CMS verified by\n"
                "  openssl cms -verify -cades. %d alternating rounds after 3 warm-up rounds each.\n",
                module.c_str(), rounds);
    std::printf("  %-46s %9s %9s %9s\n", "", "median ms", "p90 ms", "min ms");
    auto row = [](const char* what, const std::vector<double>& v) {
        std::printf("  %-46s %9.2f %9.2f %9.2f\n", what, percentile(v, 50), percentile(v, 90),
                    *std::min_element(v.begin(), v.end()));
    };
    row("signCAdES_BES through the agent", agent);
    row("bare PKCS#11 job", bare);
    row("  of it: dlopen .. C_Initialize .. C_OpenSession", load);
    row("  of it: C_Login", login);
    row("  of it: key lookup, C_SignInit, C_Sign", sign);
    row("  of it: C_CloseSession, C_Finalize, dlclose", unload);
    row("CPU time of the process: agent job", agentCpu);
    row("CPU time of the process: bare job", bareCpu);
    const double ratio = percentile(agent, 50) / percentile(bare, 50);
    std::printf("  ratio agent / bare (medians): %.2f  (agent adds %.2f ms per signature)\n", ratio,
                percentile(agent, 50) - percentile(bare, 50));
    std::printf("  ratio agent / bare, CPU time (medians): %.2f\n", percentile(agentCpu, 50) / percentile(bareCpu, 50));
    if (failures) std::printf("  note: %d job(s) failed during the rounds\n", failures);
    return failures ? 1 : 0;
}
