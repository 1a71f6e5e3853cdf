// Provisioning, listing, removal and diagnostics against fresh SoftHSM2
// tokens; objects are counted with pkcs11-tool, signatures checked by OpenSSL.
#include "pkcs11-test-util.h"
#include "tev-commons.h"
#include "tev-logging.h"
#include "tev-pkcs11.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

using tev::quessel::pkcs11::SignerContext;
using tev::x509::Certificate;
namespace pk = tev::quessel::pkcs11;

namespace {

const corvane::rig::SoftHsmTokens& tokens() {
    static corvane::rig::SoftHsmTokens t =
        corvane::rig::makeSoftHsmTokens(corvane::test::privateFolder() + "/hsm-provisioning");
    return t;
}

QByteArray bnParam(EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &bn) != 1) return QByteArray();
    QByteArray bytes(BN_num_bytes(bn), '\0');
    BN_bn2bin(bn, reinterpret_cast<unsigned char*>(bytes.data()));
    BN_free(bn);
    return bytes;
}

// An RSA key made here, with a certificate from the fixture's CA.
struct RsaMaterial {
    QByteArray n, e, d, p, q, dp, dq, qinv, certDer;
    QString certPem;
    std::string serial;
};

RsaMaterial makeRsaMaterial(const QString& name, const std::string& serial) {
    RsaMaterial m;
    m.serial = serial;
    EVP_PKEY* key = EVP_RSA_gen(2048);
    if (!key) return m;
    m.n = bnParam(key, OSSL_PKEY_PARAM_RSA_N);
    m.e = bnParam(key, OSSL_PKEY_PARAM_RSA_E);
    m.d = bnParam(key, OSSL_PKEY_PARAM_RSA_D);
    m.p = bnParam(key, OSSL_PKEY_PARAM_RSA_FACTOR1);
    m.q = bnParam(key, OSSL_PKEY_PARAM_RSA_FACTOR2);
    m.dp = bnParam(key, OSSL_PKEY_PARAM_RSA_EXPONENT1);
    m.dq = bnParam(key, OSSL_PKEY_PARAM_RSA_EXPONENT2);
    m.qinv = bnParam(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
    const QString dir = corvane::test::privateFolder();
    const QString keyPem = dir + "/" + name + ".key.pem";
    BIO* bio = BIO_new_file(keyPem.toUtf8().constData(), "w");
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    BIO_free(bio);
    EVP_PKEY_free(key);
    const QString csr = dir + "/" + name + ".csr", pem = dir + "/" + name + ".pem";
    p11test::run("openssl", {"req", "-new", "-key", keyPem, "-subj", "/C=TR/O=Corvane Test/CN=" + name, "-out", csr});
    p11test::run("openssl", {"x509", "-req", "-in", csr, "-CA", tokens().qget("CA_CERT"), "-CAkey",
                             tokens().dir + "/ca.key", "-set_serial", QString::fromStdString(serial), "-days",
                             "30", "-sha256", "-out", pem});
    QFile f(pem);
    if (f.open(QIODevice::ReadOnly)) {
        m.certPem = pem;
        const QByteArray text = f.readAll();
        BIO* in = BIO_new_mem_buf(text.constData(), text.size());
        X509* x = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
        BIO_free(in);
        unsigned char* der = nullptr;
        const int length = x ? i2d_X509(x, &der) : 0;
        if (length > 0) m.certDer = QByteArray(reinterpret_cast<const char*>(der), length);
        OPENSSL_free(der);
        X509_free(x);
    }
    return m;
}

// OpenSSL check of a PKCS#1 v1.5 SHA-256 signature with a bare modulus/exponent.
bool verifiesWithModulus(const QByteArray& n, const QByteArray& e, const QByteArray& digest,
                         const QByteArray& signature) {
    BIGNUM* bn = BN_bin2bn(reinterpret_cast<const unsigned char*>(n.constData()), n.size(), nullptr);
    BIGNUM* be = BN_bin2bn(reinterpret_cast<const unsigned char*>(e.constData()), e.size(), nullptr);
    OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_N, bn);
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_E, be);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(build);
    EVP_PKEY_CTX* fromData = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    bool ok = EVP_PKEY_fromdata_init(fromData) == 1 &&
              EVP_PKEY_fromdata(fromData, &key, EVP_PKEY_PUBLIC_KEY, params) == 1;
    if (ok) {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
        ok = EVP_PKEY_verify_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
             EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) == 1 &&
             EVP_PKEY_verify(ctx, reinterpret_cast<const unsigned char*>(signature.constData()), signature.size(),
                             reinterpret_cast<const unsigned char*>(digest.constData()), digest.size()) == 1;
        EVP_PKEY_CTX_free(ctx);
    }
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(fromData);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(build);
    BN_free(bn);
    BN_free(be);
    return ok;
}

