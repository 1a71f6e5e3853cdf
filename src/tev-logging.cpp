#include "tev-logging.h"

#include <QDir>
#include <QFileInfo>
#include <QString>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

INITIALIZE_EASYLOGGINGPP

namespace tev {
namespace logging {
namespace {

constexpr const char* kLoggerId = "default";
// Lines queued behind a writer at work before a logging thread waits.
constexpr std::size_t kMaxPendingLines = 20000;

struct Entry {
    timespec time;
    Level level;
    std::string text;
};

// The one place where a queued message becomes its line in the file:
// "%Y-%M-%d %H:%m:%s,%g %level [default] %msg" and the line end. `date`
// holds the first 19 characters for the entry's second.
void appendLine(const Entry& entry, const char* date, std::string* out) {
    const long ms = (entry.time.tv_nsec / 1000000L) % 1000;
    const char milliseconds[] = {',', char('0' + ms / 100), char('0' + ms / 10 % 10), char('0' + ms % 10), ' '};
    out->append(date, 19);
    out->append(milliseconds, sizeof milliseconds);
    out->append(entry.level == Level::Error ? "ERROR" : "INFO");
    out->append(" [default] ");
    out->append(entry.text);
    out->push_back('\n');
}

// The size limit as easylogging++'s configuration of the logger holds it now
// (0: never empty the file).
std::size_t configuredMaxFileSize() {
    el::Logger* logger = el::Loggers::getLogger(kLoggerId, false);
    if (!logger) return 0;
    logger->acquireLock();
    const std::size_t size = logger->typedConfigurations()->maxLogFileSize(el::Level::Info);
    logger->releaseLock();
    return size;
}

void writeAll(int fd, const std::string& bytes) {
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}

// Owns the queue of lines and the file. There is no writer thread: the
// thread whose line finds nobody writing becomes the writer, writes
// everything queued (its own line and whatever others add meanwhile) without
// holding the queue's lock, and gives the role up only when the queue is
// empty. A thread that finds a writer at work only queues its line and goes
// on. So when a LOG statement returns, its line is in the file or in the
// hands of a thread that is writing it right now: nothing waits for a thread
// that may never run again (the programs end by a signal), and under load one
// write(2) carries the lines of many requests. Made once and never destroyed:
// code that runs during exit (static destructors) may still log.
class Writer {
public:
    static Writer& instance() {
        static Writer* writer = new Writer;
        return *writer;
    }

    void submit(Level level, std::string&& text) {
        Entry entry{{0, 0}, level, std::move(text)};
        clock_gettime(CLOCK_REALTIME, &entry.time);
        std::unique_lock<std::mutex> lock(mutex_);
        if (writing_ && pending_.size() >= kMaxPendingLines) {
            // A file system that stalls must not make the queue grow without
            // bound: wait for the writer to take the queue.
            ++roomWaiting_;
            room_.wait(lock, [this] { return !writing_ || pending_.size() < kMaxPendingLines; });
            --roomWaiting_;
        }
        pending_.push_back(std::move(entry));
        if (writing_) return;
        writing_ = true;
        while (!pending_.empty()) {
            batch_.swap(pending_);
            if (roomWaiting_) room_.notify_all();
            writeBatch(&lock);
            batch_.clear();
        }
        writing_ = false;
        if (waiting_) idle_.notify_all();
    }

    void flush() {
        std::unique_lock<std::mutex> lock(mutex_);
        ++waiting_;
        idle_.wait(lock, [this] { return !writing_; });
        --waiting_;
    }

    void setPath(const std::string& path) {
        std::unique_lock<std::mutex> lock(mutex_);
        ++waiting_;
        idle_.wait(lock, [this] { return !writing_; });
        --waiting_;
        path_ = path;
        ++pathGeneration_;
    }

private:
    Writer() = default;

    // Writes `batch_`. Called by the writer with `lock` held; releases it
    // around the file work.
    void writeBatch(std::unique_lock<std::mutex>* lock) {
        const std::string path = path_;
        const unsigned long long generation = pathGeneration_;
        lock->unlock();
        if (generation != openGeneration_) reopen(path, generation);
        const int fd = fd_ >= 0 ? fd_ : STDOUT_FILENO;
        const bool toFile = fd_ >= 0;

        const std::size_t maxSize = toFile ? configuredMaxFileSize() : 0;
        std::size_t size = 0;
        struct stat status;
        if (toFile && fstat(fd, &status) == 0) size = static_cast<std::size_t>(status.st_size);
        // Emptied before a line when it is already over the limit, and right
        // after the line that takes it there: what easylogging++ did with
        // StrictLogFileSizeCheck. Lines that would be written and then
        // emptied away in the same batch are simply not written.
        bool empty = maxSize != 0 && size >= maxSize;
        if (empty) size = 0;
        out_.clear();
        for (const Entry& entry : batch_) {
            if (entry.time.tv_sec != cachedSecond_) {
                struct tm local;
                const time_t seconds = entry.time.tv_sec;
                localtime_r(&seconds, &local);
                std::snprintf(cachedDate_, sizeof cachedDate_, "%04d-%02d-%02d %02d:%02d:%02d",
                              local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                              local.tm_sec);
                cachedSecond_ = entry.time.tv_sec;
            }
            const std::size_t before = out_.size();
            appendLine(entry, cachedDate_, &out_);
            size += out_.size() - before;
            if (maxSize != 0 && size >= maxSize) {
                empty = true;
                size = 0;
                out_.clear();
            }
        }
        if (empty && ftruncate(fd, 0) != 0) {
            // Nothing sensible to do; the lines still go out.
        }
        writeAll(fd, out_);
        if (out_.capacity() > (1u << 20)) std::string().swap(out_);
        lock->lock();
    }

