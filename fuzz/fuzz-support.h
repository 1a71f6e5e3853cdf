// What every fuzz target of the agent shares: a Qt application object, a
// private work folder, the engine's log pointed into it, and a way to stop
// with a clear message when a target sees something that must never happen.
#pragma once

#include <QByteArray>
#include <QString>
#include <string>

namespace corvane {
namespace fuzz {

// Call from LLVMFuzzerInitialize. Creates the QCoreApplication (kept for the
// life of the process), a work folder below $TMPDIR (removed at exit) and
// points the engine's log at a file in it. `name` names the folder and log.
void initialize(int* argc, char*** argv, const char* name);

// The work folder of this process.
QString workFolder();

// Prints "corvane-fuzz: <what>" and the input size, then aborts, so libFuzzer
// records the input as a crash. For broken properties, not for bad input.
[[noreturn]] void fail(const std::string& what);

// Makes every PC/SC call of this process fail at once as "no service"
// (SCARD_E_NO_SERVICE), whatever pcscd runs on the machine: the client library
// is pointed at a socket that does not exist. Checks it and fails otherwise;
// returns how long the failed SCardEstablishContext took, in microseconds.
long cutOffSmartCardService();

// Loads an empty card database, so no library name leads to a PKCS#11 module:
// every driver path looks up as empty and the token layer refuses it before
// any dlopen. Fails when the engine does not take the empty database.
void useEmptyCardDatabase();

// The answer of a dispatcher is always the text of a JSON array of objects.
void checkAnswerShape(const std::string& answer, const char* who);

}  // namespace fuzz
}  // namespace corvane
