#include "text/font_set.h"

#include <utility>

namespace vchat::text {

namespace {

constexpr int kNotTried = -1;
constexpr int kUnusable = -2;

// At dpi 0 the plain calls, so that an unscaled window draws with exactly the fonts it always had.
TTF_Font* openAt(const std::string& path, long faceIndex, int pointSize, unsigned dpi) {
    if (dpi == 0) return TTF_OpenFontIndex(path.c_str(), pointSize, faceIndex);
    return TTF_OpenFontIndexDPI(path.c_str(), pointSize, faceIndex, dpi, dpi);
}

int setSize(TTF_Font* font, int pointSize, unsigned dpi) {
    return dpi == 0 ? TTF_SetFontSize(font, pointSize) : TTF_SetFontSizeDPI(font, pointSize, dpi, dpi);
}

OpenFont openFont(const std::string& path, long faceIndex, int pointSize, unsigned dpi, int mainHeight) {
    OpenFont open;
    open.font.reset(openAt(path, faceIndex, pointSize, dpi));
    if (!open.font) return open;
    open.height = TTF_FontHeight(open.font.get());
    open.ascent = TTF_FontAscent(open.font.get());
    // A font of one fixed bitmap size keeps its height whatever size is asked for.
    if (setSize(open.font.get(), pointSize * 2, dpi) == 0) {
        if (TTF_FontHeight(open.font.get()) == open.height && open.height > 0 && mainHeight > 0)
            open.scale = static_cast<double>(mainHeight) / open.height;
        setSize(open.font.get(), pointSize, dpi);
    }
    return open;
}

// The slot of fallback `index` (text list, then emoji list), opened on first use; -1 if unusable.
int slotOfFallback(FontSet& fonts, std::size_t index) {
    int& slot = fonts.slotOfFile[index];
    if (slot == kNotTried) {
        const std::size_t textCount = fonts.fallbacks.text.size();
        const FontFile& file =
            index < textCount ? fonts.fallbacks.text[index] : fonts.fallbacks.emoji[index - textCount];
        OpenFont open = openFont(file.path, file.faceIndex, fonts.pointSize, fonts.dpi, TTF_FontHeight(fonts.main));
        if (open.font) {
            slot = static_cast<int>(fonts.slots.size());
            fonts.slots.push_back(std::move(open));
        } else {
            slot = kUnusable;
        }
    }
    return slot < 0 ? -1 : slot;
}

// The first font of a list that has `c`, or -1.
int searchList(FontSet& fonts, const std::vector<FontFile>& list, std::size_t firstIndex, char32_t c) {
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i].mayCover && !list[i].mayCover(c)) continue;
        const int slot = slotOfFallback(fonts, firstIndex + i);
        if (slot >= 0 && TTF_GlyphIsProvided32(fonts.slots[slot].font.get(), c)) return slot;
    }
    return -1;
}

}  // namespace

FontSet makeFontSet(TTF_Font* main, std::string mainPath, int pointSize, FallbackFonts fallbacks, unsigned dpi) {
    FontSet fonts;
    fonts.dpi = dpi;
    fonts.main = main;
    fonts.mainPath = std::move(mainPath);
    fonts.pointSize = pointSize;
    fonts.fallbacks = std::move(fallbacks);
    fonts.slotOfFile.assign(fonts.fallbacks.text.size() + fonts.fallbacks.emoji.size(), kNotTried);
    OpenFont mainCopy;
    mainCopy.font.reset(openAt(fonts.mainPath, 0, pointSize, dpi));
    if (mainCopy.font) {
        TTF_SetFontStyle(mainCopy.font.get(), TTF_GetFontStyle(main));
        TTF_SetFontHinting(mainCopy.font.get(), TTF_GetFontHinting(main));
        TTF_SetFontKerning(mainCopy.font.get(), TTF_GetFontKerning(main));
    }
    mainCopy.height = TTF_FontHeight(main);
    mainCopy.ascent = TTF_FontAscent(main);
    fonts.slots.push_back(std::move(mainCopy));
    return fonts;
}

bool mainFontHas(FontSet& fonts, char32_t c) {
    if (isControl(c)) return true;
    auto [found, added] = fonts.mainHas.try_emplace(c, false);
    if (added) found->second = TTF_GlyphIsProvided32(fonts.main, c) != 0;
    return found->second;
}

int chooseFont(FontSet& fonts, const std::vector<CodePoint>& points, std::size_t begin, std::size_t end) {
    const char32_t c = points[begin].value;
    const bool emoji = prefersEmoji(points, begin, end);
    if (!emoji && mainFontHas(fonts, c)) return 0;
    if (isControl(c)) return 0;
    const std::uint64_t key = (static_cast<std::uint64_t>(c) << 1) | (emoji ? 1 : 0);
    auto [found, added] = fonts.chosen.try_emplace(key, 0);
    if (!added) return found->second;
    ++fonts.searches;
    const std::size_t textCount = fonts.fallbacks.text.size();
    int slot = -1;
    if (emoji) {
        slot = searchList(fonts, fonts.fallbacks.emoji, textCount, c);
        if (slot < 0 && mainFontHas(fonts, c)) slot = 0;
    }
    if (slot < 0) slot = searchList(fonts, fonts.fallbacks.text, 0, c);
    if (slot < 0 && !emoji) slot = searchList(fonts, fonts.fallbacks.emoji, textCount, c);
    found->second = slot < 0 ? 0 : slot;
    return found->second;
}

OpenFont& fontOfSlot(FontSet& fonts, int slot) {
    if (slot > 0 && static_cast<std::size_t>(slot) < fonts.slots.size()) return fonts.slots[slot];
    return fonts.slots.front();
}

}  // namespace vchat::text
