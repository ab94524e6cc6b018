#include "log/log_draw.h"

#include "text/shapes.h"
#include "text/text_render.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

namespace vchat {

LogLayout layoutLog(std::size_t count, std::int32_t scroll, const Rect& rect, std::int32_t fontHeight,
                    const LogLineHeight& heightOf, const LogInsets& insets) {
    LogLayout layout;
    std::size_t end = count;
    if (scroll > 0) end = static_cast<std::size_t>(scroll) >= count ? 0 : count - static_cast<std::size_t>(scroll);

    // Fitting walk, newest first. 64-bit sums: a rectangle near the int32 limits must not wrap.
    const std::int64_t fitting = static_cast<std::int64_t>(rect.h) - insets.top - insets.bottom;
    const std::int64_t fallback = static_cast<std::int64_t>(fontHeight) + insets.fallbackExtra;
    std::vector<std::optional<std::int32_t>> fitted;   // heights of lines end-1, end-2, ... start
    std::int64_t sum = 0;
    std::size_t start = end;
    while (start > 0) {
        std::optional<std::int32_t> height = heightOf(start - 1);
        sum += height ? *height : fallback;
        if (sum > fitting) break;
        fitted.push_back(height);
        --start;
    }
    layout.start = start;
    layout.end = end;

    // Drawing walk, oldest first, past `end` as long as lines still start above the bottom limit.
    const std::int64_t bottom = static_cast<std::int64_t>(rect.y) + rect.h - insets.bottom;
    std::int64_t y = static_cast<std::int64_t>(rect.y) + insets.top;
    for (std::size_t i = start; i < count && y < bottom; ++i) {
        std::optional<std::int32_t> height = i < end ? fitted[end - 1 - i] : heightOf(i);
        if (!height) continue;
        layout.placed.push_back(LogPlacement{i, static_cast<std::int32_t>(std::min<std::int64_t>(y, INT32_MAX))});
        y += *height;
    }
    return layout;
}

void resetLogDrawCache(LogDrawCache& cache) {
    cache.images.clear();
    cache.textured.clear();
    cache.area.reset();
    cache.areaLines.clear();
    cache.areaValid = false;
}

namespace {

using sdl::SurfacePtr;

// Differences of int32 fields, computed wide and brought back into range.
int toInt(std::int64_t value) {
    return static_cast<int>(std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX));
}

// What one frame's renders need besides the line.
struct FrameContext {
    SDL_Renderer* renderer;
    text::FontSet& fonts;
    int wrapWidth;
    int visibleW;   // columns of an image that can show: from the text inset to the right edge
    int visibleH;   // rows that can show: a line never starts above the top inset
    int fontHeight;
    int lineSkip;   // distance between the rows of a wrapped image
    LogDrawCache& cache;
};

// For a line of many line breaks, the length of its start that is worth rendering: the text before
// the break at which the image is surely taller than everything that can show. Nothing when the
// whole line must be rendered.
//
// This relies on how the font renderer wraps (checked pixel for pixel against whole renders): rows
// end at every CR and every LF before any word wrapping, and each row depends only on the text up
// to its own end, so the part's rows are the whole image's top rows; an image of more than one row is
// as wide as the wrap width. The caller checks both the height and the width of what it gets.
std::optional<std::size_t> shortenedLength(const FrameContext& context, const std::string& line) {
    // Without wrapping, the widest row anywhere in the line sets the image's width.
    if (context.wrapWidth <= 0 || context.lineSkip <= 0) return std::nullopt;
    // The renderer stops at the first NUL.
    const std::size_t length = std::strlen(line.c_str());
    // The part holds one break fewer than this and may end in an empty row that is dropped, so it has
    // at least visibleH / lineSkip + 2 rows: one spare row below the visible ones, so glyphs reaching
    // into the next row cannot differ where it shows.
    const std::int64_t breaksWanted = std::max(context.visibleH, 0) / context.lineSkip + 3;
    if (static_cast<std::int64_t>(length) < breaksWanted) return std::nullopt;
    // The whole image must be one the renderer would make: past 2 GiB of pixels it gives nothing and
    // the line counts as unrenderable. It has at most one row per byte, plus one, and a row's pitch
    // is the wrap width padded by less than 64 pixels.
    const std::int64_t pitch = (static_cast<std::int64_t>(context.wrapWidth) + 64) * 4;
    const std::int64_t rowHeight = std::max(context.lineSkip, context.fontHeight);
    if (static_cast<std::int64_t>(length) + 1 > INT32_MAX / pitch / rowHeight) return std::nullopt;

    std::int64_t breaks = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = line[i];
        if (c != '\n' && c != '\r') continue;
        if (++breaks == breaksWanted) return i;
        // Counted as one break: a CR LF pair may end just one row.
        if (c == '\r' && i + 1 < length && line[i + 1] == '\n') ++i;
    }
    return std::nullopt;
}

