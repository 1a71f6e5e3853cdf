// Signing jobs against SoftHSM2 and the fault module: signatures checked by
// OpenSSL, response codes, release of module/session/lock on every road.
#include "pkcs11-test-util.h"
#include "tev-pkcs11.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using tev::quessel::pkcs11::SignerContext;
using tev::x509::Certificate;
namespace pk = tev::quessel::pkcs11;

namespace {

const corvane::rig::SoftHsmTokens& tokens() {
    static corvane::rig::SoftHsmTokens t = corvane::rig::makeSoftHsmTokens(corvane::test::privateFolder() + "/hsm");
    return t;
}

class Pkcs11Signing : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tokens().ok) GTEST_SKIP() << tokens().skipReason.toStdString();
        tokens().exportConfig();
        module = tokens().qget("P11_MODULE");
        fault = corvane::rig::faultModulePath();
        mainSlot = tokens().slotOf("corvane-main");
        ASSERT_GE(mainSlot, 0);
        ASSERT_FALSE(p11test::softhsmMapped());
    }
    void TearDown() override {
        if (!tokens().ok) return;
        EXPECT_FALSE(p11test::softhsmMapped()) << "the module stayed loaded after the job";
        EXPECT_FALSE(p11test::faultModuleMapped()) << "the fault module stayed loaded after the job";
    }
    void needFault() {
        if (fault.isEmpty()) GTEST_SKIP() << "fault module not built";
    }
    QByteArray rawSign(const QString& path, const std::string& serialKey, const QByteArray& digest,
                       const std::string& pin = "1234", int slot = -1) {
        QByteArray out;
        pk::signPKCS1_Padding_1_5("softhsm", path, pin, tokens().get(serialKey), slot < 0 ? mainSlot : slot,
                                  digest, &out);
        return out;
    }
    // Runs the raw job and returns what it threw (int), -1 when it did not throw.
    int thrownCode(const QString& path, const std::string& serial, const QByteArray& digest,
                   const std::string& pin = "1234", unsigned long* raw = nullptr) {
        QByteArray out;
        try {
            pk::signPKCS1_Padding_1_5("softhsm", path, pin, serial, mainSlot, digest, &out);
        } catch (int code) {
            return code;
        } catch (unsigned long rv) {
            if (raw) *raw = rv;
            return -2;
        }
        return -1;
    }

    QString module, fault;
    int mainSlot = -1;
    const QByteArray data = "Corvane test document\n";
    const QByteArray digest = QCryptographicHash::hash(data, QCryptographicHash::Sha256);
};

}  // namespace

TEST_F(Pkcs11Signing, RawPkcs1SignatureVerifiesWithOpenSsl) {
    const QByteArray signature = rawSign(module, "RSA_SERIAL", digest);
    ASSERT_EQ(signature.size(), 256);
    QString why;
    EXPECT_TRUE(p11test::opensslVerifiesData(tokens().qget("RSA_CERT"), data, signature, &why)) << why.toStdString();
    // The same signature must not verify for other data.
    EXPECT_FALSE(p11test::opensslVerifiesData(tokens().qget("RSA_CERT"), data + "x", signature));
}

TEST_F(Pkcs11Signing, EntryPointsFindCertificateByDecimalSerialAndSign) {
    SignerContext context;
    context.driverName = "softhsm";
    context.libraryPath = module;
    context.pin = "1234";
    context.slotId = mainSlot;
    ASSERT_EQ(pk::initializeSigningContextForSigning(&context), 0);
    // Above 2^64: only the decimal text can match.
    Certificate certificate = pk::getCertificateWithProvidedSerialNumber(&context, tokens().get("EC256_SERIAL"));
    EXPECT_EQ(certificate.serialNumber, tokens().get("EC256_SERIAL"));
    EXPECT_EQ(certificate.label, "ec256-signer");
    ASSERT_EQ(certificate.idLength, 1u);
    EXPECT_EQ(certificate.id[0], 0x02);
    certificate = pk::getCertificateWithProvidedSerialNumber(&context, tokens().get("RSA_SERIAL"));
    EXPECT_EQ(certificate.label, "rsa-signer");
    EXPECT_EQ(certificate.subjectIdentityNumber, "12345678901");
    context.certificate = &certificate;

    tev::quessel::Signature signature;
    signature.data = QByteArray::fromHex("3031300d060960864801650304020105000420") + digest;
    EXPECT_EQ(pk::signDigestWithProvidedSlotAndCertificate(&context, &signature), 0);
    EXPECT_TRUE(p11test::opensslVerifiesData(tokens().qget("RSA_CERT"), data, signature.signature));
    EXPECT_EQ(context.functionList, nullptr);
}

