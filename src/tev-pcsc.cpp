// PC/SC card access: APDU exchange, the AKIS and national identity card
// command sets, PKCS#15 look-ups, and the card sessions built on them.
//
// Card state (selected DF, verified PIN, security environment) lives on the
// card for as long as our connection's transaction holds it, so every session
// runs its commands inside one SCardBeginTransaction/SCardEndTransaction:
// another request on another handle waits instead of interleaving its APDUs.
//
// Nothing here ever logs a PIN or the bytes of a VERIFY command.
#include "tev-pcsc.h"

#include <QFileInfo>

#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <stdexcept>

#include <reader.h>

#include "biginteger.h"
#include "tev-asn1.h"
#include "tev-commons.h"
#include "tev-logging.h"
#include "tev-smartcard.h"

#define PCSC_LOG(level) LOG(level) << "PCSC: "

namespace {

using tev::corvane::apdu::ResponseAPDU;

constexpr int kSwSuccess = 0x9000;
constexpr int kSwFileNotFound = 0x6A82;
// ISO 7816-4 "end of file reached before reading Le bytes": what a READ BINARY
// that ran dry reports when the card itself claimed success.
constexpr unsigned long kSwEndOfFile = 0x6282;
// Short APDUs carry at most 255 bytes of command data (one Lc byte).
constexpr int kMaxCommandData = 255;
// READ BINARY offsets are 15 bits: P1 b8 set means short-file-identifier addressing.
constexpr int kMaxReadOffset = 0x7FFF;
// A PSO answer arrives in at most a few pieces; a card that keeps answering
// 61xx beyond this is broken and must not hold the request forever.
constexpr int kMaxGetResponseChain = 32;
// Directory files hold a handful of entries; the bound only stops a hostile
// or corrupted file from making us spin.
constexpr int kMaxDirectoryEntries = 1024;
constexpr int kNoSignatureBytes = 75;
constexpr const char* kAkisLibrary = "akisp11";

unsigned long transmissionCode(int rc) {
    // PC/SC codes are 32-bit values; keep them as such whatever the width of long.
    return static_cast<unsigned long>(static_cast<std::uint32_t>(rc));
}

int sessionCode(unsigned long code) { return static_cast<int>(code); }

QByteArray bytesOf(std::initializer_list<unsigned char> bytes) {
    QByteArray out;
    out.reserve(static_cast<int>(bytes.size()));
    for (unsigned char b : bytes) out.append(static_cast<char>(b));
    return out;
}

unsigned char byteAt(const QByteArray& bytes, int index) { return static_cast<unsigned char>(bytes.at(index)); }

// SW1 61 with SW2 01..FE: more response bytes wait for GET RESPONSE.
bool moreDataWaiting(int sw) {
    const int sw2 = sw & 0xFF;
    return (sw >> 8) == 0x61 && sw2 != 0x00 && sw2 != 0xFF;
}

int exchange(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, const QByteArray& command, ResponseAPDU* reply) {
    reply->command = command;
    return tev::corvane::apdu::sendAPDU(card, sendPci, reply);
}

// One command that only succeeds on 9000.
bool exchangeNeeds9000(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, const QByteArray& command) {
    ResponseAPDU reply;
    return exchange(card, sendPci, command, &reply) == 0 && reply.sw == kSwSuccess;
}

// Status word of a selection when the card answered, the PC/SC code when not.
unsigned long selectionResult(int rc, const ResponseAPDU& reply) {
    if (rc != 0) return transmissionCode(rc);
    return reply.sw == kSwSuccess ? 0 : static_cast<unsigned long>(reply.sw);
}

unsigned long selectByIdentifier(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, unsigned char p1, unsigned char high,
                                 unsigned char low, ResponseAPDU* reply) {
    return selectionResult(exchange(card, sendPci, bytesOf({0x00, 0xA4, p1, 0x00, 0x02, high, low, 0x00}), reply),
                           *reply);
}

// File size from bytes 5 and 6 of a file control information; only a FCI
// that actually holds them gives a size.
bool sizeFromFci(const QByteArray& fci, int* size) {
    if (fci.size() < 6) return false;
    *size = (byteAt(fci, 4) << 8) | byteAt(fci, 5);
    return true;
}

std::string upperHex(const QByteArray& bytes) { return bytes.toHex().toUpper().toStdString(); }

QByteArray pkcs15ApplicationSelection() {
    return bytesOf({0x00, 0xA4, 0x04, 0x00, 0x07, 0x50, 0x4B, 0x43, 0x53, 0x2D, 0x31, 0x35, 0x00});
}

// VERIFY with the PIN as data: CLA INS P1 P2 Lc PIN [00]. Empty when the PIN
// cannot be sent: longer than one command holds, empty, or holding a NUL. A
// VERIFY without data asks the card for the PIN's state instead, and a card
// whose PIN is still verified from an earlier request answers 9000 to it, so
// an empty PIN must never become one. No PIN anyone can type holds a NUL:
// sent, it would only spend a try.
QByteArray verifyCommand(unsigned char reference, const QByteArray& pin, bool trailingLe) {
    if (pin.isEmpty() || pin.contains('\0') || pin.size() > kMaxCommandData) return {};
    QByteArray command = bytesOf({0x00, 0x20, 0x00, reference, static_cast<unsigned char>(pin.size())});
    command.append(pin);
    if (trailingLe) command.append('\0');
    return command;
}

// A VERIFY with the PIN that only succeeds on 9000; false without sending when
// the PIN cannot be sent. The command bytes are wiped after the exchange.
bool verifyNeeds9000(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, unsigned char reference, const QByteArray& pin) {
    QByteArray command = verifyCommand(reference, pin, false);
    if (command.isEmpty()) return false;
    ResponseAPDU reply;
    const bool ok = exchange(card, sendPci, command, &reply) == 0 && reply.sw == kSwSuccess;
    command.fill('\0');
    reply.command.fill('\0');
    return ok;
}

QByteArray updateBinaryCommand(int offset, const QByteArray& piece) {
    QByteArray command = bytesOf({0x00, 0xD6, static_cast<unsigned char>((offset >> 8) & 0xFF),
                                  static_cast<unsigned char>(offset & 0xFF), static_cast<unsigned char>(piece.size())});
    command.append(piece);
    command.append('\0');
    return command;
}

// Writes `content` into the selected transparent file from `base` in pieces of
// 230 bytes. Logs each piece with the given texts; false on the first refusal.
bool writeInPieces(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, int base, const QByteArray& content,
                   const char* successLine, const char* failureLine) {
    constexpr int kPiece = 230;
    for (int done = 0; done < content.size(); done += kPiece) {
        const int offset = base + done;
        if (offset > kMaxReadOffset) {
            PCSC_LOG(ERROR) << failureLine;
            return false;
        }
        if (!exchangeNeeds9000(card, sendPci, updateBinaryCommand(offset, content.mid(done, kPiece)))) {
            PCSC_LOG(ERROR) << failureLine;
            return false;
        }
        PCSC_LOG(INFO) << successLine;
    }
    return true;
}

// Selection of a PKCS#15 directory file (or EF 2F02): 9000 gives the FCI at
// once, 61xx through GET RESPONSE. False when the card refuses the selection.
bool selectDirectoryFile(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, unsigned char high, unsigned char low,
                         int* size) {
    *size = 0;
    ResponseAPDU reply;
    const int rc = exchange(card, sendPci, bytesOf({0x00, 0xA4, 0x02, 0x00, 0x02, high, low, 0x00}), &reply);
    if (rc != 0) return false;
    QByteArray fci;
    if (reply.sw == kSwSuccess) {
        fci = reply.data;
    } else if (reply.sw1 == 0x61) {
        ResponseAPDU more;
        if (exchange(card, sendPci, bytesOf({0x00, 0xC0, 0x00, 0x00, static_cast<unsigned char>(reply.sw2)}),
                     &more) == 0 &&
            more.sw == kSwSuccess)
            fci = more.data;
    } else {
        return false;
    }
    sizeFromFci(fci, size);
    return true;
}

tev::asn1::ASN1Element* childAt(tev::asn1::ASN1Element* element, int index) {
    if (element == nullptr || element->children == nullptr || index < 0 || index >= element->children->size())
        return nullptr;
    return element->children->at(index);
}

QString derText(tev::asn1::ASN1Element* element) {
    QString out;
    tev::asn1::encodeASN1Element(element, &out);
    return out;
}

enum class DirectoryWalk { Matched, Exhausted, Unparsable };

// Walks the entries of a PKCS#15 directory file given as hex text, calling
// `visit` on each until it answers true. The walk is bounded by the digits
// actually read, by each entry's own declared length, and by zero or FF
// padding, which marks the end of the entries. *endDigit receives the digit
// position just after the last entry seen.
DirectoryWalk walkDirectory(const QString& hex, const std::function<bool(tev::asn1::ASN1Element*)>& visit,
                            int* endDigit = nullptr) {
    const int total = hex.size() - (hex.size() % 2);
    int position = 0;
    for (int entries = 0; position < total && entries < kMaxDirectoryEntries; ++entries) {
        const QString first = hex.mid(position, 2);
        if (first == "00" || first.compare("ff", Qt::CaseInsensitive) == 0) break;
        QString rest = hex.mid(position, total - position);
        tev::asn1::ASN1Element entry;
        tev::asn1::decodeASN1Element(&rest, &entry, true);
        const std::uint64_t declared =
            2 + static_cast<std::uint64_t>(entry.lengthHex->size()) + 2 * static_cast<std::uint64_t>(entry.length);
        if (entry.children == nullptr) {
            PCSC_LOG(ERROR) << "Cannot process PKCS15 ASN.1 data";
            if (endDigit) *endDigit = position;
            return DirectoryWalk::Unparsable;
        }
        if (declared > static_cast<std::uint64_t>(total - position)) {
            // The entry claims more than the file holds: a truncated read or a
            // corrupted file. Nothing after this point can be trusted.
            PCSC_LOG(ERROR) << "PKCS15 entry runs past the end of the data read";
            if (endDigit) *endDigit = position;
            return DirectoryWalk::Unparsable;
        }
        if (visit(&entry)) {
            if (endDigit) *endDigit = position + static_cast<int>(declared);
            return DirectoryWalk::Matched;
        }
        position += static_cast<int>(declared);
        PCSC_LOG(INFO) << "Remainig size: " << (total - position);
    }
    if (endDigit) *endDigit = position;
    return DirectoryWalk::Exhausted;
}

// Reads the directory file currently selected (size from its FCI) as hex text.
unsigned long readDirectoryHex(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, int size, QString* hex) {
    QByteArray content;
    const unsigned long rc = tev::corvane::apdu::apdu_ReadBinary_Certificate(card, sendPci, size, &content);
    // A read past the declared size (cards answer whole pieces) is not part of the file.
    if (content.size() > size) content.truncate(size);
    *hex = QString::fromLatin1(content.toHex());
    return rc;
}

bool isDecimalNumber(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// The value of a DER INTEGER element as a non-negative number that fits an int.
bool keyReferenceFromInteger(tev::asn1::ASN1Element* element, int* out) {
    if (element == nullptr || element->tag != 0x02 || element->value == nullptr) return false;
    const QString& digits = *element->value;
    if (digits.isEmpty() || digits.size() % 2 != 0 || digits.size() > 8) return false;
    bool ok = false;
    const qint64 value = digits.toLongLong(&ok, 16);
    if (!ok) return false;
    if (digits.left(1).toInt(&ok, 16) >= 8) return false;  // negative INTEGER
    if (value > 0x7FFFFFFF) return false;
    *out = static_cast<int>(value);
    return true;
}

// ---- process-wide AKIS certificate caches ----------------------------------

}  // namespace

namespace tev {
namespace corvane {
namespace apdu {
namespace akis {
namespace {

// One card's stay in one reader. The resource manager counts the card
// insertions and removals of each reader (the upper 16 bits of the event
// state that SCardGetStatusChange reports), so a card pulled and put back, or
// replaced by another, gives another count; reading it needs no card command.
// The ATR is kept beside the count. What neither can tell, a card replaced
// while the resource manager was down (its counts start again from zero), the
// signing road catches: a signature must verify with the certificate it goes
// out with.
struct CardPresence {
    std::string reader;
    std::string atr;
    unsigned long events = 0;

