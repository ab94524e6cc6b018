// Hexadecimal digits, shared by every reader and writer of hex text (gateway ids, TLS pre-shared
// keys, hex dumps, client identifiers, JSON escapes).
#pragma once

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

}  // namespace vchat
