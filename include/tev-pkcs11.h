// PKCS#11 token access: one vendor module loaded per job, slots, certificates,
// login and CKM_RSA_PKCS signing; contexts of the library "akisp11" are served
// by the AKIS card sessions over PC/SC instead.
//
// A job runs on one SignerContext: load -> initialise (C_Initialize on a worker,
// at most 5 s) -> session -> login -> work -> logout -> close -> finalise ->
// unload. The low-level steps live in the global namespace and return CK_RV; the
// entry points in tev::quessel::pkcs11 throw response codes (int) or raw CK_RV
// values (unsigned long).
//
// Modules are not safe against concurrent C_Initialize/C_Finalize, so a context
// holds a process-wide lock on its module file from load to unload (released
// by unloading or by destroying the context). Never run two contexts on the
// same module file nested on one thread: the inner load is refused (37). A job
// that cannot get the module within moduleWaitLimit() (another job holds it,
// e.g. hung inside the module) gives up: the entry points answer 61.
#pragma once

#include <p11-kit/pkcs11.h>

#include <QByteArray>
#include <QString>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tev-signature.h"

#include "tev-certificate.h"

namespace tev {
namespace quessel {
namespace pkcs11 {

namespace detail {
struct ModuleState;
// Owner of what a context acquired inside a module (dlopen handle, module lock,
// open session, initialisation state). Its destructor releases whatever a job
// left open: session, C_Finalize, unload, lock, in that order. Move-only.
class ModuleLease {
public:
    ModuleLease() noexcept;
    ~ModuleLease();
    ModuleLease(ModuleLease&&) noexcept;
    ModuleLease& operator=(ModuleLease&&) noexcept;
    ModuleLease(const ModuleLease&) = delete;
    ModuleLease& operator=(const ModuleLease&) = delete;

    std::shared_ptr<ModuleState> state;
};
}  // namespace detail

// State of one PKCS#11 job. Create it value-initialised (every member empty,
// zero, false or null), fill driverName, libraryPath, pin and slotId as the job
// needs, and destroy it when done. Not copyable.
struct SignerContext {
    std::string reservedText;
    // Library name as the card configuration names it ("akisp11" selects the
    // PC/SC road); used in log lines.
    std::string driverName;
    // Absolute path of the module file, loaded as its UTF-8 bytes.
    QString libraryPath;
    // The module's function list; null while no module is loaded.
    CK_FUNCTION_LIST_PTR functionList = nullptr;
    // Open session, 0 = none. Closing does not reset it.
    CK_SESSION_HANDLE session = 0;
    // Outcome of the last initialisation.
    bool initialized = false;
    // User PIN, sent to C_Login as its bytes. Never logged.
    std::string pin;
    // PKCS#11 slot; widened with sign to CK_SLOT_ID.
    int slotId = 0;
    // Signing certificate; borrowed, must outlive the signing.
    tev::x509::Certificate* certificate = nullptr;

