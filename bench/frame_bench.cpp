// Time to draw one whole frame (panels, notice, form, log) into a software renderer, warm, with an
// empty log, 2000 ordinary lines and 2000 lines of 8000 bytes, at the bottom and scrolled back 50 lines.
// The log view alone and the form without the log are measured too, to show where a frame's time goes;
// and, for comparison, the log drawn the plain way (every line rendered every frame) on 2000 ordinary lines.
//
// At the scales 1, 1.5 and 2 the whole frame over mixed-script lines, side by side.
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

#include <unistd.h>

namespace vchat {
namespace {

constexpr const char* kFontPath = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";
constexpr std::time_t kSampleTime = 1796544238;

enum class LogKind { empty, ordinary, longest, mixed };

// SDL, the font and a 1440 x 700 software canvas, made once for the whole run.
// Resident memory of the process, from /proc.
double residentMb() {
    long pages = 0, resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

struct Stage {
    double baselineRssMb = 0;   // with the main font only, before any fallback is looked for
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
        baselineRssMb = residentMb();
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

// A received text in one of the scripts users send, emoji among them, each line another.
std::string mixedLine(int i) {
    static const char* const kTexts[] = {
        "\xE4\xBD\xA0\xE5\xA5\xBD\xEF\xBC\x8C\xE4\xB8\x96\xE7\x95\x8C",                 // Chinese
        "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF",                 // Japanese
        "\xEC\x95\x88\xEB\x85\x95\xED\x95\x98\xEC\x84\xB8\xEC\x9A\x94",                 // Korean
        "\xE0\xB8\xAA\xE0\xB8\xA7\xE0\xB8\xB1\xE0\xB8\xAA\xE0\xB8\x94\xE0\xB8\xB5",  // Thai
        "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D 73 \xD7\xA2\xD7\x95\xD7\x9C\xD7\x9D",        // Hebrew
        "\xD8\xB3\xD9\x84\xD8\xA7\xD9\x85 \xD8\xB9\xD9\x84\xD9\x8A\xD9\x83\xD9\x85",  // Arabic
        "\xE0\xA4\xA8\xE0\xA4\xAE\xE0\xA4\xB8\xE0\xA5\x8D\xE0\xA4\xA4\xE0\xA5\x87",  // Devanagari
        "ok \xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD \xF0\x9F\x98\x80 \xF0\x9F\x87\xA9\xF0\x9F\x87\xAA",  // emoji
    };
    return "msg msh/EU_868/2/json/LongFast/!a1b2c3d4\n{\"from\":" + std::to_string(3000000000u + i) +
           ",\"type\":\"text\",\"payload\":{\"text\":\"" + kTexts[i % 8] + " " + std::to_string(i) + "\"}}";
}

std::string lineOf(LogKind kind, int i) {
    return kind == LogKind::ordinary ? ordinaryLine(i) : kind == LogKind::mixed ? mixedLine(i) : longestLine(i);
}

void fillLog(LogView& log, LogKind kind) {
    if (kind == LogKind::empty) return;
    for (int i = 0; i < static_cast<int>(kMaxLogLines); ++i) log.appendAt(lineOf(kind, i), kSampleTime);
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
    const char* name = kind == LogKind::empty      ? "no lines"
                       : kind == LogKind::ordinary ? "2000 ordinary"
                       : kind == LogKind::mixed    ? "2000 mixed-script"
                                                   : "2000 x 8000 B";
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
    state.counters["rss_over_main_font_mb"] = residentMb() - Stage::get().baselineRssMb;
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

// A screenful of new mixed-script lines arrives between two frames: every one is laid out, shaped
// and rendered for the first time in the frame timed.
void BM_NewMixedScreenful(benchmark::State& state) {
    Stage& stage = Stage::get();
    std::unique_ptr<App> app;
    App& a = appWith(app, LogKind::mixed, 0, true);
    for (int i = 0; i < 3; ++i) drawFrame(a, stage.renderer.get(), stage.fonts);
    int next = 1000000;   // numbers no line had, so no text repeats
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < 12; ++i) a.log.appendAt(mixedLine(next++), kSampleTime);
        state.ResumeTiming();
        drawFrame(a, stage.renderer.get(), stage.fonts);
        benchmark::ClobberMemory();
    }
    state.counters["rss_over_main_font_mb"] = residentMb() - stage.baselineRssMb;
    state.SetLabel("12 new mixed-script lines a frame");
    shutDownApp(a);
}

// The window at a scale: its own canvas, and every font opened at the scaled size as the program
// opens them (at 1/1 the plain calls, as above).
struct ScaledStage {
    Scale scale;
    sdl::FontPtr font;
    text::FontSet fonts;
    sdl::SurfacePtr surface;
    sdl::RendererPtr renderer;

    static ScaledStage& get(const Scale& scale) {
        static std::vector<std::unique_ptr<ScaledStage>> stages;
        for (auto& s : stages)
            if (s->scale == scale) return *s;
        Stage::get();   // SDL and TTF started
        auto s = std::make_unique<ScaledStage>();
        s->scale = scale;
        const unsigned dpi = scale.identity() ? 0 : scale.fontDpi();
        s->font.reset(dpi == 0 ? TTF_OpenFont(kFontPath, 16) : TTF_OpenFontDPI(kFontPath, 16, dpi, dpi));
        s->surface.reset(SDL_CreateRGBSurfaceWithFormat(0, scale.length(kLayoutWidth), scale.length(kLayoutHeight), 32,
                                                        SDL_PIXELFORMAT_ARGB8888));
        if (s->surface) s->renderer.reset(SDL_CreateSoftwareRenderer(s->surface.get()));
        if (!s->font || !s->renderer) {
            std::fprintf(stderr, "scaled stage missing: %s\n", SDL_GetError());
            std::exit(1);
        }
        s->fonts = text::makeFontSet(s->font.get(), kFontPath, 16, text::findFallbackFonts("DejaVu Sans Mono"), dpi);
        stages.push_back(std::move(s));
        return *stages.back();
    }
};

// The whole frame with 2000 mixed-script lines at the scale (range 0 halves: 2, 3, 4 for 1, 1.5, 2).
void BM_ScaledFrame(benchmark::State& state) {
    const Scale scale = Scale{state.range(0), 2};
    const bool kept = state.range(1) != 0;
    ScaledStage& stage = ScaledStage::get(scale);
    auto app = std::make_unique<App>(0x1a2b3c4du, [] { return std::uint64_t{0}; });
    setScale(*app, scale);
    fillLog(app->log, LogKind::mixed);
    if (kept) app->logCache.outputFormat = stage.surface->format->format;
    for (int i = 0; i < 3; ++i) drawFrame(*app, stage.renderer.get(), stage.fonts);
    for (auto _ : state) {
        drawFrame(*app, stage.renderer.get(), stage.fonts);
        benchmark::ClobberMemory();
    }
    char label[96];
    std::snprintf(label, sizeof label, "scale %.1f (%dx%d), 2000 mixed-script, %s", scale.value(),
                  stage.surface->w, stage.surface->h, kept ? "area kept" : "direct");
    state.SetLabel(label);
    shutDownApp(*app);
}

void cases(benchmark::internal::Benchmark* b) {
    for (int kept : {1, 0})
        for (LogKind kind : {LogKind::empty, LogKind::ordinary, LogKind::mixed, LogKind::longest})
            for (int scroll : {0, 50}) b->Args({static_cast<int>(kind), scroll, kept});
    b->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5);
}

BENCHMARK(BM_Frame)->Apply(cases);
BENCHMARK(BM_LogOnly)->Apply(cases);
BENCHMARK(BM_ScaledFrame)
    ->ArgsProduct({{2, 3, 4}, {1, 0}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(0.5);
BENCHMARK(BM_NewMixedScreenful)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_LogPlain)->Args({static_cast<int>(LogKind::ordinary), 0, 0})->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace
}  // namespace vchat

BENCHMARK_MAIN();