TEST_F(Pkcs11Signing, EcKeysSignThroughTheSoftwareSigner) {
    needFault();
    p11test::EnvScope soft("P11FAULT_EC_SOFT_SIGN", "1");
    for (const char* key : {"EC256", "EC384"}) {
        const QByteArray signature = rawSign(fault, std::string(key) + "_SERIAL", digest);
        QString why;
        EXPECT_TRUE(p11test::opensslVerifiesData(tokens().qget(std::string(key) + "_CERT"), data, signature, &why))
            << key << ": " << why.toStdString();
    }
}

TEST_F(Pkcs11Signing, EcKeyRefusedByModuleIsThrownAsRawCode) {
    unsigned long raw = 0;
    EXPECT_EQ(thrownCode(module, tokens().get("EC256_SERIAL"), digest, "1234", &raw), -2);
    EXPECT_NE(raw, 0u);
}

TEST_F(Pkcs11Signing, FirstKeyOnTheTokenSignsOnlyForItsOwnCertificate) {
    // The stray token's only key carries neither the certificate's label nor
    // its CKA_ID: only the first-key lookup finds it, and it is the right key.
    const int straySlot = tokens().slotOf("corvane-stray");
    const QByteArray signature = rawSign(module, "STRAY_SERIAL", digest, "1234", straySlot);
    EXPECT_TRUE(p11test::opensslVerifiesData(tokens().qget("STRAY_CERT"), data, signature));
    // The orphan certificate's own key is not on the token: the first key
    // there is another certificate's, and signing with it is no answer.
    QByteArray out;
    unsigned long raw = 0;
    try {
        pk::signPKCS1_Padding_1_5("softhsm", module, "1234", tokens().get("ORPHAN_SERIAL"), straySlot, digest, &out);
    } catch (unsigned long rv) {
        raw = rv;
    }
    EXPECT_EQ(raw, 224u);
    EXPECT_TRUE(out.isEmpty());
}

TEST_F(Pkcs11Signing, UnknownOrDifferentlyWrittenSerialIs516) {
    EXPECT_EQ(thrownCode(module, "999999", digest), 516);
    EXPECT_EQ(thrownCode(module, "0" + tokens().get("RSA_SERIAL"), digest), 516);
    EXPECT_EQ(thrownCode(module, "", digest), 516);
}

TEST_F(Pkcs11Signing, WrongPinIs27AfterEverythingIsReleased) {
    EXPECT_EQ(thrownCode(module, tokens().get("RSA_SERIAL"), digest, "0000"), 27);
    // The lock was released too: the next job on the module runs.
    EXPECT_EQ(rawSign(module, "RSA_SERIAL", digest).size(), 256);
}

TEST_F(Pkcs11Signing, EmptyPinNeverReachesTheToken) {
    needFault();
    p11test::Trace trace("empty-pin");
    EXPECT_EQ(thrownCode(fault, tokens().get("RSA_SERIAL"), digest, ""), 27);
    EXPECT_FALSE(trace.called("C_Login"));
    EXPECT_TRUE(trace.called("C_Finalize"));
}

TEST_F(Pkcs11Signing, LoginAnswersBecomeResponseCodes) {
    needFault();
    struct Case {
        const char* rv;
        int code;
        unsigned long raw;
    } cases[] = {{"0xA4", 38, 0}, {"0xA3", 39, 0}, {"0xA1", 27, 0}, {"0xA2", -2, 162}, {"0x30", -2, 0x30}};
    for (const Case& c : cases) {
        p11test::EnvScope login("P11FAULT_C_Login_RV", c.rv);
        p11test::Trace trace(QString("login-") + c.rv);
        unsigned long raw = 0;
        EXPECT_EQ(thrownCode(fault, tokens().get("RSA_SERIAL"), digest, "1234", &raw), c.code) << c.rv;
        if (c.code == -2) {
            EXPECT_EQ(raw, c.raw) << c.rv;
        }
        const std::string t = trace.text();
        EXPECT_NE(t.find("C_CloseSession 0x0"), std::string::npos) << c.rv;
        EXPECT_NE(t.find("C_Finalize 0x0"), std::string::npos) << c.rv;
        EXPECT_FALSE(trace.called("C_Sign")) << c.rv;
        EXPECT_FALSE(p11test::faultModuleMapped()) << c.rv;
    }
}

