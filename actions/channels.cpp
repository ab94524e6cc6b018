#include "actions/channels.h"

#include "mesh/ascii.h"
#include "mesh/json_filter.h"

namespace vchat {

PresetChannels makePresetChannels() {
    return PresetChannels{{"longfast", 0}, {"shortslow", 1}, {"shortfast", 2}, {"mediumslow", 3}};
}

std::int32_t ResolveChannel::operator()(std::string_view text) const {
    if (text.empty()) return -1;
    bool allDigits = true;
    for (char c : text) allDigits = allDigits && c >= '0' && c <= '9';
    if (allDigits) {
        // Accumulate in 64 bits and stop at the first step past the 32-bit range, so a long
        // run of digits never overflows.
        std::int64_t value = 0;
        for (char c : text) {
            value = value * 10 + (c - '0');
            if (value > INT32_MAX) return -1;
        }
        return static_cast<std::int32_t>(value);
    }
    if (!presets) return -1;
    auto found = presets->find(toLowerAscii(text));
    return found == presets->end() ? -1 : found->second;
}

bool ResolveChannel::isPresetName(std::string_view text) const {
    return presets && presets->count(toLowerAscii(text)) > 0;
}

}  // namespace vchat
