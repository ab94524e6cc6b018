// Received traffic: one topic and payload from the broker become at most one log line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "log/log_view.h"
#include "mesh/mqtt_config.h"

namespace vchat {

// What a line shown for received traffic (or said by the worker itself) is.
enum class LineKind { Status, Json, Envelope, Raw };

// Appends zero or one line to `log`. Never throws; any bytes are accepted.
void handlePublish(std::string_view topic, std::string_view payload, const MqttConfig& settings,
                   LogView& log);
// The line handlePublish would append, or nothing (pure; handlePublish is this plus append).
bool publishLine(std::string_view topic, std::string_view payload, const MqttConfig& settings,
                 std::string& line);
// Same, also saying which kind of line it is.
bool publishLine(std::string_view topic, std::string_view payload, const MqttConfig& settings,
                 std::string& line, LineKind& kind);

}  // namespace vchat
