// readPacket over one end of a socket pair, the test playing the broker on the other end.
#include "mqtt/packet_stream.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "tests/mqtt/connection_pair.h"
#include "tests/mqtt/three_packets.h"
#include "tests/support/test_support.h"

namespace vchat {
namespace {

using testing::expectThreePackets;
using testing::fromHex;
using testing::kThreePackets;

class ReadPacketTest : public testing::ConnectionPair {
protected:
    PacketStream stream;
};

TEST_F(ReadPacketTest, TimeOutIsNotAFailure) {
    MqttPacket packet;
    EXPECT_EQ(readPacket(conn, stream, packet, 50), IoStatus::NotReady);
    peerWrite(fromHex("d000"));
    EXPECT_EQ(readPacket(conn, stream, packet, 2000), IoStatus::Ok);
    EXPECT_EQ(packet.type, 13);
}

TEST_F(ReadPacketTest, PacketsReadAheadAreHandedOutWithoutWaiting) {
    peerWrite(kThreePackets);   // in one write
    std::vector<MqttPacket> got(1);
    ASSERT_EQ(readPacket(conn, stream, got[0], 2000), IoStatus::Ok);
    for (int i = 0; i < 2; ++i) {
        got.emplace_back();
        ASSERT_EQ(readPacket(conn, stream, got.back(), 0), IoStatus::Ok) << i;
    }
    expectThreePackets(got);
    MqttPacket none;
    EXPECT_EQ(readPacket(conn, stream, none, 0), IoStatus::NotReady);
}

TEST(ReadPacketClosed, ClosedAfterEachBytePositionIsReportedAsClosed) {
    const std::string packet = fromHex("308500000361" "2f62");   // remaining length 5 in two bytes
    for (std::size_t cut = 0; cut < packet.size(); ++cut) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        BrokerConnection conn;
        conn.sock.reset(fds[0]);
        ASSERT_EQ(::write(fds[1], packet.data(), cut), static_cast<ssize_t>(cut));
        ::close(fds[1]);
        PacketStream stream;
        MqttPacket got;
        EXPECT_EQ(readPacket(conn, stream, got, 2000), IoStatus::Closed) << "cut after " << cut;
    }
}

TEST_F(ReadPacketTest, PacketThatStallsAfterItsFirstByteFails) {
    peerWrite(fromHex("300500"));
    MqttPacket packet;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(readPacket(conn, stream, packet, 2000, 300), IoStatus::Error);
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, std::chrono::milliseconds(250));
    EXPECT_LT(took, std::chrono::seconds(5));
}

// A raised wake hands the turn back before and inside a packet; the packet in progress keeps its
// bytes and its completion deadline across such returns, so one that trickles in completes, and
// one that stalls still fails when its time is up, however often the reader is woken.
TEST_F(ReadPacketTest, WakeReturnsWithoutLosingThePacketOrItsDeadline) {
    StopSignal wake;
    wake.raise();
    MqttPacket packet;
    EXPECT_EQ(readPacket(conn, stream, packet, 2000, 300, &wake), IoStatus::NotReady);
    peerWrite(fromHex("3005"));
    EXPECT_EQ(readPacket(conn, stream, packet, 2000, 300, &wake), IoStatus::NotReady);
    peerWrite(fromHex("0001") + "t" + "pl");
    ASSERT_EQ(readPacket(conn, stream, packet, 2000, 300, &wake), IoStatus::Ok);
    EXPECT_EQ(packet.type, 3);
    EXPECT_EQ(packet.body, fromHex("0001") + "tpl");

    peerWrite(fromHex("3005"));
    const auto t0 = std::chrono::steady_clock::now();
    IoStatus status = IoStatus::NotReady;
    while (status == IoStatus::NotReady && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(5)) {
        status = readPacket(conn, stream, packet, 2000, 300, &wake);
    }
    EXPECT_EQ(status, IoStatus::Error);
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, std::chrono::milliseconds(250));
    EXPECT_LT(took, std::chrono::seconds(2));
}

}  // namespace
}  // namespace vchat
