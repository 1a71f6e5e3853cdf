#include "tev-logging.h"

#include <QDir>
#include <QFileInfo>
#include <QString>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/syscall.h>
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

// The calling thread's id, as the crash hook compares it. A plain system
// call, so the hook may ask it too.
pid_t threadId() {
    thread_local const pid_t id = static_cast<pid_t>(::syscall(SYS_gettid));
    return id;
}

// Writes all of `data`; false (errno telling why) when a write fails.
// Async-signal-safe.
bool writeAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool lackOfSpace(int error) { return error == ENOSPC || error == EDQUOT || error == EFBIG; }

// Appends `data` to the log file, which holds `base` bytes before it. A write
// that fails leaves no piece of a line behind: the file is cut back to `base`.
// One that fails for lack of space empties the file (the old lines make room
// for the new ones) and tries once more, so that a full disk never silences
// the log for good. Returns the file's new length. Async-signal-safe.
off_t appendWhole(int fd, off_t base, const char* data, std::size_t length) {
    if (writeAll(fd, data, length)) return base + static_cast<off_t>(length);
    const int error = errno;
    if (ftruncate(fd, base) != 0) return base;
    if (!lackOfSpace(error) || base == 0) return base;
    if (ftruncate(fd, 0) != 0) return base;
    if (writeAll(fd, data, length)) return static_cast<off_t>(length);
    if (ftruncate(fd, 0) != 0) {
        // Nothing more to try: the next line starts from here.
    }
    return 0;
}

// Local date and time of `seconds` as "YYYY-MM-DD hh:mm:ss", from the UTC
// offset alone: no time-zone lookup, so a signal handler may call it.
void formatDate(time_t seconds, long utcOffset, char* out) {
    const long long local = static_cast<long long>(seconds) + utcOffset;
    long long days = local / 86400;
    long long rest = local % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // Civil date from days since 1970-01-01 (proleptic Gregorian calendar).
    const long long z = days + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long dayOfEra = z - era * 146097;
    const long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long mp = (5 * dayOfYear + 2) / 153;
    const long long day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const long long month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    auto digits = [&out](long long value, int count) {
        for (int i = count - 1; i >= 0; --i) {
            out[i] = static_cast<char>('0' + value % 10);
            value /= 10;
        }
        out += count;
    };
    digits(year, 4);
    *out++ = '-';
    digits(month, 2);
    *out++ = '-';
    digits(day, 2);
    *out++ = ' ';
    digits(rest / 3600, 2);
    *out++ = ':';
    digits(rest / 60 % 60, 2);
    *out++ = ':';
    digits(rest % 60, 2);
}

long currentUtcOffset() {
    const time_t now = time(nullptr);
    struct tm local;
    if (!localtime_r(&now, &local)) return 0;
    return local.tm_gmtoff;
}

// The queue's lock, recording which thread holds it: the crash hook must
// know whether the lock it would wait for is held by its own thread.
class QueueMutex {
public:
    void lock() {
        mutex_.lock();
        holder_.store(threadId());
    }
    void unlock() {
        holder_.store(0);
        mutex_.unlock();
    }
    bool try_lock() {
        if (!mutex_.try_lock()) return false;
        holder_.store(threadId());
        return true;
    }
    pid_t holder() const { return holder_.load(); }

private:
    std::mutex mutex_;
    std::atomic<pid_t> holder_{0};
};

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
//
// A crash hook takes the file over (writeCrashLine): from then on no line is
// queued, a writer at work on another thread finishes the queue, and the hook
// writes its line last. Everything the hook reads is published in atomics.
class Writer {
public:
    static Writer& instance() {
        static Writer* writer = new Writer;
        return *writer;
    }

