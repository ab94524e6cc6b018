#include "text/text_render.h"

#include "text/layout.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace vchat::text {

namespace {

using sdl::SurfacePtr;

// The part of `text` the font renderer would read: up to its first NUL.
std::string_view visiblePart(const std::string& text) { return std::string_view(text.c_str(), std::strlen(text.c_str())); }

bool mainOnly(FontSet& fonts, std::string_view text) {
    const std::vector<CodePoint> points = decodeUtf8(text);
    if (std::any_of(points.begin(), points.end(), [](const CodePoint& p) { return isRightToLeft(p.value); }))
        return false;
    if (std::all_of(points.begin(), points.end(), [&](const CodePoint& p) {
            return mainFontHas(fonts, p.value) && p.value < 0x2000;   // below the symbols emoji share
        }))
        return true;
    const std::vector<std::uint32_t> starts = clusterStarts(points);
    for (std::size_t k = 0; k < starts.size(); ++k) {
        const std::size_t end = k + 1 < starts.size() ? starts[k + 1] : points.size();
        if (chooseFont(fonts, points, starts[k], end) != 0) return false;
    }
    return true;
}

char scriptLetter(std::uint32_t tag, int shift) { return static_cast<char>((tag >> shift) & 0xFF); }

// The font object for a run, set up for its script and direction.
TTF_Font* runFont(FontSet& fonts, const Run& run, OpenFont*& open) {
    open = &fontOfSlot(fonts, run.font);
    TTF_Font* font = open->font ? open->font.get() : fonts.main;
    if (font != fonts.main) {
        const char tag[5] = {scriptLetter(run.script, 24), scriptLetter(run.script, 16), scriptLetter(run.script, 8),
                             scriptLetter(run.script, 0), '\0'};
        if (TTF_SetFontScriptName(font, tag) != 0) TTF_SetFontScriptName(font, "Zyyy");
        TTF_SetFontDirection(font, run.rightToLeft ? TTF_DIRECTION_RTL : TTF_DIRECTION_LTR);
    }
    return font;
}

struct Laid {
    std::string_view text;
    Paragraph paragraph;
};

std::string runText(const Laid& laid, const Run& run) {
    const std::vector<Cluster>& c = laid.paragraph.clusters;
    return std::string(laid.text.substr(c[run.first].begin, c[run.last - 1].end - c[run.first].begin));
}

SurfacePtr newCanvas(int w, int h) {
    if (w <= 0 || h <= 0) return nullptr;
    return SurfacePtr(SDL_CreateRGBSurfaceWithFormat(0, w, h, 32, SDL_PIXELFORMAT_ARGB8888));
}

Uint32* pixelRow(SDL_Surface* s, int y) {
    return reinterpret_cast<Uint32*>(static_cast<Uint8*>(s->pixels) + static_cast<std::ptrdiff_t>(y) * s->pitch);
}

// Where output pixel i of n starts in a source of `length` pixels; 64-bit, as i * length overflows
// an int for wide images.
int sourceStart(int i, int length, int n) {
    return static_cast<int>(static_cast<std::int64_t>(i) * length / n);
}

// `src` shrunk (or grown) to w x h, each pixel the alpha-weighted mean of the source pixels it covers.
SurfacePtr resized(SDL_Surface* src, int w, int h) {
    SurfacePtr out = newCanvas(w, h);
    if (!out) return nullptr;
    for (int y = 0; y < h; ++y) {
        const int y0 = sourceStart(y, src->h, h);
        const int y1 = std::max(y0 + 1, sourceStart(y + 1, src->h, h));
        Uint32* row = pixelRow(out.get(), y);
        for (int x = 0; x < w; ++x) {
            const int x0 = sourceStart(x, src->w, w);
            const int x1 = std::max(x0 + 1, sourceStart(x + 1, src->w, w));
            std::uint64_t a = 0, r = 0, g = 0, b = 0, n = 0;
            for (int sy = y0; sy < y1; ++sy) {
                const Uint32* in = pixelRow(src, sy);
                for (int sx = x0; sx < x1; ++sx, ++n) {
                    const Uint32 p = in[sx];
                    const Uint32 pa = p >> 24;
                    a += pa;
                    r += ((p >> 16) & 0xFF) * pa;
                    g += ((p >> 8) & 0xFF) * pa;
                    b += (p & 0xFF) * pa;
                }
            }
            if (a == 0) continue;
            row[x] = static_cast<Uint32>(((a / n) << 24) | ((r / a) << 16) | ((g / a) << 8) | (b / a));
        }
    }
    return out;
}

// Draws `src` over `dst` with its top-left corner at (dx, dy), both with straight alpha: runs that
// touch blend as they would on screen, and untouched pixels stay transparent.
void blendOver(SDL_Surface* dst, SDL_Surface* src, int dx, int dy) {
    const int top = std::max(0, -dy), bottom = std::min(src->h, dst->h - dy);
    const int left = std::max(0, -dx), right = std::min(src->w, dst->w - dx);
    for (int y = top; y < bottom; ++y) {
        const Uint32* in = pixelRow(src, y);
        Uint32* out = pixelRow(dst, y + dy);
        for (int x = left; x < right; ++x) {
            const Uint32 s = in[x];
            const Uint32 sa = s >> 24;
            if (sa == 0) continue;
            Uint32& d = out[x + dx];
            const Uint32 da = d >> 24;
            if (sa == 255 || da == 0) {
                d = s;
                continue;
            }
            const Uint32 rest = da * (255 - sa) / 255;
            const Uint32 oa = sa + rest;
            auto channel = [&](int shift) {
                return ((((s >> shift) & 0xFF) * sa + ((d >> shift) & 0xFF) * rest) / oa) << shift;
            };
            d = (oa << 24) | channel(16) | channel(8) | channel(0);
        }
    }
}

int scaled(int length, double scale) { return scale == 1.0 ? length : static_cast<int>(std::lround(length * scale)); }

int clampedInt(std::int64_t v) { return static_cast<int>(std::clamp<std::int64_t>(v, 0, INT32_MAX)); }

// The image of one cluster in a font drawn scaled (a fixed bitmap strike: colour emoji), at the
// row's size, made once per font and cluster. Such fonts neither kern nor join across clusters, so a
// run of them is its cells side by side; their glyphs keep their own colours, so the text colour
// plays no part. Decoding a strike's glyph is most of what an emoji costs: it is done once, for the
// measure and every draw after it. Null when the cluster draws nothing, or when its cell is new and
// the caller's budget of new cells (FontSet::newCellBudget) is spent: cellsDeferred then tells the
// caller that the text was drawn without it.
SDL_Surface* scaledCell(FontSet& fonts, TTF_Font* font, const OpenFont& open, int slot, std::string_view cluster) {
    std::string key(reinterpret_cast<const char*>(&slot), sizeof slot);
    key.append(cluster);
    auto found = fonts.scaledCells.find(key);
    if (found != fonts.scaledCells.end()) return found->second.get();
    if (fonts.newCellBudget == 0) {
        fonts.cellsDeferred = true;
        return nullptr;
    }
    if (fonts.newCellBudget > 0) --fonts.newCellBudget;
    // A stranger's text can hold any number of distinct clusters: the cache starts over when full.
    if (fonts.scaledCells.size() >= kMaxScaledCells) fonts.scaledCells.clear();
    SurfacePtr cell(TTF_RenderUTF8_Blended(font, std::string(cluster).c_str(), SDL_Color{255, 255, 255, 255}));
    if (cell) cell = resized(cell.get(), std::max(1, scaled(cell->w, open.scale)), std::max(1, scaled(cell->h, open.scale)));
    return fonts.scaledCells.emplace(std::move(key), std::move(cell)).first->second.get();
}

std::string_view clusterText(const Laid& laid, std::size_t k) {
    const Cluster& c = laid.paragraph.clusters[k];
    return laid.text.substr(c.begin, c.end - c.begin);
}

int runWidth(FontSet& fonts, const Laid& laid, const Run& run) {
    OpenFont* open = nullptr;
    TTF_Font* font = runFont(fonts, run, open);
    if (open->scale != 1.0 && font != fonts.main) {
        std::int64_t w = 0;
        for (std::size_t k = run.first; k < run.last; ++k)
            if (SDL_Surface* cell = scaledCell(fonts, font, *open, run.font, clusterText(laid, k))) w += cell->w;
        return clampedInt(w);
    }
    int w = 0;
    int h = 0;
    if (TTF_SizeUTF8(font, runText(laid, run).c_str(), &w, &h) != 0) return 0;
    return scaled(w, open->scale);
}

// The part of `run` that shows in `room` pixels from its left end on screen: the start of a
// left-to-right run, the end of a right-to-left one. Never empty when `atLeastOne`.
Run leftPart(FontSet& fonts, const Laid& laid, const Run& run, std::int64_t room, bool atLeastOne) {
    auto prefix = [&](std::size_t k) {
        Run part = run;
        if (run.rightToLeft) part.first = run.last - k;
        else part.last = run.first + k;
        return part;
    };
    std::size_t k = longestFitting(run.last - run.first, room, [&](std::size_t count) {
                        return std::int64_t{runWidth(fonts, laid, prefix(count))};
                    }).count;
    if (k == 0 && atLeastOne && run.last > run.first) k = 1;
    return prefix(k);
}

// Text the main font draws on one line, cut between clusters where it would pass kMaxDrawnWidth.
// Short texts are returned as they are without a measure.
std::string mainFontPart(FontSet& fonts, std::string_view text) {
    // Texts of no more bytes than this cannot reach the bound at any size the main font is drawn at.
    constexpr std::size_t kSurelyNarrow = 64;
    if (text.size() <= kSurelyNarrow) return std::string(text);
    const std::vector<CodePoint> points = decodeUtf8(text);
    const std::vector<std::uint32_t> starts = clusterStarts(points);
    const auto bytesOfFirst = [&](std::size_t k) {
        return k < starts.size() ? points[starts[k]].offset : text.size();
    };
    const std::size_t k = longestFitting(starts.size(), kMaxDrawnWidth, [&](std::size_t count) {
                              int w = 0, h = 0;
                              const std::string part(text.substr(0, bytesOfFirst(count)));
                              return std::int64_t{TTF_SizeUTF8(fonts.main, part.c_str(), &w, &h) == 0 ? w : 0};
                          }).count;
    return std::string(text.substr(0, bytesOfFirst(std::max<std::size_t>(k, 1))));
}

Laid layOut(FontSet& fonts, std::string_view text) {
    return Laid{text, itemize(text, [&](const std::vector<CodePoint>& points, std::size_t begin, std::size_t end) {
                    return chooseFont(fonts, points, begin, end);
                })};
}

RunWidth widthsOf(FontSet& fonts, const Laid& laid) {
    return [&fonts, &laid](std::size_t first, std::size_t last) {
        const Cluster& c = laid.paragraph.clusters[first];
        return runWidth(fonts, laid, Run{first, last, c.font, c.script, (c.level & 1) != 0});
    };
}

// A run drawn on its own, scaled to the row when its font is a fixed bitmap strike, with where its
// top goes relative to the row's top. Null when the run draws nothing (zero width).
struct DrawnRun {
    SurfacePtr surface;
    int top = 0;
};

DrawnRun drawRun(FontSet& fonts, const Laid& laid, const Run& run, SDL_Color colour) {
    OpenFont* open = nullptr;
    TTF_Font* font = runFont(fonts, run, open);
    DrawnRun drawn;
    if (open->scale != 1.0 && font != fonts.main) {
        // Sized from the widths first, then each cell blended as soon as it is had: a later cell
        // may empty the cache, so none is held on to.
        const std::int64_t w = runWidth(fonts, laid, run);
        const int h = std::max(1, scaled(TTF_FontHeight(font), open->scale));
        if (w > 0 && w <= INT32_MAX / 4 / h) drawn.surface = newCanvas(static_cast<int>(w), h);
        std::int64_t x = 0;
        for (std::size_t i = run.first; drawn.surface && i < run.last && x < w; ++i) {
            const std::size_t k = run.rightToLeft ? run.last - 1 - (i - run.first) : i;
            if (SDL_Surface* cell = scaledCell(fonts, font, *open, run.font, clusterText(laid, k))) {
                blendOver(drawn.surface.get(), cell, static_cast<int>(x), 0);
                x += cell->w;
            }
        }
    } else {
        drawn.surface.reset(TTF_RenderUTF8_Blended(font, runText(laid, run).c_str(), colour));
    }
    const int ascent = TTF_FontAscent(fonts.main);
    drawn.top = ascent - (font == fonts.main ? ascent : scaled(open->ascent, open->scale));
    return drawn;
}

// Draws the laid-out rows on one surface. Each run is shaped once: its image gives its width too.
// Rows that wrapping did not fit to a width are cut at kMaxDrawnWidth first: no run is rendered
// wider than a window can show.
SurfacePtr drawRows(FontSet& fonts, const Laid& laid, const std::vector<Row>& rows, SDL_Color colour, int wrapWidth) {
    const int lineSkip = TTF_FontLineSkip(fonts.main);
    const int height = TTF_FontHeight(fonts.main);
    const std::int64_t h = height + static_cast<std::int64_t>(lineSkip) * (static_cast<std::int64_t>(rows.size()) - 1);
    const auto tooLarge = [&](std::int64_t w) { return h > INT32_MAX / 4 / std::max<std::int64_t>(w, 1); };
    // Known before any run is drawn when the image takes the wrap width.
    if (wrapWidth > 0 && rows.size() > 1 && tooLarge(wrapWidth)) return nullptr;
    std::vector<std::vector<DrawnRun>> placed;   // per row: runs left to right
    int widest = 0;
    for (const Row& row : rows) {
        std::vector<DrawnRun> runs;
        std::int64_t x = 0;
        for (Run run : visualRuns(laid.paragraph, row)) {
            if (wrapWidth <= 0) {
                if (x >= kMaxDrawnWidth) break;
                run = leftPart(fonts, laid, run, kMaxDrawnWidth - x, runs.empty());
                if (run.first == run.last) break;
            }
            runs.push_back(drawRun(fonts, laid, run, colour));
            if (runs.back().surface) x += runs.back().surface->w;
        }
        widest = std::max(widest, clampedInt(x));
        placed.push_back(std::move(runs));
    }
    const int w = wrapWidth > 0 && rows.size() > 1 ? wrapWidth : widest;
    if (tooLarge(w)) return nullptr;
    SurfacePtr canvas = newCanvas(w, static_cast<int>(h));
    if (!canvas) return nullptr;
    SDL_SetSurfaceBlendMode(canvas.get(), SDL_BLENDMODE_BLEND);
    for (std::size_t r = 0; r < placed.size(); ++r) {
        int x = 0;
        const int rowTop = static_cast<int>(r) * lineSkip;
        for (const DrawnRun& run : placed[r]) {
            if (!run.surface) continue;
            if (run.surface->format->format == SDL_PIXELFORMAT_ARGB8888)
                blendOver(canvas.get(), run.surface.get(), x, rowTop + run.top);
            x += run.surface->w;
        }
    }
    return canvas;
}

}  // namespace