    // Internal: what the job holds inside the module.
    detail::ModuleLease lease;
};

// One slot with a token, reachable through one module (also built by the
// command layer from PC/SC cards).
struct PKCS11Card {
    // Slot description (all 64 bytes) keeping only letters, digits and blanks;
    // for AKIS cards the reader name.
    std::string cardName;
    std::string label;
    QString driverPath;
    std::string library;
    int slotId = 0;
    bool reservedFlag = false;
    bool isCardInserted = false;
    bool providesPINReader = false;
    bool isTCKK = false;
};

// Identifying texts of a token (trailing blanks removed), UTF-8.
struct TokenInfo {
    std::string label;
    std::string manufacturerID;
    std::string serialNumber;
    std::string model;
};

// How long a job waits for a module held by another job before it gives up
// (2.5 minutes unless set; tests shorten it). Applies to loads that start
// after the call.
void setModuleWaitLimit(std::chrono::milliseconds limit);
std::chrono::milliseconds moduleWaitLimit();

// ---- signing entry points ----------------------------------------------------

// Module loaded and initialised, session open. 0, 37 (not loadable), 61 (the
// module stayed busy with another job), 2 (not initialised) or the CK_RV of
// opening the session; on failure nothing stays open. Never throws.
// "akisp11": 0 at once.
int initializeSigningContextForSigning(SignerContext* context);

// The certificate of the open session whose decimal serial text equals
// `serial`. Throws int 516 (listing failed or no match; the job is then
// released), or 61 when the preparation found the module busy. "akisp11":
// from the AKIS card sessions.
tev::x509::Certificate getCertificateWithProvidedSerialNumber(SignerContext* context,
                                                              std::string serial);

// Logs in with context->pin, signs signature->data with CKM_RSA_PKCS using the
// private key of context->certificate, writes signature->signature and closes
// everything. Returns 0. Throws int 23 (expired certificate, before login), 27
// (wrong PIN), 38 (locked), 39 (expired PIN), or the raw CK_RV as unsigned long;
// every exit releases the job. "akisp11": signs on the AKIS card.
int signDigestWithProvidedSlotAndCertificate(SignerContext* context,
                                             tev::quessel::Signature* signature);

// The whole raw PKCS#1 v1.5 job: for RSA keys the SHA-256 DigestInfo of
// `digest` is signed (a digest that is not 32 bytes: int 41 before login), for
// ECC keys the bare digest; other key types: int 5. *out is replaced with the
// signature. Exceptions of the three steps above pass through.
int signPKCS1_Padding_1_5(const std::string& driverName, const QString& modulePath,
                          const std::string& pin, std::string serial, int slotId,
                          const QByteArray& digest, QByteArray* out);

// ---- listing -----------------------------------------------------------------

// Appends one record per slot with a token (label and library = driverName).
// Returns the unloading result (7 when the module could not be loaded); never
// throws.
int listAvailablePKCS11Slots(SignerContext* context, std::vector<PKCS11Card>* cards);

// Appends every parsable certificate object of context->slotId. Returns the
// unloading result; throws int 33 when the module, session or listing fails,
// 61 when the module stayed busy with another job.
int listCertificatesOnSmartCardSlot(SignerContext* context,
                                    std::vector<tev::x509::Certificate>* certificates);

// ---- provisioning (each a whole job; login failures thrown as 27/38/39/CK_RV,
// module/session failures as 33, a busy module as 61) ---------------------------

int storeRsaKeyPair(SignerContext* context, const QByteArray& ckaId, const QString& label,
                    const QByteArray& modulus, const QByteArray& publicExponent,
                    const QByteArray& prime1, const QByteArray& prime2,
                    const QByteArray& exponent1, const QByteArray& exponent2,
                    const QByteArray& coefficient, const QByteArray& privateModulus,
                    const QByteArray& privateExponent);
int storeRsaKeyPairAndCertificate(SignerContext* context, const QByteArray& ckaId,
                                  const QString& label, const QByteArray& modulus,
                                  const QByteArray& publicExponent, const QByteArray& prime1,
                                  const QByteArray& prime2, const QByteArray& exponent1,
                                  const QByteArray& exponent2, const QByteArray& coefficient,
                                  const QByteArray& privateModulus,
                                  const QByteArray& privateExponent,
                                  const QByteArray& certificateDer);
int storeRsaPublicKey(SignerContext* context, const QByteArray& ckaId, const QString& label,
                      const QByteArray& modulus, const QByteArray& publicExponent);
int storeRsaPrivateKey(SignerContext* context, const QByteArray& ckaId, const QString& label,
                       const QByteArray& prime1, const QByteArray& prime2,
                       const QByteArray& exponent1, const QByteArray& exponent2,
                       const QByteArray& coefficient, const QByteArray& privateModulus,
                       const QByteArray& privateExponent);
int storeRsaCertificate(SignerContext* context, const QByteArray& ckaId, const QString& label,
                        const QByteArray& certificateDer);
int generateRsaKeyPair(SignerContext* context, const QByteArray& ckaId, const QString& label,
                       QByteArray* modulusOut, QByteArray* exponentOut);

// ---- object listing and removal ----------------------------------------------

// 0, or the login's CK_RV (not thrown; an empty PIN is refused with
// CKR_PIN_INCORRECT without reaching the token). Releases everything.
int verifyPIN(SignerContext* context);
int listAllObjectsWithLogin(SignerContext* context);
// First failing C_DestroyObject's CK_RV (0 when all went), or the search's CK_RV.
int destroyAllObjects(SignerContext* context);
// First failing C_DestroyObject's CK_RV (the walk goes on past it), else the
// search's CK_RV. Refuses an empty ckaId (CKR_ARGUMENTS_BAD) without touching
// the token.
int destroyAllObjectsWitkCkaId(SignerContext* context, const QByteArray& ckaId);
// As destroyAllObjectsWitkCkaId with the certificate's CKA_ID. A serial that
// matches no certificate removes nothing (CKR_OK returned).
int destroyCertificateObjectsWithCertificateSerialNumber(SignerContext* context,
                                                         std::string serialNumber);

// ---- diagnostics ---------------------------------------------------------------

// Loads and initialises the module itself, reads the token of context->slotId,
// finalises and unloads. Returns the CK_RV of C_GetTokenInfo (37 when the
// module could not be loaded).
int getTokenInfo(SignerContext* context, TokenInfo* info);

}  // namespace pkcs11
}  // namespace quessel
}  // namespace tev

