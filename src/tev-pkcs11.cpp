// PKCS#11 token access: loading a vendor module for one job, C_Initialize on
// a worker under a 5-second limit, sessions, login, private-key lookup,
// CKM_RSA_PKCS signing, slot and certificate listing, the signing entry points
// (with the PC/SC road for "akisp11"), provisioning, removal and diagnostics.
//
// Two rules shape this file:
//  - C_Initialize/C_Finalize are process-wide inside a module and modules crash
//    when jobs on several threads run them at once. A context therefore holds a
//    process-wide lock on its module file from load to unload. A job that
//    hangs inside the module (a C_Sign that never returns) keeps the lock and
//    its share of the module, so nothing is unloaded under it; the jobs
//    behind it wait a bounded time and give up, jobs on other modules run on.
//  - A C_Initialize that outlived its 5 seconds is still running inside the
//    module. Its worker shares ownership of the dlopen handle, so the module
//    is never unmapped under it; when it finally returns it finalises what it
//    initialised (under the module lock) and drops its share.
#include "tev-pkcs11.h"

#include "tev-asn1.h"
#include "tev-certificate.h"
#include "tev-commons.h"
#include "tev-logging.h"
#include "tev-pcsc.h"

#include <QCryptographicHash>
#include <QtDebug>
#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

using tev::quessel::pkcs11::PKCS11Card;
using tev::quessel::pkcs11::SignerContext;
using tev::x509::Certificate;
using tev::logging::shownText;

namespace {

constexpr const char* kPrefix = "PKCS11 : ";
constexpr const char* kAkisDriver = "akisp11";
constexpr CK_RV kNotLoaded = 37;         // no module (or module not loadable)
constexpr CK_RV kNothingToUnload = 7;
constexpr CK_RV kNoSession = 179;        // CKR_SESSION_HANDLE_INVALID
constexpr CK_RV kNoPrivateKey = 224;
constexpr int kInitTimeoutSeconds = 5;
constexpr CK_ULONG kMaxObjects = 1024;
constexpr CK_ULONG kSignatureBufferSize = 512;

// Response codes thrown to the command layer.
constexpr int kCertificateListFailed = 33;
constexpr int kCertificateNotFound = 516;
constexpr int kCertificateExpired = 23;
constexpr int kWrongPin = 27;
constexpr int kPinLocked = 38;
constexpr int kPinExpired = 39;
constexpr int kInvalidDigest = 41;
constexpr int kNoPrivateKeyForCertificate = 44;  // the card's key is not the certificate's
constexpr int kInvalidCertificate = 5;
constexpr int kCannotSplitCertificate = 32;
// The client's ERROR_TASK_TIMEOUT: the module stayed busy with another job.
constexpr int kModuleBusy = 61;

std::string utf8(const QString& text) { return text.toUtf8().toStdString(); }

bool loggedIn(CK_RV rv) { return rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN; }

// corvane-universal keeps the login and object lines out of the Qt message log.
bool qtObjectLines() { return tev::logging::program() == tev::logging::Program::Service; }

bool initialisedAnswer(CK_RV rv) { return rv == CKR_OK || rv == CKR_CRYPTOKI_ALREADY_INITIALIZED; }

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Bytes of a returned attribute length, treating "unavailable" as nothing.
CK_ULONG usableLength(CK_ULONG length, CK_ULONG room) {
    if (length == CK_UNAVAILABLE_INFORMATION) return 0;
    return std::min(length, room);
}

struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};

// Attribute values above this are left to the one-by-one read.
constexpr CK_ULONG kMaxAttributeLength = 1u << 24;

}  // namespace

// ---- module ownership ---------------------------------------------------------------

namespace tev {
namespace quessel {
namespace pkcs11 {
namespace detail {

// How long a job waits for a module that another job holds. A job may hold
// it for as long as its user types a PIN on a PIN pad, so the bound is well
// above that; a module that hangs in a call holds it for ever, and then the
// jobs behind it give up instead of piling up.
std::atomic<long long> moduleWaitMilliseconds{150000};

// Process-wide lock of one module file. Held across a whole job, so it is a
// flag under a short-lived mutex rather than a mutex held for the job.
struct PathLock {
    enum class Taken { Yes, ByThisThread, Busy };
    std::mutex guard;
    std::condition_variable freed;
    bool held = false;
    std::atomic<std::thread::id> owner{};

    // ByThisThread (without waiting) when this thread holds it already: a
    // nested job on the same module would otherwise wait for itself. Busy
    // when another job kept it for the whole wait.
    Taken acquire(std::chrono::milliseconds limit) {
        if (owner.load() == std::this_thread::get_id()) return Taken::ByThisThread;
        std::unique_lock<std::mutex> lock(guard);
        if (!freed.wait_for(lock, limit, [this] { return !held; })) return Taken::Busy;
        take();
        return Taken::Yes;
    }
    // For a late initialisation worker, which must finalise whatever it takes.
    bool acquireWithoutLimit() {
        if (owner.load() == std::this_thread::get_id()) return false;
        std::unique_lock<std::mutex> lock(guard);
        freed.wait(lock, [this] { return !held; });
        take();
        return true;
    }
    void release() {
        {
            std::lock_guard<std::mutex> lock(guard);
            held = false;
            owner.store(std::thread::id());
        }
        freed.notify_one();
    }

private:
    void take() {
        held = true;
        owner.store(std::this_thread::get_id());
    }
};

std::shared_ptr<PathLock> pathLockFor(const std::string& path) {
    // Never destroyed: a late initialisation worker may still need it at exit.
    static auto* registryMutex = new std::mutex;
    static auto* registry = new std::map<std::string, std::shared_ptr<PathLock>>;
    std::string key = path;
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved)) key = resolved;
    std::lock_guard<std::mutex> guard(*registryMutex);
    auto& lock = (*registry)[key];
    if (!lock) lock = std::make_shared<PathLock>();
    return lock;
}

// The dlopen handle; the module is unmapped when the last owner lets go.
struct LoadedModule {
    void* handle = nullptr;
    explicit LoadedModule(void* h) : handle(h) {}
    ~LoadedModule() {
        if (handle) dlclose(handle);
    }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;
};

// One C_Initialize on its worker, shared by the context and the worker.
struct InitJob : std::enable_shared_from_this<InitJob> {
    enum class State { Running, Finished, Abandoned };
    std::shared_ptr<LoadedModule> module;
    std::shared_ptr<PathLock> pathLock;
    CK_FUNCTION_LIST_PTR functions = nullptr;
    std::string driverName;
    std::mutex mutex;
    State state = State::Running;
    CK_RV rv = CKR_GENERAL_ERROR;
};

struct ModuleState {
    std::shared_ptr<PathLock> pathLock;
    bool locked = false;
    std::shared_ptr<LoadedModule> module;
    CK_FUNCTION_LIST_PTR functions = nullptr;
    std::string path;
    // C_Initialize answered OK (or already initialised) and no C_Finalize since.
    bool needsFinalize = false;
    // A C_Initialize whose outcome has not been taken over yet.
    std::shared_ptr<InitJob> pendingInit;
    bool sessionOpen = false;
    CK_SESSION_HANDLE session = 0;
    // The last load gave up waiting for the module held by another job.
    bool moduleBusy = false;

    // True while the worker may still be inside C_Initialize (an abandoned
    // worker counts as running: it cleans up after itself). A finished job's
    // outcome is taken over here.
    bool initStillRunning() {
        if (!pendingInit) return false;
        std::lock_guard<std::mutex> guard(pendingInit->mutex);
        if (pendingInit->state != InitJob::State::Finished) return true;
        if (initialisedAnswer(pendingInit->rv)) needsFinalize = true;
        pendingInit.reset();
        return false;
    }

    // Leaves a running initialisation to its worker, which then finalises and
    // unloads on its own.
    void abandonInit() {
        if (!pendingInit) return;
        std::lock_guard<std::mutex> guard(pendingInit->mutex);
        if (pendingInit->state == InitJob::State::Running) pendingInit->state = InitJob::State::Abandoned;
    }

    // Drops the module share and the lock (after the session and C_Finalize).
    void dropModule() {
        abandonInit();
        pendingInit.reset();
        module.reset();
        functions = nullptr;
        needsFinalize = false;
        sessionOpen = false;
        if (locked) {
            locked = false;
            pathLock->release();
        }
    }

    // Whatever a job left open: session, initialisation, module, lock.
    void releaseAll() noexcept {
        if (functions) {
            const bool running = initStillRunning();
            if (sessionOpen && !running) {
                functions->C_CloseSession(session);
                sessionOpen = false;
            }
            if (needsFinalize && !running) {
                functions->C_Finalize(nullptr);
                needsFinalize = false;
            }
        }
        if (module || locked) {
            LOG(INFO) << kPrefix << "Released the pkcs11 library " << shownText(path) << " left open by the job";
        }
        dropModule();
    }
};

}  // namespace detail

void setModuleWaitLimit(std::chrono::milliseconds limit) {
    detail::moduleWaitMilliseconds.store(std::max<long long>(limit.count(), 0));
}

std::chrono::milliseconds moduleWaitLimit() {
    return std::chrono::milliseconds(detail::moduleWaitMilliseconds.load());
}

namespace detail {

ModuleLease::ModuleLease() noexcept = default;
ModuleLease::~ModuleLease() {
    if (state) state->releaseAll();
}
ModuleLease::ModuleLease(ModuleLease&& other) noexcept : state(std::move(other.state)) {}
ModuleLease& ModuleLease::operator=(ModuleLease&& other) noexcept {
    if (this != &other) {
        if (state) state->releaseAll();
        state = std::move(other.state);
    }
    return *this;
}

}  // namespace detail
}  // namespace pkcs11
}  // namespace quessel
}  // namespace tev

using tev::quessel::pkcs11::detail::InitJob;
using tev::quessel::pkcs11::detail::ModuleState;

