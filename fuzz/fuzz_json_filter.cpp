// The Hide filter on any topic and payload. Input layout: byte 0 is the topic length (cut to what is
// there), then the topic, then the payload. Checks the lower-casing and that turning a Hide setting on
// never shows a message that was hidden.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "mesh/ascii.h"
#include "mesh/json_filter.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

vchat::MqttConfig hiding(unsigned flags) {
    vchat::MqttConfig settings;
    settings.hideNodeinfo = flags & 1;
    settings.hidePosition = flags & 2;
    settings.hideTelemetry = flags & 4;
    settings.hideTraceroute = flags & 8;
    return settings;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t topicLength = data[0] < size - 1 ? data[0] : size - 1;
    const std::string_view topic(reinterpret_cast<const char*>(data) + 1, topicLength);
    const std::string_view payload(reinterpret_cast<const char*>(data) + 1 + topicLength,
                                   size - 1 - topicLength);

    const std::string lower = vchat::toLowerAscii(payload);
    require(lower.size() == payload.size());
    for (std::size_t i = 0; i < lower.size(); ++i) {
        const char c = payload[i];
        require(lower[i] == ((c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c));
    }

    bool hidden[16];
    for (unsigned flags = 0; flags < 16; ++flags) {
        hidden[flags] = vchat::isHiddenJson(topic, payload, hiding(flags));
    }
    require(hidden[0] == (lower.find("\"type\":\"\"") != std::string::npos));
    for (unsigned flags = 0; flags < 16; ++flags) {
        for (unsigned more = flags; more < 16; ++more) {
            if ((more & flags) == flags && hidden[flags]) require(hidden[more]);
        }
    }
    return 0;
}
