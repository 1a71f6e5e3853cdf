// Without a reachable PC/SC resource manager every operation answers 2 and
// appends nothing. The client library is pointed at a socket that does not
// exist before its first call (it remembers the socket name afterwards), so
// this holds whether or not the rig's pcscd is running.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tev-pcsc.h"
#include "test-support.h"

namespace pcsc = tev::quessel::pcsc;

namespace {

const bool socketRedirected = [] {
    const QString socket = QStringLiteral("/nonexistent-corvane-pcscd/pcscd.comm");
    return setenv("PCSCLITE_CSOCK_NAME", socket.toLocal8Bit().constData(), 1) == 0;
}();

TEST(PcscWithoutService, EveryOperationAnswersTwo) {
    ASSERT_TRUE(socketRedirected);
    std::vector<pcsc::SmartCard> cards(1);
    EXPECT_EQ(pcsc::listSmartCards(&cards), 2);
    EXPECT_EQ(cards.size(), 1u);
    EXPECT_EQ(pcsc::listTCKKReaders(&cards), 2);
    EXPECT_EQ(cards.size(), 1u);
    std::vector<tev::x509::Certificate> certificates;
    EXPECT_EQ(pcsc::listAKISCertificates(1, &certificates), 2);
    EXPECT_TRUE(certificates.empty());
    QByteArray out;
    EXPECT_EQ(pcsc::retrieveTCKKCertificate(1, &out), 2);
    EXPECT_EQ(pcsc::retrieveAKISCertificate(1, &out), 2);
    EXPECT_EQ(pcsc::signWithTCKKCertificate(1, 1, "123456", QByteArray(32, 'd'), &out), 2);
    EXPECT_EQ(pcsc::signWithAKISCertificate(1, "123456", "1", "rsa-with-sha256", QByteArray(51, 'd'), &out), 2);
    EXPECT_TRUE(out.isEmpty());
    EXPECT_THROW(pcsc::retrieveAKISCertificateWithSerialNumber(1, "1"), int);
    EXPECT_NE(corvane::test::readLog().find("Performing SCardEstablishContext"), std::string::npos);
}

}  // namespace
