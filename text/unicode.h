// What text drawing needs to know about the characters of a string, before any font is involved:
// the code points a UTF-8 string decodes to, where its clusters (what a reader sees as one
// character) begin, and a few properties per code point.
//
// Pure functions over bytes; they never fail. Text is never validated: each byte that starts no
// valid sequence decodes as U+FFFD on its own, as the font renderer reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vchat::text {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

struct CodePoint {
    char32_t value = 0;
    std::uint32_t offset = 0;   // of its first byte in the string
    std::uint8_t length = 0;    // bytes it took, 1 to 4
};

// Every code point of `text`, in order; the whole string, NULs included.
std::vector<CodePoint> decodeUtf8(std::string_view text);

// Indices into `points` where a cluster begins; the first is 0, the count is the cluster count.
// A cluster is never split by wrapping or cutting: a letter with its combining marks, a Hangul
// syllable of jamo, an Indic consonant joined through a virama, an emoji with its modifiers,
// variation selectors and zero-width joiners, a flag (a pair of regional indicators), a keycap.
// Each control character (CR, LF, tab, NUL and the like) is a cluster of its own. A cluster holds at
// most kMaxClusterPoints code points: what follows starts clusters of its own, so that no text can
// make one unbreakable piece of any length (no real cluster comes near it).
inline constexpr std::size_t kMaxClusterPoints = 32;
std::vector<std::uint32_t> clusterStarts(const std::vector<CodePoint>& points);

// The ISO 15924 script of a code point as a four-letter tag packed big-endian ('Arab', 'Hani');
// kScriptCommon or kScriptInherited for those shared by every script (digits, spaces, marks).
std::uint32_t scriptOf(char32_t c);
inline constexpr std::uint32_t kScriptCommon = 0x5A797979;      // 'Zyyy'
inline constexpr std::uint32_t kScriptInherited = 0x5A696E68;   // 'Zinh'

// A letter or mark that sets right-to-left direction (Hebrew, Arabic and the like) or an explicit
// right-to-left embedding, override or isolate.
bool isRightToLeft(char32_t c);

// Line-breaking classes the wrapping keeps: rows end at CR and LF, and may end after a space or tab.
inline bool isLineBreak(char32_t c) { return c == '\n' || c == '\r'; }
inline bool isBreakSpace(char32_t c) { return c == ' ' || c == '\t'; }
// C0 and C1 controls and DEL: the font renderer treats these itself, whatever the font holds.
inline bool isControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

// A cluster that shows as a colour emoji wherever a font has one: a code point emoji take by
// default, or any base followed by U+FE0F, a skin-tone modifier, a keycap, or a flag.
bool prefersEmoji(const std::vector<CodePoint>& points, std::size_t begin, std::size_t end);

}  // namespace vchat::text
