#include "mesh/receive.h"

#include "mesh/envelope_display.h"
#include "mesh/json_filter.h"

namespace vchat {

namespace {

constexpr std::string_view kMsgLinePrefix = "msg ";
constexpr std::string_view kEnvelopeTopicMarker = "/2/e/";

}  // namespace

bool publishLine(std::string_view topic, std::string_view payload, const MqttConfig& settings,
                 std::string& line) {
    LineKind kind = LineKind::Json;
    return publishLine(topic, payload, settings, line, kind);
}

bool publishLine(std::string_view topic, std::string_view payload, const MqttConfig& settings,
                 std::string& line, LineKind& kind) {
    // JSON is recognised by its first byte alone, whatever the topic.
    if (!payload.empty() && payload.front() == '{') {
        if (isHiddenJson(topic, payload, settings)) return false;
        line.clear();
        line.reserve(kMsgLinePrefix.size() + topic.size() + 1 + payload.size());
        line.append(kMsgLinePrefix).append(topic).append("\n").append(payload);
        kind = LineKind::Json;
        return true;
    }
    if (!settings.decodeRaw) return false;
    if (topic.find(kEnvelopeTopicMarker) != std::string_view::npos) {
        line = envelopeLine(topic, payload, settings);
        kind = LineKind::Envelope;
    } else {
        line = rawDumpLine(topic, payload);
        kind = LineKind::Raw;
    }
    return true;
}

void handlePublish(std::string_view topic, std::string_view payload, const MqttConfig& settings,
                   LogView& log) {
    std::string line;
    if (publishLine(topic, payload, settings, line)) log.append(line);
}

}  // namespace vchat