bool drawsWithMainFontOnly(FontSet& fonts, const std::string& text) { return mainOnly(fonts, visiblePart(text)); }

bool measureText(FontSet& fonts, const std::string& text, int& w, int& h) {
    const std::string_view shown = visiblePart(text);
    if (mainOnly(fonts, shown)) return TTF_SizeUTF8(fonts.main, text.c_str(), &w, &h) == 0;
    const Laid laid = layOut(fonts, shown);
    const RunWidth widths = widthsOf(fonts, laid);
    std::int64_t total = 0;
    for (const Run& run : logicalRuns(laid.paragraph.clusters, 0, laid.paragraph.clusters.size()))
        total += widthInPieces(run.first, run.last, widths);
    w = clampedInt(total);
    h = TTF_FontHeight(fonts.main);
    return true;
}

SurfacePtr renderText(FontSet& fonts, const std::string& text, SDL_Color colour) {
    const std::string_view shown = visiblePart(text);
    if (mainOnly(fonts, shown))
        return SurfacePtr(TTF_RenderUTF8_Blended(fonts.main, mainFontPart(fonts, shown).c_str(), colour));
    const Laid laid = layOut(fonts, shown);
    return drawRows(fonts, laid, {Row{0, laid.paragraph.clusters.size()}}, colour, 0);
}

