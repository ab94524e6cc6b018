#include "text/unicode.h"

#include <fribidi.h>
#include <hb.h>

namespace vchat::text {

std::vector<CodePoint> decodeUtf8(std::string_view text) {
    std::vector<CodePoint> points;
    points.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
        const unsigned char lead = byte(i);
        std::size_t length = 1;
        char32_t value = kReplacementCharacter;
        char32_t minimum = 0;
        if (lead < 0x80) {
            value = lead;
        } else if (lead >= 0xC2 && lead <= 0xF4) {
            length = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
            minimum = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
            value = lead & (0xFF >> (length + 1));
        }
        bool valid = length > 1 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            if ((byte(i + k) & 0xC0) != 0x80) valid = false;
            value = (value << 6) | (byte(i + k) & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are invalid too.
        if (length > 1 && (!valid || value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))) {
            length = 1;
            value = kReplacementCharacter;
        }
        points.push_back(CodePoint{value, static_cast<std::uint32_t>(i), static_cast<std::uint8_t>(length)});
        i += length;
    }
    return points;
}

namespace {

hb_unicode_funcs_t* unicodeFuncs() { return hb_unicode_funcs_get_default(); }

// Grapheme classes, as far as the rules below need them.
enum class Grapheme { Other, Control, Extend, Zwj, RegionalIndicator, SpacingMark, L, V, T, LV, LVT };

Grapheme graphemeOf(char32_t c) {
    if (isControl(c) || c == 0x2028 || c == 0x2029) return Grapheme::Control;
    if (c == 0x200D) return Grapheme::Zwj;
    if (c >= 0x1F1E6 && c <= 0x1F1FF) return Grapheme::RegionalIndicator;
    if (c >= 0x1100 && c <= 0x115F) return Grapheme::L;
    if (c >= 0xA960 && c <= 0xA97C) return Grapheme::L;
    if ((c >= 0x1160 && c <= 0x11A7) || (c >= 0xD7B0 && c <= 0xD7C6)) return Grapheme::V;
    if ((c >= 0x11A8 && c <= 0x11FF) || (c >= 0xD7CB && c <= 0xD7FB)) return Grapheme::T;
    if (c >= 0xAC00 && c <= 0xD7A3) return (c - 0xAC00) % 28 == 0 ? Grapheme::LV : Grapheme::LVT;
    // Skin-tone modifiers, tags (flags of regions) and the zero-width non-joiner extend what precedes.
    if ((c >= 0x1F3FB && c <= 0x1F3FF) || (c >= 0xE0020 && c <= 0xE007F) || c == 0x200C) return Grapheme::Extend;
    switch (hb_unicode_general_category(unicodeFuncs(), c)) {
        case HB_UNICODE_GENERAL_CATEGORY_NON_SPACING_MARK:
        case HB_UNICODE_GENERAL_CATEGORY_ENCLOSING_MARK:
            return Grapheme::Extend;
        case HB_UNICODE_GENERAL_CATEGORY_SPACING_MARK:
            return Grapheme::SpacingMark;
        default:
            return Grapheme::Other;
    }
}

bool isVirama(char32_t c) {
    return hb_unicode_combining_class(unicodeFuncs(), c) == HB_UNICODE_COMBINING_CLASS_VIRAMA;
}

bool isLetter(char32_t c) {
    return hb_unicode_general_category(unicodeFuncs(), c) == HB_UNICODE_GENERAL_CATEGORY_OTHER_LETTER;
}

// Code points that show as emoji by default (the common blocks; the rest need U+FE0F).
bool isEmojiByDefault(char32_t c) {
    if (c >= 0x1F300 && c <= 0x1F64F) return true;   // pictographs, emoticons
    if (c >= 0x1F680 && c <= 0x1F6FF) return true;   // transport and map
    if (c >= 0x1F900 && c <= 0x1FAFF) return true;   // supplemental symbols and pictographs
    if (c >= 0x1F1E6 && c <= 0x1F1FF) return true;   // regional indicators
    static constexpr char32_t kBmp[] = {0x231A, 0x231B, 0x23E9, 0x23EA, 0x23EB, 0x23EC, 0x23F0, 0x23F3, 0x25FD,
                                        0x25FE, 0x2614, 0x2615, 0x267F, 0x2693, 0x26A1, 0x26AA, 0x26AB, 0x26BD,
                                        0x26BE, 0x26C4, 0x26C5, 0x26CE, 0x26D4, 0x26EA, 0x26F2, 0x26F3, 0x26F5,
                                        0x26FA, 0x26FD, 0x2705, 0x270A, 0x270B, 0x2728, 0x274C, 0x274E, 0x2753,
                                        0x2754, 0x2755, 0x2757, 0x2795, 0x2796, 0x2797, 0x27B0, 0x27BF, 0x2B1B,
                                        0x2B1C, 0x2B50, 0x2B55, 0x1F004, 0x1F0CF, 0x1F18E};
    if (c >= 0x2648 && c <= 0x2653) return true;     // the zodiac
    for (char32_t e : kBmp)
        if (c == e) return true;
    return false;
}

// What an emoji zero-width-joiner sequence may continue with.
bool isPictographic(char32_t c) {
    return (c >= 0x1F000 && c <= 0x1FAFF) || (c >= 0x2600 && c <= 0x27BF) || (c >= 0x2300 && c <= 0x23FF) ||
           (c >= 0x2B00 && c <= 0x2BFF);
}

// True when no cluster boundary falls between points[i - 1] and points[i].
bool joinsPrevious(const std::vector<CodePoint>& points, std::size_t i, std::size_t clusterStart) {
    const char32_t prev = points[i - 1].value;
    const char32_t cur = points[i].value;
    const Grapheme a = graphemeOf(prev);
    const Grapheme b = graphemeOf(cur);
    if (a == Grapheme::Control || b == Grapheme::Control) return false;
    if (a == Grapheme::L && (b == Grapheme::L || b == Grapheme::V || b == Grapheme::LV || b == Grapheme::LVT))
        return true;
    if ((a == Grapheme::LV || a == Grapheme::V) && (b == Grapheme::V || b == Grapheme::T)) return true;
    if ((a == Grapheme::LVT || a == Grapheme::T) && b == Grapheme::T) return true;
    if (b == Grapheme::Extend || b == Grapheme::Zwj || b == Grapheme::SpacingMark) return true;
    if (a == Grapheme::Zwj && isPictographic(cur)) return true;
    // A consonant after a virama of its own script forms a conjunct with the one before.
    if (isVirama(prev) && isLetter(cur) && scriptOf(prev) == scriptOf(cur)) return true;
    if (a == Grapheme::RegionalIndicator && b == Grapheme::RegionalIndicator) {
        // Flags pair up from the start of a row of indicators.
        std::size_t count = 0;
        for (std::size_t k = i; k > clusterStart && graphemeOf(points[k - 1].value) == Grapheme::RegionalIndicator; --k)
            ++count;
        return count % 2 == 1;
    }
    return false;
}

}  // namespace