namespace {

ModuleState* stateOf(SignerContext* context) {
    if (!context->lease.state) context->lease.state = std::make_shared<ModuleState>();
    return context->lease.state.get();
}

// The job could not start because another job held the module too long.
bool moduleWasBusy(const SignerContext* context) {
    return context->lease.state && context->lease.state->moduleBusy;
}

// The job's way out after a failure: session, C_Finalize, unload. Each step
// runs only when there is something to release, so early exits stay quiet.
void releaseJob(SignerContext* context) {
    if (!context->functionList) {
        if (context->lease.state) context->lease.state->releaseAll();
        return;
    }
    ModuleState* state = stateOf(context);
    if (state->sessionOpen) endSession(context);
    finalize(context);
    unloadPKCS11LibraryDynamically(context);
}

// Two-step read of one attribute (length, then value).
CK_RV readAttribute(CK_FUNCTION_LIST_PTR functions, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                    CK_ATTRIBUTE_TYPE type, QByteArray* value) {
    value->clear();
    CK_ATTRIBUTE attribute{type, nullptr, 0};
    CK_RV rv = functions->C_GetAttributeValue(session, object, &attribute, 1);
    if (rv != CKR_OK) return rv;
    if (attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (attribute.ulValueLen == 0) return CKR_OK;
    QByteArray buffer(static_cast<int>(attribute.ulValueLen), '\0');
    attribute.pValue = buffer.data();
    rv = functions->C_GetAttributeValue(session, object, &attribute, 1);
    if (rv != CKR_OK) return rv;
    buffer.truncate(static_cast<int>(usableLength(attribute.ulValueLen, buffer.size())));
    *value = buffer;
    return CKR_OK;
}

int pinResponseCode(CK_RV rv, bool* isCode) {
    *isCode = true;
    switch (rv) {
        case CKR_PIN_INCORRECT:
        case CKR_PIN_INVALID:
            return kWrongPin;
        case CKR_PIN_LOCKED:
            return kPinLocked;
        case CKR_PIN_EXPIRED:
            return kPinExpired;
        default:
            *isCode = false;
            return 0;
    }
}

// Throws what a refused login means to the command layer.
[[noreturn]] void throwLoginFailure(CK_RV rv) {
    bool isCode = false;
    const int code = pinResponseCode(rv, &isCode);
    if (isCode) throw code;
    throw static_cast<unsigned long>(rv);
}

}  // namespace

// ---- loading, initialising, finalising ------------------------------------------

CK_RV loadPKCS11LibraryDynamically(SignerContext* context) {
    const std::string path = utf8(context->libraryPath);
    LOG(INFO) << kPrefix << "Loading library " << shownText(path);
    ModuleState* state = stateOf(context);
    if (context->functionList && state->module && state->path == path) {
        LOG(INFO) << kPrefix << "Library " << shownText(path) << " is loaded already by this job";
        return CKR_OK;
    }
    if (context->functionList || state->module) releaseJob(context);
    // dlopen("") would hand back the program itself.
    if (path.empty()) {
        LOG(ERROR) << kPrefix << "Cannot Load Driver at path" << shownText(path);
        return kNotLoaded;
    }
    using tev::quessel::pkcs11::detail::PathLock;
    std::shared_ptr<PathLock> lock = tev::quessel::pkcs11::detail::pathLockFor(path);
    const std::chrono::milliseconds limit = tev::quessel::pkcs11::moduleWaitLimit();
    state->moduleBusy = false;
    switch (lock->acquire(limit)) {
        case PathLock::Taken::Yes:
            break;
        case PathLock::Taken::ByThisThread:
            LOG(ERROR) << kPrefix << "Cannot Load Driver at path" << shownText(path)
                       << " - the library is in use by another job of this thread";
            return kNotLoaded;
        case PathLock::Taken::Busy:
            LOG(ERROR) << kPrefix << "Cannot Load Driver at path" << shownText(path)
                       << " - another job has held the library for "
                       << limit.count() << " ms";
            state->moduleBusy = true;
            return kNotLoaded;
    }
    state->pathLock = lock;
    state->locked = true;
    state->path = path;

    void* handle = dlopen(path.c_str(), RTLD_NOW);
    if (!handle) {
        const char* why = dlerror();
        LOG(ERROR) << kPrefix << "Cannot Load Driver at path" << shownText(path);
        if (why) LOG(ERROR) << kPrefix << why;
        state->dropModule();
        return kNotLoaded;
    }
    state->module = std::make_shared<tev::quessel::pkcs11::detail::LoadedModule>(handle);

    auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"));
    CK_FUNCTION_LIST_PTR functions = nullptr;
    if (!getFunctionList || getFunctionList(&functions) != CKR_OK || functions == nullptr) {
        unloadPKCS11LibraryDynamically(context);  // no function list yet: reports 7
        state->dropModule();
        return kNotLoaded;
    }
    context->functionList = functions;
    state->functions = functions;
    return CKR_OK;
}

CK_RV unloadPKCS11LibraryDynamically(SignerContext* context) {
    LOG(INFO) << kPrefix << "Trying to unload pkcs11 library " << shownText(context->driverName);
    if (!context->functionList) {
        LOG(ERROR) << kPrefix << "Cannot unload not loaded pkcs11 library " << shownText(context->driverName);
        return kNothingToUnload;
    }
    ModuleState* state = stateOf(context);
    // PKCS#11 wants C_Finalize before the library goes; a job that skipped it
    // gets it here (never while C_Initialize may still run).
    if (!state->initStillRunning() && state->needsFinalize) {
        LOG(INFO) << kPrefix << "Finalizing pkcs11 library " << shownText(context->driverName) << " before unloading";
        finalize(context);
    }
    state->dropModule();
    context->functionList = nullptr;
    context->initialized = false;
    LOG(INFO) << kPrefix << "Unloaded pkcs11 library " << shownText(context->driverName);
    return CKR_OK;
}

void* asyncInitializePKCS11(void* taskPointer) {
    auto* task = static_cast<tev::thread::AsyncTask*>(taskPointer);
    std::shared_ptr<InitJob> job;
    pthread_mutex_lock(&task->mutex);
    if (!task->abandoned) job = static_cast<InitJob*>(task->argument)->shared_from_this();
    pthread_mutex_unlock(&task->mutex);
    if (!job) return nullptr;

    const CK_RV rv = job->functions->C_Initialize(nullptr);
    const bool ok = initialisedAnswer(rv);
    if (ok) {
        LOG(INFO) << kPrefix << "Successfully async initialized pkcs11 context for " << shownText(job->driverName);
    } else {
        LOG(ERROR) << kPrefix << "Cannot async initialize pkcs11 context for " << shownText(job->driverName)
                   << " with code " << rv;
    }
    bool abandoned = false;
    {
        std::lock_guard<std::mutex> guard(job->mutex);
        job->rv = rv;
        if (job->state == InitJob::State::Abandoned) {
            abandoned = true;
        } else {
            job->state = InitJob::State::Finished;
            // The context holds the module; this share must not outlive the job
            // (its unload would otherwise happen later, on this thread).
            job->module.reset();
        }
    }
    tev::thread::completeAsyncTask(task, [] {});
    if (abandoned && ok && rv == CKR_OK) {
        // Nobody took this initialisation over: undo it before the module goes.
        const bool locked = job->pathLock->acquireWithoutLimit();
        job->functions->C_Finalize(nullptr);
        if (locked) job->pathLock->release();
        LOG(INFO) << kPrefix << "Finalized late initialization of pkcs11 library " << shownText(job->driverName);
    }
    return nullptr;  // the last share of the module may go here
}

void asyncInitializePKCS11Timeout(void* taskPointer) {
    auto* task = static_cast<tev::thread::AsyncTask*>(taskPointer);
    auto* job = static_cast<InitJob*>(task->argument);
    LOG(INFO) << kPrefix << "Timeout - Cannot initialize pkcs11 library " << shownText(job->driverName);
    task->done = false;
}

CK_RV initializePKCS11AfterLoadingLibrary(SignerContext* context) {
    LOG(INFO) << kPrefix << "Initializing pkcs11 context for " << shownText(context->driverName);
    context->initialized = false;
    ModuleState* state = stateOf(context);
    if (!context->functionList || !state->module) {
        LOG(ERROR) << kPrefix << "Cannot initialize not loaded pkcs11 library " << shownText(context->driverName);
        return CKR_OK;
    }
    if (state->initStillRunning()) {
        LOG(ERROR) << kPrefix << "An earlier initialization of " << shownText(context->driverName)
                   << " is still running";
        return CKR_OK;
    }
    if (state->needsFinalize) {
        context->initialized = true;
        return CKR_OK;
    }
    auto job = std::make_shared<InitJob>();
    job->module = state->module;
    job->pathLock = state->pathLock;
    job->functions = context->functionList;
    job->driverName = context->driverName;
    state->pendingInit = job;

    tev::thread::executeMethodWithTimeout(asyncInitializePKCS11, job.get(), kInitTimeoutSeconds,
                                          asyncInitializePKCS11Timeout);
    {
        std::lock_guard<std::mutex> guard(job->mutex);
        if (job->state == InitJob::State::Finished) {
            context->initialized = initialisedAnswer(job->rv);
            state->needsFinalize = context->initialized;
            state->pendingInit.reset();
        }
    }
    return CKR_OK;
}

CK_RV finalize(SignerContext* context) {
    if (!context->functionList) {
        LOG(ERROR) << kPrefix << "Cannot finalize not loaded pkcs11 library " << shownText(context->driverName);
        return kNotLoaded;
    }
    ModuleState* state = stateOf(context);
    if (state->initStillRunning()) {
        LOG(ERROR) << kPrefix << "Not finalizing " << shownText(context->driverName)
                   << " - its initialization is still running";
        state->abandonInit();
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    const CK_RV rv = context->functionList->C_Finalize(nullptr);
    state->needsFinalize = false;
    state->sessionOpen = false;  // C_Finalize closes every session
    context->initialized = false;
    return rv;
}

void checkReturnValue(CK_RV rv, const char* step) {
    if (rv == CKR_OK) return;
    LOG(ERROR) << kPrefix << "Error at " << step << " with code " << rv;
}

QString rvStr(CK_RV rv) { return QString("0x%1").arg(static_cast<qulonglong>(rv), 0, 16); }

// ---- conversions ------------------------------------------------------------------------

std::string CKUTF8CHARtoString(const CK_UTF8CHAR* bytes, int length) {
    if (!bytes || length <= 0) return std::string();
    return std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
}

CK_UTF8CHAR* String_To_CK_UTF8CHAR(const std::string& text) {
    auto* block = static_cast<CK_UTF8CHAR*>(malloc(std::max<size_t>(text.size(), 1)));
    if (block && !text.empty()) memcpy(block, text.data(), text.size());
    return block;
}

QString pkcs11FieldToQString(const CK_UTF8CHAR* data, int length) {
    if (!data) return QString();
    int n = std::max(length, 0);
    while (n > 0 && (data[n - 1] == ' ' || data[n - 1] == '\0')) --n;
    const auto* text = reinterpret_cast<const char*>(data);
    const size_t upToZero = strnlen(text, static_cast<size_t>(n));
    return QString::fromUtf8(text, static_cast<int>(upToZero));
}

std::string CKBYTEtoString(const CK_BYTE* bytes, int length) {
    if (!bytes || length <= 0) return std::string();
    const auto* text = reinterpret_cast<const char*>(bytes);
    return std::string(text, strnlen(text, static_cast<size_t>(length)));
}

// ---- sessions, login, keys, raw signing ---------------------------------------------------

CK_RV openSessionOnProvidedSlotOfSmartCard(SignerContext* context) {
    LOG(INFO) << kPrefix << "Starting session on PKCS11 device";
    if (!context->functionList) {
        LOG(ERROR) << kPrefix << "Cannot start session on PKCS11 device due to code " << kNotLoaded;
        return kNotLoaded;
    }
    ModuleState* state = stateOf(context);
    if (state->initStillRunning()) {
        LOG(ERROR) << kPrefix << "Cannot start session on PKCS11 device due to code "
                   << CKR_CRYPTOKI_NOT_INITIALIZED;
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    const auto slot = static_cast<CK_SLOT_ID>(static_cast<long>(context->slotId));
    CK_SESSION_HANDLE session = 0;
    CK_RV rv = context->functionList->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                                    nullptr, &session);
    if (rv != CKR_OK) {
        LOG(ERROR) << kPrefix << "Cannot start session on PKCS11 device due to code " << rv;
        return rv;
    }
    context->session = session;
    state->session = session;
    state->sessionOpen = true;
    LOG(INFO) << kPrefix << "Started session on PKCS11 device successfully";

    CK_SESSION_INFO info;
    memset(&info, 0, sizeof info);
    rv = context->functionList->C_GetSessionInfo(session, &info);
    LOG(INFO) << kPrefix << "Session Info RV: " << rv;
    LOG(INFO) << kPrefix << "Session ID: " << session;
    LOG(INFO) << kPrefix << "Session flags: " << info.flags;
    LOG(INFO) << kPrefix << "Session slot ID: " << info.slotID;
    LOG(INFO) << kPrefix << "Session state: " << info.state;
    LOG(INFO) << kPrefix << "Session ul device error: " << info.ulDeviceError;
    return rv;
}

CK_RV loginToSmartCardAfterStartingSessionOnSlot(SignerContext* context) {
    if (!context->functionList) return kNotLoaded;
    const size_t pinLength = strnlen(context->pin.c_str(), context->pin.size());
    CK_RV rv;
    if (pinLength == 0) {
        // An empty PIN would only cost the card a try.
        rv = CKR_PIN_INCORRECT;
    } else {
        rv = context->functionList->C_Login(
            context->session, CKU_USER,
            reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(context->pin.data())),
            static_cast<CK_ULONG>(pinLength));
    }
    switch (rv) {
        case CKR_OK:
        case CKR_USER_ALREADY_LOGGED_IN:
            if (qtObjectLines()) {
                LOG(INFO) << kPrefix << "Successfully logged in to the smartcard";
                qInfo() << "Successfully logged in to the smartcard";
            } else {
                LOG(INFO) << kPrefix << "Successfully logged in to the smart card";
            }
            break;
        case CKR_PIN_INCORRECT:
            LOG(ERROR) << kPrefix << "Provided PIN is incorrect";
            if (qtObjectLines()) qWarning() << "Provided PIN is incorrect";
            break;
        case CKR_PIN_LOCKED:
            LOG(ERROR) << kPrefix << "Provided PIN is locked";
            if (qtObjectLines()) qWarning() << "Provided PIN is locked";
            break;
        case CKR_PIN_EXPIRED:
            LOG(ERROR) << kPrefix << "Provided PIN is expired";
            if (qtObjectLines()) qWarning() << "Provided PIN is expired";
            break;
        default:
            break;
    }
    return rv;
}

CK_RV logout(SignerContext* context) {
    if (context->session == 0) {
        LOG(ERROR) << "No session handle is provided to logout";
        return kNoSession;
    }
    if (!context->functionList) return kNotLoaded;
    const CK_RV rv = context->functionList->C_Logout(context->session);
    if (rv == CKR_OK) {
        LOG(INFO) << kPrefix << "Successfully logged out from the smart card";
    } else if (rv != CKR_USER_NOT_LOGGED_IN) {
        LOG(ERROR) << kPrefix << "Cannot log out from the smart card due to code " << rv;
    }
    return rv;
}

CK_RV endSession(SignerContext* context) {
    if (context->session == 0) {
        LOG(ERROR) << "No session handle is provided to logout";
        return kNoSession;
    }
    if (!context->functionList) return kNotLoaded;
    const CK_RV rv = context->functionList->C_CloseSession(context->session);
    if (rv == CKR_OK) {
        LOG(INFO) << kPrefix << "Successfully ended the session on the smart card";
    } else {
        LOG(ERROR) << kPrefix << "Cannot end session with ID " << context->slotId << " due to error code " << rv;
    }
    ModuleState* state = stateOf(context);
    if (state->session == context->session) state->sessionOpen = false;
    return rv;
}

namespace {

struct KeySearch {
    const char* startLine;
    const char* foundLine;
    const char* noneLine;
    bool withLabel;
    bool withId;
    CK_ULONG room;
    // The key is taken without any tie to the certificate: use it only when
    // its public half is the certificate's.
    bool mustMatchCertificate = false;
};

bool sameUnsignedNumber(const QByteArray& a, const QByteArray& b) {
    int i = 0, j = 0;
    while (i < a.size() && a[i] == '\0') ++i;
    while (j < b.size() && b[j] == '\0') ++j;
    return a.size() - i == b.size() - j &&
           memcmp(a.constData() + i, b.constData() + j, static_cast<size_t>(a.size() - i)) == 0;
}

QByteArray bignumParameter(const EVP_PKEY* key, const char* name) {
    BIGNUM* number = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &number) != 1 || !number) return QByteArray();
    QByteArray bytes(BN_num_bytes(number), '\0');
    BN_bn2bin(number, reinterpret_cast<unsigned char*>(bytes.data()));
    BN_free(number);
    return bytes;
}