    bool known() const { return !reader.empty(); }
    bool operator==(const CardPresence& other) const {
        return reader == other.reader && atr == other.atr && events == other.events;
    }
};

// A certificate as read from a card, and that card's presence when it was read.
struct CachedCertificate {
    CardPresence presence;
    tev::x509::Certificate certificate;
};

// Shared by every handler thread of the service; the lock makes each lookup
// and store see whole records, and lookups hand out copies. Held on the heap
// and never destroyed so that no certificate is freed after OpenSSL's own
// clean-up at exit.
//
// CACHED_CERTIFICATES is keyed by reader name and decimal serial number, and
// an entry serves only while the card it was read from is still in that
// reader: serial numbers are unique per issuer only, and several cards of
// several issuers pass through the readers of one machine.
struct CertificateCaches {
    std::mutex lock;
    std::map<std::pair<std::string, std::string>, CachedCertificate> CACHED_CERTIFICATES;
    std::vector<tev::x509::Certificate> CACHED_CERTIFICATES_LIST;

    // Keeps a certificate read under `presence`, dropping what was read from
    // earlier cards in the same reader. Call with the lock held.
    void store(const CardPresence& presence, const tev::x509::Certificate& certificate) {
        for (auto entry = CACHED_CERTIFICATES.begin(); entry != CACHED_CERTIFICATES.end();) {
            if (entry->first.first == presence.reader && !(entry->second.presence == presence))
                entry = CACHED_CERTIFICATES.erase(entry);
            else
                ++entry;
        }
        CACHED_CERTIFICATES[{presence.reader, certificate.serialNumber}] = CachedCertificate{presence, certificate};
    }

