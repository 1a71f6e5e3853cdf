#include "crash-handler.h"
#include "test-support.h"
#include "tev-logging.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

TEST(Logging, LinesHaveTheAgreedFormatAndReachTheFileAtOnce) {
    corvane::test::clearLog();
    LOG(INFO) << "Quessel : " << "hello";
    LOG(ERROR) << "PKCS11 : " << "failure";
    const QString log = QString::fromStdString(corvane::test::readLog());
    const QStringList lines = log.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << log.toStdString();
    const QRegularExpression line(
        R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2},\d{3} (INFO|ERROR) \[default\] .+$)");
    EXPECT_TRUE(line.match(lines[0]).hasMatch()) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].endsWith("INFO [default] Quessel : hello"));
    EXPECT_TRUE(lines[1].endsWith("ERROR [default] PKCS11 : failure"));
}

// Messages carry text from web pages: whatever it holds, one entry is one
// line, its control characters visible as escapes and the rest unchanged.
TEST(Logging, ControlCharactersInAMessageAreWrittenEscaped) {
    corvane::test::clearLog();
    LOG(INFO) << "Zu Service: " << "Callback: a\r\n1999-01-01 00:00:00,000 INFO [default] forged\tb\x01\x7f"
              << "\x1b[2K\xc2\x85\xe2\x80\xa8\xe2\x80\xa9|\\n \xc3\xa7 \xe2\x82\xac";
    const std::string log = corvane::test::readLog();
    ASSERT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_EQ(log.find('\r'), std::string::npos);
    const std::string expected = "INFO [default] Zu Service: Callback: a\\r\\n1999-01-01 00:00:00,000 INFO [default] "
                                 "forged\\tb\\x01\\x7f\\x1b[2K\\u0085\\u2028\\u2029|\\n \xc3\xa7 \xe2\x82\xac\n";
    ASSERT_GE(log.size(), expected.size());
    EXPECT_EQ(log.substr(log.size() - expected.size()), expected) << log;
}

TEST(Logging, FileIsEmptiedWhenItReaches10000Bytes) {
    corvane::test::clearLog();
    const std::string filler(100, 'x');
    qint64 largest = 0;
    for (int i = 0; i < 300; ++i) {
        LOG(INFO) << filler;
        tev::logging::flush();
        largest = std::max(largest, QFileInfo(QString::fromStdString(corvane::test::logFilePath())).size());
    }
    EXPECT_LE(largest, 10000 + 200);
    EXPECT_LT(QFileInfo(QString::fromStdString(corvane::test::logFilePath())).size(), 10000);
}

TEST(Logging, ClearingTheLogLeavesNoGapBehindTheNextLine) {
    for (int i = 0; i < 20; ++i) LOG(INFO) << std::string(200, 'y');
    corvane::test::clearLog();
    LOG(INFO) << "after clearing";
    const std::string log = corvane::test::readLog();
    EXPECT_EQ(log.find('\0'), std::string::npos);
    EXPECT_LT(log.size(), 200u) << log.size();
    EXPECT_NE(log.find("after clearing"), std::string::npos);
}

namespace {

const std::string kE = "\xc3\xa9";  // "é"

// Qt's decoder as the judge: well-formed UTF-8 decodes and encodes back to
// the same bytes, anything else comes back with replacement characters.
bool isValidUtf8(const std::string& bytes) {
    const QByteArray raw = QByteArray::fromStdString(bytes);
    return QString::fromUtf8(raw).toUtf8() == raw;
}

// What a line holds after "[default] ".
std::string messageOf(const QByteArray& line) {
    const int at = line.indexOf("[default] ");
    return at < 0 ? std::string() : line.mid(at + 10).toStdString();
}

}  // namespace