// A surface that shares `whole`'s pixels but covers only its top-left w x h, or null if that cannot
// be made without copying.
SurfacePtr topLeftView(SDL_Surface* whole, int w, int h) {
    if (SDL_MUSTLOCK(whole) || whole->format->palette) return nullptr;
    SurfacePtr view(SDL_CreateRGBSurfaceWithFormatFrom(whole->pixels, w, h, whole->format->BitsPerPixel,
                                                       whole->pitch, whole->format->format));
    if (!view) return nullptr;
    // The texture takes its blending from the surface; keep whatever the font renderer chose.
    SDL_BlendMode blend = SDL_BLENDMODE_NONE;
    Uint8 r = 255, g = 255, b = 255, a = 255;
    SDL_GetSurfaceBlendMode(whole, &blend);
    SDL_GetSurfaceAlphaMod(whole, &a);
    SDL_GetSurfaceColorMod(whole, &r, &g, &b);
    SDL_SetSurfaceBlendMode(view.get(), blend);
    SDL_SetSurfaceAlphaMod(view.get(), a);
    SDL_SetSurfaceColorMod(view.get(), r, g, b);
    return view;
}

// Renders the line and records its height and the texture of its visible part. A line drawn while
// the frame's new-emoji budget ran out is marked provisional and rendered again in a later frame.
void renderLine(FrameContext& context, const LogLine& line, LogLineImage& image) {
    ++context.cache.renderCount;
    image.renderedInFrame = context.cache.frame;
    context.fonts.cellsDeferred = false;
    // Whatever returns below, the line is whole only if no emoji was left out.
    struct Provisional {
        LogLineImage& image;
        const text::FontSet& fonts;
        ~Provisional() { image.provisional = fonts.cellsDeferred; }
    } provisional{image, context.fonts};
    SurfacePtr surface;
    image.shortened = false;
    if (std::optional<std::size_t> length = shortenedLength(context, line.text)) {
        // A few milliseconds instead of seconds and hundreds of megabytes for thousands of rows.
        const std::string part = line.text.substr(0, *length);
        surface = text::renderWrapped(context.fonts, part, kLogText, context.wrapWidth);
        // Anything but a tall image of the wrap width would not stand for the whole: render it all.
        if (surface && surface->h >= context.visibleH && surface->w == context.wrapWidth)
            image.shortened = true;
        else
            surface.reset();
    }
    if (!image.shortened)
        surface = text::renderWrapped(context.fonts, line.text, kLogText, context.wrapWidth);
    image.texture.reset();
    image.textureW = 0;
    image.textureH = 0;
    image.hasPicture = true;
    context.cache.textured.push_back(line.id);
    if (!surface) {
        image.renderable = false;
        image.height = 0;
        return;
    }
    image.renderable = true;
    image.height = surface->h;

    // Clipping hides everything below and right of the area, so only that part becomes a texture:
    // a line of thousands of rows would otherwise keep hundreds of megabytes (or exceed what a GPU
    // texture may hold and show nothing at all).
    int w = std::min(surface->w, context.visibleW);
    int h = std::min(surface->h, context.visibleH);
    if (w <= 0 || h <= 0) return;
    SurfacePtr part;
    if (w < surface->w || h < surface->h) part = topLeftView(surface.get(), w, h);
    SDL_Surface* source = part ? part.get() : surface.get();
    image.texture.reset(SDL_CreateTextureFromSurface(context.renderer, source));
    if (image.texture) {
        image.textureW = source->w;
        image.textureH = source->h;
    }
}

// Forgets what belongs to lines that have left the store. Ids only grow, so those are exactly the
// ids before the oldest line or after the newest one.
void dropLeftLines(LogDrawCache& cache, const std::deque<LogLine>& lines) {
    if (lines.empty()) {
        cache.images.clear();
        return;
    }
    cache.images.erase(cache.images.begin(), cache.images.lower_bound(lines.front().id));
    cache.images.erase(cache.images.upper_bound(lines.back().id), cache.images.end());
}