SurfacePtr renderWrapped(FontSet& fonts, const std::string& text, SDL_Color colour, int wrapWidth) {
    const std::string_view shown = visiblePart(text);
    // The width goes to the renderer as it comes, so a negative one fails there as it always has.
    if (mainOnly(fonts, shown))
        return SurfacePtr(TTF_RenderUTF8_Blended_Wrapped(fonts.main, text.c_str(), colour, static_cast<Uint32>(wrapWidth)));
    if (wrapWidth < 0) return nullptr;
    const Laid laid = layOut(fonts, shown);
    const std::vector<Row> rows = wrapRows(laid.paragraph.clusters, wrapWidth, widthsOf(fonts, laid));
    if (rows.empty()) return nullptr;
    return drawRows(fonts, laid, rows, colour, wrapWidth);
}

std::size_t fitTailStart(FontSet& fonts, const std::string& text, int width) {
    const auto fits = [&](std::size_t from) {
        int w = 0;
        int h = 0;
        return !measureText(fonts, text.substr(from), w, h) || w <= width;
    };
    const std::vector<CodePoint> points = decodeUtf8(text);
    std::vector<std::size_t> boundaries;
    for (std::uint32_t start : clusterStarts(points)) boundaries.push_back(points[start].offset);
    boundaries.push_back(text.size());
    // Only the last width + 1 clusters are tried, as every cluster but a zero-width one takes a
    // pixel at least: a field costs what it shows per frame, however long its text.
    const std::size_t most = static_cast<std::size_t>(std::max(width, 0)) + 1;
    if (boundaries.size() - 1 <= most && fits(0)) return 0;
    // The first boundary whose tail fits; the tails only shrink, so the answer is a split point.
    std::size_t lo = 1, hi = boundaries.size() - 1;
    if (hi - lo > most) lo = hi - most;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (fits(boundaries[mid])) hi = mid;
        else lo = mid + 1;
    }
    return boundaries[lo];
}

}  // namespace vchat::text
