#include "test-support.h"
#include "tev-logging.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <gtest/gtest.h>

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