// Keeps textures only for the lines drawn in this frame.
void dropUndrawnTextures(LogDrawCache& cache) {
    std::vector<std::uint64_t> kept;
    for (std::uint64_t id : cache.textured) {
        auto found = cache.images.find(id);
        if (found == cache.images.end() || !found->second.hasPicture) continue;
        LogLineImage& image = found->second;
        if (image.drawnInFrame == cache.frame) {
            if (std::find(kept.begin(), kept.end(), id) == kept.end()) kept.push_back(id);
        } else {
            image.texture.reset();
            image.hasPicture = false;
        }
    }
    cache.textured.swap(kept);
}

auto fields(const LogDrawKey& k) {
    return std::tie(k.view, k.renderer, k.fonts, k.rect.x, k.rect.y, k.rect.w, k.rect.h, k.insets, k.fontHeight,
                    k.fontStyle, k.fontOutline, k.fontHinting, k.fontKerning, k.fontAlign);
}

void checkCacheKey(LogDrawCache& cache, SDL_Renderer* renderer, const text::FontSet& fonts, const LogView& view,
                   std::int32_t fontHeight) {
    TTF_Font* font = fonts.main;
    const LogDrawKey key{&view,
                         renderer,
                         &fonts,
                         view.rect,
                         view.insets,
                         fontHeight,
                         TTF_GetFontStyle(font),
                         TTF_GetFontOutline(font),
                         TTF_GetFontHinting(font),
                         TTF_GetFontKerning(font),
                         TTF_GetFontWrappedAlign(font)};
    if (fields(key) == fields(cache.key)) return;
    resetLogDrawCache(cache);
    cache.key = key;
}

// Fill, border and the placed lines, drawn with the area's top-left corner at (left, top): the window
// position, or (0, 0) inside the area texture.
void paintArea(SDL_Renderer* renderer, int left, int top, const Rect& rect, const LogInsets& insets,
               const LogLayout& layout, const std::vector<const LogLineImage*>& images) {
    const SDL_Rect area{left, top, rect.w, rect.h};
    SDL_SetRenderDrawColor(renderer, kLogBackground.r, kLogBackground.g, kLogBackground.b, kLogBackground.a);
    SDL_RenderFillRect(renderer, &area);
    SDL_SetRenderDrawColor(renderer, kLogBorder.r, kLogBorder.g, kLogBorder.b, kLogBorder.a);
    drawOutline(renderer, area, insets.border);
    SDL_RenderSetClipRect(renderer, &area);
    for (std::size_t i = 0; i < layout.placed.size(); ++i) {
        const LogLineImage& image = *images[i];
        if (!image.texture) continue;
        SDL_Rect target{toInt(static_cast<std::int64_t>(left) + insets.left),
                        toInt(static_cast<std::int64_t>(layout.placed[i].y) - rect.y + top), image.textureW,
                        image.textureH};
        SDL_RenderCopy(renderer, image.texture.get(), nullptr, &target);
    }
    SDL_RenderSetClipRect(renderer, nullptr);
}

// The format the area texture must have so that blending into it gives the same pixels as blending
// into the output, or unknown when that cannot be told.
Uint32 areaTextureFormat(SDL_Renderer* renderer, const LogDrawCache& cache) {
    if (!SDL_RenderTargetSupported(renderer)) return SDL_PIXELFORMAT_UNKNOWN;
    if (SDL_Texture* target = SDL_GetRenderTarget(renderer)) {
        Uint32 format = SDL_PIXELFORMAT_UNKNOWN;
        if (SDL_QueryTexture(target, &format, nullptr, nullptr, nullptr) != 0) return SDL_PIXELFORMAT_UNKNOWN;
        return format;
    }
    if (cache.outputFormat != SDL_PIXELFORMAT_UNKNOWN) return cache.outputFormat;
    if (SDL_Window* window = SDL_RenderGetWindow(renderer)) return SDL_GetWindowPixelFormat(window);
    return SDL_PIXELFORMAT_UNKNOWN;
}

