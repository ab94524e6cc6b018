// MQTT control packets the client sends and receives (QoS 0 only).
//
// Pure code over byte buffers: packet builders, the resumable frame reader, PUBLISH splitting.
// Reading packets off a connection is packet_stream.h.
//
// Error convention of this header: builders cannot fail; the frame reader reports a FrameStatus;
// parsePublish and makeClientId return bool with out-parameters untouched on failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include "mqtt/secure_random.h"

namespace vchat {

// Largest remaining length the four-byte field can carry.
inline constexpr std::uint32_t kMaxRemainingLength = 268435455;
// Largest packet body (for a PUBLISH: topic and payload) the client takes whole; a larger one is
// read through and dropped, so a broker cannot make the client hold more than this.
inline constexpr std::uint32_t kMaxMessageSize = 4194304;
// What an oversized PUBLISH keeps of its body: the topic's two length bytes and the topic.
inline constexpr std::uint32_t kMaxTopicPart = 2 + 65535;

inline constexpr std::uint8_t kPacketConnack = 2;
inline constexpr std::uint8_t kPacketPublish = 3;

struct MqttPacket {
    std::int32_t type = -1;   // upper four bits of the fixed-header byte
    std::int32_t flags = 0;   // lower four bits; read, never interpreted
    std::string body;         // exactly the bytes the remaining length announced, unless oversized
    std::uint32_t length = 0; // the remaining length announced
    // The body was over the reader's limit and was dropped: `body` holds only the start of a
    // PUBLISH up to the end of its topic (at most kMaxTopicPart bytes), nothing of other packets.
    bool oversized = false;
};

// ---- Builders: each returns one complete packet, ready for sendRaw. ----

// Two bytes of length, high byte first, then the bytes. Callers keep s within 65535 bytes.
std::string encodeString(std::string_view s);
// The MQTT variable-length encoding of n (1 to 4 bytes for n up to kMaxRemainingLength).
std::string encodeRemainingLength(std::uint32_t n);
// CONNECT with clean session and the given keep-alive. protocolVersion "3.1" selects "MQIsdp"
// level 3, anything else "MQTT" level 4. The user name goes in when it is not empty, the password
// only together with a user name.
std::string buildConnect(std::string_view clientId, std::string_view user, std::string_view password,
                         std::string_view protocolVersion, std::uint16_t keepAliveSec);
// SUBSCRIBE with one filter at QoS 0.
std::string buildSubscribe(std::uint16_t packetId, std::string_view filter);
// PUBLISH at QoS 0, no retain; the payload bytes unchanged.
std::string buildPublish(std::string_view topic, std::string_view payload);
// The part of that PUBLISH before its payload, for a payload of payloadSize bytes (a large payload
// then goes out from where it lies, without a copy).
std::string buildPublishHead(std::string_view topic, std::size_t payloadSize);
std::string buildPingreq();
std::string buildDisconnect();

inline constexpr std::string_view kClientIdPrefix = "korvane-";
// Fills `size` bytes at `out`; false when it has none to give.
using RandomBytesSource = bool (*)(std::uint8_t* out, std::size_t size);
// `prefix` and 20 lowercase hexadecimal digits, two per byte (high half first) of 10 bytes from
// `source`: by default the cryptographic generator, so no identifier tells anything about another.
// False, `id` untouched, when the source fails.
bool makeClientId(std::string& id, std::string_view prefix = kClientIdPrefix,
                  RandomBytesSource source = secureRandomBytes);
// A SUBSCRIBE packet identifier from `rng`, never 0 (it need not be unpredictable).
std::uint16_t makeSubscribeId(std::mt19937& rng);

// ---- Frame reader: pure and resumable; accepts any chunk size. ----

enum class FrameStatus {
    NeedMore,   // everything offered was consumed, the packet is not complete yet
    Complete,   // `packet` holds one whole packet; bytes after it were not consumed
    Failed,     // the body could not be stored (allocation failure)
};

struct FrameReader {
    enum class Stage { Header, Length, Body };
    Stage stage = Stage::Header;
    int lengthBytes = 0;           // remaining-length bytes seen so far
    std::uint32_t multiplier = 1;
    std::uint32_t remaining = 0;   // body bytes still missing (once in Stage::Body)
    bool complete = false;         // `packet` is whole; the next feed starts a new one
    MqttPacket packet;
    // A setting, kept from packet to packet: a body announced longer than this is counted off and
    // dropped as it arrives, the packet marked oversized.
    std::uint32_t bodyLimit = kMaxMessageSize;
};

// Consumes bytes of `data` up to the end of one packet and adds them to `reader`; `consumed` says
// how many. The body grows with the bytes actually offered: the announced length is never used to
// reserve memory. A remaining-length field whose fourth byte still has bit 7 set ends there.
// After Complete or Failed the reader starts over with the next packet.
// An oversized packet still consumes every byte it announced, so the stream stays in step.
FrameStatus feedFrame(FrameReader& reader, const char* data, std::size_t size, std::size_t& consumed);
// Moves the completed packet out and makes the reader ready for the next one.
MqttPacket takePacket(FrameReader& reader);
// True once any byte of the current packet has been consumed.
bool frameStarted(const FrameReader& reader);
// Drops the packet in progress (a new connection); keeps the body limit.
void resetFrame(FrameReader& reader);

// ---- PUBLISH bodies ----

// Splits a QoS 0 PUBLISH body into topic and payload (possibly empty). False, outputs untouched,
// when the body is shorter than its own topic length says.
bool parsePublish(std::string_view body, std::string& topic, std::string& payload);

}  // namespace vchat
