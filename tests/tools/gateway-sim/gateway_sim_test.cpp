// The simulator's pure parts: its protobuf writer against bytes written out by hand, its option
// checks, and the shape of the traffic it builds. Its end-to-end use is in the e2e tests.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "mesh/channel_crypto.h"
#include "tools/gateway-sim/proto_writer.h"
#include "tools/gateway-sim/sim_options.h"
#include "tools/gateway-sim/sim_traffic.h"

namespace vchat::sim {
namespace {

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out.push_back(static_cast<char>(v));
    return out;
}

TEST(GatewaySimProto, VarintsAtTheGroupBoundaries) {
    struct Case {
        std::uint64_t value;
        std::string encoded;
    };
    const Case cases[] = {
        {0, bytes({0x00})},
        {127, bytes({0x7F})},
        {128, bytes({0x80, 0x01})},
        {300, bytes({0xAC, 0x02})},
        {16383, bytes({0xFF, 0x7F})},
        {16384, bytes({0x80, 0x80, 0x01})},
        {0xFFFFFFFFu, bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x0F})},
        {UINT64_MAX, bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01})},
    };
    for (const Case& c : cases) EXPECT_EQ(varintBytes(c.value), c.encoded) << c.value;
}

TEST(GatewaySimProto, FieldsKeepTheirWrittenOrder) {
    const std::string written =
        ProtoWriter{}.varint(6, 150).lengthDelimited(1, "hi").varint(1, 1).lengthDelimited(16, "").bytes;
    EXPECT_EQ(written, bytes({0x30, 0x96, 0x01, 0x0A, 0x02, 'h', 'i', 0x08, 0x01, 0x82, 0x01, 0x00}));
}

TEST(GatewaySimOptions, BadOptionsAreRefusedWithTheirName) {
    struct Case {
        std::vector<std::string> args;
        std::string errorStart;
    };
    const Case cases[] = {
        {{"--bogus"}, "unknown option"},
        {{"--port"}, "--port needs a value"},
        {{"--port", "0"}, "--port:"},
        {{"--port", "65536"}, "--port:"},
        {{"--port=12ab"}, "--port:"},
        {{"--rate", "-1"}, "--rate:"},
        {{"--rate", "fast"}, "--rate:"},
        {{"--count", "1e3"}, "--count:"},
        {{"--mix", "text=1,chat=2"}, "--mix: unknown kind"},
        {{"--mix", "text=0"}, "--mix: at least one kind"},
        {{"--envelope-mix", "text=x"}, "--envelope-mix: the weight"},
        {{"--envelopes", "101"}, "--envelopes:"},
        {{"--gateways", "0"}, "--gateways:"},
        {{"--key", "-_-_"}, "--key:"},
        {{"--channel", "a/b"}, "--channel:"},
        {{"--root", "msh/#"}, "--root:"},
        {{"--psk-key", "abc"}, "--psk-key:"},
        {{"--psk-identity", "id"}, "TLS-PSK needs both"},
        {{"--psk-identity", "id", "--psk-key", "00ff", "--insecure"}, "--psk-identity/--psk-key cannot"},
        {{"--cafile", "ca.pem", "--insecure"}, "--cafile and --insecure"},
        {{"--password", "x"}, "--password needs --user"},
        {{"--tls=yes"}, "--tls takes no value"},
    };
    for (const Case& c : cases) {
        SimOptions o;
        std::string error;
        EXPECT_FALSE(parseOptions(c.args, o, error)) << c.args[0];
        EXPECT_EQ(error.rfind(c.errorStart, 0), 0u) << "got: " << error;
    }
}