TEST_F(Pkcs11Signing, AlreadyLoggedInCountsAsLoggedIn) {
    needFault();
    p11test::EnvScope login("P11FAULT_C_Login_RV", "0x100");
    // SoftHSM never saw the login, so the key stays private and the sign fails
    // with the module's code: what matters is that the job went on to sign.
    p11test::Trace trace("already");
    unsigned long raw = 0;
    thrownCode(fault, tokens().get("RSA_SERIAL"), digest, "1234", &raw);
    EXPECT_TRUE(trace.called("C_FindObjectsInit"));
}

TEST_F(Pkcs11Signing, ExpiredCertificateIs23WithoutLogin) {
    needFault();
    p11test::Trace trace("expired");
    EXPECT_EQ(thrownCode(fault, tokens().get("EXPIRED_SERIAL"), digest), 23);
    EXPECT_FALSE(trace.called("C_Login"));
    EXPECT_TRUE(trace.called("C_CloseSession"));
    EXPECT_TRUE(trace.called("C_Finalize"));
}

TEST_F(Pkcs11Signing, RsaDigestOfOtherLengthIs41BeforeLogin) {
    needFault();
    p11test::Trace trace("digest");
    EXPECT_EQ(thrownCode(fault, tokens().get("RSA_SERIAL"), digest.left(20)), 41);
    EXPECT_EQ(thrownCode(fault, tokens().get("RSA_SERIAL"),
                         QCryptographicHash::hash(data, QCryptographicHash::Sha384)),
              41);
    EXPECT_FALSE(trace.called("C_Login"));
}

TEST_F(Pkcs11Signing, EmptySignatureFromModuleIsAFailure) {
    needFault();
    p11test::EnvScope empty("P11FAULT_C_Sign_EMPTY", "1");
    unsigned long raw = 0;
    EXPECT_EQ(thrownCode(fault, tokens().get("RSA_SERIAL"), digest, "1234", &raw), -2);
    EXPECT_EQ(raw, static_cast<unsigned long>(CKR_GENERAL_ERROR));
}

TEST_F(Pkcs11Signing, SignFailureIsThrownAfterRelease) {
    needFault();
    p11test::EnvScope sign("P11FAULT_C_Sign_RV", "0x150");
    p11test::Trace trace("sign-fail");
    unsigned long raw = 0;
    EXPECT_EQ(thrownCode(fault, tokens().get("RSA_SERIAL"), digest, "1234", &raw), -2);
    EXPECT_EQ(raw, 0x150u);
    EXPECT_TRUE(trace.called("C_Finalize"));
}

TEST_F(Pkcs11Signing, LogoutNotLoggedInAfterSigningStillCleansUpOnce) {
    needFault();
    p11test::EnvScope logout("P11FAULT_C_Logout_RV", "0x101");
    p11test::Trace trace("logout");
    const QByteArray signature = rawSign(fault, "RSA_SERIAL", digest);
    EXPECT_TRUE(p11test::opensslVerifiesData(tokens().qget("RSA_CERT"), data, signature));
    EXPECT_NE(trace.text().find("C_Logout 0x101"), std::string::npos);
    int finalizes = 0, closes = 0;
    for (const std::string& line : trace.lines()) {
        if (line.rfind("C_Finalize ", 0) == 0) ++finalizes;
        if (line.rfind("C_CloseSession ", 0) == 0) ++closes;
    }
    EXPECT_EQ(finalizes, 1);
    EXPECT_EQ(closes, 1);
}

TEST_F(Pkcs11Signing, FailedPreparationReleasesEverything) {
    needFault();
    {
        p11test::EnvScope info("P11FAULT_C_GetSessionInfo_RV", "0x5");
        p11test::Trace trace("session-info");
        SignerContext context;
        context.libraryPath = fault;
        context.slotId = mainSlot;
        EXPECT_EQ(pk::initializeSigningContextForSigning(&context), 5);
        EXPECT_TRUE(trace.called("C_CloseSession"));
        EXPECT_TRUE(trace.called("C_Finalize"));
        EXPECT_EQ(context.functionList, nullptr);
        EXPECT_FALSE(p11test::faultModuleMapped());
        // Going on anyway: the certificate lookup has nothing to read.
        try {
            pk::getCertificateWithProvidedSerialNumber(&context, tokens().get("RSA_SERIAL"));
            ADD_FAILURE() << "no 516";
        } catch (int code) {
            EXPECT_EQ(code, 516);
        }
    }
    {
        p11test::EnvScope init("P11FAULT_C_Initialize_RV", "0x6");
        SignerContext context;
        context.libraryPath = fault;
        context.slotId = mainSlot;
        EXPECT_EQ(pk::initializeSigningContextForSigning(&context), 2);
        EXPECT_FALSE(p11test::faultModuleMapped());
    }
    {
        SignerContext context;
        context.libraryPath = module;
        context.slotId = 0x7ffffff0;  // no such slot
        EXPECT_EQ(pk::initializeSigningContextForSigning(&context), static_cast<int>(CKR_SLOT_ID_INVALID));
    }
}

