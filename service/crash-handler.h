// Crash-signal hooks of the two programs.
//
// The handler may run on any thread in any state (a fault inside the logger
// itself included), so it does only async-signal-safe work: it writes one
// fixed line with write(2) to the log file (opened in advance) and to standard
// error, then ends the process with _exit.
#pragma once

#include <initializer_list>
#include <string>

namespace corvane {
namespace crash {

enum class Detail { SignalNumber, FaultAddress };

// `message` is followed by the signal number ("... with signal 11") or by the
// faulting address in hexadecimal ("... address0x10").
void install(const std::string& logFilePath, const char* message, std::initializer_list<int> signalNumbers,
             Detail detail = Detail::SignalNumber);

}  // namespace crash
}  // namespace corvane
