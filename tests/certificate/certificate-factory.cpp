#include "certificate-factory.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace certfactory {

namespace {

void check(bool ok, const char* what) {
    if (!ok)
        throw std::runtime_error(std::string("certificate factory: ") + what);
}

void addEntries(X509_NAME* name, const std::vector<NameEntry>& entries) {
    for (const NameEntry& entry : entries) {
        const int type = entry.stringType < 0 ? MBSTRING_UTF8 : entry.stringType;
        check(X509_NAME_add_entry_by_txt(name, entry.field.c_str(), type,
                                         reinterpret_cast<const unsigned char*>(entry.value.data()),
                                         static_cast<int>(entry.value.size()), -1, 0) == 1,
              "name entry");
    }
}

void setTime(X509* x509, const std::string& text, int type, bool notBefore) {
    if (type == 0)
        type = text.size() == 13 ? V_ASN1_UTCTIME : V_ASN1_GENERALIZEDTIME;
    ASN1_STRING* time = ASN1_STRING_type_new(type);
    check(time && ASN1_STRING_set(time, text.data(), static_cast<int>(text.size())) == 1, "time");
    const int ok = notBefore ? X509_set1_notBefore(x509, time) : X509_set1_notAfter(x509, time);
    ASN1_STRING_free(time);
    check(ok == 1, "set time");
}

GENERAL_NAME* textName(int type, const std::string& text) {
    GENERAL_NAME* name = GENERAL_NAME_new();
    ASN1_IA5STRING* value = ASN1_IA5STRING_new();
    ASN1_STRING_set(value, text.data(), static_cast<int>(text.size()));
    GENERAL_NAME_set0_value(name, type, value);
    return name;
}

DIST_POINT* fullNamePoint(GENERAL_NAMES* names) {
    DIST_POINT* point = DIST_POINT_new();
    point->distpoint = DIST_POINT_NAME_new();
    point->distpoint->type = 0;
    point->distpoint->name.fullname = names;
    return point;
}

void addCrlDistributionPoints(X509* x509, const Recipe& recipe) {
    STACK_OF(DIST_POINT)* points = sk_DIST_POINT_new_null();
    GENERAL_NAMES* first = sk_GENERAL_NAME_new_null();
    for (const std::string& uri : recipe.crlUris)
        sk_GENERAL_NAME_push(first, textName(GEN_URI, uri));
    if (recipe.crl == CrlKinds::EveryKind) {
        // Kinds that hold no text, mixed in between the texts.
        GENERAL_NAME* directory = GENERAL_NAME_new();
        X509_NAME* name = X509_NAME_new();
        addEntries(name, {{"CN", "CRL Directory"}});
        GENERAL_NAME_set0_value(directory, GEN_DIRNAME, name);
        sk_GENERAL_NAME_push(first, directory);

        GENERAL_NAME* address = GENERAL_NAME_new();
        ASN1_OCTET_STRING* ip = ASN1_OCTET_STRING_new();
        const unsigned char bytes[] = {127, 0, 0, 1};
        ASN1_OCTET_STRING_set(ip, bytes, 4);
        GENERAL_NAME_set0_value(address, GEN_IPADD, ip);
        sk_GENERAL_NAME_push(first, address);

        GENERAL_NAME* registered = GENERAL_NAME_new();
        GENERAL_NAME_set0_value(registered, GEN_RID, OBJ_txt2obj("1.2.3.4", 1));
        sk_GENERAL_NAME_push(first, registered);

        GENERAL_NAME* other = GENERAL_NAME_new();
        ASN1_TYPE* otherValue = ASN1_TYPE_new();
        ASN1_TYPE_set(otherValue, V_ASN1_NULL, nullptr);
        GENERAL_NAME_set0_othername(other, OBJ_txt2obj("1.2.3.5", 1), otherValue);
        sk_GENERAL_NAME_push(first, other);

        sk_GENERAL_NAME_push(first, textName(GEN_DNS, "crl-host.example.test"));
        sk_GENERAL_NAME_push(first, textName(GEN_EMAIL, "crl@example.test"));
    }
    sk_DIST_POINT_push(points, fullNamePoint(first));
    if (recipe.crl == CrlKinds::EveryKind) {
        // A point without a name (only a CRL issuer).
        DIST_POINT* nameless = DIST_POINT_new();
        nameless->CRLissuer = sk_GENERAL_NAME_new_null();
        sk_GENERAL_NAME_push(nameless->CRLissuer, textName(GEN_URI, "http://issuer.example.test/"));
        sk_DIST_POINT_push(points, nameless);

        // A name relative to the CRL issuer.
        DIST_POINT* relative = DIST_POINT_new();
        relative->distpoint = DIST_POINT_NAME_new();
        relative->distpoint->type = 1;
        relative->distpoint->name.relativename = sk_X509_NAME_ENTRY_new_null();
        sk_X509_NAME_ENTRY_push(relative->distpoint->name.relativename,
                                X509_NAME_ENTRY_create_by_txt(nullptr, "CN", MBSTRING_UTF8,
                                                              reinterpret_cast<const unsigned char*>("relative-crl"), -1));
        sk_DIST_POINT_push(points, relative);

        GENERAL_NAMES* last = sk_GENERAL_NAME_new_null();
        sk_GENERAL_NAME_push(last, textName(GEN_URI, "ldap://ldap.example.test/cn=crl"));
        sk_DIST_POINT_push(points, fullNamePoint(last));
    }
    const int ok = X509_add1_ext_i2d(x509, NID_crl_distribution_points, points, 0, X509V3_ADD_DEFAULT);
    sk_DIST_POINT_pop_free(points, DIST_POINT_free);
    check(ok == 1, "crl extension");
}

}  // namespace

