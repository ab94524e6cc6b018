// The traffic the simulated gateways publish: JSON messages on "<root>/2/json/<channel>/!<gateway>"
// and encrypted protobuf envelopes on "<root>/2/e/<channel>/!<gateway>". Pure: no I/O, no clock
// (the caller passes the time), deterministic for a given seed.
//
// Error convention: nothing here fails; settings are checked by the option parser.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace vchat::sim {

enum class MessageKind { Text, Nodeinfo, Position, Telemetry, Traceroute };
inline constexpr std::size_t kKindCount = 5;
// Lower-case names, as used in the "type" member, in --mix and in --print-sent lines.
inline constexpr std::array<std::string_view, kKindCount> kKindNames = {
    "text", "nodeinfo", "position", "telemetry", "traceroute"};

// The application port numbers the gateways put in a channel payload for each kind.
inline constexpr std::array<std::uint32_t, kKindCount> kKindPorts = {1, 4, 3, 67, 70};

struct TrafficSettings {
    std::string rootTopic = "msh/EU_868";
    std::string channel = "LongFast";
    std::string channelKey;                              // raw key bytes (decoded Base64), not empty
    std::array<int, kKindCount> weights = {4, 1, 1, 1, 1};  // relative share of each kind (JSON)
    std::array<int, kKindCount> envelopeWeights = {4, 1, 1, 1, 1};  // the same for envelopes
    int envelopePercent = 50;                            // share sent as encrypted envelopes
    int gatewayCount = 2;
    std::uint32_t seed = 1;
};

struct SimNode {
    std::uint32_t number = 0;
    std::string shortName;
    std::string longName;
};

// One message as published, with what the client needs to show it.
struct SimMessage {
    std::uint64_t seq = 0;        // 1, 2, 3, ... in publishing order
    MessageKind kind = MessageKind::Text;
    bool envelope = false;
    std::string topic;
    std::string payload;          // JSON text, or the envelope bytes
    // Envelopes only: the printable gateway label, the packet's two numbers and the plaintext.
    std::string label;
    std::uint32_t first = 0;      // sender node number
    std::uint32_t second = 0;     // packet id
    std::string plaintext;
};

// Everything the generator keeps between messages.
struct TrafficState {
    TrafficSettings settings;
    std::mt19937 rng;
    std::vector<SimNode> nodes;        // the first gatewayCount of them are the gateways
    std::array<int, kKindCount> credit{};          // smooth weighted round robin over the kinds,
    std::array<int, kKindCount> envelopeCredit{};  // one for JSON, one for envelopes
    std::uint64_t seq = 0;
    std::uint32_t packetIdBase = 0;
};

TrafficState makeTrafficState(const TrafficSettings& settings);

// The next message; `unixTime` goes into the timestamps. Packet ids are unique within a run.
SimMessage nextMessage(TrafficState& state, std::int64_t unixTime);

// "!" and eight lower-case hexadecimal digits.
std::string nodeIdText(std::uint32_t number);
std::string toHex(std::string_view bytes);

// One line describing a sent message, for tests and scripts (tab-separated, no line feed):
//   json <tab> seq <tab> kind <tab> topic <tab> payload
//   env  <tab> seq <tab> kind <tab> topic <tab> label <tab> first <tab> second <tab> plaintext-hex
//        <tab> payload-hex
std::string sentRecord(const SimMessage& message);

}  // namespace vchat::sim
