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

// `text` with every character that could break or disguise a log line
// written as a visible escape: CR, LF and tab as \r, \n and \t, the other C0
// controls and DEL as \xHH, and the C1 controls and the Unicode line and
// paragraph separators (in UTF-8) as \uHHHH. Everything else, backslashes
// included, is unchanged, so lines without such characters read as before.
std::string escapeControlCharacters(std::string text);

}  // namespace logging
}  // namespace tev
