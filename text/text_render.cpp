#include "text/text_render.h"

#include "text/layout.h"

#include <algorithm>
#include <cmath>
#include <cstring>
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

int scaled(int length, double scale) { return scale == 1.0 ? length : static_cast<int>(std::lround(length * scale)); }

int runWidth(FontSet& fonts, const Laid& laid, const Run& run) {
    OpenFont* open = nullptr;
    TTF_Font* font = runFont(fonts, run, open);
    int w = 0;
    int h = 0;
    if (TTF_SizeUTF8(font, runText(laid, run).c_str(), &w, &h) != 0) return 0;
    return scaled(w, open->scale);
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

SurfacePtr newCanvas(int w, int h) {
    if (w <= 0 || h <= 0) return nullptr;
    return SurfacePtr(SDL_CreateRGBSurfaceWithFormat(0, w, h, 32, SDL_PIXELFORMAT_ARGB8888));
}

Uint32* pixelRow(SDL_Surface* s, int y) { return reinterpret_cast<Uint32*>(static_cast<Uint8*>(s->pixels) + y * s->pitch); }

// `src` shrunk (or grown) to w x h, each pixel the alpha-weighted mean of the source pixels it covers.
SurfacePtr resized(SDL_Surface* src, int w, int h) {
    SurfacePtr out = newCanvas(w, h);
    if (!out) return nullptr;
    for (int y = 0; y < h; ++y) {
        const int y0 = y * src->h / h;
        const int y1 = std::max(y0 + 1, (y + 1) * src->h / h);
        Uint32* row = pixelRow(out.get(), y);
        for (int x = 0; x < w; ++x) {
            const int x0 = x * src->w / w;
            const int x1 = std::max(x0 + 1, (x + 1) * src->w / w);
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
    drawn.surface.reset(TTF_RenderUTF8_Blended(font, runText(laid, run).c_str(), colour));
    if (drawn.surface && open->scale != 1.0) {
        drawn.surface = resized(drawn.surface.get(), std::max(1, scaled(drawn.surface->w, open->scale)),
                                std::max(1, scaled(drawn.surface->h, open->scale)));
    }
    const int ascent = TTF_FontAscent(fonts.main);
    drawn.top = ascent - (font == fonts.main ? ascent : scaled(open->ascent, open->scale));
    return drawn;
}

// Draws the laid-out rows on one surface. Each run is shaped once: its image gives its width too.
SurfacePtr drawRows(FontSet& fonts, const Laid& laid, const std::vector<Row>& rows, SDL_Color colour, int wrapWidth) {
    const int lineSkip = TTF_FontLineSkip(fonts.main);
    const int height = TTF_FontHeight(fonts.main);
    std::vector<std::vector<DrawnRun>> placed;   // per row: runs left to right
    int widest = 0;
    for (const Row& row : rows) {
        std::vector<DrawnRun> runs;
        int x = 0;
        for (const Run& run : visualRuns(laid.paragraph, row)) {
            runs.push_back(drawRun(fonts, laid, run, colour));
            if (runs.back().surface) x += runs.back().surface->w;
        }
        widest = std::max(widest, x);
        placed.push_back(std::move(runs));
    }
    const int w = wrapWidth > 0 && rows.size() > 1 ? wrapWidth : widest;
    const std::int64_t h = height + static_cast<std::int64_t>(lineSkip) * (static_cast<std::int64_t>(rows.size()) - 1);
    if (h > INT32_MAX / 4 / std::max(w, 1)) return nullptr;
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
    w = 0;
    for (const Run& run : logicalRuns(laid.paragraph.clusters, 0, laid.paragraph.clusters.size()))
        w += runWidth(fonts, laid, run);
    h = TTF_FontHeight(fonts.main);
    return true;
}

SurfacePtr renderText(FontSet& fonts, const std::string& text, SDL_Color colour) {
    const std::string_view shown = visiblePart(text);
    if (mainOnly(fonts, shown)) return SurfacePtr(TTF_RenderUTF8_Blended(fonts.main, text.c_str(), colour));
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
    if (fits(0)) return 0;
    const std::vector<CodePoint> points = decodeUtf8(text);
    std::vector<std::size_t> boundaries;
    for (std::uint32_t start : clusterStarts(points)) boundaries.push_back(points[start].offset);
    boundaries.push_back(text.size());
    // The first boundary whose tail fits; the tails only shrink, so the answer is a split point.
    std::size_t lo = 1, hi = boundaries.size() - 1;
    // Laying out a long mixed text costs far more than the font renderer's measure: only the last
    // width + 1 clusters are tried, as every cluster but a zero-width one takes a pixel at least.
    if (!mainOnly(fonts, visiblePart(text)) && width >= 0 && hi - lo > static_cast<std::size_t>(width) + 1)
        lo = hi - static_cast<std::size_t>(width) - 1;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (fits(boundaries[mid])) hi = mid;
        else lo = mid + 1;
    }
    return boundaries[lo];
}

}  // namespace vchat::text