// Answer of one key object about the certificate's public key: a match, a
// mismatch, or nothing to tell (the attributes are not on this object).
enum class KeyVerdict { Match, Mismatch, Unknown };

KeyVerdict rsaVerdict(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                      const QByteArray& modulus, const QByteArray& exponent) {
    QByteArray value;
    if (readAttribute(f, session, object, CKA_MODULUS, &value) != CKR_OK || value.isEmpty()) return KeyVerdict::Unknown;
    if (!sameUnsignedNumber(value, modulus)) return KeyVerdict::Mismatch;
    // Some modules keep no public exponent with the private key; the
    // modulus alone already names the key.
    if (readAttribute(f, session, object, CKA_PUBLIC_EXPONENT, &value) == CKR_OK && !value.isEmpty() &&
        !sameUnsignedNumber(value, exponent))
        return KeyVerdict::Mismatch;
    return KeyVerdict::Match;
}

KeyVerdict ecVerdict(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                     const QByteArray& point) {
    QByteArray value;
    if (readAttribute(f, session, object, CKA_EC_POINT, &value) != CKR_OK || value.isEmpty()) return KeyVerdict::Unknown;
    // PKCS#11 wraps the point in a DER OCTET STRING; older modules store it bare.
    QByteArray wrapped = QByteArray(1, '\x04');
    const int n = point.size();
    if (n < 0x80) {
        wrapped.append(static_cast<char>(n));
    } else if (n < 0x100) {
        wrapped.append('\x81').append(static_cast<char>(n));
    } else {
        wrapped.append('\x82').append(static_cast<char>(n >> 8)).append(static_cast<char>(n & 0xff));
    }
    wrapped.append(point);
    return value == point || value == wrapped ? KeyVerdict::Match : KeyVerdict::Mismatch;
}

// True when the private key `key` holds the public key of the certificate:
// RSA modulus and exponent, or EC point. The private key object is asked
// first; where it does not carry them (EC private keys have no point), the
// public key objects with the same CKA_ID answer. Nothing that proves the
// pairing counts as a mismatch.
bool keyBelongsToCertificate(SignerContext* context, CK_OBJECT_HANDLE key, const Certificate* certificate) {
    X509* x509 = certificate ? certificate->x509 : nullptr;
    const EVP_PKEY* publicKey = x509 ? X509_get0_pubkey(x509) : nullptr;
    if (!publicKey) return false;
    CK_FUNCTION_LIST_PTR f = context->functionList;
    const CK_SESSION_HANDLE session = context->session;

    const bool rsa = EVP_PKEY_get_base_id(publicKey) == EVP_PKEY_RSA;
    const bool ec = EVP_PKEY_get_base_id(publicKey) == EVP_PKEY_EC;
    if (!rsa && !ec) return false;
    QByteArray modulus, exponent, point;
    if (rsa) {
        modulus = bignumParameter(publicKey, OSSL_PKEY_PARAM_RSA_N);
        exponent = bignumParameter(publicKey, OSSL_PKEY_PARAM_RSA_E);
        if (modulus.isEmpty() || exponent.isEmpty()) return false;
    } else {
        // The point exactly as the certificate encodes it.
        const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(x509);
        if (!bits || bits->length <= 0) return false;
        point = QByteArray(reinterpret_cast<const char*>(bits->data), bits->length);
    }
    auto verdictOf = [&](CK_OBJECT_HANDLE object) {
        return rsa ? rsaVerdict(f, session, object, modulus, exponent) : ecVerdict(f, session, object, point);
    };

    const KeyVerdict own = verdictOf(key);
    if (own != KeyVerdict::Unknown) return own == KeyVerdict::Match;

    QByteArray id;
    if (readAttribute(f, session, key, CKA_ID, &id) != CKR_OK || id.isEmpty()) return false;
    CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY;
    CK_ATTRIBUTE search[] = {{CKA_CLASS, &publicClass, sizeof publicClass},
                             {CKA_ID, id.data(), static_cast<CK_ULONG>(id.size())}};
    if (f->C_FindObjectsInit(session, search, 2) != CKR_OK) return false;
    CK_OBJECT_HANDLE handles[4] = {0, 0, 0, 0};
    CK_ULONG found = 0;
    if (f->C_FindObjects(session, handles, 4, &found) != CKR_OK) found = 0;
    f->C_FindObjectsFinal(session);
    for (CK_ULONG i = 0; i < std::min<CK_ULONG>(found, 4); ++i) {
        if (verdictOf(handles[i]) == KeyVerdict::Match) return true;
    }
    return false;
}

CK_RV findPrivateKey(SignerContext* context, Certificate* certificate, CK_OBJECT_HANDLE* key,
                     const KeySearch& search) {
    const std::string label = certificate ? certificate->label : std::string();
    const CK_BYTE* id = certificate ? certificate->id : nullptr;
    const CK_ULONG idLength = certificate && id ? static_cast<CK_ULONG>(certificate->idLength) : 0;

    std::string start = search.startLine;
    if (search.withLabel) start += label;
    if (search.withLabel && search.withId) start += " and ID";
    if (!search.withLabel && search.withId)
        start += CKBYTEtoString(id, static_cast<int>(std::min<CK_ULONG>(idLength, INT_MAX)));
    LOG(INFO) << kPrefix << start;

    // A search on an empty label or ID would match unrelated keys.
    if ((search.withLabel && label.empty()) || (search.withId && idLength == 0)) {
        LOG(ERROR) << kPrefix << search.noneLine;
        return kNoPrivateKey;
    }
    if (!context->functionList) return kNotLoaded;

    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    std::unique_ptr<CK_UTF8CHAR, FreeDeleter> labelBytes(String_To_CK_UTF8CHAR(label));
    CK_ATTRIBUTE attributes[3];
    CK_ULONG count = 0;
    attributes[count++] = {CKA_CLASS, &keyClass, sizeof keyClass};
    if (search.withLabel) attributes[count++] = {CKA_LABEL, labelBytes.get(), label.size()};
    if (search.withId) attributes[count++] = {CKA_ID, const_cast<CK_BYTE*>(id), idLength};

    CK_RV rv = context->functionList->C_FindObjectsInit(context->session, attributes, count);
    checkReturnValue(rv, "Find objects init");
    CK_OBJECT_HANDLE handles[3] = {0, 0, 0};
    CK_ULONG found = 0;
    rv = context->functionList->C_FindObjects(context->session, handles, search.room, &found);
    checkReturnValue(rv, "Find first object");
    const CK_RV result = context->functionList->C_FindObjectsFinal(context->session);
    if (found == 0) {
        LOG(ERROR) << kPrefix << search.noneLine;
        return kNoPrivateKey;
    }
    if (found > 1) LOG(ERROR) << kPrefix << "Multiple private keys are found " << found;
    if (search.mustMatchCertificate && !keyBelongsToCertificate(context, handles[0], certificate)) {
        LOG(ERROR) << kPrefix << "The private key found in queue does not belong to the certificate"
                   << (certificate ? " with serial number " + certificate->serialNumber : std::string());
        LOG(ERROR) << kPrefix << search.noneLine;
        return kNoPrivateKey;
    }
    if (result != CKR_OK) {
        LOG(ERROR) << kPrefix << "Cannot find private key with label " << label << " due to " << result;
    } else {
        std::string foundLine = std::string(search.foundLine) + label;
        if (search.withLabel && search.withId) foundLine += " and ID";
        LOG(INFO) << kPrefix << foundLine;
    }
    *key = handles[0];
    return result;
}

}  // namespace

CK_RV getPrivateKeyByLabelAndID(SignerContext* context, Certificate* certificate, CK_OBJECT_HANDLE* key) {
    return findPrivateKey(context, certificate, key,
                          {"Looking up private key with label ", "Found private key successfully with label ",
                           "No private key is found with label and ID", true, true, 3});
}

CK_RV getPrivateKeyByLabel(SignerContext* context, Certificate* certificate, CK_OBJECT_HANDLE* key) {
    return findPrivateKey(context, certificate, key,
                          {"Looking up private key with label ", "Found private key successfully with label ",
                           "No private key is found with label", true, false, 2});
}

CK_RV getPrivateKeyByID(SignerContext* context, Certificate* certificate, CK_OBJECT_HANDLE* key) {
    return findPrivateKey(context, certificate, key,
                          {"Looking up private key with ID ", "Found private key successfully with label ",
                           "No private key is found with ID", false, true, 2});
}

CK_RV getPrivateKeyInQueue(SignerContext* context, Certificate* certificate, CK_OBJECT_HANDLE* key) {
    return findPrivateKey(context, certificate, key,
                          {"Looking up private key in queue", "Found private key successfully with label ",
                           "No private key is found in queue", false, false, 1, true});
}

CK_RV getPrivateKey(SignerContext* context, Certificate* certificate, CK_OBJECT_HANDLE* key) {
    CK_OBJECT_HANDLE handle = 0;
    LOG(INFO) << kPrefix << "Looking up private key with Label and ID";
    CK_RV rv = getPrivateKeyByLabelAndID(context, certificate, &handle);
    if (rv != CKR_OK) {
        LOG(INFO) << kPrefix << "Looking up private key with Label";
        rv = getPrivateKeyByLabel(context, certificate, &handle);
    }
    if (rv != CKR_OK) {
        LOG(INFO) << kPrefix << "Looking up private key with ID";
        rv = getPrivateKeyByID(context, certificate, &handle);
    }
    if (rv != CKR_OK) {
        LOG(INFO) << kPrefix << "Looking up private key in queue";
        rv = getPrivateKeyInQueue(context, certificate, &handle);
    }
    if (rv != CKR_OK) {
        LOG(ERROR) << kPrefix << "Cannot find any private key for the provided certificate";
        return rv;
    }
    *key = handle;
    return CKR_OK;
}

CK_RV signDataAfterStartSessionLoginToSmartcard(SignerContext* context, QByteArray data, QByteArray* out) {
    CK_OBJECT_HANDLE key = 0;
    CK_RV rv = getPrivateKey(context, context->certificate, &key);
    if (rv != CKR_OK) {
        LOG(ERROR) << kPrefix << "Cannot retrieve the private key - cancelling signing of raw data";
        return rv;
    }
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    rv = context->functionList->C_SignInit(context->session, &mechanism, key);
    if (rv != CKR_OK) {
        LOG(ERROR) << kPrefix << "Cannot initialize smartcard to sign";
        return rv;
    }
    CK_BYTE buffer[kSignatureBufferSize];
    CK_ULONG length = kSignatureBufferSize;
    rv = context->functionList->C_Sign(context->session, reinterpret_cast<CK_BYTE_PTR>(data.data()),
                                       static_cast<CK_ULONG>(data.size()), buffer, &length);
    if (rv != CKR_OK) {
        LOG(ERROR) << kPrefix << "Cannot perform signing on smartcard";
        return rv;
    }
    if (length == 0 || length > kSignatureBufferSize) {
        LOG(ERROR) << kPrefix << "Cannot perform signing on smartcard - the token returned a signature of "
                   << length << " bytes";
        return CKR_GENERAL_ERROR;
    }
    out->prepend(QByteArray(reinterpret_cast<const char*>(buffer), static_cast<int>(length)));
    LOG(INFO) << kPrefix << "Signature length (2)" << out->size();
    return CKR_OK;
}

// ---- slots and certificates ------------------------------------------------------------------

