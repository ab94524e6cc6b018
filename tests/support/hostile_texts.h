// Texts built to hurt a text renderer: one cluster of thousands of code points, endless joiner
// chains, long words in scripts that shape. The drawing tests and the drawing fuzzer's seeds use them.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vchat::testing {

struct HostileText {
    const char* name;
    std::string text;
};

inline std::string repeated(const std::string& piece, int count) {
    std::string s;
    while (count-- > 0) s += piece;
    return s;
}

// The emoji of three whole blocks, each once.
inline std::string distinctEmoji() {
    std::string s;
    for (const auto& [first, last] : {std::pair{0x1F300, 0x1F64F}, std::pair{0x1F680, 0x1F6FF}, std::pair{0x1F900, 0x1F9FF}}) {
        for (int c = first; c <= last; ++c) {
            s += {static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
                  static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
        }
    }
    return s;
}

inline std::vector<HostileText> hostileTexts() {
    const std::string thumb = "\xF0\x9F\x91\x8D", tone = "\xF0\x9F\x8F\xBD", zwj = "\xE2\x80\x8D";
    const std::string smile = "\xF0\x9F\x98\x80";
    return {
        {"thumb and 1500 skin tones", thumb + repeated(tone, 1500)},
        {"emoji and 1000 joined emoji", smile + repeated(zwj + smile, 1000)},
        {"3000 combining marks on one letter", "a" + repeated("\xCC\x81", 3000)},
        {"5000 regional indicators", repeated("\xF0\x9F\x87\xA9", 5000)},
        {"20000 zero-width spaces", repeated("\xE2\x80\x8B", 20000)},
        {"a word of 6000 Chinese characters", repeated("\xE4\xB8\xAD", 6000)},
        {"an Arabic word of 4000 letters", repeated("\xD8\xB3\xD9\x84", 2000)},
        {"a Devanagari conjunct chain", repeated("\xE0\xA4\x95\xE0\xA5\x8D", 2000)},
        {"3000 leading jamo", repeated("\xE1\x84\x80", 3000)},
        {"4000 emoji in one word", repeated(smile, 4000)},
        {"mixed scripts without a space", repeated("x\xE4\xB8\xAD\xD7\x90" + smile + "1", 1500)},
        {"1,200 distinct emoji, more than the cell cache holds", distinctEmoji()},
    };
}

}  // namespace vchat::testing
