#include "mqtt/packet_codec.h"

#include "mesh/ascii.h"

#include <new>
#include <utility>

namespace vchat {

namespace {

constexpr char kProtocolNameV311[] = "MQTT";
constexpr char kProtocolNameV31[] = "MQIsdp";
constexpr char kProtocolVersion31[] = "3.1";
constexpr std::uint8_t kLevelV311 = 4;
constexpr std::uint8_t kLevelV31 = 3;

constexpr std::uint8_t kConnectFlagClean = 0x02;
constexpr std::uint8_t kConnectFlagPassword = 0x40;
constexpr std::uint8_t kConnectFlagUser = 0x80;

constexpr char kHeaderConnect = '\x10';
constexpr char kHeaderPublish = '\x30';
constexpr char kHeaderSubscribe = '\x82';   // reserved flag bits 0010
constexpr char kHeaderPingreq = '\xC0';
constexpr char kHeaderDisconnect = '\xE0';

// Random bytes in a client identifier: 20 hexadecimal digits.
constexpr std::size_t kClientIdRandomBytes = 10;

void appendU16(std::string& out, std::uint32_t value) {
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
    out.push_back(static_cast<char>(value & 0xFF));
}

std::string framePacket(char header, const std::string& rest) {
    std::string packet(1, header);
    packet += encodeRemainingLength(static_cast<std::uint32_t>(rest.size()));
    packet += rest;
    return packet;
}

// How many more body bytes an oversized packet keeps: for a PUBLISH its topic length, then its topic
// (as far as the body goes); nothing of any other packet.
std::size_t oversizedKeep(const FrameReader& reader) {
    const MqttPacket& p = reader.packet;
    if (p.type != kPacketPublish) return 0;
    std::size_t wanted = 2;
    if (p.body.size() >= 2) {
        wanted += (static_cast<std::size_t>(static_cast<std::uint8_t>(p.body[0])) << 8) |
                  static_cast<std::uint8_t>(p.body[1]);
    }
    return wanted > p.body.size() ? wanted - p.body.size() : 0;
}

}  // namespace

std::string encodeString(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    appendU16(out, static_cast<std::uint32_t>(s.size()));
    out.append(s.data(), s.size());
    return out;
}

std::string encodeRemainingLength(std::uint32_t n) {
    std::string out;
    do {
        auto byte = static_cast<std::uint8_t>(n & 0x7F);
        n >>= 7;
        if (n > 0) byte |= 0x80;
        out.push_back(static_cast<char>(byte));
    } while (n > 0);
    return out;
}

std::string buildConnect(std::string_view clientId, std::string_view user, std::string_view password,
                         std::string_view protocolVersion, std::uint16_t keepAliveSec) {
    const bool v31 = protocolVersion == kProtocolVersion31;
    const bool withUser = !user.empty();
    // A password without a user name is not allowed by the protocol: it is left out.
    const bool withPassword = withUser && !password.empty();

    std::uint8_t flags = kConnectFlagClean;
    if (withUser) flags |= kConnectFlagUser;
    if (withPassword) flags |= kConnectFlagPassword;

    std::string rest = encodeString(v31 ? kProtocolNameV31 : kProtocolNameV311);
    rest.push_back(static_cast<char>(v31 ? kLevelV31 : kLevelV311));
    rest.push_back(static_cast<char>(flags));
    appendU16(rest, keepAliveSec);
    rest += encodeString(clientId);
    if (withUser) rest += encodeString(user);
    if (withPassword) rest += encodeString(password);
    return framePacket(kHeaderConnect, rest);
}

std::string buildSubscribe(std::uint16_t packetId, std::string_view filter) {
    std::string rest;
    appendU16(rest, packetId);
    rest += encodeString(filter);
    rest.push_back('\x00');   // requested QoS 0
    return framePacket(kHeaderSubscribe, rest);
}

std::string buildPublish(std::string_view topic, std::string_view payload) {
    std::string packet = buildPublishHead(topic, payload.size());
    packet.append(payload.data(), payload.size());
    return packet;
}

std::string buildPublishHead(std::string_view topic, std::size_t payloadSize) {
    const std::string name = encodeString(topic);
    std::string head(1, kHeaderPublish);
    head += encodeRemainingLength(static_cast<std::uint32_t>(name.size() + payloadSize));
    head += name;
    return head;
}

std::string buildPingreq() {
    return std::string{kHeaderPingreq, '\x00'};
}

std::string buildDisconnect() {
    return std::string{kHeaderDisconnect, '\x00'};
}

bool makeClientId(std::string& id, std::string_view prefix, RandomBytesSource source) {
    std::uint8_t random[kClientIdRandomBytes];
    if (!source(random, sizeof random)) return false;
    std::string made(prefix);
    for (const std::uint8_t b : random) {
        made.push_back(kLowerHexDigits[b >> 4]);
        made.push_back(kLowerHexDigits[b & 0xF]);
    }
    id = std::move(made);
    return true;
}

std::uint16_t makeSubscribeId(std::mt19937& rng) {
    std::uint16_t id = 0;
    while (id == 0) id = static_cast<std::uint16_t>(rng() & 0xFFFF);
    return id;
}

FrameStatus feedFrame(FrameReader& reader, const char* data, std::size_t size, std::size_t& consumed) {
    if (reader.complete) resetFrame(reader);
    consumed = 0;
    while (consumed < size || (reader.stage == FrameReader::Stage::Body && reader.remaining == 0)) {
        switch (reader.stage) {
        case FrameReader::Stage::Header: {
            const auto byte = static_cast<std::uint8_t>(data[consumed++]);
            reader.packet.type = byte >> 4;
            reader.packet.flags = byte & 0x0F;
            reader.stage = FrameReader::Stage::Length;
            break;
        }
        case FrameReader::Stage::Length: {
            const auto byte = static_cast<std::uint8_t>(data[consumed++]);
            reader.remaining += (byte & 0x7Fu) * reader.multiplier;
            reader.multiplier *= 128;
            ++reader.lengthBytes;
            // The field has at most four bytes; a fourth with bit 7 set still ends it.
            if ((byte & 0x80) == 0 || reader.lengthBytes == 4) {
                reader.stage = FrameReader::Stage::Body;
                reader.packet.length = reader.remaining;
                reader.packet.oversized = reader.remaining > reader.bodyLimit;
            }
            break;
        }
        case FrameReader::Stage::Body: {
            std::size_t take = std::min<std::size_t>(reader.remaining, size - consumed);
            // Oversized: keep what names the topic, count the rest off. One step per part, so a
            // chunk that holds the topic length and the topic keeps both.
            std::size_t keep = take;
            if (reader.packet.oversized) {
                const std::size_t wanted = oversizedKeep(reader);
                keep = std::min(take, wanted);
                if (wanted > 0) take = keep;
            }
            try {
                reader.packet.body.append(data + consumed, keep);
            } catch (const std::bad_alloc&) {
                resetFrame(reader);
                return FrameStatus::Failed;
            }
            consumed += take;
            reader.remaining -= static_cast<std::uint32_t>(take);
            if (reader.remaining == 0) {
                reader.complete = true;
                return FrameStatus::Complete;
            }
            break;
        }
        }
    }
    return FrameStatus::NeedMore;
}

void resetFrame(FrameReader& reader) {
    const std::uint32_t limit = reader.bodyLimit;
    reader = FrameReader{};
    reader.bodyLimit = limit;
}

MqttPacket takePacket(FrameReader& reader) {
    MqttPacket packet = std::move(reader.packet);
    resetFrame(reader);
    return packet;
}

bool frameStarted(const FrameReader& reader) {
    return !reader.complete && reader.stage != FrameReader::Stage::Header;
}

bool parsePublish(std::string_view body, std::string& topic, std::string& payload) {
    if (body.size() < 2) return false;
    const std::size_t topicLength = (static_cast<std::uint8_t>(body[0]) << 8) |
                                    static_cast<std::uint8_t>(body[1]);
    if (body.size() < topicLength + 2) return false;
    topic.assign(body.substr(2, topicLength));
    payload.assign(body.substr(2 + topicLength));
    return true;
}

}  // namespace vchat
