#include "tools/gateway-sim/sim_traffic.h"

#include <algorithm>
#include <cstdio>

#include "mesh/channel_crypto.h"
#include "mesh/envelope_display.h"
#include "mesh/outgoing.h"
#include "tools/gateway-sim/proto_writer.h"

namespace vchat::sim {

namespace {

constexpr std::uint32_t kBroadcast = 0xFFFFFFFFu;
constexpr std::uint32_t kHardwareModel = 43;
constexpr std::uint32_t kHopLimit = 3;
// Node numbers stay in this range, so every gateway id has eight hex digits and none is 0.
constexpr std::uint32_t kNodeNumberBase = 0x10000000u;
constexpr std::uint32_t kNodeNumberSpan = 0xE0000000u;

// None of these texts or names holds a word the client's Hide boxes search for, so hiding one kind
// never hides a message of another kind.
constexpr std::string_view kTexts[] = {
    "Good morning, anyone on frequency?",
    "Testing the new antenna on the roof",
    "Signal report please, over",
    "Heading out on the bike, back at noon",
    "Solar panel is charging fine today",
    "Weather is clearing up over the ridge",
    "73, signing off for the night",
    "Can you hear me from the valley?",
    "Check-in from the club meeting",
    "He said \"copy that\" \\ twice",
    "Gr\xc3\xbc\xc3\x9f" "e aus dem Tal, 73",
    "Relay hop test, please acknowledge",
};

struct NodeName {
    std::string_view shortName;
    std::string_view longName;
};
constexpr NodeName kNodeNames[] = {
    {"HTR1", "Hilltop Relay"}, {"HBS", "Harbour Base"}, {"RVC", "River Camp"},
    {"OMIL", "Old Mill"},      {"TWN", "Tower North"},  {"VRV", "Valley Rover"},
    {"LKS", "Lakeside"},       {"FRM", "Farm Gate"},
};

std::uint32_t draw(std::mt19937& rng, std::uint32_t span) {
    return static_cast<std::uint32_t>(rng() % span);
}

MessageKind nextKind(const std::array<int, kKindCount>& weights, std::array<int, kKindCount>& credit) {
    // Smooth weighted round robin: the kinds interleave in proportion to their weights.
    int total = 0;
    int best = -1;
    for (std::size_t k = 0; k < kKindCount; ++k) {
        const int weight = weights[k];
        if (weight <= 0) continue;
        total += weight;
        credit[k] += weight;
        if (best < 0 || credit[k] > credit[best]) best = static_cast<int>(k);
    }
    if (best < 0) return MessageKind::Text;
    credit[best] -= total;
    return static_cast<MessageKind>(best);
}

std::string jsonString(std::string_view text) {
    return "\"" + jsonEscape(text) + "\"";
}

std::string decimal(std::int64_t value) {
    return std::to_string(value);
}

// A fixed-point number with two decimals, without the locale's say in the separator.
std::string fixed2(int hundredths) {
    const char* sign = hundredths < 0 ? "-" : "";
    const int magnitude = hundredths < 0 ? -hundredths : hundredths;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%d.%02d", sign, magnitude / 100, magnitude % 100);
    return buf;
}

// The kind's own content: the JSON "payload" object and the protobuf body of the channel payload.
struct KindContent {
    std::string json;
    std::string proto;
};

KindContent kindContent(TrafficState& state, MessageKind kind, const SimNode& from, std::int64_t now) {
    std::mt19937& rng = state.rng;
    KindContent c;
    switch (kind) {
    case MessageKind::Text: {
        const std::string_view text = kTexts[draw(rng, std::size(kTexts))];
        c.json = "{\"text\":" + jsonString(text) + "}";
        c.proto = std::string(text);
        break;
    }
    case MessageKind::Nodeinfo: {
        const std::string id = nodeIdText(from.number);
        c.json = "{\"hardware\":" + decimal(kHardwareModel) + ",\"id\":" + jsonString(id) +
                 ",\"longname\":" + jsonString(from.longName) + ",\"role\":0,\"shortname\":" +
                 jsonString(from.shortName) + "}";
        c.proto = ProtoWriter{}
                      .lengthDelimited(1, id)
                      .lengthDelimited(2, from.longName)
                      .lengthDelimited(3, from.shortName)
                      .varint(5, kHardwareModel)
                      .bytes;
        break;
    }
    case MessageKind::Position: {
        const std::uint32_t latitude = 470000000 + draw(rng, 60000000);
        const std::uint32_t longitude = 60000000 + draw(rng, 90000000);
        const std::uint32_t altitude = 100 + draw(rng, 1500);
        c.json = "{\"altitude\":" + decimal(altitude) + ",\"latitude_i\":" + decimal(latitude) +
                 ",\"longitude_i\":" + decimal(longitude) + ",\"precision_bits\":32,\"time\":" +
                 decimal(now) + "}";
        c.proto = ProtoWriter{}.varint(1, latitude).varint(2, longitude).varint(3, altitude)
                      .varint(4, static_cast<std::uint64_t>(now)).bytes;
        break;
    }
    case MessageKind::Telemetry: {
        const std::uint32_t battery = 20 + draw(rng, 81);
        const std::uint32_t millivolts = 3300 + draw(rng, 900);
        const std::uint32_t uptime = 60 + draw(rng, 500000);
        const int utilisation = static_cast<int>(draw(rng, 2000));
        c.json = "{\"air_util_tx\":" + fixed2(utilisation / 10) + ",\"battery_level\":" +
                 decimal(battery) + ",\"channel_utilization\":" + fixed2(utilisation) +
                 ",\"uptime_seconds\":" + decimal(uptime) + ",\"voltage\":" +
                 fixed2(static_cast<int>(millivolts / 10)) + "}";
        const std::string metrics =
            ProtoWriter{}.varint(1, battery).varint(2, millivolts).varint(5, uptime).bytes;
        c.proto = ProtoWriter{}.varint(1, static_cast<std::uint64_t>(now)).lengthDelimited(2, metrics).bytes;
        break;
    }
    case MessageKind::Traceroute: {
        const SimNode& hop1 = state.nodes[draw(rng, static_cast<std::uint32_t>(state.nodes.size()))];
        const SimNode& hop2 = state.nodes[draw(rng, static_cast<std::uint32_t>(state.nodes.size()))];
        c.json = "{\"route\":[" + decimal(hop1.number) + "," + decimal(hop2.number) + "]}";
        c.proto = ProtoWriter{}.varint(1, hop1.number).varint(1, hop2.number).bytes;
        break;
    }
    }
    return c;
}

}  // namespace

std::string nodeIdText(std::uint32_t number) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "!%08x", number);
    return buf;
}

