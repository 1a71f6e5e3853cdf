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

}  // namespace logging
}  // namespace tev