// A text of a page is shown by its first 256 bytes and its length, and a
// line's message, whoever wrote it, by its first 1024 bytes once escaped:
// both cut at a character boundary, never inside "é" or an escape, so the
// log stays UTF-8 and no line can empty it.
TEST(Logging, LongTextsAndLinesAreCutAtACharacterBoundaryWithTheirLength) {
    using tev::logging::shownText;
    const std::string rest(100000, 'z');
    EXPECT_EQ(shownText("https://page.example/"), "https://page.example/");
    const std::string fits = std::string(254, 'a') + kE;
    EXPECT_EQ(shownText(fits), fits);
    EXPECT_EQ(shownText(std::string(255, 'a') + kE + rest), std::string(255, 'a') + "... (100257 bytes)");
    EXPECT_EQ(shownText(fits + rest), fits + "... (100256 bytes)");
    EXPECT_EQ(shownText(std::string(255, 'a') + "\xff" + rest), std::string(255, 'a') + "\xff... (100256 bytes)");

    corvane::test::clearLog();
    const std::string whole(1024, 'w');
    LOG(INFO) << whole;
    LOG(INFO) << std::string(1023, 'c') << kE << rest;
    LOG(INFO) << std::string(1020, 'e') << '\x01' << rest;
    LOG(INFO) << std::string(1021, 'd') << '\x01' << rest;
    LOG(INFO) << "Quessel : Signer Claimed Role: " << shownText(std::string(255, 'r') + kE + rest);
    const std::string log = corvane::test::readLog();
    EXPECT_TRUE(isValidUtf8(log));
    QList<QByteArray> lines = QByteArray::fromStdString(log).split('\n');
    ASSERT_EQ(lines.size(), 6) << log.substr(0, 2000);
    EXPECT_EQ(messageOf(lines[0]), whole);
    EXPECT_EQ(messageOf(lines[1]), std::string(1023, 'c') + "... (101025 bytes)");
    EXPECT_EQ(messageOf(lines[2]), std::string(1020, 'e') + "\\x01... (101021 bytes)");
    EXPECT_EQ(messageOf(lines[3]), std::string(1021, 'd') + "... (101022 bytes)");
    EXPECT_EQ(messageOf(lines[4]), "Quessel : Signer Claimed Role: " + std::string(255, 'r') + "... (100257 bytes)");
}

namespace {
// A value whose conversion logs on its own, like an accessor that reports a
// failure while the caller's line is being streamed.
std::string valueThatLogs() {
    LOG(ERROR) << "Certificate : " << "inner failure";
    return "value";
}
}  // namespace

TEST(Logging, ALineLoggedWhileAnotherIsStreamedLeavesBothWhole) {
    corvane::test::clearLog();
    LOG(INFO) << "Quessel : " << "outer " << valueThatLogs() << " end";
    const QStringList lines = QString::fromStdString(corvane::test::readLog()).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << corvane::test::readLog();
    EXPECT_TRUE(lines[0].endsWith("ERROR [default] Certificate : inner failure")) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].endsWith("INFO [default] Quessel : outer value end")) << lines[1].toStdString();
}

namespace {

void crashOnSignal(int signalNumber) { corvane::crash::report(signalNumber, nullptr); }

}  // namespace

// The crash hook of the programs, run on a thread that logs while three
// others log too (so often on the thread that is writing the log, in the
// middle of its work): the crash line, in the line format, is the last line,
// every line is whole, and no line queued before it is missing.
TEST(Logging, CrashLineComesLastAfterEveryLineQueuedBeforeIt) {
    constexpr int kThreads = 4;
    const QRegularExpression entry(
        R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} INFO \[default\] thread (\d) line (\d+)$)");
    const QRegularExpression crash(
        R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} ERROR \[default\] Catastrophic error occurred with signal 11$)");
    for (int round = 0; round < 24; ++round) {
        SCOPED_TRACE(round);
        const std::string path = (corvane::test::privateFolder() + "/crash.log").toStdString();
        std::remove(path.c_str());
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            tev::logging::configure(path);
            // Nothing is emptied away: every line must be there.
            el::Loggers::reconfigureAllLoggers(el::ConfigurationType::MaxLogFileSize, "0");
            corvane::crash::prepare("Catastrophic error occurred with signal ");
            corvane::crash::hook(crashOnSignal, {SIGSEGV});
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t) {
                threads.emplace_back([t] {
                    for (long i = 0;; ++i) LOG(INFO) << "thread " << t << " line " << i;
                });
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20 + round % 6 * 5));
            pthread_kill(threads[std::size_t(round % kThreads)].native_handle(), SIGSEGV);
            for (;;) pause();
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
        EXPECT_EQ(WEXITSTATUS(status), 128 + SIGSEGV);

        QFile file(QString::fromStdString(path));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        ASSERT_TRUE(text.endsWith('\n')) << text.right(100).toStdString();
        QList<QByteArray> lines = text.split('\n');
        lines.removeLast();
        ASSERT_FALSE(lines.isEmpty());
        EXPECT_TRUE(crash.match(QString::fromLatin1(lines.takeLast())).hasMatch()) << text.right(200).toStdString();
        long next[kThreads] = {};
        int bad = 0;
        for (const QByteArray& line : lines) {
            const QRegularExpressionMatch match = entry.match(QString::fromLatin1(line));
            if (!match.hasMatch()) {
                if (++bad < 5) ADD_FAILURE() << "not a whole line of the test: " << line.left(120).toStdString();
                continue;
            }
            const int t = match.captured(1).toInt();
            const long i = match.captured(2).toLong();
            // Each thread's lines in order, none missing.
            if (i != next[t] && ++bad < 5) ADD_FAILURE() << "thread " << t << ": line " << i << " after " << next[t] - 1;
            next[t] = i + 1;
        }
        EXPECT_EQ(bad, 0);
    }
}
