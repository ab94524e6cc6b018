// The log view drawn with its cache against a plain rendition that measures and renders every line
// on every frame: both must leave the same pixels, whatever the log, the scroll and the changes
// between frames. Also: what an empty or overfull area shows, and how much rendering a frame costs.
#include "log/log_draw.h"

#include <gtest/gtest.h>

#include <SDL.h>
#include <SDL_ttf.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/log/log_fixtures.h"
#include "tests/support/fonts.h"
#include "text/font_set.h"

namespace vchat {
namespace {

constexpr const char* kProportionalFontPath = VCHAT_TEST_FONT_DIR "/DejaVuSans.ttf";
constexpr int kCanvasW = 1440;
constexpr int kCanvasH = 700;
constexpr Rect kArea{20, 435, 1400, 200};
using testing::kFontPath;
using testing::kSampleTime;
using testing::useUtcAsLocalTime;

using sdl::FontPtr;
using sdl::RendererPtr;
using sdl::SurfacePtr;

// Where the view draws: a software renderer on a surface of a given format, which SDL cannot tell
// the view, or on a hidden window of the dummy video driver, whose format SDL knows.
struct Target {
    std::string name;
    Uint32 format;         // of the surface; unused with a window
    bool window;
    bool tellFormat;       // set LogDrawCache::outputFormat
};

// A software renderer and the pixels it draws into.
struct Canvas {
    sdl::WindowPtr window;
    SurfacePtr ownSurface;
    SDL_Surface* surface = nullptr;
    RendererPtr renderer;

    explicit Canvas(const Target& target) {
        if (target.window) {
            window.reset(SDL_CreateWindow("log", 0, 0, kCanvasW, kCanvasH, SDL_WINDOW_HIDDEN));
            if (!window) return;
            renderer.reset(SDL_CreateRenderer(window.get(), -1, SDL_RENDERER_SOFTWARE));
            surface = SDL_GetWindowSurface(window.get());
        } else {
            ownSurface.reset(SDL_CreateRGBSurfaceWithFormat(0, kCanvasW, kCanvasH, 32, target.format));
            surface = ownSurface.get();
            if (surface) renderer.reset(SDL_CreateSoftwareRenderer(surface));
        }
    }
    ~Canvas() { renderer.reset(); }   // before the window that holds its surface

    Uint32 format() const { return surface->format->format; }
    Uint32 colour(SDL_Color c) const { return SDL_MapRGBA(surface->format, c.r, c.g, c.b, c.a); }
    Uint32 untouched() const { return colour(SDL_Color{255, 0, 255, 255}); }

    // Whatever the view does not paint keeps the untouched colour, so drawing outside the area shows.
    void wipe() {
        // The software renderer leaves its last clip rectangle on the surface.
        SDL_SetClipRect(surface, nullptr);
        SDL_FillRect(surface, nullptr, untouched());
    }