QByteArray digestInfo(const QByteArray& digest) {
    return QByteArray::fromHex("3031300d060960864801650304020105000420") + digest;
}

class Pkcs11Provisioning : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tokens().ok) GTEST_SKIP() << tokens().skipReason.toStdString();
        tokens().exportConfig();
        module = tokens().qget("P11_MODULE");
        fault = corvane::rig::faultModulePath();
    }
    void TearDown() override {
        if (!tokens().ok) return;
        EXPECT_FALSE(p11test::softhsmMapped()) << "the module stayed loaded after the job";
        EXPECT_FALSE(p11test::faultModuleMapped()) << "the fault module stayed loaded after the job";
    }
    // A fresh token for this test; fills `context` for a job on it.
    QString freshToken(SignerContext* context, const char* name) {
        const QString label = QString("%1-%2").arg(name).arg(++tokenCounter);
        const int slot = p11test::freshToken(tokens(), label);
        EXPECT_GE(slot, 0);
        fill(context, slot);
        return label;
    }
    void fill(SignerContext* context, int slot, const std::string& pin = "1234") {
        context->driverName = "softhsm";
        context->libraryPath = module;
        context->pin = pin;
        context->slotId = slot;
    }
    QStringList objects(const QString& tokenLabel) { return p11test::tokenObjects(tokens(), tokenLabel); }

    QString module, fault;
    static int tokenCounter;
    const QByteArray data = "provisioned data\n";
    const QByteArray digest = QCryptographicHash::hash(data, QCryptographicHash::Sha256);
};
int Pkcs11Provisioning::tokenCounter = 0;

}  // namespace

TEST_F(Pkcs11Provisioning, GeneratedKeyPairSignsAndVerifiesWithTheReadBackKey) {
    SignerContext context;
    const QString token = freshToken(&context, "gen");
    QByteArray modulus = "xx", exponent;
    ASSERT_EQ(pk::generateRsaKeyPair(&context, QByteArray::fromHex("a1"), "gen", &modulus, &exponent), 0);
    ASSERT_EQ(modulus.size(), 2 + 256);  // appended to what was there
    EXPECT_TRUE(modulus.startsWith("xx"));
    EXPECT_EQ(exponent.toHex(), "010001");
    EXPECT_EQ(objects(token), QStringList({"private|gen-privatekey|a1", "public|gen-publickey|a1"}));

    // Sign with it through the session steps, find it by label and ID.
    SignerContext signer;
    fill(&signer, context.slotId);
    ASSERT_EQ(loadPKCS11LibraryDynamically(&signer), 0u);
    initializePKCS11AfterLoadingLibrary(&signer);
    ASSERT_EQ(openSessionOnProvidedSlotOfSmartCard(&signer), 0u);
    ASSERT_EQ(loginToSmartCardAfterStartingSessionOnSlot(&signer), 0u);
    Certificate keyOwner;
    keyOwner.label = "gen-privatekey";
    keyOwner.id = static_cast<unsigned char*>(malloc(1));
    keyOwner.id[0] = 0xa1;
    keyOwner.idLength = 1;
    signer.certificate = &keyOwner;
    QByteArray signature;
    EXPECT_EQ(signDataAfterStartSessionLoginToSmartcard(&signer, digestInfo(digest), &signature), 0u);
    logout(&signer);
    endSession(&signer);
    finalize(&signer);
    unloadPKCS11LibraryDynamically(&signer);
    EXPECT_TRUE(verifiesWithModulus(modulus.mid(2), exponent, digest, signature));
    // One bit changed (replacing the last byte could leave it as it was).
    QByteArray tampered = signature;
    if (!tampered.isEmpty()) tampered[tampered.size() - 1] = static_cast<char>(tampered.back() ^ 0x01);
    EXPECT_FALSE(verifiesWithModulus(modulus.mid(2), exponent, digest, tampered));
}