std::string toHex(std::string_view bytes) {
    return hexPreview(bytes, bytes.size());   // no limit, so never the "..." cut
}

TrafficState makeTrafficState(const TrafficSettings& settings) {
    TrafficState state;
    state.settings = settings;
    state.rng.seed(settings.seed);
    const std::size_t nodeCount =
        std::max<std::size_t>(std::size(kNodeNames), static_cast<std::size_t>(settings.gatewayCount));
    for (std::size_t i = 0; i < nodeCount; ++i) {
        const NodeName& name = kNodeNames[i % std::size(kNodeNames)];
        SimNode node;
        node.number = kNodeNumberBase + draw(state.rng, kNodeNumberSpan);
        node.shortName = std::string(name.shortName);
        node.longName = std::string(name.longName);
        state.nodes.push_back(node);
    }
    // Ids count up from a random start; only 0 is skipped (the client needs a non-zero number).
    state.packetIdBase = static_cast<std::uint32_t>(state.rng());
    return state;
}

SimMessage nextMessage(TrafficState& state, std::int64_t unixTime) {
    const TrafficSettings& s = state.settings;
    SimMessage m;
    m.seq = ++state.seq;
    m.envelope = static_cast<int>(draw(state.rng, 100)) < s.envelopePercent;
    m.kind = m.envelope ? nextKind(s.envelopeWeights, state.envelopeCredit) : nextKind(s.weights, state.credit);

    const int gateways = s.gatewayCount > 0 ? s.gatewayCount : 1;
    const SimNode& gateway = state.nodes[draw(state.rng, static_cast<std::uint32_t>(gateways))];
    const SimNode& from = state.nodes[draw(state.rng, static_cast<std::uint32_t>(state.nodes.size()))];
    std::uint32_t packetId = state.packetIdBase + static_cast<std::uint32_t>(m.seq);
    if (packetId == 0) packetId = ++state.packetIdBase + static_cast<std::uint32_t>(m.seq);
    const std::string gatewayId = nodeIdText(gateway.number);
    const KindContent content = kindContent(state, m.kind, from, unixTime);
    const std::size_t kindIndex = static_cast<std::size_t>(m.kind);

    if (!m.envelope) {
        m.topic = s.rootTopic + "/2/json/" + s.channel + "/" + gatewayId;
        const int rssi = -120 + static_cast<int>(draw(state.rng, 90));
        const int snr = -80 + static_cast<int>(draw(state.rng, 120));   // quarter-dB steps, scaled
        m.payload = "{\"channel\":0,\"from\":" + decimal(from.number) + ",\"hops_away\":0,\"id\":" +
                    decimal(packetId) + ",\"payload\":" + content.json + ",\"rssi\":" + decimal(rssi) +
                    ",\"sender\":" + jsonString(gatewayId) + ",\"snr\":" + fixed2(snr * 25) +
                    ",\"timestamp\":" + decimal(unixTime) + ",\"to\":" + decimal(kBroadcast) +
                    ",\"type\":" + jsonString(kKindNames[kindIndex]) + "}";
        return m;
    }

    m.topic = s.rootTopic + "/2/e/" + s.channel + "/" + gatewayId;
    m.first = from.number;
    m.second = packetId;
    // The channel payload: application port, then the kind's body.
    m.plaintext = ProtoWriter{}.varint(1, kKindPorts[kindIndex]).lengthDelimited(2, content.proto).bytes;
    std::string ciphertext;
    // Counter mode: encrypting is the same operation as decrypting.
    decryptChannelPayload(deriveChannelKey(s.channelKey), makeCtrNonce(m.first, m.second), m.plaintext,
                          ciphertext);
    // The two numbers come first, as varints: the client takes the first two non-zero ones as the
    // counter block. The packet goes last, so it is the envelope's last field of two or more bytes;
    // the gateway id before it is its last short printable field, its label.
    const std::string packet = ProtoWriter{}
                                   .varint(1, m.first)
                                   .varint(6, m.second)
                                   .lengthDelimited(5, ciphertext)
                                   .varint(9, kHopLimit)
                                   .bytes;
    m.label = gatewayId;
    m.payload = ProtoWriter{}
                    .lengthDelimited(2, s.channel)
                    .lengthDelimited(3, gatewayId)
                    .lengthDelimited(1, packet)
                    .bytes;
    return m;
}

std::string sentRecord(const SimMessage& m) {
    const std::string kind(kKindNames[static_cast<std::size_t>(m.kind)]);
    if (!m.envelope) {
        return "json\t" + std::to_string(m.seq) + "\t" + kind + "\t" + m.topic + "\t" + m.payload;
    }
    return "env\t" + std::to_string(m.seq) + "\t" + kind + "\t" + m.topic + "\t" + m.label + "\t" +
           std::to_string(m.first) + "\t" + std::to_string(m.second) + "\t" + toHex(m.plaintext) + "\t" +
           toHex(m.payload);
}

}  // namespace vchat::sim