CK_RV listSlotsAfterLoadingLibrary(SignerContext* context, std::vector<PKCS11Card>* cards) {
    LOG(INFO) << kPrefix << "Executing listSlotsAfterLoadingLibrary for " << shownText(context->driverName);
    if (!context->functionList) return kNotLoaded;
    CK_ULONG count = 0;
    CK_RV rv = context->functionList->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv != CKR_OK) return rv;
    std::vector<CK_SLOT_ID> slotIds(count);
    rv = context->functionList->C_GetSlotList(CK_TRUE, slotIds.data(), &count);
    if (rv != CKR_OK || count == 0) return rv;
    slotIds.resize(std::min<size_t>(count, slotIds.size()));
    for (CK_SLOT_ID slot : slotIds) {
        CK_SLOT_INFO info;
        memset(&info, 0, sizeof info);
        rv = context->functionList->C_GetSlotInfo(slot, &info);
        if (rv != CKR_OK) continue;
        PKCS11Card card;
        card.cardName = removeNonAlphaNumericCharacters(
            CKUTF8CHARtoString(info.slotDescription, sizeof info.slotDescription));
        card.label = context->driverName;
        card.driverPath = context->libraryPath;
        card.library = context->driverName;
        card.slotId = static_cast<int>(slot);
        LOG(INFO) << kPrefix << "Added token on slot " << slot << " with library " << shownText(context->driverName);
        LOG(INFO) << kPrefix << "------------- SLOT INFO ----------------";
        LOG(INFO) << kPrefix << "Card Type: " << card.cardName;
        LOG(INFO) << kPrefix << "Driver: " << shownText(card.library);
        LOG(INFO) << kPrefix << "Driver Path: " << shownText(utf8(card.driverPath));
        LOG(INFO) << kPrefix << "Label: " << card.label;
        LOG(INFO) << kPrefix << "Slot ID: " << card.slotId;
        LOG(INFO) << kPrefix << "----------------------------------------";
        cards->push_back(card);
    }
    return rv;
}

namespace tev {
namespace quessel {
namespace pkcs11 {

int listAvailablePKCS11Slots(SignerContext* context, std::vector<PKCS11Card>* cards) {
    LOG(INFO) << kPrefix << shownText(context->driverName) << " - Listing PKCS11 slots for the library "
              << shownText(utf8(context->libraryPath));
    if (loadPKCS11LibraryDynamically(context) != CKR_OK) return static_cast<int>(unloadPKCS11LibraryDynamically(context));
    initializePKCS11AfterLoadingLibrary(context);
    if (!context->initialized) {
        finalize(context);
        return static_cast<int>(unloadPKCS11LibraryDynamically(context));
    }
    listSlotsAfterLoadingLibrary(context, cards);
    finalize(context);
    const CK_RV unloaded = unloadPKCS11LibraryDynamically(context);
    context->functionList = nullptr;
    LOG(INFO) << kPrefix << "Successfully closed the signer context";
    LOG(INFO) << kPrefix << "Number of slots identified for driver " << shownText(utf8(context->libraryPath)) << " is "
              << cards->size();
    return static_cast<int>(unloaded);
}

int listCertificatesOnSmartCardSlot(SignerContext* context, std::vector<Certificate>* certificates) {
    if (loadPKCS11LibraryDynamically(context) != CKR_OK)
        throw moduleWasBusy(context) ? kModuleBusy : kCertificateListFailed;
    initializePKCS11AfterLoadingLibrary(context);
    CK_RV rv = openSessionOnProvidedSlotOfSmartCard(context);
    if (rv != CKR_OK) {
        LOG(ERROR) << kPrefix << "Cancelling list of certificates - Cannot start session on smart card due to "
                   << rv;
        releaseJob(context);
        throw kCertificateListFailed;
    }
    LOG(INFO) << kPrefix << "Slot ID (0): " << context->slotId;
    LOG(INFO) << kPrefix << "Session handle (0): " << context->session;
    rv = getSigningCertificatesOnSlot(context, certificates);
    endSession(context);
    finalize(context);
    const CK_RV unloaded = unloadPKCS11LibraryDynamically(context);
    if (rv != CKR_OK) {
        LOG(ERROR) << kPrefix << "Cancelling list of certificates - Cannot get signing certificates on slot due to "
                   << rv;
        throw kCertificateListFailed;
    }
    return static_cast<int>(unloaded);
}

}  // namespace pkcs11
}  // namespace quessel
}  // namespace tev

CK_RV getSigningCertificatesOnSlot(SignerContext* context, std::vector<Certificate>* certificates) {
    if (!context->functionList) {
        LOG(ERROR) << kPrefix << "PKCS11 driver is not loaded";
        return kNotLoaded;
    }
    LOG(INFO) << kPrefix << "Slot ID (1): " << context->slotId;
    LOG(INFO) << kPrefix << "Session handle (1): " << context->session;
    std::vector<CK_OBJECT_HANDLE> handles(kMaxObjects, 0);
    CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
    CK_BBOOL onToken = CK_TRUE;
    CK_ATTRIBUTE attributes[] = {{CKA_CLASS, &certificateClass, sizeof certificateClass},
                                 {CKA_TOKEN, &onToken, sizeof onToken}};
    CK_ULONG found = 0;
    CK_RV rv = findPKCS11Object(context, attributes, 2, &found, handles.data());
    if (rv != CKR_OK) {
        LOG(ERROR) << kPrefix << "Cannot retrieve the list of certificates from smartcard";
        return rv;
    }
    LOG(INFO) << kPrefix << "Number of certificates found on slot " << found;
    // One unreadable object must not hide the others: it is dropped, and the
    // reading fails only when objects exist and none of them could be read.
    CK_RV lastFailure = CKR_OK;
    size_t read = 0;
    for (CK_ULONG i = 0; i < found; ++i) {
        Certificate certificate;
        const CK_RV built = buildCertificateObject(context, handles[i], &certificate);
        if (built == CKR_OK) {
            certificates->push_back(certificate);
            ++read;
        } else {
            lastFailure = built;
            LOG(ERROR) << kPrefix << "Skipping certificate object " << handles[i] << " due to " << built;
        }
    }
    return read > 0 ? CKR_OK : lastFailure;
}

CK_RV findPKCS11Object(SignerContext* context, CK_ATTRIBUTE* attributes, CK_ULONG count, CK_ULONG* found,
                       CK_OBJECT_HANDLE* handles) {
    *found = 0;
    if (!context->functionList) return kNotLoaded;
    CK_FUNCTION_LIST_PTR f = context->functionList;
    CK_RV rv = f->C_FindObjectsInit(context->session, attributes, count);
    if (rv != CKR_OK) {
        LOG(ERROR) << kPrefix << "Cannot initialize objects due to " << rv;
        return rv;
    }
    rv = f->C_FindObjects(context->session, handles, kMaxObjects, found);
    if (rv != CKR_OK) {
        LOG(ERROR) << kPrefix << "Cannot initialize objects due to " << rv;
        f->C_FindObjectsFinal(context->session);
        *found = 0;
        return rv;
    }
    *found = std::min(*found, kMaxObjects);
    // The object dump only informs; corvane-universal reads no attributes for it.
    const bool dump = qtObjectLines();
    if (dump) qInfo() << "Found objects on the smartcard reader";
    for (CK_ULONG i = 0; dump && i < *found; ++i) {
        CK_OBJECT_CLASS objectClass = 0;
        CK_ATTRIBUTE probe[] = {{CKA_CLASS, &objectClass, sizeof objectClass},
                                {CKA_LABEL, nullptr, 0},
                                {CKA_ID, nullptr, 0}};
        CK_RV arv = f->C_GetAttributeValue(context->session, handles[i], probe, 3);
        if (arv != CKR_OK && arv != CKR_ATTRIBUTE_TYPE_INVALID) {
            qWarning().noquote() << "C_GetAttributeValue(size) failed:" << rvStr(arv);
            continue;
        }
        QByteArray label, id;
        if (probe[1].ulValueLen != CK_UNAVAILABLE_INFORMATION && probe[1].ulValueLen > 0) {
            label.resize(static_cast<int>(probe[1].ulValueLen));
            probe[1].pValue = label.data();
        } else {
            probe[1].ulValueLen = 0;
        }
        if (probe[2].ulValueLen != CK_UNAVAILABLE_INFORMATION && probe[2].ulValueLen > 0) {
            id.resize(static_cast<int>(probe[2].ulValueLen));
            probe[2].pValue = id.data();
        } else {
            probe[2].ulValueLen = 0;
        }
        arv = f->C_GetAttributeValue(context->session, handles[i], probe, 3);
        if (arv != CKR_OK && arv != CKR_ATTRIBUTE_TYPE_INVALID) {
            qWarning().noquote() << "C_GetAttributeValue(value) failed:" << rvStr(arv);
            continue;
        }
        label.truncate(static_cast<int>(usableLength(probe[1].ulValueLen, label.size())));
        id.truncate(static_cast<int>(usableLength(probe[2].ulValueLen, id.size())));
        static const char* const classNames[] = {"CKO_DATA", "CKO_CERTIFICATE", "CKO_PUBLIC_KEY",
                                                 "CKO_PRIVATE_KEY", "CKO_SECRET_KEY"};
        const QString className = objectClass <= 4 ? QString(classNames[objectClass])
                                                   : QString("UNKNOWN(%1)").arg(static_cast<qulonglong>(objectClass));
        const QString labelText = QString::fromUtf8(label.constData(), static_cast<int>(strnlen(label.constData(), label.size())));
        qInfo().noquote() << QString("Object=%1  Class=%2  Label=%3  CKA_ID(hex)=%4")
                                 .arg(static_cast<qulonglong>(handles[i]))
                                 .arg(className)
                                 .arg(labelText.isEmpty() ? QString("(no label)") : labelText)
                                 .arg(id.isEmpty() ? QString("(no id)") : QString::fromLatin1(id.toHex()));
    }
    rv = f->C_FindObjectsFinal(context->session);
    if (rv != CKR_OK)
        LOG(ERROR) << kPrefix << "Cannot initialize objects due to " << rv;
    else if (!dump)
        LOG(INFO) << kPrefix << "Retrieved PKCS11 Object successfully";
    return rv;
}

namespace {

// CKA_VALUE, CKA_LABEL and CKA_ID of one object in two calls (lengths, then
// values) instead of two calls each: every call is a round trip to the token,
// and a signing reads every certificate of the slot. False when the module
// refuses the combined read; the caller then reads them one by one.
bool readCertificateAttributes(CK_FUNCTION_LIST_PTR functions, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                               QByteArray* der, QByteArray* label, QByteArray* id) {
    CK_ATTRIBUTE attributes[] = {{CKA_VALUE, nullptr, 0}, {CKA_LABEL, nullptr, 0}, {CKA_ID, nullptr, 0}};
    if (functions->C_GetAttributeValue(session, object, attributes, 3) != CKR_OK) return false;
    QByteArray* values[] = {der, label, id};
    for (int i = 0; i < 3; ++i) {
        if (attributes[i].ulValueLen == CK_UNAVAILABLE_INFORMATION || attributes[i].ulValueLen > kMaxAttributeLength)
            return false;
        values[i]->fill('\0', static_cast<int>(attributes[i].ulValueLen));
        attributes[i].pValue = attributes[i].ulValueLen ? values[i]->data() : nullptr;
    }
    if (functions->C_GetAttributeValue(session, object, attributes, 3) != CKR_OK) return false;
    for (int i = 0; i < 3; ++i)
        values[i]->truncate(static_cast<int>(usableLength(attributes[i].ulValueLen, values[i]->size())));
    return true;
}

// The certificate of `der`, with a reference for the caller (null when the
// bytes are no certificate). OpenSSL 3 decodes a certificate's public key
// through its provider decoders on every d2i_X509, the largest single cost of
// a signing, which reads every certificate of the slot; and a token hands the
// same bytes for the same certificate every time. So parsed certificates are
// kept by their exact DER, a bounded number of them. They are only read after
// parsing, so records on several threads may share one.
X509* parsedCertificate(const QByteArray& der) {
    constexpr std::size_t kMaxKept = 64;
    static std::mutex lock;
    // Never destroyed: what it holds stays reachable until the process ends.
    static auto* kept = new std::map<QByteArray, X509*>;
    if (der.isEmpty()) return nullptr;
    {
        std::lock_guard<std::mutex> hold(lock);
        const auto found = kept->find(der);
        if (found != kept->end()) {
            X509_up_ref(found->second);
            return found->second;
        }
    }
    const auto* cursor = reinterpret_cast<const unsigned char*>(der.constData());
    X509* parsed = d2i_X509(nullptr, &cursor, der.size());
    if (!parsed) return nullptr;
    std::lock_guard<std::mutex> hold(lock);
    if (kept->size() >= kMaxKept) {
        for (auto& entry : *kept) X509_free(entry.second);
        kept->clear();
    }
    const auto placed = kept->emplace(der, parsed);
    if (!placed.second) {  // another thread parsed the same bytes meanwhile
        X509_free(parsed);
        parsed = placed.first->second;
    }
    X509_up_ref(parsed);
    return parsed;
}

}  // namespace