    // The certificate read from the card that is in the reader now. Call with the lock held.
    const tev::x509::Certificate* find(const CardPresence& presence, const std::string& serialNumber) const {
        const auto found = CACHED_CERTIFICATES.find({presence.reader, serialNumber});
        if (found == CACHED_CERTIFICATES.end() || !(found->second.presence == presence)) return nullptr;
        return &found->second.certificate;
    }
};

CertificateCaches& caches() {
    static CertificateCaches* instance = new CertificateCaches;
    return *instance;
}

}  // namespace
}  // namespace akis
}  // namespace apdu
}  // namespace corvane
}  // namespace tev

// ---- exchange and shared commands ----------------------------------------------

namespace tev {
namespace corvane {
namespace apdu {

int sendAPDU(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, ResponseAPDU* apdu) {
    if (apdu == nullptr) return static_cast<int>(SCARD_E_INVALID_PARAMETER);
    unsigned char received[1024];
    DWORD receivedLength = sizeof(received);
    const LONG rc = SCardTransmit(card, sendPci, reinterpret_cast<const unsigned char*>(apdu->command.constData()),
                                  static_cast<DWORD>(apdu->command.size()), nullptr, received, &receivedLength);
    if (rc != SCARD_S_SUCCESS) return static_cast<int>(rc);
    if (receivedLength < 2) {
        // Without a status word there is nothing to interpret; never a negative length.
        PCSC_LOG(ERROR) << "The card answered with " << receivedLength << " bytes, without a status word";
        return static_cast<int>(SCARD_E_INVALID_VALUE);
    }
    const int count = static_cast<int>(receivedLength);
    apdu->response.append(reinterpret_cast<const char*>(received), count);
    apdu->data.append(reinterpret_cast<const char*>(received), count - 2);
    apdu->sw1 = received[count - 2];
    apdu->sw2 = received[count - 1];
    apdu->sw = apdu->sw1 * 256 + apdu->sw2;
    apdu->dataLength = count - 2;
    return 0;
}

unsigned long apdu_SelectMF(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci) {
    ResponseAPDU reply;
    return selectByIdentifier(card, sendPci, 0x00, 0x3F, 0x00, &reply);
}

unsigned long apdu_ReadBinary_Certificate(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, const int& size,
                                          QByteArray* out) {
    if (size < 1) return 0;
    if (out == nullptr) return SCARD_E_INVALID_PARAMETER;
    int offset = 0;
    int remaining = size;
    while (remaining > 0) {
        if (offset > kMaxReadOffset) {
            PCSC_LOG(ERROR) << "Cannot read a file beyond offset " << kMaxReadOffset << "; " << remaining
                            << " bytes not read";
            return SCARD_E_INVALID_PARAMETER;
        }
        ResponseAPDU reply;
        const int rc = exchange(
            card, sendPci,
            bytesOf({0x00, 0xB0, static_cast<unsigned char>(offset >> 8), static_cast<unsigned char>(offset & 0xFF),
                     0x00}),
            &reply);
        if (rc != 0) return transmissionCode(rc);
        if (reply.dataLength <= 0) {
            PCSC_LOG(ERROR) << "READ BINARY at offset " << offset << " returned no data (status word " << reply.sw
                            << "); " << remaining << " bytes not read";
            return reply.sw != kSwSuccess ? static_cast<unsigned long>(reply.sw) : kSwEndOfFile;
        }
        out->append(reply.data);
        remaining -= reply.dataLength;
        offset += reply.dataLength;
    }
    return 0;
}

bool isTCKK(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci) {
    return apdu_SelectMF(card, sendPci) == 0 && tckk::apdu_CheckIfTCKK(card, sendPci) == 0;
}

namespace {

unsigned long mapPinStatus(int sw) {
    switch (sw) {
        case 0x9000:
            PCSC_LOG(INFO) << "Login successful";
            return 0;
        case 0x63C0:
            PCSC_LOG(ERROR) << "PIN is locked";
            return 38;
        case 0x63C1:
        case 0x63C2:
        case 0x63C3:
            PCSC_LOG(ERROR) << "Incorrect PIN";
            return 27;
        case 0x6984:
            PCSC_LOG(ERROR) << "Incorrect PIN";
            return 38;
        default:
            PCSC_LOG(ERROR) << "Cannot login to the signer due to " << sw;
            return 16;
    }
}

// VERIFY shared by both card families; they differ in the key reference and
// in whether the plain form carries a trailing Le byte.
unsigned long verifyPin(const tev::quessel::pcsc::SmartCard& reader, SCARDHANDLE card, SCARD_IO_REQUEST* sendPci,
                        const std::string& pin, unsigned char reference, bool plainFormHasLe, bool logStatusWord) {
    const std::string& name = reader.readerName;
    if (name.find("OMNIKEY CardMan 3621") != std::string::npos) {
        // This reader takes no VERIFY from us, so the PIN is not verified.
        PCSC_LOG(ERROR) << "No PIN verification is sent through the reader " << name;
        return mapPinStatus(0);
    }
    QByteArray command;
    if (name.find("VKR-410") != std::string::npos || name.find("VKR-420") != std::string::npos) {
        PCSC_LOG(INFO) << "Detected Corvane Card Reader with PIN PAD " << name;
        command = bytesOf({0x00, 0x20, 0x00, reference, 0x06, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00});
    } else {
        PCSC_LOG(INFO) << "The reader does not provide PIN reader";
        if (pin.empty()) {
            // Nobody can type the PIN on this reader, so the request had to
            // carry it: without one the card is not asked anything.
            PCSC_LOG(ERROR) << "No PIN is given for a reader without PIN pad; nothing is sent";
            return 27;
        }
        if (pin.find('\0') != std::string::npos) {
            // No keyboard types a NUL: such a PIN is wrong, and the card
            // would count it as a failed try.
            PCSC_LOG(ERROR) << "The PIN holds a NUL character; nothing is sent";
            return 27;
        }
        if (pin.size() > static_cast<size_t>(kMaxCommandData)) {
            PCSC_LOG(ERROR) << "The PIN is longer than " << kMaxCommandData << " bytes; nothing is sent";
            return 16;
        }
        command = verifyCommand(reference, QByteArray(pin.data(), static_cast<int>(pin.size())), plainFormHasLe);
    }
    ResponseAPDU reply;
    const int rc = exchange(card, sendPci, command, &reply);
    command.fill('\0');  // do not leave the PIN lying in freed memory
    reply.command.fill('\0');
    PCSC_LOG(INFO) << "Verify PIN return value: " << rc;
    if (logStatusWord) PCSC_LOG(INFO) << "Verify PIN APDU SW: " << reply.sw;
    return mapPinStatus(reply.sw);
}

QByteArray psoCommand(const QByteArray& data) {
    QByteArray command = bytesOf({0x00, 0x2A, 0x9E, 0x9A, static_cast<unsigned char>(data.size())});
    command.append(data);
    command.append('\0');
    return command;
}

bool commandDataTooLong(const QByteArray& data) {
    if (data.size() <= kMaxCommandData) return false;
    PCSC_LOG(ERROR) << "Cannot send " << data.size() << " bytes in one command (at most " << kMaxCommandData
                    << "); nothing is sent";
    return true;
}

}  // namespace

// ---- national identity card -----------------------------------------------------

namespace tckk {

unsigned long apdu_CheckIfTCKK(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci) {
    ResponseAPDU reply;
    const int rc = exchange(card, sendPci, bytesOf({0x00, 0xA4, 0x00, 0x00, 0x02, 0x3D, 0x10, 0x00}), &reply);
    return reply.sw == kSwSuccess ? transmissionCode(rc) : 71;
}

unsigned long apdu_SelectDF_KDU(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci) {
    ResponseAPDU reply;
    return selectByIdentifier(card, sendPci, 0x00, 0x3D, 0x00, &reply);
}

unsigned long apdu_SelectEF_TCKK_Certificate(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, int* size) {
    ResponseAPDU reply;
    const unsigned long result = selectByIdentifier(card, sendPci, 0x02, 0x2F, 0x10, &reply);
    if (result == 0 && size != nullptr) sizeFromFci(reply.data, size);
    return result;
}

unsigned long apdu_MSE_RSA_PSS(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci) {
    ResponseAPDU reply;
    const int rc = exchange(card, sendPci,
                            bytesOf({0x00, 0x22, 0x41, 0xB6, 0x06, 0x80, 0x01, 0x91, 0x84, 0x01, 0x81, 0x00}), &reply);
    return selectionResult(rc, reply);
}

unsigned long apdu_MSE_RSA_PKCS_1_5(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci) {
    ResponseAPDU reply;
    const int rc = exchange(card, sendPci,
                            bytesOf({0x00, 0x22, 0x41, 0xB6, 0x06, 0x80, 0x01, 0x92, 0x84, 0x01, 0x81, 0x00}), &reply);
    return selectionResult(rc, reply);
}

unsigned long apdu_VerifyPIN(const tev::quessel::pcsc::SmartCard& reader, SCARDHANDLE card,
                             SCARD_IO_REQUEST* sendPci, const std::string& pin) {
    return verifyPin(reader, card, sendPci, pin, 0x01, true, false);
}

unsigned long apdu_PSO_TCKK(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, const QByteArray& data,
                            QByteArray* signature) {
    if (signature == nullptr) return SCARD_E_INVALID_PARAMETER;
    if (commandDataTooLong(data)) return SCARD_E_INVALID_PARAMETER;
    ResponseAPDU reply;
    const int rc = exchange(card, sendPci, psoCommand(data), &reply);
    if (rc != 0) return transmissionCode(rc);
    PCSC_LOG(INFO) << "++++ APDU - Response result: " << reply.sw1 << ":" << reply.sw2;
    unsigned long result = 0;
    if (moreDataWaiting(reply.sw)) {
        PCSC_LOG(INFO) << "++++ APDU - Response length: " << reply.dataLength;
        ResponseAPDU more;
        const unsigned char le = static_cast<unsigned char>((256 - reply.dataLength) % 256);
        const int moreRc = exchange(card, sendPci, bytesOf({0x00, 0xC0, 0x00, 0x00, le}), &more);
        if (moreRc != 0) {
            result = transmissionCode(moreRc);
        } else if (more.sw != kSwSuccess) {
            PCSC_LOG(ERROR) << "GET RESPONSE of the signature refused with status word " << more.sw;
            result = static_cast<unsigned long>(more.sw);
        } else {
            signature->append(reply.data);
            signature->append(more.data);
        }
    } else if (reply.sw == kSwSuccess) {
        signature->append(reply.data);
    } else {
        PCSC_LOG(ERROR) << "The card refused the signature with status word " << reply.sw;
        result = static_cast<unsigned long>(reply.sw);
    }
    PCSC_LOG(INFO) << "Signature Data Size (0): " << signature->size();
    return result;
}

}  // namespace tckk

// ---- AKIS card ------------------------------------------------------------------

namespace akis {

unsigned long apdu_SelectDF_AKIS_ESignatureApp(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, const bool& rel2) {
    ResponseAPDU reply;
    if (rel2) return selectByIdentifier(card, sendPci, 0x00, 0x3D, 0x01, &reply);
    const int rc = exchange(card, sendPci, bytesOf({0x00, 0xA4, 0x00, 0x00, 0x02, 0x3D, 0x00, 0x00}), &reply);
    if (rc != 0) return transmissionCode(rc);
    if (reply.sw == kSwSuccess) return 0;
    PCSC_LOG(INFO) << "Trying other e-signature app with address 0x3D01";
    ResponseAPDU other;
    return selectByIdentifier(card, sendPci, 0x00, 0x3D, 0x01, &other);
}

unsigned long apdu_SelectEF_AKIS_Certificate(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci,
                                             unsigned char* fileIdentifier, int* size) {
    if (fileIdentifier == nullptr) return 1;
    ResponseAPDU reply;
    const int rc = exchange(
        card, sendPci, bytesOf({0x00, 0xA4, 0x02, 0x00, 0x02, fileIdentifier[0], fileIdentifier[1], 0x00}), &reply);
    if (rc != 0) return 1;
    QByteArray fci = reply.data;
    if (reply.sw == kSwFileNotFound) return 27266;
    if (reply.sw1 == 0x61) {
        ResponseAPDU more;
        exchange(card, sendPci, bytesOf({0x00, 0xC0, 0x00, 0x00, static_cast<unsigned char>(reply.sw2)}), &more);
        fci.append(more.data);
    } else if (reply.sw != kSwSuccess) {
        return 1;
    }
    if (size != nullptr) sizeFromFci(fci, size);
    return 0;
}

unsigned long apdu_VerifyPIN(const tev::quessel::pcsc::SmartCard& reader, SCARDHANDLE card,
                             SCARD_IO_REQUEST* sendPci, const std::string& pin, const bool&) {
    return verifyPin(reader, card, sendPci, pin, 0x81, false, true);
}

unsigned long apdu_MSE_RSA_PKCS_1_5(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, const int& keyReference,
                                    const bool& rel2, const QString& algorithm) {
    if (rel2) {
        const bool ok = exchangeNeeds9000(
            card, sendPci, bytesOf({0x00, 0x22, 0x41, 0xB6, 0x06, 0x80, 0x01, 0x92, 0x84, 0x01, 0x81, 0x00}));
        return ok ? 0 : 2;
    }
    if (keyReference < 0 || keyReference > 0xFF) {
        PCSC_LOG(ERROR) << "Cannot set the security environment for key reference " << keyReference;
        return 2;
    }
    const unsigned char kk = static_cast<unsigned char>(keyReference);
    if (exchangeNeeds9000(card, sendPci, bytesOf({0x00, 0x22, 0xC3, kk, 0x00}))) return 0;
    PCSC_LOG(INFO) << "Trying rel2 commands";
    unsigned char algorithmReference;
    if (algorithm.contains("rsa", Qt::CaseInsensitive)) {
        PCSC_LOG(INFO) << "Using RSA Algorithm";
        algorithmReference = 0x92;
    } else if (algorithm.contains("ecdsa", Qt::CaseInsensitive)) {
        PCSC_LOG(INFO) << "Using " << algorithm.toStdString() << " Algorithm";
        algorithmReference = 0x9B;
    } else {
        return 2;
    }
    const unsigned char key = static_cast<unsigned char>((0x80 + kk) % 256);
    const bool ok = exchangeNeeds9000(
        card, sendPci, bytesOf({0x00, 0x22, 0x41, 0xB6, 0x06, 0x80, 0x01, algorithmReference, 0x84, 0x01, key, 0x00}));
    return ok ? 0 : 2;
}

namespace {

// r || s from the card as DER ECDSA-Sig-Value { INTEGER r, INTEGER s }.
QByteArray ecdsaSignatureValue(const QByteArray& raw) {
    const int half = raw.size() / 2;
    const std::string r = tev::quessel::cades::buildBigIntegerFromByteArray(raw.left(half));
    const std::string s = tev::quessel::cades::buildBigIntegerFromByteArray(raw.right(half));
    const QString der = tev::asn1::encodeSequenceOf({tev::asn1::encodeInteger(r), tev::asn1::encodeInteger(s)});
    char* bytes = nullptr;
    int length = 0;
    hexStringToByteArray(der.toStdString(), &bytes, &length);
    QByteArray out(bytes, length);
    std::free(bytes);
    return out;
}

}  // namespace

unsigned long apdu_PSO_ESignature(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, const QString& algorithm,
                                  const QByteArray& data, QByteArray* signature) {
    if (signature == nullptr) return SCARD_E_INVALID_PARAMETER;
    if (commandDataTooLong(data)) return SCARD_E_INVALID_PARAMETER;
    ResponseAPDU reply;
    const int rc = exchange(card, sendPci, psoCommand(data), &reply);
    if (rc != 0) return transmissionCode(rc);
    QByteArray collected;
    if (moreDataWaiting(reply.sw)) {
        collected.append(reply.data);
        int waiting = reply.sw2;
        int lastSw = reply.sw;
        for (int rounds = 0; waiting > 0; ++rounds) {
            if (rounds == kMaxGetResponseChain) {
                PCSC_LOG(ERROR) << "The card still announces more signature bytes after " << rounds
                                << " GET RESPONSE commands; giving up";
                return static_cast<unsigned long>(lastSw);
            }
            ResponseAPDU more;
            const int moreRc =
                exchange(card, sendPci, bytesOf({0x00, 0xC0, 0x00, 0x00, static_cast<unsigned char>(waiting)}), &more);
            if (moreRc != 0) return transmissionCode(moreRc);
            collected.append(more.data);
            lastSw = more.sw;
            if (moreDataWaiting(more.sw)) {
                waiting = more.sw2;
            } else if (more.sw == kSwSuccess) {
                waiting = 0;
            } else {
                // A chain broken off leaves a truncated signature: never hand it out.
                PCSC_LOG(ERROR) << "GET RESPONSE of the signature refused with status word " << more.sw;
                return static_cast<unsigned long>(more.sw);
            }
        }
    } else if (reply.sw == kSwSuccess) {
        collected.append(reply.data);
    } else {
        PCSC_LOG(ERROR) << "The card refused the signature with status word " << reply.sw;
        return static_cast<unsigned long>(reply.sw);
    }
    if (collected.isEmpty()) {
        PCSC_LOG(ERROR) << "The card returned no signature bytes";
        return kNoSignatureBytes;
    }
    if (algorithm.contains("ecdsa", Qt::CaseInsensitive)) collected = ecdsaSignatureValue(collected);
    signature->append(collected);
    return 0;
}

// ---- personalisation ----------------------------------------------------------------

unsigned long apdu_LoginAsSecurityOfficer(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, const std::string& pin) {
    PCSC_LOG(INFO) << "Login as Security Officer - STEP 1";
    if (!exchangeNeeds9000(card, sendPci, pkcs15ApplicationSelection())) {
        PCSC_LOG(ERROR) << "Login as Security Officer - Step 1 - Failed";
        return 73;
    }
    PCSC_LOG(INFO) << "Login as Security Officer - Step 1 - Successful";
    PCSC_LOG(INFO) << "Login as Security Officer - STEP 2";
    if (!verifyNeeds9000(card, sendPci, 0x82, QByteArray(pin.data(), static_cast<int>(pin.size())))) {
        PCSC_LOG(ERROR) << "Login as Security Officer - Step 2 - Failed";
        return 73;
    }
    PCSC_LOG(INFO) << "Login as Security Officer - Step 2 - Successful";
    return 0;
}

unsigned long apdu_LoginAsStandardUser(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, const std::string& pin) {
    PCSC_LOG(INFO) << "Select Application By AID";
    if (!exchangeNeeds9000(card, sendPci, pkcs15ApplicationSelection())) {
        PCSC_LOG(ERROR) << "Login as Standard User - Step 1 - Failed";
        return 73;
    }
    PCSC_LOG(INFO) << "Login as Standard User - Step 1 - Successful";
    PCSC_LOG(INFO) << "Login as Standard User - STEP 2";
    if (!verifyNeeds9000(card, sendPci, 0x81, QByteArray(pin.data(), static_cast<int>(pin.size())))) {
        PCSC_LOG(ERROR) << "Login as Standard User - Step 2 - Failed";
        return 27;
    }
    PCSC_LOG(INFO) << "Login as Standard User - Step 2 - Successful";
    return 0;
}

unsigned long apdu_SetPin(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, const std::string& newPin) {
    PCSC_LOG(INFO) << "Set PIN for user";
    bool ok = newPin.size() <= static_cast<size_t>(kMaxCommandData);
    if (ok) {
        QByteArray command = bytesOf({0x00, 0x2C, 0x02, 0x81, static_cast<unsigned char>(newPin.size())});
        command.append(newPin.data(), static_cast<int>(newPin.size()));
        command.append('\0');
        ok = exchangeNeeds9000(card, sendPci, command);
        command.fill('\0');
    }
    if (!ok) {
        PCSC_LOG(ERROR) << "Set PIN for user - Failed";
        return 73;
    }
    PCSC_LOG(INFO) << "Set PIN for user - Successful";
    return 0;
}

unsigned long apdu_ChangePin(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, const std::string& first,
                             const std::string& second) {
    PCSC_LOG(INFO) << "Change PIN for user";
    const size_t total = first.size() + second.size();
    bool ok = total <= static_cast<size_t>(kMaxCommandData);
    if (ok) {
        QByteArray command = bytesOf({0x00, 0x24, 0x00, 0x81, static_cast<unsigned char>(total)});
        command.append(first.data(), static_cast<int>(first.size()));
        command.append(second.data(), static_cast<int>(second.size()));
        ok = exchangeNeeds9000(card, sendPci, command);
        command.fill('\0');
    }
    if (!ok) {
        PCSC_LOG(ERROR) << "Change PIN for user - Failed";
        return 73;
    }
    PCSC_LOG(INFO) << "Change PIN for user - Successful";
    return 0;
}

// ---- PKCS#15 ------------------------------------------------------------------------

unsigned long apdu_RetrievePKCS15FromCerts(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci,
                                           const std::string& serialNumber, QString* ckaId) {
    int size = 0;
    if (!selectDirectoryFile(card, sendPci, 0x2F, 0x04, &size)) {
        PCSC_LOG(ERROR) << "APDU - Cannot get certificate PKCS15 info";
        return 45;
    }
    QString hex;
    const unsigned long readResult = readDirectoryHex(card, sendPci, size, &hex);
    if (!isDecimalNumber(serialNumber)) {
        PCSC_LOG(ERROR) << "Cannot look up the certificate serial number " << serialNumber;
        return readResult;
    }
    const QString expected = tev::asn1::encodeInteger(serialNumber);
    QString found;
    const DirectoryWalk walk = walkDirectory(hex, [&](tev::asn1::ASN1Element* entry) {
        tev::asn1::ASN1Element* serial = childAt(childAt(childAt(entry, 3), 0), 3);
        tev::asn1::ASN1Element* id = childAt(childAt(entry, 1), 0);
        if (serial == nullptr || id == nullptr) return false;
        const QString text = derText(serial);
        PCSC_LOG(INFO) << "Read serial number ASN.1: " << text.toStdString();
        if (text.compare(expected, Qt::CaseInsensitive) != 0) return false;
        PCSC_LOG(INFO) << "Found serial number match " << serialNumber;
        found = derText(id);
        return true;
    });
    if (walk == DirectoryWalk::Matched) {
        if (ckaId) *ckaId = found;
        return 0;
    }
    if (walk == DirectoryWalk::Unparsable) return 45;
    return readResult;
}

unsigned long apdu_RetrievePKCS15PrivateKeyIndex(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, const QString& ckaId,
                                                 int* keyReference) {
    int size = 0;
    if (!selectDirectoryFile(card, sendPci, 0x2F, 0x01, &size)) {
        PCSC_LOG(ERROR) << "APDU - Cannot get private key PKCS15 info";
        return 46;
    }
    QString hex;
    const unsigned long readResult = readDirectoryHex(card, sendPci, size, &hex);
    bool usableReference = false;
    int reference = -1;
    const DirectoryWalk walk = walkDirectory(hex, [&](tev::asn1::ASN1Element* entry) {
        tev::asn1::ASN1Element* attributes = childAt(entry, 1);
        tev::asn1::ASN1Element* id = childAt(attributes, 0);
        if (id == nullptr) return false;
        const QString text = derText(id);
        PCSC_LOG(INFO) << "Previous key ASN.1: " << ckaId.toStdString();
        PCSC_LOG(INFO) << "Read key ASN.1: " << text.toStdString();
        if (ckaId.isEmpty() || text.compare(ckaId, Qt::CaseInsensitive) != 0) return false;
        PCSC_LOG(INFO) << "Found certificate and private key identifier match " << ckaId.toStdString();
        PCSC_LOG(INFO) << "0): " << attributes->value->toStdString();
        PCSC_LOG(INFO) << "1) Count: " << attributes->children->size();
        PCSC_LOG(INFO) << "2)";
        usableReference = keyReferenceFromInteger(attributes->children->last(), &reference);
        return true;
    });
    if (walk == DirectoryWalk::Unparsable) return 45;
    if (walk == DirectoryWalk::Exhausted) return readResult;
    if (!usableReference) {
        PCSC_LOG(ERROR) << "The private key entry carries no usable key reference";
        return 44;
    }
    PCSC_LOG(INFO) << "3)";
    PCSC_LOG(INFO) << "Private Key ID Hex: " << reference;
    if (keyReference) *keyReference = reference;
    return 0;
}

unsigned long getPrivateKeyInfo(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, const int& index, int* keyId) {
    static const unsigned char kLengths[] = {0x00, 0x09, 0x12, 0x1B, 0x24, 0x2D, 0x36, 0x3F};
    QByteArray list;
    bool answered = false;
    for (unsigned char le : kLengths) {
        ResponseAPDU reply;
        if (exchange(card, sendPci, bytesOf({0x80, 0x1F, 0x00, 0x00, le}), &reply) == 0 && reply.sw == kSwSuccess) {
            list = reply.data;
            answered = true;
            break;
        }
    }
    if (!answered) PCSC_LOG(ERROR) << "APDU - Cannot find private key index";
    const int count = list.size() >= 3 ? byteAt(list, 2) : 0;
    PCSC_LOG(INFO) << "Number of keys found on the smartcard " << count;
    PCSC_LOG(INFO) << "Certificate private key index " << index;
    int privateKeys = 0;
    int identifier = -1;
    for (int entry = 0; entry < count; ++entry) {
        const int offset = 5 + 4 * entry;
        if (offset + 4 > list.size()) break;
        if ((byteAt(list, offset + 2) & 0x1F) != 0x1F) continue;
        if (privateKeys == index) {
            identifier = byteAt(list, offset);
            break;
        }
        ++privateKeys;
    }
    if (identifier < 0) {
        PCSC_LOG(ERROR) << "APDU - Cannot find private key index";
        if (keyId) *keyId = -1;
        return 44;
    }
    PCSC_LOG(INFO) << "Found private key with ID " << identifier;
    if (keyId) *keyId = identifier;
    return 0;
}

unsigned long apdu_CheckIfSmartcardIsPersonalized(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci,
                                                  QByteArray* cardSerialNumber, QByteArray* ckaId) {
    PCSC_LOG(INFO) << "Select Application By AID";
    if (!exchangeNeeds9000(card, sendPci, pkcs15ApplicationSelection())) {
        PCSC_LOG(ERROR) << "Select Application By AID - Failed";
        return 73;
    }
    PCSC_LOG(INFO) << "Select Application By AID - Successful";

    ResponseAPDU serial;
    if (exchange(card, sendPci, bytesOf({0x80, 0x1B, 0x00, 0x11, 0x00}), &serial) != 0 || serial.sw != kSwSuccess) {
        PCSC_LOG(ERROR) << "Retrieve Card Serial Number - Failed";
        return 73;
    }
    if (cardSerialNumber) cardSerialNumber->append(serial.data);
    PCSC_LOG(INFO) << "Card Serial Number: " << upperHex(serial.data);
    PCSC_LOG(INFO) << "Retrieve Card Serial Number - Successful";

    PCSC_LOG(INFO) << "Querying PKCS15 Certificate Info";
    int certificateDirectorySize = 0;
    if (!selectDirectoryFile(card, sendPci, 0x2F, 0x04, &certificateDirectorySize)) {
        PCSC_LOG(ERROR) << "Querying PKCS15 Certificate Info - Failed";
        return 73;
    }
    PCSC_LOG(INFO) << "Querying PKCS15 Certificate Info - Successful";
    const bool holdsCertificate = certificateDirectorySize != 0;
    PCSC_LOG(INFO) << (holdsCertificate ? "There is certificate on the smartcard"
                                        : "There is no certificate on the smartcard");

    int publicKeySize = 0;
    if (!selectDirectoryFile(card, sendPci, 0x2F, 0x02, &publicKeySize)) {
        PCSC_LOG(ERROR) << "Querying PKCS15 Public Key Info - Failed";
        return 73;
    }
    PCSC_LOG(INFO) << "Querying PKCS15 Public Key Info - Successful";
    if (publicKeySize == 0) {
        PCSC_LOG(INFO) << "There is no public key on the card";
        return holdsCertificate ? 0 : 7;
    }
    const unsigned char s1 = static_cast<unsigned char>(publicKeySize >> 8);
    const unsigned char s2 = static_cast<unsigned char>(publicKeySize & 0xFF);
    PCSC_LOG(INFO) << "Retrieving public key info at address " << upperHex(bytesOf({s1, s2}));
    QByteArray content;
    bool read;
    if (s1 == 0) {
        // One command reads the whole file.
        ResponseAPDU reply;
        read = exchange(card, sendPci, bytesOf({0x00, 0xB0, 0x00, s1, s2}), &reply) == 0 && reply.sw == kSwSuccess;
        content = reply.data;
    } else {
        read = apdu_ReadBinary_Certificate(card, sendPci, publicKeySize, &content) == 0;
    }
    if (!read) {
        PCSC_LOG(ERROR) << "Retrieve PKCS15 Public Key Info - Failed";
        return 73;
    }
    PCSC_LOG(INFO) << "Retrieve PKCS15 Public Key Info - Successful";
    QString hex = QString::fromLatin1(content.toHex());
    tev::asn1::ASN1Element root;
    tev::asn1::decodeASN1Element(&hex, &root, true);
    tev::asn1::ASN1Element* id = childAt(childAt(&root, 1), 0);
    if (root.children == nullptr || id == nullptr) {
        PCSC_LOG(ERROR) << "Cannot process PKCS15 ASN.1 data";
        return 45;
    }
    const QByteArray idBytes = QByteArray::fromHex(id->value->toLatin1());
    if (ckaId) ckaId->append(idBytes);
    PCSC_LOG(INFO) << "CKA_ID: " << upperHex(idBytes);
    return holdsCertificate ? 0 : 7;
}

namespace {

// CDF entry of a certificate stored in EF 2F11, in the layout the serial
// number look-up reads back (entry.at(3).at(0).at(3) serial, entry.at(1).at(0) iD).
bool buildCertificateDirectoryEntry(const QByteArray& certificate, const QByteArray& ckaId, QByteArray* entry) {
    QString hex = QString::fromLatin1(certificate.toHex());
    tev::asn1::ASN1Element root;
    tev::asn1::decodeASN1Element(&hex, &root, true);
    tev::asn1::ASN1Element* tbs = childAt(&root, 0);
    // Version 1 certificates have no explicit [0] version in front.
    const int shift = (childAt(tbs, 0) != nullptr && childAt(tbs, 0)->tag == 0xA0) ? 0 : -1;
    tev::asn1::ASN1Element* serial = childAt(tbs, 1 + shift);
    tev::asn1::ASN1Element* issuer = childAt(tbs, 3 + shift);
    tev::asn1::ASN1Element* subject = childAt(tbs, 5 + shift);
    if (root.children == nullptr || serial == nullptr || issuer == nullptr || subject == nullptr) return false;

    using namespace tev::asn1;
    const QString objectAttributes = encodeSequenceOf({encodeUTF8String("Pelmira-certificate"), "03020600"});
    const QString certificateAttributes =
        encodeSequenceOf({encodeOctetString(ckaId), encodeBoolean(false), "830100"});
    const QString path = encodeSequenceOf({encodeOctetString(bytesOf({0x2F, 0x11}))});
    const QString x509Attributes =
        encodeSequenceOf({path, derText(subject), encodeTag(0, derText(issuer)), derText(serial)});
    const QString text = encodeSequenceOf(
        {objectAttributes, certificateAttributes, encodeTag(0, encodeNull()), encodeTag(1, x509Attributes)});
    *entry = QByteArray::fromHex(text.toLatin1());
    return true;
}

}  // namespace

unsigned long apdu_StoreCertificateWithCkaId(SCARDHANDLE card, SCARD_IO_REQUEST* sendPci, const QString& pin,
                                             const QByteArray& certificate, const QByteArray& ckaId) {
    PCSC_LOG(INFO) << "Select Application By AID";
    if (!exchangeNeeds9000(card, sendPci, pkcs15ApplicationSelection())) {
        PCSC_LOG(ERROR) << "Select Application By AID - Failed";
        return 73;
    }
    PCSC_LOG(INFO) << "Select Application By AID - Successful";

    PCSC_LOG(INFO) << "Verify User PIN";
    QByteArray pinBytes = pin.toUtf8();
    const bool verified = verifyNeeds9000(card, sendPci, 0x81, pinBytes);
    pinBytes.fill('\0');
    if (!verified) {
        PCSC_LOG(ERROR) << "Verify User PIN - Failed";
        return 73;
    }
    PCSC_LOG(INFO) << "Verify User PIN - Successful";

    auto selectCertificateDirectory = [&](int* size) {
        PCSC_LOG(INFO) << "0x04 - PKCS15 - Get Certificate Info";
        if (!selectDirectoryFile(card, sendPci, 0x2F, 0x04, size)) {
            PCSC_LOG(ERROR) << "PKCS15 Get Certificate Info - Failed";
            return false;
        }
        PCSC_LOG(INFO) << "PKCS15 Get Certificate Info - Successful";
        return true;
    };
    const QByteArray getData = bytesOf({0x00, 0xCA, 0x01, 0x04, 0x00});
    int directorySize = 0;
    if (!selectCertificateDirectory(&directorySize)) return 73;

    PCSC_LOG(INFO) << "PKCS15 - Get Disc information";
    int certificateFileSize = 0;
    if (!selectDirectoryFile(card, sendPci, 0x2F, 0x11, &certificateFileSize)) {
        PCSC_LOG(ERROR) << "PKCS15 - Get Disc information - Failed";
        return 73;
    }
    PCSC_LOG(INFO) << "PKCS15 - Get Disc information - Successful";
    PCSC_LOG(INFO) << "Read Data 0x01 0x04";
    if (!exchangeNeeds9000(card, sendPci, getData) ||
        !selectDirectoryFile(card, sendPci, 0x2F, 0x11, &certificateFileSize)) {
        PCSC_LOG(ERROR) << "PKCS15 - Get Disc information - Failed";
        return 73;
    }

    QByteArray entry;
    if (certificate.isEmpty() || !buildCertificateDirectoryEntry(certificate, ckaId, &entry)) {
        PCSC_LOG(ERROR) << "Cannot process X509 Certificate ASN.1 data";
        return 45;
    }
    if (certificateFileSize > 0 && certificate.size() > certificateFileSize) {
        PCSC_LOG(ERROR) << "The certificate of " << certificate.size() << " bytes does not fit the file of "
                        << certificateFileSize << " bytes";
        return 73;
    }

    PCSC_LOG(INFO) << "============== Write the certificate =================";
    if (!writeInPieces(card, sendPci, 0, certificate, "Write Certificate Data - Successful",
                       "Write Certificate Data - Failed"))
        return 73;

    if (!selectCertificateDirectory(&directorySize)) return 73;
    if (!exchangeNeeds9000(card, sendPci, getData)) {
        PCSC_LOG(ERROR) << "PKCS15 - Get Disc information - Failed";
        return 73;
    }

    PCSC_LOG(INFO) << "Build the PKCS15 Certificate Information";
    // The new entry goes after the entries already there, never over them.
    QString directoryHex;
    if (readDirectoryHex(card, sendPci, directorySize, &directoryHex) != 0) {
        PCSC_LOG(ERROR) << "Cannot read the certificate directory";
        return 73;
    }
    int endDigit = 0;
    if (walkDirectory(directoryHex, [](tev::asn1::ASN1Element*) { return false; }, &endDigit) ==
        DirectoryWalk::Unparsable)
        return 45;
    const int appendOffset = endDigit / 2;
    // Padding after the entries shows the room the file has; a file that ends
    // with its last entry is left to the card, which refuses what does not fit.
    if (appendOffset < directorySize && appendOffset + entry.size() > directorySize) {
        PCSC_LOG(ERROR) << "The certificate directory has no room for another entry";
        return 73;
    }

    PCSC_LOG(INFO) << "============== Write PKCS15 Certificate Info =================";
    if (!writeInPieces(card, sendPci, appendOffset, entry, "Write PKCS15 Certificate Info - Successful",
                       "Write PKCS15 Certificate Info - Failed"))
        return 73;
    return 0;
}

}  // namespace akis
}  // namespace apdu
}  // namespace corvane
}  // namespace tev

// ---- sessions -------------------------------------------------------------------------

namespace {

using tev::quessel::pcsc::SmartCard;

std::string pcscErrorText(long code) { return pcsc_stringify_error(static_cast<LONG>(code)); }

// The PC/SC client library refreshes one process-wide table of reader states
// in SCardListReaders and SCardStatus, whatever context the call is made on.
// Requests run on several threads at once, so these two calls (short, never
// waiting for a card) are made one at a time. Nothing that can block on
// another request (transactions, APDUs) is ever called under this lock.
std::mutex readerStateLock;

// Owner of one PC/SC context.
class PcscContext {
public:
    PcscContext() = default;
    PcscContext(const PcscContext&) = delete;
    PcscContext& operator=(const PcscContext&) = delete;
    ~PcscContext() {
        if (established_) SCardReleaseContext(context_);
    }

