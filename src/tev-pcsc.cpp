// PC/SC card access (being filled in): every entry point reports failure for now.
#include "tev-pcsc.h"

namespace tev {
namespace corvane {
namespace apdu {

int sendAPDU(SCARDHANDLE, SCARD_IO_REQUEST*, ResponseAPDU*) { return SCARD_E_UNSUPPORTED_FEATURE; }
unsigned long apdu_SelectMF(SCARDHANDLE, SCARD_IO_REQUEST*) { return SCARD_E_UNSUPPORTED_FEATURE; }
unsigned long apdu_ReadBinary_Certificate(SCARDHANDLE, SCARD_IO_REQUEST*, const int&, QByteArray*) {
    return SCARD_E_UNSUPPORTED_FEATURE;
}
bool isTCKK(SCARDHANDLE, SCARD_IO_REQUEST*) { return false; }

namespace tckk {
unsigned long apdu_CheckIfTCKK(SCARDHANDLE, SCARD_IO_REQUEST*) { return 71; }
unsigned long apdu_SelectDF_KDU(SCARDHANDLE, SCARD_IO_REQUEST*) { return SCARD_E_UNSUPPORTED_FEATURE; }
unsigned long apdu_SelectEF_TCKK_Certificate(SCARDHANDLE, SCARD_IO_REQUEST*, int*) {
    return SCARD_E_UNSUPPORTED_FEATURE;
}
unsigned long apdu_MSE_RSA_PSS(SCARDHANDLE, SCARD_IO_REQUEST*) { return SCARD_E_UNSUPPORTED_FEATURE; }
unsigned long apdu_MSE_RSA_PKCS_1_5(SCARDHANDLE, SCARD_IO_REQUEST*) { return SCARD_E_UNSUPPORTED_FEATURE; }
unsigned long apdu_VerifyPIN(const tev::quessel::pcsc::SmartCard&, SCARDHANDLE, SCARD_IO_REQUEST*,
                             const std::string&) {
    return 16;
}
unsigned long apdu_PSO_TCKK(SCARDHANDLE, SCARD_IO_REQUEST*, const QByteArray&, QByteArray*) {
    return SCARD_E_UNSUPPORTED_FEATURE;
}
}  // namespace tckk

namespace akis {
unsigned long apdu_SelectDF_AKIS_ESignatureApp(SCARDHANDLE, SCARD_IO_REQUEST*, const bool&) {
    return SCARD_E_UNSUPPORTED_FEATURE;
}
unsigned long apdu_SelectEF_AKIS_Certificate(SCARDHANDLE, SCARD_IO_REQUEST*, unsigned char*, int*) { return 1; }
unsigned long apdu_VerifyPIN(const tev::quessel::pcsc::SmartCard&, SCARDHANDLE, SCARD_IO_REQUEST*,
                             const std::string&, const bool&) {
    return 16;
}
unsigned long apdu_MSE_RSA_PKCS_1_5(SCARDHANDLE, SCARD_IO_REQUEST*, const int&, const bool&, const QString&) {
    return 2;
}
unsigned long apdu_PSO_ESignature(SCARDHANDLE, SCARD_IO_REQUEST*, const QString&, const QByteArray&, QByteArray*) {
    return SCARD_E_UNSUPPORTED_FEATURE;
}
unsigned long apdu_LoginAsSecurityOfficer(SCARDHANDLE, SCARD_IO_REQUEST*, const std::string&) { return 73; }
unsigned long apdu_LoginAsStandardUser(SCARDHANDLE, SCARD_IO_REQUEST*, const std::string&) { return 73; }
unsigned long apdu_SetPin(SCARDHANDLE, SCARD_IO_REQUEST*, const std::string&) { return 73; }
unsigned long apdu_ChangePin(SCARDHANDLE, SCARD_IO_REQUEST*, const std::string&, const std::string&) {
    return 73;
}
unsigned long apdu_RetrievePKCS15FromCerts(SCARDHANDLE, SCARD_IO_REQUEST*, const std::string&, QString*) {
    return 45;
}
unsigned long apdu_RetrievePKCS15PrivateKeyIndex(SCARDHANDLE, SCARD_IO_REQUEST*, const QString&, int*) {
    return 46;
}
unsigned long getPrivateKeyInfo(SCARDHANDLE, SCARD_IO_REQUEST*, const int&, int* keyId) {
    if (keyId) *keyId = -1;
    return 44;
}
unsigned long apdu_CheckIfSmartcardIsPersonalized(SCARDHANDLE, SCARD_IO_REQUEST*, QByteArray*, QByteArray*) {
    return 73;
}
unsigned long apdu_StoreCertificateWithCkaId(SCARDHANDLE, SCARD_IO_REQUEST*, const QString&, const QByteArray&,
                                             const QByteArray&) {
    return 73;
}
}  // namespace akis
}  // namespace apdu
}  // namespace corvane

namespace quessel {
namespace pcsc {

int listSmartCards(std::vector<SmartCard>*) { return 2; }
void checkCardEvent(int) {}
int listAKISCertificates(const int&, std::vector<tev::x509::Certificate>*) { return 2; }
tev::x509::Certificate retrieveAKISCertificateWithSerialNumber(const int&, const std::string&) { throw 516; }
int signWithAKISCertificate(int, const std::string&, const std::string&, const QString&, const QByteArray&,
                            QByteArray*) {
    return 2;
}
int retrieveAKISCertificate(int, QByteArray*) { return 2; }
int listTCKKReaders(std::vector<SmartCard>*) { return 2; }
int retrieveTCKKCertificate(int, QByteArray*) { return 2; }
int signWithTCKKCertificate(int, int, const std::string&, const QByteArray&, QByteArray*) { return 2; }

}  // namespace pcsc
}  // namespace quessel
}  // namespace tev