TEST_F(Pkcs11Signing, DestroyingAPreparedContextReleasesModuleAndLock) {
    {
        SignerContext context;
        context.libraryPath = module;
        context.slotId = mainSlot;
        ASSERT_EQ(pk::initializeSigningContextForSigning(&context), 0);
        EXPECT_TRUE(p11test::softhsmMapped());
    }
    EXPECT_FALSE(p11test::softhsmMapped());
    EXPECT_EQ(rawSign(module, "RSA_SERIAL", digest).size(), 256);
}

TEST_F(Pkcs11Signing, LoadFailuresAre37) {
    SignerContext missing;
    missing.libraryPath = corvane::test::privateFolder() + "/no-such-module.so";
    EXPECT_EQ(loadPKCS11LibraryDynamically(&missing), 37u);

    SignerContext notAModule;
    notAModule.libraryPath = tokens().qget("CA_CERT");
    EXPECT_EQ(loadPKCS11LibraryDynamically(&notAModule), 37u);
    EXPECT_EQ(notAModule.functionList, nullptr);

    SignerContext noEntry;
    noEntry.libraryPath = "libz.so.1";
    EXPECT_EQ(loadPKCS11LibraryDynamically(&noEntry), 37u);
    EXPECT_EQ(noEntry.functionList, nullptr);
}

TEST_F(Pkcs11Signing, SecondUnloadReports7) {
    SignerContext context;
    context.libraryPath = module;
    ASSERT_EQ(loadPKCS11LibraryDynamically(&context), 0u);
    EXPECT_NE(context.functionList, nullptr);
    EXPECT_EQ(unloadPKCS11LibraryDynamically(&context), 0u);
    EXPECT_EQ(context.functionList, nullptr);
    EXPECT_EQ(unloadPKCS11LibraryDynamically(&context), 7u);
    EXPECT_FALSE(p11test::softhsmMapped());
}

TEST_F(Pkcs11Signing, UnloadWithoutFinalizeStillFinalizes) {
    needFault();
    p11test::Trace trace("unload-finalize");
    SignerContext context;
    context.libraryPath = fault;
    ASSERT_EQ(loadPKCS11LibraryDynamically(&context), 0u);
    initializePKCS11AfterLoadingLibrary(&context);
    ASSERT_TRUE(context.initialized);
    EXPECT_EQ(unloadPKCS11LibraryDynamically(&context), 0u);
    EXPECT_TRUE(trace.called("C_Finalize"));
}

TEST_F(Pkcs11Signing, NestedJobOnSameModuleAndThreadIsRefusedNotDeadlocked) {
    SignerContext outer;
    outer.libraryPath = module;
    ASSERT_EQ(loadPKCS11LibraryDynamically(&outer), 0u);
    SignerContext inner;
    inner.libraryPath = module;
    EXPECT_EQ(loadPKCS11LibraryDynamically(&inner), 37u);
    EXPECT_EQ(unloadPKCS11LibraryDynamically(&outer), 0u);
    EXPECT_EQ(loadPKCS11LibraryDynamically(&inner), 0u);
    EXPECT_EQ(unloadPKCS11LibraryDynamically(&inner), 0u);
}

