// What the crash-signal hooks of the two programs do.
//
// A hook may run on any thread in any state (a fault inside the logger itself
// included), so report() does only async-signal-safe work: it hands one line
// to the log writer's crash entry (tev::logging::writeCrashLine), which writes
// it in the log's line format as the last line, writes it to standard error
// too, then ends the process with _exit. The programs' own hooks
// (SignalHandler, segfault_sigaction) are thin entry points over it.
#pragma once

#include <csignal>
#include <initializer_list>

namespace corvane {
namespace crash {

enum class Detail { SignalNumber, FaultAddress };

// `message` is followed by the signal number ("... with signal 11") or by the
// faulting address in hexadecimal ("... address0x10"). The line goes into the
// file that logging was configured with (tev::logging::configure).
void prepare(const char* message, Detail detail = Detail::SignalNumber);

// Writes the prepared line for `signalNumber` and `faultAddress`, then ends the
// process with status 128 + signalNumber.
[[noreturn]] void report(int signalNumber, const void* faultAddress);

// Hooks `handler` for each of the signals. A hook is reset to the default
// action when it runs, so a fault inside it ends the process at once.
void hook(void (*handler)(int), std::initializer_list<int> signalNumbers);
void hook(void (*handler)(int, siginfo_t*, void*), std::initializer_list<int> signalNumbers);

}  // namespace crash
}  // namespace corvane
