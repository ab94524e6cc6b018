#include "mesh/outgoing.h"

#include "mesh/ascii.h"

#include "mesh/json_filter.h"

namespace vchat {

namespace {

constexpr std::string_view kJsonTopicInfix = "/2/json/mqtt/!";
constexpr std::size_t kGatewayHexBytes = 8;
constexpr std::uint32_t kBroadcastId = 0xFFFFFFFFu;

}  // namespace

std::string jsonEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (char c : text) {
        switch (c) {
            case '\b': out.append("\\b"); break;
            case '\t': out.append("\\t"); break;
            case '\n': out.append("\\n"); break;
            case '\f': out.append("\\f"); break;
            case '\r': out.append("\\r"); break;
            case '"': out.append("\\\""); break;
            case '\\': out.append("\\\\"); break;
            default:
                // Every other control byte too, so the message is JSON whatever the line holds.
                if (static_cast<unsigned char>(c) < 0x20) {
                    out.append("\\u00").push_back(kLowerHexDigits[(c >> 4) & 0xF]);
                    out.push_back(kLowerHexDigits[c & 0xF]);
                } else {
                    out.push_back(c);
                }
                break;
        }
    }
    return out;
}

std::string buildTextMessageJson(const OutgoingText& message, std::uint32_t packetId) {
    // Anything outside the node range cannot name a node, so it goes to everyone like a negative id.
    const std::uint32_t to = (message.toId < 0 || message.toId > std::int64_t{kBroadcastId})
                                 ? kBroadcastId
                                 : static_cast<std::uint32_t>(message.toId);
    const std::int32_t channel = message.channel < 0 ? 0 : message.channel;

    std::string json;
    json.reserve(128 + message.text.size() + message.shortName.size() + message.longName.size());
    json.append("{\"from\":").append(std::to_string(message.fromId));
    json.append(",\"type\":\"sendtext\"");
    json.append(",\"channel\":").append(std::to_string(channel));
    json.append(",\"id\":").append(std::to_string(packetId));
    json.append(",\"to\":").append(std::to_string(to));
    if (!message.shortName.empty()) {
        json.append(",\"shortName\":\"").append(jsonEscape(message.shortName)).append("\"");
    }
    if (!message.longName.empty()) {
        json.append(",\"longName\":\"").append(jsonEscape(message.longName)).append("\"");
    }
    json.append(",\"payload\":\"").append(jsonEscape(message.text)).append("\"}");
    return json;
}

bool buildTextTopic(std::string_view rootTopic, std::string_view gatewayHex, std::string& topic) {
    if (gatewayHex.size() != kGatewayHexBytes) return false;
    // The root topic is used exactly as configured; only the gateway id is lower-cased.
    std::string built(rootTopic);
    built.append(kJsonTopicInfix).append(toLowerAscii(gatewayHex));
    topic = std::move(built);
    return true;
}

}  // namespace vchat
