#include "quessel-test-kit.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QUuid>

#include <ctime>
#include <gtest/gtest.h>
#include <set>

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "quessel-commons.h"
#include "test-support.h"
#include "tev-logging.h"

namespace quesseltest {

std::string normalised(const std::string& answer, int* count) {
    static const QRegularExpression nonceMember(QStringLiteral("\"nonce\": \"([^\"]*)\""));
    QString text = QString::fromStdString(answer);
    std::set<QString> seen;
    int found = 0;
    QRegularExpressionMatchIterator it = nonceMember.globalMatch(text);
    while (it.hasNext()) {
        const QString nonce = it.next().captured(1);
        ++found;
        EXPECT_EQ(nonce.size(), tev::quessel::NONCE_LENGTH) << nonce.toStdString();
        EXPECT_TRUE(nonce.at(0) >= QLatin1Char('2') && nonce.at(0) <= QLatin1Char('9'));
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^[A-Za-z0-9]+$")).match(nonce).hasMatch());
        EXPECT_TRUE(tev::quessel::verifyNonce(nonce)) << nonce.toStdString();
        EXPECT_TRUE(seen.insert(nonce).second) << "nonce used twice: " << nonce.toStdString();
    }
    text.replace(nonceMember, QStringLiteral("\"nonce\": \"") + kNonce + "\"");
    if (count != nullptr) *count = found;
    return text.toStdString();
}

QJsonArray parsed(const std::string& answer) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(answer), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << answer;
    EXPECT_TRUE(document.isArray()) << answer;
    return document.array();
}

std::vector<std::string> valuesOf(const std::string& answer, const char* member) {
    std::vector<std::string> values;
    for (const QJsonValue& object : parsed(answer))
        values.push_back(object.toObject().value(QLatin1String(member)).toString().toStdString());
    return values;
}

std::string b64(const std::string& text) { return QByteArray::fromStdString(text).toBase64().toStdString(); }
std::string b64(const QByteArray& bytes) { return bytes.toBase64().toStdString(); }
QByteArray unb64(const std::string& text) {
    return QByteArray::fromBase64(QByteArray::fromStdString(text), QByteArray::AbortOnBase64DecodingErrors);
}

// ---- certificates ---------------------------------------------------------------------

namespace {

std::string utf8Of(const ASN1_STRING* value) {
    unsigned char* out = nullptr;
    const int length = ASN1_STRING_to_UTF8(&out, value);
    if (length < 0) return {};
    std::string text(reinterpret_cast<char*>(out), static_cast<size_t>(length));
    OPENSSL_free(out);
    return text;
}

std::string entryValue(const X509_NAME* name, int nid) {
    const int at = X509_NAME_get_index_by_NID(name, nid, -1);
    return at < 0 ? std::string() : utf8Of(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, at)));
}

std::string gmtText(const ASN1_TIME* time, std::int64_t* seconds) {
    struct tm t = {};
    if (ASN1_TIME_to_tm(time, &t) != 1) return {};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d GMT", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    if (seconds != nullptr) *seconds = static_cast<std::int64_t>(timegm(&t));
    return text;
}

}  // namespace

ExpectedCertificate describe(const QByteArray& der) {
    ExpectedCertificate c;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.constData());
    X509* x = d2i_X509(nullptr, &p, der.size());
    EXPECT_NE(x, nullptr);
    if (x == nullptr) return c;
    c.hex = der.toHex().toStdString();
    BIGNUM* bn = ASN1_INTEGER_to_BN(X509_get0_serialNumber(x), nullptr);
    char* dec = BN_bn2dec(bn);
    c.serial = dec;
    OPENSSL_free(dec);
    BN_free(bn);

    const X509_NAME* issuer = X509_get_issuer_name(x);
    for (int i = X509_NAME_entry_count(issuer) - 1; i >= 0; --i) {
        const X509_NAME_ENTRY* e = X509_NAME_get_entry(issuer, i);
        if (!c.issuer.empty()) c.issuer += ",";
        c.issuer += OBJ_nid2sn(OBJ_obj2nid(X509_NAME_ENTRY_get_object(e)));
        c.issuer += "=" + utf8Of(X509_NAME_ENTRY_get_data(e));
    }
    c.issuerCommonName = entryValue(issuer, NID_commonName);
    const X509_NAME* subject = X509_get_subject_name(x);
    for (int i = 0; i < X509_NAME_entry_count(subject); ++i)
        c.subject += utf8Of(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, i))) + " ";
    c.subjectCommonName = entryValue(subject, NID_commonName);
    c.subjectSerialNumber = entryValue(subject, NID_serialNumber);
    std::int64_t notBefore = 0;
    c.notBefore = gmtText(X509_get0_notBefore(x), &notBefore);
    c.notAfter = gmtText(X509_get0_notAfter(x), &c.notAfterSeconds);
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    c.expired = now < notBefore || now > c.notAfterSeconds;
    X509_free(x);
    return c;
}