// ---- steps shared by every job (global namespace; never throw) --------------------


// 0, or 37 (empty path, not loadable, no C_GetFunctionList, refused, or the
// module file already in use by a context of this thread).
CK_RV loadPKCS11LibraryDynamically(tev::quessel::pkcs11::SignerContext* context);
// 0, or 7 when nothing is loaded. Clears functionList; releases the lock.
CK_RV unloadPKCS11LibraryDynamically(tev::quessel::pkcs11::SignerContext* context);
// Always 0; the outcome is context->initialized.
CK_RV initializePKCS11AfterLoadingLibrary(tev::quessel::pkcs11::SignerContext* context);
// Worker and time-out handler of the initialisation (argument: the task record).
void* asyncInitializePKCS11(void* task);
void asyncInitializePKCS11Timeout(void* task);
// C_Finalize(NULL). CKR_CRYPTOKI_NOT_INITIALIZED without a call while a
// timed-out C_Initialize may still run inside the module; 37 without a
// function list.
CK_RV finalize(tev::quessel::pkcs11::SignerContext* context);
void checkReturnValue(CK_RV rv, const char* step);
QString rvStr(CK_RV rv);

std::string CKUTF8CHARtoString(const CK_UTF8CHAR* bytes, int length);
// malloc'ed copy of the bytes (no terminator); the caller frees it.
CK_UTF8CHAR* String_To_CK_UTF8CHAR(const std::string& text);
QString pkcs11FieldToQString(const CK_UTF8CHAR* data, int length);
std::string CKBYTEtoString(const CK_BYTE* bytes, int length);

// CK_RV of C_OpenSession, else of C_GetSessionInfo; 37 without a module.
CK_RV openSessionOnProvidedSlotOfSmartCard(tev::quessel::pkcs11::SignerContext* context);
// CK_RV of C_Login (CKR_USER_ALREADY_LOGGED_IN also means logged in). An empty
// PIN gives CKR_PIN_INCORRECT without a call, so it costs the card no try.
CK_RV loginToSmartCardAfterStartingSessionOnSlot(tev::quessel::pkcs11::SignerContext* context);
CK_RV logout(tev::quessel::pkcs11::SignerContext* context);
CK_RV endSession(tev::quessel::pkcs11::SignerContext* context);

CK_RV getPrivateKey(tev::quessel::pkcs11::SignerContext* context, tev::x509::Certificate* certificate,
                    CK_OBJECT_HANDLE* key);
