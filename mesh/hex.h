// Hexadecimal digits, shared by every parser of hex text (gateway ids, TLS pre-shared keys).
#pragma once

namespace vchat {

// 0..15 for "0"-"9", "a"-"f" and "A"-"F"; -1 for any other byte.
constexpr int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace vchat
