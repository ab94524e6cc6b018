#include "mesh/json_filter.h"

namespace vchat {

namespace {

constexpr std::string_view kTypeKey = "\"type\"";
constexpr std::string_view kEmptyType = "\"type\":\"\"";

bool contains(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}

}  // namespace

std::string toLowerAscii(std::string_view bytes) {
    std::string out(bytes);
    for (char& c : out) {
        // Not std::tolower: its result depends on the locale, and bytes above 0x7F must stay as they are.
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool isHiddenJson(std::string_view topic, std::string_view payload, const MqttConfig& settings) {
    const std::string lowTopic = toLowerAscii(topic);
    const std::string lowPayload = toLowerAscii(payload);
    if (contains(lowPayload, kEmptyType)) return true;

    const struct {
        bool on;
        std::string_view word;
    } rules[] = {
        {settings.hideNodeinfo, "nodeinfo"},
        {settings.hidePosition, "position"},
        {settings.hideTelemetry, "telemetry"},
        {settings.hideTraceroute, "traceroute"},
    };
    const bool hasTypeKey = contains(lowPayload, kTypeKey);
    for (const auto& rule : rules) {
        if (!rule.on) continue;
        if (contains(lowTopic, rule.word)) return true;
        if (hasTypeKey && contains(lowPayload, rule.word)) return true;
    }
    return false;
}

}  // namespace vchat