    void reopen(const std::string& path, unsigned long long generation) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = path.empty() ? -1 : ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        openGeneration_ = generation;
    }

    std::mutex mutex_;
    std::condition_variable idle_;  // flush() and setPath() wait here
    std::condition_variable room_;  // loggers wait here while the queue is full
    std::vector<Entry> pending_;
    int waiting_ = 0;
    int roomWaiting_ = 0;
    bool writing_ = false;
    std::string path_;
    unsigned long long pathGeneration_ = 0;

    // The writer's alone (whoever holds the role; handed on under `mutex_`).
    std::vector<Entry> batch_;
    int fd_ = -1;
    unsigned long long openGeneration_ = 0;
    time_t cachedSecond_ = -1;
    char cachedDate_[64] = {};
    std::string out_;
};

bool needsEscape(const std::string& text, size_t i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) return true;
    const auto next = [&](size_t k) { return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u; };
    if (c == 0xc2) return next(1) >= 0x80 && next(1) <= 0x9f;                          // U+0080..U+009F
    if (c == 0xe2) return next(1) == 0x80 && (next(2) == 0xa8 || next(2) == 0xa9);     // U+2028, U+2029
    return false;
}

// Collects the text of one LOG statement. Each thread keeps its buffers; a
// LOG statement that runs while another one is being streamed on the same
// thread (a function called in the middle of `<<`) takes the next buffer.
class TextBuffer : public std::streambuf {
public:
    std::string text;

protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) text.push_back(traits_type::to_char_type(c));
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        text.append(s, static_cast<std::size_t>(n));
        return n;
    }
};

struct LineSlot {
    TextBuffer buffer;
    std::ostream stream{&buffer};
};

thread_local std::vector<std::unique_ptr<LineSlot>> lineSlots;
thread_local std::size_t lineDepth = 0;

}  // namespace

Line::Line(Level level) : level_(level) {
    if (lineDepth == lineSlots.size()) lineSlots.push_back(std::make_unique<LineSlot>());
    LineSlot& slot = *lineSlots[lineDepth++];
    slot.buffer.text.clear();
    // No manipulator of an earlier line carries over.
    slot.stream.clear();
    slot.stream.flags(std::ios_base::dec | std::ios_base::skipws);
    slot.stream.precision(6);
    slot.stream.width(0);
    slot.stream.fill(' ');
    stream_ = &slot.stream;
}

Line::~Line() {
    LineSlot& slot = *lineSlots[--lineDepth];
    // Log lines carry text from web pages (callback names, headers, request
    // members): escaped here, on the logging thread, every entry stays one
    // line whatever a request put into it, and no call site can forget it.
    std::string text = escapeControlCharacters(std::move(slot.buffer.text));
    slot.buffer.text = std::string();
    Writer::instance().submit(level_, std::move(text));
}

std::string escapeControlCharacters(std::string text) {
    size_t first = 0;
    while (first < text.size() && !needsEscape(text, first)) ++first;
    if (first == text.size()) return text;   // moved out: a long line is not copied

    static const char kHex[] = "0123456789abcdef";
    std::string out(text, 0, first);
    out.reserve(text.size() + 16);
    for (size_t i = first; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!needsEscape(text, i)) {
            out += static_cast<char>(c);
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x80) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xf];
        } else if (c == 0xc2) {
            const unsigned char code = static_cast<unsigned char>(text[++i]);
            out += "\\u00";
            out += kHex[code >> 4];
            out += kHex[code & 0xf];
        } else {
            out += text[i + 2] == '\xa8' ? "\\u2028" : "\\u2029";
            i += 2;
        }
    }
    return out;
}

namespace {
std::atomic<Program> currentProgram{Program::Service};
}  // namespace

void setProgram(Program program) { currentProgram.store(program); }

Program program() { return currentProgram.load(); }

void configure(const std::string& logFilePath) {
    const QFileInfo info(QString::fromStdString(logFilePath));
    QDir().mkpath(info.absolutePath());

    el::Configurations conf;
    conf.setToDefault();
    conf.setGlobally(el::ConfigurationType::Enabled, "true");
    conf.setGlobally(el::ConfigurationType::ToFile, "true");
    conf.setGlobally(el::ConfigurationType::ToStandardOutput, "false");
    conf.setGlobally(el::ConfigurationType::Filename, logFilePath);
    conf.setGlobally(el::ConfigurationType::MaxLogFileSize, kMaxLogFileSize);
    conf.setGlobally(el::ConfigurationType::LogFlushThreshold, "1");
    // %datetime takes its own format from the format specifier.
    conf.setGlobally(el::ConfigurationType::Format,
                     "%datetime{%Y-%M-%d %H:%m:%s,%g} %level [%logger] %msg");

    el::Loggers::addFlag(el::LoggingFlag::StrictLogFileSizeCheck);
    el::Loggers::addFlag(el::LoggingFlag::ImmediateFlush);
    el::Loggers::reconfigureLogger(kLoggerId, conf);
    el::Loggers::setDefaultConfigurations(conf, false);

    Writer::instance().setPath(logFilePath);
}

void flush() { Writer::instance().flush(); }

}  // namespace logging
}  // namespace tev
