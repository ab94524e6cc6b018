// TCP transport: connect failures, whole writes, closed peers, readiness waits.
#include "mqtt/broker_connection.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/mqtt/connection_pair.h"
#include "tests/support/fake_broker.h"
#include "tests/support/loopback.h"
#include "tests/support/test_support.h"

namespace vchat {
namespace {

using std::chrono::steady_clock;

TEST(TcpConnect, FailuresComeBackPromptlyAsMinusOne) {
    for (const testing::Unreachable& c : testing::unreachableBrokers()) {
        const auto t0 = steady_clock::now();
        EXPECT_EQ(tcpConnect(c.host, c.port), -1) << c.what;
        EXPECT_LT(steady_clock::now() - t0, std::chrono::seconds(3)) << c.what;
    }
}

TEST(TcpConnect, ConnectsToALoopbackListenerAndStaysNonBlocking) {
    const testing::LoopbackListener listener(1);
    ASSERT_TRUE(listener.ok());

    const int fd = tcpConnect("127.0.0.1", listener.portText());
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(setBlocking(fd, true));
    EXPECT_FALSE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    ::close(fd);
}

using SocketPairTest = testing::ConnectionPair;

TEST_F(SocketPairTest, SendRawWritesEverythingThroughPartialWrites) {
    // A non-blocking sender with a small buffer and a slow reader: send takes a little at a time.
    ASSERT_TRUE(setBlocking(conn.sock.get(), false));
    int small = 4096;
    setsockopt(conn.sock.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::string bytes(3 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 + i / 251);

    std::string received;
    std::thread reader([&] {
        char buf[1000];
        while (received.size() < bytes.size()) {
            const ssize_t n = ::read(peer, buf, sizeof buf);
            if (n <= 0) break;
            received.append(buf, static_cast<std::size_t>(n));
        }
    });
    EXPECT_TRUE(sendRaw(conn, bytes));
    reader.join();
    EXPECT_TRUE(received == bytes);
}

TEST_F(SocketPairTest, SendRawToAClosedPeerFailsWithoutSignal) {
    peerClose();
    // A SIGPIPE would end this test process here.
    EXPECT_FALSE(sendRaw(conn, std::string(100000, 'x')));
    EXPECT_FALSE(sendRaw(conn, "x"));
}

TEST_F(SocketPairTest, WaitAndReceiveTellTimeOutDataAndClose) {
    EXPECT_EQ(waitReadable(conn, 30).status, IoStatus::NotReady);
    ASSERT_EQ(::write(peer, "abc", 3), 3);
    EXPECT_EQ(waitReadable(conn, 1000).status, IoStatus::Ok);
    char buf[8];
    const IoResult got = recvSome(conn, buf, sizeof buf);
    EXPECT_EQ(got.status, IoStatus::Ok);
    EXPECT_EQ(std::string(buf, got.bytes), "abc");

    peerClose();
    EXPECT_EQ(waitReadable(conn, 1000).status, IoStatus::Ok);   // the close itself is news
    EXPECT_EQ(recvSome(conn, buf, sizeof buf).status, IoStatus::Closed);
}

TEST_F(SocketPairTest, ReadWithNothingThereIsReportedAsNotReady) {
    ASSERT_TRUE(setBlocking(conn.sock.get(), false));
    char buf[8];
    const auto t0 = steady_clock::now();
    EXPECT_EQ(recvSome(conn, buf, sizeof buf).status, IoStatus::NotReady);
    EXPECT_LT(steady_clock::now() - t0, std::chrono::seconds(3));
}

TEST_F(SocketPairTest, CloseIsSafeTwiceAndLeavesNothingUsable) {
    closeConnection(conn);
    EXPECT_FALSE(conn.sock.valid());
    closeConnection(conn);
    EXPECT_FALSE(sendRaw(conn, "x"));
    EXPECT_EQ(waitReadable(conn, 10).status, IoStatus::Error);
    // The peer sees the close.
    char c;
    EXPECT_EQ(::read(peer, &c, 1), 0);
}

}  // namespace
}  // namespace vchat
