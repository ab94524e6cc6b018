// The program: start SDL and the font, run the main loop, shut down in order.
// Start-up failures go to standard error and end the process with status 1.

#include <SDL.h>
#include <SDL_ttf.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "app/app.h"
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

vchat::sdl::FontPtr loadFont(const char*& opened) {
    for (const char* path : kFontCandidates) {
        // A cheap existence check first: TTF_OpenFont's own failure text is no help to the user.
        std::FILE* file = std::fopen(path, "rb");
        if (!file) continue;
        std::fclose(file);
        vchat::sdl::FontPtr font(TTF_OpenFont(path, kFontPointSize));
        opened = path;
        if (font) return font;
    }
    return nullptr;
}

}  // namespace

int main(int, char*[]) {
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    const std::int32_t nodeNumber = std::rand() % kNodeNumberSpan + kNodeNumberBase;

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
    // Shown only now: an OpenGL renderer replaces the window it is given, so a window shown before
    // would flash up and vanish, and whoever found it first (a window manager, a test) would hold
    // a window that no longer exists.
    SDL_ShowWindow(window.get());
    const char* fontPath = nullptr;
    vchat::sdl::FontPtr font = loadFont(fontPath);
    if (!font) {
        std::fputs(kNoFont, stderr);
        return 1;
    }
    // Characters the main font lacks come from the system's fonts, each opened when first needed.
    const char* family = TTF_FontFaceFamilyName(font.get());
    vchat::text::FontSet fonts = vchat::text::makeFontSet(font.get(), fontPath, kFontPointSize,
                                                          vchat::text::findFallbackFonts(family ? family : ""));

    vchat::App app(static_cast<std::uint32_t>(nodeNumber));
    SDL_StartTextInput();
    vchat::runMainLoop(app, renderer.get(), fonts);

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
