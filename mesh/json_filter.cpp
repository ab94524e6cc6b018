#include "mesh/json_filter.h"

#include "mesh/ascii.h"

namespace vchat {

namespace {

constexpr std::string_view kTypeKey = "\"type\"";
constexpr std::string_view kEmptyType = "\"type\":\"\"";

bool contains(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}

}  // namespace

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
