// PC/SC card access: readers and the cards in them, and the APDU command sets
// of AKIS cards and of the national identity card (TCKK).
//
// Layers, bottom up:
//   tev::corvane::apdu        one exchange (ResponseAPDU, sendAPDU) and the
//                             commands every card family shares;
//   tev::corvane::apdu::tckk  the national identity card's commands;
//   tev::corvane::apdu::akis  the AKIS card's commands and PKCS#15 look-ups;
//   tev::quessel::pcsc        sessions: context, reader walk, connection,
//                             transaction, and what is done on the card.
//
// The APDU functions only transmit on the handle they are given; they never
// connect, disconnect or open transactions, and keep no state. The session
// functions open and release everything they use within the call and never
// throw (but retrieveAKISCertificateWithSerialNumber, see there).
//
// Result codes: 0 is success; otherwise a PC/SC code, an ISO 7816 status word
// (SW1 * 256 + SW2) or one of the small codes of this layer:
//   16 PIN not verified for another reason     27 wrong PIN
//   38 PIN locked                              44 no key / directory entry
//   45 certificate directory unusable          46 key directory unusable
//   71 not a national identity card            73 personalisation step failed
//   75 the card returned no signature bytes     7 card not personalised
//   -1 national identity card session step failed
//    2 no PC/SC context or no reader list
#pragma once

#include <QByteArray>
#include <QString>
#include <string>
#include <vector>

#include <winscard.h>

#include "tev-certificate.h"

namespace tev {
namespace quessel {
namespace pcsc {

// One PC/SC reader and the card in it. Plain value record.
struct SmartCard {
    bool reservedFlag = false;       // never set
    bool isCardInserted = false;     // a card answered the connection (TCKK reader listing)
    bool providesPINReader = false;  // the reader offers secure PIN entry (TCKK reader listing)
    bool isTCKK = false;             // MF and DF 3D10 selectable
    int slot = 0;                    // 1-based position in the PC/SC reader list
    std::string atr;                 // upper-case hex, no separators
    std::string cardType;            // from the card configuration database
    std::string driverPath;          // PKCS#11 module path, UTF-8
    std::wstring driverPathWide;     // same path, one UCS-4 code point per character
    std::string readerName;          // PC/SC reader name
    std::string library;             // library short name, e.g. "akisp11"
    std::string reservedText;        // never written

    SmartCard() = default;
    SmartCard(const SmartCard&) = default;
    SmartCard& operator=(const SmartCard&) = default;
    SmartCard(SmartCard&&) = default;
    SmartCard& operator=(SmartCard&&) = default;
    ~SmartCard() = default;
};

}  // namespace pcsc
}  // namespace quessel

namespace corvane {
namespace apdu {

// One exchange with the card: the command as sent and the reply as received.
// sendAPDU appends to data and response, so a record serves one exchange.
struct ResponseAPDU {
    QByteArray command;   // CLA INS P1 P2 [Lc data] [Le]
    QByteArray data;      // reply without its status word
    int dataLength = 0;   // bytes received minus 2
    QByteArray response;  // whole reply, status word included
    int sw = 0;           // SW1 * 256 + SW2 (0x9000 is success)
    int sw1 = 0;
    int sw2 = 0;

