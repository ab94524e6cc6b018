// The fonts the drawing tests use, opened one way: DejaVu Sans Mono of fonts-dejavu-core at the
// program's size, alone (the font renderer's own pixels) or with the system's fallbacks (the Noto
// fonts and colour emoji the test command installs), on SDL's dummy video driver and SDL2_ttf.
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>
#include <gtest/gtest.h>

#include "tests/support/test_support.h"
#include "text/font_set.h"

namespace vchat::testing {

inline constexpr int kFontSize = 16;   // the program's

// The most CPU time one frame's drawing may take: 50 ms in a normal build. Sanitizers slow drawing
// several times over; under wine, where the Windows build is tested, thread times count in 10 ms
// ticks and the same drawing measured 20 to 50 ms against 19 to 24 on Linux.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr double kFrameBudgetMs = 250;
#elif defined(_WIN32)
inline constexpr double kFrameBudgetMs = 100;
#else
inline constexpr double kFrameBudgetMs = 50;
#endif

inline void startSdlAndTtf() {
    setEnvVar("SDL_VIDEODRIVER", "dummy");
    ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    ASSERT_EQ(TTF_Init(), 0) << TTF_GetError();
}

inline void stopSdlAndTtf() {
    TTF_Quit();
    SDL_Quit();
}

// DejaVu Sans Mono at `size`, or null (TTF_GetError says why).
inline sdl::FontPtr openMainFont(int size = kFontSize) { return sdl::FontPtr(TTF_OpenFont(kFontPath, size)); }

// A set on `main` (DejaVu Sans Mono at kFontSize) with nothing opened or cached yet.
enum class Fallbacks { none, system };
inline text::FontSet fontSetOn(TTF_Font* main, Fallbacks fallbacks) {
    return text::makeFontSet(main, kFontPath, kFontSize,
                             fallbacks == Fallbacks::system ? text::findFallbackFonts("DejaVu Sans Mono")
                                                            : text::FallbackFonts{});
}

// A suite that draws with the main font and the system's fallbacks, which it requires.
class RealFonts : public ::testing::Test {
protected:
    static void SetUpTestSuite() { startSdlAndTtf(); }
    static void TearDownTestSuite() { stopSdlAndTtf(); }
    void SetUp() override {
        main = openMainFont();
        ASSERT_TRUE(main) << TTF_GetError();
        fonts = freshFonts();
        ASSERT_FALSE(fonts.fallbacks.text.empty()) << "the tests need the Noto fonts";
        ASSERT_FALSE(fonts.fallbacks.emoji.empty()) << "the tests need the colour emoji font";
    }
    void TearDown() override {
        fonts = text::FontSet{};
        main.reset();
    }
    text::FontSet freshFonts() { return fontSetOn(main.get(), Fallbacks::system); }

    sdl::FontPtr main;
    text::FontSet fonts;
};

}  // namespace vchat::testing
