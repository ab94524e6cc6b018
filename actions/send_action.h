// The Send action: checks the sender fields, corrects FROM_ID, and queues the message line on the
// worker as one text message.
//
// Error convention: parsers return std::optional (nothing when the text is refused); the action
// reports every refusal as exactly one log line and returns nothing. Main thread only.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "actions/channels.h"
#include "log/log_view.h"
#include "mesh/mqtt_config.h"
#include "mesh/outgoing_text.h"
#include "mqtt/mqtt_worker.h"

namespace vchat {

inline constexpr std::string_view kNotConnectedText = "Not connected.";
inline constexpr std::string_view kFromIdRequiredText = "FROM_ID required.";
inline constexpr std::string_view kGatewayHexInvalidText =
    "GATEWAY_HEX must be 8 hex chars (e.g. 433d7d0c).";
inline constexpr std::string_view kToIdOutOfRangeText = "To ID out of range.";
inline constexpr std::string_view kFromIdAdjustedPrefix = "Adjusted FROM_ID to match GATEWAY_HEX ? ";

// What Send reads from the form, as references into the app's widgets. `message` is cleared after
// a send and `fromId` rewritten by the adjustment; nothing else is written.
struct SendForm {
    std::string& message;              // the message line
    std::string& fromId;               // "FROM_ID"
    const std::string& gatewayHex;     // "GATEWAY_HEX (8 HEX)"
    const std::string& channel;        // "Channel (Name or Index)"
    const std::string& shortName;
    const std::string& longName;
    const std::string& rootTopic;
    const std::string& toId;           // "To ID (Decimal or Empty)"
    const bool& broadcast;             // "Broadcast (0xFFFFFFFF)"
};

// Exactly 8 bytes, each 0-9, a-f or A-F; no prefix, no blanks.
std::optional<std::uint32_t> parseGatewayHex(std::string_view text);

// The To ID rule: -1 (broadcast) when `broadcast` is ticked or the text is empty; otherwise the
// text read atoi-style (leading white space, optional sign, digits up to the first non-digit; no
// digits gives 0). A negative result means broadcast. Nothing when the value lies above 4294967295
// or below -2147483648. Defined for every text.
std::optional<std::int64_t> parseToId(std::string_view text, bool broadcast);

// The outcome of Send's checks, computed without touching the form, the log or the worker.
struct SendPlan {
    std::string refusal;          // not empty: log this one line, change nothing, send nothing
    std::string adjustedFromId;   // not empty: FROM_ID becomes this text, with one notice line
    OutgoingText message;         // to hand to queueText when there is no refusal
    MqttConfig config;            // only rootTopic is set
};

// Checks in order: connected, FROM_ID present, GATEWAY_HEX valid, To ID in range. Then the
// FROM_ID adjustment (decimal gateway value, no leading zeros) and the message record.
SendPlan planSend(bool connected, const SendForm& form, const ResolveChannel& resolveChannel);

// Runs planSend and carries it out: the refusal line, or the adjustment (line and FROM_ID text),
// queueText on the worker (which ignores an empty message) and an emptied message line. Logs
// nothing on success: the worker logs what it publishes.
void onSend(const std::atomic<bool>& connected, SendForm& form, LogView& log, MqttWorker& worker,
            ResolveChannel resolveChannel);

}  // namespace vchat
