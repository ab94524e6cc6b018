// The preset channel table and the rule that turns a channel name or number into a channel number.
//
// Error convention: a channel number of -1 means the text names no channel. Nothing here fails
// otherwise.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace vchat {

// Lower-case preset names and their channel numbers. Built once by the main loop, never changed.
using PresetChannels = std::map<std::string, std::int32_t, std::less<>>;

// "longfast" 0, "shortslow" 1, "shortfast" 2, "mediumslow" 3.
PresetChannels makePresetChannels();

// Copied by value into every Connect and Send call; holds only a pointer to the main loop's table,
// which must outlive it. A null table knows no names.
struct ResolveChannel {
    const PresetChannels* presets = nullptr;

    // Empty text: -1. Only decimal digits: their value (leading zeros allowed, "007" is 7; a value
    // beyond the signed 32-bit range gives -1 rather than undefined behaviour). Anything else is
    // looked up ASCII-lower-cased in the table (no trimming): its number, or -1.
    std::int32_t operator()(std::string_view text) const;
    // True if `text`, ASCII-lower-cased, is exactly one of the table's names.
    bool isPresetName(std::string_view text) const;
};

}  // namespace vchat