TEST_F(Pkcs11Provisioning, StoredKeyPairAndCertificateAreUsedBySigningEntryPoints) {
    const RsaMaterial m = makeRsaMaterial("stored-pair", "5550001");
    ASSERT_FALSE(m.certDer.isEmpty());
    SignerContext context;
    const QString token = freshToken(&context, "pair");
    ASSERT_EQ(pk::storeRsaKeyPairAndCertificate(&context, QByteArray::fromHex("b1"), "pair", m.n, m.e, m.p, m.q, m.dp,
                                                m.dq, m.qinv, m.n, m.d, m.certDer),
              0);
    EXPECT_EQ(objects(token),
              QStringList({"cert|pair-certificate|b1", "private|pair-private|b1", "public|pair-public|b1"}));

    QByteArray signature;
    try {
        EXPECT_EQ(pk::signPKCS1_Padding_1_5("softhsm", module, "1234", m.serial, context.slotId, digest, &signature),
                  0);
    } catch (int code) {
        ADD_FAILURE() << "thrown " << code;
    } catch (unsigned long rv) {
        ADD_FAILURE() << "thrown CK_RV " << rv;
    }
    QString why;
    EXPECT_TRUE(p11test::opensslVerifiesData(m.certPem, data, signature, &why)) << why.toStdString();
}

TEST_F(Pkcs11Provisioning, KeysStoredSeparatelyAndTheirTemplates) {
    const RsaMaterial m = makeRsaMaterial("separate", "5550002");
    SignerContext context;
    const QString token = freshToken(&context, "separate");
    EXPECT_EQ(pk::storeRsaKeyPair(&context, QByteArray::fromHex("c1"), "kp", m.n, m.e, m.p, m.q, m.dp, m.dq, m.qinv,
                                  m.n, m.d),
              0);
    EXPECT_EQ(pk::storeRsaPublicKey(&context, QByteArray::fromHex("c2"), "pub", m.n, m.e), 0);
    EXPECT_EQ(pk::storeRsaPrivateKey(&context, QByteArray::fromHex("c3"), "priv", m.p, m.q, m.dp, m.dq, m.qinv, m.n,
                                     m.d),
              0);
    EXPECT_EQ(pk::storeRsaCertificate(&context, QByteArray::fromHex("c1"), "kp", m.certDer), 0);
    EXPECT_EQ(objects(token), QStringList({"cert|kp-certificate|c1", "private|kp-private|c1", "private|priv|c3",
                                           "public|kp-public|c1", "public|pub|c2"}));
}

TEST_F(Pkcs11Provisioning, CertificateThatIsNotOneIs32AndWritesNothing) {
    SignerContext context;
    const QString token = freshToken(&context, "junk");
    EXPECT_EQ(pk::storeRsaCertificate(&context, "c", "junk", "not a certificate"), 32);
    EXPECT_EQ(context.functionList, nullptr);
    const RsaMaterial m = makeRsaMaterial("junk-pair", "5550003");
    EXPECT_EQ(pk::storeRsaKeyPairAndCertificate(&context, "c", "junk", m.n, m.e, m.p, m.q, m.dp, m.dq, m.qinv, m.n,
                                                m.d, "not a certificate"),
              32);
    EXPECT_TRUE(objects(token).isEmpty());
}

TEST_F(Pkcs11Provisioning, WrongPinIsThrownBeforeAnyObjectIsTouched) {
    const RsaMaterial m = makeRsaMaterial("wrong-pin", "5550004");
    SignerContext context;
    const QString token = freshToken(&context, "pin");
    context.pin = "9999";
    try {
        pk::storeRsaCertificate(&context, "d", "x", m.certDer);
        ADD_FAILURE() << "nothing thrown";
    } catch (int code) {
        EXPECT_EQ(code, 27);
    }
    EXPECT_EQ(context.functionList, nullptr);
    EXPECT_TRUE(objects(token).isEmpty());
    SignerContext noModule;
    noModule.libraryPath = corvane::test::privateFolder() + "/absent.so";
    EXPECT_THROW(pk::listAllObjectsWithLogin(&noModule), int);
}

