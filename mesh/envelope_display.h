// Turning envelope payloads into the one log line shown for them: scan, decrypt, readable text.
//
// Pure. Nothing here fails: every failure on the way becomes its own line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "mesh/mqtt_config.h"
#include "mesh/protobuf_scan.h"

namespace vchat {

inline constexpr std::size_t kRawHexLimit = 160;
inline constexpr std::size_t kCiphertextHexLimit = 96;
inline constexpr std::size_t kMinTextRun = 9;

// Two lower-case hex digits per byte for the first `limit` bytes, then "..." when there were more.
std::string hexPreview(std::string_view bytes, std::size_t limit);

// From the first run of kMinTextRun printable bytes (0x20..0x7E) to the end, whatever follows the
// run; the whole plaintext when there is no such run.
std::string extractText(std::string_view plaintext);

// "RAW " + topic + "\nHEX: " + hex of at most kRawHexLimit payload bytes.
std::string rawDumpLine(std::string_view topic, std::string_view payload);

enum class DecryptOutcome { NoKey, Failed, Decrypted };

// The line of a scanned packet: "[label] (first/second) " followed by the readable text of
// `plaintext` when Decrypted, or by the no-psk / decrypt-failed marker and a ciphertext dump.
std::string packetLine(std::string_view label, const MeshPacket& packet, DecryptOutcome outcome,
                       std::string_view plaintext);

// The line for a payload on an envelope topic: the raw dump when the envelope scan fails, the
// packet-parse-failed line, or packetLine after decrypting with `settings.channelKey`.
std::string envelopeLine(std::string_view topic, std::string_view payload, const MqttConfig& settings);

}  // namespace vchat