    ~ResponseAPDU() = default;
};

// Transmits record->command on the card handle. Returns the SCardTransmit
// result (0 on success, the reply fields filled). A reply shorter than the two
// status bytes is a failure (SCARD_E_INVALID_VALUE) and fills nothing.
int sendAPDU(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, ResponseAPDU* apdu);

// SELECT MF 3F00: 0 on 9000, else the status word or the transmission code.
unsigned long apdu_SelectMF(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci);

// Reads `size` bytes of the selected transparent file with READ BINARY, 256
// at most per command, appending to *out. 0 when size is below 1. A reply that
// carries no data ends the reading; if fewer than `size` bytes came, the result
// is that reply's status word (0x6282 when the card claimed success), or the
// code of a failed transmission.
unsigned long apdu_ReadBinary_Certificate(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci,
                                          const int& size, QByteArray* out);

// True when both the MF and DF 3D10 can be selected (leaves 3D10 selected).
bool isTCKK(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci);

namespace tckk {

// SELECT DF 3D10: the transmission code on 9000, else 71.
unsigned long apdu_CheckIfTCKK(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci);
// SELECT DF 3D00: 0 on 9000, else the status word or the transmission code.
unsigned long apdu_SelectDF_KDU(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci);
// SELECT EF 2F10: 0 on 9000 with *size set from FCI bytes 5 and 6 (only when
// at least six data bytes came); else the status word or transmission code.
unsigned long apdu_SelectEF_TCKK_Certificate(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, int* size);
// MSE SET for RSA-PSS (91) / PKCS#1 v1.5 (92), key 81: 0 on 9000, else the
// status word or the transmission code.
unsigned long apdu_MSE_RSA_PSS(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci);
unsigned long apdu_MSE_RSA_PKCS_1_5(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci);
// VERIFY (reference 01): 0, 27, 38 or 16. PIN-pad readers ("VKR-410",
// "VKR-420") get six FF bytes instead of the PIN; "OMNIKEY CardMan 3621"
// readers get no command and the result 16. A PIN over 255 bytes gives 16
// without sending anything.
unsigned long apdu_VerifyPIN(const tev::quessel::pcsc::SmartCard& reader, SCARDHANDLE card,
                             SCARD_IO_REQUEST* sendPci, const std::string& pin);
// PSO COMPUTE DIGITAL SIGNATURE with one GET RESPONSE for a 61xx answer;
// appends the signature. 0 on success; the status word when the card refuses;
// a transmission code; SCARD_E_INVALID_PARAMETER for data over 255 bytes.
unsigned long apdu_PSO_TCKK(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, const QByteArray& data,
                            QByteArray* signature);

}  // namespace tckk

namespace akis {

// SELECT DF 3D01 (rel2), or DF 3D00 falling back to 3D01: 0 when selected,
// else the status word or the transmission code.
unsigned long apdu_SelectDF_AKIS_ESignatureApp(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci,
                                               const bool& rel2);
// SELECT EF (two-byte identifier): 0 with *size set (from at least six FCI
// bytes), 27266 (6A82) when the file does not exist, 1 otherwise.
unsigned long apdu_SelectEF_AKIS_Certificate(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci,
                                             unsigned char* fileIdentifier, int* size);
// VERIFY (reference 81): 0, 27, 38 or 16, PIN-pad readers as for the identity card.
unsigned long apdu_VerifyPIN(const tev::quessel::pcsc::SmartCard& reader, SCARDHANDLE card,
                             SCARD_IO_REQUEST* sendPci, const std::string& pin, const bool& rel2);
// MSE SET for the key reference (0..255), with the second-release form as
// retry: 0 or 2.
unsigned long apdu_MSE_RSA_PKCS_1_5(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, const int& keyReference,
                                    const bool& rel2, const QString& algorithm);
// PSO COMPUTE DIGITAL SIGNATURE, following the 61xx chain (bounded); ECDSA
// results become DER ECDSA-Sig-Value. 0 on success with the signature appended;
// the status word when the card refuses or breaks the chain (output left as it
// was); 75 when the card returned no signature bytes; a transmission code;
// SCARD_E_INVALID_PARAMETER for data over 255 bytes.
unsigned long apdu_PSO_ESignature(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, const QString& algorithm,
                                  const QByteArray& data, QByteArray* signature);

// Personalisation commands (no caller in the agent).
unsigned long apdu_LoginAsSecurityOfficer(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, const std::string& pin);
unsigned long apdu_LoginAsStandardUser(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, const std::string& pin);
unsigned long apdu_SetPin(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, const std::string& newPin);
unsigned long apdu_ChangePin(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, const std::string& first,
                             const std::string& second);

// PKCS#15: CKA_ID (DER hex of the iD element) of the CDF entry whose serial
// number is `serialNumber` (decimal). 0 on a match (*ckaId replaced); 45 when the
// CDF cannot be selected or parsed; else the READ BINARY code, *ckaId untouched.
unsigned long apdu_RetrievePKCS15FromCerts(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci,
                                           const std::string& serialNumber, QString* ckaId);
// PKCS#15: key reference of the PrKDF entry whose iD is `ckaId`. 0 on a match
// (*keyReference written); 46 when the PrKDF cannot be selected; 45 when it
// cannot be parsed; 44 when the matching entry has no usable key reference;
// else the READ BINARY code, *keyReference untouched.
unsigned long apdu_RetrievePKCS15PrivateKeyIndex(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci,
                                                 const QString& ckaId, int* keyReference);
// Card key list: identifier of the index-th private key. 0 or 44 (*keyId -1).
unsigned long getPrivateKeyInfo(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, const int& index, int* keyId);
// 0 when the card holds a certificate, 7 when not, 45 or 73 on failures.
unsigned long apdu_CheckIfSmartcardIsPersonalized(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci,
                                                  QByteArray* cardSerialNumber, QByteArray* ckaId);
// Writes the certificate into EF 2F11 and appends its CDF entry (label
// "Pelmira-certificate") after the last entry of the CDF. 0, 45 or 73.
unsigned long apdu_StoreCertificateWithCkaId(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, const QString& pin,
                                             const QByteArray& certificate, const QByteArray& ckaId);

}  // namespace akis
}  // namespace apdu
}  // namespace corvane

namespace quessel {
namespace pcsc {

// Appends one record per reader holding a card that the card database knows
// ("akisp11" cards always, others when their driver file exists). 0 after the
// walk (also with no reader at all), 2 when no context or reader list.
int listSmartCards(std::vector<SmartCard>* cards);

// Card monitoring is answered by the command layer; this does nothing.
void checkCardEvent(int);

// AKIS cards. `slot` is the 1-based position in the PC/SC reader list.
// Appends the certificates of EF 2F10..2F2F and refreshes the process-wide
// caches. 0 after the walk; 2 without context or reader list; the PC/SC code
// when the reader is missing, empty or refuses the connection.
int listAKISCertificates(const int& slot, std::vector<tev::x509::Certificate>* certificates);
// The certificate with that decimal serial number: from the cache when it was
// read from the card that is in the reader now (the same insertion), else read
// from the card. Throws int 516 when the card holds no such certificate.
tev::x509::Certificate retrieveAKISCertificateWithSerialNumber(const int& slot, const std::string& serialNumber);
// Drops every cached certificate with that serial number, so that the next
// look-up reads the card again.
void forgetAKISCertificate(const std::string& serialNumber);
// VERIFY, key look-up, MSE, PSO. 0 with the signature appended; else the code
// of the failing step (27/38/16 PIN, 44 no key for the serial, PC/SC codes for
// a missing or empty reader, ...). Nothing is sent after a failing step.
int signWithAKISCertificate(int slot, const std::string& pin, const std::string& serialNumber,
                            const QString& algorithm, const QByteArray& data, QByteArray* signature);
// Appends the content of EF 2F10 (or 2F11). 0, or a non-zero code when the
// reader is missing or empty or the file cannot be selected or read.
int retrieveAKISCertificate(int slot, QByteArray* out);

// National identity card.
// Appends one record per reader whose card answers as an identity card.
int listTCKKReaders(std::vector<SmartCard>* readers);
// Appends EF 2F10. 0; -1 when MF, DF 3D00 or EF 2F10 cannot be selected; the
// READ BINARY code when the file cannot be read whole; PC/SC codes for a
// missing or empty reader; 2 without context or reader list.
int retrieveTCKKCertificate(int slot, QByteArray* certificate);
// padding 1: PKCS#1 v1.5, 2: RSA-PSS, other: no MSE. 0 with the signature
// appended; -1 when MF, DF or PIN fail; the MSE or PSO code when the card
// refuses; 75 without signature bytes; PC/SC codes for a missing or empty reader.
int signWithTCKKCertificate(int slot, int padding, const std::string& pin, const QByteArray& data,
                            QByteArray* signature);

}  // namespace pcsc
}  // namespace quessel
}  // namespace tev