TEST_F(Pkcs11Provisioning, RemovalTakesExactlyTheMatchingObjects) {
    const RsaMaterial one = makeRsaMaterial("remove-one", "123");
    const RsaMaterial two = makeRsaMaterial("remove-two", "5550005");
    const RsaMaterial loose = makeRsaMaterial("remove-loose", "5550006");
    SignerContext context;
    const QString token = freshToken(&context, "remove");
    ASSERT_EQ(pk::storeRsaKeyPairAndCertificate(&context, QByteArray::fromHex("e1"), "one", one.n, one.e, one.p, one.q,
                                                one.dp, one.dq, one.qinv, one.n, one.d, one.certDer),
              0);
    ASSERT_EQ(pk::storeRsaKeyPairAndCertificate(&context, QByteArray::fromHex("e2"), "two", two.n, two.e, two.p, two.q,
                                                two.dp, two.dq, two.qinv, two.n, two.d, two.certDer),
              0);
    // A certificate without CKA_ID: a search on an empty ID would match it.
    ASSERT_EQ(pk::storeRsaCertificate(&context, QByteArray(), "loose", loose.certDer), 0);
    const QStringList all = objects(token);
    ASSERT_EQ(all.size(), 7);

    EXPECT_EQ(pk::listAllObjectsWithLogin(&context), 0);
    EXPECT_EQ(pk::destroyCertificateObjectsWithCertificateSerialNumber(&context, "424242"), 0);
    EXPECT_EQ(pk::destroyCertificateObjectsWithCertificateSerialNumber(&context, "abc"), 0);
    EXPECT_EQ(pk::destroyAllObjectsWitkCkaId(&context, QByteArray()), static_cast<int>(CKR_ARGUMENTS_BAD));
    EXPECT_EQ(objects(token), all);

    // Serial 123 (DER 02 01 7B), given with blanks around it.
    EXPECT_EQ(pk::destroyCertificateObjectsWithCertificateSerialNumber(&context, " 123 "), 0);
    const QStringList remaining = {"cert|loose-certificate|", "cert|two-certificate|e2", "private|two-private|e2",
                                   "public|two-public|e2"};
    EXPECT_EQ(objects(token), remaining);

    // Objects the token refuses to destroy are not reported as gone.
    ASSERT_FALSE(fault.isEmpty());
    SignerContext refusing;
    fill(&refusing, context.slotId);
    refusing.libraryPath = fault;
    {
        p11test::EnvScope refuse("P11FAULT_C_DestroyObject_RV", std::to_string(CKR_ACTION_PROHIBITED));
        EXPECT_EQ(pk::destroyCertificateObjectsWithCertificateSerialNumber(&refusing, "5550005"),
                  static_cast<int>(CKR_ACTION_PROHIBITED));
        EXPECT_EQ(objects(token), remaining);
        // Only the first refused: the others still go, the failure is the answer.
        p11test::EnvScope first("P11FAULT_C_DestroyObject_CALL", "1");
        EXPECT_EQ(pk::destroyAllObjectsWitkCkaId(&refusing, QByteArray::fromHex("e2")),
                  static_cast<int>(CKR_ACTION_PROHIBITED));
        EXPECT_EQ(objects(token).size(), 2);
    }
    EXPECT_EQ(pk::destroyAllObjectsWitkCkaId(&context, QByteArray::fromHex("e2")), 0);
    EXPECT_EQ(objects(token), QStringList({"cert|loose-certificate|"}));
    EXPECT_EQ(pk::destroyAllObjects(&context), 0);
    EXPECT_TRUE(objects(token).isEmpty());
    EXPECT_EQ(context.functionList, nullptr);
}

