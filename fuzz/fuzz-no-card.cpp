// The dispatch targets run every action with fuzzed members. None of them may
// reach a real reader or token: the machine may run the shared pcscd of the
// card rig, and a fuzzed "akisp11" signing would send PIN verifications to
// whatever card sits there. So the PC/SC client library is pointed at a socket
// that does not exist and the card database is empty.
#include "fuzz-support.h"

#include <QDir>
#include <QString>

#include <chrono>
#include <cstdlib>
#include <string>

#include <winscard.h>

#include "tev-commons.h"
#include "tev-smartcard.h"

namespace corvane {
namespace fuzz {

long cutOffSmartCardService() {
    // pcsc-lite reads this once, at the first call that needs the daemon.
    const QString socket = workFolder() + "/no-pcscd.comm";
    setenv("PCSCLITE_CSOCK_NAME", socket.toUtf8().constData(), 1);
    const auto start = std::chrono::steady_clock::now();
    SCARDCONTEXT context = 0;
    const LONG rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
    const long micros = static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count());
    if (rv == SCARD_S_SUCCESS) {
        SCardReleaseContext(context);
        fail("PC/SC still reaches a resource manager; the fuzz target must not touch real readers");
    }
    if (rv != static_cast<LONG>(SCARD_E_NO_SERVICE)) {
        fail("SCardEstablishContext without a service answered " + std::to_string(rv) + " instead of " +
             std::to_string(static_cast<LONG>(SCARD_E_NO_SERVICE)));
    }
    return micros;
}

void useEmptyCardDatabase() {
    if (tev::smartcard::configure("<smartcard-config><libraries/><card-types/></smartcard-config>") != 0) {
        fail("the empty card database does not load");
    }
    // Library names of the compiled-in database, and ones a page might send.
    for (const char* library : {"akisp11", "aetpkss1", "dkck201", "eTPKCS11", "gclib", "siecap11", "spmp1132",
                                "softhsm", ""}) {
        QString path;
        tev::smartcard::findDriverPathOfLibrary(getOperatingSystem(), library, &path);
        if (!path.isEmpty()) fail(std::string("the empty card database still names a driver for ") + library);
    }
}

}  // namespace fuzz
}  // namespace corvane