    void submit(Level level, std::string&& text) {
        Entry entry{{0, 0}, level, std::move(text)};
        clock_gettime(CLOCK_REALTIME, &entry.time);
        std::unique_lock<QueueMutex> lock(mutex_);
        // The crash line is the log's last line.
        if (crashOwner_.load() != 0) return;
        if (writing_ && pending_.size() >= kMaxPendingLines) {
            // A file system that stalls must not make the queue grow without
            // bound: wait for the writer to take the queue.
            ++roomWaiting_;
            room_.wait(lock, [this] { return !writing_ || pending_.size() < kMaxPendingLines; });
            --roomWaiting_;
            if (crashOwner_.load() != 0) return;
        }
        queueSteady_.store(false);
        pending_.push_back(std::move(entry));
        queueSteady_.store(true);
        if (writing_) return;
        writing_ = true;
        // Seen by a crash hook that has not yet seen the role taken; or the
        // hook has taken the file, and the line is not written after its own.
        writerThread_.store(threadId());
        if (crashOwner_.load() != 0) {
            queueSteady_.store(false);
            pending_.clear();
            queueSteady_.store(true);
        }
        while (!pending_.empty()) {
            queueSteady_.store(false);
            batch_.swap(pending_);
            queueSteady_.store(true);
            // From here until the batch is in the file, a crash hook on this
            // thread writes it; set under the lock, so a writer that does not
            // hold the lock and is not Idle is at work on the file.
            stage_.store(Formatting);
            if (roomWaiting_) room_.notify_all();
            writeBatch(&lock);
            batch_.clear();
        }
        writerThread_.store(0);
        writing_ = false;
        if (waiting_) idle_.notify_all();
    }

    void flush() {
        std::unique_lock<QueueMutex> lock(mutex_);
        ++waiting_;
        idle_.wait(lock, [this] { return !writing_; });
        --waiting_;
    }

    void setPath(const std::string& path) {
        utcOffset_.store(currentUtcOffset());
        std::unique_lock<QueueMutex> lock(mutex_);
        ++waiting_;
        idle_.wait(lock, [this] { return !writing_; });
        --waiting_;
        path_ = path;
        ++pathGeneration_;
    }

    void writeCrashLine(const char* message, std::size_t length);

private:
    enum Stage { Idle, Formatting, Committing };

    Writer() = default;

    // Writes `batch_`. Called by the writer with `lock` held; releases it
    // around the file work.
    void writeBatch(std::unique_lock<QueueMutex>* lock) {
        const std::string path = path_;
        const unsigned long long generation = pathGeneration_;
        lock->unlock();
        if (generation != openGeneration_) reopen(path, generation);
        const int fd = fd_ >= 0 ? fd_ : STDOUT_FILENO;
        const bool toFile = fd_ >= 0;

        const std::size_t maxSize = toFile ? configuredMaxFileSize() : 0;
        maxFileSize_.store(maxSize);
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
                // Follows daylight saving time for the crash hook's dates.
                utcOffset_.store(local.tm_gmtoff);
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
        if (toFile) {
            const off_t base = empty ? 0 : static_cast<off_t>(size - out_.size());
            // What a crash hook on this thread needs to redo this write whole.
            commitData_.store(out_.data());
            commitLength_.store(out_.size());
            commitBase_.store(base);
            stage_.store(Committing);
            if (empty && ftruncate(fd, 0) != 0) {
                // Nothing sensible to do; the lines still go out.
            }
            appendWhole(fd, base, out_.data(), out_.size());
        } else {
            writeAll(fd, out_.data(), out_.size());
        }
        stage_.store(Idle);
        if (out_.capacity() > (1u << 20)) std::string().swap(out_);
        lock->lock();
    }

    void reopen(const std::string& path, unsigned long long generation) {
        fileFd_.store(-1);
        if (fd_ >= 0) ::close(fd_);
        fd_ = path.empty() ? -1 : ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        openGeneration_ = generation;
        fileFd_.store(fd_);
    }

    QueueMutex mutex_;
    std::condition_variable_any idle_;  // flush() and setPath() wait here
    std::condition_variable_any room_;  // loggers wait here while the queue is full
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

    // Published for the crash hook, which may run on any thread at any moment.
    std::atomic<pid_t> crashOwner_{0};     // the thread writing the crash line
    std::atomic<pid_t> writerThread_{0};   // the thread in the writer role
    std::atomic<int> fileFd_{-1};
    std::atomic<std::size_t> maxFileSize_{0};
    std::atomic<long> utcOffset_{0};
    std::atomic<int> stage_{Idle};         // the writer's work on `batch_`
    std::atomic<bool> queueSteady_{true};  // false while `pending_` changes
    std::atomic<const char*> commitData_{nullptr};
    std::atomic<std::size_t> commitLength_{0};
    std::atomic<off_t> commitBase_{0};
};

// Builds the log's lines in a fixed buffer and appends them to the file,
// emptying the file before a line that would take it to the size limit (so
// the crash line is never emptied away after it). Async-signal-safe.
class CrashAppender {
public:
    CrashAppender(int fd, std::size_t maxSize) : fd_(fd), maxSize_(maxSize) {
        struct stat status;
        size_ = fstat(fd, &status) == 0 ? status.st_size : 0;
    }