TEST_F(Pkcs11Provisioning, CkaIdLookupBySerialReadsValueWhenNoSerialAttribute) {
    SignerContext context;
    fill(&context, tokens().slotOf("corvane-main"));
    ASSERT_EQ(loadPKCS11LibraryDynamically(&context), 0u);
    initializePKCS11AfterLoadingLibrary(&context);
    ASSERT_EQ(openSessionOnProvidedSlotOfSmartCard(&context), 0u);
    // pkcs11-tool wrote these certificates; the value is what is compared.
    const QByteArray id = getCkaIdByCertificateSerialDecimal(
        context.functionList, context.session, " " + tokens().qget("EC256_SERIAL") + "\t");
    EXPECT_EQ(id.toHex(), "02");
    EXPECT_TRUE(getCkaIdByCertificateSerialDecimal(context.functionList, context.session, "letters").isEmpty());
    EXPECT_TRUE(getCkaIdByCertificateSerialDecimal(context.functionList, context.session, "31337").isEmpty());
    EXPECT_TRUE(getCkaIdByCertificateSerialDecimal(nullptr, context.session, "4660").isEmpty());
    endSession(&context);
    finalize(&context);
    unloadPKCS11LibraryDynamically(&context);
}

TEST_F(Pkcs11Provisioning, VerifyPinReportsWithoutThrowing) {
    SignerContext wrong;
    fill(&wrong, tokens().slotOf("corvane-main"), "0000");
    EXPECT_EQ(pk::verifyPIN(&wrong), static_cast<int>(CKR_PIN_INCORRECT));
    EXPECT_FALSE(p11test::softhsmMapped());
    SignerContext empty;
    fill(&empty, tokens().slotOf("corvane-main"), "");
    EXPECT_EQ(pk::verifyPIN(&empty), static_cast<int>(CKR_PIN_INCORRECT));
    SignerContext right;
    fill(&right, tokens().slotOf("corvane-main"));
    EXPECT_EQ(pk::verifyPIN(&right), 0);
}

namespace {

QStringList* qtLines = nullptr;

void keepQtLine(QtMsgType, const QMessageLogContext&, const QString& line) {
    if (qtLines) qtLines->append(line);
}

}  // namespace

TEST_F(Pkcs11Provisioning, EachProgramsLogTextsWithoutQDebugSpacing) {
    QStringList lines;
    qtLines = &lines;
    const QtMessageHandler previous = qInstallMessageHandler(keepQtLine);
    struct Restore {
        QtMessageHandler handler;
        ~Restore() {
            tev::logging::setProgram(tev::logging::Program::Service);
            qInstallMessageHandler(handler);
            qtLines = nullptr;
        }
    } restore{previous};

    // corvane-service: login and object lines in both logs, the texts as they stand.
    SignerContext service;
    fill(&service, tokens().slotOf("corvane-main"));
    corvane::test::clearLog();
    EXPECT_EQ(pk::listAllObjectsWithLogin(&service), 0);
    EXPECT_TRUE(lines.contains("Successfully logged in to the smartcard")) << lines.join('|').toStdString();
    EXPECT_TRUE(lines.contains("Found objects on the smartcard reader"));
    EXPECT_EQ(lines.filter(QRegExp("^Object=\\d+  Class=CKO_")).size(), lines.filter("Object=").size());
    EXPECT_EQ(lines.filter(QRegExp("^Number of objects found on slot [1-9]\\d*$")).size(), 1)
        << lines.join('|').toStdString();
    std::string log = corvane::test::readLog();
    EXPECT_NE(log.find("PKCS11 : Successfully logged in to the smartcard\n"), std::string::npos);
    EXPECT_EQ(log.find("Retrieved PKCS11 Object successfully"), std::string::npos);

    // corvane-universal: its own texts in its log file, nothing in the Qt log.
    tev::logging::setProgram(tev::logging::Program::WebSocket);
    lines.clear();
    SignerContext universal;
    fill(&universal, tokens().slotOf("corvane-main"));
    corvane::test::clearLog();
    EXPECT_EQ(pk::listAllObjectsWithLogin(&universal), 0);
    EXPECT_TRUE(lines.isEmpty()) << lines.join('|').toStdString();
    log = corvane::test::readLog();
    EXPECT_NE(log.find("PKCS11 : Successfully logged in to the smart card\n"), std::string::npos) << log;
    EXPECT_NE(log.find("PKCS11 : Retrieved PKCS11 Object successfully\n"), std::string::npos);
    EXPECT_EQ(log.find("to the smartcard"), std::string::npos);
}

