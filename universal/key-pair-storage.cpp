// The key-pair storage entry of corvane-universal: opens a logged-in session
// on the token for the caller, who then stores and releases (no caller yet).
#include "tev-logging.h"
#include "tev-pkcs11.h"

namespace tev {
namespace quessel {
namespace pkcs11 {

int storeRsaPublicPrivateKeyPair(SignerContext* context, const QByteArray&, const QString&, const QByteArray&,
                                 const QByteArray&) {
    auto releaseAll = [context] {
        endSession(context);
        finalize(context);
        unloadPKCS11LibraryDynamically(context);
    };
    loadPKCS11LibraryDynamically(context);
    initializePKCS11AfterLoadingLibrary(context);
    const CK_RV opened = openSessionOnProvidedSlotOfSmartCard(context);
    if (opened != CKR_OK) {
        LOG(ERROR) << "PKCS11 : " << "Cancelling list of objects - Cannot start session on smart card due to " << opened;
        releaseAll();
        throw 33;
    }
    LOG(INFO) << "PKCS11 : " << "Slot ID (0): " << context->slotId;
    LOG(INFO) << "PKCS11 : " << "Session handle (0): " << context->session;
    const CK_RV login = loginToSmartCardAfterStartingSessionOnSlot(context);
    if (login == CKR_OK) return 0;
    LOG(ERROR) << "PKCS11 : " << "Cancelling signing due to error code " << login;
    releaseAll();
    if (login == CKR_PIN_INCORRECT || login == CKR_PIN_INVALID) throw 27;
    if (login == CKR_PIN_LOCKED) throw 38;
    if (login == CKR_PIN_EXPIRED) throw 39;
    throw static_cast<unsigned long>(login);
}

}  // namespace pkcs11
}  // namespace quessel
}  // namespace tev
