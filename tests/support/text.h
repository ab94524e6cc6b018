// Small text helpers the tests share: hex test inputs, digit-shape checks and line lists.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace vchat::testing {

// "0a0b" -> the two bytes 0a 0b. Test inputs only: expects an even count of hex digits.
inline std::string fromHex(std::string_view hex) {
    auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
    }
    return out;
}

// True when `text` has the shape of `shape`, in which '#' stands for any decimal digit.
inline bool hasShape(std::string_view text, std::string_view shape) {
    if (text.size() != shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == '#' ? !digit : text[i] != shape[i]) return false;
    }
    return true;
}

inline bool allDigits(std::string_view text) {
    return !text.empty() && hasShape(text, std::string(text.size(), '#'));
}

// "korvane-" and 20 lowercase hexadecimal digits.
inline bool isClientId(const std::string& id) {
    return id.size() == 28 && id.compare(0, 8, "korvane-") == 0 &&
           id.find_first_not_of("0123456789abcdef", 8) == std::string::npos;
}

inline bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

inline bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace vchat::testing