TEST_F(Pkcs11Provisioning, TokenInformationAndSlotListings) {
    QString shown;
    p11test::run("softhsm2-util", {"--show-slots"}, &shown);

    SignerContext context;
    fill(&context, tokens().slotOf("corvane-main"));
    pk::TokenInfo info;
    EXPECT_EQ(pk::getTokenInfo(&context, &info), 0);
    EXPECT_EQ(info.label, "corvane-main");
    EXPECT_EQ(info.manufacturerID, "SoftHSM project");
    EXPECT_EQ(info.model, "SoftHSM v2");
    ASSERT_EQ(info.serialNumber.size(), 16u);
    EXPECT_TRUE(shown.contains(QString::fromStdString(info.serialNumber)));

    SignerContext listing;
    listing.driverName = "softhsm";
    listing.libraryPath = module;
    std::vector<pk::PKCS11Card> cards(1);  // appended to, never cleared
    EXPECT_EQ(pk::listAvailablePKCS11Slots(&listing, &cards), 0);
    ASSERT_GE(cards.size(), 4u);
    int matched = 0;
    for (size_t i = 1; i < cards.size(); ++i) {
        const pk::PKCS11Card& card = cards[i];
        EXPECT_EQ(card.label, "softhsm");
        EXPECT_EQ(card.library, "softhsm");
        EXPECT_EQ(card.driverPath, module);
        EXPECT_FALSE(card.isCardInserted || card.providesPINReader || card.isTCKK || card.reservedFlag);
        EXPECT_EQ(card.cardName.size(), 64u);
        EXPECT_EQ(card.cardName.rfind("SoftHSM slot ID 0x", 0), 0u) << card.cardName;
        for (const char* t : {"corvane-main", "corvane-stray", "corvane-empty"})
            if (card.slotId == tokens().slotOf(t)) ++matched;
    }
    EXPECT_EQ(matched, 3);

    // The worker variant carries the token labels.
    SignerContext loaded;
    loaded.driverName = "softhsm";
    loaded.libraryPath = module;
    ASSERT_EQ(loadPKCS11LibraryDynamically(&loaded), 0u);
    initializePKCS11AfterLoadingLibrary(&loaded);
    std::vector<pk::PKCS11Card> labelled;
    SlotListTaskArgs args;
    args.context = &loaded;
    args.cards = &labelled;
    EXPECT_EQ(tev::thread::executeMethodWithTimeout(asyncListSlotsAfterLoadingLibrary, &args, 5,
                                                    asyncListSlotsAfterLoadingLibraryTimeout),
              0);
    bool sawMain = false;
    for (const pk::PKCS11Card& card : labelled) {
        EXPECT_EQ(card.label.size(), 32u);
        if (QString::fromStdString(card.label).trimmed() == "corvane-main") {
            sawMain = true;
            EXPECT_EQ(card.slotId, tokens().slotOf("corvane-main"));
        }
    }
    EXPECT_TRUE(sawMain);
    finalize(&loaded);
    unloadPKCS11LibraryDynamically(&loaded);
}

