#include "cades-test-kit.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QUuid>
#include <cstdlib>
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "../rig/softhsm/softhsm-fixture.h"
#include "test-support.h"

namespace cadestest {

namespace {

Fixture buildFixture() {
    Fixture f;
    f.dir = corvane::test::privateFolder() + "/cades-fixture";
    f.softhsmModule = QString::fromUtf8(std::getenv("CORVANE_SOFTHSM_MODULE")
                                            ? std::getenv("CORVANE_SOFTHSM_MODULE")
                                            : "/usr/lib/softhsm/libsofthsm2.so");
    f.faultModule = corvane::rig::faultModulePath();
    for (const char* tool : {"softhsm2-util", "pkcs11-tool", "openssl"}) {
        if (run("sh", {"-c", QString("command -v %1").arg(tool)}).exitCode != 0) {
            f.problem = std::string(tool) + " is not installed";
            return f;
        }
    }
    if (!QFile::exists(f.softhsmModule)) {
        f.problem = "SoftHSM module absent: " + f.softhsmModule.toStdString();
        return f;
    }
    QDir().mkpath(f.dir);
    const CommandResult made =
        run("bash", {corvane::rig::sourceDir() + "/tests/cades/make-cades-fixture.sh", f.dir});
    if (made.exitCode != 0) {
        f.problem = "make-cades-fixture.sh failed: " + made.output;
        return f;
    }
    setenv("SOFTHSM2_CONF", (f.dir + "/softhsm2.conf").toUtf8().constData(), 1);
    QFile slotFile(f.dir + "/slot.txt");
    if (!slotFile.open(QIODevice::ReadOnly)) {
        f.problem = "no slot.txt";
        return f;
    }
    f.slot = slotFile.readAll().trimmed().toInt();
    for (const char* name : {"rsa", "rsa-long", "p256", "p384", "p521"}) {
        QFile der(f.dir + "/" + name + ".crt.der");
        if (!der.open(QIODevice::ReadOnly)) {
            f.problem = std::string("no certificate ") + name;
            return f;
        }
        Signer s;
        s.certificateDer = der.readAll();
        const unsigned char* p = reinterpret_cast<const unsigned char*>(s.certificateDer.constData());
        X509* x = d2i_X509(nullptr, &p, s.certificateDer.size());
        BIGNUM* bn = ASN1_INTEGER_to_BN(X509_get0_serialNumber(x), nullptr);
        char* dec = BN_bn2dec(bn);
        s.serial = dec;
        OPENSSL_free(dec);
        BN_free(bn);
        X509_free(x);
        f.signers[name] = s;
    }
    f.ok = true;
    return f;
}

}  // namespace

const Fixture& fixture() {
    static const Fixture f = buildFixture();
    return f;
}

CommandResult run(const QString& program, const QStringList& arguments) {
    CommandResult r;
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, arguments);
    if (!p.waitForStarted(30000)) {
        r.output = "could not start " + program.toStdString();
        return r;
    }
    p.closeWriteChannel();
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        r.output = program.toStdString() + " did not finish";
        return r;
    }
    r.output = QString::fromUtf8(p.readAll()).toStdString();
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return r;
}

QString writeTemporary(const QString& name, const QByteArray& bytes) {
    const QString path = corvane::test::privateFolder() + "/" +
                         QUuid::createUuid().toString(QUuid::WithoutBraces) + "-" + name;
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    return path;
}

CommandResult verifyWithOpenSSL(const QByteArray& cms, const QByteArray* detachedContent,
                                QByteArray* content, const QString& caFile) {
    const QString in = writeTemporary("sig.der", cms);
    const QString out = in + ".out";
    QStringList args{"cms", "-verify", "-cades", "-binary", "-inform", "DER", "-in", in,
                     "-CAfile", caFile.isEmpty() ? fixture().caFile() : caFile,
                     "-out", out};
    if (detachedContent != nullptr)
        args << "-content" << writeTemporary("content.bin", *detachedContent);
    CommandResult r = run("openssl", args);
    if (content != nullptr) {
        QFile f(out);
        *content = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    return r;
}

std::string printWithOpenSSL(const QByteArray& cms) {
    const QString in = writeTemporary("print.der", cms);
    return run("openssl", {"cms", "-cmsout", "-print", "-inform", "DER", "-in", in}).output;
}

QByteArray bytesOfHex(const std::string& hex) {
    EXPECT_EQ(hex.size() % 2, 0u) << "odd hex text";
    EXPECT_EQ(hex.find_first_not_of("0123456789abcdefABCDEF"), std::string::npos)
        << "not hex text";
    return QByteArray::fromHex(QByteArray::fromStdString(hex));
}

ParsedCms::ParsedCms(const QByteArray& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.constData());
    cms = d2i_CMS_ContentInfo(nullptr, &p, der.size());
}

ParsedCms::~ParsedCms() { CMS_ContentInfo_free(cms); }

CMS_SignerInfo* ParsedCms::signer() const {
    if (cms == nullptr) return nullptr;
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms);
    return sk_CMS_SignerInfo_num(infos) == 1 ? sk_CMS_SignerInfo_value(infos, 0) : nullptr;
}

std::vector<std::string> ParsedCms::attributeTypes() const {
    std::vector<std::string> types;
    CMS_SignerInfo* si = signer();
    if (si == nullptr) return types;
    for (int i = 0; i < CMS_signed_get_attr_count(si); ++i) {
        char text[128];
        OBJ_obj2txt(text, sizeof text, X509_ATTRIBUTE_get0_object(CMS_signed_get_attr(si, i)), 1);
        types.push_back(text);
    }
    return types;
}

std::vector<QByteArray> ParsedCms::attributeEncodings() const {
    std::vector<QByteArray> encodings;
    CMS_SignerInfo* si = signer();
    if (si == nullptr) return encodings;
    for (int i = 0; i < CMS_signed_get_attr_count(si); ++i) {
        unsigned char* der = nullptr;
        const int length = i2d_X509_ATTRIBUTE(CMS_signed_get_attr(si, i), &der);
        encodings.emplace_back(reinterpret_cast<const char*>(der), length);
        OPENSSL_free(der);
    }
    return encodings;
}

QByteArray ParsedCms::attributeValue(const char* dottedOid) const {
    CMS_SignerInfo* si = signer();
    if (si == nullptr) return {};
    ASN1_OBJECT* oid = OBJ_txt2obj(dottedOid, 1);
    const int index = CMS_signed_get_attr_by_OBJ(si, oid, -1);
    ASN1_OBJECT_free(oid);
    if (index < 0) return {};
    X509_ATTRIBUTE* attr = CMS_signed_get_attr(si, index);
    if (X509_ATTRIBUTE_count(attr) != 1) return {};
    unsigned char* der = nullptr;
    const int length = i2d_ASN1_TYPE(X509_ATTRIBUTE_get0_type(attr, 0), &der);
    QByteArray value(reinterpret_cast<const char*>(der), length);
    OPENSSL_free(der);
    return value;
}

bool isMapped(const QString& moduleFileName) {
    QFile maps("/proc/self/maps");
    if (!maps.open(QIODevice::ReadOnly)) return false;
    return maps.readAll().contains(moduleFileName.toUtf8());
}

}  // namespace cadestest