    LONG establish() {
        const LONG rc = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_);
        established_ = rc == SCARD_S_SUCCESS;
        return rc;
    }

    LONG release() {
        if (!established_) return SCARD_S_SUCCESS;
        established_ = false;
        const LONG rc = SCardReleaseContext(context_);
        if (rc == SCARD_S_SUCCESS)
            PCSC_LOG(INFO) << "Released the smart card context";
        else
            PCSC_LOG(ERROR) << pcscErrorText(rc);
        return rc;
    }

    SCARDCONTEXT get() const { return context_; }

private:
    SCARDCONTEXT context_ = 0;
    bool established_ = false;
};

// Owner of one card connection and the transaction on it; the transaction
// ends before the connection is dropped.
class CardSession {
public:
    CardSession() = default;
    CardSession(const CardSession&) = delete;
    CardSession& operator=(const CardSession&) = delete;
    ~CardSession() {
        if (inTransaction_) SCardEndTransaction(handle_, SCARD_LEAVE_CARD);
        if (connected_) SCardDisconnect(handle_, SCARD_LEAVE_CARD);
    }

    enum class Logging { Listing, Session };

    // Connects in shared mode and begins the transaction. 0 when the card is
    // ready for commands; else the PC/SC code, with the connection dropped.
    LONG open(SCARDCONTEXT context, const std::string& name, Logging logging, bool reportSharingViolation) {
        name_ = name;
        PCSC_LOG(INFO) << (logging == Logging::Listing ? "Connecting to the smart card: "
                                                       : "Connecting to the smart card:")
                       << name;
        DWORD protocol = 0;
        LONG rc = SCardConnect(context, name.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                               &handle_, &protocol);
        if (rc != SCARD_S_SUCCESS) {
            if (rc == SCARD_E_SHARING_VIOLATION && reportSharingViolation)
                PCSC_LOG(INFO) << "Sharing violation occurred" << name;
            else if (rc == SCARD_W_REMOVED_CARD || rc == 2 || rc == SCARD_E_NO_SMARTCARD)
                PCSC_LOG(INFO) << "Skipping smartcard " << name;
            else
                PCSC_LOG(ERROR) << "Cannot connect to smartcard " << name << " with code " << rc;
            return rc;
        }
        connected_ = true;
        if (logging == Logging::Session) {
            PCSC_LOG(INFO) << "Connected successfully to the smart card " << name;
            if (protocol == SCARD_PROTOCOL_T0) {
                PCSC_LOG(INFO) << "Active protocol T0 of smart card " << name;
            } else if (protocol == SCARD_PROTOCOL_T1) {
                PCSC_LOG(INFO) << "Active protocol T1 of smart card " << name;
            } else {
                PCSC_LOG(ERROR) << "Active protocol unnegotiated or unknown " << name;
                close();
                return SCARD_E_PROTO_MISMATCH;
            }
        }
        pci_.dwProtocol = protocol;
        pci_.cbPciLength = sizeof(SCARD_IO_REQUEST);
        rc = SCardBeginTransaction(handle_);
        if (rc != SCARD_S_SUCCESS) {
            PCSC_LOG(ERROR) << "Cannot begin a transaction on smart card " << name << " with code " << rc;
            close();
            return rc;
        }
        inTransaction_ = true;
        return SCARD_S_SUCCESS;
    }