    void line(const timespec& time, long utcOffset, Level level, const char* text, std::size_t length) {
        char head[64];
        formatDate(time.tv_sec, utcOffset, head);
        const long ms = (time.tv_nsec / 1000000L) % 1000;
        std::size_t n = 19;
        head[n++] = ',';
        head[n++] = char('0' + ms / 100);
        head[n++] = char('0' + ms / 10 % 10);
        head[n++] = char('0' + ms % 10);
        head[n++] = ' ';
        const char* levelText = level == Level::Error ? "ERROR [default] " : "INFO [default] ";
        const std::size_t levelLength = std::strlen(levelText);
        std::memcpy(head + n, levelText, levelLength);
        n += levelLength;
        // A line longer than the buffer is cut to fit: one write per line
        // keeps every line whole.
        if (n + length + 1 > sizeof buffer_) length = sizeof buffer_ - n - 1;
        const std::size_t whole = n + length + 1;
        if (maxSize_ != 0 && static_cast<std::size_t>(size_) + used_ + whole >= maxSize_) {
            // What is built would be emptied away right after: drop it.
            used_ = 0;
            if (ftruncate(fd_, 0) == 0) size_ = 0;
        }
        if (used_ + whole > sizeof buffer_) commit();
        append(head, n);
        append(text, length);
        append("\n", 1);
    }

    // Writes what is built (one write(2) for a line that fits the buffer).
    void commit() {
        if (used_ == 0) return;
        size_ = appendWhole(fd_, size_, buffer_, used_);
        used_ = 0;
    }

private:
    void append(const char* data, std::size_t length) {
        std::memcpy(buffer_ + used_, data, length);
        used_ += length;
    }

    int fd_;
    std::size_t maxSize_;
    off_t size_ = 0;
    std::size_t used_ = 0;
    static char buffer_[16384];
};

char CrashAppender::buffer_[16384];

void sleepMilliseconds(long ms) {
    timespec pause{0, ms * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

long long monotonicMilliseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// How long the crash hook lets a writer on another thread finish the queue.
// A file system that stalls for longer must not hold the end of the process.
constexpr long long kCrashWaitMs = 3000;

void Writer::writeCrashLine(const char* message, std::size_t length) {
    const pid_t self = threadId();
    pid_t expected = 0;
    if (!crashOwner_.compare_exchange_strong(expected, self)) {
        // Another thread crashes at the same time and writes its line; this
        // one waits for the end of the process.
        if (expected != self) {
            for (;;) sleepMilliseconds(1000);
        }
        return;
    }
    // No line is queued from now on. A writer at work on another thread
    // writes what is queued (every line handed over before the crash) and
    // gives the role up; when this thread holds the queue's lock, that writer
    // cannot take the queue again, so only its write in progress is awaited.
    const bool holdingLock = mutex_.holder() == self;
    const long long deadline = monotonicMilliseconds() + kCrashWaitMs;
    for (;;) {
        const pid_t writer = writerThread_.load();
        if (writer == 0 || writer == self) break;
        if (holdingLock && stage_.load() == Idle) break;
        if (monotonicMilliseconds() > deadline) break;
        sleepMilliseconds(1);
    }

    const int fd = fileFd_.load();
    if (fd < 0) return;
    const long utcOffset = utcOffset_.load();
    const bool crashedWriter = writerThread_.load() == self;
    if (crashedWriter && stage_.load() == Committing) {
        // The crash struck the writer itself in the middle of its write: the
        // batch is written again whole, from where the file stood before it.
        const off_t base = commitBase_.load();
        if (ftruncate(fd, base) == 0) appendWhole(fd, base, commitData_.load(), commitLength_.load());
    }
    CrashAppender appender(fd, maxFileSize_.load());
    // Or while it formatted the batch: its lines are formatted here.
    if (crashedWriter && stage_.load() == Formatting) {
        for (const Entry& entry : batch_) {
            appender.line(entry.time, utcOffset, entry.level, entry.text.data(), entry.text.size());
        }
    }
    // Lines queued for a writer that will not take them again: this thread
    // was the writer, or holds the lock that the writer needs.
    bool queueReadable = false;
    if (holdingLock) {
        queueReadable = queueSteady_.load();
    } else if (crashedWriter) {
        // Whoever queues holds the lock only for a moment; once it is ours,
        // no one touches the queue again.
        while (!(queueReadable = mutex_.try_lock()) && monotonicMilliseconds() <= deadline) sleepMilliseconds(1);
    }
    if (queueReadable) {
        for (const Entry& entry : pending_) {
            appender.line(entry.time, utcOffset, entry.level, entry.text.data(), entry.text.size());
        }
    }
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    appender.commit();
    appender.line(now, utcOffset, Level::Error, message, length);
    appender.commit();
}

bool needsEscape(const std::string& text, size_t i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) return true;
    const auto next = [&](size_t k) { return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u; };
    if (c == 0xc2) return next(1) >= 0x80 && next(1) <= 0x9f;                          // U+0080..U+009F
    if (c == 0xe2) return next(1) == 0x80 && (next(2) == 0xa8 || next(2) == 0xa9);     // U+2028, U+2029
    return false;
}

// Bytes of the UTF-8 character that starts at `i`: 2 to 4 for a well-formed
// sequence (no overlong form, surrogate or value beyond U+10FFFF), else 1.
// A byte that starts no such sequence is a character of its own, so a cut
// at a character boundary leaves whatever was valid UTF-8 valid.
std::size_t characterLength(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u; };
    const unsigned lead = byte(0);
    if (lead < 0xc2 || lead > 0xf4) return 1;
    const auto continues = [&](std::size_t k, unsigned low, unsigned high) { return byte(k) >= low && byte(k) <= high; };
    if (lead <= 0xdf) return continues(1, 0x80, 0xbf) ? 2 : 1;
    const unsigned low = lead == 0xe0 ? 0xa0 : lead == 0xf0 ? 0x90 : 0x80;
    const unsigned high = lead == 0xed ? 0x9f : lead == 0xf4 ? 0x8f : 0xbf;
    if (!continues(1, low, high)) return 1;
    const std::size_t length = lead <= 0xef ? 3 : 4;
    for (std::size_t k = 2; k < length; ++k) {
        if (!continues(k, 0x80, 0xbf)) return 1;
    }
    return length;
}

