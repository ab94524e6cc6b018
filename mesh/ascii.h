// Byte-level ASCII helpers shared by every reader and writer of hex text (gateway ids, TLS
// pre-shared keys, hex dumps, client identifiers, JSON escapes) and by every case-blind comparison.
// Bytes above 0x7F are never touched: text is UTF-8 that nobody validates.
#pragma once

#include <string>
#include <string_view>

namespace vchat {

// Digits for writing hex, lower case.
inline constexpr char kLowerHexDigits[] = "0123456789abcdef";

// 0..15 for "0"-"9", "a"-"f" and "A"-"F"; -1 for any other byte.
constexpr int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// ASCII letters lowered, every other byte kept. Not std::tolower: its result depends on the
// locale, and bytes above 0x7F must stay as they are.
inline std::string toLowerAscii(std::string_view bytes) {
    std::string out(bytes);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

}  // namespace vchat