TEST(GatewaySimOptions, DefaultsMatchTheClientFormAndTlsPicksItsPort) {
    SimOptions o;
    std::string error;
    ASSERT_TRUE(parseOptions({}, o, error)) << error;
    EXPECT_EQ(o.port, "1883");
    EXPECT_EQ(o.traffic.rootTopic, "msh/EU_868");
    EXPECT_EQ(o.traffic.channelKey, decodeBase64("tQ7nW2xLp9RkVd4sHc8ZyA1mFe6uJb3oGi5rTx0vNqE="));
    EXPECT_EQ(o.traffic.channelKey.size(), 32u);

    ASSERT_TRUE(parseOptions({"--psk-identity", "id", "--psk-key=00FF", "--mix", "text,position=3"}, o, error));
    EXPECT_TRUE(o.tls);
    EXPECT_EQ(o.port, "8883");
    EXPECT_EQ(o.traffic.weights, (std::array<int, kKindCount>{1, 0, 3, 0, 0}));
    EXPECT_EQ(o.traffic.envelopeWeights, o.traffic.weights);
}

TEST(GatewaySimTraffic, TopicsKindsAndPacketsAreWhatGatewaysPublish) {
    TrafficSettings settings;
    settings.rootTopic = "root";
    settings.channel = "Chan";
    settings.channelKey = decodeBase64("Ag==");
    settings.envelopePercent = 50;
    settings.seed = 3;
    TrafficState state = makeTrafficState(settings);
    std::set<std::string> kinds;
    std::set<std::uint32_t> ids;
    for (int i = 0; i < 200; ++i) {
        const SimMessage m = nextMessage(state, 1700000000);
        const std::string kind(kKindNames[static_cast<std::size_t>(m.kind)]);
        kinds.insert((m.envelope ? "e/" : "json/") + kind);
        EXPECT_EQ(m.seq, static_cast<std::uint64_t>(i + 1));
        const std::string gateway = m.topic.substr(m.topic.rfind('/') + 1);
        ASSERT_EQ(gateway.size(), 9u);
        if (!m.envelope) {
            EXPECT_EQ(m.topic, "root/2/json/Chan/" + gateway);
            EXPECT_NE(m.payload.find("\"type\":\"" + kind + "\"}"), std::string::npos) << m.payload;
            // No other kind's word appears, so a Hide box never hides a message of another kind.
            for (std::string_view other : kKindNames) {
                if (other != kind && other != "text") {
                    EXPECT_EQ(m.payload.find(other), std::string::npos) << m.payload;
                }
            }
            continue;
        }
        EXPECT_EQ(m.topic, "root/2/e/Chan/" + gateway);
        EXPECT_EQ(m.label, gateway);
        EXPECT_TRUE(ids.insert(m.second).second) << "packet id repeated";
        EXPECT_NE(m.first, 0u);
        // The envelope: channel name, gateway id, then the packet with both numbers before the
        // ciphertext; decrypting with the one-byte key's derived key gives the plaintext back.
        std::string ciphertext;
        ASSERT_TRUE(decryptChannelPayload(deriveChannelKey(settings.channelKey),
                                          makeCtrNonce(m.first, m.second), m.plaintext, ciphertext));
        const std::string packet = ProtoWriter{}
                                       .varint(1, m.first)
                                       .varint(6, m.second)
                                       .lengthDelimited(5, ciphertext)
                                       .varint(9, 3)
                                       .bytes;
        EXPECT_EQ(m.payload,
                  ProtoWriter{}.lengthDelimited(2, "Chan").lengthDelimited(3, gateway).lengthDelimited(1, packet).bytes);
        EXPECT_EQ(m.plaintext.substr(0, 2), bytes({0x08, static_cast<int>(kKindPorts[static_cast<std::size_t>(m.kind)])}));
    }
    EXPECT_EQ(kinds.size(), 10u);   // both formats, all five kinds
}

TEST(GatewaySimTraffic, TheSameSeedGivesTheSameTraffic) {
    TrafficSettings settings;
    settings.channelKey = decodeBase64("Ag==");
    settings.seed = 99;
    TrafficState a = makeTrafficState(settings);
    TrafficState b = makeTrafficState(settings);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(sentRecord(nextMessage(a, 5)), sentRecord(nextMessage(b, 5)));
    }
}

}  // namespace
}  // namespace vchat::sim
