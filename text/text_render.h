// Measuring and drawing text in any script: the one way every text of the window is drawn.
//
// A text the main font draws whole (every code point it has, nothing right to left, no emoji) takes
// the font renderer's own call on the main font's object, so its pixels are exactly that call's.
// Any other text is laid out (text/layout.h): clusters get fallback fonts, rows break between
// clusters by the same rules, each row's runs are reordered for right-to-left text and shaped with
// their script and direction on a font object of their own, and drawn on the main font's baseline.
// Colour emoji keep their own colours and are scaled to the main font's height. Rows are the main
// font's line skip apart and start at the left edge.
//
// Like the font renderer, text ends at its first NUL. Main thread only.
// Error convention: measuring returns false and rendering returns null when nothing can be drawn
// (an empty text, or a surface that cannot be made); nothing else fails.
#pragma once

#include "text/font_set.h"
#include "text/sdl_handles.h"

#include <cstddef>
#include <string>

namespace vchat::text {

// No text is drawn wider than this on one line (what lies beyond is cut): wider than any window
// can show, and a bound on the images a stranger's text can make.
inline constexpr int kMaxDrawnWidth = 8192;

// True when `text` takes the main font's own call.
bool drawsWithMainFontOnly(FontSet& fonts, const std::string& text);

// Width and height of `text` on one line.
bool measureText(FontSet& fonts, const std::string& text, int& w, int& h);

// `text` on one line, blended in `colour` on a transparent ARGB8888 surface of its own size.
sdl::SurfacePtr renderText(FontSet& fonts, const std::string& text, SDL_Color colour);

// `text` in rows of at most `wrapWidth` pixels (rows end at CR and LF; 0: only there; below 0:
// nothing is drawn). The surface is `wrapWidth` wide when there is more than one row, else as wide
// as the row.
sdl::SurfacePtr renderWrapped(FontSet& fonts, const std::string& text, SDL_Color colour, int wrapWidth);

// Where the longest tail of `text` that fits in `width` pixels starts: a cluster boundary, 0 when
// all of it fits, text.size() when not even its last cluster does.
std::size_t fitTailStart(FontSet& fonts, const std::string& text, int width);

}  // namespace vchat::text
