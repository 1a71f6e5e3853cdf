#include "rig-pcsc.h"

#include <PCSC/winscard.h>

#include <cstdlib>
#include <cstring>

#include <sys/stat.h>

namespace rig {
namespace {

// Context released on every path.
class Context {
public:
    Context() { rv_ = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &handle_); }
    ~Context() {
        if (rv_ == SCARD_S_SUCCESS) SCardReleaseContext(handle_);
    }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    LONG rv() const { return rv_; }
    SCARDCONTEXT get() const { return handle_; }

private:
    SCARDCONTEXT handle_ = 0;
    LONG rv_;
};

std::vector<std::string> readersOf(const Context& ctx, LONG* rvOut) {
    std::vector<std::string> names;
    DWORD length = 0;
    LONG rv = SCardListReaders(ctx.get(), nullptr, nullptr, &length);
    if (rv == SCARD_S_SUCCESS && length > 0) {
        std::string buffer(length, '\0');
        rv = SCardListReaders(ctx.get(), nullptr, &buffer[0], &length);
        if (rv == SCARD_S_SUCCESS) {
            size_t pos = 0;
            while (pos < buffer.size() && buffer[pos] != '\0') {
                std::string name(buffer.c_str() + pos);
                pos += name.size() + 1;
                names.push_back(name);
            }
        }
    }
    if (rvOut) *rvOut = rv;
    return names;
}

bool daemonSocketExists() {
    struct stat st;
    return stat("/run/pcscd/pcscd.comm", &st) == 0;
}

}  // namespace

bool pcscdReady(std::string* reason) {
    // Without the daemon's socket the client library would only report
    // SCARD_E_NO_SERVICE after its own retries; answer at once.
    if (!daemonSocketExists()) {
        if (reason) *reason = "no pcscd (/run/pcscd/pcscd.comm missing)";
        return false;
    }
    Context ctx;
    if (ctx.rv() != SCARD_S_SUCCESS) {
        if (reason) *reason = std::string("SCardEstablishContext: ") + pcsc_stringify_error(ctx.rv());
        return false;
    }
    LONG rv;
    std::vector<std::string> names = readersOf(ctx, &rv);
    if (rv != SCARD_S_SUCCESS) {
        if (reason) *reason = std::string("SCardListReaders: ") + pcsc_stringify_error(rv);
        return false;
    }
    if (names.size() < kReaderCount) {
        if (reason) *reason = "pcscd lists " + std::to_string(names.size()) + " readers, not the rig's " +
                              std::to_string(kReaderCount);
        return false;
    }
    for (const Reader& r : kReaders) {
        if (static_cast<size_t>(r.slot) > names.size() || names[static_cast<size_t>(r.slot) - 1] != r.name) {
            if (reason) *reason = std::string("pcscd does not list \"") + r.name + "\" at slot " + std::to_string(r.slot);
            return false;
        }
    }
    return true;
}

bool rigRequired() {
    const char* ci = std::getenv("CI");
    const char* required = std::getenv("CORVANE_RIG_REQUIRED");
    return (ci && std::strcmp(ci, "true") == 0) || (required && std::strcmp(required, "1") == 0);
}

std::vector<std::string> listReaders() {
    if (!daemonSocketExists()) return {};
    Context ctx;
    if (ctx.rv() != SCARD_S_SUCCESS) return {};
    return readersOf(ctx, nullptr);
}

bool waitForCard(const char* readerName, bool present, std::chrono::milliseconds timeout) {
    if (!daemonSocketExists()) return false;
    Context ctx;
    if (ctx.rv() != SCARD_S_SUCCESS) return false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    SCARD_READERSTATE state{};
    state.szReader = readerName;
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        DWORD wait = state.dwCurrentState == SCARD_STATE_UNAWARE ? 0 : static_cast<DWORD>(std::max<long>(left.count(), 0));
        LONG rv = SCardGetStatusChange(ctx.get(), wait, &state, 1);
        if (rv == SCARD_S_SUCCESS) {
            const bool isPresent = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
            if (isPresent == present) return true;
            state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
        } else if (rv != SCARD_E_TIMEOUT) {
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
    }
}

}  // namespace rig
