// The JSON text message built for Send, and the gateway topic it goes to. Pure: no lock, no I/O.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "mesh/outgoing_text.h"

namespace vchat {

// Escapes backspace, tab, line feed, form feed, carriage return, double quote and backslash;
// every other byte is copied unchanged.
std::string jsonEscape(std::string_view text);
// One JSON object on one line, members in the fixed order from, type, channel, id, to, shortName,
// longName, payload.
std::string buildTextMessageJson(const OutgoingText& message, std::uint32_t packetId);
// rootTopic + "/2/json/mqtt/!" + lower-cased gatewayHex. False (topic untouched) unless gatewayHex
// has exactly 8 bytes.
bool buildTextTopic(std::string_view rootTopic, std::string_view gatewayHex, std::string& topic);

}  // namespace vchat
