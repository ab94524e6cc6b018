// Time to draw one whole frame (panels, notice, form, log) into a software renderer, warm, with an
// empty log, 2000 ordinary lines and 2000 lines of 8000 bytes, at the bottom and scrolled back 50 lines.
// The log view alone and the form without the log are measured too, to show where a frame's time goes;
// and, for comparison, the log drawn the plain way (every line rendered every frame) on 2000 ordinary lines.
//
// Run: build-*/bench/frame_bench --benchmark_repetitions=15 --benchmark_report_aggregates_only=true
#include "app/app.h"
#include "log/log_draw.h"
#include "text/font_set.h"

#include <benchmark/benchmark.h>

#include <SDL.h>
#include <SDL_ttf.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace vchat {
namespace {

constexpr const char* kFontPath = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";
constexpr std::time_t kSampleTime = 1796544238;

enum class LogKind { empty, ordinary, longest };

// SDL, the font and a 1440 x 700 software canvas, made once for the whole run.
struct Stage {
    sdl::FontPtr font;
    text::FontSet fonts;   // with the system's fallback fonts, as the program runs
    sdl::SurfacePtr surface;
    sdl::RendererPtr renderer;

    static Stage& get() {
        static Stage stage;
        return stage;
    }

private:
    Stage() {
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        if (SDL_Init(SDL_INIT_VIDEO) != 0 || TTF_Init() != 0) {
            std::fprintf(stderr, "SDL start failed: %s\n", SDL_GetError());
            std::exit(1);
        }
        font.reset(TTF_OpenFont(kFontPath, 16));
        surface.reset(SDL_CreateRGBSurfaceWithFormat(0, 1440, 700, 32, SDL_PIXELFORMAT_ARGB8888));
        if (surface) renderer.reset(SDL_CreateSoftwareRenderer(surface.get()));
        if (!font || !renderer) {
            std::fprintf(stderr, "font or renderer missing: %s\n", SDL_GetError());
            std::exit(1);
        }
        fonts = text::makeFontSet(font.get(), kFontPath, 16, text::findFallbackFonts("DejaVu Sans Mono"));
    }
};

// Text like the log's usual traffic: a received JSON message of about a hundred bytes.
std::string ordinaryLine(int i) {
    return "msg msh/EU_868/2/json/LongFast/!a1b2c3d4\n{\"from\":" + std::to_string(3000000000u + i) +
           ",\"type\":\"text\",\"payload\":{\"text\":\"hello " + std::to_string(i) + "\"}}";
}

// The longest text a line keeps: words, so it wraps at spaces the way a long message does.
std::string longestLine(int i) {
    std::string text = "RAW ";
    while (text.size() < kMaxLogText) text += std::to_string(i) + "abcdef0123 ";
    text.resize(kMaxLogText);
    return text;
}

void fillLog(LogView& log, LogKind kind) {
    if (kind == LogKind::empty) return;
    for (int i = 0; i < static_cast<int>(kMaxLogLines); ++i)
        log.appendAt(kind == LogKind::ordinary ? ordinaryLine(i) : longestLine(i), kSampleTime);
}

// `kept`: tell the view the canvas format, as a window's renderer tells it, so the finished log area
// is kept as one texture; otherwise the visible lines are blended again every frame.
App& appWith(std::unique_ptr<App>& app, LogKind kind, int scroll, bool kept) {
    app = std::make_unique<App>(0x1a2b3c4du, [] { return std::uint64_t{0}; });
    fillLog(app->log, kind);
    app->log.scroll = scroll;
    if (kept) app->logCache.outputFormat = Stage::get().surface->format->format;
    return *app;
}

void setLabel(benchmark::State& state, LogKind kind, int scroll, bool kept) {
    const char* name = kind == LogKind::empty ? "no lines" : kind == LogKind::ordinary ? "2000 ordinary" : "2000 x 8000 B";
    state.SetLabel(std::string(name) + ", scroll " + std::to_string(scroll) + (kept ? ", area kept" : ", direct"));
}

// Times `draw` over the log the benchmark's arguments describe, after three warming frames in
// which the lines the view reaches are measured.
template <typename Draw>
void timeDraws(benchmark::State& state, Draw draw) {
    const auto kind = static_cast<LogKind>(state.range(0));
    const int scroll = static_cast<int>(state.range(1));
    const bool kept = state.range(2) != 0;
    std::unique_ptr<App> app;
    App& a = appWith(app, kind, scroll, kept);
    for (int i = 0; i < 3; ++i) draw(a);
    const std::uint64_t rendersBefore = a.logCache.renderCount;
    for (auto _ : state) {
        draw(a);
        benchmark::ClobberMemory();
    }
    state.counters["log_renders_per_frame"] = benchmark::Counter(
        static_cast<double>(a.logCache.renderCount - rendersBefore) / static_cast<double>(state.iterations()));
    setLabel(state, kind, scroll, kept);
    shutDownApp(a);
}

// The whole frame as the main loop draws it, minus the present.
void BM_Frame(benchmark::State& state) {
    Stage& stage = Stage::get();
    timeDraws(state, [&](App& a) { drawFrame(a, stage.renderer.get(), stage.fonts); });
}

// The log view alone, with the same warm cache.
void BM_LogOnly(benchmark::State& state) {
    Stage& stage = Stage::get();
    timeDraws(state, [&](App& a) { drawLog(stage.renderer.get(), stage.fonts, a.log, a.logCache); });
}

// The log drawn the plain way: every stored line rendered to measure it on every frame.
void drawLogPlainly(SDL_Renderer* renderer, TTF_Font* font, LogView& view) {
    const SDL_Rect r{view.rect.x, view.rect.y, view.rect.w, view.rect.h};
    SDL_SetRenderDrawColor(renderer, kLogBackground.r, kLogBackground.g, kLogBackground.b, kLogBackground.a);
    SDL_RenderFillRect(renderer, &r);
    SDL_SetRenderDrawColor(renderer, kLogBorder.r, kLogBorder.g, kLogBorder.b, kLogBorder.a);
    SDL_RenderDrawRect(renderer, &r);
    std::lock_guard<std::mutex> lock(view.mutex);
    std::vector<int> heights;
    for (const LogLine& line : view.lines) {
        SDL_Surface* image = TTF_RenderUTF8_Blended_Wrapped(font, line.text.c_str(), kLogText, r.w - 12);
        heights.push_back(image ? image->h : TTF_FontHeight(font) + 2);
        SDL_FreeSurface(image);
    }
    const int count = static_cast<int>(heights.size());
    int end = view.scroll <= 0 ? count : std::max(0, count - view.scroll);
    int start = end;
    for (int i = end - 1, sum = 0; i >= 0; --i) {
        sum += heights[i];
        if (sum > r.h - 8) break;
        start = i;
    }
    SDL_RenderSetClipRect(renderer, &r);
    for (int i = start, y = r.y + 4; i < count && y < r.y + r.h - 4; ++i) {
        SDL_Surface* image = TTF_RenderUTF8_Blended_Wrapped(font, view.lines[i].text.c_str(), kLogText, r.w - 12);
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

void BM_LogPlain(benchmark::State& state) {
    Stage& stage = Stage::get();
    std::unique_ptr<App> app;
    App& a = appWith(app, LogKind::ordinary, static_cast<int>(state.range(1)), false);
    for (auto _ : state) {
        drawLogPlainly(stage.renderer.get(), stage.font.get(), a.log);
        benchmark::ClobberMemory();
    }
    setLabel(state, LogKind::ordinary, static_cast<int>(state.range(1)), false);
}

void cases(benchmark::internal::Benchmark* b) {
    for (int kept : {1, 0})
        for (LogKind kind : {LogKind::empty, LogKind::ordinary, LogKind::longest})
            for (int scroll : {0, 50}) b->Args({static_cast<int>(kind), scroll, kept});
    b->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5);
}

BENCHMARK(BM_Frame)->Apply(cases);
BENCHMARK(BM_LogOnly)->Apply(cases);
BENCHMARK(BM_LogPlain)->Args({static_cast<int>(LogKind::ordinary), 0, 0})->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace
}  // namespace vchat

BENCHMARK_MAIN();
