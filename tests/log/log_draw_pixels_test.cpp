// The log view drawn with its cache against a plain rendition that measures and renders every line
// on every frame: both must leave the same pixels, whatever the log, the scroll and the changes
// between frames. Also: what an empty or overfull area shows, and how much rendering a frame costs.
#include "log/log_draw.h"

#include <gtest/gtest.h>

#include <SDL.h>
#include <SDL_ttf.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vchat {
namespace {

constexpr const char* kFontPath = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";
constexpr const char* kProportionalFontPath = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
constexpr int kCanvasW = 1440;
constexpr int kCanvasH = 700;
constexpr Rect kArea{20, 435, 1400, 200};
constexpr std::time_t kSampleTime = 1796544238;

struct FontDeleter {
    void operator()(TTF_Font* font) const { TTF_CloseFont(font); }
};
struct RendererDeleter {
    void operator()(SDL_Renderer* renderer) const { SDL_DestroyRenderer(renderer); }
};
using FontPtr = std::unique_ptr<TTF_Font, FontDeleter>;
using RendererPtr = std::unique_ptr<SDL_Renderer, RendererDeleter>;

struct WindowDeleter {
    void operator()(SDL_Window* window) const { SDL_DestroyWindow(window); }
};

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
    std::unique_ptr<SDL_Window, WindowDeleter> window;
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
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        setenv("TZ", "UTC", 1);
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
        ASSERT_EQ(TTF_Init(), 0) << TTF_GetError();
    }
    static void TearDownTestSuite() {
        TTF_Quit();
        SDL_Quit();
    }

    void SetUp() override {
        font.reset(TTF_OpenFont(kFontPath, 16));
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

    // Draws the current log both ways and reports the first pixel where they differ.
    ::testing::AssertionResult sameAsPlain(TTF_Font* with = nullptr) {
        return sameAsPlainOn(cached, with);
    }
    ::testing::AssertionResult sameAsPlainOn(Canvas& canvas, TTF_Font* with = nullptr) {
        TTF_Font* f = with ? with : font.get();
        plain.wipe();
        canvas.wipe();
        drawLogPlainly(plain.renderer.get(), f, view);
        drawLog(canvas.renderer.get(), f, view, cache);
        // A window's renderer batches its commands until asked.
        SDL_RenderFlush(canvas.renderer.get());
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

    FontPtr small(TTF_OpenFont(kFontPath, 11));
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
        drawLog(cached.renderer.get(), font.get(), empty ? none : v, cache);
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
    drawLog(cached.renderer.get(), font.get(), view, cache);
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

    drawLog(cached.renderer.get(), font.get(), view, cache);
    EXPECT_LE(cache.renderCount, kReachable);
    EXPECT_LE(texturesHeld(), 11);

    std::uint64_t before = cache.renderCount;
    drawLog(cached.renderer.get(), font.get(), view, cache);
    EXPECT_EQ(cache.renderCount, before) << "an unchanged frame must render nothing";

    view.scroll = 50;
    before = cache.renderCount;
    drawLog(cached.renderer.get(), font.get(), view, cache);
    EXPECT_LE(cache.renderCount - before, kReachable);
    EXPECT_LE(texturesHeld(), 12) << "textures are kept only for the lines drawn last";
    before = cache.renderCount;
    drawLog(cached.renderer.get(), font.get(), view, cache);
    EXPECT_EQ(cache.renderCount, before);

    // A new line while scrolled back: the window moves along with it, one line to measure.
    append("new");
    before = cache.renderCount;
    drawLog(cached.renderer.get(), font.get(), view, cache);
    EXPECT_LE(cache.renderCount - before, 3u);

    // Lines that left the store leave the cache too.
    fill(kMaxLogLines);
    drawLog(cached.renderer.get(), font.get(), view, cache);
    EXPECT_LE(cache.images.size(), 2 * kReachable);
    EXPECT_GE(cache.images.begin()->first, view.lines.front().id);
    view.clear();
    drawLog(cached.renderer.get(), font.get(), view, cache);
    EXPECT_TRUE(cache.images.empty());
    EXPECT_EQ(texturesHeld(), 0);
}

TEST_P(LogDrawPixels, FullLogOfLongLinesRendersOnlyWhatShows) {
    for (std::size_t i = 0; i < kMaxLogLines; ++i) append(std::string(kMaxLogText, static_cast<char>('a' + i % 26)));
    // Each line is taller than the area: at scroll 0 only the newest is measured and nothing drawn.
    drawLog(cached.renderer.get(), font.get(), view, cache);
    EXPECT_LE(cache.renderCount, 1u);
    EXPECT_EQ(texturesHeld(), 0);
    view.scroll = 50;
    drawLog(cached.renderer.get(), font.get(), view, cache);
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
        drawLog(cached.renderer.get(), font.get(), view, cache);
    }
    stop = true;
    worker.join();
    EXPECT_EQ(view.lines.size(), kMaxLogLines);
    EXPECT_TRUE(sameAsPlain());
    EXPECT_GE(cache.images.begin()->first, view.lines.front().id);
}

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
