// Tests that draw with the real fonts: DejaVu Sans Mono 16 and the system's fallbacks (the Noto
// fonts and colour emoji the test command installs), SDL and SDL2_ttf started for the suite.
#pragma once

#include <gtest/gtest.h>

#include "tests/support/sdl_support.h"
#include "text/font_set.h"

namespace vchat::testing {

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

class RealFonts : public ::testing::Test {
protected:
    static void SetUpTestSuite() { startSdlAndTtf(); }
    static void TearDownTestSuite() { stopSdlAndTtf(); }
    void SetUp() override {
        main.reset(TTF_OpenFont(kFontPath, 16));
        ASSERT_TRUE(main) << TTF_GetError();
        fonts = freshFonts();
        ASSERT_FALSE(fonts.fallbacks.text.empty()) << "the tests need the Noto fonts";
        ASSERT_FALSE(fonts.fallbacks.emoji.empty()) << "the tests need the colour emoji font";
    }
    void TearDown() override {
        fonts = text::FontSet{};
        main.reset();
    }
    // Another set on the same main font, with nothing opened or cached yet.
    text::FontSet freshFonts() {
        return text::makeFontSet(main.get(), kFontPath, 16, text::findFallbackFonts("DejaVu Sans Mono"));
    }

    sdl::FontPtr main;
    text::FontSet fonts;
};

}  // namespace vchat::testing