    // The colour bits only: a format without alpha may leave anything in its spare byte.
    Uint32 pixel(int x, int y) const {
        const auto* row = static_cast<const Uint8*>(surface->pixels) + y * surface->pitch;
        Uint32 value;
        std::memcpy(&value, row + x * 4, 4);
        const SDL_PixelFormat* f = surface->format;
        return value & (f->Rmask | f->Gmask | f->Bmask | f->Amask);
    }
};

// The procedure as written, with nothing kept between frames: measure every line, fit from the
// bottom, draw from the top.
void drawLogPlainly(SDL_Renderer* renderer, TTF_Font* font, LogView& view) {
    const SDL_Rect r{view.rect.x, view.rect.y, view.rect.w, view.rect.h};
    SDL_SetRenderDrawColor(renderer, 10, 15, 36, 255);
    SDL_RenderFillRect(renderer, &r);
    SDL_SetRenderDrawColor(renderer, 39, 48, 96, 255);
    SDL_RenderDrawRect(renderer, &r);
    const SDL_Color text{234, 240, 255, 255};
    const int wrap = r.w - 12;

    std::lock_guard<std::mutex> lock(view.mutex);
    std::vector<int> heights;
    for (const LogLine& line : view.lines) {
        SDL_Surface* image = TTF_RenderUTF8_Blended_Wrapped(font, line.text.c_str(), text, wrap);
        heights.push_back(image ? image->h : TTF_FontHeight(font) + 2);
        SDL_FreeSurface(image);
    }
    const int count = static_cast<int>(heights.size());
    int end = view.scroll <= 0 ? count : std::max(0, count - view.scroll);
    int start = end;
    int sum = 0;
    for (int i = end - 1; i >= 0; --i) {
        sum += heights[i];
        if (sum > r.h - 8) break;
        start = i;
    }
    SDL_RenderSetClipRect(renderer, &r);
    int y = r.y + 4;
    for (int i = start; i < count; ++i) {
        if (y >= r.y + r.h - 4) break;
        SDL_Surface* image = TTF_RenderUTF8_Blended_Wrapped(font, view.lines[i].text.c_str(), text, wrap);
        if (!image) continue;
        SDL_Texture* texture = SDL_CreateTextureFromSurface(renderer, image);
        SDL_Rect target{r.x + 6, y, image->w, image->h};
        SDL_RenderCopy(renderer, texture, nullptr, &target);
        y += image->h;
        SDL_DestroyTexture(texture);
        SDL_FreeSurface(image);
    }
    SDL_RenderSetClipRect(renderer, nullptr);
}

class LogDrawPixels : public ::testing::TestWithParam<Target> {
protected:
    static void SetUpTestSuite() {
        useUtcAsLocalTime();
        testing::startSdlAndTtf();
    }
    static void TearDownTestSuite() { testing::stopSdlAndTtf(); }

    void SetUp() override {
        font = testing::openMainFont();
        ASSERT_TRUE(font) << TTF_GetError();
        ASSERT_TRUE(plain.renderer && cached.renderer) << SDL_GetError();
        ASSERT_EQ(plain.format(), cached.format());
        if (GetParam().tellFormat) cache.outputFormat = cached.format();
        view.rect = kArea;
    }
    void TearDown() override {
        // Textures belong to their renderer: let them go first.
        resetLogDrawCache(cache);
    }

    // The font set of one font and no fallbacks: what the log draws is the font renderer's own.
    text::FontSet& fontsFor(TTF_Font* f) {
        auto found = fontSets.find(f);
        if (found == fontSets.end()) found = fontSets.emplace(f, text::makeFontSet(f, "", 16, {})).first;
        return found->second;
    }
    std::map<TTF_Font*, text::FontSet> fontSets;

    // Draws the current log both ways and reports the first pixel where they differ.
    ::testing::AssertionResult sameAsPlain(TTF_Font* with = nullptr) {
        return sameAsPlainOn(cached, with);
    }
    ::testing::AssertionResult sameAsPlainOn(Canvas& canvas, TTF_Font* with = nullptr) {
        TTF_Font* f = with ? with : font.get();
        plain.wipe();
        canvas.wipe();
        drawLogPlainly(plain.renderer.get(), f, view);
        drawLog(canvas.renderer.get(), fontsFor(f), view, cache);
        // A window's renderer batches its commands until asked.
        SDL_RenderFlush(canvas.renderer.get());
        return sameAsPlainPixels(canvas);
    }
    ::testing::AssertionResult sameAsPlainPixels(const Canvas& canvas) {
        for (int y = 0; y < kCanvasH; ++y) {
            for (int x = 0; x < kCanvasW; ++x) {
                if (plain.pixel(x, y) != canvas.pixel(x, y)) {
                    return ::testing::AssertionFailure()
                           << "lines " << view.lines.size() << ", scroll " << view.scroll << ": pixel (" << x
                           << ", " << y << ") is " << std::hex << canvas.pixel(x, y) << ", plain drawing gives "
                           << plain.pixel(x, y);
                }
            }
        }
        return ::testing::AssertionSuccess();
    }