    // Ends the transaction and disconnects, leaving the card as it is.
    void close() {
        if (inTransaction_) {
            inTransaction_ = false;
            SCardEndTransaction(handle_, SCARD_LEAVE_CARD);
        }
        if (!connected_) return;
        connected_ = false;
        const LONG rc = SCardDisconnect(handle_, SCARD_LEAVE_CARD);
        if (rc == SCARD_S_SUCCESS)
            PCSC_LOG(INFO) << "Disconnected from smart card " << name_;
        else
            PCSC_LOG(ERROR) << "Cannot disconnect from smart card " << name_ << " due to error code " << rc;
    }

    SCARDHANDLE handle() const { return handle_; }
    SCARD_IO_REQUEST* pci() { return &pci_; }

private:
    SCARDHANDLE handle_ = 0;
    SCARD_IO_REQUEST pci_{};
    std::string name_;
    bool connected_ = false;
    bool inTransaction_ = false;
};

// Context and reader names. 0, or 2 when either cannot be had. A resource
// manager without readers is an empty list, not a failure.
int openReaderList(PcscContext& context, std::vector<std::string>* names) {
    PCSC_LOG(INFO) << "Performing SCardEstablishContext";
    LONG rc = context.establish();
    if (rc != SCARD_S_SUCCESS) {
        PCSC_LOG(ERROR) << pcscErrorText(rc);
        return 2;
    }
    PCSC_LOG(INFO) << "Performing SCardListReaders";
    // A reader plugged in between the two calls makes the buffer too small; ask again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::lock_guard<std::mutex> hold(readerStateLock);
        DWORD length = 0;
        rc = SCardListReaders(context.get(), nullptr, nullptr, &length);
        if (rc == SCARD_E_NO_READERS_AVAILABLE) return 0;
        if (rc != SCARD_S_SUCCESS) break;
        std::vector<char> buffer(length + 1, '\0');
        rc = SCardListReaders(context.get(), nullptr, buffer.data(), &length);
        if (rc == SCARD_E_INSUFFICIENT_BUFFER) continue;
        if (rc == SCARD_E_NO_READERS_AVAILABLE) return 0;
        if (rc != SCARD_S_SUCCESS) break;
        const size_t end = std::min<size_t>(length, buffer.size() - 1);
        for (size_t at = 0; at < end && buffer[at] != '\0';) {
            const size_t nameLength = strnlen(&buffer[at], end - at);
            names->emplace_back(&buffer[at], nameLength);
            at += nameLength + 1;
        }
        return 0;
    }
    PCSC_LOG(ERROR) << pcscErrorText(rc);
    context.release();
    return 2;
}