std::string certificateObject(const ExpectedCertificate& c, const std::string& transactionUUID,
                              const std::string& jobUUID, bool withIssuerCommonName) {
    auto member = [](const char* key, const std::string& value) {
        return std::string("\"") + key + "\": \"" + value + "\"";
    };
    std::string o = "{" + member("responseCode", "0");
    o += "," + member("certificateHex", c.hex);
    o += "," + member("serialNumber", b64(c.serial));
    o += "," + member("commonName", b64(c.subject));
    o += "," + member("isExpired", b64(std::string(c.expired ? "true" : "false")));
    o += "," + member("issuer", b64(c.issuer));
    if (withIssuerCommonName) o += "," + member("issuerCommonName", b64(c.issuerCommonName));
    o += "," + member("notAfter", b64(c.notAfter));
    o += "," + member("notBefore", b64(c.notBefore));
    o += "," + member("subject", b64(c.subject));
    o += "," + member("transactionUUID", transactionUUID);
    if (!jobUUID.empty()) o += "," + member("jobUUID", jobUUID);
    o += "," + member("nonce", kNonce);
    o += "," + member("subjectCommonName", b64(c.subjectCommonName));
    o += "," + member("subjectSerialNumber",
                      b64(c.subjectSerialNumber.empty() ? std::string("No Subject Serial Number")
                                                        : c.subjectSerialNumber));
    return o + "}";
}

// ---- tools ------------------------------------------------------------------------------

ToolRun runTool(const QString& program, const QStringList& arguments) {
    ToolRun r;
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

bool toolAvailable(const char* name) {
    return runTool("sh", {"-c", QString("command -v %1").arg(name)}).exitCode == 0;
}

QString writeTemporary(const QString& name, const QByteArray& bytes) {
    const QString path = corvane::test::privateFolder() + "/" +
                         QUuid::createUuid().toString(QUuid::WithoutBraces) + "-" + name;
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    return path;
}

ToolRun verifyCades(const QByteArray& cms, const QString& caFile, const QByteArray* detached) {
    const QString in = writeTemporary("sig.der", cms);
    QStringList args{"cms", "-verify", "-cades", "-binary", "-inform", "DER", "-in", in,
                     "-CAfile", caFile, "-out", in + ".out"};
    if (detached != nullptr) args << "-content" << writeTemporary("content.bin", *detached);
    return runTool("openssl", args);
}

ToolRun verifyPkcs1(const QByteArray& digest, const QByteArray& signature, const QString& certPem) {
    return runTool("openssl", {"pkeyutl", "-verify", "-certin", "-inkey", certPem, "-pkeyopt",
                               "digest:sha256", "-in", writeTemporary("digest.bin", digest),
                               "-sigfile", writeTemporary("sig.bin", signature)});
}

ToolRun verifyXades(const QByteArray& document, const QString& caFile) {
    return runTool("xmlsec1", {"--verify", "--trusted-pem", caFile, "--id-attr:Id",
                               "http://uri.etsi.org/01903/v1.3.2#:SignedProperties",
                               writeTemporary("signed.xml", document)});
}

QByteArray sha256(const QByteArray& data) { return QCryptographicHash::hash(data, QCryptographicHash::Sha256); }

// ---- log -----------------------------------------------------------------------------------

void keepWholeLog() {
    el::Loggers::reconfigureLogger("default", el::ConfigurationType::MaxLogFileSize, "0");
}

std::string logText() { return corvane::test::readLog(); }

bool logHas(const std::string& text) { return logText().find(text) != std::string::npos; }

}  // namespace quesseltest
