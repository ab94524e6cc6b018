// The Hide settings applied to JSON traffic. The JSON is never parsed: the decision rests on plain
// substring tests over lower-cased copies of the topic and payload. Pure; cannot fail.
#pragma once

#include <string>
#include <string_view>

#include "mesh/mqtt_config.h"

namespace vchat {

// True when the message is to be suppressed: the payload holds "type":"" (whatever the settings), or
// a Hide setting is on and its word (nodeinfo, position, telemetry, traceroute) occurs in the topic,
// or occurs in a payload that also holds "type". Reads only the four hide flags.
bool isHiddenJson(std::string_view topic, std::string_view payload, const MqttConfig& settings);

}  // namespace vchat