std::string atrText(const unsigned char* atr, DWORD length) {
    char* text = nullptr;
    bin_to_strhex(const_cast<unsigned char*>(atr), static_cast<unsigned int>(length), &text);
    std::string out = text ? text : "";
    std::free(text);
    return out;
}

// SCardStatus into the record's ATR; the reader name it returns when asked.
LONG readCardStatus(SCARDHANDLE card, std::string* atr, std::string* readerName) {
    char name[MAX_READERNAME] = {};
    DWORD nameLength = sizeof(name);
    DWORD state = 0;
    DWORD protocol = 0;
    unsigned char atrBytes[MAX_ATR_SIZE] = {};
    DWORD atrLength = sizeof(atrBytes);
    LONG rc;
    {
        std::lock_guard<std::mutex> hold(readerStateLock);
        rc = SCardStatus(card, name, &nameLength, &state, &protocol, atrBytes, &atrLength);
    }
    if (rc != SCARD_S_SUCCESS) return rc;
    *atr = atrText(atrBytes, std::min<DWORD>(atrLength, sizeof(atrBytes)));
    if (readerName) *readerName = std::string(name, strnlen(name, sizeof(name)));
    return rc;
}

using tev::corvane::apdu::akis::CardPresence;

// The presence of the card now in the reader. 0, SCARD_E_NO_SMARTCARD when
// the reader holds no card that answers, else the PC/SC code. Asks the
// resource manager only; the card is not addressed.
LONG readCardPresence(SCARDCONTEXT context, const std::string& reader, CardPresence* presence) {
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;  // answered at once with the current state
    LONG rc;
    {
        std::lock_guard<std::mutex> hold(readerStateLock);
        rc = SCardGetStatusChange(context, 0, &state, 1);
    }
    if (rc != SCARD_S_SUCCESS) return rc;
    if (!(state.dwEventState & SCARD_STATE_PRESENT) || (state.dwEventState & SCARD_STATE_MUTE))
        return SCARD_E_NO_SMARTCARD;
    presence->reader = reader;
    presence->atr = atrText(state.rgbAtr, std::min<DWORD>(state.cbAtr, sizeof(state.rgbAtr)));
    presence->events = (state.dwEventState >> 16) & 0xFFFF;
    return SCARD_S_SUCCESS;
}

// The presence of the card in the reader at a 1-based position; false when
// there is no such reader or no card in it.
bool cardPresenceAt(int position, CardPresence* presence) {
    PcscContext context;
    std::vector<std::string> names;
    if (openReaderList(context, &names) != 0) return false;
    if (position < 1 || static_cast<size_t>(position) > names.size()) return false;
    return readCardPresence(context.get(), names[static_cast<size_t>(position) - 1], presence) == SCARD_S_SUCCESS;
}

using CardWork = std::function<int(SCARDHANDLE, SCARD_IO_REQUEST*, const SmartCard&)>;

enum class SkipLine { Plain, WithPositions };

// The reader walk of the operations that address one reader by its 1-based
// position. Returns 2 without context or reader list; the PC/SC code when the
// reader is missing (SCARD_E_UNKNOWN_READER), empty, or refuses the
// connection; else the card work's result, or the release failure when the
// card work succeeded and releasing the context did not. With `presence`,
// the connected card's presence is read into it before the card work runs
// (left unknown when it cannot be read); the transaction held for the card
// work keeps it the same card throughout.
int runOnReaderAt(int position, SkipLine skipLine, bool reportSharingViolation, const CardWork& work,
                  CardPresence* presence = nullptr) {
    PcscContext context;
    std::vector<std::string> names;
    if (openReaderList(context, &names) != 0) return 2;
    int result = static_cast<int>(SCARD_E_UNKNOWN_READER);
    bool found = false;
    for (size_t index = 0; index < names.size(); ++index) {
        const int current = static_cast<int>(index) + 1;
        const std::string& name = names[index];
        if (current != position) {
            if (skipLine == SkipLine::WithPositions)
                PCSC_LOG(INFO) << "Skipping smartcard reader " << name << " slotID: " << position
                               << ", iterator: " << current;
            else
                PCSC_LOG(INFO) << "Skipping smartcard reader " << name;
            continue;
        }
        found = true;
        CardSession session;
        const LONG rc = session.open(context.get(), name, CardSession::Logging::Session, reportSharingViolation);
        if (rc != SCARD_S_SUCCESS) {
            result = static_cast<int>(rc);
            continue;
        }
        SmartCard reader;
        reader.readerName = name;
        reader.slot = current;
        reader.isCardInserted = true;
        if (presence && readCardPresence(context.get(), name, presence) != SCARD_S_SUCCESS) *presence = CardPresence();
        result = work(session.handle(), session.pci(), reader);
        session.close();
    }
    if (!found) PCSC_LOG(ERROR) << "No smart card reader at slot " << position;
    const LONG released = context.release();
    if (released != SCARD_S_SUCCESS && result == 0) result = static_cast<int>(released);
    return result;
}

