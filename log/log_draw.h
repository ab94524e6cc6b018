// The log area of the window: a filled, framed rectangle with the stored lines wrapped to its width,
// the newest at the bottom unless the user has scrolled back.
//
// Sections: colours and geometry; the layout walks (pure, no SDL calls); the per-line cache; drawLog.
//
// What is shown each frame (the cache only changes how fast, never what; the one exception is a line
// with more new emoji than kNewEmojiCellsPerFrame, shown without the rest until a later frame has them):
//   1. fill `rect` with kLogBackground, outline it with kLogBorder;
//   2. end = lines - scroll (never below 0); walking back from end - 1, add each line's height until
//      the sum would pass rect.h - 8; the first line that does not fit, and all before it, are left out;
//   3. from that start, draw every line, the ones newer than `end` too, at (rect.x + 6, y), starting at
//      y = rect.y + 4 and moving down by each image's height, until y reaches rect.y + rect.h - 4;
//      everything is clipped to `rect`.
// A line's height is the height of its image wrapped at rect.w - 12. A line that cannot be rendered
// counts as font height + 2 in step 2 and is skipped (adding nothing) in step 3.
// Every line taller than rect.h - 8 acts alike in both steps (step 2 stops at it; step 3 moves to or
// below the bottom limit after it) and only its top rect.h - 4 rows can show, so a line of many line
// breaks is rendered only up to a break far enough down: rendering all of them would take seconds.
//
// Error convention: drawing cannot fail in a way the caller sees; a line SDL cannot render or turn
// into a texture leaves its part of the area empty.
#pragma once

#include "log/log_view.h"
#include "text/font_set.h"
#include "text/sdl_handles.h"

#include <SDL.h>
#include <SDL_ttf.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace vchat {

// The log area has its own background and border; its text is the window's foreground colour.
inline constexpr SDL_Color kLogBackground{10, 15, 36, 255};
inline constexpr SDL_Color kLogBorder{39, 48, 96, 255};
inline constexpr SDL_Color kLogText{234, 240, 255, 255};

// The margins at the scale 1/1 (the view's own are scaled with the window).
inline constexpr LogInsets kLogInsets{};
inline constexpr std::int32_t kLogWrapMargin = kLogInsets.wrapMargin;
inline constexpr std::int32_t kLogInsetLeft = kLogInsets.left;
inline constexpr std::int32_t kLogInsetTop = kLogInsets.top;
inline constexpr std::int32_t kLogInsetBottom = kLogInsets.bottom;
inline constexpr std::int32_t kLogFallbackExtra = kLogInsets.fallbackExtra;
// Emoji images first made in one frame (about 0.3 ms each); a line that needs more is drawn without
// the rest and drawn again in the next frames until it is whole.
inline constexpr int kNewEmojiCellsPerFrame = 32;

// ---- Layout walks -----------------------------------------------------------------------------

// One line placed on screen: its index in `lines` and the y of its top edge.
struct LogPlacement {
    std::size_t index = 0;
    std::int32_t y = 0;
};

struct LogLayout {
    std::size_t start = 0;               // first line of the fitted window
    std::size_t end = 0;                 // one past its last line
    std::vector<LogPlacement> placed;    // lines to draw, top to bottom
};

// The height of line `index` as rendered, or nothing when it cannot be rendered.
using LogLineHeight = std::function<std::optional<std::int32_t>(std::size_t index)>;

// Runs the fitting walk (from the bottom of the window) and the drawing walk (from its top) over
// `count` lines. Calls `heightOf` only for the lines the walks reach, at most once per line per call,
// so the work is bounded by what fits in the area, not by `count`.
LogLayout layoutLog(std::size_t count, std::int32_t scroll, const Rect& rect, std::int32_t fontHeight,
                    const LogLineHeight& heightOf, const LogInsets& insets = kLogInsets);

// ---- Per-line cache ---------------------------------------------------------------------------

// What one line rendered to, kept while the line stays in the store.
struct LogLineImage {
    std::uint64_t lineId = 0;
    bool renderable = false;
    std::int32_t height = 0;         // of the whole wrapped image, when renderable (see `shortened`)
    // Only the text before one of its many line breaks was rendered: `height` is then that part's,
    // which is already taller than the area, so the walks treat the line exactly as the whole.
    bool shortened = false;
    bool hasPicture = false;         // `texture` is current (it may be null: nothing visible or no texture)
    sdl::TexturePtr texture;         // the part of the image that can show inside the area
    std::int32_t textureW = 0;
    std::int32_t textureH = 0;
    std::uint64_t drawnInFrame = 0;
    bool provisional = false;        // drawn with emoji left out (kNewEmojiCellsPerFrame): draw again
    std::uint64_t renderedInFrame = 0;
};

// What the cached heights and textures were made for.
struct LogDrawKey {
    const LogView* view = nullptr;
    SDL_Renderer* renderer = nullptr;
    const text::FontSet* fonts = nullptr;
    Rect rect;
    LogInsets insets;
    std::int32_t fontHeight = 0;
    int fontStyle = 0;
    int fontOutline = 0;
    int fontHinting = 0;
    int fontKerning = 0;
    int fontAlign = 0;
};

// Work carried from frame to frame. Owned by the caller, used on the main thread only. Heights stay
// for every line the walks have reached until the line leaves the store; textures stay only for the
// lines drawn in the latest frame, so memory is bounded by what the area shows.
//
// Everything cached is dropped when the view, renderer, font set (or its main font's height, style, outline,
// hinting, kerning, alignment), rectangle or wrap width differs from the previous frame. Textures
// belong to the renderer: call resetLogDrawCache (or destroy the cache) before destroying the
// renderer or the font it was used with.
struct LogDrawCache {
    LogDrawKey key;

    // The pixel format of what the renderer draws into, for a renderer SDL cannot ask (a software
    // renderer made on a surface). When the format is known (this, the render target's or the
    // window's), the finished area is kept as one texture and copied while nothing in it changes,
    // which spares blending every visible line again each frame; blending into a texture of the
    // output's own format gives the same pixels. Unknown: every frame draws the lines again.
    Uint32 outputFormat = SDL_PIXELFORMAT_UNKNOWN;

    std::map<std::uint64_t, LogLineImage> images;   // by line id
    std::vector<std::uint64_t> textured;            // ids that may hold a texture
    std::uint64_t frame = 0;
    sdl::TexturePtr area;                           // the whole area as last painted
    Uint32 areaFormat = SDL_PIXELFORMAT_UNKNOWN;
    std::vector<std::pair<std::uint64_t, std::int32_t>> areaLines;   // (id, y) it shows
    bool areaValid = false;

    // Wrapped renders performed so far (for measuring and for drawing), for tests and benchmarks.
    std::uint64_t renderCount = 0;
};

// Drops every cached height and texture; the counter keeps counting.
void resetLogDrawCache(LogDrawCache& cache);

// ---- Drawing ----------------------------------------------------------------------------------

// Draws the log area as described at the top of this file. Holds `view.mutex` from the first read of
// `lines` and `scroll` until the last line is drawn, and takes no other lock. Leaves the renderer with
// no clip rectangle, the same render target, and the draw colour changed. Main thread only.
void drawLog(SDL_Renderer* renderer, text::FontSet& fonts, LogView& view, LogDrawCache& cache);

}  // namespace vchat