TEST_F(Pkcs11Signing, SecondThreadWaitsForTheModuleUntilTheFirstUnloads) {
    SignerContext first;
    first.libraryPath = module;
    ASSERT_EQ(loadPKCS11LibraryDynamically(&first), 0u);
    std::atomic<bool> firstUnloaded{false};
    std::atomic<bool> secondSawUnload{false};
    std::thread second([&] {
        SignerContext context;
        context.libraryPath = module;
        if (loadPKCS11LibraryDynamically(&context) == 0) {
            secondSawUnload = firstUnloaded.load();
            unloadPKCS11LibraryDynamically(&context);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    firstUnloaded = true;
    unloadPKCS11LibraryDynamically(&first);
    second.join();
    EXPECT_TRUE(secondSawUnload.load());
}

TEST_F(Pkcs11Signing, HangingInitializeReturnsAfterTheLimitAndProcessLivesOn) {
    needFault();
    // Both stay set until the worker is done: it reads them when it wakes up.
    p11test::Trace trace("hang");
    p11test::EnvScope sleep("P11FAULT_C_Initialize_SLEEP_MS", "9000");
    QElapsedTimer timer;
    {
        SignerContext context;
        context.driverName = "hanging";
        context.libraryPath = fault;
        context.slotId = mainSlot;
        timer.start();
        EXPECT_EQ(pk::initializeSigningContextForSigning(&context), 2);
        const qint64 waited = timer.elapsed();
        EXPECT_GE(waited, 4900);
        EXPECT_LT(waited, 8500);  // returned before the module answered
        EXPECT_EQ(context.functionList, nullptr);
        // The worker is still inside C_Initialize: the module must stay mapped.
        EXPECT_TRUE(p11test::faultModuleMapped());
    }
    EXPECT_TRUE(p11test::faultModuleMapped());
    // Another job on another module goes on meanwhile.
    EXPECT_EQ(rawSign(module, "RSA_SERIAL", digest).size(), 256);
    // When the worker returns it finalises what it initialised and the module
    // goes, on the worker's thread; the real module it wraps goes in the same
    // unload, a moment after the wrapper's own mapping.
    for (int i = 0; i < 100 && (p11test::faultModuleMapped() || p11test::softhsmMapped()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(p11test::faultModuleMapped());
    const std::vector<std::string> lines = trace.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "C_Initialize 0x0");
    EXPECT_EQ(lines.back(), "C_Finalize 0x0");
}

TEST_F(Pkcs11Signing, EightThreadsFiftyJobsEachOnOneModule) {
    const QByteArray certPem = tokens().file("RSA_CERT");
    std::atomic<int> succeeded{0}, verified{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int j = 0; j < 50; ++j) {
                const QByteArray d = QCryptographicHash::hash(QByteArray::number(t * 1000 + j),
                                                              QCryptographicHash::Sha256);
                QByteArray out;
                try {
                    if (pk::signPKCS1_Padding_1_5("softhsm", module, "1234", tokens().get("RSA_SERIAL"), mainSlot,
                                                  d, &out) == 0)
                        ++succeeded;
                } catch (...) {
                }
                if (p11test::opensslVerifiesDigest(certPem, d, out)) ++verified;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(succeeded.load(), 400);
    EXPECT_EQ(verified.load(), 400);
}

TEST(Pkcs11Text, ReturnCodesAndFieldConversions) {
    EXPECT_EQ(rvStr(0), "0x0");
    EXPECT_EQ(rvStr(401), "0x191");
    EXPECT_EQ(rvStr(0xA0), "0xa0");

    CK_UTF8CHAR description[64];
    memset(description, ' ', sizeof description);
    memcpy(description, "Reader (1)", 10);
    EXPECT_EQ(CKUTF8CHARtoString(description, 64).size(), 64u);
    EXPECT_EQ(CKUTF8CHARtoString(description, 0), "");
    EXPECT_EQ(pkcs11FieldToQString(description, 64), "Reader (1)");
    EXPECT_TRUE(pkcs11FieldToQString(nullptr, 10).isNull());
    const CK_BYTE bytes[] = {'a', 'b', 0, 'c'};
    EXPECT_EQ(CKBYTEtoString(bytes, 4), "ab");
    EXPECT_EQ(CKBYTEtoString(bytes, 1), "a");  // bounded by the length, not by a terminator
    CK_UTF8CHAR* copy = String_To_CK_UTF8CHAR("label");
    EXPECT_EQ(memcmp(copy, "label", 5), 0);
    free(copy);
    EXPECT_EQ(calculateHash("abc", 3).toHex(),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(charToString2('x'), "x");
}

TEST(Pkcs11Steps, StepsWithoutModuleOrSessionFailCleanly) {
    SignerContext context;
    EXPECT_EQ(logout(&context), 179u);
    EXPECT_EQ(endSession(&context), 179u);
    EXPECT_EQ(finalize(&context), 37u);
    EXPECT_EQ(openSessionOnProvidedSlotOfSmartCard(&context), 37u);
    std::vector<Certificate> certificates;
    EXPECT_EQ(getSigningCertificatesOnSlot(&context, &certificates), 37u);
    EXPECT_EQ(initializePKCS11AfterLoadingLibrary(&context), 0u);
    EXPECT_FALSE(context.initialized);
}