// Result for an exception that escaped after steps that succeeded: a failure
// must never read as success.
int failureAfterException(int lastResult) {
    return lastResult != 0 ? lastResult : static_cast<int>(SCARD_F_INTERNAL_ERROR);
}

// The log lines that close an operation interrupted by an exception.
struct ExceptionLines {
    const char* withCode;     // followed by the integer, " - " and its PC/SC text
    const char* withText;     // followed by the thrown text
    const char* undefined;
};

const ExceptionLines kListingLines = {"Cannot list smartcards - PCSC failed with code ",
                                      "Cannot list smartcards - PCSC failed due to ",
                                      "Cannot list smartcards due to an undefined error"};
const ExceptionLines kAkisSigningLines = {"Cannot perform AKIS raw sign - PCSC failed with code ",
                                          "Cannot perform AKIS raw sign - PCSC failed due to ",
                                          "Cannot perform AKIS raw sign due to an undefined error"};

// Runs an operation; an exception is logged and answered by `onException()`.
// The owners inside the operation have released context and card by then.
template <typename Body, typename Fallback>
int guarded(const ExceptionLines& lines, Body body, Fallback onException) {
    try {
        return body();
    } catch (int code) {
        PCSC_LOG(ERROR) << lines.withCode << code << " - " << pcscErrorText(code);
    } catch (const char* text) {
        PCSC_LOG(ERROR) << lines.withText << text;
    } catch (const std::string& text) {
        PCSC_LOG(ERROR) << lines.withText << text;
    } catch (const std::exception& e) {
        PCSC_LOG(ERROR) << lines.withText << e.what();
    } catch (...) {
        PCSC_LOG(ERROR) << lines.undefined;
    }
    return onException();
}

// Listings keep what they appended before the exception and report 0.
template <typename Body>
int guardedListing(Body body) {
    return guarded(kListingLines, body, [] { return 0; });
}

}  // namespace

