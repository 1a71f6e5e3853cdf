// Logging set-up shared by both programs and the tests.
//
// One logger, "default", writes to one file only and empties the file when it
// reaches 10000 bytes. Its settings live in easylogging++'s configuration of
// that logger (so tests can reconfigure it there), but lines do not go
// through easylogging++'s dispatch: that holds one process-wide lock across
// formatting, the file write, the flush and the size check, and every
// request of the HTTP server writes several lines, so the connection threads
// queued up behind each other.
//
// Instead LOG(INFO) / LOG(ERROR) collect the message text on the calling
// thread without any lock and queue it with its time and level. Whichever
// thread finds nobody writing writes the queue (its line and what others add
// meanwhile), formatting each line ("%datetime %level [default] %msg",
// date-time "%Y-%M-%d %H:%m:%s,%g") outside the queue's lock; the others only
// queue. The file is emptied exactly where easylogging++ would have (after the
// line that brings it to 10000 bytes or more), so it reads the same. Lines
// keep the order in which their LOG statements completed, and when a LOG
// statement returns its line is written or being written by a running
// thread. flush() waits until everything logged so far is in the file. A
// crash hook takes the file over with writeCrashLine().
//
// Whoever wrote it, a line's message is written with at most 1024 bytes
// (kMaxMessageBytes) once escaped; a longer one is cut at a character
// boundary, never inside an escape, and ends in "... (N bytes)", N being the
// message's full length. No single statement can empty the log.
#pragma once

#include <easylogging++.h>
#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>

namespace tev {
namespace logging {

// Largest size of a log file, in bytes, before it is emptied.
constexpr const char* kMaxLogFileSize = "10000";

// Points the "default" logger at `logFilePath` (created with its folder when
// missing). Safe to call again, e.g. by tests that want a fresh file: lines
// logged before the call still go to the earlier file.
void configure(const std::string& logFilePath);

// The program the engine serves in. Both programs carry the same engine, but
// corvane-universal words a few of its lines differently and writes none of
// the PKCS#11 layer's login and object lines to the Qt message log. Its main
// sets WebSocket before serving; everything else keeps the Service texts.
enum class Program { Service, WebSocket };
void setProgram(Program program);
Program program();

// Returns once every line logged before the call is in the file.
void flush();

// For the crash hooks; async-signal-safe. Writes `message` as an ERROR entry
// in the line format above, as the log's last line: after every line already
// handed to the writer (a writer at work on another thread finishes the queue
// first, for a few seconds at most; one interrupted on this very thread has
// its lines written here), with one write(2). No line is queued afterwards.
// The date uses the UTC offset of the last line written (or of configure()).
void writeCrashLine(const char* message, std::size_t length);

// `text` with every character that could break or disguise a log line
// written as a visible escape: CR, LF and tab as \r, \n and \t, the other C0
// controls and DEL as \xHH, and the C1 controls and the Unicode line and
// paragraph separators (in UTF-8) as \uHHHH. Everything else, backslashes
// included, is unchanged, so lines without such characters read as before.
std::string escapeControlCharacters(std::string text);

// Most bytes of a caller's text that a line shows (shownText), and most
// bytes of a line's message as the writer writes it (control characters
// escaped). A text of 10 KB or more would empty the 10,000-byte log by
// itself, and the opening line of its request with it.
constexpr std::size_t kShownTextBytes = 256;
constexpr std::size_t kMaxMessageBytes = 1024;

// A text that a request supplied, as a log line shows it: whole when it
// holds at most 256 bytes, else its first bytes up to 256, cut back to a
// UTF-8 character boundary (a byte that starts no valid sequence counts as
// one character), followed by "... (N bytes)" with N its full length. The
// writer escapes its control characters like any other part of a line.
std::string shownText(std::string_view text);

enum class Level { Info, Error };

// One log statement: collects the streamed values, hands the text over when
// the statement ends. Only for use through LOG(...).
class Line {
public:
    explicit Line(Level level);
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    template <typename T>
    Line& operator<<(const T& value) {
        *stream_ << value;
        return *this;
    }
    Line& operator<<(std::ostream& (*manipulator)(std::ostream&)) {
        *stream_ << manipulator;
        return *this;
    }

private:
    Level level_;
    std::ostream* stream_;
};

constexpr Level kLevelINFO = Level::Info;
constexpr Level kLevelERROR = Level::Error;

}  // namespace logging
}  // namespace tev

// Replaces easylogging++'s LOG with the queued writer above; the call sites
// stay `LOG(INFO) << ...` and `LOG(ERROR) << ...`.
#undef LOG
#define LOG(LEVEL) ::tev::logging::Line(::tev::logging::kLevel##LEVEL)