CK_RV buildCertificateObject(SignerContext* context, CK_OBJECT_HANDLE handle, Certificate* certificate) {
    LOG(INFO) << kPrefix << "Checking certificate object " << handle;
    if (!context->functionList) return kNotLoaded;
    QByteArray der, label, id;
    const bool readTogether =
        readCertificateAttributes(context->functionList, context->session, handle, &der, &label, &id);
    CK_RV rv = readTogether ? CKR_OK : readAttribute(context->functionList, context->session, handle, CKA_VALUE, &der);
    if (rv != CKR_OK) {
        LOG(ERROR) << kPrefix << "Cannot retrieve DER value of the certificate due to " << rv;
        return rv;
    }
    initializeOpenSSL();
    X509* parsed = parsedCertificate(der);
    if (!parsed) {
        LOG(ERROR) << kPrefix << "Cannot parse DER value of the certificate object " << handle;
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    tev::x509::pkcs11CertToX509Cert(parsed, certificate);  // the record owns `parsed` now

    if (!readTogether) rv = readAttribute(context->functionList, context->session, handle, CKA_LABEL, &label);
    if (rv != CKR_OK) {
        LOG(ERROR) << kPrefix << "Cannot retrieve label of the certificate due to " << rv;
        return rv;
    }
    certificate->label = CKBYTEtoString(reinterpret_cast<const CK_BYTE*>(label.constData()), label.size());
    LOG(INFO) << kPrefix << "Certificate label: " << certificate->label;

    if (!readTogether) rv = readAttribute(context->functionList, context->session, handle, CKA_ID, &id);
    if (rv != CKR_OK) {
        LOG(ERROR) << kPrefix << "Cannot retrieve ID of the certificate due to " << rv;
        return rv;
    }
    free(certificate->id);
    certificate->id = nullptr;
    certificate->idLength = 0;
    if (!id.isEmpty()) {
        certificate->id = static_cast<unsigned char*>(malloc(static_cast<size_t>(id.size())));
        if (!certificate->id) return CKR_HOST_MEMORY;
        memcpy(certificate->id, id.constData(), static_cast<size_t>(id.size()));
        certificate->idLength = static_cast<std::uint64_t>(id.size());
    }
    LOG(INFO) << kPrefix << "Successfully checked certificate object " << handle;
    return CKR_OK;
}

// ---- signing entry points ---------------------------------------------------------------------

namespace tev {
namespace quessel {
namespace pkcs11 {

int initializeSigningContextForSigning(SignerContext* context) {
    if (context->driverName == kAkisDriver) return 0;
    LOG(INFO) << kPrefix << "Initializing the signing context with PKCS11 driver";
    CK_RV rv = loadPKCS11LibraryDynamically(context);
    if (rv != CKR_OK) {
        LOG(ERROR) << kPrefix << "Cannot load pkcs11 library due to " << rv;
        unloadPKCS11LibraryDynamically(context);
        return moduleWasBusy(context) ? kModuleBusy : static_cast<int>(kNotLoaded);
    }
    const CK_RV initResult = initializePKCS11AfterLoadingLibrary(context);
    if (!context->initialized) {
        LOG(ERROR) << kPrefix << "Cannot initialize pkcs11 library due to " << initResult;
        releaseJob(context);
        return 2;
    }
    rv = openSessionOnProvidedSlotOfSmartCard(context);
    if (rv != CKR_OK) {
        LOG(ERROR) << kPrefix << "Cannot initialize the signing context due to " << rv;
        releaseJob(context);
        return static_cast<int>(rv);
    }
    LOG(INFO) << kPrefix << "Initialized signing context successfully on the smart card";
    return 0;
}

Certificate getCertificateWithProvidedSerialNumber(SignerContext* context, std::string serial) {
    if (context->driverName == kAkisDriver) {
        Certificate certificate = tev::quessel::pcsc::retrieveAKISCertificateWithSerialNumber(context->slotId, serial);
        LOG(INFO) << kPrefix << "Retrieved AKIS certificates with result: " << 0;
        return certificate;
    }
    std::vector<Certificate> certificates;
    const CK_RV rv = getSigningCertificatesOnSlot(context, &certificates);
    if (rv != CKR_OK) {
        LOG(ERROR) << kPrefix << "Cannot retrieve signing certificate - cancelling task";
        releaseJob(context);
        if (moduleWasBusy(context)) throw kModuleBusy;
        throw kCertificateNotFound;
    }
    for (const Certificate& certificate : certificates) {
        if (certificate.serialNumber == serial) return certificate;
    }
    LOG(ERROR) << kPrefix << "No certificate with serial number " << shownText(serial) << " on slot "
               << context->slotId;
    releaseJob(context);
    throw kCertificateNotFound;
}

namespace {

// Whether the certificate's public key verifies what the card made: PKCS#1
// v1.5 over the bytes sent (RSA), or an ECDSA-Sig-Value over the digest (EC).
bool keyOfCertificateMadeSignature(const Certificate& certificate, const QByteArray& data,
                                   const QByteArray& signature) {
    EVP_PKEY* key = certificate.x509 ? X509_get0_pubkey(certificate.x509) : nullptr;  // owned by the certificate
    if (key == nullptr) return false;
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> verifier(EVP_PKEY_CTX_new(key, nullptr),
                                                                          EVP_PKEY_CTX_free);
    if (!verifier || EVP_PKEY_verify_init(verifier.get()) != 1) return false;
    if (EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA &&
        EVP_PKEY_CTX_set_rsa_padding(verifier.get(), RSA_PKCS1_PADDING) != 1)
        return false;
    return EVP_PKEY_verify(verifier.get(), reinterpret_cast<const unsigned char*>(signature.constData()),
                           static_cast<size_t>(signature.size()),
                           reinterpret_cast<const unsigned char*>(data.constData()),
                           static_cast<size_t>(data.size())) == 1;
}

QString akisAlgorithmFor(const Certificate& certificate) {
    if (lower(certificate.publicKeyType).find("ecc") == std::string::npos) return "rsa-with-sha256";
    switch (certificate.publicKeySize) {
        case 128:
            return "ecdsa-with-sha1";
        case 256:
            return "ecdsa-with-sha256";
        case 384:
            return "ecdsa-with-sha384";
        case 512:
            return "ecdsa-with-sha512";
        default:
            return "rsa-with-sha256";
    }
}

}  // namespace

int signDigestWithProvidedSlotAndCertificate(SignerContext* context, tev::quessel::Signature* signature) {
    if (!context->certificate || !signature) {
        LOG(ERROR) << kPrefix << "Cannot sign without a signing certificate";
        releaseJob(context);
        throw kCertificateNotFound;
    }
    Certificate* certificate = context->certificate;
    if (context->driverName == kAkisDriver) {
        LOG(INFO) << kPrefix << "Using AKIS APDU as signer";
        const int result = tev::quessel::pcsc::signWithAKISCertificate(
            context->slotId, context->pin, certificate->serialNumber, akisAlgorithmFor(*certificate),
            signature->data, &signature->signature);
        if (result != 0) {
            LOG(ERROR) << kPrefix << "Cancelling signing due to error code " << result;
            // A request without a PIN, or with one holding a NUL (which the card
            // layer does not send either), is refused as the PKCS#11 road
            // refuses an empty PIN, with the response code itself, which both
            // endpoints answer.
            const bool unusablePin = context->pin.empty() || context->pin.find('\0') != std::string::npos;
            if (result == kWrongPin && unusablePin) throw kWrongPin;
            // PC/SC failures come back as negative ints (0x8010xxxx); keep
            // their 32-bit form rather than a sign-extended 64-bit value.
            throw static_cast<unsigned long>(static_cast<uint32_t>(result));
        }
        // The certificate was read from a card before this signature was made;
        // should another card have taken its place in the reader since (or a
        // card hold a certificate of another key), an answer carrying both
        // would verify nowhere. The next request reads the card again.
        if (!keyOfCertificateMadeSignature(*certificate, signature->data, signature->signature)) {
            LOG(ERROR) << kPrefix << "The signature of the card does not verify with the certificate with serial number "
                       << certificate->serialNumber << "; nothing is answered with it";
            tev::quessel::pcsc::forgetAKISCertificate(certificate->serialNumber);
            signature->signature.clear();
            throw kNoPrivateKeyForCertificate;
        }
        return 0;
    }

    if (certificate->isExpired) {
        LOG(ERROR) << kPrefix << "Cannot sign with an expired certificate with serial number "
                   << certificate->serialNumber;
        releaseJob(context);
        throw kCertificateExpired;
    }
    CK_RV rv = loginToSmartCardAfterStartingSessionOnSlot(context);
    if (!loggedIn(rv)) {
        LOG(ERROR) << kPrefix << "Cancelling signing due to error code " << rv;
        releaseJob(context);
        throwLoginFailure(rv);
    }
    rv = signDataAfterStartSessionLoginToSmartcard(context, signature->data, &signature->signature);
    if (rv != CKR_OK) {
        LOG(ERROR) << kPrefix << "Cannot sign raw data due to " << rv;
        releaseJob(context);
        throw static_cast<unsigned long>(rv);
    }
    LOG(INFO) << kPrefix << "Successfully signed the data";

    rv = logout(context);
    if (rv != CKR_OK) LOG(ERROR) << kPrefix << "Cannot logout from smartcard due to " << rv;
    rv = endSession(context);
    if (rv != CKR_OK) LOG(ERROR) << kPrefix << "Cannot end session due to " << rv;
    rv = finalize(context);
    if (rv != CKR_OK) LOG(ERROR) << kPrefix << "Cannot finalize PKCS11 task due to " << rv;
    rv = unloadPKCS11LibraryDynamically(context);
    if (rv != CKR_OK) LOG(ERROR) << kPrefix << "Cannot unload library due to " << rv;
    return 0;
}

int signPKCS1_Padding_1_5(const std::string& driverName, const QString& modulePath, const std::string& pin,
                          std::string serial, int slotId, const QByteArray& digest, QByteArray* out) {
    auto context = std::make_unique<SignerContext>();
    context->driverName = driverName;
    context->libraryPath = modulePath;
    context->pin = pin;
    context->slotId = slotId;

    initializeSigningContextForSigning(context.get());
    Certificate certificate = getCertificateWithProvidedSerialNumber(context.get(), serial);
    context->certificate = &certificate;

    tev::quessel::Signature signature;
    const std::string keyType = lower(certificate.publicKeyType);
    if (keyType.find("rsa") != std::string::npos) {
        if (digest.size() != 32) {
            LOG(ERROR) << kPrefix << "Cannot sign a digest of " << digest.size()
                       << " bytes with an RSA key - a SHA-256 digest of 32 bytes is expected";
            releaseJob(context.get());
            throw kInvalidDigest;
        }
        const QString digestInfo = tev::asn1::encodeSequenceOf(
            {tev::asn1::encodeSequenceOf(
                 {tev::asn1::encodeObjectIdentifier({2, 16, 840, 1, 101, 3, 4, 2, 1}), tev::asn1::encodeNull()}),
             tev::asn1::encodeOctetString(digest)});
        char* bytes = nullptr;
        int length = 0;
        hexStringToByteArray(digestInfo.toStdString(), &bytes, &length);
        signature.data = QByteArray(bytes, length);
        free(bytes);
    } else if (keyType.find("ecc") != std::string::npos) {
        signature.data = digest;
    } else {
        LOG(ERROR) << kPrefix << "Cannot sign with a key of type \"" << certificate.publicKeyType
                   << "\" - only RSA and ECC keys are supported";
        releaseJob(context.get());
        throw kInvalidCertificate;
    }
    const int result = signDigestWithProvidedSlotAndCertificate(context.get(), &signature);
    *out = signature.signature;
    return result;
}

}  // namespace pkcs11
}  // namespace quessel
}  // namespace tev

// ---- provisioning --------------------------------------------------------------------------------

namespace {

// Load, initialise, session, login; every failure releases what was opened
// and throws (33 module/session, 27/38/39 or the CK_RV for the login).
void openLoggedInJob(SignerContext* context, const char* sessionFailure) {
    if (loadPKCS11LibraryDynamically(context) != CKR_OK)
        throw moduleWasBusy(context) ? kModuleBusy : kCertificateListFailed;
    initializePKCS11AfterLoadingLibrary(context);
    CK_RV rv = openSessionOnProvidedSlotOfSmartCard(context);
    if (rv != CKR_OK) {
        LOG(ERROR) << kPrefix << sessionFailure << rv;
        releaseJob(context);
        throw kCertificateListFailed;
    }
    LOG(INFO) << kPrefix << "Slot ID (0): " << context->slotId;
    LOG(INFO) << kPrefix << "Session handle (0): " << context->session;
    rv = loginToSmartCardAfterStartingSessionOnSlot(context);
    if (!loggedIn(rv)) {
        LOG(ERROR) << kPrefix << "Cancelling signing due to error code " << rv;
        releaseJob(context);
        throwLoginFailure(rv);
    }
}

void openObjectJob(SignerContext* context) {
    openLoggedInJob(context, "Cancelling list of objects - Cannot start session on smart card due to ");
}

// Logout, session, C_Finalize, unload; results do not change the job's result.
void closeJob(SignerContext* context) {
    if (!context->functionList) return;
    logout(context);
    if (context->lease.state && context->lease.state->sessionOpen) endSession(context);
    finalize(context);
    unloadPKCS11LibraryDynamically(context);
}

// A template under construction; values it points to live as long as it does.
class Template {
public:
    void add(CK_ATTRIBUTE_TYPE type, CK_ULONG value) {
        ulongs_.push_back(std::make_unique<CK_ULONG>(value));
        attributes_.push_back({type, ulongs_.back().get(), sizeof(CK_ULONG)});
    }
    void addBool(CK_ATTRIBUTE_TYPE type, bool value) {
        bools_.push_back(std::make_unique<CK_BBOOL>(value ? CK_TRUE : CK_FALSE));
        attributes_.push_back({type, bools_.back().get(), sizeof(CK_BBOOL)});
    }
    void addBytes(CK_ATTRIBUTE_TYPE type, const QByteArray& bytes) {
        blobs_.push_back(std::make_unique<QByteArray>(bytes));
        QByteArray& kept = *blobs_.back();
        attributes_.push_back({type, kept.isEmpty() ? nullptr : kept.data(), static_cast<CK_ULONG>(kept.size())});
    }
    CK_ATTRIBUTE* data() { return attributes_.data(); }
    CK_ULONG size() const { return static_cast<CK_ULONG>(attributes_.size()); }

private:
    std::vector<CK_ATTRIBUTE> attributes_;
    std::vector<std::unique_ptr<CK_ULONG>> ulongs_;
    std::vector<std::unique_ptr<CK_BBOOL>> bools_;
    std::vector<std::unique_ptr<QByteArray>> blobs_;
};

Template publicKeyTemplate(const QByteArray& ckaId, const QString& label, const QByteArray& modulus,
                           const QByteArray& publicExponent) {
    Template t;
    t.add(CKA_CLASS, CKO_PUBLIC_KEY);
    t.add(CKA_KEY_TYPE, CKK_RSA);
    t.addBool(CKA_TOKEN, true);
    t.addBool(CKA_PRIVATE, false);
    t.addBool(CKA_VERIFY, true);  // CKA_SIGN is no public-key attribute
    t.addBytes(CKA_ID, ckaId);
    t.addBytes(CKA_LABEL, label.toUtf8());
    t.addBytes(CKA_MODULUS, modulus);
    t.addBytes(CKA_PUBLIC_EXPONENT, publicExponent);
    return t;
}

Template privateKeyTemplate(const QByteArray& ckaId, const QString& label, const QByteArray& prime1,
                            const QByteArray& prime2, const QByteArray& exponent1, const QByteArray& exponent2,
                            const QByteArray& coefficient, const QByteArray& privateModulus,
                            const QByteArray& privateExponent, const QByteArray& publicExponent = QByteArray()) {
    Template t;
    t.add(CKA_CLASS, CKO_PRIVATE_KEY);
    t.add(CKA_KEY_TYPE, CKK_RSA);
    t.addBool(CKA_TOKEN, true);
    t.addBool(CKA_PRIVATE, true);
    t.addBool(CKA_SIGN, true);
    t.addBytes(CKA_ID, ckaId);
    t.addBytes(CKA_LABEL, label.toUtf8());
    t.addBytes(CKA_PRIME_1, prime1);
    t.addBytes(CKA_PRIME_2, prime2);
    t.addBytes(CKA_EXPONENT_1, exponent1);
    t.addBytes(CKA_EXPONENT_2, exponent2);
    t.addBytes(CKA_COEFFICIENT, coefficient);
    t.addBytes(CKA_MODULUS, privateModulus);
    // PKCS#11 requires it for an RSA private key made with C_CreateObject.
    if (!privateExponent.isEmpty()) t.addBytes(CKA_PRIVATE_EXPONENT, privateExponent);
    // Modules that blind RSA operations (SoftHSM over OpenSSL 3) cannot sign
    // with a private key that lacks its public exponent.
    if (!publicExponent.isEmpty()) t.addBytes(CKA_PUBLIC_EXPONENT, publicExponent);
    return t;
}

CK_RV createObject(SignerContext* context, Template& t, CK_OBJECT_HANDLE* handle) {
    CK_OBJECT_HANDLE created = 0;
    const CK_RV rv = context->functionList->C_CreateObject(context->session, t.data(), t.size(), &created);
    if (handle) *handle = created;
    return rv;
}

bool splitCertificate(const QByteArray& der, QByteArray* subject, QByteArray* issuer, QByteArray* serial) {
    if (!tev::x509::extractSubjectIssuerSerialDerFromCertDer(der, subject, issuer, serial) || subject->isEmpty() ||
        issuer->isEmpty() || serial->isEmpty()) {
        LOG(ERROR) << kPrefix << "Cannot extract SUBJECT/ISSUER/SERIAL from certificate DER";
        return false;
    }
    return true;
}

// Creates the two keys of a pair; 0 or the failing C_CreateObject's CK_RV.
CK_RV createKeyPair(SignerContext* context, const QByteArray& ckaId, const QString& label, const QByteArray& modulus,
                    const QByteArray& publicExponent, const QByteArray& prime1, const QByteArray& prime2,
                    const QByteArray& exponent1, const QByteArray& exponent2, const QByteArray& coefficient,
                    const QByteArray& privateModulus, const QByteArray& privateExponent) {
    Template pub = publicKeyTemplate(ckaId, label + "-public", modulus, publicExponent);
    CK_RV rv = createObject(context, pub, nullptr);
    if (rv != CKR_OK) {
        qDebug().nospace() << "!! cannot import public key due to error code " << rv;
        return rv;
    }
    qDebug() << "Imported public key successfully";
    Template priv = privateKeyTemplate(ckaId, label + "-private", prime1, prime2, exponent1, exponent2,
                                       coefficient, privateModulus, privateExponent, publicExponent);
    rv = createObject(context, priv, nullptr);
    if (rv != CKR_OK) {
        qDebug().nospace() << "!! cannot import private key due to error code " << rv;
        return rv;
    }
    qDebug() << "Imported private key successfully";
    return CKR_OK;
}

}  // namespace

namespace tev {
namespace quessel {
namespace pkcs11 {

int storeRsaPublicKey(SignerContext* context, const QByteArray& ckaId, const QString& label,
                      const QByteArray& modulus, const QByteArray& publicExponent) {
    openObjectJob(context);
    Template t = publicKeyTemplate(ckaId, label, modulus, publicExponent);
    const CK_RV rv = createObject(context, t, nullptr);
    closeJob(context);
    return static_cast<int>(rv);
}

int storeRsaPrivateKey(SignerContext* context, const QByteArray& ckaId, const QString& label,
                       const QByteArray& prime1, const QByteArray& prime2, const QByteArray& exponent1,
                       const QByteArray& exponent2, const QByteArray& coefficient,
                       const QByteArray& privateModulus, const QByteArray& privateExponent) {
    openObjectJob(context);
    Template t = privateKeyTemplate(ckaId, label, prime1, prime2, exponent1, exponent2, coefficient,
                                    privateModulus, privateExponent);
    const CK_RV rv = createObject(context, t, nullptr);
    closeJob(context);
    return static_cast<int>(rv);
}

int storeRsaKeyPair(SignerContext* context, const QByteArray& ckaId, const QString& label,
                    const QByteArray& modulus, const QByteArray& publicExponent, const QByteArray& prime1,
                    const QByteArray& prime2, const QByteArray& exponent1, const QByteArray& exponent2,
                    const QByteArray& coefficient, const QByteArray& privateModulus,
                    const QByteArray& privateExponent) {
    openObjectJob(context);
    const CK_RV rv = createKeyPair(context, ckaId, label, modulus, publicExponent, prime1, prime2, exponent1,
                                   exponent2, coefficient, privateModulus, privateExponent);
    if (rv == CKR_OK) qDebug() << "Successfully completed importing of the key pair";
    closeJob(context);
    return static_cast<int>(rv);
}

int storeRsaKeyPairAndCertificate(SignerContext* context, const QByteArray& ckaId, const QString& label,
                                  const QByteArray& modulus, const QByteArray& publicExponent,
                                  const QByteArray& prime1, const QByteArray& prime2, const QByteArray& exponent1,
                                  const QByteArray& exponent2, const QByteArray& coefficient,
                                  const QByteArray& privateModulus, const QByteArray& privateExponent,
                                  const QByteArray& certificateDer) {
    openObjectJob(context);
    // A certificate that cannot be read must not leave two keys behind.
    QByteArray subject, issuer, serial;
    if (!splitCertificate(certificateDer, &subject, &issuer, &serial)) {
        closeJob(context);
        return kCannotSplitCertificate;
    }
    CK_RV rv = createKeyPair(context, ckaId, label, modulus, publicExponent, prime1, prime2, exponent1, exponent2,
                             coefficient, privateModulus, privateExponent);
    if (rv == CKR_OK) {
        Template t;
        t.add(CKA_CLASS, CKO_CERTIFICATE);
        t.add(CKA_CERTIFICATE_TYPE, CKC_X_509);
        t.addBool(CKA_TOKEN, true);
        t.addBytes(CKA_ID, ckaId);
        t.addBytes(CKA_LABEL, (label + "-certificate").toUtf8());
        t.addBytes(CKA_VALUE, certificateDer);
        t.addBytes(CKA_SUBJECT, subject);  // required for an X.509 certificate object
        rv = createObject(context, t, nullptr);
        if (rv != CKR_OK) {
            qDebug().nospace() << "!! cannot import certificate object due to error code " << rv;
        } else {
            qDebug() << "Imported certificate object successfully";
            qDebug() << "Successfully completed importing of the key pair and certificate";
        }
    }
    closeJob(context);
    return static_cast<int>(rv);
}

int storeRsaCertificate(SignerContext* context, const QByteArray& ckaId, const QString& label,
                        const QByteArray& certificateDer) {
    openObjectJob(context);
    QByteArray subject, issuer, serial;
    if (!splitCertificate(certificateDer, &subject, &issuer, &serial)) {
        closeJob(context);
        return kCannotSplitCertificate;
    }
    Template t;
    t.add(CKA_CLASS, CKO_CERTIFICATE);
    t.add(CKA_CERTIFICATE_TYPE, CKC_X_509);
    t.addBool(CKA_TOKEN, true);
    t.addBool(CKA_PRIVATE, false);
    t.addBytes(CKA_ID, ckaId);
    t.addBytes(CKA_LABEL, (label + "-certificate").toUtf8());
    t.addBytes(CKA_SUBJECT, subject);
    t.addBytes(CKA_ISSUER, issuer);
    t.addBytes(CKA_SERIAL_NUMBER, serial);
    t.addBytes(CKA_VALUE, certificateDer);
    CK_OBJECT_HANDLE created = 0;
    const CK_RV rv = createObject(context, t, &created);
    closeJob(context);
    return static_cast<int>(rv);
}

int generateRsaKeyPair(SignerContext* context, const QByteArray& ckaId, const QString& label,
                       QByteArray* modulusOut, QByteArray* exponentOut) {
    openObjectJob(context);
    Template pub;
    pub.add(CKA_CLASS, CKO_PUBLIC_KEY);
    pub.add(CKA_KEY_TYPE, CKK_RSA);
    pub.addBool(CKA_TOKEN, true);
    pub.addBool(CKA_PRIVATE, false);
    pub.addBytes(CKA_LABEL, (label + "-publickey").toUtf8());
    pub.addBytes(CKA_ID, ckaId);
    pub.addBool(CKA_ENCRYPT, true);
    pub.addBool(CKA_VERIFY, true);
    pub.addBool(CKA_WRAP, false);
    pub.add(CKA_MODULUS_BITS, 2048);
    pub.addBytes(CKA_PUBLIC_EXPONENT, QByteArray::fromHex("010001"));
    Template priv;
    priv.add(CKA_CLASS, CKO_PRIVATE_KEY);
    priv.add(CKA_KEY_TYPE, CKK_RSA);
    priv.addBool(CKA_TOKEN, true);
    priv.addBool(CKA_PRIVATE, true);
    priv.addBytes(CKA_LABEL, (label + "-privatekey").toUtf8());
    priv.addBytes(CKA_ID, ckaId);
    priv.addBool(CKA_SENSITIVE, true);
    priv.addBool(CKA_EXTRACTABLE, false);
    priv.addBool(CKA_SIGN, true);
    priv.addBool(CKA_DECRYPT, true);
    priv.addBool(CKA_UNWRAP, false);

    CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
    CK_RV rv = context->functionList->C_GenerateKeyPair(context->session, &mechanism, pub.data(), pub.size(),
                                                        priv.data(), priv.size(), &publicKey, &privateKey);
    if (rv != CKR_OK) {
        qWarning().nospace() << "Cannot generate key pair on the smartcard reader due to error with code " << rv;
        closeJob(context);
        return static_cast<int>(rv);
    }
    qInfo() << "Generated key pair successfully on the smartcard reader";

    CK_ATTRIBUTE readBack[] = {{CKA_MODULUS, nullptr, 0}, {CKA_PUBLIC_EXPONENT, nullptr, 0}};
    rv = context->functionList->C_GetAttributeValue(context->session, publicKey, readBack, 2);
    if (rv == CKR_OK &&
        (readBack[0].ulValueLen == CK_UNAVAILABLE_INFORMATION || readBack[1].ulValueLen == CK_UNAVAILABLE_INFORMATION ||
         readBack[0].ulValueLen > INT_MAX || readBack[1].ulValueLen > INT_MAX))
        rv = CKR_ATTRIBUTE_SENSITIVE;
    QByteArray modulus, exponent;
    if (rv == CKR_OK) {
        modulus.resize(static_cast<int>(readBack[0].ulValueLen));
        exponent.resize(static_cast<int>(readBack[1].ulValueLen));
        readBack[0].pValue = modulus.isEmpty() ? nullptr : modulus.data();
        readBack[1].pValue = exponent.isEmpty() ? nullptr : exponent.data();
        rv = context->functionList->C_GetAttributeValue(context->session, publicKey, readBack, 2);
    }
    if (rv != CKR_OK) {
        qWarning().nospace() << "Cannot retrieve generated public key from smartcard reader due to error with code "
                             << rv;
        closeJob(context);
        return static_cast<int>(rv);
    }
    modulus.truncate(static_cast<int>(usableLength(readBack[0].ulValueLen, modulus.size())));
    exponent.truncate(static_cast<int>(usableLength(readBack[1].ulValueLen, exponent.size())));
    qInfo() << "Read public key from smartcard reader successfully";
    modulusOut->append(modulus);
    exponentOut->append(exponent);
    qInfo() << "Public Modulus len =" << modulusOut->size();
    qInfo().noquote() << "Public Exponent =" << exponentOut->toHex();
    closeJob(context);
    return 0;
}

// ---- object listing and removal -----------------------------------------------------------------

int verifyPIN(SignerContext* context) {
    if (loadPKCS11LibraryDynamically(context) != CKR_OK)
        throw moduleWasBusy(context) ? kModuleBusy : kCertificateListFailed;
    initializePKCS11AfterLoadingLibrary(context);
    CK_RV rv = openSessionOnProvidedSlotOfSmartCard(context);
    if (rv != CKR_OK) {
        LOG(ERROR) << kPrefix << "Cancelling login - Cannot start session on smart card due to " << rv;
        releaseJob(context);
        throw kCertificateListFailed;
    }
    LOG(INFO) << kPrefix << "Slot ID (0): " << context->slotId;
    LOG(INFO) << kPrefix << "Session handle (0): " << context->session;
    rv = loginToSmartCardAfterStartingSessionOnSlot(context);
    if (!loggedIn(rv)) {
        LOG(ERROR) << kPrefix << "Cannot login due to error code " << rv;
        releaseJob(context);
        return static_cast<int>(rv);
    }
    closeJob(context);
    return 0;
}

int listAllObjectsWithLogin(SignerContext* context) {
    openObjectJob(context);
    std::vector<CK_OBJECT_HANDLE> handles(kMaxObjects, 0);
    CK_BBOOL onToken = CK_TRUE;
    CK_ATTRIBUTE attributes[] = {{CKA_TOKEN, &onToken, sizeof onToken}};
    CK_ULONG found = 0;
    const CK_RV rv = findPKCS11Object(context, attributes, 1, &found, handles.data());
    if (rv != CKR_OK) {
        LOG(ERROR) << kPrefix << "Cannot retrieve the list of objects from smartcard";
        closeJob(context);
        return static_cast<int>(rv);
    }
    LOG(INFO) << kPrefix << "Number of objects found on slot " << found;
    if (qtObjectLines()) qInfo().nospace() << "Number of objects found on slot " << found;
    closeJob(context);
    return 0;
}

int destroyAllObjects(SignerContext* context) {
    openObjectJob(context);
    std::vector<CK_OBJECT_HANDLE> handles(kMaxObjects, 0);
    CK_BBOOL onToken = CK_TRUE;
    CK_ATTRIBUTE attributes[] = {{CKA_TOKEN, &onToken, sizeof onToken}};
    CK_ULONG found = 0;
    CK_RV rv = findPKCS11Object(context, attributes, 1, &found, handles.data());
    if (rv != CKR_OK) {
        LOG(ERROR) << kPrefix << "Cannot retrieve the list of objects from smartcard";
        closeJob(context);
        return static_cast<int>(rv);
    }
    LOG(INFO) << kPrefix << "Number of objects found at slot " << found;
    qDebug().nospace() << "Number of objects found at slot " << found;
    qDebug() << "Destroying objects at thee slot";
    CK_RV firstFailure = CKR_OK;
    for (CK_ULONG i = 0; i < found; ++i) {
        qDebug().nospace() << "Detroying object with index " << i;
        rv = context->functionList->C_DestroyObject(context->session, handles[i]);
        if (rv != CKR_OK) {
            qDebug().nospace() << "Warning !! - Cannot destroy object at index " << i;
            if (firstFailure == CKR_OK) firstFailure = rv;
        } else {
            qDebug().nospace() << "Successfully destroyed object at index " << i;
        }
    }
    closeJob(context);
    return static_cast<int>(firstFailure);
}

}  // namespace pkcs11
}  // namespace quessel
}  // namespace tev

namespace {

// Destroys every token object with that CKA_ID, 64 handles at a time. A
// failed C_DestroyObject does not stop the walk, but it is what the caller
// hears: an object that is still on the token must not be reported as gone.
CK_RV destroyObjectsWithId(SignerContext* context, const QByteArray& ckaId) {
    CK_FUNCTION_LIST_PTR f = context->functionList;
    CK_BBOOL onToken = CK_TRUE;
    QByteArray id = ckaId;
    CK_ATTRIBUTE attributes[] = {{CKA_TOKEN, &onToken, sizeof onToken},
                                 {CKA_ID, id.data(), static_cast<CK_ULONG>(id.size())}};
    CK_RV rv = f->C_FindObjectsInit(context->session, attributes, 2);
    if (rv != CKR_OK) return rv;
    CK_RV firstFailure = CKR_OK;
    for (;;) {
        CK_OBJECT_HANDLE batch[64];
        CK_ULONG count = 0;
        rv = f->C_FindObjects(context->session, batch, 64, &count);
        if (rv != CKR_OK) {
            f->C_FindObjectsFinal(context->session);
            return firstFailure != CKR_OK ? firstFailure : rv;
        }
        if (count == 0) {
            rv = f->C_FindObjectsFinal(context->session);
            return firstFailure != CKR_OK ? firstFailure : rv;
        }
        for (CK_ULONG i = 0; i < std::min<CK_ULONG>(count, 64); ++i) {
            const CK_RV destroyed = f->C_DestroyObject(context->session, batch[i]);
            if (destroyed == CKR_OK) {
                qDebug() << "Destroyed handle" << batch[i];
            } else {
                qDebug().nospace() << "Cannot destroy handle " << batch[i] << " rv=" << destroyed;
                if (firstFailure == CKR_OK) firstFailure = destroyed;
            }
        }
    }
}

}  // namespace

namespace tev {
namespace quessel {
namespace pkcs11 {

int destroyAllObjectsWitkCkaId(SignerContext* context, const QByteArray& ckaId) {
    if (ckaId.isEmpty()) {
        // An empty CKA_ID matches every object that has none.
        LOG(ERROR) << kPrefix << "Refusing to destroy objects without a CKA_ID";
        return static_cast<int>(CKR_ARGUMENTS_BAD);
    }
    openObjectJob(context);
    const CK_RV rv = destroyObjectsWithId(context, ckaId);
    closeJob(context);
    return static_cast<int>(rv);
}

int destroyCertificateObjectsWithCertificateSerialNumber(SignerContext* context, std::string serialNumber) {
    openObjectJob(context);
    const QByteArray ckaId = getCkaIdByCertificateSerialDecimal(context->functionList, context->session,
                                                                QString::fromStdString(serialNumber));
    qInfo().noquote().nospace() << "++++++ Found CKA_ID: " << ckaId.toBase64();
    if (ckaId.isEmpty()) {
        LOG(ERROR) << kPrefix << "No certificate with serial number " << serialNumber
                   << " and a CKA_ID on the token - nothing is removed";
        closeJob(context);
        return static_cast<int>(CKR_OK);
    }
    const CK_RV rv = destroyObjectsWithId(context, ckaId);
    closeJob(context);
    return static_cast<int>(rv);
}

}  // namespace pkcs11
}  // namespace quessel
}  // namespace tev

namespace {

// DER INTEGER of the leading decimal number of `text` ("-" allowed), empty
// when the text does not start with one.
QByteArray serialDerFromDecimal(const QString& text) {
    const QByteArray digits = text.toLatin1();
    BIGNUM* number = nullptr;
    if (BN_dec2bn(&number, digits.constData()) == 0 || !number) {
        BN_free(number);
        return QByteArray();
    }
    QByteArray der;
    ASN1_INTEGER* integer = BN_to_ASN1_INTEGER(number, nullptr);
    if (integer) {
        unsigned char* out = nullptr;
        const int length = i2d_ASN1_INTEGER(integer, &out);
        if (length > 0) der = QByteArray(reinterpret_cast<const char*>(out), length);
        OPENSSL_free(out);
        ASN1_INTEGER_free(integer);
    }
    BN_free(number);
    return der;
}

QByteArray serialDerOfObject(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object) {
    QByteArray serial;
    if (readAttribute(f, session, object, CKA_SERIAL_NUMBER, &serial) == CKR_OK && !serial.isEmpty()) return serial;
    QByteArray value;
    if (readAttribute(f, session, object, CKA_VALUE, &value) != CKR_OK || value.isEmpty()) return QByteArray();
    const auto* cursor = reinterpret_cast<const unsigned char*>(value.constData());
    X509* certificate = d2i_X509(nullptr, &cursor, value.size());
    if (!certificate) return QByteArray();
    unsigned char* out = nullptr;
    const int length = i2d_ASN1_INTEGER(X509_get_serialNumber(certificate), &out);
    if (length > 0) serial = QByteArray(reinterpret_cast<const char*>(out), length);
    OPENSSL_free(out);
    X509_free(certificate);
    return serial;
}

}  // namespace

QByteArray getCkaIdByCertificateSerialDecimal(CK_FUNCTION_LIST_PTR functionList, CK_SESSION_HANDLE session,
                                              const QString& serialDecimal) {
    const QString trimmed = serialDecimal.trimmed();
    if (!functionList || session == 0 || trimmed.isEmpty()) return QByteArray();
    const QByteArray wanted = serialDerFromDecimal(trimmed);
    if (wanted.isEmpty()) return QByteArray();

    CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE certificateType = CKC_X_509;
    CK_ATTRIBUTE attributes[] = {{CKA_CLASS, &certificateClass, sizeof certificateClass},
                                 {CKA_CERTIFICATE_TYPE, &certificateType, sizeof certificateType}};
    if (functionList->C_FindObjectsInit(session, attributes, 2) != CKR_OK) return QByteArray();
    for (;;) {
        CK_OBJECT_HANDLE object = 0;
        CK_ULONG count = 0;
        if (functionList->C_FindObjects(session, &object, 1, &count) != CKR_OK || count == 0) {
            functionList->C_FindObjectsFinal(session);
            return QByteArray();
        }
        if (serialDerOfObject(functionList, session, object) == wanted) {
            QByteArray id;
            readAttribute(functionList, session, object, CKA_ID, &id);
            functionList->C_FindObjectsFinal(session);
            return id;
        }
    }
}

// ---- diagnostics ---------------------------------------------------------------------------------

namespace tev {
namespace quessel {
namespace pkcs11 {

int getTokenInfo(SignerContext* context, TokenInfo* info) {
    if (loadPKCS11LibraryDynamically(context) != CKR_OK) return static_cast<int>(kNotLoaded);
    initializePKCS11AfterLoadingLibrary(context);
    CK_TOKEN_INFO token;
    memset(&token, 0, sizeof token);
    CK_RV rv = CKR_CRYPTOKI_NOT_INITIALIZED;
    if (context->initialized)
        rv = context->functionList->C_GetTokenInfo(static_cast<CK_SLOT_ID>(static_cast<long>(context->slotId)),
                                                   &token);
    info->label = utf8(pkcs11FieldToQString(token.label, sizeof token.label));
    info->manufacturerID = utf8(pkcs11FieldToQString(token.manufacturerID, sizeof token.manufacturerID));
    info->serialNumber = utf8(pkcs11FieldToQString(token.serialNumber, sizeof token.serialNumber));
    info->model = utf8(pkcs11FieldToQString(token.model, sizeof token.model));
    finalize(context);
    unloadPKCS11LibraryDynamically(context);
    return static_cast<int>(rv);
}

}  // namespace pkcs11
}  // namespace quessel
}  // namespace tev

namespace {

// What a diagnostic worker may use after its caller stopped waiting: its own
// share of the module and a copy of the function list.
struct WorkerModule {
    std::shared_ptr<tev::quessel::pkcs11::detail::LoadedModule> module;
    CK_FUNCTION_LIST_PTR functions = nullptr;

    // Called while the caller still waits, before it is told the work is
    // done: the caller's context holds the module then, so this never
    // unloads it. A share kept until the worker returns would outlive the
    // job, and the module would then be unloaded later, on this thread,
    // after the caller's unload had already reported it gone.
    void handBack() {
        module.reset();
        functions = nullptr;
    }
};

WorkerModule workerModuleOf(SignerContext* context) {
    WorkerModule w;
    if (context && context->lease.state) w.module = context->lease.state->module;
    w.functions = context ? context->functionList : nullptr;
    return w;
}

}  // namespace

void* asyncGetTokenInfo(void* taskPointer) {
    auto* task = static_cast<tev::thread::AsyncTask*>(taskPointer);
    WorkerModule module;
    CK_SLOT_ID slot = 0;
    bool started = false;
    pthread_mutex_lock(&task->mutex);
    if (!task->abandoned) {
        auto* args = static_cast<TokenInfoTaskArgs*>(task->argument);
        module = workerModuleOf(args->context);
        slot = args->slotId;
        started = true;
    }
    pthread_mutex_unlock(&task->mutex);
    if (!started) return nullptr;
    CK_TOKEN_INFO token;
    memset(&token, 0, sizeof token);
    const CK_RV rv = module.functions ? module.functions->C_GetTokenInfo(slot, &token) : kNotLoaded;
    tev::thread::completeAsyncTask(task, [&] {
        auto* args = static_cast<TokenInfoTaskArgs*>(task->argument);
        if (args->tokenInfo) *args->tokenInfo = token;
        args->result = rv;
        module.handBack();
    });
    return nullptr;
}

void asyncGetTokenInfoTimeout(void* taskPointer) {
    auto* task = static_cast<tev::thread::AsyncTask*>(taskPointer);
    auto* args = static_cast<TokenInfoTaskArgs*>(task->argument);
    LOG(INFO) << kPrefix << "Timeout - Cannot retrieve TokenInfo for "
              << (args->context ? args->context->driverName : std::string()) << " at slot " << args->slotId;
    task->done = false;
}

void* asyncListSlotsAfterLoadingLibrary(void* taskPointer) {
    auto* task = static_cast<tev::thread::AsyncTask*>(taskPointer);
    WorkerModule module;
    std::string driverName;
    QString libraryPath;
    bool started = false;
    pthread_mutex_lock(&task->mutex);
    if (!task->abandoned) {
        auto* args = static_cast<SlotListTaskArgs*>(task->argument);
        module = workerModuleOf(args->context);
        driverName = args->context ? args->context->driverName : std::string();
        libraryPath = args->context ? args->context->libraryPath : QString();
        started = true;
    }
    pthread_mutex_unlock(&task->mutex);
    if (!started) return nullptr;

    std::vector<PKCS11Card> cards;
    CK_RV result = kNotLoaded;
    CK_FUNCTION_LIST_PTR f = module.functions;
    if (f) {
        CK_ULONG count = 0;
        result = f->C_GetSlotList(CK_TRUE, nullptr, &count);
        std::vector<CK_SLOT_ID> slotIds(count);
        if (result == CKR_OK) result = f->C_GetSlotList(CK_TRUE, slotIds.data(), &count);
        if (result == CKR_OK) {
            slotIds.resize(std::min<size_t>(count, slotIds.size()));
            for (CK_SLOT_ID slot : slotIds) {
                CK_SLOT_INFO slotInfo;
                memset(&slotInfo, 0, sizeof slotInfo);
                result = f->C_GetSlotInfo(slot, &slotInfo);
                if (result != CKR_OK) continue;
                CK_TOKEN_INFO token;
                memset(&token, 0, sizeof token);
                result = f->C_GetTokenInfo(slot, &token);
                if (result != CKR_OK) continue;
                PKCS11Card card;
                card.cardName = CKUTF8CHARtoString(slotInfo.slotDescription, sizeof slotInfo.slotDescription);
                card.label = CKUTF8CHARtoString(token.label, sizeof token.label);
                card.driverPath = libraryPath;
                card.library = driverName;
                card.slotId = static_cast<int>(slot);
                LOG(INFO) << kPrefix << "Added token on slot " << slot << " with library " << shownText(driverName);
                LOG(INFO) << kPrefix << "------------- SLOT INFO ----------------";
                LOG(INFO) << kPrefix << "Card Type: " << card.cardName;
                LOG(INFO) << kPrefix << "Driver: " << shownText(card.library);
                LOG(INFO) << kPrefix << "Driver Path: " << shownText(utf8(card.driverPath));
                LOG(INFO) << kPrefix << "Label: " << card.label;
                LOG(INFO) << kPrefix << "Slot ID: " << slot;
                LOG(INFO) << kPrefix << "----------------------------------------";
                cards.push_back(card);
            }
        }
    }
    tev::thread::completeAsyncTask(task, [&] {
        auto* args = static_cast<SlotListTaskArgs*>(task->argument);
        if (args->cards) args->cards->insert(args->cards->end(), cards.begin(), cards.end());
        args->result = static_cast<int>(result);
        module.handBack();
    });
    return nullptr;
}

void asyncListSlotsAfterLoadingLibraryTimeout(void* taskPointer) {
    auto* task = static_cast<tev::thread::AsyncTask*>(taskPointer);
    auto* args = static_cast<SlotListTaskArgs*>(task->argument);
    LOG(INFO) << kPrefix << "Timeout - Cannot list slots in the pkcs11 library "
              << (args->context ? args->context->driverName : std::string());
    task->done = false;
}

void printSlots(SignerContext* context) {
    initializePKCS11AfterLoadingLibrary(context);
    if (!context->functionList) return;
    CK_ULONG count = 0;
    CK_RV rv = context->functionList->C_GetSlotList(CK_TRUE, nullptr, &count);
    checkReturnValue(rv, "get slot list");
    if (rv != CKR_OK) count = 0;
    printf("slot count: %d\n", static_cast<int>(count));
    std::vector<CK_SLOT_ID> slotIds(count);
    if (count > 0) context->functionList->C_GetSlotList(CK_TRUE, slotIds.data(), &count);
    slotIds.resize(std::min<size_t>(count, slotIds.size()));
    for (CK_SLOT_ID slot : slotIds) {
        CK_SLOT_INFO info;
        memset(&info, 0, sizeof info);
        context->functionList->C_GetSlotInfo(slot, &info);
        printf("Slot ID: %lu Slot Description: %.64s\n", static_cast<unsigned long>(slot),
               reinterpret_cast<const char*>(info.slotDescription));
        fflush(stdout);
    }
}

CK_RV showKeyInfo(SignerContext* context, CK_OBJECT_HANDLE handle) {
    if (!context->functionList) return kNotLoaded;
    char label[80];
    CK_BYTE id[1];
    CK_ATTRIBUTE attributes[] = {{CKA_LABEL, label, sizeof label}, {CKA_ID, id, sizeof id}};
    const CK_RV rv = context->functionList->C_GetAttributeValue(context->session, handle, attributes, 2);
    checkReturnValue(rv, "get attribute value");
    if (rv != CKR_OK) {
        LOG(ERROR) << "Cannot retrieve signing certificate key info due to " << rv;
        return rv;
    }
    const CK_ULONG labelLength = usableLength(attributes[0].ulValueLen, sizeof label);
    if (labelLength > 0) {
        printf("\tKey label: %.*s\n", static_cast<int>(labelLength), label);
    } else {
        printf("\tKey label too large, or not found\n");
    }
    if (usableLength(attributes[1].ulValueLen, sizeof id) > 0) {
        printf("\tKey ID: %02x\n", id[0]);
    } else {
        printf("\tKey id too large, or not found\n");
    }
    fflush(stdout);
    return rv;
}

CK_RV readPrivateKeys(SignerContext* context) {
    if (!context->functionList) return kNotLoaded;
    CK_FUNCTION_LIST_PTR f = context->functionList;
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE attributes[] = {{CKA_CLASS, &keyClass, sizeof keyClass}};
    checkReturnValue(f->C_FindObjectsInit(context->session, attributes, 1), "Find objects init");
    CK_OBJECT_HANDLE key = 0;
    CK_ULONG count = 0;
    CK_RV rv = f->C_FindObjects(context->session, &key, 1, &count);
    checkReturnValue(rv, "Find first object");
    if (rv != CKR_OK) count = 0;
    while (count > 0) {
        showKeyInfo(context, key);
        rv = f->C_FindObjects(context->session, &key, 1, &count);
        checkReturnValue(rv, "Find other objects");
        if (rv != CKR_OK) count = 0;
    }
    rv = f->C_FindObjectsFinal(context->session);
    checkReturnValue(rv, "Find objects final");
    return rv;
}

CK_RV getPublicKey(SignerContext* context, CK_BYTE* ckaId, size_t ckaIdLength, CK_OBJECT_HANDLE* key) {
    if (!context->functionList) return kNotLoaded;
    CK_FUNCTION_LIST_PTR f = context->functionList;
    CK_OBJECT_CLASS keyClass = CKO_PUBLIC_KEY;
    CK_ATTRIBUTE attributes[] = {{CKA_CLASS, &keyClass, sizeof keyClass},
                                 {CKA_ID, ckaId, static_cast<CK_ULONG>(ckaIdLength)}};
    checkReturnValue(f->C_FindObjectsInit(context->session, attributes, 2), "Find objects init");
    CK_ULONG count = 0;
    const CK_RV rv = f->C_FindObjects(context->session, key, 1, &count);
    checkReturnValue(rv, "Find first object");
    f->C_FindObjectsFinal(context->session);
    if (rv == CKR_OK && count > 0) return CKR_OK;
    LOG(ERROR) << "Public key not found";
    return 42;
}

int verifyData(SignerContext* context, const char* data, int dataLength, const char* signature,
               int signatureLength) {
    CK_BYTE id = 0x40;
    CK_OBJECT_HANDLE key = 0;
    const CK_RV found = getPublicKey(context, &id, 1, &key);
    if (found != CKR_OK) return static_cast<int>(found);
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    CK_RV rv = context->functionList->C_VerifyInit(context->session, &mechanism, key);
    checkReturnValue(rv, "verify init");
    if (rv != CKR_OK) return static_cast<int>(rv);
    rv = context->functionList->C_Verify(
        context->session, reinterpret_cast<CK_BYTE_PTR>(const_cast<char*>(data)),
        static_cast<CK_ULONG>(std::max(dataLength, 0)),
        reinterpret_cast<CK_BYTE_PTR>(const_cast<char*>(signature)),
        static_cast<CK_ULONG>(std::max(signatureLength, 0)));
    checkReturnValue(rv, "verify");
    if (rv == CKR_OK) {
        printf("The signature is valid\n");
        fflush(stdout);
    }
    return static_cast<int>(rv);
}

CK_RV getPrivateKeyAttributes(SignerContext* context, CK_OBJECT_HANDLE* handle) {
    if (!context->functionList || !handle) return kNotLoaded;
    char label[80];
    CK_BYTE id[10];
    CK_ATTRIBUTE attributes[] = {{CKA_LABEL, label, sizeof label}, {CKA_ID, id, sizeof id}};
    const CK_RV rv = context->functionList->C_GetAttributeValue(context->session, *handle, attributes, 2);
    if (rv != CKR_OK) return rv;
    const CK_ULONG labelLength = usableLength(attributes[0].ulValueLen, sizeof label);
    if (labelLength > 0) {
        LOG(INFO) << kPrefix << "Key Label: " << CKBYTEtoString(reinterpret_cast<CK_BYTE*>(label), static_cast<int>(labelLength));
    } else {
        LOG(INFO) << kPrefix << "Key label too large, or not found";
    }
    if (usableLength(attributes[1].ulValueLen, sizeof id) > 0) {
        LOG(INFO) << kPrefix << "Key ID: " << static_cast<char>(id[0]);
    } else {
        LOG(INFO) << kPrefix << "Key id too large, or not found";
    }
    return CKR_OK;
}

QByteArray calculateHash(const char* data, int length) {
    return QCryptographicHash::hash(QByteArray(data ? data : "", data ? std::max(length, 0) : 0),
                                    QCryptographicHash::Sha256);
}

std::string charToString2(unsigned char c) { return std::string(1, static_cast<char>(c)); }

void decrypt_data() {}

void printCertificates(SignerContext*) {}