namespace tev {
namespace quessel {
namespace pcsc {

using namespace tev::corvane::apdu;

int listSmartCards(std::vector<SmartCard>* cards) {
    if (cards == nullptr) return 2;
    PCSC_LOG(INFO) << "Listing smartcards defined on the system";
    return guardedListing([&]() {
        PcscContext context;
        std::vector<std::string> names;
        if (openReaderList(context, &names) != 0) return 2;
        for (size_t index = 0; index < names.size(); ++index) {
            const int position = static_cast<int>(index) + 1;
            CardSession session;
            if (session.open(context.get(), names[index], CardSession::Logging::Listing, false) != SCARD_S_SUCCESS)
                continue;
            SmartCard card;
            PCSC_LOG(INFO) << "Performing SCardStatus";
            const LONG status = readCardStatus(session.handle(), &card.atr, nullptr);
            if (status != SCARD_S_SUCCESS) {
                PCSC_LOG(ERROR) << "Cannot read the status of smart card " << names[index] << " with code " << status;
                continue;
            }
            PCSC_LOG(INFO) << "ATR              : " << card.atr;
            PCSC_LOG(INFO) << "ATR length       : " << card.atr.size() / 2;
            PCSC_LOG(INFO) << "Current Reader ATR Value: " << card.atr;
            card.readerName = QString::fromLocal8Bit(names[index].c_str()).toUtf8().toStdString();
            card.slot = position;
            PCSC_LOG(INFO) << card.readerName << " is connected at slot " << position;
            tev::smartcard::findDriverForATR(card.atr, &card.library);
            tev::smartcard::findCardTypeForATR(card.atr, &card.cardType);
            card.isTCKK = apdu_SelectMF(session.handle(), session.pci()) == 0 &&
                          tckk::apdu_CheckIfTCKK(session.handle(), session.pci()) == 0;
            if (card.library == kAkisLibrary) {
                cards->push_back(card);
            } else {
                QString path;
                tev::smartcard::findDriverPathOfLibrary(getOperatingSystem(), card.library.c_str(), &path);
                card.driverPath = path.toUtf8().toStdString();
                card.driverPathWide = path.toStdWString();
                if (!path.isEmpty() && QFileInfo::exists(path))
                    cards->push_back(card);
                else
                    PCSC_LOG(ERROR) << "The driver " << card.driverPath << " is not installed";
            }
            session.close();
        }
        PCSC_LOG(INFO) << "Number of Smart Cards: " << cards->size();
        PCSC_LOG(INFO) << "Completed listing of smartcards defined on the system";
        context.release();
        return 0;
    });
}

void checkCardEvent(int) {}

// ---- AKIS -----------------------------------------------------------------------------

int listAKISCertificates(const int& slot, std::vector<tev::x509::Certificate>* certificates) {
    if (certificates == nullptr) return 2;
    auto& cache = tev::corvane::apdu::akis::caches();
    {
        std::lock_guard<std::mutex> hold(cache.lock);
        cache.CACHED_CERTIFICATES_LIST.clear();
    }
    PCSC_LOG(INFO) << "----- Listing AKIS certificates at slot " << slot << " ------";
    PCSC_LOG(INFO) << "Seeking for the smartcard reader at slot " << slot;
    CardPresence presence;
    return guardedListing([&]() {
        return runOnReaderAt(slot, SkipLine::Plain, true,
                             [&](SCARDHANDLE card, SCARD_IO_REQUEST* pci, const SmartCard&) -> int {
            const bool rel2 = isTCKK(card, pci);
            unsigned long rc = apdu_SelectMF(card, pci);
            if (rc == 0) rc = akis::apdu_SelectDF_AKIS_ESignatureApp(card, pci, rel2);
            if (rc != 0) return sessionCode(rc);
            PCSC_LOG(INFO) << "Iterating over the list of certificates";
            for (int index = 0; index < 32; ++index) {
                unsigned char file[2] = {0x2F, static_cast<unsigned char>(0x10 + index)};
                int size = 0;  // fresh for every file: a refused selection must not re-read the last one
                const unsigned long selected = akis::apdu_SelectEF_AKIS_Certificate(card, pci, file, &size);
                if (selected == 27266) {
                    PCSC_LOG(INFO) << "Skipping address at index " << index;
                    continue;
                }
                QByteArray content;
                unsigned long read = selected;
                if (selected == 0) read = apdu_ReadBinary_Certificate(card, pci, size, &content);
                PCSC_LOG(INFO) << "Read AKIS certificate with result: " << read;
                PCSC_LOG(INFO) << "Certificate is found at index " << index;
                PCSC_LOG(INFO) << "Certificate data length: " << content.size();
                if (read != 0 || content.isEmpty()) {
                    PCSC_LOG(ERROR) << "Cannot retrieve certificate information from smartcard";
                    continue;
                }
                tev::x509::Certificate certificate;
                tev::x509::buildCertificateFromData(content, &certificate);
                if (certificate.x509 == nullptr) {
                    PCSC_LOG(ERROR) << "Cannot retrieve certificate information from smartcard";
                    continue;
                }
                {
                    std::lock_guard<std::mutex> hold(cache.lock);
                    // A card whose presence is unknown is read again next time.
                    if (presence.known()) cache.store(presence, certificate);
                    cache.CACHED_CERTIFICATES_LIST.push_back(certificate);
                }
                certificates->push_back(std::move(certificate));
            }
            return 0;
        }, &presence);
    });
}

tev::x509::Certificate retrieveAKISCertificateWithSerialNumber(const int& slot, const std::string& serialNumber) {
    CardPresence presence;
    if (cardPresenceAt(slot, &presence)) {
        auto& cache = tev::corvane::apdu::akis::caches();
        std::lock_guard<std::mutex> hold(cache.lock);
        if (const tev::x509::Certificate* cached = cache.find(presence, serialNumber)) return *cached;
    }
    std::vector<tev::x509::Certificate> certificates;
    listAKISCertificates(slot, &certificates);
    for (const auto& certificate : certificates)
        if (certificate.serialNumber == serialNumber) return certificate;
    // Never fall back to another certificate of the card: its key would sign
    // under a certificate the caller did not ask for.
    PCSC_LOG(ERROR) << "No certificate with serial number " << serialNumber << " on the card at slot " << slot;
    throw 516;
}

void forgetAKISCertificate(const std::string& serialNumber) {
    auto& cache = tev::corvane::apdu::akis::caches();
    std::lock_guard<std::mutex> hold(cache.lock);
    for (auto entry = cache.CACHED_CERTIFICATES.begin(); entry != cache.CACHED_CERTIFICATES.end();) {
        if (entry->first.second == serialNumber)
            entry = cache.CACHED_CERTIFICATES.erase(entry);
        else
            ++entry;
    }
}

int signWithAKISCertificate(int slot, const std::string& pin, const std::string& serialNumber,
                            const QString& algorithm, const QByteArray& data, QByteArray* signature) {
    if (signature == nullptr || data.isEmpty() || data.size() > 255) {
        PCSC_LOG(ERROR) << "Cannot sign " << data.size() << " bytes of data on an AKIS card";
        return static_cast<int>(SCARD_E_INVALID_PARAMETER);
    }
    int lastResult = 0;
    return guarded(kAkisSigningLines, [&]() {
        return runOnReaderAt(slot, SkipLine::Plain, false,
                             [&](SCARDHANDLE card, SCARD_IO_REQUEST* pci, const SmartCard& reader) -> int {
            const bool rel2 = isTCKK(card, pci);
            unsigned long rc = apdu_SelectMF(card, pci);
            if (rc == 0) rc = akis::apdu_SelectDF_AKIS_ESignatureApp(card, pci, rel2);
            if (rc == 0) rc = akis::apdu_VerifyPIN(reader, card, pci, pin, rel2);
            lastResult = sessionCode(rc);
            int keyIndex = -1;
            if (rel2) {
                keyIndex = 1;
            } else {
                PCSC_LOG(INFO) << "Retrieving private key index";
                if (rc == 0) {
                    QString ckaId;
                    rc = akis::apdu_RetrievePKCS15FromCerts(card, pci, serialNumber, &ckaId);
                    if (rc == 0 && ckaId.isEmpty()) {
                        PCSC_LOG(ERROR) << "No certificate with serial number " << serialNumber
                                        << " in the certificate directory";
                        rc = 44;
                    }
                    if (rc == 0) rc = akis::apdu_RetrievePKCS15PrivateKeyIndex(card, pci, ckaId, &keyIndex);
                    if (rc == 0 && keyIndex < 0) {
                        PCSC_LOG(ERROR) << "No private key for the certificate with serial number " << serialNumber;
                        rc = 44;
                    }
                }
                PCSC_LOG(INFO) << "Found Private Key ID " << keyIndex;
            }
            if (rc == 0) rc = akis::apdu_MSE_RSA_PKCS_1_5(card, pci, keyIndex, rel2, algorithm);
            QByteArray produced;
            if (rc == 0) rc = akis::apdu_PSO_ESignature(card, pci, algorithm, data, &produced);
            lastResult = sessionCode(rc);
            if (rc != 0) {
                PCSC_LOG(ERROR) << "Cannot complete APDU signing due to PCSC error code " << rc;
                return sessionCode(rc);
            }
            signature->append(produced);
            PCSC_LOG(INFO) << "Completed APDU signing successfully";
            PCSC_LOG(INFO) << "The signature size: " << signature->size();
            return 0;
        });
    }, [&] { return failureAfterException(lastResult); });
}

int retrieveAKISCertificate(int slot, QByteArray* out) {
    if (out == nullptr) return static_cast<int>(SCARD_E_INVALID_PARAMETER);
    int lastResult = 0;
    return guarded(kListingLines, [&]() {
        return runOnReaderAt(slot, SkipLine::Plain, false,
                             [&](SCARDHANDLE card, SCARD_IO_REQUEST* pci, const SmartCard&) -> int {
            const bool rel2 = isTCKK(card, pci);
            unsigned long rc = apdu_SelectMF(card, pci);
            if (rc == 0) rc = akis::apdu_SelectDF_AKIS_ESignatureApp(card, pci, rel2);
            int size = 0;
            if (rc == 0) {
                unsigned char file[2] = {0x2F, 0x10};
                rc = akis::apdu_SelectEF_AKIS_Certificate(card, pci, file, &size);
                if (rc == 27266) {
                    PCSC_LOG(INFO) << "Skipping to the next address";
                    file[1] = 0x11;
                    size = 0;
                    rc = akis::apdu_SelectEF_AKIS_Certificate(card, pci, file, &size);
                }
            }
            QByteArray content;
            if (rc == 0) rc = apdu_ReadBinary_Certificate(card, pci, size, &content);
            if (rc == 0 && content.isEmpty()) rc = kSwEndOfFile;
            lastResult = sessionCode(rc);
            if (rc != 0) return sessionCode(rc);
            out->append(content);
            return 0;
        });
    }, [&] { return failureAfterException(lastResult); });
}

// ---- national identity card -----------------------------------------------------------

int listTCKKReaders(std::vector<SmartCard>* readers) {
    if (readers == nullptr) return 2;
    PCSC_LOG(INFO) << "Listing smartcards defined on the system";
    return guardedListing([&]() {
        PcscContext context;
        std::vector<std::string> names;
        if (openReaderList(context, &names) != 0) return 2;
        for (size_t index = 0; index < names.size(); ++index) {
            CardSession session;
            if (session.open(context.get(), names[index], CardSession::Logging::Session, false) != SCARD_S_SUCCESS)
                continue;
            SmartCard reader;
            reader.isCardInserted = true;
            PCSC_LOG(INFO) << "Performing SCardStatus";
            unsigned char features[264];
            DWORD featuresLength = 0;
            const LONG control = SCardControl(session.handle(), CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0, features,
                                              sizeof(features), &featuresLength);
            std::uint32_t verifyPinControlCode = 0;
            if (control == SCARD_S_SUCCESS) {
                const DWORD entries = std::min<DWORD>(featuresLength, sizeof(features)) / 6;
                for (DWORD entry = 0; entry < entries; ++entry) {
                    const unsigned char* e = features + 6 * entry;
                    if (e[0] == FEATURE_VERIFY_PIN_DIRECT)
                        verifyPinControlCode = (std::uint32_t(e[2]) << 24) | (std::uint32_t(e[3]) << 16) |
                                               (std::uint32_t(e[4]) << 8) | std::uint32_t(e[5]);
                }
            }
            if (verifyPinControlCode != 0) {
                PCSC_LOG(INFO) << "The reader supports PIN verification: " << verifyPinControlCode;
                reader.providesPINReader = true;
            } else {
                PCSC_LOG(INFO) << "The reader does not provide PIN reader";
            }
            const LONG status = readCardStatus(session.handle(), &reader.atr, &reader.readerName);
            if (status != SCARD_S_SUCCESS) {
                PCSC_LOG(ERROR) << "Cannot read the status of smart card " << names[index] << " with code " << status;
                continue;
            }
            PCSC_LOG(INFO) << "Current Reader ATR Value: " << reader.atr;
            PCSC_LOG(INFO) << "Current Reader Name              : " << reader.readerName;
            reader.slot = static_cast<int>(index) + 1;
            if (apdu_SelectMF(session.handle(), session.pci()) == 0 &&
                tckk::apdu_CheckIfTCKK(session.handle(), session.pci()) == 0)
                readers->push_back(reader);
            session.close();
        }
        PCSC_LOG(INFO) << "Number of Smart Cards: " << readers->size();
        PCSC_LOG(INFO) << "Completed listing of smartcards defined on the system";
        return static_cast<int>(context.release());
    });
}

int retrieveTCKKCertificate(int slot, QByteArray* certificate) {
    if (certificate == nullptr) return static_cast<int>(SCARD_E_INVALID_PARAMETER);
    PCSC_LOG(INFO) << "----- Listing TCKK certificates at slot " << slot << " ------";
    PCSC_LOG(INFO) << "Seeking for the smartcard reader at slot " << slot;
    int lastResult = 0;
    return guarded(kListingLines, [&]() {
        return runOnReaderAt(slot, SkipLine::WithPositions, false,
                             [&](SCARDHANDLE card, SCARD_IO_REQUEST* pci, const SmartCard&) -> int {
            unsigned long rc = apdu_SelectMF(card, pci);
            if (rc != 0) {
                PCSC_LOG(ERROR) << "Cannot perform SelectMF due to " << rc;
                return lastResult = -1;
            }
            PCSC_LOG(INFO) << "Performed SelectMF successfully";
            rc = tckk::apdu_SelectDF_KDU(card, pci);
            if (rc != 0) {
                PCSC_LOG(ERROR) << "Cannot perform SelectDF due to " << rc;
                return lastResult = -1;
            }
            PCSC_LOG(INFO) << "Performed SelectDF successfully";
            int size = 0;
            rc = tckk::apdu_SelectEF_TCKK_Certificate(card, pci, &size);
            if (rc != 0 || size < 1) {
                PCSC_LOG(ERROR) << "Cannot perform SelectEF_TCKK_Certificate due to " << rc;
                return lastResult = -1;
            }
            PCSC_LOG(INFO) << "Performed SelectEF_TCKK_Certificate successfully";
            QByteArray content;
            rc = apdu_ReadBinary_Certificate(card, pci, size, &content);
            if (rc != 0) {
                PCSC_LOG(ERROR) << "Cannot read the certificate file due to " << rc;
                return lastResult = sessionCode(rc);
            }
            certificate->append(content);
            return 0;
        });
    }, [&] { return failureAfterException(lastResult); });
}

int signWithTCKKCertificate(int slot, int padding, const std::string& pin, const QByteArray& data,
                            QByteArray* signature) {
    if (signature == nullptr || data.isEmpty() || data.size() > 255) {
        PCSC_LOG(ERROR) << "Cannot sign " << data.size() << " bytes of data on the identity card";
        return static_cast<int>(SCARD_E_INVALID_PARAMETER);
    }
    int lastResult = 0;
    return guarded(kListingLines, [&]() {
        return runOnReaderAt(slot, SkipLine::WithPositions, false,
                             [&](SCARDHANDLE card, SCARD_IO_REQUEST* pci, const SmartCard& reader) -> int {
            unsigned long rc = apdu_SelectMF(card, pci);
            if (rc == 0) {
                PCSC_LOG(INFO) << "Performed SelectMF successfully";
                rc = tckk::apdu_SelectDF_KDU(card, pci);
            }
            if (rc == 0) {
                PCSC_LOG(INFO) << "Performed SelectDF_KDU successfully";
                rc = tckk::apdu_VerifyPIN(reader, card, pci, pin);
            }
            if (rc != 0) {
                PCSC_LOG(ERROR) << "Cannot perform VerifyPIN due to " << rc;
                return lastResult = -1;
            }
            PCSC_LOG(INFO) << "Performed VerifyPIN successfully";
            if (padding == 1)
                rc = tckk::apdu_MSE_RSA_PKCS_1_5(card, pci);
            else if (padding == 2)
                rc = tckk::apdu_MSE_RSA_PSS(card, pci);
            if (rc != 0) {
                PCSC_LOG(ERROR) << "Cannot perform MSE due to " << rc;
                return lastResult = sessionCode(rc);
            }
            PCSC_LOG(INFO) << "Performed MSE_RSA_PSS successfully";
            QByteArray produced;
            rc = tckk::apdu_PSO_TCKK(card, pci, data, &produced);
            if (rc != 0) return lastResult = sessionCode(rc);
            if (produced.isEmpty()) {
                PCSC_LOG(ERROR) << "Cannot perform PSO_TCKK due to " << rc;
                return lastResult = kNoSignatureBytes;
            }
            signature->append(produced);
            PCSC_LOG(INFO) << "Performed PSO_TCKK successfully";
            PCSC_LOG(INFO) << "The signature size: " << signature->size();
            return 0;
        });
    }, [&] { return failureAfterException(lastResult); });
}

}  // namespace pcsc
}  // namespace quessel
}  // namespace tev