    // Every scroll position worth a look for the current number of lines.
    std::vector<std::int32_t> scrolls() const {
        std::int32_t n = static_cast<std::int32_t>(view.lines.size());
        return {0, 1, 7, n / 2, n - 1, n, n + 1, kMaxScroll};
    }
    void expectSameAtEveryScroll(const std::string& what) {
        SCOPED_TRACE(what);
        for (std::int32_t s : scrolls()) {
            view.scroll = s;
            EXPECT_TRUE(sameAsPlain());
        }
        view.scroll = 0;
    }

    void append(const std::string& text) { view.appendAt(text, kSampleTime); }
    // A line no store would make (appending always adds a stamp) but that the view must survive.
    void pushRaw(const std::string& text) {
        std::lock_guard<std::mutex> lock(view.mutex);
        view.lines.push_back(LogLine{view.nextId++, text});
    }
    void fill(std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) append("msg line " + std::to_string(i) + " " + std::string(i % 97, 'a'));
    }

    int texturesHeld() const {
        int held = 0;
        for (const auto& entry : cache.images) held += entry.second.texture ? 1 : 0;
        return held;
    }

    FontPtr font;
    Canvas cached{GetParam()};
    // The plain drawing goes to a surface of the same format as the view's.
    Canvas plain{Target{"", cached.surface ? cached.format() : Uint32{SDL_PIXELFORMAT_RGBA8888}, false, false}};
    LogView view;
    LogDrawCache cache;
};

TEST_P(LogDrawPixels, SameAsPlainDrawingThroughAChangingLog) {
    expectSameAtEveryScroll("empty");

    append("hello");
    append("");
    append("second line of the short log");
    expectSameAtEveryScroll("short");

    append("first row\nsecond row\nthird row");
    append("carriage\r\nreturn and a trailing break\n");
    append(std::string(400, 'w') + " wraps over several rows " + std::string(300, 'x'));
    append("broken UTF-8 \xff\xfe\xc3 and a cut sequence \xe2\x82");
    expectSameAtEveryScroll("line breaks and wrapping");

    pushRaw("");                  // nothing to render: counts as font height + 2, draws nothing
    append("after the empty one");
    pushRaw(std::string("\0hidden", 7));
    append("after the one starting with NUL");
    expectSameAtEveryScroll("unrenderable lines");

    append(std::string(30, '\n') + "taller than the area");
    expectSameAtEveryScroll("tall line newest");
    append("one after the tall line");
    append("and another");
    expectSameAtEveryScroll("tall line inside");
    // Glyphs from the top to the bottom of a row, so the last row and column of the area get ink.
    for (const char* pattern : {"|W", "g|", "_|"}) {
        std::string text;
        while (text.size() < kMaxLogText) text += pattern;
        append(text);
    }
    expectSameAtEveryScroll("longest lines");

    fill(kMaxLogLines);
    expectSameAtEveryScroll("full");
    fill(5);   // drops the five oldest
    expectSameAtEveryScroll("dropped at the limit");

    view.scroll = 3;
    EXPECT_TRUE(sameAsPlain());
    for (int i = 0; i < 3; ++i) {
        append("arrives while scrolled back " + std::to_string(i));
        EXPECT_TRUE(sameAsPlain());
    }

    view.clear();
    expectSameAtEveryScroll("cleared");
    append("first after clear");
    append("second after clear\nwith a break");
    expectSameAtEveryScroll("refilled after clear");
}

TEST_P(LogDrawPixels, SameAsPlainWhenFontRendererOrWidthChanges) {
    fill(40);
    append("a long line " + std::string(200, 'm'));
    ASSERT_TRUE(sameAsPlain());

    // Same font object, new style: every cached height and texture is stale.
    TTF_SetFontStyle(font.get(), TTF_STYLE_BOLD);
    EXPECT_TRUE(sameAsPlain());
    TTF_SetFontStyle(font.get(), TTF_STYLE_NORMAL);
    EXPECT_TRUE(sameAsPlain());

    FontPtr small = testing::openMainFont(11);
    ASSERT_TRUE(small);
    EXPECT_TRUE(sameAsPlain(small.get()));
    EXPECT_TRUE(sameAsPlain());
    // Another face of the same height: only the font itself tells the cache apart.
    FontPtr proportional(TTF_OpenFont(kProportionalFontPath, 16));
    ASSERT_TRUE(proportional);
    ASSERT_EQ(TTF_FontHeight(proportional.get()), TTF_FontHeight(font.get()));
    EXPECT_TRUE(sameAsPlain(proportional.get()));
    EXPECT_TRUE(sameAsPlain());

    // Textures made for one renderer cannot be copied by another.
    Canvas other(GetParam());
    ASSERT_TRUE(other.renderer);
    EXPECT_TRUE(sameAsPlainOn(other));
    EXPECT_TRUE(sameAsPlain());
    resetLogDrawCache(cache);   // before `other` goes

    view.rect = Rect{20, 435, 700, 200};
    EXPECT_TRUE(sameAsPlain());
    view.rect = Rect{100, 300, 10, 120};   // wrap width below zero: no line can be rendered
    EXPECT_TRUE(sameAsPlain());
    view.rect = Rect{100, 300, 12, 120};   // wrap width 0: rows break only at line breaks, far past the edge
    EXPECT_TRUE(sameAsPlain());
    view.rect = kArea;
    EXPECT_TRUE(sameAsPlain());
}

TEST_P(LogDrawPixels, EmptyAreaIsOnlyFillAndBorder) {
    append(std::string(30, '\n') + "taller than the area");
    for (bool empty : {true, false}) {
        SCOPED_TRACE(empty ? "empty log" : "only a line taller than the area, scroll 0");
        LogView& v = view;
        LogView none;
        none.rect = kArea;
        cached.wipe();
        drawLog(cached.renderer.get(), fontsFor(font.get()), empty ? none : v, cache);
        SDL_RenderFlush(cached.renderer.get());
        int wrong = 0;
        for (int y = 0; y < kCanvasH; ++y) {
            for (int x = 0; x < kCanvasW; ++x) {
                bool inside = x >= kArea.x && x < kArea.x + kArea.w && y >= kArea.y && y < kArea.y + kArea.h;
                bool edge = inside && (x == kArea.x || x == kArea.x + kArea.w - 1 || y == kArea.y ||
                                       y == kArea.y + kArea.h - 1);
                Uint32 want = !inside ? cached.untouched()
                              : edge  ? cached.colour(kLogBorder)
                                      : cached.colour(kLogBackground);
                wrong += cached.pixel(x, y) != want;
            }
        }
        EXPECT_EQ(wrong, 0);
    }
    // Scrolled back by one, the tall line is the first drawn and shows at the top inset.
    view.scroll = 1;
    append("newest");
    cached.wipe();
    drawLog(cached.renderer.get(), fontsFor(font.get()), view, cache);
    SDL_RenderFlush(cached.renderer.get());
    bool textInFirstRows = false;
    for (int y = kArea.y + 4; y < kArea.y + 4 + 19; ++y)
        for (int x = kArea.x + 6; x < kArea.x + 300; ++x) textInFirstRows |= cached.pixel(x, y) != cached.colour(kLogBackground);
    EXPECT_TRUE(textInFirstRows);
}

TEST_P(LogDrawPixels, FrameWorkDoesNotGrowWithTheLog) {
    fill(kMaxLogLines);
    // Ten 19-pixel lines fit in 192 pixels; the walks reach at most a dozen lines per frame.
    constexpr std::uint64_t kReachable = 14;

    drawLog(cached.renderer.get(), fontsFor(font.get()), view, cache);
    EXPECT_LE(cache.renderCount, kReachable);
    EXPECT_LE(texturesHeld(), 11);

    std::uint64_t before = cache.renderCount;
    drawLog(cached.renderer.get(), fontsFor(font.get()), view, cache);
    EXPECT_EQ(cache.renderCount, before) << "an unchanged frame must render nothing";

    view.scroll = 50;
    before = cache.renderCount;
    drawLog(cached.renderer.get(), fontsFor(font.get()), view, cache);
    EXPECT_LE(cache.renderCount - before, kReachable);
    EXPECT_LE(texturesHeld(), 12) << "textures are kept only for the lines drawn last";
    before = cache.renderCount;
    drawLog(cached.renderer.get(), fontsFor(font.get()), view, cache);
    EXPECT_EQ(cache.renderCount, before);

    // A new line while scrolled back: the window moves along with it, one line to measure.
    append("new");
    before = cache.renderCount;
    drawLog(cached.renderer.get(), fontsFor(font.get()), view, cache);
    EXPECT_LE(cache.renderCount - before, 3u);

    // Lines that left the store leave the cache too.
    fill(kMaxLogLines);
    drawLog(cached.renderer.get(), fontsFor(font.get()), view, cache);
    EXPECT_LE(cache.images.size(), 2 * kReachable);
    EXPECT_GE(cache.images.begin()->first, view.lines.front().id);
    view.clear();
    drawLog(cached.renderer.get(), fontsFor(font.get()), view, cache);
    EXPECT_TRUE(cache.images.empty());
    EXPECT_EQ(texturesHeld(), 0);
}

TEST_P(LogDrawPixels, FullLogOfLongLinesRendersOnlyWhatShows) {
    for (std::size_t i = 0; i < kMaxLogLines; ++i) append(std::string(kMaxLogText, static_cast<char>('a' + i % 26)));
    // Each line is taller than the area: at scroll 0 only the newest is measured and nothing drawn.
    drawLog(cached.renderer.get(), fontsFor(font.get()), view, cache);
    EXPECT_LE(cache.renderCount, 1u);
    EXPECT_EQ(texturesHeld(), 0);
    view.scroll = 50;
    drawLog(cached.renderer.get(), fontsFor(font.get()), view, cache);
    EXPECT_LE(cache.renderCount, 3u);
    EXPECT_EQ(texturesHeld(), 1);
}

// The worker appends while the main thread draws: the drawing pass holds the lock for its whole
// length, so every frame sees one consistent log and the cache never keeps a line that has left.
TEST_P(LogDrawPixels, ConcurrentAppendsWhileDrawing) {
    fill(kMaxLogLines - 100);
    std::atomic<bool> stop{false};
    std::atomic<int> appended{0};
    std::thread worker([&] {
        while (!stop) {
            view.append("from the worker " + std::to_string(appended.load()));
            ++appended;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    // Both sides keep going until each has done a fair share while the other was running.
    for (int frames = 0; frames < 40 || appended < 300; ++frames) {
        view.wheel(frames % 7 < 3 ? 1 : -1);
        drawLog(cached.renderer.get(), fontsFor(font.get()), view, cache);
    }
    stop = true;
    worker.join();
    EXPECT_EQ(view.lines.size(), kMaxLogLines);
    EXPECT_TRUE(sameAsPlain());
    EXPECT_GE(cache.images.begin()->first, view.lines.front().id);
}

// Lines of thousands of line breaks, as any peer can send. The view renders only the start of such a
// line; the plain rendition renders it whole, which takes seconds, so each plain drawing is checked
// against the view drawn both directly and through its kept area texture.
class LogDrawFlood : public LogDrawPixels {
protected:
    void SetUp() override {
        LogDrawPixels::SetUp();
        ASSERT_TRUE(kept.renderer) << SDL_GetError();
        ASSERT_EQ(kept.format(), plain.format());
        keptCache.outputFormat = kept.format();
    }
    void TearDown() override {
        resetLogDrawCache(keptCache);
        LogDrawPixels::TearDown();
    }

    ::testing::AssertionResult sameAsPlainBothWays(TTF_Font* with = nullptr) {
        TTF_Font* f = with ? with : font.get();
        plain.wipe();
        drawLogPlainly(plain.renderer.get(), f, view);
        for (auto [canvas, canvasCache] : {std::pair{&cached, &cache}, std::pair{&kept, &keptCache}}) {
            canvas->wipe();
            drawLog(canvas->renderer.get(), fontsFor(f), view, *canvasCache);
            ::testing::AssertionResult same = sameAsPlainPixels(*canvas);
            if (!same) return same << (canvasCache->outputFormat ? " (kept area texture)" : " (drawn directly)");
        }
        return ::testing::AssertionSuccess();
    }

    // Whether both views rendered only the start of the line.
    bool shortened(std::uint64_t id) const {
        return cache.images.count(id) != 0 && cache.images.at(id).shortened && keptCache.images.count(id) != 0 &&
               keptCache.images.at(id).shortened;
    }

    Canvas kept{Target{"", GetParam().format, false, true}};
    LogDrawCache keptCache;
};

std::string repeat(const std::string& piece, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) text += piece;
    return text;
}

struct Flood {
    std::string name;
    std::string text;
    bool raw;   // stored without a time stamp
};

std::vector<Flood> floods() {
    return {
        {"8000 line feeds", std::string(kMaxLogText, '\n'), false},
        {"3000 a-LF pairs", repeat("a\n", 3000), false},
        {"text, thousands of line feeds, text", "before" + std::string(2000, '\n') + "after", false},
        {"CR LF runs", repeat("\r\n", 400) + "end", false},
        {"CR only", std::string(600, '\r') + "end", false},
        {"CRs, LFs and CR LFs mixed", repeat("x\r\n\n\ry\r\r\n", 100), false},
        {"rows wrapped between the breaks", repeat(std::string(150, 'w') + " " + std::string(90, 'v') + " tail\n", 40),
         false},
        {"line feeds, then one long word", std::string(40, '\n') + std::string(6000, 'W'), false},
        {"a long word, then line feeds", std::string(3000, 'W') + std::string(500, '\n') + "end", false},
        {"broken UTF-8 beside the breaks", repeat("\xe2\n\xc3 \xff\n", 200), false},
        {"spaces and tabs before the breaks", repeat("row \t  \n  \t", 300), false},
        {"glyphs from top to bottom of each row", repeat("|Wg_\n", 300), false},
        {"bare line feeds, no stamp", std::string(500, '\n'), true},
        {"a NUL before the breaks", std::string("cut\0", 4) + std::string(500, '\n'), true},
    };
}

TEST_P(LogDrawFlood, LinesOfManyBreaksShowTheSame) {
    for (const Flood& flood : floods()) {
        SCOPED_TRACE(flood.name);
        // Newest with older lines above it, then oldest with newer lines below it; scrolled so that it
        // is measured and left out, drawn below the window, and drawn at the top.
        for (bool oldest : {false, true}) {
            view.clear();
            if (!oldest) {
                append("older one");
                append("older two\nin two rows");
            }
            if (flood.raw) pushRaw(flood.text); else append(flood.text);
            const std::uint64_t id = view.lines.back().id;
            if (oldest) {
                append("newer one");
                append("newer two");
            }
            for (std::int32_t scroll : oldest ? std::vector<std::int32_t>{0, 3} : std::vector<std::int32_t>{0, 1}) {
                view.scroll = scroll;
                EXPECT_TRUE(sameAsPlainBothWays()) << (oldest ? "oldest" : "newest");
            }
            // Otherwise this shows only that whole renders match themselves.
            EXPECT_EQ(shortened(id), flood.text.find('\0') == std::string::npos) << "rendered only in part?";
        }
    }
}

// Around the number of breaks at which a line starts being cut short, for areas and fonts of other
// heights: the part rendered must still cover everything that can show.
TEST_P(LogDrawFlood, BreaksAroundWhereLinesAreCut) {
    FontPtr small = testing::openMainFont(11);
    FontPtr proportional(TTF_OpenFont(kProportionalFontPath, 23));
    ASSERT_TRUE(small && proportional);
    struct Setting {
        Rect rect;
        TTF_Font* font;
    };
    for (const Setting& setting : {Setting{kArea, font.get()}, Setting{Rect{20, 40, 700, 603}, small.get()},
                                   Setting{Rect{20, 435, 1400, 13}, proportional.get()},
                                   Setting{Rect{300, 100, 300, 350}, proportional.get()}}) {
        view.rect = setting.rect;
        const int rows = (setting.rect.h - 4) / TTF_FontLineSkip(setting.font);
        for (int breaks = std::max(rows - 2, 0); breaks < rows + 6; ++breaks) {
            for (const std::string& piece : {std::string("\n"), std::string("\r\n"), std::string("ab\n")}) {
                SCOPED_TRACE("area " + std::to_string(setting.rect.h) + " high, " + std::to_string(breaks) +
                             " breaks of " + std::to_string(piece.size()) + " bytes");
                view.clear();
                append(repeat(piece, static_cast<std::size_t>(breaks)) + "last row");
                append("newer");
                for (std::int32_t scroll : {0, 1, 2}) {
                    view.scroll = scroll;
                    EXPECT_TRUE(sameAsPlainBothWays(setting.font));
                }
            }
        }
    }
    view.rect = kArea;
    // Before the fonts go.
    resetLogDrawCache(cache);
    resetLogDrawCache(keptCache);
}

// A whole render of 8000 line feeds takes seconds and near a gigabyte: a frame that meets such a line,
// measuring it or drawing it, must stay in the milliseconds. The bound is loose for busy machines.
TEST_P(LogDrawFlood, LineOfLineFeedsDrawsInMilliseconds) {
    append(std::string(kMaxLogText, '\n'));
    append("after");
    // Scroll 0 only measures the line (it is left out); scroll 2 also draws it at the top.
    for (std::int32_t scroll : {0, 2}) {
        view.scroll = scroll;
        for (auto [canvas, canvasCache] : {std::pair{&cached, &cache}, std::pair{&kept, &keptCache}}) {
            resetLogDrawCache(*canvasCache);
            const auto start = std::chrono::steady_clock::now();
            drawLog(canvas->renderer.get(), fontsFor(font.get()), view, *canvasCache);
            SDL_RenderFlush(canvas->renderer.get());
            const double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            std::printf("[ measure  ] first frame with a line of 8000 line feeds, scroll %d, %s: %.1f ms\n",
                        static_cast<int>(scroll), canvasCache->outputFormat ? "kept" : "direct", ms);
            EXPECT_LT(ms, 500.0);
        }
    }
    EXPECT_TRUE(shortened(view.lines.front().id));
}

INSTANTIATE_TEST_SUITE_P(
    Targets, LogDrawFlood, ::testing::Values(Target{"RGBA8888", SDL_PIXELFORMAT_RGBA8888, false, false}),
    [](const ::testing::TestParamInfo<Target>& info) { return info.param.name; });

// Drawn directly each frame, or through the kept area texture in the output's own format.
INSTANTIATE_TEST_SUITE_P(
    Targets, LogDrawPixels,
    ::testing::Values(Target{"DirectRGBA8888", SDL_PIXELFORMAT_RGBA8888, false, false},
                      Target{"DirectARGB8888", SDL_PIXELFORMAT_ARGB8888, false, false},
                      Target{"KeptRGBA8888", SDL_PIXELFORMAT_RGBA8888, false, true},
                      Target{"KeptARGB8888", SDL_PIXELFORMAT_ARGB8888, false, true},
                      Target{"KeptRGB888", SDL_PIXELFORMAT_RGB888, false, true},
                      Target{"KeptWindow", SDL_PIXELFORMAT_UNKNOWN, true, false}),
    [](const ::testing::TestParamInfo<Target>& info) { return info.param.name; });

}  // namespace
}  // namespace vchat
