// The program: start SDL and the font, run the main loop, shut down in order.
// Start-up failures go to standard error and end the process with status 1.

#include <SDL.h>
#include <SDL_ttf.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "app/access_bridge.h"
#include "app/app.h"
#include "app/desktop.h"
#include "app/window_fit.h"
#include "text/font_set.h"

namespace {

constexpr const char* kWindowTitle = "Veldra MQTT Chat";
constexpr int kFontPointSize = 16;
// Looked up in the working directory only.
constexpr const char* kFontCandidates[] = {"DejaVuSansMono.ttf"};

constexpr const char* kSdlInitFailed = "SDL init failed: %s\n";
constexpr const char* kTtfInitFailed = "TTF init failed: %s\n";
constexpr const char* kWindowFailed = "SDL_CreateWindow failed: %s\n";
constexpr const char* kRendererFailed = "SDL_CreateRenderer failed: %s\n";
constexpr const char* kNoFont = "No TTF font found. Install DejaVuSans/Arial and SDL2_ttf.\n";

// Node numbers stay above this, so the GATEWAY_HEX default always has eight digits.
constexpr int kNodeNumberBase = 341220250;
constexpr int kNodeNumberSpan = 999999999;

// dpi 0 opens at SDL_ttf's own resolution, as an unscaled window always did.
vchat::sdl::FontPtr loadFont(const char*& opened, unsigned dpi) {
    for (const char* path : kFontCandidates) {
        // A cheap existence check first: TTF_OpenFont's own failure text is no help to the user.
        std::FILE* file = std::fopen(path, "rb");
        if (!file) continue;
        std::fclose(file);
        vchat::sdl::FontPtr font(dpi == 0 ? TTF_OpenFont(path, kFontPointSize)
                                          : TTF_OpenFontDPI(path, kFontPointSize, dpi, dpi));
        opened = path;
        if (font) return font;
    }
    return nullptr;
}

}  // namespace

int main(int, char*[]) {
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    const std::int32_t nodeNumber = std::rand() % kNodeNumberSpan + kNodeNumberBase;

    vchat::declareDpiAwareness();
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        std::fprintf(stderr, kSdlInitFailed, SDL_GetError());
        return 1;
    }
    if (TTF_Init() != 0) {
        std::fprintf(stderr, kTtfInitFailed, SDL_GetError());
        return 1;
    }
    vchat::sdl::WindowPtr window(SDL_CreateWindow(kWindowTitle, SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                                                  vchat::kWindowWidth, vchat::kWindowHeight, SDL_WINDOW_HIDDEN));
    if (!window) {
        std::fprintf(stderr, kWindowFailed, SDL_GetError());
        return 1;
    }
    vchat::sdl::RendererPtr renderer(
        SDL_CreateRenderer(window.get(), -1, SDL_RENDERER_ACCELERATED | SDL_RENDERER_PRESENTVSYNC));
    if (!renderer) {
        std::fprintf(stderr, kRendererFailed, SDL_GetError());
        return 1;
    }
    vchat::ScaleChoice fit = vchat::fitWindow(window.get(), vchat::FrameBorders{});
    // Shown only now: an OpenGL renderer replaces the window it is given, so a window shown before
    // would flash up and vanish, and whoever found it first (a window manager, a test) would hold
    // a window that no longer exists.
    SDL_ShowWindow(window.get());
    // The frame exists only now; where it leaves too little room, the window is fitted once more.
    const vchat::FrameBorders frame = vchat::frameBorders(window.get());
    if (frame.top != 0 || frame.left != 0 || frame.bottom != 0 || frame.right != 0) {
        fit = vchat::fitWindow(window.get(), frame);
    }
    vchat::reportFit(window.get(), fit);
    const unsigned dpi = fit.scale.identity() ? 0 : fit.scale.fontDpi();
    const char* fontPath = nullptr;
    vchat::sdl::FontPtr font = loadFont(fontPath, dpi);
    if (!font) {
        std::fputs(kNoFont, stderr);
        return 1;
    }
    // Characters the main font lacks come from the system's fonts, each opened when first needed.
    const char* family = TTF_FontFaceFamilyName(font.get());
    vchat::text::FontSet fonts = vchat::text::makeFontSet(font.get(), fontPath, kFontPointSize,
                                                          vchat::text::findFallbackFonts(family ? family : ""), dpi);

    vchat::App app(static_cast<std::uint32_t>(nodeNumber));
    vchat::setScale(app, fit.scale);
    SDL_StartTextInput();
    // Screen readers, where an accessibility bus is there; otherwise the loop runs as it always did.
    const vchat::LoopHooks access = vchat::startAccessBridge(app, window.get());
    vchat::runMainLoop(app, renderer.get(), fonts, access);
    vchat::stopAccessBridge();

    // The worker thread ends before any SDL object goes; the app's own memory goes last.
    vchat::shutDownApp(app);
    SDL_StopTextInput();
    fonts = vchat::text::FontSet{};
    font.reset();
    renderer.reset();
    window.reset();
    TTF_Quit();
    SDL_Quit();
    return 0;
}