// Repaints the area texture if what it shows has changed. False if there is no usable texture.
bool refreshAreaTexture(SDL_Renderer* renderer, LogDrawCache& cache, const Rect& rect, const LogInsets& insets,
                        const LogLayout& layout, const std::vector<const LogLineImage*>& images) {
    const Uint32 format = areaTextureFormat(renderer, cache);
    if (format == SDL_PIXELFORMAT_UNKNOWN || rect.w <= 0 || rect.h <= 0) return false;
    std::vector<std::pair<std::uint64_t, std::int32_t>> shown;
    for (std::size_t i = 0; i < layout.placed.size(); ++i)
        shown.emplace_back(images[i]->texture ? images[i]->lineId : 0, layout.placed[i].y);
    if (cache.area && cache.areaFormat == format && cache.areaValid && shown == cache.areaLines) return true;

    if (!cache.area || cache.areaFormat != format) {
        cache.area.reset(SDL_CreateTexture(renderer, format, SDL_TEXTUREACCESS_TARGET, rect.w, rect.h));
        if (!cache.area) return false;
        // Copied over the output as it is: the area is opaque and nothing under it shows through.
        SDL_SetTextureBlendMode(cache.area.get(), SDL_BLENDMODE_NONE);
        cache.areaFormat = format;
    }
    SDL_Texture* output = SDL_GetRenderTarget(renderer);
    cache.areaValid = false;
    if (SDL_SetRenderTarget(renderer, cache.area.get()) != 0) return false;
    paintArea(renderer, 0, 0, rect, insets, layout, images);
    if (SDL_SetRenderTarget(renderer, output) != 0) return false;
    cache.areaLines.swap(shown);
    cache.areaValid = true;
    return true;
}

}  // namespace

void drawLog(SDL_Renderer* renderer, text::FontSet& fonts, LogView& view, LogDrawCache& cache) {
    // `rect` is written once before the worker exists, so it is read without the lock.
    const Rect rect = view.rect;
    const LogInsets insets = view.insets;
    TTF_Font* font = fonts.main;
    const std::int32_t fontHeight = TTF_FontHeight(font);
    checkCacheKey(cache, renderer, fonts, view, fontHeight);
    ++cache.frame;
    FrameContext context{renderer,
                         fonts,
                         toInt(static_cast<std::int64_t>(rect.w) - insets.wrapMargin),
                         toInt(static_cast<std::int64_t>(rect.w) - insets.left),
                         toInt(static_cast<std::int64_t>(rect.h) - insets.top),
                         fontHeight,
                         TTF_FontLineSkip(font),
                         cache};

    // Held until the last line is drawn, so the lines measured are the lines drawn.
    std::lock_guard<std::mutex> lock(view.mutex);
    const std::deque<LogLine>& lines = view.lines;
    dropLeftLines(cache, lines);

    // New emoji images are rationed per frame; the text layer is unlimited again after the log.
    struct CellBudget {
        text::FontSet& fonts;
        ~CellBudget() { fonts.newCellBudget = -1; }
    } budget{fonts};
    fonts.newCellBudget = kNewEmojiCellsPerFrame;

    auto imageOf = [&](std::size_t index) -> LogLineImage& {
        const LogLine& line = lines[index];
        auto [found, added] = cache.images.try_emplace(line.id);
        LogLineImage& image = found->second;
        if (added) {
            image.lineId = line.id;
            renderLine(context, line, image);
        } else if (image.provisional && image.renderedInFrame != cache.frame) {
            renderLine(context, line, image);
            cache.areaValid = false;   // same line, same place, new pixels
        }
        return image;
    };
    LogLayout layout = layoutLog(lines.size(), view.scroll, rect, fontHeight,
                                 [&](std::size_t index) -> std::optional<std::int32_t> {
                                     const LogLineImage& image = imageOf(index);
                                     if (!image.renderable) return std::nullopt;
                                     return image.height;
                                 },
                                 insets);

    std::vector<const LogLineImage*> images;
    for (const LogPlacement& placed : layout.placed) {
        LogLineImage& image = imageOf(placed.index);
        // The texture was let go in an earlier frame where this line was not drawn.
        if (!image.hasPicture) renderLine(context, lines[placed.index], image);
        image.drawnInFrame = cache.frame;
        images.push_back(&image);
    }

    const SDL_Rect area{rect.x, rect.y, rect.w, rect.h};
    if (refreshAreaTexture(renderer, cache, rect, insets, layout, images)) {
        SDL_RenderCopy(renderer, cache.area.get(), nullptr, &area);
        SDL_RenderSetClipRect(renderer, nullptr);
    } else {
        cache.areaValid = false;
        paintArea(renderer, rect.x, rect.y, rect, insets, layout, images);
    }
    dropUndrawnTextures(cache);
}

}  // namespace vchat
