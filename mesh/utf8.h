// Where UTF-8 is looked at at all: text is bytes everywhere else, never validated.
#pragma once

#include <cstddef>
#include <string_view>

namespace vchat {

// Length (1 to 4) of the valid UTF-8 sequence that starts at text[i], or 0 when none does: a
// continuation byte, a cut sequence, overlong forms, surrogates and values above U+10FFFF.
inline std::size_t utf8SequenceLength(std::string_view text, std::size_t i) {
    auto in = [&text](std::size_t at, unsigned lo, unsigned hi) {
        if (at >= text.size()) return false;
        const unsigned b = static_cast<unsigned char>(text[at]);
        return b >= lo && b <= hi;
    };
    const unsigned b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF) return in(i + 1, 0x80, 0xBF) ? 2 : 0;
    if (b >= 0xE0 && b <= 0xEF) {
        const unsigned lo = b == 0xE0 ? 0xA0 : 0x80;
        const unsigned hi = b == 0xED ? 0x9F : 0xBF;
        return in(i + 1, lo, hi) && in(i + 2, 0x80, 0xBF) ? 3 : 0;
    }
    if (b >= 0xF0 && b <= 0xF4) {
        const unsigned lo = b == 0xF0 ? 0x90 : 0x80;
        const unsigned hi = b == 0xF4 ? 0x8F : 0xBF;
        return in(i + 1, lo, hi) && in(i + 2, 0x80, 0xBF) && in(i + 3, 0x80, 0xBF) ? 4 : 0;
    }
    return 0;
}

}  // namespace vchat