CK_RV getPrivateKeyByLabelAndID(tev::quessel::pkcs11::SignerContext* context, tev::x509::Certificate* certificate,
                                CK_OBJECT_HANDLE* key);
CK_RV getPrivateKeyByLabel(tev::quessel::pkcs11::SignerContext* context, tev::x509::Certificate* certificate,
                           CK_OBJECT_HANDLE* key);
CK_RV getPrivateKeyByID(tev::quessel::pkcs11::SignerContext* context, tev::x509::Certificate* certificate,
                        CK_OBJECT_HANDLE* key);
// The token's first private key, used only when its public key (RSA modulus
// and exponent, or EC point, read from the key or from the public key with its
// CKA_ID) is the certificate's; otherwise 224 like a token without keys.
CK_RV getPrivateKeyInQueue(tev::quessel::pkcs11::SignerContext* context, tev::x509::Certificate* certificate,
                           CK_OBJECT_HANDLE* key);
// Signature bytes are put in front of *out. An empty signature is CKR_GENERAL_ERROR.
CK_RV signDataAfterStartSessionLoginToSmartcard(tev::quessel::pkcs11::SignerContext* context, QByteArray data,
                                                QByteArray* out);

CK_RV listSlotsAfterLoadingLibrary(tev::quessel::pkcs11::SignerContext* context,
                                   std::vector<tev::quessel::pkcs11::PKCS11Card>* cards);
CK_RV getSigningCertificatesOnSlot(tev::quessel::pkcs11::SignerContext* context,
                                   std::vector<tev::x509::Certificate>* certificates);
// `handles` must have room for 1024 entries.
CK_RV findPKCS11Object(tev::quessel::pkcs11::SignerContext* context, CK_ATTRIBUTE* attributes, CK_ULONG count,
                       CK_ULONG* found, CK_OBJECT_HANDLE* handles);
CK_RV buildCertificateObject(tev::quessel::pkcs11::SignerContext* context, CK_OBJECT_HANDLE handle,
                             tev::x509::Certificate* certificate);

// CKA_ID of the certificate object whose serial equals the decimal text; empty
// when none.
QByteArray getCkaIdByCertificateSerialDecimal(CK_FUNCTION_LIST_PTR functionList,
                                              CK_SESSION_HANDLE session,
                                              const QString& serialDecimal);

// Diagnostics. Worker records for tev::thread::executeMethodWithTimeout.
struct TokenInfoTaskArgs {
    tev::quessel::pkcs11::SignerContext* context = nullptr;
    CK_SLOT_ID slotId = 0;
    CK_TOKEN_INFO* tokenInfo = nullptr;
    CK_RV result = 0;
};
struct SlotListTaskArgs {
    tev::quessel::pkcs11::SignerContext* context = nullptr;
    std::vector<tev::quessel::pkcs11::PKCS11Card>* cards = nullptr;
    int result = 0;
};
void* asyncGetTokenInfo(void* task);
void asyncGetTokenInfoTimeout(void* task);
void* asyncListSlotsAfterLoadingLibrary(void* task);
void asyncListSlotsAfterLoadingLibraryTimeout(void* task);
void printSlots(tev::quessel::pkcs11::SignerContext* context);
CK_RV showKeyInfo(tev::quessel::pkcs11::SignerContext* context, CK_OBJECT_HANDLE handle);
CK_RV readPrivateKeys(tev::quessel::pkcs11::SignerContext* context);
CK_RV getPublicKey(tev::quessel::pkcs11::SignerContext* context, CK_BYTE* ckaId, size_t ckaIdLength,
                   CK_OBJECT_HANDLE* key);
int verifyData(tev::quessel::pkcs11::SignerContext* context, const char* data, int dataLength, const char* signature,
               int signatureLength);
CK_RV getPrivateKeyAttributes(tev::quessel::pkcs11::SignerContext* context, CK_OBJECT_HANDLE* handle);
QByteArray calculateHash(const char* data, int length);
std::string charToString2(unsigned char c);
void decrypt_data();
void printCertificates(tev::quessel::pkcs11::SignerContext* context);
