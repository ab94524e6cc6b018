// The fonts text is drawn with: the main font, and fallback fonts for the characters it lacks.
//
// A code point the main font has is drawn with it. For any other, the fallback lists are walked
// once, in order (the emoji list first for a cluster that wants to be an emoji), and the answer is
// kept, misses too: a frame never searches for a code point seen before. Each fallback font is
// opened the first time it is chosen, at the main font's size and resolution; its coverage is
// always confirmed by the font itself. A code point no font has is drawn by the main font, as its missing-glyph box.
//
// Fonts whose glyphs are bitmaps of one fixed size (colour emoji) are scaled to the main font's
// height when drawn.
//
// Main thread only. Error convention: nothing fails; a font that cannot be opened is passed over.
#pragma once

#include "text/sdl_handles.h"
#include "text/unicode.h"

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace vchat::text {

// One font file that may serve as a fallback. `mayCover`, when set, is a cheap test from the
// system's font index that rules a code point out without opening the file.
struct FontFile {
    std::string path;
    long faceIndex = 0;
    std::function<bool(char32_t)> mayCover;
};

struct FallbackFonts {
    std::vector<FontFile> text;    // in the order the system ranks them for the main font
    std::vector<FontFile> emoji;   // colour emoji first
};

// The system's fallback fonts for a main font of `family` (fontconfig on Linux; on Windows the
// fonts in a `fonts` folder beside the program, then the system's fonts for each script). Empty
// lists when there are none.
FallbackFonts findFallbackFonts(const std::string& family);

struct OpenFont {
    sdl::FontPtr font;           // an object of its own: runs set its script and direction
    int ascent = 0;
    int height = 0;
    double scale = 1.0;          // drawn at this size: below 1 for a fixed bitmap strike
};

// Most cluster images kept for fonts drawn scaled (about 6 MB at most): more than the distinct
// emoji of the longest log line, so that drawing one line never empties the cache it is filling.
inline constexpr std::size_t kMaxScaledCells = 4096;

struct FontSet {
    TTF_Font* main = nullptr;    // not owned; the main font's object is used as given, never changed
    std::string mainPath;
    int pointSize = 0;
    unsigned dpi = 0;            // every font is opened at this resolution; 0: SDL_ttf's own (72)
    FallbackFonts fallbacks;

    // Opened fonts; slot 0 is a second object on the main font, for shaped runs.
    std::vector<OpenFont> slots;
    std::vector<int> slotOfFile;                    // per fallback (text list, then emoji list): -1 not tried
    std::unordered_map<std::uint64_t, int> chosen;  // (code point, wants emoji) -> slot
    std::unordered_map<char32_t, bool> mainHas;     // the main font's coverage, asked once per code point

    // Images of clusters in fonts drawn scaled, by slot and bytes (text_render.cpp).
    std::unordered_map<std::string, sdl::SurfacePtr> scaledCells;

    // How many cells may still be made before drawing leaves the rest out (-1: no limit). A frame
    // sets it, so that a text of thousands of emoji never seen before is finished over several
    // frames instead of freezing one (each costs a fraction of a millisecond to decode);
    // `cellsDeferred` says that something was left out and the text should be drawn again.
    int newCellBudget = -1;
    bool cellsDeferred = false;

    std::uint64_t searches = 0;  // code points looked up in the fallback lists, for tests
};

// A font set drawing with `main` (opened from `mainPath` at `pointSize` and `dpi`) and the given
// fallbacks, which it opens at the same size. The set keeps the pointer; `main` must outlive it.
FontSet makeFontSet(TTF_Font* main, std::string mainPath, int pointSize, FallbackFonts fallbacks, unsigned dpi = 0);

// Whether the main font has a glyph for `c` (control characters count as had: the renderer treats them).
bool mainFontHas(FontSet& fonts, char32_t c);

// The slot that draws the cluster points[begin, end).
int chooseFont(FontSet& fonts, const std::vector<CodePoint>& points, std::size_t begin, std::size_t end);

// The font object of `slot`, or the main font when the slot cannot be had.
OpenFont& fontOfSlot(FontSet& fonts, int slot);

}  // namespace vchat::text
