// Logging set-up shared by both programs and the tests.
//
// One easylogging++ logger, "default", writes to one file only, flushes after
// every entry and empties the file when it reaches 10000 bytes.
#pragma once

#include <easylogging++.h>
#include <string>

namespace tev {
namespace logging {

// Largest size of a log file, in bytes, before it is emptied.
constexpr const char* kMaxLogFileSize = "10000";

// Points the "default" logger at `logFilePath` (created with its folder when
// missing). Safe to call again, e.g. by tests that want a fresh file.
void configure(const std::string& logFilePath);

// The program the engine serves in. Both programs carry the same engine, but
// corvane-universal words a few of its lines differently and writes none of
// the PKCS#11 layer's login and object lines to the Qt message log. Its main
// sets WebSocket before serving; everything else keeps the Service texts.
enum class Program { Service, WebSocket };
void setProgram(Program program);
Program program();

}  // namespace logging
}  // namespace tev
