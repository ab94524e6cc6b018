// Packet builders and the frame reader, compared with bytes written out by hand.
#include "mqtt/packet_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "tests/mqtt/three_packets.h"
#include "tests/support/test_support.h"

namespace vchat {
namespace {

using testing::expectThreePackets;
using testing::kThreePackets;

// A byte string from a literal that may hold zero bytes.
template <std::size_t N>
std::string B(const char (&s)[N]) {
    return std::string(s, N - 1);
}

const std::string kId28 = "korvane-0123456789abcdef0123";

TEST(PacketCodec, RemainingLengthAtEveryEncodingBoundary) {
    struct Case {
        std::uint32_t n;
        std::string bytes;
    };
    const Case cases[] = {
        {0, B("\x00")},
        {127, B("\x7F")},
        {128, B("\x80\x01")},
        {321, B("\xC1\x02")},
        {16383, B("\xFF\x7F")},
        {16384, B("\x80\x80\x01")},
        {2097151, B("\xFF\xFF\x7F")},
        {2097152, B("\x80\x80\x80\x01")},
        {268435455, B("\xFF\xFF\xFF\x7F")},
    };
    for (const Case& c : cases) EXPECT_EQ(encodeRemainingLength(c.n), c.bytes) << c.n;
}

TEST(PacketCodec, EncodeStringWritesLengthHighByteFirst) {
    EXPECT_EQ(encodeString(""), B("\x00\x00"));
    EXPECT_EQ(encodeString("ab"), B("\x00\x02" "ab"));
    EXPECT_EQ(encodeString(std::string(300, 'x')), B("\x01\x2C") + std::string(300, 'x'));
}

TEST(PacketCodec, ConnectForBothLevelsAndEveryCredentialCase) {
    struct Case {
        const char* what;
        const char* version;
        const char* user;
        const char* password;
        std::string bytes;
    };
    const Case cases[] = {
        {"3.1.1 anonymous (28-byte identifier example)", "3.1.1", "", "",
         B("\x10\x28\x00\x04MQTT\x04\x02\x00\x14\x00\x1C") + kId28},
        {"3.1.1 user only", "3.1.1", "bob", "",
         B("\x10\x2D\x00\x04MQTT\x04\x82\x00\x14\x00\x1C") + kId28 + B("\x00\x03" "bob")},
        {"3.1.1 user and password", "3.1.1", "bob", "pw",
         B("\x10\x31\x00\x04MQTT\x04\xC2\x00\x14\x00\x1C") + kId28 + B("\x00\x03" "bob\x00\x02" "pw")},
        {"3.1.1 password without user is left out", "3.1.1", "", "pw",
         B("\x10\x28\x00\x04MQTT\x04\x02\x00\x14\x00\x1C") + kId28},
        {"3.1 anonymous", "3.1", "", "",
         B("\x10\x2A\x00\x06MQIsdp\x03\x02\x00\x14\x00\x1C") + kId28},
        {"3.1 user and password", "3.1", "bob", "pw",
         B("\x10\x33\x00\x06MQIsdp\x03\xC2\x00\x14\x00\x1C") + kId28 + B("\x00\x03" "bob\x00\x02" "pw")},
        {"any other version text is 3.1.1", "3.1 ", "", "",
         B("\x10\x28\x00\x04MQTT\x04\x02\x00\x14\x00\x1C") + kId28},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(buildConnect(kId28, c.user, c.password, c.version, 20), c.bytes) << c.what;
    }
}

TEST(PacketCodec, SubscribePublishPingDisconnect) {
    EXPECT_EQ(buildSubscribe(0x1234, "root/2/json/#"),
              B("\x82\x12\x12\x34\x00\x0D" "root/2/json/#" "\x00"));
    EXPECT_EQ(buildSubscribe(1, "/2/e/#"), B("\x82\x0B\x00\x01\x00\x06/2/e/#\x00"));

    EXPECT_EQ(buildPublish("a/b", "{\"x\":1}"), B("\x30\x0C\x00\x03" "a/b{\"x\":1}"));
    EXPECT_EQ(buildPublish("t", ""), B("\x30\x03\x00\x01t"));
    // 2 + 300 + 2 = 304 bytes follow: remaining length 0xB0 0x02, topic length 0x01 0x2C.
    const std::string topic(300, 't');
    EXPECT_EQ(buildPublish(topic, B("h\x00")), B("\x30\xB0\x02\x01\x2C") + topic + B("h\x00"));

    EXPECT_EQ(buildPingreq(), B("\xC0\x00"));
    EXPECT_EQ(buildDisconnect(), B("\xE0\x00"));
}

// Hands out these bytes, at most as many as there are.
bool fixedBytes(std::uint8_t* out, std::size_t size) {
    static constexpr std::uint8_t kBytes[] = {0x00, 0x01, 0x9a, 0xbc, 0xf0, 0xff, 0x7e, 0x10, 0x5a, 0x2d};
    if (size > sizeof kBytes) return false;
    std::memcpy(out, kBytes, size);
    return true;
}
bool noBytes(std::uint8_t*, std::size_t) { return false; }

TEST(PacketCodec, ClientIdSpellsTenRandomBytesInLowercaseHex) {
    std::string id = "kept";
    EXPECT_FALSE(makeClientId(id, kClientIdPrefix, noBytes));
    EXPECT_EQ(id, "kept");
    ASSERT_TRUE(makeClientId(id, kClientIdPrefix, fixedBytes));
    EXPECT_EQ(id, "korvane-00019abcf0ff7e105a2d");
    // The default source.
    std::string other;
    ASSERT_TRUE(makeClientId(id) && makeClientId(other));
    EXPECT_TRUE(testing::isClientId(id)) << id;
    EXPECT_NE(id, other);
}

TEST(PacketCodec, ParsePublishOnShortAndExactBodies) {
    struct Case {
        std::string body;
        bool ok;
        std::string topic;
        std::string payload;
    };
    const Case cases[] = {
        {"", false, "", ""},
        {B("\x00"), false, "", ""},
        {B("\x00\x05" "abc"), false, "", ""},          // topic length beyond the body
        {B("\x01\x00") + std::string(255, 'a'), false, "", ""},
        {B("\x00\x00"), true, "", ""},
        {B("\x00\x03" "abc"), true, "abc", ""},         // exactly 2 + L bytes: empty payload
        {B("\x00\x03" "abc\x00{\n"), true, "abc", B("\x00{\n")},
    };
    for (const Case& c : cases) {
        std::string topic = "sentinel-topic";
        std::string payload = "sentinel-payload";
        ASSERT_EQ(parsePublish(c.body, topic, payload), c.ok) << ::testing::PrintToString(c.body);
        EXPECT_EQ(topic, c.ok ? c.topic : "sentinel-topic");
        EXPECT_EQ(payload, c.ok ? c.payload : "sentinel-payload");
    }
}

TEST(FrameReader, FedOneByteAtATime) {
    FrameReader reader;
    std::vector<MqttPacket> got;
    for (char byte : kThreePackets) {
        std::size_t consumed = 99;
        const FrameStatus status = feedFrame(reader, &byte, 1, consumed);
        EXPECT_EQ(consumed, 1u);
        ASSERT_NE(status, FrameStatus::Failed);
        if (status == FrameStatus::Complete) got.push_back(takePacket(reader));
    }
    expectThreePackets(got);
    EXPECT_FALSE(frameStarted(reader));
}

TEST(FrameReader, FedEverythingAtOnceStopsAtEachPacketEnd) {
    FrameReader reader;
    std::vector<MqttPacket> got;
    std::size_t pos = 0;
    while (pos < kThreePackets.size()) {
        std::size_t consumed = 0;
        const FrameStatus status =
            feedFrame(reader, kThreePackets.data() + pos, kThreePackets.size() - pos, consumed);
        pos += consumed;
        ASSERT_EQ(status, FrameStatus::Complete);
        got.push_back(takePacket(reader));
    }
    EXPECT_EQ(pos, kThreePackets.size());
    expectThreePackets(got);
}

TEST(FrameReader, FourContinuationBytesEndTheLengthAndReserveNothing) {
    FrameReader reader;
    const std::string header = B("\x30\xFF\xFF\xFF\xFF");
    std::size_t consumed = 0;
    EXPECT_EQ(feedFrame(reader, header.data(), header.size(), consumed), FrameStatus::NeedMore);
    EXPECT_EQ(consumed, header.size());
    EXPECT_TRUE(frameStarted(reader));
    EXPECT_EQ(reader.stage, FrameReader::Stage::Body);
    EXPECT_EQ(reader.remaining, kMaxRemainingLength);
    // The fifth byte is already body, and the body holds only what arrived.
    const std::string more = B("\x80" "abc");
    EXPECT_EQ(feedFrame(reader, more.data(), more.size(), consumed), FrameStatus::NeedMore);
    EXPECT_EQ(consumed, more.size());
    EXPECT_EQ(reader.packet.body, more);
    EXPECT_LT(reader.packet.body.capacity(), 4096u);
}

TEST(FrameReader, ZeroLengthPacketCompletesWithoutBody) {
    FrameReader reader;
    const std::string ping = B("\xD0\x00\xD0");
    std::size_t consumed = 0;
    EXPECT_EQ(feedFrame(reader, ping.data(), ping.size(), consumed), FrameStatus::Complete);
    EXPECT_EQ(consumed, 2u);
    EXPECT_EQ(reader.packet.type, 13);
}

// Over the limit a body is counted off, not stored: a PUBLISH keeps its topic, any other packet
// nothing. Each packet is fed twice and then a PINGRESP, in chunks of every size: the limit holds
// from packet to packet and the stream stays in step.
TEST(FrameReader, ABodyOverTheLimitIsDroppedKeepingOnlyAPublishTopic) {
    const std::string longTopic(300, 't');
    struct Case {
        const char* what;
        std::uint32_t limit;
        std::string packet;
        std::uint32_t length;   // announced
        bool oversized;
        std::string body;   // what the packet holds once complete
    };
    const Case cases[] = {
        {"PUBLISH body exactly at the limit", 16, buildPublish("a/b", std::string(11, 'p')), 16, false,
         B("\x00\x03" "a/b") + std::string(11, 'p')},
        {"PUBLISH one byte over", 16, buildPublish("a/b", std::string(12, 'p')), 17, true, B("\x00\x03" "a/b")},
        {"topic longer than the limit, split by every chunk size", 16, buildPublish(longTopic, std::string(1000, 'p')),
         1302, true, B("\x01\x2C") + longTopic},
        {"topic length beyond the body", 3, B("\x30\x04\x00\x10" "ab"), 4, true, B("\x00\x10" "ab")},
        {"SUBACK over the limit keeps nothing", 16, B("\x90\x11") + std::string(17, 's'), 17, true, ""},
    };
    for (const Case& c : cases) {
        const std::string stream = c.packet + c.packet + B("\xD0\x00");
        for (std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7}, stream.size()}) {
            SCOPED_TRACE(std::string(c.what) + ", chunks of " + std::to_string(chunk));
            FrameReader reader;
            reader.bodyLimit = c.limit;
            std::vector<MqttPacket> got;
            for (std::size_t pos = 0; pos < stream.size();) {
                std::size_t consumed = 0;
                const std::size_t n = std::min(chunk, stream.size() - pos);
                const FrameStatus status = feedFrame(reader, stream.data() + pos, n, consumed);
                ASSERT_NE(status, FrameStatus::Failed);
                pos += consumed;
                if (status == FrameStatus::Complete) got.push_back(takePacket(reader));
            }
            ASSERT_EQ(got.size(), 3u);
            for (int i = 0; i < 2; ++i) {
                EXPECT_EQ(got[i].type, static_cast<std::uint8_t>(c.packet[0]) >> 4);
                EXPECT_EQ(got[i].oversized, c.oversized);
                EXPECT_EQ(got[i].body, c.body);
                EXPECT_EQ(got[i].length, c.length);
            }
            EXPECT_EQ(got[2].type, 13);
            EXPECT_FALSE(got[2].oversized);
        }
    }
}

}  // namespace
}  // namespace vchat