std::string lengthMarker(std::size_t bytes) { return "... (" + std::to_string(bytes) + " bytes)"; }

// The bytes the character at `i` takes once escapeControlCharacters() has
// written it, and in `length` the bytes it takes in `text`. Steps through a
// text exactly as the escaping does, so a cut between two steps falls
// neither inside a UTF-8 sequence nor inside an escape.
std::size_t escapedWidth(const std::string& text, std::size_t i, std::size_t* length) {
    if (!needsEscape(text, i)) {
        *length = characterLength(text, i);
        return *length;
    }
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
        *length = 1;
        return c == '\r' || c == '\n' || c == '\t' ? 2 : 4;
    }
    *length = c == 0xc2 ? 2 : 3;
    return 6;
}

// A line's message as the file gets it: escaped, and when that takes more
// than kMaxMessageBytes, its longest start that fits once escaped and the
// message's length. Bounded here, whoever logs, so that no statement can
// empty the log (and the lines of its request before it) by itself.
std::string writtenMessage(std::string text) {
    // An escape makes one byte four at most: a short text fits whatever it holds.
    if (text.size() <= kMaxMessageBytes / 4) return escapeControlCharacters(std::move(text));
    std::size_t kept = 0;
    std::size_t width = 0;
    while (kept < text.size()) {
        std::size_t length = 0;
        const std::size_t next = escapedWidth(text, kept, &length);
        if (width + next > kMaxMessageBytes) break;
        width += next;
        kept += length;
    }
    if (kept == text.size()) return escapeControlCharacters(std::move(text));
    // A copy of the start only: the queue must not hold the whole text's capacity.
    std::string written = escapeControlCharacters(text.substr(0, kept));
    written += lengthMarker(text.size());
    return written;
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
    // members): escaped and bounded here, on the logging thread, every entry
    // stays one line of at most about a kilobyte whatever a request put into
    // it, and no call site can forget it.
    std::string text = writtenMessage(std::move(slot.buffer.text));
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

std::string shownText(std::string_view text) {
    if (text.size() <= kShownTextBytes) return std::string(text);
    std::size_t kept = 0;
    for (std::size_t next = 0; (next = kept + characterLength(text, kept)) <= kShownTextBytes;) kept = next;
    std::string shown(text.substr(0, kept));
    shown += lengthMarker(text.size());
    return shown;
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

void writeCrashLine(const char* message, std::size_t length) { Writer::instance().writeCrashLine(message, length); }

}  // namespace logging
}  // namespace tev
