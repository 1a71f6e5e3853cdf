#include "crash-handler.h"

#include "tev-logging.h"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <unistd.h>

namespace corvane {
namespace crash {
namespace {

char messageText[128];
size_t messageLength = 0;
Detail lineDetail = Detail::SignalNumber;

void writeAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n <= 0) return;
        data += n;
        length -= static_cast<size_t>(n);
    }
}

// Appends `value` in the given base without any library formatting.
size_t appendNumber(char* out, unsigned long long value, unsigned base) {
    char digits[24];
    int count = 0;
    do {
        const unsigned d = static_cast<unsigned>(value % base);
        digits[count++] = static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10);
        value /= base;
    } while (value != 0 && count < 23);
    size_t length = 0;
    while (count > 0) out[length++] = digits[--count];
    return length;
}

void hookAll(struct sigaction& action, std::initializer_list<int> signalNumbers) {
    sigemptyset(&action.sa_mask);
    action.sa_flags |= SA_RESETHAND;
    for (int s : signalNumbers) sigaction(s, &action, nullptr);
}

}  // namespace

void prepare(const char* message, Detail detail) {
    lineDetail = detail;
    messageLength = std::min(std::strlen(message), sizeof(messageText));
    std::memcpy(messageText, message, messageLength);
}

void report(int signalNumber, const void* faultAddress) {
    char line[192];
    size_t length = messageLength;
    std::memcpy(line, messageText, length);
    if (lineDetail == Detail::FaultAddress) {
        line[length++] = '0';
        line[length++] = 'x';
        length += appendNumber(line + length, reinterpret_cast<uintptr_t>(faultAddress), 16);
    } else {
        length += appendNumber(line + length, static_cast<unsigned>(signalNumber), 10);
    }
    // The log writer and this hook must not write the file at the same time:
    // the line goes through the writer, after everything queued before it.
    tev::logging::writeCrashLine(line, length);
    line[length++] = '\n';
    writeAll(STDERR_FILENO, line, length);
    _exit(128 + signalNumber);
}

void hook(void (*handler)(int), std::initializer_list<int> signalNumbers) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    hookAll(action, signalNumbers);
}

void hook(void (*handler)(int, siginfo_t*, void*), std::initializer_list<int> signalNumbers) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = handler;
    action.sa_flags = SA_SIGINFO;
    hookAll(action, signalNumbers);
}

}  // namespace crash
}  // namespace corvane
