// Arbitrary PUBLISH bodies: a split must give back the body exactly, a refusal only a body shorter
// than its own topic length, and a refusal leaves the outputs alone.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mqtt/packet_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    std::string topic = "unchanged";
    std::string payload = "unchanged";
    if (vchat::parsePublish(body, topic, payload)) {
        if (vchat::encodeString(topic) + payload != body) std::abort();
    } else {
        if (topic != "unchanged" || payload != "unchanged") std::abort();
        if (size >= 2 && size >= 2 + ((static_cast<std::size_t>(data[0]) << 8) | data[1])) std::abort();
    }
    return 0;
}
