// handlePublish on any topic and payload with Decode RAW on and a channel key set. Input layout:
// byte 0 picks the key length and the Hide settings, byte 1 is the topic length (cut to what is
// there), then the topic, then the payload.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "log/log_view.h"
#include "mesh/receive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint8_t control = data[0];
    const std::size_t topicLength = data[1] < size - 2 ? data[1] : size - 2;
    const std::string_view topic(reinterpret_cast<const char*>(data) + 2, topicLength);
    const std::string_view payload(reinterpret_cast<const char*>(data) + 2 + topicLength,
                                   size - 2 - topicLength);

    // Key lengths that take each derivation path: hashed (1, 17), AES-128 as is, AES-256 as is.
    static const std::size_t kKeyLengths[] = {1, 16, 17, 32};
    vchat::MqttConfig settings;
    settings.decodeRaw = true;
    settings.channelKey = std::string(kKeyLengths[control & 3], '\x5a');
    settings.hideNodeinfo = control & 0x04;
    settings.hidePosition = control & 0x08;
    settings.hideTelemetry = control & 0x10;
    settings.hideTraceroute = control & 0x20;

    std::string line;
    const bool shown = vchat::publishLine(topic, payload, settings, line);
    // With Decode RAW on, only a hidden JSON payload gives no line.
    if (!shown && (payload.empty() || payload.front() != '{')) std::abort();

    vchat::LogView log;
    vchat::handlePublish(topic, payload, settings, log);
    if (log.lines.size() != (shown ? 1u : 0u)) std::abort();
    return 0;
}