TEST_F(Pkcs11Provisioning, CertificateListingDropsUnreadableObjects) {
    SignerContext main;
    fill(&main, tokens().slotOf("corvane-main"));
    std::vector<Certificate> certificates;
    pk::listCertificatesOnSmartCardSlot(&main, &certificates);
    QStringList serials;
    for (const Certificate& c : certificates) serials << QString::fromStdString(c.serialNumber);
    serials.sort();
    QStringList expected;
    for (const char* k : {"RSA_SERIAL", "EC256_SERIAL", "EC384_SERIAL", "EXPIRED_SERIAL"})
        expected << tokens().qget(std::string(k));
    expected.sort();
    EXPECT_EQ(serials, expected);

    SignerContext empty;
    fill(&empty, tokens().slotOf("corvane-empty"));
    std::vector<Certificate> none;
    EXPECT_EQ(pk::listCertificatesOnSmartCardSlot(&empty, &none), 0);
    EXPECT_TRUE(none.empty());

    // A fresh token with a good certificate and a certificate object whose value
    // is not a certificate.
    const RsaMaterial m = makeRsaMaterial("listing", "5550007");
    SignerContext context;
    freshToken(&context, "listing");
    ASSERT_EQ(pk::storeRsaCertificate(&context, QByteArray::fromHex("f1"), "good", m.certDer), 0);
    {
        SignerContext raw;
        fill(&raw, context.slotId);
        ASSERT_EQ(loadPKCS11LibraryDynamically(&raw), 0u);
        initializePKCS11AfterLoadingLibrary(&raw);
        ASSERT_EQ(openSessionOnProvidedSlotOfSmartCard(&raw), 0u);
        ASSERT_EQ(loginToSmartCardAfterStartingSessionOnSlot(&raw), 0u);
        CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
        CK_CERTIFICATE_TYPE type = CKC_X_509;
        CK_BBOOL yes = CK_TRUE;
        QByteArray junk(300, 'j'), subject = QByteArray::fromHex("3000"), id = QByteArray::fromHex("f2");
        CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},           {CKA_CERTIFICATE_TYPE, &type, sizeof type},
                            {CKA_TOKEN, &yes, sizeof yes},           {CKA_ID, id.data(), 1},
                            {CKA_SUBJECT, subject.data(), 2},        {CKA_VALUE, junk.data(), 300}};
        CK_OBJECT_HANDLE created = 0;
        ASSERT_EQ(raw.functionList->C_CreateObject(raw.session, t, 6, &created), 0u);
        logout(&raw);
        endSession(&raw);
        finalize(&raw);
        unloadPKCS11LibraryDynamically(&raw);
    }
    std::vector<Certificate> listed;
    SignerContext lister;
    fill(&lister, context.slotId);
    EXPECT_NO_THROW(pk::listCertificatesOnSmartCardSlot(&lister, &listed));
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].serialNumber, "5550007");
    EXPECT_EQ(listed[0].label, "good-certificate");
    ASSERT_EQ(listed[0].idLength, 1u);
    EXPECT_EQ(listed[0].id[0], 0xf1);

    SignerContext absent;
    absent.libraryPath = corvane::test::privateFolder() + "/absent.so";
    std::vector<Certificate> nothing;
    EXPECT_THROW(pk::listCertificatesOnSmartCardSlot(&absent, &nothing), int);
}

TEST_F(Pkcs11Provisioning, KeyTypeOtherThanRsaOrEccIsRefusedBeforeLogin) {
    if (fault.isEmpty()) GTEST_SKIP() << "fault module not built";
    const QString dir = corvane::test::privateFolder();
    ASSERT_EQ(p11test::run("openssl", {"genpkey", "-genparam", "-algorithm", "DSA", "-pkeyopt", "dsa_paramgen_bits:2048",
                                       "-out", dir + "/dsa.param"}),
              0);
    ASSERT_EQ(p11test::run("openssl", {"genpkey", "-paramfile", dir + "/dsa.param", "-out", dir + "/dsa.key"}), 0);
    ASSERT_EQ(p11test::run("openssl", {"req", "-new", "-x509", "-key", dir + "/dsa.key", "-subj", "/CN=DSA signer",
                                       "-set_serial", "4242", "-days", "30", "-outform", "DER", "-out",
                                       dir + "/dsa.der"}),
              0);
    SignerContext context;
    const QString token = freshToken(&context, "dsa");
    QFile der(dir + "/dsa.der");
    ASSERT_TRUE(der.open(QIODevice::ReadOnly));
    ASSERT_EQ(pk::storeRsaCertificate(&context, QByteArray::fromHex("d5"), "dsa", der.readAll()), 0);

    p11test::Trace trace("dsa");
    QByteArray out;
    try {
        pk::signPKCS1_Padding_1_5("softhsm", fault, "1234", "4242", context.slotId, digest, &out);
        ADD_FAILURE() << "nothing thrown";
    } catch (int code) {
        EXPECT_EQ(code, 5);
    }
    EXPECT_FALSE(trace.called("C_Login"));
    EXPECT_TRUE(trace.called("C_Finalize"));
}