std::vector<std::uint32_t> clusterStarts(const std::vector<CodePoint>& points) {
    std::vector<std::uint32_t> starts;
    std::size_t start = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (i > 0 && i - start < kMaxClusterPoints && joinsPrevious(points, i, start)) continue;
        starts.push_back(static_cast<std::uint32_t>(i));
        start = i;
    }
    return starts;
}

std::uint32_t scriptOf(char32_t c) {
    return hb_script_to_iso15924_tag(hb_unicode_script(unicodeFuncs(), c));
}

bool isRightToLeft(char32_t c) {
    switch (fribidi_get_bidi_type(c)) {
        case FRIBIDI_TYPE_RTL:
        case FRIBIDI_TYPE_AL:
        case FRIBIDI_TYPE_RLE:
        case FRIBIDI_TYPE_RLO:
        case FRIBIDI_TYPE_RLI:
            return true;
        default:
            return false;
    }
}

bool prefersEmoji(const std::vector<CodePoint>& points, std::size_t begin, std::size_t end) {
    if (begin >= end) return false;
    if (isEmojiByDefault(points[begin].value)) return true;
    for (std::size_t i = begin + 1; i < end; ++i) {
        const char32_t c = points[i].value;
        if (c == 0xFE0F || c == 0x20E3 || (c >= 0x1F3FB && c <= 0x1F3FF)) return true;
    }
    return false;
}

}  // namespace vchat::text