Key rsaKey(int bits) {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits));
    check(key != nullptr, "rsa key");
    return Key(key, PkeyFree());
}

Key ecKey(const char* curveName) {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curveName);
    check(key != nullptr, "ec key");
    return Key(key, PkeyFree());
}

Key sharedRsa2048() {
    static const Key key = rsaKey(2048);
    return key;
}

Key sharedP256() {
    static const Key key = ecKey("P-256");
    return key;
}

Cert make(const Recipe& recipe) {
    Cert x509(X509_new());
    check(x509 != nullptr, "x509");
    check(X509_set_version(x509.get(), recipe.version1 ? X509_VERSION_1 : X509_VERSION_3) == 1, "version");

    BIGNUM* serial = nullptr;
    check(BN_dec2bn(&serial, recipe.serialDecimal.c_str()) > 0, "serial");
    ASN1_INTEGER* serialInteger = BN_to_ASN1_INTEGER(serial, nullptr);
    BN_free(serial);
    check(serialInteger && X509_set_serialNumber(x509.get(), serialInteger) == 1, "set serial");
    ASN1_INTEGER_free(serialInteger);

    X509_NAME* subject = X509_NAME_new();
    addEntries(subject, recipe.subject);
    X509_set_subject_name(x509.get(), subject);
    X509_NAME_free(subject);
    if (recipe.issuerCertificate) {
        X509_set_issuer_name(x509.get(), X509_get_subject_name(recipe.issuerCertificate));
    } else {
        X509_NAME* issuer = X509_NAME_new();
        addEntries(issuer, recipe.issuer.empty() ? recipe.subject : recipe.issuer);
        X509_set_issuer_name(x509.get(), issuer);
        X509_NAME_free(issuer);
    }

    setTime(x509.get(), recipe.notBefore, recipe.notBeforeType, true);
    setTime(x509.get(), recipe.notAfter, recipe.notAfterType, false);

    const Key subjectKey = recipe.subjectKey ? recipe.subjectKey : sharedRsa2048();
    const Key signingKey = recipe.signingKey ? recipe.signingKey : subjectKey;
    check(X509_set_pubkey(x509.get(), subjectKey.get()) == 1, "public key");
    if (recipe.crl != CrlKinds::None)
        addCrlDistributionPoints(x509.get(), recipe);
    check(X509_sign(x509.get(), signingKey.get(), EVP_sha256()) > 0, "sign");
    return x509;
}

QByteArray der(X509* x509) {
    unsigned char* buffer = nullptr;
    const int length = i2d_X509(x509, &buffer);
    check(length > 0, "encode");
    QByteArray bytes(reinterpret_cast<const char*>(buffer), length);
    OPENSSL_free(buffer);
    return bytes;
}

Cert parse(const QByteArray& bytes) {
    const unsigned char* cursor = reinterpret_cast<const unsigned char*>(bytes.constData());
    return Cert(d2i_X509(nullptr, &cursor, bytes.size()));
}

std::string utcTime(const QDateTime& utc) {
    return utc.toUTC().toString(QStringLiteral("yyMMddHHmmss")).toStdString() + "Z";
}

std::string generalizedTime(const QDateTime& utc) {
    return utc.toUTC().toString(QStringLiteral("yyyyMMddHHmmss")).toStdString() + "Z";
}

}  // namespace certfactory
